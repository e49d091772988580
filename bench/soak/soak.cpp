// Soak: thousands of continuous images through the real window against the virtual sensor,
// with about one request in a hundred faulted at random. Reports resident memory at frame
// 500 and at the last frame, the plot items left over, and whether continuous mode kept
// going after every fault that still delivered a frame and stopped, locked, after every
// one that did not.
//
//     brisca-soak [--frames N] [--timeout MS] [--seed N] [--fault RULE]...
//
// With BRISCA_WRITE_DOCS=1 the figures go into docs/reliability.md of the source tree.

#include "briscadevice.h"
#include "image.h"
#include "mainwindow.h"
#include "perfsupport.h"
#include "soakfigures.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

using Perf::waitUntil;
using Reliability::LoopWatch;

// One request in a hundred: mostly lost answers and damaged ones (a later try gets
// through), some refused (the operation fails; on the last chunk of a frame this ends
// the continuous loop).
const QStringList DefaultFaults = {"silent,prob=0.006", "badcrc,prob=0.002",
                                   "exception:4,prob=0.002"};
constexpr qint64 MiB = 1024 * 1024;
constexpr int ProgressEvery = 250;
constexpr int FirstSample = 500;

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / MiB, 'f', 2) + QStringLiteral(" MiB");
}

void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Watches the window run continuous images and plays the operator who restarts the mode
// when it has stopped.
class Soak : public QObject
{
public:
    Soak(MainWindow &window, int frames, int timeoutMs)
        : m_window(window)
        , m_device(window.findChild<BriscaDevice *>())
        , m_cycle(window.findChild<QPushButton *>(QStringLiteral("pushButton_cycleMode")))
        , m_target(frames)
        // A cycle is 16 requests; with faults this rare no cycle comes near this many tries.
        , m_stallMs(30 * timeoutMs)
    {
        // Connected after the window's handlers: the window has acted on each signal
        // (drawn the frame, asked for the next one) by the time these run.
        connect(m_device, &BriscaDevice::signal_status, this, [this](const QString &s) {
            m_lastActivity = m_clock.elapsed();
            if (s == QLatin1String("Grabbing image...")) {
                ++m_grabs;
                m_errorsLastCycle = m_errorsThisCycle;
                m_errorsThisCycle = 0;
            } else if (s.contains(QLatin1String("error"))) {
                ++m_errors[s];
                ++m_errorsThisCycle;
            }
        });
        for (auto signal : {&BriscaDevice::inputRegsDataReady,
                            &BriscaDevice::discreteInputsDataReady, &BriscaDevice::app3DataReady})
            connect(m_device, signal, this, [this] { m_lastActivity = m_clock.elapsed(); });
        connect(m_device, &BriscaDevice::pixelDataReady, this, [this] { frameArrived(); });
        connect(&m_watchdog, &QTimer::timeout, this, [this] { checkForStop(); });
    }

    bool run()
    {
        m_clock.start();
        m_lastActivity = 0;
        m_watch.start();
        m_watchdog.start(50);
        start();
        const bool finished = waitUntil([this] { return m_done; }, 3 * 3600 * 1000);
        m_watchdog.stop();
        m_watch.stop();
        if (!finished)
            m_violations << QStringLiteral("the run did not finish");
        // The frame under way when the mode was switched off still arrives and is drawn.
        waitUntil([this] { return m_clock.elapsed() - m_lastActivity > m_stallMs; }, m_stallMs * 4);
        // Overlays leave the plots once control is back in the event loop.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return finished;
    }

