// Where a recording goes when it is not a byte stream: an HDF5 file, one
// group per run (`/run_0001`, `/run_0002`, ...), each holding the run's
// converter codes as a growing dataset and its description as attributes.
// The interface carries no HDF5 header, so the commands and the writer
// build everywhere; the HDF5 file itself (hdf5_store.cpp) is compiled only
// where the HDF5 library is found, and elsewhere hdf5_missing.cpp says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "recording.h"

namespace kv318::pipeline {

// All calls are made on the one thread that writes; none is thread-safe.
class SampleStore {
public:
    virtual ~SampleStore() = default;
    // Starts the run in a new group described by `recording`, its first
    // sample being the run's number `firstIndex` (the group's first_index).
    // False with error() set when the group could not be made.
    virtual bool begin(const Recording& recording, std::uint64_t firstIndex) = 0;
    // Appends `count` converter codes (the caller's buffer, read before the
    // call returns).  A run with a split (open_hdf5_store) goes on in the
    // next group whenever the current one is full.  False with error() set
    // when they could not all be written; appended() counts those that were.
    virtual bool append(const std::int16_t* codes, std::size_t count) = 0;
    // Makes the file on disk whole with every code appended so far, so a
    // run cut short (even killed) leaves a file readers open.
    virtual bool checkpoint() = 0;
    // The end of the run: every group of it gets `fifoNote` (a fifo_note(),
    // or empty for none) and the file is checkpointed and closed.
    virtual bool finish(const std::string& fifoNote) = 0;
    // Notes a place where samples were or may have been lost: `index` the
    // run's number of the first sample after it, `kind` a short word
    // (missed, fifo, overflow, transfer, stopped, error), `text` the words
    // the tool says of it.  Held in memory and written to the group's
    // `events` dataset at the next checkpoint() or finish(), in the group
    // that holds the sample `index` (the last one when none does).
    virtual void note_event(std::uint64_t index, const std::string& kind, const std::string& text) = 0;
    virtual std::string error() const = 0;
    // The codes of this run in the file, across all its groups.
    virtual std::uint64_t appended() const = 0;
    // The groups this run wrote, as "/run_0003" or "/run_0003 to /run_0005"
    // (empty before begin()).
    virtual std::string groups() const = 0;
};

// Whether this build writes HDF5 files, and the words for when it does not.
// kv318-cli and kv318-scope both show them, so they name no program, only
// the way that works in such a build.
bool hdf5_available();
inline constexpr const char* kHdf5Unavailable =
    "HDF5 recordings are not available in this build; record raw, CSV or WAV, or write HDF5 with the kv318 Python "
    "package (kv318.record)";

// Why an HDF5 recording cannot be made to this output (standard output when
// `toStdout`), or empty when it can: the build has no HDF5, or the output is
// a pipe, in which HDF5 cannot seek.  Any thread.
std::string hdf5_output_problem(bool toStdout);

// The bytes the file at `path` may still grow by before its disk, or the
// process's limit on a file's size, refuses them; the largest number when
// neither says.  Called on the thread that writes.
using RoomFor = std::function<std::uint64_t(const std::string& path)>;
std::uint64_t disk_room(const std::string& path);

// Opens `path` to append a run: a new file, or the next run group of an
// existing HDF5 file.  An existing file that is not HDF5 is refused and
// left as it is.  `splitSamples` > 0 starts the next group after that many
// samples (first_index going on, so no sample is lost or repeated across
// groups); 0 keeps the run in one group.  `compress` stores the codes with
// shuffle and deflate (level 4); the codes are then held in memory and
// written only just before each flush, since a compressed chunk moves in
// the file whenever it grows.  Before each write the store asks `room`
// whether the file may grow by what the write could take: when it may not
// (a full disk), the run ends there, whole, its last `events` row saying
// why, rather than by a write that fails half way (after which HDF5 can
// leave a file that claims codes it never wrote).  Null with *error set when the
// file cannot be opened or made.  The caller owns the store; the file is
// closed when it is destroyed.
std::unique_ptr<SampleStore> open_hdf5_store(const std::string& path, std::uint64_t splitSamples, std::string* error,
                                             bool compress = false, RoomFor room = disk_room);

}  // namespace kv318::pipeline
