#include "control.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "option_limits.h"

namespace kv318::server {

namespace {

using remote::Message;
namespace code = remote::code;

Message ok() {
    Message m;
    m.word = "ok";
    return m;
}

Message ok_result(std::int32_t result) { return ok().set("result", result); }

Message missing(const std::string& key, const std::string& range) {
    return remote::error_reply(code::kBadArgument, "field " + key + " must be " + range);
}

// Reads the integer `key` within `limit`, the range the board takes (the
// library would clamp or mask anything else, and the server would then
// pass on a number that is not what runs).  False with *refusal a
// bad-argument that gives the range.
bool take(const Message& m, const char* key, const pipeline::Limit& limit, std::int64_t* out, Message* refusal) {
    if (m.get_int(key, INT64_MIN, INT64_MAX, out)) {
        const std::string why = pipeline::check_limit(limit, *out);
        if (why.empty()) return true;
        *refusal = remote::error_reply(code::kBadArgument, std::string(key) + ": " + why);
        return false;
    }
    *refusal = missing(key, std::string("a ") + limit.what + " " + pipeline::range_text(limit));
    return false;
}

// The verbs that need control, or no controller on the board.
bool needs_control(const std::string& verb) {
    return verb == "do" || verb == "inb" || verb == "outb" || verb == "counter-run" || verb == "counter-read" ||
           verb == "pulse-run" || verb == "pulse-stop" || verb == "start" || verb == "stop";
}

// The verbs of one board that anyone may ask.
bool looks(const std::string& verb) { return verb == "info" || verb == "di" || verb == "status" || verb == "stats"; }

std::string board_list(const std::vector<std::uint16_t>& boards) {
    std::string out;
    for (const std::uint16_t b : boards) {
        if (!out.empty()) out += ',';
        out += std::to_string(b);
    }
    return out;
}

std::string join(const std::uint64_t* values, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += ',';
        out += std::to_string(values[i]);
    }
    return out;
}

}  // namespace

Control::Control(const std::vector<BoardHost*>& boards, std::string serverName) : serverName_(std::move(serverName)) {
    for (BoardHost* h : boards) boards_.push_back(Served{h, {}, {}});
}

std::string Control::answer(const std::string& text, const Caller& caller, std::int64_t nowMs) {
    Message request;
    std::string errorCode, errorText;
    if (!remote::parse_request(text, &request, &errorCode, &errorText)) {
        return remote::encode_reply(remote::error_reply(errorCode, errorText));
    }
    return remote::encode_reply(handle(request, caller, nowMs));
}

Control::Served* Control::board_of(const Message& request, Message* refusal) {
    std::int64_t board = 0;
    if (!request.get_int("board", 0, 65535, &board)) {
        *refusal = missing("board", "a board number from 0 to 65535");
        return nullptr;
    }
    for (Served& s : boards_) {
        if (s.host->board() == board && s.host->listed()) return &s;
    }
    *refusal = remote::error_reply(code::kNoBoard, "this server does not serve board " + std::to_string(board));
    return nullptr;
}

void Control::release(Served& s) {
    if (s.host->running()) s.host->stop();
    s.controller.clear();
    s.holder = Caller{};
}

bool Control::holds(const Served& s, const Caller& caller, const std::string& client) {
    return !s.controller.empty() && s.holder == caller && s.controller == client;
}

