#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <functional>

class BriscaDevice;
class QMainWindow;
class WindowDriver;

namespace Reliability {

// A stretch without events this long is a frozen window, whatever the machine's load.
constexpr qint64 FreezeMs = 1000;

// How long the event loop went without getting round to a 10 ms timer: a handler that
// blocks (a synchronous wait on the line, a close that hangs) shows up as a long gap.
//
// On a machine shared with other work the thread also waits for a processor now and then;
// the kernel counts that time (/proc/thread-self/schedstat), and the "own" figure leaves it
// out: what remains is time the thread ran or slept by its own choice.
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

// Runs the event loop until `done` holds or `timeoutMs` passed; the loop runs as it does
// in the program (no sleeping between rounds), so the watch above measures the window and
// not the test.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// Every message the window put in its status bar, in order, with the time it appeared.
// The bar signals a change only when the text differs from the one shown, so a message
// that repeats the previous one (a second "Value successfully updated") is taken from the
// device's own status signal: attach() every device the window creates.
class StatusLog : public QObject
{
public:
    explicit StatusLog(QMainWindow *window);

    void attach(BriscaDevice *device);

    QStringList messages() const;
    int size() const { return m_entries.size(); }
    QStringList since(int index) const;
    // Index of the first message from `from` on that matches `pattern` (a regular
    // expression), or -1.
    int find(const QString &pattern, int from = 0) const;
    qint64 msAt(int index) const { return m_entries.at(index).atMs; }
    QString last() const { return m_entries.isEmpty() ? QString() : m_entries.last().text; }

private:
    struct Entry
    {
        QString text;
        qint64 atMs;
    };
    QList<Entry> m_entries;
    QElapsedTimer m_clock;
    bool m_barChanged = false;
};

// Presses OK in the next modal message box as soon as it shows.
void acceptNextBox();

// The port as the window shows it once the link is gone: Connect offered again, nothing
// that needs an open port, continuous mode stopped. Empty when so, else what differs.
QStringList portClosedDifferences(const WindowDriver &driver);

// What the operator sees: every value-carrying widget of the window, by object name
// (labels, editors, combo boxes, check states, the frame each plot holds).
QMap<QString, QString> widgetSnapshot(const QMainWindow &window);
// Every cache of the device, by field name.
QMap<QString, QString> cacheSnapshot(const BriscaDevice &device);
// A digest of a frame, as cacheSnapshot() gives the frame buffer.
QString frameDigest(const QVector<quint16> &frame);
// Names whose values differ between two snapshots (also names present in only one).
QStringList changedKeys(const QMap<QString, QString> &before, const QMap<QString, QString> &after);

// The figures document: generated sections between `<!-- NAME:begin -->` and
// `<!-- NAME:end -->` markers. With BRISCA_WRITE_DOCS=1 it is docs/reliability.md of the
// source tree, otherwise a copy in the build folder, so a test run leaves the checkout
// clean. Several test processes may update it at once; each update holds a lock file.
QString documentPath();
// Replaces the rows of a table section whose key (first two cells) is in `rows`, keeps the
// other rows, and orders them by `order` (keys as "first|second"); `header` is the table's
// header and separator lines.
bool mergeTableRows(const QString &section, const QString &header, const QStringList &order,
                    const QMap<QString, QString> &rows);
// Replaces the whole text of a section.
bool replaceSection(const QString &section, const QString &text);

} // namespace Reliability
