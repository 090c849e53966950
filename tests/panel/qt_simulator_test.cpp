// The Qt tests' simulator fixture (tests/support/qt_simulator.h): a
// simulator that serves board 0 is reported started and the library is
// pointed at its directory; one that exits at start-up is reported at once
// with its exit code, not after the deadline; and the stop says whether it
// ended cleanly.
#include <QFileInfo>
#include <QtTest>

#include "qt_simulator.h"

class QtSimulatorTest : public QObject {
    Q_OBJECT

private slots:
    void servesBoardZeroAndPointsTheLibraryAtIt() {
        kv318::test::QtSimulator sim;
        const QString failed = sim.start({"--signal", "ramp"});
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY(QFileInfo::exists(sim.path("KV318Device0")));
        QCOMPARE(qgetenv("KV318_DRIVER_DIR"), sim.dir().toLocal8Bit());
        QVERIFY(sim.stop());
        // Stopped once, it stays stopped, and says so again.
        QVERIFY(sim.stop());
    }

    void aSimulatorThatExitsAtStartUpFailsAtOnce() {
        kv318::test::QtSimulator sim;
        // Not "did not serve board 0 in time": it saw the exit.
        const QString failed = sim.start({"--no-such-option"});
        QCOMPARE(failed, QString("kv318-sim exited during start-up with 2"));
        QVERIFY(!sim.stop());
    }
};

QTEST_GUILESS_MAIN(QtSimulatorTest)
#include "qt_simulator_test.moc"
