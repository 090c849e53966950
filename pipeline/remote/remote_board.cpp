#include "remote_board.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

namespace kv318::remote {

namespace {

// Reads of a stream come every few tens of milliseconds; a caller whose
// next read comes later than this was not listening in between.
constexpr auto kReadPause = std::chrono::seconds(1);

// Verbs that name no board.
bool boardless(const std::string& name) {
    const Verb* v = find_verb(name);
    return v != nullptr && !v->board;
}

Message request(const char* verb) {
    Message m;
    m.word = verb;
    return m;
}

bool in_list(const std::string& list, std::int32_t board) {
    std::size_t start = 0;
    const std::string want = std::to_string(board);
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (list.compare(start, comma - start, want) == 0 && comma - start == want.size()) return true;
        start = comma + 1;
    }
    return false;
}

}  // namespace

std::string client_id(const std::string& program, std::uint64_t pid, const std::string& host, unsigned connection) {
    std::string id = program + "." + std::to_string(pid);
    if (connection > 1) id += "." + std::to_string(connection);
    return id + "@" + host;
}

std::string silence_text(const RemoteSettings& s) {
    std::string text = "kv318-server at " + s.url + " stopped answering";
    if (!s.localKeysDir.empty()) {
        text += " (or it refused this user's local keys in " + s.localKeysDir +
                ": a server started with --keys, or by another user, needs a key directory (--server-keys DIR, "
                "or KV318_SERVER_KEYS) holding its server.pub and a client pair it allows)";
    } else if (!s.serverPublicKey.empty()) {
        text +=
            " (or it refused this client's key: is the client's NAME.pub in the server's allowed file, and is "
            "server.pub the server's?)";
    } else {
        text +=
            " (or it takes only clients with keys, and this one has none: give a key directory (--server-keys "
            "DIR, or KV318_SERVER_KEYS) holding the server's server.pub and a client pair it allows; a loopback "
            "server finds its own user's keys itself)";
    }
    return text;
}

bool stats_from_reply(const Message& reply, KV318_STREAM_STATS* stats) {
    const std::uint32_t size = stats->size;
    *stats = KV318_STREAM_STATS{};
    stats->size = size;
    std::int64_t v = 0;
    // The mode as the library's number, or in words.
    if (const std::string* mode = reply.find(key::kMode); mode != nullptr && *mode == "stream") {
        stats->mode = KV318_STATS_STREAM;
    } else if (mode != nullptr && *mode == "polled") {
        stats->mode = KV318_STATS_POLLED;
    } else if (mode != nullptr && *mode == "none") {
        stats->mode = KV318_STATS_NONE;
    } else if (reply.get_int(key::kMode, 0, KV318_STATS_POLLED, &v)) {
        stats->mode = static_cast<std::uint32_t>(v);
    } else {
        return false;
    }
    for (std::size_t i = 0; i < std::size(kStatsMembers); ++i) {
        if (!reply.get_int(kStatsCounts[i], 0, INT64_MAX, &v)) return false;
        stats->*kStatsMembers[i] = static_cast<std::uint64_t>(v);
    }
    const std::string* gaps = reply.find(key::kGaps);
    if (gaps == nullptr) return false;
    std::size_t start = 0;
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) {
        if (start > gaps->size()) return false;
        const std::size_t comma = std::min(gaps->find(',', start), gaps->size());
        Message one;
        one.set("n", gaps->substr(start, comma - start));
        if (!one.get_int("n", 0, INT64_MAX, &v)) return false;
        stats->gap_histogram[k] = static_cast<std::uint64_t>(v);
        start = comma + 1;
    }
    return start > gaps->size();  // exactly KV318_GAP_BUCKETS counts
}

RemoteBoard::RemoteBoard(std::unique_ptr<ServerLink> link, RemoteSettings settings, std::string clientId,
                         std::int32_t board, std::function<Clock::time_point()> now)
    : link_(std::move(link)),
      settings_(std::move(settings)),
      clientId_(std::move(clientId)),
      board_(board),
      now_(std::move(now)),
      lastHeard_(now_()),
      lastAsked_(lastHeard_) {}

void RemoteBoard::gone() {
    gone_.store(true, std::memory_order_relaxed);
    failure_ = silence_text(settings_);
}

void RemoteBoard::heartbeat_failed() { gone_.store(true, std::memory_order_relaxed); }

