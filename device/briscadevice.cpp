#include "briscadevice.h"

#include <QDataStream>
#include <QDebug>
#include <QModbusReply>
#include <QModbusRequest>

#include <algorithm>

namespace {

// Marks the reply of the first region chunk: its answer opens a new region read.
constexpr char FirstRoiChunkProperty[] = "briscaFirstRoiChunk";

void logValue(const char *prefix, int address, const QString &value)
{
    qDebug().noquote() << QLatin1String(prefix) +
                              QStringLiteral("Address: %1, Value: %2").arg(address).arg(value);
}

// The function code byte of an answer as it came off the line. Qt's RTU master turns that
// byte into the answer's code through a plain char, so an exception answer (bit 7 set) holds
// a negative value that is no FunctionCode, and QModbusPdu's inline accessors would read an
// out-of-range enum. Qt's own serialisation writes the byte back unchanged.
quint8 wireFunctionCode(const QModbusPdu &pdu)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << pdu;
    return bytes.isEmpty() ? quint8(0) : quint8(bytes.at(0));
}

bool isExceptionAnswer(const QModbusPdu &pdu)
{
    return wireFunctionCode(pdu) & QModbusPdu::ExceptionByte;
}

} // namespace

BriscaDevice::BriscaDevice(QObject *parent)
    : QModbusRtuSerialMaster(nullptr)
{
    setParent(parent);
    connect(this, &QModbusDevice::errorOccurred, this, &BriscaDevice::handleLinkError);
}

BriscaDevice::~BriscaDevice()
{
    // Normally the owner has already disconnected; closing here still frees the port when
    // it has not, so the next session finds the line in a clean state.
    if (state() != QModbusDevice::UnconnectedState)
        close();
    setState(QModbusDevice::UnconnectedState);
}

// --- Request machinery ---

QModbusReply *BriscaDevice::sendRead(QModbusDataUnit::RegisterType type, int start, quint16 count,
                                     int server, ReplyKind kind)
{
    QModbusReply *reply = sendReadRequest(QModbusDataUnit(type, start, count), server);
    if (!reply) {
        // A refused read never stops the operation it belongs to.
        emit signal_status(tr("Read error: ") + errorString());
        return nullptr;
    }
    if (reply->isFinished()) {
        reply->deleteLater();
        return nullptr;
    }
    switch (kind) {
    case ReplyKind::Data:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::dataReady);
        break;
    case ReplyKind::Pixels:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::pixelReqReturned);
        break;
    case ReplyKind::RoiTemperatures:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::ROItempsReturned);
        break;
    }
    return reply;
}

QModbusReply *BriscaDevice::sendWrite(const QModbusDataUnit &unit, int server)
{
    QModbusReply *reply = sendWriteRequest(unit, server);
    if (!reply)
        return nullptr;
    if (reply->isFinished()) {
        reply->deleteLater();
        return nullptr;
    }
    return reply;
}

QString BriscaDevice::responseErrorText(const QModbusReply *reply, bool write) const
{
    if (reply->error() == QModbusDevice::ProtocolError) {
        const QModbusResponse raw = reply->rawResult();
        const quint8 code = (isExceptionAnswer(raw) && raw.dataSize() >= 1)
                                ? quint8(raw.data().at(0))
                                : quint8(0xFF);
        const QString text = write ? tr("Write response error: %1 (Mobus exception: 0x%2)")
                                   : tr("Read response error: %1 (Mobus exception: 0x%2)");
        return text.arg(reply->errorString(), QString::number(code, 16));
    }
    const QString text = write ? tr("Write response error: %1 (code: 0x%2)")
                               : tr("Read response error: %1 (code: 0x%2)");
    return text.arg(reply->errorString(), QString::number(int(reply->error()), 16));
}

void BriscaDevice::handleLinkError(QModbusDevice::Error error)
{
    // A port that fails while connected (adapter pulled, line hung up) keeps reporting
    // errors forever and leaves every pending reply hanging, because the master never
    // leaves the connected state on its own. Closing the port ends both.
    if (error != QModbusDevice::ReadError && error != QModbusDevice::WriteError &&
        error != QModbusDevice::ConnectionError)
        return;
    if (state() != QModbusDevice::ConnectedState || m_closeQueued)
        return;
    m_closeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_closeQueued = false;
            disconnectDevice();
        },
        Qt::QueuedConnection);
}

// --- Validation ---

