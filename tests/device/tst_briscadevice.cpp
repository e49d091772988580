#include "briscadevice.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <pty.h>
#include <unistd.h>
#include <utility>

using DeviceCall = std::function<void(BriscaDevice &)>;
Q_DECLARE_METATYPE(DeviceCall)

namespace {

QStringList s_debugLines;
QtMessageHandler s_previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message.startsWith(QLatin1String("Received ")))
        s_debugLines << message;
    else if (s_previousHandler)
        s_previousHandler(type, context, message);
}

// A request as the simulator logs it, without its CRC.
QString frame(int slave, int fc, int address, int count)
{
    return QString::asprintf("%02x%02x%04x%04x", slave, fc, address, count);
}

bool crcHolds(const QByteArray &frame)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i + 2 < frame.size(); ++i) {
        crc ^= quint8(frame.at(i));
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return frame.size() >= 4 && quint8(frame.at(frame.size() - 2)) == (crc & 0xFF) &&
           quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

QStringList withoutCrc(const QStringList &frames)
{
    QStringList out;
    for (const QString &f : frames)
        out << f.left(f.size() - 4);
    return out;
}

// A slave that is no sensor: it echoes every request, which is the normal answer to a
// single register write.
class EchoSlave
{
public:
    EchoSlave()
    {
        int slaveFd = -1;
        if (::openpty(&m_master, &slaveFd, nullptr, nullptr, nullptr) == 0) {
            m_path = QString::fromLocal8Bit(::ttyname(slaveFd));
            m_keepOpen = slaveFd;
            m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                             [this] {
                                 char buffer[256];
                                 const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                                 if (n > 0 && ::write(m_master, buffer, size_t(n)) != n)
                                     qWarning("echo slave: short write");
                             });
        }
    }
    ~EchoSlave()
    {
        m_notifier.reset();
        ::close(m_master);
        ::close(m_keepOpen);
    }
    QString path() const { return m_path; }

private:
    int m_master = -1;
    int m_keepOpen = -1;
    QString m_path;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

QJsonArray array(const QVector<int> &values)
{
    QJsonArray out;
    for (int v : values)
        out.append(v);
    return out;
}

} // namespace

class tst_BriscaDevice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void probe_data();
    void probe();
    void readSettings();
    void writeBackBeforeHoldingAnswer();
    void updateMeasurements();
    void requestImage();
    void frameWithFailedChunks();
    void regionTemperatures();
    void cacheHandlers();
    void writes_data();
    void writes();
    void writesThatSetTheirFieldFirst();
    void slaveAddressThenSerialSettings();
    void errorsWhenNotConnected();
    void responseErrors();
    void factoryResetSendsOnce();
    void linkLossClosesThePort();
    void statisticsAgreeWithTheSensorsLog();
    void strayAnswersNeverReachACache_data();
    void strayAnswersNeverReachACache();

private:
    bool open(const QStringList &simArgs = {}, int timeoutMs = 3000);
    bool openPort(const QString &port, int timeoutMs);
    QString startState();
    QStringList statuses() const;

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<BriscaDevice> m_device;
    QStringList m_events;
};

void tst_BriscaDevice::initTestCase()
{
    qRegisterMetaType<QModbusDevice::Error>();
    s_previousHandler = qInstallMessageHandler(captureDebug);
}

void tst_BriscaDevice::init()
{
    m_sim = std::make_unique<SimProcess>();
    m_device = std::make_unique<BriscaDevice>();
    m_events.clear();
    s_debugLines.clear();
    BriscaDevice *d = m_device.get();
    connect(d, &BriscaDevice::signal_status, d,
            [this](const QString &s) { m_events << "status:" + s; });
    connect(d, &BriscaDevice::coilsDataReady, d, [this] { m_events << "coils"; });
    connect(d, &BriscaDevice::inputRegsDataReady, d, [this] { m_events << "input"; });
    connect(d, &BriscaDevice::holdingRegsDataReady, d, [this] { m_events << "holding"; });
    connect(d, &BriscaDevice::discreteInputsDataReady, d, [this] { m_events << "discrete"; });
    connect(d, &BriscaDevice::pixelDataReady, d, [this] { m_events << "pixels"; });
    connect(d, &BriscaDevice::app3DataReady, d, [this] { m_events << "app3"; });
    connect(d, &BriscaDevice::connectionValidated, d, [this] { m_events << "validated"; });
}

void tst_BriscaDevice::cleanup()
{
    if (m_device)
        m_device->disconnectDevice();
    m_device.reset();
    m_sim.reset();
}

