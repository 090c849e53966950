#include "board_pool.h"

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

BoardPool::BoardPool(const pipeline::BoardApi& api, BlockSink& sink, const std::vector<std::int64_t>& boards, Say say,
                     Hint hint)
    : api_(api), say_(std::move(say)), hint_(std::move(hint)), named_(!boards.empty()) {
    std::vector<std::int64_t> wanted = boards;
    for (int b = 0; !named_ && b < kProbeBoards; ++b) wanted.push_back(b);
    const BoardOpener opener = [this](std::uint16_t b) { return open_board(b); };
    for (const std::int64_t b : wanted) {
        const auto number = static_cast<std::uint16_t>(b);
        hosts_.push_back(std::make_unique<BoardHost>(api_, open_board(number), number, sink, opener, named_));
    }
}

std::int32_t BoardPool::open_board(std::uint16_t board) { return api_.open(board); }

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
