#include "briscadevice.h"
#include "briscaregisters.h"
#include "connectfailure.h"
#include "findsensorsdialog.h"
#include "linkstatisticsdialog.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

// The connection page as an operator drives it, against the virtual sensor on a pty: the line
// the port opens with, Connect and its errors, Disconnect, the confirmed
// commands, a link that goes away, the remembered connection, the statistics, Find sensors.
class tst_Connection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void portOpensWithTheChosenLine_data();
    void portOpensWithTheChosenLine();
    void connectErrors_data();
    void connectErrors();
    void permissionAdviceNamesTheOwningGroup();
    void confirmedCommands_data();
    void confirmedCommands();
    void lostLinkReturnsToPortClosed();
    void remembersTheLastValidation();
    void statisticsFollowTheLink();
    void findAndUseSensors();

private:
    QTemporaryDir m_settingsDir;
};

namespace {

const QString Validated = QStringLiteral("Done, connection successful");
const QString NotFound =
    QStringLiteral("Could not find valid device. Verify connection settings and slave address");

// One window with its status bar log.
struct Session
{
    // Declared first: the window still reports while it is being destroyed.
    QStringList messages;
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();

    Session()
    {
        QObject::connect(window->statusBar(), &QStatusBar::messageChanged, window.get(),
                         [this](const QString &text) { messages << text; });
        window->show();
    }
    template <typename T = QPushButton> T *get(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    BriscaDevice *device() const { return window->findChild<BriscaDevice *>(); }
    QString status() const { return window->statusBar()->currentMessage(); }
    void connectTo(const QString &port, const QString &baud = {}, int parity = -1)
    {
        get<QLineEdit>("lineEdit_portname")->setText(port);
        if (!baud.isEmpty())
            get<QComboBox>("comboBox_baudrate")->setCurrentText(baud);
        if (parity >= 0)
            get<QComboBox>("comboBox_parity")->setCurrentIndex(parity);
        get("pushButton_connect")->click();
    }
    // Select slave; true once validated, false once refused.
    bool select(int slave = 1)
    {
        messages.clear();
        get<QSpinBox>("spinBox_slaveSelect")->setValue(slave);
        get("pushButton_SelectSlave")->click();
        const bool answered = QTest::qWaitFor(
            [this] { return messages.contains(Validated) || messages.contains(NotFound); }, 20000);
        return answered && messages.contains(Validated);
    }
    bool validate(const QString &port, const QString &baud = {}, int parity = -1, int slave = 1)
    {
        connectTo(port, baud, parity);
        return select(slave);
    }
    // Whether every one of `names` (widgets or actions) is enabled as `state` says.
    bool enabled(const QStringList &names, bool state) const
    {
        return std::all_of(names.cbegin(), names.cend(), [&](const QString &name) {
            const QObject *object = window->findChild<QObject *>(name);
            return object && object->property("enabled").toBool() == state;
        });
    }
    // What only a validated sensor may use.
    bool controls(bool unlocked) const
    {
        return enabled({"pushButton_Settings", "pushButton_Application3", "actionReset_device",
                        "frame_updateSelectedSlaveConnectionParams"},
                       unlocked);
    }
    // Open: Disconnect and Select slave; closed: Connect and the line's settings.
    bool portOpen(bool open) const
    {
        return enabled({"pushButton_Disconnect", "pushButton_SelectSlave"}, open) &&
               enabled({"pushButton_connect", "lineEdit_portname", "comboBox_baudrate",
                        "comboBox_parity"},
                       !open);
    }
    QString page() const
    {
        return QStringList{get<QLineEdit>("lineEdit_portname")->text(),
                           get<QComboBox>("comboBox_baudrate")->currentText(),
                           get<QComboBox>("comboBox_parity")->currentText(),
                           QString::number(get<QSpinBox>("spinBox_slaveSelect")->value())}
            .join(QLatin1Char(' '));
    }
};

// Presses `which` in the next message box as soon as it shows; records its texts.
void answerNextBox(QMessageBox::StandardButton which, QStringList *seen)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, which, seen] {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget *w : windows) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            poll->stop();
            poll->deleteLater();
            *seen << box->text() + box->informativeText();
            box->button(which)->click();
            return;
        }
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

