// kv318-cli's commands through the library's exports and the served boards'
// library they load (the real ZeroMQ client) against a fake kv318-server: a thread with a REP and a PUB socket speaking
// the documented format, publishing a ramp.  How a client is tested without a board, and without the real server.
#include <gtest/gtest.h>

#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "commands.h"
#include "exit_codes.h"
#include "fake_kv318_server.h"
#include "read_file.h"
#include "scratch_file.h"
#include "served_api.h"
#include "wire.h"
#include "wait.h"

namespace kv318::cli {
namespace {

using Clock = std::chrono::steady_clock;

class ZmqFakeServer {
public:
    explicit ZmqFakeServer(const std::string& dir) : url("ipc://" + dir + "/control") {
        ctx_ = zmq_ctx_new();
        rep_ = zmq_socket(ctx_, ZMQ_REP);
        pub_ = zmq_socket(ctx_, ZMQ_PUB);
        const int linger = 0;
        zmq_setsockopt(rep_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(pub_, ZMQ_LINGER, &linger, sizeof linger);
        bound_ = zmq_bind(rep_, url.c_str()) == 0 && zmq_bind(pub_, remote::data_url(url).c_str()) == 0;
        thread_ = std::thread([this] { run(); });
    }
    ~ZmqFakeServer() {
        quit_ = true;
        thread_.join();
        zmq_close(rep_);
        zmq_close(pub_);
        zmq_ctx_term(ctx_);
    }

    const std::string url;
    std::mutex lock;  // guards server, skip
    test::FakeServer server;
    std::uint64_t skip = 0;  // samples the next block jumps over
    // The stream ends with these flags (and kFlagEndOfStream) once `endAt`
    // samples were sent; 0: it runs until stopped.
    std::uint32_t endFlags = 0;
    std::uint64_t endAt = 0;
    std::atomic<bool> dead{false};  // hears and says nothing any more
    bool bound() const { return bound_; }

private:
    void publish(const std::vector<std::uint8_t>& frame) { zmq_send(pub_, frame.data(), frame.size(), 0); }

    void run() {
        auto nextIdle = Clock::now();
        auto nextBlock = Clock::now();
        while (!quit_) {
            zmq_pollitem_t item{rep_, 0, ZMQ_POLLIN, 0};
            zmq_poll(&item, 1, 5);
            if (dead) continue;
            const std::lock_guard<std::mutex> hold(lock);
            if ((item.revents & ZMQ_POLLIN) != 0) {
                char text[remote::kMaxMessageBytes];
                const int n = zmq_recv(rep_, text, sizeof text, 0);
                const std::string reply = server.answer(std::string(text, static_cast<std::size_t>(std::max(n, 0))));
                zmq_send(rep_, reply.data(), reply.size(), 0);
            }
            for (const auto& b : server.published) publish(b);
            server.published.clear();
            const auto now = Clock::now();
            if (server.running && endFlags != 0 && server.next >= endAt) {
                publish(server.block(0, endFlags | remote::kFlagEndOfStream));
                server.running = false;
                server.controller.clear();
            } else if (server.running && now >= nextBlock) {
                publish(server.block(400, skip > 0 ? remote::kFlagGap : 0u, skip));
                skip = 0;
                nextBlock = now + std::chrono::milliseconds(20);
            } else if (!server.running && now >= nextIdle) {
                publish(server.block(0));
                nextIdle = now + std::chrono::milliseconds(remote::kIdleBlockMs);
            }
        }
    }

    void* ctx_;
    void* rep_;
    void* pub_;
    bool bound_ = false;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

struct CliRun {
    int code = -1;
    std::string err;
    std::string file;
};

// A temporary directory for the server's sockets and the recordings.
struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/kv318-remote-cli-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

CliRun run_cli(const std::string& url, Invocation inv, const std::string& output,
               const std::atomic<bool>* stopFlag = nullptr) {
    pipeline::ServedChoice choice;
    choice.url = url;
    choice.follow = inv.follow;
    choice.clockHz = inv.clockHz;
    choice.fifoBytes = inv.stream.fifoBytes;
    const pipeline::BoardApi& api = pipeline::served_api(choice);
    std::FILE* out = kv318::test::scratch_file();
    std::FILE* err = kv318::test::scratch_file();
    static const std::atomic<bool> never{false};
    const Environment env{api, out, err, stopFlag != nullptr ? *stopFlag : never, pipeline::served_open_hint};
    inv.server = url;
    inv.output = output;
    inv.progress = 0;
    CliRun r;
    r.code = run_command(inv, env);
    std::string text(1 << 16, '\0');
    std::rewind(err);
    text.resize(std::fread(text.data(), 1, text.size(), err));
    r.err = text;
    std::fclose(out);
    std::fclose(err);
    r.file = test::read_file_text(output);
    return r;
}

Invocation stream_of(std::uint64_t samples, bool follow = false) {
    Invocation inv;
    inv.command = Command::Stream;
    inv.stream.maxSamples = samples;
    inv.follow = follow;
    return inv;
}

// The samples of a raw recording.
std::vector<std::int16_t> raw(const std::string& bytes) {
    std::vector<std::int16_t> s;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        s.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                              (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
    return s;
}

TEST(RemoteCli, RecordsTheRampItStartsSampleBySampleAndNamesTheServer) {
    TempDir dir;
    ZmqFakeServer fake(dir.path);
    ASSERT_TRUE(fake.bound());
    Invocation inv = stream_of(3000);
    inv.stream.divider = 40;
    inv.clockHz = 1'000'000;
    const CliRun r = run_cli(fake.url, inv, dir.path + "/run.csv");
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_NE(r.file.find("# server: kv318-server at " + fake.url + ", stream 1\n"), std::string::npos) << r.file;
    std::size_t rows = 0, at = r.file.find("index,");
    ASSERT_NE(at, std::string::npos);
    for (at = r.file.find('\n', at) + 1; at < r.file.size() && r.file[at] != '#'; at = r.file.find('\n', at) + 1) {
        unsigned long long index = 0;
        double t = 0;
        int code = 0;
        ASSERT_EQ(std::sscanf(r.file.c_str() + at, "%llu,%lf,%d", &index, &t, &code), 3);
        ASSERT_EQ(index, rows);
        ASSERT_EQ(code, test::ramp_sample(rows) / 4) << "row " << rows;
        ++rows;
    }
    EXPECT_EQ(rows, 3000u);
    const std::lock_guard<std::mutex> hold(fake.lock);
    EXPECT_FALSE(fake.server.running) << "the run stopped what it started";
    EXPECT_EQ(fake.server.divider, 40);
    EXPECT_EQ(fake.server.clockHz, 1'000'000);
    EXPECT_EQ(fake.server.fifo, 524'288u);
}

TEST(RemoteCli, AStartRefusedForAnotherClientExitsBusyNamingItAndLeavesTheFileAlone) {
    TempDir dir;
    ZmqFakeServer fake(dir.path);
    {
        const std::lock_guard<std::mutex> hold(fake.lock);
        fake.server.running = true;
        fake.server.controller = "scope.99@lab";
        fake.server.stream = 4;
        fake.server.divider = 50;
        fake.server.clockHz = 2'000'000;
    }
    const std::string path = dir.path + "/kept.raw";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("precious", f);
    std::fclose(f);
    const CliRun r = run_cli(fake.url, stream_of(100), path);
    EXPECT_EQ(r.code, kExitBoardBusy) << r.err;
    EXPECT_NE(r.err.find("controlled by scope.99@lab"), std::string::npos) << r.err;
    EXPECT_EQ(r.file, "precious");

    // Following it is what another client may do: the indices run on from
    // where it joined, and a jump of the server's blocks is counted exactly.
    std::thread skipper([&] {
        test::wait_until([&] {
            const std::lock_guard<std::mutex> hold(fake.lock);
            // Two blocks after the follower joined: it has samples before the jump.
            return fake.server.statusAt != UINT64_MAX && fake.server.next >= fake.server.statusAt + 800;
        });
        const std::lock_guard<std::mutex> hold(fake.lock);
        fake.skip = 1234;
    });
    const CliRun follow = run_cli(fake.url, stream_of(4000, true), dir.path + "/follow.raw");
    skipper.join();
    EXPECT_EQ(follow.code, kExitFellBehind) << follow.err;
    EXPECT_NE(follow.err.find("1234 samples of stream 4 never arrived"), std::string::npos) << follow.err;
    const std::vector<std::int16_t> s = raw(follow.file);
    ASSERT_EQ(s.size(), 4000u);
    int jumps = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const auto step = static_cast<std::uint16_t>(s[i] - s[i - 1]);
        if (step == 4) continue;
        ++jumps;
        EXPECT_EQ(step, static_cast<std::uint16_t>(4 * 1235)) << "at " << i;
    }
    EXPECT_EQ(jumps, 1);
    const std::lock_guard<std::mutex> hold(fake.lock);
    EXPECT_EQ(s[0], test::ramp_sample(fake.server.statusAt)) << "the run begins where the server stood at the join";
    EXPECT_TRUE(fake.server.running) << "a follower leaves the stream running";
}

TEST(RemoteCli, EveryEndOfTheServersStreamEndsTheRunWithItsExitCodeAndTheServersWords) {
    const struct {
        std::uint32_t flags;
        int code;
        std::int32_t read;
        const char* what;
    } cases[] = {
        {remote::kFlagRingOverflow, kExitOverflow, -2,
         "the library's ring overflowed in stream 1%s: the server lost samples"},
        {remote::kFlagNotEnabled, kExitNotEnabled, -1, "the converter was stopped beneath the server in stream 1%s"},
        {remote::kFlagTransferFault, kExitBulkFailed, -3, "a bulk transfer failed in stream 1%s"},
        {remote::kFlagStalled, kExitBulkFailed, -3, "the board stopped delivering samples in stream 1%s"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        ZmqFakeServer fake(dir.path);
        ASSERT_TRUE(fake.bound());
        {
            const std::lock_guard<std::mutex> hold(fake.lock);
            fake.endFlags = c.flags;
            fake.endAt = 2000;
        }
        const std::string path = dir.path + "/ended.raw";
        const CliRun r = run_cli(fake.url, stream_of(0), path);
        char what[256];
        std::snprintf(what, sizeof what, c.what, (" of board 0 on kv318-server at " + fake.url).c_str());
        EXPECT_EQ(r.code, c.code) << r.err;
        const std::string line = std::string("board 0: ") + what + " (KV318_Read returned " + std::to_string(c.read) +
                                 "). " + path + " keeps the 2000 samples read before it.\n";
        EXPECT_NE(r.err.find(line), std::string::npos) << "want " << line << "in " << r.err;
        const std::vector<std::int16_t> s = raw(r.file);
        ASSERT_EQ(s.size(), 2000u);
        for (std::size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], test::ramp_sample(i)) << "at " << i;
    }
}

TEST(RemoteCli, SaysPlainlyWhenThereIsNothingToFollowOrTheServerDies) {
    TempDir dir;
    ZmqFakeServer fake(dir.path);
    const CliRun none = run_cli(fake.url, stream_of(10, true), dir.path + "/none.raw");
    EXPECT_EQ(none.code, kExitFailed);
    EXPECT_NE(none.err.find("no stream runs on board 0 of kv318-server at " + fake.url), std::string::npos) << none.err;

    std::thread killer([&] {
        test::wait_until([&] {
            const std::lock_guard<std::mutex> hold(fake.lock);
            return fake.server.next > 2000;
        });
        fake.dead = true;
    });
    const CliRun died = run_cli(fake.url, stream_of(0), dir.path + "/died.raw");
    killer.join();
    EXPECT_EQ(died.code, kExitBulkFailed) << died.err;
    EXPECT_NE(died.err.find("kv318-server at " + fake.url + " stopped answering"), std::string::npos) << died.err;
    EXPECT_EQ(died.err.find("drain statistics"), std::string::npos) << "the server's silence is the news: " << died.err;
    const std::vector<std::int16_t> s = raw(died.file);
    ASSERT_GT(s.size(), 2000u);
    for (std::size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], test::ramp_sample(i)) << "at " << i;
}

}  // namespace
}  // namespace kv318::cli
