// How samples become bytes in the byte-stream output formats (HDF5 files
// are written through a SampleStore, sample_writer.h).  Numbers are
// formatted with std::to_chars into caller-owned buffers: no locale, no
// iostreams, nothing allocated per sample.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sample_units.h"

namespace kv318::pipeline {

enum class Format { Csv, Raw, Wav, Hdf5 };

// Samples become codes and volts by the one shared rule (sample_units.h).
using units::sample_code;

// One CSV line per sample: "index,time_s,code,volts\n".  Time is
// (index - time zero) x divider / clock, written exactly to the decimals the sample
// period needs (at most 9, rounded there).  The volts of every code are
// formatted once, up front.
class CsvFormatter {
public:
    static constexpr std::size_t kMaxLine = 80;  // longest line with its newline
    static const char* header() { return "index,time_s,code,volts\n"; }

    CsvFormatter(std::uint64_t clockHz, std::uint32_t divider);

    // The time column's zero: sample `index` is at 0 s, those before it
    // negative (a capture's trigger, analysis::samples_from_trigger).  0
    // unless set.
    void set_time_zero(std::uint64_t index) { zero_ = index; }

    // Writes the line of sample `index` to `out` (kMaxLine bytes of room);
    // returns its length.
    std::size_t line(std::uint64_t index, std::int32_t sample, char* out) const;

    int decimals() const { return decimals_; }

private:
    std::uint64_t clockHz_;
    std::uint64_t divider_;
    std::uint64_t zero_ = 0;
    int decimals_ = 0;
    std::uint64_t scale_ = 1;  // 10^decimals_
    // The sample period in units of 10^-decimals_ s, when it is a whole
    // number of them (0 otherwise): then a time is one multiplication.
    std::uint64_t periodUnits_ = 0;
    struct Volts {
        char text[23];
        std::uint8_t size;
    };
    std::array<Volts, units::kCodeMax - units::kCodeMin + 1> volts_{};  // by code - kCodeMin
};

// The canonical 44-byte header of a 16-bit PCM mono WAV file.
inline constexpr std::size_t kWavHeaderBytes = 44;
// The largest data chunk a RIFF file can declare, kept to whole samples.
inline constexpr std::uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - 36 - 1;
std::array<std::uint8_t, kWavHeaderBytes> wav_header(std::uint32_t sampleRate, std::uint32_t dataBytes);

// clock / divider to the nearest hertz, at least 1: the WAV rate.
std::uint32_t wav_rate(std::uint64_t clockHz, std::uint32_t divider);

}  // namespace kv318::pipeline
