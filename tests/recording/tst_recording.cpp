#include "briscadevice.h"
#include "devicesampler.h"
#include "recorder.h"
#include "recordingformat.h"
#include "recordingreader.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

using namespace Recording;

namespace {

// A frame row that reads back.
Sample frameSample()
{
    Sample s;
    s.time = QDateTime::currentDateTime();
    s.kind = Sample::Kind::Frame;
    s.frame.fill(2981, 1024);
    s.roiTemperatures = {3045, 3046, 3047};
    return s;
}

// A device at the line settings a new sensor and a new master start with (19200 baud, even
// parity), its sampler, and a recorder that writes every sample.
struct Rig
{
    BriscaDevice device;
    DeviceSampler sampler;
    Recorder recorder;

    bool open(const QString &port)
    {
        qRegisterMetaType<Sample>();
        sampler.setDevice(&device);
        QObject::connect(&sampler, &DeviceSampler::sampled, &recorder, &Recorder::writeSample);
        device.setConnectionParameter(QModbusDevice::SerialPortNameParameter, port);
        device.setTimeout(3000);
        device.setNumberOfRetries(0);
        device.slaveAddress = 1;
        return device.connectDevice() && device.state() == QModbusDevice::ConnectedState;
    }
};

// Run as `tst_recording --cut PORT FILE ROWS`: records until ROWS rows, then leaves the file
// the way a process killed while writing a row would (half of a row at its end), says
// "cut ROWS" and waits to be killed. A row goes to the file in one write, so the half row is
// written here on purpose: no kill could be timed to land inside that write.
int recordAndCut(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString path = app.arguments().at(3);
    const qint64 rows = app.arguments().at(4).toLongLong();
    Rig rig;
    if (!rig.open(app.arguments().at(2)) || !rig.recorder.start(path))
        return 1;
    QObject::connect(&rig.device, &BriscaDevice::pixelDataReady, &app, [&] {
        if (rig.recorder.rowCount() < rows)
            rig.device.requestImage();
    });
    QObject::connect(&rig.recorder, &Recorder::rowWritten, &app, [&](qint64 written) {
        if (written != rows)
            return;
        rig.sampler.setDevice(nullptr);
        const QByteArray row = formatRow(frameSample());
        QFile file(path);
        if (!file.open(QIODevice::Append) || file.write(row.left(row.size() / 2)) <= 0)
            std::exit(1);
        file.close();
        std::printf("cut %lld\n", written);
        std::fflush(stdout);
    });
    rig.device.requestImage();
    return app.exec();
}

// Line `line` (0 = header) of `text` with column `column` set to `value`.
QByteArray withField(const QByteArray &text, int line, int column, const QByteArray &value)
{
    QList<QByteArray> lines = text.split('\n');
    QList<QByteArray> fields = lines[line].split(',');
    fields[column] = value;
    lines[line] = fields.join(',');
    return lines.join('\n');
}

// Column numbers as the header names them.
int columnOf(const char *name)
{
    return header().trimmed().split(',').indexOf(name);
}

} // namespace

class tst_Recording : public QObject
{
    Q_OBJECT
private slots:
    void everyRawTemperatureSurvivesItsText();
    void malformedFiles_data();
    void malformedFiles();
    void recordsWhatTheDeviceDelivers();
    void writeErrorStopsOnlyTheRecording();
    void killedWriterLeavesItsWholeRows();

private:
    QTemporaryDir m_dir;
};

// Every frame comes back bit for bit, each measurement update is one row before its frame,
// and the values of a known register map land in the columns named after them.
void tst_Recording::recordsWhatTheDeviceDelivers()
{
    SimProcess sim;
    Rig rig;
    QVector<int> values(1305, 0);
    for (int i = 0; i < 1024; ++i)
        values[281 + i] = (i * 64 + i / 16 + 65535) & 0xFFFF; // from 65535 over 0 on
    values[0] = 2800, values[1] = 0x1F03, values[2] = 3500, values[3] = 0x0A1E, values[4] = 2950;
    values[21] = 0, values[22] = 7, values[23] = 12, values[24] = 2990;
    values[25] = 3001, values[26] = 3002, values[30] = 65535, values[280] = 2732;
    QJsonArray input;
    for (int v : values)
        input.append(v);
    const QJsonObject map{
        {"coils", QJsonArray{0, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0}},
        {"discrete_inputs", QJsonArray{0, 1, 1, 0, 1}},
        {"holding", QJsonArray{1, 22, 3731, 2731, 3231, 2931, 3331, 2831, 500, 95, 8, 4, 2, 3}},
        {"input", input}};
    QVERIFY(sim.start({"--load", sim.writeJson("map.json", map), "--fps", "0"}));
    QVERIFY(rig.open(sim.linkPath()));

    const QString path = m_dir.filePath("run.csv");
    QSignalSpy samples(&rig.sampler, &DeviceSampler::sampled);
    QSignalSpy frames(&rig.device, &BriscaDevice::pixelDataReady);
    QSignalSpy holdingRead(&rig.device, &BriscaDevice::holdingRegsDataReady);
    rig.device.readSettings(1);
    QTRY_COMPARE(holdingRead.count(), 1);
    QVERIFY(rig.recorder.start(path));
    for (int k = 1; k <= 3; ++k) {
        rig.device.requestImage();
        QTRY_COMPARE(frames.count(), k);
    }
    rig.device.readApp3Data();
    QTRY_COMPARE(samples.count(), 7);
    rig.recorder.stop();

    const Contents contents = readRecording(path);
    QVERIFY2(contents.ok() && contents.notes.isEmpty(), qPrintable(contents.error));
    QCOMPARE(contents.rows.size(), 7);
    // The coils are read with the settings; only the limited field of view is recorded.
    const Measurements expected{2800, 0x1F03, 3500, 0x0A1E, 2950, true, 2990, false, 0,    7,   12,
                                true, true,   3731, 2731,   8,    3231, 2931, 2,     3331, 2831};
    for (int r = 0; r < contents.rows.size(); ++r) {
        const Sample &row = contents.rows.at(r);
        const Sample sent = samples.at(r).at(0).value<Sample>();
        QCOMPARE(row.kind, r % 2 == 1 ? Sample::Kind::Frame : Sample::Kind::Measurements);
        QCOMPARE(row.time.toMSecsSinceEpoch(), sent.time.toMSecsSinceEpoch());
        QVERIFY(row.measurements == expected);
        if (row.isFrame())
            QCOMPARE(row.frame, frames.at(r / 2).at(0).value<QVector<quint16>>());
        const QVector<quint16> regions{3001, 3002, 65535, 2732};
        QCOMPARE(row.roiTemperatures, row.isFrame() ? regions : QVector<quint16>());
    }
}

