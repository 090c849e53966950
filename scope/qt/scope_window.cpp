#include "scope_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

namespace kv318::scope::qt {

namespace {

QColor qcolor(const Color& c) { return QColor(c.r, c.g, c.b); }

cli::Format format_of(const QString& path) {
    if (path.endsWith(".wav", Qt::CaseInsensitive)) return cli::Format::Wav;
    if (path.endsWith(".raw", Qt::CaseInsensitive) || path.endsWith(".bin", Qt::CaseInsensitive)) return cli::Format::Raw;
    return cli::Format::Csv;
}

}  // namespace

void ScreenWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    for (const Rect& r : model_.rects) {
        const QRectF q(r.x, r.y, r.w, r.h);
        if (r.filled) p.fillRect(q, qcolor(r.color));
        else {
            p.setPen(QPen(qcolor(r.color), 1));
            p.drawRect(q);
        }
    }
    for (const Polyline& l : model_.lines) {
        p.setPen(QPen(qcolor(l.color), l.width));
        QPolygonF poly;
        poly.reserve(static_cast<qsizetype>(l.points.size()));
        for (const Point& pt : l.points) poly << QPointF(pt.x, pt.y);
        p.drawPolyline(poly);
    }
    for (const Text& t : model_.texts) {
        p.setPen(qcolor(t.color));
        p.drawText(QPointF(t.x, t.y), QString::fromStdString(t.text));
    }
}

void ScreenWidget::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    if (e->modifiers() & Qt::ShiftModifier) Q_EMIT cursorPlaced(1, e->position().x());
    else if (e->modifiers() & Qt::ControlModifier) Q_EMIT cursorPlaced(2, e->position().x());
    else Q_EMIT levelDragged(e->position().y());
}

void ScreenWidget::mouseMoveEvent(QMouseEvent* e) {
    if ((e->buttons() & Qt::LeftButton) && !(e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier))) {
        Q_EMIT levelDragged(e->position().y());
    }
}

ScopeWindow::ScopeWindow(const cli::BoardApi& api, const ScopeSettings& s, std::string (*notFoundHint)(int))
    : api_(api), hint_(notFoundHint), s_(s), worker_(api) {
    setWindowTitle("kv318-scope");
    resize(1000, 720);
    buildControls();
    syncControls();
    connect(&timer_, &QTimer::timeout, this, &ScopeWindow::tick);
    // About 33 frames a second: more than the eye needs, and the worker
    // drops what the screen cannot show.
    timer_.start(30);
    rateClock_.start();
    runClock_.start();
    if (s_.mode == analysis::TriggerMode::Single) single();
    else run();
}

ScopeWindow::~ScopeWindow() {
    // The worker stops the converter before its thread ends.
    worker_.request_stop();
    worker_.join();
    if (handle_ != -1) api_.close(handle_);
}

void ScopeWindow::closeEvent(QCloseEvent* e) {
    // Closing while running stops the acquisition first, always.
    worker_.request_stop();
    worker_.join();
    wantRunning_ = false;
    e->accept();
}