// Ticks exactly the given baud rates and parities, sets the range, scans; returns the rows
// of the results as "address baud parity kind" once the scan has ended.
QStringList scan(FindSensorsDialog *dialog, const QStringList &ticked, int from, int to)
{
    const auto boxes = dialog->findChildren<QCheckBox *>();
    for (QCheckBox *box : boxes)
        box->setChecked(ticked.contains(box->text()));
    dialog->findChild<QSpinBox *>(QStringLiteral("from"))->setValue(from);
    dialog->findChild<QSpinBox *>(QStringLiteral("to"))->setValue(to);
    QSignalSpy finished(dialog->scanner(), &BriscaScanner::finished);
    dialog->findChild<QPushButton *>(QStringLiteral("scan"))->click();
    if (!finished.wait(30000))
        return {QStringLiteral("the scan did not end")};
    auto *table = dialog->findChild<QTableWidget *>(QStringLiteral("results"));
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells;
        for (int column : {3, 1, 2, 4})
            cells << table->item(row, column)->text();
        rows << cells.join(QLatin1Char(' '));
    }
    return rows;
}

} // namespace

void tst_Connection::initTestCase()
{
    // The remembered connection goes into a folder of this run, never into the operator's.
    QVERIFY(m_settingsDir.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_connection"));
}

void tst_Connection::init()
{
    QSettings().clear();
}

void tst_Connection::portOpensWithTheChosenLine_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("parityIndex");
    QTest::addColumn<QString>("sensorParity");
    QTest::addColumn<QString>("line");
    // A pseudo-terminal keeps no parity bit: the stop bits and the odd flag tell them apart.
    QTest::newRow("1200 none") << "1200" << 0 << "none"
                               << "1200 8N2";
    QTest::newRow("9600 even") << "9600" << 1 << "even"
                               << "9600 8E1";
    QTest::newRow("256000 odd") << "256000" << 2 << "odd"
                                << "256000 8O1";
}

void tst_Connection::portOpensWithTheChosenLine()
{
    QFETCH(QString, baud);
    QFETCH(int, parityIndex);
    QFETCH(QString, sensorParity);
    QFETCH(QString, line);
    // A sensor set to that line: it hears only a port opened just so.
    SimProcess sim;
    QVERIFY(sim.start({"--baud", baud, "--parity", sensorParity}));
    Session s;
    s.connectTo(sim.linkPath(), baud, parityIndex);
    QCOMPARE(sim.lineSettings(), line);
    QVERIFY(s.portOpen(true));
    QVERIFY(s.controls(false));
    QVERIFY(s.select());
    QVERIFY(s.controls(true));

    // Closing the window closes the port before the device goes: no report from the port
    // reaches a device half deleted.
    QStringList events;
    QObject::connect(s.device(), &QModbusDevice::stateChanged, &sim, [&events](int state) {
        if (state == QModbusDevice::UnconnectedState)
            events << "closed";
    });
    QObject::connect(s.device(), &QObject::destroyed, &sim, [&events] { events << "deleted"; });
    s.window.reset();
    QCOMPARE(events, QStringList({"closed", "deleted"}));
}

void tst_Connection::connectErrors_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("advice");
    QTest::newRow("empty") << QStringLiteral("  ") << false << ConnectFailure::noPortText();
    QTest::newRow("no such port") << QStringLiteral("/dev/ttyBRISCA-none") << false
                                  << QStringLiteral("Check that the converter is plugged in");
    QTest::newRow("held by another program")
        << QString() << true << QStringLiteral("in use by another program");
}

