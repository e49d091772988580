#include "simsensor.h"

#include "rtuframer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace BriscaSim {

namespace {

bool isWriteFunction(uint8_t function)
{
    return function == 0x05 || function == 0x06 || function == 0x0F || function == 0x10;
}

uint16_t word(const std::vector<uint8_t> &frame, size_t at)
{
    return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]);
}

} // namespace

Sensor::Sensor(const SensorConfig &config)
    : m_config(config)
    , m_slave(config.slave)
    , m_rng(config.seed)
{
    // libmodbus builds the answers; it writes them to a pipe that stands in for the line
    // so that the bytes can be inspected, delayed or damaged before they go out.
    if (pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create the answer pipe");
    m_ctx =
        modbus_new_rtu("/dev/null", config.baud, config.parity, 8, config.parity == 'N' ? 2 : 1);
    m_map = modbus_mapping_new_start_address(0, CoilCount, 0, DiscreteCount, 0, HoldingCount, 0,
                                             InputCount);
    if (!m_ctx || !m_map)
        throw std::runtime_error("cannot set up the Modbus tables");
    modbus_set_socket(m_ctx, m_pipe[1]);
    // Before refusing some malformed requests libmodbus waits out its response timeout and
    // flushes; with the default 500 ms the whole sensor would stall on each. (0, 0) is
    // refused, so the shortest it takes.
    modbus_set_response_timeout(m_ctx, 0, 1);
    setDefaults();
    takeFrame(0);
}

Sensor::~Sensor()
{
    if (m_ctx) {
        modbus_set_socket(m_ctx, -1);
        modbus_free(m_ctx);
    }
    if (m_map)
        modbus_mapping_free(m_map);
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void Sensor::setDefaults()
{
    static const uint8_t coils[CoilCount] = {1, 1, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0};
    std::copy(coils, coils + CoilCount, m_map->tab_bits);
    std::fill(m_map->tab_input_bits, m_map->tab_input_bits + DiscreteCount, 0);
    const uint16_t holding[HoldingCount] = {
        static_cast<uint16_t>(m_config.slave),
        serialSettingsCode(m_config.baud, m_config.parity),
        3531, // application 1 hot: 80.0 °C
        2731, // application 1 cold: 0.0 °C
        3231, // application 2 hot: 50.0 °C
        2831, // application 2 cold: 10.0 °C
        3131, // application 3 hot: 40.0 °C
        2781, // application 3 cold: 5.0 °C
        250,  // alarm duration, ms
        95,   // emissivity, percent
        20,   // centred area side
        10,   // moving average window
        1,    // 2 x 2 pixel regions
        1,    // alarms on hot
    };
    std::copy(holding, holding + HoldingCount, m_map->tab_registers);
    m_slave = m_config.slave;
    m_counter = 0;
    m_prevBreach.clear();
    m_flagExpiresMs = -1;
}

void Sensor::factoryReset(int64_t nowMs)
{
    setDefaults();
    evaluate(nowMs, false);
}

bool Sensor::addressedTo(const std::vector<uint8_t> &frame) const
{
    return !frame.empty() && (frame[0] == m_slave || frame[0] == 0);
}

bool Sensor::hears(const LineSettings &line) const
{
    LineSettings own;
    return settingsFromCode(m_map->tab_registers[HoldSerial], own) && BriscaSim::hears(own, line);
}

bool Sensor::holdingValueValid(int address, uint16_t value)
{
    switch (address) {
    case HoldSlave:
        return value >= 1 && value <= 247;
    case HoldSerial:
        return (value & 0xFFC0) == 0 && (value & 3) != 3 && (value >> 2) <= 12;
    case HoldApp1Max:
    case HoldApp1Min:
    case HoldApp2Max:
    case HoldApp2Min:
    case HoldApp3Max:
    case HoldApp3Min:
        return value >= 2531 && value <= 9431;
    case HoldAlarmDuration:
        return value >= 50 && value <= 2000;
    case HoldEmissivity:
        return value >= 1 && value <= 100;
    case HoldReticle:
        return value >= 2 && value <= 32 && value % 2 == 0;
    case HoldWindow:
        return value >= 1 && value <= 16;
    case HoldGrid:
        return value >= 1 && value <= 4;
    case HoldTemperatureChoice:
        return value >= 1 && value <= 3;
    default:
        return false;
    }
}

std::vector<uint8_t> Sensor::reply(const std::vector<uint8_t> &frame, bool exception, int code)
{
    uint8_t drain[512];
    while (::read(m_pipe[0], drain, sizeof drain) > 0) {
    }
    const int rc = exception ? modbus_reply_exception(m_ctx, frame.data(), code)
                             : modbus_reply(m_ctx, frame.data(), int(frame.size()), m_map);
    std::vector<uint8_t> out;
    if (rc <= 0)
        return out;
    ssize_t n;
    while ((n = ::read(m_pipe[0], drain, sizeof drain)) > 0)
        out.insert(out.end(), drain, drain + n);
    return out;
}

std::vector<uint8_t> Sensor::exceptionAnswer(const std::vector<uint8_t> &frame, int code)
{
    if (frame.size() < 4)
        return {};
    // Built here: libmodbus refuses to send codes beyond the ones the standard names, and
    // a test may want any byte there.
    std::vector<uint8_t> out{frame[0], static_cast<uint8_t>(frame[1] | 0x80),
                             static_cast<uint8_t>(code)};
    appendCrc(out);
    return out;
}

Sensor::Answer Sensor::handle(const std::vector<uint8_t> &frame, int64_t nowMs)
{
    Answer answer;
    if (frame.size() < 4 || !addressedTo(frame))
        return answer;
    answer.addressed = true;
    const bool broadcast = frame[0] == 0;
    const uint8_t function = frame[1];
    const size_t length = frame.size();

    if (function == 0xFF) {
        factoryReset(nowMs);
        answer.changed = true;
        return answer;
    }
    if (broadcast && !isWriteFunction(function))
        return answer;
    // A broadcast is carried out like a write to this sensor's own address, whose answer
    // then stays unsent; so libmodbus builds an answer, and acceptance and refusal read the
    // same as for an addressed write.
    std::vector<uint8_t> request = frame;
    if (broadcast)
        request[0] = static_cast<uint8_t>(m_slave);

    std::vector<uint8_t> out;
    switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
        if (length != 8)
            return answer;
        out = reply(request, false, 0);
        break;
    case 0x06: {
        if (length != 8)
            return answer;
        const int address = word(frame, 2);
        if (address < HoldingCount && !holdingValueValid(address, word(frame, 4)))
            out = reply(request, true, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        else
            out = reply(request, false, 0);
        break;
    }
    case 0x0F:
    case 0x10: {
        if (length < 9 || length != size_t(9 + frame[6]))
            return answer;
        if (function == 0x10) {
            const int address = word(frame, 2);
            const int count = word(frame, 4);
            bool valid = true;
            if (count >= 1 && count <= 123 && frame[6] == count * 2 &&
                address + count <= HoldingCount) {
                for (int i = 0; i < count; ++i)
                    valid = valid && holdingValueValid(address + i, word(frame, 7 + 2 * size_t(i)));
            }
            if (!valid) {
                out = reply(request, true, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
                break;
            }
        }
        out = reply(request, false, 0);
        break;
    }
    default:
        out = reply(request, true, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        break;
    }

    const bool accepted = out.size() >= 2 && !(out[1] & 0x80);
    if (isWriteFunction(function) && accepted) {
        answer.changed = true;
        afterWrite(frame, nowMs);
    }
    if (!broadcast)
        answer.bytes = std::move(out);
    return answer;
}

void Sensor::afterWrite(const std::vector<uint8_t> &frame, int64_t nowMs)
{
    const uint8_t function = frame[1];
    const int address = word(frame, 2);
    const int count = (function == 0x05 || function == 0x06) ? 1 : word(frame, 4);
    const bool coils = function == 0x05 || function == 0x0F;
    auto covers = [&](int a) {
        return a >= address && a < address + count;
    };

    if (coils && covers(CoilCounterReset) && m_map->tab_bits[CoilCounterReset]) {
        // Regions already in breach were counted before the reset; only those that enter
        // from now on count again, so the breach history stays as it is.
        m_counter = 0;
        m_map->tab_bits[CoilCounterReset] = 0;
        m_map->tab_input_registers[23] = 0;
    }
    // The answer went out from the old address; from now on the sensor listens on the new one.
    if (!coils && covers(HoldSlave))
        m_slave = m_map->tab_registers[HoldSlave];
    evaluate(nowMs, false);
}

void Sensor::generate(Frame &frame)
{
    if (m_config.pattern == Pattern::Ramp) {
        for (int i = 0; i < FramePixels; ++i)
            frame[i] = static_cast<uint16_t>(2731 + i);
        return;
    }
    // A room at about 22 °C with a warm object circling through it and a cold one drifting
    // slowly in a corner, plus the pixel noise of a cheap thermopile array.
    const double rate = m_config.fps > 0 ? m_config.fps : 8.0;
    const double t = double(m_frameCount) / rate;
    const double hotX = 16 + 10 * std::cos(0.7 * t), hotY = 16 + 8 * std::sin(0.9 * t);
    const double coldX = 8 + 3 * std::sin(0.3 * t), coldY = 24 + 3 * std::cos(0.25 * t);
    std::normal_distribution<double> noise(0.0, 1.5);
    for (int x = 0; x < FrameSide; ++x) {
        for (int y = 0; y < FrameSide; ++y) {
            const double hot =
                std::exp(-((x - hotX) * (x - hotX) + (y - hotY) * (y - hotY)) / (2 * 2.2 * 2.2));
            const double cold = std::exp(-((x - coldX) * (x - coldX) + (y - coldY) * (y - coldY)) /
                                         (2 * 2.0 * 2.0));
            const double v = 2951 + 0.4 * (y - 16) + 450 * hot - 180 * cold + noise(m_rng);
            frame[FrameSide * x + y] =
                static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 65535.0)));
        }
    }
}

void Sensor::takeFrame(int64_t nowMs)
{
    Frame frame;
    generate(frame);
    m_history.push_back(frame);
    while (m_history.size() > 16)
        m_history.pop_front();
    ++m_frameCount;
    m_inputsPinned = false;
    evaluate(nowMs, true);
}

void Sensor::evaluate(int64_t nowMs, bool newFrame)
{
    if (m_inputsPinned && !newFrame)
        return;
    uint16_t *in = m_map->tab_input_registers;
    uint8_t *coil = m_map->tab_bits;
    uint8_t *di = m_map->tab_input_bits;
    const uint16_t *hold = m_map->tab_registers;
    const Frame &current = m_history.back();
    std::copy(current.begin(), current.end(), in + FrameBase);

    // Applications 1 and 3 may look at the mean of the last four frames.
    Frame source = current;
    const size_t depth = coil[CoilFrameAverage] ? std::min<size_t>(4, m_history.size()) : 1;
    if (depth > 1) {
        for (int i = 0; i < FramePixels; ++i) {
            uint32_t sum = 0;
            for (size_t k = m_history.size() - depth; k < m_history.size(); ++k)
                sum += m_history[k][i];
            source[i] = static_cast<uint16_t>((sum + depth / 2) / depth);
        }
    }

    const int choice = hold[HoldTemperatureChoice];
    const bool hot = choice & 1, cold = choice & 2;

    // Application 1: extremes and mean, over everything or the inner 20 x 20 pixels.
    const int lo = coil[CoilApp1LimitFov] ? 6 : 0, hi = coil[CoilApp1LimitFov] ? 26 : 32;
    int minAt = FrameSide * lo + lo, maxAt = minAt;
    uint64_t sum = 0;
    for (int x = lo; x < hi; ++x) {
        for (int y = lo; y < hi; ++y) {
            const int i = FrameSide * x + y;
            sum += source[i];
            if (source[i] < source[minAt])
                minAt = i;
            if (source[i] > source[maxAt])
                maxAt = i;
        }
    }
    const uint64_t cells = uint64_t(hi - lo) * (hi - lo);
    in[0] = source[minAt];
    in[1] = static_cast<uint16_t>(minAt / FrameSide | (minAt % FrameSide) << 8);
    in[2] = source[maxAt];
    in[3] = static_cast<uint16_t>(maxAt / FrameSide | (maxAt % FrameSide) << 8);
    in[4] = static_cast<uint16_t>((sum + cells / 2) / cells);

    // Application 2: the centred square, averaged over the moving window of frames.
    const int half = std::clamp<int>(hold[HoldReticle], 2, 32) / 2;
    const size_t window =
        std::min<size_t>(std::clamp<int>(hold[HoldWindow], 1, 16), m_history.size());
    uint64_t squareSum = 0;
    for (size_t k = m_history.size() - window; k < m_history.size(); ++k) {
        for (int x = 16 - half; x < 16 + half; ++x) {
            for (int y = 16 - half; y < 16 + half; ++y)
                squareSum += m_history[k][FrameSide * x + y];
        }
    }
    const uint64_t squareCells = uint64_t(window) * (2 * half) * (2 * half);
    const uint16_t app2 = static_cast<uint16_t>((squareSum + squareCells / 2) / squareCells);
    in[24] = app2;

    // Application 3: region means, numbered up each column of regions first.
    const int side = 1 << std::clamp<int>(hold[HoldGrid], 1, 4);
    const int perSide = FrameSide / side;
    const int regions = perSide * perSide;
    std::vector<bool> breach(size_t(regions), false);
    int bestDelta = -1, bestArea = 0;
    uint16_t bestTemp = 0;
    for (int n = 0; n < 256; ++n) {
        if (n >= regions) {
            in[RegionBase + n] = 0;
            continue;
        }
        const int x0 = (n / perSide) * side, y0 = (n % perSide) * side;
        uint32_t regionSum = 0;
        for (int x = x0; x < x0 + side; ++x) {
            for (int y = y0; y < y0 + side; ++y)
                regionSum += source[FrameSide * x + y];
        }
        const uint32_t area = uint32_t(side) * side;
        const uint16_t t = static_cast<uint16_t>((regionSum + area / 2) / area);
        in[RegionBase + n] = t;
        int delta = -1;
        if (hot && t > hold[HoldApp3Max])
            delta = t - hold[HoldApp3Max];
        if (cold && t < hold[HoldApp3Min])
            delta = std::max(delta, hold[HoldApp3Min] - t);
        if (coil[CoilApp3] && delta >= 0) {
            breach[size_t(n)] = true;
            if (delta > bestDelta) {
                bestDelta = delta;
                bestArea = n + 1;
                bestTemp = t;
            }
        }
    }
    std::fill(in + 5, in + 21, 0);
    int breaching = 0;
    for (int n = 0; n < regions; ++n) {
        if (breach[size_t(n)]) {
            ++breaching;
            in[5 + n / 16] = static_cast<uint16_t>(in[5 + n / 16] | 1u << (n % 16));
        }
    }
    in[21] = bestTemp;
    in[22] = static_cast<uint16_t>(bestArea);
    m_prevBreach.resize(size_t(regions), false);
    if (coil[CoilUnidirectional]) {
        for (int n = 0; n < regions; ++n) {
            if (breach[size_t(n)] && !m_prevBreach[size_t(n)])
                ++m_counter;
        }
    } else {
        m_counter = uint32_t(breaching);
    }
    m_prevBreach = breach;
    in[23] = static_cast<uint16_t>(std::min<uint32_t>(m_counter, 0xFFFF));

    di[2] = coil[CoilApp1] &&
            ((hot && in[2] > hold[HoldApp1Max]) || (cold && in[0] < hold[HoldApp1Min]));
    di[3] =
        coil[CoilApp2] && ((hot && app2 > hold[HoldApp2Max]) || (cold && app2 < hold[HoldApp2Min]));
    di[4] = breaching > 0;
    di[0] = di[2] || di[3] || di[4];
    if (di[0] && coil[CoilNoNcEnabled]) {
        coil[CoilNoNcFlag] = 1;
        m_flagExpiresMs = nowMs + hold[HoldAlarmDuration];
    }
    // The output transistor conducts while a N.O. output is active or a N.C. one is idle.
    di[1] = coil[CoilNoNcEnabled] && (coil[CoilNoNcFlag] != coil[CoilNormallyClosed]);
}

void Sensor::tick(int64_t nowMs)
{
    uint8_t *coil = m_map->tab_bits;
    if (!coil[CoilNoNcFlag] || !coil[CoilTimerReset] || m_flagExpiresMs < 0)
        return;
    if (m_map->tab_input_bits[0] && coil[CoilNoNcEnabled]) {
        m_flagExpiresMs = nowMs + m_map->tab_registers[HoldAlarmDuration];
        return;
    }
    if (nowMs >= m_flagExpiresMs) {
        coil[CoilNoNcFlag] = 0;
        m_flagExpiresMs = -1;
        m_map->tab_input_bits[1] = coil[CoilNoNcEnabled] && coil[CoilNormallyClosed];
    }
}

int64_t Sensor::msUntilTick(int64_t nowMs) const
{
    const uint8_t *coil = m_map->tab_bits;
    if (!coil[CoilNoNcFlag] || !coil[CoilTimerReset] || m_flagExpiresMs < 0)
        return -1;
    if (m_map->tab_input_bits[0] && coil[CoilNoNcEnabled])
        return m_map->tab_registers[HoldAlarmDuration];
    return std::max<int64_t>(0, m_flagExpiresMs - nowMs);
}

bool Sensor::tableFromName(const std::string &name, Table &table)
{
    if (name == "coil" || name == "coils")
        table = Table::Coil;
    else if (name == "discrete" || name == "discrete_inputs")
        table = Table::Discrete;
    else if (name == "holding")
        table = Table::Holding;
    else if (name == "input")
        table = Table::Input;
    else
        return false;
    return true;
}

int Sensor::tableSize(Table table)
{
    switch (table) {
    case Table::Coil:
        return CoilCount;
    case Table::Discrete:
        return DiscreteCount;
    case Table::Holding:
        return HoldingCount;
    case Table::Input:
        return InputCount;
    }
    return 0;
}

uint16_t Sensor::value(Table table, int address) const
{
    if (address < 0 || address >= tableSize(table))
        return 0;
    switch (table) {
    case Table::Coil:
        return m_map->tab_bits[address];
    case Table::Discrete:
        return m_map->tab_input_bits[address];
    case Table::Holding:
        return m_map->tab_registers[address];
    case Table::Input:
        return m_map->tab_input_registers[address];
    }
    return 0;
}

bool Sensor::setValue(Table table, int address, uint16_t value, int64_t nowMs)
{
    if (address < 0 || address >= tableSize(table))
        return false;
    switch (table) {
    case Table::Coil:
        m_map->tab_bits[address] = value != 0;
        break;
    case Table::Discrete:
        m_map->tab_input_bits[address] = value != 0;
        m_inputsPinned = true;
        break;
    case Table::Holding:
        m_map->tab_registers[address] = value;
        if (address == HoldSlave)
            m_slave = value & 0xFF;
        break;
    case Table::Input:
        m_map->tab_input_registers[address] = value;
        m_inputsPinned = true;
        break;
    }
    evaluate(nowMs, false);
    return true;
}

std::string Sensor::toJson() const
{
    std::string out = "{\"slave\": " + std::to_string(m_slave);
    auto array = [&](const char *key, Table table) {
        out += ",\n \"";
        out += key;
        out += "\": [";
        for (int i = 0; i < tableSize(table); ++i) {
            if (i)
                out += ',';
            out += std::to_string(value(table, i));
        }
        out += ']';
    };
    array("coils", Table::Coil);
    array("discrete_inputs", Table::Discrete);
    array("holding", Table::Holding);
    array("input", Table::Input);
    out += "}\n";
    return out;
}

bool Sensor::loadJson(const std::string &text, std::string &error, int64_t nowMs)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &parseError);
    if (!doc.isObject()) {
        error = parseError.error != QJsonParseError::NoError
                    ? parseError.errorString().toStdString()
                    : "not a JSON object";
        return false;
    }
    const QJsonObject map = doc.object();
    struct Key
    {
        const char *name;
        Table table;
    };
    const Key keys[] = {{"coils", Table::Coil},
                        {"discrete_inputs", Table::Discrete},
                        {"holding", Table::Holding},
                        {"input", Table::Input}};
    // Check everything first so that a bad file changes nothing.
    for (const Key &key : keys) {
        if (!map.contains(QLatin1String(key.name)))
            continue;
        const QJsonValue v = map.value(QLatin1String(key.name));
        if (!v.isArray() || v.toArray().size() > tableSize(key.table)) {
            error = std::string(key.name) + ": expected an array of at most " +
                    std::to_string(tableSize(key.table)) + " values";
            return false;
        }
        for (const QJsonValue &item : v.toArray()) {
            const double d = item.toDouble(-1);
            if (!(item.isDouble() || item.isBool()) ||
                (item.isDouble() && (d < 0 || d > 65535 || d != std::floor(d)))) {
                error = std::string(key.name) + ": values must be integers from 0 to 65535";
                return false;
            }
        }
    }
    if (map.contains(QLatin1String("slave"))) {
        const double s = map.value(QLatin1String("slave")).toDouble(-1);
        if (s < 0 || s > 255 || s != std::floor(s)) {
            error = "slave: expected an address from 0 to 255";
            return false;
        }
    }
    bool pin = false;
    for (const Key &key : keys) {
        const QJsonArray array = map.value(QLatin1String(key.name)).toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QJsonValue item = array.at(i);
            const uint16_t v = item.isBool() ? uint16_t(item.toBool()) : uint16_t(item.toInt());
            switch (key.table) {
            case Table::Coil:
                m_map->tab_bits[i] = v != 0;
                break;
            case Table::Discrete:
                m_map->tab_input_bits[i] = v != 0;
                pin = true;
                break;
            case Table::Holding:
                m_map->tab_registers[i] = v;
                break;
            case Table::Input:
                m_map->tab_input_registers[i] = v;
                pin = true;
                break;
            }
        }
    }
    if (map.contains(QLatin1String("slave")))
        m_map->tab_registers[HoldSlave] =
            static_cast<uint16_t>(map.value(QLatin1String("slave")).toInt());
    m_slave = m_map->tab_registers[HoldSlave] & 0xFF;
    // Loaded measurements stay as they are until the sensor takes its next frame.
    m_inputsPinned = m_inputsPinned || pin;
    evaluate(nowMs, false);
    return true;
}

} // namespace BriscaSim
