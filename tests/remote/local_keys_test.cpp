// Where a client finds its own user's keys for a loopback server, and what
// it says when a server it reaches does not answer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "client_keys.h"
#include "remote_board.h"

namespace kv318::remote {
namespace {

TEST(LocalKeys, OnlyLoopbackUrlsHaveThemEachUnderItsOwnName) {
    const struct {
        const char* url;
        const char* name;  // "" when the URL has no local keys
    } cases[] = {
        {"tcp://127.0.0.1:6318", "127.0.0.1_6318"},
        {"tcp://localhost:6318", "127.0.0.1_6318"},  // it reaches 127.0.0.1
        {"tcp://127.0.0.2:6318", "127.0.0.2_6318"},
        {"tcp://127.0.0.1:7000", "127.0.0.1_7000"},  // one folder a port: no server clobbers another's
        {"tcp://[::1]:6318", "___1__6318"},
        {"tcp://10.0.0.1:6318", ""},
        {"tcp://localhost.evil.org:6318", ""},
        {"tcp://0.0.0.0:6318", ""},
        {"ipc:///run/kv318/kv318-server", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(local_keys_name(c.url), c.name) << c.url;
        EXPECT_EQ(local_keys_dir(c.url).empty(), c.name[0] == '\0') << c.url;
    }
}

TEST(LocalKeys, SilenceNamesTheKeysAsALikelyCauseWithTheWayOut) {
    const struct {
        const char* serverKey;
        const char* localDir;
        const char* cause;
    } cases[] = {
        {"", "",
         "takes only clients with keys, and this one has none: give a key directory (--server-keys DIR, or "
         "KV318_SERVER_KEYS)"},
        {"k", "", "refused this client's key: is the client's NAME.pub in the server's allowed file"},
        {"k", "/run/kv318/kv318-server-keys/127.0.0.1_6318",
         "refused this user's local keys in /run/kv318/kv318-server-keys/127.0.0.1_6318: a server started with "
         "--keys, or by another user, needs a key directory (--server-keys DIR, or KV318_SERVER_KEYS)"},
    };
    for (const auto& c : cases) {
        RemoteSettings s;
        s.url = "tcp://127.0.0.1:6318";
        s.serverPublicKey = c.serverKey;
        s.localKeysDir = c.localDir;
        const std::string text = silence_text(s);
        EXPECT_EQ(text.rfind("kv318-server at tcp://127.0.0.1:6318 stopped answering (or it ", 0), 0u) << text;
        EXPECT_NE(text.find(c.cause), std::string::npos) << text;
    }
}

#ifndef _WIN32
TEST(LocalKeys, AreFoundWhenTheServerWroteThemAndOnlyThen) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/kv318-test-local-keys-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path driver = pattern;
    const char* before = std::getenv("KV318_DRIVER_DIR");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("KV318_DRIVER_DIR", pattern, 1);
    const std::string url = "tcp://127.0.0.1:6318";
    const fs::path dir = driver / "kv318-server-keys" / "127.0.0.1_6318";
    EXPECT_EQ(fs::path(local_keys_dir(url)), dir);
    const std::string pub = "rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7";
    const std::string sec = "JTKVSB%%)wK0E.X)V>+}o?pNmC{O&4W4b!Ni{Lh6";
    const struct {
        const char* what;
        std::string serverPub, localKey;  // "-" for no file
        bool found;
    } cases[] = {
        {"no folder", "-", "-", false},
        {"both", pub + "\n", sec + "\n", true},
        {"no server.pub", "-", sec + "\n", false},
        {"no local.key", pub + "\n", "-", false},
        {"a local.key holding no key", pub + "\n", "secret\n", false},
    };
    for (const auto& c : cases) {
        fs::remove_all(driver / "kv318-server-keys");
        if (c.serverPub != "-" || c.localKey != "-") fs::create_directories(dir);
        if (c.serverPub != "-") std::ofstream(dir / "server.pub") << c.serverPub;
        if (c.localKey != "-") std::ofstream(dir / "local.key") << c.localKey;
        ClientKeys keys;
        EXPECT_EQ(find_local_keys(url, &keys), c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(keys.serverPublic, pub);
            EXPECT_EQ(keys.clientSecret, sec);
        }
        EXPECT_FALSE(find_local_keys("tcp://127.0.0.1:6320", &keys)) << "another port's keys are not these";
    }
    fs::remove_all(driver);
    if (before != nullptr) {
        ::setenv("KV318_DRIVER_DIR", saved.c_str(), 1);
    } else {
        ::unsetenv("KV318_DRIVER_DIR");
    }
}
#endif

}  // namespace
}  // namespace kv318::remote
