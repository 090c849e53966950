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
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "channel_frame.h"
#include "device_service.h"
#include "driver_dir.h"

namespace kv318 {
namespace {

using Clock = std::chrono::steady_clock;

// Per-handle channel state.  The mutex serialises one request and its reply
// at a time, as a kernel driver does for one handle, so the timer thread and
// the caller's thread may share a handle.
struct Connection {
    std::mutex io;
    bool broken = false;  // guarded by io: a broken frame fails every later request
};

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

class ChannelService final : public DeviceService {
public:
    Handle open(const char* name) override {
        const std::string dir = linux_channel::driver_directory();
        if (!linux_channel::driver_directory_is_private(dir)) return kInvalidHandle;
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
        std::lock_guard<std::mutex> lock(table_mutex_);
        table_[fd] = std::make_shared<Connection>();
        return fd;
    }

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        *returned = 0;
        std::shared_ptr<Connection> conn = find(h);
        if (!conn || inLen > kMaxChannelInput || (inLen > 0 && in == nullptr) || (outCap > 0 && out == nullptr))
            return false;
        std::lock_guard<std::mutex> lock(conn->io);
        if (conn->broken) return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kChannelTimeoutMs);

        std::uint8_t header[kRequestHeaderSize];
        encode_request_header(header, RequestHeader{code, inLen, outCap});
        if (!send_all(h, header, sizeof header, deadline) || !send_all(h, in, inLen, deadline)) {
            conn->broken = true;
            return false;
        }
        std::uint8_t replyHeader[kReplyHeaderSize];
        if (!recv_all(h, replyHeader, sizeof replyHeader, deadline)) {
            conn->broken = true;
            return false;
        }
        const ReplyHeader reply = decode_reply_header(replyHeader);
        // A count over the capacity, or any bytes on a failure, breaks the
        // frame: reading on would either overrun `out` or lose our place.
        if (reply.count > outCap || (reply.status != 0 && reply.count != 0)) {
            conn->broken = true;
            return false;
        }
        if (!recv_all(h, out, reply.count, deadline)) {
            conn->broken = true;
            return false;
        }
        if (reply.status != 0) return false;
        *returned = reply.count;
        return true;
    }

    std::int32_t close(Handle h) override {
        {
            std::lock_guard<std::mutex> lock(table_mutex_);
            table_.erase(h);
        }
        return ::close(h) == 0 ? 0 : -1;
    }

    void sleep_ms(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    std::shared_ptr<Connection> find(Handle h) {
        std::lock_guard<std::mutex> lock(table_mutex_);
        auto it = table_.find(h);
        return it == table_.end() ? nullptr : it->second;
    }

    std::mutex table_mutex_;  // guards table_ only, never held across I/O
    std::unordered_map<int, std::shared_ptr<Connection>> table_;
};

}  // namespace

DeviceService& platform_device_service() {
    // Never destroyed: a timer thread may still issue a request while the
    // process exits, and must not find the service gone.
    static ChannelService* service = new ChannelService;
    return *service;
}

}  // namespace kv318
