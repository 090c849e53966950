#include "channel_client.h"

#include "channel_frame.h"

namespace kv318 {
namespace {
// The calling thread's last failure, for last_fault().  Written and read
// by that thread alone.
thread_local RequestFault t_lastFault = RequestFault::Refused;
}  // namespace

ChannelResult channel_exchange(ChannelStream& stream, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen,
                               std::uint8_t* out, std::uint32_t outCap, std::uint32_t* returned, RequestFault* why) {
    RequestFault unused = RequestFault::Refused;
    if (why == nullptr) why = &unused;
    *returned = 0;
    *why = RequestFault::Refused;
    if (inLen > kMaxChannelInput || (inLen > 0 && in == nullptr) || (outCap > 0 && out == nullptr))
        return ChannelResult::Failed;

    // Bytes waiting before we ask are no reply of ours: a driver that sent
    // more than its last reply.  Reading on would hand this request those
    // bytes, and every later request the reply before it.
    *why = RequestFault::Disconnected;
    if (stream.has_unread()) return ChannelResult::Broken;

    std::uint8_t header[kRequestHeaderSize];
    encode_request_header(header, RequestHeader{code, inLen, outCap});
    if (!stream.send_all(header, sizeof header) || (inLen > 0 && !stream.send_all(in, inLen)))
        return ChannelResult::Broken;

    std::uint8_t replyHeader[kReplyHeaderSize];
    if (!stream.receive_all(replyHeader, sizeof replyHeader)) return ChannelResult::Broken;
    const ReplyHeader reply = decode_reply_header(replyHeader);
    // A count over the capacity, or any bytes on a failure, breaks the frame:
    // reading on would either overrun `out` or lose our place in the stream.
    if (reply.count > outCap || (reply.status != 0 && reply.count != 0)) {
        *why = RequestFault::OutOfStep;
        return ChannelResult::Broken;
    }
    if (reply.count > 0 && !stream.receive_all(out, reply.count)) return ChannelResult::Broken;
    *why = RequestFault::Refused;
    if (reply.status != 0) return ChannelResult::Failed;
    *returned = reply.count;
    return ChannelResult::Ok;
}

RequestFault ChannelHandles::last_fault() { return t_lastFault; }

void ChannelHandles::add(Handle h, std::unique_ptr<ChannelStream> stream) {
    auto entry = std::make_shared<Entry>();
    entry->stream = std::move(stream);
    std::lock_guard<std::mutex> lock(mutex_);
    table_[h] = std::move(entry);
}

bool ChannelHandles::contains(Handle h) { return find(h) != nullptr; }

std::int32_t ChannelHandles::close(Handle h) {
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(h);
        if (it == table_.end()) {
            t_lastFault = RequestFault::NotOpen;
            return -1;
        }
        entry = std::move(it->second);
        table_.erase(it);
    }
    // A forked child's copy: the io lock may be a copy of one a parent's
    // thread held at the fork, and a shutdown would end the parent's
    // connection.  Closing the descriptor touches neither.
    if (!entry->stream->inherited()) {
        // Not in the table any more: no new exchange finds it.  One that
        // found it before is woken, and the stream closes once it has ended.
        entry->stream->interrupt();
        std::lock_guard<ExchangeLock> lock(entry->io);
        entry->broken = true;
        entry->brokeWith = RequestFault::NotOpen;
        if (entry->stream->close()) return 0;
    } else if (entry->stream->close()) {
        return 0;
    }
    t_lastFault = RequestFault::Refused;
    return -1;
}

#if defined(_WIN32)
ChannelHandles::ExchangeLock::ExchangeLock() = default;
ChannelHandles::ExchangeLock::~ExchangeLock() = default;
void ChannelHandles::ExchangeLock::lock() { mutex_.lock(); }
void ChannelHandles::ExchangeLock::unlock() { mutex_.unlock(); }
#else
ChannelHandles::ExchangeLock::ExchangeLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Without inheritance (a system that refuses it) it is a plain mutex.
    (void)pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(&mutex_, &attr) != 0) pthread_mutex_init(&mutex_, nullptr);
    pthread_mutexattr_destroy(&attr);
}
ChannelHandles::ExchangeLock::~ExchangeLock() { pthread_mutex_destroy(&mutex_); }
void ChannelHandles::ExchangeLock::lock() { pthread_mutex_lock(&mutex_); }
void ChannelHandles::ExchangeLock::unlock() { pthread_mutex_unlock(&mutex_); }
#endif

std::shared_ptr<ChannelHandles::Entry> ChannelHandles::find(Handle h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(h);
    return it == table_.end() ? nullptr : it->second;
}

bool ChannelHandles::ioctl(Handle h, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen, std::uint8_t* out,
                           std::uint32_t outCap, std::uint32_t* returned) {
    *returned = 0;
    std::shared_ptr<Entry> entry = find(h);
    if (!entry) {
        t_lastFault = RequestFault::NotOpen;
        return false;
    }
    // The parent's connection: its replies are the parent's to read, and
    // its io lock may be held for ever in this copy of the process.
    if (entry->stream->inherited()) {
        t_lastFault = RequestFault::Inherited;
        return false;
    }
    std::lock_guard<ExchangeLock> lock(entry->io);
    if (entry->broken) {
        t_lastFault = entry->brokeWith;
        return false;
    }
    entry->stream->begin_exchange();
    RequestFault why = RequestFault::Refused;
    const ChannelResult r = channel_exchange(*entry->stream, code, in, inLen, out, outCap, returned, &why);
    if (r == ChannelResult::Ok) return true;
    if (r == ChannelResult::Broken) {
        entry->broken = true;
        entry->brokeWith = why;
    }
    t_lastFault = why;
    return false;
}

}  // namespace kv318
