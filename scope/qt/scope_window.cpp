#include "scope_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

#include "option_limits.h"
#include "sample_store.h"

namespace kv318::scope::qt {

namespace {

QColor qcolor(const Color& c) { return QColor(c.r, c.g, c.b); }

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

ScopeWindow::ScopeWindow(const pipeline::BoardApi& api, const ScopeSettings& s, std::string (*notFoundHint)(int),
                         bool (*lockHeld)(std::int32_t, std::uint32_t*))
    : scope_(api, s, notFoundHint, lockHeld) {
    setWindowTitle("kv318-scope");
    resize(1000, 720);
    buildControls();
    syncControls();
    connect(&timer_, &QTimer::timeout, this, &ScopeWindow::tick);
    // About 33 frames a second: more than the eye needs, and the worker
    // drops what the screen cannot show.
    timer_.start(30);
    clock_.start();
    if (s.mode == analysis::TriggerMode::Single) single();
    else run();
}

void ScopeWindow::closeEvent(QCloseEvent* e) {
    // Closing while running stops the acquisition first, always.
    scope_.close();
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
    board_->setRange(pipeline::kBoardNumber.min, pipeline::kBoardNumber.max);
    row1->addWidget(board_);
    label(row1, "Divider");
    divider_ = new QSpinBox(this);
    divider_->setRange(pipeline::kDivider.min, pipeline::kDivider.max);
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
    offset_->setRange(pipeline::kOffsetVolts.min, pipeline::kOffsetVolts.max);
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
    level_->setRange(pipeline::kTriggerLevelVolts.min, pipeline::kTriggerLevelVolts.max);
    level_->setDecimals(3);
    level_->setSingleStep(0.05);
    row2->addWidget(level_);
    label(row2, "Pre %");
    pretrigger_ = new QDoubleSpinBox(this);
    pretrigger_->setRange(pipeline::kPretriggerPercent.min, pipeline::kPretriggerPercent.max);
    pretrigger_->setDecimals(0);
    row2->addWidget(pretrigger_);
    label(row2, "Holdoff s");
    holdoff_ = new QDoubleSpinBox(this);
    holdoff_->setRange(pipeline::kHoldoffSeconds.min, pipeline::kHoldoffSeconds.max);
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
        Cursors& c = scope_.cursors();
        c.on = on;
        if (on && c.t1 == c.t2) {
            c.t1 = -scope_.settings().secondsPerDiv;
            c.t2 = scope_.settings().secondsPerDiv;
        }
        redraw();
    });
    connect(autoscaleButton, &QPushButton::clicked, this, [this] {
        scope_.autoscale();
        syncControls();
        redraw();
    });
    connect(csv, &QPushButton::clicked, this, [this] {
        if (!scope_.hasFrame()) return;
        const QString path = QFileDialog::getSaveFileName(this, "Save the visible trace", "trace.csv", "CSV (*.csv)");
        if (path.isEmpty()) return;
        QFile f(path);
        const std::string text = scope_.visibleCsv();
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
            QMessageBox::warning(this, "kv318-scope", "Cannot write " + path + ": " + f.errorString());
        }
    });
    connect(png, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save the window", "scope.png", "PNG (*.png)");
        if (!path.isEmpty()) saveScreenshot(path);
    });
    connect(record_, &QPushButton::clicked, this, [this] {
        if (!scope_.recording().empty()) {
            // Stop recording: the run goes on without it.
            scope_.setRecording({});
            record_->setText("Record...");
            return;
        }
        QString filters = "WAV (*.wav);;CSV (*.csv);;raw (*.raw)";
        if (pipeline::hdf5_available()) filters += ";;HDF5 (*.h5 *.hdf5)";
        QString chosen;
        QString path = QFileDialog::getSaveFileName(this, "Record the stream", "record.wav", filters, &chosen);
        if (path.isEmpty()) return;
        pipeline::Format format = pipeline::Format::Csv;
        const qsizetype star = chosen.indexOf("*.");
        if (!recording_format(path.toStdString(), &format).empty() && star >= 0) {
            // A name typed without an extension takes the chosen filter's.
            path += chosen.mid(star + 1, chosen.indexOf(QRegularExpression("[ )]"), star) - star - 1);
        }
        scope_.setRecording(path.toStdString());
        record_->setText("Stop recording");
    });
    connect(screen_, &ScreenWidget::levelDragged, this, [this](double y) {
        const Plot p = screen_->plot();
        ScopeSettings s = scope_.settings();
        s.levelVolts = y_to_volts(p, s, y);
        level_->setValue(normalise(s).levelVolts);
    });
    connect(screen_, &ScreenWidget::cursorPlaced, this, [this](int which, double x) {
        if (!scope_.hasFrame() || scope_.frame().samples.empty()) return;
        const double t = x_to_seconds(screen_->plot(), scope_.frame(), x);
        (which == 1 ? scope_.cursors().t1 : scope_.cursors().t2) = t;
        scope_.cursors().on = true;
        cursors_on_->setChecked(true);
        redraw();
    });
}

