// kv318-server's keys, as the command line asks for them: `keygen`, the
// pair and allow list of --keys DIR held to key_files.h's rules, the local
// keys of a loopback endpoint when no --keys is given, and the allow list
// read again when it changes.  The main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "endpoints.h"
#include "key_files.h"

namespace kv318::server {

// `kv318-server keygen DIR [--name NAME]`: the exit code, having said what
// it wrote or why not.  An existing pair is never overwritten.
int keygen(const ServerOptions& options);

// Reads DIR's pair and allow list into *keys by the rules; false with
// *error giving the first rule broken.  An empty allow list adds a warning.
bool load_key_dir(const std::string& dir, Keys* keys, std::vector<std::string>* warnings, std::string* error);

// Reads DIR/allowed by the rules into *allowed.
bool load_allowed(const std::string& dir, std::vector<std::string>* allowed, std::vector<std::string>* warnings,
                  std::string* error);

// The keys of the endpoints whose guard is Guard::LocalKeys: the pair
// already in their folders when it is sound (so clients keep working
// across restarts), else a new one, with a client pair for this user.
class LocalKeys {
public:
    // Finds or makes the pair for `endpoints` into *keys (its allow list
    // the local client alone).  False with *error when the folders cannot
    // be private.  Writes nothing: a server that then fails to bind must
    // not replace the keys of one that runs.
    bool prepare(const std::vector<Endpoint>& endpoints, Keys* keys, std::string* error);
    // Once listening: writes the keys into each local endpoint's folder
    // where they are not already, and takes this server's stale local keys
    // off every other loopback endpoint, so its clients never try keys it
    // does not take.  False with *error when a file cannot be written.
    bool publish(const std::vector<Endpoint>& endpoints, std::string* error) const;

private:
    std::string serverPublic_, serverSecret_, clientPublic_, clientSecret_;
};

// Watches DIR/allowed: poll() reports a change of its stamp at most once a
// second.
class AllowedWatch {
public:
    explicit AllowedWatch(std::string dir);
    // True when `nowMs` is a second past the last look and the file's stamp
    // changed since.
    bool poll(std::int64_t nowMs);
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    FileStamp stamp_;
    std::int64_t lastMs_ = 0;
};

class Transport;

// Decides how each of `urls` is served (plan_endpoints) and gets the keys
// that takes: --keys DIR's, or this user's local keys prepared in *local.
// Prints the warnings; false with *error when the server cannot start.
bool plan_served_endpoints(const ServerOptions& options, const std::vector<std::string>& urls,
                           std::vector<Endpoint>* endpoints, Keys* keys, LocalKeys* local, std::string* error);

// Reads the watched allow list again and hands it to `transport`, saying
// on stderr what changed.  One that breaks a rule lets nobody in until it
// is mended: a key meant to be removed must never stay in by a typo.
void reload_allowed(const AllowedWatch& watch, Transport& transport);

}  // namespace kv318::server
