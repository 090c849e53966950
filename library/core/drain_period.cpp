#include "drain_period.h"

namespace kv318 {

std::uint32_t DrainPeriod::after_status(std::int32_t level) {
    if (periodMs_ == kLongPeriodMs) {
        if (level >= kShortPeriodLevel) {
            periodMs_ = kShortPeriodMs;
            lowTicks_ = 0;
        }
        return periodMs_;
    }
    lowTicks_ = level < kLowTickLevel ? lowTicks_ + 1 : 0;
    if (lowTicks_ >= kLowTicksForLongPeriod) reset();
    return periodMs_;
}

void DrainPeriod::reset() { keep(kLongPeriodMs); }

void DrainPeriod::keep(std::uint32_t periodMs) {
    periodMs_ = periodMs;
    lowTicks_ = 0;
}

}  // namespace kv318
