// brisca-bench-startup [RUNS]: start-up of `brisca info` up to its first request on the line.
//
// The virtual sensor logs every request it received (--verbose); this program reads that log
// as it is written and notes when the first request of each run shows up. The sensor logs a
// request only once the line has been silent after it (at least 10 ms), so the same delay is
// measured on its own, with a probe written straight onto the line, and taken off.

#include "perfsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Validation probe to slave 1: write 1000 into holding register 10, CRC included.
const QByteArray Probe = QByteArray::fromHex("0106000a03e8a976");

class Sensor
{
public:
    ~Sensor()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

    bool start(const QString &link)
    {
        m_process.setProgram(QStringLiteral(BRISCA_SIM_PATH));
        m_process.setArguments({"--link", link, "--verbose", "--fps", "0"});
        m_process.start();
        return m_process.waitForStarted() &&
               Perf::waitUntil([this] { return m_process.canReadLine(); }, 10000) &&
               m_process.readLine().startsWith("ready ");
    }

    // Milliseconds from `start` until the sensor logs a request; -1 after 10 s.
    double msUntilRequest(const QElapsedTimer &clock, qint64 startNs)
    {
        qint64 seenNs = -1;
        const auto connection =
            QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [&] {
                const QByteArray log = m_process.readAllStandardError();
                if (seenNs < 0 && log.contains("rx "))
                    seenNs = clock.nsecsElapsed();
            });
        Perf::waitUntil([&] { return seenNs >= 0; }, 10000);
        QObject::disconnect(connection);
        return seenNs < 0 ? -1 : (seenNs - startNs) / 1e6;
    }

    void drain()
    {
        Perf::waitUntil([] { return false; }, 50);
        m_process.readAllStandardError();
    }

private:
    QProcess m_process;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    QTextStream out(stdout);

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("tty"));
    Sensor sensor;
    if (!sensor.start(link)) {
        out << "result error=sensor did not start\n";
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    QVector<double> logged, delay, whole, help;
    for (int i = 0; i < runs; ++i) {
        // The sensor's own delay: a probe written onto the line by hand.
        const int fd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return 1;
        qint64 start = clock.nsecsElapsed();
        if (::write(fd, Probe.constData(), size_t(Probe.size())) != Probe.size())
            return 1;
        delay << sensor.msUntilRequest(clock, start);
        ::close(fd);
        sensor.drain();

        QProcess info;
        start = clock.nsecsElapsed();
        info.start(QStringLiteral(BRISCA_CLI_PATH), {"info", "--port", link});
        logged << sensor.msUntilRequest(clock, start);
        if (!info.waitForFinished(10000) || info.exitCode() != 0) {
            out << "result error=brisca info failed: " << info.readAllStandardError() << '\n';
            return 1;
        }
        whole << (clock.nsecsElapsed() - start) / 1e6;
        sensor.drain();

        QProcess usage;
        start = clock.nsecsElapsed();
        usage.start(QStringLiteral(BRISCA_CLI_PATH), {"--help"});
        usage.waitForFinished(10000);
        help << (clock.nsecsElapsed() - start) / 1e6;
    }

    const auto line = [&](const char *what, const Perf::Spread &s) {
        out << what << "median " << QString::number(s.median, 'f', 1) << " ms (p10 "
            << QString::number(s.p10, 'f', 1) << ", p90 " << QString::number(s.p90, 'f', 1)
            << ")\n";
    };
    const Perf::Spread l = Perf::spreadOf(logged), d = Perf::spreadOf(delay),
                       w = Perf::spreadOf(whole), h = Perf::spreadOf(help);
    out << runs << " runs of brisca info against brisca-sim, 19200 baud 8E1\n";
    line("  start to the first request logged by the sensor   ", l);
    line("  the sensor's own delay, probe written by hand      ", d);
    line("  whole brisca info, start to exit                   ", w);
    line("  brisca --help, start to exit                       ", h);
    out << "  start-up to the first request on the line          about "
        << QString::number(l.median - d.median, 'f', 1) << " ms (difference of the medians)\n";
    out << "result first_request_ms=" << QString::number(l.median - d.median, 'f', 1)
        << " logged_ms=" << QString::number(l.median, 'f', 1)
        << " sensor_delay_ms=" << QString::number(d.median, 'f', 1)
        << " info_ms=" << QString::number(w.median, 'f', 1)
        << " help_ms=" << QString::number(h.median, 'f', 1) << '\n';
    return 0;
}
