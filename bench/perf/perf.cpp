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
#include "rtuframer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QSerialPort>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>

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

int usage()
{
    std::fprintf(stderr, "usage: brisca-perf rate BAUD [FRAMES] [breakdown] | pace BAUD [COUNT] | "
                         "draw [FRAMES] | memory [FRAMES]\n");
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
    return usage();
}
