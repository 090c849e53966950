#include "recording_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "requests.h"

namespace kv318::test {

RecordingDevice::RecordingDevice() { set_device_service(this); }

RecordingDevice::~RecordingDevice() { set_device_service(nullptr); }

void RecordingDevice::queue(Reply r) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(r));
}

void RecordingDevice::set_handler(std::function<Reply(const Request&)> h) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(h);
}

void RecordingDevice::set_open_result(Handle h) {
    std::lock_guard<std::mutex> lock(mutex_);
    openResult_ = h;
}

void RecordingDevice::set_close_result(std::int32_t r) {
    std::lock_guard<std::mutex> lock(mutex_);
    closeResult_ = r;
}

void RecordingDevice::set_request_fault(RequestFault f) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = f;
}

void RecordingDevice::set_open_failure(std::string why) {
    std::lock_guard<std::mutex> lock(mutex_);
    openFailure_ = std::move(why);
}

RequestFault RecordingDevice::last_request_fault() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fault_;
}

// The text stays valid until the next set_open_failure, which tests make
// on the thread that opens.
const char* RecordingDevice::open_failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return openFailure_.c_str();
}

std::vector<Request> RecordingDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> RecordingDevice::opened() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
}

std::vector<Handle> RecordingDevice::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

std::vector<std::uint32_t> RecordingDevice::sleeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
}

std::size_t RecordingDevice::request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void RecordingDevice::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    opened_.clear();
    closed_.clear();
    sleeps_.clear();
}

bool RecordingDevice::wait_for_requests(std::size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

Handle RecordingDevice::open(const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    opened_.emplace_back(name);
    return openResult_;
}

bool RecordingDevice::ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen,
                            std::uint8_t* out, std::uint32_t outCap, std::uint32_t* returned) {
    Request req{h, code, std::vector<std::uint8_t>(in, in + inLen), outCap};
    Reply reply;
    std::function<Reply(const Request&)> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
        if (!script_.empty()) {
            reply = std::move(script_.front());
            script_.pop_front();
        } else {
            handler = handler_;
        }
    }
    changed_.notify_all();
    if (handler) reply = handler(req);
    *returned = 0;
    if (!reply.ok) return false;
    const std::size_t n = std::min<std::size_t>(reply.data.size(), outCap);
    if (n > 0) std::memcpy(out, reply.data.data(), n);
    *returned = static_cast<std::uint32_t>(n);
    return true;
}

std::int32_t RecordingDevice::close(Handle h) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.push_back(h);
    return closeResult_;
}

void RecordingDevice::sleep_ms(std::uint32_t ms) {
    std::function<void(std::size_t)> hook;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps_.push_back(ms);
        clockUs_ += std::uint64_t{ms} * 1000;
        hook = sleepHook_;
        count = sleeps_.size();
    }
    if (hook) hook(count);
}

void RecordingDevice::set_sleep_hook(std::function<void(std::size_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    sleepHook_ = std::move(hook);
}

void RecordingDevice::advance_ms(std::uint64_t ms) { advance_us(ms * 1000); }

void RecordingDevice::advance_us(std::uint64_t us) {
    std::lock_guard<std::mutex> lock(mutex_);
    clockUs_ += us;
}

std::uint64_t RecordingDevice::now_ms() { return now_us() / 1000; }

std::uint64_t RecordingDevice::now_us() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clockUs_;
}

std::vector<std::uint8_t> command_bytes(std::uint8_t code, std::uint8_t v0, std::uint8_t v1, std::uint8_t v2) {
    std::vector<std::uint8_t> b(kCommandInputSize, 0);
    b[0] = code;
    b[1] = kCommandReplyLength;
    b[2] = v0;
    b[3] = v1;
    b[4] = v2;
    return b;
}

Reply register_reply(std::uint32_t value) {
    std::vector<std::uint8_t> d(8, 0);
    d[0] = static_cast<std::uint8_t>(value & 0xFF);
    d[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    return Reply::bytes(std::move(d));
}

std::vector<RegOp> register_ops(const std::vector<Request>& requests) {
    std::vector<RegOp> ops;
    for (const Request& r : requests) {
        if (r.code != kIoctlCommand || r.in.size() < 5) continue;
        RegOp op{r.in[0], r.in[2], 0};
        if (op.code == kCmdWrite8) op.value = r.in[3];
        if (op.code == kCmdWrite16) op.value = static_cast<std::uint32_t>(r.in[3] | (r.in[4] << 8));
        if (op.code == kCmdResetUsb) op.reg = 0;
        ops.push_back(op);
    }
    return ops;
}

}  // namespace kv318::test
