#include "briscadevice.h"
#include "reliabilitysupport.h"
#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QModbusReply>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
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
    void initTestCase();
    void portNames_data();
    void portNames();
    void nothingSentBeforeValidation();
    void slaveAddressLimits_data();
    void slaveAddressLimits();

private:
    QTemporaryDir m_dir;
};

namespace {

constexpr int StepTimeoutMs = 10000;

// Sends one read past the window and the device's handlers; requests leave in order, so
// once it is answered everything issued before it has reached the line (or never will).
bool drain(WindowDriver &driver, quint8 slave)
{
    BriscaDevice *const link = driver.device();
    if (!link)
        return false;
    QModbusReply *reply =
        link->sendReadRequest(QModbusDataUnit(QModbusDataUnit::DiscreteInputs, 0, 5), slave);
    if (!reply)
        return false;
    const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, StepTimeoutMs);
    reply->deleteLater();
    return done;
}

} // namespace

using namespace Reliability;

void tst_BadInput::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
}

void tst_BadInput::portNames_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("empty") << QString();
    QTest::newRow("huge") << QString(8192, QLatin1Char('x'));
    QTest::newRow("non-existent") << QStringLiteral("/nonexistent/ttyBRISCA");
    QTest::newRow("directory") << m_dir.path();

    const QString file = m_dir.filePath(QStringLiteral("plain-file"));
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("not a serial port\n");
    plain.close();
    QTest::newRow("regular file") << file;

    // As root the permission is not checked, and the file is refused as not a terminal.
    const QString locked = m_dir.filePath(QStringLiteral("locked"));
    QFile lockedFile(locked);
    QVERIFY(lockedFile.open(QIODevice::WriteOnly));
    lockedFile.close();
    QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0), 0);
    QTest::newRow("no permission") << locked;
}

void tst_BadInput::portNames()
{
    QFETCH(QString, port);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    driver.child<QLineEdit>("lineEdit_portname")->setText(port);
    driver.child<QPushButton>("pushButton_connect")->click();

    const QString shown = driver.window().statusBar()->currentMessage();
    QVERIFY2(shown.startsWith("Connect failed: ") && shown.size() > 16, qPrintable(shown));
    // Connect offered again, nothing that needs an open port.
    QVERIFY(driver.child<QPushButton>("pushButton_connect")->isEnabled());
    for (const char *name :
         {"pushButton_Disconnect", "pushButton_SelectSlave", "pushButton_Settings"})
        QVERIFY2(!driver.child<QWidget>(name)->isEnabled(), name);
    QVERIFY(!driver.device() || driver.device()->state() == QModbusDevice::UnconnectedState);
    QCOMPARE(driver.sim().received(), QStringList());
}

void tst_BadInput::nothingSentBeforeValidation()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    driver.child<QLineEdit>("lineEdit_portname")->setText(driver.sim().linkPath());
    driver.child<QPushButton>("pushButton_connect")->click();
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

void tst_BadInput::slaveAddressLimits_data()
{
    QTest::addColumn<int>("sensor");
    QTest::addColumn<int>("typed");
    QTest::addColumn<int>("selected");
    QTest::addColumn<bool>("found");
    QTest::newRow("247, the highest") << 247 << 247 << 247 << true;
    QTest::newRow("1, the lowest") << 1 << 1 << 1 << true;
    QTest::newRow("0 typed gives 1") << 1 << 0 << 1 << true;
    // The range refuses the last digit: 24 is selected, where nobody answers.
    QTest::newRow("248 typed stops at 24") << 1 << 248 << 24 << false;
}

void tst_BadInput::slaveAddressLimits()
{
    QFETCH(int, sensor);
    QFETCH(int, typed);
    QFETCH(int, selected);
    QFETCH(bool, found);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", 0, sensor)));
    driver.child<QLineEdit>("lineEdit_portname")->setText(driver.sim().linkPath());
    driver.child<QPushButton>("pushButton_connect")->click();
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

    StatusLog log(&driver.window());
    driver.child<QPushButton>("pushButton_SelectSlave")->click();
    const QString expected = found ? QStringLiteral("Done, connection successful")
                                   : QStringLiteral("Could not find valid device. Verify "
                                                    "connection settings and slave address");
    const QString pattern = QRegularExpression::escape(expected);
    QVERIFY2(QTest::qWaitFor([&] { return log.find(pattern) >= 0; }, StepTimeoutMs),
             qPrintable(log.since(0).join(QStringLiteral(" | "))));
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

QTEST_MAIN(tst_BadInput)
#include "tst_badinput.moc"
