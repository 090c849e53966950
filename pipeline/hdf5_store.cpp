// The HDF5 file behind SampleStore, through HDF5's C API.
//
// A run cut short must leave a file that opens.  HDF5 keeps its metadata
// (object headers, the chunk index, the dataset's extent) in a cache and
// writes it when it likes; a process killed half way through such a write
// leaves a file the library may refuse.  The file is therefore written in
// the oldest file format, which every reader knows, with the metadata
// cache told never to evict: between two flushes nothing but raw chunks
// reaches the disk, in space past the metadata, so the file on disk stays
// the one the last flush left, and the extent it declares covers only
// codes that were written.  SWMR writing would give the same guarantee,
// but a writer that dies leaves the file marked as still open, which
// ordinary readers (h5py without swmr=True, MATLAB) and the next run's
// append then refuse until h5clear mends it.
#include <hdf5.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "sample_store.h"
#include "sample_units.h"

namespace kv318::pipeline {

namespace {

// Samples per chunk: about a second of them, so a flush rewrites about
// one partial chunk and the chunk index, which the cache keeps in memory
// between flushes (see above), grows by about one entry a second: a day at
// the top rate costs it a few tens of megabytes.
constexpr hsize_t kMinChunkSamples = 4096;
constexpr hsize_t kMaxChunkSamples = hsize_t{1} << 20;

hsize_t chunk_samples(double rate) {
    if (!(rate > static_cast<double>(kMinChunkSamples))) return kMinChunkSamples;
    if (rate > static_cast<double>(kMaxChunkSamples)) return kMaxChunkSamples;
    return static_cast<hsize_t>(rate);
}
constexpr const char* kGroupPrefix = "run_";
// The room a run keeps free beyond its samples' chunks, for what the file
// itself writes at the next flush and at the end: the chunk index, the
// events and their strings, the attributes.
constexpr std::uint64_t kReservedBytes = std::uint64_t{512} * 1024;

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}
// Rows per chunk of a group's `events` dataset, as kv318.record makes it.
constexpr hsize_t kEventChunk = 64;
// The deflate level of a compressed run, h5py's default, which kv318.record
// uses.
constexpr unsigned kDeflateLevel = 4;

// An HDF5 identifier, closed when it goes out of scope.
class Id {
public:
    using Closer = herr_t (*)(hid_t);
    Id() = default;
    Id(hid_t id, Closer close) : id_(id), close_(close) {}
    Id(Id&& other) noexcept : id_(std::exchange(other.id_, -1)), close_(other.close_) {}
    Id& operator=(Id&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, -1);
            close_ = other.close_;
        }
        return *this;
    }
    Id(const Id&) = delete;
    Id& operator=(const Id&) = delete;
    ~Id() { reset(); }

    // Closes now; false when the close failed (a file's last write).
    bool reset() {
        const bool ok = id_ < 0 || close_(id_) >= 0;
        id_ = -1;
        return ok;
    }
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }
    // Forgets the identifier without closing it: HDF5 keeps the object open,
    // and writes nothing more of it.
    void abandon() { id_ = -1; }

private:
    hid_t id_ = -1;
    Closer close_ = nullptr;
};

// HDF5 prints its whole error stack, dozens of lines per failure, on every
// thread that has not turned that off: the store turns it off on the thread
// that calls it, each time, and says what failed in one sentence instead.
void quiet_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

herr_t keep_innermost(unsigned depth, const H5E_error2_t* e, void* data) {
    // Walked upwards, so depth 0 is where the failure was found: the
    // message that says why.  A failed system call's names the file,
    // buffer and offsets too; only its errno text is kept.
    if (depth != 0 || e->desc == nullptr) return 0;
    std::string desc = e->desc;
    const std::string tag = "error message = '";
    const std::size_t at = desc.find(tag);
    if (at != std::string::npos) {
        desc = desc.substr(at + tag.size());
        desc = desc.substr(0, desc.find('\''));
    }
    *static_cast<std::string*>(data) = desc;
    return 0;
}

// The one message of the thread's HDF5 error stack that says why, or empty.
std::string hdf5_reason() {
    std::string reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, keep_innermost, &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason;
}

