// The library's side of the driver channel, apart from the transport: one
// request frame out, one reply frame in, with the rules every transport
// shares (Unix socket on Linux, named pipe on Windows).  The transport
// supplies the byte stream; this file decides what a reply means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "handle.h"

namespace kv318 {

// A connected byte stream to a driver process.  It owns the OS handle or
// descriptor it runs on, and only close() or its destruction close it: so
// the number cannot be given to a new open while an exchange still uses it.
// The transport bounds send_all and receive_all by the exchange's deadline.
// Those are called on the thread issuing the request, which holds the
// handle's lock; so is close().  interrupt() is called without it.
class ChannelStream {
public:
    // Closes the OS handle unless close() did.
    virtual ~ChannelStream() = default;

    // Closes the OS handle now.  True on success.  Later calls on the
    // stream are never made.
    virtual bool close() { return true; }

    // Makes an exchange in progress on another thread fail soon, without
    // giving the OS handle back: the handle is being closed.  Any thread.
    virtual void interrupt() {}

    // Sends all `len` bytes of `data` (owned by the caller).  False when the
    // stream failed or the deadline passed before every byte went out.
    virtual bool send_all(const std::uint8_t* data, std::size_t len) = 0;

    // Fills all `len` bytes of `data` (owned by the caller).  False on the
    // end of the stream, a failure, or the deadline; `data` may then hold
    // part of the bytes.
    virtual bool receive_all(std::uint8_t* data, std::size_t len) = 0;

    // True when something waits unread on the stream between exchanges:
    // bytes the driver sent beyond its last reply, or the end of the
    // stream.  Also true when the transport cannot tell.  Never blocks.
    virtual bool has_unread() = 0;

    // Called before each exchange: the transport starts the exchange's
    // deadline (the channel timeout from now) here.
    virtual void begin_exchange() {}

    // True in a process forked from the one that opened the stream: the
    // connection is the parent's, so this process must neither send on it,
    // nor read its replies, nor shut it down.  Any thread.
    virtual bool inherited() const { return false; }
};

enum class ChannelResult {
    Ok,      // the driver succeeded; *returned holds its byte count
    Failed,  // the request failed cleanly; the frame is still in step
    Broken,  // the frame is lost: this and every later request on the handle fail
};

// Sends one I/O-control request and reads its reply.  `in` holds inLen bytes,
// `out` has room for outCap; no reply writes past outCap.  *returned is 0
// unless the result is Ok.  An input over the channel's 1 MiB limit, or a
// missing buffer, fails before anything is sent.  Anything unread on the
// stream before the request breaks the frame, and nothing is sent: every
// later reply would be read out of place (unread bytes most often are the
// end of the stream, so that counts as Disconnected).  Unless the result is Ok,
// *why (when given) says what it came to.
ChannelResult channel_exchange(ChannelStream& stream, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen,
                               std::uint8_t* out, std::uint32_t outCap, std::uint32_t* returned,
                               RequestFault* why = nullptr);

// The open handles of one channel transport, each with its stream, and the
// rule every transport keeps for them: one exchange at a time per handle,
// as a kernel driver serialises one handle's requests (so the timer thread
// and the caller's thread may share a handle), and a handle whose frame
// broke fails every later request at once.  Any thread.
class ChannelHandles {
public:
    // Adds `h`, served by `stream` (owned by the table from now on).
    void add(Handle h, std::unique_ptr<ChannelStream> stream);

    // True when `h` was added and not removed since.
    bool contains(Handle h);

    // Forgets `h` and closes its stream: 0, -1 when `h` is unknown (then
    // nothing is touched: the number may be a descriptor of the program's
    // own) or the OS close fails.  An exchange in progress on `h` is
    // interrupted and ends first, so it never reaches a handle that a later
    // open is given under the same number; requests that come after fail.
    // An inherited stream only gives this process's copy of the descriptor
    // back: the parent's exchanges go on.
    std::int32_t close(Handle h);

    // One request on `h`, as DeviceService::ioctl.  False, with *returned
    // = 0, when `h` is unknown, broken or inherited (nothing is sent), or
    // the exchange fails; a lost frame breaks `h`.
    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned);

    // What the last ioctl or close that failed on the calling thread came
    // to: a request on a handle that broke earlier reports how it broke.
    // Calling thread; Refused before any failure.
    static RequestFault last_fault();

private:
    // The lock of one handle's exchanges, held for a whole exchange by the
    // caller's thread or the timer's.  Where the system offers it (POSIX)
    // it passes on priority: the Linux timer thread runs at a real-time
    // priority, and a caller's thread that the scheduler holds back in the
    // middle of an exchange (KV318_Read's status read) would otherwise keep
    // the next drain waiting behind ordinary work for as long as that
    // lasts.  With inheritance the holder runs at its waiter's priority
    // until it lets go.  Elsewhere it is a plain mutex.
    class ExchangeLock {
    public:
        ExchangeLock();
        ~ExchangeLock();
        ExchangeLock(const ExchangeLock&) = delete;
        ExchangeLock& operator=(const ExchangeLock&) = delete;
        void lock();
        void unlock();

    private:
#if defined(_WIN32)
        std::mutex mutex_;
#else
        pthread_mutex_t mutex_;
#endif
    };

    struct Entry {
        ExchangeLock io;                                      // held for a whole exchange
        bool broken = false;                                  // guarded by io; also set when the handle is closed
        RequestFault brokeWith = RequestFault::Disconnected;  // guarded by io: how it broke
        std::unique_ptr<ChannelStream> stream;
    };

    std::shared_ptr<Entry> find(Handle h);

    std::mutex mutex_;  // guards table_ only, never held across I/O
    std::unordered_map<Handle, std::shared_ptr<Entry>> table_;
};

}  // namespace kv318
