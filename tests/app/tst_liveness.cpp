#include "briscadevice.h"
#include "briscaregisters.h"
#include "dataage.h"
#include "image.h"
#include "linkmonitor.h"
#include "windowdriver.h"

#include <QGraphicsEffect>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

// What the window says about the link and about the age of what it shows, against the
// virtual sensor: a sensor that falls silent, a line that goes away, a new session.
class tst_Liveness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void silentSensorMakesThePageOld();
    void lostLinkAndNewSessionShowNothingOldAsCurrent();
};

namespace {

constexpr int StepTimeoutMs = 20000;
// Short replies keep the silent rounds short; the window's own 3000 ms changes nothing of
// what is tested.
constexpr int ReplyTimeoutMs = 800;

const QStringList App1Values = {"label_app1MeasuredMin", "label_app1MeasuredMax",
                                "label_app1MinCoordinates"};
const QStringList App3Page = {"label_app3HighestBreachTemp", "label_app3CounterValue",
                              "label_app3PageApplicationThreeStatus", "tempPlot_app3"};

// The widgets of `names` that are not greyed as `old` says.
QStringList greyedDifferences(const WindowDriver &driver, const QStringList &names, bool old)
{
    QStringList wrong;
    for (const QString &name : names) {
        const auto *widget = driver.window().findChild<QWidget *>(name);
        if (!widget || (widget->graphicsEffect() && widget->graphicsEffect()->isEnabled()) != old)
            wrong << name;
    }
    return wrong;
}

// How many texts (the "min" and "max" marks) each rendering of a plot carries; overlays are
// gone by the time the event loop runs, so they are counted as the plot renders.
class MarkWatch : public QObject
{
public:
    explicit MarkWatch(image *plot)
    {
        connect(plot, &QCustomPlot::afterReplot, this, [this, plot] {
            int marks = 0;
            for (int i = 0; i < plot->itemCount(); ++i)
                marks += qobject_cast<QCPItemText *>(plot->item(i)) ? 1 : 0;
            renderings << marks;
        });
    }
    QVector<int> renderings;
};

} // namespace

void tst_Liveness::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void tst_Liveness::silentSensorMakesThePageOld()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *monitor = driver.window().findChild<LinkMonitor *>();
    auto *age = driver.window().findChild<DataAge *>();
    QVERIFY(monitor && age);
    QCOMPARE(monitor->state(), LinkMonitor::State::Validated);
    auto *ageLine = driver.child<QLabel>("label_app1DataAge");

    // An image: every value of the page is current, and the extremes of Application 1 are
    // marked where the sensor said they are.
    auto *plot = driver.child<image>("tempPlot_app1");
    MarkWatch watch(plot);
    BriscaDevice *device = driver.device();
    QSignalSpy frames(device, &BriscaDevice::pixelDataReady);
    driver.child<QPushButton>("pushButton_Application1")->click();
    driver.child<QPushButton>("pushButton_getImage")->click();
    QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 1, StepTimeoutMs);
    QVERIFY(age->isCurrent(DataAge::Frame));
    const QStringList page1 =
        App1Values + QStringList{"label_app1PageApplicationOneStatus", "tempPlot_app1"};
    QCOMPARE(greyedDifferences(driver, page1, false), QStringList());
    // The frame was drawn with its two extremes marked.
    QVERIFY(watch.renderings.contains(2));
    QVERIFY(driver.settle());

    // The sensor falls silent. The first try that goes unanswered turns the link to "not
    // answering" and the page old, long before the request has used up its retries.
    device->setTimeout(ReplyTimeoutMs);
    QVERIFY(driver.sim().command("fault silent"));
    watch.renderings.clear();
    quint64 timeoutsWhenTurned = 0;
    connect(monitor, &LinkMonitor::stateChanged, this, [&](LinkMonitor::State state) {
        if (state == LinkMonitor::State::NotAnswering)
            timeoutsWhenTurned = device->statistics().timeouts;
    });
    driver.child<QPushButton>("pushButton_app1UpdateData")->click();
    QTRY_COMPARE_WITH_TIMEOUT(monitor->state(), LinkMonitor::State::NotAnswering, StepTimeoutMs);
    QCOMPARE(timeoutsWhenTurned, quint64(1));
    QCOMPARE(greyedDifferences(driver, page1, true), QStringList());
    QVERIFY2(ageLine->text().contains("Old: the sensor stopped answering at "),
             qPrintable(ageLine->text()));
    // The last frame drawn again (the field of view switched) carries no extremes: they
    // date from before the silence.
    driver.child<QRadioButton>("radioButton_app1LimitFov")->click();
    QVERIFY(!watch.renderings.isEmpty());
    QCOMPARE(watch.renderings.last(), 0);

    // It answers again: what is read anew is current, the image stays old until the next.
    QVERIFY(driver.sim().command("clear"));
    QTRY_COMPARE_WITH_TIMEOUT(monitor->state(), LinkMonitor::State::Validated, StepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(age->isCurrent(DataAge::App1Measurements), StepTimeoutMs);
    QVERIFY(driver.settle());
    QCOMPARE(greyedDifferences(driver, App1Values, false), QStringList());
    QVERIFY(age->isOld(DataAge::Frame));
    QCOMPARE(greyedDifferences(driver, {"tempPlot_app1"}, true), QStringList());
}

