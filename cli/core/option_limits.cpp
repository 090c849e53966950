#include "option_limits.h"

#include <cctype>
#include <cstdio>

namespace kv318::cli {

std::string check_limit(const Limit& limit, std::int64_t value) {
    if (value >= limit.min && value <= limit.max) return {};
    std::string text = std::string(limit.what) + " " + std::to_string(value) + " is out of range " +
                       std::to_string(limit.min) + "-" + std::to_string(limit.max);
    if (limit.hex) {
        const int digits = limit.max > 0xFF ? 4 : 2;
        char range[40];
        std::snprintf(range, sizeof range, " (0x%0*llX-0x%0*llX)", digits, static_cast<unsigned long long>(limit.min),
                      digits, static_cast<unsigned long long>(limit.max));
        text += range;
    }
    return text;
}

std::string check_number_text(const std::string& text) {
    std::size_t start = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() >= start + 2 && text[start] == '0' && std::isdigit(static_cast<unsigned char>(text[start + 1]))) {
        return "'" + text + "': write decimal without a leading zero, or hex as 0x...";
    }
    return {};
}

std::string exit_code_table() {
    return "  0  success (also a stream or watch stopped by Ctrl-C or SIGTERM)\n"
           "  1  a board operation failed; the message names the board and the call\n"
           "  2  usage: bad arguments, or a value out of range (nothing was sent)\n"
           "  3  board not found\n"
           "  4  stream/poll: acquisition not enabled on the board\n"
           "  5  stream: ring overflow, the reader fell behind and samples were lost\n"
           "  6  stream/poll: a bulk transfer from the board failed\n"
           "  7  the output file could not be written (or a WAV file reached 4 GiB)\n"
           "  8  selftest: a check failed\n"
           " 10  stream/poll: the board is streaming in another process (nothing was sent to it)\n";
}

}  // namespace kv318::cli
