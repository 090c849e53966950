#include "recording.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "bytes.h"
#include "sample_store.h"

namespace kv318::pipeline {

namespace {

std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    return out;
}

std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// Every format the tool writes, once: the name -f takes, the extensions
// that choose it (the name itself and, for HDF5, the short one), and the
// words the help and the refusals use.
struct FormatEntry {
    Format format;
    const char* name;
    const char* alias;  // another extension and -f value, or null
    const char* help;
};
constexpr FormatEntry kFormats[] = {
    {Format::Csv, "csv", nullptr, "csv (comment lines, then index,time_s,code,volts)"},
    {Format::Raw, "raw", nullptr, "raw (int16 little-endian)"},
    {Format::Wav, "wav", nullptr, "wav (16-bit PCM mono at clock/divider, a new numbered file every 4 GiB)"},
    {Format::Hdf5, "hdf5", "h5",
     "hdf5 (also h5: a group per run or capture of int16 codes with its attributes, appended to an existing HDF5 "
     "file; to a file only, not standard output)"},
};

const FormatEntry& entry(Format f) {
    for (const FormatEntry& e : kFormats) {
        if (e.format == f) return e;
    }
    return kFormats[0];
}

const char* format_name(Format f) { return entry(f).name; }

void put_info(std::vector<std::uint8_t>* out, const char* id, const std::string& text) {
    const std::size_t size = text.size() + 1;  // with its terminating zero
    std::uint8_t head[8];
    std::memcpy(head, id, 4);
    put_u32le(head + 4, static_cast<std::uint32_t>(size));
    out->insert(out->end(), head, head + 8);
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
    if (size % 2 != 0) out->push_back(0);  // chunks start on even offsets
}

}  // namespace

std::vector<std::string> describe(const Recording& r) {
    const double rate = static_cast<double>(r.clockHz) / (r.divider == 0 ? 1 : r.divider);
    std::string flags;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) flags += ' ';
        flags += std::to_string(r.flags[i]);
    }
    std::vector<std::string> lines = {
        r.tool,
        "board: " + std::to_string(r.board),
        "identity: " + printable(r.identity1) + " | " + printable(r.identity2),
        "acquisition: " + std::string(r.polled ? "polled (KV318_M_AD)" : "timer-driven (KV318_AD)") + ", mode flags " +
            flags,
        "converter clock: " + std::to_string(r.clockHz) +
            " Hz, as given by --clock (the board's clock cannot be read; " + time_rule(r) + ")",
        "divider: " + std::to_string(r.divider),
        "sample rate: " + number(rate) + " samples/s",
        "volts: code = sample / 4 (halves to even), volts = code x 5 / 8192",
        "start: " + r.startUtc,
    };
    if (r.triggered) {
        const TriggerMark& t = r.trigger;
        lines.push_back("trigger: " + std::string(analysis::edge_name(t.edge)) + " edge at " + number(t.levelVolts) +
                        " V, hysteresis " + number(t.hysteresisVolts) + " V, pretrigger " +
                        number(t.pretriggerPercent) + " %; the trigger is index " + std::to_string(t.fileIndex) +
                        " of this file and sample " + std::to_string(t.streamIndex) +
                        " of the acquisition, and time_s is 0 there");
    }
    if (!r.server.empty()) {
        lines.push_back(
            "server: kv318-server at " + printable(r.server) + ", stream " + std::to_string(r.serverStream) +
            (r.serverFirstKnown ? ", from its sample " + std::to_string(r.serverFirstIndex) : std::string()) +
            (r.followed ? " (followed: the clock and divider are its controller's; its mode flags are not known here)"
                        : ""));
    }
    return lines;
}

void split_identity(const char* text, std::string* first, std::string* second) {
    const std::string all(text, std::find(text, text + KV318_INFO_BYTES, '\0'));
    const std::size_t gap = all.find("   ");
    *first = all.substr(0, gap);
    *second = gap == std::string::npos ? std::string() : all.substr(gap + 3);
}

Recording describe_board(const BoardApi& api, std::int32_t handle, const std::string& tool, std::int32_t board,
                         std::uint64_t clockHz, std::uint32_t divider) {
    Recording r;
    r.tool = tool;
    r.board = board;
    // One byte more than the library writes, so the text always ends.
    char text[KV318_INFO_BYTES + 1] = {};
    if (api.info(handle, text) == 0) {
        split_identity(text, &r.identity1, &r.identity2);
    } else {
        r.identity1 = "(not readable)";
    }
    r.clockHz = clockHz;
    r.divider = divider;
    r.startUtc = utc_iso8601(static_cast<std::int64_t>(std::time(nullptr)));
    return r;
}

