// brisca-perf: performance figures of the real main window against the virtual sensor.
//
//   brisca-perf rate BAUD [FRAMES] [breakdown]
//                                    continuous images at BAUD 8E1 against a paced sensor:
//                                    frames per second next to the wire limit (breakdown:
//                                    also where the time of a frame goes)
//   brisca-perf pace BAUD [COUNT]    the paced sensor's own timing next to the wire: COUNT
//                                    images' requests sent straight, without the window
//   brisca-perf draw [FRAMES]        cost of drawing one frame on the three plots
//   brisca-perf memory [FRAMES]      resident memory over a long continuous run
//   brisca-perf recording BAUD [FRAMES] [BLOCKS] [both|recording|trends]
//                                    continuous mode against the paced sensor in blocks of
//                                    FRAMES, with a recording and the trends window (or one of
//                                    them) and without them in turn
//   brisca-perf recmemory [FRAMES] [POINTS]
//                                    resident memory with a recording and the trends window
//                                    over a long run against the unpaced sensor (POINTS: the
//                                    trends' bound, if not the window's own)
//   brisca-perf replay [FRAMES] [STEPS]
//                                    opening a recording of FRAMES frames for replay, and
//                                    stepping through it
//
// Each command prints what it measured and ends with one "result key=value ..." line that
// tools/run-bench.sh collects into its table. Run it with QT_QPA_PLATFORM=offscreen.
//
// The window is driven as an operator drives it: port, baud rate and parity typed on the
// connection page, Connect, Select slave, then the continuous-mode button of the
// Application 3 page. Nothing is called behind its back, except where `draw` wraps the
// window's own frame handler in a stopwatch.

#include "briscadevice.h"
#include "mainwindow.h"
#include "perfsupport.h"
#include "recorder.h"
#include "recordingcontroller.h"
#include "replaywindow.h"
#include "rtuframer.h"
#include "trendswindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QSerialPort>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <qcustomplot.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// A paced image at 19200 baud takes about 1.7 s; every wait allows for a busy machine.
constexpr int StepTimeoutMs = 30000;

double msSince(qint64 startNs, qint64 endNs)
{
    return double(endNs - startNs) / 1e6;
}

int fail(const char *what)
{
    std::fprintf(stderr, "brisca-perf: %s\n", what);
    std::printf("result error=\"%s\"\n", what);
    return 1;
}

// One main window connected to the sensor and on the Application 3 page.
class Session
{
public:
    template <typename T> T *child(const char *name) const
    {
        return m_window.findChild<T *>(QLatin1String(name));
    }

    MainWindow &window() { return m_window; }
    BriscaDevice *device() const { return m_window.findChild<BriscaDevice *>(); }
    QAbstractButton *cycleButton() const { return child<QAbstractButton>("pushButton_cycleMode3"); }

    bool open(const Perf::Sim &sim, int baud)
    {
        m_window.show();
        bool selected = false;
        // The window outlives this call: the connection must not outlive `selected`.
        QObject watch;
        QObject::connect(m_window.statusBar(), &QStatusBar::messageChanged, &watch,
                         [&selected](const QString &text) {
                             if (text == QLatin1String("Done, connection successful"))
                                 selected = true;
                         });

        child<QLineEdit>("lineEdit_portname")->setText(sim.linkPath());
        auto *rates = child<QComboBox>("comboBox_baudrate");
        const int rate = rates->findText(QString::number(baud));
        auto *parities = child<QComboBox>("comboBox_parity");
        const int even = parities->findText(QStringLiteral("Even"));
        if (rate < 0 || even < 0)
            return false;
        rates->setCurrentIndex(rate);
        parities->setCurrentIndex(even);
        child<QAbstractButton>("pushButton_connect")->click();
        if (!child<QAbstractButton>("pushButton_SelectSlave")->isEnabled())
            return false;
        child<QSpinBox>("spinBox_slaveSelect")->setValue(1);
        child<QAbstractButton>("pushButton_SelectSlave")->click();
        if (!Perf::waitUntil([&] { return selected; }, StepTimeoutMs))
            return false;
        child<QAbstractButton>("pushButton_Application3")->click();
        // Selecting may echo one setting (the limited field of view of the sensor map):
        // let it pass before anything is timed.
        QElapsedTimer quiet;
        quiet.start();
        Perf::waitUntil([&] { return quiet.elapsed() > 1000; }, 5000);
        return device() != nullptr;
    }

