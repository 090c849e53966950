// The driver channel over a named pipe.  Overlapped I/O bounds every read
// and write by the exchange's deadline, so a silent driver never holds a
// caller past the channel's timeout.
#include "pipe_channel.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>

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

// The pipe as the handle's byte stream, every transfer bounded by the
// deadline of the exchange in progress.  Owns the pipe handle and the event
// of its overlapped transfers (unlike a socket, a pipe needs one to wait
// with a deadline).
class PipeStream final : public ChannelStream {
public:
    PipeStream(HANDLE pipe, HANDLE event) : pipe_(pipe), event_(event) {}
    ~PipeStream() override {
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        CloseHandle(event_);
    }
    PipeStream(const PipeStream&) = delete;
    PipeStream& operator=(const PipeStream&) = delete;

    bool close() override {
        HANDLE pipe = pipe_;
        pipe_ = INVALID_HANDLE_VALUE;
        return CloseHandle(pipe) != 0;
    }

    void interrupt() override {
        // Cancels a transfer another thread waits on, so it fails at once;
        // the handle itself stays open, and its value taken, until close().
        CancelIoEx(pipe_, nullptr);
    }

    void begin_exchange() override { deadline_ = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs); }

    bool send_all(const std::uint8_t* data, std::size_t len) override {
        return transfer(const_cast<std::uint8_t*>(data), len, true);
    }

    bool receive_all(std::uint8_t* data, std::size_t len) override { return transfer(data, len, false); }

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
            const BOOL started =
                write ? WriteFile(pipe_, data, chunk, nullptr, &ov) : ReadFile(pipe_, data, chunk, nullptr, &ov);
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
    HANDLE event_;  // manual-reset, signals the overlapped operation in flight
    Clock::time_point deadline_{};
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

ChannelHandles& pipes() {
    // Never destroyed: a timer thread may still issue a request while the
    // process exits, and must not find the table gone.
    static ChannelHandles* table = new ChannelHandles;
    return *table;
}

}  // namespace

Handle pipe_open(const char* deviceName, char* why, std::size_t whySize) {
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
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
            std::snprintf(why, whySize, "no such board (neither the device %s nor the pipe %s exists)", deviceName,
                          name);
            return kInvalidHandle;
        }
        if (err != ERROR_PIPE_BUSY) {
            std::snprintf(why, whySize, "the pipe %s could not be opened (Windows error %lu)", name,
                          static_cast<unsigned long>(err));
            return kInvalidHandle;
        }
        const DWORD left = remaining_ms(deadline);
        if (left == 0) {
            std::snprintf(why, whySize, "every instance of the pipe %s stayed busy for %d ms", name, kChannelTimeoutMs);
            return kInvalidHandle;
        }
        WaitNamedPipeA(name, left);
    }
    if (!served_from_own_session(pipe)) {
        CloseHandle(pipe);
        std::snprintf(why, whySize,
                      "the pipe %s is served from another logon session, which may not serve boards to this program",
                      name);
        return kInvalidHandle;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        const DWORD err = GetLastError();
        CloseHandle(pipe);
        std::snprintf(why, whySize, "no event could be made for the pipe %s (Windows error %lu)", name,
                      static_cast<unsigned long>(err));
        return kInvalidHandle;
    }
    const Handle h = from_os(pipe);
    pipes().add(h, std::make_unique<PipeStream>(pipe, event));
    return h;
}

bool pipe_owns(Handle h) { return pipes().contains(h); }

bool pipe_ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                std::uint32_t outCap, std::uint32_t* returned) {
    return pipes().ioctl(h, code, in, inLen, out, outCap, returned);
}

std::int32_t pipe_close(Handle h) { return pipes().close(h); }

}  // namespace kv318::win32
