#include "briscadevice.h"
#include "framepages.h"
#include "image.h"
#include "recorder.h"
#include "recordingcontroller.h"
#include "recordingreader.h"
#include "recordingstatuswidget.h"
#include "replaywindow.h"
#include "simprocess.h"
#include "trendswindow.h"

#include <QAction>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <memory>

using namespace Recording;

namespace {

QDateTime startTime()
{
    return QDateTime::fromString(QStringLiteral("2025-03-01T14:05:09.042+01:00"),
                                 Qt::ISODateWithMs);
}

// A frame with the given settings; its pixels differ from frame to frame and reach both ends
// of the raw range.
Sample frameSample(int n, bool limitFov, quint8 gridCode, int labels)
{
    Sample s;
    s.time = startTime().addMSecs(100 * n);
    s.kind = Sample::Kind::Frame;
    s.measurements.app1LimitFov = limitFov;
    s.measurements.reticleSize = quint8(4 + 2 * n);
    s.measurements.gridRoiSize = gridCode;
    s.measurements.app3Counter = quint16(40 + n);
    s.measurements.app3MinThreshold = 2900;
    s.measurements.app3MaxThreshold = 3100;
    for (int i = 0; i < 1024; ++i)
        s.frame.append(quint16((i * 977 + n * 131) & 0xFFFF));
    s.frame[n] = 0;
    s.frame[1023 - n] = 65535;
    for (int k = 0; k < labels; ++k)
        s.roiTemperatures.append(quint16(2800 + 10 * k));
    return s;
}

QString tableValue(const QTableWidget *table, const QString &name)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        if (table->item(row, 0)->text() == name)
            return table->item(row, 1)->text();
    }
    return {};
}

} // namespace

class tst_RecordingWindows : public QObject
{
    Q_OBJECT
private slots:
    void replayShowsTheRecordedFramesBitForBit();
    void replayPlaysToTheEnd();
    void controllerExportsAndRecordsWhatThePagesShow();
    void trendsKeepTheNewestPoints();

private:
    QString writeRecording(const QVector<Sample> &samples);
    QTemporaryDir m_dir;
};

QString tst_RecordingWindows::writeRecording(const QVector<Sample> &samples)
{
    const QString path = m_dir.filePath(QString("recording%1.csv").arg(samples.size()));
    Recorder recorder;
    if (!recorder.start(path))
        return {};
    for (const Sample &s : samples)
        recorder.writeSample(s);
    return path;
}

void tst_RecordingWindows::replayShowsTheRecordedFramesBitForBit()
{
    Sample between = frameSample(0, false, 1, 0);
    between.kind = Sample::Kind::Measurements;
    between.frame.clear();
    const QVector<Sample> frames{frameSample(0, true, 1, 300), frameSample(1, false, 2, 10),
                                 frameSample(2, true, 4, 0), frameSample(3, false, 9, 5)};
    const QString path = writeRecording({frames[0], between, frames[1], frames[2], frames[3]});
    ReplayWindow replay;
    QVERIFY2(replay.open(path), qPrintable(replay.errorString()));
    QCOMPARE(replay.frameCount(), frames.size());
    const auto *table = replay.findChild<QTableWidget *>();

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
        QCOMPARE(replay.plot(1)->itemCount(), 1);
        QCOMPARE(replay.plot(2)->itemCount(),
                 regions + std::min(regions, f.roiTemperatures.size()));
        QCOMPARE(tableValue(table, "Application 3 counter"),
                 QString::number(f.measurements.app3Counter));
    }
}

void tst_RecordingWindows::replayPlaysToTheEnd()
{
    QVector<Sample> frames;
    for (int n = 0; n < 6; ++n)
        frames << frameSample(n, false, 3, 0);
    ReplayWindow replay;
    QVERIFY(replay.open(writeRecording(frames)));
    replay.setSpeed(8);
    replay.setPlaying(true);
    QVERIFY(replay.isPlaying());
    QTRY_COMPARE(replay.currentFrame(), 5);
    QTRY_VERIFY(!replay.isPlaying());
    QCOMPARE(replay.slider()->value(), 5);
}

