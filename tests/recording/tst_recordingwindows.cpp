#include "briscadevice.h"
#include "framepages.h"
#include "image.h"
#include "recorder.h"
#include "recordingcontroller.h"
#include "recordingreader.h"
#include "replaywindow.h"
#include "simprocess.h"
#include "trendswindow.h"

#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <qcustomplot.h>

using namespace Recording;

namespace {

const QDateTime StartTime = QDateTime::fromMSecsSinceEpoch(1740834309042);

// A frame with the given settings; its pixels differ from frame to frame and spread over the
// raw range.
Sample frameSample(int n, bool limitFov, quint8 gridCode, int labels)
{
    Sample s;
    s.time = StartTime.addMSecs(100 * n);
    s.kind = Sample::Kind::Frame;
    s.measurements.app1LimitFov = limitFov;
    s.measurements.reticleSize = 8;
    s.measurements.gridRoiSize = gridCode;
    for (int i = 0; i < 1024; ++i)
        s.frame.append(quint16((i * 977 + n * 131) & 0xFFFF));
    for (int k = 0; k < labels; ++k)
        s.roiTemperatures.append(quint16(2800 + 10 * k));
    return s;
}

} // namespace

class tst_RecordingWindows : public QObject
{
    Q_OBJECT
private slots:
    void replayShowsTheRecordedFramesBitForBit();
    void controllerExportsAndRecordsWhatThePagesShow();
    void trendsKeepTheNewestPoints();

private:
    QTemporaryDir m_dir;
};

void tst_RecordingWindows::replayShowsTheRecordedFramesBitForBit()
{
    Sample between = frameSample(0, false, 1, 0);
    between.kind = Sample::Kind::Measurements;
    between.frame.clear();
    const QVector<Sample> frames{frameSample(0, true, 1, 300), frameSample(1, false, 2, 10),
                                 frameSample(2, true, 4, 0), frameSample(3, false, 9, 5)};
    const QString path = m_dir.filePath("replay.csv");
    Recorder recorder;
    QVERIFY(recorder.start(path));
    for (const Sample &s : {frames[0], between, frames[1], frames[2], frames[3]})
        recorder.writeSample(s);
    ReplayWindow replay;
    QVERIFY2(replay.open(path), qPrintable(replay.errorString()));
    QCOMPARE(replay.frameCount(), frames.size());

    for (int n = frames.size() - 1; n >= 0; --n) {
        QCoreApplication::processEvents(); // the last frame's overlays go
        replay.slider()->setValue(n);
        const Sample &f = frames.at(n);
        for (int page = 0; page < 3; ++page) {
            const image *plot = replay.plot(page);
            for (int r = 0; r < 32; ++r) {
                for (int c = 0; c < 32; ++c)
                    QCOMPARE(plot->pixels[r][c], f.frame.at(32 * c + r));
            }
        }
        // The overlays of the main window's pages, still in place until the event loop runs.
        const int side = 1 << f.measurements.gridRoiSize;
        const int regions = f.measurements.gridRoiSize <= 4 ? (32 / side) * (32 / side) : 0;
        QCOMPARE(replay.plot(0)->itemCount(), f.measurements.app1LimitFov ? 1 : 0);
        QCOMPARE(replay.plot(2)->itemCount(),
                 regions + std::min(regions, f.roiTemperatures.size()));
    }
}

