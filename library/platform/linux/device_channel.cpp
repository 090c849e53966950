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
#include <cstdarg>
#include <cstdio>
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
// *uid is the listener's user when the kernel told it, else it is left.
bool peer_is_trusted(int fd, uid_t* uid) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    *uid = cred.uid;
    return linux_channel::driver_user_is_trusted(cred.uid, ::geteuid());
}

// Why the calling thread's last open failed, for open_failure().  Written
// and read by that thread alone; a plain array, so no thread runs a
// destructor of ours at its end.
thread_local char t_openFailure[640];

// Writes the reason of a failed open, as printf formats it, and returns
// the failure value for open() to return.
Handle open_failed(const char* format, ...) __attribute__((format(printf, 1, 2)));
Handle open_failed(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(t_openFailure, sizeof t_openFailure, format, args);
    va_end(args);
    return kInvalidHandle;
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
        t_openFailure[0] = '\0';
        const std::string dir = linux_channel::driver_directory();
        const std::string problem =
            linux_channel::driver_directory_problem(dir, linux_channel::driver_directory_is_default());
        if (!problem.empty()) return open_failed("no board answers: %s", problem.c_str());
        const std::string path = dir + "/" + channel_endpoint_name(name);
        const char* where = path.c_str();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path)
            return open_failed("the driver channel path %s is too long for a socket", where);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        // Non-blocking, so a driver whose listen queue is full cannot hold
        // the caller past the channel's timeout; all later I/O polls anyway.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return open_failed("no socket could be made: %s", std::strerror(errno));
        const auto deadline = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs);
        while (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            const int err = errno;
            const bool busy = err == EAGAIN || err == EINTR;
            if (!busy || Clock::now() >= deadline) {
                ::close(fd);
                if (err == ENOENT) return open_failed("no such board (driver channel %s not found)", where);
                if (err == ECONNREFUSED)
                    return open_failed("no such board (nothing listens at driver channel %s)", where);
                if (busy)
                    return open_failed("the driver at %s did not take the connection within %d ms", where,
                                       kChannelTimeoutMs);
                return open_failed("cannot connect to driver channel %s: %s", where, std::strerror(err));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        constexpr uid_t kUnknown = static_cast<uid_t>(-1);
        uid_t uid = kUnknown;
        if (!peer_is_trusted(fd, &uid)) {
            ::close(fd);
            if (uid == kUnknown) return open_failed("the driver at %s cannot be asked which user it runs as", where);
            return open_failed(
                "the driver at %s runs as uid %u, neither this user nor root, so it may not serve "
                "boards to this program",
                where, static_cast<unsigned>(uid));
        }
        handles_.add(fd, std::make_unique<SocketStream>(fd));
        return fd;
    }

    RequestFault last_request_fault() override { return ChannelHandles::last_fault(); }

    const char* open_failure() override { return t_openFailure; }

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
