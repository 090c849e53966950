// The Linux device service: boards are reached through a driver process over
// a Unix-domain stream socket, with the frames of channel_frame.h.  The
// handle is the connected socket's descriptor.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "channel_client.h"
#include "channel_frame.h"
#include "device_service.h"
#include "driver_dir.h"

namespace kv318 {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline.  False on timeout or error.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool send_all(int fd, const std::uint8_t* data, std::size_t len, Clock::time_point deadline) {
    while (len > 0) {
        if (!wait_for(fd, POLLOUT, deadline)) return false;
        // MSG_NOSIGNAL: a vanished driver is a failed request, never SIGPIPE.
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recv_all(int fd, std::uint8_t* data, std::size_t len, Clock::time_point deadline) {
    while (len > 0) {
        if (!wait_for(fd, POLLIN, deadline)) return false;
        const ssize_t n = ::recv(fd, data, len, MSG_DONTWAIT);
        if (n == 0) return false;  // the driver closed the stream
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// True when the process that listens at the far end of the connected socket
// `fd` runs as this process's effective user or as root.  The kernel records
// the listener's credentials, so no file-system race can fake them: the
// directory check comes first, but the socket it vouched for may be swapped
// for another user's before the connect lands.
bool peer_is_trusted(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    return linux_channel::driver_user_is_trusted(cred.uid, ::geteuid());
}

// The connected socket as the handle's byte stream, every transfer bounded
// by the deadline of the exchange in progress.  It owns the descriptor.
class SocketStream final : public ChannelStream {
public:
    explicit SocketStream(int fd) : fd_(fd), owner_(::getpid()) {}
    ~SocketStream() override {
        if (fd_ >= 0) ::close(fd_);
    }
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    bool close() override {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void interrupt() override {
        // Wakes a poll on another thread with the end of the stream; unlike
        // close, it leaves the descriptor's number taken until close().
        ::shutdown(fd_, SHUT_RDWR);
    }
    void begin_exchange() override { deadline_ = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs); }
    bool inherited() const override { return ::getpid() != owner_; }
    bool send_all(const std::uint8_t* data, std::size_t len) override {
        return kv318::send_all(fd_, data, len, deadline_);
    }
    bool receive_all(std::uint8_t* data, std::size_t len) override { return recv_all(fd_, data, len, deadline_); }
    bool has_unread() override {
        // Readable at once means bytes, the end of the stream or an error.
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, 0);
            if (r >= 0) return r > 0;
            if (errno != EINTR) return true;
        }
    }

private:
    int fd_;
    // The process that connected; a forked child sees another pid.
    const pid_t owner_;
    Clock::time_point deadline_{};
};

class ChannelService final : public DeviceService {
public:
    Handle open(const char* name) override {
        const std::string dir = linux_channel::driver_directory();
        if (!linux_channel::driver_directory_problem(dir, linux_channel::driver_directory_is_default()).empty())
            return kInvalidHandle;
        const std::string path = dir + "/" + channel_endpoint_name(name);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) return kInvalidHandle;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        // Non-blocking, so a driver whose listen queue is full cannot hold
        // the caller past the channel's timeout; all later I/O polls anyway.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return kInvalidHandle;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs);
        while (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            const bool busy = errno == EAGAIN || errno == EINTR;
            if (!busy || Clock::now() >= deadline) {
                ::close(fd);
                return kInvalidHandle;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!peer_is_trusted(fd)) {
            ::close(fd);
            return kInvalidHandle;
        }
        handles_.add(fd, std::make_unique<SocketStream>(fd));
        return fd;
    }

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        return handles_.ioctl(h, code, in, inLen, out, outCap, returned);
    }

    // Only descriptors this service opened: any other number is refused
    // untouched, so a stale or foreign handle never closes a descriptor of
    // the program's own (a log file, standard error).
    std::int32_t close(Handle h) override { return handles_.close(h); }

    void sleep_ms(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

private:
    ChannelHandles handles_;
};

}  // namespace

DeviceService& platform_device_service() {
    // Never destroyed: a timer thread may still issue a request while the
    // process exits, and must not find the service gone.
    static ChannelService* service = new ChannelService;
    return *service;
}

}  // namespace kv318
