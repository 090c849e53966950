// What a recording says about itself, and how its file is named and typed.
// A CSV file starts with comment lines and a WAV file carries the same in a
// LIST/INFO chunk, so a file found on a disk months later still tells which
// board, clock and divider made it.  The converter clock in particular is
// what the user gave: the library cannot read the board's clock, so a wrong
// --clock can only be found, and the times corrected, from this record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board_api.h"
#include "fifo_verdict.h"
#include "sample_format.h"
#include "trigger.h"

namespace kv318::pipeline {

// The trigger a captured window was cut around, as its file records it.
// The file's time axis has its zero there (analysis::seconds_from_trigger).
struct TriggerMark {
    analysis::Edge edge = analysis::Edge::Rising;
    double levelVolts = 0;
    double hysteresisVolts = 0;
    double pretriggerPercent = 0;
    std::uint64_t fileIndex = 0;    // the trigger sample's index in the file, its first sample being 0
    std::uint64_t streamIndex = 0;  // the same sample counted from the acquisition's first
};

struct Recording {
    std::string tool;  // "kv318-cli 1.0.0"
    std::int32_t board = 0;
    std::string identity1, identity2;
    std::uint64_t clockHz = 0;
    std::uint32_t divider = 0;
    std::int32_t flags[4] = {0, 0, 0, 0};
    bool polled = false;
    std::string startUtc;  // "2026-12-07T19:54:51Z"
    // A run made through kv318-server: its control URL and its number of
    // the stream (empty and 0 for a board reached through the library).
    std::string server;
    std::uint32_t serverStream = 0;
    bool followed = false;  // the run joined a stream another client controlled
    // The stream's own index of the run's first sample, when the run knows
    // it (a follower joins a stream that has long been running).
    bool serverFirstKnown = false;
    std::uint64_t serverFirstIndex = 0;
    // A triggered capture: where its trigger lies (an untriggered run has
    // its time zero at its first sample).
    bool triggered = false;
    TriggerMark trigger;
};

// Splits KV318_Info's text (KV318_INFO_BYTES, zeros after its end) into
// its two strings, which the library separates with three spaces.
void split_identity(const char* text, std::string* first, std::string* second);

// What every recording of a run on the open board `handle` says: `tool`
// ("kv318-scope 1.0.0"), the board, its identity from KV318_Info ("(not
// readable)" when that fails), the clock and divider given, and the start
// as the UTC time now.  Called before the run starts (a board of
// kv318-server answers KV318_Info at any time).  The caller's thread, the
// one that runs the acquisition.
Recording describe_board(const BoardApi& api, std::int32_t handle, const std::string& tool, std::int32_t board,
                         std::uint64_t clockHz, std::uint32_t divider);
// Through kv318-server, once the run has started or joined its stream:
// the server's URL, the stream's number, whether it was followed and then
// the stream's own clock and divider into *r.  False, and *r as it was,
// for a board of the library.
bool describe_server(const BoardApi& api, std::int32_t handle, Recording* r);

// The description as "name: value" lines without line ends.  Bytes of the
// identity strings outside printable ASCII become '?', so a board cannot
// break a line or a chunk.
std::vector<std::string> describe(const Recording& r);

// How a file of `r` turns an index into seconds, in words: from the
// trigger for a triggered capture, else from the run's first sample.
std::string time_rule(const Recording& r);

// The CSV file's opening comment lines, each "# ...\n".
std::string csv_preamble(const Recording& r);

// What a recording says of the board's FIFO, as one "fifo: ..." line: the
// verdict on the run's drain statistics, or, with null, that they could not
// be read.  CSV files end on it as a comment line; WAV files carry it in
// their description.
std::string fifo_note(const analysis::FifoVerdict* verdict);
// The note a WAV file carries until its run has ended.
std::string fifo_note_pending();
// A WAV description keeps this many characters for the note, so that the
// header can be rewritten in place once the run has ended; a longer note
// is cut there.
inline constexpr std::size_t kFifoNoteChars = 240;

// The WAV file's LIST chunk of type INFO (ISFT the tool, ICRD the start
// time, ICMT the description and then `fifoNote` padded to kFifoNoteChars),
// whole and padded to even sizes.  `part` 0 is the first file of a run; a
// later part's comment names its number and the run's sample it starts
// with.
std::vector<std::uint8_t> wav_info_chunk(const Recording& r, unsigned part, std::uint64_t firstSample,
                                         const std::string& fifoNote);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_iso8601(std::int64_t seconds);

// Reads a -f value: csv, raw, wav, hdf5 or h5 in any case.  Empty with
// *format set, or the reason, which lists the formats in words.
std::string parse_format(const std::string& text, Format* format);
// The help text of -f: every format in words, and the default.
std::string format_help();
// The formats' names as "csv|raw|wav|hdf5", for the help's placeholder.
std::string format_names();

// The format a run writes: the output file's extension (.csv, .raw, .wav,
// .hdf5, .h5 in any case) when it has one of those, else `given`, else CSV.  A
// `given` format that contradicts the extension is refused: empty with
// *chosen set, or the reason.  `output` empty or "-" is standard output.
std::string choose_format(const std::string& output, const Format* given, Format* chosen);

// The name of part `part` of a WAV run that goes past one file:
// part 0 is `path` itself, part 1 of "run.wav" is "run-001.wav", of "run"
// "run-001".  Only the last path component's extension counts.
std::string part_path(const std::string& path, unsigned part);

}  // namespace kv318::pipeline
