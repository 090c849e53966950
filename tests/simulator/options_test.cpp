// The simulator's command line for each transport: the options that only
// make sense for one channel are refused by the other; the values every
// transport shares, the --fail syntax among them; a usage text that names
// every option the parser takes, with the very ranges and defaults the
// parser holds to.
#include <gtest/gtest.h>

#include <sstream>
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

// The text --help gives `name`, its lines joined with single blanks.
std::string help_of(const std::string& usage, const std::string& name) {
    std::istringstream lines(usage);
    std::string line, text;
    bool in = false;
    while (std::getline(lines, line)) {
        const bool starts = line.rfind("  -", 0) == 0;
        if (starts) {
            // The names column: "  --boards N", "  -h, --help".
            const std::string names = line.substr(0, line.find("  ", 2)) + " ";
            in = names.find(" " + name + " ") != std::string::npos || names.find(" " + name + ",") != std::string::npos;
        }
        if (!in) continue;
        if (!starts && line.find_first_not_of(' ') == std::string::npos) break;
        std::istringstream words(line);
        std::string word;
        while (words >> word) text += (text.empty() ? "" : " ") + word;
    }
    return text;
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
        const std::string what =
            std::string(c.args[0]) + (c.transport == Transport::NamedPipe ? " (pipe)" : " (socket)");
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
        // Whole numbers as every KV318 program spells them: 0x-hex and a
        // sign too, besides the simulator's own decimal with leading zeros.
        {{"--max-clients", "0x10"}, ParseStatus::Run, ""},
        {{"--max-clients", "0x"}, ParseStatus::Error, "for --max-clients"},
        {{"--max-clients", " 16"}, ParseStatus::Error, "for --max-clients"},
        {{"--max-clients", "16 "}, ParseStatus::Error, "for --max-clients"},
        {{"--max-clients", "1.0"}, ParseStatus::Error, "for --max-clients"},
        {{"--max-clients", "-0x1"}, ParseStatus::Error, "bad value '-0x1' for --max-clients"},
        {{"--client-timeout", "0"}, ParseStatus::Run, ""},
        {{"--client-timeout", "2.5"}, ParseStatus::Run, ""},
        {{"--client-timeout", "0.001"}, ParseStatus::Error, "for --client-timeout"},
        {{"--client-timeout", "-1"}, ParseStatus::Error, "for --client-timeout"},
        {{"--client-timeout", "250ms"}, ParseStatus::Run, ""},
        {{"--client-timeout", "0 s"}, ParseStatus::Run, ""},
        {{"--client-timeout", "5ms"}, ParseStatus::Error, "bad value '5ms' for --client-timeout"},
        {{"--client-timeout", "1h"}, ParseStatus::Error, "for --client-timeout"},
        {{"--boards"}, ParseStatus::Error, "--boards needs a value"},
        {{"--boards", "2", "stray"}, ParseStatus::Error, "unexpected argument 'stray'"},
        {{"--bogus=1"}, ParseStatus::Error, "unknown option '--bogus'"},
        {{"--boards", "010"}, ParseStatus::Run, ""},
        {{"--boards", "+2"}, ParseStatus::Run, ""},
        {{"--boards", "++2"}, ParseStatus::Error, "for --boards"},
        {{"--seed", "99999999999999999999999"}, ParseStatus::Error, "for --seed"},
        // Reals: decimal only, no blanks, no hex, finite.
        {{"--freq", "1e3"}, ParseStatus::Run, ""},
        {{"--freq", " 1000"}, ParseStatus::Error, "for --freq"},
        {{"--freq", "0x10"}, ParseStatus::Error, "for --freq"},
        {{"--freq", "nan"}, ParseStatus::Error, "for --freq"},
        {{"--amp", "inf"}, ParseStatus::Error, "for --amp"},
        {{"--amp", "1,5"}, ParseStatus::Error, "for --amp"},
        {{"--inputs", "00FF"}, ParseStatus::Run, ""},
        {{"--inputs", "0x00ff"}, ParseStatus::Run, ""},
        {{"--inputs", "+FF"}, ParseStatus::Error, "for --inputs"},
        {{"--inputs", "10000"}, ParseStatus::Error, "for --inputs"},
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
    ASSERT_EQ(parse({"--max-clients", "7", "--client-timeout", "2.5", "--boards", "010", "--fail", "0x80", "--fail",
                     "stall:after=1.5s", "--inputs", "00a5", "--seed", "0x10"},
                    Transport::UnixSocket, &o, &error),
              ParseStatus::Run)
        << error;
    EXPECT_EQ(o.limits.maxClients, 7u);
    EXPECT_EQ(o.limits.session.clientTimeout.count(), 2500);
    SimOptions timed;
    ASSERT_EQ(parse({"--client-timeout", "750ms"}, Transport::UnixSocket, &timed, &error), ParseStatus::Run) << error;
    EXPECT_EQ(timed.limits.session.clientTimeout.count(), 750) << "a unit counts as given";
    EXPECT_EQ(o.boards, 10) << "decimal, never octal";
    ASSERT_TRUE(o.board.fixedInputs.has_value());
    EXPECT_EQ(*o.board.fixedInputs, 0xA5) << "hexadecimal without its 0x";
    EXPECT_EQ(o.board.signal.noiseSeed, 16u);
    ASSERT_EQ(o.faults.size(), 2u) << "repeatable, in order";
    EXPECT_EQ(o.faults[0].command, 0x80);
    EXPECT_EQ(o.faults[1].effect, FaultEffect::Stall);
    SimOptions defaults;
    ASSERT_EQ(parse({}, Transport::UnixSocket, &defaults, &error), ParseStatus::Run);
    EXPECT_EQ(defaults.limits.maxClients, kDefaultMaxClients);
    EXPECT_EQ(defaults.limits.session.clientTimeout, kDefaultClientTimeout);
}

