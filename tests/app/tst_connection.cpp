#include "briscadevice.h"
#include "briscaregisters.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <memory>

// The connection page against the virtual sensor on a pty: Connect, Select slave,
// Disconnect, the two confirmed commands and a link that goes away under the window.
class tst_Connection : public QObject
{
    Q_OBJECT

private slots:
    void connectOpensThePort_data();
    void connectOpensThePort();
    void failedConnectKeepsTheDevice();
    void selectSlave_data();
    void selectSlave();
    void disconnectKeepsThePageAndLocks();
    void closingClosesThePortBeforeDeleting();
    void updateConnectionParameters_data();
    void updateConnectionParameters();
    void factoryReset_data();
    void factoryReset();
    void lostLinkReturnsToPortClosed();
};

namespace {
const QString Validated = QStringLiteral("Done, connection successful");
const QString NotFound =
    QStringLiteral("Could not find valid device. Verify connection settings and slave address");

// One window with a status bar log, driven like an operator would.
struct Session
{
    // Declared first: the window still reports while it is being destroyed.
    QStringList messages;
    MainWindow window;

    Session()
    {
        QObject::connect(window.statusBar(), &QStatusBar::messageChanged, &window,
                         [this](const QString &text) { messages << text; });
        window.show();
    }
    template <typename T = QPushButton> T *get(const char *name) const
    {
        T *w = window.findChild<T *>(QLatin1String(name));
        if (!w)
            qWarning("no widget %s", name);
        return w;
    }
    BriscaDevice *device() const { return window.findChild<BriscaDevice *>(); }
    QString status() const { return window.statusBar()->currentMessage(); }
    void connectTo(const QString &port)
    {
        get<QLineEdit>("lineEdit_portname")->setText(port);
        get("pushButton_connect")->click();
    }
    bool controlsUnlocked() const
    {
        return get("pushButton_Settings")->isEnabled() &&
               get("pushButton_Application3")->isEnabled() &&
               get<QFrame>("frame_updateSelectedSlaveConnectionParams")->isEnabled() &&
               get<QAction>("actionReset_device")->isEnabled();
    }
    bool controlsLocked() const
    {
        return !get("pushButton_Settings")->isEnabled() &&
               !get("pushButton_Application3")->isEnabled() &&
               !get<QFrame>("frame_updateSelectedSlaveConnectionParams")->isEnabled() &&
               !get<QAction>("actionReset_device")->isEnabled();
    }
    bool portClosedButtons() const
    {
        return get("pushButton_connect")->isEnabled() &&
               !get("pushButton_Disconnect")->isEnabled() &&
               !get("pushButton_SelectSlave")->isEnabled();
    }
};

bool validate(Session &s, const QString &port)
{
    s.connectTo(port);
    s.get("pushButton_SelectSlave")->click();
    return QTest::qWaitFor([&] { return s.messages.contains(Validated); }, 10000);
}

// Presses `which` in the next modal box as soon as it shows; records title and question.
void answerNextBox(QMessageBox::StandardButton which, QStringList *seen)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, which, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->deleteLater();
        poll->stop();
        *seen << box->windowTitle() << box->informativeText();
        box->button(which)->click();
    });
    poll->start(10);
}

// The probe of Select slave, queued behind whatever was sent before: once the simulator
// has it, everything issued earlier has reached the line (or never will).
bool drainWithProbe(Session &s, SimProcess &sim)
{
    s.get("pushButton_SelectSlave")->click();
    return QTest::qWaitFor(
        [&] { return !sim.received().filter(QStringLiteral("0106000a03e8")).isEmpty(); }, 20000);
}
} // namespace

void tst_Connection::connectOpensThePort_data()
{
    QTest::addColumn<int>("parityIndex");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<QString>("baud");
    QTest::newRow("none: two stop bits")
        << 0 << int(QSerialPort::NoParity) << int(QSerialPort::TwoStop) << "9600";
    QTest::newRow("even") << 1 << int(QSerialPort::EvenParity) << int(QSerialPort::OneStop)
                          << "19200";
    QTest::newRow("odd") << 2 << int(QSerialPort::OddParity) << int(QSerialPort::OneStop)
                         << "256000";
}

