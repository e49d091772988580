#include "reliabilitysupport.h"

#include "briscadevice.h"
#include "image.h"
#include "windowdriver.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStatusBar>

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

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
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

// --- StatusLog --------------------------------------------------------------------------

StatusLog::StatusLog(QMainWindow *window)
    : QObject(window)
{
    m_clock.start();
    // Clearing and expiry also signal, with an empty text; only shown messages count.
    connect(window->statusBar(), &QStatusBar::messageChanged, this, [this](const QString &text) {
        if (!text.isEmpty()) {
            m_entries.append({text, m_clock.elapsed()});
            m_barChanged = true;
        }
    });
}

void StatusLog::attach(BriscaDevice *device)
{
    // Connected after the window's own handler, so this runs right after the window has
    // shown the text: if the bar did not change, the text repeated the one shown.
    connect(device, &BriscaDevice::signal_status, this, [this](const QString &text) {
        if (!m_barChanged || m_entries.isEmpty() || m_entries.last().text != text)
            m_entries.append({text, m_clock.elapsed()});
        m_barChanged = false;
    });
}

QStringList StatusLog::messages() const
{
    return since(0);
}

QStringList StatusLog::since(int index) const
{
    QStringList result;
    for (int i = std::max(0, index); i < m_entries.size(); ++i)
        result << m_entries.at(i).text;
    return result;
}

int StatusLog::find(const QString &pattern, int from) const
{
    const QRegularExpression re(pattern);
    for (int i = std::max(0, from); i < m_entries.size(); ++i) {
        if (re.match(m_entries.at(i).text).hasMatch())
            return i;
    }
    return -1;
}

// --- Window state -----------------------------------------------------------------------

void acceptNextBox()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        box->button(QMessageBox::Ok)->click();
    });
    poll->start(5);
}

QStringList portClosedDifferences(const WindowDriver &driver)
{
    QStringList wrong;
    if (driver.device())
        wrong << QStringLiteral("a device still exists");
    const auto expect = [&](const char *name, bool enabled) {
        if (driver.child<QWidget>(name)->isEnabled() != enabled)
            wrong << QStringLiteral("%1 %2").arg(QLatin1String(name),
                                                 enabled ? QStringLiteral("disabled")
                                                         : QStringLiteral("enabled"));
    };
    expect("pushButton_connect", true);
    expect("pushButton_Disconnect", false);
    expect("pushButton_SelectSlave", false);
    expect("pushButton_Settings", false);
    for (const char *name :
         {"pushButton_cycleMode", "pushButton_cycleMode1", "pushButton_cycleMode3"}) {
        if (driver.child<QPushButton>(name)->isChecked())
            wrong << QStringLiteral("%1 checked").arg(QLatin1String(name));
    }
    // The manual controls are unlocked again, as after stopping by hand.
    expect("pushButton_getImage", true);
    return wrong;
}

QMap<QString, QString> widgetSnapshot(const QMainWindow &window)
{
    QMap<QString, QString> values;
    const QList<QWidget *> widgets = window.findChildren<QWidget *>();
    for (const QWidget *w : widgets) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
            continue;
        // The state of the link and the age of the values are meant to change with a fault.
        if (name == QLatin1String("linkStateIndicator") || name.endsWith(QLatin1String("DataAge")))
            continue;
        if (const auto *plot = qobject_cast<const QCustomPlot *>(w)) {
            // Only `image` widgets are plots in this window.
            const auto *view = static_cast<const image *>(plot);
            values.insert(name, QString::fromLatin1(
                                    QCryptographicHash::hash(
                                        QByteArray(reinterpret_cast<const char *>(view->pixels),
                                                   sizeof view->pixels),
                                        QCryptographicHash::Md5)
                                        .toHex()));
        } else if (const auto *label = qobject_cast<const QLabel *>(w)) {
            values.insert(name, label->text() + QLatin1Char(' ') + label->styleSheet());
        } else if (const auto *spin = qobject_cast<const QAbstractSpinBox *>(w)) {
            values.insert(name, spin->text());
        } else if (const auto *combo = qobject_cast<const QComboBox *>(w)) {
            values.insert(name, QString::number(combo->currentIndex()));
        } else if (const auto *line = qobject_cast<const QLineEdit *>(w)) {
            values.insert(name, line->text());
        } else if (const auto *button = qobject_cast<const QAbstractButton *>(w)) {
            if (button->isCheckable())
                values.insert(name,
                              QStringLiteral("%1 %2").arg(button->isChecked()).arg(button->text()));
        }
    }
    return values;
}

