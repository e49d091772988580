#include "briscadevice.h"

#include "modbusanswer.h"

#include <QDebug>
#include <QModbusReply>
#include <QModbusRequest>
#include <QSerialPort>

#include <algorithm>

namespace {

// Marks the reply of the first region chunk: its answer opens a new region read.
constexpr char FirstRoiChunkProperty[] = "briscaFirstRoiChunk";
// Marks the reply of an image's last frame chunk: without its answer there is no frame.
constexpr char EndsImageProperty[] = "briscaEndsImage";

void logValue(const char *prefix, int address, const QString &value)
{
    qDebug().noquote() << QLatin1String(prefix) +
                              QStringLiteral("Address: %1, Value: %2").arg(address).arg(value);
}

} // namespace

BriscaDevice::BriscaDevice(QObject *parent)
    : QModbusRtuSerialMaster(nullptr)
{
    setParent(parent);
    connect(this, &QModbusDevice::errorOccurred, this, &BriscaDevice::handleLinkError);
    m_quiet.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &BriscaDevice::quietElapsed);
    // The master reads every byte as it comes; whether the line is silent is seen here.
    if (auto *port = findChild<QSerialPort *>())
        connect(port, &QSerialPort::readyRead, this, [this] { m_lastByte.start(); });
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

namespace {

// The request a reply answers, as the device asked it: what its answer must match.
constexpr char AskedProperty[] = "briscaAsked";

} // namespace

quint32 BriscaDevice::registerKey(QModbusDataUnit::RegisterType table, int address)
{
    return quint32(table) << 16 | quint32(address & 0xFFFF);
}

bool BriscaDevice::issue(Request request)
{
    if (request.kind == ReplyKind::Write) {
        for (uint i = 0; i < request.unit.valueCount(); ++i) {
            PendingWrite &pending = m_pendingWrites[registerKey(
                request.unit.registerType(), request.unit.startAddress() + int(i))];
            ++pending.count;
            pending.value = request.unit.value(int(i));
        }
    }
    if (m_currentReply || m_quiet.isActive() || !m_queue.empty()) {
        m_queue.push_back(std::move(request));
        return true;
    }
    QModbusReply *reply = hand(request);
    return reply != nullptr;
}

void BriscaDevice::read(QModbusDataUnit::RegisterType type, int start, int count, int server,
                        ReplyKind kind, bool firstRoiChunk, bool endsImage)
{
    Request request;
    request.unit = QModbusDataUnit(type, start, quint16(count));
    request.server = server;
    request.kind = kind;
    request.retries = numberOfRetries();
    // A refused read never stops the operation it belongs to.
    request.refusedPrefix = tr("Read error: ");
    request.firstRoiChunk = firstRoiChunk;
    request.endsImage = endsImage;
    issue(std::move(request));
}

bool BriscaDevice::write(const QModbusDataUnit &unit, int server, const QString &refusedPrefix)
{
    Request request;
    request.send = Request::Send::Write;
    request.unit = unit;
    request.server = server;
    request.kind = ReplyKind::Write;
    request.retries = numberOfRetries();
    request.refusedPrefix = refusedPrefix;
    return issue(std::move(request));
}

