#include "driver_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv318::linux_channel {

namespace {

const char* set_env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

}  // namespace

std::string driver_directory() {
    if (const char* env = set_env("KV318_DRIVER_DIR")) return env;
    // A relative XDG_RUNTIME_DIR is invalid by its specification; ignore it
    // rather than publish boards relative to the working directory.
    if (const char* xdg = set_env("XDG_RUNTIME_DIR"); xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/kv318";
    return "/tmp/kv318-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

bool driver_directory_is_default() { return set_env("KV318_DRIVER_DIR") == nullptr; }

std::string driver_directory_problem(const std::string& dir, bool isDefault) {
    struct stat st {};
    // The default is looked at itself, never through a link; a directory the
    // user named may be reached through one of theirs.
    if ((isDefault ? lstat(dir.c_str(), &st) : stat(dir.c_str(), &st)) != 0)
        return "cannot use " + dir + ": " + std::strerror(errno);
    const std::string way = "; set KV318_DRIVER_DIR to a directory of your own (mode 0700) to use another";
    if (S_ISLNK(st.st_mode)) return dir + " is a symbolic link, which is refused as the default driver directory" + way;
    if (!S_ISDIR(st.st_mode)) return dir + " is not a directory" + (isDefault ? way : std::string());
    if (st.st_uid != geteuid())
        return dir + " belongs to another user (uid " + std::to_string(static_cast<unsigned long>(st.st_uid)) + ")" +
               (isDefault ? way : std::string());
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return dir + " must be a directory of yours that nobody else can write (mode 0700)";
    return "";
}

bool driver_directory_is_private(const std::string& dir) { return driver_directory_problem(dir, false).empty(); }

bool driver_user_is_trusted(uid_t driverUid, uid_t ownUid) { return driverUid == ownUid || driverUid == 0; }

}  // namespace kv318::linux_channel