void BriscaDevice::selectSlave(quint8 address)
{
    const QModbusDataUnit probe(QModbusDataUnit::HoldingRegisters, Brisca::ProbeRegister,
                                QVector<quint16>{Brisca::ProbeValue});
    QModbusReply *reply = sendWrite(probe, address);
    if (reply)
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::testCommandReturned);
}

void BriscaDevice::testCommandReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    const QModbusResponse raw = reply->rawResult();
    // Only the refusal of the out-of-range value proves a sensor of this kind; a device
    // that accepts it, or refuses for another reason, is something else.
    if (reply->error() == QModbusDevice::ProtocolError && isExceptionAnswer(raw) &&
        raw.dataSize() >= 1 && quint8(raw.data().at(0)) == Brisca::ProbeExpectedException) {
        emit connectionValidated();
    } else {
        emit signal_status(
            tr("Could not find valid device. Verify connection settings and slave address"));
    }
    reply->deleteLater();
}

// --- Settings and measurement reads ---

void BriscaDevice::readSettings(quint8 address)
{
    emit signal_status(tr("Reading settings, please wait"));
    // The coil answer arrives before the holding registers that carry the sensor's own
    // address, and the window may write a setting back as soon as it has shown the coils;
    // until then the address just validated is the only meaningful one. Left at 0, that
    // write would be a broadcast to every sensor on the bus.
    slaveAddress = address;
    readCoils(address);
    readHoldingRegisters(address);
}

void BriscaDevice::readCoils(quint8 address)
{
    sendRead(QModbusDataUnit::Coils, 0, Brisca::CoilCount, address, ReplyKind::Data);
}

void BriscaDevice::readHoldingRegisters(quint8 address)
{
    sendRead(QModbusDataUnit::HoldingRegisters, 0, Brisca::HoldingRegisterCount, address,
             ReplyKind::Data);
}

void BriscaDevice::readDiscreteInputs()
{
    sendRead(QModbusDataUnit::DiscreteInputs, 0, Brisca::DiscreteInputCount, slaveAddress,
             ReplyKind::Data);
}

void BriscaDevice::readApp1Measurements()
{
    sendRead(QModbusDataUnit::InputRegisters, Brisca::InputApp1MinTemp,
             Brisca::App1MeasurementCount, slaveAddress, ReplyKind::Data);
}

void BriscaDevice::readApp2Average()
{
    sendRead(QModbusDataUnit::InputRegisters, Brisca::InputApp2AvgTemp, 1, slaveAddress,
             ReplyKind::Data);
}

void BriscaDevice::readApp3Data()
{
    readDiscreteInputs();
    sendRead(QModbusDataUnit::InputRegisters, Brisca::InputApp3BlockStart, Brisca::App3DataCount,
             slaveAddress, ReplyKind::Data);
    readRoiTemperatures();
}

void BriscaDevice::updateMeasurements()
{
    readApp1Measurements();
    readApp2Average();
    readApp3Data();
}

void BriscaDevice::handleUnit(const QModbusDataUnit &unit)
{
    switch (unit.registerType()) {
    case QModbusDataUnit::DiscreteInputs:
        handleDiscreteInputs(unit);
        break;
    case QModbusDataUnit::Coils:
        handleCoils(unit);
        break;
    case QModbusDataUnit::InputRegisters:
        handleInputRegisters(unit);
        break;
    case QModbusDataUnit::HoldingRegisters:
        handleHoldingRegisters(unit);
        break;
    default:
        break;
    }
}

void BriscaDevice::dataReady()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    if (reply->error() == QModbusDevice::NoError) {
        handleUnit(reply->result());
    } else {
        emit signal_status(responseErrorText(reply, false));
    }
    reply->deleteLater();
}

// --- Cache handlers ---

void BriscaDevice::handleCoils(const QModbusDataUnit &unit)
{
    bool *const fields[] = {&noNcEnabled,   &alarmTimerBased,       &outputNormallyClosed,
                            &transistorNpn, &counterUnidirectional, &app1Enabled,
                            &app2Enabled,   &app3Enabled,           &coil8,
                            &app1LimitFov,  &frameAverage,          &noNcOutputActive};
    constexpr int fieldCount = int(sizeof(fields) / sizeof(fields[0]));
    for (uint i = 0; i < unit.valueCount(); ++i) {
        const int address = unit.startAddress() + int(i);
        const quint16 value = unit.value(int(i));
        // Coil 12 (the counter reset) is only ever an event; there is nothing to keep.
        if (address >= 0 && address < fieldCount)
            *fields[address] = value != 0;
        logValue("Received coil data from sensor: ", address, QString::number(value));
    }
    emit coilsDataReady();
}

