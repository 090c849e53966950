// `selftest`: the bench test without a window.  Each check prints one PASS
// or FAIL line; the exit code is 0 only when every check passed.
#include <chrono>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "exit_codes.h"

namespace kv318::cli::detail {

namespace {

struct Check {
    std::string name;
    bool pass;
    std::string detail;
    bool skipped = false;  // not run, and not a failure: detail says why
};

// Output that only counts: the stream check keeps no samples.
class NullOutput : public ByteOutput {
public:
    bool write(const void*, std::size_t size) override {
        landed_ += size;
        return true;
    }
    std::uint64_t landed() const override { return landed_; }
    bool rewrite(std::uint64_t, const void*, std::size_t) override { return false; }
    bool flush() override { return true; }
    std::string error() const override { return {}; }

private:
    std::uint64_t landed_ = 0;
};

Check identity(const Environment& env, std::int32_t h) {
    char text[KV318_INFO_BYTES + 1] = {};
    const std::int32_t r = env.api.info(h, text);
    std::string first, second;
    split_identity(text, &first, &second);
    return {"identity", r == 0 && !first.empty(),
            r == 0 ? first + " | " + second : "KV318_Info returned " + std::to_string(r)};
}

// What the checks change on the board, as it was before them, so selftest
// can put it back or say what it could not.
struct BoardState {
    std::int32_t counter = -1;  // KV318_CRead before: -1 while it holds no valid count
    std::int32_t state = -1;    // register 8: bit 7 the pulse generator runs, bit 6 its mode
    std::int32_t inputs = -1;   // DI before the loopback walk: the outputs, when looped back
    bool pulsed = true;         // the pulse check ran (it is skipped beside another process's run)
};

Check counter_advances(const Environment& env, std::int32_t h, const BoardState& before) {
    // A counter that already counts is watched as it is: restarting it
    // would lose a count that someone may be keeping.
    if (before.counter < 0 && env.api.cRun(h) != 0) return {"counter advances", false, "KV318_CRun failed"};
    const std::int32_t first = env.api.cRead(h);
    std::int32_t last = first;
    const auto t0 = std::chrono::steady_clock::now();
    // Up to two seconds for the count to move on.
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) {
        pause(env, 10);
        last = env.api.cRead(h);
        if (first >= 0 && last > first) break;
    }
    const bool pass = first >= 0 && last > first;
    return {"counter advances", pass, std::to_string(first) + " -> " + std::to_string(last)};
}

Check pulse(const Environment& env, std::int32_t h) {
    // Bit 7 of the state register is the generator's run bit.
    const bool started = env.api.pRun(h, 0, 2) == 0;
    const std::int32_t running = env.api.inb(h, 8);
    const bool stopped = env.api.pStop(h) == 0;
    const std::int32_t idle = env.api.inb(h, 8);
    const bool pass = started && stopped && running >= 0 && (running & 0x80) != 0 && idle >= 0 && (idle & 0x80) == 0;
    char detail[96];
    std::snprintf(detail, sizeof detail, "state 0x%02X running, 0x%02X stopped", static_cast<unsigned>(running & 0xFF),
                  static_cast<unsigned>(idle & 0xFF));
    return {"pulse generator starts and stops", pass,
            !started   ? "KV318_PRun failed"
            : !stopped ? "KV318_PStop failed"
                       : std::string(detail)};
}

Check stream_one_second(const Invocation& inv, const Environment& env, std::int32_t h) {
    NullOutput sink;
    SampleWriter writer(Format::Raw, sink, inv.clockHz, 50);
    StreamSettings s;
    s.divider = 50;
    s.clockHz = inv.clockHz;
    s.maxSeconds = 1.0;
    const std::atomic<bool> never{false};
    const StreamOutcome r = run_stream(env.api, h, s, writer, never, nullptr);
    if (!r.started) {
        // Another client of kv318-server runs the board: as for another
        // process, the check is skipped, not failed.
        RemoteStatus remote;
        if (served_status(env.api, h, &remote) && remote.busy) return {"stream 1 s", true, remote.failure, true};
        // Another process may have started between the look and our start.
        const std::string busy = streaming_elsewhere(env, inv.board);
        if (!busy.empty()) return {"stream 1 s", true, busy, true};
        return {"stream 1 s", false, "KV318_AD failed"};
    }
    const double expected = static_cast<double>(inv.clockHz) / 50.0 * r.seconds;
    const auto n = static_cast<double>(r.samples);
    // Half the nominal count allows for what is still on its way at the
    // stop; more than half again as many means a wrong rate.
    const bool plausible = n >= 0.5 * expected && n <= 1.5 * expected;
    char detail[128];
    std::snprintf(detail, sizeof detail, "%llu samples in %.2f s at divider 50 (nominal %.0f)%s",
                  static_cast<unsigned long long>(r.samples), r.seconds, expected,
                  r.readFailure != 0 ? (", read returned " + std::to_string(r.readFailure)).c_str() : "");
    return {"stream 1 s", r.readFailure == 0 && plausible, detail};
}

// Puts back what the checks changed that can be put back, and lists in
// *changed what could not be, in words.
void restore(const Environment& env, std::int32_t h, const BoardState& before, bool walked, bool walksPassed,
             std::vector<std::string>* restored, std::vector<std::string>* changed) {
    if (before.counter < 0) {
        changed->push_back("counter: left counting from 0 (it held no count before, and nothing stops it)");
    } else {
        restored->push_back("counter: left counting, not restarted");
    }
    const bool wasRunning = before.state >= 0 && (before.state & 0x80) != 0;
    if (!before.pulsed) {
        // Left alone, so nothing to put back.
    } else if (before.state < 0) {
        changed->push_back("pulse generator: left stopped (its state could not be read before the test)");
    } else if (wasRunning) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "pulse generator: left stopped; it was running (mode %d), and its divisor cannot be read "
                      "back to restart it",
                      (before.state & 0x40) != 0 ? 1 : 0);
        changed->push_back(text);
    } else {
        restored->push_back("pulse generator: stopped, as before");
    }
    if (!walked) return;
    char text[160];
    // The walks passed, so the inputs mirror the outputs: what they read
    // before the walk was the output word.
    if (walksPassed && before.inputs >= 0 && env.api.doWrite(h, before.inputs) == 0 && env.api.di(h) == before.inputs) {
        std::snprintf(text, sizeof text, "outputs: 0x%04X again, as the looped-back inputs read before the walk",
                      static_cast<unsigned>(before.inputs));
        restored->push_back(text);
    } else {
        env.api.doWrite(h, 0);
        changed->push_back(
            "outputs: left at 0x0000; the board cannot read its outputs back, and the inputs did not "
            "mirror them, so their earlier word is unknown");
    }
}

