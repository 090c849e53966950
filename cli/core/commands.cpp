#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "json.h"
#include "exit_codes.h"

namespace kv318::cli {

namespace detail {

std::int32_t open_board(const Invocation& inv, const Environment& env) {
    const std::int32_t h = env.api.open(inv.board);
    if (h == -1) std::fprintf(env.err, "board %d: not found%s\n", inv.board, env.notFoundHint(inv.board).c_str());
    return h;
}

int call_failed(const Environment& env, std::int32_t board, const char* call, const std::string& given,
                std::int32_t handle) {
    // The library's words first: asking a board of this process for its
    // served status leaves words of its own.
    const std::string words = library_words(env.api, call);
    RemoteStatus remote;
    const bool remoteFailed = handle != -1 && served_status(env.api, handle, &remote) && !remote.failure.empty();
    if (remoteFailed && remote.disconnected) {
        // The server's words name the board and say it waits for it.
        std::fprintf(env.err, "%s\n", remote.failure.c_str());
        return kExitFailed;
    }
    const std::string why = remoteFailed ? remote.failure : !given.empty() ? given : words;
    std::fprintf(env.err, "board %d: %s failed%s%s\n", board, call, why.empty() ? "" : ": ", why.c_str());
    return kExitFailed;
}

std::string streaming_elsewhere(const Environment& env, std::int32_t board) {
    std::uint32_t pid = 0;
    if (env.streamingElsewhere == nullptr || !env.streamingElsewhere(board, &pid)) return {};
    return board_busy_text(board, pid);
}

std::string held_elsewhere(const Environment& env, std::int32_t board) {
    std::uint32_t pid = 0;
    if (env.heldElsewhere == nullptr || !env.heldElsewhere(board, &pid)) return {};
    return board_holder_text(board, pid);
}

bool pause(const Environment& env, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!env.stop.load(std::memory_order_relaxed)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
    return false;
}

}  // namespace detail

namespace {

using namespace detail;

// Closes the handle when the command is done with it.
struct OpenBoard {
    const Environment& env;
    std::int32_t handle;
    OpenBoard(const Invocation& inv, const Environment& e) : env(e), handle(open_board(inv, e)) {}
    ~OpenBoard() {
        if (handle != -1) env.api.close(handle);
    }
    bool ok() const { return handle != -1; }
};

std::string bits16(std::uint32_t word) {
    std::string s;
    for (int bit = 15; bit >= 0; --bit) {
        s += (word >> bit) & 1 ? '1' : '0';
        if (bit % 4 == 0 && bit > 0) s += ' ';
    }
    return s;
}

int list(const Invocation& inv, const Environment& env) {
    std::string json;
    int found = 0;
    for (std::int32_t board = inv.board; board < inv.board + inv.maxBoards; ++board) {
        const std::int32_t h = env.api.open(board);
        if (h == -1) continue;
        char text[KV318_INFO_BYTES + 1] = {};
        const bool read = env.api.info(h, text) == 0;
        env.api.close(h);
        std::string first, second;
        split_identity(text, &first, &second);
        if (inv.json) {
            json += std::string(found > 0 ? "," : "") + "{\"board\":" + std::to_string(board) +
                    ",\"string1\":" + json_string(first) + ",\"string2\":" + json_string(second) +
                    ",\"identity_read\":" + (read ? "true" : "false") + "}";
        } else {
            std::fprintf(env.out, "board %d: %s%s%s\n", board, escaped_text(first).c_str(), second.empty() ? "" : " | ",
                         read ? escaped_text(second).c_str() : "(identity not readable)");
        }
        ++found;
    }
    if (inv.json) std::fprintf(env.out, "{\"boards\":[%s]}\n", json.c_str());
    if (found == 0) {
        std::fprintf(env.err, "no board found among boards %d-%d%s\n", inv.board, inv.board + inv.maxBoards - 1,
                     env.notFoundHint(inv.board).c_str());
        return kExitNotFound;
    }
    return kExitOk;
}

int info(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    char text[KV318_INFO_BYTES + 1] = {};
    if (env.api.info(b.handle, text) != 0) {
        // String 1 missing leaves the text untouched; string 2 missing
        // leaves string 1 and the spaces.
        return call_failed(
            env, inv.board, "KV318_Info",
            text[0] == '\0' ? "identity string 1 could not be read" : "identity string 2 could not be read", b.handle);
    }
    std::string first, second;
    split_identity(text, &first, &second);
    if (inv.json) {
        std::fprintf(env.out, "{\"board\":%d,\"string1\":%s,\"string2\":%s}\n", inv.board, json_string(first).c_str(),
                     json_string(second).c_str());
    } else {
        std::fprintf(env.out, "board %d\n  string 1: %s\n  string 2: %s\n", inv.board, escaped_text(first).c_str(),
                     escaped_text(second).c_str());
    }
    return kExitOk;
}

// A failed raw register call: the library refuses them while another
// process holds the board's acquisition (a read of the mode register
// would stop it), and then the user hears who, as for a refused start.
int register_failed(const Environment& env, std::int32_t board, const char* call, std::int32_t handle) {
    const std::string busy = held_elsewhere(env, board);
    if (busy.empty()) return call_failed(env, board, call, {}, handle);
    std::fprintf(env.err, "%s: %s is refused until it stops (DI, DO, counter and pulse stay free)\n", busy.c_str(),
                 call);
    return kExitBoardBusy;
}

int reg(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    if (inv.command == Command::RegSet) {
        if (env.api.outb(b.handle, inv.reg, inv.value) != 0)
            return register_failed(env, inv.board, "KV318_outb", b.handle);
        std::fprintf(env.out, "register 0x%02X = 0x%02X\n", static_cast<unsigned>(inv.reg),
                     static_cast<unsigned>(inv.value));
        return kExitOk;
    }
    const std::int32_t v = env.api.inb(b.handle, inv.reg);
    if (v < 0) return register_failed(env, inv.board, "KV318_inb", b.handle);
    std::fprintf(env.out, "register 0x%02X = 0x%02X (%d)\n", static_cast<unsigned>(inv.reg), static_cast<unsigned>(v),
                 v);
    return kExitOk;
}

int di(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    const std::int32_t word = env.api.di(b.handle);
    // The library reports a failed read as all inputs high; a status read
    // that fails as well tells the two apart.
    // Through kv318-server the failure is known as such, and the status
    // register may be another client's to read.
    // While another process streams the board the status register is
    // refused; the identity strings, which it leaves alone, answer then.
    auto failed = [&] {
        RemoteStatus remote;
        if (served_status(env.api, b.handle, &remote)) return !remote.failure.empty();
        if (!held_elsewhere(env, inv.board).empty()) {
            char text[KV318_INFO_BYTES + 1] = {};
            return env.api.info(b.handle, text) != 0;
        }
        return !board_answers(env.api, b.handle);
    };
    if (word < 0 || (word == 0xFFFF && failed())) {
        return call_failed(env, inv.board, "KV318_DI", "the input register could not be read", b.handle);
    }
    const auto w = static_cast<std::uint32_t>(word);
    if (inv.json) {
        std::fprintf(env.out, "{\"board\":%d,\"di\":%u,\"hex\":\"0x%04X\",\"bits\":\"%s\"}\n", inv.board, w, w,
                     bits16(w).c_str());
    } else {
        std::fprintf(env.out, "0x%04X  %s  (DI15..DI0)\n", w, bits16(w).c_str());
    }
    return kExitOk;
}

int do_write(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    if (env.api.doWrite(b.handle, inv.value) != 0) return call_failed(env, inv.board, "KV318_DO", {}, b.handle);
    std::fprintf(env.out, "outputs = 0x%04X\n", static_cast<unsigned>(inv.value));
    return kExitOk;
}

int counter(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    if (inv.command == Command::CounterStart) {
        if (env.api.cRun(b.handle) != 0) return call_failed(env, inv.board, "KV318_CRun", {}, b.handle);
        std::fprintf(env.out, "counter started from 0\n");
        return kExitOk;
    }
    if (inv.command == Command::CounterRead) {
        const std::int32_t v = env.api.cRead(b.handle);
        if (inv.json) {
            std::fprintf(env.out, "{\"board\":%d,\"valid\":%s,\"counter\":%s}\n", inv.board, v >= 0 ? "true" : "false",
                         v >= 0 ? std::to_string(v).c_str() : "null");
        } else if (v >= 0) {
            std::fprintf(env.out, "%d\n", v);
        }
        if (v < 0) {
            return call_failed(env, inv.board, "KV318_CRead",
                               "no valid count: the counter is not running or went past 65535; "
                               "'counter start' starts it from 0",
                               b.handle);
        }
        return kExitOk;
    }
    // watch: one line per interval, "seconds count", until Ctrl-C.
    const auto t0 = std::chrono::steady_clock::now();
    do {
        const std::int32_t v = env.api.cRead(b.handle);
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (v >= 0) std::fprintf(env.out, "%.3f %d\n", t, v);
        else std::fprintf(env.out, "%.3f invalid\n", t);
        // A reader that went away (`| head`) ends the watch.
        if (std::fflush(env.out) != 0 || std::ferror(env.out)) return kExitOutputFailed;
    } while (pause(env, inv.intervalMs));
    return kExitOk;
}

int pulse(const Invocation& inv, const Environment& env) {
    OpenBoard b(inv, env);
    if (!b.ok()) return kExitNotFound;
    if (inv.command == Command::PulseStop) {
        if (env.api.pStop(b.handle) != 0) return call_failed(env, inv.board, "KV318_PStop", {}, b.handle);
        std::fprintf(env.out, "pulse generator stopped\n");
        return kExitOk;
    }
    if (env.api.pRun(b.handle, inv.pulseMode, inv.pulseDivisor) != 0)
        return call_failed(env, inv.board, "KV318_PRun", {}, b.handle);
    std::fprintf(env.out, "pulse generator running (mode %d, divisor %d)\n", inv.pulseMode, inv.pulseDivisor);
    return kExitOk;
}

}  // namespace

int run_command(const Invocation& inv, const Environment& env) {
    switch (inv.command) {
    case Command::List:
        return list(inv, env);
    case Command::Info:
        return info(inv, env);
    case Command::RegGet:
    case Command::RegSet:
        return reg(inv, env);
    case Command::Di:
        return di(inv, env);
    case Command::Do:
        return do_write(inv, env);
    case Command::CounterStart:
    case Command::CounterRead:
    case Command::CounterWatch:
        return counter(inv, env);
    case Command::PulseStart:
    case Command::PulseStop:
        return pulse(inv, env);
    case Command::Stream:
    case Command::Poll:
        return run_stream_command(inv, env);
    case Command::Selftest:
        return run_selftest(inv, env);
    case Command::Capture:
        return run_capture_command(inv, env);
    }
    return kExitUsage;
}

}  // namespace kv318::cli
