#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <functional>

// Shared pieces of the performance programs: the virtual sensor as a child process, the
// arithmetic of the serial line, and a few measurements of the running process.
namespace Perf {

// brisca-sim on a fresh pseudo-terminal inside a private folder. Unlike the test support,
// nothing of its output is read by this process while it runs: the `--verbose` log goes
// straight into a file, so collecting it costs the measured program nothing.
class Sim
{
public:
    Sim();
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    // Starts the sensor with `args`; with `logFile` set, --verbose is added and its log
    // lands there. Returns once the sensor printed its ready line.
    bool start(const QStringList &args, const QString &logFile = {});
    void stop();
    QString linkPath() const;
    QString path(const QString &name) const;
    // Writes `map` as JSON for --load and returns its path.
    QString writeJson(const QString &name, const QJsonObject &map) const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// A register map in which every setting equals what the window shows at start-up, so that
// selecting the slave writes nothing back, with the line settings of `baud` and even
// parity, and Application 3 cut into 2 x 2 regions (256 regions and labels, the most the
// window ever draws).
QJsonObject sensorMap(int baud);

// Runs the event loop until `done` holds; false after `timeoutMs`.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// Resident set of this process in KiB, from /proc/self/status ("VmRSS", or "VmHWM").
long statusKiB(const char *field);

// The serial line. A character of 8E1 is 11 bits (start, 8 data, parity, stop).
constexpr int BitsPerCharacter = 11;
double characterMs(int baud);
// The silence that must precede every frame: 3.5 characters, fixed at 1.75 ms above 19200.
double silenceMs(int baud);
// Time one frame of `bytes` occupies the line at `baud`, the silence before it included.
double frameWireMs(int bytes, int baud);

// One image cycle as the sensor saw it: requests it received, answers it sent.
struct ImageTraffic
{
    QVector<int> requestBytes;
    QVector<int> answerBytes;
    int bytes() const;
    int frames() const { return requestBytes.size() + answerBytes.size(); }
    double wireMs(int baud) const;
};

// Cuts a --verbose log into image cycles. A cycle opens with the read of input registers
// 0..4 that every image starts with; it holds everything up to the next one. Only cycles
// of the full 16 requests, each answered, are kept; `otherFrames` counts what is left.
QVector<ImageTraffic> imageCycles(const QString &logFile, int *otherFrames = nullptr);

struct Spread
{
    double median = 0, p10 = 0, p90 = 0, min = 0, max = 0;
};
Spread spreadOf(QVector<double> values);

} // namespace Perf
