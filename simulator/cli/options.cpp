#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "requests.h"

namespace kv318::sim {

namespace {

bool parse_double(const std::string& text, double lo, double hi, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_unsigned(const std::string& text, int base, unsigned long long hi, unsigned long long* out) {
    // strtoull would also take blanks, a sign or a 0x prefix; a count takes
    // digits only.
    if (text.empty()) return false;
    for (char ch : text) {
        const bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(ch)) != 0
                                      : std::isdigit(static_cast<unsigned char>(ch)) != 0;
        if (!digit) return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > hi) return false;
    *out = v;
    return true;
}

bool parse_fault(const std::string& text, FaultRule* out) {
    std::string what = text;
    bool once = false;
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string when = text.substr(colon + 1);
        if (when == "once") {
            once = true;
        } else if (when != "always") {
            return false;
        }
        what = text.substr(0, colon);
    }
    static const struct { const char* name; std::uint32_t ioctl; } kRequests[] = {
        {"bulk-read", kIoctlBulkRead},  {"bulk-write", kIoctlBulkWrite}, {"string", kIoctlStringDescriptor},
        {"command", kIoctlCommand},     {"payload", kIoctlCommandPayload},
    };
    for (const auto& r : kRequests) {
        if (what == r.name) {
            *out = FaultRule::on_request(r.ioctl, FaultEffect::Fail, once);
            return true;
        }
    }
    if (what == "any") {
        *out = FaultRule::on_any(FaultEffect::Fail, once);
        return true;
    }
    unsigned long long code = 0;
    if (what.size() > 2 && what[0] == '0' && (what[1] == 'x' || what[1] == 'X') &&
        parse_unsigned(what.substr(2), 16, 0xFF, &code)) {
        *out = FaultRule::on_command(static_cast<std::uint8_t>(code), FaultEffect::Fail, once);
        return true;
    }
    return false;
}

}  // namespace