bool tst_BriscaDevice::openPort(const QString &port, int timeoutMs)
{
    BriscaDevice &d = *m_device;
    d.setConnectionParameter(QModbusDevice::SerialPortNameParameter, port);
    d.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    d.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    d.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    d.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    d.setTimeout(timeoutMs);
    d.setNumberOfRetries(0);
    d.slaveAddress = 1;
    return d.connectDevice() && d.state() == QModbusDevice::ConnectedState;
}

bool tst_BriscaDevice::open(const QStringList &simArgs, int timeoutMs)
{
    return m_sim->start(simArgs) && openPort(m_sim->linkPath(), timeoutMs);
}

// A known register map, so that every read and every changed register can be checked.
QString tst_BriscaDevice::startState()
{
    QVector<int> input(1305, 0);
    for (int a = 0; a <= 24; ++a)
        input[a] = 0x100 + a;
    input[25] = 3001, input[26] = 3002, input[27] = 3003, input[28] = 3004;
    for (int i = 0; i < 1024; ++i)
        input[281 + i] = 2000 + i;
    QJsonObject map;
    map["coils"] = array({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    map["discrete_inputs"] = array({0, 0, 0, 1, 0});
    map["holding"] = array({1, 22, 3731, 2731, 3231, 2931, 3331, 2831, 500, 95, 8, 4, 2, 3});
    map["input"] = array(input);
    return m_sim->writeJson("start.json", map);
}

QStringList tst_BriscaDevice::statuses() const
{
    QStringList out;
    for (const QString &e : m_events)
        if (e.startsWith(QLatin1String("status:")))
            out << e.mid(7);
    return out;
}

static const char NoDevice[] =
    "Could not find valid device. Verify connection settings and slave address";

void tst_BriscaDevice::probe_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<bool>("valid");
    QTest::newRow("exception 3 proves a sensor") << "" << false << true;
    QTest::newRow("exception 2") << "exception:2,fc=6" << false << false;
    QTest::newRow("no answer") << "silent,fc=6" << false << false;
    QTest::newRow("write accepted") << "" << true << false;
}

void tst_BriscaDevice::probe()
{
    QFETCH(QString, fault);
    QFETCH(bool, echo);
    QFETCH(bool, valid);
    EchoSlave echoSlave;
    if (echo)
        QVERIFY(openPort(echoSlave.path(), 300));
    else
        QVERIFY(open(fault.isEmpty() ? QStringList() : QStringList{"--fault", fault}, 300));
    m_device->slaveAddress = 9;
    m_device->selectSlave(1);
    QTRY_COMPARE(m_events.size(), 1);
    QCOMPARE(m_events.first(), valid ? QString("validated") : "status:" + QString(NoDevice));
    QCOMPARE(m_device->slaveAddress, quint8(9));
    if (!echo)
        QCOMPARE(withoutCrc(m_sim->received()), QStringList{"0106000a03e8"});
}

void tst_BriscaDevice::readSettings()
{
    QVERIFY(open({"--load", startState(), "--fps", "0"}));
    m_device->slaveAddress = 0;
    m_device->readSettings(1);
    QTRY_COMPARE(m_events.size(), 3);
    QCOMPARE(m_events, (QStringList{"status:Reading settings, please wait", "coils", "holding"}));
    QCOMPARE(withoutCrc(m_sim->received()), (QStringList{frame(1, 1, 0, 13), frame(1, 3, 0, 14)}));
    const BriscaDevice &d = *m_device;
    QCOMPARE(d.slaveAddress, quint8(1));
    QCOMPARE(d.serialSettings, quint16(22));
    QCOMPARE(int(d.app1MaxThreshold), quint16(3731));
    QCOMPARE(int(d.app3MinThreshold), quint16(2831));
    QCOMPARE(int(d.alarmDuration), quint16(500));
    QCOMPARE(int(d.emissivity), quint8(95));
    QCOMPARE(int(d.temperatureChoice), quint8(3));
    QVERIFY(d.noNcOutputActive && !d.noNcEnabled && !d.frameAverage);
    QCOMPARE(d.numberOfRetries(), 3);
    QCOMPARE(s_debugLines.size(), 13 + 14);
    QCOMPARE(s_debugLines.at(11), QString("Received coil data from sensor: Address: 11, Value: 1"));
    QCOMPARE(s_debugLines.at(13 + 2),
             QString("Received holding registers data from sensor: Address: 2, Value: e93"));
}

// The window writes a setting back as soon as it has shown the coils, before the holding
// registers with the sensor's own address arrive: that write must reach the validated
// sensor, not every sensor on the bus.
void tst_BriscaDevice::writeBackBeforeHoldingAnswer()
{
    QJsonObject map;
    map["holding"] = array({7, 22});
    QVERIFY(open({"--load", m_sim->writeJson("seven.json", map), "--fps", "0"}));
    m_device->slaveAddress = 0;
    // Once: the echo of the write is coil data again.
    bool written = false;
    connect(m_device.get(), &BriscaDevice::coilsDataReady, m_device.get(), [this, &written] {
        if (!std::exchange(written, true))
            m_device->writeNoNcEnabled(true);
    });
    m_device->readSettings(7);
    QTRY_COMPARE(m_sim->received().size(), 3);
    QCOMPARE(withoutCrc(m_sim->received()),
             (QStringList{frame(7, 1, 0, 13), frame(7, 3, 0, 14), frame(7, 5, 0, 0xff00)}));
    QTRY_COMPARE(m_sim->stateArray("coils").value(0), 1);
}

void tst_BriscaDevice::updateMeasurements()
{
    QVERIFY(open({"--load", startState(), "--fps", "0"}));
    m_device->app2AvgTemp = 77;
    m_device->updateMeasurements();
    QTRY_COMPARE(m_events.size(), 7);
    QCOMPARE(m_events,
             (QStringList{"input", "input", "discrete", "input", "app3", "app3", "app3"}));
    QCOMPARE(
        withoutCrc(m_sim->received()),
        (QStringList{frame(1, 4, 0, 5), frame(1, 4, 24, 1), frame(1, 2, 0, 5), frame(1, 4, 5, 19),
                     frame(1, 4, 25, 125), frame(1, 4, 150, 125), frame(1, 4, 275, 6)}));
    const BriscaDevice &d = *m_device;
    QCOMPARE(d.app1MinTemp, quint16(0x100));
    QCOMPARE(d.app1MaxPosition, quint16(0x103));
    QCOMPARE(d.app3Block.size(), 16);
    QCOMPARE(d.app3Block.first(), quint16(0x105));
    QCOMPARE(d.app3Block.last(), quint16(0x114));
    QCOMPARE(d.app3Counter, quint16(0x117));
    QCOMPARE(d.app2AvgTemp, quint16(0x118));
    QVERIFY(d.app2Alarm && !d.app1Alarm && !d.app3Alarm && !d.discreteInput0);
    QCOMPARE(d.roiTemperatures, (QVector<quint16>{3001, 3002, 3003, 3004}));
    // No log lines for the region chunks; the block 5..20 logs one line.
    QCOMPARE(s_debugLines.size(), 5 + 1 + 5 + 4);
    QCOMPARE(s_debugLines.at(11),
             QString("Received input registers data from sensor: Address: 20, Value: 114"));
}

void tst_BriscaDevice::requestImage()
{
    QVERIFY(open({"--pattern", "ramp", "--fps", "0"}));
    QSignalSpy pixels(m_device.get(), &BriscaDevice::pixelDataReady);
    m_device->requestImage();
    QTRY_COMPARE(pixels.size(), 1);
    QCOMPARE(m_events.first(), QString("status:Grabbing image..."));
    QCOMPARE(m_events.mid(1), (QStringList{"input", "input", "discrete", "input", "app3", "app3",
                                           "app3", "pixels"}));
    QStringList expected{frame(1, 4, 0, 5),  frame(1, 4, 24, 1),   frame(1, 2, 0, 5),
                         frame(1, 4, 5, 19), frame(1, 4, 25, 125), frame(1, 4, 150, 125),
                         frame(1, 4, 275, 6)};
    for (int start = 281; start <= 1304; start += 125)
        expected << frame(1, 4, start, qMin(125, 1305 - start));
    QCOMPARE(withoutCrc(m_sim->received()), expected);
    QCOMPARE(expected.size(), 16);
    const auto image = pixels.first().first().value<QVector<quint16>>();
    QCOMPARE(image.size(), 1024);
    for (int i = 0; i < 1024; ++i)
        QCOMPARE(image.at(i), quint16(2731 + i));
}

void tst_BriscaDevice::frameWithFailedChunks()
{
    QVERIFY(open({"--load", startState(), "--fps", "0"}, 300));
    QSignalSpy pixels(m_device.get(), &BriscaDevice::pixelDataReady);
    m_device->requestImage();
    QTRY_COMPARE(pixels.size(), 1);

    // A failed middle chunk: the frame still comes, its part from the previous frame.
    QVERIFY(m_sim->command("set input 281 111"));
    QVERIFY(m_sim->command("set input 600 222"));
    QVERIFY(m_sim->command("set input 1304 333"));
    QVERIFY(m_sim->command("fault exception:4,fc=4,addr=531,count=1"));
    m_events.clear();
    m_device->requestImage();
    QTRY_COMPARE(pixels.size(), 2);
    auto image = pixels.last().first().value<QVector<quint16>>();
    QCOMPARE(image.at(0), quint16(111));
    QCOMPARE(image.at(600 - 281), quint16(2000 + 600 - 281));
    QCOMPARE(image.at(1023), quint16(333));
    QVERIFY(statuses().last().startsWith("Read response error: "));
    QVERIFY(statuses().last().endsWith(" (Mobus exception: 0x4)"));

    // A failed last chunk: no frame at all.
    QVERIFY(m_sim->command("fault silent,fc=4,addr=1281,count=1"));
    m_events.clear();
    m_device->requestImage();
    QTRY_VERIFY(statuses().size() == 2);
    QVERIFY(statuses().last().endsWith(" (code: 0x5)"));
    QCOMPARE(m_events.last(), "status:" + statuses().last());
    QCOMPARE(pixels.size(), 2);
}

void tst_BriscaDevice::regionTemperatures()
{
    QVERIFY(open({"--load", startState(), "--fps", "0"}, 300));
    // Two reads with no image in between: only the newest read is kept.
    m_device->readApp3Data();
    QVERIFY(m_sim->command("set input 25 2999"));
    QVERIFY(m_sim->command("set input 200 3100"));
    m_device->readApp3Data();
    QTRY_COMPARE(m_events.count("app3"), 6);
    QCOMPARE(m_device->roiTemperatures, (QVector<quint16>{2999, 3002, 3003, 3004, 3100}));

    // A failed first chunk still ends the old read.
    QVERIFY(m_sim->command("fault exception:4,fc=4,addr=25,count=1"));
    m_device->readApp3Data();
    QTRY_COMPARE(m_events.count("app3"), 8);
    QTRY_COMPARE(statuses().size(), 1);
    QCOMPARE(m_device->roiTemperatures, QVector<quint16>{3100});
}

void tst_BriscaDevice::cacheHandlers()
{
    BriscaDevice &d = *m_device;
    // A short unit: the missing positions count as 0.
    d.noNcEnabled = d.app3Enabled = d.frameAverage = d.noNcOutputActive = true;
    QModbusDataUnit coils(QModbusDataUnit::Coils, 0, QVector<quint16>{1});
    coils.setValueCount(13);
    d.handleCoils(coils);
    QVERIFY(d.noNcEnabled && !d.app3Enabled && !d.frameAverage && !d.noNcOutputActive);
    QCOMPARE(s_debugLines.size(), 13);

    // Coil 12 is logged and announced but kept nowhere.
    d.handleCoils(QModbusDataUnit(QModbusDataUnit::Coils, 12, QVector<quint16>{1}));
    QVERIFY(d.noNcEnabled && !d.app3Enabled && !d.frameAverage && !d.noNcOutputActive);
    QCOMPARE(s_debugLines.last(), QString("Received coil data from sensor: Address: 12, Value: 1"));

    d.setNumberOfRetries(0);
    d.handleHoldingRegisters(
        QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, QVector<quint16>{0x0105, 22}));
    QCOMPARE(d.slaveAddress, quint8(5));
    QCOMPARE(d.numberOfRetries(), 3);
    d.handleHoldingRegisters(
        QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 9, QVector<quint16>{0x1234}));
    QCOMPARE(int(d.emissivity), quint8(0x34));

    d.app2AvgTemp = 77;
    s_debugLines.clear();
    QVector<quint16> block;
    for (int a = 5; a <= 23; ++a)
        block << quint16(1000 + a);
    d.handleInputRegisters(QModbusDataUnit(QModbusDataUnit::InputRegisters, 5, block));
    QCOMPARE(d.app3Block, block.mid(0, 16));
    QCOMPARE(d.app3HighestBreachTemp, quint16(1021));
    QCOMPARE(d.app3HighestBreachArea, quint16(1022));
    QCOMPARE(d.app3Counter, quint16(1023));
    QCOMPARE(d.app2AvgTemp, quint16(77));
    QCOMPARE(s_debugLines,
             (QStringList{"Received input registers data from sensor: Address: 20, Value: 3fc",
                          "Received input registers data from sensor: Address: 21, Value: 3fd",
                          "Received input registers data from sensor: Address: 22, Value: 3fe",
                          "Received input registers data from sensor: Address: 23, Value: 3ff"}));

    d.handleDiscreteInputs(
        QModbusDataUnit(QModbusDataUnit::DiscreteInputs, 0, QVector<quint16>{0, 0, 0, 1, 0}));
    QVERIFY(d.app2Alarm && !d.app1Alarm && !d.app3Alarm && !d.discreteInput0 && !d.discreteInput1);
    QCOMPARE(s_debugLines.last(),
             QString("Received discrete inputs data from sensor: Address: 4, Value: 0"));
    QCOMPARE(m_events, (QStringList{"coils", "coils", "holding", "holding", "input", "discrete"}));
}

