#include "socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "board.h"
#include "channel_frame.h"
#include "driver_dir.h"
#include "session.h"

namespace kv318::sim {

namespace {

constexpr char kLockName[] = ".kv318-sim.lock";
// How long the listeners rest when the system has no descriptor or memory
// to give a new connection.
constexpr int kPauseMs = 100;

class FdStream final : public ByteStream {
public:
    explicit FdStream(int fd) : fd_(fd) {}

    IoResult read_exact(std::uint8_t* data, std::size_t n, Deadline deadline) override {
        while (n > 0) {
            const IoResult ready = wait_for(POLLIN, deadline);
            if (ready != IoResult::Done) return ready;
            const ssize_t r = ::recv(fd_, data, n, 0);
            if (r == 0) return IoResult::Ended;
            if (r < 0) {
                if (errno == EINTR) continue;
                return IoResult::Ended;
            }
            data += r;
            n -= static_cast<std::size_t>(r);
        }
        return IoResult::Done;
    }

    IoResult write_all(const std::uint8_t* data, std::size_t n, Deadline deadline) override {
        while (n > 0) {
            const IoResult ready = wait_for(POLLOUT, deadline);
            if (ready != IoResult::Done) return ready;
            // MSG_NOSIGNAL: a client that went away is a failed write, not
            // SIGPIPE.  MSG_DONTWAIT: with a deadline, a full buffer must
            // come back to the poll rather than block.
            const ssize_t r = ::send(fd_, data, n, MSG_NOSIGNAL | (deadline == kNoDeadline ? 0 : MSG_DONTWAIT));
            if (r < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return IoResult::Ended;
            }
            data += r;
            n -= static_cast<std::size_t>(r);
        }
        return IoResult::Done;
    }

private:
    // Waits until the socket is ready for `events` (or has ended: the read
    // or write that follows tells), or the deadline passes.
    IoResult wait_for(short events, Deadline deadline) {
        if (deadline == kNoDeadline) return IoResult::Done;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return IoResult::TimedOut;
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60'000)));
            if (r > 0) return IoResult::Done;
            if (r < 0 && errno != EINTR) return IoResult::Ended;
        }
    }

    int fd_;
};

std::string errno_text() { return std::strerror(errno); }

bool fill_address(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections on the socket at `addr`.  The
// probe does not block, so a live server with a full queue also counts.
bool socket_is_live(const sockaddr_un& addr) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return true;  // cannot tell: do not touch it
    const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const bool live = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return live;
}

}  // namespace

SocketServer::SocketServer(std::vector<Board*> boards, std::string dir, LogFn log, ServerLimits limits)
    : boards_(std::move(boards)), dir_(std::move(dir)), connections_(std::move(log), limits) {}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::take_lock(std::string* error) {
    lockPath_ = dir_ + "/" + kLockName;
    // A simulator that is just exiting removes its lock file after we open
    // it; then the lock we got guards nothing, and we try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *error = "cannot open " + lockPath_ + ": " + errno_text();
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            char pid[32] = {};
            const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
            ::close(fd);
            std::string who = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string("?");
            while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
            *error = "another kv318-sim (pid " + who + ") already serves " + dir_;
            return false;
        }
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                // The pid is only for the message of a refused second simulator.
            }
            lockFd_ = fd;
            return true;
        }
        ::close(fd);
    }
    *error = "cannot take the lock " + lockPath_;
    return false;
}

bool SocketServer::bind_board(std::size_t board, std::string* error) {
    char name[kDeviceNameSize];
    format_device_name(name, static_cast<std::int32_t>(board));
    const std::string path = dir_ + "/" + channel_endpoint_name(name);
    sockaddr_un addr{};
    if (!fill_address(path, &addr)) {
        *error = "socket path too long: " + path;
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        if (socket_is_live(addr)) {
            *error = "a live driver already serves " + path;
            return false;
        }
        // Left behind by a driver that was killed: nobody listens on it.
        if (::unlink(path.c_str()) != 0) {
            *error = "cannot remove the stale socket " + path + ": " + errno_text();
            return false;
        }
        connections_.log("replaced the stale socket " + path);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "socket: " + errno_text();
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot bind " + path + ": " + errno_text();
        ::close(fd);
        return false;
    }
    socketPaths_.push_back(path);
    if (::listen(fd, 16) != 0) {
        *error = "cannot listen on " + path + ": " + errno_text();
        ::close(fd);
        return false;
    }
    listeners_.push_back(fd);
    return true;
}

