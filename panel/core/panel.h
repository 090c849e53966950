// The test panel's logic: the handler of every event of Form1, written
// against the view and binding seams.  A shell forwards each event of its
// window to the matching method here, on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "KV318.h"
#include "binding.h"
#include "clock.h"
#include "view.h"

namespace kv318::panel {

// State that lives for the whole run and is shared by every handler.
struct Module1 {
    // Elements in sampleBuf: indexes 0 to 600,000.  More than the
    // KV318_READ_MAX_SAMPLES samples one KV318_Read can return.
    static constexpr std::size_t kSampleBufSize = 600001;
    static_assert(kSampleBufSize >= KV318_READ_MAX_SAMPLES, "one KV318_Read must fit sampleBuf");

    // Board handle: 0 until start-up, then KV318_OpenDevice(0)'s result for
    // the rest of the run (-1 when no board answered).
    std::int32_t hDevice = 0;

    // Where KV318_Read puts each batch, from element 0.  Zero at start; it
    // keeps the raw samples of the last good batch.
    std::vector<std::int32_t> sampleBuf = std::vector<std::int32_t>(kSampleBufSize, 0);
};

class Panel {
public:
    // The analog tick gives up waiting for a batch after this long.
    static constexpr std::int64_t kBatchWaitMs = 1000;

    // `view`, `lib` and `clock` are owned by the caller and outlive the panel.
    Panel(View& view, Binding& lib, Clock& clock);

    // Form1 load: opens board 0 and sets the title.  Runs before the window
    // is first shown.
    void Form1_Load();

    // Button clicks.
    void Command1_Click();  // "输出": write Text1 to the outputs
    void Command2_Click();  // "输入": read the inputs into Text2
    void Command3_Click();  // counter "开始": start the counter and its polling
    void Command4_Click();  // pulse "开始"
    void Command5_Click();  // pulse "结束"
    void Command6_Click();  // "启动AD"
    void Command7_Click();  // "暂停AD"
    void Command8_Click();  // "退出"

    // A character typed into Text1, before the box takes it.  Returns true
    // when the box may take it; false when it is discarded (the message has
    // been shown by then).
    bool Text1_KeyPress(std::uint32_t ch);

    // Interval timer ticks.
    void Timer1_Timer();  // analog acquisition
    void Timer2_Timer();  // counter polling

    const Module1& module() const { return m_; }

    // True once the panel has asked the view to exit; every later event is
    // ignored, so a fatal message cannot be followed by more library calls.
    bool ended() const { return ended_; }

private:
    // Runs one handler.  A binding failure (library or function missing) is
    // shown and ends the panel.
    void run(const std::function<void()>& handler);

    View& view_;
    Binding& lib_;
    Clock& clock_;
    Module1 m_;
    bool ended_ = false;
};

}  // namespace kv318::panel
