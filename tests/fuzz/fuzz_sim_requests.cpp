// Feeds arbitrary bytes, in arbitrary bursts and pauses, to the virtual sensor's request
// handling: the RTU framer cuts the stream, the fault rules decide, the sensor answers and
// the faults damage the answer, in the order the simulator's server loop uses.
//
// Input: a configuration (pattern, slave address, seed, silence interval), then a sequence
// of operations: raw bytes, bytes closed by a good CRC, well-formed requests, pauses, fault
// rules, new frames. Besides memory errors the run stops when an answer is not a valid
// frame from the asked address, when a refused request changed a table, or when the sensor
// ends up on an address no client can reach or on another one than its register 0 holds.

#include "faults.h"
#include "fuzzinput.h"
#include "rtuframer.h"
#include "simsensor.h"

#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace BriscaSim;
using Bytes = std::vector<uint8_t>;

enum class Op
{
    RawBytes,
    CheckedBytes,
    Request,
    Pause,
    AddFault,
    ClearFaults,
    NewFrame,
    Count
};

std::vector<uint16_t> settingTables(const Sensor &sensor)
{
    std::vector<uint16_t> values;
    for (int a = 0; a < CoilCount; ++a)
        values.push_back(sensor.value(Sensor::Table::Coil, a));
    for (int a = 0; a < HoldingCount; ++a)
        values.push_back(sensor.value(Sensor::Table::Holding, a));
    return values;
}

class Line
{
public:
    explicit Line(FuzzInput &in)
        : m_sensor(configFrom(in))
        , m_faults(in.u32())
        , m_framer(1 + in.u8() % 40)
    {
        m_framer.setFrameHandler([this](const Bytes &frame) { onFrame(frame); });
    }

    void run(FuzzInput &in)
    {
        for (int n = 0; n < 128 && !in.atEnd(); ++n) {
            switch (Op(in.u8() % int(Op::Count))) {
            case Op::RawBytes: {
                Bytes bytes = readBytes(in, in.u8() % 64);
                feed(bytes, in.u8() % 4);
                break;
            }
            case Op::CheckedBytes: {
                Bytes bytes = readBytes(in, in.u8() % 64);
                appendCrc(bytes);
                feed(bytes, in.u8() % 4);
                break;
            }
            case Op::Request: {
                const Bytes frame = request(in);
                feed(frame, in.u8() % 4);
                break;
            }
            case Op::Pause:
                m_now += in.u16() % 5000;
                m_framer.checkSilence(m_now);
                m_sensor.tick(m_now);
                break;
            case Op::AddFault: {
                const Bytes text = readBytes(in, in.u8() % 48);
                std::string error;
                m_faults.add(std::string(text.begin(), text.end()), error);
                break;
            }
            case Op::ClearFaults:
                m_faults.clear();
                break;
            case Op::NewFrame:
                m_sensor.takeFrame(m_now);
                break;
            case Op::Count:
                break;
            }
        }
        m_now += 10000;
        m_framer.checkSilence(m_now);
        FUZZ_CHECK(m_framer.pending() == 0, "bytes left over after a long silence");
    }

private:
    static SensorConfig configFrom(FuzzInput &in)
    {
        SensorConfig config;
        config.pattern = in.flag() ? Pattern::Ramp : Pattern::Scene;
        config.slave = 1 + in.u8() % 247;
        config.seed = in.u16();
        return config;
    }

    static Bytes readBytes(FuzzInput &in, size_t count)
    {
        Bytes bytes;
        for (size_t i = 0; i < count && !in.atEnd(); ++i)
            bytes.push_back(in.u8());
        return bytes;
    }

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

    void onFrame(const Bytes &frame)
    {
        FUZZ_CHECK(frame.size() <= RtuFramer::MaxFrame, "oversized frame passed the framer");
        FUZZ_CHECK(crcValid(frame.data(), frame.size()), "frame with a bad CRC passed the framer");
        if (m_hungUp || !m_sensor.addressedTo(frame))
            return;
        const FaultEffect effect = m_faults.decide(frame);
        if (effect.hangup) {
            m_hungUp = true;
            return;
        }
        if (effect.silent)
            return;

        const std::vector<uint16_t> before = settingTables(m_sensor);
        Bytes answer;
        if (effect.exceptionCode >= 0) {
            if (frame[0] != 0)
                answer = m_sensor.exceptionAnswer(frame, effect.exceptionCode);
        } else {
            answer = m_sensor.handle(frame, m_now).bytes;
        }
        checkAnswer(frame, answer);
        if (answer.size() >= 2 && (answer[1] & 0x80))
            FUZZ_CHECK(settingTables(m_sensor) == before, "a refused request changed a table");
        FUZZ_CHECK(m_sensor.slave() >= 1 && m_sensor.slave() <= 247,
                   "the sensor left the addresses a client can reach");
        FUZZ_CHECK(m_sensor.slave() == (m_sensor.value(Sensor::Table::Holding, HoldSlave) & 0xFF),
                   "the sensor listens on another address than its register 0 holds");
        FUZZ_CHECK(m_sensor.value(Sensor::Table::Holding, HoldReticle) != 1000,
                   "the validation probe value was accepted");

        if (answer.empty())
            return;
        m_faults.apply(effect, answer);
        if (effect.wrongSlave && !effect.truncate && !effect.badCrc && !effect.stray) {
            FUZZ_CHECK(answer[0] != frame[0] && answer[0] != 0, "wrong-slave answer");
            FUZZ_CHECK(crcValid(answer.data(), answer.size()), "wrong-slave answer CRC");
        }
    }

    static void checkAnswer(const Bytes &frame, const Bytes &answer)
    {
        if (answer.empty())
            return;
        FUZZ_CHECK(frame[0] != 0, "a broadcast was answered");
        FUZZ_CHECK(answer.size() >= 4 && answer.size() <= RtuFramer::MaxFrame, "answer length");
        FUZZ_CHECK(crcValid(answer.data(), answer.size()), "answer CRC");
        FUZZ_CHECK(answer[0] == frame[0], "answer from another address");
        FUZZ_CHECK((answer[1] & 0x7F) == (frame[1] & 0x7F), "answer to another function");
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
    Line line(in);
    line.run(in);
    return 0;
}
