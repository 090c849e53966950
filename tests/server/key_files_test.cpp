// The rules key files are held to, one case a rule: what each role
// refuses, and what it lets pass.
#include <gtest/gtest.h>

#include "key_files.h"

namespace kv318::server {
namespace {

FileFacts file(unsigned mode, std::uint64_t size = 41) {
    FileFacts f;
    f.exists = true;
    f.regular = true;
    f.mode = mode;
    f.size = size;
    return f;
}

FileFacts folder(unsigned mode) {
    FileFacts f = file(mode);
    f.regular = false;
    f.directory = true;
    return f;
}

TEST(KeyFiles, EachRoleRefusesWhatOthersCouldReadWriteOrRedirect) {
    FileFacts link = file(0600);
    link.symlink = true;
    FileFacts fifo = file(0600, 0);
    fifo.regular = false;
    FileFacts stranger = file(0600);
    stranger.ownerTrusted = false;
    FileFacts windows = file(0666);  // no meaningful mode bits there
    windows.permissionsKnown = false;
    const KeyFileRole S = KeyFileRole::Secret, P = KeyFileRole::Public, A = KeyFileRole::Allowed,
                      D = KeyFileRole::Folder;
    const struct {
        KeyFileRole role;
        FileFacts facts;
        const char* problem;  // a part of the reason, or "" when it passes
    } cases[] = {
        {S, file(0600), ""},
        {S, FileFacts{}, "there is no"},
        {S, link, "symbolic link"},
        {S, file(0640), "can be read by others (mode 0640): chmod 600"},
        {S, file(0604), "can be read by others (mode 0604)"},
        {S, file(0620), "can be read by others"},
        {S, stranger, "belongs to another user"},
        {S, fifo, "not a regular file"},
        {P, file(0644), ""},
        {P, file(0664), "can be written by others (mode 0664): chmod go-w"},
        {A, file(0644), ""},
        {A, link, ""},  // an allow list may be a link, as ssh's may
        {A, file(0646), "can be written by others"},
        {A, file(0644, kMaxKeyFileBytes), ""},
        {A, file(0644, kMaxKeyFileBytes + 1), "larger than 1048576 bytes"},
        {A, fifo, "not a regular file"},
        {A, folder(0700), "not a regular file"},
        {A, stranger, "belongs to another user"},
        {D, folder(0755), ""},
        {D, folder(0775), "can be written by others (mode 0775)"},
        {D, folder(0757), "can be written by others"},
        {D, file(0700), "not a directory"},
        {S, windows, ""},
        {A, windows, ""},
    };
    for (const auto& c : cases) {
        const std::string why = key_file_problem("/k/f", c.role, c.facts);
        const std::string label = "role " + std::to_string(static_cast<int>(c.role)) + " mode " +
                                  std::to_string(c.facts.mode) + " wants '" + c.problem + "'";
        if (c.problem[0] == '\0') {
            EXPECT_EQ(why, "") << label;
        } else {
            EXPECT_NE(why.find(c.problem), std::string::npos) << label << ", got: " << why;
            EXPECT_NE(why.find("/k/f"), std::string::npos) << "the reason names the file: " << why;
        }
    }
}

TEST(KeyFiles, APublicKeyThatIsNotTheSecretsIsRefused) {
    const std::string secret = "JTKVSB%%)wK0E.X)V>+}o?pNmC{O&4W4b!Ni{Lh6";
    const std::string pub = "rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7";
    const std::string other = "Yne@$w-vo<fVvi]a<NY6T1ed:M$fCG*[IaLV{hID";
    const struct {
        std::string secretText, publicText, derived;
        const char* problem;
    } cases[] = {
        {secret + "\n", pub + "\n", pub, ""},
        {secret + "\r\n", pub, pub, ""},
        {secret, other, pub, "server.pub is not the public key of server.key"},
        {secret, pub, "", "server.pub is not the public key"},  // the secret gave no public key
        {"not a key\n", pub, pub, "server.key holds no key"},
        {secret, "", pub, "server.pub holds no key"},
    };
    for (const auto& c : cases) {
        Keys keys;
        std::string error;
        const bool ok = check_server_pair("/k", c.secretText, c.publicText, c.derived, &keys, &error);
        EXPECT_EQ(ok, c.problem[0] == '\0') << c.problem << ": " << error;
        if (ok) {
            EXPECT_EQ(keys.secretKey, secret);
            EXPECT_EQ(keys.publicKey, pub);
        } else {
            EXPECT_NE(error.find(c.problem), std::string::npos) << error;
        }
    }
}

TEST(KeyFiles, RemovedKeysAreTheOnesNoLongerListed) {
    const struct {
        std::vector<std::string> before, after, removed;
    } cases[] = {
        {{"a", "b"}, {"a", "b"}, {}},
        {{"a", "b"}, {"b"}, {"a"}},
        {{"a"}, {"a", "c"}, {}},
        {{"a", "a", "b"}, {}, {"a", "b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(removed_keys(c.before, c.after), c.removed);
}

}  // namespace
}  // namespace kv318::server
