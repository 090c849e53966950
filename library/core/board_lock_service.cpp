#include "board_lock_service.h"

#include <atomic>

namespace kv318 {
namespace {
// Written by set_board_lock_service (test set-up), read by the start, stop
// and close calls on any caller's thread.  Acquire/release publishes the
// substitute's construction to them, as for the other services.
std::atomic<BoardLockService*> g_override{nullptr};
}  // namespace

BoardHolder BoardLockService::holder(std::int32_t) { return {}; }

std::string BoardLockService::lock_file_problem(std::int32_t) { return {}; }

std::string BoardLockService::served_url(std::int32_t) { return {}; }

BoardLockService& board_lock_service() {
    BoardLockService* s = g_override.load(std::memory_order_acquire);
    return s != nullptr ? *s : platform_board_lock_service();
}

void set_board_lock_service(BoardLockService* service) { g_override.store(service, std::memory_order_release); }

}  // namespace kv318
