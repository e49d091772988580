#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace BriscaSim {

// CRC-16 of the RTU frame check, low byte first on the wire.
uint16_t crc16(const uint8_t *data, size_t length);
bool crcValid(const uint8_t *frame, size_t length);
void appendCrc(std::vector<uint8_t> &frame);

// Cuts the byte stream of a serial line into request frames the way a slave does.
//
// Requests of the known functions carry their own length, so they are taken as soon as
// the last byte is there and pass the CRC check. Anything else only ends at a silent
// interval: then the bytes gathered so far are one frame if their CRC holds. A frame
// whose CRC fails poisons everything up to the next silence, as on a real line where
// the slave can no longer tell where the next frame starts.
class RtuFramer
{
public:
    static constexpr size_t MaxFrame = 256;

    enum class Drop
    {
        None,
        BadCrc,
        Oversized,
        Silence
    };
    using FrameHandler = std::function<void(const std::vector<uint8_t> &frame)>;
    using DropHandler = std::function<void(const std::vector<uint8_t> &bytes)>;

    explicit RtuFramer(int64_t silenceMs)
        : m_silenceMs(silenceMs)
    {}

    void setFrameHandler(FrameHandler handler) { m_onFrame = std::move(handler); }
    void setDropHandler(DropHandler handler) { m_onDrop = std::move(handler); }

    void feed(const uint8_t *data, size_t length, int64_t nowMs);
    // Closes the frame under way once the line has been quiet long enough.
    void checkSilence(int64_t nowMs);
    // Milliseconds until checkSilence() has something to do, or -1.
    int64_t msUntilSilence(int64_t nowMs) const;
    size_t pending() const { return m_buffer.size(); }

    // Length of the request that starts `buffer`, 0 when more bytes are needed to tell,
    // -1 when only a silence can end it.
    static long expectedLength(const std::vector<uint8_t> &buffer);

private:
    void extract();
    void drop();

    int64_t m_silenceMs;
    int64_t m_lastByteMs = 0;
    bool m_discarding = false;
    std::vector<uint8_t> m_buffer;
    FrameHandler m_onFrame;
    DropHandler m_onDrop;
};

} // namespace BriscaSim
