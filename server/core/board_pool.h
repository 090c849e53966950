// The boards kv318-server serves, from its start to its end: which ones it
// opens, the one place it opens them (at the start and again each time one
// comes back), and what it tells its user as they come and go.  No socket
// and no OS call here beyond the board table's, so the rules are tested
// against a scripted board.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board_host.h"
#include "serve_lock.h"

namespace kv318::server {

// Boards looked for when none is named, as kv318-cli list does.
inline constexpr int kProbeBoards = 16;

class BoardPool {
public:
    // Prints one line for the user (the program's stdout).
    using Say = std::function<void(const std::string& line)>;
    // Why board N cannot be found, after "board N: not found" (the
    // platform's hint; may return "").
    using Hint = std::function<std::string(int board)>;

    // `api` and `sink` outlive the pool.  `boards` are the boards named on
    // the command line; empty: every board 0 to kProbeBoards-1.  A named
    // board is served from the start, there or not (clients are told it is
    // disconnected until it answers); of the others, those that open, at
    // the start or any time later.  Each board is opened once here, under
    // its served lock from `locks` (serve_lock.h), which outlives the pool:
    // a named board's is taken at the start, before it is ever opened, so a
    // second server naming it is refused at once; a probed board's once it
    // opens, and one another server holds is closed and left to that
    // server for good.  `complain` says each refusal (the program's stderr).
    BoardPool(const pipeline::BoardApi& api, BlockSink& sink, const std::vector<std::int64_t>& boards,
              ServeLocks& locks, Say say, Say complain, Hint hint);
    BoardPool(const BoardPool&) = delete;
    BoardPool& operator=(const BoardPool&) = delete;

    // Every board watched, listed or not yet, for Control, which lists only
    // the listed ones.  Owned by the pool.
    std::vector<BoardHost*> hosts() const;

    // The lines for the start: the boards served, and those waited for.
    std::vector<std::string> start_lines() const;

    // Watches every board (BoardHost::watch), saying when one goes away and
    // when one is (back) in service.  The control thread, every few tens
    // of ms.
    void tick(std::int64_t nowMs);

    // Opens `board`: the one place kv318-server does, holding its served
    // lock.  The handle, or -1 (absent, refused or skipped).
    std::int32_t open_board(std::uint16_t board);

    // Whether the server must not start, having said why: a named board is
    // another server's (or its served lock file cannot be used), or the
    // boards a probe found are all another server's.  Boards found absent
    // are waited for, never refused.
    bool refused() const { return refused_; }

private:
    const pipeline::BoardApi& api_;
    ServeLocks& locks_;
    Say say_;
    Say complain_;
    Hint hint_;
    bool named_;
    bool refused_ = false;
    std::vector<std::uint16_t> skipped_;  // probed boards another server serves
    std::vector<std::unique_ptr<BoardHost>> hosts_;
};

}  // namespace kv318::server
