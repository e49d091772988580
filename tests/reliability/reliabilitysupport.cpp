#include "reliabilitysupport.h"

#include "briscadevice.h"
#include "briscaregisters.h"
#include "image.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

namespace Reliability {

// --- StatusLog --------------------------------------------------------------------------

StatusLog::StatusLog(QMainWindow *window)
    : QObject(window)
{
    // Clearing and expiry also signal, with an empty text; only shown messages count.
    connect(window->statusBar(), &QStatusBar::messageChanged, this, [this](const QString &text) {
        if (!text.isEmpty()) {
            m_entries.append(text);
            m_barChanged = true;
        }
    });
}

void StatusLog::attach(BriscaDevice *device)
{
    // Connected after the window's own handler, so this runs right after the window has
    // shown the text: if the bar did not change, the text repeated the one shown.
    connect(device, &BriscaDevice::signal_status, this, [this](const QString &text) {
        if (!m_barChanged || m_entries.isEmpty() || m_entries.last() != text)
            m_entries.append(text);
        m_barChanged = false;
    });
}

int StatusLog::find(const QString &pattern, int from) const
{
    const QRegularExpression re(pattern);
    for (int i = std::max(0, from); i < m_entries.size(); ++i) {
        if (re.match(m_entries.at(i)).hasMatch())
            return i;
    }
    return -1;
}

int StatusLog::count(const QString &pattern, int from) const
{
    int n = 0;
    for (int i = find(pattern, from); i >= 0; i = find(pattern, i + 1))
        ++n;
    return n;
}

// --- Window state -----------------------------------------------------------------------

QJsonObject mapWithFrame(const QVector<int> &regions)
{
    QJsonArray input;
    for (int a = 0; a < 1305; ++a)
        input.append(a >= 281                             ? 2931 + (a - 281)
                     : a >= 25 && a - 25 < regions.size() ? regions.at(a - 25)
                                                          : 0);
    QJsonObject map = WindowDriver::quietMap();
    map.insert(QStringLiteral("input"), input);
    return map;
}

void answerNextBox(const std::function<void(QMessageBox *)> &answer)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        answer(box);
    });
    poll->start(5);
}

void acceptNextBox()
{
    answerNextBox([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
}

QStringList portClosedDifferences(const WindowDriver &driver)
{
    QStringList wrong;
    if (driver.device())
        wrong << QStringLiteral("a device still exists");
    // The manual controls are unlocked again, as after stopping by hand.
    for (const char *name : {"pushButton_connect", "pushButton_getImage"}) {
        if (!driver.child<QWidget>(name)->isEnabled())
            wrong << QLatin1String(name) + QStringLiteral(" disabled");
    }
    for (const char *name :
         {"pushButton_Disconnect", "pushButton_SelectSlave", "pushButton_Settings"}) {
        if (driver.child<QWidget>(name)->isEnabled())
            wrong << QLatin1String(name) + QStringLiteral(" enabled");
    }
    for (const char *name :
         {"pushButton_cycleMode", "pushButton_cycleMode1", "pushButton_cycleMode3"}) {
        if (driver.child<QPushButton>(name)->isChecked())
            wrong << QLatin1String(name) + QStringLiteral(" checked");
    }
    return wrong;
}

namespace {

QString valueOf(const QWidget *w)
{
    if (const auto *label = qobject_cast<const QLabel *>(w))
        return label->text() + QLatin1Char(' ') + label->styleSheet();
    if (const auto *spin = qobject_cast<const QAbstractSpinBox *>(w))
        return spin->text();
    if (const auto *combo = qobject_cast<const QComboBox *>(w))
        return combo->currentText();
    if (const auto *line = qobject_cast<const QLineEdit *>(w))
        return line->text();
    const auto *button = qobject_cast<const QAbstractButton *>(w);
    if (button && button->isCheckable())
        return button->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
    return QString();
}

QString digest(const void *data, int bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray(static_cast<const char *>(data), bytes),
                                 QCryptographicHash::Md5)
            .toHex());
}

} // namespace

QString shown(const WindowDriver &driver, const char *name)
{
    return valueOf(driver.child<QWidget>(name));
}

const char *const Editors[6] = {"doubleSpinBox_app1MaxThreshold", "doubleSpinBox_app1MinThreshold",
                                "doubleSpinBox_app2MaxThreshold", "doubleSpinBox_app2MinThreshold",
                                "doubleSpinBox_app3MaxThreshold", "doubleSpinBox_app3MinThreshold"};

QString editorsEnabled(const WindowDriver &driver)
{
    QString on;
    for (const char *name : Editors)
        on += driver.child<QWidget>(name)->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    return on;
}

QMap<QString, QString> widgetSnapshot(const QMainWindow &window)
{
    QMap<QString, QString> values;
    for (const QWidget *w : window.findChildren<QWidget *>()) {
        const QString name = w->objectName();
        // The state of the link and the age of the values are meant to change with a fault.
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) ||
            name == QLatin1String("linkStateIndicator") || name.endsWith(QLatin1String("DataAge")))
            continue;
        // Only `image` widgets are plots in this window.
        if (const auto *plot = qobject_cast<const QCustomPlot *>(w))
            values.insert(name, digest(static_cast<const image *>(plot)->pixels,
                                       int(sizeof static_cast<const image *>(plot)->pixels)));
        else if (!valueOf(w).isNull())
            values.insert(name, valueOf(w));
    }
    return values;
}

