// Feeds arbitrary finished replies (register type, start, value count, values, error, raw
// answer) to the slots of BriscaDevice that evaluate them, exactly as the Modbus master
// hands them over: a QModbusReply whose finished() reaches the slot, sender() included.
//
// Input: a sequence of records, each
//   slot, flags, register type, start (3 bytes), declared value count (2), number of
//   values (2), values (2 each; or, with a flag, the base of a ramp), error, raw function
//   code, raw data length, raw data bytes.
// Besides memory errors the run stops on any broken rule of the reply handling: a failed
// reply changes no cache, a reply touches only the caches of its own register type, a
// frame goes out exactly when register 1304 arrives, an answer that cannot belong to the
// request it is tagged with is refused like a failure, every reply is freed.

#include "briscadevice.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QModbusReply>
#include <QPointer>
#include <QVariant>

#include <algorithm>
#include <memory>

namespace {

enum class Slot
{
    Data,
    Pixels,
    RoiTemperatures,
    Write,
    Probe,
    Count
};

// The reply slots are private: the master reaches them through the meta-object, and so do we.
const char *slotSignature(Slot slot)
{
    switch (slot) {
    case Slot::Data:
        return SLOT(dataReady());
    case Slot::Pixels:
        return SLOT(pixelReqReturned());
    case Slot::RoiTemperatures:
        return SLOT(ROItempsReturned());
    case Slot::Write:
        return SLOT(writeReplyReady());
    case Slot::Probe:
    case Slot::Count:
        break;
    }
    return SLOT(testCommandReturned());
}

// The device tags the first region chunk with this property; its answer starts a new read.
constexpr char FirstRoiChunkProperty[] = "briscaFirstRoiChunk";
// And every reply with the request it answers.
constexpr char AskedProperty[] = "briscaAsked";

constexpr QModbusDataUnit::RegisterType Types[] = {
    QModbusDataUnit::Invalid, QModbusDataUnit::DiscreteInputs, QModbusDataUnit::Coils,
    QModbusDataUnit::InputRegisters, QModbusDataUnit::HoldingRegisters};

// The caches, one group per register type, so a reply can be checked to touch its own only.
QVector<int> coilCaches(const BriscaDevice &d)
{
    return {d.noNcEnabled,      d.alarmTimerBased,       d.outputNormallyClosed,
            d.transistorNpn,    d.counterUnidirectional, d.app1Enabled,
            d.app2Enabled,      d.app3Enabled,           d.coil8,
            d.noNcOutputActive, d.app1LimitFov,          d.frameAverage};
}

QVector<int> holdingCaches(const BriscaDevice &d)
{
    return {d.slaveAddress,     d.serialSettings,    d.app1MaxThreshold, d.app1MinThreshold,
            d.app2MaxThreshold, d.app2MinThreshold,  d.app3MaxThreshold, d.app3MinThreshold,
            d.alarmDuration,    d.emissivity,        d.reticleSize,      d.movingAverageWindow,
            d.gridRoiSize,      d.temperatureChoice, d.numberOfRetries()};
}

QVector<int> discreteCaches(const BriscaDevice &d)
{
    return {d.discreteInput0, d.discreteInput1, d.app1Alarm, d.app2Alarm, d.app3Alarm};
}

QVector<int> inputCaches(const BriscaDevice &d)
{
    QVector<int> values{d.app1MinTemp,           d.app1MinPosition, d.app1MaxTemp,
                        d.app1MaxPosition,       d.app1AvgTemp,     d.app3HighestBreachTemp,
                        d.app3HighestBreachArea, d.app3Counter,     d.app2AvgTemp,
                        d.app3Block.size()};
    for (quint16 v : d.app3Block)
        values.append(v);
    return values;
}

struct Snapshot
{
    explicit Snapshot(const BriscaDevice &d)
        : coils(coilCaches(d))
        , holding(holdingCaches(d))
        , discrete(discreteCaches(d))
        , input(inputCaches(d))
        , roi(d.roiTemperatures)
        , frame(d.frameBuffer)
    {}

