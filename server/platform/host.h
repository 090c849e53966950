// What kv318-server needs of the operating system besides sockets: its own
// name, the local endpoints it adds by default, and private key files.
// One file per OS.  The main thread.
#pragma once

#include <string>
#include <vector>

namespace kv318::server::platform {

// "PID@HOST", how clients name this server.
std::string process_name();

// Endpoints the server listens on beside the default tcp one: on Linux an
// ipc socket in the driver directory, whose 0700 folder keeps other users
// out; none on Windows.  Empty when that directory is not there or not
// private.
std::vector<std::string> default_local_urls();

// Writes `text` to `path`, readable by its owner only when `secret`.  False
// with *error set when it cannot.
bool write_key_file(const std::string& path, const std::string& text, bool secret, std::string* error);

// Makes `dir` (one level) when missing, private to its owner.
bool make_key_directory(const std::string& dir, std::string* error);

}  // namespace kv318::server::platform
