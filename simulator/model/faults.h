// Scripted faults: rules that make chosen requests fail, drop the
// connection or answer late, once or from then on.  Not thread-safe: the
// board's lock guards the plan.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kv318::sim {

enum class FaultEffect {
    Fail,   // a failure reply; the request has no effect on the board
    Drop,   // no reply: the driver closes the connection
    Delay,  // the request takes effect, and its reply leaves delayMs later
};

struct FaultRule {
    // Which requests the rule hits: every request, one I/O-control code, or
    // one command code (in either command form).
    enum class Target { AnyRequest, Request, Command };
    Target target = Target::AnyRequest;
    std::uint32_t ioctl = 0;   // Target::Request
    std::uint8_t command = 0;  // Target::Command
    FaultEffect effect = FaultEffect::Fail;
    bool once = true;          // false: every matching request from now on
    std::uint32_t delayMs = 0; // FaultEffect::Delay

    static FaultRule on_request(std::uint32_t ioctl, FaultEffect effect, bool once, std::uint32_t delayMs = 0);
    static FaultRule on_command(std::uint8_t command, FaultEffect effect, bool once, std::uint32_t delayMs = 0);
    static FaultRule on_any(FaultEffect effect, bool once, std::uint32_t delayMs = 0);
};

// What the matching rules do to one request.
struct FaultHit {
    bool fail = false;
    bool drop = false;
    std::uint32_t delayMs = 0;
};

class FaultPlan {
public:
    void add(const FaultRule& rule) { rules_.push_back(rule); }
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }

    // Applies every rule that matches the request and retires the one-time
    // rules among them.  `command` is the command code of a well-formed
    // command request, else empty.
    FaultHit apply(std::uint32_t ioctl, std::optional<std::uint8_t> command);

private:
    std::vector<FaultRule> rules_;
};

}  // namespace kv318::sim