    // Starts continuous mode and runs the event loop until `frames` frames have arrived
    // (`onFrame` sees each), then stops the mode and waits for the frame already asked for.
    bool runContinuous(int frames, const std::function<void(int)> &onFrame, int timeoutMs)
    {
        BriscaDevice *const link = device();
        QEventLoop loop;
        int seen = 0;
        QObject::connect(link, &BriscaDevice::pixelDataReady, &loop, [&] {
            ++seen;
            if (onFrame)
                onFrame(seen);
            if (seen == frames) {
                cycleButton()->click();
                loop.quit();
            }
        });
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        cycleButton()->click();
        loop.exec();
        if (seen < frames)
            return false;
        // The window asked for one more before it was stopped; that one still arrives.
        Perf::waitUntil([&] { return seen > frames; }, StepTimeoutMs);
        return true;
    }

private:
    MainWindow m_window;
};

QStringList sensorArgs(const Perf::Sim &sim, int baud, bool pace)
{
    QStringList args{QStringLiteral("--load"),
                     sim.writeJson(QStringLiteral("map.json"), Perf::sensorMap(baud)),
                     QStringLiteral("--baud"),
                     QString::number(baud),
                     QStringLiteral("--parity"),
                     QStringLiteral("even")};
    if (pace)
        args << QStringLiteral("--pace");
    return args;
}

// Bytes and wire time of one image, from the log of the sensor.
struct ImageFigures
{
    int images = 0;
    int frames = 0;
    int bytesMin = 0;
    int bytesMax = 0;
    int otherFrames = 0;
    double wireMs = 0; // mean over the images
};

ImageFigures imageFigures(const QString &log, int baud)
{
    ImageFigures f;
    const QVector<Perf::ImageTraffic> cycles = Perf::imageCycles(log, &f.otherFrames);
    f.images = cycles.size();
    if (cycles.isEmpty())
        return f;
    f.bytesMin = f.bytesMax = cycles.first().bytes();
    f.frames = cycles.first().frames();
    for (const Perf::ImageTraffic &c : cycles) {
        f.bytesMin = std::min(f.bytesMin, c.bytes());
        f.bytesMax = std::max(f.bytesMax, c.bytes());
        f.wireMs += c.wireMs(baud);
    }
    f.wireMs /= cycles.size();
    return f;
}

// --- rate -------------------------------------------------------------------------------

// Where the time of a frame goes, from the master's own port: each request leaving, each
// answer handled, each frame handled by the window. Watching costs the client a few
// signal emissions per request, so the figures of a run with it are not the ones reported.
struct Breakdown
{
    enum Kind : char
    {
        Written = 'w',
        Answered = 'a',
        Frame = 'F'
    };
    QVector<QPair<Kind, qint64>> events;

    void watch(BriscaDevice *device, const QElapsedTimer &clock)
    {
        auto *port = device->findChild<QSerialPort *>();
        if (!port)
            return;
        auto note = [this, &clock](Kind k) {
            events << qMakePair(k, clock.nsecsElapsed());
        };
        QObject::connect(port, &QSerialPort::bytesWritten, port, [note](qint64) { note(Written); });
        QObject::connect(port, &QSerialPort::readyRead, port, [note] { note(Answered); });
        QObject::connect(device, &BriscaDevice::pixelDataReady, port, [note] { note(Frame); });
    }

