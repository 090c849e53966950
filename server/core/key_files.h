// The rules kv318-server holds its key files to, as ssh holds its own: a
// secret others can read, a list of clients others can write, a folder
// others can write, a linked secret, a public key that is not the
// secret's, or a client list that is no bounded regular file are refused
// with the reason.  Pure logic: the facts come from the platform layer
// (host.h), which lstat()s and fstat()s.  The main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "endpoints.h"

namespace kv318::server {

// The files of a key directory.
inline constexpr const char* kServerSecretFile = "server.key";
inline constexpr const char* kServerPublicFile = "server.pub";
inline constexpr const char* kAllowedFile = "allowed";
// The longest allow file read: room for some 20000 keys with comments.
// Bounded, so a file that never ends (/dev/zero) cannot hold the server.
inline constexpr std::uint64_t kMaxKeyFileBytes = 1 << 20;

// What the platform saw of one path.
struct FileFacts {
    bool exists = false;
    bool symlink = false;  // the path itself is a symbolic link
    bool regular = false;
    bool directory = false;
    // Whether the mode and owner below mean anything: false on Windows,
    // where the folder's access list guards the files instead.
    bool permissionsKnown = true;
    unsigned mode = 0;         // permission bits, 0777
    bool ownerTrusted = true;  // owned by this user or by root
    std::uint64_t size = 0;
};

// What a path is for, which decides the rules it is held to.
enum class KeyFileRole {
    Folder,  // the key directory: nobody else may write it
    Secret,  // server.key: no link, a regular file only its owner can read
    Public,  // server.pub: a regular file nobody else can write
    Allowed  // allowed: a bounded regular file nobody else can write
};

// Why `path` cannot serve as `role`, in a sentence naming it and the way
// out, or "" when it can.  A missing path is a problem too.
std::string key_file_problem(const std::string& path, KeyFileRole role, const FileFacts& facts);

// Checks a key directory's server pair: `secretText` and `publicText` are
// the files' contents (the first line counts), `derivedPublic` is the
// public key worked out from the secret one (empty when that failed).
// Sets keys->secretKey and keys->publicKey; false with *error when either
// holds no key or the public key is not the secret's.
bool check_server_pair(const std::string& dir, const std::string& secretText, const std::string& publicText,
                       const std::string& derivedPublic, Keys* keys, std::string* error);

// A file's identity and contents as stat() sees them; a change in any
// field means the file was written, replaced or removed.
struct FileStamp {
    bool exists = false;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modifiedNs == o.modifiedNs;
    }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

// The keys removed between two allow lists: the ones in `before` missing
// from `after`.  Their open connections must go.
std::vector<std::string> removed_keys(const std::vector<std::string>& before, const std::vector<std::string>& after);

}  // namespace kv318::server
