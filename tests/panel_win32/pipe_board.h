// A simulated board served from inside a test process, on the named pipe a
// driver process would serve when no kernel driver publishes the device:
// the simulator's board model behind "\\.\pipe\KV318DeviceN".
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "board.h"
#include "clock.h"

namespace kv318::test {

class PipeBoard {
public:
    // Serves board `number` with `config` until destroyed.  Listening has
    // begun when the constructor returns, so a client started afterwards
    // finds the pipe.
    PipeBoard(int number, const sim::BoardConfig& config);
    // Stops listening and ends every session, connected or not.
    ~PipeBoard();
    PipeBoard(const PipeBoard&) = delete;
    PipeBoard& operator=(const PipeBoard&) = delete;

    // False when the pipe could not be made (e.g. another server owns it).
    bool listening() const { return first_ != INVALID_HANDLE_VALUE; }
    // Connections accepted so far.  Any thread.
    int connections() const { return connections_.load(); }
    sim::Board& board() { return board_; }

private:
    HANDLE make_instance() const;
    void listen();
    void serve(HANDLE pipe);

    std::wstring name_;
    sim::SteadyClock clock_;
    sim::Board board_;
    HANDLE stop_;                      // manual-reset: set once, ends every wait
    HANDLE first_ = INVALID_HANDLE_VALUE;  // the instance made by the constructor
    std::atomic<int> connections_{0};  // written by the listener, read by the test
    std::thread listener_;
    std::mutex sessionsMutex_;
    std::vector<std::thread> sessions_;
};

}  // namespace kv318::test
