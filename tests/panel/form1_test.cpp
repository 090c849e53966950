// Form1 on Qt, offscreen: real clicks and key presses against a fake
// library.
#include <QClipboard>
#include <QDropEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <memory>

#include "fakes.h"
#include "form1.h"

using kv318::panel::Control;
using namespace kv318::panel::testing;

namespace {

// A form over a fake library, with message boxes, beeps and exit recorded.
struct Bench {
    explicit Bench(std::int32_t handle = 0x7C, bool realBoxes = false) {
        lib.openResult = handle;
        kv318::qt::ShellHooks hooks;
        if (!realBoxes) hooks.messageBox = [this](QWidget*, const QString& t) { messages << t; };
        hooks.beep = [this] { ++beeps; };
        hooks.exit = [this](int code) { exitCode = code; };
        form = std::make_unique<kv318::qt::Form1>(lib, clock, hooks);
    }
    template <class W = QWidget>
    W* w(Control c) {
        return qobject_cast<W*>(form->control(c));
    }

    Log log;
    FakeClock clock;
    FakeLibrary lib{log, clock};
    QStringList messages;
    int beeps = 0;
    int exitCode = -100;
    std::unique_ptr<kv318::qt::Form1> form;
};

}  // namespace

class Form1Test : public QObject {
    Q_OBJECT

private slots:
    void titleComesFromLoadBeforeFirstShow() {
        Bench b(0x7C);
        b.form->load();
        QVERIFY(!b.form->isVisible());
        QVERIFY(b.form->windowTitle().startsWith("KV318 Testing Program     "));
        QVERIFY(b.form->windowTitle().endsWith("    HANDLE=7CH"));
        QCOMPARE(b.beeps, 0);

        Bench none(-1);
        none.form->load();
        QCOMPARE(none.form->windowTitle(), QString("Error Load KV318"));
        QCOMPARE(none.beeps, 1);
        for (const auto& c : kv318::panel::control_table()) {
            if (c.kind == kv318::panel::Kind::Button) QVERIFY(none.form->control(c.id)->isEnabled());
        }
    }

