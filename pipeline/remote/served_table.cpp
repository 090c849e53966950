#include "served_table.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "option_limits.h"
#include "remote_handles.h"

namespace kv318::remote {

namespace {

static_assert(kServerSilenceMs == KV318_SERVED_SILENCE_MS, "the table waits as long as the header promises");

// The calling thread's texts: plain arrays, so a thread that ends (or a
// library unloaded after it) has nothing to destroy.  The last entry's
// failure, and the url and failure of the thread's last open that failed.
thread_local char tLastError[KV318_SERVED_TEXT_BYTES];
thread_local char tOpenUrl[KV318_SERVED_URL_BYTES];
thread_local char tOpenFailure[KV318_SERVED_TEXT_BYTES];
// That open found the server silent, so a program that probes its boards
// one by one need not wait out the silence for each.
thread_local bool tOpenSilent;

// Copies `text` into `to` of `size` bytes, cut to fit, zero-terminated.
void copy_text(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

void say(const std::string& text) { copy_text(tLastError, sizeof tLastError, text); }

std::string not_open(std::int32_t handle) { return "handle " + std::to_string(handle) + " is not open"; }

struct World {
    std::mutex lock;  // guards `world`
    ServedWorld world;
};

World& world() {
    static World w;
    return w;
}

// When an entry's result is a failure whose words the thread gets.
enum class Fails {
    kNegative,  // a negative result (with words: KV318_CRead's -1 for "no valid count" has none)
    kWords,     // whenever the board has words for it (KV318_DI, whose 65535 cannot show it)
};

// Runs `call` on the handle's board and says its failure; `failed` and the
// words for a handle that is not open.
template <class Call>
std::int32_t on_board(std::int32_t handle, std::int32_t failed, Fails fails, Call&& call) {
    std::int32_t result = failed;
    std::string failure;
    const bool held = with_handle(handle, [&](RemoteBoard& b) {
        result = call(b);
        if (fails == Fails::kWords || result < 0) failure = b.report().failure;
    });
    say(held ? failure : not_open(handle));
    return held ? result : failed;
}

// A pointer the entry needs was not given: -1 with words saying which.
std::int32_t null_argument(const char* what) {
    say(std::string(what) + " is NULL");
    return -1;
}

std::int32_t served_open(const char* url, std::int32_t board, const char* keys) {
    const std::string where = url != nullptr ? url : "";
    auto fail = [&where](const std::string& why, bool silent = false) {
        tOpenSilent = silent;
        copy_text(tOpenUrl, sizeof tOpenUrl, where);
        copy_text(tOpenFailure, sizeof tOpenFailure, why);
        say(why);
        return -1;
    };
    if (where.empty()) return fail("no kv318-server URL was given");
    ServedWorld w;
    {
        World& all = world();
        const std::lock_guard<std::mutex> hold(all.lock);
        w = all.world;
    }
    RemoteSettings settings;
    settings.url = where;
    std::string why;
    if (!w.settings(where, keys != nullptr ? keys : "", &settings, &why)) return fail(why);
    const auto makeLink = [&w, &settings](const std::string&, std::int32_t number, std::string* failure) {
        return w.makeLink(settings, number, failure);
    };
    const OpenOutcome opened = open_handle(settings, makeLink, board);
    if (opened.handle == -1) return fail(opened.failure, opened.silent);
    if (opened.handle >= KV318_SERVED_HANDLE_SPAN) {
        close_handle(opened.handle);
        return fail("this process has opened more served boards than their handles can number");
    }
    say("");
    return opened.handle;
}

std::int32_t served_close(std::int32_t handle) {
    const bool held = close_handle(handle);
    say(held ? "" : not_open(handle));
    return held ? 0 : -1;
}

std::int32_t served_info(std::int32_t h, char* text) {
    if (text == nullptr) return null_argument("text");
    return on_board(h, -1, Fails::kNegative, [text](RemoteBoard& b) { return b.info(text); });
}
std::int32_t served_inb(std::int32_t h, std::int32_t reg) {
    return on_board(h, -1, Fails::kNegative, [reg](RemoteBoard& b) { return b.inb(reg); });
}
std::int32_t served_outb(std::int32_t h, std::int32_t reg, std::int32_t value) {
    return on_board(h, -1, Fails::kNegative, [reg, value](RemoteBoard& b) { return b.outb(reg, value); });
}

// Bulk reads and resets would take the bytes of the server's stream.
std::int32_t not_served(std::int32_t h) {
    const bool held = with_handle(h, [](RemoteBoard&) {});
    say(held ? kNotServedText : not_open(h));
    return -1;
}
std::int32_t served_bulk_read(std::int32_t h, void*, std::int32_t) { return not_served(h); }
std::int32_t served_reset_usb(std::int32_t h) { return not_served(h); }

std::int32_t start(std::int32_t h, bool polled, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                   std::int32_t divider) {
    const std::int32_t flags[4] = {f1, f2, f3, f4};
    return on_board(h, -1, Fails::kNegative, [&](RemoteBoard& b) { return b.start(polled, flags, divider); });
}
std::int32_t served_ad(std::int32_t h, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                       std::int32_t divider) {
    return start(h, false, f1, f2, f3, f4, divider);
}
std::int32_t served_m_ad(std::int32_t h, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                         std::int32_t divider) {
    return start(h, true, f1, f2, f3, f4, divider);
}
std::int32_t served_read(std::int32_t h, std::int32_t* samples) {
    if (samples == nullptr) return null_argument("samples");
    return on_board(h, -1, Fails::kNegative,
                    [samples](RemoteBoard& b) { return b.read(samples, pipeline::kReadCapacity); });
}
std::int32_t served_m_read(std::int32_t h, std::int32_t* samples, std::int32_t* carry, std::int32_t) {
    if (samples == nullptr) return null_argument("samples");
    if (carry == nullptr) return null_argument("carry");
    return on_board(h, -1, Fails::kNegative, [=](RemoteBoard& b) { return b.polled_read(samples, carry); });
}
// The stops always succeed, as the exports' do: what ended the run stays
// in the status, not in the thread's text.
std::int32_t served_stop(std::int32_t h) {
    with_handle(h, [](RemoteBoard& b) { b.stop(); });
    say("");
    return 0;
}
std::int32_t served_stream_stats(std::int32_t h, KV318_STREAM_STATS* stats) {
    if (stats == nullptr || stats->size < 16) {
        say("the statistics' structure is NULL or its size is below 16");
        return -1;
    }
    return on_board(h, -1, Fails::kNegative, [stats](RemoteBoard& b) { return b.stats(stats); });
}

std::int32_t served_di(std::int32_t h) {
    return on_board(h, 0xFFFF, Fails::kWords, [](RemoteBoard& b) { return b.di(); });
}
std::int32_t served_do(std::int32_t h, std::int32_t value) {
    return on_board(h, -1, Fails::kNegative, [value](RemoteBoard& b) { return b.do_write(value); });
}
std::int32_t served_c_run(std::int32_t h) {
    return on_board(h, -1, Fails::kNegative, [](RemoteBoard& b) { return b.counter_run(); });
}
std::int32_t served_c_read(std::int32_t h) {
    return on_board(h, -1, Fails::kNegative, [](RemoteBoard& b) { return b.counter_read(); });
}
std::int32_t served_p_run(std::int32_t h, std::int32_t mode, std::int32_t divisor) {
    return on_board(h, -1, Fails::kNegative, [=](RemoteBoard& b) { return b.pulse_run(mode, divisor); });
}
std::int32_t served_p_stop(std::int32_t h) {
    return on_board(h, -1, Fails::kNegative, [](RemoteBoard& b) { return b.pulse_stop(); });
}
std::int32_t served_follow(std::int32_t h) {
    return on_board(h, -1, Fails::kNegative, [](RemoteBoard& b) { return b.follow(); });
}

// The server refuses a start whose clock or FIFO size is outside the ranges
// the tools take on their command lines, so they are refused here, where
// the caller still learns which.
std::int32_t served_board(std::int32_t h, std::int32_t clockHz, std::int32_t fifoBytes) {
    for (const std::string& why :
         {pipeline::check_limit(pipeline::kClockHz, clockHz), pipeline::check_limit(pipeline::kFifoBytes, fifoBytes)}) {
        if (!why.empty()) {
            say(why);
            return -1;
        }
    }
    return on_board(h, -1, Fails::kNegative, [=](RemoteBoard& b) {
        b.know(static_cast<std::uint64_t>(clockHz), static_cast<std::uint64_t>(fifoBytes));
        return 0;
    });
}

// Where each field of KV318_SERVED_STATUS after `size` ends: a caller's
// structure gets the whole fields its size holds.
constexpr std::size_t kStatusFieldEnds[] = {
    offsetof(KV318_SERVED_STATUS, flags) + sizeof(KV318_SERVED_STATUS::flags),
    offsetof(KV318_SERVED_STATUS, stream) + sizeof(KV318_SERVED_STATUS::stream),
    offsetof(KV318_SERVED_STATUS, divider) + sizeof(KV318_SERVED_STATUS::divider),
    offsetof(KV318_SERVED_STATUS, clock_hz) + sizeof(KV318_SERVED_STATUS::clock_hz),
    offsetof(KV318_SERVED_STATUS, next_index) + sizeof(KV318_SERVED_STATUS::next_index),
    offsetof(KV318_SERVED_STATUS, missed) + sizeof(KV318_SERVED_STATUS::missed),
    offsetof(KV318_SERVED_STATUS, url) + sizeof(KV318_SERVED_STATUS::url),
    offsetof(KV318_SERVED_STATUS, controller) + sizeof(KV318_SERVED_STATUS::controller),
    offsetof(KV318_SERVED_STATUS, failure) + sizeof(KV318_SERVED_STATUS::failure),
};
static_assert(kStatusFieldEnds[std::size(kStatusFieldEnds) - 1] == sizeof(KV318_SERVED_STATUS));

void fill_status(const pipeline::RemoteStatus& r, KV318_SERVED_STATUS* s) {
    s->flags = (r.following ? KV318_SERVED_FOLLOWING : 0u) | (r.controlling ? KV318_SERVED_CONTROLLING : 0u) |
               (r.busy ? KV318_SERVED_BUSY : 0u) | (r.gone ? KV318_SERVED_GONE : 0u) |
               (r.disconnected ? KV318_SERVED_DISCONNECTED : 0u) | (r.ended ? KV318_SERVED_ENDED : 0u);
    s->stream = r.stream;
    s->divider = r.divider;
    s->clock_hz = r.clockHz;
    s->next_index = r.nextIndex;
    s->missed = r.missed;
    copy_text(s->url, sizeof s->url, r.url);
    copy_text(s->controller, sizeof s->controller, r.controller);
    copy_text(s->failure, sizeof s->failure, r.failure);
}

std::int32_t served_status(std::int32_t h, KV318_SERVED_STATUS* status) {
    if (status == nullptr || status->size < 16) {
        say("the status structure is NULL or its size is below 16");
        return -1;
    }
    KV318_SERVED_STATUS all{};
    if (h == -1) {
        std::memcpy(all.url, tOpenUrl, sizeof all.url);
        std::memcpy(all.failure, tOpenFailure, sizeof all.failure);
        all.flags = tOpenSilent ? KV318_SERVED_GONE : 0u;
    } else {
        pipeline::RemoteStatus r;
        if (!with_handle(h, [&r](RemoteBoard& b) { r = b.report(); })) {
            say(not_open(h));
            return -1;
        }
        fill_status(r, &all);
    }
    const std::size_t from = offsetof(KV318_SERVED_STATUS, flags);
    std::size_t end = from;
    for (const std::size_t e : kStatusFieldEnds) {
        if (e <= status->size) end = e;
    }
    std::memcpy(reinterpret_cast<char*>(status) + from, reinterpret_cast<const char*>(&all) + from, end - from);
    say("");
    return 0;
}

std::int32_t served_last_error(char* text, std::int32_t size) {
    if (text == nullptr || size < 1) return -1;
    const std::size_t length = std::strlen(tLastError);
    const std::size_t n = std::min(length, static_cast<std::size_t>(size) - 1);
    std::memcpy(text, tLastError, n);
    text[n] = '\0';
    return static_cast<std::int32_t>(length);
}

constexpr KV318_BACKEND_OPS kTable = {
    .size = sizeof(KV318_BACKEND_OPS),
    .abi = KV318_BACKEND_ABI,
    .open = served_open,
    .close = served_close,
    .info = served_info,
    .inb = served_inb,
    .outb = served_outb,
    .bulk_read = served_bulk_read,
    .reset_usb = served_reset_usb,
    .ad = served_ad,
    .read = served_read,
    .stop_ad = served_stop,
    .m_ad = served_m_ad,
    .m_read = served_m_read,
    .m_stop_ad = served_stop,
    .stream_stats = served_stream_stats,
    .di = served_di,
    .do_write = served_do,
    .c_run = served_c_run,
    .c_read = served_c_read,
    .p_run = served_p_run,
    .p_stop = served_p_stop,
    .follow = served_follow,
    .status = served_status,
    .last_error = served_last_error,
    .board = served_board,
};

}  // namespace

const KV318_BACKEND_OPS* served_table(ServedWorld w) {
    World& all = world();
    const std::lock_guard<std::mutex> hold(all.lock);
    all.world = std::move(w);
    return &kTable;
}

}  // namespace kv318::remote
