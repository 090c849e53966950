// The view seam: what the panel's handlers ask of the window.  Each shell
// (Qt on Linux, Win32 on Windows) implements it over its own controls, and
// the tests use a recording substitute.
#pragma once

#include <string>

#include "controls.h"

namespace kv318::panel {

// Every method is called on the GUI thread, from inside one of the panel's
// event handlers.  Texts are UTF-8.  None of them can fail in a way the
// panel could act on, so none returns a status.
class View {
public:
    virtual ~View() = default;

    // Sets the window title.
    virtual void set_title(const std::string& text) = 0;

    // Sounds the system's standard beep once.
    virtual void beep() = 0;

    // The current text of text box `box` (Text1, Text2 or Text3).
    virtual std::string text(Control box) = 0;

    // Replaces the text of text box `box`.
    virtual void set_text(Control box, const std::string& text) = 0;

    // Enables or disables button `button`.
    virtual void set_enabled(Control button, bool enabled) = 0;

    // Starts or stops interval timer `timer` (Timer1 or Timer2).  Stopping
    // drops a tick that is due but not yet delivered.
    virtual void set_timer(Control timer, bool enabled) = 0;

    // Removes every item of list box `list`.
    virtual void clear_list(Control list) = 0;

    // Appends `item` at the end of list box `list`; the list is not sorted.
    virtual void add_item(Control list, const std::string& item) = 0;

    // Shows `text` in a modal message box with an OK button only and the
    // application's default title, and returns once the user closed it.
    // Timers keep ticking meanwhile, so handlers may run before it returns.
    virtual void message_box(const std::string& text) = 0;

    // Ends the program with `code`.  A shell that cannot end the process at
    // once returns, and the panel makes no further call after it.
    virtual void exit(int code) = 0;
};

}  // namespace kv318::panel