std::string usage_text(Transport transport) {
    const bool pipe = transport == Transport::NamedPipe;
    std::string text = pipe ? "usage: kv318-sim [--boards N] [--signal sine|ramp|const ...] [--stop-on-eof] [options]\n"
                            : "usage: kv318-sim [--boards N] [--dir DIR] [--signal sine|ramp|const ...] [options]\n";
    text += pipe ? "\n"
                   "Serves simulated KV318 boards 0 to N-1, board n on the named pipe\n"
                   "\\\\.\\pipe\\KV318Device<n>, which KV318.dll opens when no kernel driver\n"
                   "publishes the board, so the KV318 library and the test panel run without a\n"
                   "board.  Stop it with Ctrl-C, Ctrl-Break or by closing its console.\n"
                   "\n"
                   "  --boards N              boards to serve, 1-16 (default 1)\n"
                 : "\n"
                   "Serves simulated KV318 boards 0 to N-1 on the driver channel, so the KV318\n"
                   "library and the test panel run without a board.  Stop it with Ctrl-C or SIGTERM.\n"
                   "\n"
                   "  --boards N              boards to serve, 1-16 (default 1)\n"
                   "  --dir DIR               driver directory (default $KV318_DRIVER_DIR,\n"
                   "                          else /tmp/kv318-<uid>); created with mode 0700\n";
    text +=
        "  --signal KIND           analog input: sine (default), ramp (+1 code per\n"
        "                          sample, wrapping) or const\n"
        "  --freq HZ               sine frequency (default 1000)\n"
        "  --amp VOLTS             sine amplitude, peak (default 2.5)\n"
        "  --offset VOLTS          sine offset (default 0)\n"
        "  --value VOLTS           the const signal's level (default 1.0)\n"
        "  --clock HZ              converter clock; samples come at clock / divider\n"
        "                          (default 2000000)\n"
        "  --fifo BYTES            FIFO size, at least 524288 (default 524288)\n"
        "  --inputs HEX|loopback   digital inputs: a fixed word, or the outputs\n"
        "                          looped back (default loopback)\n"
        "  --counter-rate HZ       rate of the counter's external input (default 1000)\n"
        "  --counter-input external|pulse\n"
        "                          counter input: the external signal (default) or\n"
        "                          the pulse generator's output\n"
        "  --fail WHAT[:once]      make requests fail, from the start on or just once;\n"
        "                          WHAT is bulk-read, bulk-write, string, command,\n"
        "                          payload, any, or a command code such as 0x8E\n"
        "                          (repeatable)\n";
    if (pipe) {
        text +=
            "  --stop-on-eof           also stop, cleanly, when standard input ends (its\n"
            "                          writer closes it, or it fails); for scripts and\n"
            "                          tests that start the simulator as a child\n";
    }
    text += "  -h, --help              show this text\n\n";
    text += pipe ? "Nothing needs setting: board N's pipe is where KV318.dll looks for it.\n"
                   "Another simulator or driver serving one of the pipes makes it refuse to start.\n"
                 : "Point the library at it with KV318_DRIVER_DIR=DIR when --dir is given.\n";
    return text;
}

ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error,
                          Transport transport) {
    SimOptions o;
    const bool pipe = transport == Transport::NamedPipe;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return ParseStatus::Help;
        if (pipe && arg == "--stop-on-eof") {
            o.stopOnEof = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        const std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        static const char* const kTakesValue[] = {"--boards", "--dir",    "--signal",       "--freq",
                                                  "--amp",    "--offset", "--value",        "--clock",
                                                  "--fifo",   "--inputs", "--counter-rate", "--counter-input",
                                                  "--fail"};
        bool known = false;
        for (const char* name : kTakesValue) known = known || arg == name;
        if (!known) {
            *error = "unknown option '" + arg + "'";
            return ParseStatus::Error;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return ParseStatus::Error;
            }
            value = argv[++i];
        }
        const std::string bad = "bad value '" + value + "' for " + arg;
        unsigned long long n = 0;
        double v = 0;
        if (arg == "--boards") {
            if (!parse_unsigned(value, 10, kMaxBoards, &n) || n < 1) {
                *error = bad + " (1-16)";
                return ParseStatus::Error;
            }
            o.boards = static_cast<int>(n);
        } else if (arg == "--dir") {
            if (pipe) {
                // Refused rather than ignored: a script that meant a private
                // directory would otherwise share the machine-wide pipes.
                *error = "--dir has no meaning here: board N is always served on \\\\.\\pipe\\KV318DeviceN";
                return ParseStatus::Error;
            }
            if (value.empty()) {
                *error = bad;
                return ParseStatus::Error;
            }
            o.dir = value;
        } else if (arg == "--signal") {
            if (value == "sine") {
                o.board.signal.kind = SignalKind::Sine;
            } else if (value == "ramp") {
                o.board.signal.kind = SignalKind::Ramp;
            } else if (value == "const") {
                o.board.signal.kind = SignalKind::Constant;
            } else {
                *error = bad + " (sine, ramp or const)";
                return ParseStatus::Error;
            }
        } else if (arg == "--freq") {
            if (!parse_double(value, 1e-3, 1e8, &v)) {
                *error = bad;
                return ParseStatus::Error;
            }
            o.board.signal.frequencyHz = v;
        } else if (arg == "--amp" || arg == "--offset" || arg == "--value") {
            if (!parse_double(value, -100.0, 100.0, &v)) {
                *error = bad;
                return ParseStatus::Error;
            }
            if (arg == "--amp") o.board.signal.amplitudeV = v;
            if (arg == "--offset") o.board.signal.offsetV = v;
            if (arg == "--value") o.board.signal.constantV = v;
        } else if (arg == "--clock") {
            if (!parse_unsigned(value, 10, 1'000'000'000, &n) || n < 1000) {
                *error = bad + " (1000-1000000000)";
                return ParseStatus::Error;
            }
            o.board.converterClockHz = n;
        } else if (arg == "--fifo") {
            if (!parse_unsigned(value, 10, 256u << 20, &n) || n < kMinFifoBytes) {
                *error = bad + " (524288-268435456)";
                return ParseStatus::Error;
            }
            o.board.fifoBytes = static_cast<std::size_t>(n);
        } else if (arg == "--inputs") {
            if (value == "loopback") {
                o.board.fixedInputs.reset();
            } else {
                std::string hex = value;
                if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex = hex.substr(2);
                if (!parse_unsigned(hex, 16, 0xFFFF, &n)) {
                    *error = bad + " (a hexadecimal word up to FFFF, or loopback)";
                    return ParseStatus::Error;
                }
                o.board.fixedInputs = static_cast<std::uint16_t>(n);
            }
        } else if (arg == "--counter-rate") {
            if (!parse_unsigned(value, 10, 100'000'000, &n)) {
                *error = bad + " (0-100000000)";
                return ParseStatus::Error;
            }
            o.board.counterRateHz = n;
        } else if (arg == "--counter-input") {
            if (value == "external") {
                o.board.counterInput = CounterInput::External;
            } else if (value == "pulse") {
                o.board.counterInput = CounterInput::Pulse;
            } else {
                *error = bad + " (external or pulse)";
                return ParseStatus::Error;
            }
        } else if (arg == "--fail") {
            FaultRule rule;
            if (!parse_fault(value, &rule)) {
                *error = bad;
                return ParseStatus::Error;
            }
            o.faults.push_back(rule);
        }
    }
    *out = o;
    return ParseStatus::Run;
}

std::vector<std::unique_ptr<Board>> make_boards(const SimOptions& options, const Clock& clock) {
    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < options.boards; ++i) {
        BoardConfig config = options.board;
        config.number = i;
        boards.push_back(std::make_unique<Board>(config, clock));
        for (const FaultRule& rule : options.faults) boards.back()->add_fault(rule);
    }
    return boards;
}

std::string serving_line(const SimOptions& options, const std::string& where) {
    const char* signal = "?";
    switch (options.board.signal.kind) {
    case SignalKind::Sine: signal = "sine"; break;
    case SignalKind::Ramp: signal = "ramp"; break;
    case SignalKind::Constant: signal = "const"; break;
    }
    return "serving " + std::to_string(options.boards) + " board" + (options.boards == 1 ? "" : "s") + " " + where +
           " (signal " + signal + ", converter clock " + std::to_string(options.board.converterClockHz) + " Hz)";
}

}  // namespace kv318::sim