void tst_BriscaDevice::writes_data()
{
    QTest::addColumn<DeviceCall>("call");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("address");
    QTest::addColumn<QVector<int>>("values");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<DeviceCall>("check");

    auto row = [](const char *name, DeviceCall call, const QString &request, const QString &table,
                  int address, QVector<int> values, const QString &signal, DeviceCall check) {
        QTest::newRow(name) << call << request << table << address << values << signal << check;
    };
    const QString coils = "coils", holding = "holding";
    row(
        "noNcEnabled", [](BriscaDevice &d) { d.writeNoNcEnabled(true); }, "01050000ff00", coils, 0,
        {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.noNcEnabled); });
    row(
        "alarmTimerBased", [](BriscaDevice &d) { d.writeAlarmTimerBased(true); }, "01050001ff00",
        coils, 1, {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.alarmTimerBased); });
    row(
        "outputBehavior", [](BriscaDevice &d) { d.writeOutputBehavior(true); }, "01050002ff00",
        coils, 2, {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.outputNormallyClosed); });
    row(
        "transistorType", [](BriscaDevice &d) { d.writeTransistorType(true); }, "01050003ff00",
        coils, 3, {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.transistorNpn); });
    row(
        "counterType", [](BriscaDevice &d) { d.writeCounterType(true); }, "01050004ff00", coils, 4,
        {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.counterUnidirectional); });
    row(
        "app1Enabled", [](BriscaDevice &d) { d.writeApp1Enabled(true); }, "01050005ff00", coils, 5,
        {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.app1Enabled); });
    row(
        "app2Enabled", [](BriscaDevice &d) { d.writeApp2Enabled(true); }, "01050006ff00", coils, 6,
        {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.app2Enabled); });
    row(
        "app3Enabled", [](BriscaDevice &d) { d.writeApp3Enabled(true); }, "01050007ff00", coils, 7,
        {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.app3Enabled); });
    row(
        "app1LimitFov", [](BriscaDevice &d) { d.writeApp1LimitFov(true); }, "01050009ff00", coils,
        9, {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.app1LimitFov); });
    row(
        "frameAverage", [](BriscaDevice &d) { d.writeFrameAverage(true); }, "0105000aff00", coils,
        10, {1}, "coils", [](BriscaDevice &d) { QVERIFY(d.frameAverage); });
    row(
        "clearNoNcOutput", [](BriscaDevice &d) { d.clearNoNcOutput(); }, "0105000b0000", coils, 11,
        {0}, "coils", [](BriscaDevice &d) { QVERIFY(!d.noNcOutputActive); });
    // The counter reset leaves no field behind; the sensor's counter drops to 0.
    row(
        "resetApp3Counter", [](BriscaDevice &d) { d.resetApp3Counter(); }, "0105000cff00", "input",
        23, {0}, "coils", [](BriscaDevice &) {});
    row(
        "alarmDuration", [](BriscaDevice &d) { d.writeAlarmDuration(1234); }, "0106000804d2",
        holding, 8, {1234}, "holding",
        [](BriscaDevice &d) { QCOMPARE(int(d.alarmDuration), 1234); });
    row(
        "emissivity", [](BriscaDevice &d) { d.writeEmissivity(42); }, "01060009002a", holding, 9,
        {42}, "holding", [](BriscaDevice &d) { QCOMPARE(int(d.emissivity), 42); });
    row(
        "reticleSize", [](BriscaDevice &d) { d.writeReticleSize(32); }, "0106000a0020", holding, 10,
        {32}, "holding", [](BriscaDevice &d) { QCOMPARE(int(d.reticleSize), 32); });
    row(
        "movingAverageWindow", [](BriscaDevice &d) { d.writeMovingAverageWindow(16); },
        "0106000b0010", holding, 11, {16}, "holding",
        [](BriscaDevice &d) { QCOMPARE(int(d.movingAverageWindow), 16); });
    row(
        "gridRoiSize", [](BriscaDevice &d) { d.writeGridRoiSize(4); }, "0106000c0004", holding, 12,
        {4}, "holding", [](BriscaDevice &d) { QCOMPARE(int(d.gridRoiSize), 4); });
    row(
        "temperatureChoice", [](BriscaDevice &d) { d.writeTemperatureChoice(1); }, "0106000d0001",
        holding, 13, {1}, "holding",
        [](BriscaDevice &d) { QCOMPARE(int(d.temperatureChoice), 1); });
    row(
        "app1Thresholds", [](BriscaDevice &d) { d.writeApp1Thresholds(3731, 2731); },
        "011000020002040e930aab", holding, 2, {3731, 2731}, "holding",
        [](BriscaDevice &d) {
            QCOMPARE(int(d.app1MaxThreshold), 3731);
            QCOMPARE(int(d.app1MinThreshold), 2731);
        });
    row(
        "app2Thresholds", [](BriscaDevice &d) { d.writeApp2Thresholds(9431, 2531); },
        "0110000400020424d709e3", holding, 4, {9431, 2531}, "holding",
        [](BriscaDevice &d) {
            QCOMPARE(int(d.app2MaxThreshold), 9431);
            QCOMPARE(int(d.app2MinThreshold), 2531);
        });
    row(
        "app3Thresholds", [](BriscaDevice &d) { d.writeApp3Thresholds(2981, 2531); },
        "011000060002040ba509e3", holding, 6, {2981, 2531}, "holding",
        [](BriscaDevice &d) {
            QCOMPARE(int(d.app3MaxThreshold), 2981);
            QCOMPARE(int(d.app3MinThreshold), 2531);
        });
}