void tst_Connection::connectOpensThePort()
{
    QFETCH(int, parityIndex);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(QString, baud);
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    s.get<QComboBox>("comboBox_parity")->setCurrentIndex(parityIndex);
    s.get<QComboBox>("comboBox_baudrate")->setCurrentText(baud);
    s.connectTo(sim.linkPath());

    BriscaDevice *device = s.device();
    QVERIFY(device);
    QCOMPARE(device->state(), QModbusDevice::ConnectedState);
    QCOMPARE(device->connectionParameter(QModbusDevice::SerialPortNameParameter).toString(),
             sim.linkPath());
    QCOMPARE(device->connectionParameter(QModbusDevice::SerialParityParameter).toInt(), parity);
    QCOMPARE(device->connectionParameter(QModbusDevice::SerialStopBitsParameter).toInt(), stopBits);
    QCOMPARE(device->connectionParameter(QModbusDevice::SerialBaudRateParameter).toInt(),
             baud.toInt());
    QCOMPARE(device->connectionParameter(QModbusDevice::SerialDataBitsParameter).toInt(),
             int(QSerialPort::Data8));
    QCOMPARE(device->timeout(), 3000);
    QVERIFY(!s.get("pushButton_connect")->isEnabled());
    QVERIFY(s.get("pushButton_Disconnect")->isEnabled());
    QVERIFY(s.get("pushButton_SelectSlave")->isEnabled());
    QVERIFY(s.controlsLocked());

    // Connect once more: the port stays as it is, only the message goes.
    s.window.statusBar()->showMessage(QStringLiteral("old news"));
    QVERIFY(QMetaObject::invokeMethod(&s.window, "on_pushButton_connect_clicked"));
    QVERIFY(s.status().isEmpty());
    QCOMPARE(s.device(), device);
    QCOMPARE(device->state(), QModbusDevice::ConnectedState);
}

void tst_Connection::failedConnectKeepsTheDevice()
{
    Session s;
    s.connectTo(QStringLiteral("/nonexistent/brisca-tty"));
    const QString prefix = QStringLiteral("Connect failed: ");
    QVERIFY2(s.status().startsWith(prefix) && s.status().size() > prefix.size(),
             qPrintable(s.status()));
    QVERIFY(s.portClosedButtons());
    BriscaDevice *device = s.device();
    QVERIFY(device);

    SimProcess sim;
    QVERIFY(sim.start());
    s.connectTo(sim.linkPath());
    QCOMPARE(s.device(), device);
    QCOMPARE(device->state(), QModbusDevice::ConnectedState);
}

void tst_Connection::selectSlave_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("valid");
    QTest::newRow("the sensor") << 1 << true;
    QTest::newRow("nobody there") << 9 << false;
}

void tst_Connection::selectSlave()
{
    QFETCH(int, address);
    QFETCH(bool, valid);
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    s.connectTo(sim.linkPath());
    // Only the silence is waited for here, not the sensor.
    s.device()->setTimeout(300);
    s.get<QSpinBox>("spinBox_slaveSelect")->setValue(address);
    s.get("pushButton_SelectSlave")->click();

    QTRY_VERIFY(s.messages.contains(valid ? Validated : NotFound));
    QCOMPARE(s.controlsUnlocked(), valid);
    QCOMPARE(s.controlsLocked(), !valid);
    QCOMPARE(s.messages.contains(NotFound), !valid);
}

void tst_Connection::disconnectKeepsThePageAndLocks()
{
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(validate(s, sim.linkPath()));
    QTest::mouseClick(s.get("pushButton_Application2"), Qt::LeftButton);
    s.get("pushButton_Disconnect")->click();

    QVERIFY(!s.device());
    QCOMPARE(s.get<QStackedWidget>("stackedWidget")->currentIndex(), 3);
    QVERIFY(s.get("pushButton_Application2")->isChecked());
    QVERIFY(s.get("pushButton_Connection")->isEnabled());
    QVERIFY(s.portClosedButtons());
    QVERIFY(s.controlsLocked());
}

void tst_Connection::closingClosesThePortBeforeDeleting()
{
    SimProcess sim;
    QVERIFY(sim.start());
    auto s = std::make_unique<Session>();
    s->connectTo(sim.linkPath());
    BriscaDevice *device = s->device();
    QVERIFY(device);
    QStringList events;
    QObject::connect(device, &QModbusDevice::stateChanged, &sim,
                     [&events](QModbusDevice::State state) {
                         if (state == QModbusDevice::UnconnectedState)
                             events << QStringLiteral("closed");
                     });
    QObject::connect(device, &QObject::destroyed, &sim,
                     [&events] { events << QStringLiteral("deleted"); });
    s.reset();
    QCOMPARE(events, QStringList({QStringLiteral("closed"), QStringLiteral("deleted")}));
}

void tst_Connection::updateConnectionParameters_data()
{
    QTest::addColumn<int>("answerCode");
    QTest::newRow("cancel") << int(QMessageBox::Cancel);
    QTest::newRow("ok") << int(QMessageBox::Ok);
}

