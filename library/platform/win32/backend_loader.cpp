// The served boards' library on Windows: KV318Remote.dll beside KV318.dll
// first, so an unpacked zip or a wheel finds its own copy, then by the
// system's search order.  LOAD_WITH_ALTERED_SEARCH_PATH lets the DLLs it
// needs (ZeroMQ's) be found in its own directory too.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "backend.h"

namespace kv318 {
namespace {

constexpr wchar_t kFile[] = L"KV318Remote.dll";

// The full path of KV318Remote.dll in KV318.dll's directory, or false when
// the system cannot name that directory.
bool path_beside_library(wchar_t* path, DWORD capacity) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&platform_backend_service), &self))
        return false;
    const DWORD n = GetModuleFileNameW(self, path, capacity);
    if (n == 0 || n >= capacity) return false;
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (slash == nullptr) return false;
    const std::size_t room = capacity - static_cast<std::size_t>(slash + 1 - path);
    if (std::wcslen(kFile) + 1 > room) return false;
    std::wcscpy(slash + 1, kFile);
    return true;
}

class Win32BackendService final : public BackendService {
public:
    const KV318_BACKEND_OPS* load_served(char* why, std::size_t size) override {
        wchar_t path[MAX_PATH];
        HMODULE module = nullptr;
        DWORD besideError = ERROR_PATH_NOT_FOUND;
        if (path_beside_library(path, MAX_PATH)) {
            module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (module == nullptr) besideError = GetLastError();
        }
        if (module == nullptr) module = LoadLibraryW(kFile);
        if (module == nullptr) {
            std::snprintf(why, size,
                          "KV318Remote.dll was found neither beside KV318.dll (error %lu) nor on the DLL search path "
                          "(error %lu)",
                          static_cast<unsigned long>(besideError), static_cast<unsigned long>(GetLastError()));
            return nullptr;
        }
        const FARPROC entry = GetProcAddress(module, KV318_BACKEND_ENTRY);
        if (entry == nullptr) {
            std::snprintf(why, size, "KV318Remote.dll has no %s", KV318_BACKEND_ENTRY);
            return nullptr;
        }
        const auto fn = reinterpret_cast<KV318_BACKEND_ENTRY_FN>(reinterpret_cast<void*>(entry));
        const KV318_BACKEND_OPS* ops = fn();
        if (ops == nullptr) std::snprintf(why, size, "KV318Remote.dll gave no table");
        return ops;
    }

    // GetEnvironmentVariableA, not getenv: the C runtime's copy misses what
    // a program set with SetEnvironmentVariable after it started.
    bool environment(const char* name, std::string* value) override {
        value->clear();
        const DWORD need = GetEnvironmentVariableA(name, nullptr, 0);
        if (need == 0) return false;
        value->resize(need);
        const DWORD n = GetEnvironmentVariableA(name, &(*value)[0], need);
        if (n == 0 || n >= need) {
            value->clear();
            return false;
        }
        value->resize(n);
        return true;
    }
};

}  // namespace

BackendService& platform_backend_service() {
    static Win32BackendService service;
    return service;
}

}  // namespace kv318