void tst_BriscaDevice::writes()
{
    QFETCH(DeviceCall, call);
    QFETCH(QString, request);
    QFETCH(QString, table);
    QFETCH(int, address);
    QFETCH(QVector<int>, values);
    QFETCH(QString, signal);
    QFETCH(DeviceCall, check);
    QVERIFY(open({"--load", startState(), "--fps", "0"}));
    call(*m_device);
    QTRY_COMPARE(m_events.size(), 2);
    QCOMPARE(m_events, (QStringList{signal, "status:Value successfully updated"}));
    QCOMPARE(withoutCrc(m_sim->received()), QStringList{request});
    QTRY_COMPARE(m_sim->stateArray(table).mid(address, values.size()), values);
    check(*m_device);
}

void tst_BriscaDevice::writesThatSetTheirFieldFirst()
{
    QVERIFY(open({"--fault", "exception:4"}));
    m_device->writeApp1LimitFov(true);
    m_device->writeFrameAverage(true);
    QVERIFY(m_device->app1LimitFov && m_device->frameAverage);
    QTRY_COMPARE(m_events.size(), 2);
    for (const QString &e : m_events)
        QVERIFY2(e.startsWith("status:Write response error: ") &&
                     e.endsWith(" (Mobus exception: 0x4)"),
                 qPrintable(e));
    QVERIFY(m_device->app1LimitFov && m_device->frameAverage);
}