void ScopeWindow::buildControls() {
    auto* top = new QVBoxLayout(this);
    auto* row1 = new QHBoxLayout;
    auto* row2 = new QHBoxLayout;
    top->addLayout(row1);
    top->addLayout(row2);
    screen_ = new ScreenWidget(this);
    screen_->setMinimumSize(640, 420);
    top->addWidget(screen_, 1);

    auto label = [this](QHBoxLayout* row, const char* text) { row->addWidget(new QLabel(text, this)); };
    label(row1, "Board");
    board_ = new QSpinBox(this);
    board_->setRange(0, 255);
    row1->addWidget(board_);
    label(row1, "Divider");
    divider_ = new QSpinBox(this);
    divider_->setRange(2, 4095);
    row1->addWidget(divider_);
    auto* run = new QPushButton("Run", this);
    auto* stop = new QPushButton("Stop", this);
    auto* single = new QPushButton("Single", this);
    run->setObjectName("run");
    stop->setObjectName("stop");
    single->setObjectName("single");
    row1->addWidget(run);
    row1->addWidget(stop);
    row1->addWidget(single);
    label(row1, "Time/div");
    timebase_ = new QComboBox(this);
    row1->addWidget(timebase_);
    label(row1, "V/div");
    volts_ = new QComboBox(this);
    for (double v : volt_scales()) volts_->addItem(QString::fromStdString(format_volts(v)), v);
    row1->addWidget(volts_);
    label(row1, "Offset");
    offset_ = new QDoubleSpinBox(this);
    offset_->setRange(-20, 20);
    offset_->setDecimals(3);
    offset_->setSingleStep(0.1);
    row1->addWidget(offset_);
    auto* autoscaleButton = new QPushButton("Autoscale", this);
    row1->addWidget(autoscaleButton);
    row1->addStretch(1);

    label(row2, "Mode");
    mode_ = new QComboBox(this);
    for (const char* m : {"Auto", "Normal", "Single", "Roll"}) mode_->addItem(m);
    row2->addWidget(mode_);
    edge_ = new QComboBox(this);
    edge_->addItem("Rising");
    edge_->addItem("Falling");
    row2->addWidget(edge_);
    label(row2, "Level V");
    level_ = new QDoubleSpinBox(this);
    level_->setRange(-5, 5);
    level_->setDecimals(3);
    level_->setSingleStep(0.05);
    row2->addWidget(level_);
    label(row2, "Pre %");
    pretrigger_ = new QDoubleSpinBox(this);
    pretrigger_->setRange(0, 100);
    pretrigger_->setDecimals(0);
    row2->addWidget(pretrigger_);
    label(row2, "Holdoff s");
    holdoff_ = new QDoubleSpinBox(this);
    holdoff_->setRange(0, 100);
    holdoff_->setDecimals(4);
    row2->addWidget(holdoff_);
    cursors_on_ = new QCheckBox("Cursors", this);
    row2->addWidget(cursors_on_);
    auto* csv = new QPushButton("Save CSV", this);
    auto* png = new QPushButton("Save PNG", this);
    record_ = new QPushButton("Record...", this);
    row2->addWidget(csv);
    row2->addWidget(png);
    row2->addWidget(record_);
    row2->addStretch(1);

    connect(run, &QPushButton::clicked, this, &ScopeWindow::run);
    connect(stop, &QPushButton::clicked, this, &ScopeWindow::stop);
    connect(single, &QPushButton::clicked, this, &ScopeWindow::single);
    auto changed = [this] { settingsChanged(); };
    connect(board_, &QSpinBox::valueChanged, this, changed);
    connect(divider_, &QSpinBox::valueChanged, this, changed);
    connect(timebase_, &QComboBox::currentIndexChanged, this, changed);
    connect(volts_, &QComboBox::currentIndexChanged, this, changed);
    connect(offset_, &QDoubleSpinBox::valueChanged, this, changed);
    connect(mode_, &QComboBox::currentIndexChanged, this, changed);
    connect(edge_, &QComboBox::currentIndexChanged, this, changed);
    connect(level_, &QDoubleSpinBox::valueChanged, this, changed);
    connect(pretrigger_, &QDoubleSpinBox::valueChanged, this, changed);
    connect(holdoff_, &QDoubleSpinBox::valueChanged, this, changed);
    connect(cursors_on_, &QCheckBox::toggled, this, [this](bool on) {
        cursors_.on = on;
        if (on && cursors_.t1 == cursors_.t2) {
            cursors_.t1 = -s_.secondsPerDiv;
            cursors_.t2 = s_.secondsPerDiv;
        }
        redraw();
    });
    connect(autoscaleButton, &QPushButton::clicked, this, [this] {
        if (!haveFrame_) return;
        autoscale(frame_, &s_);
        syncControls();
        redraw();
    });
    connect(csv, &QPushButton::clicked, this, [this] {
        if (!haveFrame_) return;
        const QString path = QFileDialog::getSaveFileName(this, "Save the visible trace", "trace.csv", "CSV (*.csv)");
        if (path.isEmpty()) return;
        QFile f(path);
        const std::string text = visible_csv(frame_);
        if (!f.open(QIODevice::WriteOnly) || f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
            message_ = "cannot write " + path.toStdString();
        }
    });
    connect(png, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save the window", "scope.png", "PNG (*.png)");
        if (!path.isEmpty()) saveScreenshot(path);
    });
    connect(record_, &QPushButton::clicked, this, [this] {
        if (!recordingPath_.isEmpty()) {
            // Stop recording: the run goes on without it.
            recordingPath_.clear();
            record_->setText("Record...");
            settingsChanged();
            return;
        }
        const QString path = QFileDialog::getSaveFileName(this, "Record the stream", "record.wav",
                                                          "WAV (*.wav);;CSV (*.csv);;raw (*.raw)");
        if (path.isEmpty()) return;
        recordingPath_ = path;
        record_->setText("Stop recording");
        settingsChanged();
    });
    connect(screen_, &ScreenWidget::levelDragged, this, [this](double y) {
        const Plot p = plot_area(screen_->width(), screen_->height());
        level_->setValue(std::clamp(y_to_volts(p, s_, y), -5.0, 5.0));
    });
    connect(screen_, &ScreenWidget::cursorPlaced, this, [this](int which, double x) {
        if (!haveFrame_ || frame_.samples.empty()) return;
        const Plot p = plot_area(screen_->width(), screen_->height());
        const double zero = frame_.triggered ? static_cast<double>(frame_.triggerIndex) / frame_.sampleRate : 0.0;
        const double t = (x - p.x) / p.w * static_cast<double>(frame_.samples.size()) / frame_.sampleRate - zero;
        (which == 1 ? cursors_.t1 : cursors_.t2) = t;
        cursors_.on = true;
        cursors_on_->setChecked(true);
        redraw();
    });
}

