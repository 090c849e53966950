// kv318-scope's Qt window on kv318-sim (a constant 1.5 V input) served in a
// private directory, offscreen: the program's screenshot puts the trace
// where the volts say, and the window, driven in-process through a
// recording table of the library's exports, stops the acquisition when it
// closes and names what went wrong when the board does not start.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "board_api.h"
#include "png_writer.h"
#include "qt_simulator.h"
#include "sample_units.h"
#include "scope_window.h"
#include "view.h"
#include "wav_chunks.h"

namespace {

constexpr int kDeadlineMs = 30000;

// Every export the window's worker calls, in order, forwarded to the real
// library; open and start can be made to fail.
struct Recorder {
    std::mutex lock;
    std::vector<std::string> calls;
    int openFailures = 0;  // the next this many opens fail
    std::int32_t startResult = 0;
    static Recorder& get() {
        static Recorder r;
        return r;
    }
    void note(const char* name) {
        std::lock_guard<std::mutex> g(lock);
        calls.emplace_back(name);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
    int count(const std::string& name) {
        const auto c = snapshot();
        return static_cast<int>(std::count(c.begin(), c.end(), name));
    }
};

const kv318::pipeline::BoardApi& real() { return kv318::pipeline::library_api(); }

std::int32_t KV318_CALL rec_open(std::int32_t board) {
    Recorder& r = Recorder::get();
    r.note("KV318_OpenDevice");
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (r.openFailures > 0) {
            --r.openFailures;
            return -1;
        }
    }
    return real().open(board);
}
std::int32_t KV318_CALL rec_close(std::int32_t h) {
    Recorder::get().note("KV318_CloseDevice");
    return real().close(h);
}
std::int32_t KV318_CALL rec_ad(std::int32_t h, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                               std::int32_t divider) {
    Recorder& r = Recorder::get();
    r.note("KV318_AD");
    if (r.startResult != 0) return r.startResult;
    return real().ad(h, a, b, c, d, divider);
}
std::int32_t KV318_CALL rec_read(std::int32_t h, std::int32_t* s) {
    Recorder::get().note("KV318_Read");
    return real().read(h, s);
}
std::int32_t KV318_CALL rec_stop(std::int32_t h) {
    Recorder::get().note("KV318_StopAD");
    return real().stopAd(h);
}

kv318::pipeline::BoardApi recording_api() {
    kv318::pipeline::BoardApi api = real();
    api.open = rec_open;
    api.close = rec_close;
    api.ad = rec_ad;
    api.read = rec_read;
    api.stopAd = rec_stop;
    return api;
}

std::string hint(int) { return " (test hint)"; }

kv318::scope::ScopeSettings settings_1v() {
    kv318::scope::ScopeSettings s;
    s.divider = 20;
    s.secondsPerDiv = 1e-3;
    s.voltsPerDiv = 1;
    return s;
}

bool same(QRgb px, const kv318::scope::Color& c) { return qRed(px) == c.r && qGreen(px) == c.g && qBlue(px) == c.b; }

}  // namespace

class ScopeWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        const QString failed = sim_.start({"--signal", "const", "--value", "1.5"});
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    void cleanupTestCase() { QVERIFY(sim_.stop()); }

    // The program itself: --screenshot saves the window and exits 0, and the
    // picture's trace of 1.5 V lies 1.5 divisions above the centre line at
    // 1 V/div.  The graticule's frame is found in the picture by its colour.
    void screenshotPutsTheTraceAtItsVolts() {
        const QString shot = sim_.path("scope.png");
        QProcess scope;
        scope.setProgram(KV318_SCOPE_PATH);
        scope.setArguments({"--divider", "20", "--timebase", "1ms", "--volts-per-div", "1", "--offset", "0",
                            "--trigger", "rising:0.5", "--mode", "auto", "--screenshot", shot, "--after", "1"});
        scope.setProcessChannelMode(QProcess::ForwardedChannels);
        scope.start();
        QVERIFY(scope.waitForFinished(3 * kDeadlineMs));
        QCOMPARE(scope.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scope.exitCode(), 0);
        QImage img(shot);
        QVERIFY(!img.isNull());
        img.save(KV318_SCOPE_SHOT_DIR "/scope_const.png");
        int top = img.height(), bottom = -1, left = img.width(), right = -1;
        std::vector<int> traceRows;
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 0; x < img.width(); ++x) {
                const QRgb px = img.pixel(x, y);
                if (same(px, kv318::scope::kAxis)) {
                    top = std::min(top, y), bottom = std::max(bottom, y);
                    left = std::min(left, x), right = std::max(right, x);
                }
                if (same(px, kv318::scope::kTrace)) traceRows.push_back(y);
            }
        }
        QVERIFY2(bottom > top + 80, "the graticule's frame is in the picture");
        QVERIFY2(traceRows.size() > 300, "a trace across the screen");
        std::sort(traceRows.begin(), traceRows.end());
        const double traceY = traceRows[traceRows.size() / 2];
        const double centre = (top + bottom) / 2.0;
        const double division = (bottom - top) / 8.0;
        const double above = (centre - traceY) / division;
        QVERIFY2(std::abs(above - 1.5) < 0.05, qPrintable(QString("trace %1 divisions above the centre").arg(above)));
        // A flat trace: every trace pixel on the same row or the next.
        QVERIFY(traceRows.back() - traceRows.front() <= 1);
    }

    // The scripted recording: --record starts with the first run, and the
    // WAV file the program leaves names the scope and the run, and holds
    // the simulator's 1.5 V in every sample its header counts.
    void recordOptionRecordsTheFirstRun() {
        const QString wav = sim_.path("record.wav");
        QProcess scope;
        scope.setProgram(KV318_SCOPE_PATH);
        scope.setArguments(
            {"--divider", "20", "--record", wav, "--screenshot", sim_.path("record.png"), "--after", "1"});
        scope.setProcessChannelMode(QProcess::ForwardedChannels);
        scope.start();
        QVERIFY(scope.waitForFinished(3 * kDeadlineMs));
        QCOMPARE(scope.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scope.exitCode(), 0);
        QFile f(wav);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray b = f.readAll();
        const kv318::test::WavChunks w = kv318::test::walk_wav({b.begin(), b.end()});
        QVERIFY2(w.valid, "its sizes up to date");
        QVERIFY2(w.info.find("ISFT=kv318-scope ") == 0, w.info.c_str());
        QVERIFY2(w.info.find("; board: 0; identity: ") != std::string::npos, w.info.c_str());
        QVERIFY2(w.info.find("; divider: 20; ") != std::string::npos, w.info.c_str());
        QVERIFY2(w.samples.size() >= 50'000, "a second at 100 kS/s");
        for (const std::int32_t sample : w.samples)
            QVERIFY2(std::abs(kv318::units::sample_volts(sample) - 1.5) < 0.01, std::to_string(sample).c_str());
    }

    // With no board to open, the screenshot is still saved (it shows the
    // hint), but the exit code says the scope did not run.
    void screenshotOfAFailureExits1() {
        QTemporaryDir empty;
        QVERIFY(empty.isValid());
        const QString shot = empty.filePath("none.png");
        QProcess scope;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KV318_DRIVER_DIR", empty.path());
        scope.setProcessEnvironment(env);
        scope.setProgram(KV318_SCOPE_PATH);
        scope.setArguments({"--screenshot", shot, "--after", "0.3"});
        scope.start();
        QVERIFY(scope.waitForFinished(3 * kDeadlineMs));
        QCOMPARE(scope.exitStatus(), QProcess::NormalExit);
        QCOMPARE(scope.exitCode(), 1);
        QVERIFY(QFileInfo::exists(shot));
        QVERIFY(scope.readAllStandardError().contains("board 0: not found"));
    }

    // Closing the window while it runs stops the converter before close()
    // returns, and nothing is read after.
    void closingStopsTheAcquisition() {
        Recorder::get().calls.clear();
        const kv318::pipeline::BoardApi api = recording_api();
        {
            kv318::scope::qt::ScopeWindow w(api, settings_1v(), hint);
            w.show();
            QTRY_VERIFY_WITH_TIMEOUT(w.hasFrame(), kDeadlineMs);
            QCOMPARE(Recorder::get().count("KV318_StopAD"), 0);
            QVERIFY(w.close());
            const auto calls = Recorder::get().snapshot();
            const auto stop = std::find(calls.begin(), calls.end(), "KV318_StopAD");
            QVERIFY2(stop != calls.end(), "KV318_StopAD by the time close() returns");
            QVERIFY(std::find(stop, calls.end(), "KV318_Read") == calls.end());
            QCOMPARE(Recorder::get().count("KV318_AD"), 1);
            QCOMPARE(Recorder::get().count("KV318_StopAD"), 1);
        }
        QCOMPARE(Recorder::get().count("KV318_CloseDevice"), 1);
    }

    // A refused start is named on the status line, nothing is stopped that
    // never started, and Run tries again.
    void refusedStartIsShownAndRunRetries() {
        Recorder::get().calls.clear();
        Recorder::get().startResult = -1;
        const kv318::pipeline::BoardApi api = recording_api();
        kv318::scope::qt::ScopeWindow w(api, settings_1v(), hint);
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().contains("KV318_AD failed (-1)"), kDeadlineMs);
        QCOMPARE(Recorder::get().count("KV318_StopAD"), 0);
        Recorder::get().startResult = 0;
        w.run();
        QTRY_VERIFY_WITH_TIMEOUT(w.hasFrame(), kDeadlineMs);
        QVERIFY(w.statusText().isEmpty());
        QVERIFY(w.close());
        QCOMPARE(Recorder::get().count("KV318_AD"), 2);
        QCOMPARE(Recorder::get().count("KV318_StopAD"), 1);
    }

    // No board: "not found" with the hint, and Run opens it once it answers.
    void notFoundHintAndRetry() {
        Recorder::get().calls.clear();
        Recorder::get().openFailures = 1;
        const kv318::pipeline::BoardApi api = recording_api();
        kv318::scope::qt::ScopeWindow w(api, settings_1v(), hint);
        w.show();
        QVERIFY(w.statusText().startsWith("board 0: not found (test hint)"));
        QCOMPARE(Recorder::get().count("KV318_AD"), 0);
        w.run();
        QTRY_VERIFY_WITH_TIMEOUT(w.hasFrame(), kDeadlineMs);
        QVERIFY(w.close());
        QCOMPARE(Recorder::get().count("KV318_OpenDevice"), 2);
    }

    // The Windows window's PNG encoder, read back by Qt's own decoder: noise
    // wider than a match can reach, tiny pictures, and a scope-like picture
    // (dark background, grid, a trace), which must also come out small.
    void pngEncoderOutputReadsBack() {
        const struct {
            int w, h;
            bool scopeLike;
        } cases[] = {{300, 200, false}, {1, 1, false}, {7, 3, false}, {2, 2, true}, {800, 500, true}};
        for (const auto& c : cases) {
            const int w = c.w, h = c.h;
            std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w * h * 3));
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const std::size_t i = static_cast<std::size_t>((y * w + x) * 3);
                    if (!c.scopeLike) {
                        for (int k = 0; k < 3; ++k) rgb[i + k] = static_cast<std::uint8_t>((i + k) * 7 + (i + k) / 3);
                        continue;
                    }
                    const bool grid = x % 50 == 0 || y % 50 == 0;
                    const bool trace = std::abs(y - h / 2 - static_cast<int>(h / 3 * std::sin(x / 40.0))) < 2;
                    const std::uint8_t px[3] = {static_cast<std::uint8_t>(trace  ? 40
                                                                          : grid ? 60
                                                                                 : 16),
                                                static_cast<std::uint8_t>(trace  ? 230
                                                                          : grid ? 60
                                                                                 : 16),
                                                static_cast<std::uint8_t>(trace  ? 90
                                                                          : grid ? 70
                                                                                 : 24)};
                    std::copy(px, px + 3, rgb.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            const auto png = kv318::scope::encode_png(w, h, rgb);
            QImage img;
            QVERIFY(img.loadFromData(png.data(), static_cast<int>(png.size()), "PNG"));
            QCOMPARE(img.width(), w);
            QCOMPARE(img.height(), h);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const std::size_t at = static_cast<std::size_t>((y * w + x) * 3);
                    QCOMPARE(img.pixel(x, y), qRgb(rgb[at], rgb[at + 1], rgb[at + 2]));
                }
            }
            if (c.scopeLike && w > 100) QVERIFY2(png.size() * 20 < rgb.size(), std::to_string(png.size()).c_str());
        }
    }

private:
    kv318::test::QtSimulator sim_;
};

QTEST_MAIN(ScopeWindowTest)
#include "window_test.moc"
