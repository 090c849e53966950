#include "board_lock.h"

#include "channel_frame.h"

namespace kv318 {

std::string board_lock_file_name(std::int32_t board) {
    char name[kDeviceNameSize];
    format_device_name(name, board);
    return std::string(channel_endpoint_name(name)) + ".lock";
}

std::string board_served_file_name(std::int32_t board) {
    char name[kDeviceNameSize];
    format_device_name(name, board);
    return std::string(channel_endpoint_name(name)) + ".served";
}

std::string board_lock_pid_text(std::uint32_t pid) { return std::to_string(pid) + "\n"; }

bool parse_board_lock_pid(const char* text, std::size_t len, std::uint32_t* pid) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (i == 10) return false;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (i == 0 || i == len || text[i] != '\n') return false;
    if (value == 0 || value > 0xFFFFFFFFu) return false;
    *pid = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace kv318