void tst_Connection::connectErrors()
{
    QFETCH(QString, port);
    QFETCH(bool, held);
    QFETCH(QString, advice);
    SimProcess sim;
    QVERIFY(sim.start());
    auto holder = std::make_unique<QSerialPort>(sim.linkPath());
    if (held) {
        port = sim.linkPath();
        QVERIFY(holder->open(QIODevice::ReadWrite));
    }
    Session s;
    s.connectTo(port);
    const QString shown = s.status();
    QVERIFY2(shown.contains(advice), qPrintable(shown));
    QVERIFY(s.portOpen(false));

    // The next Connect, to a port that is free and by Enter in the port field, works.
    holder.reset();
    auto *field = s.get<QLineEdit>("lineEdit_portname");
    field->clear();
    QTest::keyClicks(field, sim.linkPath());
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(s.portOpen(true));
    QVERIFY(s.select());

    // Disconnect keeps the page shown and locks what needs a sensor.
    QTest::mouseClick(s.get("pushButton_Application2"), Qt::LeftButton);
    s.get("pushButton_Disconnect")->click();
    QVERIFY(!s.device());
    QCOMPARE(s.get<QStackedWidget>("stackedWidget")->currentIndex(), 3);
    QVERIFY(s.get("pushButton_Connection")->isEnabled());
    QVERIFY(s.portOpen(false));
    QVERIFY(s.controls(false));
}

void tst_Connection::permissionAdviceNamesTheOwningGroup()
{
    // As root every port opens, so the advice is checked on a file given to a group, behind
    // a link as udev and the virtual sensor make them.
    const struct group *dialout = ::getgrnam("dialout");
    QVERIFY(dialout);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ttyUSB7"));
    QFile(file).open(QIODevice::WriteOnly);
    QCOMPARE(::chown(QFile::encodeName(file).constData(), 0, dialout->gr_gid), 0);
    const QString link = dir.filePath(QStringLiteral("sensor"));
    QVERIFY(QFile::link(file, link));

    const QString advice = ConnectFailure::permissionAdvice(link);
    QVERIFY2(advice.contains(QLatin1String("usermod -aG dialout")), qPrintable(advice));
}

void tst_Connection::confirmedCommands_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("cancel") << int(QMessageBox::Cancel);
    QTest::newRow("ok") << int(QMessageBox::Ok);
}

void tst_Connection::confirmedCommands()
{
    QFETCH(int, answer);
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(s.validate(sim.linkPath()));
    sim.clearLog();
    s.messages.clear();

    // The factory reset, which the sensor never answers: no need to wait the full timeout.
    QStringList seen;
    s.device()->setTimeout(300);
    answerNextBox(QMessageBox::StandardButton(answer), &seen);
    s.get<QAction>("actionReset_device")->trigger();
    s.device()->setTimeout(3000);
    // Then Update: a new address and line.
    s.get<QSpinBox>("spinBox_slaveAddrUpdate")->setValue(7);
    s.get<QComboBox>("comboBox_baudrateUpdate")->setCurrentText(QStringLiteral("9600"));
    s.get<QComboBox>("comboBox_parityUpdate")->setCurrentIndex(2);
    answerNextBox(QMessageBox::StandardButton(answer), &seen);
    s.get("pushButton_updateSlaveConnectionParams")->click();
    QCOMPARE(seen.size(), 2);

    // The command's own writes go to holding registers 0 and 1.
    const auto commandWrites = [&sim] {
        return sim.received().filter(QRegularExpression(QStringLiteral("^..06000[01]")));
    };
    const auto resets = [&sim] {
        return sim.received().filter(QRegularExpression(QStringLiteral("^01ff"))).size();
    };
    if (answer == QMessageBox::Cancel) {
        QVERIFY(!s.messages.contains(QStringLiteral("Command sent")));
        QVERIFY(drainWithProbe(s, sim));
        QCOMPARE(commandWrites(), QStringList());
        QCOMPARE(resets(), 0);
        return;
    }
    const quint16 code = Brisca::serialSettingsCode(9600, Brisca::ParityCodeOdd);
    QTRY_COMPARE(commandWrites().size(), 2);
    QCOMPARE(resets(), 1);
    // The address first, to the old address; the serial settings then go to the new one.
    QVERIFY2(commandWrites().at(0).startsWith(QStringLiteral("010600000007")),
             qPrintable(commandWrites().at(0)));
    QVERIFY2(commandWrites().at(1).startsWith(
                 QStringLiteral("07060001%1").arg(code, 4, 16, QLatin1Char('0'))),
             qPrintable(commandWrites().at(1)));
    QTRY_COMPARE(sim.stateArray(QStringLiteral("holding")).mid(0, 2), QVector<int>({7, int(code)}));

    // The new address at the old line reaches nobody; at the new line it answers.
    s.device()->setTimeout(300);
    QVERIFY(!s.select(7));
    s.get("pushButton_Disconnect")->click();
    QVERIFY(s.validate(sim.linkPath(), "9600", 2, 7));
    QCOMPARE(sim.lineSettings(), QStringLiteral("9600 8O1"));
    QCOMPARE(s.device()->slaveAddress, quint8(7));
}

