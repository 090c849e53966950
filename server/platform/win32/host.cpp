#include <windows.h>

#include <direct.h>
#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host.h"

namespace kv318::server::platform {

std::string process_name() {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size)) std::strcpy(host, "localhost");
    return std::to_string(_getpid()) + "@" + host;
}

std::vector<std::string> default_local_urls() { return {}; }

bool write_key_file(const std::string& path, const std::string& text, bool, std::string* error) {
    // The key directory's own permissions guard a secret key on Windows.
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool make_key_directory(const std::string& dir, std::string* error) {
    if (_mkdir(dir.c_str()) == 0 || errno == EEXIST) return true;
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

}  // namespace kv318::server::platform
