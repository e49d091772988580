#include "briscadevice.h"
#include "mainwindow.h"
#include "windowdriver.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

// Continuous images: paced by the frames themselves, one request cycle at a time, and
// stopped by the operator, by a frame that never comes, or by a lost link.
class tst_MainWindowContinuous : public QObject
{
    Q_OBJECT

private slots:
    void withoutDeviceOnlyTheButtonChanges();
    void oneRequestPerFrame();
    void controlsLockedWhileRunning_data();
    void controlsLockedWhileRunning();
    void missingFrameEndsTheLoop();
    void lostLinkStopsTheMode();
};

namespace {

const char *const LockedControls[] = {"pushButton_Settings",
                                      "pushButton_Application1",
                                      "pushButton_Application2",
                                      "pushButton_Application3",
                                      "pushButton_Connection",
                                      "pushButton_app1SetNewThresholds",
                                      "pushButton_app1UpdateData",
                                      "pushButton_app2GetImage",
                                      "pushButton_app2SetNewThresholds",
                                      "pushButton_app2UpdateData",
                                      "pushButton_app3GetImage",
                                      "pushButton_app3SetNewThresholds",
                                      "pushButton_clearNONCapp1",
                                      "pushButton_clearNONCapp1_2",
                                      "pushButton_clearNONCapp1_3",
                                      "pushButton_getImage",
                                      "pushButton_resetApp3Counter",
                                      "radioButton_app1LimitFov",
                                      "radioButton_frameAverageApps1And3",
                                      "radioButton_frameAverageApps1And3_2",
                                      "comboBox_gridROISize",
                                      "comboBox_counterType",
                                      "comboBox_reticleSize",
                                      "spinBox_movingAverageWindow"};
const char *const MinimumEditors[] = {"doubleSpinBox_app1MinThreshold",
                                      "doubleSpinBox_app2MinThreshold",
                                      "doubleSpinBox_app3MinThreshold"};
const char *const MaximumEditors[] = {"doubleSpinBox_app1MaxThreshold",
                                      "doubleSpinBox_app2MaxThreshold",
                                      "doubleSpinBox_app3MaxThreshold"};
const char *const CycleButtons[] = {"pushButton_cycleMode", "pushButton_cycleMode1",
                                    "pushButton_cycleMode3"};

// The names of the controls in `names` whose enabled state is not `on`.
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

QJsonObject mapWithFrame(int temperatureChoice = 1)
{
    QJsonObject map =
        WindowDriver::withValue(WindowDriver::quietMap(), "holding", 13, temperatureChoice);
    QJsonArray input;
    for (int a = 0; a < 1305; ++a)
        input.append(a >= 281 ? 2931 + (a - 281) % 200 : 0);
    map.insert("input", input);
    return map;
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

void tst_MainWindowContinuous::withoutDeviceOnlyTheButtonChanges()
{
    MainWindow window;
    auto *cycle = window.findChild<QPushButton *>("pushButton_cycleMode");
    auto *getImage = window.findChild<QPushButton *>("pushButton_getImage");
    auto *editor = window.findChild<QDoubleSpinBox *>("doubleSpinBox_app1MinThreshold");
    cycle->click();
    QVERIFY(cycle->isChecked());
    QVERIFY(getImage->isEnabled());
    QVERIFY(editor->isEnabled());
    cycle->click();
    QVERIFY(!cycle->isChecked());
    QVERIFY(getImage->isEnabled());
    QVERIFY(window.findChild<QPushButton *>("pushButton_connect")->isEnabled());
}

void tst_MainWindowContinuous::oneRequestPerFrame()
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

void tst_MainWindowContinuous::controlsLockedWhileRunning_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("choice");
    QTest::addColumn<bool>("minimumEnabled");
    QTest::addColumn<bool>("maximumEnabled");
    QTest::newRow("page 1, hot") << 0 << 1 << false << true;
    QTest::newRow("page 2, cold") << 1 << 2 << true << false;
    QTest::newRow("page 3, hot and cold") << 2 << 3 << true << true;
}

void tst_MainWindowContinuous::controlsLockedWhileRunning()
{
    QFETCH(int, button);
    QFETCH(int, choice);
    QFETCH(bool, minimumEnabled);
    QFETCH(bool, maximumEnabled);

    WindowDriver driver;
    QVERIFY(driver.start(mapWithFrame(choice)));
    QVERIFY(driver.connectAndSelect());
    Pacing pacing(driver.device());
    auto *cycle = driver.child<QPushButton>(CycleButtons[button]);

    cycle->click();
    QCOMPARE(notInState(driver, LockedControls, false), QStringList());
    QVERIFY(!driver.window().findChild<QAction *>("actionReset_device")->isEnabled());
    QCOMPARE(notInState(driver, MinimumEditors, false), QStringList());
    QCOMPARE(notInState(driver, MaximumEditors, false), QStringList());
    // The way out, and the one manual read that stays.
    QCOMPARE(notInState(driver, CycleButtons, true), QStringList());
    QVERIFY(driver.child<QPushButton>("pushButton_app3UpdateData")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!pacing.requestsAtFrame.isEmpty(), 10000);

    cycle->click();
    QCOMPARE(notInState(driver, LockedControls, true), QStringList());
    QVERIFY(driver.window().findChild<QAction *>("actionReset_device")->isEnabled());
    QCOMPARE(notInState(driver, MinimumEditors, minimumEnabled), QStringList());
    QCOMPARE(notInState(driver, MaximumEditors, maximumEnabled), QStringList());
    QVERIFY(driver.settle());
}

void tst_MainWindowContinuous::missingFrameEndsTheLoop()
{
    WindowDriver driver;
    QVERIFY(driver.start(mapWithFrame()));
    QVERIFY(driver.connectAndSelect());
    Pacing pacing(driver.device());
    QSignalSpy messages(driver.window().statusBar(), &QStatusBar::messageChanged);
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode1");

    cycle->click();
    QTRY_VERIFY_WITH_TIMEOUT(pacing.requestsAtFrame.size() >= 2, 20000);
    // The last chunk of every frame is refused from now on.
    QVERIFY(driver.sim().command("fault exception:4,fc=4,addr=1281"));
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(messages.cbegin(), messages.cend(),
                                         [](const QList<QVariant> &args) {
                                             return args.value(0).toString().startsWith(
                                                 "Read response error");
                                         }),
                             10000);
    QVERIFY(driver.settle());
    const int frames = pacing.requestsAtFrame.size();
    const int requests = pacing.requests;
    QCOMPARE(requests, frames + 1);
    QVERIFY(driver.settle());
    QCOMPARE(pacing.requests, requests);
    QCOMPARE(pacing.requestsAtFrame.size(), frames);

