#include "scripted_driver.h"

#include <algorithm>
#include <cstring>

namespace kv318::test {

std::vector<SeenRequest> ScriptedDriver::seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void ScriptedDriver::set_answer(AnswerFn answer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(answer);
    }
    action_ = DriverAction::Answer;
}

void ScriptedDriver::serve(DriverConnection& c) {
    for (;;) {
        std::uint8_t h[kRequestHeaderSize];
        if (!c.read_all(h, sizeof h)) return;
        SeenRequest s{decode_request_header(h), {}};
        s.in.resize(s.header.inLen);
        if (!c.read_all(s.in.data(), s.in.size())) return;
        AnswerFn answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(s);
            answer = answer_;
        }
        // A pattern, so that the test can check the bytes that cross.
        // Built from a fixed array: GCC 12 for x64 Windows misreads a loop
        // over a vector sized min(cap, 5) as an overflow.
        static constexpr std::uint8_t kPattern[5] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
        std::vector<std::uint8_t> body(kPattern, kPattern + std::min<std::uint32_t>(s.header.outCap, 5));
        std::uint8_t rh[kReplyHeaderSize];
        switch (action_.load()) {
        case DriverAction::Echo:
            // Byte 0 is the register asked for, so that each caller can tell
            // its own reply from another thread's.
            if (!body.empty() && s.in.size() > 2) body[0] = s.in[2];
            [[fallthrough]];
        case DriverAction::Reply:
            encode_reply_header(rh, {0, static_cast<std::uint32_t>(body.size())});
            c.write_all(rh, sizeof rh);
            c.write_all(body.data(), body.size());
            break;
        case DriverAction::ReplyAndMore: {
            // One write, so the extra bytes are there by the time the
            // library has read the reply.  They look like a reply frame.
            encode_reply_header(rh, {0, static_cast<std::uint32_t>(body.size())});
            const std::uint8_t more[8] = {0, 0, 0, 0, 1, 0, 0, 0};
            std::uint8_t frame[kReplyHeaderSize + 5 + sizeof more];
            std::memcpy(frame, rh, sizeof rh);
            if (!body.empty()) std::memcpy(frame + sizeof rh, body.data(), body.size());
            std::memcpy(frame + sizeof rh + body.size(), more, sizeof more);
            c.write_all(frame, sizeof rh + body.size() + sizeof more);
            break;
        }
        case DriverAction::Answer:
            body = answer ? answer(s) : std::vector<std::uint8_t>{};
            if (body.size() > s.header.outCap) body.resize(s.header.outCap);
            encode_reply_header(rh, {0, static_cast<std::uint32_t>(body.size())});
            c.write_all(rh, sizeof rh);
            c.write_all(body.data(), body.size());
            break;
        case DriverAction::Fail:
            encode_reply_header(rh, {5, 0});
            c.write_all(rh, sizeof rh);
            break;
        case DriverAction::CountOverCapacity:
            encode_reply_header(rh, {0, s.header.outCap + 1});
            c.write_all(rh, sizeof rh);
            body.resize(s.header.outCap + 1, 0xEE);
            c.write_all(body.data(), body.size());
            break;
        case DriverAction::ShortFrame:
            encode_reply_header(rh, {0, 4});
            c.write_all(rh, sizeof rh);
            c.write_all(body.data(), 2);
            return;
        case DriverAction::Close:
            return;
        case DriverAction::Silence: {
            // Say nothing until the client gives up and goes.
            std::uint8_t sink;
            while (c.read_all(&sink, 1)) {
            }
            return;
        }
        }
    }
}

}  // namespace kv318::test
