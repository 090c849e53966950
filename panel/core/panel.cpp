// Start-up, exit, and the guard every handler runs under.
#include "panel.h"

#include "format.h"

namespace kv318::panel {

Panel::Panel(View& view, Binding& lib, Clock& clock) : view_(view), lib_(lib), clock_(clock) {}

void Panel::run(const std::function<void()>& handler) {
    if (ended_) return;
    try {
        handler();
    } catch (const BindingError& e) {
        // Nothing in the panel can go on without its library.  Mark the end
        // before the box opens: timers keep ticking under a modal box, and
        // their handlers must not call the library again meanwhile.
        ended_ = true;
        view_.message_box(e.what());
        view_.exit(1);
    }
}

void Panel::Form1_Load() {
    run([this] {
        m_.hDevice = lib_.OpenDevice(0);
        view_.set_title(window_title(m_.hDevice));
        if (m_.hDevice == -1) view_.beep();
    });
}

void Panel::Command8_Click() {
    // Ends at once: no library call, nothing stopped or closed; the system
    // releases the handle with the process.
    if (ended_) return;
    ended_ = true;
    view_.exit(0);
}

}  // namespace kv318::panel