    QVector<int> coils, holding, discrete, input;
    QVector<quint16> roi;
    std::array<quint16, Brisca::FramePixelCount> frame;

    // Equal in everything but the group of `type` (Invalid: equal in everything).
    bool sameApartFrom(const Snapshot &o, QModbusDataUnit::RegisterType type) const
    {
        return (type == QModbusDataUnit::Coils || coils == o.coils) &&
               (type == QModbusDataUnit::HoldingRegisters || holding == o.holding) &&
               (type == QModbusDataUnit::DiscreteInputs || discrete == o.discrete) &&
               (type == QModbusDataUnit::InputRegisters || input == o.input);
    }
};

struct Counters
{
    int status = 0, coils = 0, holding = 0, discrete = 0, input = 0, frames = 0, roi = 0,
        validated = 0;
    QString lastStatus;
    QVector<quint16> lastFrame;

    int dataSignals() const { return coils + holding + discrete + input + frames + roi; }
    int signalOf(QModbusDataUnit::RegisterType type) const
    {
        switch (type) {
        case QModbusDataUnit::Coils:
            return coils;
        case QModbusDataUnit::HoldingRegisters:
            return holding;
        case QModbusDataUnit::DiscreteInputs:
            return discrete;
        case QModbusDataUnit::InputRegisters:
            return input;
        default:
            return 0;
        }
    }
};

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Record
{
    Slot slot = Slot::Data;
    bool firstRoiChunk = false;
    // Tagged with the request it answers; `stray`: a request it cannot belong to.
    bool asked = false;
    bool stray = false;
    QModbusDataUnit unit;
    QModbusDevice::Error error = QModbusDevice::NoError;
    // The raw answer as it came off the line: function code byte and data.
    uint8_t rawFunction = 0;
    QByteArray rawData;

    bool rawException() const { return rawFunction & QModbusPdu::ExceptionByte; }
};

Record readRecord(FuzzInput &in)
{
    Record r;
    r.slot = Slot(in.u8() % int(Slot::Count));
    const uint8_t flags = in.u8();
    r.firstRoiChunk = flags & 1;
    r.asked = flags & 16;
    r.stray = r.asked && (flags & 32);
    const auto type = Types[in.u8() % (sizeof(Types) / sizeof(Types[0]))];

    // Most starts land on or near the register map so that the frame and region windows are
    // hit often; the rest spread wide, negative ones included.
    const uint32_t startHigh = in.u8();
    const uint32_t rawStart = startHigh << 16 | in.u16();
    const int start = (flags & 2) ? int(rawStart & 0x7FFFF) - 0x40000 : int(rawStart % 1400) - 50;

    const uint16_t declaredCount = in.u16();
    const int valueCount = in.u16() % 1500;
    QVector<quint16> values;
    values.reserve(std::min<int>(valueCount, int(in.remaining() / 2) + 1));
    // A flag fills the values from a ramp instead of the input, so long replies cost no bytes.
    const bool ramp = flags & 4;
    const quint16 rampBase = ramp ? in.u16() : 0;
    for (int i = 0; i < valueCount && (ramp || !in.atEnd()); ++i)
        values.append(ramp ? quint16(rampBase + i * 7) : in.u16());

    r.unit = QModbusDataUnit(type, start, values);
    // A reply may declare more values than it carries (a short answer) or fewer.
    if (flags & 8)
        r.unit.setValueCount(declaredCount % 2048);

    r.error = QModbusDevice::Error(in.u8() % (int(QModbusDevice::UnknownError) + 1));
    r.rawFunction = in.u8();
    const int rawLength = in.u8() % 8;
    for (int i = 0; i < rawLength; ++i)
        r.rawData.append(char(in.u8()));
    return r;
}

bool coversLastFramePixel(const QModbusDataUnit &unit)
{
    const qint64 first = unit.startAddress();
    const qint64 end = first + qint64(unit.valueCount());
    return first <= Brisca::InputFrameEnd && Brisca::InputFrameEnd < end;
}

int nonZeroValues(const QModbusDataUnit &unit)
{
    const QVector<quint16> values = unit.values();
    const int present = std::min(int(unit.valueCount()), values.size());
    return int(std::count_if(values.cbegin(), values.cbegin() + present,
                             [](quint16 v) { return v != 0; }));
}

void checkOutcome(const Record &r, const BriscaDevice &device, const Snapshot &before,
                  const Counters &seen)
{
    const Snapshot after(device);
    // A reply aborted by an orderly close is no news: nothing is said about it.
    const bool aborted = r.error == QModbusDevice::ReplyAbortedError;
    const bool failed = r.error != QModbusDevice::NoError || (r.stray && r.slot != Slot::Probe);
    FUZZ_CHECK(!device.roiTemperatures.contains(0), "a zero region temperature was kept");

    if (r.slot == Slot::Probe) {
        if (aborted) {
            FUZZ_CHECK(seen.status == 0 && seen.validated == 0, "an aborted probe said something");
            return;
        }
        const bool expected = r.error == QModbusDevice::ProtocolError && r.rawException() &&
                              !r.rawData.isEmpty() &&
                              quint8(r.rawData.at(0)) == Brisca::ProbeExpectedException;
        FUZZ_CHECK(seen.validated == (expected ? 1 : 0), "probe verdict");
        FUZZ_CHECK(seen.status == (expected ? 0 : 1), "probe status text");
        FUZZ_CHECK(after.sameApartFrom(before, QModbusDataUnit::Invalid) &&
                       after.roi == before.roi && after.frame == before.frame,
                   "the probe touched a cache");
        return;
    }

    if (failed) {
        FUZZ_CHECK(seen.status == (aborted ? 0 : 1),
                   "a failed reply gives exactly one status text, an aborted one none");
        FUZZ_CHECK(seen.dataSignals() == 0, "a failed reply announced data");
        FUZZ_CHECK(after.sameApartFrom(before, QModbusDataUnit::Invalid),
                   "a failed reply changed a cache");
        FUZZ_CHECK(after.frame == before.frame, "a failed reply changed the frame");
        const bool dropsOldRegions = r.slot == Slot::RoiTemperatures && r.firstRoiChunk && !aborted;
        FUZZ_CHECK(after.roi == (dropsOldRegions ? QVector<quint16>() : before.roi),
                   "a failed reply changed the region list");
        return;
    }

    switch (r.slot) {
    case Slot::Data:
    case Slot::Write: {
        const auto type = r.unit.registerType();
        FUZZ_CHECK(after.sameApartFrom(before, type), "a reply touched another table's caches");
        FUZZ_CHECK(after.roi == before.roi && after.frame == before.frame,
                   "a table reply touched the frame or the regions");
        const bool handled = type != QModbusDataUnit::Invalid;
        FUZZ_CHECK(seen.signalOf(type) == (handled ? 1 : 0) &&
                       seen.dataSignals() == seen.signalOf(type),
                   "data signals of a table reply");
        if (r.slot == Slot::Write)
            FUZZ_CHECK(seen.status == 1 &&
                           seen.lastStatus == QLatin1String("Value successfully updated"),
                       "write confirmation");
        else
            FUZZ_CHECK(seen.status == 0, "a good read gave a status text");
        break;
    }
    case Slot::Pixels: {
        const bool complete = coversLastFramePixel(r.unit);
        FUZZ_CHECK(seen.frames == (complete ? 1 : 0), "frame emitted iff register 1304 arrived");
        FUZZ_CHECK(seen.dataSignals() == seen.frames, "a frame chunk announced other data");
        if (complete) {
            FUZZ_CHECK(seen.lastFrame.size() == Brisca::FramePixelCount, "frame size");
            FUZZ_CHECK(std::equal(seen.lastFrame.cbegin(), seen.lastFrame.cend(),
                                  device.frameBuffer.cbegin()),
                       "emitted frame differs from the assembled one");
            FUZZ_CHECK(seen.lastFrame.last() ==
                           r.unit.value(Brisca::InputFrameEnd - r.unit.startAddress()),
                       "last pixel of the frame");
        }
        FUZZ_CHECK(after.sameApartFrom(before, QModbusDataUnit::Invalid) && after.roi == before.roi,
                   "a frame chunk touched a cache");
        break;
    }
    case Slot::RoiTemperatures: {
        const QVector<quint16> kept = r.firstRoiChunk ? QVector<quint16>() : before.roi;
        FUZZ_CHECK(after.roi.mid(0, kept.size()) == kept, "earlier region values were lost");
        FUZZ_CHECK(after.roi.size() == kept.size() + nonZeroValues(r.unit),
                   "region values appended");
        FUZZ_CHECK(seen.roi == 1 && seen.dataSignals() == 1, "one region signal per chunk");
        FUZZ_CHECK(after.sameApartFrom(before, QModbusDataUnit::Invalid) &&
                       after.frame == before.frame,
                   "a region chunk touched a cache");
        break;
    }
    case Slot::Probe:
    case Slot::Count:
        break;
    }
}

struct Harness
{
    Harness()
    {
        static int argc = 1;
        static char name[] = "fuzz_device_replies";
        static char *argv[] = {name, nullptr};
        qInstallMessageHandler(discardMessages);
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    std::unique_ptr<QCoreApplication> app;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static Harness harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    BriscaDevice device;
    Counters seen;
    QObject::connect(&device, &BriscaDevice::signal_status, &device, [&seen](const QString &s) {
        ++seen.status;
        seen.lastStatus = s;
    });
    QObject::connect(&device, &BriscaDevice::coilsDataReady, &device, [&seen] { ++seen.coils; });
    QObject::connect(&device, &BriscaDevice::holdingRegsDataReady, &device,
                     [&seen] { ++seen.holding; });
    QObject::connect(&device, &BriscaDevice::discreteInputsDataReady, &device,
                     [&seen] { ++seen.discrete; });
    QObject::connect(&device, &BriscaDevice::inputRegsDataReady, &device,
                     [&seen] { ++seen.input; });
    QObject::connect(&device, &BriscaDevice::app3DataReady, &device, [&seen] { ++seen.roi; });
    QObject::connect(&device, &BriscaDevice::connectionValidated, &device,
                     [&seen] { ++seen.validated; });
    QObject::connect(&device, &BriscaDevice::pixelDataReady, &device,
                     [&seen](const QVector<quint16> &frame) {
                         ++seen.frames;
                         seen.lastFrame = frame;
                     });

    // Bounded so that one input stays cheap; long runs come from long values, not many records.
    for (int n = 0; n < 64 && !in.atEnd(); ++n) {
        const Record r = readRecord(in);
        auto *reply = new QModbusReply(QModbusReply::Common, 1, &device);
        FUZZ_CHECK(QObject::connect(reply, SIGNAL(finished()), &device, slotSignature(r.slot)),
                   "reply slot not found");
        if (r.firstRoiChunk)
            reply->setProperty(FirstRoiChunkProperty, true);
        if (r.asked) {
            QModbusDataUnit asked = r.unit;
            if (r.stray)
                asked.setStartAddress(asked.startAddress() + 1);
            reply->setProperty(AskedProperty, QVariant::fromValue(asked));
        }
        reply->setResult(r.unit);
        // Qt's RTU master keeps the code of a received exception answer sign-extended from a
        // char, a value outside the code enumeration; the device reads the code byte through
        // Qt's serialisation, which gives the same byte for that form and this in-range one.
        // Building the other form here would itself be undefined.
        reply->setRawResult(QModbusResponse(QModbusPdu::FunctionCode(r.rawFunction), r.rawData));

        const Snapshot before(device);
        seen = Counters();
        QPointer<QModbusReply> watch(reply);
        if (r.error == QModbusDevice::NoError)
            reply->setFinished(true);
        else
            reply->setError(r.error, QStringLiteral("fuzzed failure"));
        checkOutcome(r, device, before, seen);

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        FUZZ_CHECK(watch.isNull(), "a finished reply was not freed");
    }
    return 0;
}
