// The exports: each finds the table of its handle's board (backend.h) and
// calls the entry of its name there.  What an export does to a board of
// this process is in the local board's files; what it does to a served
// board is the served boards' library's affair.
#include <string>

#include "KV318.h"
#include "backend.h"
#include "board_lock_service.h"
#include "last_error.h"

using namespace kv318;

namespace {

// The failure text an export writes when the client library cannot be had.
constexpr std::size_t kWhyCapacity = 512;

// What an export whose handle is outside every table returns and says:
// `failed`, with "handle N is not open" unless the export always succeeds
// (the stops), as for a local handle nobody opened.
enum class Quiet : bool { No, Yes };

// Runs `entry` on the table of `handle`'s board with the handle in that
// table's numbering.  A served entry's failure text becomes the thread's,
// named for `call`; a local entry writes its own.
template <class Entry>
std::int32_t through(const char* call, Handle handle, std::int32_t failed, Quiet quiet, Entry&& entry) {
    clear_last_error();
    const Route r = route(handle);
    if (r.ops == nullptr) {
        if (quiet == Quiet::No) record_failure(call, "handle %d is not open", static_cast<int>(handle));
        return failed;
    }
    const std::int32_t result = entry(*r.ops, r.handle);
    if (r.served) take_served_failure(call, *r.ops);
    return result;
}

Handle open_served(const char* call, const char* url, std::int32_t board, const char* keys) {
    char why[kWhyCapacity];
    const KV318_BACKEND_OPS* ops = served_backend(why, sizeof why);
    if (ops == nullptr) {
        record_failure(call, "board %d of %s: the client of kv318-server cannot be used: %s", static_cast<int>(board),
                       url, why);
        return kInvalidHandle;
    }
    const std::int32_t own = ops->open(url, board, keys);
    take_served_failure(call, *ops);
    if (own == kInvalidHandle) return kInvalidHandle;
    const Handle h = served_handle(own);
    if (h == kInvalidHandle) {
        // A handle the exports could not tell from a local one: refused,
        // and given back.
        ops->close(own);
        record_failure(call, "board %d of %s: the client gave handle %d, outside its range", static_cast<int>(board),
                       url, static_cast<int>(own));
    }
    return h;
}

bool served_table_of(const char* call, Handle handle, Route* r) {
    *r = route(handle);
    if (r->served && r->ops != nullptr) return true;
    if (handle == kInvalidHandle) record_failure(call, "handle -1 is not open");
    else if (!r->served)
        record_failure(call, "handle %d is a board of this process, not one a server serves", static_cast<int>(handle));
    else record_failure(call, "handle %d is not open", static_cast<int>(handle));
    return false;
}

}  // namespace

