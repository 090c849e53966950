#include "form1.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace kv318::qt {

using panel::Control;
using panel::ControlSpec;
using panel::Kind;

namespace {

QString qs(const char* utf8) { return QString::fromUtf8(utf8); }
QString qs(const std::string& utf8) { return QString::fromStdString(utf8); }

void realMessageBox(QWidget* parent, const QString& text) {
    // OK only, no icon, and the application's own name as the title.
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

Form1::Form1(panel::Binding& lib, panel::Clock& clock, ShellHooks hooks, QWidget* parent)
    : QWidget(parent), panel_(*this, lib, clock), hooks_(std::move(hooks)) {
    if (!hooks_.messageBox) hooks_.messageBox = realMessageBox;
    if (!hooks_.beep) hooks_.beep = [] { QApplication::beep(); };
    if (!hooks_.exit) hooks_.exit = [](int code) { QCoreApplication::exit(code); };
    build();
    connectEvents();
}

Form1::~Form1() = default;

int Form1::twipsX(int twips) const { return panel::twips_to_pixels(twips, logicalDpiX()); }
int Form1::twipsY(int twips) const { return panel::twips_to_pixels(twips, logicalDpiY()); }

void Form1::build() {
    setObjectName("Form1");
    widgets_[index(Control::Form1)] = this;
    // Controls sit at fixed positions: no layout, so a resize moves nothing.
    resize(twipsX(panel::kClientWidthTwips), twipsY(panel::kClientHeightTwips));

    for (const ControlSpec& c : panel::control_table()) {
        QWidget* parent = widgets_[index(c.container)];
        QWidget* w = nullptr;
        switch (c.kind) {
        case Kind::Window:
            continue;
        case Kind::Timer: {
            auto* t = new QTimer(this);
            t->setObjectName(c.name);
            t->setInterval(panel::kTimerIntervalMs);
            (c.id == Control::Timer1 ? timer1_ : timer2_) = t;
            continue;
        }
        case Kind::Frame: {
            auto* box = new QGroupBox(qs(c.caption), parent);
            box->setFocusPolicy(Qt::NoFocus);
            w = box;
            break;
        }
        case Kind::Label: {
            auto* label = new QLabel(qs(c.caption), parent);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = label;
            break;
        }
        case Kind::TextBox: {
            auto* edit = new QLineEdit(parent);
            if (c.maxLength > 0) edit->setMaxLength(c.maxLength);
            edit->setText(qs(c.caption));
            edit->setReadOnly(c.readOnly);
            // Characters arrive as key presses only, so the key filter sees
            // every one of them.
            edit->setAttribute(Qt::WA_InputMethodEnabled, false);
            // A drop would put text in without a key press, past the filter.
            if (c.id == Control::Text1) edit->setAcceptDrops(false);
            w = edit;
            break;
        }
        case Kind::Button: {
            auto* button = new QPushButton(qs(c.caption), parent);
            button->setAutoDefault(false);
            button->setDefault(false);
            w = button;
            break;
        }
        case Kind::ListBox: {
            auto* list = new QListWidget(parent);
            list->setSortingEnabled(false);
            w = list;
            break;
        }
        }
        w->setObjectName(c.name);
        w->setGeometry(twipsX(c.left), twipsY(c.top), twipsX(c.width), twipsY(c.height));
        widgets_[index(c.id)] = w;
    }

    const auto order = panel::focus_order();
    for (std::size_t i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(widgets_[index(order[i - 1])], widgets_[index(order[i])]);
    }
    widgets_[index(Control::Text1)]->setFocus();
}

void Form1::connectEvents() {
    auto click = [this](Control id, void (panel::Panel::*handler)()) {
        connect(static_cast<QPushButton*>(widgets_[index(id)]), &QPushButton::clicked, this,
                [this, handler] { (panel_.*handler)(); });
    };
    click(Control::Command1, &panel::Panel::Command1_Click);
    click(Control::Command2, &panel::Panel::Command2_Click);
    click(Control::Command3, &panel::Panel::Command3_Click);
    click(Control::Command4, &panel::Panel::Command4_Click);
    click(Control::Command5, &panel::Panel::Command5_Click);
    click(Control::Command6, &panel::Panel::Command6_Click);
    click(Control::Command7, &panel::Panel::Command7_Click);
    click(Control::Command8, &panel::Panel::Command8_Click);
    connect(timer1_, &QTimer::timeout, this, [this] { panel_.Timer1_Timer(); });
    connect(timer2_, &QTimer::timeout, this, [this] { panel_.Timer2_Timer(); });
    widgets_[index(Control::Text1)]->installEventFilter(this);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched != widgets_[index(Control::Text1)] || event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    // Paste is the character Ctrl+V types (U+0016), as a Windows text box
    // receives it, whatever text this platform attaches to the key event;
    // the panel refuses it as any character that is no hexadecimal digit.
    if (key->matches(QKeySequence::Paste)) {
        constexpr char32_t kCtrlV = 0x16;
        return !panel_.Text1_KeyPress(kCtrlV);
    }
    // Tab moves the focus, and keys that type no character (Delete, the
    // arrows, function keys) are not filtered.
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Delete ||
        key->text().isEmpty()) {
        return false;
    }
    for (char32_t ch : key->text().toUcs4()) {
        if (!panel_.Text1_KeyPress(ch)) return true;  // discarded: the box never sees it
    }
    return false;
}

void Form1::load() { panel_.Form1_Load(); }

QTimer* Form1::timer(Control id) const { return id == Control::Timer1 ? timer1_ : timer2_; }

void Form1::set_title(const std::string& text) { setWindowTitle(qs(text)); }

void Form1::beep() { hooks_.beep(); }

std::string Form1::text(Control box) { return static_cast<QLineEdit*>(widgets_[index(box)])->text().toStdString(); }

void Form1::set_text(Control box, const std::string& text) {
    static_cast<QLineEdit*>(widgets_[index(box)])->setText(qs(text));
}

void Form1::set_enabled(Control button, bool enabled) { widgets_[index(button)]->setEnabled(enabled); }

void Form1::set_timer(Control id, bool enabled) {
    QTimer* t = timer(id);
    // Enabling a running timer leaves its period alone, as stopping a
    // stopped one does.
    if (enabled && !t->isActive()) t->start();
    if (!enabled) t->stop();
}

void Form1::clear_list(Control list) { static_cast<QListWidget*>(widgets_[index(list)])->clear(); }

void Form1::add_item(Control list, const std::string& item) {
    static_cast<QListWidget*>(widgets_[index(list)])->addItem(qs(item));
}

void Form1::message_box(const std::string& text) { hooks_.messageBox(this, qs(text)); }

void Form1::exit(int code) {
    exitRequested_ = true;
    exitCode_ = code;
    timer1_->stop();
    timer2_->stop();
    hooks_.exit(code);
}

}  // namespace kv318::qt
