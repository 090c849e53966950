// Writes a stream of samples to a byte output in one of the formats, and
// keeps the file valid at every moment it can: a CSV output only ever ends
// on a whole line, and a WAV header is rewritten with the true sizes about
// once a second and at the end, so a run that is cut short, even killed,
// leaves a file that readers open.  A WAV run that would pass the format's
// 4 GiB goes on in numbered next files when it has a way to open them.  An
// HDF5 run goes to a SampleStore as converter codes instead of bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recording.h"
#include "sample_format.h"
#include "sample_store.h"

namespace kv318::pipeline {

// Where the bytes go.  write, rewrite and flush are called on the one
// thread that writes; abandon may be called from any thread.
class ByteOutput {
public:
    virtual ~ByteOutput() = default;
    // Appends; false with error() set when the bytes could not be written
    // (some of them may have been: see landed()).
    virtual bool write(const void* data, std::size_t size) = 0;
    // How many bytes the appends have put in the output so far, those of a
    // write that failed part way included.
    virtual std::uint64_t landed() const = 0;
    // Overwrites `size` bytes at `offset` from the start, leaving the
    // append position at the end.  False when the output cannot seek (a
    // pipe or a terminal); error() then stays empty.
    virtual bool rewrite(std::uint64_t offset, const void* data, std::size_t size) = 0;
    virtual bool flush() = 0;
    // Cuts the output back to its first `size` bytes (of at most landed()),
    // which landed() then counts: a write that failed part way leaves a
    // part of a line or a sample, which must not pass for one.  False when
    // the output cannot be cut (a pipe or a terminal).
    virtual bool cut(std::uint64_t size) {
        (void)size;
        return false;
    }
    virtual std::string error() const = 0;
    // Any thread: a write that waits for a reader who takes nothing gives
    // up and fails, and so does every later write.  An output that cannot
    // wait interruptibly ignores it.
    virtual void abandon() {}
};

// A C stream: a file the tool opened (closed by the destructor) or
// standard output (left open).
class FileOutput : public ByteOutput {
public:
    // Opens `path` for writing, truncating it; ok() tells whether it did.
    explicit FileOutput(const std::string& path);
    // Writes to `stream`, which the caller keeps.
    explicit FileOutput(std::FILE* stream);
    ~FileOutput() override;

    bool ok() const { return file_ != nullptr; }
    bool write(const void* data, std::size_t size) override;
    std::uint64_t landed() const override { return landed_; }
    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override;
    bool flush() override;
    bool cut(std::uint64_t size) override;
    std::string error() const override { return error_; }

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::uint64_t landed_ = 0;
    std::string error_;
};

// Opens part `part` (1, 2, ...) of a WAV run; null with *error set when it
// cannot.  Called on the writing thread.
using PartOpener = std::function<std::unique_ptr<ByteOutput>(unsigned part, std::string* error)>;

class SampleWriter {
public:
    // `maxWavData` is the WAV data chunk's limit per file (the format's
    // own, unless a test sets a smaller one).  `out` outlives the writer.
    SampleWriter(Format format, ByteOutput& out, std::uint64_t clockHz, std::uint32_t divider,
                 std::uint64_t maxWavData = kWavMaxDataBytes);
    // An HDF5 run: the samples go to `store` as converter codes (the CSV's
    // code column), about a megabyte at a time.  `store` outlives the
    // writer; begin() starts its run group, finish() ends the run.
    SampleWriter(SampleStore& store, std::uint64_t clockHz, std::uint32_t divider);

    // Before begin(): the run's description, written as CSV comment lines,
    // a WAV LIST/INFO chunk or an HDF5 group's attributes.  Without it a
    // CSV or WAV file has none, and an HDF5 group only the clock and
    // divider given here.
    void describe(const Recording& recording) { recording_ = recording, described_ = true; }
    // Before begin(): how a full WAV file is followed by the next.  Without
    // one a full WAV file ends the run (full()).
    void continue_in(PartOpener opener) { opener_ = std::move(opener); }
    // Before begin(): the first sample taken is the run's number `first`,
    // and samples() and written() count on from there (CSV indices and a
    // WAV part's first sample too).  Lets a test reach counts past 2^32
    // without writing for minutes.
    void count_from(std::uint64_t first) { samples_ = written_ = partFirst_ = index_ = first; }
    // What the file says of the board's FIFO once the run has ended (a
    // fifo_note()): a CSV file's last comment line, the end of a WAV file's
    // description, an HDF5 group's attribute; a raw file has no room for it.  Called once, before
    // finish(), on the thread that writes.
    void note_fifo(std::string note) { fifoNote_ = std::move(note), noted_ = true; }