void tst_Liveness::lostLinkAndNewSessionShowNothingOldAsCurrent()
{
    WindowDriver driver;
    // Application 3 in alarm (a maximum of 6.9 degrees that every region exceeds): the red
    // "TRUE" must not stay on as if live.
    QJsonObject map =
        WindowDriver::withValue(WindowDriver::quietMap(), "coils", Brisca::CoilApp3Enabled, 1);
    map = WindowDriver::withValue(map, "holding", Brisca::HoldingApp3MaxThreshold, 2800);
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    auto *monitor = driver.window().findChild<LinkMonitor *>();
    auto *age = driver.window().findChild<DataAge *>();
    driver.child<QPushButton>("pushButton_Application3")->click();
    driver.child<QPushButton>("pushButton_app3GetImage")->click();
    QTRY_VERIFY_WITH_TIMEOUT(age->isCurrent(DataAge::Frame), StepTimeoutMs);
    QVERIFY(driver.settle());
    QCOMPARE(driver.child<QLabel>("label_app3PageApplicationThreeStatus")->text(),
             QStringLiteral("TRUE"));
    QCOMPARE(greyedDifferences(driver, App3Page, false), QStringList());

    QVERIFY(driver.sim().command("hangup"));
    QTRY_COMPARE_WITH_TIMEOUT(monitor->state(), LinkMonitor::State::LinkLost, StepTimeoutMs);
    QCOMPARE(greyedDifferences(driver, App3Page, true), QStringList());
    auto *ageLine = driver.child<QLabel>("label_app3DataAge");
    QVERIFY2(ageLine->text().contains("Old: the link was lost at "), qPrintable(ageLine->text()));

    // A sensor back on the same path, a new Connect and Select slave: the settings are read
    // anew, but the measurements and the image are still those of the lost session.
    QVERIFY(driver.sim().waitForFinished(StepTimeoutMs));
    QVERIFY(driver.sim().start({QStringLiteral("--load"),
                                driver.sim().tempPath(QStringLiteral("start.json")),
                                QStringLiteral("--fps"), QStringLiteral("0")}));
    QVERIFY(driver.connectAndSelect());
    QCOMPARE(monitor->state(), LinkMonitor::State::Validated);
    for (DataAge::Group group : {DataAge::App1Measurements, DataAge::App2Measurements,
                                 DataAge::App3Measurements, DataAge::Alarms, DataAge::Frame})
        QVERIFY2(!age->isCurrent(group), qPrintable(QString::number(group)));
    QCOMPARE(greyedDifferences(driver, App3Page, true), QStringList());
    QVERIFY2(ageLine->text().contains("Old: the link was lost at "), qPrintable(ageLine->text()));

    // Fresh data end it.
    driver.child<QPushButton>("pushButton_app3GetImage")->click();
    QTRY_VERIFY_WITH_TIMEOUT(age->isCurrent(DataAge::Frame), StepTimeoutMs);
    QVERIFY(driver.settle());
    QCOMPARE(greyedDifferences(driver, App3Page, false), QStringList());
    QVERIFY2(!ageLine->text().contains("Old"), qPrintable(ageLine->text()));
}

QTEST_MAIN(tst_Liveness)
#include "tst_liveness.moc"
