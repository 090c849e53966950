// A driver process's side of the Linux driver channel, inside the test: it
// serves board 0 on a socket in a private driver directory, which
// KV318_DRIVER_DIR points the library at, one connection at a time, and
// answers as its ScriptedDriver is told.  The library reaches it through
// KV318_OpenDevice like any board.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "scripted_driver.h"

namespace kv318::test {

class SocketDriver {
public:
    // Listens before it returns.  `mode` is the driver directory's, so a
    // test can offer the library one that others may write.
    explicit SocketDriver(mode_t mode = 0700);
    // Stops serving, removes the socket and the directory, unsets
    // KV318_DRIVER_DIR.
    ~SocketDriver();
    SocketDriver(const SocketDriver&) = delete;
    SocketDriver& operator=(const SocketDriver&) = delete;

    std::int32_t board() const { return 0; }
    void set_action(DriverAction a) { script_.set_action(a); }
    void set_answer(ScriptedDriver::AnswerFn answer) { script_.set_answer(std::move(answer)); }
    std::vector<SeenRequest> seen() { return script_.seen(); }
    // Close every new connection as soon as it is accepted.  Any thread.
    void set_close_on_accept(bool on) { closeOnAccept_ = on; }
    // Connections closed on accept so far.  Any thread.
    int dropped() const { return dropped_; }

private:
    void serve();

    std::string dir_, path_;
    int listener_ = -1;
    std::thread thread_;
    ScriptedDriver script_;
    // Set by the test thread, read by the serving thread at each accept.
    std::atomic<bool> closeOnAccept_{false};
    // Counted by the serving thread, read by the test thread while it waits.
    std::atomic<int> dropped_{0};
};

}  // namespace kv318::test
