// The wire format against the vectors the Python client meets too
// (tests/vectors/remote_wire.csv): requests, replies, data URLs, blocks and
// integer fields, each accepted or refused alike by both implementations.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "bytes.h"
#include "csv_rows.h"
#include "wire.h"

namespace kv318::remote {
namespace {

const char* const kCsv =
#include "remote_wire_csv.inc"
    ;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A table cell as bytes: \xHH is a byte.
std::string unescape(const std::string& cell) {
    std::string out;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (cell.compare(i, 2, "\\x") == 0 && i + 3 < cell.size() && hex_digit(cell[i + 2]) >= 0 &&
            hex_digit(cell[i + 3]) >= 0) {
            out += static_cast<char>(hex_digit(cell[i + 2]) * 16 + hex_digit(cell[i + 3]));
            i += 3;
        } else {
            out += cell[i];
        }
    }
    return out;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(hex_digit(hex[i]) * 16 + hex_digit(hex[i + 1])));
    }
    return out;
}

std::string describe(const BlockHeader& h, const std::uint8_t* samples) {
    std::string out = "board=" + std::to_string(h.board) + " stream=" + std::to_string(h.stream) +
                      " first=" + std::to_string(h.firstIndex) + " count=" + std::to_string(h.count) +
                      " flags=" + std::to_string(h.flags) + " clock=" + std::to_string(h.clockHz) +
                      " divider=" + std::to_string(h.divider) + " time=" + std::to_string(h.hostTimeUs) + " samples=";
    for (std::uint32_t i = 0; i < h.count; ++i) {
        if (i > 0) out += ':';
        out += std::to_string(get_s16le(samples + 2 * i));
    }
    return out;
}

TEST(WireVectors, EveryImplementationGivesTheTablesAnswers) {
    const auto rows = kv318::test::csv_rows(kCsv, "kind,input,want");
    std::set<std::string> kinds;
    for (const auto& row : rows) {
        const std::string& kind = row[0];
        const std::string& want = row[2];
        const std::string text = unescape(row[1]);
        kinds.insert(kind);
        SCOPED_TRACE(kind + " " + row[1].substr(0, 60));
        if (kind == "request") {
            Message m;
            std::string code, error;
            const bool ok = parse_request(text, &m, &code, &error);
            EXPECT_EQ(ok, want == "ok") << error;
            if (ok) {
                EXPECT_EQ(encode_request(m), text);
            } else {
                EXPECT_EQ(code, want);
            }
        } else if (kind == "reply") {
            Message m;
            std::string error;
            const bool ok = parse_reply(text, &m, &error);
            EXPECT_EQ(ok, want != "refused") << error;
            if (ok) {
                EXPECT_EQ(m.word, want);
                EXPECT_EQ(encode_reply(m), text);
            }
        } else if (kind == "data-url") {
            EXPECT_EQ(data_url(text), want);
        } else if (kind == "block") {
            const std::vector<std::uint8_t> bytes = from_hex(row[1]);
            BlockHeader h;
            const std::uint8_t* samples = nullptr;
            std::string error;
            const bool ok = decode_block(bytes.data(), bytes.size(), &h, &samples, &error);
            EXPECT_EQ(ok, want != "refused") << error;
            if (ok) {
                EXPECT_EQ(describe(h, samples), want);
            }
        } else if (kind == "int") {
            const std::size_t dots = text.find("..");
            const std::size_t eq = text.find('=');
            ASSERT_TRUE(dots != std::string::npos && eq != std::string::npos && dots < eq);
            Message m;
            m.set("n", text.substr(eq + 1));
            std::int64_t got = 0;
            const bool ok = m.get_int("n", std::stoll(text.substr(0, dots)),
                                      std::stoll(text.substr(dots + 2, eq - dots - 2)), &got);
            EXPECT_EQ(ok ? std::to_string(got) : "refused", want);
        } else if (kind == "constant") {
            const std::pair<const char*, std::string> facts[] = {
                {"version", std::to_string(kProtocolVersion)},
                {"default-url", kDefaultUrl},
                {"header-bytes", std::to_string(kBlockHeaderBytes)},
                {"topic-bytes", std::to_string(kBlockTopicBytes)},
                {"max-message-bytes", std::to_string(kMaxMessageBytes)},
                {"heartbeat-ms", std::to_string(kHeartbeatMs)},
                {"client-timeout-ms", std::to_string(kClientTimeoutMs)},
                {"idle-block-ms", std::to_string(kIdleBlockMs)},
                {"server-silence-ms", std::to_string(kServerSilenceMs)},
                {"queue-blocks", std::to_string(kQueueBlocks)},
            };
            bool found = false;
            for (const auto& [name, value] : facts) {
                if (row[1] == name) {
                    EXPECT_EQ(value, want);
                    found = true;
                }
            }
            EXPECT_TRUE(found) << "no constant " << row[1];
        } else {
            ADD_FAILURE() << "a row of unknown kind " << kind;
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"request", "reply", "data-url", "block", "int", "constant"}));
    EXPECT_GE(rows.size(), 50u);
}

}  // namespace
}  // namespace kv318::remote
