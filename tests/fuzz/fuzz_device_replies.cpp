// Feeds arbitrary finished replies to the slots of BriscaDevice that evaluate them, as the
// Modbus master hands them over. A record: slot, flags, register type, start (3 bytes),
// declared and carried value counts (2 each), values (or a ramp's base), error, raw function
// code, raw data. The run stops when a failed or stray reply changes a cache, a reply touches
// another table's caches, a frame goes out other than when register 1304 arrives, the
// probe's verdict is wrong, or a reply is not freed.

#include "briscadevice.h"
#include "fuzzharness.h"

#include <QCoreApplication>
#include <QModbusReply>
#include <QPointer>
#include <QVariant>

#include <algorithm>
#include <array>
#include <numeric>

namespace {

using Type = QModbusDataUnit::RegisterType;
constexpr int Data = 0, Pixels = 1, Regions = 2, Write = 3, Probe = 4, SlotCount = 5;

// The reply slots are private: the master reaches them through the meta-object, and so do we.
const char *const SlotSignatures[] = {SLOT(dataReady()), SLOT(pixelReqReturned()),
                                      SLOT(ROItempsReturned()), SLOT(writeReplyReady()),
                                      SLOT(testCommandReturned())};
const Type Types[] = {QModbusDataUnit::Invalid, QModbusDataUnit::DiscreteInputs,
                      QModbusDataUnit::Coils, QModbusDataUnit::InputRegisters,
                      QModbusDataUnit::HoldingRegisters};

// The device's state in groups: 0 the region list, 1 to 4 the caches of Types[1 to 4], 5 the
// frame; and which groups differ between two states, as bits.
constexpr int RegionGroup = 0, FrameGroup = 5;
using State = std::array<QVector<int>, 6>;

State state(const BriscaDevice &d)
{
    State g;
    g[0] = QVector<int>(d.roiTemperatures.cbegin(), d.roiTemperatures.cend());
    g[1] = {d.discreteInput0, d.discreteInput1, d.app1Alarm, d.app2Alarm, d.app3Alarm};
    g[2] = {d.noNcEnabled,      d.alarmTimerBased,       d.outputNormallyClosed,
            d.transistorNpn,    d.counterUnidirectional, d.app1Enabled,
            d.app2Enabled,      d.app3Enabled,           d.coil8,
            d.noNcOutputActive, d.app1LimitFov,          d.frameAverage};
    g[3] = {d.app1MinTemp, d.app1MinPosition,       d.app1MaxTemp,           d.app1MaxPosition,
            d.app1AvgTemp, d.app3HighestBreachTemp, d.app3HighestBreachArea, d.app3Counter,
            d.app2AvgTemp, d.app3Block.size()};
    std::copy(d.app3Block.cbegin(), d.app3Block.cend(), std::back_inserter(g[3]));
    g[4] = {d.slaveAddress,     d.serialSettings,    d.app1MaxThreshold, d.app1MinThreshold,
            d.app2MaxThreshold, d.app2MinThreshold,  d.app3MaxThreshold, d.app3MinThreshold,
            d.alarmDuration,    d.emissivity,        d.reticleSize,      d.movingAverageWindow,
            d.gridRoiSize,      d.temperatureChoice, d.numberOfRetries()};
    g[5] = QVector<int>(d.frameBuffer.cbegin(), d.frameBuffer.cend());
    return g;
}

int changed(const State &before, const State &after)
{
    int bits = 0;
    for (int g = 0; g < 6; ++g)
        bits |= before[g] != after[g] ? 1 << g : 0;
    return bits;
}

// The signals seen, by the group whose news they are.
struct Seen
{
    int status = 0, validated = 0, news[6] = {};
    QString lastStatus;
    QVector<quint16> lastFrame;
    int data() const { return std::accumulate(std::begin(news), std::end(news), 0); }
};

// What one record of the input says about a reply, and the reply itself, tagged as the
// device tags its requests: the first region chunk, and every reply with its request.
struct Record
{
    int slot = Data;
    bool firstRoiChunk = false, stray = false;
    QModbusDevice::Error error = QModbusDevice::NoError;
};

Record readRecord(FuzzInput &in, QModbusReply &reply)
{
    Record r;
    r.slot = in.u8() % SlotCount;
    const uint8_t flags = in.u8();
    r.firstRoiChunk = flags & 1;
    const bool asked = flags & 16;
    // Tagged with a request it cannot belong to.
    r.stray = asked && (flags & 32);
    const Type type = Types[in.u8() % 5];
    // Most starts land near the register map; the rest spread wide, negative ones included.
    const uint32_t rawStart = in.uint(3);
    const int start = (flags & 2) ? int(rawStart & 0x7FFFF) - 0x40000 : int(rawStart % 1400) - 50;
    const uint16_t declaredCount = in.u16();
    const int valueCount = in.u16() % 1500;
    QModbusDataUnit unit(type, start,
                         (flags & 4) ? FuzzInput::ramp<QVector<quint16>>(valueCount, in.u16(), 7)
                                     : in.fields<QVector<quint16>>(valueCount, 2));
    // A reply may declare more values than it carries (a short answer) or fewer.
    if (flags & 8)
        unit.setValueCount(declaredCount % 2048);
    reply.setResult(unit);
    if (r.firstRoiChunk)
        reply.setProperty("briscaFirstRoiChunk", true);
    if (asked) {
        unit.setStartAddress(unit.startAddress() + int(r.stray));
        reply.setProperty("briscaAsked", QVariant::fromValue(unit));
    }
    r.error = QModbusDevice::Error(in.u8() % (int(QModbusDevice::UnknownError) + 1));
    const auto function = QModbusPdu::FunctionCode(in.u8());
    QByteArray rawData;
    for (int i = in.u8() % 8; i > 0; --i)
        rawData.append(char(in.u8()));
    // Qt's master keeps an exception's code sign-extended, outside the enumeration; the
    // device reads the byte as Qt serialises it, the same for that form and this one.
    reply.setRawResult(QModbusResponse(function, rawData));
    return r;
}

void checkOutcome(const Record &r, const QModbusReply &reply, const BriscaDevice &device,
                  const State &before, const Seen &seen)
{
    const QModbusDevice::Error error = reply.error();
    const QModbusDataUnit unit = reply.result();
    const QModbusResponse raw = reply.rawResult();
    const State after = state(device);
    const int bits = changed(before, after);
    // A reply aborted by an orderly close is no news: nothing is said about it.
    const bool aborted = error == QModbusDevice::ReplyAbortedError;
    FUZZ_CHECK(!device.roiTemperatures.contains(0), "a zero region temperature was kept");

    if (r.slot == Probe) {
        const bool sensor = !aborted && error == QModbusDevice::ProtocolError &&
                            raw.isException() && raw.dataSize() > 0 &&
                            quint8(raw.data().at(0)) == Brisca::ProbeExpectedException;
        FUZZ_CHECK(seen.validated == int(sensor), "probe verdict");
        FUZZ_CHECK(seen.status == int(!sensor && !aborted), "probe status text");
        FUZZ_CHECK(bits == 0, "the probe touched a cache");
        return;
    }
    if (error != QModbusDevice::NoError || r.stray) {
        FUZZ_CHECK(seen.status == int(!aborted), "one status text per failure, none if aborted");
        FUZZ_CHECK(seen.data() == 0, "a failed reply announced data");
        // Only a failed first region chunk ends the old read.
        const bool dropsOld = r.slot == Regions && r.firstRoiChunk && !aborted;
        FUZZ_CHECK(dropsOld ? (bits & ~1) == 0 && after[RegionGroup].isEmpty() : bits == 0,
                   "a failed reply changed a cache");
        return;
    }
    if (r.slot == Data || r.slot == Write) {
        const int t = int(std::find(std::begin(Types), std::end(Types), unit.registerType()) -
                          std::begin(Types));
        FUZZ_CHECK((bits & ~(t ? 1 << t : 0)) == 0, "a reply touched another table's caches");
        FUZZ_CHECK(seen.data() == (t ? 1 : 0) && (!t || seen.news[t] == 1),
                   "data signals of a table reply");
        FUZZ_CHECK(r.slot == Data
                       ? seen.status == 0
                       : seen.status == 1 &&
                             seen.lastStatus == QLatin1String("Value successfully updated"),
                   "status of a good read or write");
    } else if (r.slot == Pixels) {
        const qint64 first = unit.startAddress(), end = first + qint64(unit.valueCount());
        const bool complete = first <= Brisca::InputFrameEnd && Brisca::InputFrameEnd < end;
        FUZZ_CHECK(seen.news[FrameGroup] == int(complete) && seen.data() == int(complete),
                   "frame emitted iff register 1304 arrived");
        FUZZ_CHECK(!complete ||
                       (QVector<int>(seen.lastFrame.cbegin(), seen.lastFrame.cend()) ==
                            after[FrameGroup] &&
                        seen.lastFrame.last() == unit.value(Brisca::InputFrameEnd - first)),
                   "emitted frame differs from the assembled one");
        FUZZ_CHECK((bits & ~(1 << FrameGroup)) == 0, "a frame chunk touched a cache");
    } else {
        const QVector<int> kept = r.firstRoiChunk ? QVector<int>() : before[RegionGroup];
        const QVector<quint16> values = unit.values().mid(0, int(unit.valueCount()));
        FUZZ_CHECK(after[RegionGroup].mid(0, kept.size()) == kept &&
                       after[RegionGroup].size() == kept.size() + values.size() - values.count(0),
                   "region values appended to what the read kept");
        FUZZ_CHECK(seen.news[RegionGroup] == 1 && seen.data() == 1, "one region signal per chunk");
        FUZZ_CHECK((bits & ~1) == 0, "a region chunk touched a cache");
    }
}

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(discardMessages);
    fuzzApplication<QCoreApplication>("fuzz_device_replies");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    BriscaDevice device;
    Seen seen;
    QObject::connect(&device, &BriscaDevice::signal_status, &device, [&seen](const QString &s) {
        ++seen.status;
        seen.lastStatus = s;
    });
    const std::pair<void (BriscaDevice::*)(), int *> counted[] = {
        {&BriscaDevice::app3DataReady, &seen.news[0]},
        {&BriscaDevice::discreteInputsDataReady, &seen.news[1]},
        {&BriscaDevice::coilsDataReady, &seen.news[2]},
        {&BriscaDevice::inputRegsDataReady, &seen.news[3]},
        {&BriscaDevice::holdingRegsDataReady, &seen.news[4]},
        {&BriscaDevice::connectionValidated, &seen.validated}};
    for (const auto &[signal, count] : counted)
        QObject::connect(&device, signal, &device, [count = count] { ++*count; });
    QObject::connect(&device, &BriscaDevice::pixelDataReady, &device,
                     [&seen](const QVector<quint16> &frame) {
                         ++seen.news[FrameGroup];
                         seen.lastFrame = frame;
                     });

    // Long runs come from long values, not many records.
    for (int n = 0; n < 64 && !in.atEnd(); ++n) {
        auto *reply = new QModbusReply(QModbusReply::Common, 1, &device);
        const Record r = readRecord(in, *reply);
        FUZZ_CHECK(QObject::connect(reply, SIGNAL(finished()), &device, SlotSignatures[r.slot]),
                   "reply slot not found");
        const State before = state(device);
        seen = Seen();
        QPointer<QModbusReply> watch(reply);
        if (r.error == QModbusDevice::NoError)
            reply->setFinished(true);
        else
            reply->setError(r.error, QStringLiteral("fuzzed failure"));
        checkOutcome(r, *reply, device, before, seen);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        FUZZ_CHECK(watch.isNull(), "a finished reply was not freed");
    }
    return 0;
}
