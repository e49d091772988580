#pragma once

#include "faults.h"
#include "linesettings.h"
#include "rtuframer.h"
#include "simsensor.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace BriscaSim {

// Sensors on one RS485 line and the line between them and the master. It cuts what the
// master sends into frames by silence, hands each frame to the sensors whose own line
// settings make sense of it, lets the fault rules spoil the answer and holds it until it is
// due. No I/O: the caller reads the line and the settings the master put on it, and writes
// out what is due. Times are microseconds of a steady clock.
class Bus
{
public:
    Bus(const std::vector<SensorConfig> &sensors, uint32_t faultSeed, bool pace);

    size_t size() const { return m_sensors.size(); }
    Sensor &sensor(size_t index) { return *m_sensors[index]; }
    FaultSet &faults() { return m_faults; }

    // `length` bytes arrived at `nowUs` while the master's port was set to `line`.
    void receive(const uint8_t *bytes, size_t length, const LineSettings &line, int64_t nowUs);
    // Ends the frame under way once the line has been silent long enough; runs the sensors'
    // timers.
    void advance(int64_t nowUs);
    // Microseconds until advance() or takeAnswer() has something to do, or -1.
    int64_t idleFor(int64_t nowUs) const;
    // The next answer, once it is due.
    bool takeAnswer(int64_t nowUs, std::vector<uint8_t> &bytes);

    void hangup() { m_hungUp = true; }
    bool hungUp() const { return m_hungUp; }

    // A request changed the tables of the sensor with this index.
    std::function<void(size_t)> onChange;
    // What --verbose prints: "rx", "drop" and "unheard" lines.
    std::function<void(const std::string &)> onLog;

    static std::string hex(const std::vector<uint8_t> &bytes);

private:
    void onFrame(const std::vector<uint8_t> &frame);
    void log(const std::string &line);

    struct Pending
    {
        int64_t dueUs;
        std::vector<uint8_t> bytes;
    };

    std::vector<std::unique_ptr<Sensor>> m_sensors;
    FaultSet m_faults;
    RtuFramer m_framer;
    bool m_pace;
    bool m_hungUp = false;
    // The master's settings when the frame under way started.
    LineSettings m_frameLine;
    int64_t m_nowUs = 0;
    std::deque<Pending> m_out;
};

} // namespace BriscaSim
