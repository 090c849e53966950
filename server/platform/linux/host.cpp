#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver_dir.h"
#include "host.h"

namespace kv318::server::platform {

std::string process_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
    return std::to_string(getpid()) + "@" + host;
}

std::vector<std::string> default_local_urls() {
    const std::string dir = linux_channel::driver_directory();
    if (!linux_channel::driver_directory_is_private(dir)) return {};
    return {"ipc://" + dir + "/kv318-server"};
}

bool write_key_file(const std::string& path, const std::string& text, bool secret, std::string* error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, secret ? 0600 : 0644);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // An existing file keeps its mode on open; a secret must not.
    const bool ok =
        (!secret || fchmod(fd, 0600) == 0) && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
    close(fd);
    return ok;
}

bool make_key_directory(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

}  // namespace kv318::server::platform
