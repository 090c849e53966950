#include "pipe_server.h"

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "board.h"
#include "channel_frame.h"
#include "session.h"

namespace kv318::sim {

namespace {

// Room for the largest reply (one longest bulk read, its spare byte and the
// header) in one write, and for any ordinary request.
constexpr DWORD kOutBufferBytes = kMaxReplyBytes + 64;
constexpr DWORD kInBufferBytes = 4096;
// While a board has no listening instance (the system refused one), the
// acceptor tries again this often.
constexpr DWORD kRelistenMs = 500;

std::string error_text(DWORD code) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    if (s.empty()) s = "system error";
    return s + " (error " + std::to_string(code) + ")";
}

// A security descriptor whose DACL admits the system and this process's
// user and nobody else.  The default DACL of a named pipe lets everyone
// read it, and any local user could connect; a board served for one user
// is that user's alone.  Freed with LocalFree.
PSECURITY_DESCRIPTOR own_user_only(std::string* error) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *error = "cannot read this process's user: " + error_text(GetLastError());
        return nullptr;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> info(size > 0 ? size : 1);
    const bool got = GetTokenInformation(token, TokenUser, info.data(), size, &size) != 0;
    const DWORD tokenError = GetLastError();
    CloseHandle(token);
    if (!got) {
        *error = "cannot read this process's user: " + error_text(tokenError);
        return nullptr;
    }
    // TOKEN_USER starts the buffer; its SID points inside the same buffer.
    TOKEN_USER user{};
    std::memcpy(&user, info.data(), sizeof user);
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(user.User.Sid, &sid)) {
        *error = "cannot name this process's user: " + error_text(GetLastError());
        return nullptr;
    }
    // P: protected, so nothing is inherited that would widen it.
    const std::string sddl = std::string("D:P(A;;GA;;;SY)(A;;GA;;;") + sid + ")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
        *error = "cannot build the pipe's security: " + error_text(GetLastError());
        return nullptr;
    }
    return sd;
}

// One connected pipe instance as the session's byte stream.  Every
// transfer is overlapped and also waits on the server's stop event, so a
// server being stopped never hangs on a client that stays connected.
class PipeStream final : public ByteStream {
public:
    PipeStream(HANDLE pipe, HANDLE stop)
        : pipe_(pipe), stop_(stop), event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~PipeStream() override {
        if (event_ != nullptr) CloseHandle(event_);
    }
    PipeStream(const PipeStream&) = delete;
    PipeStream& operator=(const PipeStream&) = delete;

    IoResult read_exact(std::uint8_t* data, std::size_t n, Deadline deadline) override {
        return transfer(data, n, false, deadline);
    }
    IoResult write_all(const std::uint8_t* data, std::size_t n, Deadline deadline) override {
        return transfer(const_cast<std::uint8_t*>(data), n, true, deadline);
    }

private:
    // The wait for one transfer: until the deadline, or for ever.
    static DWORD wait_ms(Deadline deadline) {
        if (deadline == kNoDeadline) return INFINITE;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return left.count() <= 0 ? 0 : static_cast<DWORD>(std::min<std::int64_t>(left.count(), 0x7FFFFFFF));
    }

    IoResult transfer(std::uint8_t* data, std::size_t n, bool write, Deadline deadline) {
        if (event_ == nullptr) return IoResult::Ended;
        while (n > 0) {
            OVERLAPPED ov{};
            ov.hEvent = event_;
            const DWORD chunk = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
            const BOOL started =
                write ? WriteFile(pipe_, data, chunk, nullptr, &ov) : ReadFile(pipe_, data, chunk, nullptr, &ov);
            // ERROR_MORE_DATA: a message-mode client's message goes on in
            // the next read; this is a byte stream either way.
            if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
                return IoResult::Ended;
            }
            HANDLE waits[2] = {event_, stop_};
            const DWORD w = WaitForMultipleObjects(2, waits, FALSE, wait_ms(deadline));
            if (w != WAIT_OBJECT_0) {
                // Stopping, or out of time: cancel, and wait for the cancel
                // to land before `ov` and the caller's buffer go out of scope.
                DWORD ignored = 0;
                CancelIoEx(pipe_, &ov);
                GetOverlappedResult(pipe_, &ov, &ignored, TRUE);
                return w == WAIT_TIMEOUT ? IoResult::TimedOut : IoResult::Ended;
            }
            DWORD done = 0;
            if (!GetOverlappedResult(pipe_, &ov, &done, FALSE) && GetLastError() != ERROR_MORE_DATA) {
                return IoResult::Ended;
            }
            if (done == 0) return IoResult::Ended;  // the client closed its end
            data += done;
            n -= done;
        }
        return IoResult::Done;
    }

    HANDLE pipe_;
    HANDLE stop_;
    HANDLE event_;
};

}  // namespace

