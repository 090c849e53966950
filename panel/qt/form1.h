// Form1 on Qt 6 Widgets: places every control from the core's control
// table, forwards each event to the panel's handlers, and serves the
// panel's view requests.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <string>

#include "binding.h"
#include "clock.h"
#include "controls.h"
#include "panel.h"
#include "view.h"

class QTimer;

namespace kv318::qt {

// The platform services Form1 uses that a test may want to replace.  An
// empty member keeps the real service.
struct ShellHooks {
    // Shows a modal message box over `parent` and returns once it is closed.
    std::function<void(QWidget* parent, const QString& text)> messageBox;
    // Sounds the system beep.
    std::function<void()> beep;
    // Ends the program with a code.
    std::function<void(int code)> exit;
};

class Form1 final : public QWidget, public panel::View {
public:
    // `lib` and `clock` are owned by the caller and outlive the form.
    Form1(panel::Binding& lib, panel::Clock& clock, ShellHooks hooks = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // Runs the load handler: opens board 0 and sets the title.  Call it once,
    // before the window is first shown.
    void load();

    // The widget of control `id` (Form1 is the form itself), or nullptr for
    // a timer.
    QWidget* control(panel::Control id) const { return widgets_[index(id)]; }
    // The QTimer of Timer1 or Timer2.
    QTimer* timer(panel::Control id) const;

    const panel::Panel& panel() const { return panel_; }

    // Whether the panel asked to end, and with which code.
    bool exitRequested() const { return exitRequested_; }
    int exitCode() const { return exitCode_; }

    // The pixel size of `twips` on this window's screen, horizontally and
    // vertically.
    int twipsX(int twips) const;
    int twipsY(int twips) const;

    // panel::View
    void set_title(const std::string& text) override;
    void beep() override;
    std::string text(panel::Control box) override;
    void set_text(panel::Control box, const std::string& text) override;
    void set_enabled(panel::Control button, bool enabled) override;
    void set_timer(panel::Control timer, bool enabled) override;
    void clear_list(panel::Control list) override;
    void add_item(panel::Control list, const std::string& item) override;
    void message_box(const std::string& text) override;
    void exit(int code) override;

protected:
    // Text1's key filter, which also turns away pastes.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static std::size_t index(panel::Control id) { return static_cast<std::size_t>(id); }
    void build();
    void connectEvents();

    panel::Panel panel_;
    ShellHooks hooks_;
    std::array<QWidget*, panel::kControlCount> widgets_{};
    QTimer* timer1_ = nullptr;
    QTimer* timer2_ = nullptr;
    bool exitRequested_ = false;
    int exitCode_ = 0;
};

}  // namespace kv318::qt
