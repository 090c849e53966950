// The served boards' library on Linux: libKV318-remote.so.N (N the
// library's major version) beside libKV318 itself first, so an unpacked
// build or a wheel finds its own copy, then wherever the dynamic linker
// looks.  Loaded with RTLD_LOCAL, so its ZeroMQ never mixes with a
// program's own symbols.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend.h"

namespace kv318 {
namespace {

#define KV318_STRINGIFY2(x) #x
#define KV318_STRINGIFY(x) KV318_STRINGIFY2(x)
constexpr char kFile[] = "libKV318-remote.so." KV318_STRINGIFY(KV318_VERSION_MAJOR);

// The directory of the object this code was linked into, with its slash,
// or "" when the dynamic linker cannot say.
std::string own_directory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&platform_backend_service), &info) == 0 || info.dli_fname == nullptr)
        return std::string();
    const char* slash = std::strrchr(info.dli_fname, '/');
    return slash == nullptr ? std::string()
                            : std::string(info.dli_fname, static_cast<std::size_t>(slash - info.dli_fname) + 1);
}

class LinuxBackendService final : public BackendService {
public:
    const KV318_BACKEND_OPS* load_served(char* why, std::size_t size) override {
        const std::string beside = own_directory() + kFile;
        void* module = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
        std::string first;
        if (module == nullptr) {
            const char* e = ::dlerror();
            first = e != nullptr ? e : beside;
            module = ::dlopen(kFile, RTLD_NOW | RTLD_LOCAL);
        }
        if (module == nullptr) {
            const char* e = ::dlerror();
            std::snprintf(why, size, "%s was found neither beside libKV318 (%s) nor by the dynamic linker (%s)", kFile,
                          first.c_str(), e != nullptr ? e : "not found");
            return nullptr;
        }
        void* entry = ::dlsym(module, KV318_BACKEND_ENTRY);
        if (entry == nullptr) {
            std::snprintf(why, size, "%s has no %s", kFile, KV318_BACKEND_ENTRY);
            return nullptr;
        }
        // POSIX makes a data pointer from dlsym callable as the function it names.
        const auto fn = reinterpret_cast<KV318_BACKEND_ENTRY_FN>(entry);
        const KV318_BACKEND_OPS* ops = fn();
        if (ops == nullptr) std::snprintf(why, size, "%s gave no table", kFile);
        return ops;
    }

    bool environment(const char* name, std::string* value) override {
        const char* v = std::getenv(name);
        *value = v != nullptr ? v : "";
        return v != nullptr;
    }
};

}  // namespace

BackendService& platform_backend_service() {
    static LinuxBackendService service;
    return service;
}

}  // namespace kv318