bool RemoteBoard::call(const Message& what, Message* reply) {
    if (gone_.load(std::memory_order_relaxed)) {
        failure_ = silence_text(settings_);
        return false;
    }
    Message m = request(what.word.c_str());
    m.set(key::kClient, clientId_);
    if (!boardless(what.word)) m.set(key::kBoard, board_);
    for (const auto& [key, value] : what.fields) m.set(key, value);
    std::string text;
    if (!link_->exchange(encode_request(m), &text)) {
        gone();
        return false;
    }
    lastHeard_ = now_();
    lastAsked_ = lastHeard_;
    std::string why;
    if (!parse_reply(text, reply, &why)) {
        failure_ = "kv318-server at " + settings_.url + " sent a reply this client cannot read (" + why + ")";
        return false;
    }
    disconnected_ = false;
    if (reply->word == "ok") return true;
    const std::string* code = reply->find(key::kCode);
    const std::string* controller = reply->find(key::kController);
    const std::string* text2 = reply->find(key::kText);
    const std::string board = "board " + std::to_string(board_);
    if (code != nullptr && *code == code::kDisconnected && text2 != nullptr && !text2->empty()) {
        // The server's own words say all: which board, since when, and that
        // it is waiting for it.
        disconnected_ = true;
        failure_ = *text2;
    } else if (code != nullptr && controller != nullptr && (*code == code::kControlled || *code == code::kRunning)) {
        busy_ = true;
        controller_ = *controller;
        failure_ = board + " on kv318-server at " + settings_.url + " is controlled by " + *controller +
                   (*code == code::kRunning ? ", which is streaming it" : "") + ": " + what.word + " refused";
    } else {
        failure_ = "kv318-server at " + settings_.url + " refused " + what.word + " on " + board + ": " +
                   (text2 != nullptr && !text2->empty() ? *text2 : std::string("no reason given")) + " (" +
                   (code != nullptr ? *code : std::string("no code")) + ")";
    }
    return false;
}

std::int32_t RemoteBoard::result_call(const Message& what, std::int32_t failed) {
    failure_.clear();
    busy_ = false;
    controller_.clear();
    Message reply;
    if (!call(what, &reply)) return failed;
    std::int64_t r = 0;
    if (!reply.get_int(key::kResult, INT32_MIN, INT32_MAX, &r)) {
        failure_ = "kv318-server at " + settings_.url + " answered " + what.word + " without a result";
        return failed;
    }
    return static_cast<std::int32_t>(r);
}

bool RemoteBoard::open() {
    Message reply;
    if (!call(request(verb::kHello), &reply)) return false;
    const std::string* boards = reply.find(key::kBoards);
    if (boards != nullptr && !in_list(*boards, board_)) {
        failure_ = "kv318-server at " + settings_.url + " serves no board " + std::to_string(board_) +
                   (boards->empty() ? std::string(" (it serves none)") : " (it serves " + *boards + ")");
        return false;
    }
    return true;
}

void RemoteBoard::close() {
    if (gone_.load(std::memory_order_relaxed)) return;
    if (controlling_) stop();
    Message reply;
    call(request(verb::kBye), &reply);
}

std::int32_t RemoteBoard::info(char* text) {
    if (text == nullptr) return -1;
    failure_.clear();
    Message reply;
    if (!call(request(verb::kInfo), &reply)) return -1;
    std::int64_t r = 0;
    if (!reply.get_int(key::kResult, INT32_MIN, INT32_MAX, &r)) {
        failure_ = "kv318-server at " + settings_.url + " answered info without a result";
        return -1;
    }
    // The library writes its 70 bytes, or on a failure string 1 and the
    // spaces, or nothing: the server passes on what it wrote.
    const std::string* written = reply.find(key::kText);
    if (written != nullptr && (r == 0 || !written->empty())) {
        std::memset(text, 0, KV318_INFO_BYTES);
        std::memcpy(text, written->data(), std::min<std::size_t>(written->size(), KV318_INFO_BYTES));
    }
    return static_cast<std::int32_t>(r);
}

std::int32_t RemoteBoard::inb(std::int32_t reg) { return result_call(request(verb::kInb).set(key::kReg, reg), -1); }

std::int32_t RemoteBoard::outb(std::int32_t reg, std::int32_t value) {
    return result_call(request(verb::kOutb).set(key::kReg, reg).set(key::kValue, value), -1);
}

// The library reports a failed read of the inputs as all of them high.
std::int32_t RemoteBoard::di() { return result_call(request(verb::kDi), 0xFFFF); }

std::int32_t RemoteBoard::do_write(std::int32_t value) {
    return result_call(request(verb::kDo).set(key::kValue, value), -1);
}

