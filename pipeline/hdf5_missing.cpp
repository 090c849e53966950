// SampleStore in a build without the HDF5 library (the Windows builds):
// an HDF5 output is refused before the board is touched.
#include "sample_store.h"

namespace kv318::pipeline {

bool hdf5_available() { return false; }

std::uint64_t disk_room(const std::string& /*path*/) { return UINT64_MAX; }

std::string hdf5_output_problem(bool /*toStdout*/) { return kHdf5Unavailable; }

std::unique_ptr<SampleStore> open_hdf5_store(const std::string& /*path*/, std::uint64_t /*splitSamples*/,
                                             std::string* error, bool /*compress*/, RoomFor /*room*/) {
    *error = kHdf5Unavailable;
    return nullptr;
}

}  // namespace kv318::pipeline
