#include "soakfigures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <functional>

namespace Reliability {

// --- LoopWatch --------------------------------------------------------------------------

LoopWatch::LoopWatch(QObject *parent)
    : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void LoopWatch::start()
{
    m_longest = 0;
    m_longestOwn = 0;
    m_clock.start();
    m_last = 0;
    m_lastWait = runQueueWaitNs();
    m_timer.start();
}

void LoopWatch::stop()
{
    tick();
    m_timer.stop();
}

void LoopWatch::tick()
{
    const qint64 now = m_clock.elapsed();
    const qint64 wait = runQueueWaitNs();
    const qint64 gap = now - m_last;
    m_longest = std::max(m_longest, gap);
    m_longestOwn = std::max(m_longestOwn, gap - (wait - m_lastWait) / 1000000);
    m_last = now;
    m_lastWait = wait;
}

qint64 LoopWatch::runQueueWaitNs()
{
    // "time on a processor, time waiting for one, time slices", in nanoseconds. Without the
    // file (another kernel) nothing is subtracted.
    QFile file(QStringLiteral("/proc/thread-self/schedstat"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = file.readAll().simplified().split(' ');
    return fields.size() >= 2 ? fields.at(1).toLongLong() : 0;
}

// --- The figures document ---------------------------------------------------------------

namespace {

QString beginMarker(const QString &section)
{
    return QStringLiteral("<!-- %1:begin -->").arg(section);
}

QString endMarker(const QString &section)
{
    return QStringLiteral("<!-- %1:end -->").arg(section);
}

// Runs `edit` on the document's text under the lock and writes the result back.
bool editDocument(const std::function<QString(const QString &)> &edit)
{
    const QString path = documentPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(60000);
    if (!lock.tryLock(60000))
        return false;

    QString text;
    QFile in(path);
    if (in.open(QIODevice::ReadOnly)) {
        text = QString::fromUtf8(in.readAll());
    } else {
        // A fresh build folder starts from the committed document.
        QFile committed(QStringLiteral(BRISCA_SOURCE_DIR "/docs/reliability.md"));
        if (committed.open(QIODevice::ReadOnly))
            text = QString::fromUtf8(committed.readAll());
    }
    in.close();

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(edit(text).toUtf8());
    return out.commit();
}

// The text between the markers of `section`; the markers are added at the end when the
// document lacks them.
QString &ensureSection(QString &text, const QString &section)
{
    if (!text.contains(beginMarker(section))) {
        if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        text += QStringLiteral("\n%1\n%2\n").arg(beginMarker(section), endMarker(section));
    }
    return text;
}

QString withSectionBody(const QString &text, const QString &section, const QString &body)
{
    const int begin = text.indexOf(beginMarker(section)) + beginMarker(section).size();
    const int end = text.indexOf(endMarker(section), begin);
    return text.left(begin) + QLatin1Char('\n') + body.trimmed() + QLatin1Char('\n') +
           text.mid(end);
}

} // namespace

QString documentPath()
{
    if (qEnvironmentVariableIntValue("BRISCA_WRITE_DOCS") == 1)
        return QStringLiteral(BRISCA_SOURCE_DIR "/docs/reliability.md");
    return QStringLiteral(BRISCA_BINARY_DIR "/docs/reliability.md");
}

bool replaceSection(const QString &section, const QString &body)
{
    return editDocument([&](const QString &original) {
        QString text = original;
        ensureSection(text, section);
        return withSectionBody(text, section, body);
    });
}

} // namespace Reliability