bool SocketServer::start(std::string* error) {
    if (started_) {
        *error = "already started";
        return false;
    }
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir_ + ": " + errno_text();
        return false;
    }
    if (!linux_channel::driver_directory_is_private(dir_)) {
        *error = dir_ +
                 " must be a directory of yours that nobody else can write (mode 0700); "
                 "the library opens no board in any other";
        return false;
    }
    if (!take_lock(error)) return false;
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        if (!bind_board(i, error)) {
            release_files();
            return false;
        }
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = "pipe: " + errno_text();
        release_files();
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    stopping_.store(false, std::memory_order_release);
    acceptor_ = std::thread([this] { accept_loop(); });
    started_ = true;
    return true;
}

void SocketServer::accept_loop() {
    std::vector<pollfd> fds;
    for (int l : listeners_) fds.push_back(pollfd{l, POLLIN, 0});
    fds.push_back(pollfd{wakeRead_, POLLIN, 0});
    // Set when the system could not give a descriptor or memory for a
    // connection: the listeners then rest for a moment, as polling them
    // again at once would only spin on the same waiting connection.
    bool pause = false;
    for (;;) {
        for (std::size_t b = 0; b < listeners_.size(); ++b) fds[b].events = pause ? 0 : POLLIN;
        for (pollfd& p : fds) p.revents = 0;
        if (::poll(fds.data(), fds.size(), pause ? kPauseMs : -1) < 0) {
            if (errno == EINTR) continue;
            connections_.log("poll failed: " + errno_text());
            return;
        }
        pause = false;
        if (fds.back().revents != 0) {
            std::uint8_t sink[64];
            while (::read(wakeRead_, sink, sizeof sink) > 0) {
            }
            if (stopping_.load(std::memory_order_acquire)) return;
            reap(false);
        }
        for (std::size_t b = 0; b < listeners_.size(); ++b) {
            if ((fds[b].revents & POLLIN) != 0) accept_one(b, &pause);
        }
    }
}

void SocketServer::accept_one(std::size_t b, bool* pause) {
    const int fd = ::accept4(listeners_[b], nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            // Out of descriptors.  Give the spare up for a moment to take
            // the connection and close it: the client hears at once that it
            // was refused, and the acceptor does not spin on it.
            if (spareFd_ >= 0) {
                ::close(spareFd_);
                const int refused = ::accept4(listeners_[b], nullptr, nullptr, SOCK_CLOEXEC);
                if (refused >= 0) {
                    ::close(refused);
                    connections_.count_refused();
                    connections_.log("board " + std::to_string(b) +
                                     ": connection refused: the process is out of file descriptors");
                }
                spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
            if (spareFd_ < 0) {
                spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                *pause = true;
            }
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            *pause = true;
        }
        // Anything else: the client gave up already.
        return;
    }
    if (!connections_.admit(b, fd, [this](Connection* c) { serve_connection(c); })) ::close(fd);
}

void SocketServer::serve_connection(Connection* c) {
    FdStream stream(c->endpoint);
    connections_.serve(c, stream, *boards_[c->board], [](int fd) { ::shutdown(fd, SHUT_RDWR); });
    // A socket acceptor sleeps in poll, so a byte on the wake pipe tells it to reap.
    const std::uint8_t byte = 1;
    if (::write(wakeWrite_, &byte, 1) < 0) {
        // The pipe is full: the acceptor is awake anyway.
    }
}

void SocketServer::reap(bool all) {
    connections_.reap(all, [](int fd) { ::close(fd); });
}

void SocketServer::stop() {
    if (started_) {
        stopping_.store(true, std::memory_order_release);
        const std::uint8_t byte = 1;
        if (::write(wakeWrite_, &byte, 1) < 0) {
            // A full pipe wakes the acceptor as well.
        }
        acceptor_.join();
        // End every session: its blocked read returns at once.  (A pipe
        // session waits on the stop event instead; a socket has no such wait.)
        connections_.for_each_endpoint([](int fd) { ::shutdown(fd, SHUT_RDWR); });
        reap(true);
        ::close(wakeRead_);
        ::close(wakeWrite_);
        wakeRead_ = wakeWrite_ = -1;
        if (spareFd_ >= 0) ::close(spareFd_);
        spareFd_ = -1;
        started_ = false;
    }
    release_files();
}

void SocketServer::release_files() {
    for (int fd : listeners_) ::close(fd);
    listeners_.clear();
    for (const std::string& path : socketPaths_) ::unlink(path.c_str());
    socketPaths_.clear();
    if (lockFd_ >= 0) {
        // Unlinked while still held, so a simulator starting now either
        // waits for our lock or finds the file gone and makes its own.
        ::unlink(lockPath_.c_str());
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

}  // namespace kv318::sim
