// One kv318-server per board.  Each board a server opens it also holds
// with the board's served lock (board_lock.h) for as long as it runs, so
// a second server on the board is refused before it serves anything;
// without it the second's clients could stop the first's stream.  The
// board's acquisition lock, which the library takes only while the board
// streams, leaves the gaps between streams open; the served lock does not.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board_lock.h"

namespace kv318::server {

// The served locks of one server.  Used by the main thread only.
class ServeLocks {
public:
    using TakeFn = ServedLockTake (*)(std::int32_t board, const std::string& url);
    using ReleaseFn = void (*)(std::intptr_t token);

    // The OS's locks; tests give substitutes.
    explicit ServeLocks(TakeFn taker = take_board_served_lock, ReleaseFn releaser = release_board_served_lock)
        : take_(taker), release_(releaser) {}
    // Gives back every lock taken (the OS would at exit anyway).
    ~ServeLocks();
    ServeLocks(const ServeLocks&) = delete;
    ServeLocks& operator=(const ServeLocks&) = delete;

    // Takes `board`'s served lock.  False when another server holds it,
    // *error then "board N is served by kv318-server (pid P)" (without the
    // pid when its file does not say), or when the lock file cannot be used,
    // *error then naming the file and what is wrong with it.  A board taken
    // before is taken again at once.
    bool take(std::int32_t board, std::string* error);

    // The URL each lock taken from now on names for programs of this
    // machine (endpoints.h, local_program_url); "" names none.
    void set_local_url(std::string url) { localUrl_ = std::move(url); }

private:
    struct Held {
        std::int32_t board;
        std::intptr_t token;
    };
    TakeFn take_;
    ReleaseFn release_;
    std::string localUrl_;
    std::vector<Held> held_;
};

}  // namespace kv318::server
