// The served boards' table of libKV318 (served_table.h) against a fake
// server behind scripted links: each entry's request bytes, result and the
// calling thread's failure text; following; the status; refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "reader.h"
#include "scripted_link.h"
#include "served_table.h"
#include "wait.h"

namespace kv318::remote {
namespace {

using test::ramp_sample;
using test::ScriptedLink;
using test::Shared;

constexpr const char* kUrl = "tcp://fake:6318";

// A link that, once `silent` is set, waits out the server's silence as the
// ZeroMQ link does before it gives up, and counts what it was asked.
class SilenceLink final : public ServerLink {
public:
    SilenceLink(std::shared_ptr<Shared> s, bool subscribed, std::shared_ptr<std::atomic<int>> asked)
        : inner_(s, subscribed), s_(std::move(s)), asked_(std::move(asked)) {}
    bool exchange(const std::string& request, std::string* reply) override {
        bool silent = false;
        {
            const std::lock_guard<std::mutex> hold(s_->lock);
            silent = s_->silent;
        }
        if (!silent) return inner_.exchange(request, reply);
        ++*asked_;
        std::this_thread::sleep_for(std::chrono::milliseconds(kServerSilenceMs));
        return false;
    }
    bool receive(int timeoutMs, std::vector<std::uint8_t>* frame) override { return inner_.receive(timeoutMs, frame); }

private:
    ScriptedLink inner_;
    std::shared_ptr<Shared> s_;
    std::shared_ptr<std::atomic<int>> asked_;
};

struct Fixture {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::shared_ptr<std::atomic<int>> silentAsks = std::make_shared<std::atomic<int>>(0);
    const KV318_BACKEND_OPS* ops = nullptr;

