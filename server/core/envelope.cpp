#include "envelope.h"

namespace kv318::server {

Envelope split_envelope(const std::vector<std::string>& frames, bool more) {
    Envelope e;
    if (frames.empty()) {
        e.problem = "a message without a routing id";
        return e;
    }
    std::size_t delimiter = 1;
    while (delimiter < frames.size() && !frames[delimiter].empty()) ++delimiter;
    if (delimiter >= frames.size() || delimiter >= kMaxEnvelopeFrames) {
        e.route.push_back(frames[0]);
        e.problem = "a request comes after an empty delimiter frame (REQ sends one; a DEALER must too)";
        return e;
    }
    e.route.assign(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(delimiter) + 1);
    const std::size_t bodies = frames.size() - delimiter - 1;
    if (bodies == 0) {
        e.problem = "a delimiter frame without a request after it";
    } else if (bodies > 1 || more) {
        e.problem = "a request is one frame";
    } else {
        e.body = frames[delimiter + 1];
    }
    return e;
}

std::vector<std::string> reply_frames(const Envelope& envelope, const std::string& reply) {
    std::vector<std::string> out = envelope.route;
    out.push_back(reply);
    return out;
}

}  // namespace kv318::server
