// Writes a stream of samples to a byte output in one of the formats, and
// keeps the file valid at every moment it can: a CSV output only ever ends
// on a whole line, and a WAV header is rewritten with the true sizes about
// once a second and at the end, so a run that is cut short, even killed,
// leaves a file that readers open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sample_format.h"

namespace kv318::cli {

// Where the bytes go.  Called on the one thread that streams.
class ByteOutput {
public:
    virtual ~ByteOutput() = default;
    // Appends; false with error() set when the bytes could not be written.
    virtual bool write(const void* data, std::size_t size) = 0;
    // Overwrites `size` bytes at `offset` from the start, leaving the
    // append position at the end.  False when the output cannot seek (a
    // pipe or a terminal); error() then stays empty.
    virtual bool rewrite(std::uint64_t offset, const void* data, std::size_t size) = 0;
    virtual bool flush() = 0;
    virtual std::string error() const = 0;
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
    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override;
    bool flush() override;
    std::string error() const override { return error_; }

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::string error_;
};

class SampleWriter {
public:
    // `maxWavData` is the WAV data chunk's limit (the format's own, unless a
    // test sets a smaller one).
    SampleWriter(Format format, ByteOutput& out, std::uint64_t clockHz, std::uint32_t divider,
                 std::uint64_t maxWavData = kWavMaxDataBytes);

    // The CSV header line or the WAV header.  False when writing failed.
    bool begin();
    // Writes `count` samples; returns how many it took.  Fewer than
    // `count` when the output failed (failed()) or a WAV file is full
    // (full()).
    std::size_t write(const std::int32_t* samples, std::size_t count);
    // Brings the file to a valid state now: the buffer is written out and
    // a WAV header gets the sizes so far.  False when writing failed.
    bool checkpoint();
    // As checkpoint(), at the end of the run.
    bool finish() { return checkpoint(); }

    bool failed() const { return failed_; }
    bool full() const { return full_; }
    std::uint64_t samples() const { return samples_; }
    std::string error() const { return out_.error(); }

private:
    bool emit();  // writes the buffer out

    Format format_;
    ByteOutput& out_;
    std::unique_ptr<CsvFormatter> csv_;
    std::uint32_t rate_;
    std::uint64_t maxWavData_;
    std::vector<char> buffer_;  // whole lines or whole samples only
    std::size_t used_ = 0;
    std::uint64_t samples_ = 0;
    bool failed_ = false;
    bool full_ = false;
};

}  // namespace kv318::cli
