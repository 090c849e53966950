#include "faults.h"

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

FaultRule FaultRule::starting_after(std::uint64_t requests, std::uint64_t ns) const {
    FaultRule r = *this;
    r.afterRequests = requests;
    r.afterNs = ns;
    return r;
}

FaultHit FaultPlan::apply(std::uint32_t ioctl, std::optional<std::uint8_t> command, std::uint64_t nowNs) {
    FaultHit hit;
    auto matches = [&](const FaultRule& r) {
        switch (r.target) {
        case FaultRule::Target::AnyRequest:
            return true;
        case FaultRule::Target::Request:
            return r.ioctl == ioctl;
        case FaultRule::Target::Command:
            return command.has_value() && *command == r.command;
        }
        return false;
    };
    std::vector<bool> retire(rules_.size(), false);
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        Armed& a = rules_[i];
        if (!matches(a.rule)) continue;
        ++a.matched;
        if (!a.firstNs) a.firstNs = nowNs;
        const bool started = a.matched > a.rule.afterRequests && nowNs - *a.firstNs >= a.rule.afterNs;
        if (!started) continue;
        switch (a.rule.effect) {
        case FaultEffect::Fail:
            hit.fail = true;
            break;
        case FaultEffect::Drop:
            hit.drop = true;
            break;
        case FaultEffect::Delay:
            hit.delayMs += a.rule.delayMs;
            break;
        case FaultEffect::Stall:
            hit.stall = true;
            break;
        }
        retire[i] = a.rule.once;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!retire[i]) rules_[kept++] = rules_[i];
    }
    rules_.resize(kept);
    return hit;
}

}  // namespace kv318::sim