    // Means per frame over the events between `fromNs` and `toNs`.
    void print(qint64 fromNs, qint64 toNs, int frames) const
    {
        double waiting = 0, turnaround = 0, afterFrame = 0;
        bool frameSeen = false; // since the last request left
        for (int i = 1; i < events.size(); ++i) {
            const Kind before = events.at(i - 1).first;
            const Kind now = events.at(i).first;
            if (now == Frame)
                frameSeen = true;
            if (events.at(i - 1).second < fromNs || events.at(i).second > toNs)
                continue;
            const double ms = msSince(events.at(i - 1).second, events.at(i).second);
            if (before == Written)
                waiting += ms;
            else if (frameSeen)
                afterFrame += ms;
            else
                turnaround += ms;
            if (now == Written)
                frameSeen = false;
        }
        std::printf("  per frame: %.2f ms from each request leaving to its answer handled (the "
                    "last one includes drawing), %.2f ms from an answer handled to the next "
                    "request leaving, %.2f ms from the frame handled to the next image's first "
                    "request\n",
                    waiting / frames, turnaround / frames, afterFrame / frames);
    }
};

int rate(int baud, int frames, bool breakdown)
{
    // The first frames pay for first-time work (fonts, buffers); they are not counted.
    constexpr int WarmUp = 2;
    Perf::Sim sim;
    const QString log = sim.path(QStringLiteral("line.log"));
    if (!sim.start(sensorArgs(sim, baud, true), log))
        return fail("the virtual sensor did not start");
    Session session;
    if (!session.open(sim, baud))
        return fail("connect and select failed");

    QElapsedTimer clock;
    QVector<qint64> stamps;
    clock.start();
    Breakdown watcher;
    if (breakdown)
        watcher.watch(session.device(), clock);
    const int imageMs = int(2800 * Perf::characterMs(baud)) + 1000;
    const bool ran = session.runContinuous(
        WarmUp + frames + 1, [&](int) { stamps << clock.nsecsElapsed(); },
        (WarmUp + frames + 2) * imageMs * 3);
    sim.stop();
    if (!ran)
        return fail("continuous mode stalled");

    const double elapsedMs = msSince(stamps.at(WarmUp), stamps.at(WarmUp + frames));
    const double fps = frames * 1000.0 / elapsedMs;
    const ImageFigures image = imageFigures(log, baud);
    if (image.images < frames)
        return fail("the sensor log holds fewer whole images than were counted");
    const double limitFps = 1000.0 / image.wireMs;

    std::printf("rate at %d baud 8E1: %d frames in %.1f ms = %.3f frames/s\n", baud, frames,
                elapsedMs, fps);
    std::printf("  one image on the line: %d frames, %d bytes (%d..%d over %d images), %.2f ms "
                "with %.3f ms of silence before each frame\n",
                image.frames, image.bytesMax, image.bytesMin, image.bytesMax, image.images,
                image.wireMs, Perf::silenceMs(baud));
    std::printf("  frames outside whole image cycles (connect, select, echoes): %d\n",
                image.otherFrames);
    std::printf("  wire limit %.3f frames/s, utilisation %.1f %%\n", limitFps,
                100.0 * fps / limitFps);
    if (breakdown)
        watcher.print(stamps.at(WarmUp), stamps.at(WarmUp + frames), frames);
    std::printf("result baud=%d frames=%d fps=%.4f limit=%.4f ratio=%.4f bytes=%d wirems=%.3f\n",
                baud, frames, fps, limitFps, fps / limitFps, image.bytesMax, image.wireMs);
    return 0;
}

// --- pace -------------------------------------------------------------------------------

bool readExactly(int fd, int count, int timeoutMs)
{
    std::vector<uint8_t> buffer(size_t(count) + 64);
    int got = 0;
    QElapsedTimer timer;
    timer.start();
    while (got < count) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - size_t(got));
        if (n > 0)
            got += int(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return got == count;
}

