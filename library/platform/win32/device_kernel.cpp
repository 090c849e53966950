// The Windows device service: the board's kernel-mode driver, reached with
// CreateFileA and DeviceIoControl.  Where no driver publishes the device, a
// driver process (the board simulator) may serve it over a named pipe
// instead; pipe handles go to the pipe channel.
#include <windows.h>

#include <cstdio>

#include "channel_client.h"
#include "device_service.h"
#include "os_handle.h"
#include "pipe_channel.h"

namespace kv318 {
namespace {

using win32::from_os;
using win32::to_os;

// The calling thread's last failed request or close, and its last failed
// open's reason, for last_request_fault() and open_failure().  Written and
// read by that thread alone; plain data, so no thread runs a destructor of
// ours at its end.
thread_local RequestFault t_fault = RequestFault::Refused;
thread_local char t_openFailure[512];

// What a failed DeviceIoControl or CloseHandle on a kernel handle came to.
RequestFault kernel_fault(DWORD err) {
    switch (err) {
    case ERROR_INVALID_HANDLE:
        return RequestFault::NotOpen;
    case ERROR_DEVICE_NOT_CONNECTED:  // the board was unplugged
    case ERROR_DEV_NOT_EXIST:
    case ERROR_GEN_FAILURE:  // what a USB stack reports for a device gone mid-request
    case ERROR_NOT_READY:
        return RequestFault::Disconnected;
    default:
        return RequestFault::Refused;
    }
}

class KernelService final : public DeviceService {
public:
    Handle open(const char* name) override {
        t_openFailure[0] = '\0';
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return from_os(h);
        // Only a device nobody publishes falls back to the pipe.  A device
        // that exists but refuses us (in use, access denied) stays refused:
        // the real board wins over any simulator.
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            return win32::pipe_open(name, t_openFailure, sizeof t_openFailure);
        std::snprintf(t_openFailure, sizeof t_openFailure, "the device %s refused the open (Windows error %lu)", name,
                      static_cast<unsigned long>(err));
        return kInvalidHandle;
    }

    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override {
        if (win32::pipe_owns(h)) {
            if (win32::pipe_ioctl(h, code, in, inLen, out, outCap, returned)) return true;
            t_fault = ChannelHandles::last_fault();
            return false;
        }
        DWORD got = 0;
        const BOOL ok =
            DeviceIoControl(to_os(h), code, const_cast<std::uint8_t*>(in), inLen, out, outCap, &got, nullptr);
        if (!ok) {
            t_fault = kernel_fault(GetLastError());
            *returned = 0;
            return false;
        }
        *returned = got > outCap ? outCap : got;
        return true;
    }

    std::int32_t close(Handle h) override {
        if (win32::pipe_owns(h)) {
            if (win32::pipe_close(h) == 0) return 0;
            t_fault = ChannelHandles::last_fault();
            return -1;
        }
        if (CloseHandle(to_os(h))) return 0;
        t_fault = kernel_fault(GetLastError());
        return -1;
    }

    void sleep_ms(std::uint32_t ms) override { Sleep(ms); }

    RequestFault last_request_fault() override { return t_fault; }

    const char* open_failure() override { return t_openFailure; }
};

}  // namespace

DeviceService& platform_device_service() {
    static KernelService* service = new KernelService;
    return *service;
}

}  // namespace kv318
