#pragma once

#include "briscaregisters.h"

#include <QModbusDataUnit>
#include <QModbusRtuSerialMaster>
#include <QString>
#include <QVector>

#include <array>

class QModbusReply;

// The client's link to one Brisca sensor on an RS485 bus.
//
// Every operation only queues its requests and returns; results come back through the
// signals once the replies finish, and the last value received for each address stays in
// the public fields below. The Modbus master sends the queued requests one at a time in
// issue order, which the frame assembly relies on.
class BriscaDevice : public QModbusRtuSerialMaster
{
    Q_OBJECT
public:
    explicit BriscaDevice(QObject *parent = nullptr);
    ~BriscaDevice() override;

    // Validation of a slave: a genuine sensor refuses the probe with exception 0x03.
    void selectSlave(quint8 address);

    // Settings and measurement reads
    void readSettings(quint8 address);
    void readCoils(quint8 address);
    void readHoldingRegisters(quint8 address);
    void readDiscreteInputs();
    void readApp1Measurements();
    void readApp2Average();
    void readApp3Data();
    void updateMeasurements();

    // Frame and region temperature reads
    void requestImage();
    void readRoiTemperatures();

    // Setting writes; each echo runs through the cache handlers like a read.
    void writeNoNcEnabled(bool enabled);
    void writeAlarmTimerBased(bool timerBased);
    void writeOutputBehavior(bool normallyClosed);
    void writeTransistorType(bool npn);
    void writeCounterType(bool unidirectional);
    void writeApp1Enabled(bool enabled);
    void writeApp2Enabled(bool enabled);
    void writeApp3Enabled(bool enabled);
    void writeApp1LimitFov(bool limited);
    void writeFrameAverage(bool on);
    void clearNoNcOutput();
    void resetApp3Counter();
    void writeAlarmDuration(quint16 milliseconds);
    void writeEmissivity(quint8 percent);
    void writeReticleSize(quint8 side);
    void writeMovingAverageWindow(quint8 frames);
    void writeGridRoiSize(quint8 code);
    void writeTemperatureChoice(quint8 choice);
    void writeApp1Thresholds(quint16 max, quint16 min);
    void writeApp2Thresholds(quint16 max, quint16 min);
    void writeApp3Thresholds(quint16 max, quint16 min);

    // The sensor's own bus settings and commands
    void writeSlaveAddress(quint8 address);
    void writeSerialSettings(quint32 baud, quint8 parityIndex);
    void factoryReset();

    void writeUnit(const QModbusDataUnit &unit);
    static quint16 serialSettingsCode(quint32 baud, quint8 parityCode);

    // Cache handlers: store a received (or echoed) data unit and announce it.
    void handleCoils(const QModbusDataUnit &unit);
    void handleHoldingRegisters(const QModbusDataUnit &unit);
    void handleDiscreteInputs(const QModbusDataUnit &unit);
    void handleInputRegisters(const QModbusDataUnit &unit);

    // Holding registers
    quint8 slaveAddress = 0;
    quint16 serialSettings = 0;
    quint16 app1MaxThreshold = 0;
    quint16 app1MinThreshold = 0;
    quint16 app2MaxThreshold = 0;
    quint16 app2MinThreshold = 0;
    quint16 app3MaxThreshold = 0;
    quint16 app3MinThreshold = 0;
    quint16 alarmDuration = 0;
    quint8 emissivity = 0;
    quint8 reticleSize = 0;
    quint8 movingAverageWindow = 0;
    quint8 gridRoiSize = 0;
    quint8 temperatureChoice = 0;

    // Coils
    bool noNcEnabled = false;
    bool alarmTimerBased = false;
    bool outputNormallyClosed = false;
    bool transistorNpn = false;
    bool counterUnidirectional = false;
    bool app1Enabled = false;
    bool app2Enabled = false;
    bool app3Enabled = false;
    bool coil8 = false;
    bool noNcOutputActive = false;
    bool app1LimitFov = false;
    bool frameAverage = false;

    // Discrete inputs
    bool discreteInput0 = false;
    bool discreteInput1 = false;
    bool app1Alarm = false;
    bool app2Alarm = false;
    bool app3Alarm = false;

    // Input registers
    quint16 app1MinTemp = 0;
    quint16 app1MinPosition = 0;
    quint16 app1MaxTemp = 0;
    quint16 app1MaxPosition = 0;
    quint16 app1AvgTemp = 0;
    QVector<quint16> app3Block;
    quint16 app3HighestBreachTemp = 0;
    quint16 app3HighestBreachArea = 0;
    quint16 app3Counter = 0;
    quint16 app2AvgTemp = 0;

    // Non-zero region temperatures of the newest region read, first in first out; the
    // image view takes them from the front and empties the list.
    QVector<quint16> roiTemperatures;
    // The frame under assembly, element i from input register 281 + i.
    std::array<quint16, Brisca::FramePixelCount> frameBuffer{};

signals:
    void signal_status(QString s);
    void coilsDataReady();
    void inputRegsDataReady();
    void holdingRegsDataReady();
    void discreteInputsDataReady();
    void pixelDataReady(QVector<quint16> frame);
    void app3DataReady();
    void connectionValidated();

private slots:
    void dataReady();
    void pixelReqReturned();
    void writeReplyReady();
    void ROItempsReturned();
    void testCommandReturned();

private:
    enum class ReplyKind
    {
        Data,
        Pixels,
        RoiTemperatures
    };

    // Hands a read answer or a write echo to the cache handler of its table.
    void handleUnit(const QModbusDataUnit &unit);

    QModbusReply *sendRead(QModbusDataUnit::RegisterType type, int start, quint16 count, int server,
                           ReplyKind kind);
    QModbusReply *sendWrite(const QModbusDataUnit &unit, int server);
    void writeCoil(int address, bool value);
    void writeHolding(int address, quint16 value);
    void writeHoldingPair(int address, quint16 first, quint16 second);
    void handleLinkError(QModbusDevice::Error error);

    QString responseErrorText(const QModbusReply *reply, bool write) const;

    bool m_closeQueued = false;
};
