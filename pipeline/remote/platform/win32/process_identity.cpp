#include "process_identity.h"

#include <windows.h>

#include <vector>

namespace kv318::remote {

std::uint64_t this_process_id() { return GetCurrentProcessId(); }

std::string this_host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || name[0] == '\0') return "localhost";
    return name;
}

std::string this_program_name() {
    // Long paths need more than MAX_PATH: grow until the name fits.
    std::vector<wchar_t> path(MAX_PATH);
    DWORD n = 0;
    while ((n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size() &&
           path.size() < 32768) {
        path.resize(path.size() * 2);
    }
    if (n == 0 || n == path.size()) return "program";
    std::wstring name(path.data(), n);
    if (const std::size_t slash = name.find_last_of(L"\\/"); slash != std::wstring::npos) name.erase(0, slash + 1);
    if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) name.resize(name.size() - 4);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return "program";
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace kv318::remote