std::int32_t RemoteBoard::counter_run() { return result_call(request(verb::kCounterRun), -1); }

std::int32_t RemoteBoard::counter_read() { return result_call(request(verb::kCounterRead), -1); }

std::int32_t RemoteBoard::pulse_run(std::int32_t mode, std::int32_t divisor) {
    return result_call(request(verb::kPulseRun).set(key::kMode, mode).set(key::kDivisor, divisor), -1);
}

std::int32_t RemoteBoard::pulse_stop() { return result_call(request(verb::kPulseStop), -1); }

bool RemoteBoard::wait_first_block() {
    if (gone_.load(std::memory_order_relaxed)) {
        failure_ = silence_text(settings_);
        return false;
    }
    // A subscription takes hold some time after it is made; the first block
    // heard (an idle one comes every kIdleBlockMs) proves it holds, so the
    // stream's first block cannot be missed.
    const auto deadline = now_() + std::chrono::milliseconds(kServerSilenceMs);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now_()).count();
        const int wait = static_cast<int>(std::max<std::int64_t>(0, left));
        if (!link_->receive(wait, &frame_)) break;
        BlockHeader h;
        const std::uint8_t* samples = nullptr;
        std::string why;
        if (decode_block(frame_.data(), frame_.size(), &h, &samples, &why) && h.board == board_) {
            lastHeard_ = now_();
            return true;
        }
        if (wait == 0) break;
    }
    gone();
    return false;
}

std::string RemoteBoard::disconnected_words() {
    // Asked once per stream: every later read gives the same words.
    if (goneWordsStream_ == blocks_.stream() && !goneWords_.empty()) return goneWords_;
    goneWordsStream_ = blocks_.stream();
    goneWords_ = fetch_disconnected_words();
    return goneWords_;
}

std::string RemoteBoard::fetch_disconnected_words() {
    Message reply;
    const std::string* state = nullptr;
    const std::string* text = nullptr;
    if (call(request(verb::kStatus), &reply) && (state = reply.find(key::kState)) != nullptr &&
        *state == state::kDisconnected && (text = reply.find(key::kText)) != nullptr && !text->empty()) {
        return *text;
    }
    return "board " + std::to_string(board_) + " of kv318-server at " + settings_.url + " went away in stream " +
           std::to_string(blocks_.stream());
}

std::int32_t RemoteBoard::join(bool orNext) {
    // Once a block has come, every later one comes (or is counted missed):
    // the follower's run begins with the first block after the status.
    if (!wait_first_block()) return -1;
    Message reply;
    if (!call(request(verb::kStatus), &reply)) return -1;
    const std::string* state = reply.find(key::kState);
    std::int64_t stream = 0, clock = 0, divider = 0;
    if (state != nullptr && *state == state::kDisconnected) {
        disconnected_ = true;
        const std::string* text = reply.find(key::kText);
        failure_ = text != nullptr ? *text : "board " + std::to_string(board_) + " is disconnected";
        return -1;
    }
    if (orNext && state != nullptr && *state == state::kIdle) {
        // Armed: the next stream's blocks are this follower's from its first.
        std::int64_t last = 0;
        (void)reply.get_int(key::kStream, 0, UINT32_MAX, &last);
        blocks_.arm(static_cast<std::uint32_t>(last));
        clockHz_ = 0;
        divider_ = 0;
        rateUnknown_ = true;
        return 0;
    }
    if (state == nullptr || *state == state::kIdle || !reply.get_int(key::kStream, 1, UINT32_MAX, &stream)) {
        failure_ = "no stream runs on board " + std::to_string(board_) + " of kv318-server at " + settings_.url +
                   ", so there is none to follow";
        return -1;
    }
    // A follower's samples mean nothing without the stream's rate.
    if (!reply.get_int(key::kClock, 1, INT64_MAX, &clock) ||
        !reply.get_int(key::kDivider, KV318_DIVIDER_MIN, KV318_DIVIDER_MAX, &divider)) {
        failure_ = "kv318-server at " + settings_.url + " did not say the clock and divider of stream " +
                   std::to_string(stream) + " of board " + std::to_string(board_);
        return -1;
    }
    // The samples of blocks sent before the status are not the follower's;
    // a block after it that starts past `next` lost the ones between.
    std::int64_t next = 0;
    const bool known = reply.get_int(key::kNext, 0, INT64_MAX, &next);
    blocks_.begin(static_cast<std::uint32_t>(stream), known, static_cast<std::uint64_t>(next));
    clockHz_ = static_cast<std::uint64_t>(clock);
    divider_ = static_cast<std::uint32_t>(divider);
    lastHeard_ = now_();
    return 0;
}

