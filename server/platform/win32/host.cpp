#include <windows.h>

#include <direct.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "KV318.h"
#include "host.h"

namespace kv318::server::platform {

namespace {

// Windows keeps no owner and mode bits that mean what they do on Linux:
// the folder's access list guards the files, %LOCALAPPDATA%'s their user's.
FileFacts facts_of(const struct _stat64& st) {
    FileFacts f;
    f.exists = true;
    f.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    f.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
    f.permissionsKnown = false;
    f.size = static_cast<std::uint64_t>(st.st_size);
    return f;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool make_one(const std::string& dir, std::string* error) {
    if (_mkdir(dir.c_str()) == 0 || errno == EEXIST) return true;
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

}  // namespace

void open_boards_directly() { SetEnvironmentVariableA(KV318_SERVER_ENV, KV318_SERVER_NONE); }

std::string process_name() {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size)) std::strcpy(host, "localhost");
    return std::to_string(_getpid()) + "@" + host;
}

std::vector<std::string> default_local_urls() { return {}; }

bool ipc_is_private(const std::string&) { return false; }

bool write_key_file(const std::string& path, const std::string& text, bool, bool replace, std::string* error) {
    // The key directory's own permissions guard a secret key on Windows.
    const std::string target = replace ? path + ".new" : path;
    if (!replace && _access(path.c_str(), 0) == 0) {
        *error = path + " is there already: it is never overwritten; move it away first";
        return false;
    }
    std::FILE* f = std::fopen(target.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok ||
        (replace && !MoveFileExA(target.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))) {
        *error = "cannot write " + path;
        std::remove(target.c_str());
        return false;
    }
    return true;
}

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0 || errno == ENOENT; }

bool make_key_directory(const std::string& dir, std::string* error) { return make_one(dir, error); }

bool make_local_keys_dir(const std::string& dir, std::string* error) {
    // %LOCALAPPDATA%\kv318\server\NAME: the two folders below the user's own.
    const std::string server = parent_of(dir);
    return make_one(parent_of(server), error) && make_one(server, error) && make_one(dir, error);
}

FileFacts file_facts(const std::string& path, bool) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0) return FileFacts{};
    return facts_of(st);
}

bool read_key_file(const std::string& path, bool, std::uint64_t maxBytes, FileFacts* facts, std::string* text,
                   std::string* error) {
    *facts = file_facts(path, true);
    text->clear();
    if (!facts->exists || !facts->regular || facts->size > maxBytes) return true;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[4096];
    std::size_t n = 0;
    while (text->size() <= maxBytes && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text->append(buffer, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    if (text->size() > facts->size) facts->size = text->size();
    if (!ok) *error = "cannot read " + path;
    return ok;
}

FileStamp file_stamp(const std::string& path) {
    struct _stat64 st {};
    FileStamp s;
    if (_stat64(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modifiedNs = static_cast<std::int64_t>(st.st_mtime) * 1'000'000'000;
    return s;
}

}  // namespace kv318::server::platform