void tst_BriscaDevice::slaveAddressThenSerialSettings()
{
    QVERIFY(open({"--slave", "5"}));
    m_device->slaveAddress = 5;
    m_device->setNumberOfRetries(3);
    m_device->writeSlaveAddress(9);
    QCOMPARE(m_device->slaveAddress, quint8(9));
    m_device->writeSerialSettings(115200, 2);
    QCOMPARE(m_device->numberOfRetries(), 0);
    QTRY_COMPARE(m_events.size(), 4);
    QCOMPARE(m_events, (QStringList{"holding", "status:Value successfully updated", "holding",
                                    "status:Value successfully updated"}));
    QCOMPARE(withoutCrc(m_sim->received()), (QStringList{"050600000009", "090600010029"}));
    QCOMPARE(m_device->slaveAddress, quint8(9));
    QCOMPARE(m_device->serialSettings, quint16(41));
    QCOMPARE(m_device->numberOfRetries(), 3);
    QTRY_COMPARE(m_sim->stateArray("holding").mid(0, 2), (QVector<int>{9, 41}));
}

void tst_BriscaDevice::errorsWhenNotConnected()
{
    BriscaDevice &d = *m_device;
    d.slaveAddress = 1;
    d.readSettings(1);
    const QString readError = "Read error: " + d.errorString();
    QCOMPARE(statuses(), (QStringList{"Reading settings, please wait", readError, readError}));
    m_events.clear();
    d.requestImage();
    QCOMPARE(statuses().size(), 1 + 16);
    QCOMPARE(statuses().count(readError), 16);

    m_events.clear();
    d.writeEmissivity(50);
    d.writeApp1Thresholds(3000, 2900);
    d.resetApp3Counter();
    d.selectSlave(1);
    d.factoryReset();
    QVERIFY(m_events.isEmpty());
    d.writeSlaveAddress(3);
    d.writeSerialSettings(19200, 1);
    const QString writeError = "Write error: " + d.errorString();
    QCOMPARE(statuses(), (QStringList{writeError, writeError}));
    QCOMPARE(d.slaveAddress, quint8(1));
}

