// The panel's library loader on Windows: LoadLibraryA of the library file,
// GetProcAddress by exported name.  Its Linux twin has the same name and
// file.
#pragma once

#include <windows.h>

#include <string>

#include "lazy_binding.h"

namespace kv318::panel {

class LibraryLoader final : public Loader {
public:
    // The system's search order applies: the executable's own directory
    // first, then the system directories, the current directory and PATH.
    // On failure `reason` gets the system's text for the error.  The library
    // stays loaded until the process ends: its functions stay bound, and a
    // running acquisition timer may still be inside it.
    bool load(const std::string& file, std::string& reason) override;
    Proc find(const char* name) override;

private:
    HMODULE module_ = nullptr;
};

}  // namespace kv318::panel