std::string board_pipe_name(int number) {
    char device[kDeviceNameSize];
    format_device_name(device, number);
    return std::string("\\\\.\\pipe\\") + channel_endpoint_name(device);
}

PipeServer::PipeServer(std::vector<Board*> boards, LogFn log, ServerLimits limits)
    : boards_(std::move(boards)), connections_(std::move(log), limits) {}

PipeServer::~PipeServer() { stop(); }

HANDLE PipeServer::make_instance(std::size_t board, bool first, std::string* error) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = security_;
    sa.bInheritHandle = FALSE;
    const std::string name = board_pipe_name(static_cast<int>(board));
    // The first instance must be the pipe's very first: if another process
    // already made one, it is the board's driver, and serving beside it
    // would hand its clients to two boards at random.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = CreateNamedPipeA(name.c_str(), openMode,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, kOutBufferBytes, kInBufferBytes, 0, &sa);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (first && (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY)) {
            *error = "another kv318-sim or driver already serves " + name;
        } else {
            *error = "cannot create " + name + ": " + error_text(code);
        }
        return pipe;
    }
    // Wine takes FILE_FLAG_FIRST_PIPE_INSTANCE and ignores it, so count the
    // instances too: any but ours belong to another server.
    DWORD instances = 0;
    if (first && GetNamedPipeHandleStateA(pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) && instances > 1) {
        CloseHandle(pipe);
        *error = "another kv318-sim or driver already serves " + name;
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

// Starts an overlapped connect on board `board`'s listening instance,
// making the instance first when it has none.  Acceptor thread, or start().
bool PipeServer::listen(std::size_t board, std::string* error) {
    if (listening_[board] == INVALID_HANDLE_VALUE) {
        listening_[board] = make_instance(board, false, error);
        if (listening_[board] == INVALID_HANDLE_VALUE) return false;
    }
    OVERLAPPED* ov = connectOps_[board].get();
    *ov = OVERLAPPED{};
    ov->hEvent = connectEvents_[board];
    ResetEvent(connectEvents_[board]);
    connectedAtOnce_[board] = false;
    if (ConnectNamedPipe(listening_[board], ov)) {
        connectedAtOnce_[board] = true;
        SetEvent(connectEvents_[board]);
        return true;
    }
    switch (GetLastError()) {
    case ERROR_IO_PENDING:
        return true;
    case ERROR_PIPE_CONNECTED:
        // A client came between the instance's creation and the connect.
        // No operation is pending, so neither the event nor the overlapped
        // result will tell: mark the connection made and signal it here.
        // (Reading the untouched overlapped result would take the client
        // for gone and drop it.)
        connectedAtOnce_[board] = true;
        SetEvent(connectEvents_[board]);
        return true;
    default:
        // ERROR_NO_DATA: a client came and went already.  Drop the
        // instance; the next attempt makes a fresh one.
        *error = "cannot listen on " + board_pipe_name(static_cast<int>(board)) + ": " + error_text(GetLastError());
        DisconnectNamedPipe(listening_[board]);
        CloseHandle(listening_[board]);
        listening_[board] = INVALID_HANDLE_VALUE;
        return false;
    }
}

bool PipeServer::start(std::string* error) {
    if (started_) {
        *error = "already started";
        return false;
    }
    if (boards_.empty() || boards_.size() > MAXIMUM_WAIT_OBJECTS - 2) {
        *error = "cannot serve " + std::to_string(boards_.size()) + " boards";
        return false;
    }
    security_ = own_user_only(error);
    if (security_ == nullptr) return false;
    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    reapEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (stopEvent_ == nullptr || reapEvent_ == nullptr) {
        *error = "cannot create an event: " + error_text(GetLastError());
        release_pipes();
        return false;
    }
    for (std::size_t b = 0; b < boards_.size(); ++b) {
        listening_.push_back(INVALID_HANDLE_VALUE);
        connectOps_.push_back(std::make_unique<OVERLAPPED>());
        connectedAtOnce_.push_back(false);
        connectEvents_.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (connectEvents_.back() == nullptr) {
            *error = "cannot create an event: " + error_text(GetLastError());
            release_pipes();
            return false;
        }
        listening_[b] = make_instance(b, true, error);
        if (listening_[b] == INVALID_HANDLE_VALUE || !listen(b, error)) {
            release_pipes();
            return false;
        }
    }
    acceptor_ = std::thread([this] { accept_loop(); });
    started_ = true;
    return true;
}

void PipeServer::accept_loop() {
    // Slot 0 stops, slot 1 reaps, slot 2 + b is board b's connect.
    std::vector<HANDLE> waits = {stopEvent_, reapEvent_};
    waits.insert(waits.end(), connectEvents_.begin(), connectEvents_.end());
    for (;;) {
        bool allListening = true;
        for (HANDLE l : listening_) allListening = allListening && l != INVALID_HANDLE_VALUE;
        // A board left without an instance has its connect event reset, so
        // only the timeout brings the retry.
        const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                               allListening ? INFINITE : kRelistenMs);
        if (r == WAIT_OBJECT_0) return;
        if (r == WAIT_OBJECT_0 + 1) {
            reap(false);
            continue;
        }
        if (r == WAIT_FAILED) {
            connections_.log("wait failed: " + error_text(GetLastError()));
            return;
        }
        for (std::size_t b = 0; b < listening_.size(); ++b) {
            std::string error;
            if (listening_[b] == INVALID_HANDLE_VALUE) {
                listen(b, &error);
                continue;
            }
            if (WaitForSingleObject(connectEvents_[b], 0) != WAIT_OBJECT_0) continue;
            DWORD ignored = 0;
            HANDLE pipe = listening_[b];
            listening_[b] = INVALID_HANDLE_VALUE;
            if (connectedAtOnce_[b] || GetOverlappedResult(pipe, connectOps_[b].get(), &ignored, FALSE) ||
                GetLastError() == ERROR_PIPE_CONNECTED) {
                begin_connection(b, pipe);
            } else {
                // The client gave up before we saw it.
                DisconnectNamedPipe(pipe);
                CloseHandle(pipe);
            }
            // Listen again at once: the panel and the library's timer may
            // each open their own handle, one right after the other.
            if (!listen(b, &error)) connections_.log(error + "; trying again");
        }
    }
}