void BriscaDevice::handleHoldingRegisters(const QModbusDataUnit &unit)
{
    quint16 *const wideFields[] = {&app1MaxThreshold, &app1MinThreshold, &app2MaxThreshold,
                                   &app2MinThreshold, &app3MaxThreshold, &app3MinThreshold,
                                   &alarmDuration};
    quint8 *const narrowFields[] = {&emissivity, &reticleSize, &movingAverageWindow, &gridRoiSize,
                                    &temperatureChoice};
    for (uint i = 0; i < unit.valueCount(); ++i) {
        const int address = unit.startAddress() + int(i);
        const quint16 value = unit.value(int(i));
        if (address == Brisca::HoldingSlaveAddress) {
            slaveAddress = quint8(value & 0xFF);
        } else if (address == Brisca::HoldingSerialSettings) {
            serialSettings = value;
            // The sensor's bus settings are now known to match the line, so repeating a
            // lost request is safe again.
            setNumberOfRetries(3);
        } else if (address >= Brisca::HoldingApp1MaxThreshold &&
                   address <= Brisca::HoldingAlarmDuration) {
            *wideFields[address - Brisca::HoldingApp1MaxThreshold] = value;
        } else if (address >= Brisca::HoldingEmissivity &&
                   address <= Brisca::HoldingTemperatureChoice) {
            *narrowFields[address - Brisca::HoldingEmissivity] = quint8(value & 0xFF);
        }
        logValue("Received holding registers data from sensor: ", address,
                 QString::number(value, 16));
    }
    emit holdingRegsDataReady();
}

void BriscaDevice::handleDiscreteInputs(const QModbusDataUnit &unit)
{
    bool *const fields[] = {&discreteInput0, &discreteInput1, &app1Alarm, &app2Alarm, &app3Alarm};
    constexpr int fieldCount = int(sizeof(fields) / sizeof(fields[0]));
    for (uint i = 0; i < unit.valueCount(); ++i) {
        const int address = unit.startAddress() + int(i);
        const quint16 value = unit.value(int(i));
        if (address >= 0 && address < fieldCount)
            *fields[address] = value != 0;
        logValue("Received discrete inputs data from sensor: ", address, QString::number(value));
    }
    emit discreteInputsDataReady();
}

void BriscaDevice::handleInputRegisters(const QModbusDataUnit &unit)
{
    quint16 *const app1Fields[] = {&app1MinTemp, &app1MinPosition, &app1MaxTemp, &app1MaxPosition,
                                   &app1AvgTemp};
    quint16 *const tailFields[] = {&app3HighestBreachTemp, &app3HighestBreachArea, &app3Counter,
                                   &app2AvgTemp};
    for (uint i = 0; i < unit.valueCount(); ++i) {
        int address = unit.startAddress() + int(i);
        if (address == Brisca::InputApp3BlockStart) {
            // The block is taken as a whole and logged as one line, under its last address.
            app3Block.clear();
            for (int j = 0; j < Brisca::App3BlockSize; ++j)
                app3Block.append(unit.value(int(i) + j));
            i += Brisca::App3BlockSize - 1;
            address += Brisca::App3BlockSize - 1;
        } else if (address >= Brisca::InputApp1MinTemp && address <= Brisca::InputApp1AvgTemp) {
            *app1Fields[address] = unit.value(int(i));
        } else if (address >= Brisca::InputApp3HighestBreachTemp &&
                   address <= Brisca::InputApp2AvgTemp) {
            *tailFields[address - Brisca::InputApp3HighestBreachTemp] = unit.value(int(i));
        }
        logValue("Received input registers data from sensor: ", address,
                 QString::number(unit.value(int(i)), 16));
    }
    emit inputRegsDataReady();
}

// --- Frame and region temperatures ---

void BriscaDevice::requestImage()
{
    emit signal_status(tr("Grabbing image..."));
    updateMeasurements();
    for (int start = Brisca::InputFrameStart; start <= Brisca::InputFrameEnd;
         start += Brisca::MaxRegistersPerRead) {
        const int count = std::min(Brisca::MaxRegistersPerRead, Brisca::InputFrameEnd + 1 - start);
        sendRead(QModbusDataUnit::InputRegisters, start, quint16(count), slaveAddress,
                 ReplyKind::Pixels);
    }
}

