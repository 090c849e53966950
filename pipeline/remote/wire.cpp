#include "wire.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "bytes.h"

namespace kv318::remote {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'V', 'S', 'B'};
constexpr const char* kRequestPrefix = "kv318/";

// Bytes a value carries as they are; everything else is %XX.
bool plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == ':' || c == ',' || c == '/' || c == '@' || c == '+';
}

std::string escape(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : s) {
        if (plain(c)) {
            out += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(const std::string& s, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            if (!plain(s[i])) return false;
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        const int hi = hex_value(s[i + 1]);
        const int lo = hex_value(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

// Splits on single spaces; an empty token (two spaces, a leading or a
// trailing one) makes the message malformed.
bool split(const std::string& text, std::vector<std::string>* tokens) {
    tokens->clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t space = text.find(' ', start);
        const std::string token = text.substr(start, space == std::string::npos ? std::string::npos : space - start);
        if (token.empty()) return false;
        tokens->push_back(token);
        if (space == std::string::npos) return true;
        start = space + 1;
    }
}

bool is_key(const std::string& k) {
    if (k.empty() || k.size() > 32) return false;
    for (const char c : k) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
    }
    return true;
}

// Reads the key=value tokens from tokens[first] on into *m.
bool parse_fields(const std::vector<std::string>& tokens, std::size_t first, Message* m, std::string* why) {
    for (std::size_t i = first; i < tokens.size(); ++i) {
        const std::size_t eq = tokens[i].find('=');
        if (eq == std::string::npos) {
            *why = "a field without '=': " + tokens[i].substr(0, 40);
            return false;
        }
        const std::string key = tokens[i].substr(0, eq);
        std::string value;
        if (!is_key(key)) {
            *why = "a field name that is not lower-case letters, digits, '-' or '_'";
            return false;
        }
        if (!unescape(tokens[i].substr(eq + 1), &value)) {
            *why = "a bad %-escape in field " + key;
            return false;
        }
        if (m->find(key) != nullptr) {
            *why = "field " + key + " given twice";
            return false;
        }
        m->fields.emplace_back(key, value);
    }
    return true;
}

std::string encode(const std::string& head, const Message& m) {
    std::string out = head;
    for (const auto& [k, v] : m.fields) out += ' ' + k + '=' + escape(v);
    return out;
}

bool printable_ascii(const std::string& s) {
    for (const char c : s) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

std::string block_topic(std::uint16_t board) {
    std::uint8_t t[kBlockTopicBytes];
    std::memcpy(t, kMagic, 4);
    put_u16le(t + 4, kProtocolVersion);
    put_u16le(t + 6, board);
    return std::string(reinterpret_cast<const char*>(t), sizeof t);
}

void encode_block_header(const BlockHeader& h, std::uint8_t* out) {
    std::memset(out, 0, kBlockHeaderBytes);
    std::memcpy(out, kMagic, 4);
    put_u16le(out + 4, kProtocolVersion);
    put_u16le(out + 6, h.board);
    put_u16le(out + 8, static_cast<std::uint16_t>(kBlockHeaderBytes));
    put_u32le(out + 12, h.stream);
    put_u64le(out + 16, h.firstIndex);
    put_u32le(out + 24, h.count);
    put_u32le(out + 28, h.flags);
    put_u64le(out + 32, h.clockHz);
    put_u32le(out + 40, h.divider);
    put_u64le(out + 48, static_cast<std::uint64_t>(h.hostTimeUs));
}

std::vector<std::uint8_t> encode_block(const BlockHeader& header, const std::int16_t* samples) {
    // Sized in 64 bits: in a 32-bit build twice a large count wraps, and
    // the samples would be written past a short buffer.
    const std::uint64_t bytes = kBlockHeaderBytes + std::uint64_t{header.count} * 2;
    std::vector<std::uint8_t> out;
    if (bytes > out.max_size()) throw std::length_error("a block of " + std::to_string(header.count) + " samples");
    out.resize(static_cast<std::size_t>(bytes));
    encode_block_header(header, out.data());
    std::uint8_t* p = out.data() + kBlockHeaderBytes;
    for (std::uint32_t i = 0; i < header.count; ++i, p += 2) put_u16le(p, static_cast<std::uint16_t>(samples[i]));
    return out;
}

bool decode_block(const std::uint8_t* data, std::size_t size, BlockHeader* h, const std::uint8_t** samples,
                  std::string* error) {
    if (size < kBlockHeaderBytes) {
        *error = "a block of " + std::to_string(size) + " bytes, shorter than its header";
        return false;
    }
    if (std::memcmp(data, kMagic, 4) != 0) {
        *error = "not a sample block";
        return false;
    }
    const std::uint16_t version = get_u16le(data + 4);
    if (version != kProtocolVersion) {
        *error = "a block of protocol version " + std::to_string(version) + ", this program speaks version " +
                 std::to_string(kProtocolVersion);
        return false;
    }
    const std::uint16_t headerBytes = get_u16le(data + 8);
    if (headerBytes < kBlockHeaderBytes || headerBytes > size) {
        *error = "a block whose header size " + std::to_string(headerBytes) + " does not fit";
        return false;
    }
    h->board = get_u16le(data + 6);
    h->stream = get_u32le(data + 12);
    h->firstIndex = get_u64le(data + 16);
    h->count = get_u32le(data + 24);
    h->flags = get_u32le(data + 28);
    h->clockHz = get_u64le(data + 32);
    h->divider = get_u32le(data + 40);
    h->hostTimeUs = static_cast<std::int64_t>(get_u64le(data + 48));
    // A later version may grow the header; its samples still start where
    // it says.
    // Compared in 64 bits: in a 32-bit build twice a count of 2^31 wraps to
    // 0, and an empty block would claim two billion samples.
    if (std::uint64_t{size - headerBytes} != std::uint64_t{h->count} * 2) {
        *error = "a block of " + std::to_string(h->count) + " samples carrying " + std::to_string(size - headerBytes) +
                 " bytes";
        return false;
    }
    *samples = data + headerBytes;
    return true;
}

const std::string* Message::find(const std::string& key) const {
    for (const auto& [k, v] : fields) {
        if (k == key) return &v;
    }
    return nullptr;
}

Message& Message::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : fields) {
        if (k == key) {
            v = value;
            return *this;
        }
    }
    fields.emplace_back(key, value);
    return *this;
}

Message& Message::set(const std::string& key, std::int64_t value) { return set(key, std::to_string(value)); }

bool Message::get_int(const std::string& key, std::int64_t lo, std::int64_t hi, std::int64_t* out) const {
    const std::string* v = find(key);
    if (v == nullptr || v->empty() || v->size() > 20) return false;
    std::size_t i = 0;
    const bool negative = (*v)[0] == '-';
    if (negative) i = 1;
    if (i == v->size()) return false;
    std::uint64_t magnitude = 0;
    for (; i < v->size(); ++i) {
        const char c = (*v)[i];
        if (c < '0' || c > '9') return false;
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) return false;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    }
    // Every range asked for lies within int64, so a magnitude beyond it is
    // out of range whatever its sign.
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (value < lo || value > hi) return false;
    *out = value;
    return true;
}

