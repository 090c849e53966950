// kv318-scope's Qt window: the controls, and a screen widget that paints
// the core's drawing model.  Everything here runs on the GUI thread; the
// board is reached only by the acquisition worker's thread.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <string>

#include "acquisition_worker.h"
#include "board_api.h"
#include "scope_settings.h"
#include "view.h"

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
    ScopeWindow(const cli::BoardApi& api, const ScopeSettings& s, std::string (*notFoundHint)(int));
    ~ScopeWindow() override;

    // For the screenshot and the tests: the exit code the window asks for
    // once it has closed itself (0 after a screenshot saved).
    int exitCode() const { return exitCode_; }
    const ScopeSettings& settings() const { return s_; }
    // The failure or hint the status line shows, empty when none.
    QString statusText() const { return QString::fromStdString(message_); }
    bool hasFrame() const { return haveFrame_; }
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
    void settingsChanged();  // a control moved: restart a run in progress
    void tick();
    void redraw();
    bool openBoard();
    void startWorker();
    void saveScreenshot(const QString& path);

    const cli::BoardApi& api_;
    std::string (*hint_)(int);
    ScopeSettings s_;
    AcquisitionWorker worker_;
    std::int32_t handle_ = -1;
    std::int32_t handleBoard_ = -1;
    bool wantRunning_ = false;   // the user pressed Run (or Single) and no failure ended it
    bool restartPending_ = false;
    std::string message_;        // failure or hint for the status line
    DisplayFrame frame_;         // the newest frame, the GUI's own copy
    bool haveFrame_ = false;
    Cursors cursors_;
    std::unique_ptr<Recording> recordingNext_;
    QString recordingPath_;
    QTimer timer_;
    QElapsedTimer rateClock_;
    std::uint64_t rateSamples_ = 0;
    int rateFrames_ = 0;
    double delivered_ = 0, fps_ = 0;
    QElapsedTimer runClock_;
    bool screenshotDone_ = false;
    int exitCode_ = 0;

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
    bool syncing_ = false;
    const std::atomic<bool>* quit_ = nullptr;
};

}  // namespace kv318::scope::qt
