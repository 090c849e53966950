#include "backend.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "last_error.h"
#include "local_board.h"

namespace kv318 {
namespace {

// Written by set_backend_service (test set-up), read by every served open.
// Acquire/release publishes the substitute's construction.
std::atomic<BackendService*> g_service{nullptr};

// The served table once loaded and checked.  Written under g_loading by the
// first open that loads it (and cleared by set_backend_service), read by
// every export on any thread without the lock: release/acquire publishes
// the table the backend built before it returned it.
std::atomic<const KV318_BACKEND_OPS*> g_served{nullptr};
std::mutex g_loading;

std::int32_t local_open(const char*, std::int32_t board, const char*) { return local::open_device(board); }

// Whether the table a backend returned is one this library can use; if
// not, why, in `why`.
bool usable(const KV318_BACKEND_OPS& ops, char* why, std::size_t size) {
    if (ops.abi != KV318_BACKEND_ABI) {
        std::snprintf(why, size, "it speaks version %u of the backend table, not %u", static_cast<unsigned>(ops.abi),
                      static_cast<unsigned>(KV318_BACKEND_ABI));
        return false;
    }
    if (ops.size < sizeof(KV318_BACKEND_OPS)) {
        std::snprintf(why, size, "its table has %u bytes, fewer than the %u this library needs",
                      static_cast<unsigned>(ops.size), static_cast<unsigned>(sizeof(KV318_BACKEND_OPS)));
        return false;
    }
    return true;
}

}  // namespace

BackendService& backend_service() {
    BackendService* s = g_service.load(std::memory_order_acquire);
    return s != nullptr ? *s : platform_backend_service();
}

void set_backend_service(BackendService* service) {
    const std::lock_guard<std::mutex> hold(g_loading);
    g_service.store(service, std::memory_order_release);
    g_served.store(nullptr, std::memory_order_release);
}

const KV318_BACKEND_OPS& local_backend() {
    static const KV318_BACKEND_OPS ops = [] {
        KV318_BACKEND_OPS t{};
        t.size = sizeof t;
        t.abi = KV318_BACKEND_ABI;
        t.open = local_open;
        t.close = local::close_device;
        t.info = local::info;
        t.inb = local::inb;
        t.outb = local::outb;
        t.bulk_read = local::bulk_read;
        t.reset_usb = local::reset_usb;
        t.ad = local::ad;
        t.read = local::read;
        t.stop_ad = local::stop_ad;
        t.m_ad = local::m_ad;
        t.m_read = local::m_read;
        t.m_stop_ad = local::m_stop_ad;
        t.stream_stats = local::stream_stats;
        t.di = local::di;
        t.do_write = local::do_write;
        t.c_run = local::c_run;
        t.c_read = local::c_read;
        t.p_run = local::p_run;
        t.p_stop = local::p_stop;
        return t;
    }();
    return ops;
}

Route route(Handle handle) {
    const std::uint32_t offset = static_cast<std::uint32_t>(handle) - KV318_SERVED_HANDLE_BASE;
    if (handle < KV318_SERVED_HANDLE_BASE || offset >= KV318_SERVED_HANDLE_SPAN)
        return Route{&local_backend(), handle, false};
    return Route{g_served.load(std::memory_order_acquire), static_cast<std::int32_t>(offset), true};
}

const KV318_BACKEND_OPS* served_backend(char* why, std::size_t size) {
    if (const KV318_BACKEND_OPS* ops = g_served.load(std::memory_order_acquire)) return ops;
    const std::lock_guard<std::mutex> hold(g_loading);
    if (const KV318_BACKEND_OPS* ops = g_served.load(std::memory_order_acquire)) return ops;
    why[0] = '\0';
    const KV318_BACKEND_OPS* ops = backend_service().load_served(why, size);
    if (ops == nullptr) return nullptr;
    if (!usable(*ops, why, size)) return nullptr;
    g_served.store(ops, std::memory_order_release);
    return ops;
}

const KV318_BACKEND_OPS* loaded_served_backend() { return g_served.load(std::memory_order_acquire); }

Handle served_handle(std::int32_t h) {
    if (h < 1 || h >= KV318_SERVED_HANDLE_SPAN) return kInvalidHandle;
    return KV318_SERVED_HANDLE_BASE + h;
}

void take_served_failure(const char* call, const KV318_BACKEND_OPS& ops) {
    char text[kLastErrorCapacity];
    if (ops.last_error(text, static_cast<std::int32_t>(sizeof text)) > 0) record_failure(call, "%s", text);
}

}  // namespace kv318
