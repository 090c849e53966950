#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver_dir.h"
#include "KV318.h"
#include "host.h"

namespace kv318::server::platform {

namespace {

FileFacts facts_of(const struct stat& st) {
    FileFacts f;
    f.exists = true;
    f.symlink = S_ISLNK(st.st_mode);
    f.regular = S_ISREG(st.st_mode);
    f.directory = S_ISDIR(st.st_mode);
    f.mode = st.st_mode & 07777u;
    f.ownerTrusted = st.st_uid == geteuid() || st.st_uid == 0;
    f.size = static_cast<std::uint64_t>(st.st_size);
    return f;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Makes `dir` 0700 when missing; then it must be this user's directory
// that no one else can enter.
bool make_private(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        *error = dir + " must be a folder of yours that nobody else can enter (mode 0700)";
        return false;
    }
    return true;
}

}  // namespace

void open_boards_directly() { ::setenv(KV318_SERVER_ENV, KV318_SERVER_NONE, 1); }

std::string process_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
    return std::to_string(getpid()) + "@" + host;
}

std::vector<std::string> default_local_urls() {
    const std::string url = "ipc://" + linux_channel::driver_directory() + "/kv318-server";
    if (!ipc_is_private(url)) return {};
    return {url};
}

bool ipc_is_private(const std::string& url) {
    const std::string dir = parent_of(url.substr(url.rfind("ipc://", 0) == 0 ? 6 : 0));
    struct stat st {};
    // Private: this user's, and nobody else may enter it, or may write it
    // (a stranger's socket planted in its place would be served to us).
    return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

bool write_key_file(const std::string& path, const std::string& text, bool secret, bool replace, std::string* error) {
    const std::string target = replace ? path + ".new" : path;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    if (replace) unlink(target.c_str());
    const int fd = open(target.c_str(), flags, secret ? 0600 : 0644);
    if (fd < 0) {
        *error = errno == EEXIST ? path + " is there already: it is never overwritten; move it away first"
                                 : "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // The mode asked for whatever the umask says.
    bool ok = fchmod(fd, secret ? 0600 : 0644) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
    close(fd);
    if (ok && replace && rename(target.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) unlink(target.c_str());
    return ok;
}

bool remove_file(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

bool make_key_directory(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

bool make_local_keys_dir(const std::string& dir, std::string* error) {
    const std::string root = parent_of(dir);
    const std::string driver = linux_channel::driver_directory();
    if (root.empty() || parent_of(root) != driver) {
        *error = dir + " is not in the driver directory " + driver;
        return false;
    }
    // The driver directory as the library would take it, and made as a
    // driver would make it.
    if (mkdir(driver.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + driver + ": " + std::strerror(errno);
        return false;
    }
    if (const std::string why =
            linux_channel::driver_directory_problem(driver, linux_channel::driver_directory_is_default());
        !why.empty()) {
        *error = why;
        return false;
    }
    return make_private(root, error) && make_private(dir, error);
}

FileFacts file_facts(const std::string& path, bool follow) {
    struct stat st {};
    if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return FileFacts{};
    return facts_of(st);
}

bool read_key_file(const std::string& path, bool follow, std::uint64_t maxBytes, FileFacts* facts, std::string* text,
                   std::string* error) {
    *facts = FileFacts{};
    text->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (errno == ELOOP && !follow) {
            *facts = file_facts(path, false);
            return true;
        }
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok) *facts = facts_of(st);
    // At most one byte past the bound: a file that grew meanwhile is still
    // seen to be too long.
    if (ok && facts->regular && facts->size <= maxBytes) {
        char buffer[4096];
        while (text->size() <= maxBytes) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            text->append(buffer, static_cast<std::size_t>(n));
        }
        if (text->size() > facts->size) facts->size = text->size();
    }
    if (!ok) *error = "cannot read " + path + ": " + std::strerror(errno);
    close(fd);
    return ok;
}

FileStamp file_stamp(const std::string& path) {
    struct stat st {};
    FileStamp s;
    if (stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return s;
}

}  // namespace kv318::server::platform
