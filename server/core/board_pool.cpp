#include "board_pool.h"

#include <algorithm>

namespace kv318::server {

namespace {

std::string join(const std::vector<std::uint16_t>& boards) {
    std::string out;
    for (const std::uint16_t b : boards) {
        if (!out.empty()) out += ", ";
        out += std::to_string(b);
    }
    return out;
}

std::string plural(const std::vector<std::uint16_t>& boards) { return boards.size() > 1 ? "boards " : "board "; }

}  // namespace

BoardPool::BoardPool(const pipeline::BoardApi& api, BlockSink& sink, const std::vector<std::int64_t>& boards,
                     ServeLocks& locks, Say say, Say complain, Hint hint)
    : api_(api),
      locks_(locks),
      say_(std::move(say)),
      complain_(std::move(complain)),
      hint_(std::move(hint)),
      named_(!boards.empty()) {
    std::vector<std::int64_t> wanted = boards;
    for (int b = 0; !named_ && b < kProbeBoards; ++b) wanted.push_back(b);
    const BoardOpener opener = [this](std::uint16_t b) { return open_board(b); };
    for (const std::int64_t b : wanted) {
        const auto number = static_cast<std::uint16_t>(b);
        hosts_.push_back(std::make_unique<BoardHost>(api_, open_board(number), number, sink, opener, named_));
    }
    const bool serving =
        std::any_of(hosts_.begin(), hosts_.end(), [](const std::unique_ptr<BoardHost>& h) { return h->connected(); });
    if (!named_ && !serving && !skipped_.empty()) {
        complain_("no board left to serve among boards 0-" + std::to_string(kProbeBoards - 1));
        refused_ = true;
    }
}

std::int32_t BoardPool::open_board(std::uint16_t board) {
    if (refused_ || std::find(skipped_.begin(), skipped_.end(), board) != skipped_.end()) return -1;
    std::string why;
    // A named board is this server's from its start, there or not; taken
    // once, its lock is held, so a board that comes back is taken at once.
    if (named_ && !locks_.take(board, &why)) {
        complain_(why);
        refused_ = true;
        return -1;
    }
    const std::int32_t handle = api_.open(board);
    if (handle < 0 || named_) return handle;
    // Boards that are not there hold no lock; one another server holds is
    // never opened again, so this server stays off it.
    if (!locks_.take(board, &why)) {
        api_.close(handle);
        skipped_.push_back(board);
        complain_(why + "; skipped");
        return -1;
    }
    return handle;
}

std::vector<BoardHost*> BoardPool::hosts() const {
    std::vector<BoardHost*> out;
    for (const auto& h : hosts_) out.push_back(h.get());
    return out;
}

std::vector<std::string> BoardPool::start_lines() const {
    std::vector<std::uint16_t> serving, waiting;
    for (const auto& h : hosts_) {
        if (h->connected()) serving.push_back(h->board());
        else if (h->listed()) waiting.push_back(h->board());
    }
    std::vector<std::string> lines;
    if (!serving.empty()) lines.push_back("serving " + plural(serving) + join(serving));
    for (const std::uint16_t b : waiting) {
        lines.push_back("waiting for board " + std::to_string(b) + ": not found" + (hint_ ? hint_(b) : "") +
                        "; it is served once it answers");
    }
    if (!named_ && serving.empty()) {
        lines.push_back("no board found among boards 0-" + std::to_string(kProbeBoards - 1) + (hint_ ? hint_(0) : "") +
                        "; waiting for one to answer");
    }
    return lines;
}

void BoardPool::tick(std::int64_t nowMs) {
    for (const auto& h : hosts_) {
        switch (h->watch(nowMs)) {
        case BoardChange::kLost:
            say_(h->disconnected_text());
            break;
        case BoardChange::kBack:
            say_((h->connections() > 1 ? "board " + std::to_string(h->board()) + " is back"
                                       : "serving board " + std::to_string(h->board())) +
                 (h->identity().empty() ? std::string() : " (" + h->identity() + ")"));
            break;
        case BoardChange::kNone:
            break;
        }
    }
}

}  // namespace kv318::server
