// brisca-bench-scan [RUNS]: what the scan for sensors costs, on the virtual sensor and on
// paper for a real line.
//
// Measured: the scanner walks the 247 addresses of one line setting with one sensor (paced,
// at address 1) on the line; the time between two addresses that stay silent is what a
// silent address costs. Then the scan with every setting the dialog offers, as it starts by
// default, until it has found a sensor at its factory settings. On a pseudo-terminal the
// baud rate sets no pace, but the waits of the scanner follow it all the same, and they are
// nearly the whole cost of a silent address.

#include "perfsupport.h"

#include "briscascanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr int Addresses = 247;
// A probe (write of one register) and the echo of an accepted write: 8 bytes each; the
// refusal of a sensor: 5 bytes.
constexpr int ProbeBytes = 8;
constexpr int RefusalBytes = 5;

const QVector<qint32> AllRates = {1200,  2400,  4800,  9600,   14400,  19200, 28800,
                                  38400, 56000, 57600, 115200, 128000, 256000};
const QVector<QSerialPort::Parity> AllParities = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                                  QSerialPort::OddParity};

struct LineRun
{
    double totalMs = 0;
    Perf::Spread silent;
    int found = 0;
};

// One scan of every address at `baud`, even parity, with the sensor at address 1.
bool scanLine(qint32 baud, LineRun *run)
{
    Perf::Sim sim;
    if (!sim.start({"--baud", QString::number(baud), "--parity", "even", "--pace", "--fps", "0"}))
        return false;
    ScanSettings settings;
    settings.portName = sim.linkPath();
    settings.baudRates = {baud};
    settings.parities = {QSerialPort::EvenParity};
    settings.firstAddress = 1;
    settings.lastAddress = Addresses;

    BriscaScanner scanner;
    QElapsedTimer clock;
    QVector<qint64> doneAtNs;
    bool finished = false;
    QObject::connect(&scanner, &BriscaScanner::progress, &scanner,
                     [&](int) { doneAtNs << clock.nsecsElapsed(); });
    QObject::connect(&scanner, &BriscaScanner::finished, &scanner,
                     [&](bool, const QString &) { finished = true; });
    clock.start();
    scanner.start(settings);
    if (!Perf::waitUntil([&] { return finished; }, 60000) || doneAtNs.size() != Addresses)
        return false;
    run->totalMs = clock.nsecsElapsed() / 1e6;
    run->found = int(scanner.results().size());
    // Address 1 answers; each later address is silent and ends when its wait is over.
    QVector<double> silent;
    for (int i = 1; i < doneAtNs.size(); ++i)
        silent << (doneAtNs.at(i) - doneAtNs.at(i - 1)) / 1e6;
    run->silent = Perf::spreadOf(silent);
    return true;
}

// Milliseconds from the start of a default scan until the sensor at its factory settings
// (slave 1, 19200 baud, even parity) is listed; -1 if it is not.
double findFactorySensor()
{
    Perf::Sim sim;
    if (!sim.start({"--pace", "--fps", "0"}))
        return -1;
    ScanSettings settings;
    settings.portName = sim.linkPath();
    settings.baudRates = AllRates;
    settings.parities = AllParities;
    // The connection page at its defaults.
    settings.current = LineSetting{19200, QSerialPort::EvenParity};

    BriscaScanner scanner;
    QElapsedTimer clock;
    double foundMs = -1;
    QObject::connect(&scanner, &BriscaScanner::found, &scanner, [&](const ScanResult &result) {
        if (foundMs < 0 && result.kind == ScanResult::BriscaSensor && result.address == 1)
            foundMs = clock.nsecsElapsed() / 1e6;
        scanner.cancel();
    });
    clock.start();
    scanner.start(settings);
    Perf::waitUntil([&] { return !scanner.isRunning(); }, 60000);
    return foundMs;
}

// On paper, a real line: what a silent address costs (the master's silence before the
// probe, then the wait, which already holds the probe on the wire) and what an answer takes.
void paper()
{
    std::printf("\nOn paper, a real line (11 bits a character):\n");
    std::printf("%8s %9s %11s %8s %10s %14s %14s\n", "baud", "probe ms", "refusal ms", "wait ms",
                "silent ms", "247 addr. s", "x 3 parities s");
    for (qint32 baud : AllRates) {
        const double silent = Perf::silenceMs(baud) + BriscaScanner::probeTimeoutMs(baud);
        std::printf("%8d %9.2f %11.2f %8d %10.2f %14.2f %14.2f\n", baud,
                    ProbeBytes * Perf::characterMs(baud), RefusalBytes * Perf::characterMs(baud),
                    BriscaScanner::probeTimeoutMs(baud), silent, Addresses * silent / 1000.0,
                    3 * Addresses * silent / 1000.0);
    }
    ScanSettings all;
    all.baudRates = AllRates;
    all.parities = AllParities;
    all.firstAddress = 1;
    all.lastAddress = Addresses;
    std::printf("Every address at all 13 x 3 settings, nothing answering: %.1f s (the scanner's "
                "own estimate).\n",
                BriscaScanner::estimatedMs(all) / 1000.0);
    std::printf("A sensor at its factory settings answers the first probe of a scan: %.2f ms "
                "on the line at 19200 baud (silence, probe, silence, refusal).\n",
                Perf::frameWireMs(ProbeBytes, 19200) + Perf::frameWireMs(RefusalBytes, 19200));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    std::printf("Scan of %d addresses at one setting, virtual sensor (paced) at address 1:\n",
                Addresses);
    std::printf("%8s %10s %12s %22s %6s\n", "baud", "total s", "silent ms", "silent p10 - p90 ms",
                "found");
    for (qint32 baud : {9600, 19200, 115200}) {
        LineRun run;
        if (!scanLine(baud, &run)) {
            std::fprintf(stderr, "brisca-bench-scan: the scan at %d baud did not finish\n", baud);
            return 1;
        }
        std::printf("%8d %10.2f %12.2f %10.2f - %9.2f %6d\n", baud, run.totalMs / 1000.0,
                    run.silent.median, run.silent.p10, run.silent.p90, run.found);
    }

    QVector<double> found;
    for (int i = 0; i < runs; ++i) {
        const double ms = findFactorySensor();
        if (ms < 0) {
            std::fprintf(stderr, "brisca-bench-scan: the factory sensor was not found\n");
            return 1;
        }
        found << ms;
    }
    const Perf::Spread f = Perf::spreadOf(found);
    std::printf("\nSensor at its factory settings, scan of all 13 x 3 settings: found after "
                "median %.1f ms (min %.1f, max %.1f) over %d runs\n",
                f.median, f.min, f.max, runs);
    paper();
    return 0;
}