bool describe_server(const BoardApi& api, std::int32_t handle, Recording* r) {
    RemoteStatus remote;
    if (!served_status(api, handle, &remote)) return false;
    r->server = remote.url;
    r->serverStream = remote.stream;
    r->followed = remote.following;
    // A follower records the stream as its controller set it up.
    if (remote.following) {
        r->clockHz = remote.clockHz;
        r->divider = remote.divider;
    }
    return true;
}

std::string time_rule(const Recording& r) {
    if (r.triggered) {
        return "time_s = (index - " + std::to_string(r.trigger.fileIndex) + ") x divider / clock, 0 at the trigger";
    }
    return "time_s = index x divider / clock";
}

std::string csv_preamble(const Recording& r) {
    std::string text;
    for (const std::string& line : describe(r)) text += "# " + line + "\n";
    return text;
}

std::string fifo_note(const analysis::FifoVerdict* v) {
    if (v == nullptr) return "fifo: not known: the library gave no drain statistics";
    if (v->possibleLoss) {
        return "fifo: " + analysis::fifo_loss_text(*v) + "; gaps that long: " + std::to_string(v->riskyGaps);
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "fifo: no gap between drains exceeded its %llu KiB (the longest: %.1f ms at %.1f MB/s)",
                  static_cast<unsigned long long>(v->fifoBytes / 1024), static_cast<double>(v->longestGapUs) / 1000.0,
                  v->bytesPerSecond / 1e6);
    return text;
}

std::string fifo_note_pending() { return "fifo: not known until the run ends (its last file says)"; }

std::vector<std::uint8_t> wav_info_chunk(const Recording& r, unsigned part, std::uint64_t firstSample,
                                         const std::string& fifoNote) {
    std::string comment;
    for (const std::string& line : describe(r)) {
        if (!comment.empty()) comment += "; ";
        comment += line;
    }
    if (part > 0) {
        comment += "; part " + std::to_string(part + 1) + " of the run, from sample " + std::to_string(firstSample);
    }
    // Always the same length, so the header keeps its size when the note
    // changes at the end of the run.
    std::string note = printable(fifoNote).substr(0, kFifoNoteChars);
    note.resize(kFifoNoteChars, ' ');
    comment += "; " + note;
    std::vector<std::uint8_t> body;
    put_info(&body, "ISFT", printable(r.tool));
    put_info(&body, "ICRD", r.startUtc);
    put_info(&body, "ICMT", comment);
    std::uint8_t head[12];
    std::memcpy(head, "LIST", 4);
    put_u32le(head + 4, static_cast<std::uint32_t>(4 + body.size()));
    std::memcpy(head + 8, "INFO", 4);
    body.insert(body.begin(), head, head + 12);
    return body;
}

std::string utc_iso8601(std::int64_t seconds) {
    // Days to a civil date (the proleptic Gregorian calendar), so no
    // time-zone or locale state of the C library is involved.
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

std::string parse_format(const std::string& text, Format* format) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const FormatEntry& e : kFormats) {
        if (lower == e.name || (e.alias != nullptr && lower == e.alias)) {
            *format = e.format;
            return {};
        }
    }
    return "format '" + text + "' is not one of the formats: csv (text), raw (int16 little-endian), wav or hdf5 (h5)";
}

std::string format_help() {
    std::string text;
    for (const FormatEntry& e : kFormats) {
        if (!text.empty()) text += &e == &kFormats[std::size(kFormats) - 1] ? " or " : ", ";
        text += e.help;
        if (e.format == Format::Hdf5 && !hdf5_available()) text += " (not in this build)";
    }
    return text + "; default: from the output's extension, else csv";
}

std::string format_names() {
    std::string text;
    for (const FormatEntry& e : kFormats) {
        if (!text.empty()) text += '|';
        text += e.name;
    }
    return text;
}

std::string choose_format(const std::string& output, const Format* given, Format* chosen) {
    const std::size_t slash = output.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    Format byName = Format::Csv;
    const bool named =
        output != "-" && dot != std::string::npos && dot > 0 && parse_format(name.substr(dot + 1), &byName).empty();
    if (named && given != nullptr && *given != byName) {
        return "-f " + std::string(format_name(*given)) + " contradicts the output's extension: " + output +
               " would be a " + format_name(byName) + " file; drop -f or rename the file";
    }
    *chosen = named ? byName : given != nullptr ? *given : Format::Csv;
    return {};
}

std::string part_path(const std::string& path, unsigned part) {
    if (part == 0) return path;
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= start) dot = path.size();
    char number[16];
    std::snprintf(number, sizeof number, "-%03u", part);
    return path.substr(0, dot) + number + path.substr(dot);
}

}  // namespace kv318::pipeline
