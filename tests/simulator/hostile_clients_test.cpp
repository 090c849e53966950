// The simulator against local clients that misbehave: many idle
// connections, headers that announce a MiB and stop, a client that drips a
// byte at a time, more clients than it admits, and no thread to serve one.
// A well-behaved client of the KV318 library must be served throughout.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "KV318.h"
#include "channel_frame.h"
#include "requests.h"
#include "sim_fixture.h"

namespace kv318::sim::test {
namespace {

// A raw client of board 0's socket; -1 when it cannot connect.
int raw_client(const std::string& dir) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir + "/KV318Device0";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// A request header announcing the longest input the channel allows.
std::vector<std::uint8_t> greedy_header() {
    std::uint8_t h[kRequestHeaderSize];
    encode_request_header(h, RequestHeader{kIoctlBulkWrite, kMaxChannelInput, 64});
    return {h, h + sizeof h};
}

bool send_all(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// True when the server has closed `fd`'s connection: a read sees the end.
bool closed_by_server(int fd, int seconds = 20) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return false;
    std::uint8_t byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// One request through the library on a fresh handle, timed.
struct Served {
    bool ok = true;
    std::chrono::steady_clock::duration took{};
};
Served well_behaved_client(int requests) {
    const auto start = std::chrono::steady_clock::now();
    Served s;
    const std::int32_t h = KV318_OpenDevice(0);
    s.ok = h >= 0;
    for (int i = 0; s.ok && i < requests; ++i) {
        s.ok = KV318_DO(h, i) == 0 && KV318_DI(h) == i && KV318_inb(h, 0) >= 0;
    }
    if (h >= 0) KV318_CloseDevice(h);
    s.took = std::chrono::steady_clock::now() - start;
    return s;
}

std::size_t resident_bytes() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Sanitizer runtimes keep shadow memory per thread and per allocation, so
// resident size says nothing about the server's own buffers there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class HostileClients : public ::testing::Test {
protected:
    void SetUp() override {
        // Both ends of every connection live in this process.
        rlimit lim{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
        if (lim.rlim_cur < 2000) GTEST_SKIP() << "needs 2000 descriptors, the hard limit is " << lim.rlim_max;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
    }
    int keep(int fd) {
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    std::vector<int> fds_;
};

TEST_F(HostileClients, AWellBehavedClientIsServedPromptlyAmongThem) {
    ServerLimits limits;
    limits.maxClients = 1024;
    // Long enough that nobody is dropped while the test looks: the point
    // here is that they are all held at once.
    limits.session.clientTimeout = std::chrono::seconds(120);
    SimulatedBoards sim({BoardConfig{}}, limits);
    ASSERT_TRUE(sim.started());
    const std::size_t before = resident_bytes();

    for (int i = 0; i < 500; ++i) ASSERT_GE(keep(raw_client(sim.dir())), 0) << "idle " << i;
    for (int i = 0; i < 200; ++i) {
        const int fd = keep(raw_client(sim.dir()));
        ASSERT_GE(fd, 0) << "greedy " << i;
        ASSERT_TRUE(send_all(fd, greedy_header()));
    }
    const int drip = keep(raw_client(sim.dir()));
    ASSERT_GE(drip, 0);
    std::atomic<bool> dripping{true};
    std::thread dripper([&] {
        // A byte of a greedy frame every 50 ms, for as long as the test runs.
        std::vector<std::uint8_t> frame = greedy_header();
        frame.resize(frame.size() + 4096, 0x5A);
        for (std::size_t i = 0; dripping.load() && i < frame.size(); ++i) {
            if (::send(drip, &frame[i], 1, MSG_NOSIGNAL) != 1) return;
            for (int t = 0; t < 5 && dripping.load(); ++t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    EXPECT_TRUE(wait_until([&] { return sim.server().live_connections() == 701; }, std::chrono::seconds(60)))
        << sim.server().live_connections() << " of 701 held";
    if (!kSanitized) {
        // Sized from the announced length, the 200 headers alone took 200 MiB.
        EXPECT_LT(resident_bytes() - before, std::size_t{100} << 20) << "resident growth";
    }

    const Served s = well_behaved_client(50);
    EXPECT_TRUE(s.ok);
    EXPECT_LT(s.took, std::chrono::seconds(10)) << "50 round trips";
    EXPECT_EQ(sim.log_count("refused"), 0u);
    dripping.store(false);
    dripper.join();
}

TEST_F(HostileClients, ASilentHalfFrameIsDroppedWithoutHoldingTheBoard) {
    ServerLimits limits;
    limits.session.clientTimeout = std::chrono::milliseconds(300);
    SimulatedBoards sim({BoardConfig{}}, limits);
    ASSERT_TRUE(sim.started());
    const int idle = keep(raw_client(sim.dir()));
    const int half = keep(raw_client(sim.dir()));
    ASSERT_GE(idle, 0);
    ASSERT_GE(half, 0);
    std::vector<std::uint8_t> frame = greedy_header();
    frame.resize(frame.size() + 100, 0);
    ASSERT_TRUE(send_all(half, frame));
    EXPECT_TRUE(well_behaved_client(5).ok) << "the board is free while the half frame waits";
    EXPECT_TRUE(closed_by_server(half));
    EXPECT_TRUE(wait_until([&] { return sim.log_count("silent inside a frame") == 1; }));
    // Between requests a client may stay idle past the timeout.
    EXPECT_FALSE(closed_by_server(idle, 1));
    EXPECT_EQ(sim.server().live_connections(), 1u);
}

TEST_F(HostileClients, AConnectionOverTheLimitIsRefusedAtOnce) {
    ServerLimits limits;
    limits.maxClients = 3;
    SimulatedBoards sim({BoardConfig{}}, limits);
    ASSERT_TRUE(sim.started());
    int held[3];
    for (int& fd : held) ASSERT_GE(fd = keep(raw_client(sim.dir())), 0);
    ASSERT_TRUE(wait_until([&] { return sim.server().live_connections() == 3; }));
    const int over = keep(raw_client(sim.dir()));
    ASSERT_GE(over, 0);
    EXPECT_TRUE(closed_by_server(over));
    EXPECT_TRUE(wait_until([&] { return sim.log_count("connection 4 refused: 3 clients are connected already") == 1; }))
        << (sim.log().empty() ? "" : sim.log().back());
    EXPECT_FALSE(well_behaved_client(1).ok) << "the library's handle is refused the same way";
    // A place freed is a place to take.
    ::shutdown(held[0], SHUT_RDWR);
    EXPECT_TRUE(wait_until([&] { return sim.server().live_connections() == 2; }));
    EXPECT_TRUE(well_behaved_client(3).ok);
}

TEST_F(HostileClients, NoThreadForAConnectionRefusesItAndServesTheNext) {
    std::atomic<int> failures{2};
    ThreadStarter start = [&](std::function<void()> body) {
        if (failures.fetch_sub(1) > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    SimulatedBoards sim({BoardConfig{}}, ServerLimits{}, start);
    ASSERT_TRUE(sim.started());
    const int first = keep(raw_client(sim.dir()));
    ASSERT_GE(first, 0);
    EXPECT_TRUE(closed_by_server(first));
    EXPECT_FALSE(well_behaved_client(1).ok) << "the second has no thread either";
    EXPECT_TRUE(well_behaved_client(3).ok) << "the third is served";
    EXPECT_TRUE(wait_until([&] { return sim.log_count("cannot start a thread for it") == 2; }));
    EXPECT_TRUE(wait_until([&] { return sim.server().live_connections() == 0; })) << "nothing left behind";
}

}  // namespace
}  // namespace kv318::sim::test
