#include "briscadevice.h"
#include "image.h"
#include "imageexport.h"
#include "recorder.h"
#include "recordingcontroller.h"
#include "recordingreader.h"
#include "recordingstatuswidget.h"
#include "windowdriver.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

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

RecordingController *controllerOf(const WindowDriver &driver)
{
    return driver.window().findChild<RecordingController *>();
}

RecordingStatusWidget *statusWidgetOf(const WindowDriver &driver)
{
    return driver.window().statusBar()->findChild<RecordingStatusWidget *>();
}

// Counts the images the window asks for.
struct ImageRequests
{
    explicit ImageRequests(BriscaDevice *device)
    {
        QObject::connect(device, &BriscaDevice::signal_status, device, [this](const QString &s) {
            if (s == QLatin1String("Grabbing image..."))
                ++count;
        });
    }
    int count = 0;
};

} // namespace

void tst_RecordingWiring::framesOfTheWindowAreRecordedAndExported()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    RecordingController *controller = controllerOf(driver);
    QVERIFY(controller);
    auto *file = driver.window().findChild<QMenu *>("menuFile");
    QVERIFY(file);
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
    const QVector<quint16> firstShown =
        ImageExport::shownFrame(*driver.child<image>("tempPlot_app1"));
    QVERIFY(statusWidgetOf(driver)->isVisible());

    // A new link: the recording goes on with its frames.
    driver.child<QPushButton>("pushButton_Disconnect")->click();
    QVERIFY(driver.connectAndSelect());
    driver.child<QPushButton>("pushButton_app2GetImage")->click();
    QTRY_COMPARE(controller->recorder()->rowCount(), qint64(4));
    QTRY_VERIFY2(statusWidgetOf(driver)->text().contains("4 rows"),
                 qPrintable(statusWidgetOf(driver)->text()));
    controller->stopRecording();

    const Recording::Contents contents = Recording::readRecording(path);
    QVERIFY2(contents.ok(), qPrintable(contents.error));
    QCOMPARE(contents.rows.size(), 4);
    QVERIFY(contents.rows.at(1).isFrame());
    QCOMPARE(contents.rows.at(1).frame, firstShown);
    QCOMPARE(contents.rows.at(3).frame,
             ImageExport::shownFrame(*driver.child<image>("tempPlot_app2")));
}

void tst_RecordingWiring::keepGoingAfterAMissedFrame()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode1");
    QAction *keepGoing = nullptr;
    for (QAction *action : cycle->actions()) {
        if (action->text() == QLatin1String("Keep going after a missed frame"))
            keepGoing = action;
    }
    QVERIFY(keepGoing);
    QVERIFY(!keepGoing->isChecked());
    QVERIFY(keepGoing->isEnabled());
    keepGoing->trigger();
    QVERIFY(keepGoing->isChecked());

    RecordingController *controller = controllerOf(driver);
    QVERIFY(controller->startRecording(m_dir.filePath("keepgoing.csv")));
    ImageRequests requests(driver.device());
    QSignalSpy missed(driver.device(), &BriscaDevice::imageMissed);

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
    QCOMPARE(requests.count, 1 + 1 + frames.count());
    QVERIFY2(statusWidgetOf(driver)->text().endsWith(", missed frames: 1"),
             qPrintable(statusWidgetOf(driver)->text()));
}

QTEST_MAIN(tst_RecordingWiring)
#include "tst_recordingwiring.moc"
