// The Windows device service: the board's kernel-mode driver, reached with
// CreateFileA and DeviceIoControl.
#include <windows.h>

#include "device_service.h"

namespace kv318 {
namespace {

HANDLE to_os(Handle h) {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(h));
}

class KernelService final : public DeviceService {
public:
    Handle open(const char* name) override {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
        return static_cast<Handle>(reinterpret_cast<INT_PTR>(h));
    }

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        DWORD got = 0;
        const BOOL ok = DeviceIoControl(to_os(h), code, const_cast<std::uint8_t*>(in), inLen, out, outCap, &got,
                                        nullptr);
        if (!ok) {
            *returned = 0;
            return false;
        }
        *returned = got > outCap ? outCap : got;
        return true;
    }

    std::int32_t close(Handle h) override {
        return CloseHandle(to_os(h)) ? 0 : -1;
    }

    void sleep_ms(std::uint32_t ms) override {
        Sleep(ms);
    }
};

}  // namespace

DeviceService& platform_device_service() {
    static KernelService* service = new KernelService;
    return *service;
}

}  // namespace kv318
