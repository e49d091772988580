#include "perfsupport.h"

#include "briscaregisters.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>

namespace Perf {

Sim::Sim()
{
    const QByteArray override = qgetenv("BRISCA_SIM");
    m_process.setProgram(override.isEmpty() ? QStringLiteral(BRISCA_SIM_PATH)
                                            : QString::fromLocal8Bit(override));
}

Sim::~Sim()
{
    stop();
}

bool Sim::start(const QStringList &args, const QString &logFile)
{
    QStringList all{QStringLiteral("--link"), linkPath()};
    all << args;
    if (logFile.isEmpty()) {
        m_process.setStandardErrorFile(QProcess::nullDevice());
    } else {
        all << QStringLiteral("--verbose");
        m_process.setStandardErrorFile(logFile, QIODevice::Truncate);
    }
    m_process.setArguments(all);
    m_process.start(QIODevice::ReadWrite);
    if (!m_process.waitForStarted(10000))
        return false;
    QByteArray out;
    QDeadlineTimer deadline(10000);
    while (!out.contains("ready ") || !out.contains('\n')) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(100);
        out += m_process.readAllStandardOutput();
    }
    return true;
}

void Sim::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString Sim::linkPath() const
{
    return m_dir.filePath(QStringLiteral("tty"));
}

QString Sim::path(const QString &name) const
{
    return m_dir.filePath(name);
}

QString Sim::writeJson(const QString &name, const QJsonObject &map) const
{
    QSaveFile file(path(name));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(QJsonDocument(map).toJson());
    return file.commit() ? file.fileName() : QString();
}

QJsonObject sensorMap(int baud)
{
    // Coils as the form starts: NO/NC off, "Timer based", "N.C.", "NPN", "Bidirectional",
    // applications off, frame average off; but Application 1's field of view limited, so
    // its image carries its square too.
    const QJsonArray coils = {0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    // Slave 1; thresholds 80/0, 50/10, 40/5 degrees; 250 ms, 95 %, "2x2" centred area,
    // window 10, 2 x 2 regions, "Hot".
    const int serial = Brisca::serialSettingsCode(quint32(baud), Brisca::ParityCodeEven);
    const QJsonArray holding = {1,    serial, 3531, 2731, 3231, 2831, 3131,
                                2781, 250,    95,   2,    10,   1,    1};
    return QJsonObject{{"coils", coils}, {"holding", holding}};
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    // A real event loop, as the program runs it: no sleeps of its own between events, which
    // the soak's loop watch would count as the program's gaps.
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double characterMs(int baud)
{
    return BitsPerCharacter * 1000.0 / baud;
}

double silenceMs(int baud)
{
    return baud > 19200 ? 1.75 : 3.5 * characterMs(baud);
}

double frameWireMs(int bytes, int baud)
{
    return bytes * characterMs(baud) + silenceMs(baud);
}

int ImageTraffic::bytes() const
{
    int total = 0;
    for (int n : requestBytes)
        total += n;
    for (int n : answerBytes)
        total += n;
    return total;
}

double ImageTraffic::wireMs(int baud) const
{
    double total = 0;
    for (int n : requestBytes)
        total += frameWireMs(n, baud);
    for (int n : answerBytes)
        total += frameWireMs(n, baud);
    return total;
}

QVector<ImageTraffic> imageCycles(const QString &logFile, int *otherFrames)
{
    // Requests of one image: 7 for the measurements, 9 for the frame.
    constexpr int RequestsPerImage = 16;
    QVector<ImageTraffic> cycles;
    int other = 0;
    QFile log(logFile);
    if (!log.open(QIODevice::ReadOnly)) {
        if (otherFrames)
            *otherFrames = -1;
        return cycles;
    }
    ImageTraffic current;
    bool open = false;
    auto close = [&] {
        const bool whole = current.requestBytes.size() == RequestsPerImage &&
                           current.answerBytes.size() == RequestsPerImage;
        if (whole)
            cycles << current;
        else
            other += current.frames();
        current = ImageTraffic();
    };
    while (!log.atEnd()) {
        const QByteArray line = log.readLine().trimmed();
        const bool request = line.startsWith("rx ");
        if (!request && !line.startsWith("tx "))
            continue;
        const QList<QByteArray> hex = line.mid(3).split(' ');
        // Function 4, start 0, count 5, after the slave address byte.
        const bool opensImage = request && hex.size() >= 6 && hex.at(1) == "04" &&
                                hex.at(2) == "00" && hex.at(3) == "00" && hex.at(4) == "00" &&
                                hex.at(5) == "05";
        if (opensImage) {
            if (open)
                close();
            else
                other += current.frames();
            current = ImageTraffic();
            open = true;
        }
        (request ? current.requestBytes : current.answerBytes) << hex.size();
    }
    if (open)
        close();
    else
        other += current.frames();
    if (otherFrames)
        *otherFrames = other;
    return cycles;
}

Spread spreadOf(QVector<double> values)
{
    Spread s;
    if (values.isEmpty())
        return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const double pos = q * (values.size() - 1);
        const int lo = int(std::floor(pos));
        const int hi = std::min(lo + 1, int(values.size()) - 1);
        return values.at(lo) + (values.at(hi) - values.at(lo)) * (pos - lo);
    };
    s.median = at(0.5);
    s.p10 = at(0.1);
    s.p90 = at(0.9);
    s.min = values.first();
    s.max = values.last();
    return s;
}

} // namespace Perf
