// How the server takes apart what its ROUTER socket receives: a REQ's
// envelope is one request, and its reply goes back behind the same
// envelope; anything else is answered as malformed where an answer can
// reach the sender.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "envelope.h"

namespace kv318::server {
namespace {

using Frames = std::vector<std::string>;

TEST(ServerEnvelope, OnlyADelimitedSingleFrameIsARequest) {
    const std::string id("\0\x12\x34\x56\x78", 5);
    // ZMQ_REQ_CORRELATE puts a request id before the delimiter.
    const std::string reqId("\x01\x02\x03\x04", 4);
    const struct {
        const char* what;
        Frames frames;
        bool more;
        const char* body;     // the request, or null when refused
        Frames route;         // what the reply goes behind
        const char* problem;  // part of the refusal's text
    } cases[] = {
        {"REQ", {id, "", "kv318/1 ping client=a"}, false, "kv318/1 ping client=a", {id, ""}, ""},
        {"correlating REQ",
         {id, reqId, "", "kv318/1 ping client=a"},
         false,
         "kv318/1 ping client=a",
         {id, reqId, ""},
         ""},
        {"empty request", {id, "", ""}, false, "", {id, ""}, ""},
        {"DEALER without a delimiter", {id, "kv318/1 ping client=a"}, false, nullptr, {id}, "delimiter"},
        {"envelope too deep", {id, "1", "2", "3", "4", "5", "", "x"}, false, nullptr, {id}, "delimiter"},
        {"delimiter only", {id, ""}, false, nullptr, {id, ""}, "without a request"},
        {"two frames", {id, "", "kv318/1 ping", "client=a"}, false, nullptr, {id, ""}, "one frame"},
        {"more frames than kept", {id, "", "a"}, true, nullptr, {id, ""}, "one frame"},
        {"routing id only", {id}, false, nullptr, {id}, "delimiter"},
        {"nothing", {}, false, nullptr, {}, "routing id"},
    };
    for (const auto& c : cases) {
        const Envelope e = split_envelope(c.frames, c.more);
        EXPECT_EQ(e.route, c.route) << c.what;
        if (c.body != nullptr) {
            EXPECT_EQ(e.problem, "") << c.what;
            EXPECT_EQ(e.body, c.body) << c.what;
        } else {
            EXPECT_NE(e.problem.find(c.problem), std::string::npos) << c.what << ": " << e.problem;
        }
        Frames want = c.route;
        want.emplace_back("ok");
        EXPECT_EQ(reply_frames(e, "ok"), want) << c.what;
    }
}

}  // namespace
}  // namespace kv318::server