void tst_BriscaDevice::responseErrors()
{
    QVERIFY(open({"--fault", "silent,fc=1,count=1", "--fault", "exception:2,fc=3,count=1",
                  "--fault", "silent,fc=6,count=1", "--fault", "exception:3,fc=6,after=1,count=1"},
                 200));
    m_device->readSettings(1);
    m_device->writeEmissivity(20);
    m_device->writeEmissivity(20);
    QTRY_COMPARE(statuses().size(), 5);
    const QStringList s = statuses();
    QVERIFY(s[1].startsWith("Read response error: ") && s[1].endsWith(" (code: 0x5)"));
    QVERIFY(s[2].startsWith("Read response error: ") && s[2].endsWith(" (Mobus exception: 0x2)"));
    QVERIFY(s[3].startsWith("Write response error: ") && s[3].endsWith(" (code: 0x5)"));
    QVERIFY(s[4].startsWith("Write response error: ") && s[4].endsWith(" (Mobus exception: 0x3)"));
    QCOMPARE(m_events.size(), 5); // no data signal after an error
    QVERIFY(s_debugLines.isEmpty());
}

void tst_BriscaDevice::factoryResetSendsOnce()
{
    QVERIFY(open({}, 300));
    m_device->setNumberOfRetries(3);
    m_device->factoryReset();
    QCOMPARE(m_device->numberOfRetries(), 3);
    m_device->readCoils(1);
    QTRY_COMPARE(m_events.size(), 1);
    QCOMPARE(m_events.first(), QString("coils"));
    // The sensor never answers the reset; a retried reset would show up here again.
    QCOMPARE(m_sim->received().size(), 2);
    QVERIFY(m_sim->received().first().startsWith("01ff"));
    QCOMPARE(m_sim->received().first().size(), 8);
}

