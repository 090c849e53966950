// The controls of the panel's one window, Form1, as data: names, kinds,
// containers, captions, geometry in twips, tab order and initial state.
// Every windowing shell places its controls from this one table, so the
// layout cannot drift between them.
#pragma once

#include <cstdint>
#include <span>

namespace kv318::panel {

// Every control keeps its design name.  The order is the table's order, so
// a container always comes before the controls it holds.
enum class Control : std::uint8_t {
    Form1,
    Frame1,
    List1,
    Command6,
    Command7,
    Timer1,
    Timer2,
    Frame2,
    Frame3,
    Label1,
    Text1,
    Command1,
    Frame4,
    Label2,
    Text2,
    Command2,
    Frame5,
    Command3,
    Text3,
    Frame6,
    Command4,
    Command5,
    Command8,
};
inline constexpr int kControlCount = static_cast<int>(Control::Command8) + 1;

enum class Kind : std::uint8_t { Window, Frame, ListBox, Button, Label, TextBox, Timer };

// 1440 twips make an inch, so 15 twips make a pixel at 96 dots per inch.
inline constexpr int kTwipsPerInch = 1440;

// The window's client area in twips.
inline constexpr int kClientWidthTwips = 5955;
inline constexpr int kClientHeightTwips = 4125;

// Both timers tick every 100 ms while enabled.
inline constexpr int kTimerIntervalMs = 100;

// Text1 accepts at most this many characters.
inline constexpr int kText1MaxLength = 7;

struct ControlSpec {
    Control id;
    const char* name;  // design name, e.g. "Command6"
    Kind kind;
    Control container;             // Form1 for controls placed on the client area
    const char* caption;           // UTF-8: button/frame/label caption, or a text box's start text
    int left, top, width, height;  // twips, from the container's top-left corner
    int tab;                       // place in the tab order, -1 for none (window, timers)
    bool takesFocus;               // frames and labels never take the focus
    bool readOnly;                 // Text2: written only by the panel
    int maxLength;                 // characters a text box accepts, 0 for no limit
};

// All controls, Form1 first, then containers before their contents.
std::span<const ControlSpec> control_table();

// The row of `id`.
const ControlSpec& control_spec(Control id);

// The controls that take the focus, in the order Tab moves through them.
std::span<const Control> focus_order();

// Twips to pixels at `dpi` dots per inch, to the nearest pixel.
constexpr int twips_to_pixels(int twips, int dpi) { return (twips * dpi + kTwipsPerInch / 2) / kTwipsPerInch; }

}  // namespace kv318::panel
