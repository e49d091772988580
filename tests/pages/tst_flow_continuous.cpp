#include "briscadevice.h"
#include "reliabilitysupport.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

using namespace Reliability;

// Continuous images through the real window against the virtual sensor: paced by the
// frames themselves, one request cycle at a time whatever the operator clicks, stopped by
// the operator, by a frame that never comes or by a lost link, and every fault of the
// line against a running mode.
class tst_FlowContinuous : public QObject
{
    Q_OBJECT

private slots:
    void oneRequestPerFrame();
    void controlsLockedWhileRunning_data();
    void controlsLockedWhileRunning();
    void settles_data();
    void settles() { playRow(); }
    void linkLossAndReturn();
    void faultMatrix_data() { faultMatrixRows({ContinuousMode}); }
    void faultMatrix() { runFaultRow(); }
};

namespace {

// A sample of the manual controls: a page, a read, a write, an option.
const char *const LockedControls[] = {"pushButton_Settings", "pushButton_app1UpdateData",
                                      "pushButton_getImage", "pushButton_app2SetNewThresholds",
                                      "comboBox_reticleSize"};
const char *const CycleButtons[] = {"pushButton_cycleMode", "pushButton_cycleMode1",
                                    "pushButton_cycleMode3"};

// The controls of `names` whose enabled state is not `on`.
template <std::size_t N>
QStringList notInState(const WindowDriver &driver, const char *const (&names)[N], bool on)
{
    QStringList wrong;
    for (const char *name : names) {
        if (driver.child<QWidget>(name)->isEnabled() != on)
            wrong << QString::fromLatin1(name);
    }
    return wrong;
}

// Counts the image requests the window makes and notes, for every frame, how many had
// been made once the window had handled that frame.
struct Pacing
{
    explicit Pacing(BriscaDevice *device)
    {
        QObject::connect(device, &BriscaDevice::signal_status, device, [this](const QString &s) {
            if (s == QLatin1String("Grabbing image..."))
                ++requests;
        });
        QObject::connect(device, &BriscaDevice::pixelDataReady, device,
                         [this] { requestsAtFrame << requests; });
    }
    int requests = 0;
    QList<int> requestsAtFrame;
};

} // namespace

void tst_FlowContinuous::oneRequestPerFrame()
{
    WindowDriver driver;
    QVERIFY(driver.start(mapWithFrame()));
    QVERIFY(driver.connectAndSelect());
    Pacing pacing(driver.device());
    const int mark = driver.mark();
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode");

    cycle->click();
    QCOMPARE(pacing.requests, 1);
    QTRY_VERIFY_WITH_TIMEOUT(pacing.requestsAtFrame.size() >= 3, 20000);

    // Exactly one cycle is in flight whenever the mode runs.
    cycle->click();
    const int framesAtStop = pacing.requestsAtFrame.size();
    const int requestsAtStop = pacing.requests;
    QCOMPARE(requestsAtStop, framesAtStop + 1);
    for (int i = 0; i < framesAtStop; ++i)
        QCOMPARE(pacing.requestsAtFrame.at(i), i + 2);

    // The frame already asked for still arrives and is drawn, and asks for nothing more.
    QTRY_COMPARE_WITH_TIMEOUT(pacing.requestsAtFrame.size(), framesAtStop + 1, 10000);
    QCOMPARE(driver.window().statusBar()->currentMessage(), QString("Done"));
    QVERIFY(driver.settle());
    QCOMPARE(pacing.requestsAtFrame.size(), framesAtStop + 1);
    QCOMPARE(pacing.requests, requestsAtStop);
    // On the wire: one last frame chunk per request.
    QCOMPARE(driver.requestsSince(mark, 4).filter(QRegularExpression("^010405010018")).size(),
             requestsAtStop);
}

void tst_FlowContinuous::controlsLockedWhileRunning_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("choice");
    QTest::addColumn<QString>("editors"); // enabled after the stop: max and min of each page
    QTest::newRow("page 1, hot") << 0 << 1 << "101010";
    QTest::newRow("page 2, cold") << 1 << 2 << "010101";
    QTest::newRow("page 3, hot and cold") << 2 << 3 << "111111";
}

