// Scripted faults: rules that make chosen requests fail, drop the
// connection, answer late or find the FIFO stalled, once or from then on,
// from the start or only after a number of requests or a time.  Not
// thread-safe: the board's lock guards the plan.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kv318::sim {

enum class FaultEffect {
    Fail,   // a failure reply; the request has no effect on the board
    Drop,   // no reply: the driver closes the connection
    Delay,  // the request takes effect, and its reply leaves delayMs later
    Stall,  // a bulk read succeeds with 0 bytes and takes nothing from the
            // FIFO, which goes on filling; other requests are untouched
};

struct FaultRule {
    // Which requests the rule hits: every request, one I/O-control code, or
    // one command code (in either command form).
    enum class Target { AnyRequest, Request, Command };
    Target target = Target::AnyRequest;
    std::uint32_t ioctl = 0;   // Target::Request
    std::uint8_t command = 0;  // Target::Command
    FaultEffect effect = FaultEffect::Fail;
    bool once = true;           // false: every matching request from now on
    std::uint32_t delayMs = 0;  // FaultEffect::Delay

    // When the rule starts to hit.  Both count from the first request the
    // rule matches, so a rule on bulk reads starts with the stream, however
    // long the board sat idle before.  The first `afterRequests` matching
    // requests are served normally; so is every matching request until
    // `afterNs` of board time have passed since the first one.  Both zero:
    // from the first matching request on.
    std::uint64_t afterRequests = 0;
    std::uint64_t afterNs = 0;

    static FaultRule on_request(std::uint32_t ioctl, FaultEffect effect, bool once, std::uint32_t delayMs = 0);
    static FaultRule on_command(std::uint8_t command, FaultEffect effect, bool once, std::uint32_t delayMs = 0);
    static FaultRule on_any(FaultEffect effect, bool once, std::uint32_t delayMs = 0);

    // This rule, starting only after `requests` matching requests and `ns`
    // nanoseconds (see afterRequests and afterNs).
    FaultRule starting_after(std::uint64_t requests, std::uint64_t ns) const;
};

// What the matching rules do to one request.
struct FaultHit {
    bool fail = false;
    bool drop = false;
    bool stall = false;
    std::uint32_t delayMs = 0;
};

class FaultPlan {
public:
    void add(const FaultRule& rule) { rules_.push_back(Armed{rule, 0, std::nullopt}); }
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }

    // Applies every rule that matches the request and has started, and
    // retires the one-time rules among them.  `command` is the command code
    // of a well-formed command request, else empty; `nowNs` is the board's
    // clock, for the rules that start after a time.
    FaultHit apply(std::uint32_t ioctl, std::optional<std::uint8_t> command, std::uint64_t nowNs);

private:
    struct Armed {
        FaultRule rule;
        std::uint64_t matched = 0;             // matching requests seen so far
        std::optional<std::uint64_t> firstNs;  // when the first of them came
    };
    std::vector<Armed> rules_;
};

}  // namespace kv318::sim
