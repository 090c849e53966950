// The panel on a simulated board: kv318-sim with a constant 1.5 V input
// serves board 0 in a private directory, and Form1 drives the real
// libKV318.so through its lazy binding, offscreen.  With KV318_PANEL_SERVER
// naming kv318-server, the server serves that board first, and the same
// panel, unchanged, reaches it through the server, as the library finds it.
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "backend_ops.h"
#include "library_loader.h"
#include "fakes.h"
#include "form1.h"
#include "lazy_binding.h"
#include "qt_simulator.h"

using kv318::panel::Control;

namespace {
constexpr int kDeadlineMs = 30000;
}

class PanelEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The library looks for the board's socket there from its first open.
        const QString failed = sim_.start({"--signal", "const", "--value", "1.5"});
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        const QString server = qEnvironmentVariable("KV318_PANEL_SERVER");
        if (!server.isEmpty()) {
            // Its private ipc socket beside the board's: no keys needed.
            server_.setProgram(server);
            server_.setArguments({"--listen", "ipc://" + sim_.path("kv318-server"), "--board", "0"});
            server_.setProcessChannelMode(QProcess::MergedChannels);
            server_.start();
            QVERIFY2(server_.waitForStarted(kDeadlineMs), qPrintable(server_.errorString()));
            QString said;
            QTRY_VERIFY2_WITH_TIMEOUT((said += QString::fromLocal8Bit(server_.readAll())).contains("serving board 0"),
                                      qPrintable(said), kDeadlineMs);
        }

        kv318::qt::ShellHooks hooks;
        hooks.messageBox = [this](QWidget*, const QString& t) { messages_ << t; };
        hooks.beep = [] {};
        hooks.exit = [this](int) { exited_ = true; };
        form_ = std::make_unique<kv318::qt::Form1>(lib_, clock_, hooks);
        form_->load();
        QVERIFY2(form_->windowTitle().contains("    HANDLE="), qPrintable(form_->windowTitle()));
        // A served board's handle lies in the library's served range.
        const long long handle = form_->panel().module().hDevice;
        QVERIFY2((handle >= KV318_SERVED_HANDLE_BASE) == (server_.state() == QProcess::Running),
                 qPrintable(QString::number(handle)));
        QVERIFY(!exited_);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void analogStartListsTheSignal() {
        click(Control::Command6);
        auto* list = qobject_cast<QListWidget*>(form_->control(Control::List1));
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), 9, kDeadlineMs);
        click(Control::Command7);
        QCOMPARE(list->item(0)->text(), QString::fromUtf8("通道号 采样值 电压值"));
        // 1.5 V is code 2458 (1.50024 V).
        for (int i = 1; i <= 8; ++i) {
            const std::string line = kv318::panel::testing::listed(std::to_string(i - 1), "2458", "1.500V");
            QCOMPARE(list->item(i)->text(), QString::fromStdString(line));
        }
        QVERIFY(form_->grab().save(KV318_PANEL_SHOT_DIR "/panel_e2e.png"));
        QVERIFY(messages_.isEmpty());
    }

    void outputWordComesBackOnTheInputs() {
        auto* text1 = qobject_cast<QLineEdit*>(form_->control(Control::Text1));
        text1->setFocus();
        text1->selectAll();
        QTest::keyClicks(text1, "00a5c3");
        click(Control::Command1);
        QCOMPARE(text1->text(), QString("A5C3"));
        click(Control::Command2);
        QCOMPARE(qobject_cast<QLineEdit*>(form_->control(Control::Text2))->text(), QString("oxA5C3"));
    }

    void counterClimbs() {
        auto* text3 = qobject_cast<QLineEdit*>(form_->control(Control::Text3));
        click(Control::Command3);
        QTRY_VERIFY_WITH_TIMEOUT(text3->text().toInt() > 0, kDeadlineMs);
        const int first = text3->text().toInt();
        QTRY_VERIFY_WITH_TIMEOUT(text3->text().toInt() > first, kDeadlineMs);
        QVERIFY(messages_.isEmpty());
    }

    void pulseButtonsSwap() {
        click(Control::Command4);
        QVERIFY(!form_->control(Control::Command4)->isEnabled());
        QVERIFY(form_->control(Control::Command5)->isEnabled());
        click(Control::Command5);
        QVERIFY(form_->control(Control::Command4)->isEnabled());
        QVERIFY(!form_->control(Control::Command5)->isEnabled());
        QVERIFY(messages_.isEmpty());
    }

    void withoutABoardTheTitleSaysSoAndTheTickGivesUp() {
        // A second panel looks for board 0 where nobody serves it.
        QTemporaryDir empty;
        QVERIFY(empty.isValid());
        qputenv("KV318_DRIVER_DIR", empty.path().toLocal8Bit());
        QStringList messages;
        int beeps = 0;
        kv318::qt::ShellHooks hooks;
        hooks.messageBox = [&](QWidget*, const QString& t) { messages << t; };
        hooks.beep = [&] { ++beeps; };
        hooks.exit = [](int) {};
        kv318::qt::Form1 lost(lib_, clock_, hooks);
        lost.load();
        qputenv("KV318_DRIVER_DIR", sim_.dir().toLocal8Bit());
        QCOMPARE(lost.windowTitle(), QString("Error Load KV318"));
        QCOMPARE(beeps, 1);
        QCOMPARE(lost.panel().module().hDevice, -1);

        // With handle -1 no batch ever comes: the tick gives up with "over!".
        lost.show();
        QTest::mouseClick(lost.control(Control::Command6), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(messages, QStringList{"over!"}, kDeadlineMs);
        QVERIFY(!lost.timer(Control::Timer1)->isActive());
        QVERIFY(!lost.control(Control::Command6)->isEnabled());
    }

    void cleanupTestCase() {
        form_.reset();
        if (server_.state() == QProcess::Running) {
            server_.terminate();
            QVERIFY(server_.waitForFinished(kDeadlineMs));
            QCOMPARE(server_.exitCode(), 0);
        }
        QVERIFY(sim_.stop());
    }

private:
    void click(Control c) { QTest::mouseClick(form_->control(c), Qt::LeftButton); }

    kv318::test::QtSimulator sim_;
    QProcess server_;
    kv318::panel::LibraryLoader loader_{{KV318_LIBRARY_DIR}};
    kv318::panel::LazyBinding lib_{loader_, "libKV318.so"};
    kv318::panel::SteadyClock clock_;
    std::unique_ptr<kv318::qt::Form1> form_;
    QStringList messages_;
    bool exited_ = false;
};

QTEST_MAIN(PanelEndToEnd)
#include "end_to_end_test.moc"
