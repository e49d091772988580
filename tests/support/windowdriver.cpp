#include "windowdriver.h"

#include "briscadevice.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QModbusReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

namespace {
// A frame takes 16 requests; on a loaded machine a whole settle round stays well inside.
constexpr int StepTimeoutMs = 10000;

int functionOf(const QString &frame)
{
    return frame.mid(2, 2).toInt(nullptr, 16);
}
} // namespace

WindowDriver::WindowDriver() = default;

WindowDriver::~WindowDriver()
{
    // The window closes its port before the sensor goes away.
    m_window.reset();
    m_sim.stop();
}

QJsonObject WindowDriver::quietMap()
{
    // Form start-up: NO/NC off, "Timer based", "N.C.", "NPN", "Bidirectional", the three
    // applications off, field of view and frame average off.
    const QJsonArray coils = {0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // Slave 1 at 19200 even; thresholds 80/0, 50/10, 40/5 degrees; 250 ms, 95 %,
    // "2x2", window 10, "2x2" regions, "Hot".
    const QJsonArray holding = {1, 22, 3531, 2731, 3231, 2831, 3131, 2781, 250, 95, 2, 10, 1, 1};
    return QJsonObject{{"coils", coils}, {"holding", holding}};
}

QJsonObject WindowDriver::withValue(QJsonObject map, const QString &table, int address, int value)
{
    QJsonArray values = map.value(table).toArray();
    while (values.size() <= address)
        values.append(0);
    values[address] = value;
    map.insert(table, values);
    return map;
}

bool WindowDriver::start(const QJsonObject &map, const QStringList &extraArgs)
{
    const QString path = m_sim.writeJson(QStringLiteral("start.json"), map);
    if (!m_sim.start(QStringList{QStringLiteral("--load"), path} + extraArgs))
        return false;
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    return true;
}

bool WindowDriver::connectAndSelect(int slave)
{
    child<QLineEdit>("lineEdit_portname")->setText(m_sim.linkPath());
    child<QPushButton>("pushButton_connect")->click();
    if (!child<QPushButton>("pushButton_SelectSlave")->isEnabled())
        return false;

    QSignalSpy messages(m_window->statusBar(), &QStatusBar::messageChanged);
    child<QSpinBox>("spinBox_slaveSelect")->setValue(slave);
    child<QPushButton>("pushButton_SelectSlave")->click();
    const bool done = QTest::qWaitFor(
        [&] {
            for (const QList<QVariant> &args : qAsConst(messages)) {
                if (args.value(0).toString() == QLatin1String("Done, connection successful"))
                    return true;
            }
            return false;
        },
        StepTimeoutMs);
    return done && settle();
}

BriscaDevice *WindowDriver::device() const
{
    return m_window ? m_window->findChild<BriscaDevice *>() : nullptr;
}

bool WindowDriver::settle(int timeoutMs)
{
    BriscaDevice *const link = device();
    if (!link)
        return false;
    const quint8 slave = link->slaveAddress;
    // Read of the five discrete inputs; "%1" must not touch the digits that follow, which
    // QString::arg would take for a two-digit placeholder.
    const QString probe =
        QStringLiteral("%1").arg(slave, 2, 16, QLatin1Char('0')) + QStringLiteral("0200000005");
    // The probe goes through the master's queue but not through the device's handlers, so
    // the window never sees it. Requests go out in order, and a request that an answer
    // causes is queued before the next probe: once a round saw nothing but its own probe,
    // and a round before it has flushed what was already on the way, the line is quiet.
    for (int round = 0; round < 20; ++round) {
        // The device hands the master one request at a time and keeps the rest; the probe
        // goes straight to the master, so it waits until the device has nothing left.
        if (!QTest::qWaitFor([link] { return link->isIdle(); }, timeoutMs))
            return false;
        const int before = mark();
        QModbusReply *reply =
            link->sendReadRequest(QModbusDataUnit(QModbusDataUnit::DiscreteInputs, 0, 5), slave);
        if (!reply)
            return false;
        const bool answered = QTest::qWaitFor([reply] { return reply->isFinished(); }, timeoutMs);
        reply->deleteLater();
        if (!answered)
            return false;
        // The sensor logs on its own channel: its line may come a moment after the answer.
        const bool logged = QTest::qWaitFor(
            [&] {
                const QStringList seen = m_sim.received();
                return seen.size() > before && seen.last().startsWith(probe);
            },
            timeoutMs);
        if (!logged)
            return false;
        if (round > 0 && mark() == before + 1)
            return true;
    }
    return false;
}

QStringList WindowDriver::requestsSince(int mark, int functionCode) const
{
    QStringList result;
    const QStringList all = m_sim.received();
    for (int i = mark; i < all.size(); ++i) {
        if (functionCode == 0 || functionOf(all.at(i)) == functionCode)
            result << all.at(i);
    }
    return result;
}

QStringList WindowDriver::writesSince(int mark) const
{
    QStringList result;
    const QStringList all = m_sim.received();
    for (int i = mark; i < all.size(); ++i) {
        const int function = functionOf(all.at(i));
        // Select slave's probe (1000 to register 10) is refused by the sensor and changes
        // nothing; it is a question, not a setting.
        if (all.at(i).mid(2, 10) == QLatin1String("06000a03e8"))
            continue;
        if (function == 0x05 || function == 0x06 || function == 0x0f || function == 0x10)
            result << all.at(i);
    }
    return result;
}

QString WindowDriver::coilWrite(int slave, int coil, bool on)
{
    return QStringLiteral("%1%2%3%4")
        .arg(slave, 2, 16, QLatin1Char('0'))
        .arg(QStringLiteral("05"))
        .arg(coil, 4, 16, QLatin1Char('0'))
        .arg(on ? QStringLiteral("ff00") : QStringLiteral("0000"));
}

QString WindowDriver::holdingWrite(int slave, int address, int value)
{
    return QStringLiteral("%1%2%3%4")
        .arg(slave, 2, 16, QLatin1Char('0'))
        .arg(QStringLiteral("06"))
        .arg(address, 4, 16, QLatin1Char('0'))
        .arg(value, 4, 16, QLatin1Char('0'));
}
