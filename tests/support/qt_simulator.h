// kv318-sim for the Qt tests (the panel's and the scope's): one simulator
// process serving its boards in a private directory that this process's
// library is pointed at, started before the first test and stopped after
// the last.  Header-only: the tests link Qt already, and the CMake target
// kv318_qt_simulator gives them KV318_SIM_PATH and builds kv318-sim first.
#pragma once

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

namespace kv318::test {

// Everything runs on the test's thread (Qt's main thread).  Not copyable:
// it owns the process and the directory, both gone when it is destroyed.
class QtSimulator {
public:
    // How long start-up, and the stop, may take on a busy machine.
    static constexpr int kDeadlineMs = 30000;

    QtSimulator() = default;
    QtSimulator(const QtSimulator&) = delete;
    QtSimulator& operator=(const QtSimulator&) = delete;
    ~QtSimulator() { stop(); }

    // Starts kv318-sim with `args` after its --dir, waits until it serves
    // board 0, and sets KV318_DRIVER_DIR so that the library opens its
    // boards from then on.  Returns an empty string, or what went wrong (for
    // QVERIFY2); a simulator that exits during start-up fails at once
    // instead of after the deadline.
    QString start(const QStringList& args) {
        if (!dir_.isValid()) return "no private directory: " + dir_.errorString();
        process_.setProgram(KV318_SIM_PATH);
        process_.setArguments(QStringList{"--dir", dir_.path()} + args);
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start();
        if (!process_.waitForStarted(kDeadlineMs)) return "kv318-sim did not start: " + process_.errorString();
        QDeadlineTimer deadline(kDeadlineMs);
        while (!QFileInfo::exists(path("KV318Device0"))) {
            if (process_.state() != QProcess::Running)
                return QString("kv318-sim exited during start-up with %1").arg(process_.exitCode());
            if (deadline.hasExpired()) return "kv318-sim did not serve board 0 in time";
            QTest::qWait(20);
        }
        qputenv("KV318_DRIVER_DIR", dir_.path().toLocal8Bit());
        return {};
    }

    // The directory the boards are served in (KV318_DRIVER_DIR).
    QString dir() const { return dir_.path(); }

    // A file `name` in that directory; the directory is removed with it.
    QString path(const QString& name) const { return dir_.filePath(name); }

    // Asks the simulator to stop (SIGTERM) and waits for it.  Returns true
    // when it exited normally with status 0, or was never started.
    bool stop() {
        if (process_.state() == QProcess::NotRunning)
            return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
        process_.terminate();
        if (!process_.waitForFinished(kDeadlineMs)) {
            process_.kill();
            process_.waitForFinished(kDeadlineMs);
            return false;
        }
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
};

}  // namespace kv318::test