void tst_BriscaDevice::linkLossClosesThePort()
{
    QVERIFY(open({"--pattern", "ramp", "--fault", "hangup,fc=4,addr=531"}, 5000));
    QSignalSpy errors(m_device.get(), &QModbusDevice::errorOccurred);
    m_device->requestImage();
    QTRY_COMPARE(m_device->state(), QModbusDevice::UnconnectedState);
    // The request on the line ends as aborted; those still waiting never reach it and end
    // without a word each. The frame never completes.
    QTRY_COMPARE(statuses().filter(" (code: 0x7)").size(), 1);
    QVERIFY(m_device->isIdle());
    QCOMPARE(m_device->imagesPending(), 0);
    QVERIFY(!m_events.contains("pixels"));
    QVERIFY2(errors.size() <= 10, qPrintable(QString::number(errors.size())));
    QVERIFY(m_sim->waitForFinished());
}

// Tries, answers, lost and damaged answers, refusals and a stray answer, counted by the
// device, against what the sensor logged of the same run.
void tst_BriscaDevice::statisticsAgreeWithTheSensorsLog()
{
    QVERIFY(open({"--load", startState(), "--fps", "0",
                  // the coil read's first answer damaged, the holding read refused
                  "--fault", "badcrc,fc=1,count=1", "--fault", "exception:2,fc=3,count=1",
                  // the measurements never answered, on both tries
                  "--fault", "silent,fc=4,addr=0,count=2",
                  // the block's first answer comes after its try gave up, while the second
                  // try waits; the second answer then meets the first region chunk
                  "--fault", "late:450,fc=4,addr=5,count=1", "--fault",
                  "late:300,fc=4,addr=5,after=1,count=1"},
                 300));
    m_device->setNumberOfRetries(1);
    QSignalSpy changed(m_device.get(), &BriscaDevice::statisticsChanged);
    m_device->readSettings(1);
    m_device->readApp1Measurements();
    m_device->readApp3Data();
    QTRY_VERIFY_WITH_TIMEOUT(m_device->isIdle() && m_events.count("app3") == 2, 10000);

    const QStringList rx = withoutCrc(m_sim->received());
    QCOMPARE(rx, (QStringList{frame(1, 1, 0, 13), frame(1, 1, 0, 13), frame(1, 3, 0, 14),
                              frame(1, 4, 0, 5), frame(1, 4, 0, 5), frame(1, 2, 0, 5),
                              frame(1, 4, 5, 19), frame(1, 4, 5, 19), frame(1, 4, 25, 125),
                              frame(1, 4, 150, 125), frame(1, 4, 275, 6)}));
    // What the sensor sent: nothing to the two silent tries, a damaged answer, a refusal.
    const QStringList tx = m_sim->sent();
    int damaged = 0, refusals = 0;
    for (const QString &answer : tx) {
        if (!crcHolds(QByteArray::fromHex(answer.toLatin1())))
            ++damaged;
        else if (answer.mid(2, 2).toInt(nullptr, 16) & 0x80)
            ++refusals;
    }
    const int silent = rx.size() - tx.size();

    const LinkStatistics &s = m_device->statistics();
    QCOMPARE(s.requests, quint64(rx.size()));
    QCOMPARE(s.exceptions, (QMap<quint8, quint64>{{2, quint64(refusals)}}));
    // Each silent or damaged try, and the block's first try, whose answer came too late.
    QCOMPARE(s.timeouts, quint64(silent + damaged + 1));
    QCOMPARE(s.strayAnswers, quint64(1));
    QCOMPARE(s.answers, quint64(5));
    QCOMPARE(s.otherErrors, quint64(0));
    QCOMPARE(s.finished(), s.requests);
    QVERIFY(s.lastAnswer.isValid() && s.lastFailure.isValid());
    QVERIFY(s.meanRoundTripMs >= 0 && s.lastRoundTripMs >= 0);
    QVERIFY(!changed.isEmpty());

    m_device->resetStatistics();
    QCOMPARE(m_device->statistics().requests, quint64(0));
    QVERIFY(!m_device->statistics().lastAnswer.isValid());
}

