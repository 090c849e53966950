// The Windows device service: the board's kernel-mode driver, reached with
// CreateFileA and DeviceIoControl.  Where no driver publishes the device, a
// driver process (the board simulator) may serve it over a named pipe
// instead; pipe handles go to the pipe channel.
#include <windows.h>

#include "device_service.h"
#include "os_handle.h"
#include "pipe_channel.h"

namespace kv318 {
namespace {

using win32::from_os;
using win32::to_os;

class KernelService final : public DeviceService {
public:
    Handle open(const char* name) override {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return from_os(h);
        // Only a device nobody publishes falls back to the pipe.  A device
        // that exists but refuses us (in use, access denied) stays refused:
        // the real board wins over any simulator.
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return win32::pipe_open(name);
        return kInvalidHandle;
    }

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        if (win32::pipe_owns(h)) return win32::pipe_ioctl(h, code, in, inLen, out, outCap, returned);
        DWORD got = 0;
        const BOOL ok =
            DeviceIoControl(to_os(h), code, const_cast<std::uint8_t*>(in), inLen, out, outCap, &got, nullptr);
        if (!ok) {
            *returned = 0;
            return false;
        }
        *returned = got > outCap ? outCap : got;
        return true;
    }

    std::int32_t close(Handle h) override {
        if (win32::pipe_owns(h)) return win32::pipe_close(h);
        return CloseHandle(to_os(h)) ? 0 : -1;
    }

    void sleep_ms(std::uint32_t ms) override { Sleep(ms); }
};

}  // namespace

DeviceService& platform_device_service() {
    static KernelService* service = new KernelService;
    return *service;
}

}  // namespace kv318
