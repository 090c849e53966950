// The output of stream and poll on Linux: a file descriptor written with
// write(2), so a reader that takes nothing cannot hold the tool past a stop.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "console.h"

namespace kv318::pipeline::platform {

namespace {

class FdOutput : public ByteOutput {
public:
    FdOutput(int fd, bool owned) : fd_(fd), owned_(owned) {
        struct stat st {};
        const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
        const int flags = ::fcntl(fd_, F_GETFL);
        // A file opened for appending (`>> run.wav`) writes every byte at
        // its end, a header fix-up included, so it is treated as a stream.
        seekable_ = regular && flags >= 0 && (flags & O_APPEND) == 0;
        waits_ = !regular;
    }
    ~FdOutput() override {
        if (owned_) ::close(fd_);
    }

    bool write(const void* data, std::size_t size) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            // A regular file always takes its bytes in a bounded time, so
            // it is never given up on: a stop loses nothing written to disk.
            if (waits_ && abandoned_.load(std::memory_order_relaxed)) {
                error_ = "the reader took nothing more after the stop";
                return false;
            }
            std::size_t chunk = size;
            if (waits_) {
                // Wait for room in steps, so abandon() is seen; then write
                // no more than the pipe takes at once without blocking.
                pollfd pfd{fd_, POLLOUT, 0};
                const int ready = ::poll(&pfd, 1, 100);
                if (ready < 0 && errno != EINTR) return fail();
                if (ready <= 0) continue;
                chunk = std::min<std::size_t>(size, PIPE_BUF);
            }
            const ssize_t n = ::write(fd_, p, chunk);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return fail();
            }
            p += n;
            size -= static_cast<std::size_t>(n);
            landed_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        }
        return true;
    }

    std::uint64_t landed() const override { return landed_.load(std::memory_order_relaxed); }

    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
        if (!seekable_) return false;
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail();
            }
            p += n;
            offset += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    bool flush() override { return error_.empty(); }

    bool cut(std::uint64_t size) override {
        if (!seekable_ || size > landed()) return false;
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return false;
        landed_.store(size, std::memory_order_relaxed);
        return true;
    }

    std::string error() const override { return error_; }
    void abandon() override { abandoned_.store(true, std::memory_order_relaxed); }

private:
    bool fail() {
        error_ = std::strerror(errno);
        return false;
    }

    int fd_;
    bool owned_;
    bool seekable_ = false;
    bool waits_ = true;
    // Written by the thread that stops the run, read by the writing thread
    // between waits; relaxed, as it guards no other data.
    std::atomic<bool> abandoned_{false};
    // Written and read by the writing thread only; atomic so that landed()
    // may be asked from any thread without a race.
    std::atomic<std::uint64_t> landed_{0};
    std::string error_;
};

}  // namespace

std::unique_ptr<ByteOutput> open_output(const std::string& path, std::string* error) {
    if (path.empty()) return std::make_unique<FdOutput>(STDOUT_FILENO, false);
    // Opening a FIFO waits for its reader; Ctrl-C ends the wait (EINTR).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = errno == EINTR ? std::string("interrupted while waiting for a reader") : std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<FdOutput>(fd, true);
}

}  // namespace kv318::pipeline::platform
