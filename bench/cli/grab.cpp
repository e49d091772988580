// brisca-bench-grab BAUD [FRAMES]: frames per second of `brisca grab` against the paced
// virtual sensor, next to the wire limit, measured as brisca-perf measures the window's
// continuous mode so that the two can stand side by side.
//
// The sensor is loaded with the same register map as for the window (2 x 2 regions) and
// paced at BAUD 8E1. `brisca grab` records FRAMES frames plus the warm-up; the time of each
// frame is the one the tool wrote into its row, taken when the frame arrived. The wire limit
// comes from the bytes of every whole image in the sensor's log. Ends with one
// "result key=value ..." line for tools/run-bench.sh.

#include "perfsupport.h"
#include "recordingformat.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

int fail(const QString &what)
{
    std::fprintf(stderr, "brisca-bench-grab: %s\n", qPrintable(what));
    std::printf("result error=\"%s\"\n", qPrintable(what));
    return 1;
}

// The arrival time of every frame row of a recording, in milliseconds since the epoch.
QVector<qint64> frameTimes(const QString &path)
{
    QVector<qint64> times;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.readLine() != Recording::header())
        return times;
    while (!file.atEnd()) {
        Recording::Sample sample;
        QString error;
        if (!Recording::parseRow(file.readLine().chopped(1), &sample, &error) || !sample.isFrame())
            return {};
        times << sample.time.toMSecsSinceEpoch();
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // As for the window: the first frames pay for first-time work and are not counted.
    constexpr int WarmUp = 2;
    const int baud = argc > 1 ? atoi(argv[1]) : 19200;
    const int frames = argc > 2 ? std::max(1, atoi(argv[2])) : 50;

    Perf::Sim sim;
    const QString log = sim.path(QStringLiteral("line.log"));
    const QString output = sim.path(QStringLiteral("grab.csv"));
    const QStringList sensor{QStringLiteral("--load"),
                             sim.writeJson(QStringLiteral("map.json"), Perf::sensorMap(baud)),
                             QStringLiteral("--baud"),
                             QString::number(baud),
                             QStringLiteral("--parity"),
                             QStringLiteral("even"),
                             QStringLiteral("--pace")};
    if (!sim.start(sensor, log))
        return fail(QStringLiteral("the virtual sensor did not start"));

    QProcess grab;
    grab.setProcessChannelMode(QProcess::ForwardedChannels);
    grab.start(QStringLiteral(BRISCA_CLI_PATH),
               {"grab", "--port", sim.linkPath(), "--baud", QString::number(baud), "--parity",
                "even", "--frames", QString::number(WarmUp + frames + 1), "--output", output});
    const int imageMs = int(2800 * Perf::characterMs(baud)) + 1000;
    if (!grab.waitForFinished((WarmUp + frames + 2) * imageMs * 3) ||
        grab.exitStatus() != QProcess::NormalExit || grab.exitCode() != 0)
        return fail(QStringLiteral("brisca grab failed"));
    sim.stop();

    const QVector<qint64> times = frameTimes(output);
    if (times.size() != WarmUp + frames + 1)
        return fail(QStringLiteral("the recording does not hold every frame"));
    const double elapsedMs = double(times.at(WarmUp + frames) - times.at(WarmUp));
    const double fps = frames * 1000.0 / elapsedMs;

    int otherFrames = 0;
    const QVector<Perf::ImageTraffic> images = Perf::imageCycles(log, &otherFrames);
    if (images.size() < frames)
        return fail(QStringLiteral("the sensor log holds fewer whole images than were counted"));
    double wireMs = 0;
    int bytes = 0;
    for (const Perf::ImageTraffic &image : images) {
        wireMs += image.wireMs(baud);
        bytes = std::max(bytes, image.bytes());
    }
    wireMs /= images.size();
    const double limitFps = 1000.0 / wireMs;

    std::printf("brisca grab at %d baud 8E1: %d frames in %.0f ms = %.3f frames/s\n", baud, frames,
                elapsedMs, fps);
    std::printf("  one image on the line: %d bytes, %.2f ms (mean over %d images); frames "
                "outside whole images (select, settings): %d\n",
                bytes, wireMs, int(images.size()), otherFrames);
    std::printf("  wire limit %.3f frames/s, utilisation %.1f %%\n", limitFps,
                100.0 * fps / limitFps);
    std::printf("result baud=%d frames=%d fps=%.4f limit=%.4f ratio=%.4f bytes=%d wirems=%.3f\n",
                baud, frames, fps, limitFps, fps / limitFps, bytes, wireMs);
    return 0;
}