int pace(int baud, int count)
{
    Perf::Sim sim;
    if (!sim.start(sensorArgs(sim, baud, true)))
        return fail("the virtual sensor did not start");
    const int fd = ::open(sim.linkPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fail("cannot open the sensor's line");
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);

    // The 16 requests of one image, in the order the client sends them: function code,
    // start address, count.
    struct Read
    {
        uint8_t function;
        int start, count;
    };
    std::vector<Read> plan = {{4, 0, 5},    {4, 24, 1},    {2, 0, 5},  {4, 5, 19},
                              {4, 25, 125}, {4, 150, 125}, {4, 275, 6}};
    for (int start = 281; start <= 1304; start += 125)
        plan.push_back({4, start, std::min(125, 1305 - start)});
    std::vector<std::vector<uint8_t>> requests;
    std::vector<int> answers;
    // On the line for each: the request, the silence before the answer, the answer. The
    // silence before each request is the master's to keep, so it is left out here.
    double wire = 0;
    for (const Read &r : plan) {
        std::vector<uint8_t> request = {1,
                                        r.function,
                                        uint8_t(r.start >> 8),
                                        uint8_t(r.start),
                                        uint8_t(r.count >> 8),
                                        uint8_t(r.count)};
        BriscaSim::appendCrc(request);
        const int answer = 5 + (r.function == 2 ? (r.count + 7) / 8 : 2 * r.count);
        wire += int(request.size()) * Perf::characterMs(baud) + Perf::frameWireMs(answer, baud);
        requests.push_back(request);
        answers.push_back(answer);
    }

    QVector<double> images;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        for (size_t k = 0; k < requests.size(); ++k) {
            const std::vector<uint8_t> &request = requests[k];
            if (::write(fd, request.data(), request.size()) != ssize_t(request.size()) ||
                !readExactly(fd, answers[k], 5000)) {
                ::close(fd);
                return fail("the sensor did not answer");
            }
        }
        images << double(t.nsecsElapsed()) / 1e6;
    }
    const Perf::Spread spread = Perf::spreadOf(images);
    double mean = 0;
    for (double d : images)
        mean += d;
    mean /= images.size();
    std::printf("paced sensor at %d baud 8E1, the 16 requests of one image back to back, %d "
                "images:\n",
                baud, count);
    std::printf("  measured mean %.2f ms (median %.2f, min %.2f, max %.2f); on a real line "
                "%.2f ms; %+.3f ms per request\n",
                mean, spread.median, spread.min, spread.max, wire, (mean - wire) / plan.size());
    const QString result = QStringLiteral("result baud=%1 images=%2 wire=%3 mean=%4 min=%5")
                               .arg(baud)
                               .arg(count)
                               .arg(wire, 0, 'f', 3)
                               .arg(mean, 0, 'f', 3)
                               .arg(spread.min, 0, 'f', 3);
    ::close(fd);
    std::printf("%s\n", qPrintable(result));
    return 0;
}

// --- draw -------------------------------------------------------------------------------

