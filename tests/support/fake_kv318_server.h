// A kv318-server in miniature for the client's tests: it answers control
// requests the way docs/server-protocol.md says (control, refusals, the
// library's results as scripted) and makes the blocks a running stream
// publishes, with samples of a ramp (sample i of a stream is i * 4 modulo
// 2^16, as a signed 16-bit value) so every loss shows.  No sockets: the
// tests put it behind a scripted ServerLink or behind real ZeroMQ sockets.
// Not thread-safe; its user holds a lock around it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "wire.h"

namespace kv318::test {

inline std::int16_t ramp_sample(std::uint64_t index) { return static_cast<std::int16_t>((index * 4) & 0xFFFF); }

struct FakeServer {
    // What the server's library answers, by verb ("inb" -> 0x45).
    std::map<std::string, std::int32_t> results;
    std::int32_t startResult = 0;
    std::string infoText = "KV318 FAKE   REV 1";
    // Every request received, as its text.
    std::vector<std::string> requests;

    std::string controller;  // empty: none
    bool running = false;
    bool polled = false;
    std::uint32_t stream = 0;
    std::uint64_t next = 0;
    std::int64_t clockHz = 0;
    std::int32_t divider = 0;
    std::uint32_t fifo = 0;
    std::uint64_t statusAt = UINT64_MAX;  // `next` when the last status was answered
    // The board went away (pull()): the server's words for it, which every
    // request but status is refused with; empty while the board is there.
    std::string gone;

    std::string answer(const std::string& text) {
        requests.push_back(text);
        remote::Message m, reply;
        std::string code, why;
        if (!remote::parse_request(text, &m, &code, &why)) return remote::encode_reply(remote::error_reply(code, why));
        const std::string client = m.find("client") != nullptr ? *m.find("client") : std::string();
        const std::string& verb = m.word;
        reply.word = "ok";
        auto refuse = [&](const char* c) {
            remote::Message e = remote::error_reply(c, std::string(c) + " by " + controller);
            e.set("controller", controller);
            return remote::encode_reply(e);
        };
        if (verb == "hello")
            return remote::encode_reply(reply.set("version", 1).set("server", "1@fake").set("boards", "0"));
        if (verb == "ping") return remote::encode_reply(reply);
        if (verb == "bye") {
            if (client == controller) end_stream();
            return remote::encode_reply(reply);
        }
        std::int64_t board = -1;
        if (!m.get_int("board", 0, 0xFFFF, &board))
            return remote::encode_reply(remote::error_reply("bad-argument", "board"));
        if (board != 0)
            return remote::encode_reply(remote::error_reply("no-board", "no board " + std::to_string(board)));
        if (!gone.empty() && verb != "status") {
            return remote::encode_reply(remote::error_reply(remote::code::kDisconnected, gone));
        }
        if (verb == "status" && !gone.empty()) {
            return remote::encode_reply(reply.set("state", "disconnected").set("stream", stream).set("text", gone));
        }
        if (verb == "status") {
            statusAt = next;
            reply.set("state", running ? (polled ? "polled" : "stream") : "idle").set("stream", stream);
            reply.set("controller", running ? controller : "").set("clock", clockHz).set("divider", divider);
            return remote::encode_reply(reply.set("next", static_cast<std::int64_t>(next)));
        }
        if (verb == "info") return remote::encode_reply(reply.set("result", 0).set("text", infoText));
        if (verb == "di") return remote::encode_reply(reply.set("result", result("di")));
        if (verb == "stats") {
            reply.set("result", 0).set("mode", 1).set("bytes-drained", 4000).set("ticks", 5).set("drains", 4);
            reply.set("top-level-drains", 0).set("time-bound-drains", 1).set("ring-high-water", 2048);
            std::string gaps = "7";
            for (int k = 1; k < 32; ++k) gaps += k == 13 ? ",3" : ",0";
            return remote::encode_reply(reply.set("longest-gap-us", 9000).set("gaps", gaps));
        }
        if (!controller.empty() && client != controller) return refuse(remote::code::kControlled);
        if (verb == "start") {
            if (running) return refuse(remote::code::kRunning);
            if (startResult != 0) return remote::encode_reply(reply.set("result", startResult));
            std::int64_t d = 0, c = 0, f = 0;
            m.get_int("divider", 0, 1 << 20, &d);
            m.get_int("clock", 0, INT64_MAX, &c);
            m.get_int("fifo", 0, INT64_MAX, &f);
            running = true;
            polled = *m.find("mode") == "polled";
            controller = client;
            divider = static_cast<std::int32_t>(d);
            clockHz = c;
            fifo = static_cast<std::uint32_t>(f);
            next = 0;
            return remote::encode_reply(reply.set("result", 0).set("stream", ++stream));
        }
        if (verb == "stop") {
            if (!running) return remote::encode_reply(remote::error_reply(remote::code::kNotRunning, "idle"));
            end_stream();
            return remote::encode_reply(reply.set("result", 0));
        }
        return remote::encode_reply(reply.set("result", result(verb)));
    }

    // The next block: `count` ramp samples of the running stream with
    // `flags`, or an idle block.  `skip` samples are lost before it.
    std::vector<std::uint8_t> block(std::uint32_t count, std::uint32_t flags = 0, std::uint64_t skip = 0) {
        remote::BlockHeader h;
        h.clockHz = static_cast<std::uint64_t>(clockHz);
        h.divider = static_cast<std::uint32_t>(divider);
        if (!running && (flags & remote::kFlagEndOfStream) == 0) {
            h.flags = remote::kFlagIdle;
            h.stream = 0;
            return remote::encode_block(h, nullptr);
        }
        next += skip;
        std::vector<std::int16_t> samples(count);
        for (std::uint32_t i = 0; i < count; ++i) samples[i] = ramp_sample(next + i);
        h.stream = stream;
        h.firstIndex = next;
        h.count = count;
        h.flags = flags | (polled ? remote::kFlagPolled : 0u);
        next += count;
        return remote::encode_block(h, samples.data());
    }

    // The board goes away, as a pulled cable takes it: the running stream
    // ends with a block that says so, and `words` are what the server says.
    void pull(const std::string& words) {
        gone = words;
        if (running)
            published.push_back(
                block(0, remote::kFlagEndOfStream | remote::kFlagTransferFault | remote::kFlagDisconnected));
        running = false;
        controller.clear();
    }

    // Blocks the server owes its subscribers: the end of a stream.
    std::vector<std::vector<std::uint8_t>> published;

private:
    std::int32_t result(const std::string& verb) const {
        const auto it = results.find(verb);
        return it == results.end() ? 0 : it->second;
    }
    void end_stream() {
        if (!running) return;
        published.push_back(block(0, remote::kFlagEndOfStream));
        running = false;
        controller.clear();
    }
};

}  // namespace kv318::test
