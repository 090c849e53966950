#include "options.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <functional>
#include <type_traits>

#include "numbers.h"
#include "requests.h"

namespace kv318::sim {

namespace {

// Numbers are spelt as in every KV318 program (numbers.h): a decimal whole
// number or 0x-hex with an optional sign, a decimal real, a time with its
// unit.  A leading zero stays decimal here, as the simulator always read it.
bool parse_double(const std::string& text, double lo, double hi, double* out) {
    double v = 0;
    if (pipeline::read_real(text, &v) != pipeline::NumberStatus::Ok || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A time, a bare number counting seconds.
bool parse_seconds(const std::string& text, double lo, double hi, double* out) {
    double v = 0;
    if (pipeline::read_duration(text, 1, &v) != pipeline::NumberStatus::Ok || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_unsigned(const std::string& text, unsigned long long hi, unsigned long long* out) {
    std::uint64_t v = 0;
    if (!pipeline::parse_unsigned_within(text, 0, hi, &v, pipeline::LeadingZero::Decimal)) return false;
    *out = v;
    return true;
}

bool has_hex_prefix(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// A hexadecimal word, with or without its 0x.
bool parse_hex(const std::string& text, unsigned long long hi, unsigned long long* out) {
    return parse_unsigned(has_hex_prefix(text) ? text : "0x" + text, hi, out);
}

// "after=" of a --fail value: a request count, or a time with its unit
// (2s, 500ms; us and ns too).
bool parse_after(const std::string& text, FaultRule* rule) {
    unsigned long long n = 0;
    if (parse_unsigned(text, 1'000'000'000'000ULL, &n)) {
        rule->afterRequests = n;
        return true;
    }
    constexpr double kMaxSeconds = 1e6;
    double seconds = 0;
    // A unit is required: a bare number is a request count.
    if (pipeline::read_duration(text, 0, &seconds) != pipeline::NumberStatus::Ok || seconds < 0 ||
        seconds > kMaxSeconds) {
        return false;
    }
    rule->afterNs = static_cast<std::uint64_t>(std::llround(seconds * 1e9));
    return true;
}

// What a --fail value names, before its modifiers.
bool parse_fault_target(const std::string& what, FaultRule* out) {
    static const struct {
        const char* name;
        std::uint32_t ioctl;
    } kRequests[] = {
        {"bulk-read", kIoctlBulkRead}, {"bulk-write", kIoctlBulkWrite},   {"string", kIoctlStringDescriptor},
        {"command", kIoctlCommand},    {"payload", kIoctlCommandPayload},
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
    if (has_hex_prefix(what) && parse_unsigned(what, 0xFF, &code)) {
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

namespace {

// ---- the option table ----
//
// Each option's entry holds what its value may be, once: the check that
// takes a value and the line --help prints are both made from it, so the
// help cannot name a range or a default the parser does not hold to.  The
// defaults are read from a default-constructed SimOptions, where they are
// set.

// One option's value check: an empty string when `value` is taken into the
// options, else the reason it is not.
using Convert = std::function<std::string(const std::string& value, SimOptions& o)>;

struct OptionSpec {
    const char* name;   // "--boards"
    const char* value;  // what --help shows after the name: "N"
    std::string help;   // what it does, with its range and default
    Convert convert;
    bool listed = true;  // false: taken only to be refused, so not in --help
};

// An on/off option of the transport.
struct FlagSpec {
    const char* name;
    const char* help;
    bool SimOptions::*field;
};

std::string bad_value(const std::string& name, const std::string& value, const std::string& hint = "") {
    return "bad value '" + value + "' for " + name + (hint.empty() ? "" : " (" + hint + ")");
}

// A number as --help shows it: whole numbers in full (2000000, not 2e+06).
std::string number_text(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string range_text(double lo, double hi) { return number_text(lo) + (lo < 0 ? " to " : "-") + number_text(hi); }

// A whole number, decimal digits only, lo to hi, into the field `ref`
// returns.
template <class Ref>
OptionSpec whole(const char* name, const char* value, const std::string& what, unsigned long long lo,
                 unsigned long long hi, Ref ref) {
    SimOptions defaults;
    // The largest count anything takes is the whole of an unsigned 64-bit
    // number, which nobody wants to read in full.
    const std::string range = std::to_string(lo) + (hi == ~0ULL ? " to 2^64-1" : "-" + std::to_string(hi));
    return {name, value, what + " (" + range + "; default " + std::to_string(ref(defaults)) + ")",
            [=](const std::string& v, SimOptions& o) {
                unsigned long long n = 0;
                if (!parse_unsigned(v, hi, &n) || n < lo) return bad_value(name, v, range);
                using T = std::remove_reference_t<decltype(ref(o))>;
                ref(o) = static_cast<T>(n);
                return std::string();
            }};
}

// A decimal number lo to hi (and 0, meaning `zero`, when given), set and
// read through `set` and `get`.
template <class Get, class Set>
OptionSpec real(const char* name, const char* value, const std::string& what, double lo, double hi, Get get, Set set,
                const char* zero = nullptr, bool seconds = false) {
    const std::string range = range_text(lo, hi) + (zero != nullptr ? std::string(", or 0 for ") + zero : "");
    // A time in seconds may carry a unit, as every duration does ("500ms").
    auto read = [seconds](const std::string& v, double from, double to, double* x) {
        return seconds ? parse_seconds(v, from, to, x) : parse_double(v, from, to, x);
    };
    return {name, value, what + " (" + range + "; default " + number_text(get(SimOptions{})) + ")",
            [=](const std::string& v, SimOptions& o) {
                double x = 0;
                const bool zeroTaken = zero != nullptr && read(v, 0, 0, &x);
                if (!zeroTaken && !read(v, lo, hi, &x)) return bad_value(name, v, range);
                set(o, x);
                return std::string();
            }};
}

// A number of volts, hertz or percent in the signal's settings.
OptionSpec signal_real(const char* name, const char* value, const std::string& what, double lo, double hi,
                       double SignalConfig::*field) {
    return real(
        name, value, what, lo, hi, [field](const SimOptions& o) { return o.board.signal.*field; },
        [field](SimOptions& o, double x) { o.board.signal.*field = x; });
}

// One of a few words, each setting the field `ref` returns to its value.
template <class E>
struct Choice {
    const char* word;
    E value;
    const char* note;  // shown in brackets after the word, or empty
};

template <class E, class Ref>
OptionSpec choice(const char* name, const char* value, const std::string& what, std::vector<Choice<E>> choices,
                  Ref ref) {
    SimOptions defaults;
    std::string list, words, fallback;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const char* joint = i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ";
        list += joint + std::string(choices[i].word) +
                (*choices[i].note != '\0' ? std::string(" (") + choices[i].note + ")" : "");
        words += joint + std::string(choices[i].word);
        if (choices[i].value == ref(defaults)) fallback = choices[i].word;
    }
    return {name, value, what + ": " + list + "; default " + fallback, [=](const std::string& v, SimOptions& o) {
                for (const Choice<E>& c : choices) {
                    if (v == c.word) {
                        ref(o) = c.value;
                        return std::string();
                    }
                }
                return bad_value(name, v, words);
            }};
}

// The signal kinds by the words --signal takes, as --help, the usage line
// and the serving line name them.
const std::vector<Choice<SignalKind>>& signal_choices() {
    static const std::vector<Choice<SignalKind>> kinds = {
        {"sine", SignalKind::Sine, ""},
        {"ramp", SignalKind::Ramp, "+1 code per sample, wrapping"},
        {"square", SignalKind::Square, "high for --duty of each period"},
        {"const", SignalKind::Constant, "the level --value"},
    };
    return kinds;
}

std::string signal_words(const char* joint) {
    std::string text;
    for (const auto& c : signal_choices()) text += (text.empty() ? "" : joint) + std::string(c.word);
    return text;
}

constexpr const char* kInputsHint = "a hexadecimal word up to FFFF, or loopback";

std::vector<OptionSpec> option_specs(Transport transport) {
    const bool pipe = transport == Transport::NamedPipe;
    std::vector<OptionSpec> specs = {
        whole("--boards", "N", "boards to serve", 1, kMaxBoards, [](SimOptions& o) -> int& { return o.boards; }),
        {"--dir", "DIR",
         "driver directory (default $KV318_DRIVER_DIR, else $XDG_RUNTIME_DIR/kv318, else "
         "/tmp/kv318-<uid>); created with mode 0700",
         [pipe](const std::string& v, SimOptions& o) {
             // Refused rather than ignored on the pipes: a script that meant
             // a private directory would otherwise share the machine-wide pipes.
             if (pipe)
                 return std::string("--dir has no meaning here: board N is always served on \\\\.\\pipe\\KV318DeviceN");
             if (v.empty()) return bad_value("--dir", v);
             o.dir = v;
             return std::string();
         },
         !pipe},
        choice<SignalKind>("--signal", "KIND", "analog input", signal_choices(),
                           [](SimOptions& o) -> SignalKind& { return o.board.signal.kind; }),
        signal_real("--freq", "HZ", "sine and square frequency, to 1 mHz", 1e-3, 1e8, &SignalConfig::frequencyHz),
        signal_real("--amp", "VOLTS", "sine and square amplitude, peak", -100.0, 100.0, &SignalConfig::amplitudeV),
        signal_real("--offset", "VOLTS", "sine and square offset", -100.0, 100.0, &SignalConfig::offsetV),
        signal_real("--duty", "PERCENT", "the square's high part of each period, to 0.001 %", 0.0, 100.0,
                    &SignalConfig::dutyPercent),
        signal_real("--value", "VOLTS", "the const signal's level", -100.0, 100.0, &SignalConfig::constantV),
        signal_real("--noise", "VOLTS", "Gaussian noise added to any signal, its standard deviation", 0.0, 10.0,
                    &SignalConfig::noiseV),
        whole("--seed", "N", "the noise's seed: the same seed gives the same noise", 0, ~0ULL,
              [](SimOptions& o) -> std::uint64_t& { return o.board.signal.noiseSeed; }),
        whole("--clock", "HZ", "converter clock; samples come at clock / divider", 1000, 1'000'000'000,
              [](SimOptions& o) -> std::uint64_t& { return o.board.converterClockHz; }),
        whole("--fifo", "BYTES", "FIFO size", kMinFifoBytes, 256u << 20,
              [](SimOptions& o) -> std::size_t& { return o.board.fifoBytes; }),
        {"--inputs", "HEX|loopback",
         std::string("digital inputs: ") + kInputsHint + ", the outputs read back; default loopback",
         [](const std::string& v, SimOptions& o) {
             if (v == "loopback") {
                 o.board.fixedInputs.reset();
                 return std::string();
             }
             unsigned long long n = 0;
             if (!parse_hex(v, 0xFFFF, &n)) {
                 return bad_value("--inputs", v, kInputsHint);
             }
             o.board.fixedInputs = static_cast<std::uint16_t>(n);
             return std::string();
         }},
        whole("--counter-rate", "HZ", "rate of the counter's external input", 0, 100'000'000,
              [](SimOptions& o) -> std::uint64_t& { return o.board.counterRateHz; }),
        choice<CounterInput>("--counter-input", "WHICH", "counter input",
                             {{"external", CounterInput::External, "the external signal"},
                              {"pulse", CounterInput::Pulse, "the pulse generator's output"}},
                             [](SimOptions& o) -> CounterInput& { return o.board.counterInput; }),
        {"--fail", "WHAT[:after=N|:after=TIME][:once|:always]",
         "scripted faults on every board (repeatable).  WHAT is bulk-read, bulk-write, string, command, "
         "payload, any, or a command code such as 0x8E: those requests fail; or stall: bulk reads succeed "
         "with 0 bytes while the FIFO keeps filling.  after=N: the first N matching requests are served "
         "normally; after=2s or after=500ms: the fault starts that long after the first matching request.  "
         ":always (the default): every matching request from then on; :once: only the first",
         [](const std::string& v, SimOptions& o) {
             FaultRule rule;
             std::string why;
             if (!parse_fault(v, &rule, &why)) return bad_value("--fail", v, why);
             o.faults.push_back(rule);
             return std::string();
         }},
        whole("--max-clients", "N",
              "connections served at once, over all boards; one more is closed at once and logged", 1, 65536,
              [](SimOptions& o) -> std::size_t& { return o.limits.maxClients; }),
        real(
            "--client-timeout", "SECONDS",
            "a client that stops inside a request, or does not take its reply, for this long is dropped; "
            "idle clients between requests may stay",
            0.01, 3600,
            [](const SimOptions& o) { return static_cast<double>(o.limits.session.clientTimeout.count()) / 1000; },
            [](SimOptions& o, double s) {
                o.limits.session.clientTimeout = std::chrono::milliseconds(std::llround(s * 1000));
            },
            "never", true),
    };
    return specs;
}

std::vector<FlagSpec> flag_specs(Transport transport) {
    std::vector<FlagSpec> flags;
    if (transport == Transport::NamedPipe) {
        flags.push_back({"--stop-on-eof",
                         "also stop, cleanly, when standard input ends (its writer closes it, or it fails); for "
                         "scripts and tests that start the simulator as a child",
                         &SimOptions::stopOnEof});
    }
    return flags;
}

// One option as --help shows it: the name and value in a column 24 wide
// (on a line of their own when longer), the text beside them wrapped to 78.
std::string help_entry(const std::string& left, const std::string& text) {
    constexpr std::size_t kIndent = 26, kWidth = 78;
    std::string out = "  " + left;
    std::size_t column = out.size();
    if (column + 2 > kIndent) {
        out += "\n";
        column = 0;
    }
    std::size_t from = 0;
    bool lineEmpty = true;
    std::size_t gap = 1;  // blanks before the next word: two after a full stop, as written
    while (from < text.size()) {
        std::size_t to = text.find(' ', from);
        if (to == std::string::npos) to = text.size();
        const std::string word = text.substr(from, to - from);
        from = to + 1;
        if (word.empty()) {
            gap = 2;
            continue;
        }
        if (!lineEmpty && column + gap + word.size() > kWidth) {
            out += "\n";
            column = 0;
            lineEmpty = true;
        }
        if (column < kIndent) {
            out.append(kIndent - column, ' ');
            column = kIndent;
        } else if (!lineEmpty) {
            out.append(gap, ' ');
            column += gap;
        }
        out += word;
        column += word.size();
        lineEmpty = false;
        gap = 1;
    }
    return out + "\n";
}

}  // namespace

std::string version_text() { return std::string("kv318-sim ") + KV318_PROJECT_VERSION; }

std::string usage_text(Transport transport) {
    const bool pipe = transport == Transport::NamedPipe;
    const std::string signals = "[--signal " + signal_words("|") + " ...]";
    std::string text = pipe ? "usage: kv318-sim [--boards N] " + signals + " [--stop-on-eof] [options]\n"
                            : "usage: kv318-sim [--boards N] [--dir DIR] " + signals + " [options]\n";
    text += pipe ? "\n"
                   "Serves simulated KV318 boards 0 to N-1, board n on the named pipe\n"
                   "\\\\.\\pipe\\KV318Device<n>, which KV318.dll opens when no kernel driver\n"
                   "publishes the board, so the KV318 library and the test panel run without a\n"
                   "board.  Stop it with Ctrl-C, Ctrl-Break or by closing its console.\n\n"
                 : "\n"
                   "Serves simulated KV318 boards 0 to N-1 on the driver channel, so the KV318\n"
                   "library and the test panel run without a board.  Stop it with Ctrl-C or SIGTERM.\n\n";
    for (const OptionSpec& spec : option_specs(transport)) {
        if (spec.listed) text += help_entry(std::string(spec.name) + " " + spec.value, spec.help);
    }
    for (const FlagSpec& flag : flag_specs(transport)) text += help_entry(flag.name, flag.help);
    text += help_entry("--version", "print the version and exit");
    text += help_entry("-h, --help", "show this text");
    text += "\n";
    text += pipe ? "Nothing needs setting: board N's pipe is where KV318.dll looks for it.\n"
                   "Another simulator or driver serving one of the pipes makes it refuse to start.\n"
                 : "Point the library at it with KV318_DRIVER_DIR=DIR when --dir is given.\n";
    text += "Bad arguments exit with code 2, a driver channel it cannot serve with code 1.\n";
    return text;
}

namespace {

// Builds the parser for `transport`: every option's values go through its
// check, in the order given, into *o; the first reason to refuse one lands
// in *bad.  Nothing is thrown from a check, so --help still wins over a bad
// value given before it.
void build_parser(CLI::App& app, Transport transport, SimOptions* o, std::string* bad) {
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", version_text());
    for (OptionSpec& spec : option_specs(transport)) {
        app.add_option_function<std::vector<std::string>>(
               spec.name,
               [o, bad, convert = spec.convert](const std::vector<std::string>& values) {
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
    for (const FlagSpec& flag : flag_specs(transport)) app.add_flag(flag.name, o->*flag.field);
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

ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error, Transport transport) {
    SimOptions o;
    std::string bad;
    CLI::App app{"kv318-sim"};
    build_parser(app, transport, &o, &bad);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return ParseStatus::Help;
    } catch (const CLI::CallForVersion&) {
        return ParseStatus::Version;
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extra = app.remaining();
        const std::string first = extra.empty() ? std::string("?") : extra.front();
        *error = first.rfind('-', 0) == 0 ? "unknown option '" + first.substr(0, first.find('=')) + "'"
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
    for (const auto& c : signal_choices()) {
        if (c.value == options.board.signal.kind) signal = c.word;
    }
    return "serving " + std::to_string(options.boards) + " board" + (options.boards == 1 ? "" : "s") + " " + where +
           " (signal " + signal + ", converter clock " + std::to_string(options.board.converterClockHz) + " Hz)";
}

}  // namespace kv318::sim