// Writes a scalar attribute, making it or overwriting it in place.
bool put_attribute(hid_t object, const char* name, hid_t fileType, hid_t memoryType, const void* value) {
    Id attribute;
    if (H5Aexists(object, name) > 0) {
        attribute = Id(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    } else {
        const Id space(H5Screate(H5S_SCALAR), H5Sclose);
        if (!space.ok()) return false;
        attribute = Id(H5Acreate2(object, name, fileType, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    }
    return attribute.ok() && H5Awrite(attribute.get(), memoryType, value) >= 0;
}

bool put_u64(hid_t object, const char* name, std::uint64_t value) {
    return put_attribute(object, name, H5T_STD_U64LE, H5T_NATIVE_UINT64, &value);
}

bool put_u32(hid_t object, const char* name, std::uint32_t value) {
    return put_attribute(object, name, H5T_STD_U32LE, H5T_NATIVE_UINT32, &value);
}

bool put_i32(hid_t object, const char* name, std::int32_t value) {
    return put_attribute(object, name, H5T_STD_I32LE, H5T_NATIVE_INT32, &value);
}

bool put_f64(hid_t object, const char* name, double value) {
    return put_attribute(object, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value);
}

// A variable-length UTF-8 string, which h5py reads as str.
bool put_text(hid_t object, const char* name, const std::string& text) {
    const Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!type.ok() || H5Tset_size(type.get(), H5T_VARIABLE) < 0 || H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)
        return false;
    const char* value = text.c_str();
    return put_attribute(object, name, type.get(), type.get(), &value);
}

// A captured window's trigger as attributes: the readers' time axis is
// (index - trigger_index) / sample_rate_hz, 0 at the trigger.
bool describe_trigger(hid_t g, const TriggerMark& t) {
    return put_text(g, "trigger_edge", analysis::edge_name(t.edge)) &&
           put_f64(g, "trigger_level_volts", t.levelVolts) &&
           put_f64(g, "trigger_hysteresis_volts", t.hysteresisVolts) &&
           put_f64(g, "pretrigger_percent", t.pretriggerPercent) && put_u64(g, "trigger_index", t.fileIndex) &&
           put_u64(g, "trigger_stream_index", t.streamIndex);
}

// The number of a run group's name ("run_0012" is 12), or 0 for any other
// name.
unsigned run_number(const std::string& name) {
    const std::size_t prefix = std::strlen(kGroupPrefix);
    if (name.size() <= prefix || name.size() > prefix + 9 || name.compare(0, prefix, kGroupPrefix) != 0) return 0;
    unsigned n = 0;
    for (std::size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

// The highest run number among the root group's links.
bool last_run(hid_t file, unsigned* last) {
    H5G_info_t info{};
    if (H5Gget_info(file, &info) < 0) return false;
    *last = 0;
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        const ssize_t size = H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT);
        if (size < 0) return false;
        std::vector<char> name(static_cast<std::size_t>(size) + 1);
        if (H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(), name.size(), H5P_DEFAULT) < 0)
            return false;
        const unsigned n = run_number(name.data());
        if (n > *last) *last = n;
    }
    return true;
}

// File access with a metadata cache that keeps everything until a flush
// (see the top of this file).
Id access_list() {
    Id fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!fapl.ok()) return fapl;
    H5AC_cache_config_t config{};
    config.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    if (H5Pget_mdc_config(fapl.get(), &config) < 0) return {};
    config.evictions_enabled = false;
    // The cache may not resize itself while it cannot evict.
    config.incr_mode = H5C_incr__off;
    config.flash_incr_mode = H5C_flash_incr__off;
    config.decr_mode = H5C_decr__off;
    if (H5Pset_mdc_config(fapl.get(), &config) < 0) return {};
    return fapl;
}

// A variable-length UTF-8 string type; invalid (not ok()) on failure.
Id text_type() {
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!type.ok() || H5Tset_size(type.get(), H5T_VARIABLE) < 0 || H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)
        return {};
    return type;
}

// An `events` row as it is handed to HDF5: the strings stay owned by the
// Event it was made from.
struct EventRow {
    std::uint64_t index;
    const char* kind;
    const char* text;
};

// The `events` rows' type: in the file the compound kv318.record writes
// (index uint64 LE at 0, kind and text variable-length UTF-8 strings at 8
// and 16, 24 bytes), in memory EventRow.
Id event_type(bool inFile) {
    const Id text = text_type();
    if (!text.ok()) return {};
    const std::size_t size = inFile ? 24 : sizeof(EventRow);
    Id type(H5Tcreate(H5T_COMPOUND, size), H5Tclose);
    const bool made = type.ok() &&
                      H5Tinsert(type.get(), "index", inFile ? 0 : HOFFSET(EventRow, index),
                                inFile ? H5T_STD_U64LE : H5T_NATIVE_UINT64) >= 0 &&
                      H5Tinsert(type.get(), "kind", inFile ? 8 : HOFFSET(EventRow, kind), text.get()) >= 0 &&
                      H5Tinsert(type.get(), "text", inFile ? 16 : HOFFSET(EventRow, text), text.get()) >= 0;
    return made ? std::move(type) : Id();
}