void BriscaDevice::readRoiTemperatures()
{
    for (int start = Brisca::InputRoiTemperaturesStart; start <= Brisca::InputRoiTemperaturesEnd;
         start += Brisca::MaxRegistersPerRead) {
        const int count =
            std::min(Brisca::MaxRegistersPerRead, Brisca::InputRoiTemperaturesEnd + 1 - start);
        QModbusReply *reply = sendRead(QModbusDataUnit::InputRegisters, start, quint16(count),
                                       slaveAddress, ReplyKind::RoiTemperatures);
        if (reply && start == Brisca::InputRoiTemperaturesStart)
            reply->setProperty(FirstRoiChunkProperty, true);
    }
}

void BriscaDevice::pixelReqReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    if (reply->error() == QModbusDevice::NoError) {
        const QModbusDataUnit unit = reply->result();
        for (uint p = 0; p < unit.valueCount(); ++p) {
            const int k = unit.startAddress() + int(p) - Brisca::InputFrameStart;
            if (k < 0 || k >= Brisca::FramePixelCount)
                continue;
            frameBuffer[size_t(k)] = unit.value(int(p));
            if (k == Brisca::FramePixelCount - 1) {
                emit pixelDataReady(QVector<quint16>(frameBuffer.cbegin(), frameBuffer.cend()));
                break;
            }
        }
    } else {
        emit signal_status(responseErrorText(reply, false));
    }
    reply->deleteLater();
}

void BriscaDevice::ROItempsReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    // Whatever an earlier read left unconsumed belongs to another moment: drop it as soon
    // as a new read starts answering, so the regions are never labelled with old values and
    // the list never holds more than one read. A failed first chunk counts too; otherwise
    // the old values would sit in front of the new ones.
    if (reply->property(FirstRoiChunkProperty).toBool())
        roiTemperatures.clear();
    if (reply->error() == QModbusDevice::NoError) {
        const QModbusDataUnit unit = reply->result();
        const QVector<quint16> values = unit.values();
        const int present = std::min(int(unit.valueCount()), values.size());
        for (int p = 0; p < present; ++p) {
            if (values.at(p) != 0)
                roiTemperatures.append(values.at(p));
        }
        emit app3DataReady();
    } else {
        emit signal_status(responseErrorText(reply, false));
    }
    reply->deleteLater();
}

// --- Writes ---

void BriscaDevice::writeUnit(const QModbusDataUnit &unit)
{
    QModbusReply *reply = sendWrite(unit, slaveAddress);
    if (reply)
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::writeReplyReady);
}

void BriscaDevice::writeCoil(int address, bool value)
{
    writeUnit(
        QModbusDataUnit(QModbusDataUnit::Coils, address, QVector<quint16>{quint16(value ? 1 : 0)}));
}

void BriscaDevice::writeHolding(int address, quint16 value)
{
    writeUnit(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, address, QVector<quint16>{value}));
}

void BriscaDevice::writeHoldingPair(int address, quint16 first, quint16 second)
{
    writeUnit(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, address,
                              QVector<quint16>{first, second}));
}

void BriscaDevice::writeNoNcEnabled(bool enabled)
{
    writeCoil(Brisca::CoilNoNcEnabled, enabled);
}

void BriscaDevice::writeAlarmTimerBased(bool timerBased)
{
    writeCoil(Brisca::CoilAlarmTimerBased, timerBased);
}

void BriscaDevice::writeOutputBehavior(bool normallyClosed)
{
    writeCoil(Brisca::CoilOutputNormallyClosed, normallyClosed);
}

void BriscaDevice::writeTransistorType(bool npn)
{
    writeCoil(Brisca::CoilTransistorNpn, npn);
}

void BriscaDevice::writeCounterType(bool unidirectional)
{
    writeCoil(Brisca::CoilCounterUnidirectional, unidirectional);
}

void BriscaDevice::writeApp1Enabled(bool enabled)
{
    writeCoil(Brisca::CoilApp1Enabled, enabled);
}

void BriscaDevice::writeApp2Enabled(bool enabled)
{
    writeCoil(Brisca::CoilApp2Enabled, enabled);
}

void BriscaDevice::writeApp3Enabled(bool enabled)
{
    writeCoil(Brisca::CoilApp3Enabled, enabled);
}

void BriscaDevice::writeApp1LimitFov(bool limited)
{
    // Set ahead of the echo: the main window redraws the field of view from it at once.
    app1LimitFov = limited;
    writeCoil(Brisca::CoilApp1LimitFov, limited);
}

void BriscaDevice::writeFrameAverage(bool on)
{
    frameAverage = on;
    writeCoil(Brisca::CoilFrameAverage, on);
}

