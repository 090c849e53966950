#include "json.h"

#include <cstdio>

namespace kv318::cli {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (ch == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string escaped_text(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte > 0x7E || ch == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace kv318::cli
