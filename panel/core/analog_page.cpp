// The analog group: start and pause the ticks, and one short acquisition
// per tick listed as converter codes and volts.
#include "format.h"
#include "panel.h"

namespace kv318::panel {

void Panel::Command6_Click() {
    run([this] {
        view_.set_timer(Control::Timer1, true);
        view_.set_enabled(Control::Command6, false);
        view_.set_enabled(Control::Command7, true);
    });
}

void Panel::Command7_Click() {
    run([this] {
        view_.set_timer(Control::Timer1, false);
        view_.set_enabled(Control::Command6, true);
        view_.set_enabled(Control::Command7, false);
    });
}

void Panel::Timer1_Timer() {
    run([this] {
        lib_.AD(m_.hDevice, 0, 0, 0, 0, 50);

        // Wait for a batch.  The read answers 0 until 100 bytes are
        // buffered; with no board or a silent converter it answers 0 for
        // ever, so the wait gives up after a second and counts as a failure
        // instead of freezing the window.
        std::int32_t n = 0;
        const std::int64_t start = clock_.now_ms();
        while (n == 0) {
            n = lib_.Read(m_.hDevice, m_.sampleBuf.data());
            if (n == 0 && clock_.now_ms() - start >= kBatchWaitMs) n = -1;
        }

        if (n < 0) {
            // Stop the ticks before the box opens, so none follows it.
            view_.set_timer(Control::Timer1, false);
            lib_.StopAD(m_.hDevice);
            view_.message_box(kMsgOver);
            view_.set_enabled(Control::Command7, true);
            view_.set_enabled(Control::Command6, false);
        }

        // sampleBuf keeps raw samples: a failed read leaves it untouched, so
        // the list then shows the last good batch once more, with its true
        // codes and volts.
        view_.clear_list(Control::List1);
        view_.add_item(Control::List1, kListTitle);
        for (int i = 0; i < kListedSamples; ++i) {
            view_.add_item(Control::List1, sample_line(i, m_.sampleBuf[static_cast<std::size_t>(i)]));
        }
        lib_.StopAD(m_.hDevice);
    });
}

}  // namespace kv318::panel