    void everyControlSitsAtItsTwipsGeometry() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));
        const int dx = b.form->logicalDpiX();
        const int dy = b.form->logicalDpiY();
        auto px = [](int twips, int dpi) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); };
        QCOMPARE(b.form->size(), QSize(px(5955, dx), px(4125, dy)));
        // Resizing moves nothing.
        b.form->resize(900, 700);
        for (const auto& c : kv318::panel::control_table()) {
            if (c.kind == kv318::panel::Kind::Window || c.kind == kv318::panel::Kind::Timer) continue;
            QWidget* w = b.form->control(c.id);
            QVERIFY2(w != nullptr, c.name);
            QCOMPARE(w->objectName(), QString(c.name));
            QCOMPARE(w->parentWidget(), b.form->control(c.container));
            QCOMPARE(w->geometry(), QRect(px(c.left, dx), px(c.top, dy), px(c.width, dx), px(c.height, dy)));
            if (c.kind == kv318::panel::Kind::Button)
                QCOMPARE(b.w<QPushButton>(c.id)->text(), QString::fromUtf8(c.caption));
            if (c.kind == kv318::panel::Kind::Frame)
                QCOMPARE(b.w<QGroupBox>(c.id)->title(), QString::fromUtf8(c.caption));
        }
        QCOMPARE(b.w<QLineEdit>(Control::Text1)->text(), QString(" "));
        QCOMPARE(b.w<QLineEdit>(Control::Text3)->text(), QString(" "));
        QVERIFY(b.w<QLineEdit>(Control::Text2)->isReadOnly());
        QVERIFY(!b.form->timer(Control::Timer1)->isActive());
        QVERIFY(!b.form->timer(Control::Timer2)->isActive());
        QCOMPARE(b.form->timer(Control::Timer1)->interval(), 100);
    }

    void focusStartsInText1AndTabFollowsTheOrder() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowActive(b.form.get()));
        QCOMPARE(QApplication::focusWidget(), b.form->control(Control::Text1));
        const QStringList expected{"Text2",    "Command1", "Command2", "Command3", "Text3", "Command4",
                                   "Command5", "Command6", "Command7", "Command8", "List1", "Text1"};
        QStringList seen;
        for (int i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, expected);
        QVERIFY(b.messages.isEmpty());
    }

    void keyFilterDropsOtherCharactersAndShowsItsMessage() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowActive(b.form.get()));
        auto* text1 = b.w<QLineEdit>(Control::Text1);
        text1->setCursorPosition(1);

        struct Key {
            Qt::Key key;
            bool dropped;
        };
        for (const Key k : {Key{Qt::Key_G, true}, Key{Qt::Key_Space, true}, Key{Qt::Key_Return, true},
                            Key{Qt::Key_Escape, true}, Key{Qt::Key_1, false}, Key{Qt::Key_A, false}}) {
            const QString before = text1->text();
            b.messages.clear();
            QTest::keyClick(text1, k.key);
            if (k.dropped) {
                QCOMPARE(text1->text(), before);
                QCOMPARE(b.messages, QStringList{QString::fromUtf8("请正确输入！")});
            } else {
                QCOMPARE(text1->text().size(), before.size() + 1);
                QVERIFY(b.messages.isEmpty());
            }
        }
        QCOMPARE(text1->text(), QString(" 1a"));
        // Backspace and Delete pass with no message.
        b.messages.clear();
        QTest::keyClick(text1, Qt::Key_Backspace);
        QCOMPARE(text1->text(), QString(" 1"));
        QTest::keyClick(text1, Qt::Key_Home);
        QTest::keyClick(text1, Qt::Key_Delete);
        QCOMPARE(text1->text(), QString("1"));
        QVERIFY(b.messages.isEmpty());
        QVERIFY(library_calls(b.log).size() == 1);  // only the open
    }

    void pasteIsRefusedWhateverTextTheKeyCarries() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowActive(b.form.get()));
        auto* text1 = b.w<QLineEdit>(Control::Text1);
        QGuiApplication::clipboard()->setText("ABC");
        text1->setCursorPosition(1);
        // What platforms attach to Ctrl+V: nothing, the letter, the control
        // character, or text that would itself pass the filter.
        for (const QString& carried : {QString(), QString("v"), QString(QChar(0x16)), QString("1")}) {
            b.messages.clear();
            QKeyEvent press(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, carried);
            QApplication::sendEvent(text1, &press);
            QCOMPARE(text1->text(), QString(" "));
            QCOMPARE(b.messages, QStringList{QString::fromUtf8("请正确输入！")});
        }
        QCOMPARE(library_calls(b.log).size(), std::size_t{1});  // only the open
    }

    void text1RefusesDrops() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));
        auto* text1 = b.w<QLineEdit>(Control::Text1);
        QVERIFY(!text1->acceptDrops());
        // Sent to the box itself, past the search for a widget that takes drops.
        QMimeData mime;
        mime.setText("GG");
        const QPoint at = text1->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(text1, &enter);
        QVERIFY(!enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(text1, &drop);
        QVERIFY(!drop.isAccepted());
        QCOMPARE(text1->text(), QString(" "));
        QVERIFY(b.messages.isEmpty());
    }

    void closingTheWindowMakesNoLibraryCall() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));
        QCOMPARE(library_calls(b.log), Log{"lib OpenDevice(0)"});
        // As the close box does: a close event, then the window goes.
        QVERIFY(b.form->close());
        QVERIFY(!b.form->isVisible());
        QCoreApplication::processEvents();
        QCOMPARE(library_calls(b.log), Log{"lib OpenDevice(0)"});
        QVERIFY(b.messages.isEmpty());
    }

    void typingStopsAtSevenCharacters() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowActive(b.form.get()));
        auto* text1 = b.w<QLineEdit>(Control::Text1);
        text1->selectAll();
        QTest::keyClicks(text1, "123456789");
        QCOMPARE(text1->text(), QString("1234567"));
        QVERIFY(b.messages.isEmpty());

        // The written word goes to the library when 输出 is clicked.
        b.log.clear();
        QTest::mouseClick(b.w(Control::Command1), Qt::LeftButton);
        QCOMPARE(text1->text(), QString("FFFF"));
        QCOMPARE(library_calls(b.log), Log{"lib DO(124,65535)"});
    }

    void buttonsReachTheHandlersAndTimersTick() {
        Bench b;
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));

        QTest::mouseClick(b.w(Control::Command4), Qt::LeftButton);
        QVERIFY(!b.w(Control::Command4)->isEnabled());
        QVERIFY(b.w(Control::Command5)->isEnabled());
        QTest::mouseClick(b.w(Control::Command5), Qt::LeftButton);
        QVERIFY(b.w(Control::Command4)->isEnabled());
        QVERIFY(!b.w(Control::Command5)->isEnabled());

        b.lib.diResult = 0xA5;
        QTest::mouseClick(b.w(Control::Command2), Qt::LeftButton);
        QCOMPARE(b.w<QLineEdit>(Control::Text2)->text(), QString("oxA5"));

        // The counter polls on its own timer until -1.
        b.lib.creadScript = {5, 9, -1};
        QTest::mouseClick(b.w(Control::Command3), Qt::LeftButton);
        QVERIFY(b.form->timer(Control::Timer2)->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(b.w<QLineEdit>(Control::Text3)->text(), QString("-1"), 20000);
        QVERIFY(!b.form->timer(Control::Timer2)->isActive());
        QCOMPARE(b.messages, QStringList{"over!"});

        // The analog tick fills the list.
        b.lib.readScript = {{60, std::vector<std::int32_t>(60, 2048)}};
        QTest::mouseClick(b.w(Control::Command6), Qt::LeftButton);
        QVERIFY(b.form->timer(Control::Timer1)->isActive());
        auto* list = b.w<QListWidget>(Control::List1);
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), 9, 20000);
        QCOMPARE(list->item(0)->text(), QString::fromUtf8("通道号 采样值 电压值"));
        QCOMPARE(list->item(8)->text(), QString::fromStdString(listed("7", "512", "0.313V")));
        QTest::mouseClick(b.w(Control::Command7), Qt::LeftButton);
        QVERIFY(!b.form->timer(Control::Timer1)->isActive());

        QTest::mouseClick(b.w(Control::Command8), Qt::LeftButton);
        QCOMPARE(b.exitCode, 0);
    }

    void messageBoxIsModalWithOkOnly() {
        Bench b(0x7C, true);
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));
        QString seenText;
        int buttons = -1;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            seenText = box->text();
            buttons = static_cast<int>(box->buttons().size());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(b.w(Control::Command1), Qt::LeftButton);  // start-up blank
        QCOMPARE(seenText, QString::fromUtf8("请输I/O数据！"));
        QCOMPARE(buttons, 1);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void screenshot() {
        Bench b(0x7C);
        b.form->load();
        b.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.form.get()));
        b.lib.readScript = {{60, std::vector<std::int32_t>(60, 4937)}};
        QTest::mouseClick(b.w(Control::Command6), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(b.w<QListWidget>(Control::List1)->count(), 9, 20000);
        QVERIFY(b.form->grab().save(KV318_PANEL_SHOT_DIR "/panel_fake.png"));
    }
};

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
