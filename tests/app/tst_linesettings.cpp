#include "briscadevice.h"
#include "briscaregisters.h"
#include "windowdriver.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

// The serial line as the sensor hears it: the port opens with the settings the operator
// chose, and after "Update" the sensor is reached only at its new ones.
class tst_LineSettings : public QObject
{
    Q_OBJECT

private slots:
    void portOpensWithTheChosenSettings_data();
    void portOpensWithTheChosenSettings();
    void updateMovesTheSensor();
};

namespace {
const QString NotFound =
    QStringLiteral("Could not find valid device. Verify connection settings and slave address");

// Presses OK in the next modal box as soon as it shows.
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
    poll->start(10);
}

void chooseLine(WindowDriver &driver, const char *baud, const char *parity, const QString &rate,
                int parityIndex)
{
    driver.child<QComboBox>(baud)->setCurrentText(rate);
    driver.child<QComboBox>(parity)->setCurrentIndex(parityIndex);
}
} // namespace

void tst_LineSettings::portOpensWithTheChosenSettings_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("parityIndex");
    QTest::addColumn<int>("sensorParity"); // the sensor's parity code
    QTest::addColumn<QString>("line");
    // What the sensor reads off the line; a pseudo-terminal keeps no parity bit, the stop bits
    // and the odd flag tell the three apart.
    const int none = Brisca::ParityCodeNone, even = Brisca::ParityCodeEven,
              odd = Brisca::ParityCodeOdd;
    QTest::newRow("1200 none") << "1200" << 0 << none << "1200 8N2";
    QTest::newRow("9600 even") << "9600" << 1 << even << "9600 8E1";
    QTest::newRow("19200 odd") << "19200" << 2 << odd << "19200 8O1";
    QTest::newRow("14400 even") << "14400" << 1 << even << "14400 8E1";
    QTest::newRow("115200 none") << "115200" << 0 << none << "115200 8N2";
    QTest::newRow("256000 odd") << "256000" << 2 << odd << "256000 8O1";
}

void tst_LineSettings::portOpensWithTheChosenSettings()
{
    QFETCH(QString, baud);
    QFETCH(int, parityIndex);
    QFETCH(int, sensorParity);
    QFETCH(QString, line);
    // A sensor set to the same line: it hears only a port opened just so.
    const int code = Brisca::serialSettingsCode(baud.toUInt(), quint8(sensorParity));
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", 1, code)));
    chooseLine(driver, "comboBox_baudrate", "comboBox_parity", baud, parityIndex);
    // Read back as soon as the port is open, before anything was sent.
    driver.child<QLineEdit>("lineEdit_portname")->setText(driver.sim().linkPath());
    driver.child<QPushButton>("pushButton_connect")->click();
    QCOMPARE(driver.sim().lineSettings(), line);
    QVERIFY(driver.connectAndSelect());
}

void tst_LineSettings::updateMovesTheSensor()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    QStringList messages;
    connect(driver.window().statusBar(), &QStatusBar::messageChanged, &driver.window(),
            [&messages](const QString &text) { messages << text; });

    driver.child<QSpinBox>("spinBox_slaveAddrUpdate")->setValue(7);
    chooseLine(driver, "comboBox_baudrateUpdate", "comboBox_parityUpdate", "9600", 0);
    acceptNextBox();
    driver.child<QPushButton>("pushButton_updateSlaveConnectionParams")->click();
    const QVector<int> moved{7, Brisca::serialSettingsCode(9600, Brisca::ParityCodeNone)};
    QTRY_COMPARE_WITH_TIMEOUT(driver.sim().stateArray("holding").mid(0, 2), moved, 10000);

    // The new address at the old settings reaches nobody.
    driver.device()->setTimeout(300);
    driver.child<QSpinBox>("spinBox_slaveSelect")->setValue(7);
    driver.child<QPushButton>("pushButton_SelectSlave")->click();
    QTRY_VERIFY_WITH_TIMEOUT(messages.contains(NotFound), 10000);

    // The operator reconnects at the new settings and selects the new address.
    driver.child<QPushButton>("pushButton_Disconnect")->click();
    QVERIFY(!driver.device());
    chooseLine(driver, "comboBox_baudrate", "comboBox_parity", "9600", 0);
    QVERIFY(driver.connectAndSelect(7));
    QCOMPARE(driver.sim().lineSettings(), QStringLiteral("9600 8N2"));
    QCOMPARE(driver.device()->slaveAddress, quint8(7));
}

QTEST_MAIN(tst_LineSettings)
#include "tst_linesettings.moc"