void tst_Connection::lostLinkReturnsToPortClosed()
{
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    QVERIFY(s.validate(sim.linkPath()));
    QTest::mouseClick(s.get("pushButton_Application1"), Qt::LeftButton);
    s.get("pushButton_cycleMode")->click();
    QVERIFY(!s.get("pushButton_Connection")->isEnabled());

    // The port of a closing device can still report an error after the window has given
    // the device up; it must not cover the message that the link is lost.
    BriscaDevice *const lost = s.device();
    auto *port = lost->findChild<QSerialPort *>();
    QVERIFY(port);
    connect(lost, &QModbusDevice::stateChanged, port, [port](QModbusDevice::State state) {
        if (state == QModbusDevice::UnconnectedState)
            emit port->errorOccurred(QSerialPort::ReadError);
    });

    QVERIFY(sim.command("hangup"));
    QTRY_VERIFY_WITH_TIMEOUT(s.portOpen(false), 1000);
    QVERIFY(!s.device() || s.device()->state() == QModbusDevice::UnconnectedState);
    QVERIFY(s.controls(false));
    QVERIFY(!s.get("pushButton_cycleMode")->isChecked());
    QVERIFY(s.get("pushButton_Connection")->isEnabled());
    QVERIFY2(s.status().startsWith(QStringLiteral("Connection lost")), qPrintable(s.status()));
}

void tst_Connection::remembersTheLastValidation()
{
    QString expected;
    QSize size;
    {
        SimProcess sim;
        QVERIFY(sim.start({"--slave", "5", "--baud", "9600", "--parity", "odd"}));
        expected = sim.linkPath() + QStringLiteral(" 9600 Odd 5");
        {
            Session first;
            QVERIFY(first.validate(sim.linkPath(), "9600", 2, 5));
            first.window->resize(first.window->size() + QSize(120, 40));
            size = first.window->size();
            first.window->close();
        }
        // Shown, not connected; another slave that does not answer is not remembered.
        Session second;
        QCOMPARE(second.page(), expected);
        QCOMPARE(second.window->size(), size);
        QVERIFY(!second.device());
        second.get("pushButton_connect")->click();
        second.device()->setTimeout(200);
        QVERIFY(!second.select(9));
    }
    // The port is gone with its sensor: still shown, and said to be missing.
    Session third;
    QCOMPARE(third.page(), expected);
    const QString port = expected.section(QLatin1Char(' '), 0, 0);
    QVERIFY2(third.status().contains(port), qPrintable(third.status()));
    QVERIFY(!third.device());
}

