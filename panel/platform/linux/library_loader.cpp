#include "library_loader.h"

#include <dlfcn.h>

#include <utility>

namespace kv318::panel {

LibraryLoader::LibraryLoader(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}

bool LibraryLoader::load(const std::string& file, std::string& reason) {
    for (const std::string& dir : dirs_) {
        std::string path = dir;
        path += "/";
        path += file;
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ != nullptr) return true;
    }
    // The reason given is the library path's, which names the file alone.
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) return true;
    const char* why = dlerror();
    reason = why != nullptr ? why : "";
    return false;
}

Proc LibraryLoader::find(const char* name) {
    if (handle_ == nullptr) return nullptr;
    void* sym = dlsym(handle_, name);
    return reinterpret_cast<Proc>(sym);
}

}  // namespace kv318::panel
