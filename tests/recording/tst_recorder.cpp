#include "briscadevice.h"
#include "devicesampler.h"
#include "recorder.h"
#include "recordingreader.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace Recording;

namespace {

QJsonArray array(const QVector<int> &values)
{
    QJsonArray out;
    for (int v : values)
        out.append(v);
    return out;
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void recordsWhatTheDeviceDelivers_data();
    void recordsWhatTheDeviceDelivers();
    void writeErrorStopsOnlyTheRecording_data();
    void writeErrorStopsOnlyTheRecording();
    void unwritableFileIsRefused_data();
    void unwritableFileIsRefused();
    void killedWriterLeavesItsWholeRows();

private:
    bool open(const QStringList &simArgs);
    void runContinuously();

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<BriscaDevice> m_device;
    std::unique_ptr<DeviceSampler> m_sampler;
    std::unique_ptr<Recorder> m_recorder;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Recorder::init()
{
    qRegisterMetaType<Recording::Sample>();
    m_dir = std::make_unique<QTemporaryDir>();
    m_sim = std::make_unique<SimProcess>();
    m_device = std::make_unique<BriscaDevice>();
    m_sampler = std::make_unique<DeviceSampler>();
    m_recorder = std::make_unique<Recorder>();
    m_sampler->setDevice(m_device.get());
    connect(m_sampler.get(), &DeviceSampler::sampled, m_recorder.get(), &Recorder::writeSample);
}

void tst_Recorder::cleanup()
{
    m_recorder.reset();
    m_sampler.reset();
    if (m_device)
        m_device->disconnectDevice();
    m_device.reset();
    m_sim.reset();
}

bool tst_Recorder::open(const QStringList &simArgs)
{
    if (!m_sim->start(simArgs))
        return false;
    BriscaDevice &d = *m_device;
    d.setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_sim->linkPath());
    d.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    d.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    d.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    d.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    d.setTimeout(3000);
    d.setNumberOfRetries(0);
    d.slaveAddress = 1;
    return d.connectDevice() && d.state() == QModbusDevice::ConnectedState;
}

// Continuous mode as the main window runs it: the next image once a frame has arrived.
void tst_Recorder::runContinuously()
{
    BriscaDevice *device = m_device.get();
    connect(device, &BriscaDevice::pixelDataReady, device, [device] { device->requestImage(); });
    device->requestImage();
}

void tst_Recorder::recordsWhatTheDeviceDelivers_data()
{
    QTest::addColumn<bool>("storedMap");
    QTest::newRow("moving scene") << false;
    QTest::newRow("stored map with extreme values") << true;
}

// Every frame comes back bit for bit, each measurement update is one row before its frame,
// and the values of a known register map land in the columns named after them.
void tst_Recorder::recordsWhatTheDeviceDelivers()
{
    QFETCH(bool, storedMap);
    QVector<int> input(1305, 0),
        holding{1, 22, 3731, 2731, 3231, 2931, 3331, 2831, 500, 95, 8, 4, 2, 3};
    QVector<int> discrete{0, 1, 1, 0, 1};
    const QVector<int> extremes{0, 1, 2731, 2732, 65534, 65535};
    for (int i = 0; i < 1024; ++i)
        input[281 + i] = i < extremes.size() ? extremes[i] : (i * 64 + i / 16) & 0xFFFF;
    input[0] = 2800, input[1] = 0x1F03, input[2] = 3500, input[3] = 0x0A1E, input[4] = 2950;
    input[21] = 0, input[22] = 7, input[23] = 12, input[24] = 2990;
    input[25] = 3001, input[26] = 3002, input[30] = 65535, input[280] = 2732;
    QStringList args{"--pattern", "scene", "--fps", "25"};
    if (storedMap) {
        QJsonObject map;
        map["coils"] = array({0, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0});
        map["discrete_inputs"] = array(discrete);
        map["holding"] = array(holding);
        map["input"] = array(input);
        args = QStringList{"--load", m_sim->writeJson("map.json", map), "--fps", "0"};
    }
    QVERIFY(open(args));

    const QString path = m_dir->filePath("run.csv");
    QSignalSpy samples(m_sampler.get(), &DeviceSampler::sampled);
    QSignalSpy frames(m_device.get(), &BriscaDevice::pixelDataReady);
    QSignalSpy holdingRead(m_device.get(), &BriscaDevice::holdingRegsDataReady);
    m_device->readSettings(1);
    QTRY_COMPARE(holdingRead.count(), 1);
    QVERIFY(m_recorder->start(path));
    for (int k = 1; k <= 3; ++k) {
        m_device->requestImage();
        QTRY_COMPARE(frames.count(), k);
    }
    m_device->readApp3Data();
    QTRY_COMPARE(samples.count(), 7);
    m_recorder->stop();

    const Contents contents = readRecording(path);
    QVERIFY2(contents.ok(), qPrintable(contents.error));
    QVERIFY(contents.notes.isEmpty());
    QCOMPARE(contents.rows.size(), 7);
    QCOMPARE(m_recorder->rowCount(), 7);
    for (int r = 0; r < contents.rows.size(); ++r) {
        const Sample &row = contents.rows.at(r);
        const Sample sent = samples.at(r).at(0).value<Sample>();
        QCOMPARE(row.kind, r % 2 == 1 ? Sample::Kind::Frame : Sample::Kind::Measurements);
        QCOMPARE(row.time.toMSecsSinceEpoch(), sent.time.toMSecsSinceEpoch());
        QVERIFY(row.measurements == sent.measurements);
        if (row.isFrame())
            QCOMPARE(row.frame, frames.at(r / 2).at(0).value<QVector<quint16>>());
        QCOMPARE(row.roiTemperatures, sent.roiTemperatures);
    }
    if (!storedMap)
        return;

    Measurements expected;
    expected.app1MinTemp = 2800, expected.app1MinPosition = 0x1F03, expected.app1MaxTemp = 3500;
    expected.app1MaxPosition = 0x0A1E, expected.app1AvgTemp = 2950, expected.app1Alarm = true;
    expected.app2AvgTemp = 2990, expected.app2Alarm = false, expected.app3HighestBreachTemp = 0;
    expected.app3HighestBreachArea = 7, expected.app3Counter = 12, expected.app3Alarm = true;
    expected.app1LimitFov = true, expected.app1MaxThreshold = 3731,
    expected.app1MinThreshold = 2731;
    expected.reticleSize = 8, expected.app2MaxThreshold = 3231, expected.app2MinThreshold = 2931;
    expected.gridRoiSize = 2, expected.app3MaxThreshold = 3331, expected.app3MinThreshold = 2831;
    // The coils are read with the settings; only the limited field of view is recorded.
    const QVector<quint16> regions{3001, 3002, 65535, 2732};
    for (const Sample &row : contents.rows) {
        QVERIFY(row.measurements == expected);
        QCOMPARE(row.roiTemperatures, row.isFrame() ? regions : QVector<quint16>());
    }
}

void tst_Recorder::writeErrorStopsOnlyTheRecording_data()
{
    QTest::addColumn<bool>("diskFull");
    QTest::addColumn<QString>("reason");
    QTest::newRow("file removed") << false << "the file was removed";
    QTest::newRow("disk full") << true << QString::fromLocal8Bit(strerror(EFBIG));
}

void tst_Recorder::writeErrorStopsOnlyTheRecording()
{
    QFETCH(bool, diskFull);
    QFETCH(QString, reason);
    QVERIFY(open({"--pattern", "scene", "--fps", "50"}));
    const QString path = m_dir->filePath("run.csv");
    QSignalSpy failed(m_recorder.get(), &Recorder::failed);
    QSignalSpy frames(m_device.get(), &BriscaDevice::pixelDataReady);
    QVERIFY(m_recorder->start(path));
    runContinuously();
    QTRY_VERIFY(m_recorder->rowCount() >= 3);

    // A file size limit fails a write the way a full disk does, from the next row on; the
    // simulator started before it and is not bound by it.
    rlimit previous{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &previous) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (diskFull) {
        rlimit limit = previous;
        limit.rlim_cur = rlim_t(m_recorder->size() + 3000);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    } else {
        QVERIFY(QFile::remove(path));
    }
    QTRY_COMPARE(failed.count(), 1);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!m_recorder->isRecording());
    const QString message = failed.at(0).at(0).toString();
    QVERIFY2(message.contains(path) && message.contains(reason), qPrintable(message));
    // The link goes on delivering frames, and nothing more is written.
    const int framesAtFailure = frames.count();
    const qint64 rows = m_recorder->rowCount();
    QTRY_VERIFY(frames.count() >= framesAtFailure + 3);
    QCOMPARE(m_device->state(), QModbusDevice::ConnectedState);
    QCOMPARE(m_recorder->rowCount(), rows);
    if (diskFull) {
        // What did get through ends with a whole row.
        const Contents contents = readRecording(path);
        QVERIFY2(contents.ok(), qPrintable(contents.error));
        QVERIFY(contents.notes.isEmpty());
        QCOMPARE(contents.rows.size(), rows);
        QCOMPARE(QFileInfo(path).size(), m_recorder->size());
    }
}

void tst_Recorder::unwritableFileIsRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("disk full") << "/dev/full" << QString::fromLocal8Bit(strerror(ENOSPC));
    QTest::newRow("no such folder")
        << "/nonexistent/run.csv" << QString::fromLocal8Bit(strerror(ENOENT));
}

void tst_Recorder::unwritableFileIsRefused()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QVERIFY(!m_recorder->start(path));
    QVERIFY(!m_recorder->isRecording());
    QVERIFY2(m_recorder->errorString().contains(path) && m_recorder->errorString().contains(reason),
             qPrintable(m_recorder->errorString()));
}

void tst_Recorder::killedWriterLeavesItsWholeRows()
{
    QVERIFY(m_sim->start({"--pattern", "scene", "--fps", "50"}));
    const QString path = m_dir->filePath("killed.csv");
    QProcess writer;
    writer.start(QStringLiteral(BRISCA_RECORDKILL_PATH), {m_sim->linkPath(), path, "5"});
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

QTEST_GUILESS_MAIN(tst_Recorder)
#include "tst_recorder.moc"