namespace {

using Values = QVector<int>;

// The same keys for the caches and for the sensor's registers.
QMap<QString, QString> registerView(const Values &holding, const Values &coils,
                                    const Values &discrete, const Values &input,
                                    const Values &block, const QString &frame)
{
    QMap<QString, QString> v;
    const auto put = [&v](const char *table, const Values &values, int first) {
        for (int i = 0; i < values.size(); ++i)
            v.insert(QStringLiteral("%1 %2").arg(QLatin1String(table)).arg(first + i),
                     QString::number(values.at(i)));
    };
    put("holding", holding, 0);
    put("coils", coils, 0);
    put("discrete", discrete, 0);
    put("input", input.mid(0, 5), 0);
    put("input", input.mid(5), Brisca::InputApp3HighestBreachTemp);
    QStringList regions;
    for (int value : block)
        regions << QString::number(value);
    v.insert(QStringLiteral("input block"), regions.join(QLatin1Char(',')));
    v.insert(QStringLiteral("frame"), frame);
    return v;
}

} // namespace

QMap<QString, QString> cacheSnapshot(const BriscaDevice &d)
{
    const Values holding = {d.slaveAddress,     d.serialSettings,   d.app1MaxThreshold,
                            d.app1MinThreshold, d.app2MaxThreshold, d.app2MinThreshold,
                            d.app3MaxThreshold, d.app3MinThreshold, d.alarmDuration,
                            d.emissivity,       d.reticleSize,      d.movingAverageWindow,
                            d.gridRoiSize,      d.temperatureChoice};
    const Values coils = {d.noNcEnabled,   d.alarmTimerBased,       d.outputNormallyClosed,
                          d.transistorNpn, d.counterUnidirectional, d.app1Enabled,
                          d.app2Enabled,   d.app3Enabled,           d.coil8,
                          d.app1LimitFov,  d.frameAverage,          d.noNcOutputActive};
    const Values discrete = {d.discreteInput0, d.discreteInput1, d.app1Alarm, d.app2Alarm,
                             d.app3Alarm};
    const Values input = {d.app1MinTemp,           d.app1MinPosition, d.app1MaxTemp,
                          d.app1MaxPosition,       d.app1AvgTemp,     d.app3HighestBreachTemp,
                          d.app3HighestBreachArea, d.app3Counter,     d.app2AvgTemp};
    return registerView(holding, coils, discrete, input,
                        Values(d.app3Block.cbegin(), d.app3Block.cend()),
                        digest(d.frameBuffer.data(), int(sizeof(quint16) * d.frameBuffer.size())));
}

QMap<QString, QString> sensorView(const SimProcess &sim)
{
    Values holding = sim.stateArray(QStringLiteral("holding")).mid(0, 14);
    // The address and the byte-wide settings are kept as their low byte.
    for (int a = 0; a < holding.size(); ++a) {
        if (a == 0 || a >= Brisca::HoldingEmissivity)
            holding[a] &= 0xFF;
    }
    Values coils = sim.stateArray(QStringLiteral("coils")).mid(0, 12);
    Values discrete = sim.stateArray(QStringLiteral("discrete_inputs")).mid(0, 5);
    for (int &v : coils)
        v = v != 0;
    for (int &v : discrete)
        v = v != 0;
    const Values all = sim.stateArray(QStringLiteral("input"));
    const Values input = all.mid(0, 5) + all.mid(Brisca::InputApp3HighestBreachTemp, 4);
    QVector<quint16> frame;
    for (int i = 0; i < Brisca::FramePixelCount; ++i)
        frame << quint16(all.value(Brisca::InputFrameStart + i, -1));
    return registerView(holding, coils, discrete, input,
                        all.mid(Brisca::InputApp3BlockStart, Brisca::App3BlockSize),
                        digest(frame.constData(), int(sizeof(quint16)) * frame.size()));
}

QStringList changedKeys(const QMap<QString, QString> &before, const QMap<QString, QString> &after)
{
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.value(it.key(), QStringLiteral("(none)")) != it.value())
            changed << it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            changed << it.key();
    }
    return changed;
}

// --- Play -------------------------------------------------------------------------------

bool Play::begin(const QJsonObject &map, const QStringList &simArgs)
{
    return driver.start(map, QStringList{QStringLiteral("--fps"), QStringLiteral("0")} + simArgs) &&
           select();
}

bool Play::select()
{
    if (!driver.connectAndSelect())
        return false;
    QObject::connect(driver.device(), &BriscaDevice::pixelDataReady, driver.device(),
                     [this] { ++frames; });
    return true;
}

void playRow()
{
    QFETCH(QJsonObject, map);
    QFETCH(QStringList, simArgs);
    QFETCH(Moves, moves);
    Play play;
    QVERIFY(play.begin(map, simArgs));
    moves(play);
}

QStringList Play::writesTo(int mark, const QString &prefix) const
{
    return driver.writesSince(mark).filter(QRegularExpression(QLatin1Char('^') + prefix));
}

} // namespace Reliability
