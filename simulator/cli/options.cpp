#include "options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

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

bool has_hex_prefix(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// "after=" of a --fail value: a request count, or a time in s or ms.
bool parse_after(const std::string& text, FaultRule* rule) {
    double v = 0;
    unsigned long long n = 0;
    constexpr double kMaxSeconds = 1e6;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        if (!parse_double(text.substr(0, text.size() - 2), 0, kMaxSeconds * 1e3, &v)) return false;
        rule->afterNs = static_cast<std::uint64_t>(std::llround(v * 1e6));
    } else if (text.size() > 1 && text.back() == 's') {
        if (!parse_double(text.substr(0, text.size() - 1), 0, kMaxSeconds, &v)) return false;
        rule->afterNs = static_cast<std::uint64_t>(std::llround(v * 1e9));
    } else {
        if (!parse_unsigned(text, 10, 1'000'000'000'000ULL, &n)) return false;
        rule->afterRequests = n;
    }
    return true;
}

// What a --fail value names, before its modifiers.
bool parse_fault_target(const std::string& what, FaultRule* out) {
    static const struct { const char* name; std::uint32_t ioctl; } kRequests[] = {
        {"bulk-read", kIoctlBulkRead},  {"bulk-write", kIoctlBulkWrite}, {"string", kIoctlStringDescriptor},
        {"command", kIoctlCommand},     {"payload", kIoctlCommandPayload},
    };
    for (const auto& r : kRequests) {
        if (what == r.name) {
            *out = FaultRule::on_request(r.ioctl, FaultEffect::Fail, false);
            return true;
        }
    }
    if (what == "stall") {
        *out = FaultRule::on_request(kIoctlBulkRead, FaultEffect::Stall, false);
        return true;
    }
    if (what == "any") {
        *out = FaultRule::on_any(FaultEffect::Fail, false);
        return true;
    }
    unsigned long long code = 0;
    if (has_hex_prefix(what) && parse_unsigned(what.substr(2), 16, 0xFF, &code)) {
        *out = FaultRule::on_command(static_cast<std::uint8_t>(code), FaultEffect::Fail, false);
        return true;
    }
    return false;
}

}  // namespace

bool parse_fault(const std::string& text, FaultRule* out, std::string* why) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    FaultRule rule;
    if (!parse_fault_target(parts[0], &rule)) {
        *why = "'" + parts[0] + "' is no request kind, stall, any or command code";
        return false;
    }
    bool haveWhen = false, haveAfter = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string& p = parts[i];
        if (p == "once" || p == "always") {
            if (haveWhen) {
                *why = "once or always, not both";
                return false;
            }
            haveWhen = true;
            rule.once = p == "once";
        } else if (p.rfind("after=", 0) == 0) {
            if (haveAfter || !parse_after(p.substr(6), &rule)) {
                *why = "after= takes one request count, or a time such as 2s or 500ms";
                return false;
            }
            haveAfter = true;
        } else {
            *why = "'" + p + "' is not once, always or after=...";
            return false;
        }
    }
    *out = rule;
    return true;
}

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
                   "  --dir DIR               driver directory (default $KV318_DRIVER_DIR, else\n"
                   "                          $XDG_RUNTIME_DIR/kv318, else /tmp/kv318-<uid>);\n"
                   "                          created with mode 0700\n";
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
        "  --fail WHAT[:after=N|:after=TIME][:once|:always]\n"
        "                          scripted faults on every board (repeatable).  WHAT\n"
        "                          is bulk-read, bulk-write, string, command, payload,\n"
        "                          any, or a command code such as 0x8E: those requests\n"
        "                          fail; or stall: bulk reads succeed with 0 bytes\n"
        "                          while the FIFO keeps filling.  after=N: the first N\n"
        "                          matching requests are served normally; after=2s or\n"
        "                          after=500ms: the fault starts that long after the\n"
        "                          first matching request.  :always (the default): every\n"
        "                          matching request from then on; :once: only the first\n"
        "  --max-clients N         connections served at once, over all boards, 1-65536\n"
        "                          (default 256); one more is closed at once and logged\n"
        "  --client-timeout SECONDS\n"
        "                          a client that stops inside a request, or does not\n"
        "                          take its reply, for this long is dropped (default 5;\n"
        "                          0: never).  Idle clients between requests may stay.\n";
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
    text += "Bad arguments exit with code 2, a driver channel it cannot serve with code 1.\n";
    return text;
}