std::int32_t RemoteBoard::follow() {
    busy_ = false;
    controller_.clear();
    failure_.clear();
    if (controlling_) {
        failure_ = "this handle controls board " + std::to_string(board_) + " of kv318-server at " + settings_.url +
                   " itself: stop its acquisition before following";
        return -1;
    }
    settings_.follow = true;
    joinedByCall_ = true;
    return join(true);
}

void RemoteBoard::know(std::uint64_t clockHz, std::uint64_t fifoBytes) {
    settings_.clockHz = clockHz;
    settings_.fifoBytes = fifoBytes;
}

std::int32_t RemoteBoard::start(bool polled, const std::int32_t flags[4], std::int32_t divider) {
    busy_ = false;
    controller_.clear();
    failure_.clear();
    if (settings_.follow) return join(false);
    if (!wait_first_block()) return -1;
    Message m = request(verb::kStart);
    m.set(key::kMode, polled ? mode::kPolled : mode::kStream);
    for (int i = 0; i < 4; ++i) m.set(key::kFlags[i], flags[i]);
    m.set(key::kDivider, divider);
    m.set(key::kClock, static_cast<std::int64_t>(settings_.clockHz));
    m.set(key::kFifo, static_cast<std::int64_t>(settings_.fifoBytes));
    Message reply;
    if (!call(m, &reply)) return -1;
    std::int64_t r = 0, stream = 0;
    if (!reply.get_int(key::kResult, INT32_MIN, INT32_MAX, &r)) {
        failure_ = "kv318-server at " + settings_.url + " answered start without a result";
        return -1;
    }
    if (r != 0) {
        failure_ = std::string(polled ? "KV318_M_AD" : "KV318_AD") + " returned " + std::to_string(r) +
                   " on kv318-server at " + settings_.url;
        return static_cast<std::int32_t>(r);
    }
    controlling_ = true;
    if (!reply.get_int(key::kStream, 1, UINT32_MAX, &stream)) {
        failure_ =
            "kv318-server at " + settings_.url + " started board " + std::to_string(board_) + " but named no stream";
        stop();
        return -1;
    }
    blocks_.begin(static_cast<std::uint32_t>(stream), true);
    clockHz_ = settings_.clockHz;
    divider_ = static_cast<std::uint32_t>(divider);
    lastHeard_ = now_();
    return 0;
}

std::int32_t RemoteBoard::read(std::int32_t* samples, std::size_t capacity) {
    failure_.clear();
    // A caller back from a pause finds the blocks sent meanwhile not yet
    // through the socket: the pause is not held against the server.
    const Clock::time_point asked = now_();
    if (asked - lastAsked_ > kReadPause) lastHeard_ = std::min(asked, lastHeard_ + (asked - lastAsked_));
    lastAsked_ = asked;
    if (gone_.load(std::memory_order_relaxed)) {
        failure_ = silence_text(settings_);
        return -3;
    }
    if (samples == nullptr || !blocks_.following()) {
        if (samples != nullptr) failure_ = "no stream was started or joined on this handle";
        return -1;
    }
    while (blocks_.wants_more(capacity) && link_->receive(0, &frame_)) {
        lastHeard_ = now_();
        BlockHeader h;
        const std::uint8_t* data = nullptr;
        std::string why;
        if (decode_block(frame_.data(), frame_.size(), &h, &data, &why) && h.board == board_) blocks_.take(h, data);
    }
    if (rateUnknown_ && !blocks_.armed()) learn_rate();
    if (blocks_.held() > 0) return static_cast<std::int32_t>(blocks_.drain(samples, capacity));
    if (const std::int32_t ending = blocks_.ending(); ending != 0) {
        const std::string where = " of board " + std::to_string(board_) + " on kv318-server at " + settings_.url;
        const std::string stream = "stream " + std::to_string(blocks_.stream()) + where;
        const std::uint32_t f = blocks_.ending_flags();
        if ((f & kFlagDisconnected) != 0) {
            failure_ = disconnected_words();
            disconnected_ = true;
        } else if (ending == -2) failure_ = "the library's ring overflowed in " + stream + ": the server lost samples";
        else if ((f & kFlagTransferFault) != 0) failure_ = "a bulk transfer failed in " + stream;
        else if (ending == -3) failure_ = "the board stopped delivering samples in " + stream;
        else if ((f & kFlagNotEnabled) != 0) failure_ = "the converter was stopped beneath the server in " + stream;
        else failure_ = stream + " ended: its controller stopped it";
        return ending;
    }
    if (now_() - lastHeard_ > std::chrono::milliseconds(kServerSilenceMs)) {
        gone();
        return -3;
    }
    return 0;
}

