// The Linux loader: dlopen of the library file by name, dlsym by exported
// name.
#pragma once

#include <string>
#include <vector>

#include "lazy_binding.h"

namespace kv318::qt {

class DlLoader final : public panel::Loader {
public:
    // `dirs` are tried first, in order (normally the executable's own
    // directory); then the bare file name, which the dynamic loader looks up
    // on the library path.
    explicit DlLoader(std::vector<std::string> dirs);

    // The library stays loaded until the process ends: its functions stay
    // bound, and a running acquisition timer may still be inside it.
    bool load(const std::string& file, std::string& reason) override;
    panel::Proc find(const char* name) override;

private:
    std::vector<std::string> dirs_;
    void* handle_ = nullptr;
};

}  // namespace kv318::qt