// A file removed while it is recorded to takes every write, into a file nobody can open any more.
void tst_Recording::writeErrorStopsOnlyTheRecording()
{
    SimProcess sim;
    Rig rig;
    QVERIFY(sim.start({"--pattern", "scene", "--fps", "50"}));
    QVERIFY(rig.open(sim.linkPath()));
    const QString path = m_dir.filePath("run.csv");
    QSignalSpy failed(&rig.recorder, &Recorder::failed);
    QSignalSpy frames(&rig.device, &BriscaDevice::pixelDataReady);
    QVERIFY(rig.recorder.start(path));
    // Continuous mode as the main window runs it: the next image once a frame has arrived.
    BriscaDevice *device = &rig.device;
    connect(device, &BriscaDevice::pixelDataReady, device, [device] { device->requestImage(); });
    device->requestImage();
    QTRY_VERIFY(rig.recorder.rowCount() >= 3);
    QVERIFY(QFile::remove(path));
    QTRY_COMPARE(failed.count(), 1);

    QVERIFY(!rig.recorder.isRecording());
    const QString message = failed.at(0).at(0).toString();
    QVERIFY2(message.contains(path) && message.contains("the file was removed"),
             qPrintable(message));
    // The link goes on delivering frames, and nothing more is written.
    const int framesAtFailure = frames.count();
    const qint64 rows = rig.recorder.rowCount();
    QTRY_VERIFY(frames.count() >= framesAtFailure + 3);
    QCOMPARE(rig.device.state(), QModbusDevice::ConnectedState);
    QCOMPARE(rig.recorder.rowCount(), rows);
}

void tst_Recording::killedWriterLeavesItsWholeRows()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pattern", "scene", "--fps", "50"}));
    const QString path = m_dir.filePath("killed.csv");
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {"--cut", sim.linkPath(), path, "5"});
    QVERIFY(writer.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(writer.canReadLine(), 20000);
    QCOMPARE(writer.readLine().trimmed(), QByteArray("cut 5"));
    writer.kill(); // SIGKILL: no destructor, no close, no flush
    QVERIFY(writer.waitForFinished());

    const Contents contents = readRecording(path);
    QVERIFY2(contents.ok(), qPrintable(contents.error));
    QCOMPARE(contents.rows.size(), 5);
    QCOMPARE(contents.rows.last().kind, Sample::Kind::Measurements);
    QCOMPARE(contents.notes.size(), 1);
    QVERIFY2(contents.notes.first().contains("Line 7 "), qPrintable(contents.notes.first()));
}

void tst_Recording::everyRawTemperatureSurvivesItsText()
{
    for (int raw = 0; raw <= 0xFFFF; ++raw) {
        const QByteArray text = celsiusText(quint16(raw));
        // printf rounds the binary value correctly, and each raw value is an exact hundredth.
        quint16 back = 0;
        if (text != QByteArray::number((raw * 10 - 27315) / 100.0, 'f', 2) ||
            !parseCelsius(text.constBegin(), text.constEnd(), &back) || back != raw)
            QFAIL(qPrintable(QString("raw %1 written as %2").arg(raw).arg(QString(text))));
    }
}

void tst_Recording::malformedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QByteArray good = header() + formatRow(frameSample()) + formatRow(frameSample());
    QByteArray binary(300, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i * 37);
    QByteArray shortRow = good; // the last row loses one of its empty region columns
    shortRow.remove(shortRow.size() - 2, 1);

    QTest::newRow("binary") << binary << "Line 1:";
    QTest::newRow("column missing") << shortRow << "Line 3: 1304 columns";
    QTest::newRow("below absolute zero")
        << withField(good, 2, columnOf("pixel_5"), "-273.25") << "Line 3: column pixel_5:";
    QTest::newRow("between two raw values")
        << withField(good, 1, columnOf("pixel_0"), "25.00") << "Line 2: column pixel_0:";
    QTest::newRow("no time") << withField(good, 2, 0, "yesterday") << "Line 3: column time:";
    QTest::newRow("region list with a gap")
        << withField(good, 1, columnOf("region_2"), "") << "Line 2: column region_3:";
    QTest::newRow("overlong line") << header() + QByteArray(100000, 'x') + '\n' << "Line 2:";
}

void tst_Recording::malformedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = m_dir.filePath("bad.csv");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();

    const Contents contents = readRecording(path);
    QVERIFY(!contents.ok());
    QVERIFY2(contents.error.startsWith(expected), qPrintable(contents.error));
    QVERIFY(contents.rows.isEmpty());
}

int main(int argc, char **argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--cut") == 0)
        return recordAndCut(argc, argv);
    QCoreApplication app(argc, argv);
    tst_Recording test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recording.moc"
