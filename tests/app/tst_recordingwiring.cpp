#include "briscadevice.h"
#include "image.h"
#include "recorder.h"
#include "recordingcontroller.h"
#include "recordingstatuswidget.h"
#include "windowdriver.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// What the main window adds to the recording parts: they follow the window's device, the
// export actions of its menus come alive with its frames, and continuous mode keeps going
// after a missed frame when the operator asks for it.
class tst_RecordingWiring : public QObject
{
    Q_OBJECT

private slots:
    void framesOfTheWindowAreRecordedAndExported();
    void keepGoingAfterAMissedFrame();

private:
    QTemporaryDir m_dir;
};

namespace {

RecordingStatusWidget *statusWidgetOf(const WindowDriver &driver)
{
    return driver.window().statusBar()->findChild<RecordingStatusWidget *>();
}

} // namespace

void tst_RecordingWiring::framesOfTheWindowAreRecordedAndExported()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    auto *controller = driver.window().findChild<RecordingController *>();
    auto *file = driver.window().findChild<QMenu *>("menuFile");
    QVERIFY(controller && file);
    QList<QAction *> exports = file->actions().mid(0, 3);
    for (const char *name : {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"})
        exports << driver.child<image>(name)->actions();
    QCOMPARE(exports.size(), 12);
    for (QAction *action : qAsConst(exports))
        QVERIFY(!action->isEnabled());

    QVERIFY(driver.connectAndSelect());
    const QString path = m_dir.filePath("window.csv");
    QVERIFY(controller->startRecording(path));
    driver.child<QPushButton>("pushButton_getImage")->click();
    QTRY_COMPARE(controller->recorder()->rowCount(), qint64(2));
    for (QAction *action : qAsConst(exports))
        QVERIFY2(action->isEnabled(), qPrintable(action->text()));
    QTRY_VERIFY2(statusWidgetOf(driver)->text().contains("2 rows"),
                 qPrintable(statusWidgetOf(driver)->text()));
}

void tst_RecordingWiring::keepGoingAfterAMissedFrame()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode1");
    QCOMPARE(cycle->actions().size(), 1);
    cycle->actions().first()->trigger();

    QVERIFY(driver.window().findChild<RecordingController *>()->startRecording(
        m_dir.filePath("keepgoing.csv")));
    QSignalSpy statuses(driver.device(), &BriscaDevice::signal_status);
    QSignalSpy missed(driver.device(), &BriscaDevice::imageMissed);
    const auto imageRequests = [&statuses] {
        return int(std::count_if(statuses.cbegin(), statuses.cend(), [](const QList<QVariant> &s) {
            return s.value(0).toString() == QLatin1String("Grabbing image...");
        }));
    };

    // A single image asked for by hand is no loop: its missing frame ends it.
    QVERIFY(driver.sim().command("fault exception:4,count=1,fc=4,addr=1281"));
    driver.child<QPushButton>("pushButton_getImage")->click();
    QTRY_COMPARE(missed.count(), 1);
    QVERIFY(driver.settle());
    QVERIFY2(!statusWidgetOf(driver)->text().contains("missed"),
             qPrintable(statusWidgetOf(driver)->text()));

    // In continuous mode the loop survives the missed frame, which is counted.
    QSignalSpy frames(driver.device(), &BriscaDevice::pixelDataReady);
    QVERIFY(driver.sim().command("fault exception:4,count=1,fc=4,addr=1281"));
    cycle->click();
    QTRY_COMPARE(missed.count(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
    cycle->click();
    QVERIFY(driver.settle());
    // The image by hand, the missed one, and one for each frame that came.
    QCOMPARE(imageRequests(), 1 + 1 + frames.count());
    QVERIFY2(statusWidgetOf(driver)->text().endsWith(", missed frames: 1"),
             qPrintable(statusWidgetOf(driver)->text()));
}

QTEST_MAIN(tst_RecordingWiring)
#include "tst_recordingwiring.moc"
