#include "briscadevice.h"
#include "connectfailure.h"
#include "linkstatisticsdialog.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <grp.h>
#include <unistd.h>

#include <memory>

// The connection page's additions against the virtual sensor: the connection remembered
// between runs, Enter, the line locked while open, the connect errors, and the link
// statistics of the status bar and the Tools menu.
class tst_ConnectionPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void remembersTheLastValidation();
    void rememberedPortThatIsGone();
    void enterConnectsAndTheLineStaysLocked();
    void connectErrors_data();
    void connectErrors();
    void permissionAdviceNamesTheOwningGroup();
    void statisticsFollowTheLink();

private:
    QTemporaryDir m_settingsDir;
};

namespace {

const QString Validated = QStringLiteral("Done, connection successful");

struct Session
{
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
    // Whether port, baud rate and parity all take input.
    bool lineFree(bool free = true) const
    {
        return get<QLineEdit>("lineEdit_portname")->isEnabled() == free &&
               get<QComboBox>("comboBox_baudrate")->isEnabled() == free &&
               get<QComboBox>("comboBox_parity")->isEnabled() == free;
    }
    // Fills the page, connects and selects; true once the settings are shown.
    bool validate(const QString &port, const QString &baud, int parity, int slave)
    {
        get<QLineEdit>("lineEdit_portname")->setText(port);
        get<QComboBox>("comboBox_baudrate")->setCurrentText(baud);
        get<QComboBox>("comboBox_parity")->setCurrentIndex(parity);
        get<QSpinBox>("spinBox_slaveSelect")->setValue(slave);
        get("pushButton_connect")->click();
        get("pushButton_SelectSlave")->click();
        return QTest::qWaitFor([this] { return messages.contains(Validated); }, 10000);
    }
    QString page() const
    {
        return get<QLineEdit>("lineEdit_portname")->text() + QLatin1Char(' ') +
               get<QComboBox>("comboBox_baudrate")->currentText() + QLatin1Char(' ') +
               get<QComboBox>("comboBox_parity")->currentText() + QLatin1Char(' ') +
               QString::number(get<QSpinBox>("spinBox_slaveSelect")->value());
    }
};

} // namespace

void tst_ConnectionPage::initTestCase()
{
    // The program keeps its settings under its organisation's name; here they go into a
    // folder of this run, never into the operator's.
    QVERIFY(m_settingsDir.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_connectionpage"));
}

void tst_ConnectionPage::init()
{
    QSettings().clear();
}

void tst_ConnectionPage::remembersTheLastValidation()
{
    SimProcess sim;
    QVERIFY(sim.start({"--slave", "5", "--baud", "9600", "--parity", "odd"}));
    QSize size;
    {
        Session first;
        QCOMPARE(first.page(), QStringLiteral("COM5 19200 Even 1"));
        QVERIFY(first.validate(sim.linkPath(), "9600", 2, 5));
        first.window->resize(first.window->size() + QSize(120, 40));
        size = first.window->size();
        first.window->close();
    }
    const QString expected = sim.linkPath() + QStringLiteral(" 9600 Odd 5");
    {
        // Another slave that does not answer: a failed validation is not remembered.
        Session second;
        QCOMPARE(second.page(), expected);
        QCOMPARE(second.window->size(), size);
        QVERIFY(!second.device());
        second.get<QSpinBox>("spinBox_slaveSelect")->setValue(9);
        second.get("pushButton_connect")->click();
        second.device()->setTimeout(200);
        second.get("pushButton_SelectSlave")->click();
        QTRY_VERIFY(
            !second.messages.filter(QStringLiteral("Could not find valid device")).isEmpty());
    }
    Session third;
    QCOMPARE(third.page(), expected);
}

void tst_ConnectionPage::rememberedPortThatIsGone()
{
    QString link;
    {
        SimProcess sim;
        QVERIFY(sim.start());
        link = sim.linkPath();
        Session s;
        QVERIFY(s.validate(link, "19200", 1, 1));
    }
    QVERIFY(!QFileInfo::exists(link));
    Session s;
    QCOMPARE(s.get<QLineEdit>("lineEdit_portname")->text(), link);
    QVERIFY2(s.status().contains(link), qPrintable(s.status()));
    QVERIFY(!s.device());
}

void tst_ConnectionPage::enterConnectsAndTheLineStaysLocked()
{
    SimProcess sim;
    QVERIFY(sim.start());
    Session s;
    auto *port = s.get<QLineEdit>("lineEdit_portname");
    port->clear();
    QTest::keyClicks(port, sim.linkPath());
    QTest::keyClick(port, Qt::Key_Return);
    QVERIFY(s.device());
    QCOMPARE(s.device()->state(), QModbusDevice::ConnectedState);
    QVERIFY(s.lineFree(false));

    s.get("pushButton_Disconnect")->click();
    QVERIFY(s.lineFree());

    // Also when the line goes away under the window, the next Connect may use others.
    port->setFocus();
    QTest::keyClick(port, Qt::Key_Enter);
    QVERIFY(s.lineFree(false));
    QVERIFY(sim.command("hangup"));
    QTRY_VERIFY(s.lineFree());
}

void tst_ConnectionPage::connectErrors_data()
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

void tst_ConnectionPage::connectErrors()
{
    QFETCH(QString, port);
    QFETCH(bool, held);
    QFETCH(QString, advice);
    SimProcess sim;
    QSerialPort holder;
    if (held) {
        QVERIFY(sim.start());
        port = sim.linkPath();
        holder.setPortName(port);
        QVERIFY(holder.open(QIODevice::ReadWrite));
    }
    Session s;
    s.get<QLineEdit>("lineEdit_portname")->setText(port);
    s.get("pushButton_connect")->click();
    const QString shown = s.status();
    QVERIFY2(shown.contains(advice), qPrintable(shown));
    if (!port.trimmed().isEmpty())
        QVERIFY2(shown.startsWith(QStringLiteral("Connect failed: ") + port), qPrintable(shown));
    QVERIFY(s.get("pushButton_connect")->isEnabled());
    QVERIFY(!s.get("pushButton_SelectSlave")->isEnabled());
    QVERIFY(s.lineFree());
}

void tst_ConnectionPage::permissionAdviceNamesTheOwningGroup()
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
    QVERIFY2(advice.contains(QLatin1String("\"dialout\"")) &&
                 advice.contains(QLatin1String("usermod -aG dialout")),
             qPrintable(advice));
}

void tst_ConnectionPage::statisticsFollowTheLink()
{
    SimProcess sim;
    QVERIFY(sim.start({"--fps", "0"}));
    Session s;
    auto *line = s.get<QToolButton>("linkStatistics");
    QVERIFY(line && !line->isVisible());
    QVERIFY(s.validate(sim.linkPath(), "19200", 1, 1));

    auto *action = s.get<QAction>("actionLink_statistics");
    QVERIFY(action->isEnabled());
    action->trigger();
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

    dialog->findChild<QPushButton *>(QStringLiteral("reset"))->click();
    QTRY_COMPARE(value("timeouts"), QStringLiteral("0"));

    // The counts belong to the link: without one there are none to show or reset.
    s.get("pushButton_Connection")->click();
    s.get("pushButton_Disconnect")->click();
    QVERIFY(value("requests").isEmpty());
    QVERIFY(!dialog->findChild<QPushButton *>(QStringLiteral("reset"))->isEnabled());
    QVERIFY(!line->isVisible());
}

QTEST_MAIN(tst_ConnectionPage)
#include "tst_connectionpage.moc"
