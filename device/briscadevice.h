#pragma once

#include "briscaregisters.h"
#include "linkstatistics.h"

#include <QElapsedTimer>
#include <QHash>
#include <QModbusDataUnit>
#include <QModbusRequest>
#include <QModbusRtuSerialMaster>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <array>
#include <deque>

class QModbusReply;

// The client's link to one Brisca sensor on an RS485 bus.
//
// Every operation only queues its requests and returns; results come back through the
// signals once the replies finish, and the last value received for each address stays in
// the public fields below. Requests go out one at a time in issue order, which the frame
// assembly relies on.
//
// The device hands the Modbus master one request at a time and repeats lost ones itself.
// Modbus RTU answers carry no request number, and the master matches an answer to the
// request under way by slave and function alone; so an answer whose type, start or value
// count cannot belong to its request is refused, and after a request has finally failed
// (or an answer was refused) the line is left to fall silent for about one reply timeout
// before the next request goes out, so that a late answer never meets a request it could
// be taken for.
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

    // Whether `answer` (a reply's result) can be the answer to the request for `asked`.
    static bool answerBelongs(const QModbusDataUnit &asked, const QModbusDataUnit &answer);

    // Traffic of the link, for a status line or a statistics dialog.
    const LinkStatistics &statistics() const { return m_statistics; }
    void resetStatistics();

    // A write of this register is queued or under way. While one is, an echo or a read of
    // the register shows a value the operator has already changed.
    bool writePending(QModbusDataUnit::RegisterType table, int address) const;
    // The value of the last write of the register that is queued or under way; `fallback`
    // when there is none.
    quint16 pendingValue(QModbusDataUnit::RegisterType table, int address, quint16 fallback) const;
    // Images asked for whose frame has neither arrived nor failed.
    int imagesPending() const { return m_imagesPending; }
    // Nothing queued, under way, or waiting for the line to fall silent.
    bool isIdle() const;

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
    // An image of requestImage() ended without its frame: the answer to its last chunk failed
    // or was refused, so no pixelDataReady follows for it. Not emitted when the operator's
    // own Disconnect ends it.
    void imageMissed();
    void app3DataReady();
    void connectionValidated();
    // A counter of statistics() changed.
    void statisticsChanged();
    // The input registers an answer has just put into the caches, announced before
    // inputRegsDataReady: what a window needs to tell which of its values are new.
    void inputRegistersReceived(int startAddress, int count);
    // A write of `count` registers from `address` failed or its echo was refused: the caches
    // still hold what the sensor held before it.
    void writeFailed(QModbusDataUnit::RegisterType table, int address, int count);

protected:
    bool open() override;
    void close() override;

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
        RoiTemperatures,
        Write,
        Probe,
        Command // the factory reset: nothing to evaluate
    };

    // One request as the device queues it until the master may have it.
    struct Request
    {
        enum class Send
        {
            Read,
            Write,
            Raw
        };
        Send send = Send::Read;
        QModbusDataUnit unit;
        QModbusRequest raw;
        int server = 0;
        ReplyKind kind = ReplyKind::Data;
        // Tries left after this one.
        int retries = 0;
        // Said when the master refuses the request outright; empty: nothing is said.
        QString refusedPrefix;
        bool firstRoiChunk = false;
        bool endsImage = false;
    };

    // What a finished reply amounts to, once the link has done its bookkeeping.
    enum class Outcome
    {
        Answer,
        Failed,  // an error the handler reports
        Refused, // a stray answer
        Retried, // lost; the request went out again
        Dropped  // ended by the operator's own Disconnect: nothing to report
    };

    // Hands a read answer or a write echo to the cache handler of its table.
    void handleUnit(const QModbusDataUnit &unit);

    // The one way every request goes out. False when it was refused at once.
    bool issue(Request request);
    void read(QModbusDataUnit::RegisterType type, int start, int count, int server,
              ReplyKind kind = ReplyKind::Data, bool firstRoiChunk = false, bool endsImage = false);
    bool write(const QModbusDataUnit &unit, int server, const QString &refusedPrefix = QString());
    void dispatchNext();
    QModbusReply *hand(const Request &request);
    // Bookkeeping of a request that has ended, whatever its outcome.
    void ended(const Request &request);
    Outcome conclude(QModbusReply *reply);
    void startQuiet();
    void quietElapsed();
    void countRoundTrip(const QElapsedTimer &clock);
    void writeCoil(int address, bool value);
    void writeHolding(int address, quint16 value);
    void writeHoldingPair(int address, quint16 first, quint16 second);
    void handleLinkError(QModbusDevice::Error error);

    QString responseErrorText(const QModbusReply *reply, bool write) const;
    QString strayAnswerText(bool write) const;

    static quint32 registerKey(QModbusDataUnit::RegisterType table, int address);

    std::deque<Request> m_queue;
    Request m_current;
    QPointer<QModbusReply> m_currentReply;
    QElapsedTimer m_currentClock;
    QTimer m_quiet;
    QElapsedTimer m_quietSince;
    QElapsedTimer m_lastByte;
    struct PendingWrite
    {
        int count = 0;
        quint16 value = 0;
    };
    QHash<quint32, PendingWrite> m_pendingWrites;
    int m_imagesPending = 0;
    LinkStatistics m_statistics;
    bool m_closeQueued = false;
    // The port failed under the link; replies aborted by closing it are errors to report.
    bool m_lineLost = false;
};

Q_DECLARE_METATYPE(QModbusDataUnit)