void tst_Connection::updateConnectionParameters()
{
    QFETCH(int, answerCode);
    const auto answer = QMessageBox::StandardButton(answerCode);
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(validate(s, sim.linkPath()));
    s.get<QSpinBox>("spinBox_slaveAddrUpdate")->setValue(7);
    s.get<QComboBox>("comboBox_baudrateUpdate")->setCurrentText(QStringLiteral("9600"));
    s.get<QComboBox>("comboBox_parityUpdate")->setCurrentIndex(2);
    sim.clearLog();
    s.messages.clear();

    QStringList seen;
    answerNextBox(answer, &seen);
    s.get("pushButton_updateSlaveConnectionParams")->click();
    QCOMPARE(seen, QStringList({QStringLiteral("Warning"),
                                QStringLiteral("Are you sure you want to proceed?")}));

    // Validation may still write settings back; the command's own writes are the ones to
    // holding registers 0 and 1.
    const auto commandWrites = [&sim] {
        return sim.received().filter(QRegularExpression(QStringLiteral("^..06000[01]")));
    };
    if (answer == QMessageBox::Cancel) {
        // Echoes of the write-backs may still report; the command itself says nothing.
        QVERIFY(!s.messages.contains(QStringLiteral("Command sent")));
        QVERIFY(drainWithProbe(s, sim));
        QCOMPARE(commandWrites(), QStringList());
        return;
    }
    QVERIFY(s.messages.contains(QStringLiteral("Command sent")));
    const quint16 code = Brisca::serialSettingsCode(9600, Brisca::parityCodeFromIndex(2));
    QTRY_COMPARE(commandWrites().size(), 2);
    // The address first, to the old address; the serial settings then go to the new one.
    QVERIFY2(commandWrites().at(0).startsWith(QStringLiteral("010600000007")),
             qPrintable(commandWrites().at(0)));
    QVERIFY2(commandWrites().at(1).startsWith(
                 QStringLiteral("07060001%1").arg(code, 4, 16, QLatin1Char('0'))),
             qPrintable(commandWrites().at(1)));
    QTRY_COMPARE(sim.stateArray(QStringLiteral("holding")).mid(0, 2), QVector<int>({7, int(code)}));
}

void tst_Connection::factoryReset_data()
{
    updateConnectionParameters_data();
}

void tst_Connection::factoryReset()
{
    QFETCH(int, answerCode);
    const auto answer = QMessageBox::StandardButton(answerCode);
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(validate(s, sim.linkPath()));
    // The sensor never answers this command; do not make the test wait the full timeout.
    s.device()->setTimeout(300);
    sim.clearLog();

    QStringList seen;
    answerNextBox(answer, &seen);
    s.get<QAction>("actionReset_device")->trigger();
    QCOMPARE(seen.value(0), QStringLiteral("Warning"));
    QCOMPARE(s.messages.contains(QStringLiteral("Command sent")), answer == QMessageBox::Ok);

    QVERIFY(drainWithProbe(s, sim));
    const QStringList resets = sim.received().filter(QRegularExpression(QStringLiteral("^01ff")));
    QVERIFY2(resets.size() == (answer == QMessageBox::Ok ? 1 : 0),
             qPrintable(sim.received().join(u' ')));
}

void tst_Connection::lostLinkReturnsToPortClosed()
{
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(validate(s, sim.linkPath()));
    QTest::mouseClick(s.get("pushButton_Application1"), Qt::LeftButton);
    s.get("pushButton_cycleMode")->click();
    QVERIFY(s.get("pushButton_cycleMode")->isChecked());
    QVERIFY(!s.get("pushButton_Connection")->isEnabled());

    // The port of a closing device can still report an error after the window has given
    // the device up; it must not cover the message that the link is lost.
    BriscaDevice *const lost = s.device();
    QVERIFY(lost);
    auto *port = lost->findChild<QSerialPort *>();
    QVERIFY(port);
    connect(lost, &QModbusDevice::stateChanged, port, [port](QModbusDevice::State state) {
        if (state == QModbusDevice::UnconnectedState)
            emit port->errorOccurred(QSerialPort::ReadError);
    });

    s.messages.clear();
    sim.command("hangup");
    QTRY_VERIFY_WITH_TIMEOUT(s.portClosedButtons(), 1000);
    QVERIFY(!s.device() || s.device()->state() == QModbusDevice::UnconnectedState);
    QVERIFY(s.controlsLocked());
    QVERIFY(!s.get("pushButton_cycleMode")->isChecked());
    QVERIFY(s.get("pushButton_Connection")->isEnabled());
    QVERIFY2(s.status().startsWith(QStringLiteral("Connection lost")), qPrintable(s.status()));

    // The adapter comes back on the same port: no restart needed.
    SimProcess again;
    again.setLinkPath(sim.linkPath());
    QVERIFY(sim.waitForFinished());
    QVERIFY(again.start());
    s.messages.clear();
    QVERIFY(validate(s, again.linkPath()));
    QVERIFY(s.controlsUnlocked());
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