void ScopeWindow::syncControls() {
    syncing_ = true;
    board_->setValue(s_.board);
    divider_->setValue(s_.divider);
    timebase_->clear();
    for (double t : time_bases(s_.sampleRate())) timebase_->addItem(QString::fromStdString(format_seconds(t)), t);
    s_.secondsPerDiv = nearest_step(time_bases(s_.sampleRate()), s_.secondsPerDiv);
    for (int i = 0; i < timebase_->count(); ++i) {
        if (std::fabs(timebase_->itemData(i).toDouble() - s_.secondsPerDiv) <= s_.secondsPerDiv * 1e-9) timebase_->setCurrentIndex(i);
    }
    for (int i = 0; i < volts_->count(); ++i) {
        if (std::fabs(volts_->itemData(i).toDouble() - s_.voltsPerDiv) <= s_.voltsPerDiv * 1e-9) volts_->setCurrentIndex(i);
    }
    offset_->setValue(s_.offsetVolts);
    mode_->setCurrentIndex(static_cast<int>(s_.mode));
    edge_->setCurrentIndex(s_.edge == analysis::Edge::Rising ? 0 : 1);
    level_->setValue(s_.levelVolts);
    pretrigger_->setValue(s_.pretriggerPercent);
    holdoff_->setValue(s_.holdoffSeconds);
    syncing_ = false;
}

void ScopeWindow::settingsChanged() {
    if (syncing_) return;
    const ScopeSettings old = s_;
    s_.board = board_->value();
    s_.divider = divider_->value();
    s_.secondsPerDiv = timebase_->currentData().toDouble();
    s_.voltsPerDiv = volts_->currentData().toDouble();
    s_.offsetVolts = offset_->value();
    s_.mode = static_cast<analysis::TriggerMode>(mode_->currentIndex());
    s_.edge = edge_->currentIndex() == 0 ? analysis::Edge::Rising : analysis::Edge::Falling;
    s_.levelVolts = level_->value();
    s_.pretriggerPercent = pretrigger_->value();
    s_.holdoffSeconds = holdoff_->value();
    // Roll needs a slow time base; a bench scope moves to the slowest
    // fast-enough one rather than refuse.
    if (s_.mode == analysis::TriggerMode::Roll && s_.secondsPerDiv < kRollFromSecondsPerDiv) {
        s_.secondsPerDiv = kRollFromSecondsPerDiv;
    }
    if (s_.divider != old.divider || s_.secondsPerDiv != old.secondsPerDiv) syncControls();  // new time bases
    // Scale and offset only change the drawing; anything else needs a new run.
    const bool display = s_.voltsPerDiv != old.voltsPerDiv || s_.offsetVolts != old.offsetVolts;
    const bool same = s_.board == old.board && s_.divider == old.divider && s_.secondsPerDiv == old.secondsPerDiv &&
                      s_.mode == old.mode && s_.edge == old.edge && s_.levelVolts == old.levelVolts &&
                      s_.pretriggerPercent == old.pretriggerPercent && s_.holdoffSeconds == old.holdoffSeconds;
    if ((!same || !display) && wantRunning_ && worker_.running()) {
        worker_.request_stop();
        restartPending_ = true;
    }
    redraw();
}

bool ScopeWindow::openBoard() {
    if (handle_ != -1 && handleBoard_ == s_.board) return true;
    if (handle_ != -1) api_.close(handle_);
    handle_ = api_.open(s_.board);
    handleBoard_ = s_.board;
    if (handle_ == -1) {
        // Run tries again: the simulator or the board may come later.
        message_ = "board " + std::to_string(s_.board) + ": not found" + (hint_ ? hint_(s_.board) : std::string()) +
                   "; press Run to try again";
        return false;
    }
    return true;
}

