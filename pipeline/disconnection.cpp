#include "disconnection.h"

#include <cstdio>

namespace kv318::pipeline {

std::string local_clock_text(std::time_t when) {
    std::tm local{};
    // The reentrant forms: std::localtime shares one buffer between threads.
#if defined(_WIN32)
    if (localtime_s(&local, &when) != 0) return "??:??:??";
#else
    if (localtime_r(&when, &local) == nullptr) return "??:??:??";
#endif
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string disconnected_text(std::int32_t board, std::time_t since, const std::string& then) {
    return "board " + std::to_string(board) + " is disconnected since " + local_clock_text(since) + "; " + then;
}

}  // namespace kv318::pipeline