QMap<QString, QString> cacheSnapshot(const BriscaDevice &d)
{
    QMap<QString, QString> v;
    const auto put = [&v](const char *name, int value) {
        v.insert(QLatin1String(name), QString::number(value));
    };
    put("slaveAddress", d.slaveAddress);
    put("serialSettings", d.serialSettings);
    put("app1MaxThreshold", d.app1MaxThreshold);
    put("app1MinThreshold", d.app1MinThreshold);
    put("app2MaxThreshold", d.app2MaxThreshold);
    put("app2MinThreshold", d.app2MinThreshold);
    put("app3MaxThreshold", d.app3MaxThreshold);
    put("app3MinThreshold", d.app3MinThreshold);
    put("alarmDuration", d.alarmDuration);
    put("emissivity", d.emissivity);
    put("reticleSize", d.reticleSize);
    put("movingAverageWindow", d.movingAverageWindow);
    put("gridRoiSize", d.gridRoiSize);
    put("temperatureChoice", d.temperatureChoice);
    put("noNcEnabled", d.noNcEnabled);
    put("alarmTimerBased", d.alarmTimerBased);
    put("outputNormallyClosed", d.outputNormallyClosed);
    put("transistorNpn", d.transistorNpn);
    put("counterUnidirectional", d.counterUnidirectional);
    put("app1Enabled", d.app1Enabled);
    put("app2Enabled", d.app2Enabled);
    put("app3Enabled", d.app3Enabled);
    put("coil8", d.coil8);
    put("noNcOutputActive", d.noNcOutputActive);
    put("app1LimitFov", d.app1LimitFov);
    put("frameAverage", d.frameAverage);
    put("discreteInput0", d.discreteInput0);
    put("discreteInput1", d.discreteInput1);
    put("app1Alarm", d.app1Alarm);
    put("app2Alarm", d.app2Alarm);
    put("app3Alarm", d.app3Alarm);
    put("app1MinTemp", d.app1MinTemp);
    put("app1MinPosition", d.app1MinPosition);
    put("app1MaxTemp", d.app1MaxTemp);
    put("app1MaxPosition", d.app1MaxPosition);
    put("app1AvgTemp", d.app1AvgTemp);
    put("app3HighestBreachTemp", d.app3HighestBreachTemp);
    put("app3HighestBreachArea", d.app3HighestBreachArea);
    put("app3Counter", d.app3Counter);
    put("app2AvgTemp", d.app2AvgTemp);
    QStringList block;
    for (quint16 value : d.app3Block)
        block << QString::number(value);
    v.insert(QStringLiteral("app3Block"), block.join(QLatin1Char(',')));
    v.insert(QStringLiteral("frameBuffer"),
             frameDigest(QVector<quint16>(d.frameBuffer.cbegin(), d.frameBuffer.cend())));
    return v;
}

QString frameDigest(const QVector<quint16> &frame)
{
    const QByteArray bytes(reinterpret_cast<const char *>(frame.constData()),
                           int(sizeof(quint16)) * frame.size());
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QStringList changedKeys(const QMap<QString, QString> &before, const QMap<QString, QString> &after)
{
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()) || after.value(it.key()) != it.value())
            changed << it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            changed << it.key();
    }
    return changed;
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

QString sectionBody(const QString &text, const QString &section)
{
    const int begin = text.indexOf(beginMarker(section)) + beginMarker(section).size();
    const int end = text.indexOf(endMarker(section), begin);
    return end < 0 ? QString() : text.mid(begin, end - begin);
}

QString withSectionBody(const QString &text, const QString &section, const QString &body)
{
    const int begin = text.indexOf(beginMarker(section)) + beginMarker(section).size();
    const int end = text.indexOf(endMarker(section), begin);
    return text.left(begin) + QLatin1Char('\n') + body.trimmed() + QLatin1Char('\n') +
           text.mid(end);
}

QString rowKey(const QString &line)
{
    // Cells are split at pipes that are not escaped.
    const QStringList cells = line.split(QRegularExpression(QStringLiteral("(?<!\\\\)\\|")));
    if (cells.size() < 4)
        return {};
    return cells.at(1).trimmed() + QLatin1Char('|') + cells.at(2).trimmed();
}

} // namespace

QString documentPath()
{
    if (qEnvironmentVariableIntValue("BRISCA_WRITE_DOCS") == 1)
        return QStringLiteral(BRISCA_SOURCE_DIR "/docs/reliability.md");
    return QStringLiteral(BRISCA_BINARY_DIR "/docs/reliability.md");
}

bool mergeTableRows(const QString &section, const QString &header, const QStringList &order,
                    const QMap<QString, QString> &rows)
{
    return editDocument([&](const QString &original) {
        QString text = original;
        ensureSection(text, section);
        QMap<QString, QString> all;
        const QStringList lines = sectionBody(text, section).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            const QString key = rowKey(line);
            if (line.startsWith(QLatin1Char('|')) && order.contains(key))
                all.insert(key, line);
        }
        for (auto it = rows.cbegin(); it != rows.cend(); ++it)
            all.insert(it.key(), it.value());
        QStringList body{header.trimmed()};
        for (const QString &key : order) {
            if (all.contains(key))
                body << all.value(key);
        }
        return withSectionBody(text, section, body.join(QLatin1Char('\n')));
    });
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
