#include "control.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "protocol.h"

namespace kv318::server {

namespace {

using remote::Message;
namespace code = remote::code;
namespace key = remote::key;
namespace verb = remote::verb;

Message ok() {
    Message m;
    m.word = "ok";
    return m;
}

Message ok_result(std::int32_t result) { return ok().set(remote::key::kResult, result); }

// The integer `key` of a request check_fields() took: within its range,
// or `otherwise` when it was left out.
std::int64_t number(const Message& m, const char* key, std::int64_t otherwise) {
    std::int64_t v = 0;
    return m.get_int(key, INT64_MIN, INT64_MAX, &v) ? v : otherwise;
}

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
    if (!remote::check_field(request, remote::kBoardField, &board, refusal)) return nullptr;
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
    Message refusal;
    std::int64_t unused = 0;
    if (!remote::check_field(request, remote::kClientField, &unused, &refusal)) return refusal;
    const std::string client = *request.find(key::kClient);
    const std::string& name = request.word;
    const remote::Verb* v = remote::find_verb(name);
    if (v == nullptr) return remote::error_reply(code::kUnknownVerb, "this server does not know the request " + name);
    // A sign of life of this connection, and of nobody else's whatever
    // name it gives.
    lastSeen_[caller.connection] = nowMs;

    if (name == verb::kHello || name == verb::kList) {
        std::vector<std::uint16_t> served;
        for (const Served& s : boards_) {
            if (s.host->listed()) served.push_back(s.host->board());
        }
        Message m = ok();
        if (name == verb::kHello) m.set(key::kVersion, remote::kProtocolVersion).set(key::kServer, serverName_);
        return m.set(key::kBoards, board_list(served));
    }
    if (name == verb::kPing) return ok();
    if (name == verb::kBye) {
        bool held = false;
        for (Served& s : boards_) {
            if (holds(s, caller, client)) release(s);
            held = held || s.holder == caller;
        }
        // The connection's silence frees whatever it holds under another name.
        if (!held) lastSeen_.erase(caller.connection);
        return ok();
    }

    Served* s = board_of(request, &refusal);
    if (s == nullptr) return refusal;
    BoardHost& host = *s->host;
    const pipeline::BoardApi& api = host.api();
    const std::int32_t h = host.handle();
    // A board that went away answers nothing but its status until it is back.
    if (!host.connected() && name != verb::kStatus) return host.disconnected_reply();

    if (name == verb::kInfo) {
        // KV318_Info writes at most 256 bytes with its terminator.
        char text[512] = {};
        const std::int32_t r = api.info(h, text);
        if (r < 0 && !host.still_answers()) return host.disconnected_reply();
        return ok_result(r).set(key::kText, std::string(text, strnlen(text, sizeof text - 1)));
    }
    if (name == verb::kDi) return ok_result(api.di(h));
    if (name == verb::kStatus) {
        Message m = ok();
        // A run that ended on a failure has no samples to follow, though its
        // controller may not have stopped it yet.
        const bool live = host.running() && !host.ended();
        const char* state = !host.connected() ? remote::state::kDisconnected
                            : !live           ? remote::state::kIdle
                            : host.polled()   ? remote::state::kPolled
                                              : remote::state::kStream;
        m.set(key::kState, state).set(key::kStream, host.stream()).set(key::kController, s->controller);
        m.set(key::kEnded, host.running() && host.ended() ? 1 : 0);
        m.set(key::kClock, static_cast<std::int64_t>(host.request().clockHz));
        m.set(key::kDivider, host.request().divider);
        m.set(key::kFifo, static_cast<std::int64_t>(host.request().fifoBytes));
        if (!host.connected()) m.set(key::kText, host.disconnected_text());
        return m.set(key::kNext, static_cast<std::int64_t>(host.next_index()));
    }
    if (name == verb::kStats) {
        KV318_STREAM_STATS st{};
        if (!pipeline::read_stream_stats(api, h, &st)) return ok_result(-1);
        Message m = ok_result(0);
        m.set(key::kMode, st.mode);
        for (std::size_t i = 0; i < std::size(remote::kStatsCounts); ++i) {
            m.set(remote::kStatsCounts[i], static_cast<std::int64_t>(st.*remote::kStatsMembers[i]));
        }
        return m.set(key::kGaps, join(st.gap_histogram, KV318_GAP_BUCKETS));
    }

    // Everything below changes the board: only its controller may, or
    // anyone while it has none.  Its controller is the connection that
    // started it, under the name it started with: the same name from
    // another connection or with another key is somebody else.
    const bool starting = v->control == remote::Control::kTakes;
    if (!s->controller.empty() && !holds(*s, caller, client)) {
        Message m = remote::error_reply(starting ? code::kRunning : code::kControlled,
                                        "board " + std::to_string(host.board()) + " is controlled by " + s->controller);
        return m.set(key::kController, s->controller);
    }
    if (starting && host.running()) {
        // Only its own controller gets here: a second start is its mistake.
        return remote::error_reply(code::kRunning, "an acquisition runs on board " + std::to_string(host.board()))
            .set(key::kController, s->controller);
    }
    // Nothing reaches the board before every field is within its range.
    if (!remote::check_fields(request, *v, &refusal)) return refusal;
    auto arg = [&request](const char* k, std::int64_t otherwise = 0) {
        return static_cast<std::int32_t>(number(request, k, otherwise));
    };

    if (name == verb::kDo) return ok_result(api.doWrite(h, arg(key::kValue)));
    if (name == verb::kInb) return ok_result(api.inb(h, arg(key::kReg)));
    if (name == verb::kOutb) return ok_result(api.outb(h, arg(key::kReg), arg(key::kValue)));
    if (name == verb::kCounterRun) return ok_result(api.cRun(h));
    if (name == verb::kCounterRead) return ok_result(api.cRead(h));
    if (name == verb::kPulseRun) return ok_result(api.pRun(h, arg(key::kMode), arg(key::kDivisor)));
    if (name == verb::kPulseStop) return ok_result(api.pStop(h));
    if (name == verb::kStop) {
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
    StartRequest r;
    r.polled = *request.find(key::kMode) == remote::mode::kPolled;
    for (int i = 0; i < 4; ++i) r.flags[i] = arg(key::kFlags[i]);
    r.divider = arg(key::kDivider);
    r.clockHz = static_cast<std::uint64_t>(number(request, key::kClock, static_cast<std::int64_t>(r.clockHz)));
    r.fifoBytes = static_cast<std::uint64_t>(number(request, key::kFifo, static_cast<std::int64_t>(r.fifoBytes)));
    const std::int32_t result = host.start(r);
    if (result < 0 && !host.still_answers()) return host.disconnected_reply();
    if (result >= 0) {
        s->controller = client;
        s->holder = caller;
    }
    return ok_result(result).set(key::kStream, host.stream());
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
