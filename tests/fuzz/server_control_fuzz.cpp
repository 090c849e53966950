// kv318-server's control requests and the sample blocks its clients read,
// fed arbitrary bytes.
//
// Input: newline-separated requests, answered in turn by one server over a
// scripted board, with the clock moving 700 ms per request so clients fall
// silent and boards are freed along the way; the requests take turns among
// three connections, so control changes hands.  The whole input is also
// read as a sample block.
//
// Besides what the sanitizers catch, every run checks that each answer is a
// reply a client can read, that a request the parser takes survives being
// written out and read back, and that a block the decoder takes holds
// exactly the samples its size says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control.h"
#include "fake_board.h"
#include "fuzz_check.h"
#include "wire.h"

namespace {

using namespace kv318;

void check_round_trip(const std::string& text) {
    remote::Message m, again;
    std::string code, why;
    if (!remote::parse_request(text, &m, &code, &why)) {
        KV318_FUZZ_CHECK(!code.empty() && !why.empty(), "a refusal has a code and a reason");
        return;
    }
    KV318_FUZZ_CHECK(remote::parse_request(remote::encode_request(m), &again, &code, &why), "re-read");
    KV318_FUZZ_CHECK(again.word == m.word && again.fields == m.fields, "round trip keeps every field");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    remote::BlockHeader header;
    const std::uint8_t* samples = nullptr;
    std::string error;
    if (remote::decode_block(data, size, &header, &samples, &error)) {
        KV318_FUZZ_CHECK(samples >= data && samples + std::size_t{header.count} * 2 == data + size,
                         "a block's samples end where it ends");
    }

    cli::test::FakeBoard::reset();
    const pipeline::BoardApi api = cli::test::fake_api();
    struct NullSink : server::BlockSink {
        void publish(const std::vector<std::uint8_t>&) override {}
    } sink;
    server::BoardHost host(api, 1, 0, sink);
    server::Control control({&host}, "1@fuzz");
    const server::Caller callers[] = {{"conn-a", ""}, {"conn-b", ""}, {"conn-c", "curve-key"}};
    std::size_t turn = 0;
    std::int64_t now = 0;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string request = input.substr(start, end - start);
        check_round_trip(request);
        remote::Message reply;
        KV318_FUZZ_CHECK(remote::parse_reply(control.answer(request, callers[turn++ % 3], now), &reply, &error),
                         "a readable reply");
        KV318_FUZZ_CHECK(reply.word == "ok" || reply.find("code") != nullptr, "an error names its code");
        control.tick(now);
        now += 700;
        start = end + 1;
    }
    control.stop_all();
    return 0;
}
