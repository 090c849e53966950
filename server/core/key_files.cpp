#include "key_files.h"

#include <algorithm>
#include <cstdio>

namespace kv318::server {

namespace {

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

}  // namespace

std::string key_file_problem(const std::string& path, KeyFileRole role, const FileFacts& f) {
    if (!f.exists) return "there is no " + path;
    if (role == KeyFileRole::Secret && f.symlink)
        return path + " is a symbolic link: a secret key must be the file itself, so nobody can point it elsewhere";
    if (role == KeyFileRole::Folder) {
        if (!f.directory) return path + " is not a directory";
    } else if (!f.regular) {
        return path + " is not a regular file";
    }
    if (role == KeyFileRole::Allowed && f.size > kMaxKeyFileBytes)
        return path + " is larger than " + std::to_string(kMaxKeyFileBytes) + " bytes: it holds no list of keys";
    if (!f.permissionsKnown) return "";
    if (!f.ownerTrusted) return path + " belongs to another user: only yours (or root's) are trusted";
    // Group and others alike: a group is other people too.
    if (role == KeyFileRole::Secret && (f.mode & 077u) != 0)
        return path + " can be read by others (mode " + octal(f.mode) + "): chmod 600 " + path;
    if ((f.mode & 022u) != 0)
        return path + " can be written by others (mode " + octal(f.mode) + "): chmod go-w " + path;
    return "";
}

bool check_server_pair(const std::string& dir, const std::string& secretText, const std::string& publicText,
                       const std::string& derivedPublic, Keys* keys, std::string* error) {
    keys->secretKey = first_line(secretText);
    keys->publicKey = first_line(publicText);
    if (!is_z85_key(keys->secretKey)) {
        *error = dir + "/" + kServerSecretFile + " holds no key (40 characters of Z85)";
        return false;
    }
    if (!is_z85_key(keys->publicKey)) {
        *error = dir + "/" + kServerPublicFile + " holds no key (40 characters of Z85)";
        return false;
    }
    if (derivedPublic != keys->publicKey) {
        *error = dir + "/" + kServerPublicFile + " is not the public key of " + kServerSecretFile +
                 ": clients given it could not reach this server; make a new pair with kv318-server keygen";
        return false;
    }
    return true;
}

std::vector<std::string> removed_keys(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::vector<std::string> gone;
    for (const std::string& k : before) {
        if (std::find(after.begin(), after.end(), k) == after.end() &&
            std::find(gone.begin(), gone.end(), k) == gone.end())
            gone.push_back(k);
    }
    return gone;
}

}  // namespace kv318::server