void tst_Connection::statisticsFollowTheLink()
{
    SimProcess sim;
    QVERIFY(sim.start({"--fps", "0"}));
    Session s;
    auto *line = s.get<QToolButton>("linkStatistics");
    QVERIFY(line && !line->isVisible());
    QVERIFY(s.validate(sim.linkPath()));

    s.get<QAction>("actionLink_statistics")->trigger();
    auto *dialog = s.get<LinkStatisticsDialog>("");
    QVERIFY(dialog && dialog->isVisible());
    const auto value = [dialog](const char *name) {
        return dialog->findChild<QLabel *>(QLatin1String(name))->text();
    };
    // Every request the sensor saw was counted, and its answer too (the probe's refusal
    // among the refusals).
    QTRY_COMPARE(value("requests"), QString::number(sim.received().size()));
    QCOMPARE(value("answers"), QString::number(sim.received().size() - 1));
    QVERIFY2(value("refusals").startsWith(QLatin1String("1 (0x03")), qPrintable(value("refusals")));
    QTRY_VERIFY2(line->isVisible() &&
                     line->text().startsWith(QString::number(sim.received().size()) +
                                             QLatin1String(" requests, 0 errors")),
                 qPrintable(line->text()));

    // One read goes unanswered.
    s.device()->setTimeout(200);
    QVERIFY(sim.command("fault silent,count=1"));
    s.get("pushButton_Application1")->click();
    s.get("pushButton_app1UpdateData")->click();
    QTRY_COMPARE(value("timeouts"), QStringLiteral("1"));
    QTRY_VERIFY2(line->text().contains(QLatin1String(", 1 errors")), qPrintable(line->text()));

    // Continuous mode adds its frame rate while it runs.
    s.get("pushButton_cycleMode1")->click();
    QTRY_VERIFY2(
        line->text().contains(QRegularExpression(QStringLiteral(", \\d+\\.\\d\\d frames/s$"))),
        qPrintable(line->text()));
    s.get("pushButton_cycleMode1")->click();
    QTRY_VERIFY2(!line->text().contains(QLatin1String("frames/s")), qPrintable(line->text()));

    // The counts belong to the link: without one there are none to show or reset.
    s.get("pushButton_Connection")->click();
    s.get("pushButton_Disconnect")->click();
    QVERIFY(value("requests").isEmpty());
    QVERIFY(!dialog->findChild<QPushButton *>(QStringLiteral("reset"))->isEnabled());
    QVERIFY(!line->isVisible());
}

void tst_Connection::findAndUseSensors()
{
    // Three sensors on one line, none at the factory settings.
    SimProcess sim;
    QStringList sensors;
    for (const char *address : {"3", "7", "12"})
        sensors << "--slave" << address << "--baud"
                << "9600"
                << "--parity"
                << "odd";
    QVERIFY(sim.start(sensors));
    Session s;
    // The port is open at the factory settings, where nothing answers: the scan asks first.
    s.connectTo(sim.linkPath());
    s.get<QAction>("actionFind_sensors")->trigger();
    auto *dialog = s.window->findChild<FindSensorsDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    QStringList questions;
    answerNextBox(QMessageBox::Yes, &questions);
    QCOMPARE(scan(dialog, {"9600", "Odd"}, 1, 13),
             QStringList({"3 9600 Odd Brisca sensor", "7 9600 Odd Brisca sensor",
                          "12 9600 Odd Brisca sensor"}));
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions.first().contains(sim.linkPath()), qPrintable(questions.first()));
    // At another rate the sensors hear only noise.
    QCOMPARE(scan(dialog, {"19200", "None", "Even", "Odd"}, 1, 13), QStringList());

    QCOMPARE(scan(dialog, {"9600", "19200", "None", "Even", "Odd"}, 6, 8),
             QStringList{"7 9600 Odd Brisca sensor"});
    dialog->findChild<QTableWidget *>(QStringLiteral("results"))->setCurrentCell(0, 0);
    dialog->findChild<QPushButton *>(QStringLiteral("use"))->click();
    QTRY_VERIFY(s.messages.contains(Validated));
    QVERIFY(!s.window->findChild<FindSensorsDialog *>() ||
            !s.window->findChild<FindSensorsDialog *>()->isVisible());
    QCOMPARE(s.page(), sim.linkPath() + QStringLiteral(" 9600 Odd 7"));
    QVERIFY(s.controls(true));
    QCOMPARE(int(s.device()->slaveAddress), 7);
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