namespace {

// One option's value check: an empty string when `value` is taken into the
// options, else the reason it is not.
using Convert = std::function<std::string(const std::string& value, SimOptions& o)>;

struct OptionSpec {
    const char* name;
    Convert convert;
};

std::vector<OptionSpec> option_specs(Transport transport) {
    const bool pipe = transport == Transport::NamedPipe;
    auto bad = [](const std::string& name, const std::string& value, const std::string& hint = "") {
        return "bad value '" + value + "' for " + name + (hint.empty() ? "" : " (" + hint + ")");
    };
    auto number = [bad](const char* name, double lo, double hi, double SignalConfig::*field) {
        return OptionSpec{name, [=](const std::string& v, SimOptions& o) {
                              double x = 0;
                              if (!parse_double(v, lo, hi, &x)) return bad(name, v);
                              o.board.signal.*field = x;
                              return std::string();
                          }};
    };
    std::vector<OptionSpec> specs = {
        {"--boards", [bad](const std::string& v, SimOptions& o) {
             unsigned long long n = 0;
             if (!parse_unsigned(v, 10, kMaxBoards, &n) || n < 1) return bad("--boards", v, "1-16");
             o.boards = static_cast<int>(n);
             return std::string();
         }},
        {"--dir", [bad, pipe](const std::string& v, SimOptions& o) {
             // Refused rather than ignored on the pipes: a script that meant
             // a private directory would otherwise share the machine-wide pipes.
             if (pipe) return std::string("--dir has no meaning here: board N is always served on \\\\.\\pipe\\KV318DeviceN");
             if (v.empty()) return bad("--dir", v);
             o.dir = v;
             return std::string();
         }},
        {"--signal", [bad](const std::string& v, SimOptions& o) {
             if (v == "sine") {
                 o.board.signal.kind = SignalKind::Sine;
             } else if (v == "ramp") {
                 o.board.signal.kind = SignalKind::Ramp;
             } else if (v == "const") {
                 o.board.signal.kind = SignalKind::Constant;
             } else {
                 return bad("--signal", v, "sine, ramp or const");
             }
             return std::string();
         }},
        number("--freq", 1e-3, 1e8, &SignalConfig::frequencyHz),
        number("--amp", -100.0, 100.0, &SignalConfig::amplitudeV),
        number("--offset", -100.0, 100.0, &SignalConfig::offsetV),
        number("--value", -100.0, 100.0, &SignalConfig::constantV),
        {"--clock", [bad](const std::string& v, SimOptions& o) {
             unsigned long long n = 0;
             if (!parse_unsigned(v, 10, 1'000'000'000, &n) || n < 1000) return bad("--clock", v, "1000-1000000000");
             o.board.converterClockHz = n;
             return std::string();
         }},
        {"--fifo", [bad](const std::string& v, SimOptions& o) {
             unsigned long long n = 0;
             if (!parse_unsigned(v, 10, 256u << 20, &n) || n < kMinFifoBytes) return bad("--fifo", v, "524288-268435456");
             o.board.fifoBytes = static_cast<std::size_t>(n);
             return std::string();
         }},
        {"--inputs", [bad](const std::string& v, SimOptions& o) {
             if (v == "loopback") {
                 o.board.fixedInputs.reset();
                 return std::string();
             }
             unsigned long long n = 0;
             if (!parse_unsigned(has_hex_prefix(v) ? v.substr(2) : v, 16, 0xFFFF, &n)) {
                 return bad("--inputs", v, "a hexadecimal word up to FFFF, or loopback");
             }
             o.board.fixedInputs = static_cast<std::uint16_t>(n);
             return std::string();
         }},
        {"--counter-rate", [bad](const std::string& v, SimOptions& o) {
             unsigned long long n = 0;
             if (!parse_unsigned(v, 10, 100'000'000, &n)) return bad("--counter-rate", v, "0-100000000");
             o.board.counterRateHz = n;
             return std::string();
         }},
        {"--counter-input", [bad](const std::string& v, SimOptions& o) {
             if (v == "external") {
                 o.board.counterInput = CounterInput::External;
             } else if (v == "pulse") {
                 o.board.counterInput = CounterInput::Pulse;
             } else {
                 return bad("--counter-input", v, "external or pulse");
             }
             return std::string();
         }},
        {"--fail", [bad](const std::string& v, SimOptions& o) {
             FaultRule rule;
             std::string why;
             if (!parse_fault(v, &rule, &why)) return bad("--fail", v, why);
             o.faults.push_back(rule);
             return std::string();
         }},
        {"--max-clients", [bad](const std::string& v, SimOptions& o) {
             unsigned long long n = 0;
             if (!parse_unsigned(v, 10, 65536, &n) || n < 1) return bad("--max-clients", v, "1-65536");
             o.limits.maxClients = static_cast<std::size_t>(n);
             return std::string();
         }},
        {"--client-timeout", [bad](const std::string& v, SimOptions& o) {
             double s = 0;
             if (!parse_double(v, 0, 3600, &s) || (s > 0 && s < 0.01)) {
                 return bad("--client-timeout", v, "seconds, 0.01-3600, or 0 for never");
             }
             o.limits.session.clientTimeout = std::chrono::milliseconds(std::llround(s * 1000));
             return std::string();
         }},
    };
    return specs;
}

// Builds the parser for `transport`: every option's values go through its
// check, in the order given, into *o; the first reason to refuse one lands
// in *bad.  Nothing is thrown from a check, so --help still wins over a bad
// value given before it.
void build_parser(CLI::App& app, Transport transport, SimOptions* o, std::string* bad) {
    app.set_help_flag("-h,--help");
    for (OptionSpec& spec : option_specs(transport)) {
        app.add_option_function<std::vector<std::string>>(
            spec.name, [o, bad, convert = spec.convert](const std::vector<std::string>& values) {
                for (const std::string& v : values) {
                    if (!bad->empty()) return;
                    *bad = convert(v, *o);
                }
            })
            // One value per occurrence; a repeated option keeps every value,
            // in order, so the last one given wins.
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    if (transport == Transport::NamedPipe) app.add_flag("--stop-on-eof", o->stopOnEof);
}

}  // namespace

std::vector<std::string> option_names(Transport transport) {
    CLI::App app{"kv318-sim"};
    SimOptions o;
    std::string bad;
    build_parser(app, transport, &o, &bad);
    std::vector<std::string> names;
    for (const CLI::Option* opt : app.get_options()) {
        for (const std::string& n : opt->get_lnames()) names.push_back("--" + n);
    }
    return names;
}

ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error,
                          Transport transport) {
    SimOptions o;
    std::string bad;
    CLI::App app{"kv318-sim"};
    build_parser(app, transport, &o, &bad);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return ParseStatus::Help;
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extra = app.remaining();
        const std::string first = extra.empty() ? std::string("?") : extra.front();
        *error = first.rfind("-", 0) == 0 ? "unknown option '" + first.substr(0, first.find('=')) + "'"
                                          : "unexpected argument '" + first + "'";
        return ParseStatus::Error;
    } catch (const CLI::ArgumentMismatch& e) {
        // CLI11 says "--boards: 1 required TEXT missing"; the name is enough.
        const std::string what = e.what();
        *error = what.substr(0, what.find(':')) + " needs a value";
        return ParseStatus::Error;
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return ParseStatus::Error;
    }
    if (!bad.empty()) {
        *error = bad;
        return ParseStatus::Error;
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
