#include "socket_driver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "board_lock.h"

namespace kv318::test {

namespace {

class SocketConnection final : public DriverConnection {
public:
    explicit SocketConnection(int fd) : fd_(fd) {}
    bool read_all(std::uint8_t* p, std::size_t n) override {
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    void write_all(const std::uint8_t* p, std::size_t n) override { ::send(fd_, p, n, MSG_NOSIGNAL); }

private:
    int fd_;
};

}  // namespace

SocketDriver::SocketDriver(mode_t mode) {
    char tmpl[] = "/tmp/kv318-channel-test-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    ::chmod(dir_.c_str(), mode);
    ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
    path_ = dir_ + "/KV318Device0";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path_.c_str());
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this] { serve(); });
}

SocketDriver::~SocketDriver() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
    ::unlink(path_.c_str());
    // A stream through this driver leaves the board's lock file beside it.
    ::unlink((dir_ + "/" + board_lock_file_name(0)).c_str());
    ::rmdir(dir_.c_str());
    ::unsetenv("KV318_DRIVER_DIR");
}

void SocketDriver::serve() {
    for (;;) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;  // the listener was shut down
        if (closeOnAccept_) {
            ::close(fd);
            ++dropped_;
            continue;
        }
        SocketConnection c(fd);
        script_.serve(c);
        ::close(fd);
    }
}

}  // namespace kv318::test