void BriscaDevice::clearNoNcOutput()
{
    writeCoil(Brisca::CoilNoNcOutputActive, false);
}

void BriscaDevice::resetApp3Counter()
{
    writeUnit(QModbusDataUnit(QModbusDataUnit::Coils, Brisca::CoilApp3CounterReset,
                              QVector<quint16>{0xFFFF}));
}

void BriscaDevice::writeAlarmDuration(quint16 milliseconds)
{
    writeHolding(Brisca::HoldingAlarmDuration, milliseconds);
}

void BriscaDevice::writeEmissivity(quint8 percent)
{
    writeHolding(Brisca::HoldingEmissivity, percent);
}

void BriscaDevice::writeReticleSize(quint8 side)
{
    writeHolding(Brisca::HoldingReticleSize, side);
}

void BriscaDevice::writeMovingAverageWindow(quint8 frames)
{
    writeHolding(Brisca::HoldingMovingAverageWindow, frames);
}

void BriscaDevice::writeGridRoiSize(quint8 code)
{
    writeHolding(Brisca::HoldingGridRoiSize, code);
}

void BriscaDevice::writeTemperatureChoice(quint8 choice)
{
    writeHolding(Brisca::HoldingTemperatureChoice, choice);
}

void BriscaDevice::writeApp1Thresholds(quint16 max, quint16 min)
{
    writeHoldingPair(Brisca::HoldingApp1MaxThreshold, max, min);
}

void BriscaDevice::writeApp2Thresholds(quint16 max, quint16 min)
{
    writeHoldingPair(Brisca::HoldingApp2MaxThreshold, max, min);
}

void BriscaDevice::writeApp3Thresholds(quint16 max, quint16 min)
{
    writeHoldingPair(Brisca::HoldingApp3MaxThreshold, max, min);
}

void BriscaDevice::writeSlaveAddress(quint8 address)
{
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, Brisca::HoldingSlaveAddress,
                               QVector<quint16>{address});
    QModbusReply *reply = sendWriteRequest(unit, slaveAddress);
    if (!reply) {
        emit signal_status(tr("Write error: ") + errorString());
        return;
    }
    if (reply->isFinished()) {
        reply->deleteLater();
        return;
    }
    // The sensor answers this request from its old address and everything after it from
    // the new one, so requests issued from now on must already use the new address.
    slaveAddress = address;
    connect(reply, &QModbusReply::finished, this, &BriscaDevice::writeReplyReady);
}

void BriscaDevice::writeSerialSettings(quint32 baud, quint8 parityIndex)
{
    const quint8 parityCode = Brisca::parityCodeFromIndex(parityIndex);
    // The sensor may switch its line before the echo gets through; a repeated request
    // would then only pile up timeouts.
    setNumberOfRetries(0);
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, Brisca::HoldingSerialSettings,
                               QVector<quint16>{serialSettingsCode(baud, parityCode)});
    QModbusReply *reply = sendWriteRequest(unit, slaveAddress);
    if (!reply) {
        emit signal_status(tr("Write error: ") + errorString());
        return;
    }
    if (reply->isFinished()) {
        reply->deleteLater();
        return;
    }
    connect(reply, &QModbusReply::finished, this, &BriscaDevice::writeReplyReady);
}

void BriscaDevice::factoryReset()
{
    // The sensor never answers this request, so each try costs one full timeout; and a
    // destructive command must not be sent twice. It therefore goes out without retries,
    // which are copied into the request when it is queued and can be restored right away.
    const int retries = numberOfRetries();
    setNumberOfRetries(0);
    QModbusReply *reply = sendRawRequest(
        QModbusRequest(QModbusPdu::FunctionCode(Brisca::FactoryResetFunctionCode), QByteArray()),
        slaveAddress);
    setNumberOfRetries(retries);
    if (!reply)
        return;
    if (reply->isFinished())
        reply->deleteLater();
    else
        connect(reply, &QModbusReply::finished, reply, &QObject::deleteLater);
}

quint16 BriscaDevice::serialSettingsCode(quint32 baud, quint8 parityCode)
{
    return Brisca::serialSettingsCode(baud, parityCode);
}

void BriscaDevice::writeReplyReady()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    if (reply->error() == QModbusDevice::NoError) {
        handleUnit(reply->result());
        emit signal_status(tr("Value successfully updated"));
    } else {
        emit signal_status(responseErrorText(reply, true));
    }
    reply->deleteLater();
}