std::string encode_request(const Message& request) {
    return encode(kRequestPrefix + std::to_string(kProtocolVersion) + ' ' + request.word, request);
}

std::string encode_reply(const Message& reply) { return encode(reply.word, reply); }

bool parse_request(const std::string& text, Message* request, std::string* errorCode, std::string* errorText) {
    *request = Message{};
    *errorCode = code::kMalformed;
    std::vector<std::string> tokens;
    if (text.size() > kMaxMessageBytes) {
        *errorText = "a request longer than " + std::to_string(kMaxMessageBytes) + " bytes";
        return false;
    }
    if (!printable_ascii(text) || !split(text, &tokens) || tokens.size() < 2) {
        *errorText = "not a request: expected \"kv318/" + std::to_string(kProtocolVersion) + " VERB key=value ...\"";
        return false;
    }
    const std::string prefix = kRequestPrefix;
    if (tokens[0].compare(0, prefix.size(), prefix) != 0) {
        *errorText = "not a request: it does not start with kv318/VERSION";
        return false;
    }
    if (tokens[0] != prefix + std::to_string(kProtocolVersion)) {
        *errorCode = code::kVersion;
        *errorText = "this server speaks protocol version " + std::to_string(kProtocolVersion) + ", the request " +
                     tokens[0].substr(prefix.size(), 12);
        return false;
    }
    request->word = tokens[1];
    if (!is_key(request->word)) {
        *errorText = "a verb that is not lower-case letters, digits, '-' or '_'";
        return false;
    }
    return parse_fields(tokens, 2, request, errorText);
}

bool parse_reply(const std::string& text, Message* reply, std::string* error) {
    *reply = Message{};
    std::vector<std::string> tokens;
    if (text.size() > kMaxMessageBytes || !printable_ascii(text) || !split(text, &tokens) ||
        (tokens[0] != "ok" && tokens[0] != "error")) {
        *error = "the server's reply is not \"ok ...\" or \"error ...\"";
        return false;
    }
    reply->word = tokens[0];
    return parse_fields(tokens, 1, reply, error);
}

Message error_reply(const std::string& c, const std::string& text) {
    Message m;
    m.word = "error";
    m.set("code", c).set("text", text);
    return m;
}

std::string data_url(const std::string& controlUrl) {
    if (controlUrl.rfind("ipc://", 0) == 0 && controlUrl.size() > 6) return controlUrl + ".data";
    if (controlUrl.rfind("tcp://", 0) != 0) return {};
    const std::size_t colon = controlUrl.rfind(':');
    if (colon == std::string::npos || colon < 6 || colon + 1 >= controlUrl.size()) return {};
    const std::string portText = controlUrl.substr(colon + 1);
    if (portText.size() > 5) return {};
    unsigned port = 0;
    for (const char c : portText) {
        if (c < '0' || c > '9') return {};
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port + kDataPortOffset > 65535) return {};
    return controlUrl.substr(0, colon + 1) + std::to_string(port + kDataPortOffset);
}

}  // namespace kv318::remote