    QString report(qint64 *rssGrowth, bool *itemsClean) const
    {
        QStringList lines;
        const double seconds = m_clock.elapsed() / 1000.0;
        lines << QStringLiteral("frames: %1 in %2 s (%3 per second)")
                     .arg(m_frames)
                     .arg(seconds, 0, 'f', 1)
                     .arg(m_frames / seconds, 0, 'f', 1);
        *rssGrowth = m_rssLast - m_rssFirst;
        lines << QStringLiteral("resident memory: %1 at frame %2, %3 at frame %4: %5%6")
                     .arg(mib(m_rssFirst))
                     .arg(FirstSample)
                     .arg(mib(m_rssLast))
                     .arg(m_target)
                     .arg(*rssGrowth >= 0 ? QStringLiteral("+") : QString())
                     .arg(mib(*rssGrowth));
        *itemsClean = true;
        QStringList plots;
        for (const char *name : {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"}) {
            const auto *plot = m_window.findChild<image *>(QLatin1String(name));
            // The colour map is the one plottable; every overlay item goes after one frame.
            const bool clean = plot->itemCount() == 0 && plot->plottableCount() == 1;
            *itemsClean = *itemsClean && clean;
            plots << QStringLiteral("%1 %2 items, %3 plottable")
                         .arg(QLatin1String(name))
                         .arg(plot->itemCount())
                         .arg(plot->plottableCount());
        }
        lines << QStringLiteral("plots after the run: ") + plots.join(QStringLiteral("; "));
        int errors = 0;
        for (int count : m_errors)
            errors += count;
        lines << QStringLiteral("status errors: %1").arg(errors);
        for (auto it = m_errors.cbegin(); it != m_errors.cend(); ++it)
            lines << QStringLiteral("  %1 x %2").arg(it.value(), 5).arg(it.key());
        lines << QStringLiteral("continuous loop: kept going after %1 cycles with a failed read "
                                "that still delivered their frame; stopped %2 times on a cycle "
                                "without a frame, each time with the mode still on and the "
                                "manual controls locked; restarted by the operator each time")
                     .arg(m_keptGoing)
                     .arg(m_stops);
        lines << QStringLiteral("image requests %1 = operator starts %2 + frames drawn while on %3")
                     .arg(m_grabs)
                     .arg(m_starts)
                     .arg(m_framesWhileOn);
        lines << QStringLiteral("longest own event loop gap: %1 ms").arg(m_watch.longestOwnGapMs());
        if (m_violations.isEmpty())
            lines << QStringLiteral("loop behaviour: as designed");
        else
            lines << QStringLiteral("loop behaviour: NOT as designed: ") +
                         m_violations.join(QStringLiteral("; "));
        return lines.join(QLatin1Char('\n'));
    }

    bool behaved() const { return m_violations.isEmpty(); }

private:
    void start()
    {
        ++m_starts;
        m_cycle->click();
    }

    void frameArrived()
    {
        m_lastActivity = m_clock.elapsed();
        ++m_frames;
        if (m_cycle->isChecked()) {
            ++m_framesWhileOn;
            // The window asked for the next image before this runs: the cycle this frame
            // ends is the previous one.
            if (m_errorsLastCycle > 0)
                ++m_keptGoing;
        }
        if (m_frames == FirstSample)
            m_rssFirst = residentBytes();
        if (m_frames % ProgressEvery == 0) {
            int errors = 0;
            for (int count : m_errors)
                errors += count;
            print(QStringLiteral("frame %1/%2  %3 s  %4 errors  %5 stops  rss %6")
                      .arg(m_frames, 5)
                      .arg(m_target)
                      .arg(m_clock.elapsed() / 1000.0, 0, 'f', 1)
                      .arg(errors)
                      .arg(m_stops)
                      .arg(mib(residentBytes())));
        }
        if (m_frames == m_target) {
            m_rssLast = residentBytes();
            m_cycle->click();
            m_done = true;
        }
    }

    // Continuous mode asks for the next image only when a frame arrived; a cycle whose
    // frame failed leaves the line quiet with the mode still on.
    void checkForStop()
    {
        if (m_done || !m_cycle->isChecked() || m_clock.elapsed() - m_lastActivity <= m_stallMs)
            return;
        ++m_stops;
        // Every image request came from a start or from a frame drawn while the mode ran:
        // nothing asked for a frame twice, and the quiet cycle is the one that lost its frame.
        if (m_grabs != m_starts + m_framesWhileOn)
            m_violations << QStringLiteral("at stop %1: %2 requests for %3 starts and %4 frames")
                                .arg(m_stops)
                                .arg(m_grabs)
                                .arg(m_starts)
                                .arg(m_framesWhileOn);
        if (m_errorsThisCycle == 0)
            m_violations << QStringLiteral("stop %1 without a failed read").arg(m_stops);
        if (m_window.findChild<QPushButton *>(QStringLiteral("pushButton_getImage"))->isEnabled())
            m_violations << QStringLiteral("stop %1 unlocked the manual controls").arg(m_stops);
        // The operator notices, switches the mode off and on again.
        m_cycle->click();
        start();
    }

    MainWindow &m_window;
    BriscaDevice *m_device;
    QPushButton *m_cycle;
    const int m_target;
    const qint64 m_stallMs;
    QElapsedTimer m_clock;
    QTimer m_watchdog;
    LoopWatch m_watch;
    qint64 m_lastActivity = 0;
    int m_grabs = 0;
    int m_starts = 0;
    int m_frames = 0;
    int m_framesWhileOn = 0;
    int m_keptGoing = 0;
    int m_stops = 0;
    int m_errorsThisCycle = 0;
    int m_errorsLastCycle = 0;
    bool m_done = false;
    qint64 m_rssFirst = -1;
    qint64 m_rssLast = -1;
    QMap<QString, int> m_errors;
    QStringList m_violations;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A line per received value and per dropped answer would swamp the progress lines.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\nqt.modbus*=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Continuous images under random faults."));
    parser.addHelpOption();
    const QCommandLineOption framesOption(QStringLiteral("frames"),
                                          QStringLiteral("Frames to draw (default 5000)."),
                                          QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Reply timeout in ms (default 100; the window's own is 3000)."),
        QStringLiteral("MS"), QStringLiteral("100"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the sensor (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("A fault of the virtual sensor (repeatable; default: %1).")
            .arg(DefaultFaults.join(QStringLiteral(" "))),
        QStringLiteral("RULE"));
    parser.addOptions({framesOption, timeoutOption, seedOption, faultOption});
    parser.process(app);
    const int frames = parser.value(framesOption).toInt();
    const int timeoutMs = parser.value(timeoutOption).toInt();
    const QStringList faults =
        parser.isSet(faultOption) ? parser.values(faultOption) : DefaultFaults;
    if (frames < FirstSample || timeoutMs <= 0) {
        print(
            QStringLiteral("--frames must be at least %1 and --timeout positive").arg(FirstSample));
        return 2;
    }

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("tty"));
    QStringList simArgs{QStringLiteral("--link"),    link,
                        QStringLiteral("--pattern"), QStringLiteral("scene"),
                        QStringLiteral("--seed"),    parser.value(seedOption)};
    for (const QString &fault : faults)
        simArgs << QStringLiteral("--fault") << fault;
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(BRISCA_SIM_PATH), simArgs);
    if (!waitUntil([&] { return sim.canReadLine() || sim.state() == QProcess::NotRunning; },
                   10000) ||
        !sim.readLine().startsWith("ready ")) {
        print(QStringLiteral("the virtual sensor did not start"));
        return 2;
    }
    print(QStringLiteral("sensor: brisca-sim %1").arg(simArgs.join(QLatin1Char(' '))));

    int result = 1;
    {
        MainWindow window;
        window.show();
        window.findChild<QLineEdit *>(QStringLiteral("lineEdit_portname"))->setText(link);
        window.findChild<QPushButton *>(QStringLiteral("pushButton_connect"))->click();
        bool selected = false;
        QObject::connect(window.statusBar(), &QStatusBar::messageChanged, &window,
                         [&selected](const QString &text) {
                             if (text == QLatin1String("Done, connection successful"))
                                 selected = true;
                         });
        window.findChild<QPushButton *>(QStringLiteral("pushButton_SelectSlave"))->click();
        auto *device = window.findChild<BriscaDevice *>();
        // Faults hit the selection as well; the operator presses Select slave until it works.
        for (int attempt = 0; attempt < 10 && device && !selected; ++attempt) {
            if (!waitUntil([&] { return selected; }, 10 * 3000))
                window.findChild<QPushButton *>(QStringLiteral("pushButton_SelectSlave"))->click();
        }
        if (!device || !selected) {
            print(QStringLiteral("Select slave did not succeed"));
            sim.terminate();
            sim.waitForFinished();
            return 2;
        }
        device->setTimeout(timeoutMs);
        print(QStringLiteral("%1 frames of continuous images, reply timeout %2 ms, faults: %3")
                  .arg(frames)
                  .arg(timeoutMs)
                  .arg(faults.join(QStringLiteral(" "))));

        Soak soak(window, frames, timeoutMs);
        const bool finished = soak.run();
        qint64 growth = 0;
        bool itemsClean = false;
        const QString report = soak.report(&growth, &itemsClean);
        const bool memoryFlat = growth <= 2 * MiB;
        print(QStringLiteral("\n") + report);
        print(QStringLiteral("memory within 2 MiB: %1; no leftover plot items: %2")
                  .arg(memoryFlat ? QStringLiteral("yes") : QStringLiteral("NO"))
                  .arg(itemsClean ? QStringLiteral("yes") : QStringLiteral("NO")));
        result = finished && memoryFlat && itemsClean && soak.behaved() ? 0 : 1;

        const QString section =
            QStringLiteral("Command: `brisca-soak --frames %1 --timeout %2 --seed %3` (faults "
                           "`%4`), %5.\n\n```\n%6\n```")
                .arg(frames)
                .arg(timeoutMs)
                .arg(parser.value(seedOption))
                .arg(faults.join(QStringLiteral("` `")))
                .arg(result == 0 ? QStringLiteral("passed") : QStringLiteral("FAILED"))
                .arg(report);
        if (Reliability::replaceSection(QStringLiteral("soak"), section))
            print(QStringLiteral("figures written to %1").arg(Reliability::documentPath()));
    }
    sim.terminate();
    sim.waitForFinished();
    return result;
}
