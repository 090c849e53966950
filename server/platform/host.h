// What kv318-server needs of the operating system besides sockets: its own
// name, the local endpoints it adds by default, and key files looked at as
// the rules of key_files.h need them.  One file per OS.  The main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "key_files.h"

namespace kv318::server::platform {

// "PID@HOST", how clients name this server.
std::string process_name();

// Makes the library open this process's boards directly, whatever server
// the user's environment names for the programs it starts: a server that
// opened its boards through a server would be its own client.  Before the
// first open.
void open_boards_directly();

// Endpoints the server listens on beside the default tcp one: on Linux an
// ipc socket in the driver directory, whose 0700 folder keeps other users
// out; none on Windows.  Empty when that directory is not there or not
// private.
std::vector<std::string> default_local_urls();

// Whether the ipc socket of `url` lies in a folder of this user's that
// nobody else can enter (Linux: the driver directory's rule), so the
// socket needs no keys.  False on Windows, which serves no ipc.
bool ipc_is_private(const std::string& url);

// Writes `text` to `path`, readable by its owner only when `secret`.  An
// existing file is refused when not `replace`; with `replace` the text is
// written beside it and renamed over it, so a reader sees the old file or
// the new one, never half of one.  False with *error set when it cannot.
bool write_key_file(const std::string& path, const std::string& text, bool secret, bool replace, std::string* error);

// Removes `path` when it is there; false when it stays.
bool remove_file(const std::string& path);

// Makes `dir` (one level) when missing, private to its owner.
bool make_key_directory(const std::string& dir, std::string* error);

// Makes the folder of this user's local keys for one endpoint, `dir`
// (remote::local_keys_dir), with its parents as far as the driver
// directory, each private to this user.  False with *error when one is
// there but not a folder of this user's that only they can enter.
bool make_local_keys_dir(const std::string& dir, std::string* error);

// What `path` is, as lstat() (not `follow`) or stat() sees it.
FileFacts file_facts(const std::string& path, bool follow);

// Opens `path` for reading without waiting (a FIFO or a device never holds
// the server), and without following a link unless `follow`; puts what
// fstat() sees in *facts and, when it is a regular file of at most
// `maxBytes`, its contents in *text.  A missing path leaves facts->exists
// false and a link refused by !follow sets facts->symlink.  False with
// *error when it is there but cannot be read.
bool read_key_file(const std::string& path, bool follow, std::uint64_t maxBytes, FileFacts* facts, std::string* text,
                   std::string* error);

// The stamp of `path` (stat), to see it change.
FileStamp file_stamp(const std::string& path);

}  // namespace kv318::server::platform
