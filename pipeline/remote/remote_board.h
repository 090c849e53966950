// One board of a kv318-server as the library's exports would reach it: each
// call becomes a control request whose reply gives the export's result, and
// a stream's samples come from the blocks the server publishes.  The
// sockets sit behind ServerLink, so all of this runs against a scripted
// server in tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KV318.h"
#include "board_api.h"
#include "block_stream.h"
#include "wire.h"

namespace kv318::remote {

// What a program tells the remote client once, before it opens a board.
struct RemoteSettings {
    std::string url = kDefaultUrl;  // the server's control URL
    std::string program;            // the program's name, for the client id ("kv318-cli")
    // Starts join the stream that runs on the board instead of starting
    // one, and stops just leave it.
    bool follow = false;
    // What the program knows of the board, sent with a start.
    std::uint64_t clockHz = 2'000'000;
    std::uint64_t fifoBytes = 524'288;
    // Who this client is, for its id (client_id()): the served boards'
    // library fills them in.
    std::uint64_t pid = 0;
    std::string host = "localhost";
    // The CURVE keys of the endpoint (client_keys.h): given, or this user's
    // local keys of a loopback one, or empty for a plain one.
    std::string serverPublicKey;
    std::string clientSecretKey;
    // Where the keys came from when they are this user's local ones.
    std::string localKeysDir;
};

// One connection to a server: its control socket and, when made for a
// board, that board's blocks.  The seam between the client's logic and
// ZeroMQ.  The server knows a controller by its connection, so a board's
// heartbeat pings over the board's own link: exchange() may be called by
// the caller's thread and the heartbeat thread at once, and the link makes
// them take turns; receive() is called by one thread at a time.
class ServerLink {
public:
    virtual ~ServerLink() = default;
    // Sends one request and waits up to kServerSilenceMs for its reply into
    // *reply.  False when none came in time or the request could not be
    // sent: the server is gone (or too busy to count as there).
    virtual bool exchange(const std::string& request, std::string* reply) = 0;
    // One block of the link's board, waiting up to `timeoutMs` (0: only
    // what has arrived).  False when none came.  Links made without a
    // board never receive one.
    virtual bool receive(int timeoutMs, std::vector<std::uint8_t>* frame) = 0;
};

// Makes a link to `url`: subscribed to `board`'s blocks when `board` is 0
// or more, control only when it is -1.  Null with *failure when the URL
// cannot be used.
using LinkMaker =
    std::function<std::unique_ptr<ServerLink>(const std::string& url, std::int32_t board, std::string* failure)>;

// What a handle says beside the exports' results (KV318_ServedStatus).
using RemoteReport = pipeline::RemoteStatus;

class RemoteBoard {
public:
    using Clock = std::chrono::steady_clock;

    // `link` is this board's connection (subscribed to its blocks); `now`
    // is the clock the silence of the server is measured with.
    RemoteBoard(std::unique_ptr<ServerLink> link, RemoteSettings settings, std::string clientId, std::int32_t board,
                std::function<Clock::time_point()> now = Clock::now);

    // hello: false with the failure set when the server does not answer or
    // serves no such board.
    bool open();
    // bye, after a stop of what this client controls.  Sends nothing once
    // the server is gone.
    void close();

