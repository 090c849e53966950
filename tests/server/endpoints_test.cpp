// Which endpoints need keys, and the allow file's format.
#include <gtest/gtest.h>

#include "endpoints.h"

namespace kv318::server {
namespace {

TEST(ServerEndpoints, EveryEndpointIsGuardedAndOnlyInsecureOpensOnePlain) {
    const Guard K = Guard::KeysDir, L = Guard::LocalKeys, P = Guard::PrivateIpc, I = Guard::Insecure;
    const struct {
        const char* url;
        bool haveKeys, insecure, privateIpc;
        bool ok;
        Guard guard;
        bool warned;
    } cases[] = {
        // Loopback reaches every user of the machine: this user's keys.
        {"tcp://127.0.0.1:6318", false, false, false, true, L, false},
        {"tcp://127.5.5.5:6318", false, false, false, true, L, false},
        {"tcp://localhost:6318", false, false, false, true, L, false},
        {"tcp://[::1]:6318", false, false, false, true, L, false},
        // An ipc socket in a private folder needs nothing; elsewhere keys.
        {"ipc:///run/kv318/kv318-server", false, false, true, true, P, false},
        {"ipc:///tmp/kv318-server", false, false, false, false, I, false},
        {"ipc:///tmp/kv318-server", false, true, false, true, I, true},
        // --keys guards every endpoint it is given with, loopback and ipc too.
        {"tcp://127.0.0.1:6318", true, false, false, true, K, false},
        {"ipc:///run/kv318/kv318-server", true, false, true, true, K, false},
        {"tcp://0.0.0.0:6318", true, false, false, true, K, false},
        {"tcp://0.0.0.0:6318", true, true, false, true, K, false},
        // Without keys the network is refused unless --insecure says so.
        {"tcp://0.0.0.0:6318", false, false, false, false, I, false},
        {"tcp://*:6318", false, false, false, false, I, false},
        {"tcp://10.1.2.3:6318", false, false, false, false, I, false},
        {"tcp://localhost.evil.org:6318", false, false, false, false, I, false},
        {"tcp://0.0.0.0:6318", false, true, false, true, I, true},
        {"tcp://127.0.0.1:6318", false, true, false, true, I, true},
    };
    for (const auto& c : cases) {
        std::vector<Endpoint> endpoints;
        std::vector<std::string> warnings;
        std::string error;
        const bool ok = plan_endpoints(
            {c.url}, c.haveKeys, c.insecure, [&c](const std::string&) { return c.privateIpc; }, &endpoints, &warnings,
            &error);
        EXPECT_EQ(ok, c.ok) << c.url;
        if (!ok) {
            EXPECT_NE(error.find("--keys"), std::string::npos) << c.url;
            EXPECT_NE(error.find("--insecure"), std::string::npos) << c.url;
            continue;
        }
        ASSERT_EQ(endpoints.size(), 1u) << c.url;
        EXPECT_EQ(endpoints[0].guard, c.guard) << c.url;
        EXPECT_EQ(endpoints[0].secure, c.guard == K || c.guard == L) << c.url;
        EXPECT_EQ(warnings.size(), c.warned ? 1u : 0u) << c.url;
    }
}

TEST(ServerEndpoints, ProgramsOfThisMachineAreServedThroughAnEndpointThatNeedsNoKeysOfTheirs) {
    const Endpoint ipc{"ipc:///run/kv318/kv318-server", false, Guard::PrivateIpc};
    const Endpoint loopback{"tcp://127.0.0.1:6318", true, Guard::LocalKeys};
    const Endpoint plainLoopback{"tcp://127.0.0.1:7000", false, Guard::Insecure};
    const Endpoint plainNetwork{"tcp://0.0.0.0:6318", false, Guard::Insecure};
    const Endpoint keyed{"tcp://127.0.0.1:6320", true, Guard::KeysDir};
    const struct {
        std::vector<Endpoint> endpoints;
        std::string url;
    } cases[] = {
        {{loopback, ipc}, ipc.url},
        {{loopback}, loopback.url},
        {{plainNetwork, plainLoopback}, plainLoopback.url},
        {{plainLoopback, loopback}, loopback.url},
        {{plainNetwork}, ""},
        {{keyed}, ""},
        {{}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(local_program_url(c.endpoints), c.url) << c.endpoints.size();
}

TEST(ServerEndpoints, TheStartLineNamesEachGuard) {
    const struct {
        Guard guard;
        const char* text;
    } cases[] = {
        {Guard::KeysDir, "CURVE, keys in /etc/kv318"},
        {Guard::LocalKeys, "CURVE, this user's local keys"},
        {Guard::PrivateIpc, "plain: private ipc folder"},
        {Guard::Insecure, "plain (--insecure)"},
    };
    for (const auto& c : cases) EXPECT_EQ(guard_text(c.guard, "/etc/kv318"), c.text);
}

TEST(ServerEndpoints, AllowFileTakesOneKeyALineAndRefusesATypo) {
    const std::string k1 = "rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7";
    const std::string k2 = "Yne@$w-vo<fVvi]a<NY6T1ed:M$fCG*[IaLV{hID";
    const struct {
        std::string text;
        bool ok;
        std::vector<std::string> keys;
        const char* line;
    } cases[] = {
        {"", true, {}, ""},
        {"# lab desks\n\n" + k1 + " alice@desk1\n" + k2 + "\r\n", true, {k1, k2}, ""},
        {k1, true, {k1}, ""},
        {k1 + "\n" + k1.substr(1) + "\n", false, {}, "line 2"},
        {" " + k1 + "\n", false, {}, "line 1"},
        {k1.substr(0, 39) + "~\n", false, {}, "line 1"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> keys;
        std::string error;
        EXPECT_EQ(parse_allowed_keys(c.text, &keys, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(keys, c.keys) << c.text;
        } else {
            EXPECT_NE(error.find(c.line), std::string::npos) << error;
        }
    }
}

}  // namespace
}  // namespace kv318::server
