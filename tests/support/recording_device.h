// An in-process device service for tests.  It keeps every byte the library
// sends and answers from a script: replies queued in order, then a handler
// for everything else.  Thread-safe, so a timer thread may use it too.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device_service.h"

namespace kv318::test {

struct Request {
    Handle handle;
    std::uint32_t code;
    std::vector<std::uint8_t> in;
    std::uint32_t outCap;
};

struct Reply {
    bool ok = true;
    std::vector<std::uint8_t> data;  // copied to the caller, cut at its capacity

    static Reply fail() { return Reply{false, {}}; }
    static Reply bytes(std::vector<std::uint8_t> d) { return Reply{true, std::move(d)}; }
};

class RecordingDevice final : public DeviceService {
public:
    // Installs itself as the library's device service; the destructor restores the platform's.
    RecordingDevice();
    ~RecordingDevice() override;

    // ---- scripting (any thread) ----
    void queue(Reply r);                                       // next request gets r
    void set_handler(std::function<Reply(const Request&)> h);  // after the queue runs dry
    void set_open_result(Handle h);                            // what open returns (default 0x7C)
    void set_close_result(std::int32_t r);
    // What last_request_fault answers after a failed request or close
    // (default Refused), and what open_failure answers (default "").
    void set_request_fault(RequestFault f);
    void set_open_failure(std::string why);
    // Called after each sleep_ms with the number of sleeps recorded so far,
    // outside the device's lock, on the sleeping thread.
    void set_sleep_hook(std::function<void(std::size_t)> hook);

    // ---- what was sent ----
    std::vector<Request> requests() const;
    std::vector<std::string> opened() const;
    std::vector<Handle> closed() const;
    std::vector<std::uint32_t> sleeps() const;
    std::size_t request_count() const;
    void clear();
    // Waits until at least n requests were made; false after the deadline.
    bool wait_for_requests(std::size_t n, int timeoutMs = 10000) const;

    // ---- the clock the library reads (now_ms, now_us) ----
    // It starts at 0 and moves only by the library's sleep_ms calls and by
    // advance_ms or advance_us (a handler may call them to make a reply take
    // time), so a test sees the library's time bounds and the drain
    // statistics' gaps exactly and never waits for them.
    void advance_ms(std::uint64_t ms);
    void advance_us(std::uint64_t us);

    // ---- DeviceService ----
    Handle open(const char* name) override;
    bool ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
               std::uint32_t outCap, std::uint32_t* returned) override;
    std::int32_t close(Handle h) override;
    void sleep_ms(std::uint32_t ms) override;
    std::uint64_t now_ms() override;
    std::uint64_t now_us() override;
    RequestFault last_request_fault() override;
    const char* open_failure() override;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Reply> script_;
    std::function<Reply(const Request&)> handler_;
    std::function<void(std::size_t)> sleepHook_;
    Handle openResult_ = 0x7C;
    std::int32_t closeResult_ = 0;
    RequestFault fault_ = RequestFault::Refused;
    std::string openFailure_;
    std::vector<Request> requests_;
    std::vector<std::string> opened_;
    std::vector<Handle> closed_;
    std::vector<std::uint32_t> sleeps_;
    std::uint64_t clockUs_ = 0;
};

// Expected input bytes of a command request, for byte-for-byte checks.
std::vector<std::uint8_t> command_bytes(std::uint8_t code, std::uint8_t v0 = 0, std::uint8_t v1 = 0,
                                        std::uint8_t v2 = 0);

// A reply holding one register value, as the board answers 0x80 and 0x81.
Reply register_reply(std::uint32_t value);

// Decoded register traffic: one entry per command request, in order.
struct RegOp {
    std::uint8_t code;  // 0x80, 0x81, 0x90, 0x91, 0x8E
    std::uint8_t reg;
    std::uint32_t value;  // written value for 0x90/0x91
    bool operator==(const RegOp&) const = default;
};
std::vector<RegOp> register_ops(const std::vector<Request>& requests);

}  // namespace kv318::test
