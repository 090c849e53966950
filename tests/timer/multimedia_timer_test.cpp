// The multimedia timer (32-bit and x64 KV318.dll alike) keeps the contract
// of every platform timer, as the Linux timer thread does.
#include <gtest/gtest.h>

#include "timer_contract.h"
#include "timer_service.h"

namespace kv318::test {
namespace {

struct MultimediaTimers {
    static TimerService& service() { return platform_timer_service(); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Multimedia, TimerContract, MultimediaTimers);

}  // namespace
}  // namespace kv318::test
