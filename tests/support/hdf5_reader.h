// An HDF5 recording read back with HDF5's own API, independent of the
// writer's code: its run groups, a group's samples (their layout checked),
// attributes and events.  For the tests of every program that writes one.
#pragma once

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kv318::test {

class Hdf5Reader {
public:
    explicit Hdf5Reader(const std::string& path) : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
    ~Hdf5Reader() {
        if (file_ >= 0) H5Fclose(file_);
    }
    Hdf5Reader(const Hdf5Reader&) = delete;
    Hdf5Reader& operator=(const Hdf5Reader&) = delete;
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

    struct Event {
        std::uint64_t index;
        std::string kind, text;
        bool operator==(const Event& o) const { return index == o.index && kind == o.kind && text == o.text; }
    };

    // A group's `events` rows, its layout checked against the one
    // kv318.record writes: 1-D, unlimited, chunks of 64 rows, a 24-byte
    // compound of index (uint64 LE at 0), kind and text (variable-length
    // UTF-8 strings at 8 and 16).
    std::vector<Event> events(const std::string& group) const {
        const hid_t d = H5Dopen2(file_, (group + "/events").c_str(), H5P_DEFAULT);
        EXPECT_GE(d, 0) << group << " has no events dataset";
        if (d < 0) return {};
        const hid_t space = H5Dget_space(d);
        hsize_t size = 0, max = 0;
        EXPECT_EQ(H5Sget_simple_extent_ndims(space), 1);
        H5Sget_simple_extent_dims(space, &size, &max);
        EXPECT_EQ(max, H5S_UNLIMITED);
        const hid_t create = H5Dget_create_plist(d);
        hsize_t chunk = 0;
        EXPECT_EQ(H5Pget_chunk(create, 1, &chunk), 1);
        EXPECT_EQ(chunk, 64u);
        const hid_t type = H5Dget_type(d);
        EXPECT_EQ(H5Tget_class(type), H5T_COMPOUND);
        EXPECT_EQ(H5Tget_size(type), 24u);
        EXPECT_EQ(H5Tget_nmembers(type), 3);
        const char* names[] = {"index", "kind", "text"};
        for (unsigned i = 0; i < 3 && H5Tget_nmembers(type) == 3; ++i) {
            char* name = H5Tget_member_name(type, i);
            EXPECT_STREQ(name, names[i]);
            H5free_memory(name);
            EXPECT_EQ(H5Tget_member_offset(type, i), 8u * i);
            const hid_t member = H5Tget_member_type(type, i);
            if (i == 0) {
                EXPECT_TRUE(H5Tequal(member, H5T_STD_U64LE) > 0);
            } else {
                EXPECT_EQ(H5Tget_class(member), H5T_STRING);
                EXPECT_TRUE(H5Tis_variable_str(member) > 0);
                EXPECT_EQ(H5Tget_cset(member), H5T_CSET_UTF8);
            }
            H5Tclose(member);
        }
        struct Row {
            std::uint64_t index;
            char* kind;
            char* text;
        };
        const hid_t str = H5Tcopy(H5T_C_S1);
        H5Tset_size(str, H5T_VARIABLE);
        H5Tset_cset(str, H5T_CSET_UTF8);
        const hid_t memory = H5Tcreate(H5T_COMPOUND, sizeof(Row));
        H5Tinsert(memory, "index", HOFFSET(Row, index), H5T_NATIVE_UINT64);
        H5Tinsert(memory, "kind", HOFFSET(Row, kind), str);
        H5Tinsert(memory, "text", HOFFSET(Row, text), str);
        std::vector<Row> rows(size);
        std::vector<Event> out;
        if (size > 0 && H5Dread(d, memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, rows.data()) >= 0) {
            for (Row& r : rows) {
                out.push_back({r.index, r.kind != nullptr ? r.kind : "", r.text != nullptr ? r.text : ""});
                H5free_memory(r.kind);
                H5free_memory(r.text);
            }
        }
        H5Tclose(memory);
        H5Tclose(str);
        H5Tclose(type);
        H5Pclose(create);
        H5Sclose(space);
        H5Dclose(d);
        return out;
    }

    // The filters of a group's `samples` dataset, in pipeline order, each
    // with its first parameter (the deflate level).
    std::vector<std::pair<H5Z_filter_t, unsigned>> filters(const std::string& group) const {
        const hid_t d = H5Dopen2(file_, (group + "/samples").c_str(), H5P_DEFAULT);
        const hid_t create = H5Dget_create_plist(d);
        std::vector<std::pair<H5Z_filter_t, unsigned>> out;
        for (int i = 0; i < H5Pget_nfilters(create); ++i) {
            unsigned flags = 0, values[4] = {}, config = 0;
            std::size_t n = 4;
            char name[64];
            const H5Z_filter_t f =
                H5Pget_filter2(create, static_cast<unsigned>(i), &flags, &n, values, sizeof name, name, &config);
            out.emplace_back(f, n > 0 ? values[0] : 0);
        }
        H5Pclose(create);
        H5Dclose(d);
        return out;
    }

private:
    hid_t file_;
};

}  // namespace kv318::test
