// The identity-string assembly (KV318_Info and the string-descriptor read
// beneath it) fed arbitrary descriptor replies by a device service that
// stands in for the driver.
//
// Input: the driver's answers, one per string request, back to back:
//   byte 0  bit 0: the request fails
//   byte 1  the byte count the driver reports (above 64 too: a faulty
//           driver; the library must hold it to its 64-byte area)
//   then    that many reply bytes, at most 64 (missing ones read as 0)
// KV318_Info runs until the input is used up; each call is checked against
// the text the replies call for, byte for byte over all 70 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "KV318.h"
#include "device_service.h"
#include "fuzz_check.h"
#include "requests.h"

namespace {

using namespace kv318;

constexpr Handle kHandle = 0x2A;

class ReplyingDriver final : public DeviceService {
public:
    Handle open(const char*) override { return kHandle; }
    std::int32_t close(Handle) override { return 0; }
    void sleep_ms(std::uint32_t) override {}

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        *returned = 0;
        ++requests;
        KV318_FUZZ_CHECK(h == kHandle, "the handle passed on");
        KV318_FUZZ_CHECK(code == kIoctlStringDescriptor, "only string requests");
        KV318_FUZZ_CHECK(inLen == kStringRequestSize && outCap == kStringReplySize, "string request sizes");
        KV318_FUZZ_CHECK(in[0] == expectedIndex, "the string index asked for");
        for (std::uint32_t i = 1; i < inLen; ++i) KV318_FUZZ_CHECK(in[i] == 0, "request bytes after the index");
        ++expectedIndex;

        Reply& r = replies[in[0] == 1 ? 0 : 1];
        const std::uint8_t flags = take();
        const std::uint8_t reported = take();
        r.failed = (flags & 1) != 0;
        r.count = std::min<std::uint32_t>(reported, outCap);
        for (std::uint32_t i = 0; i < r.count; ++i) r.bytes[i] = take();
        if (r.failed) return false;
        std::memcpy(out, r.bytes, r.count);
        *returned = reported;
        return true;
    }

    // The next input byte, 0 once it is used up.
    std::uint8_t take() { return pos < size ? data[pos++] : 0; }

    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    int requests = 0;
    std::uint8_t expectedIndex = 1;
    // The last answer to string 1 and to string 2.
    struct Reply {
        bool failed = false;
        std::uint32_t count = 0;
        std::uint8_t bytes[64] = {};
    };
    Reply replies[2];
};

// The text a reply stands for, as a C string shows it: the low byte of
// each 16-bit unit, up to the first zero unit or zero low byte.
std::string text_of(const ReplyingDriver::Reply& r) {
    std::string s;
    for (std::uint32_t i = 0; i + 1 < r.count && r.bytes[i] != 0; i += 2) s.push_back(static_cast<char>(r.bytes[i]));
    return s;
}

constexpr std::uint8_t kUntouched = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ReplyingDriver driver;
    set_device_service(&driver);
    driver.data = data;
    driver.size = size;
    driver.pos = 0;

    driver.requests = 0;
    KV318_FUZZ_CHECK(KV318_Info(kHandle, nullptr) == -1 && driver.requests == 0, "a NULL text asks nothing");

    do {
        driver.requests = 0;
        driver.expectedIndex = 1;
        // Exactly 70 bytes, so ASan sees a byte written past them.
        std::unique_ptr<char[]> text(new char[70]);
        std::memset(text.get(), kUntouched, 70);
        const std::int32_t r = KV318_Info(kHandle, text.get());

        KV318_FUZZ_CHECK(driver.requests >= 1, "string 1 asked for");
        const ReplyingDriver::Reply& first = driver.replies[0];
        const ReplyingDriver::Reply& second = driver.replies[1];
        if (first.failed) {
            KV318_FUZZ_CHECK(driver.requests == 1, "string 2 asked for after string 1 failed");
            KV318_FUZZ_CHECK(r == -1, "a failed string 1 returns -1");
            for (int i = 0; i < 70; ++i)
                KV318_FUZZ_CHECK(static_cast<std::uint8_t>(text[i]) == kUntouched,
                                 "text touched after string 1 failed");
            continue;
        }
        KV318_FUZZ_CHECK(driver.requests == 2, "two strings asked for");
        KV318_FUZZ_CHECK(r == (second.failed ? -1 : 0), "the result is string 2's");
        // The 70 bytes: string 1, three spaces, string 2 (empty when it
        // failed), then zeros.
        std::string expected = text_of(first) + "   " + (second.failed ? std::string() : text_of(second));
        KV318_FUZZ_CHECK(expected.size() <= 67, "the strings are at most 32 characters each");
        expected.resize(70, '\0');
        KV318_FUZZ_CHECK(std::memcmp(text.get(), expected.data(), 70) == 0, "the 70 bytes of the text");
    } while (driver.pos < driver.size);

    set_device_service(nullptr);
    return 0;
}