int draw(int frames)
{
    constexpr int WarmUp = 5;
    Perf::Sim sim;
    const QString log = sim.path(QStringLiteral("line.log"));
    // Unpaced: the line is not what is measured here, only the window's own work.
    if (!sim.start(sensorArgs(sim, 19200, false), log))
        return fail("the virtual sensor did not start");
    Session session;
    if (!session.open(sim, 19200))
        return fail("connect and select failed");
    BriscaDevice *const link = session.device();
    MainWindow &window = session.window();
    QWidget *const plots[] = {session.child<QWidget>("tempPlot_app1"),
                              session.child<QWidget>("tempPlot_app2"),
                              session.child<QWidget>("tempPlot_app3")};

    // The window's own handler runs exactly as wired, only inside a stopwatch. Right after
    // it, the work it left for the event loop runs: the removal of this frame's overlay
    // items (queued on each plot) and the repaint of the window.
    QObject::disconnect(link, &BriscaDevice::pixelDataReady, &window,
                        &MainWindow::updateImageWithPixelData);
    QVector<double> handlerMs, removalMs, repaintMs, totalMs;
    int labelsMin = 1 << 30, labelsMax = 0;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(link, &BriscaDevice::pixelDataReady, &window,
                     [&](const QVector<quint16> &frame) {
                         const int labels = link->roiTemperatures.size();
                         const qint64 t0 = clock.nsecsElapsed();
                         window.updateImageWithPixelData(frame);
                         const qint64 t1 = clock.nsecsElapsed();
                         for (QWidget *plot : plots)
                             QCoreApplication::sendPostedEvents(plot, QEvent::MetaCall);
                         const qint64 t2 = clock.nsecsElapsed();
                         QCoreApplication::sendPostedEvents(&window, QEvent::UpdateRequest);
                         const qint64 t3 = clock.nsecsElapsed();
                         handlerMs << msSince(t0, t1);
                         removalMs << msSince(t1, t2);
                         repaintMs << msSince(t2, t3);
                         totalMs << msSince(t0, t3);
                         labelsMin = std::min(labelsMin, labels);
                         labelsMax = std::max(labelsMax, labels);
                     });
    const bool ran = session.runContinuous(WarmUp + frames, nullptr, (WarmUp + frames) * 2000);
    sim.stop();
    if (!ran)
        return fail("continuous mode stalled");
    // Drop the warm-up frames and the one that arrived after stopping.
    auto measured = [&](const QVector<double> &v) {
        return v.mid(WarmUp, frames);
    };
    const Perf::Spread handler = Perf::spreadOf(measured(handlerMs));
    const Perf::Spread removal = Perf::spreadOf(measured(removalMs));
    const Perf::Spread repaint = Perf::spreadOf(measured(repaintMs));
    const Perf::Spread total = Perf::spreadOf(measured(totalMs));
    const ImageFigures image = imageFigures(log, 256000);
    if (image.images == 0)
        return fail("no whole image in the sensor log");

    std::printf("drawing one frame on the three plots, 2 x 2 regions (%d..%d region "
                "temperatures per frame), %d frames:\n",
                labelsMin, labelsMax, frames);
    auto line = [](const char *what, const Perf::Spread &s) {
        std::printf("  %-28s median %7.3f ms  p10 %7.3f  p90 %7.3f  min %7.3f  max %7.3f\n", what,
                    s.median, s.p10, s.p90, s.min, s.max);
    };
    line("updateImageWithPixelData", handler);
    line("deferred overlay removal", removal);
    line("window repaint", repaint);
    line("all of it", total);
    std::printf("  one image at 256000 baud: %d bytes, %.2f ms on the line; drawing takes %.1f %% "
                "of it (handler alone %.1f %%)\n",
                image.bytesMax, image.wireMs, 100.0 * total.median / image.wireMs,
                100.0 * handler.median / image.wireMs);
    std::printf("result frames=%d labels=%d handler=%.3f handler_p10=%.3f handler_p90=%.3f "
                "total=%.3f total_p10=%.3f total_p90=%.3f wirems=%.3f ratio=%.4f\n",
                frames, labelsMin, handler.median, handler.p10, handler.p90, total.median,
                total.p10, total.p90, image.wireMs, total.median / image.wireMs);
    return 0;
}

// --- memory -----------------------------------------------------------------------------

int memory(int frames)
{
    Perf::Sim sim;
    if (!sim.start(sensorArgs(sim, 19200, false)))
        return fail("the virtual sensor did not start");
    Session session;
    if (!session.open(sim, 19200))
        return fail("connect and select failed");
    const long before = Perf::statusKiB("VmRSS");
    QVector<int> marks;
    for (int m : {10, 100, 500, 1000})
        marks << m;
    for (int m = 1500; m < frames; m += 500)
        marks << m;
    while (!marks.isEmpty() && marks.last() >= frames)
        marks.removeLast();
    marks << frames;
    QVector<long> rss;
    const bool ran = session.runContinuous(
        frames,
        [&](int seen) {
            if (marks.contains(seen))
                rss << Perf::statusKiB("VmRSS");
        },
        frames * 2000);
    sim.stop();
    if (!ran || rss.size() != marks.size())
        return fail("continuous mode stalled");
    std::printf("resident memory, continuous mode on the Application 3 page (2 x 2 regions):\n");
    std::printf("  connected, before the first frame: %ld KiB\n", before);
    for (int i = 0; i < marks.size(); ++i)
        std::printf("  after %5d frames: %ld KiB\n", marks.at(i), rss.at(i));
    std::printf("result frames=%d rss10=%ld rss_end=%ld\n", frames, rss.first(), rss.last());
    return 0;
}

// --- recording, recording memory, replay ------------------------------------------------

// Export, recording and trends as the window holds them: "on" is a recording running and the
// trends window shown, "off" neither.
class RecordingParts
{
public:
    explicit RecordingParts(MainWindow &window)
        : m_controller(window.findChild<RecordingController *>())
    {}