    // Before begin(): the words for samples that never arrived, given how
    // many.  With them, an HDF5 run notes a "missed" event wherever the
    // numbering of write() with an index jumps, at the first sample after
    // the jump.
    void words_for_missed(std::function<std::string(std::uint64_t missed)> words) { missedWords_ = std::move(words); }
    // Notes a place where samples were or may have been lost, at the next
    // sample to be taken (see SampleStore::note_event).  Only an HDF5 file
    // has room for it; other formats say it in the tool's messages alone.
    void note_event(const std::string& kind, const std::string& text) {
        if (store_ != nullptr) store_->note_event(samples_, kind, text);
    }

    // The CSV header lines or the WAV header.  False when writing failed.
    bool begin();
    // Writes `count` samples; returns how many it took.  Fewer than
    // `count` when the output failed (failed()) or a WAV file is full with
    // no next part (full()).
    std::size_t write(const std::int32_t* samples, std::size_t count);
    // As write(), for samples that carry their own numbering (a block of
    // pipeline::Reader): the first is the stream's sample `firstIndex`, and
    // a CSV file's index column goes on from there, so samples that never
    // arrived show as a jump in it.  Raw, WAV and HDF5 files hold the
    // samples back to back; samples() and written() count what was taken.
    std::size_t write(std::uint64_t firstIndex, const std::int32_t* samples, std::size_t count) {
        if (missedWords_ && indexed_ && firstIndex > index_) note_event("missed", missedWords_(firstIndex - index_));
        indexed_ = true;
        index_ = firstIndex;
        std::size_t taken = write(samples, count);
        if (format_ != Format::Csv) index_ = firstIndex + taken;
        return taken;
    }
    // Brings the file to a valid state now: the buffer is written out and
    // a WAV header gets the sizes so far, an HDF5 file is flushed.  False
    // when writing failed.
    bool checkpoint();
    // At the end of the run: the FIFO note, if given, then as checkpoint().
    bool finish();

    // Any thread: gives up on the first output (the one a pipe can be; the
    // later parts are files), see ByteOutput::abandon.
    void abandon() {
        if (first_ != nullptr) first_->abandon();
    }

    bool failed() const { return failed_; }
    bool full() const { return full_; }
    // Samples taken; written() of them have reached the output, whole (a
    // write that failed part way counts the samples it did put there).
    std::uint64_t samples() const { return samples_; }
    std::uint64_t written() const { return written_; }
    // The files written after the first (0 for most runs).
    unsigned extra_parts() const { return part_; }
    std::string error() const {
        if (!error_.empty()) return error_;
        return store_ != nullptr ? store_->error() : out_->error();
    }

private:
    bool emit();  // writes the buffer out
    bool emit_codes();
    // After a failed write: counts the whole samples that landed of the
    // buffer's first `bytes`, and makes a WAV header say just those.
    void landed_partly(std::size_t bytes);
    bool begin_wav();
    bool next_part();
    std::vector<std::uint8_t> header(std::uint32_t dataBytes) const;

    Format format_;
    ByteOutput* first_ = nullptr;  // null for an HDF5 run
    ByteOutput* out_ = nullptr;
    SampleStore* store_ = nullptr;  // an HDF5 run's
    std::uint64_t clockHz_;
    std::uint32_t divider_;
    std::unique_ptr<ByteOutput> partOut_;  // parts after the first
    std::unique_ptr<CsvFormatter> csv_;
    std::uint32_t rate_;
    std::uint64_t maxWavData_;
    Recording recording_;
    bool described_ = false;
    PartOpener opener_;
    unsigned part_ = 0;
    std::uint64_t partFirst_ = 0;  // the run's sample the current part starts with
    std::size_t headerBytes_ = 0;
    std::uint64_t partLimit_ = 0;  // data bytes the current part may hold
    std::vector<char> buffer_;     // whole lines or whole samples only
    std::size_t used_ = 0;
    std::vector<std::int16_t> codes_;  // an HDF5 run's codes not yet stored
    std::size_t coded_ = 0;
    std::uint64_t runFirst_ = 0;  // an HDF5 run's first sample
    std::uint64_t samples_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t index_ = 0;  // the CSV index of the next sample taken
    std::string fifoNote_ = fifo_note_pending();
    bool noted_ = false;
    std::function<std::string(std::uint64_t)> missedWords_;
    bool indexed_ = false;  // a write with an index came
    bool finished_ = false;
    bool failed_ = false;
    bool full_ = false;
    std::string error_;
};

}  // namespace kv318::pipeline
