// The driver channel over a named pipe.  Overlapped I/O bounds every read
// and write by the exchange's deadline, so a silent driver never holds a
// caller past the channel's timeout.
#include "pipe_channel.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "channel_client.h"
#include "channel_frame.h"
#include "os_handle.h"

namespace kv318::win32 {
namespace {

using Clock = std::chrono::steady_clock;

DWORD remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Per-handle state.  The mutex serialises one request and its reply at a
// time, as a kernel driver does for one handle, so the timer thread and the
// caller's thread may share a handle.
struct Connection {
    explicit Connection(HANDLE e) : event(e) {}
    ~Connection() { CloseHandle(event); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::mutex io;
    bool broken = false;  // guarded by io: a broken frame fails every later request
    HANDLE event;         // manual-reset, signals the overlapped operation in flight
};

// The pipe as a byte stream for one exchange, every transfer bounded by the
// exchange's deadline.
class PipeStream final : public ChannelStream {
public:
    PipeStream(HANDLE pipe, HANDLE event, Clock::time_point deadline)
        : pipe_(pipe), event_(event), deadline_(deadline) {}

    bool send_all(const std::uint8_t* data, std::size_t len) override {
        return transfer(const_cast<std::uint8_t*>(data), len, true);
    }

    bool receive_all(std::uint8_t* data, std::size_t len) override {
        return transfer(data, len, false);
    }

    bool has_unread() override {
        // PeekNamedPipe never waits.  It fails once the driver has closed
        // its end, which is the end of the stream.
        DWORD available = 0;
        if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return true;
        return available > 0;
    }

private:
    bool transfer(std::uint8_t* data, std::size_t len, bool write) {
        while (len > 0) {
            OVERLAPPED ov{};
            ov.hEvent = event_;
            const DWORD chunk = static_cast<DWORD>(len);
            const BOOL started = write ? WriteFile(pipe_, data, chunk, nullptr, &ov)
                                       : ReadFile(pipe_, data, chunk, nullptr, &ov);
            if (!started) {
                const DWORD err = GetLastError();
                if (err != ERROR_IO_PENDING && err != ERROR_MORE_DATA) return false;  // the driver closed the pipe
            }
            if (WaitForSingleObject(event_, remaining_ms(deadline_)) != WAIT_OBJECT_0) {
                // Too late: cancel, and wait for the cancel to land before
                // `ov` and the caller's buffer go out of scope.
                DWORD ignored = 0;
                CancelIoEx(pipe_, &ov);
                GetOverlappedResult(pipe_, &ov, &ignored, TRUE);
                return false;
            }
            DWORD done = 0;
            // A message-mode server may split a frame: ERROR_MORE_DATA just
            // means the rest follows in the next read.
            if (!GetOverlappedResult(pipe_, &ov, &done, FALSE) && GetLastError() != ERROR_MORE_DATA) return false;
            if (done == 0) return false;  // end of stream
            data += done;
            len -= done;
        }
        return true;
    }

    HANDLE pipe_;
    HANDLE event_;
    Clock::time_point deadline_;
};

// True when the process serving `pipe` runs in the caller's own logon
// session.  A pipe name is open to every session of the machine; without
// this check another user logged on beside us (or a service) could pose as
// a board and feed the library its replies.  The session, unlike the user's
// token, can be asked of KERNEL32 alone, the one system library besides
// WINMM that KV318.dll imports.
bool served_from_own_session(HANDLE pipe) {
    ULONG serverSession = 0;
    DWORD ownSession = 0;
    if (!GetNamedPipeServerSessionId(pipe, &serverSession)) return false;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession)) return false;
    return serverSession == ownSession;
}

class PipeTable {
public:
    void add(Handle h, std::shared_ptr<Connection> c) {
        std::lock_guard<std::mutex> lock(mutex_);
        table_[h] = std::move(c);
    }
    std::shared_ptr<Connection> find(Handle h) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(h);
        return it == table_.end() ? nullptr : it->second;
    }
    bool remove(Handle h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return table_.erase(h) > 0;
    }

private:
    std::mutex mutex_;  // guards table_ only, never held across I/O
    std::unordered_map<Handle, std::shared_ptr<Connection>> table_;
};

PipeTable& pipes() {
    // Never destroyed: a timer thread may still issue a request while the
    // process exits, and must not find the table gone.
    static PipeTable* table = new PipeTable;
    return *table;
}

}  // namespace

Handle pipe_open(const char* deviceName) {
    char name[kDeviceNameSize + 16];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\%s", channel_endpoint_name(deviceName));
    const auto deadline = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        // SECURITY_IDENTIFICATION: the driver may learn who we are, but may
        // not act as us.
        pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        // Busy: every instance has a client; the driver opens the next one soon.
        if (GetLastError() != ERROR_PIPE_BUSY) return kInvalidHandle;
        const DWORD left = remaining_ms(deadline);
        if (left == 0) return kInvalidHandle;
        WaitNamedPipeA(name, left);
    }
    HANDLE event = served_from_own_session(pipe) ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (event == nullptr) {
        CloseHandle(pipe);
        return kInvalidHandle;
    }
    const Handle h = from_os(pipe);
    pipes().add(h, std::make_shared<Connection>(event));
    return h;
}

bool pipe_owns(Handle h) {
    return pipes().find(h) != nullptr;
}

bool pipe_ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                std::uint32_t outCap, std::uint32_t* returned) {
    *returned = 0;
    std::shared_ptr<Connection> conn = pipes().find(h);
    if (!conn) return false;
    std::lock_guard<std::mutex> lock(conn->io);
    if (conn->broken) return false;
    PipeStream stream(to_os(h), conn->event, Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs));
    const ChannelResult r = channel_exchange(stream, code, in, inLen, out, outCap, returned);
    if (r == ChannelResult::Broken) conn->broken = true;
    return r == ChannelResult::Ok;
}

std::int32_t pipe_close(Handle h) {
    pipes().remove(h);
    return CloseHandle(to_os(h)) ? 0 : -1;
}

}  // namespace kv318::win32
