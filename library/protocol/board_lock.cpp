#include "board_lock.h"

#include <cstring>

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

std::string board_served_text(std::uint32_t pid, const std::string& url) {
    return url.empty() ? board_lock_pid_text(pid) : board_lock_pid_text(pid) + url + "\n";
}

bool parse_board_served_url(const char* text, std::size_t len, std::string* url) {
    std::uint32_t pid = 0;
    if (!parse_board_lock_pid(text, len, &pid)) return false;
    const char* from = static_cast<const char*>(std::memchr(text, '\n', len)) + 1;
    const std::size_t rest = len - static_cast<std::size_t>(from - text);
    const char* end = static_cast<const char*>(std::memchr(from, '\n', rest));
    if (end == nullptr) return false;
    const std::string line(from, static_cast<std::size_t>(end - from));
    if (line.empty() || line.size() > kServedUrlMax) return false;
    for (const char c : line)
        if (c <= ' ' || c > '~') return false;
    // Only this machine's endpoints: the file is the user's own, but a URL
    // elsewhere would send the program's board requests off the machine.
    bool local = false;
    for (const char* prefix : {"ipc://", "tcp://127.0.0.1:", "tcp://localhost:", "tcp://[::1]:"})
        local = local || line.rfind(prefix, 0) == 0;
    if (!local) return false;
    *url = line;
    return true;
}

}  // namespace kv318