// Hands one request to the master; returns its reply when it went out. A request the master
// refuses, or whose reply is finished at once, has ended here.
QModbusReply *BriscaDevice::hand(const Request &request)
{
    // The master would repeat a lost request on its own, unseen; the link repeats it itself,
    // so that every try is counted and a late answer is judged against the try it met.
    const int retries = numberOfRetries();
    setNumberOfRetries(0);
    QModbusReply *reply = nullptr;
    switch (request.send) {
    case Request::Send::Read:
        reply = sendReadRequest(request.unit, request.server);
        break;
    case Request::Send::Write:
        reply = sendWriteRequest(request.unit, request.server);
        break;
    case Request::Send::Raw:
        reply = sendRawRequest(request.raw, request.server);
        break;
    }
    setNumberOfRetries(retries);

    if (!reply) {
        if (!request.refusedPrefix.isEmpty())
            emit signal_status(request.refusedPrefix + errorString());
        ended(request);
        return nullptr;
    }
    if (reply->isFinished()) {
        reply->deleteLater();
        ended(request);
        return nullptr;
    }
    // A read asks for a count of values, a write sends values its echo must repeat.
    QModbusDataUnit asked = request.unit;
    if (request.send == Request::Send::Read) {
        asked.setValues({});
        asked.setValueCount(request.unit.valueCount());
    }
    reply->setProperty(AskedProperty, QVariant::fromValue(asked));
    if (request.firstRoiChunk)
        reply->setProperty(FirstRoiChunkProperty, true);
    if (request.endsImage)
        reply->setProperty(EndsImageProperty, true);
    switch (request.kind) {
    case ReplyKind::Data:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::dataReady);
        break;
    case ReplyKind::Pixels:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::pixelReqReturned);
        break;
    case ReplyKind::RoiTemperatures:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::ROItempsReturned);
        break;
    case ReplyKind::Write:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::writeReplyReady);
        break;
    case ReplyKind::Probe:
        connect(reply, &QModbusReply::finished, this, &BriscaDevice::testCommandReturned);
        break;
    case ReplyKind::Command:
        connect(reply, &QModbusReply::finished, this, [this, reply] {
            conclude(reply);
            reply->deleteLater();
        });
        break;
    }
    m_current = request;
    m_currentReply = reply;
    m_currentClock.start();
    ++m_statistics.requests;
    emit statisticsChanged();
    return reply;
}

void BriscaDevice::dispatchNext()
{
    while (!m_currentReply && !m_quiet.isActive() && !m_queue.empty()) {
        const Request next = std::move(m_queue.front());
        m_queue.pop_front();
        hand(next);
    }
}

void BriscaDevice::ended(const Request &request)
{
    if (request.endsImage && m_imagesPending > 0)
        --m_imagesPending;
    if (request.kind != ReplyKind::Write)
        return;
    for (uint i = 0; i < request.unit.valueCount(); ++i) {
        const auto it = m_pendingWrites.find(
            registerKey(request.unit.registerType(), request.unit.startAddress() + int(i)));
        if (it != m_pendingWrites.end() && --it->count <= 0)
            m_pendingWrites.erase(it);
    }
}

bool BriscaDevice::answerBelongs(const QModbusDataUnit &asked, const QModbusDataUnit &answer)
{
    if (answer.registerType() != asked.registerType() ||
        answer.startAddress() != asked.startAddress() || answer.valueCount() != asked.valueCount())
        return false;
    // A write's echo repeats what was written; one that repeats something else answered an
    // earlier write of the same register. (A coil goes out as 0xFF00 or 0 whatever true
    // value it was given.)
    if (answer.valueCount() == 1 && asked.values().size() == 1 && answer.values().size() == 1) {
        const quint16 sent = asked.value(0);
        const quint16 echoed = answer.value(0);
        return asked.registerType() == QModbusDataUnit::Coils ? (sent != 0) == (echoed != 0)
                                                              : sent == echoed;
    }
    return true;
}

