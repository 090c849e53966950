// kv318-scope's Qt window: the controls, and a screen widget that paints
// the core's drawing model; what the window does is the core's
// ScopeController.  Everything here runs on the GUI thread; the
// board is reached only by the acquisition worker's thread.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <string>

#include "board_api.h"
#include "scope_controller.h"
#include "trace_view.h"

class QComboBox;
class QDoubleSpinBox;
class QSpinBox;
class QPushButton;
class QCheckBox;
class QLabel;

namespace kv318::scope::qt {

// Paints the drawing model; a drag with the left button moves the trigger
// level, a click with Shift or Ctrl places cursor 1 or 2.
class ScreenWidget : public QWidget {
    Q_OBJECT
public:
    explicit ScreenWidget(QWidget* parent) : QWidget(parent) {}
    void setModel(DrawList model) { model_ = std::move(model); }
    // Where the plot lies in the picture shown: what a click on it means
    // (before the first picture, where it lies without a wrapped status).
    Plot plot() const { return model_.plot.w > 0 ? model_.plot : plot_area(width(), height()); }

Q_SIGNALS:
    void levelDragged(double y);
    void cursorPlaced(int which, double x);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    DrawList model_;
};

class ScopeWindow : public QWidget {
    Q_OBJECT
public:
    // `api` and `notFoundHint` outlive the window.  `s` is the command
    // line's view; the window starts running at once.
    ScopeWindow(const pipeline::BoardApi& api, const ScopeSettings& s, std::string (*notFoundHint)(int),
                bool (*lockHeld)(std::int32_t, std::uint32_t*) = nullptr);

    // The exit code the window asks for once it has closed itself after
    // --screenshot: 0, or 1 when the picture shows a failure or was not saved.
    int exitCode() const { return exitCode_; }
    const ScopeSettings& settings() const { return scope_.settings(); }
    // The failure or hint the status line shows, empty when none.
    QString statusText() const { return QString::fromStdString(scope_.message()); }
    bool hasFrame() const { return scope_.hasFrame(); }
    // Ctrl-C or SIGTERM from the shell set *flag; the window then closes as
    // if the user had closed it, stopping the acquisition first.
    void setQuitFlag(const std::atomic<bool>* flag) { quit_ = flag; }

public Q_SLOTS:
    void run();
    void stop();
    void single();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void buildControls();
    void syncControls();
    void settingsChanged();  // a control moved
    void tick();
    void redraw();
    void saveScreenshot(const QString& path);

    ScopeController scope_;
    QTimer timer_;
    QElapsedTimer clock_;
    int exitCode_ = 0;
    bool syncing_ = false;
    const std::atomic<bool>* quit_ = nullptr;

    ScreenWidget* screen_ = nullptr;
    QSpinBox* board_ = nullptr;
    QSpinBox* divider_ = nullptr;
    QComboBox* timebase_ = nullptr;
    QComboBox* volts_ = nullptr;
    QDoubleSpinBox* offset_ = nullptr;
    QComboBox* mode_ = nullptr;
    QComboBox* edge_ = nullptr;
    QDoubleSpinBox* level_ = nullptr;
    QDoubleSpinBox* pretrigger_ = nullptr;
    QDoubleSpinBox* holdoff_ = nullptr;
    QCheckBox* cursors_on_ = nullptr;
    QPushButton* record_ = nullptr;
};

}  // namespace kv318::scope::qt
