// The panel's library loader on Linux: dlopen of the library file by name,
// dlsym by exported name.  Its Windows twin has the same name and file.
#pragma once

#include <string>
#include <vector>

#include "lazy_binding.h"

namespace kv318::panel {

class LibraryLoader final : public Loader {
public:
    // `dirs` are tried first, in order (normally the executable's own
    // directory); then the bare file name, which the dynamic loader looks up
    // on the library path.
    explicit LibraryLoader(std::vector<std::string> dirs);

    // The library stays loaded until the process ends: its functions stay
    // bound, and a running acquisition timer may still be inside it.
    bool load(const std::string& file, std::string& reason) override;
    Proc find(const char* name) override;

private:
    std::vector<std::string> dirs_;
    void* handle_ = nullptr;
};

}  // namespace kv318::panel