    bool found() const { return m_controller != nullptr; }
    RecordingController *controller() const { return m_controller; }

    // `which` is "both", or "recording" or "trends" alone to see what each costs.
    bool switchOn(const QString &path, const QString &which = QStringLiteral("both"))
    {
        if (which != QLatin1String("trends") && !m_controller->startRecording(path))
            return false;
        if (which == QLatin1String("recording"))
            return true;
        QAction *trends = m_controller->trendsAction();
        if (!trends->isEnabled())
            return false;
        trends->trigger();
        return m_controller->trendsWindow()->isVisible();
    }

    void switchOff()
    {
        m_controller->stopRecording();
        m_controller->trendsWindow()->hide();
    }

private:
    RecordingController *m_controller;
};

int recordingRate(int baud, int frames, int blocks, const QString &which)
{
    Perf::Sim sim;
    if (!sim.start(sensorArgs(sim, baud, true)))
        return fail("the virtual sensor did not start");
    Session session;
    if (!session.open(sim, baud))
        return fail("connect and select failed");
    RecordingParts parts(session.window());
    if (!parts.found())
        return fail("the window has no recording controller");
    QTemporaryDir files;

    // Blocks alternate as off, on, on, off, off, on, ...: a drift of the machine's load over
    // the run weighs on both alike. Each block starts continuous mode afresh; its first frame
    // only opens the stopwatch.
    QElapsedTimer clock;
    clock.start();
    double ms[2] = {0, 0};
    int counted[2] = {0, 0};
    qint64 rows = 0, bytes = 0;
    QStringList blockRates;
    const int imageMs = int(2800 * Perf::characterMs(baud)) + 1000;
    for (int block = 0; block < blocks; ++block) {
        const int on = (block % 4 == 1 || block % 4 == 2) ? 1 : 0;
        if (on && !parts.switchOn(files.filePath(QStringLiteral("block%1.csv").arg(block)), which))
            return fail("recording could not start");
        QVector<qint64> stamps;
        const bool ran = session.runContinuous(
            frames + 1, [&](int) { stamps << clock.nsecsElapsed(); }, (frames + 3) * imageMs * 3);
        if (on) {
            rows += parts.controller()->recorder()->rowCount();
            bytes += parts.controller()->recorder()->size();
            parts.switchOff();
        }
        if (!ran)
            return fail("continuous mode stalled");
        const double blockMs = msSince(stamps.at(0), stamps.at(frames));
        ms[on] += blockMs;
        counted[on] += frames;
        blockRates << QStringLiteral("%1 %2")
                          .arg(QLatin1String(on ? "on" : "off"))
                          .arg(frames * 1000.0 / blockMs, 0, 'f', 3);
    }
    sim.stop();
    const double fpsOff = counted[0] * 1000.0 / ms[0];
    const double fpsOn = counted[1] * 1000.0 / ms[1];
    std::printf("continuous mode at %d baud 8E1 against the paced sensor, %d blocks of %d "
                "frames, %s off and on in turn:\n",
                baud, blocks, frames,
                which == QLatin1String("both") ? "recording and trends" : qPrintable(which));
    std::printf("  blocks (frames/s): %s\n", qPrintable(blockRates.join(QStringLiteral(", "))));
    std::printf("  off %.3f frames/s, on %.3f frames/s: %.2f %% of the rate without them\n", fpsOff,
                fpsOn, 100.0 * fpsOn / fpsOff);
    std::printf("  recorded while on: %lld rows, %lld bytes\n", rows, bytes);
    std::printf("result baud=%d frames=%d blocks=%d off=%.4f on=%.4f ratio=%.4f rows=%lld\n", baud,
                counted[1], blocks, fpsOff, fpsOn, fpsOn / fpsOff, rows);
    return 0;
}

