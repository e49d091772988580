#include "simbus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace BriscaSim {

namespace {

// The time an exchange takes on a real line: both frames at 11 bits per character and the
// silence before the answer. The silence that ends the request is part of it, so the answer
// is due this long after the request's last byte, however soon the frame was closed.
int64_t paceUs(size_t requestBytes, size_t answerBytes, int baud)
{
    const double character = 11 * 1e6 / baud;
    const double silence = baud > 19200 ? 1750.0 : 3.5 * character;
    return int64_t(std::llround(double(requestBytes + answerBytes) * character + silence));
}

// Two sensors on one address answer together; where their drivers disagree the line reads
// as the idle level loses, so the master gets the bits both leave high.
void collide(std::vector<uint8_t> &into, const std::vector<uint8_t> &answer)
{
    if (into.empty()) {
        into = answer;
        return;
    }
    for (size_t i = 0; i < std::min(into.size(), answer.size()); ++i)
        into[i] &= answer[i];
    if (answer.size() > into.size())
        into.insert(into.end(), answer.begin() + long(into.size()), answer.end());
}

} // namespace

Bus::Bus(const std::vector<SensorConfig> &sensors, uint32_t faultSeed, bool pace)
    : m_faults(faultSeed)
    , m_framer(SilenceFloorUs)
    , m_pace(pace)
{
    for (const SensorConfig &config : sensors)
        m_sensors.push_back(std::make_unique<Sensor>(config));
    m_framer.setFrameHandler([this](const std::vector<uint8_t> &frame) { onFrame(frame); });
    m_framer.setDropHandler([this](const std::vector<uint8_t> &bytes) {
        if (!bytes.empty())
            log("drop " + hex(bytes));
    });
}

std::string Bus::hex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

void Bus::log(const std::string &line)
{
    if (onLog)
        onLog(line);
}

void Bus::receive(const uint8_t *bytes, size_t length, const LineSettings &line, int64_t nowUs)
{
    if (length == 0)
        return;
    m_nowUs = nowUs;
    // A silence before these bytes ends the frame under way; a new one is heard with the
    // settings it begins with.
    m_framer.checkSilence(nowUs);
    if (m_framer.idle()) {
        m_frameLine = line;
        m_framer.setSilence(frameSilenceUs(line.baud));
    }
    m_framer.feed(bytes, length, nowUs);
}

void Bus::advance(int64_t nowUs)
{
    m_nowUs = nowUs;
    m_framer.checkSilence(nowUs);
    for (auto &sensor : m_sensors)
        sensor->tick(nowUs / 1000);
}

int64_t Bus::idleFor(int64_t nowUs) const
{
    int64_t wait = m_framer.untilSilence(nowUs);
    auto shorten = [&wait](int64_t us) {
        if (us >= 0 && (wait < 0 || us < wait))
            wait = us;
    };
    if (!m_out.empty())
        shorten(std::max<int64_t>(0, m_out.front().dueUs - nowUs));
    for (const auto &sensor : m_sensors) {
        const int64_t ms = sensor->msUntilTick(nowUs / 1000);
        if (ms >= 0)
            shorten(ms * 1000);
    }
    return wait;
}

bool Bus::takeAnswer(int64_t nowUs, std::vector<uint8_t> &bytes)
{
    if (m_hungUp || m_out.empty() || m_out.front().dueUs > nowUs)
        return false;
    bytes = std::move(m_out.front().bytes);
    m_out.pop_front();
    return true;
}

void Bus::onFrame(const std::vector<uint8_t> &frame)
{
    if (m_hungUp)
        return;
    std::vector<size_t> hearing;
    for (size_t i = 0; i < m_sensors.size(); ++i) {
        if (m_sensors[i]->hears(m_frameLine))
            hearing.push_back(i);
    }
    if (hearing.empty()) {
        log("unheard " + m_frameLine.text() + ' ' + hex(frame));
        return;
    }
    log("rx " + hex(frame));

    std::vector<size_t> addressed;
    for (size_t i : hearing) {
        if (m_sensors[i]->addressedTo(frame))
            addressed.push_back(i);
    }
    if (addressed.empty())
        return;
    const FaultEffect effect = m_faults.decide(frame);
    if (effect.hangup) {
        m_hungUp = true;
        return;
    }
    if (effect.silent)
        return;

    const int64_t nowMs = m_nowUs / 1000;
    std::vector<uint8_t> answer;
    for (size_t i : addressed) {
        Sensor &sensor = *m_sensors[i];
        if (effect.exceptionCode >= 0) {
            if (frame[0] != 0)
                collide(answer, sensor.exceptionAnswer(frame, effect.exceptionCode));
            continue;
        }
        Sensor::Answer a = sensor.handle(frame, nowMs);
        if (a.changed && onChange)
            onChange(i);
        collide(answer, a.bytes);
    }
    if (answer.empty())
        return;
    m_faults.apply(effect, answer);
    int64_t due = m_pace
                      ? m_framer.frameEnd() + paceUs(frame.size(), answer.size(), m_frameLine.baud)
                      : m_nowUs;
    due += int64_t(effect.lateMs) * 1000;
    if (!m_out.empty())
        due = std::max(due, m_out.back().dueUs);
    m_out.push_back({due, std::move(answer)});
}

} // namespace BriscaSim