BriscaDevice::Outcome BriscaDevice::conclude(QModbusReply *reply)
{
    const bool current = reply == m_currentReply;
    Outcome outcome = Outcome::Failed;
    bool answered = false;
    switch (reply->error()) {
    case QModbusDevice::NoError: {
        const QVariant asked = reply->property(AskedProperty);
        // A read of holding registers hands back a unit whose values are the ones asked
        // for until the answer replaces them; the probe writes, so its echo has no shape to
        // check beyond the master's own.
        if (asked.isValid() && !answerBelongs(asked.value<QModbusDataUnit>(), reply->result())) {
            ++m_statistics.strayAnswers;
            outcome = Outcome::Refused;
        } else {
            ++m_statistics.answers;
            outcome = Outcome::Answer;
        }
        answered = true;
        break;
    }
    case QModbusDevice::TimeoutError:
        ++m_statistics.timeouts;
        if (current && m_current.retries > 0) {
            Request again = m_current;
            --again.retries;
            m_currentReply = nullptr;
            m_queue.push_front(std::move(again));
            m_statistics.lastFailure = QDateTime::currentDateTime();
            emit statisticsChanged();
            dispatchNext();
            return Outcome::Retried;
        }
        break;
    case QModbusDevice::ProtocolError: {
        const QModbusResponse raw = reply->rawResult();
        if (Brisca::exceptionCode(raw) >= 0 && raw.dataSize() >= 1) {
            ++m_statistics.exceptions[quint8(Brisca::exceptionCode(raw))];
            answered = true;
        } else {
            ++m_statistics.otherErrors;
        }
        break;
    }
    case QModbusDevice::ReplyAbortedError:
        ++m_statistics.otherErrors;
        // Closing on purpose ends what was under way; only a line that failed is news.
        if (!m_lineLost)
            outcome = Outcome::Dropped;
        break;
    default:
        ++m_statistics.otherErrors;
        break;
    }
    if (answered) {
        if (current)
            countRoundTrip(m_currentClock);
        m_statistics.lastAnswer = QDateTime::currentDateTime();
    }
    if (outcome == Outcome::Refused || (!answered && outcome != Outcome::Dropped))
        m_statistics.lastFailure = QDateTime::currentDateTime();
    emit statisticsChanged();

    if (!current)
        return outcome;
    const Request finished = m_current;
    m_currentReply = nullptr;
    ended(finished);
    // After a request has finally gone unanswered, or an answer turned out to belong to
    // another request, the answers still on their way must not meet the next request.
    // The factory reset is never answered: its silence is no failure.
    const bool lineUnsure =
        outcome == Outcome::Refused ||
        (reply->error() == QModbusDevice::TimeoutError && finished.kind != ReplyKind::Command);
    if (lineUnsure && state() == QModbusDevice::ConnectedState)
        startQuiet();
    dispatchNext();
    return outcome;
}

void BriscaDevice::countRoundTrip(const QElapsedTimer &clock)
{
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    LinkStatistics &s = m_statistics;
    s.lastRoundTripMs = ms;
    ++s.roundTrips;
    s.meanRoundTripMs = s.roundTrips == 1
                            ? ms
                            : s.meanRoundTripMs + (ms - s.meanRoundTripMs) / double(s.roundTrips);
}

void BriscaDevice::startQuiet()
{
    m_quietSince.start();
    m_quiet.start(timeout());
}

void BriscaDevice::quietElapsed()
{
    // The line must have been silent for a whole reply timeout; a line that never falls
    // silent is given up on after a few, or the link would stall for good.
    const qint64 sinceByte = m_lastByte.isValid() ? m_lastByte.elapsed() : timeout();
    if (sinceByte < timeout() && m_quietSince.elapsed() < 4 * qint64(timeout())) {
        m_quiet.start(int(timeout() - sinceByte));
        return;
    }
    // The master drops what arrived meanwhile (no request was open for it) and clears its
    // buffer before it sends again.
    if (auto *port = findChild<QSerialPort *>())
        port->clear(QSerialPort::Input);
    dispatchNext();
}

bool BriscaDevice::isIdle() const
{
    return !m_currentReply && !m_quiet.isActive() && m_queue.empty();
}

void BriscaDevice::resetStatistics()
{
    m_statistics = LinkStatistics();
    emit statisticsChanged();
}

bool BriscaDevice::writePending(QModbusDataUnit::RegisterType table, int address) const
{
    return m_pendingWrites.contains(registerKey(table, address));
}

quint16 BriscaDevice::pendingValue(QModbusDataUnit::RegisterType table, int address,
                                   quint16 fallback) const
{
    const auto it = m_pendingWrites.constFind(registerKey(table, address));
    return it == m_pendingWrites.constEnd() ? fallback : it->value;
}

bool BriscaDevice::open()
{
    m_lineLost = false;
    return QModbusRtuSerialMaster::open();
}