void ScopeWindow::syncControls() {
    const ScopeSettings& s = scope_.settings();
    syncing_ = true;
    board_->setValue(s.board);
    divider_->setValue(s.divider);
    timebase_->clear();
    for (double t : time_bases(s.sampleRate())) timebase_->addItem(QString::fromStdString(format_seconds(t)), t);
    for (int i = 0; i < timebase_->count(); ++i) {
        if (same_step(s.secondsPerDiv, timebase_->itemData(i).toDouble())) timebase_->setCurrentIndex(i);
    }
    for (int i = 0; i < volts_->count(); ++i) {
        if (same_step(s.voltsPerDiv, volts_->itemData(i).toDouble())) volts_->setCurrentIndex(i);
    }
    offset_->setValue(s.offsetVolts);
    mode_->setCurrentIndex(static_cast<int>(s.mode));
    edge_->setCurrentIndex(s.edge == analysis::Edge::Rising ? 0 : 1);
    level_->setValue(s.levelVolts);
    pretrigger_->setValue(s.pretriggerPercent);
    holdoff_->setValue(s.holdoffSeconds);
    record_->setText(scope_.recording().empty() ? "Record..." : "Stop recording");
    syncing_ = false;
}

void ScopeWindow::settingsChanged() {
    if (syncing_) return;
    ScopeSettings s = scope_.settings();
    const ScopeSettings old = s;
    s.board = board_->value();
    s.divider = divider_->value();
    s.secondsPerDiv = timebase_->currentData().toDouble();
    s.voltsPerDiv = volts_->currentData().toDouble();
    s.offsetVolts = offset_->value();
    s.mode = static_cast<analysis::TriggerMode>(mode_->currentIndex());
    s.edge = edge_->currentIndex() == 0 ? analysis::Edge::Rising : analysis::Edge::Falling;
    s.levelVolts = level_->value();
    s.pretriggerPercent = pretrigger_->value();
    s.holdoffSeconds = holdoff_->value();
    // A new rate brings new time bases (the nearest is kept), and roll
    // moves to a slow one rather than be refused.
    s = normalise(s);
    scope_.apply(s);
    if (s.divider != old.divider || s.secondsPerDiv != old.secondsPerDiv || s.mode != old.mode) syncControls();
    redraw();
}

void ScopeWindow::run() { scope_.run(); }

void ScopeWindow::single() {
    scope_.single();
    syncControls();
}

void ScopeWindow::stop() { scope_.stop(); }

void ScopeWindow::tick() {
    if (quit_ && quit_->load(std::memory_order_relaxed)) {
        close();
        return;
    }
    const double now = static_cast<double>(clock_.elapsed()) / 1000.0;
    if (scope_.tick(now)) redraw();
    if (scope_.takeSettingsChanged()) syncControls();
    if (scope_.screenshotDue(now)) {
        saveScreenshot(QString::fromStdString(scope_.settings().screenshot));
        // A picture of a failure is still saved, but the exit code says the
        // scope did not run, so a script does not take it for a trace.
        for (const std::string& line : scope_.endForScreenshot(now))
            std::fprintf(stderr, "kv318-scope: %s\n", line.c_str());
        if (exitCode_ == 0) exitCode_ = scope_.screenshotExitCode();
        close();
    }
}

void ScopeWindow::saveScreenshot(const QString& path) {
    redraw();
    screen_->repaint();
    if (!grab().save(path, "PNG")) {
        std::fprintf(stderr, "kv318-scope: cannot write %s\n", path.toLocal8Bit().constData());
        exitCode_ = 1;
    }
}

void ScopeWindow::redraw() {
    // Texts wrap as wide as the screen's own font draws them.
    const QFontMetricsF metrics(screen_->font());
    screen_->setModel(scope_.view(screen_->width(), screen_->height(), [&metrics](const std::string& text) {
        return metrics.horizontalAdvance(QString::fromStdString(text));
    }));
    screen_->update();
}

}  // namespace kv318::scope::qt
