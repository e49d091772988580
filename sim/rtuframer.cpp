#include "rtuframer.h"

#include <algorithm>
#include <cmath>

namespace BriscaSim {

uint16_t crc16(const uint8_t *data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

bool crcValid(const uint8_t *frame, size_t length)
{
    if (length < 4)
        return false;
    const uint16_t crc = crc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

void appendCrc(std::vector<uint8_t> &frame)
{
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

int64_t frameSilenceUs(int baud)
{
    const double us = baud > 19200 ? 1750.0 : baud > 0 ? 3.5 * 11 * 1e6 / baud : 0.0;
    return std::max(SilenceFloorUs, int64_t(std::ceil(us)));
}

long RtuFramer::expectedLength(const std::vector<uint8_t> &buffer)
{
    if (buffer.size() < 2)
        return 0;
    switch (buffer[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
        return 8;
    case 0x0F:
    case 0x10:
        if (buffer.size() < 7)
            return 0;
        return 9 + buffer[6];
    case 0xFF:
        return 4;
    default:
        return -1;
    }
}

void RtuFramer::feed(const uint8_t *data, size_t length, int64_t now)
{
    if (length == 0)
        return;
    checkSilence(now);
    m_active = true;
    m_lastByte = now;
    if (m_overflow)
        return;
    m_buffer.insert(m_buffer.end(), data, data + length);
    // Nothing this long is a request; what follows until the next silence is lost with it.
    if (m_buffer.size() > MaxFrame) {
        m_overflow = true;
        m_buffer.resize(MaxFrame + 1);
    }
}

void RtuFramer::checkSilence(int64_t now)
{
    if (m_active && now - m_lastByte >= m_silence)
        close();
}

void RtuFramer::close()
{
    std::vector<uint8_t> bytes;
    bytes.swap(m_buffer);
    const long need = expectedLength(bytes);
    const bool whole = !m_overflow && bytes.size() >= 4 && crcValid(bytes.data(), bytes.size()) &&
                       (need < 0 || size_t(need) == bytes.size());
    m_active = false;
    m_overflow = false;
    if (whole) {
        if (m_onFrame)
            m_onFrame(bytes);
    } else if (m_onDrop) {
        m_onDrop(bytes);
    }
}

int64_t RtuFramer::untilSilence(int64_t now) const
{
    if (!m_active)
        return -1;
    const int64_t left = m_lastByte + m_silence - now;
    return left > 0 ? left : 0;
}

} // namespace BriscaSim
