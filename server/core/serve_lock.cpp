#include "serve_lock.h"

#include <algorithm>

namespace kv318::server {

ServeLocks::~ServeLocks() {
    for (const Held& h : held_) release_(h.token);
}

bool ServeLocks::take(std::int32_t board, std::string* error) {
    if (std::any_of(held_.begin(), held_.end(), [board](const Held& h) { return h.board == board; })) return true;
    const ServedLockTake t = take_(board, localUrl_);
    const std::string name = "board " + std::to_string(board);
    switch (t.result) {
    case ServedLockTake::Taken:
        held_.push_back({board, t.token});
        return true;
    case ServedLockTake::Busy:
        *error = name + " is served by kv318-server" + (t.holder != 0 ? " (pid " + std::to_string(t.holder) + ")" : "");
        return false;
    case ServedLockTake::Failed:
        break;
    }
    *error = name + " cannot be served: " + t.why;
    return false;
}

}  // namespace kv318::server