void RemoteBoard::learn_rate() {
    rateUnknown_ = false;
    Message reply;
    std::int64_t stream = 0, clock = 0, divider = 0;
    // Asked after the first block: the status names the stream by then.
    if (call(request(verb::kStatus), &reply) && reply.get_int(key::kStream, 1, UINT32_MAX, &stream) &&
        static_cast<std::uint32_t>(stream) == blocks_.stream() && reply.get_int(key::kClock, 1, INT64_MAX, &clock) &&
        reply.get_int(key::kDivider, KV318_DIVIDER_MIN, KV318_DIVIDER_MAX, &divider)) {
        clockHz_ = static_cast<std::uint64_t>(clock);
        divider_ = static_cast<std::uint32_t>(divider);
    }
    failure_.clear();
}

std::int32_t RemoteBoard::polled_read(std::int32_t* samples, std::int32_t* carry) {
    const std::int32_t n = read(samples, pipeline::kPolledReadCapacity);
    if (n >= 0) *carry = 0;
    return n;
}

std::int32_t RemoteBoard::stop() {
    blocks_.leave();
    // A join asked for by follow() lasts one run: the next start starts.
    if (joinedByCall_) {
        joinedByCall_ = false;
        settings_.follow = false;
    }
    if (!controlling_) return 0;
    controlling_ = false;
    // A stream the server already ended is refused a stop as not running:
    // no news, so the failure that ended it stays what the report says.
    const std::string ended = failure_;
    Message reply;
    if (!call(request(verb::kStop), &reply)) {
        const std::string* code = reply.find(key::kCode);
        if (code != nullptr && *code == code::kNotRunning && !ended.empty()) failure_ = ended;
        return 0;
    }
    std::int64_t r = 0;
    return reply.get_int(key::kResult, INT32_MIN, INT32_MAX, &r) ? static_cast<std::int32_t>(r) : 0;
}

std::int32_t RemoteBoard::stats(KV318_STREAM_STATS* stats) {
    if (stats == nullptr || stats->size < 16) return -1;
    Message reply;
    if (!call(request(verb::kStats), &reply)) return -1;
    std::int64_t r = 0;
    if (!reply.get_int(key::kResult, INT32_MIN, INT32_MAX, &r)) {
        failure_ = "kv318-server at " + settings_.url + " answered stats without a result";
        return -1;
    }
    if (r != 0) {
        failure_ = "the library of kv318-server at " + settings_.url + " returned " + std::to_string(r) +
                   " for the statistics of board " + std::to_string(board_);
        return static_cast<std::int32_t>(r);
    }
    // As the library does: as many whole fields as the caller's size holds.
    KV318_STREAM_STATS all{};
    all.size = sizeof all;
    if (!stats_from_reply(reply, &all)) {
        failure_ = "kv318-server at " + settings_.url + " sent statistics this client cannot read";
        return -1;
    }
    const std::uint32_t size = stats->size;
    if (size >= sizeof all) {
        *stats = all;
        stats->size = size;
        return 0;
    }
    // An older caller's structure: the mode and the counts it has room for.
    stats->mode = all.mode;
    std::size_t end = 8;
    for (const auto member : kStatsMembers) {
        end += sizeof(std::uint64_t);
        if (end > size) return 0;
        stats->*member = all.*member;
    }
    for (std::size_t k = 0; k < KV318_GAP_BUCKETS; ++k) {
        end += sizeof(std::uint64_t);
        if (end > size) return 0;
        stats->gap_histogram[k] = all.gap_histogram[k];
    }
    return 0;
}

RemoteReport RemoteBoard::report() const {
    RemoteReport r;
    r.url = settings_.url;
    r.gone = gone_.load(std::memory_order_relaxed);
    r.failure = r.gone ? silence_text(settings_) : failure_;
    r.busy = busy_;
    r.controller = busy_ ? controller_ : std::string();
    r.controlling = controlling_ && !r.gone;
    r.disconnected = disconnected_ && !r.gone;
    r.following = settings_.follow;
    r.stream = blocks_.stream();
    r.missed = blocks_.missed();
    r.nextIndex = blocks_.read_index();
    r.ended = blocks_.ending() == -1 && (blocks_.ending_flags() & kFlagNotEnabled) == 0;
    r.clockHz = clockHz_;
    r.divider = divider_;
    return r;
}

}  // namespace kv318::remote