void BriscaDevice::close()
{
    // Requests still waiting never reach the line; the one under way is aborted by the
    // master, and reported only when the line failed (m_lineLost).
    const std::deque<Request> waiting = std::move(m_queue);
    m_queue.clear();
    for (const Request &request : waiting)
        ended(request);
    m_quiet.stop();
    QModbusRtuSerialMaster::close();
}

QString BriscaDevice::strayAnswerText(bool write) const
{
    return write ? tr("Write response error: stray answer refused, it cannot belong to the request")
                 : tr("Read response error: stray answer refused, it cannot belong to the request");
}

QString BriscaDevice::responseErrorText(const QModbusReply *reply, bool write) const
{
    if (reply->error() == QModbusDevice::ProtocolError) {
        const QModbusResponse raw = reply->rawResult();
        const int exception = Brisca::exceptionCode(raw);
        const quint8 code = exception < 0 ? quint8(0xFF) : quint8(exception);
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
    m_lineLost = true;
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
    Request probe;
    probe.send = Request::Send::Write;
    probe.unit = QModbusDataUnit(QModbusDataUnit::HoldingRegisters, Brisca::ProbeRegister,
                                 QVector<quint16>{Brisca::ProbeValue});
    probe.server = address;
    probe.kind = ReplyKind::Probe;
    // Asked once: silence already says that no sensor listens there, and a repeated probe
    // would only make the operator wait for every try.
    probe.retries = 0;
    issue(std::move(probe));
}

void BriscaDevice::testCommandReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    if (conclude(reply) == Outcome::Retried || reply->error() == QModbusDevice::ReplyAbortedError) {
        reply->deleteLater();
        return;
    }
    if (Brisca::probeVerdict(*reply).sensor) {
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
    read(QModbusDataUnit::Coils, 0, Brisca::CoilCount, address);
}

void BriscaDevice::readHoldingRegisters(quint8 address)
{
    read(QModbusDataUnit::HoldingRegisters, 0, Brisca::HoldingRegisterCount, address);
}

void BriscaDevice::readDiscreteInputs()
{
    read(QModbusDataUnit::DiscreteInputs, 0, Brisca::DiscreteInputCount, slaveAddress);
}

void BriscaDevice::readApp1Measurements()
{
    read(QModbusDataUnit::InputRegisters, Brisca::InputApp1MinTemp, Brisca::App1MeasurementCount,
         slaveAddress);
}

void BriscaDevice::readApp2Average()
{
    read(QModbusDataUnit::InputRegisters, Brisca::InputApp2AvgTemp, 1, slaveAddress);
}

void BriscaDevice::readApp3Data()
{
    readDiscreteInputs();
    read(QModbusDataUnit::InputRegisters, Brisca::InputApp3BlockStart, Brisca::App3DataCount,
         slaveAddress);
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
    switch (conclude(reply)) {
    case Outcome::Answer:
        handleUnit(reply->result());
        break;
    case Outcome::Failed:
        emit signal_status(responseErrorText(reply, false));
        break;
    case Outcome::Refused:
        emit signal_status(strayAnswerText(false));
        break;
    case Outcome::Retried:
    case Outcome::Dropped:
        break;
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
    emit inputRegistersReceived(unit.startAddress(), int(unit.valueCount()));
    emit inputRegsDataReady();
}

// --- Frame and region temperatures ---

void BriscaDevice::requestImage()
{
    emit signal_status(tr("Grabbing image..."));
    updateMeasurements();
    ++m_imagesPending;
    for (int start = Brisca::InputFrameStart; start <= Brisca::InputFrameEnd;
         start += Brisca::MaxRegistersPerRead) {
        const int count = std::min(Brisca::MaxRegistersPerRead, Brisca::InputFrameEnd + 1 - start);
        read(QModbusDataUnit::InputRegisters, start, count, slaveAddress, ReplyKind::Pixels, false,
             start + count > Brisca::InputFrameEnd);
    }
}

void BriscaDevice::readRoiTemperatures()
{
    for (int start = Brisca::InputRoiTemperaturesStart; start <= Brisca::InputRoiTemperaturesEnd;
         start += Brisca::MaxRegistersPerRead) {
        const int count =
            std::min(Brisca::MaxRegistersPerRead, Brisca::InputRoiTemperaturesEnd + 1 - start);
        read(QModbusDataUnit::InputRegisters, start, count, slaveAddress,
             ReplyKind::RoiTemperatures, start == Brisca::InputRoiTemperaturesStart);
    }
}

void BriscaDevice::pixelReqReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    const Outcome outcome = conclude(reply);
    if (outcome == Outcome::Answer) {
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
    } else if (outcome == Outcome::Failed) {
        emit signal_status(responseErrorText(reply, false));
    } else if (outcome == Outcome::Refused) {
        emit signal_status(strayAnswerText(false));
    }
    if ((outcome == Outcome::Failed || outcome == Outcome::Refused) &&
        reply->property(EndsImageProperty).toBool())
        emit imageMissed();
    reply->deleteLater();
}

void BriscaDevice::ROItempsReturned()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    const Outcome outcome = conclude(reply);
    if (outcome == Outcome::Retried || outcome == Outcome::Dropped) {
        reply->deleteLater();
        return;
    }
    // Whatever an earlier read left unconsumed belongs to another moment: drop it as soon
    // as a new read starts answering, so the regions are never labelled with old values and
    // the list never holds more than one read. A failed first chunk counts too; otherwise
    // the old values would sit in front of the new ones.
    if (reply->property(FirstRoiChunkProperty).toBool())
        roiTemperatures.clear();
    if (outcome == Outcome::Answer) {
        const QModbusDataUnit unit = reply->result();
        const QVector<quint16> values = unit.values();
        const int present = std::min(int(unit.valueCount()), values.size());
        for (int p = 0; p < present; ++p) {
            if (values.at(p) != 0)
                roiTemperatures.append(values.at(p));
        }
        emit app3DataReady();
    } else {
        emit signal_status(outcome == Outcome::Refused ? strayAnswerText(false)
                                                       : responseErrorText(reply, false));
    }
    reply->deleteLater();
}

