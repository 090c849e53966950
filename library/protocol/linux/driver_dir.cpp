#include "driver_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kv318::linux_channel {

std::string driver_directory() {
    const char* env = std::getenv("KV318_DRIVER_DIR");
    if (env != nullptr && env[0] != '\0') return env;
    return "/tmp/kv318-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

bool driver_directory_is_private(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool driver_user_is_trusted(uid_t driverUid, uid_t ownUid) {
    return driverUid == ownUid || driverUid == 0;
}

}  // namespace kv318::linux_channel