int recordingMemory(int frames, int trendPoints)
{
    Perf::Sim sim;
    // Unpaced: ten thousand frames take minutes instead of hours.
    if (!sim.start(sensorArgs(sim, 19200, false)))
        return fail("the virtual sensor did not start");
    Session session;
    if (!session.open(sim, 19200))
        return fail("connect and select failed");
    RecordingParts parts(session.window());
    QTemporaryDir files;
    if (!parts.found() || !parts.switchOn(files.filePath(QStringLiteral("memory.csv"))))
        return fail("recording could not start");
    const long before = Perf::statusKiB("VmRSS");
    QVector<int> marks{10, 100, 500};
    for (int m = 1000; m < frames; m += 1000)
        marks << m;
    marks << frames;
    QVector<long> rss;
    QVector<int> points;
    TrendsWindow *trends = parts.controller()->trendsWindow();
    // The trends keep a bounded number of points; a smaller bound shows the rest flat sooner.
    if (trendPoints > 0)
        trends->setMaxPoints(trendPoints);
    QElapsedTimer clock;
    clock.start();
    const bool ran = session.runContinuous(
        frames,
        [&](int seen) {
            if (marks.contains(seen)) {
                rss << Perf::statusKiB("VmRSS");
                points << trends->graph(TrendsWindow::App1Minimum)->data()->size();
                // Shown as it goes: the run takes minutes.
                std::printf("  after %5d frames: %ld KiB\n", seen, rss.last());
                std::fflush(stdout);
            }
        },
        frames * 2000);
    const qint64 rows = parts.controller()->recorder()->rowCount();
    const qint64 bytes = parts.controller()->recorder()->size();
    const double minutes = clock.elapsed() / 60000.0;
    parts.switchOff();
    sim.stop();
    if (!ran || rss.size() != marks.size())
        return fail("continuous mode stalled");
    std::printf("resident memory with a recording running and the trends window shown, "
                "continuous mode on the Application 3 page (2 x 2 regions), unpaced sensor:\n");
    std::printf("  connected, recording, before the first frame: %ld KiB\n", before);
    for (int i = 0; i < marks.size(); ++i)
        std::printf("  after %5d frames: %ld KiB, %d points per trend series\n", marks.at(i),
                    rss.at(i), points.at(i));
    std::printf("  %lld rows, %lld bytes recorded in %.1f minutes\n", rows, bytes, minutes);
    const int warm = std::max(0, marks.indexOf(1000));
    std::printf("result frames=%d rss10=%ld rss_warm=%ld warm=%d rss_end=%ld points=%d rows=%lld "
                "minutes=%.1f\n",
                frames, rss.first(), rss.at(warm), marks.at(warm), rss.last(), points.last(), rows,
                minutes);
    return 0;
}

// A recording as continuous mode writes it: per image a measurement row and a frame row, with
// 2 x 2 regions (256 labels, the most the pages draw) and a frame that changes every time.
bool writeLongRecording(const QString &path, int frames)
{
    Recorder recorder;
    if (!recorder.start(path))
        return false;
    Recording::Sample sample;
    sample.measurements.app1LimitFov = true;
    sample.measurements.reticleSize = 20;
    sample.measurements.gridRoiSize = 1;
    sample.measurements.app1MaxThreshold = 3531;
    sample.measurements.app1MinThreshold = 2731;
    sample.measurements.app3MaxThreshold = 3131;
    sample.measurements.app3MinThreshold = 2781;
    QDateTime time = QDateTime::currentDateTime();
    for (int n = 0; n < frames; ++n) {
        time = time.addMSecs(180);
        sample.time = time;
        sample.measurements.app1MinTemp = quint16(2800 + n % 50);
        sample.measurements.app1MaxTemp = quint16(3300 + n % 70);
        sample.measurements.app3Counter = quint16(n);
        sample.kind = Recording::Sample::Kind::Measurements;
        sample.frame.clear();
        sample.roiTemperatures.clear();
        recorder.writeSample(sample);
        sample.kind = Recording::Sample::Kind::Frame;
        sample.frame.resize(Brisca::FramePixelCount);
        for (int i = 0; i < Brisca::FramePixelCount; ++i)
            sample.frame[i] = quint16(2800 + (i * 7 + n * 13) % 600);
        sample.roiTemperatures.resize(Brisca::RoiTemperatureCount);
        for (int r = 0; r < Brisca::RoiTemperatureCount; ++r)
            sample.roiTemperatures[r] = quint16(2750 + (r * 11 + n) % 450);
        recorder.writeSample(sample);
        if (!recorder.isRecording())
            return false;
    }
    recorder.stop();
    return true;
}