// --- Writes ---

void BriscaDevice::writeUnit(const QModbusDataUnit &unit)
{
    write(unit, slaveAddress);
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
    // The sensor answers this request from its old address and everything after it from
    // the new one, so requests issued from now on must already use the new address.
    if (write(unit, slaveAddress, tr("Write error: ")))
        slaveAddress = address;
}

void BriscaDevice::writeSerialSettings(quint32 baud, quint8 parityIndex)
{
    const quint8 parityCode = Brisca::parityCodeFromIndex(parityIndex);
    // The sensor may switch its line before the echo gets through; a repeated request
    // would then only pile up timeouts.
    setNumberOfRetries(0);
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, Brisca::HoldingSerialSettings,
                               QVector<quint16>{serialSettingsCode(baud, parityCode)});
    write(unit, slaveAddress, tr("Write error: "));
}

void BriscaDevice::factoryReset()
{
    // The sensor never answers this request, so each try costs one full timeout; and a
    // destructive command must not be sent twice. It therefore goes out without retries.
    Request reset;
    reset.send = Request::Send::Raw;
    reset.raw =
        QModbusRequest(QModbusPdu::FunctionCode(Brisca::FactoryResetFunctionCode), QByteArray());
    reset.server = slaveAddress;
    reset.kind = ReplyKind::Command;
    issue(std::move(reset));
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
    const Outcome outcome = conclude(reply);
    if (outcome == Outcome::Answer) {
        handleUnit(reply->result());
        emit signal_status(tr("Value successfully updated"));
    } else if (outcome == Outcome::Failed || outcome == Outcome::Refused) {
        emit signal_status(outcome == Outcome::Refused ? strayAnswerText(true)
                                                       : responseErrorText(reply, true));
        const QModbusDataUnit asked = reply->property(AskedProperty).value<QModbusDataUnit>();
        emit writeFailed(asked.registerType(), asked.startAddress(), int(asked.valueCount()));
    }
    reply->deleteLater();
}
