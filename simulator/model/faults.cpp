#include "faults.h"

#include <algorithm>

namespace kv318::sim {

FaultRule FaultRule::on_request(std::uint32_t ioctl, FaultEffect effect, bool once, std::uint32_t delayMs) {
    FaultRule r;
    r.target = Target::Request;
    r.ioctl = ioctl;
    r.effect = effect;
    r.once = once;
    r.delayMs = delayMs;
    return r;
}

FaultRule FaultRule::on_command(std::uint8_t command, FaultEffect effect, bool once, std::uint32_t delayMs) {
    FaultRule r;
    r.target = Target::Command;
    r.command = command;
    r.effect = effect;
    r.once = once;
    r.delayMs = delayMs;
    return r;
}

FaultRule FaultRule::on_any(FaultEffect effect, bool once, std::uint32_t delayMs) {
    FaultRule r;
    r.effect = effect;
    r.once = once;
    r.delayMs = delayMs;
    return r;
}

FaultHit FaultPlan::apply(std::uint32_t ioctl, std::optional<std::uint8_t> command) {
    FaultHit hit;
    auto matches = [&](const FaultRule& r) {
        switch (r.target) {
        case FaultRule::Target::AnyRequest: return true;
        case FaultRule::Target::Request: return r.ioctl == ioctl;
        case FaultRule::Target::Command: return command.has_value() && *command == r.command;
        }
        return false;
    };
    for (const FaultRule& r : rules_) {
        if (!matches(r)) continue;
        switch (r.effect) {
        case FaultEffect::Fail: hit.fail = true; break;
        case FaultEffect::Drop: hit.drop = true; break;
        case FaultEffect::Delay: hit.delayMs += r.delayMs; break;
        }
    }
    std::erase_if(rules_, [&](const FaultRule& r) { return r.once && matches(r); });
    return hit;
}

}  // namespace kv318::sim