    Fixture() {
        ServedWorld w;
        w.settings = [](const std::string&, const std::string& keys, RemoteSettings* s, std::string* failure) {
            s->program = "tester";
            s->pid = 42;
            s->host = "box";
            if (keys == "/no/keys") *failure = "cannot read the key directory /no/keys";
            return keys != "/no/keys";
        };
        w.makeLink = [sh = shared, asks = silentAsks](const RemoteSettings&, std::int32_t board, std::string*) {
            return std::make_unique<SilenceLink>(sh, board >= 0, asks);
        };
        ops = served_table(std::move(w));
    }
    std::string last_error() const {
        char text[KV318_SERVED_TEXT_BYTES];
        ops->last_error(text, sizeof text);
        return text;
    }
    // The client id the fake heard in the handle's hello.
    std::string id_of_last_open() {
        const std::lock_guard<std::mutex> hold(shared->lock);
        const std::string& hello = shared->server.requests.back();
        return hello.substr(hello.find("client=") + 7);
    }
    std::string last_request() {
        const std::lock_guard<std::mutex> hold(shared->lock);
        return shared->server.requests.back();
    }
    std::size_t requests() {
        const std::lock_guard<std::mutex> hold(shared->lock);
        return shared->server.requests.size();
    }
    void push(std::vector<std::uint8_t> frame) {
        const std::lock_guard<std::mutex> hold(shared->lock);
        shared->frames.push_back(std::move(frame));
    }
    std::vector<std::uint8_t> block(std::uint32_t count) {
        const std::lock_guard<std::mutex> hold(shared->lock);
        return shared->server.block(count);
    }
};

TEST(ServedTable, EachEntrySendsItsRequestAndGivesTheExportsResultAndWords) {
    Fixture f;
    ASSERT_EQ(f.ops->size, sizeof(KV318_BACKEND_OPS));
    ASSERT_EQ(f.ops->abi, static_cast<std::uint32_t>(KV318_BACKEND_ABI));
    f.shared->server.results = {{"inb", 0x45}, {"di", 0x1234}, {"counter-read", 812}};
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1) << f.last_error();
    EXPECT_LT(h, KV318_SERVED_HANDLE_SPAN);
    EXPECT_EQ(f.last_error(), "");
    const std::string id = f.id_of_last_open();
    EXPECT_EQ(id.rfind("tester.42", 0), 0u) << id;
    EXPECT_EQ(id.substr(id.size() - 4), "@box") << id;
    const std::string c = " client=" + id + " board=0";
    const std::string notOpen = "handle 9999 is not open";
    std::int32_t samples[16] = {};
    KV318_STREAM_STATS stats{};
    stats.size = sizeof stats;
    const struct {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t result;
        std::string request;  // empty: nothing sent
        std::string words;
    } cases[] = {
        {"inb", [&] { return f.ops->inb(h, 3); }, 0x45, "kv318/1 inb" + c + " reg=3", ""},
        {"outb", [&] { return f.ops->outb(h, 4, 0x7F); }, 0, "kv318/1 outb" + c + " reg=4 value=127", ""},
        {"di", [&] { return f.ops->di(h); }, 0x1234, "kv318/1 di" + c, ""},
        {"do", [&] { return f.ops->do_write(h, 0xA5); }, 0, "kv318/1 do" + c + " value=165", ""},
        {"c_run", [&] { return f.ops->c_run(h); }, 0, "kv318/1 counter-run" + c, ""},
        {"c_read", [&] { return f.ops->c_read(h); }, 812, "kv318/1 counter-read" + c, ""},
        {"p_run", [&] { return f.ops->p_run(h, 1, 9); }, 0, "kv318/1 pulse-run" + c + " mode=1 divisor=9", ""},
        {"p_stop", [&] { return f.ops->p_stop(h); }, 0, "kv318/1 pulse-stop" + c, ""},
        {"stream_stats", [&] { return f.ops->stream_stats(h, &stats); }, 0, "kv318/1 stats" + c, ""},
        {"read before a start", [&] { return f.ops->read(h, samples); }, -1, "",
         "no stream was started or joined on this handle"},
        {"read into NULL", [&] { return f.ops->read(h, nullptr); }, -1, "", "samples is NULL"},
        {"m_read without carry", [&] { return f.ops->m_read(h, samples, nullptr, 0); }, -1, "", "carry is NULL"},
        {"info into NULL", [&] { return f.ops->info(h, nullptr); }, -1, "", "text is NULL"},
        {"bulk_read", [&] { return f.ops->bulk_read(h, samples, 64); }, -1, "", kNotServedText},
        {"reset_usb", [&] { return f.ops->reset_usb(h); }, -1, "", kNotServedText},
        {"stop_ad with nothing started", [&] { return f.ops->stop_ad(h); }, 0, "", ""},
        {"inb of a handle not open", [&] { return f.ops->inb(9999, 0); }, -1, "", notOpen},
        {"di of a handle not open", [&] { return f.ops->di(9999); }, 0xFFFF, "", notOpen},
        {"bulk_read of a handle not open", [&] { return f.ops->bulk_read(9999, samples, 64); }, -1, "", notOpen},
        {"m_stop_ad of a handle not open", [&] { return f.ops->m_stop_ad(9999); }, 0, "", ""},
        {"close of a handle not open", [&] { return f.ops->close(9999); }, -1, "", notOpen},
        {"open of no board", [&] { return f.ops->open(kUrl, 3, nullptr); }, -1, "kv318/1 hello client=tester.42.",
         "kv318-server at " + std::string(kUrl) + " serves no board 3 (it serves 0)"},
        {"open with keys that cannot be read", [&] { return f.ops->open(kUrl, 0, "/no/keys"); }, -1, "",
         "cannot read the key directory /no/keys"},
    };
    for (const auto& k : cases) {
        const std::size_t before = f.requests();
        ASSERT_EQ(f.ops->inb(9999, 0), -1) << "a failure before each case, which the case's entry replaces";
        EXPECT_EQ(k.call(), k.result) << k.what;
        EXPECT_EQ(f.last_error(), k.words) << k.what;
        if (k.request.empty()) {
            EXPECT_EQ(f.requests(), before) << k.what << ": nothing is sent";
        } else {
            EXPECT_EQ(f.last_request().substr(0, k.request.size()), k.request) << k.what;
        }
    }
    EXPECT_EQ(stats.bytes_drained, 4000u) << "the server's statistics";
    char text[KV318_INFO_BYTES + 8];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(f.ops->info(h, text), 0);
    EXPECT_EQ(f.last_request(), "kv318/1 info" + c);
    EXPECT_STREQ(text, "KV318 FAKE   REV 1");
    EXPECT_EQ(text[KV318_INFO_BYTES], 'x') << "exactly the library's 70 bytes";