Message Control::handle(const Message& request, const Caller& caller, std::int64_t nowMs) {
    const std::string* clientField = request.find("client");
    if (clientField == nullptr || clientField->empty() || clientField->size() > 128) {
        return missing("client", "the client's name, 1 to 128 characters");
    }
    const std::string client = *clientField;
    const std::string& verb = request.word;
    const bool boardless = verb == "hello" || verb == "list" || verb == "ping" || verb == "bye";
    if (!boardless && !looks(verb) && !needs_control(verb)) {
        return remote::error_reply(code::kUnknownVerb, "this server does not know the request " + verb);
    }
    // A sign of life of this connection, and of nobody else's whatever
    // name it gives.
    lastSeen_[caller.connection] = nowMs;

    if (verb == "hello" || verb == "list") {
        std::vector<std::uint16_t> served;
        for (const Served& s : boards_) {
            if (s.host->listed()) served.push_back(s.host->board());
        }
        Message m = ok();
        if (verb == "hello") m.set("version", remote::kProtocolVersion).set("server", serverName_);
        return m.set("boards", board_list(served));
    }
    if (verb == "ping") return ok();
    if (verb == "bye") {
        bool held = false;
        for (Served& s : boards_) {
            if (holds(s, caller, client)) release(s);
            held = held || s.holder == caller;
        }
        // The connection's silence frees whatever it holds under another name.
        if (!held) lastSeen_.erase(caller.connection);
        return ok();
    }

    Message refusal;
    Served* s = board_of(request, &refusal);
    if (s == nullptr) return refusal;
    BoardHost& host = *s->host;
    const pipeline::BoardApi& api = host.api();
    const std::int32_t h = host.handle();
    // A board that went away answers nothing but its status until it is back.
    if (!host.connected() && verb != "status") return host.disconnected_reply();

    if (verb == "info") {
        // KV318_Info writes at most 256 bytes with its terminator.
        char text[512] = {};
        const std::int32_t r = api.info(h, text);
        if (r < 0 && !host.still_answers()) return host.disconnected_reply();
        return ok_result(r).set("text", std::string(text, strnlen(text, sizeof text - 1)));
    }
    if (verb == "di") return ok_result(api.di(h));
    if (verb == "status") {
        Message m = ok();
        // A run that ended on a failure has no samples to follow, though its
        // controller may not have stopped it yet.
        const bool live = host.running() && !host.ended();
        const char* state = !host.connected() ? "disconnected" : !live ? "idle" : host.polled() ? "polled" : "stream";
        m.set("state", state).set("stream", host.stream()).set("controller", s->controller);
        m.set("ended", host.running() && host.ended() ? 1 : 0);
        m.set("clock", static_cast<std::int64_t>(host.request().clockHz)).set("divider", host.request().divider);
        m.set("fifo", static_cast<std::int64_t>(host.request().fifoBytes));
        if (!host.connected()) m.set("text", host.disconnected_text());
        return m.set("next", static_cast<std::int64_t>(host.next_index()));
    }
    if (verb == "stats") {
        KV318_STREAM_STATS st{};
        if (!pipeline::read_stream_stats(api, h, &st)) return ok_result(-1);
        Message m = ok_result(0);
        m.set("mode", st.mode).set("bytes-drained", static_cast<std::int64_t>(st.bytes_drained));
        m.set("ticks", static_cast<std::int64_t>(st.ticks)).set("drains", static_cast<std::int64_t>(st.drains));
        m.set("top-level-drains", static_cast<std::int64_t>(st.top_level_drains));
        m.set("time-bound-drains", static_cast<std::int64_t>(st.time_bound_drains));
        m.set("ring-high-water", static_cast<std::int64_t>(st.ring_high_water));
        m.set("longest-gap-us", static_cast<std::int64_t>(st.longest_gap_us));
        return m.set("gaps", join(st.gap_histogram, KV318_GAP_BUCKETS));
    }

    // Everything below changes the board: only its controller may, or
    // anyone while it has none.  Its controller is the connection that
    // started it, under the name it started with: the same name from
    // another connection or with another key is somebody else.
    if (!s->controller.empty() && !holds(*s, caller, client)) {
        Message m = remote::error_reply(verb == "start" ? code::kRunning : code::kControlled,
                                        "board " + std::to_string(host.board()) + " is controlled by " + s->controller);
        return m.set("controller", s->controller);
    }

    std::int64_t a = 0, b = 0;
    Message bad;
    if (verb == "do") {
        if (!take(request, "value", pipeline::kOutputWord, &a, &bad)) return bad;
        return ok_result(api.doWrite(h, static_cast<std::int32_t>(a)));
    }
    if (verb == "inb" || verb == "outb") {
        if (!take(request, "reg", pipeline::kRegister, &a, &bad)) return bad;
        if (verb == "inb") return ok_result(api.inb(h, static_cast<std::int32_t>(a)));
        if (!take(request, "value", pipeline::kRegisterValue, &b, &bad)) return bad;
        return ok_result(api.outb(h, static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)));
    }
    if (verb == "counter-run") return ok_result(api.cRun(h));
    if (verb == "counter-read") return ok_result(api.cRead(h));
    if (verb == "pulse-run") {
        if (!take(request, "mode", pipeline::kPulseMode, &a, &bad)) return bad;
        if (!take(request, "divisor", pipeline::kPulseDivisor, &b, &bad)) return bad;
        return ok_result(api.pRun(h, static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)));
    }
    if (verb == "pulse-stop") return ok_result(api.pStop(h));
    if (verb == "stop") {
        if (!host.running()) {
            return remote::error_reply(code::kNotRunning,
                                       "no acquisition runs on board " + std::to_string(host.board()));
        }
        const std::int32_t r = host.stop();
        s->controller.clear();
        s->holder = Caller{};
        return ok_result(r);
    }

    // start
    if (host.running()) {
        // Only its own controller gets here: a second start is its mistake.
        return remote::error_reply(code::kRunning, "an acquisition runs on board " + std::to_string(host.board()))
            .set("controller", s->controller);
    }
    StartRequest r;
    const std::string* mode = request.find("mode");
    if (mode == nullptr || (*mode != "stream" && *mode != "polled")) return missing("mode", "stream or polled");
    r.polled = *mode == "polled";
    const char* flagKeys[4] = {"f1", "f2", "f3", "f4"};
    for (int i = 0; i < 4; ++i) {
        if (request.find(flagKeys[i]) == nullptr) continue;
        if (!take(request, flagKeys[i], pipeline::kModeFlag, &a, &bad)) return bad;
        r.flags[i] = static_cast<std::int32_t>(a);
    }
    // The divider the board runs is the one sent, as every block and
    // status then say: one the library would clamp is refused.
    if (!take(request, "divider", pipeline::kDivider, &a, &bad)) return bad;
    r.divider = static_cast<std::int32_t>(a);
    if (request.find("clock") != nullptr) {
        if (!take(request, "clock", pipeline::kClockHz, &a, &bad)) return bad;
        r.clockHz = static_cast<std::uint64_t>(a);
    }
    if (request.find("fifo") != nullptr) {
        if (!take(request, "fifo", pipeline::kFifoBytes, &a, &bad)) return bad;
        r.fifoBytes = static_cast<std::uint64_t>(a);
    }
    const std::int32_t result = host.start(r);
    if (result < 0 && !host.still_answers()) return host.disconnected_reply();
    if (result >= 0) {
        s->controller = client;
        s->holder = caller;
    }
    return ok_result(result).set("stream", host.stream());
}

void Control::tick(std::int64_t nowMs) {
    for (Served& s : boards_) {
        // A board that went away took its stream along: nobody controls it.
        if (!s.host->connected()) {
            s.controller.clear();
            s.holder = Caller{};
        }
        if (s.controller.empty()) continue;
        const auto seen = lastSeen_.find(s.holder.connection);
        if (seen == lastSeen_.end() || nowMs - seen->second > remote::kClientTimeoutMs) release(s);
    }
    for (auto it = lastSeen_.begin(); it != lastSeen_.end();) {
        it = nowMs - it->second > remote::kClientTimeoutMs ? lastSeen_.erase(it) : std::next(it);
    }
    if (nowMs >= nextIdleMs_) {
        for (Served& s : boards_) s.host->publish_idle();
        nextIdleMs_ = nowMs + remote::kIdleBlockMs;
    }
}

void Control::stop_all() {
    for (Served& s : boards_) release(s);
}

}  // namespace kv318::server
