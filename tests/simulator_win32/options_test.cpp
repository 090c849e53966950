// The simulator's command line for each transport: the options that only
// make sense for one channel are refused by the other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace kv318::sim {
namespace {

ParseStatus parse(const std::vector<const char*>& args, Transport transport, SimOptions* out, std::string* error) {
    std::vector<const char*> argv = {"kv318-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parse_options(static_cast<int>(argv.size()), argv.data(), out, error, transport);
}

TEST(SimOptionsByTransport, EachTransportTakesOnlyItsOwnOptions) {
    const struct {
        std::vector<const char*> args;
        Transport transport;
        ParseStatus status;
        const char* error;  // part of the reason, for Error
    } cases[] = {
        {{"--dir", "/tmp/x"}, Transport::UnixSocket, ParseStatus::Run, ""},
        {{"--dir", "C:\\x"}, Transport::NamedPipe, ParseStatus::Error, "--dir has no meaning"},
        {{"--dir=C:\\x"}, Transport::NamedPipe, ParseStatus::Error, "--dir has no meaning"},
        {{"--stop-on-eof"}, Transport::NamedPipe, ParseStatus::Run, ""},
        {{"--stop-on-eof"}, Transport::UnixSocket, ParseStatus::Error, "unknown option '--stop-on-eof'"},
        {{"--signal", "ramp", "--stop-on-eof", "--boards", "3"}, Transport::NamedPipe, ParseStatus::Run, ""},
        {{"--stop-on-eof", "--help"}, Transport::NamedPipe, ParseStatus::Help, ""},
        {{"--boards", "0"}, Transport::NamedPipe, ParseStatus::Error, "bad value '0' for --boards"},
    };
    for (const auto& c : cases) {
        SimOptions o;
        std::string error;
        const std::string what = std::string(c.args[0]) + (c.transport == Transport::NamedPipe ? " (pipe)" : " (socket)");
        EXPECT_EQ(parse(c.args, c.transport, &o, &error), c.status) << what << ": " << error;
        if (c.status == ParseStatus::Error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << what << ": " << error;
        }
    }
}

TEST(SimOptionsByTransport, TheParsedSettingsReachTheOptions) {
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--signal", "ramp", "--stop-on-eof", "--boards", "3"}, Transport::NamedPipe, &o, &error),
              ParseStatus::Run);
    EXPECT_TRUE(o.stopOnEof);
    EXPECT_EQ(o.boards, 3);
    EXPECT_EQ(o.board.signal.kind, SignalKind::Ramp);
    EXPECT_TRUE(o.dir.empty());
    SimOptions plain;
    ASSERT_EQ(parse({}, Transport::NamedPipe, &plain, &error), ParseStatus::Run);
    EXPECT_FALSE(plain.stopOnEof) << "it serves until the console stops it unless asked";
}

TEST(SimOptionsByTransport, TheUsageDescribesTheTransportsOwnChannel) {
    const std::string pipe = usage_text(Transport::NamedPipe);
    const std::string socket = usage_text(Transport::UnixSocket);
    EXPECT_NE(pipe.find("--stop-on-eof"), std::string::npos);
    EXPECT_NE(pipe.find("\\\\.\\pipe\\KV318Device<n>"), std::string::npos);
    EXPECT_NE(pipe.find("Ctrl-Break"), std::string::npos);
    EXPECT_EQ(pipe.find("--dir"), std::string::npos);
    EXPECT_NE(socket.find("--dir DIR"), std::string::npos);
    EXPECT_EQ(socket.find("--stop-on-eof"), std::string::npos);
    EXPECT_EQ(socket, usage_text()) << "the Unix socket is the default";
}

}  // namespace
}  // namespace kv318::sim