TEST(SimOptions, SignalSettingsReachTheBoards) {
    const struct {
        std::vector<const char*> args;
        SignalKind kind;
        double freq, amp, offset, duty, noise;
        std::uint64_t seed;
    } cases[] = {
        {{}, SignalKind::Sine, 1000, 2.5, 0, 50, 0, 0},
        {{"--signal", "square"}, SignalKind::Square, 1000, 2.5, 0, 50, 0, 0},
        {{"--signal=square", "--freq", "250.5", "--amp", "1.5", "--offset", "-0.5", "--duty", "25"},
         SignalKind::Square,
         250.5,
         1.5,
         -0.5,
         25,
         0,
         0},
        {{"--signal", "ramp", "--noise", "0.01", "--seed", "18446744073709551615"},
         SignalKind::Ramp,
         1000,
         2.5,
         0,
         50,
         0.01,
         18446744073709551615ULL},
        {{"--duty", "0", "--noise", "10", "--seed", "42"}, SignalKind::Sine, 1000, 2.5, 0, 0, 10, 42},
        {{"--duty", "100", "--signal", "const"}, SignalKind::Constant, 1000, 2.5, 0, 100, 0, 0},
    };
    for (const auto& c : cases) {
        SimOptions o;
        std::string error;
        const std::string what = c.args.empty() ? "defaults" : c.args[0];
        ASSERT_EQ(parse(c.args, Transport::UnixSocket, &o, &error), ParseStatus::Run) << what << ": " << error;
        const SignalConfig& s = o.board.signal;
        EXPECT_EQ(s.kind, c.kind) << what;
        EXPECT_EQ(s.frequencyHz, c.freq) << what;
        EXPECT_EQ(s.amplitudeV, c.amp) << what;
        EXPECT_EQ(s.offsetV, c.offset) << what;
        EXPECT_EQ(s.dutyPercent, c.duty) << what;
        EXPECT_EQ(s.noiseV, c.noise) << what;
        EXPECT_EQ(s.noiseSeed, c.seed) << what;
    }
    EXPECT_NE(serving_line(SimOptions{}, "here").find("signal sine"), std::string::npos);
    SimOptions square;
    std::string error;
    ASSERT_EQ(parse({"--signal", "square"}, Transport::UnixSocket, &square, &error), ParseStatus::Run);
    EXPECT_NE(serving_line(square, "here").find("signal square"), std::string::npos) << serving_line(square, "here");
}

