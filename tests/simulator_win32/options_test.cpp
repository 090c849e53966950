// The simulator's command line for each transport: the options that only
// make sense for one channel are refused by the other; the values every
// transport shares, the --fail syntax among them; and a usage text that
// names every option the parser takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "requests.h"

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

TEST(SimOptions, SharedValuesAreCheckedAndTaken) {
    const struct {
        std::vector<const char*> args;
        ParseStatus status;
        const char* error;  // part of the reason, for Error
    } cases[] = {
        {{"--max-clients", "1"}, ParseStatus::Run, ""},
        {{"--max-clients=65536"}, ParseStatus::Run, ""},
        {{"--max-clients", "0"}, ParseStatus::Error, "bad value '0' for --max-clients"},
        {{"--max-clients", "0x10"}, ParseStatus::Error, "for --max-clients"},
        {{"--client-timeout", "0"}, ParseStatus::Run, ""},
        {{"--client-timeout", "2.5"}, ParseStatus::Run, ""},
        {{"--client-timeout", "0.001"}, ParseStatus::Error, "for --client-timeout"},
        {{"--client-timeout", "-1"}, ParseStatus::Error, "for --client-timeout"},
        {{"--boards"}, ParseStatus::Error, "--boards needs a value"},
        {{"--boards", "2", "stray"}, ParseStatus::Error, "unexpected argument 'stray'"},
        {{"--bogus=1"}, ParseStatus::Error, "unknown option '--bogus'"},
        {{"--boards", "010"}, ParseStatus::Run, ""},
        {{"--boards", "+2"}, ParseStatus::Error, "for --boards"},
        {{"--boards", "0", "--help"}, ParseStatus::Help, ""},
        {{"--version"}, ParseStatus::Version, ""},
        {{"--signal", "ramp", "--version"}, ParseStatus::Version, ""},
        {{"--fail", "any:after=3", "--fail", "stall:once"}, ParseStatus::Run, ""},
        {{"--fail", "any", "stall"}, ParseStatus::Error, "unexpected argument 'stall'"},
    };
    for (const auto& c : cases) {
        SimOptions o;
        std::string error;
        EXPECT_EQ(parse(c.args, Transport::UnixSocket, &o, &error), c.status) << c.args[0] << ": " << error;
        if (c.status == ParseStatus::Error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.args[0] << ": " << error;
        }
    }
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--max-clients", "7", "--client-timeout", "2.5", "--boards", "010", "--fail", "0x80",
                     "--fail", "stall:after=1.5s"},
                    Transport::UnixSocket, &o, &error),
              ParseStatus::Run)
        << error;
    EXPECT_EQ(o.limits.maxClients, 7u);
    EXPECT_EQ(o.limits.session.clientTimeout.count(), 2500);
    EXPECT_EQ(o.boards, 10) << "decimal, never octal";
    ASSERT_EQ(o.faults.size(), 2u) << "repeatable, in order";
    EXPECT_EQ(o.faults[0].command, 0x80);
    EXPECT_EQ(o.faults[1].effect, FaultEffect::Stall);
    SimOptions defaults;
    ASSERT_EQ(parse({}, Transport::UnixSocket, &defaults, &error), ParseStatus::Run);
    EXPECT_EQ(defaults.limits.maxClients, kDefaultMaxClients);
    EXPECT_EQ(defaults.limits.session.clientTimeout, kDefaultClientTimeout);
}

TEST(SimOptions, FaultSyntax) {
    using T = FaultRule::Target;
    const struct {
        const char* text;
        bool ok;
        T target;
        std::uint32_t ioctl;
        std::uint8_t command;
        FaultEffect effect;
        bool once;
        std::uint64_t afterRequests, afterNs;
    } cases[] = {
        {"bulk-read", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Fail, false, 0, 0},
        {"bulk-write:once", true, T::Request, kIoctlBulkWrite, 0, FaultEffect::Fail, true, 0, 0},
        {"string:always", true, T::Request, kIoctlStringDescriptor, 0, FaultEffect::Fail, false, 0, 0},
        {"command", true, T::Request, kIoctlCommand, 0, FaultEffect::Fail, false, 0, 0},
        {"payload", true, T::Request, kIoctlCommandPayload, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=100", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 100, 0},
        {"0x8E", true, T::Command, 0, 0x8E, FaultEffect::Fail, false, 0, 0},
        {"0x80:after=3:once", true, T::Command, 0, 0x80, FaultEffect::Fail, true, 3, 0},
        {"bulk-read:after=2s", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Fail, false, 0, 2'000'000'000},
        {"bulk-read:once:after=1.5s", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Fail, true, 0, 1'500'000'000},
        {"any:after=250ms", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 250'000'000},
        {"stall", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Stall, false, 0, 0},
        {"stall:after=2s", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Stall, false, 0, 2'000'000'000},
        {"stall:after=10:once", true, T::Request, kIoctlBulkRead, 0, FaultEffect::Stall, true, 10, 0},
        {"everything", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"bulk-read:twice", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"bulk-read:once:always", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"bulk-read:after=1:after=2", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=-1", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=2h", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=s", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=1e3", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"0x100", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"0x", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
    };
    for (const auto& c : cases) {
        FaultRule r;
        std::string why;
        ASSERT_EQ(parse_fault(c.text, &r, &why), c.ok) << "'" << c.text << "': " << why;
        if (!c.ok) {
            EXPECT_FALSE(why.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(r.target, c.target) << c.text;
        if (c.target == T::Request) {
            EXPECT_EQ(r.ioctl, c.ioctl) << c.text;
        }
        if (c.target == T::Command) {
            EXPECT_EQ(r.command, c.command) << c.text;
        }
        EXPECT_EQ(r.effect, c.effect) << c.text;
        EXPECT_EQ(r.once, c.once) << c.text;
        EXPECT_EQ(r.afterRequests, c.afterRequests) << c.text;
        EXPECT_EQ(r.afterNs, c.afterNs) << c.text;
    }
}

TEST(SimOptions, TheUsageNamesEveryOptionTheParserTakes) {
    for (Transport t : {Transport::UnixSocket, Transport::NamedPipe}) {
        const std::string usage = usage_text(t);
        const std::vector<std::string> names = option_names(t);
        EXPECT_GE(names.size(), 15u);
        for (const std::string& name : names) {
            if (t == Transport::NamedPipe && name == "--dir") continue;  // taken only to be refused
            EXPECT_NE(usage.find(name), std::string::npos) << name;
        }
    }
}

}  // namespace
}  // namespace kv318::sim
