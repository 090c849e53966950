// The library's side of the driver channel fed arbitrary replies.
//
// Input: a count byte (1-8 exchanges in bits 0-2), three bytes per exchange,
// then the bytes the driver sends back, shared by all the exchanges:
//   byte 0  bits 0-2: the request (five driver requests, an unknown code,
//           no input, an input over the channel's limit); bit 3: sending fails
//   byte 1-2  the output capacity, little-endian (0xFFFF stands for 65536)
//
// Each exchange is checked against what the reply bytes say it must give:
// the frame sent, the result, the count, the bytes delivered, and that no
// byte lands past the capacity (the output area is exactly that big, so
// ASan sees any overrun).  A broken frame ends the run, as it ends a handle.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "channel_client.h"
#include "channel_frame.h"
#include "fuzz_check.h"
#include "requests.h"

namespace {

using namespace kv318;

class ScriptedDriver final : public ChannelStream {
public:
    ScriptedDriver(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool send_all(const std::uint8_t* bytes, std::size_t len) override {
        if (failSends) return false;
        sent.insert(sent.end(), bytes, bytes + len);
        return true;
    }
    bool receive_all(std::uint8_t* out, std::size_t len) override {
        const std::size_t n = std::min(len, size_ - pos_);
        std::copy(data_ + pos_, data_ + pos_ + n, out);
        pos_ += n;
        return n == len;
    }

    // The replies are read in step here; the unread-bytes rule has its own tests.
    bool has_unread() override { return false; }

    std::size_t remaining() const { return size_ - pos_; }
    const std::uint8_t* next() const { return data_ + pos_; }

    bool failSends = false;
    std::vector<std::uint8_t> sent;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Request {
    std::uint32_t code;
    std::uint32_t inLen;
};

Request request_of(int kind) {
    switch (kind) {
    case 0:
        return {kIoctlBulkRead, kBulkReadInputSize};
    case 1:
        return {kIoctlBulkWrite, 16};
    case 2:
        return {kIoctlStringDescriptor, kStringRequestSize};
    case 3:
        return {kIoctlCommand, kCommandInputSize};
    case 4:
        return {kIoctlCommandPayload, kPayloadInputSize};
    case 5:
        return {0x222014, 4};
    case 6:
        return {kIoctlCommand, 0};
    default:
        return {kIoctlCommand, kMaxChannelInput + 1};
    }
}

constexpr std::uint8_t kUntouched = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t exchanges = 1 + (data[0] & 7);
    if (size < 1 + 3 * exchanges) return 0;
    const std::uint8_t* control = data + 1;
    ScriptedDriver driver(data + 1 + 3 * exchanges, size - 1 - 3 * exchanges);

    // The input bytes of every request: a pattern the sent frame must carry.
    std::uint8_t input[128];
    for (std::size_t i = 0; i < sizeof input; ++i) input[i] = static_cast<std::uint8_t>(i * 7 + 1);

    for (std::size_t e = 0; e < exchanges; ++e) {
        const std::uint8_t* c = control + 3 * e;
        const Request req = request_of(c[0] & 7);
        const std::uint32_t capField = static_cast<std::uint32_t>(c[1]) | static_cast<std::uint32_t>(c[2]) << 8;
        const std::uint32_t outCap = capField == 0xFFFF ? 0x10000 : capField;
        driver.failSends = (c[0] & 8) != 0;

        // Exactly outCap bytes, so ASan reports a single byte written past it.
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[outCap]);
        std::memset(out.get(), kUntouched, outCap);
        const std::size_t sentBefore = driver.sent.size();
        const std::size_t replyLeft = driver.remaining();
        const std::uint8_t* reply = driver.next();

        std::uint32_t returned = 12345;
        const ChannelResult result = channel_exchange(driver, req.code, req.inLen > 0 ? input : nullptr, req.inLen,
                                                      out.get(), outCap, &returned);
        if (result != ChannelResult::Ok) KV318_FUZZ_CHECK(returned == 0, "a count on a failed exchange");

        if (req.inLen > kMaxChannelInput) {
            KV318_FUZZ_CHECK(result == ChannelResult::Failed, "an input over the limit was not refused");
            KV318_FUZZ_CHECK(driver.sent.size() == sentBefore, "an input over the limit was sent");
            KV318_FUZZ_CHECK(driver.remaining() == replyLeft, "a reply read for a request never sent");
            continue;
        }
        if (driver.failSends) {
            KV318_FUZZ_CHECK(result == ChannelResult::Broken, "a failed send did not break the frame");
            KV318_FUZZ_CHECK(driver.remaining() == replyLeft, "a reply read after a failed send");
            return 0;
        }

        // The frame sent: the header, then the input bytes.
        std::uint8_t header[kRequestHeaderSize];
        encode_request_header(header, RequestHeader{req.code, req.inLen, outCap});
        KV318_FUZZ_CHECK(driver.sent.size() == sentBefore + sizeof header + req.inLen, "frame length");
        KV318_FUZZ_CHECK(std::memcmp(driver.sent.data() + sentBefore, header, sizeof header) == 0, "frame header");
        KV318_FUZZ_CHECK(std::memcmp(driver.sent.data() + sentBefore + sizeof header, input, req.inLen) == 0,
                         "frame input");

        // What the reply bytes call for.
        if (replyLeft < kReplyHeaderSize) {
            KV318_FUZZ_CHECK(result == ChannelResult::Broken, "a cut reply header did not break the frame");
            return 0;
        }
        std::uint8_t rh[kReplyHeaderSize];
        std::memcpy(rh, reply, sizeof rh);
        const ReplyHeader r = decode_reply_header(rh);
        if (r.count > outCap || (r.status != 0 && r.count != 0) || replyLeft - kReplyHeaderSize < r.count) {
            KV318_FUZZ_CHECK(result == ChannelResult::Broken, "a reply out of step did not break the frame");
            return 0;
        }
        KV318_FUZZ_CHECK(driver.remaining() == replyLeft - kReplyHeaderSize - r.count, "a reply read short or long");
        if (r.status != 0) {
            KV318_FUZZ_CHECK(result == ChannelResult::Failed, "a failure reply not reported as failed");
            continue;
        }
        KV318_FUZZ_CHECK(result == ChannelResult::Ok, "a good reply not reported as Ok");
        KV318_FUZZ_CHECK(returned == r.count, "count returned");
        KV318_FUZZ_CHECK(std::memcmp(out.get(), reply + kReplyHeaderSize, r.count) == 0, "reply bytes");
        for (std::uint32_t i = r.count; i < outCap; ++i)
            KV318_FUZZ_CHECK(out[i] == kUntouched, "a byte written past the reply");
    }
    return 0;
}
