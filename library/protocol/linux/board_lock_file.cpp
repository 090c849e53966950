#include "board_lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "board_lock.h"
#include "driver_dir.h"

namespace kv318::linux_channel {

std::string board_lock_path(std::int32_t board) { return driver_directory() + "/" + board_lock_file_name(board); }

std::string board_served_path(std::int32_t board) { return driver_directory() + "/" + board_served_file_name(board); }

namespace {

// The lock file `name` in the driver directory, opened as
// open_board_lock_file opens the board's.
int open_lock_file(const std::string& name, bool create) {
    const std::string dir = driver_directory();
    if (!driver_directory_is_private(dir)) return -1;
    const std::string path = dir + "/" + name;
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// flock, retried when a signal interrupts it.
int flock_retry(int fd, int op) {
    int r = 0;
    do {
        r = ::flock(fd, op);
    } while (r != 0 && errno == EINTR);
    return r;
}

// Whether `path` still names the file open on `fd`.
bool path_names(const std::string& path, int fd) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Whether every lock on the file open on `fd` (which holds none itself) is
// shared: a look, not an acquisition.
bool only_looks_hold(int fd) {
    if (flock_retry(fd, LOCK_SH | LOCK_NB) != 0) return false;
    (void)flock_retry(fd, LOCK_UN);
    return true;
}

// Takes the lock file `name` as take_board_lock_file takes the board's.
LockFileTake take_lock_file(const std::string& name, int* fd, const std::function<void()>& opened) {
    // A file replaced this often is being played with; give up rather than
    // loop for ever.
    constexpr int kMaxReplaced = 16;
    const auto lookDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kv318::kLookRetryMs);
    int replaced = 0;
    for (;;) {
        const int f = open_lock_file(name, true);
        if (f < 0) return LockFileTake::Failed;
        if (opened) opened();
        if (flock_retry(f, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            const bool look = busy && only_looks_hold(f);
            ::close(f);
            if (!busy) return LockFileTake::Failed;
            if (!look || std::chrono::steady_clock::now() >= lookDeadline) return LockFileTake::Busy;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!path_names(driver_directory() + "/" + name, f)) {
            ::close(f);  // never unlocked by hand: nobody else can have forked with it yet
            if (++replaced >= kMaxReplaced) return LockFileTake::Failed;
            continue;
        }
        *fd = f;
        return LockFileTake::Taken;
    }
}

}  // namespace

int open_board_lock_file(std::int32_t board, bool create) {
    return open_lock_file(board_lock_file_name(board), create);
}

LockFileTake take_board_lock_file(std::int32_t board, int* fd, const std::function<void()>& opened) {
    return take_lock_file(board_lock_file_name(board), fd, opened);
}

namespace {

constexpr char kSocketPrefix[] = "kv318-lock:";

// 64-bit FNV-1a: a stable hash every process computes alike.
std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

// The address of `board`'s lock socket and its length for bind/connect.
socklen_t board_lock_socket_address(std::int32_t board, sockaddr_un* addr) {
    const std::string name = board_lock_socket_name(board);
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
}

}  // namespace

std::string board_lock_socket_name(std::int32_t board) {
    std::string dir = driver_directory();
    char resolved[PATH_MAX];
    if (::realpath(dir.c_str(), resolved) != nullptr) {
        dir = resolved;
    } else if (dir.empty() || dir[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) dir = std::string(cwd) + "/" + dir;
    }
    const std::string path = dir + "/" + board_lock_file_name(board);
    std::string name = std::string(1, '\0') + kSocketPrefix + path;
    if (name.size() > sizeof(sockaddr_un::sun_path)) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(path)));
        name = std::string(1, '\0') + kSocketPrefix + "#" + hex + ":" + board_lock_file_name(board);
    }
    return name;
}

LockFileTake bind_board_lock_socket(std::int32_t board, int* fd) {
    sockaddr_un addr{};
    const socklen_t len = board_lock_socket_address(board, &addr);
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return LockFileTake::Failed;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        const bool busy = errno == EADDRINUSE;
        ::close(s);
        return busy ? LockFileTake::Busy : LockFileTake::Failed;
    }
    *fd = s;
    return LockFileTake::Taken;
}

bool board_lock_socket_bound(std::int32_t board) {
    sockaddr_un addr{};
    const socklen_t len = board_lock_socket_address(board, &addr);
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int r = 0;
    do {
        r = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), len);
    } while (r != 0 && errno == EINTR);
    // Refused: nobody has the name.  A socket of another type under it
    // (EPROTOTYPE) still holds the name, and a start could not bind it.
    const bool bound = r == 0 || errno == EPROTOTYPE;
    ::close(s);
    return bound;
}

}  // namespace kv318::linux_channel