// Late answers that meet a later request of the same function: the shape check refuses
// those it can tell, and the silence after a failure keeps the others off the line. No
// foreign value reaches a cache or a frame.
void tst_BriscaDevice::strayAnswersNeverReachACache_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("retries");
    QTest::newRow("answer after its only try, same shape next")
        << QStringList{"--fault", "late:450,fc=4,addr=281,count=1"} << 0;
    QTest::newRow("answer after the first try, second answer meets another read")
        << QStringList{"--fault", "late:450,fc=4,addr=0,count=1", "--fault",
                       "late:300,fc=4,addr=0,after=1,count=1"}
        << 1;
}

void tst_BriscaDevice::strayAnswersNeverReachACache()
{
    QFETCH(QStringList, faults);
    QFETCH(int, retries);
    QVERIFY(open(QStringList{"--load", startState(), "--fps", "0"} + faults, 300));
    m_device->setNumberOfRetries(retries);
    QSignalSpy pixels(m_device.get(), &BriscaDevice::pixelDataReady);
    // Each time the caches change, not only at the end: a later good read would hide it.
    QStringList foreign;
    connect(m_device.get(), &BriscaDevice::inputRegsDataReady, this, [this, &foreign] {
        const BriscaDevice &d = *m_device;
        const quint16 held[] = {d.app1MinTemp, d.app1MinPosition, d.app1MaxTemp, d.app1MaxPosition,
                                d.app1AvgTemp};
        for (int a = 0; a < 5; ++a) {
            if (held[a] != 0 && held[a] != quint16(0x100 + a))
                foreign << QStringLiteral("input %1 = %2").arg(a).arg(held[a]);
        }
        if (d.app2AvgTemp != 0 && d.app2AvgTemp != 0x118)
            foreign << QStringLiteral("input 24 = %1").arg(d.app2AvgTemp);
    });
    m_device->requestImage();
    m_device->requestImage();
    QTRY_VERIFY_WITH_TIMEOUT(m_device->isIdle() && m_device->imagesPending() == 0, 10000);
    QVERIFY2(foreign.isEmpty(), qPrintable(foreign.join(QStringLiteral(", "))));

    // Every frame holds each pixel's own value (or none), every cache its register's.
    for (const QList<QVariant> &args : qAsConst(pixels)) {
        const auto image = args.first().value<QVector<quint16>>();
        for (int i = 0; i < 1024; ++i) {
            if (image.at(i) != 0 && image.at(i) != quint16(2000 + i))
                QFAIL(qPrintable(QStringLiteral("pixel %1 holds %2").arg(i).arg(image.at(i))));
        }
    }
    // The second image, after the line fell silent, came through whole.
    QVERIFY(!pixels.isEmpty());
    QCOMPARE(pixels.last().first().value<QVector<quint16>>().at(1023), quint16(2000 + 1023));
}

QTEST_GUILESS_MAIN(tst_BriscaDevice)
#include "tst_briscadevice.moc"
