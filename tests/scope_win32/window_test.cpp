// kv318-scope.exe under Wine: on kv318-sim.exe's constant 1.5 V, its
// screenshot puts the trace 1.5 divisions above the centre line at 1 V/div;
// and with a recording stand-in for KV318.dll beside it, closing its window
// stops the acquisition.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "read_file.h"
#include "sim_process.h"
#include "trace_view.h"

namespace kv318::scope::test {
namespace {

using kv318::test::read_file_bytes;
using kv318::test::wait_until;
using sim::test::SimProcess;

std::uint32_t be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// Bits of a deflate stream, least significant first.
struct BitReader {
    const std::vector<std::uint8_t>& z;
    std::size_t bit;
    bool ok = true;
    std::uint32_t bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++bit) {
            if (bit / 8 >= z.size()) {
                ok = false;
                return 0;
            }
            v |= ((z[bit / 8] >> (bit % 8)) & 1u) << i;
        }
        return v;
    }
    // A Huffman code comes most significant bit first.
    std::uint32_t code(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bits(1);
        return v;
    }
};

// A symbol of deflate's fixed literal/length code, or -1.
int fixed_symbol(BitReader& r) {
    std::uint32_t c = r.code(7);
    if (c <= 23) return static_cast<int>(256 + c);
    c = (c << 1) | r.bits(1);
    if (c >= 0x30 && c <= 0xBF) return static_cast<int>(c - 0x30);
    if (c >= 0xC0 && c <= 0xC7) return static_cast<int>(280 + c - 0xC0);
    c = (c << 1) | r.bits(1);
    if (c >= 0x190 && c <= 0x1FF) return static_cast<int>(144 + c - 0x190);
    return -1;
}

// Inflates stored and fixed-Huffman blocks, the two kinds a small encoder
// writes; a block with dynamic codes fails the test rather than being
// guessed at.
bool inflate(const std::vector<std::uint8_t>& z, std::vector<std::uint8_t>* raw) {
    static const std::uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const std::uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const std::uint16_t distBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                               33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const std::uint8_t distExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    BitReader r{z, 16};  // after the zlib header
    for (bool last = false; !last && r.ok;) {
        last = r.bits(1) != 0;
        const std::uint32_t type = r.bits(2);
        if (type == 0) {
            r.bit = (r.bit + 7) / 8 * 8;
            const std::size_t at = r.bit / 8;
            if (at + 4 > z.size()) return false;
            const std::size_t n = z[at] | (z[at + 1] << 8);
            if (at + 4 + n > z.size()) return false;
            raw->insert(raw->end(), z.begin() + static_cast<std::ptrdiff_t>(at + 4),
                        z.begin() + static_cast<std::ptrdiff_t>(at + 4 + n));
            r.bit = (at + 4 + n) * 8;
            continue;
        }
        if (type != 1) return false;
        while (r.ok) {
            const int sym = fixed_symbol(r);
            if (sym < 0 || sym > 285) return false;
            if (sym < 256) {
                raw->push_back(static_cast<std::uint8_t>(sym));
                continue;
            }
            if (sym == 256) break;
            const std::size_t len = lengthBase[sym - 257] + r.bits(lengthExtra[sym - 257]);
            const std::uint32_t d = r.code(5);
            if (d > 29) return false;
            const std::size_t dist = distBase[d] + r.bits(distExtra[d]);
            if (dist > raw->size()) return false;
            for (std::size_t i = 0; i < len; ++i) raw->push_back((*raw)[raw->size() - dist]);
        }
    }
    return r.ok;
}

// Reads the PNG the scope writes: 8-bit RGB, filter 0.  Anything else fails
// the test rather than being guessed at.
bool decode_png(const std::vector<std::uint8_t>& png, int* w, int* h, std::vector<std::uint8_t>* rgb) {
    if (png.size() < 8 || png[1] != 'P' || png[2] != 'N' || png[3] != 'G') return false;
    std::vector<std::uint8_t> z;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len = be32(&png[at]);
        const std::string type(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        const std::uint8_t* data = &png[at + 8];
        if (type == "IHDR") {
            *w = static_cast<int>(be32(data));
            *h = static_cast<int>(be32(data + 4));
            if (data[8] != 8 || data[9] != 2) return false;
        } else if (type == "IDAT") {
            z.insert(z.end(), data, data + len);
        }
        at += 12 + len;
    }
    std::vector<std::uint8_t> raw;
    if (!inflate(z, &raw)) return false;
    const std::size_t row = static_cast<std::size_t>(*w) * 3;
    if (raw.size() != (row + 1) * static_cast<std::size_t>(*h)) return false;
    rgb->clear();
    for (int y = 0; y < *h; ++y) {
        const std::size_t start = (row + 1) * static_cast<std::size_t>(y);
        if (raw[start] != 0) return false;
        rgb->insert(rgb->end(), raw.begin() + static_cast<std::ptrdiff_t>(start + 1),
                    raw.begin() + static_cast<std::ptrdiff_t>(start + 1 + row));
    }
    return true;
}

