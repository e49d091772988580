#include "briscadevice.h"
#include "mainwindow.h"
#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <functional>

// What an operator met in a first use of the window against the virtual sensor: quick
// successive changes, stop and start of the continuous mode, thresholds that drift, a
// label that lies, destructive commands one key away, settings written twice or shown as
// taken when they were not, error texts after an orderly Disconnect, a probe asked four
// times. Each row is one such fault, played with the moves an operator makes.
namespace {

struct Play;
using Moves = std::function<void(Play &)>;

// One window on one sensor, with what the status bar showed and the frames drawn.
struct Play
{
    WindowDriver driver;
    QStringList messages;
    int frames = 0;

    bool begin(const QJsonObject &map, const QStringList &simArgs)
    {
        if (!driver.start(map, QStringList{"--fps", "0"} + simArgs))
            return false;
        QObject::connect(driver.window().statusBar(), &QStatusBar::messageChanged, &driver.window(),
                         [this](const QString &text) {
                             if (!text.isEmpty())
                                 messages << text;
                         });
        return select();
    }
    bool select()
    {
        if (!driver.connectAndSelect())
            return false;
        QObject::connect(driver.device(), &BriscaDevice::pixelDataReady, driver.device(),
                         [this] { ++frames; });
        return true;
    }
    template <typename T = QPushButton> T *get(const char *name) const
    {
        return driver.child<T>(name);
    }
    int holding(int address) { return driver.sim().stateArray("holding").value(address); }
    int coil(int address) { return driver.sim().stateArray("coils").value(address); }
    QStringList writesTo(int mark, const QString &prefix) const
    {
        return driver.writesSince(mark).filter(QRegularExpression('^' + prefix));
    }
    bool shown(const QString &pattern, int timeoutMs = 10000)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor([&] { return !messages.filter(re).isEmpty(); }, timeoutMs);
    }
};

// A sensor whose write echoes take this long: long enough for a second change to follow
// before the first echo, short against the reply timeout.
const QStringList SlowEchoes = {"--fault", "late:150,fc=5", "--fault", "late:150,fc=6"};

// Sends the key to the next modal message box as soon as it shows.
void pressInNextBox(Qt::Key key)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, key] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        QTest::keyClick(box, key);
    });
    poll->start(5);
}