namespace kv318 {

namespace {

// The text of a lock file, read once it starts with a pid: the holder
// writes it right after it takes the lock, so a look that lands between
// the two sees an empty file; a few short retries cover that.  "" when no
// pid came.
std::string read_lock_text(int fd) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[kServedUrlMax + 32];
        const ssize_t n = ::pread(fd, text, sizeof text, 0);
        std::uint32_t pid = 0;
        if (n > 0 && parse_board_lock_pid(text, static_cast<std::size_t>(n), &pid))
            return std::string(text, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

std::uint32_t read_holder_pid(int fd) {
    const std::string text = read_lock_text(fd);
    std::uint32_t pid = 0;
    return parse_board_lock_pid(text.data(), text.size(), &pid) ? pid : 0;
}

// Whether another open file holds the lock of `fd`: a shared lock tried
// for an instant, which a start waits out.
bool held_by_another(int fd) {
    if (linux_channel::flock_retry(fd, LOCK_SH | LOCK_NB) == 0) {
        (void)linux_channel::flock_retry(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// Why the lock file `name` cannot be used, as board_lock_file_problem says it.
std::string lock_file_problem(const std::string& name) {
    const std::string dir = linux_channel::driver_directory();
    const std::string path = dir + "/" + name;
    // No directory yet is no lock file yet, and nothing to name: no board
    // is served there either.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return {};
    if (const std::string why = linux_channel::driver_directory_problem(dir, false); !why.empty())
        return "the lock file " + path + " cannot be used: " + why;
    if (::lstat(path.c_str(), &st) != 0) return {};  // none yet: a start makes it
    const std::string file = "the lock file " + path;
    if (S_ISLNK(st.st_mode)) return file + " is a symbolic link";
    if (S_ISFIFO(st.st_mode)) return file + " is a FIFO";
    if (S_ISDIR(st.st_mode)) return file + " is a directory";
    if (!S_ISREG(st.st_mode)) return file + " is not a regular file";
    if (st.st_uid != ::geteuid()) return file + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    const int fd = linux_channel::open_lock_file(name, false);
    if (fd < 0) return file + " cannot be opened: " + std::strerror(errno);
    ::close(fd);
    return {};
}

}  // namespace

std::string board_lock_file_problem(std::int32_t board) { return lock_file_problem(board_lock_file_name(board)); }

BoardLockProbe probe_board_lock(std::int32_t board) {
    BoardLockProbe probe;
    const int fd = linux_channel::open_board_lock_file(board, false);
    if (fd >= 0) {
        if (held_by_another(fd)) {
            probe.held = true;
            probe.pid = read_holder_pid(fd);
        }
        ::close(fd);
    }
    // A holder whose lock file was removed, or one between taking its
    // socket and its file, holds the board all the same; who it is, the
    // socket does not say.
    if (!probe.held) probe.held = linux_channel::board_lock_socket_bound(board);
    return probe;
}

BoardServedProbe probe_board_served(std::int32_t board) {
    BoardServedProbe probe;
    const int fd = linux_channel::open_lock_file(board_served_file_name(board), false);
    if (fd < 0) return probe;
    if (held_by_another(fd)) {
        probe.held = true;
        const std::string text = read_lock_text(fd);
        if (parse_board_lock_pid(text.data(), text.size(), &probe.pid))
            (void)parse_board_served_url(text.data(), text.size(), &probe.url);
    }
    ::close(fd);
    return probe;
}

ServedLockTake take_board_served_lock(std::int32_t board, const std::string& url) {
    const std::string name = board_served_file_name(board);
    ServedLockTake take;
    int fd = -1;
    switch (linux_channel::take_lock_file(name, &fd, {})) {
    case linux_channel::LockFileTake::Taken: {
        // As for the acquisition lock, the pid is for people; the lock
        // holds whether or not it could be written.
        const std::string text = board_served_text(static_cast<std::uint32_t>(::getpid()), url);
        if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
        take.result = ServedLockTake::Taken;
        take.token = fd;
        return take;
    }
    case linux_channel::LockFileTake::Busy: {
        take.result = ServedLockTake::Busy;
        const int look = linux_channel::open_lock_file(name, false);
        if (look >= 0) {
            take.holder = read_holder_pid(look);
            ::close(look);
        }
        return take;
    }
    case linux_channel::LockFileTake::Failed:
        break;
    }
    take.why = lock_file_problem(name);
    if (take.why.empty()) take.why = "the lock file " + linux_channel::board_served_path(board) + " cannot be locked";
    return take;
}

void release_board_served_lock(std::intptr_t token) {
    const int fd = static_cast<int>(token);
    (void)::flock(fd, LOCK_UN);
    ::close(fd);
}

}  // namespace kv318