    // Another client's control: refused with its name, in the words and the status.
    const std::int32_t other = f.ops->open(kUrl, 0, "");
    ASSERT_GE(other, 1);
    const std::string otherId = f.id_of_last_open();
    f.push(f.block(0));
    ASSERT_EQ(f.ops->ad(other, 0, 0, 0, 0, 50), 0) << f.last_error();
    EXPECT_EQ(f.last_request(), "kv318/1 start client=" + otherId +
                                    " board=0 mode=stream f1=0 f2=0 f3=0 f4=0 divider=50 clock=2000000 fifo=524288");
    f.push(f.block(0));
    EXPECT_EQ(f.ops->m_ad(h, 1, 0, 0, 1, 50), -1);
    EXPECT_EQ(f.last_error(),
              "board 0 on kv318-server at tcp://fake:6318 is controlled by " + otherId + ": start refused");
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    ASSERT_EQ(f.ops->status(h, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_BUSY);
    EXPECT_STREQ(s.controller, otherId.c_str());
    EXPECT_STREQ(s.url, kUrl);
    ASSERT_EQ(f.ops->status(other, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_CONTROLLING);
    EXPECT_EQ(f.ops->do_write(h, 1), -1);
    EXPECT_NE(f.last_error().find("controlled by " + otherId), std::string::npos) << f.last_error();
    EXPECT_EQ(f.ops->close(other), 0);
    EXPECT_EQ(f.last_request(), "kv318/1 bye client=" + otherId);
    EXPECT_EQ(f.ops->close(h), 0);
    EXPECT_EQ(f.ops->close(h), -1);
}

TEST(ServedTable, FollowJoinsTheRunningStreamAndItsStopLeavesIt) {
    Fixture f;
    const std::int32_t controller = f.ops->open(kUrl, 0, nullptr);
    const std::int32_t follower = f.ops->open(kUrl, 0, nullptr);
    ASSERT_TRUE(controller >= 1 && follower >= 1);
    f.push(f.block(0));
    // What the controller knows of its board goes with its start, and the
    // follower learns the rate from it; values the server would refuse are
    // refused here, and the start then still sends the last ones taken.
    ASSERT_EQ(f.ops->board(controller, 1'000'000, 65'536), 0) << f.last_error();
    const struct {
        std::int32_t handle, clockHz, fifoBytes;
        const char* words;
    } refused[] = {
        {controller, 0, 65'536, "converter clock 0 is out of range 1-1000000000"},
        {controller, 1'000'000, 16'383, "FIFO size 16383 is out of range 16384-1073741824"},
        {9999, 1'000'000, 65'536, "handle 9999 is not open"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(f.ops->board(r.handle, r.clockHz, r.fifoBytes), -1) << r.words;
        EXPECT_EQ(f.last_error(), r.words);
    }
    const std::size_t sent = f.requests();
    EXPECT_EQ(f.ops->board(follower, 3'000'000, 1 << 30), 0) << f.last_error();
    EXPECT_EQ(f.requests(), sent) << "nothing is sent until a start";
    ASSERT_EQ(f.ops->ad(controller, 0, 0, 0, 0, 50), 0) << f.last_error();
    const std::string started = f.last_request();
    EXPECT_EQ(started.substr(started.find(" divider=")), " divider=50 clock=1000000 fifo=65536");
    EXPECT_EQ(f.ops->follow(controller), -1) << "a controller does not follow its own stream";
    EXPECT_NE(f.last_error().find("stop its acquisition before following"), std::string::npos) << f.last_error();
    f.push(f.block(100));  // before the join: not the follower's
    ASSERT_EQ(f.ops->follow(follower), 0) << f.last_error();
    EXPECT_EQ(f.last_error(), "");
    f.push(f.block(300));
    std::vector<std::int32_t> out(KV318_READ_MAX_SAMPLES);
    std::int32_t n = f.ops->read(follower, out.data());
    ASSERT_EQ(n, 300) << f.last_error();
    for (std::int32_t i = 0; i < n; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], ramp_sample(100 + i)) << i;
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    ASSERT_EQ(f.ops->status(follower, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_FOLLOWING);
    EXPECT_EQ(s.next_index, 400u);
    EXPECT_EQ(s.stream, 1u);
    EXPECT_EQ(s.divider, 50u);
    EXPECT_EQ(s.clock_hz, 1'000'000u) << "the controller's, not the follower's own";
    // A follower's stop leaves without a word and ends following: its next
    // start is a start, refused while the controller streams, naming it.
    const std::size_t before = f.requests();
    EXPECT_EQ(f.ops->stop_ad(follower), 0);
    EXPECT_EQ(f.requests(), before);
    f.push(f.block(0));
    EXPECT_EQ(f.ops->ad(follower, 0, 0, 0, 0, 9), -1);
    EXPECT_EQ(f.last_request().find("kv318/1 start"), 0u) << "started, not joined: " << f.last_request();
    const std::string refusal = f.last_error();
    ASSERT_EQ(f.ops->status(follower, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_BUSY);
    EXPECT_NE(std::string(s.controller), "");
    EXPECT_NE(refusal.find(s.controller), std::string::npos) << refusal;
    // Any command the controller's board refuses says who controls it.
    EXPECT_EQ(f.ops->do_write(follower, 1), -1);
    ASSERT_EQ(f.ops->status(follower, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_BUSY);
    EXPECT_TRUE(f.shared->server.running);
    EXPECT_EQ(f.ops->close(follower), 0);
    EXPECT_EQ(f.ops->close(controller), 0);
}

TEST(ServedTable, AFollowerArmedBeforeTheStartGetsItFromItsFirstSample) {
    Fixture f;
    const std::int32_t early = f.ops->open(kUrl, 0, nullptr);
    const std::int32_t controller = f.ops->open(kUrl, 0, nullptr);
    ASSERT_TRUE(early >= 1 && controller >= 1);
    f.push(f.block(0));
    ASSERT_EQ(f.ops->follow(early), 0) << "with no stream running it waits for the next: " << f.last_error();
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    ASSERT_EQ(f.ops->status(early, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_FOLLOWING);
    EXPECT_EQ(s.stream, 0u) << "no stream yet";
    EXPECT_EQ(s.clock_hz, 0u);
    std::vector<std::int32_t> out(KV318_READ_MAX_SAMPLES);
    f.push(f.block(0));  // an idle block: nothing to read yet
    EXPECT_EQ(f.ops->read(early, out.data()), 0) << f.last_error();
    f.push(f.block(0));
    ASSERT_EQ(f.ops->ad(controller, 0, 0, 0, 0, 50), 0) << f.last_error();
    f.push(f.block(250));
    f.push(f.block(50));
    std::int32_t n = f.ops->read(early, out.data());
    ASSERT_EQ(n, 300) << f.last_error();
    for (std::int32_t i = 0; i < n; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], ramp_sample(i)) << i;
    ASSERT_EQ(f.ops->status(early, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_FOLLOWING);
    EXPECT_EQ(s.stream, 1u);
    EXPECT_EQ(s.next_index, 300u);
    EXPECT_EQ(s.missed, 0u);
    EXPECT_EQ(s.divider, 50u) << "the rate is learned once the stream began";
    EXPECT_EQ(s.clock_hz, 2'000'000u);
    EXPECT_EQ(f.ops->close(early), 0);
    EXPECT_EQ(f.ops->close(controller), 0);
}

TEST(ServedTable, StatusFillsTheWholeFieldsThatFitAndTellsOfTheThreadsFailedOpen) {
    Fixture f;
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1);
    f.push(f.block(0));
    ASSERT_EQ(f.ops->ad(h, 0, 0, 0, 0, 77), 0);
    const struct {
        std::uint32_t size;
        bool divider, clock, url;
    } cases[] = {{16, true, false, false},
                 {23, true, false, false},
                 {24, true, true, false},
                 {static_cast<std::uint32_t>(offsetof(KV318_SERVED_STATUS, url) + KV318_SERVED_URL_BYTES - 1), true,
                  true, false},
                 {static_cast<std::uint32_t>(sizeof(KV318_SERVED_STATUS)), true, true, true}};
    for (const auto& c : cases) {
        KV318_SERVED_STATUS s;
        std::memset(&s, 0x5A, sizeof s);
        s.size = c.size;
        ASSERT_EQ(f.ops->status(h, &s), 0) << c.size;
        EXPECT_EQ(s.size, c.size) << "the caller's size stays";
        EXPECT_EQ(s.flags, KV318_SERVED_CONTROLLING) << c.size;
        EXPECT_EQ(s.stream, 1u) << c.size;
        EXPECT_EQ(s.divider, c.divider ? 77u : 0x5A5A5A5Au) << c.size;
        EXPECT_EQ(s.clock_hz, c.clock ? 2'000'000u : 0x5A5A5A5A5A5A5A5Au) << c.size;
        EXPECT_EQ(s.url[0], c.url ? 't' : 0x5A) << c.size;
        EXPECT_EQ(s.failure[0], c.url ? '\0' : 0x5A) << c.size;
    }
    KV318_SERVED_STATUS small{};
    small.size = 15;
    EXPECT_EQ(f.ops->status(h, &small), -1);
    EXPECT_EQ(small.flags, 0u) << "nothing written";
    EXPECT_NE(f.last_error().find("size is below 16"), std::string::npos);
    EXPECT_EQ(f.ops->status(h, nullptr), -1);

    // Handle -1: the calling thread's last open that failed, and no other's.
    EXPECT_EQ(f.ops->open("tcp://fake:6318", 5, nullptr), -1);
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    ASSERT_EQ(f.ops->status(-1, &s), 0);
    EXPECT_STREQ(s.url, kUrl);
    EXPECT_STREQ(s.failure, "kv318-server at tcp://fake:6318 serves no board 5 (it serves 0)");
    EXPECT_EQ(s.flags, 0u) << "the server answered that open";
    EXPECT_EQ(f.ops->open("", 0, nullptr), -1);
    EXPECT_EQ(f.last_error(), "no kv318-server URL was given");
    std::thread([&] {
        KV318_SERVED_STATUS t{};
        t.size = sizeof t;
        EXPECT_EQ(f.ops->status(-1, &t), 0);
        EXPECT_STREQ(t.failure, "") << "another thread's open";
    }).join();
    EXPECT_EQ(f.ops->close(h), 0);
}

TEST(ServedTable, EachThreadKeepsItsOwnLastFailureAndCopiesItAsTheLibraryDoes) {
    Fixture f;
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1);
    ASSERT_EQ(f.ops->reset_usb(h), -1);
    std::string other = "unset";
    std::thread([&] {
        EXPECT_EQ(f.ops->di(h), 0);
        other = f.last_error();
        EXPECT_EQ(f.ops->do_write(777, 1), -1);
    }).join();
    EXPECT_EQ(other, "");
    EXPECT_EQ(f.last_error(), kNotServedText) << "the other thread's calls leave this one's text";
    char cut[8];
    const std::int32_t length = static_cast<std::int32_t>(std::strlen(kNotServedText));
    EXPECT_EQ(f.ops->last_error(cut, sizeof cut), length);
    EXPECT_STREQ(cut, "bulk re");
    EXPECT_EQ(f.ops->last_error(cut, 0), -1);
    EXPECT_EQ(f.ops->last_error(nullptr, 8), -1);
    EXPECT_EQ(f.last_error(), kNotServedText) << "asking leaves the text";
    EXPECT_EQ(f.ops->close(h), 0);
}

TEST(ServedTable, ASilentServerFailsWithinTheBoundAndThenAtOnce) {
    Fixture f;
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1);
    {
        const std::lock_guard<std::mutex> hold(f.shared->lock);
        f.shared->silent = true;
    }
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(f.ops->inb(h, 0), -1);
    const auto took = std::chrono::steady_clock::now() - began;
    // The heartbeat may find the silence first; the call then fails at
    // once.  Either way no later than one silence, and a busy machine's
    // slack.
    EXPECT_LE(took, std::chrono::milliseconds(kServerSilenceMs) * 2 + std::chrono::seconds(2));
    const std::string silence = f.last_error();
    EXPECT_EQ(silence.rfind("kv318-server at tcp://fake:6318 stopped answering", 0), 0u) << silence;
    const int asked = *f.silentAsks;
    std::vector<std::int32_t> out(KV318_READ_MAX_SAMPLES);
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    const std::function<std::int32_t()> later[] = {
        [&] { return f.ops->do_write(h, 1); },
        [&] { return f.ops->ad(h, 0, 0, 0, 0, 50); },
        [&] { return f.ops->follow(h); },
        [&] { return f.ops->read(h, out.data()) == -3 ? -1 : 0; },
    };
    for (const auto& call : later) {
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(f.last_error(), silence);
    }
    EXPECT_EQ(*f.silentAsks, asked) << "nothing more is asked of a server that went away";
    ASSERT_EQ(f.ops->status(h, &s), 0);
    EXPECT_EQ(s.flags & KV318_SERVED_GONE, KV318_SERVED_GONE);
    EXPECT_EQ(f.ops->close(h), 0);
    EXPECT_EQ(*f.silentAsks, asked) << "nor a bye";
    // An open the silent server never answers says so for handle -1, so a
    // program probing its boards can stop at the first.
    EXPECT_EQ(f.ops->open(kUrl, 1, nullptr), -1);
    ASSERT_EQ(f.ops->status(-1, &s), 0);
    EXPECT_EQ(s.flags, KV318_SERVED_GONE);
    EXPECT_EQ(std::string(s.failure).rfind("kv318-server at tcp://fake:6318 stopped answering", 0), 0u) << s.failure;
}

TEST(ServedTable, AHandleLivesOnPingsOverItsOwnLinkUntilTheServerFallsSilent) {
    Fixture f;
    EXPECT_EQ(f.ops->open(kUrl, 3, nullptr), -1);
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1) << f.last_error();
    EXPECT_TRUE(test::wait_until([&] {
        const std::lock_guard<std::mutex> hold(f.shared->lock);
        return f.shared->pings >= 2;
    }));
    {
        const std::lock_guard<std::mutex> hold(f.shared->lock);
        EXPECT_EQ(f.shared->server.requests.back().rfind("kv318/1 ping client=tester.42.", 0), 0u)
            << f.shared->server.requests.back();
        // The pings went over the handle's own connection, the one its
        // requests took: pings over another would keep no control alive.
        // (Link 1 was board 3's, which did not open.)
        EXPECT_EQ(f.shared->links, 2);
        EXPECT_EQ(f.shared->pingLinks, std::set<int>{2});
        EXPECT_EQ(f.shared->requestLinks, (std::set<int>{1, 2}));
        f.shared->silent = true;
    }
    // The heartbeat finds the silence before any call of the program does.
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    EXPECT_TRUE(test::wait_until([&] { return f.ops->status(h, &s) == 0 && (s.flags & KV318_SERVED_GONE) != 0; }));
    EXPECT_EQ(f.ops->close(h), 0);
    EXPECT_EQ(client_id("kv318-cli", 77, "lab", 1), "kv318-cli.77@lab");
    EXPECT_EQ(client_id("kv318-cli", 77, "lab", 2), "kv318-cli.77.2@lab");
}

// The tools' reader over the table, as it reaches it through the exports:
// a follower's start is KV318_Follow, and its blocks' indices come from
// the status.
const KV318_BACKEND_OPS* g_ops = nullptr;
std::int32_t KV318_CALL follow_start(std::int32_t h, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                                     std::int32_t) {
    return g_ops->follow(h);
}
std::int32_t KV318_CALL table_read(std::int32_t h, std::int32_t* samples) { return g_ops->read(h, samples); }
std::int32_t KV318_CALL table_stop(std::int32_t h) { return g_ops->stop_ad(h); }
std::int32_t KV318_CALL table_status(std::int32_t h, KV318_SERVED_STATUS* s) { return g_ops->status(h, s); }

TEST(ServedTable, TheReaderNumbersAFollowersBlocksAsTheStreamDoesSoAGapShows) {
    Fixture f;
    g_ops = f.ops;
    const std::int32_t controller = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(controller, 1);
    f.push(f.block(0));
    ASSERT_EQ(f.ops->ad(controller, 0, 0, 0, 0, 50), 0) << f.last_error();
    f.block(700);          // sent before the follower came: never its business
    f.push(f.block(100));  // proves the subscription; made before the join
    const std::int32_t h = f.ops->open(kUrl, 0, nullptr);
    ASSERT_GE(h, 1);
    pipeline::BoardApi api{};
    api.ad = follow_start;
    api.read = table_read;
    api.stopAd = table_stop;
    api.servedStatus = table_status;
    pipeline::Reader reader(api, h);
    pipeline::ReaderSettings rs;
    rs.period = std::chrono::milliseconds(1);
    ASSERT_EQ(reader.start(rs), 0) << f.last_error();
    f.push(f.block(300));
    {
        const std::lock_guard<std::mutex> hold(f.shared->lock);
        f.shared->frames.push_back(f.shared->server.block(300, 0, 250));  // 250 never reach the follower
        f.shared->frames.push_back(f.shared->server.block(200));
    }
    std::atomic<bool> stop{false};
    std::vector<std::pair<std::uint64_t, std::size_t>> blocks;  // firstIndex, count
    pipeline::ReadBlock b;
    while (reader.samples() < 800) {
        ASSERT_TRUE(reader.next(&b, stop, std::chrono::steady_clock::time_point::min()));
        if (b.count == 0) continue;
        blocks.emplace_back(b.firstIndex, b.count);
        for (std::size_t i = 0; i < b.count; ++i)
            ASSERT_EQ(b.samples[i], ramp_sample(b.firstIndex + i)) << "block at " << b.firstIndex << ", sample " << i;
    }
    // The follower joined at 800; the jump from 1100 to 1350 is the gap.
    EXPECT_EQ(blocks, (std::vector<std::pair<std::uint64_t, std::size_t>>{{800, 300}, {1350, 500}}));
    pipeline::RemoteStatus status;
    ASSERT_TRUE(pipeline::served_status(api, h, &status));
    EXPECT_EQ(status.missed, 250u);
    EXPECT_EQ(status.nextIndex, 1850u);
    EXPECT_TRUE(status.following);
    EXPECT_EQ(reader.stop(), 0);
    EXPECT_EQ(f.ops->close(h), 0);
    EXPECT_EQ(f.ops->close(controller), 0);
}

}  // namespace
}  // namespace kv318::remote