int replay(int frames, int steps)
{
    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("long.csv"));
    if (!writeLongRecording(path, frames))
        return fail("the recording could not be written");
    const qint64 fileBytes = QFileInfo(path).size();

    QWidget owner;
    const long before = Perf::statusKiB("VmRSS");
    QElapsedTimer clock;
    clock.start();
    auto *window = new ReplayWindow(&owner);
    if (!window->open(path))
        return fail("the recording could not be opened");
    const double openMs = clock.nsecsElapsed() / 1e6;
    window->show();
    QCoreApplication::processEvents();
    const double shownMs = clock.nsecsElapsed() / 1e6;
    const long opened = Perf::statusKiB("VmRSS");
    if (window->frameCount() != frames)
        return fail("the replay does not hold every frame");

    // Stepping as the slider does, on the Application 3 page: every step draws the three
    // pages with their overlays and fills the table; the overlay removal and the repaint it
    // leaves to the event loop are counted too.
    window->findChild<QTabWidget *>()->setCurrentIndex(2);
    QCoreApplication::processEvents();
    steps = std::min(steps, frames - 1);
    QVector<double> stepMs;
    for (int n = 1; n <= steps; ++n) {
        const qint64 t0 = clock.nsecsElapsed();
        window->slider()->setValue(n * (frames - 1) / steps);
        QCoreApplication::processEvents();
        stepMs << msSince(t0, clock.nsecsElapsed());
    }
    double total = 0;
    for (double d : stepMs)
        total += d;
    const Perf::Spread spread = Perf::spreadOf(stepMs);
    const double fps = steps * 1000.0 / total;
    std::printf("replay of a recording of %d frames and %d measurement rows (%lld bytes):\n",
                frames, frames, fileBytes);
    std::printf("  open (read, check, first frame drawn): %.0f ms; shown: %.0f ms\n", openMs,
                shownMs);
    std::printf("  resident memory %ld KiB before, %ld KiB with the recording open\n", before,
                opened);
    std::printf("  stepping through %d frames spread over the recording: %.1f frames/s (median "
                "%.2f ms per step, p10 %.2f, p90 %.2f)\n",
                steps, fps, spread.median, spread.p10, spread.p90);
    std::printf("result frames=%d bytes=%lld open=%.1f shown=%.1f fps=%.2f step=%.3f "
                "step_p10=%.3f step_p90=%.3f rss_open=%ld rss_before=%ld\n",
                frames, fileBytes, openMs, shownMs, fps, spread.median, spread.p10, spread.p90,
                opened, before);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: brisca-perf rate BAUD [FRAMES] [breakdown] | pace BAUD [COUNT] | "
                 "draw [FRAMES] | memory [FRAMES] | recording BAUD [FRAMES] [BLOCKS] [WHICH] | "
                 "recmemory [FRAMES] [POINTS] | replay [FRAMES] [STEPS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.first();
    auto number = [&](int index, int fallback) {
        bool ok = false;
        const int v = args.value(index).toInt(&ok);
        return ok && v > 0 ? v : fallback;
    };
    if (command == QLatin1String("rate") && args.size() >= 2)
        return rate(number(1, 19200), number(2, 20), args.contains(QLatin1String("breakdown")));
    if (command == QLatin1String("pace") && args.size() >= 2)
        return pace(number(1, 19200), number(2, 10));
    if (command == QLatin1String("draw"))
        return draw(number(1, 250));
    if (command == QLatin1String("memory"))
        return memory(std::max(11, number(1, 2000)));
    if (command == QLatin1String("recording") && args.size() >= 2)
        return recordingRate(number(1, 19200), number(2, 10), number(3, 4),
                             args.value(4, QStringLiteral("both")));
    if (command == QLatin1String("recmemory"))
        return recordingMemory(std::max(11, number(1, 10000)), number(2, 0));
    if (command == QLatin1String("replay"))
        return replay(std::max(2, number(1, 10000)), number(2, 500));
    return usage();
}
