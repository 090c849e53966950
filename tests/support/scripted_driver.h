// The driver's side of the channel, for tests of the library's transports:
// it reads request frames from one connection, keeps them, and answers each
// as the test has scripted, well or badly.  The transport (a Unix socket, a
// named pipe) only hands in the connection's bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "channel_frame.h"

namespace kv318::test {

// What the driver does with each request from now on.
enum class DriverAction {
    Reply,              // success, with the pattern A0 A1 A2 ... (at most 5 bytes)
    Echo,               // as Reply, but byte 0 is the register asked for
    Fail,               // a clean failure reply
    CountOverCapacity,  // claims one byte more than the request allows
    ShortFrame,         // announces 4 bytes, sends 2, then ends the connection
    Close,              // ends the connection without a reply
    Silence,            // keeps the connection open and never replies
    ReplyAndMore,       // as Reply, then 8 bytes more, all in one write
    Answer,             // success, with what the test's answer function gives
};

struct SeenRequest {
    RequestHeader header;
    std::vector<std::uint8_t> in;
};

// One connection's bytes, as the transport carries them.  Used by one
// serving thread at a time.
class DriverConnection {
public:
    virtual ~DriverConnection() = default;
    // Reads exactly n bytes into `data` (the caller's); false at the end
    // of the stream or on an error.
    virtual bool read_all(std::uint8_t* data, std::size_t n) = 0;
    // Writes the n bytes; a failure is ignored, the next read sees the end.
    virtual void write_all(const std::uint8_t* data, std::size_t n) = 0;
};

class ScriptedDriver {
public:
    // The bytes of a successful reply to a request, for DriverAction::Answer;
    // cut to the request's capacity.  Called on the serving thread.
    using AnswerFn = std::function<std::vector<std::uint8_t>(const SeenRequest&)>;

    // Any thread; takes effect from the next request read.
    void set_action(DriverAction a) { action_ = a; }

    // Answers every request with `answer` from now on.  Any thread.
    void set_answer(AnswerFn answer);

    // Every request read so far, in order.  Any thread.
    std::vector<SeenRequest> seen();

    // Serves `c` on the caller's thread until the stream ends or the
    // scripted action ends the connection.
    void serve(DriverConnection& c);

private:
    // Written by the test thread, read by the serving thread before each
    // reply; a single value with no other state to order, so relaxed
    // would do and a lock would be more than it needs.
    std::atomic<DriverAction> action_{DriverAction::Reply};
    std::mutex mutex_;  // guards seen_ and answer_
    std::vector<SeenRequest> seen_;
    AnswerFn answer_;
};

}  // namespace kv318::test