void PipeServer::begin_connection(std::size_t b, HANDLE pipe) {
    if (!connections_.admit(b, pipe, [this](Connection* c) { serve_connection(c); })) {
        // The client's next read or write fails at once.
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}

void PipeServer::serve_connection(Connection* c) {
    PipeStream stream(c->endpoint, stopEvent_);
    connections_.serve(c, stream, *boards_[c->board], [](HANDLE pipe) { DisconnectNamedPipe(pipe); });
    // A pipe acceptor waits on events, so the reap event tells it to reap.
    SetEvent(reapEvent_);
}

void PipeServer::reap(bool all) {
    connections_.reap(all, [](HANDLE pipe) { CloseHandle(pipe); });
}

void PipeServer::stop() {
    if (started_) {
        // One event ends the acceptor's wait and every session's transfer,
        // so unlike a socket no connection needs shutting down by hand.
        SetEvent(stopEvent_);
        acceptor_.join();
        reap(true);
        started_ = false;
    }
    release_pipes();
}

void PipeServer::release_pipes() {
    for (std::size_t b = 0; b < listening_.size(); ++b) {
        if (listening_[b] == INVALID_HANDLE_VALUE) continue;
        // The connect may be pending on this OVERLAPPED: cancel it and let
        // the cancel land before the OVERLAPPED goes.
        DWORD ignored = 0;
        if (CancelIoEx(listening_[b], connectOps_[b].get())) {
            GetOverlappedResult(listening_[b], connectOps_[b].get(), &ignored, TRUE);
        }
        CloseHandle(listening_[b]);
    }
    listening_.clear();
    for (HANDLE e : connectEvents_) {
        if (e != nullptr) CloseHandle(e);
    }
    connectEvents_.clear();
    connectOps_.clear();
    connectedAtOnce_.clear();
    if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
    if (reapEvent_ != nullptr) CloseHandle(reapEvent_);
    stopEvent_ = reapEvent_ = nullptr;
    if (security_ != nullptr) LocalFree(security_);
    security_ = nullptr;
}

}  // namespace kv318::sim
