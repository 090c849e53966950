// `capture`: one triggered capture to a file, cut by the same trigger
// engine the scope uses.  The file is written only once the trigger has
// come, so a capture that times out leaves nothing behind.
#pragma once

#include <cstdint>

#include "trigger.h"

namespace kv318::cli {

struct CaptureSettings {
    analysis::Edge edge = analysis::Edge::Rising;
    double levelVolts = 0;
    double hysteresisVolts = analysis::kDefaultHysteresisVolts;
    double pretriggerPercent = 0;
    std::uint64_t samples = 10000;  // N, written
    double holdoffSeconds = 0;
    double timeoutSeconds = 5;
};

}  // namespace kv318::cli
