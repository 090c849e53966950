#include "library_loader.h"

#include "text.h"

namespace kv318::panel {

bool LibraryLoader::load(const std::string& file, std::string& reason) {
    // No system dialog about a missing file: the panel says it itself.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    module_ = LoadLibraryA(file.c_str());
    const DWORD error = GetLastError();
    SetErrorMode(oldMode);
    if (module_ != nullptr) return true;
    reason = win32::system_error_text(error);
    return false;
}

Proc LibraryLoader::find(const char* name) {
    if (module_ == nullptr) return nullptr;
    // Any function pointer type converts to void (*)() and back; the
    // binding casts it to the export's real stdcall type before calling.
    return reinterpret_cast<Proc>(GetProcAddress(module_, name));
}

}  // namespace kv318::panel
