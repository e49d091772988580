#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// What the soak measures besides the window itself, and where its figures go.
namespace Reliability {

// How long the event loop went without getting round to a 10 ms timer: a handler that
// blocks (a synchronous wait on the line, a close that hangs) shows up as a long gap. The
// "own" figure leaves out the time the thread waited for a processor
// (/proc/thread-self/schedstat), which a machine shared with other work adds now and then.
class LoopWatch : public QObject
{
public:
    explicit LoopWatch(QObject *parent = nullptr);

    void start();
    void stop();
    qint64 longestGapMs() const { return m_longest; }
    qint64 longestOwnGapMs() const { return m_longestOwn; }

private:
    void tick();
    static qint64 runQueueWaitNs();

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastWait = 0;
    qint64 m_longest = 0;
    qint64 m_longestOwn = 0;
};

// The figures document: generated sections between `<!-- NAME:begin -->` and
// `<!-- NAME:end -->`. With BRISCA_WRITE_DOCS=1 it is docs/reliability.md of the source
// tree, otherwise a copy in the build folder, so a test run leaves the checkout clean.
// Several processes may update it at once; each update holds a lock file.
QString documentPath();
bool replaceSection(const QString &section, const QString &text);

} // namespace Reliability
