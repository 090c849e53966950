// The words kv318-server and its clients say to each other, once: every
// verb with the fields its request takes (and their ranges), who may send
// it and what its reply holds; every error code; every block flag.  The
// server checks each request against this table, the clients build theirs
// with its names, and protocol_doc_test holds docs/server-protocol.md to it.
// wire.h turns the same messages into bytes.
//
// No socket and no server code here: tables and pure functions, so any
// client may link it.  Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>

#include "option_limits.h"

namespace kv318::remote {

struct Message;

// ---- Block flags -------------------------------------------------------------

// What a block says beside its samples; kBlockFlags says what each means.
enum BlockFlag : std::uint32_t {
    kFlagGap = 1u << 0,
    kFlagRingOverflow = 1u << 1,
    kFlagTransferFault = 1u << 2,
    kFlagFifoLoss = 1u << 3,
    kFlagEndOfStream = 1u << 4,
    kFlagIdle = 1u << 5,
    kFlagPolled = 1u << 6,  // KV318_M_AD
    kFlagStalled = 1u << 7,
    kFlagNotEnabled = 1u << 8,
    kFlagDisconnected = 1u << 9,
};

// A flag as the protocol's page names it.
struct FlagInfo {
    const char* name;  // "ring overflow"
    BlockFlag flag;
    const char* meaning;  // one line
};

inline constexpr FlagInfo kBlockFlags[] = {
    {"gap", kFlagGap, "the server itself lost samples before this block"},
    {"ring overflow", kFlagRingOverflow, "the library's ring ran over; the stream ends with this block"},
    {"transfer fault", kFlagTransferFault, "the board's transfer failed; the stream ends with this block"},
    {"possible FIFO loss", kFlagFifoLoss, "the drain statistics say the board's FIFO may have run over"},
    {"end of stream", kFlagEndOfStream, "the last block of the stream"},
    {"idle", kFlagIdle, "no acquisition runs; a sign of life, no samples"},
    {"polled", kFlagPolled, "the stream is a polled run"},
    {"stalled", kFlagStalled, "no sample came for the stall timeout; the stream ends with this block"},
    {"not enabled", kFlagNotEnabled, "the converter was stopped beneath the server"},
    // On the block that ends its stream (its driver went, its cable was
    // pulled), and on its idle blocks until the server has opened it again.
    {"disconnected", kFlagDisconnected, "the board stopped answering"},
};

// The flag's bit number: 3 for kFlagFifoLoss.
constexpr int flag_bit(BlockFlag flag) {
    int bit = 0;
    while ((std::uint32_t{flag} >> bit) > 1u) ++bit;
    return bit;
}

// ---- Error codes -------------------------------------------------------------

// The error codes a server answers with.  Each has one meaning, and the
// text beside it says the rest in words a user can act on.
namespace code {
inline constexpr const char* kMalformed = "malformed";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kUnknownVerb = "unknown-verb";
inline constexpr const char* kBadArgument = "bad-argument";
inline constexpr const char* kNoBoard = "no-board";
inline constexpr const char* kControlled = "controlled";
inline constexpr const char* kRunning = "running";
inline constexpr const char* kNotRunning = "not-running";
inline constexpr const char* kNotAllowed = "not-allowed";
inline constexpr const char* kDisconnected = "disconnected";
}  // namespace code

struct CodeInfo {
    const char* code;
    const char* meaning;  // one line
};

inline constexpr CodeInfo kErrorCodes[] = {
    {code::kMalformed, "not a message of this protocol"},
    {code::kVersion, "another protocol version"},
    {code::kUnknownVerb, "a verb this server does not know"},
    {code::kBadArgument, "a field missing or out of its range (the text gives the range)"},
    {code::kNoBoard, "this server does not serve that board"},
    {code::kControlled, "another client controls the board"},
    {code::kRunning, "an acquisition runs on the board already"},
    {code::kNotRunning, "stop with no acquisition running"},
    {code::kNotAllowed, "the connection's CURVE key was taken off the server's allowed list"},
    {code::kDisconnected, "the board does not answer; the server waits for it to return"},
};

// ---- Verbs, keys and words ---------------------------------------------------

namespace verb {
inline constexpr const char* kHello = "hello";
inline constexpr const char* kPing = "ping";
inline constexpr const char* kBye = "bye";
inline constexpr const char* kList = "list";
inline constexpr const char* kInfo = "info";
inline constexpr const char* kStatus = "status";
inline constexpr const char* kDi = "di";
inline constexpr const char* kStats = "stats";
inline constexpr const char* kDo = "do";
inline constexpr const char* kInb = "inb";
inline constexpr const char* kOutb = "outb";
inline constexpr const char* kCounterRun = "counter-run";
inline constexpr const char* kCounterRead = "counter-read";
inline constexpr const char* kPulseRun = "pulse-run";
inline constexpr const char* kPulseStop = "pulse-stop";
inline constexpr const char* kStart = "start";
inline constexpr const char* kStop = "stop";
}  // namespace verb

// The field names of requests and replies.
namespace key {
inline constexpr const char* kClient = "client";
inline constexpr const char* kBoard = "board";
inline constexpr const char* kValue = "value";
inline constexpr const char* kReg = "reg";
inline constexpr const char* kMode = "mode";
inline constexpr const char* kDivisor = "divisor";
inline constexpr const char* kFlags[4] = {"f1", "f2", "f3", "f4"};
inline constexpr const char* kDivider = "divider";
inline constexpr const char* kClock = "clock";
inline constexpr const char* kFifo = "fifo";
inline constexpr const char* kResult = "result";
inline constexpr const char* kText = "text";
inline constexpr const char* kCode = "code";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kServer = "server";
inline constexpr const char* kBoards = "boards";
inline constexpr const char* kState = "state";
inline constexpr const char* kStream = "stream";
inline constexpr const char* kController = "controller";
inline constexpr const char* kEnded = "ended";
inline constexpr const char* kNext = "next";
inline constexpr const char* kGaps = "gaps";
}  // namespace key

// The words of start's mode=.
namespace mode {
inline constexpr const char* kStream = "stream";
inline constexpr const char* kPolled = "polled";
}  // namespace mode

// The words of status's state=.
namespace state {
inline constexpr const char* kIdle = "idle";
inline constexpr const char* kStream = "stream";
inline constexpr const char* kPolled = "polled";
inline constexpr const char* kDisconnected = "disconnected";
}  // namespace state

// The counts of a stats reply, in the order of KV318_STREAM_STATS; the
// gap histogram follows as gaps=.
inline constexpr const char* kStatsCounts[] = {
    "bytes-drained", "ticks", "drains", "top-level-drains", "time-bound-drains", "ring-high-water", "longest-gap-us",
};
// The member of KV318_STREAM_STATS each of kStatsCounts carries, which the
// server reads and the client fills.
inline constexpr std::uint64_t KV318_STREAM_STATS::*kStatsMembers[] = {
    &KV318_STREAM_STATS::bytes_drained,
    &KV318_STREAM_STATS::ticks,
    &KV318_STREAM_STATS::drains,
    &KV318_STREAM_STATS::top_level_drains,
    &KV318_STREAM_STATS::time_bound_drains,
    &KV318_STREAM_STATS::ring_high_water,
    &KV318_STREAM_STATS::longest_gap_us,
};
static_assert(std::size(kStatsMembers) == std::size(kStatsCounts));

enum class FieldKind {
    kInteger,  // a decimal integer within `limit`
    kWord,     // one of `words`
    kText,     // any text of limit.min to limit.max bytes
};

// One field of a request.  limit.what names it in a refusal ("field value
// must be an output word 0-65535 (0x0000-0xFFFF)").
struct Field {
    const char* key;
    FieldKind kind;
    pipeline::Limit limit;
    std::span<const char* const> words;
    bool optional = false;  // the server then takes its default
};

// Who may send a verb while the board has a controller.
enum class Control {
    kAnyone,  // anyone, at any time
    kNeeds,   // its controller only (anyone while it has none)
    kTakes,   // as kNeeds, and a success makes the sender the controller
};

// One field of an "ok" reply, with the words it takes when it is words.
struct ReplyField {
    const char* key;
    std::span<const char* const> words = {};
};

struct Verb {
    const char* name;
    bool board;  // the request names a board: board=N
    Control control;
    std::span<const Field> fields;      // its own, after client= and board=
    std::span<const ReplyField> reply;  // the fields its "ok" may hold
};

// The board numbers a request may name: the block header's 16 bits.
inline constexpr pipeline::Limit kServedBoard{"board number", 0, 0xFFFF, false};

// Every request's client=, and every board's board=.
inline constexpr Field kClientField{key::kClient, FieldKind::kText, {"the client's name", 1, 128, false}, {}};
inline constexpr Field kBoardField{key::kBoard, FieldKind::kInteger, kServedBoard, {}};

inline constexpr const char* kModeWords[] = {mode::kStream, mode::kPolled};
inline constexpr const char* kStateWords[] = {state::kIdle, state::kStream, state::kPolled, state::kDisconnected};

inline constexpr Field kDoFields[] = {{key::kValue, FieldKind::kInteger, pipeline::kOutputWord, {}}};
inline constexpr Field kInbFields[] = {{key::kReg, FieldKind::kInteger, pipeline::kRegister, {}}};
inline constexpr Field kOutbFields[] = {
    {key::kReg, FieldKind::kInteger, pipeline::kRegister, {}},
    {key::kValue, FieldKind::kInteger, pipeline::kRegisterValue, {}},
};
inline constexpr Field kPulseRunFields[] = {
    {key::kMode, FieldKind::kInteger, pipeline::kPulseMode, {}},
    {key::kDivisor, FieldKind::kInteger, pipeline::kPulseDivisor, {}},
};
// The divider the board runs is the one sent, as every block and status
// then say: one the library would clamp is refused.  clock and fifo are
// what the controller knows of the board.
inline constexpr Field kStartFields[] = {
    {key::kMode, FieldKind::kWord, {"mode", 0, 0, false}, kModeWords},
    {key::kFlags[0], FieldKind::kInteger, pipeline::kModeFlag, {}, true},
    {key::kFlags[1], FieldKind::kInteger, pipeline::kModeFlag, {}, true},
    {key::kFlags[2], FieldKind::kInteger, pipeline::kModeFlag, {}, true},
    {key::kFlags[3], FieldKind::kInteger, pipeline::kModeFlag, {}, true},
    {key::kDivider, FieldKind::kInteger, pipeline::kDivider, {}},
    {key::kClock, FieldKind::kInteger, pipeline::kClockHz, {}, true},
    {key::kFifo, FieldKind::kInteger, pipeline::kFifoBytes, {}, true},
};

inline constexpr const char* kEndedWords[] = {"0", "1"};

inline constexpr ReplyField kResultReply[] = {{key::kResult}};
inline constexpr ReplyField kHelloReply[] = {{key::kVersion}, {key::kServer}, {key::kBoards}};
inline constexpr ReplyField kListReply[] = {{key::kBoards}};
inline constexpr ReplyField kInfoReply[] = {{key::kResult}, {key::kText}};
// text= only while the board is disconnected.
inline constexpr ReplyField kStatusReply[] = {
    {key::kState, kStateWords},
    {key::kStream},
    {key::kController},
    {key::kEnded, kEndedWords},
    {key::kClock},
    {key::kDivider},
    {key::kFifo},
    {key::kNext},
    {key::kText},
};
// All but result= only when the result is 0.
inline constexpr ReplyField kStatsReply[] = {
    {key::kResult},    {key::kMode},      {kStatsCounts[0]}, {kStatsCounts[1]}, {kStatsCounts[2]},
    {kStatsCounts[3]}, {kStatsCounts[4]}, {kStatsCounts[5]}, {kStatsCounts[6]}, {key::kGaps},
};
inline constexpr ReplyField kStartReply[] = {{key::kResult}, {key::kStream}};

inline constexpr Verb kVerbs[] = {
    {verb::kHello, false, Control::kAnyone, {}, kHelloReply},
    {verb::kPing, false, Control::kAnyone, {}, {}},
    {verb::kBye, false, Control::kAnyone, {}, {}},
    {verb::kList, false, Control::kAnyone, {}, kListReply},
    {verb::kInfo, true, Control::kAnyone, {}, kInfoReply},
    {verb::kStatus, true, Control::kAnyone, {}, kStatusReply},
    {verb::kDi, true, Control::kAnyone, {}, kResultReply},
    {verb::kStats, true, Control::kAnyone, {}, kStatsReply},
    {verb::kDo, true, Control::kNeeds, kDoFields, kResultReply},
    {verb::kInb, true, Control::kNeeds, kInbFields, kResultReply},
    {verb::kOutb, true, Control::kNeeds, kOutbFields, kResultReply},
    {verb::kCounterRun, true, Control::kNeeds, {}, kResultReply},
    {verb::kCounterRead, true, Control::kNeeds, {}, kResultReply},
    {verb::kPulseRun, true, Control::kNeeds, kPulseRunFields, kResultReply},
    {verb::kPulseStop, true, Control::kNeeds, {}, kResultReply},
    {verb::kStart, true, Control::kTakes, kStartFields, kStartReply},
    {verb::kStop, true, Control::kNeeds, {}, kResultReply},
};

// The verb named `name`, or null for one the protocol does not have.
const Verb* find_verb(const std::string& name);

// Checks `field` of `request` against its definition.  True when it is
// there and fits (or, optional, is absent); *value is then the integer (of
// an integer field, untouched otherwise).  False with *refusal set to the
// bad-argument reply whose text gives the range: "field value must be an
// output word 0-65535 (0x0000-0xFFFF)" when missing or not a number,
// "divider: divider 4096 is out of range 2-4095" when out of range.
bool check_field(const Message& request, const Field& field, std::int64_t* value, Message* refusal);

// Checks every field of `verb` (its own, not client= or board=) in the
// table's order; false with the first field's refusal.
bool check_fields(const Message& request, const Verb& verb, Message* refusal);

}  // namespace kv318::remote