// Against the virtual sensor, with a stand-in for the main window that draws each frame on
// three pages first and so uses up the device's region temperatures, as the window does.
void tst_RecordingWindows::controllerExportsAndRecordsWhatThePagesShow()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pattern", "ramp", "--fps", "0"}));
    BriscaDevice device;
    device.setConnectionParameter(QModbusDevice::SerialPortNameParameter, sim.linkPath());
    device.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    device.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    device.setTimeout(3000);
    QVERIFY(device.connectDevice());
    QSignalSpy settings(&device, &BriscaDevice::holdingRegsDataReady);
    device.readSettings(1);
    QTRY_COMPARE(settings.count(), 1);
    QVERIFY(Brisca::roiCountFromGridCode(device.gridRoiSize) > 0);

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    image *plots[3];
    for (image *&plot : plots) {
        plot = new image(&window);
        plot->setFixedSize(320, 240);
        layout->addWidget(plot);
    }
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

    QList<QAction *> exports = controller.fileMenuActions().mid(0, 3);
    for (int page = 0; page < 3; ++page)
        exports << controller.plotActions(page);
    for (QAction *action : exports)
        QVERIFY(!action->isEnabled());
    QString error;
    QVERIFY(!controller.saveData(2, m_dir.filePath("none.csv"), &error));

    const QString recording = m_dir.filePath("controller.csv");
    QVERIFY(controller.startRecording(recording));
    QSignalSpy frames(&device, &BriscaDevice::pixelDataReady);
    device.requestImage();
    QTRY_COMPARE(frames.count(), 1);
    for (QAction *action : exports)
        QVERIFY(action->isEnabled());

    // The grid has the picture's orientation: line k, column c is the cell the plot shows at
    // column c and row 31 - k counted from the bottom.
    const QString grid = m_dir.filePath("grid.csv");
    QVERIFY2(controller.saveData(2, grid, &error), qPrintable(error));
    QFile file(grid);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 32);
    for (int k = 0; k < 32; ++k) {
        const QList<QByteArray> cells = lines.at(k).split(',');
        QCOMPARE(cells.size(), 32);
        for (int c = 0; c < 32; ++c) {
            const double shown = plots[2]->colorMap->data()->cell(c, 31 - k);
            QVERIFY2(qAbs(cells.at(c).toDouble() - shown) < 0.01,
                     qPrintable(QString("line %1 column %2: %3, the plot shows %4")
                                    .arg(k)
                                    .arg(c)
                                    .arg(QString(cells.at(c)))
                                    .arg(shown)));
        }
    }

    const QString png = m_dir.filePath("shot.png");
    QVERIFY2(controller.saveImage(1, png, &error), qPrintable(error));
    QCOMPARE(QImage(png).size(), 2 * plots[1]->size());

    device.requestImage();
    QTRY_COMPARE(frames.count(), 2);
    QTRY_COMPARE(controller.recorder()->rowCount(), qint64(4));
    // The figures follow once a second.
    QTRY_VERIFY2(controller.statusWidget()->text().contains("4 rows"),
                 qPrintable(controller.statusWidget()->text()));
    controller.countMissedFrame();
    QVERIFY2(controller.statusWidget()->text().contains("missed frames: 1"),
             qPrintable(controller.statusWidget()->text()));
    controller.stopRecording();
    QVERIFY(controller.statusWidget()->isHidden());

    // The recording holds the region temperatures the pages were labelled with.
    const Contents contents = readRecording(recording);
    QVERIFY2(contents.ok(), qPrintable(contents.error));
    QCOMPARE(contents.rows.size(), 4);
    QVERIFY(!drawnRegions.isEmpty());
    QCOMPARE(contents.rows.at(3).roiTemperatures, drawnRegions);
    QCOMPARE(contents.rows.at(3).frame, frames.at(1).at(0).value<QVector<quint16>>());
}

void tst_RecordingWindows::trendsKeepTheNewestPoints()
{
    TrendsWindow trends;
    trends.setMaxPoints(100);
    Sample s;
    const int count = 250;
    for (int n = 0; n < count; ++n) {
        s.time = startTime().addSecs(n);
        s.measurements.app1MinTemp = quint16(2900 + n);
        s.measurements.app3HighestBreachTemp = n % 2 ? 3000 : 0;
        trends.addSample(s, true);
        // A frame whose measurements were already sampled adds nothing.
        trends.addSample(s, false);
    }
    const double last = startTime().addSecs(count - 1).toMSecsSinceEpoch() / 1000.0;
    for (int series = 0; series < TrendsWindow::SeriesCount; ++series) {
        const auto data = trends.graph(TrendsWindow::Series(series))->data();
        QVERIFY2(data->size() >= 100 && data->size() <= 125,
                 qPrintable(QString::number(data->size())));
        QCOMPARE((data->constEnd() - 1)->key, last);
        QCOMPARE(data->constBegin()->key, last - (data->size() - 1));
    }
    // Newest value last, a breach of 0 is no point on the line.
    const auto minimum = trends.graph(TrendsWindow::App1Minimum)->data();
    QCOMPARE((minimum->constEnd() - 1)->value, 41.75); // raw 3149
    QVERIFY(qIsNaN((trends.graph(TrendsWindow::App3HighestBreach)->data()->constEnd() - 2)->value));
    // Following the newest point with ten minutes in view.
    QCOMPARE(trends.plot()->xAxis->range().upper, last);
    QCOMPARE(trends.plot()->xAxis->range().lower, last - 600);
}

QTEST_MAIN(tst_RecordingWindows)
#include "tst_recordingwindows.moc"
