// Feeds arbitrary bytes, in bursts and pauses, to the virtual sensor's framer, fault rules
// and request handling, in the order of the simulator's server loop. Input: a configuration
// (pattern, slave, seed, fault seed, silence), then operations: raw bytes, bytes with a good
// CRC, requests, pauses, fault rules, new frames. The run stops when an answer is no valid
// frame from the asked address, a refused request changed a table, or the sensor ends up on
// an address no client can reach or other than its register 0 holds.

#include "faults.h"
#include "fuzzharness.h"
#include "rtuframer.h"
#include "simsensor.h"

#include <string>
#include <vector>

namespace {

using namespace BriscaSim;
using Bytes = std::vector<uint8_t>;

// The operations, by their code.
constexpr int RawBytes = 0, CheckedBytes = 1, Request = 2, Pause = 3, AddFault = 4, ClearFaults = 5,
              OpCount = 7;

SensorConfig configFrom(FuzzInput &in)
{
    SensorConfig config;
    config.pattern = in.flag() ? Pattern::Ramp : Pattern::Scene;
    config.slave = 1 + in.u8() % 247;
    config.seed = in.u16();
    return config;
}

class Line
{
public:
    explicit Line(FuzzInput &in)
        : m_sensor(configFrom(in))
        , m_faults(in.uint(4))
        , m_framer(1 + in.u8() % 40)
    {
        m_framer.setFrameHandler([this](const Bytes &frame) { onFrame(frame); });
    }

    void run(FuzzInput &in)
    {
        in.forEachOp(128, OpCount, [&](int op) {
            std::string error;
            switch (op) {
            case RawBytes:
            case CheckedBytes: {
                Bytes bytes = in.fields<Bytes>(in.u8() % 64, 1);
                if (op == CheckedBytes)
                    appendCrc(bytes);
                return feed(bytes, in.u8() % 4);
            }
            case Request: {
                const Bytes frame = request(in);
                return feed(frame, in.u8() % 4);
            }
            case Pause:
                m_now += in.u16() % 5000;
                m_framer.checkSilence(m_now);
                return m_sensor.tick(m_now);
            case AddFault:
                m_faults.add(in.fields<std::string>(in.u8() % 48, 1), error);
                return;
            case ClearFaults:
                return m_faults.clear();
            default:
                return m_sensor.takeFrame(m_now);
            }
        });
        m_framer.checkSilence(m_now + 10000);
        FUZZ_CHECK(m_framer.pending() == 0, "bytes left over after a long silence");
    }

private:
    // A request with a good CRC that a master could really send, so the fuzzer reaches the
    // register handling without having to guess checksums.
    Bytes request(FuzzInput &in)
    {
        static const uint8_t functions[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0F, 0x10, 0xFF};
        const uint8_t pick = in.u8();
        const uint8_t slave = (pick & 0x80) ? in.u8() : uint8_t(m_sensor.slave());
        const uint8_t function = (pick & 0x40) ? in.u8() : functions[pick % sizeof functions];
        Bytes frame{slave, function};
        if (function != 0xFF) {
            for (int i = 0; i < 4; ++i)
                frame.push_back(in.u8()); // address and count (or value)
            if (function == 0x0F || function == 0x10) {
                const uint8_t byteCount = in.u8() % 64;
                frame.push_back(byteCount);
                for (uint8_t i = 0; i < byteCount; ++i)
                    frame.push_back(in.u8());
            }
        }
        appendCrc(frame);
        return frame;
    }

    void feed(const Bytes &bytes, int gapMs)
    {
        m_now += gapMs;
        m_framer.feed(bytes.data(), bytes.size(), m_now);
    }

    std::vector<uint16_t> settingTables() const
    {
        std::vector<uint16_t> values;
        for (int a = 0; a < CoilCount; ++a)
            values.push_back(m_sensor.value(Sensor::Table::Coil, a));
        for (int a = 0; a < HoldingCount; ++a)
            values.push_back(m_sensor.value(Sensor::Table::Holding, a));
        return values;
    }

    void onFrame(const Bytes &frame)
    {
        FUZZ_CHECK(frame.size() <= RtuFramer::MaxFrame, "oversized frame passed the framer");
        FUZZ_CHECK(crcValid(frame.data(), frame.size()), "frame with a bad CRC passed the framer");
        if (m_hungUp || !m_sensor.addressedTo(frame))
            return;
        const FaultEffect effect = m_faults.decide(frame);
        m_hungUp = effect.hangup;
        if (effect.hangup || effect.silent)
            return;
        const std::vector<uint16_t> before = settingTables();
        Bytes answer;
        if (effect.exceptionCode < 0)
            answer = m_sensor.handle(frame, m_now).bytes;
        else if (frame[0] != 0)
            answer = m_sensor.exceptionAnswer(frame, effect.exceptionCode);
        FUZZ_CHECK(m_sensor.slave() >= 1 && m_sensor.slave() <= 247,
                   "the sensor left the addresses a client can reach");
        FUZZ_CHECK(m_sensor.slave() == (m_sensor.value(Sensor::Table::Holding, HoldSlave) & 0xFF),
                   "the sensor listens on another address than its register 0 holds");
        FUZZ_CHECK(m_sensor.value(Sensor::Table::Holding, HoldReticle) != 1000,
                   "the validation probe value was accepted");
        if (answer.empty())
            return;
        FUZZ_CHECK(frame[0] != 0, "a broadcast was answered");
        FUZZ_CHECK(answer.size() >= 4 && answer.size() <= RtuFramer::MaxFrame, "answer length");
        FUZZ_CHECK(crcValid(answer.data(), answer.size()), "answer CRC");
        FUZZ_CHECK(answer[0] == frame[0] && (answer[1] & 0x7F) == (frame[1] & 0x7F),
                   "answer from another address or to another function");
        if (answer[1] & 0x80)
            FUZZ_CHECK(settingTables() == before, "a refused request changed a table");
        m_faults.apply(effect, answer);
        if (effect.wrongSlave && !effect.truncate && !effect.badCrc && !effect.stray)
            FUZZ_CHECK(answer[0] != frame[0] && answer[0] != 0 &&
                           crcValid(answer.data(), answer.size()),
                       "wrong-slave answer");
    }

    Sensor m_sensor;
    FaultSet m_faults;
    RtuFramer m_framer;
    int64_t m_now = 0;
    bool m_hungUp = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    Line(in).run(in);
    return 0;
}