class Hdf5Store : public SampleStore {
public:
    Hdf5Store(Id file, std::string path, unsigned lastRun, std::uint64_t splitSamples, bool compress, RoomFor room)
        : file_(std::move(file)),
          path_(std::move(path)),
          room_(std::move(room)),
          nextRun_(lastRun + 1),
          split_(splitSamples),
          compress_(compress) {}

    bool begin(const Recording& recording, std::uint64_t firstIndex) override {
        quiet_errors();
        recording_ = recording;
        next_ = firstIndex;
        return open_group();
    }

    bool append(const std::int16_t* codes, std::size_t count) override {
        quiet_errors();
        if (broken_) return false;
        if (!compress_) return store_codes(codes, count);
        if (!dataset_.ok()) return fail("write to a run that has ended");
        held_.insert(held_.end(), codes, codes + count);
        return true;
    }

    void note_event(std::uint64_t index, const std::string& kind, const std::string& text) override {
        events_.push_back({index, kind, text});
    }

    bool checkpoint() override {
        quiet_errors();
        if (!file_.ok()) return fail("write to a file that is closed");
        if (broken_) return false;
        if (!held_.empty()) {
            // Taken out first: a group the split opens on the way
            // checkpoints too.
            std::vector<std::int16_t> codes;
            codes.swap(held_);
            if (!store_codes(codes.data(), codes.size())) return false;
        }
        // The samples and the events reach the disk before the count that
        // claims them: a write the disk refuses then leaves the count of the
        // last flush, which the samples on the disk bear out.
        if (dataset_.ok() && H5Dflush(dataset_.get()) < 0) return fail_writing("write the samples");
        if (!write_events(next_, false)) return fail_writing("write the events");
        if (eventSet_.ok() && H5Dflush(eventSet_.get()) < 0) return fail_writing("write the events");
        if (group_.ok() && !put_u64(group_.get(), "samples_written", inGroup_))
            return fail_writing("write the attribute samples_written");
        if (H5Fflush(file_.get(), H5F_SCOPE_GLOBAL) < 0) return fail_writing("flush the file");
        durable_ = inGroup_;
        return true;
    }

    bool finish(const std::string& fifoNote) override {
        quiet_errors();
        if (!file_.ok()) return error_.empty();
        if (writeFailed_) {
            abandon();
            return false;
        }
        // A compressed run's codes first, so a split they make comes before
        // the events left, which all go to the last group.
        bool ok = checkpoint() && write_events(next_, true) && checkpoint();
        if (!ok) settle();
        // The FIFO's verdict holds for the samples kept, whatever came after.
        if (!fifoNote.empty()) {
            for (const std::string& name : names_) {
                const Id group(H5Gopen2(file_.get(), name.c_str(), H5P_DEFAULT), H5Gclose);
                if (!group.ok() || !put_text(group.get(), "fifo", fifoNote)) {
                    ok = fail("write the attribute fifo of " + name);
                    break;
                }
            }
        }
        events_.clear();
        dataset_.reset();
        eventSet_.reset();
        group_.reset();
        if (!file_.reset() && ok) ok = fail("close the file");
        return ok;
    }

    std::string error() const override { return error_; }
    std::uint64_t appended() const override { return appended_; }

    std::string groups() const override {
        if (names_.empty()) return {};
        return names_.size() == 1 ? names_.front() : names_.front() + " to " + names_.back();
    }

private:
    struct Event {
        std::uint64_t index;
        std::string kind;
        std::string text;
    };