// Against the virtual sensor, with a stand-in for the main window that draws each frame on
// three pages first and so uses up the device's region temperatures, as the window does.
void tst_RecordingWindows::controllerExportsAndRecordsWhatThePagesShow()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pattern", "ramp", "--fps", "0"}));
    BriscaDevice device;
    device.setConnectionParameter(QModbusDevice::SerialPortNameParameter, sim.linkPath());
    device.setTimeout(3000);
    QVERIFY(device.connectDevice());
    QSignalSpy settings(&device, &BriscaDevice::holdingRegsDataReady);
    device.readSettings(1);
    QTRY_COMPARE(settings.count(), 1);
    QVERIFY(Brisca::roiCountFromGridCode(device.gridRoiSize) > 0);

    QWidget window;
    image *plots[3] = {new image(&window), new image(&window), new image(&window)};
    QVector<quint16> drawnRegions;
    connect(&device, &BriscaDevice::pixelDataReady, &window, [&](const QVector<quint16> &frame) {
        Sample shown;
        shown.frame = frame;
        shown.measurements = Measurements::fromDevice(device);
        shown.roiTemperatures = device.roiTemperatures;
        drawnRegions = device.roiTemperatures;
        for (int page = 0; page < 3; ++page)
            FramePages::showFrame(*plots[page], page, shown);
        device.roiTemperatures.clear();
    });
    RecordingController controller(&window, plots[0], plots[1], plots[2]);
    controller.setDevice(&device);

    const QString recording = m_dir.filePath("controller.csv");
    QVERIFY(controller.startRecording(recording));
    QSignalSpy frames(&device, &BriscaDevice::pixelDataReady);
    device.requestImage();
    QTRY_COMPARE(frames.count(), 1);

    // The grid has the picture's orientation: line k, column c is the cell the plot shows at
    // column c and row 31 - k counted from the bottom.
    const QString grid = m_dir.filePath("grid.csv");
    QString error;
    QVERIFY2(controller.saveData(2, grid, &error), qPrintable(error));
    QFile file(grid);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 32);
    for (int k = 0; k < 32; ++k) {
        const QList<QByteArray> cells = lines.at(k).split(',');
        for (int c = 0; c < 32; ++c)
            QVERIFY2(qAbs(cells.value(c).toDouble() - plots[2]->colorMap->data()->cell(c, 31 - k)) <
                         0.01,
                     qPrintable(lines.at(k)));
    }

    QTRY_COMPARE(controller.recorder()->rowCount(), qint64(2));
    controller.stopRecording();

    // The recording holds the region temperatures the pages were labelled with.
    const Contents contents = readRecording(recording);
    QVERIFY2(contents.ok(), qPrintable(contents.error));
    QCOMPARE(contents.rows.size(), 2);
    QVERIFY(!drawnRegions.isEmpty());
    QCOMPARE(contents.rows.at(1).roiTemperatures, drawnRegions);
    QCOMPARE(contents.rows.at(1).frame, frames.at(0).at(0).value<QVector<quint16>>());
}

void tst_RecordingWindows::trendsKeepTheNewestPoints()
{
    TrendsWindow trends;
    trends.setMaxPoints(100);
    Sample s;
    const int count = 250;
    for (int n = 0; n < count; ++n) {
        s.time = StartTime.addSecs(n);
        s.measurements.app1MinTemp = quint16(2900 + n);
        s.measurements.app3HighestBreachTemp = n % 2 ? 3000 : 0;
        trends.addSample(s, true);
        // A frame whose measurements were already sampled adds nothing.
        trends.addSample(s, false);
    }
    const double last = StartTime.addSecs(count - 1).toMSecsSinceEpoch() / 1000.0;
    for (int series = 0; series < TrendsWindow::SeriesCount; ++series) {
        const auto data = trends.graph(TrendsWindow::Series(series))->data();
        QVERIFY2(data->size() >= 100 && data->size() <= 125,
                 qPrintable(QString::number(data->size())));
        QCOMPARE((data->constEnd() - 1)->key, last);
        QCOMPARE(data->constBegin()->key, last - (data->size() - 1));
    }
    // Newest value last, a breach of 0 is no point on the line; ten minutes in view.
    QCOMPARE((trends.graph(TrendsWindow::App1Minimum)->data()->constEnd() - 1)->value, 41.75);
    QVERIFY(qIsNaN((trends.graph(TrendsWindow::App3HighestBreach)->data()->constEnd() - 2)->value));
    QCOMPARE(trends.plot()->xAxis->range().upper, last);
    QCOMPARE(trends.plot()->xAxis->range().lower, last - 600);
}

QTEST_MAIN(tst_RecordingWindows)
#include "tst_recordingwindows.moc"
