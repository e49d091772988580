#include "briscadevice.h"
#include "reliabilitysupport.h"
#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QModbusReply>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

// What an operator can type or press that makes no sense: port names that name no serial
// port, slave addresses at the ends of their range, and every control within reach before
// a sensor has been validated.
class tst_BadInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void typed_data();
    void typed();
    void nothingSentBeforeValidation();

private:
    QTemporaryDir m_dir;
};

namespace {

constexpr int StepTimeoutMs = 10000;
const char Sensor[] = "(the sensor)";
const char ConnectFailed[] = "^Connect failed: .";

// Sends one read past the window and the device's handlers; requests leave in order, so
// once it is answered everything issued before it has reached the line (or never will).
bool drain(WindowDriver &driver, quint8 slave)
{
    BriscaDevice *const link = driver.device();
    QModbusReply *reply =
        link ? link->sendReadRequest(QModbusDataUnit(QModbusDataUnit::DiscreteInputs, 0, 5), slave)
             : nullptr;
    if (!reply)
        return false;
    const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, StepTimeoutMs);
    reply->deleteLater();
    return done;
}

void connectTo(WindowDriver &driver, const QString &port)
{
    driver.child<QLineEdit>("lineEdit_portname")
        ->setText(port == Sensor ? driver.sim().linkPath() : port);
    driver.child<QPushButton>("pushButton_connect")->click();
}

} // namespace

using namespace Reliability;

// The port name, then the slave address as an operator types it, and what the window shows.
void tst_BadInput::typed_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("sensor"); // the sensor's own address
    QTest::addColumn<int>("typed");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("outcome");
    const auto file = [this](const char *name, const char *text, int mode) {
        const QString path = m_dir.filePath(QLatin1String(name));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) < 0)
            qFatal("cannot write %s", name);
        f.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    };
    const QStringList ports = {QString(), QString(8192, QLatin1Char('x')),
                               QStringLiteral("/nonexistent/ttyBRISCA"), m_dir.path(),
                               file("plain-file", "not a serial port\n", 0644),
                               // As root the permission is not checked; the file is no terminal.
                               file("locked", "", 0)};
    for (const QString &port : ports)
        QTest::addRow("port %s", qPrintable(port.left(40))) << port << 1 << 1 << 1 << ConnectFailed;
    const QString found = QStringLiteral("^Done, connection successful$");
    QTest::newRow("247, the highest") << Sensor << 247 << 247 << 247 << found;
    QTest::newRow("1, the lowest") << Sensor << 1 << 1 << 1 << found;
    QTest::newRow("0 typed gives 1") << Sensor << 1 << 0 << 1 << found;
    // The range refuses the last digit: 24 is selected, where nobody answers.
    QTest::newRow("248 typed stops at 24")
        << Sensor << 1 << 248 << 24
        << "^Could not find valid device\\. Verify connection settings and slave address$";
}

void tst_BadInput::typed()
{
    QFETCH(QString, port);
    QFETCH(int, sensor);
    QFETCH(int, typed);
    QFETCH(int, selected);
    QFETCH(QString, outcome);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", 0, sensor)));
    StatusLog log(&driver.window());
    connectTo(driver, port);
    if (outcome == ConnectFailed) {
        QVERIFY2(log.find(outcome) >= 0, qPrintable(log.since(0).join(" | ")));
        // Connect offered again, nothing that needs an open port.
        QVERIFY(driver.child<QPushButton>("pushButton_connect")->isEnabled());
        for (const char *name :
             {"pushButton_Disconnect", "pushButton_SelectSlave", "pushButton_Settings"})
            QVERIFY2(!driver.child<QWidget>(name)->isEnabled(), name);
        QVERIFY(!driver.device() || driver.device()->state() == QModbusDevice::UnconnectedState);
        QCOMPARE(driver.sim().received(), QStringList());
        return;
    }
    QVERIFY(driver.device());
    // Nobody answers at a wrong address: keep the wait short.
    driver.device()->setTimeout(300);

    auto *spin = driver.child<QSpinBox>("spinBox_slaveSelect");
    // Typed as an operator types: what the range refuses never reaches the value.
    spin->setFocus();
    QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(spin, QString::number(typed));
    QTest::keyClick(spin, Qt::Key_Enter);
    QCOMPARE(spin->value(), selected);

    driver.child<QPushButton>("pushButton_SelectSlave")->click();
    QVERIFY2(QTest::qWaitFor([&] { return log.find(outcome) >= 0; }, StepTimeoutMs),
             qPrintable(log.since(0).join(QStringLiteral(" | "))));
    const bool found = outcome.startsWith("^Done");
    QCOMPARE(driver.child<QPushButton>("pushButton_Settings")->isEnabled(), found);
    if (!found) {
        QVERIFY(drain(driver, quint8(sensor)));
        // The probe went to the typed address, and nothing else was written.
        const QStringList probes = driver.requestsSince(0, 0x06);
        QCOMPARE(probes.size(), 1);
        QVERIFY2(
            probes.first().startsWith(QStringLiteral("%1").arg(selected, 2, 16, QLatin1Char('0')) +
                                      QLatin1String("06000a03e8")),
            qPrintable(probes.first()));
        QCOMPARE(driver.writesSince(0), QStringList());
    }
}

void tst_BadInput::nothingSentBeforeValidation()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    connectTo(driver, Sensor);
    QVERIFY(driver.child<QPushButton>("pushButton_SelectSlave")->isEnabled());

    // Any confirmation box that shows is answered with OK: the worst case. A file dialog
    // (recording, export) is cancelled: files are no traffic on the line.
    QTimer boxes;
    connect(&boxes, &QTimer::timeout, &boxes, [] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            box->button(QMessageBox::Ok)->click();
        else if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            dialog->reject();
    });
    boxes.start(5);

    const QStringList connectionButtons = {"pushButton_connect", "pushButton_Disconnect",
                                           "pushButton_SelectSlave"};
    int pressed = 0;
    for (QAbstractButton *button : driver.window().findChildren<QAbstractButton *>()) {
        if (!button->isVisible() || !button->isEnabled() ||
            connectionButtons.contains(button->objectName()))
            continue;
        button->click();
        ++pressed;
    }
    // A menu entry that is disabled cannot be chosen (QAction::trigger() would still fire).
    for (QAction *action : driver.window().findChildren<QAction *>()) {
        if (action->isEnabled())
            action->trigger();
    }
    QVERIFY(!driver.child<QAction>("actionReset_device")->isEnabled());
    QVERIFY(pressed > 0);
    boxes.stop();

    QVERIFY(drain(driver, 1));
    const QStringList seen = driver.sim().received();
    QVERIFY2(seen.size() == 1, qPrintable(seen.join(' ')));
    QVERIFY2(seen.first().startsWith(QLatin1String("010200000005")), qPrintable(seen.first()));
}

QTEST_MAIN(tst_BadInput)
#include "tst_badinput.moc"