    // Writes the codes to the current group, going on in the next one
    // whenever a split fills it.
    bool store_codes(const std::int16_t* codes, std::size_t count) {
        while (count > 0) {
            if (!dataset_.ok()) return fail("write to a run that has ended");
            if (split_ > 0 && inGroup_ == split_ && !(close_group() && open_group())) return false;
            hsize_t n = count;
            if (split_ > 0 && n > split_ - inGroup_) n = split_ - inGroup_;
            if (!room_for(n)) return false;
            hsize_t size = inGroup_ + n;
            if (H5Dset_extent(dataset_.get(), &size) < 0) return fail("extend the samples dataset");
            const Id fileSpace(H5Dget_space(dataset_.get()), H5Sclose);
            const Id memorySpace(H5Screate_simple(1, &n, nullptr), H5Sclose);
            hsize_t start = inGroup_;
            if (!fileSpace.ok() || !memorySpace.ok() ||
                H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, &start, nullptr, &n, nullptr) < 0 ||
                H5Dwrite(dataset_.get(), H5T_NATIVE_INT16, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, codes) <
                    0) {
                // The extent must not claim codes that are not there.
                return fail_writing("write the samples");
            }
            inGroup_ += n;
            next_ += n;
            appended_ += n;
            codes += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // Keeps the first failure's words: what came after it followed from it.
    bool fail(const std::string& what) {
        const std::string reason = hdf5_reason();
        if (error_.empty()) error_ = "HDF5 could not " + what + (reason.empty() ? "" : ": " + reason);
        return false;
    }

    // A write or a flush failed (an I/O error, or a disk that something
    // else filled after room_for() looked).  Whatever HDF5 would write from
    // here on (the cut-back, an events row, the records a close flushes)
    // could land half-way and leave a file that no longer opens at all, so
    // nothing more is written: finish() lets go of the file unclosed, and
    // the disk keeps what the last flush put there, whole, its
    // samples_written borne out by the samples (checkpoint() writes them
    // first).  The counts go back to that flush; the words say where the
    // file ends, since it cannot say so itself.
    bool fail_writing(const std::string& what) {
        fail(what);
        writeFailed_ = true;
        if (broken_) return false;
        broken_ = true;
        const std::uint64_t lost = inGroup_ - durable_;
        inGroup_ = durable_;
        next_ -= lost;
        appended_ -= lost;
        held_.clear();
        error_ += " (the disk refused a write, so the file ends where its last flush left it, " +
                  std::to_string(durable_) + " samples into " + (names_.empty() ? "its run" : names_.back()) +
                  ", with no events row for this failure)";
        hdf5_reason();
        return false;
    }

    // Whether the file may grow by what `n` more codes of the group could
    // take: every chunk written since the last flush (the flush allots
    // those that were held in memory), whole, and the room the file's own
    // records need.  When not, the run ends here, whole (see fail_writing).
    bool room_for(hsize_t n) {
        if (!room_) return true;
        const std::uint64_t chunkBytes = chunk_ * sizeof(std::int16_t);
        const std::uint64_t chunks = (inGroup_ + n + chunk_ - 1) / chunk_ - durable_ / chunk_;
        // A compressed chunk that grows moves, its old place free later.
        const std::uint64_t need = (chunks + (compress_ ? 1 : 0)) * chunkBytes + kReservedBytes;
        const std::uint64_t room = room_(path_);
        if (room >= need) return true;
        error_ = "there is no room for more samples on its disk (" + megabytes(room) + " free, less than the " +
                 megabytes(need) + " the next samples and the file's own records need)";
        broken_ = true;
        held_.clear();
        end_here();
        return false;
    }

    void abandon() {
        dataset_.abandon();
        eventSet_.abandon();
        group_.abandon();
        file_.abandon();
    }

    // The events row that says why the recording ends at the next code.
    void end_here() {
        events_.push_back(
            {next_, "error", error_ + "; the recording ends here, the samples after it were not written"});
    }

    // After a failure: one attempt to put the cut-back run on the disk, its
    // events with it.  What fails here was said by the first failure.
    void settle() {
        if (group_.ok()) {
            write_events(next_, true);
            put_u64(group_.get(), "samples_written", inGroup_);
        }
        H5Fflush(file_.get(), H5F_SCOPE_GLOBAL);
        hdf5_reason();
    }

    // Writes the events held to the current group's `events` dataset: those
    // at or before sample `upTo`, or all of them when `all`.  They stay in the order
    // noted.
    bool write_events(std::uint64_t upTo, bool all) {
        std::vector<EventRow> rows;
        std::size_t taken = 0;
        while (taken < events_.size() && (all || events_[taken].index <= upTo)) {
            rows.push_back({events_[taken].index, events_[taken].kind.c_str(), events_[taken].text.c_str()});
            ++taken;
        }
        if (rows.empty()) return true;
        if (!eventSet_.ok()) return fail("write events to a run that has ended");
        const Id memoryType = event_type(false);
        const Id fileSpaceNow(H5Dget_space(eventSet_.get()), H5Sclose);
        hsize_t start = 0;
        if (!memoryType.ok() || !fileSpaceNow.ok() ||
            H5Sget_simple_extent_dims(fileSpaceNow.get(), &start, nullptr) < 0)
            return fail("read the extent of the events dataset");
        hsize_t n = rows.size();
        hsize_t size = start + n;
        if (H5Dset_extent(eventSet_.get(), &size) < 0) return fail("extend the events dataset");
        const Id fileSpace(H5Dget_space(eventSet_.get()), H5Sclose);
        const Id memorySpace(H5Screate_simple(1, &n, nullptr), H5Sclose);
        if (!fileSpace.ok() || !memorySpace.ok() ||
            H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, &start, nullptr, &n, nullptr) < 0 ||
            H5Dwrite(eventSet_.get(), memoryType.get(), memorySpace.get(), fileSpace.get(), H5P_DEFAULT, rows.data()) <
                0) {
            H5Dset_extent(eventSet_.get(), &start);
            return fail("write the events");
        }
        events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(taken));
        return true;
    }

    bool close_group() {
        // The events before the group's end are this group's; one at its
        // end goes with the sample after it, to the next group.
        if (next_ > 0 && !write_events(next_ - 1, false)) return false;
        const bool ok = put_u64(group_.get(), "samples_written", inGroup_);
        eventSet_.reset();
        dataset_.reset();
        group_.reset();
        return ok || fail("write the attribute samples_written");
    }

    bool open_group() {
        char name[32];
        std::snprintf(name, sizeof name, "/%s%04u", kGroupPrefix, nextRun_);
        group_ = Id(H5Gcreate2(file_.get(), name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        if (!group_.ok()) return fail(std::string("make the group ") + name);
        ++nextRun_;
        names_.emplace_back(name);
        inGroup_ = 0;
        durable_ = 0;
        const Recording& r = recording_;
        const double rate = static_cast<double>(r.clockHz) / (r.divider == 0 ? 1 : r.divider);
        std::string description;
        for (const std::string& line : describe(r)) description += (description.empty() ? "" : "\n") + line;
        const hid_t g = group_.get();
        // volts = code x volts_per_code + volts_offset, the shared rule.
        const bool described =
            put_u64(g, "clock_hz", r.clockHz) && put_u32(g, "divider", r.divider) &&
            put_f64(g, "sample_rate_hz", rate) && put_f64(g, "volts_per_code", units::kVoltsPerCode) &&
            put_f64(g, "volts_offset", units::code_volts(0)) && put_u64(g, "first_index", next_) &&
            put_text(g, "started_utc", r.startUtc) && put_i32(g, "board", r.board) && put_text(g, "tool", r.tool) &&
            put_text(g, "description", description) && put_u64(g, "samples_written", 0);
        if (!described) return fail(std::string("write the attributes of ") + name);
        if (r.triggered && !describe_trigger(g, r.trigger))
            return fail(std::string("write the trigger's attributes of ") + name);

        hsize_t empty = 0;
        hsize_t unlimited = H5S_UNLIMITED;
        const Id space(H5Screate_simple(1, &empty, &unlimited), H5Sclose);
        const Id create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
        const Id access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
        hsize_t chunk = chunk_samples(rate);
        chunk_ = chunk;
        // Room for a few chunks, so a partial chunk is filled in memory
        // rather than read back from the disk for every write.
        const std::size_t cacheBytes = 4 * sizeof(std::int16_t) * chunk;
        // Shuffle before deflate, as h5py orders them: the high bytes of
        // neighbouring codes, which change little, come together.
        const bool filtered =
            !compress_ || (H5Pset_shuffle(create.get()) >= 0 && H5Pset_deflate(create.get(), kDeflateLevel) >= 0);
        if (!space.ok() || !create.ok() || !access.ok() || H5Pset_chunk(create.get(), 1, &chunk) < 0 || !filtered ||
            H5Pset_chunk_cache(access.get(), H5D_CHUNK_CACHE_NSLOTS_DEFAULT, cacheBytes, H5D_CHUNK_CACHE_W0_DEFAULT) <
                0)
            return fail("lay out the samples dataset");
        dataset_ =
            Id(H5Dcreate2(g, "samples", H5T_STD_I16LE, space.get(), H5P_DEFAULT, create.get(), access.get()), H5Dclose);
        if (!dataset_.ok()) return fail(std::string("make the dataset samples in ") + name);
        // Made empty in every group, so a reader finds it whether or not
        // anything happened.
        const Id eventSpace(H5Screate_simple(1, &empty, &unlimited), H5Sclose);
        const Id eventCreate(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
        const Id eventFileType = event_type(true);
        hsize_t eventChunk = kEventChunk;
        if (!eventSpace.ok() || !eventCreate.ok() || !eventFileType.ok() ||
            H5Pset_chunk(eventCreate.get(), 1, &eventChunk) < 0)
            return fail("lay out the events dataset");
        eventSet_ = Id(
            H5Dcreate2(g, "events", eventFileType.get(), eventSpace.get(), H5P_DEFAULT, eventCreate.get(), H5P_DEFAULT),
            H5Dclose);
        if (!eventSet_.ok()) return fail(std::string("make the dataset events in ") + name);
        // The new group reaches the disk before any sample, so the space
        // its making set free is never taken while the file on disk still
        // points there.
        return checkpoint();
    }

    Id file_;
    std::string path_;
    RoomFor room_;
    hsize_t chunk_ = kMinChunkSamples;  // the current group's samples a chunk
    Id group_;
    Id dataset_;
    Id eventSet_;
    Recording recording_;
    unsigned nextRun_;
    std::uint64_t split_;
    bool compress_;
    std::vector<std::int16_t> held_;  // a compressed run's codes until the next checkpoint
    std::vector<Event> events_;       // noted, not yet written
    std::uint64_t next_ = 0;          // the run's number of the next code
    std::uint64_t inGroup_ = 0;       // codes in the current group
    std::uint64_t appended_ = 0;
    bool writeFailed_ = false;
    std::uint64_t durable_ = 0;  // codes of the current group on the disk at the last flush
    bool broken_ = false;        // a write failed: the run takes no more codes
    std::vector<std::string> names_;
    std::string error_;
};

}  // namespace

bool hdf5_available() { return true; }

std::string hdf5_output_problem(bool toStdout) {
    if (toStdout) return "an HDF5 recording needs a file it can seek in, not standard output: use -o FILE.h5";
    return {};
}

std::uint64_t disk_room(const std::string& path) {
    std::uint64_t room = UINT64_MAX;
    struct statvfs disk {};
    if (::statvfs(path.c_str(), &disk) == 0) room = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    // A limit on a file's size (ulimit -f) refuses a write past it as a
    // full disk would.
    struct rlimit limit {};
    struct stat file {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && ::stat(path.c_str(), &file) == 0) {
        const auto size = static_cast<std::uint64_t>(file.st_size);
        const auto most = static_cast<std::uint64_t>(limit.rlim_cur);
        room = std::min(room, most > size ? most - size : 0);
    }
    return room;
}

std::unique_ptr<SampleStore> open_hdf5_store(const std::string& path, std::uint64_t splitSamples, std::string* error,
                                             bool compress, RoomFor room) {
    // A file whose close failed (its last write did not fit) stays in
    // HDF5's table, and HDF5's own clean-up at exit would close it again
    // and crash: the files are closed here, so that clean-up is not needed.
    // It must be asked for before HDF5 starts, so first of all.
    static const bool noCleanUp = H5dont_atexit() >= 0;
    (void)noCleanUp;
    quiet_errors();
    const Id fapl = access_list();
    if (!fapl.ok()) {
        *error = "HDF5 could not set up file access";
        return nullptr;
    }
    long size = -1;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
        std::fclose(f);
    }
    Id file;
    unsigned lastRun = 0;
    if (size > 0) {
        if (H5Fis_hdf5(path.c_str()) <= 0) {
            *error =
                "it exists and is not an HDF5 file, so it was left unchanged: HDF5 runs are only appended to "
                "HDF5 files; choose another name";
            return nullptr;
        }
        file = Id(H5Fopen(path.c_str(), H5F_ACC_RDWR, fapl.get()), H5Fclose);
        if (!file.ok()) {
            *error = "HDF5 could not open it to append a run (read-only, or another program has it open?)";
            return nullptr;
        }
        if (!last_run(file.get(), &lastRun)) {
            *error = "HDF5 could not list its groups";
            return nullptr;
        }
    } else {
        // A new file, or an empty one, which holds nothing to keep.
        errno = 0;
        file = Id(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()), H5Fclose);
        if (!file.ok()) {
            *error = errno != 0 ? std::strerror(errno) : "HDF5 could not create it";
            return nullptr;
        }
    }
    return std::make_unique<Hdf5Store>(std::move(file), path, lastRun, splitSamples, compress, std::move(room));
}

}  // namespace kv318::pipeline
