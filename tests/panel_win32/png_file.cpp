#include "png_file.h"

#include <windows.h>

#include "png_writer.h"

namespace kv318::test {

bool write_png(const std::wstring& path, int width, int height, const std::vector<std::uint8_t>& rgb) {
    // The scope's encoder; its tests read its output back pixel by pixel.
    const std::vector<std::uint8_t> file = kv318::scope::encode_png(width, height, rgb);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == file.size();
}

}  // namespace kv318::test