void tst_FlowContinuous::controlsLockedWhileRunning()
{
    QFETCH(int, button);
    QFETCH(int, choice);
    QFETCH(QString, editors);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::withValue(mapWithFrame(), "holding", 13, choice)));
    QVERIFY(driver.connectAndSelect());
    Pacing pacing(driver.device());
    auto *cycle = driver.child<QPushButton>(CycleButtons[button]);
    auto *reset = driver.window().findChild<QAction *>("actionReset_device");

    cycle->click();
    QCOMPARE(notInState(driver, LockedControls, false), QStringList());
    QVERIFY(!reset->isEnabled());
    QCOMPARE(editorsEnabled(driver), QString("000000"));
    // The way out, and the one manual read that stays.
    QCOMPARE(notInState(driver, CycleButtons, true), QStringList());
    QVERIFY(driver.child<QPushButton>("pushButton_app3UpdateData")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!pacing.requestsAtFrame.isEmpty(), 10000);

    cycle->click();
    QCOMPARE(notInState(driver, LockedControls, true), QStringList());
    QVERIFY(reset->isEnabled());
    QCOMPARE(editorsEnabled(driver), editors);
    QVERIFY(driver.settle());
}

// Stop and start, and echoes that arrive while the mode runs.
void tst_FlowContinuous::settles_data()
{
    QTest::addColumn<QJsonObject>("map");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<Moves>("moves");
    const QJsonObject quiet = WindowDriver::quietMap();

    QTest::newRow("stopped and started while a frame is on its way")
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
    QTest::newRow("editors after the mode with an unknown temperature choice")
        << WindowDriver::withValue(quiet, "holding", 13, 0) << QStringList() << Moves([](Play &p) {
               auto *cycle = p.get("pushButton_cycleMode");
               cycle->click();
               QTRY_VERIFY_WITH_TIMEOUT(p.frames > 0, 10000);
               cycle->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(editorsEnabled(p.driver), QString("111111"));
           });
    QTest::newRow("editors stay locked when an echo arrives during the mode")
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
               QCOMPARE(editorsEnabled(p.driver), QString("000000"));
               cycle->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(editorsEnabled(p.driver), QString("101010"));
           });
}

// The sensor's line goes away in the middle of continuous images, several times in one run
// of the same window: a hang-up on a control line, the process ended, a hang-up on the
// request for the middle of a frame. Each time the window shows a closed port with few
// messages, and once a sensor is back on the same link path, Connect, Select slave and
// continuous images work as before.
void tst_FlowContinuous::linkLossAndReturn()
{
    WindowDriver driver;
    QVERIFY(driver.start(mapWithFrame()));
    StatusLog log(&driver.window());
    QVERIFY(driver.connectAndSelect());
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode");
    for (int round = 0; round < 7; ++round) {
        // The last round only shows that the sensor serves continuous images again.
        log.attach(driver.device());
        QObject scope; // the frame count lives for this round only
        int frames = 0;
        connect(driver.device(), &BriscaDevice::pixelDataReady, &scope, [&frames] { ++frames; });
        cycle->click();
        QVERIFY(QTest::qWaitFor([&] { return frames >= 2; }, 20000));
        if (round == 6)
            break;
        const int from = log.size();
        if (round % 3 == 0)
            QVERIFY(driver.sim().command("hangup"));
        else if (round % 3 == 1)
            driver.sim().stop();
        else
            QVERIFY(driver.sim().command("fault hangup,fc=4,addr=656"));
        QVERIFY2(QTest::qWaitFor([&] { return portClosedDifferences(driver).isEmpty(); }, 20000),
                 qPrintable(portClosedDifferences(driver).join(", ")));
        // A loss shows the port's own errors, one abort for the requests still queued (the
        // bar shows the repeats as one) and the window's own note; near these bounds the
        // window would echo the flood of errors of a dead port.
        const QStringList shown = log.since(from);
        int visible = 0;
        for (int m = 0; m < shown.size(); ++m)
            visible += m == 0 || shown.at(m) != shown.at(m - 1);
        QVERIFY2(shown.size() <= 24 && visible <= 5 && shown.last().startsWith("Connection lost"),
                 qPrintable(shown.join(" | ")));
        // The manual controls are back, with the editors of the temperature choice ("Hot"),
        // and the button starts nothing without a device.
        QCOMPARE(editorsEnabled(driver), QString("101010"));
        cycle->click();
        QVERIFY(driver.child<QPushButton>("pushButton_getImage")->isEnabled());
        cycle->click();

        // A new sensor on the same path; the operator connects and selects again.
        QVERIFY(driver.sim().waitForFinished(20000));
        QVERIFY(driver.sim().start({"--load", driver.sim().tempPath("start.json"), "--fps", "0"}));
        QCOMPARE(driver.child<QLineEdit>("lineEdit_portname")->text(), driver.sim().linkPath());
        QVERIFY(driver.connectAndSelect());
    }
    cycle->click();
    QVERIFY(driver.settle());
}

QTEST_MAIN(tst_FlowContinuous)
#include "tst_flow_continuous.moc"
