// The device-service seam: the four operating-system services the library's
// logic needs to reach a board.  The core never calls the OS itself; the
// build links exactly one platform implementation (kernel driver on Windows,
// the driver channel on Linux), and tests install a recording substitute.
#pragma once

#include <cstdint>

#include "handle.h"

namespace kv318 {

class DeviceService {
public:
    virtual ~DeviceService() = default;

    // Opens the device published under `name` (NUL-terminated, such as
    // "\\.\KV318Device0") for reading and writing.  Any thread.
    // Returns the handle, or kInvalidHandle when no device answers.
    virtual Handle open(const char* name) = 0;

    // Issues one synchronous I/O-control request on `h`.  `in` holds inLen
    // bytes and `out` has room for outCap bytes; both are owned by the caller
    // and only used during the call.  Any thread; requests on one handle from
    // two threads are serialised, as a kernel driver serialises them.
    // Returns true on success with the driver's byte count in *returned,
    // never more than outCap.  Returns false on failure with *returned = 0;
    // `out` may then hold partial data.
    virtual bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                       std::uint32_t outCap, std::uint32_t* returned) = 0;

    // Closes `h`.  Returns 0, or -1 when the close fails.
    virtual std::int32_t close(Handle h) = 0;

    // Blocks the calling thread for about `ms` milliseconds.
    virtual void sleep_ms(std::uint32_t ms) = 0;

    // Milliseconds on a clock that never goes back, from an arbitrary
    // origin.  Any thread.  The drains bound how long they keep asking a
    // board by it.  This default reads the standard library's steady clock;
    // a test substitute may keep a clock of its own, so that a time bound is
    // seen exactly and without waiting.
    virtual std::uint64_t now_ms();

    // Microseconds on the same kind of clock, for the drain statistics'
    // gaps (drain_stats.h).  Any thread.  This default reads the steady
    // clock; the test substitute keeps its own, in step with now_ms.
    virtual std::uint64_t now_us();

    // What the last ioctl that failed on the calling thread came to.  Asked
    // right after that failure, on the same thread, before any other
    // request.  This default knows nothing more than that it failed.
    virtual RequestFault last_request_fault();

    // Why the last open that failed on the calling thread failed, as a
    // phrase for the user naming what was looked for ("no such board
    // (driver channel /run/user/1000/kv318/KV318Device3 not found)"), or ""
    // when the service cannot say.  Asked right after that failure, on the
    // same thread.  The text belongs to the service and stays valid until
    // the thread's next open.  This default says nothing.
    virtual const char* open_failure();
};

// The service in use: the platform's unless a test installed another.
DeviceService& device_service();

// Installs `service` (owned by the caller, who keeps it alive while it is
// installed); nullptr restores the platform's.  Meant for tests: call it
// while no other thread is inside the library.
void set_device_service(DeviceService* service);

// The build's platform implementation, defined by one file under platform/.
DeviceService& platform_device_service();

}  // namespace kv318