void ScopeWindow::startWorker() {
    if (!openBoard()) {
        wantRunning_ = false;
        return;
    }
    std::unique_ptr<Recording> rec;
    if (!recordingPath_.isEmpty()) {
        rec = std::make_unique<Recording>();
        rec->file = std::make_unique<cli::FileOutput>(recordingPath_.toStdString());
        if (!rec->file->ok()) {
            message_ = "cannot record to " + recordingPath_.toStdString() + ": " + rec->file->error();
            wantRunning_ = false;
            return;
        }
        rec->writer = std::make_unique<cli::SampleWriter>(format_of(recordingPath_), *rec->file, s_.clockHz,
                                                          static_cast<std::uint32_t>(s_.divider));
        if (!rec->writer->begin()) {
            message_ = "cannot record to " + recordingPath_.toStdString() + ": " + rec->writer->error();
            wantRunning_ = false;
            return;
        }
    }
    message_.clear();
    worker_.start(handle_, s_, std::move(rec));
    rateSamples_ = 0;
}

void ScopeWindow::run() {
    wantRunning_ = true;
    if (worker_.running()) {
        worker_.request_stop();
        restartPending_ = true;
        return;
    }
    startWorker();
}

void ScopeWindow::single() {
    syncing_ = true;
    mode_->setCurrentIndex(static_cast<int>(analysis::TriggerMode::Single));
    syncing_ = false;
    s_.mode = analysis::TriggerMode::Single;
    run();
}

void ScopeWindow::stop() {
    wantRunning_ = false;
    restartPending_ = false;
    worker_.request_stop();
}

void ScopeWindow::tick() {
    if (quit_ && quit_->load(std::memory_order_relaxed)) {
        close();
        return;
    }
    if (const DisplayFrame* f = worker_.take_frame()) {
        frame_ = *f;
        haveFrame_ = true;
        ++rateFrames_;
    }
    if (worker_.running() && worker_.finished()) {
        worker_.join();
        if (worker_.failure() != Failure::None) {
            // A failure stops the run and says so; Run starts again.
            wantRunning_ = false;
            restartPending_ = false;
            message_ = failure_text(worker_.failure());
            if (worker_.failure() == Failure::StartFailed) {
                // When the board lock is in, a refusal because another
                // process streams this board is named here:
                // "board N is streaming in another process (pid P)".
                message_ = "board " + std::to_string(s_.board) + ": KV318_AD failed (" +
                           std::to_string(worker_.failureCode()) + "): acquisition did not start; press Run to retry";
            } else if (worker_.failure() == Failure::Recording) {
                message_ += ": " + worker_.recordingError();
            }
        } else if (s_.mode == analysis::TriggerMode::Single && !restartPending_) {
            wantRunning_ = false;  // Single has its frame
        }
        if (restartPending_ && wantRunning_) {
            restartPending_ = false;
            startWorker();
        }
    }
    const double elapsed = static_cast<double>(rateClock_.elapsed()) / 1000.0;
    if (elapsed >= 1.0) {
        const std::uint64_t now = worker_.samples();
        delivered_ = now >= rateSamples_ ? static_cast<double>(now - rateSamples_) / elapsed : 0;
        rateSamples_ = now;
        fps_ = rateFrames_ / elapsed;
        rateFrames_ = 0;
        rateClock_.restart();
    }
    redraw();
    if (!s_.screenshot.empty() && !screenshotDone_ &&
        static_cast<double>(runClock_.elapsed()) / 1000.0 >= s_.screenshotAfter) {
        screenshotDone_ = true;
        saveScreenshot(QString::fromStdString(s_.screenshot));
        // A picture of a failure is still saved, but the exit code says the
        // scope did not run, so a script does not take it for a trace.
        if (!message_.empty()) {
            std::fprintf(stderr, "kv318-scope: %s\n", message_.c_str());
            if (exitCode_ == 0) exitCode_ = 1;
        }
        close();
    }
}

void ScopeWindow::saveScreenshot(const QString& path) {
    redraw();
    screen_->repaint();
    if (!grab().save(path, "PNG")) {
        message_ = "cannot write " + path.toStdString();
        exitCode_ = 1;
    }
}

void ScopeWindow::redraw() {
    ViewInput in;
    in.width = screen_->width();
    in.height = screen_->height();
    in.settings = &s_;
    in.frame = haveFrame_ ? &frame_ : nullptr;
    in.cursors = cursors_;
    in.status.running = worker_.running() && !worker_.finished();
    in.status.deliveredPerSecond = delivered_;
    in.status.framesPerSecond = fps_;
    in.status.failure = message_;
    screen_->setModel(build_view(in));
    screen_->update();
}

}  // namespace kv318::scope::qt