extern "C" {

KV318_EXPORT int32_t KV318_CALL KV318_OpenDevice(int32_t board) {
    clear_last_error();
    constexpr char kCall[] = "KV318_OpenDevice";
    BackendService& os = backend_service();
    std::string url;
    const bool named = os.environment(KV318_SERVER_ENV, &url) && !url.empty();
    if (named && url == KV318_SERVER_NONE) return local_backend().open(nullptr, board, nullptr);
    if (named) {
        std::string keys;
        const bool keyed = os.environment(KV318_SERVER_KEYS_ENV, &keys) && !keys.empty();
        return open_served(kCall, url.c_str(), board, keyed ? keys.c_str() : nullptr);
    }
    // A board a kv318-server of this machine serves is reached through it:
    // opened beside the server, its starts would be refused, and its raw
    // requests would reach the board under the server's stream.  Through its
    // local endpoint, which needs no keys from this user.  A library that
    // cannot load the client opens the board as before.
    url = board_lock_service().served_url(board);
    if (!url.empty()) {
        char why[kWhyCapacity];
        if (served_backend(why, sizeof why) != nullptr) return open_served(kCall, url.c_str(), board, nullptr);
    }
    return local_backend().open(nullptr, board, nullptr);
}

KV318_EXPORT int32_t KV318_CALL KV318_OpenServed(const char* url, int32_t board, const char* keys) {
    constexpr char kCall[] = "KV318_OpenServed";
    clear_last_error();
    if (url == nullptr || url[0] == '\0') {
        record_failure(kCall, "url is %s", url == nullptr ? "NULL" : "empty");
        return kInvalidHandle;
    }
    return open_served(kCall, url, board, keys);
}

KV318_EXPORT int32_t KV318_CALL KV318_CloseDevice(int32_t handle) {
    // Handle -1 is closed by doing nothing, wherever it would belong.
    return through("KV318_CloseDevice", handle, -1, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.close(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_Info(int32_t handle, char* text) {
    return through("KV318_Info", handle, -1, Quiet::No,
                   [text](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.info(h, text); });
}

KV318_EXPORT int32_t KV318_CALL KV318_inb(int32_t handle, int32_t reg) {
    return through("KV318_inb", handle, -1, Quiet::No,
                   [reg](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.inb(h, reg); });
}

KV318_EXPORT int32_t KV318_CALL KV318_outb(int32_t handle, int32_t reg, int32_t value) {
    return through("KV318_outb", handle, -1, Quiet::No,
                   [reg, value](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.outb(h, reg, value); });
}

KV318_EXPORT int32_t KV318_CALL KV318_BulkRead(int32_t handle, void* buffer, int32_t length) {
    return through(
        "KV318_BulkRead", handle, -1, Quiet::No,
        [buffer, length](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.bulk_read(h, buffer, length); });
}

KV318_EXPORT int32_t KV318_CALL KV318_ResetUSB(int32_t handle) {
    return through("KV318_ResetUSB", handle, -1, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.reset_usb(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                                         int32_t divider) {
    return through("KV318_AD", handle, -1, Quiet::No, [&](const KV318_BACKEND_OPS& o, std::int32_t h) {
        return o.ad(h, flag1, flag2, flag3, flag4, divider);
    });
}

KV318_EXPORT int32_t KV318_CALL KV318_Read(int32_t handle, int32_t* samples) {
    return through("KV318_Read", handle, -1, Quiet::No,
                   [samples](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.read(h, samples); });
}

KV318_EXPORT int32_t KV318_CALL KV318_StopAD(int32_t handle) {
    return through("KV318_StopAD", handle, 0, Quiet::Yes,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.stop_ad(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_M_AD(int32_t handle, int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                                           int32_t divider) {
    return through("KV318_M_AD", handle, -1, Quiet::No, [&](const KV318_BACKEND_OPS& o, std::int32_t h) {
        return o.m_ad(h, flag1, flag2, flag3, flag4, divider);
    });
}

KV318_EXPORT int32_t KV318_CALL KV318_M_Read(int32_t handle, int32_t* samples, int32_t* carry, int32_t reserved) {
    return through("KV318_M_Read", handle, -1, Quiet::No,
                   [&](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.m_read(h, samples, carry, reserved); });
}

KV318_EXPORT int32_t KV318_CALL KV318_M_StopAD(int32_t handle) {
    return through("KV318_M_StopAD", handle, 0, Quiet::Yes,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.m_stop_ad(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_StreamStats(int32_t handle, KV318_STREAM_STATS* stats) {
    return through("KV318_StreamStats", handle, -1, Quiet::No,
                   [stats](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.stream_stats(h, stats); });
}

KV318_EXPORT int32_t KV318_CALL KV318_DI(int32_t handle) {
    return through("KV318_DI", handle, 0xFFFF, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.di(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_DO(int32_t handle, int32_t value) {
    return through("KV318_DO", handle, -1, Quiet::No,
                   [value](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.do_write(h, value); });
}

KV318_EXPORT int32_t KV318_CALL KV318_CRun(int32_t handle) {
    return through("KV318_CRun", handle, -1, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.c_run(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_CRead(int32_t handle) {
    return through("KV318_CRead", handle, -1, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.c_read(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_PRun(int32_t handle, int32_t mode, int32_t divisor) {
    return through("KV318_PRun", handle, -1, Quiet::No,
                   [mode, divisor](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.p_run(h, mode, divisor); });
}

KV318_EXPORT int32_t KV318_CALL KV318_PStop(int32_t handle) {
    return through("KV318_PStop", handle, -1, Quiet::No,
                   [](const KV318_BACKEND_OPS& o, std::int32_t h) { return o.p_stop(h); });
}

KV318_EXPORT int32_t KV318_CALL KV318_ServedStatus(int32_t handle, KV318_SERVED_STATUS* status) {
    constexpr char kCall[] = "KV318_ServedStatus";
    clear_last_error();
    if (status == nullptr || status->size < 16) {
        record_failure(kCall, status == nullptr ? "status is NULL" : "status->size is below 16");
        return -1;
    }
    if (handle == kInvalidHandle) {
        // About the last served open that failed: the served table knows it,
        // if one was ever loaded; otherwise no served open got that far.
        const KV318_BACKEND_OPS* ops = loaded_served_backend();
        if (ops == nullptr) {
            record_failure(kCall, "no client of kv318-server was loaded");
            return -1;
        }
        const std::int32_t r = ops->status(kInvalidHandle, status);
        take_served_failure(kCall, *ops);
        return r;
    }
    Route r;
    if (!served_table_of(kCall, handle, &r)) return -1;
    const std::int32_t result = r.ops->status(r.handle, status);
    take_served_failure(kCall, *r.ops);
    return result;
}

KV318_EXPORT int32_t KV318_CALL KV318_Follow(int32_t handle) {
    constexpr char kCall[] = "KV318_Follow";
    clear_last_error();
    Route r;
    if (!served_table_of(kCall, handle, &r)) return -1;
    const std::int32_t result = r.ops->follow(r.handle);
    take_served_failure(kCall, *r.ops);
    return result;
}

KV318_EXPORT int32_t KV318_CALL KV318_ServedBoard(int32_t handle, int32_t clock_hz, int32_t fifo_bytes) {
    constexpr char kCall[] = "KV318_ServedBoard";
    clear_last_error();
    Route r;
    if (!served_table_of(kCall, handle, &r)) return -1;
    const std::int32_t result = r.ops->board(r.handle, clock_hz, fifo_bytes);
    take_served_failure(kCall, *r.ops);
    return result;
}

}  // extern "C"