    // The loop has ended, but the mode is still on until the operator stops it.
    QVERIFY(cycle->isChecked());
    QVERIFY(!driver.child<QPushButton>("pushButton_app2GetImage")->isEnabled());
    cycle->click();
    QVERIFY(driver.child<QPushButton>("pushButton_app2GetImage")->isEnabled());
    QVERIFY(driver.settle());
    QCOMPARE(pacing.requests, requests);
}

void tst_MainWindowContinuous::lostLinkStopsTheMode()
{
    WindowDriver driver;
    QVERIFY(driver.start(mapWithFrame()));
    QVERIFY(driver.connectAndSelect());
    Pacing pacing(driver.device());
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode3");

    cycle->click();
    QTRY_VERIFY_WITH_TIMEOUT(!pacing.requestsAtFrame.isEmpty(), 10000);
    // The line goes away in the middle of the next image.
    QVERIFY(driver.sim().command("fault hangup,fc=4,addr=531"));

    QTRY_VERIFY_WITH_TIMEOUT(!cycle->isChecked(), 10000);
    QTRY_VERIFY(!driver.device());
    // The port is closed: Connect again, nothing that needs a sensor.
    QVERIFY(driver.child<QPushButton>("pushButton_connect")->isEnabled());
    QVERIFY(!driver.child<QPushButton>("pushButton_SelectSlave")->isEnabled());
    QVERIFY(!driver.child<QPushButton>("pushButton_Settings")->isEnabled());
    QVERIFY(driver.child<QPushButton>("pushButton_Connection")->isEnabled());
    // The manual controls are back, with the editors of the temperature choice ("Hot").
    QVERIFY(driver.child<QPushButton>("pushButton_getImage")->isEnabled());
    QCOMPARE(notInState(driver, MinimumEditors, false), QStringList());
    QCOMPARE(notInState(driver, MaximumEditors, true), QStringList());

    // Without a device the button no longer starts anything.
    cycle->click();
    QVERIFY(driver.child<QPushButton>("pushButton_getImage")->isEnabled());
}

QTEST_MAIN(tst_MainWindowContinuous)
#include "tst_mainwindow_continuous.moc"