// A one (or a zero) walked across the 16 outputs must come back on the
// inputs.
Check walk(const Environment& env, std::int32_t h, bool one) {
    for (int bit = 0; bit < 16; ++bit) {
        const std::int32_t word = one ? (1 << bit) : (~(1 << bit) & 0xFFFF);
        const bool wrote = env.api.doWrite(h, word) == 0;
        const std::int32_t got = env.api.di(h);
        if (!wrote || got != word) {
            char detail[80];
            std::snprintf(detail, sizeof detail, "DO 0x%04X read back 0x%04X on DI", static_cast<unsigned>(word),
                          static_cast<unsigned>(got & 0xFFFF));
            env.api.doWrite(h, 0);
            return {one ? "loopback walking one" : "loopback walking zero", false,
                    wrote ? std::string(detail) : "KV318_DO failed"};
        }
    }
    env.api.doWrite(h, 0);
    return {one ? "loopback walking one" : "loopback walking zero", true, "16 outputs"};
}

}  // namespace

int run_selftest(const Invocation& inv, const Environment& env) {
    std::vector<Check> checks;
    std::vector<std::string> restored, changed;
    const std::int32_t h = env.api.open(inv.board);
    checks.push_back({"open", h != -1, "board " + std::to_string(inv.board)});
    if (h != -1) {
        BoardState before;
        // The pulse check reads its state register, which the library
        // refuses while another process streams the board; and that
        // process may be using the generator.
        const std::string holder = held_elsewhere(env, inv.board);
        before.pulsed = holder.empty();
        before.counter = env.api.cRead(h);
        if (before.pulsed) before.state = env.api.inb(h, 8);
        if (inv.loopback) before.inputs = env.api.di(h);
        checks.push_back(identity(env, h));
        checks.push_back(counter_advances(env, h, before));
        checks.push_back(before.pulsed ? pulse(env, h) : Check{"pulse generator starts and stops", true, holder, true});
        // Never disturb another process's acquisition: its stream would
        // lose data, and ours would only be refused.
        const std::string busy = streaming_elsewhere(env, inv.board);
        checks.push_back(busy.empty() ? stream_one_second(inv, env, h) : Check{"stream 1 s", true, busy, true});
        if (inv.loopback) {
            checks.push_back(walk(env, h, true));
            checks.push_back(walk(env, h, false));
        }
        const bool walksPassed = inv.loopback && checks[checks.size() - 1].pass && checks[checks.size() - 2].pass;
        restore(env, h, before, inv.loopback, walksPassed, &restored, &changed);
        env.api.close(h);
    }
    int failed = 0;
    int skipped = 0;
    std::string json;
    for (const Check& c : checks) {
        if (!c.pass) ++failed;
        if (c.skipped) ++skipped;
        if (inv.json) {
            json += std::string(json.empty() ? "" : ",") + "{\"check\":" + json_string(c.name) +
                    ",\"pass\":" + (c.pass ? "true" : "false") + (c.skipped ? ",\"skipped\":true" : "") +
                    ",\"detail\":" + json_string(c.detail) + "}";
        } else {
            std::fprintf(env.out, "%s  %s: %s\n",
                         c.skipped ? "SKIP"
                         : c.pass  ? "PASS"
                                   : "FAIL",
                         c.name.c_str(), escaped_text(c.detail).c_str());
        }
    }
    auto json_list = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) {
            if (!text.empty()) text += ',';
            text += json_string(item);
        }
        return "[" + text + "]";
    };
    if (inv.json) {
        std::fprintf(env.out,
                     "{\"board\":%d,\"pass\":%s,\"failed\":%d,\"checks\":[%s],\"restored\":%s,\"left_changed\":%s}\n",
                     inv.board, failed == 0 ? "true" : "false", failed, json.c_str(), json_list(restored).c_str(),
                     json_list(changed).c_str());
    } else {
        for (const std::string& line : restored) std::fprintf(env.out, "restored      %s\n", line.c_str());
        for (const std::string& line : changed) std::fprintf(env.out, "LEFT CHANGED  %s\n", line.c_str());
        std::fprintf(env.out, "selftest %s: %zu checks, %d failed%s\n", failed == 0 ? "PASS" : "FAIL", checks.size(),
                     failed, skipped > 0 ? (", " + std::to_string(skipped) + " skipped").c_str() : "");
    }
    if (h == -1) {
        std::fprintf(env.err, "board %d: not found%s\n", inv.board, env.notFoundHint(inv.board).c_str());
        return kExitNotFound;
    }
    return failed == 0 ? kExitOk : kExitSelftestFailed;
}

}  // namespace kv318::cli::detail