// A host path as the build hands it over, on Wine's drive Z:.
std::string win_path(const std::string& host) {
    std::string out = !host.empty() && host[0] == '/' ? "Z:" : "";
    for (char c : host) out += c == '/' ? '\\' : c;
    return out;
}

std::string temp_path(const std::string& name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kv318-scope-wine-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

TEST(ScopeUnderWine, ScreenshotPutsTheTraceAtItsVolts) {
    SimProcess sim(KV318_SIM_EXE, {"--stop-on-eof", "--signal", "const", "--value", "1.5"});
    ASSERT_TRUE(sim.wait_serving()) << sim.output();
    const std::string shot = temp_path("scope.png");
    kv318::test::ChildProcess scope(KV318_SCOPE_EXE, {"--divider", "20", "--timebase", "1ms", "--volts-per-div", "1",
                                                      "--screenshot", "\"" + shot + "\"", "--after", "2"});
    ASSERT_TRUE(scope.started());
    const auto code = scope.wait_exit(std::chrono::minutes(2));
    ASSERT_TRUE(code.has_value()) << "kv318-scope did not end";
    EXPECT_EQ(*code, 0) << scope.output();
    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    const auto png = read_file_bytes(shot);
    DeleteFileA(shot.c_str());
    ASSERT_TRUE(decode_png(png, &w, &h, &rgb)) << png.size() << " bytes";
    // Kept for a look by eye.
    if (std::FILE* f = std::fopen(win_path(KV318_SCOPE_SHOT_DIR "/scope_win32_const.png").c_str(), "wb")) {
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
    }
    auto is = [&](int x, int y, const Color& c) {
        const std::size_t at =
            (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 3;
        return rgb[at] == c.r && rgb[at + 1] == c.g && rgb[at + 2] == c.b;
    };
    int top = h, bottom = -1;
    std::vector<int> traceRows;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (is(x, y, kAxis)) top = std::min(top, y), bottom = std::max(bottom, y);
            if (is(x, y, kTrace)) traceRows.push_back(y);
        }
    }
    ASSERT_GT(bottom, top + 80) << "the graticule's frame is in the picture";
    ASSERT_GT(traceRows.size(), 300u) << "a trace across the screen";
    std::sort(traceRows.begin(), traceRows.end());
    const double centre = (top + bottom) / 2.0;
    const double above = (centre - traceRows[traceRows.size() / 2]) / ((bottom - top) / 8.0);
    EXPECT_NEAR(above, 1.5, 0.05);
    EXPECT_LE(traceRows.back() - traceRows.front(), 1);
    sim.close_input();
}

// The scope in a directory of its own with the recording KV318.dll: a
// WM_CLOSE, as the close box sends, ends the process, and KV318_StopAD
// follows KV318_AD in the log.
TEST(ScopeUnderWine, ClosingTheWindowStopsTheAcquisition) {
    const std::string dir = temp_path("close");
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string exe = dir + "\\kv318-scope.exe", dll = dir + "\\KV318.dll", log = dir + "\\calls.log";
    ASSERT_TRUE(CopyFileA(win_path(KV318_SCOPE_EXE).c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(win_path(KV318_RECORDING_LIBRARY).c_str(), dll.c_str(), FALSE));
    kv318::test::ChildProcess scope(exe, {"--divider", "20"});
    ASSERT_TRUE(scope.started());
    auto calls = [&] {
        const auto b = read_file_bytes(log);
        return std::string(b.begin(), b.end());
    };
    ASSERT_TRUE(wait_until([&] { return calls().find("KV318_AD\n") != std::string::npos; })) << calls();
    HWND window = nullptr;
    ASSERT_TRUE(wait_until([&] { return (window = FindWindowW(L"KV318ScopeWindow", nullptr)) != nullptr; }));
    EXPECT_EQ(calls().find("KV318_StopAD"), std::string::npos);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const auto code = scope.wait_exit(std::chrono::minutes(1));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    const std::string c = calls();
    const auto ad = c.find("KV318_AD\n"), stop = c.find("KV318_StopAD\n");
    ASSERT_NE(stop, std::string::npos) << c;
    EXPECT_LT(ad, stop) << c;
    EXPECT_EQ(c.find("KV318_AD\n", ad + 1), std::string::npos) << "one start: " << c;
    DeleteFileA(exe.c_str());
    DeleteFileA(dll.c_str());
    DeleteFileA(log.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
}  // namespace kv318::scope::test
