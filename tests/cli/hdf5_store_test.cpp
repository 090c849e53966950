// The HDF5 recording: samples written through the SampleWriter in uneven
// blocks and read back with HDF5's own API code by code, the group's
// attributes, a second run appended, a split run, a file that is not HDF5.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "recording.h"
#include "sample_store.h"
#include "sample_units.h"
#include "sample_writer.h"
#include "pipeline_names.h"

namespace kv318::cli::test {
namespace {

constexpr std::uint64_t kNear2To32 = (std::uint64_t{1} << 32) - 100;

// A temporary file name, removed at the end of the test.
struct TempPath {
    std::string path;
    explicit TempPath(const char* name) : path(std::string(::testing::TempDir()) + name) { std::remove(path.c_str()); }
    ~TempPath() { std::remove(path.c_str()); }
};

Recording a_recording() {
    Recording r;
    r.tool = "kv318-cli 9.8.7";
    r.board = 3;
    r.identity1 = "KV318 test board";
    r.identity2 = "SN 42";
    r.clockHz = 8'000'000;
    r.divider = 3;
    r.startUtc = "2026-12-08T10:11:12Z";
    return r;
}

// Sample i of a test stream: every bit pattern of a 16-bit word comes by.
std::int32_t sample_of(std::uint64_t i) { return static_cast<std::int16_t>((i * 40503u + 7u) & 0xFFFFu); }

// Writes samples from..from+count-1 in blocks of the sizes given, over and
// over, checkpointing between some of them, and finishes with `note`.
void write_run(SampleStore& store, std::uint64_t from, std::size_t count, const std::string& note) {
    SampleWriter w(store, 8'000'000, 3);
    w.describe(a_recording());
    w.count_from(from);
    ASSERT_TRUE(w.begin()) << w.error();
    const std::size_t blocks[] = {1, 7, 65'535, 3, 65'537, 100'000, 2};
    std::vector<std::int32_t> samples;
    std::size_t done = 0;
    for (std::size_t b = 0; done < count; ++b) {
        const std::size_t n = std::min(blocks[b % std::size(blocks)], count - done);
        samples.resize(n);
        for (std::size_t i = 0; i < n; ++i) samples[i] = sample_of(from + done + i);
        ASSERT_EQ(w.write(samples.data(), n), n) << w.error();
        done += n;
        if (b % 3 == 2) {
            ASSERT_TRUE(w.checkpoint()) << w.error();
        }
    }
    w.note_fifo(note);
    ASSERT_TRUE(w.finish()) << w.error();
    EXPECT_EQ(w.written(), from + count);
    EXPECT_FALSE(w.failed());
}

// Read back with the HDF5 API, independent of the writer's code.
class Reader {
public:
    explicit Reader(const std::string& path) : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
    ~Reader() {
        if (file_ >= 0) H5Fclose(file_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    bool ok() const { return file_ >= 0; }

    std::vector<std::string> groups() const {
        std::vector<std::string> names;
        H5G_info_t info{};
        H5Gget_info(file_, &info);
        for (hsize_t i = 0; i < info.nlinks; ++i) {
            char name[64] = {};
            H5Lget_name_by_idx(file_, ".", H5_INDEX_NAME, H5_ITER_INC, i, name, sizeof name, H5P_DEFAULT);
            names.emplace_back(name);
        }
        return names;
    }

    std::vector<std::int16_t> samples(const std::string& group) const {
        const hid_t d = H5Dopen2(file_, (group + "/samples").c_str(), H5P_DEFAULT);
        const hid_t space = H5Dget_space(d);
        hsize_t size = 0, max = 0;
        H5Sget_simple_extent_dims(space, &size, &max);
        EXPECT_EQ(max, H5S_UNLIMITED);
        const hid_t type = H5Dget_type(d);
        EXPECT_TRUE(H5Tequal(type, H5T_STD_I16LE) > 0);
        const hid_t create = H5Dget_create_plist(d);
        EXPECT_EQ(H5Pget_layout(create), H5D_CHUNKED);
        std::vector<std::int16_t> values(size);
        if (size > 0) H5Dread(d, H5T_NATIVE_INT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
        H5Pclose(create);
        H5Tclose(type);
        H5Sclose(space);
        H5Dclose(d);
        return values;
    }

    template <typename T>
    T number(const std::string& group, const char* name, hid_t memoryType, hid_t fileType) const {
        T value{};
        const hid_t a = H5Aopen_by_name(file_, group.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
        EXPECT_GE(a, 0) << group << " has no " << name;
        const hid_t type = H5Aget_type(a);
        EXPECT_TRUE(H5Tequal(type, fileType) > 0) << name;
        H5Aread(a, memoryType, &value);
        H5Tclose(type);
        H5Aclose(a);
        return value;
    }
    std::uint64_t u64(const std::string& g, const char* name) const {
        return number<std::uint64_t>(g, name, H5T_NATIVE_UINT64, H5T_STD_U64LE);
    }
    std::uint32_t u32(const std::string& g, const char* name) const {
        return number<std::uint32_t>(g, name, H5T_NATIVE_UINT32, H5T_STD_U32LE);
    }
    double f64(const std::string& g, const char* name) const {
        return number<double>(g, name, H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE);
    }

    bool has(const std::string& group, const char* name) const {
        return H5Aexists_by_name(file_, group.c_str(), name, H5P_DEFAULT) > 0;
    }

    std::string text(const std::string& group, const char* name) const {
        const hid_t a = H5Aopen_by_name(file_, group.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
        const hid_t type = H5Aget_type(a);
        char* value = nullptr;
        H5Aread(a, type, &value);
        std::string out = value != nullptr ? value : "";
        H5free_memory(value);
        H5Tclose(type);
        H5Aclose(a);
        return out;
    }

private:
    hid_t file_;
};

void expect_codes(const Reader& f, const std::string& group, std::uint64_t from, std::size_t count) {
    const std::vector<std::int16_t> codes = f.samples(group);
    ASSERT_EQ(codes.size(), count) << group;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t want = units::sample_code(sample_of(from + i));
        if (codes[i] != want) {
            ADD_FAILURE() << group << ": code " << i << " is " << codes[i] << ", expected " << want;
            return;
        }
    }
    EXPECT_EQ(f.u64(group, "first_index"), from) << group;
    EXPECT_EQ(f.u64(group, "samples_written"), count) << group;
}

TEST(Hdf5Store, RunsAreWrittenCodeByCodeAndAppendedAsNextGroups) {
    const TempPath file("hdf5_store_runs.h5");
    std::string why;
    {
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, kNear2To32, 200'003, "fifo: the first run's note");
        EXPECT_EQ(store->groups(), "/run_0001");
        EXPECT_EQ(store->appended(), 200'003u);
    }
    {
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, 0, 5, "fifo: the second run's note");
        EXPECT_EQ(store->groups(), "/run_0002");
    }
    const Reader f(file.path);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f.groups(), (std::vector<std::string>{"run_0001", "run_0002"}));
    expect_codes(f, "/run_0001", kNear2To32, 200'003);
    expect_codes(f, "/run_0002", 0, 5);

    EXPECT_EQ(f.u64("/run_0001", "clock_hz"), 8'000'000u);
    EXPECT_EQ(f.u32("/run_0001", "divider"), 3u);
    EXPECT_EQ(f.f64("/run_0001", "sample_rate_hz"), 8'000'000.0 / 3);
    EXPECT_EQ(f.f64("/run_0001", "volts_per_code"), units::kVoltsPerCode);
    EXPECT_EQ(f.f64("/run_0001", "volts_offset"), 0.0);
    EXPECT_EQ(f.text("/run_0001", "started_utc"), "2026-12-08T10:11:12Z");
    EXPECT_EQ(f.text("/run_0001", "tool"), "kv318-cli 9.8.7");
    std::string lines;
    for (const std::string& line : describe(a_recording())) lines += (lines.empty() ? "" : "\n") + line;
    EXPECT_EQ(f.text("/run_0001", "description"), lines);
    EXPECT_EQ(f.text("/run_0001", "fifo"), "fifo: the first run's note");
    EXPECT_EQ(f.text("/run_0002", "fifo"), "fifo: the second run's note");
}

TEST(Hdf5Store, ASplitRunGoesOnInNextGroupsWithoutLosingOrRepeatingASample) {
    const struct {
        std::uint64_t from;
        std::size_t count;
        std::uint64_t split;
        std::vector<std::size_t> groups;
    } cases[] = {
        {kNear2To32, 250'000, 100'000, {100'000, 100'000, 50'000}},
        {0, 200'000, 100'000, {100'000, 100'000}},  // ends exactly on a group's end: no empty group
        {7, 3, 1, {1, 1, 1}},
    };
    for (const auto& c : cases) {
        const TempPath file("hdf5_store_split.h5");
        std::string why;
        {
            auto store = open_hdf5_store(file.path, c.split, &why);
            ASSERT_NE(store, nullptr) << why;
            write_run(*store, c.from, c.count, "fifo: note");
        }
        const Reader f(file.path);
        const std::vector<std::string> names = f.groups();
        ASSERT_EQ(names.size(), c.groups.size()) << c.count;
        std::uint64_t first = c.from;
        for (std::size_t g = 0; g < names.size(); ++g) {
            EXPECT_EQ(names[g], "run_000" + std::to_string(g + 1));
            expect_codes(f, "/" + names[g], first, c.groups[g]);
            EXPECT_EQ(f.text("/" + names[g], "fifo"), "fifo: note") << "every group of the run gets the note";
            first += c.groups[g];
        }
    }
}

TEST(Hdf5Store, AFileThatIsNotHdf5IsRefusedAndLeftAsItWas) {
    const TempPath file("hdf5_store_notes.h5");
    const std::string notes = "my notes\nnot HDF5 at all\n";
    std::ofstream(file.path, std::ios::binary) << notes;
    std::string why;
    EXPECT_EQ(open_hdf5_store(file.path, 0, &why), nullptr);
    EXPECT_NE(why.find("is not an HDF5 file, so it was left unchanged"), std::string::npos) << why;
    std::ifstream in(file.path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), notes);

    // An empty file holds nothing to keep: it becomes the recording.
    const TempPath empty("hdf5_store_empty.h5");
    std::ofstream(empty.path, std::ios::binary).close();
    auto store = open_hdf5_store(empty.path, 0, &why);
    ASSERT_NE(store, nullptr) << why;
    write_run(*store, 0, 10, "");
    store.reset();
    const Reader f(empty.path);
    expect_codes(f, "/run_0001", 0, 10);
    EXPECT_FALSE(f.has("/run_0001", "fifo")) << "no note given, none written";
}

}  // namespace
}  // namespace kv318::cli::test