void wheelDown(QWidget *widget)
{
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent event(at, QPointF(widget->mapToGlobal(at.toPoint())), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

QString holdingWrite(int address)
{
    return WindowDriver::holdingWrite(1, address, 0).left(8);
}

} // namespace

Q_DECLARE_METATYPE(Moves)

class tst_MainWindowAudit : public QObject
{
    Q_OBJECT

private slots:
    void fault_data();
    void fault();
};

void tst_MainWindowAudit::fault_data()
{
    QTest::addColumn<QJsonObject>("map");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<Moves>("moves");
    const QJsonObject quiet = WindowDriver::quietMap();

    QTest::newRow("1 output behaviour changed and changed back")
        << quiet << SlowEchoes << Moves([](Play &p) {
               auto *behaviour = p.get<QComboBox>("comboBox_outputBehavior");
               const int mark = p.driver.mark();
               behaviour->setCurrentIndex(1);
               behaviour->setCurrentIndex(0);
               // An endless exchange of echoes and writes never lets the line fall quiet.
               QVERIFY(p.driver.settle());
               QCOMPARE(p.driver.writesSince(mark).size(), 2);
               QCOMPARE(behaviour->currentIndex(), 0);
               QCOMPARE(p.coil(2), 1);
           });
    QTest::newRow("1 three wheel notches over the centred area")
        << quiet << SlowEchoes << Moves([](Play &p) {
               auto *reticle = p.get<QComboBox>("comboBox_reticleSize");
               const int mark = p.driver.mark();
               for (int notch = 0; notch < 3; ++notch)
                   wheelDown(reticle);
               QVERIFY(p.driver.settle());
               QCOMPARE(p.writesTo(mark, holdingWrite(10)).size(), 3);
               QCOMPARE(reticle->currentText(), QString("8x8"));
               QCOMPARE(p.holding(10), 8);
           });

    QTest::newRow("2 continuous mode stopped and started while a frame is on its way")
        << quiet << QStringList{"--fault", "late:60,fc=4,addr=1281"} << Moves([](Play &p) {
               auto *cycle = p.get("pushButton_cycleMode");
               cycle->click();
               for (int round = 0; round < 5; ++round) {
                   const int drawn = p.frames;
                   QTRY_VERIFY_WITH_TIMEOUT(p.frames > drawn, 10000);
                   // Right after a frame the next one is asked for.
                   cycle->click();
                   cycle->click();
               }
               const int drawn = p.frames;
               QTRY_VERIFY_WITH_TIMEOUT(p.frames > drawn, 10000);
               cycle->click();
               const int atStop = p.frames;
               QVERIFY(p.driver.settle());
               QVERIFY2(p.frames - atStop <= 1, qPrintable(QString::number(p.frames - atStop)));
           });

    QTest::newRow("3 enable label after the sensor changed while disconnected")
        << WindowDriver::withValue(quiet, "coils", 5, 1) << QStringList() << Moves([](Play &p) {
               auto *label = p.get<QLabel>("label_app1PageApplicationOneEnabled");
               QCOMPARE(label->text(), QString("ENABLED"));
               p.get("pushButton_Disconnect")->click();
               QVERIFY(p.driver.sim().command("set coil 5 0"));
               QVERIFY(p.select());
               QVERIFY(!p.get<QAbstractButton>("radioButton_App1Enable")->isChecked());
               QCOMPARE(label->text(), QString("DISABLED"));
               QCOMPARE(label->styleSheet(), QString("QLabel {color : #ff0000; }"));
               QCOMPARE(p.get<QAbstractButton>("radioButton_App1Enable")->text(),
                        QString("DISABLED"));
           });

    // Application 2's maximum is held as 5130, which the labels' path shows as 239.8.
    QTest::newRow("4 thresholds that drift")
        << WindowDriver::withValue(WindowDriver::withValue(quiet, "holding", 13, 3), "holding", 4,
                                   5130)
        << QStringList() << Moves([](Play &p) {
               auto *max1 = p.get<QDoubleSpinBox>("doubleSpinBox_app1MaxThreshold");
               max1->setValue(240.0);
               p.get("pushButton_app1SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(max1->value(), 240.0);
               const int typed = p.holding(2);
               // Only the minimum changes: the maximum goes back as it is.
               p.get<QDoubleSpinBox>("doubleSpinBox_app1MinThreshold")->setValue(5.0);
               p.get("pushButton_app1SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.holding(2), typed);
               QCOMPARE(max1->value(), 240.0);
               p.get<QDoubleSpinBox>("doubleSpinBox_app2MinThreshold")->setValue(5.0);
               p.get("pushButton_app2SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.holding(4), 5130);
           });

    QTest::newRow("5 editors after continuous mode with an unknown temperature choice")
        << WindowDriver::withValue(quiet, "holding", 13, 0) << QStringList() << Moves([](Play &p) {
               auto *cycle = p.get("pushButton_cycleMode");
               cycle->click();
               QTRY_VERIFY_WITH_TIMEOUT(p.frames > 0, 10000);
               cycle->click();
               QVERIFY(p.driver.settle());
               QVERIFY(p.get<QDoubleSpinBox>("doubleSpinBox_app2MinThreshold")->isEnabled());
               QVERIFY(p.get<QDoubleSpinBox>("doubleSpinBox_app3MaxThreshold")->isEnabled());
           });
    QTest::newRow("5 editors stay locked when an echo arrives during continuous mode")
        << quiet << QStringList() << Moves([](Play &p) {
               // Leaving the window box by clicking the continuous button: its write is
               // answered while the mode runs.
               auto *window = p.get<QSpinBox>("spinBox_movingAverageWindow");
               window->setValue(12);
               emit window->editingFinished();
               QSignalSpy echoes(p.driver.device(), &BriscaDevice::holdingRegsDataReady);
               auto *cycle = p.get("pushButton_cycleMode3");
               cycle->click();
               QTRY_VERIFY_WITH_TIMEOUT(!echoes.isEmpty() && p.frames > 0, 10000);
               QVERIFY(!p.get<QDoubleSpinBox>("doubleSpinBox_app1MaxThreshold")->isEnabled());
               QVERIFY(!p.get<QDoubleSpinBox>("doubleSpinBox_app3MaxThreshold")->isEnabled());
               cycle->click();
               QVERIFY(p.driver.settle());
               QVERIFY(p.get<QDoubleSpinBox>("doubleSpinBox_app3MaxThreshold")->isEnabled());
               QVERIFY(!p.get<QDoubleSpinBox>("doubleSpinBox_app3MinThreshold")->isEnabled());
           });

    QTest::newRow("6 Enter in the confirmations sends nothing")
        << quiet << QStringList() << Moves([](Play &p) {
               const int mark = p.driver.mark();
               pressInNextBox(Qt::Key_Return);
               p.get<QAction>("actionReset_device")->trigger();
               pressInNextBox(Qt::Key_Return);
               p.get("pushButton_updateSlaveConnectionParams")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.driver.requestsSince(mark, 0xff), QStringList());
               QCOMPARE(p.driver.writesSince(mark), QStringList());
               QVERIFY(!p.messages.contains("Command sent"));
           });

    QTest::newRow("7 Enter and then leaving the box write once")
        << quiet << QStringList() << Moves([](Play &p) {
               auto *emissivity = p.get<QSpinBox>("spinBox_emissivity");
               const int mark = p.driver.mark();
               emissivity->setValue(60);
               emit emissivity->editingFinished(); // Enter
               emit emissivity->editingFinished(); // and the box loses the focus
               QVERIFY(p.driver.settle());
               QCOMPARE(p.writesTo(mark, holdingWrite(9)).size(), 1);
               QCOMPARE(p.holding(9), 60);
           });
    QTest::newRow("7 a write the sensor did not take")
        << quiet << QStringList{"--fault", "silent,fc=6,addr=9"} << Moves([](Play &p) {
               p.driver.device()->setTimeout(200);
               auto *emissivity = p.get<QSpinBox>("spinBox_emissivity");
               emissivity->setValue(60);
               emit emissivity->editingFinished();
               QVERIFY(p.shown("^Write response error: .* \\(code: 0x5\\)$"));
               QCOMPARE(emissivity->value(), 95);
           });

    QTest::newRow("8 orderly Disconnect during an image read")
        << quiet << QStringList{"--fault", "late:100,fc=4,addr=531"} << Moves([](Play &p) {
               p.get("pushButton_getImage")->click();
               QTRY_VERIFY(!p.driver.requestsSince(0, 4)
                                .filter(QRegularExpression("^0104021300"))
                                .isEmpty());
               // The window lets go of the device at once: what it reports comes now.
               p.get("pushButton_Disconnect")->click();
               QCOMPARE(p.messages.filter("error"), QStringList());
           });
    QTest::newRow("8 a silent slave is probed once")
        << quiet << QStringList() << Moves([](Play &p) {
               p.driver.device()->setTimeout(200);
               p.get<QSpinBox>("spinBox_slaveSelect")->setValue(9);
               p.get("pushButton_SelectSlave")->click();
               QVERIFY(p.shown("^Could not find valid device"));
               QVERIFY(p.driver.settle());
               QCOMPARE(
                   p.driver.requestsSince(0).filter(QRegularExpression("^0906000a03e8")).size(), 1);
           });
}

void tst_MainWindowAudit::fault()
{
    QFETCH(QJsonObject, map);
    QFETCH(QStringList, simArgs);
    QFETCH(Moves, moves);
    Play play;
    QVERIFY(play.begin(map, simArgs));
    moves(play);
}

QTEST_MAIN(tst_MainWindowAudit)
#include "tst_mainwindow_audit.moc"
