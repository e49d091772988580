#include "rtuframer.h"

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

void RtuFramer::feed(const uint8_t *data, size_t length, int64_t nowMs)
{
    if (length == 0)
        return;
    // A gap before these bytes ends whatever came earlier.
    if (!m_buffer.empty() && nowMs - m_lastByteMs >= m_silenceMs)
        checkSilence(nowMs);
    m_lastByteMs = nowMs;
    m_buffer.insert(m_buffer.end(), data, data + length);
    extract();
}

void RtuFramer::extract()
{
    while (!m_discarding && !m_buffer.empty()) {
        const long need = expectedLength(m_buffer);
        if (need == 0 || need < 0 || m_buffer.size() < static_cast<size_t>(need)) {
            if (m_buffer.size() > MaxFrame)
                m_discarding = true;
            return;
        }
        if (!crcValid(m_buffer.data(), static_cast<size_t>(need))) {
            m_discarding = true;
            return;
        }
        std::vector<uint8_t> frame(m_buffer.begin(), m_buffer.begin() + need);
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + need);
        if (m_onFrame)
            m_onFrame(frame);
    }
}

void RtuFramer::drop()
{
    if (m_onDrop && !m_buffer.empty())
        m_onDrop(m_buffer);
    m_buffer.clear();
}

void RtuFramer::checkSilence(int64_t nowMs)
{
    if (m_buffer.empty() || nowMs - m_lastByteMs < m_silenceMs)
        return;
    const bool wholeFrame = !m_discarding && m_buffer.size() <= MaxFrame &&
                            expectedLength(m_buffer) < 0 &&
                            crcValid(m_buffer.data(), m_buffer.size());
    m_discarding = false;
    if (wholeFrame) {
        std::vector<uint8_t> frame;
        frame.swap(m_buffer);
        if (m_onFrame)
            m_onFrame(frame);
        return;
    }
    drop();
}

int64_t RtuFramer::msUntilSilence(int64_t nowMs) const
{
    if (m_buffer.empty())
        return -1;
    const int64_t left = m_lastByteMs + m_silenceMs - nowMs;
    return left > 0 ? left : 0;
}

} // namespace BriscaSim
