#include "pipe_board.h"

#include <string>

#include "session.h"

namespace kv318::test {
namespace {

// One connected pipe instance as the session's byte stream.  Every transfer
// is overlapped and also waits on the stop event, so a board being torn
// down never hangs on a client that stays connected.
class PipeStream final : public sim::ByteStream {
public:
    PipeStream(HANDLE pipe, HANDLE stop) : pipe_(pipe), stop_(stop), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~PipeStream() override { CloseHandle(event_); }
    PipeStream(const PipeStream&) = delete;
    PipeStream& operator=(const PipeStream&) = delete;

    bool read_exact(std::uint8_t* data, std::size_t n) override { return transfer(data, n, false); }
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        return transfer(const_cast<std::uint8_t*>(data), n, true);
    }

private:
    bool transfer(std::uint8_t* data, std::size_t n, bool write) {
        while (n > 0) {
            OVERLAPPED ov{};
            ov.hEvent = event_;
            const DWORD chunk = static_cast<DWORD>(n);
            const BOOL started = write ? WriteFile(pipe_, data, chunk, nullptr, &ov) : ReadFile(pipe_, data, chunk, nullptr, &ov);
            if (!started && GetLastError() != ERROR_IO_PENDING) return false;
            HANDLE waits[2] = {event_, stop_};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                DWORD ignored = 0;
                CancelIoEx(pipe_, &ov);
                GetOverlappedResult(pipe_, &ov, &ignored, TRUE);
                return false;
            }
            DWORD done = 0;
            if (!GetOverlappedResult(pipe_, &ov, &done, FALSE) || done == 0) return false;
            data += done;
            n -= done;
        }
        return true;
    }

    HANDLE pipe_;
    HANDLE stop_;
    HANDLE event_;
};

}  // namespace

PipeBoard::PipeBoard(int number, const sim::BoardConfig& config)
    : name_(L"\\\\.\\pipe\\KV318Device" + std::to_wstring(number)),
      board_(config, clock_),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    first_ = make_instance();
    if (first_ != INVALID_HANDLE_VALUE) listener_ = std::thread([this] { listen(); });
}

PipeBoard::~PipeBoard() {
    SetEvent(stop_);
    if (listener_.joinable()) listener_.join();
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (std::thread& t : sessions_) t.join();
    CloseHandle(stop_);
}

HANDLE PipeBoard::make_instance() const {
    return CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 65536, 65536,
                            0, nullptr);
}

void PipeBoard::listen() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE pipe = first_;
    while (pipe != INVALID_HANDLE_VALUE) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        bool connected = ConnectNamedPipe(pipe, &ov) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected && GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event, stop_};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
                DWORD ignored = 0;
                connected = GetOverlappedResult(pipe, &ov, &ignored, FALSE) != 0;
            } else {
                DWORD ignored = 0;
                CancelIoEx(pipe, &ov);
                GetOverlappedResult(pipe, &ov, &ignored, TRUE);
            }
        }
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) {
            CloseHandle(pipe);
            break;
        }
        if (connected) {
            ++connections_;
            std::lock_guard<std::mutex> lock(sessionsMutex_);
            sessions_.emplace_back([this, pipe] { serve(pipe); });
        } else {
            CloseHandle(pipe);
        }
        // Listen again at once: the panel and the library's timer may each
        // open their own handle.
        pipe = make_instance();
    }
    CloseHandle(event);
}

void PipeBoard::serve(HANDLE pipe) {
    PipeStream stream(pipe, stop_);
    sim::serve_session(stream, board_);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

}  // namespace kv318::test
