#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include <modbus.h>

#include "linesettings.h"

namespace BriscaSim {

enum class Pattern
{
    Ramp,
    Scene
};

// The sizes of the sensor's four tables.
constexpr int CoilCount = 13;
constexpr int DiscreteCount = 5;
constexpr int HoldingCount = 14;
constexpr int InputCount = 1305;
constexpr int FrameSide = 32;
constexpr int FramePixels = FrameSide * FrameSide;
constexpr int RegionBase = 25;
constexpr int FrameBase = 281;

enum Coil
{
    CoilNoNcEnabled = 0,
    CoilTimerReset = 1,
    CoilNormallyClosed = 2,
    CoilNpn = 3,
    CoilUnidirectional = 4,
    CoilApp1 = 5,
    CoilApp2 = 6,
    CoilApp3 = 7,
    CoilApp1LimitFov = 9,
    CoilFrameAverage = 10,
    CoilNoNcFlag = 11,
    CoilCounterReset = 12,
};

enum Holding
{
    HoldSlave = 0,
    HoldSerial = 1,
    HoldApp1Max = 2,
    HoldApp1Min = 3,
    HoldApp2Max = 4,
    HoldApp2Min = 5,
    HoldApp3Max = 6,
    HoldApp3Min = 7,
    HoldAlarmDuration = 8,
    HoldEmissivity = 9,
    HoldReticle = 10,
    HoldWindow = 11,
    HoldGrid = 12,
    HoldTemperatureChoice = 13,
};

// A sensor as it left the factory; a factory reset brings back its address and line.
struct SensorConfig
{
    int slave = 1;
    int baud = 19200;
    char parity = 'E';
    Pattern pattern = Pattern::Scene;
    uint32_t seed = 1;
    double fps = 8.0;
};

using Frame = std::array<uint16_t, FramePixels>;

// One Brisca sensor: its register tables and what it measures. No I/O: the caller hands
// over complete request frames and puts the answer bytes on a line of its own.
class Sensor
{
public:
    explicit Sensor(const SensorConfig &config);
    ~Sensor();
    Sensor(const Sensor &) = delete;
    Sensor &operator=(const Sensor &) = delete;

    struct Answer
    {
        std::vector<uint8_t> bytes; // complete RTU answer, CRC included; empty: no answer
        bool addressed = false;     // the request was for this sensor
        bool changed = false;       // a write was carried out
        bool hangup = false;
    };

    // Serves one request frame (address, PDU, CRC). The CRC is not checked here.
    Answer handle(const std::vector<uint8_t> &frame, int64_t nowMs);
    // The exception answer to `frame`, nothing carried out.
    std::vector<uint8_t> exceptionAnswer(const std::vector<uint8_t> &frame, int code);

    int slave() const { return m_slave; }
    bool addressedTo(const std::vector<uint8_t> &frame) const;
    // Whether the sensor makes sense of characters sent with `line`: it listens with the
    // settings its holding register 1 holds, and hears nothing when that holds no setting.
    bool hears(const LineSettings &line) const;

    // A new thermal frame, and everything derived from it.
    void takeFrame(int64_t nowMs);
    // Runs the timer of the NO/NC flag.
    void tick(int64_t nowMs);
    // Milliseconds until tick() has something to do, or -1.
    int64_t msUntilTick(int64_t nowMs) const;

    void factoryReset(int64_t nowMs);

    // Direct access for the control lines and the register map files.
    enum class Table
    {
        Coil,
        Discrete,
        Holding,
        Input
    };
    static bool tableFromName(const std::string &name, Table &table);
    static int tableSize(Table table);
    uint16_t value(Table table, int address) const;
    bool setValue(Table table, int address, uint16_t value, int64_t nowMs);

    std::string toJson() const;
    // Applies a register map; false with a reason when it is not one.
    bool loadJson(const std::string &text, std::string &error, int64_t nowMs);

    const Frame &lastFrame() const { return m_history.back(); }
    uint64_t framesTaken() const { return m_frameCount; }

private:
    void setDefaults();
    void evaluate(int64_t nowMs, bool newFrame);
    void generate(Frame &frame);
    static bool holdingValueValid(int address, uint16_t value);
    std::vector<uint8_t> reply(const std::vector<uint8_t> &frame, bool exception, int code);
    void afterWrite(const std::vector<uint8_t> &frame, int64_t nowMs);

    SensorConfig m_config;
    modbus_t *m_ctx = nullptr;
    modbus_mapping_t *m_map = nullptr;
    int m_pipe[2] = {-1, -1};
    int m_slave;

    std::deque<Frame> m_history;
    std::mt19937 m_rng;
    uint64_t m_frameCount = 0;
    bool m_inputsPinned = false;
    std::vector<bool> m_prevBreach;
    uint32_t m_counter = 0;
    int64_t m_flagExpiresMs = -1;
};

} // namespace BriscaSim