    // The exports' results, unchanged from the server's library; on a
    // failure of the server or a refusal the value the export gives for a
    // failed call (-1; 65535 for DI; 0 for the stops), with the failure set.
    // Each call but stop() and stats() forgets the failure before a call
    // before it, so the report after a run still says why the run ended.
    std::int32_t info(char* text);
    std::int32_t inb(std::int32_t reg);
    std::int32_t outb(std::int32_t reg, std::int32_t value);
    std::int32_t di();
    std::int32_t do_write(std::int32_t value);
    std::int32_t counter_run();
    std::int32_t counter_read();
    std::int32_t pulse_run(std::int32_t mode, std::int32_t divisor);
    std::int32_t pulse_stop();
    // KV318_AD / KV318_M_AD, or in follow mode joining the running stream.
    std::int32_t start(bool polled, const std::int32_t flags[4], std::int32_t divider);
    // KV318_Read / KV318_M_Read: up to `capacity` samples from the blocks,
    // 0 while none are held; -1/-2/-3 once the stream ended as ending_of()
    // says, or -3 when the server is gone.
    std::int32_t read(std::int32_t* samples, std::size_t capacity);
    // KV318_M_Read: as read() into the library's polled capacity, with
    // *carry 0 (the server pairs the bytes: no odd byte is ever left over).
    std::int32_t polled_read(std::int32_t* samples, std::int32_t* carry);
    // KV318_StopAD / KV318_M_StopAD, or in follow mode leaving the stream.
    std::int32_t stop();
    // KV318_StreamStats of the server's board.
    std::int32_t stats(KV318_STREAM_STATS* stats);
    // KV318_Follow: from now on starts join the running stream instead of
    // starting one, and this joins it at once (as start() in follow mode).
    // 0, or -1 with the failure set: no stream runs, the server is gone, or
    // this handle controls the stream itself.
    std::int32_t follow();
    // KV318_ServedBoard: the clock and FIFO size later starts send (the
    // caller checked their ranges).  Sends nothing.
    void know(std::uint64_t clockHz, std::uint64_t fifoBytes);

    // One heartbeat's outcome, from the heartbeat thread: a ping that got
    // no answer marks the server gone.
    void heartbeat_failed();
    RemoteReport report() const;
    const std::string& client_id() const { return clientId_; }

private:
    // Sends `request` (with client= and board= added) and returns the
    // result field of an ok reply into *reply; false with the failure set.
    bool call(const Message& request, Message* reply);
    std::int32_t result_call(const Message& request, std::int32_t failed);
    // Joins the stream that runs; with none running, fails, or when
    // `orNext`, waits for the next one from its first sample.
    std::int32_t join(bool orNext);
    // The clock and divider of the stream an armed join began, asked for
    // once its first block came.
    void learn_rate();
    bool wait_first_block();
    // The server's words for its board that went away, asked for when a
    // stream's last block says so.
    std::string disconnected_words();
    std::string fetch_disconnected_words();
    void gone();

    std::unique_ptr<ServerLink> link_;
    RemoteSettings settings_;
    std::string clientId_;
    std::int32_t board_;
    std::function<Clock::time_point()> now_;
    BlockStream blocks_;
    bool controlling_ = false;
    // follow() joined the stream: its stop ends following, where a board
    // made to follow (settings.follow) follows at every start.
    bool joinedByCall_ = false;
    // An armed join's stream began and its rate is not known yet.
    bool rateUnknown_ = false;
    // Set once the server failed to answer in time: by the caller's thread
    // (a request or a read heard nothing) or by the heartbeat thread (a
    // ping did); read by both.  Never cleared, so every later call fails
    // at once instead of waiting out another silence.  Relaxed: it guards
    // no other data.
    std::atomic<bool> gone_{false};
    bool busy_ = false;
    // Who controlled the board when the last start was refused.
    std::string controller_;
    // The last refusal or stream end said the server's board went away.
    bool disconnected_ = false;
    std::string goneWords_;
    std::uint32_t goneWordsStream_ = 0;
    std::string failure_;
    std::uint64_t clockHz_ = 0;
    std::uint32_t divider_ = 0;
    Clock::time_point lastHeard_;
    // When the caller last read or called: time between two reads longer
    // than kReadPause is time the caller did not listen (a process stopped
    // with Ctrl-Z, or starved), not silence of the server's.
    Clock::time_point lastAsked_;
    std::vector<std::uint8_t> frame_;
};

// "PROGRAM.PID@HOST", or "PROGRAM.PID.N@HOST" for a process's Nth
// connection (N from 2), so one process's connections are told apart.
std::string client_id(const std::string& program, std::uint64_t pid, const std::string& host, unsigned connection);

// The failure text of a server that stopped answering.  A server that
// refuses a client's CURVE handshake, or a keyless client, says nothing at
// all, so the text names the keys as a likely cause, with the way out.
std::string silence_text(const RemoteSettings& settings);

// Reads a stats reply into *stats (its size kept); false when a field is
// missing or out of range.
bool stats_from_reply(const Message& reply, KV318_STREAM_STATS* stats);

}  // namespace kv318::remote