// Every range the parser checks, at both ends and just past them, and the
// help's line for the option naming that same range and the default the
// options start with.  A range changed in one place only fails here.
TEST(SimOptions, TheHelpStatesTheRangesAndDefaultsTheParserHoldsTo) {
    const struct {
        const char* name;
        const char* lowest;   // the least value taken
        const char* below;    // just under it, refused
        const char* highest;  // the greatest value taken
        const char* above;    // just over it, refused
        const char* stated;   // what --help says of the range and default
    } cases[] = {
        {"--boards", "1", "0", "16", "17", "(1-16; default 1)"},
        {"--freq", "0.001", "0.0009", "100000000", "100000001", "(0.001-100000000; default 1000)"},
        {"--amp", "-100", "-100.01", "100", "100.01", "(-100 to 100; default 2.5)"},
        {"--offset", "-100", "-101", "100", "101", "(-100 to 100; default 0)"},
        {"--duty", "0", "-0.001", "100", "100.001", "(0-100; default 50)"},
        {"--value", "-100", "-101", "100", "101", "(-100 to 100; default 1)"},
        {"--noise", "0", "-0.1", "10", "10.1", "(0-10; default 0)"},
        {"--seed", "0", "-1", "18446744073709551615", "18446744073709551616", "(0 to 2^64-1; default 0)"},
        {"--clock", "1000", "999", "1000000000", "1000000001", "(1000-1000000000; default 2000000)"},
        {"--fifo", "524288", "524287", "268435456", "268435457", "(524288-268435456; default 524288)"},
        {"--counter-rate", "0", "-1", "100000000", "100000001", "(0-100000000; default 1000)"},
        {"--max-clients", "1", "0", "65536", "65537", "(1-65536; default 256)"},
        {"--client-timeout", "0.01", "0.009", "3600", "3600.1", "(0.01-3600, or 0 for never; default 5)"},
    };
    const std::string usage = usage_text();
    for (const auto& c : cases) {
        SimOptions o;
        std::string error;
        for (const char* v : {c.lowest, c.highest}) {
            EXPECT_EQ(parse({c.name, v}, Transport::UnixSocket, &o, &error), ParseStatus::Run) << c.name << " " << v;
        }
        for (const char* v : {c.below, c.above}) {
            ASSERT_EQ(parse({c.name, v}, Transport::UnixSocket, &o, &error), ParseStatus::Error) << c.name << " " << v;
            EXPECT_NE(error.find(std::string("bad value '") + v + "' for " + c.name), std::string::npos) << error;
        }
        const std::string help = help_of(usage, c.name);
        EXPECT_NE(help.find(c.stated), std::string::npos) << c.name << ": " << help;
    }
    // Words: the help lists every word the parser takes and no other.
    const struct {
        const char* name;
        std::vector<const char*> words;
        const char* refused;
        const char* stated;
    } choices[] = {
        {"--signal", {"sine", "ramp", "square", "const"}, "triangle", "default sine"},
        {"--counter-input", {"external", "pulse"}, "internal", "default external"},
    };
    for (const auto& c : choices) {
        const std::string help = help_of(usage, c.name);
        EXPECT_NE(help.find(c.stated), std::string::npos) << c.name << ": " << help;
        for (const char* w : c.words) {
            SimOptions o;
            std::string error;
            EXPECT_EQ(parse({c.name, w}, Transport::UnixSocket, &o, &error), ParseStatus::Run) << c.name << " " << w;
            EXPECT_NE(help.find(w), std::string::npos) << c.name << ": " << help;
        }
        SimOptions o;
        std::string error;
        EXPECT_EQ(parse({c.name, c.refused}, Transport::UnixSocket, &o, &error), ParseStatus::Error);
        EXPECT_EQ(help.find(c.refused), std::string::npos) << c.name << ": " << help;
    }
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
        // Times take every unit a duration takes, and one blank before it.
        {"any:after=20us", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 20'000},
        {"any:after=500ns", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 500},
        {"any:after=2 s", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 2'000'000'000},
        {"any:after=0x10", true, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 16, 0},
        {"0x8e", true, T::Command, 0, 0x8E, FaultEffect::Fail, false, 0, 0},
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
        {"any:after=1000001s", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=-1ms", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after= 1s", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"any:after=1.5", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
        {"-0x8E", false, T::AnyRequest, 0, 0, FaultEffect::Fail, false, 0, 0},
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
            EXPECT_FALSE(help_of(usage, name).empty()) << name;
        }
        // No help line is more than a terminal's 80 columns.
        std::istringstream lines(usage);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("usage:", 0) != 0) {
                EXPECT_LE(line.size(), 80u) << line;
            }
        }
    }
}

}  // namespace
}  // namespace kv318::sim
