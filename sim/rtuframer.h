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

// Shortest silence told apart from the bytes of one frame, in microseconds. The simulator
// notices a byte when it reads it, not when the master wrote it: on a loaded machine its
// wake-ups were measured late by 0.1 ms typically, 0.5 ms in one of a hundred and up to 4 ms
// in one of a thousand. 2 ms is the silence the line needs at 19200 baud (3.5 characters),
// just above the 1.75 ms it needs at faster rates, and well below a gap of 8 ms.
constexpr int64_t SilenceFloorUs = 2000;
// The silence that ends a frame at `baud`: 3.5 characters of 11 bits up to 19200 baud, 1.75 ms
// above, never less than the floor.
int64_t frameSilenceUs(int baud);

// Cuts the byte stream of a serial line into request frames the way a slave does: a frame is
// everything between two silences of at least the frame silence. It counts only when it is
// one whole request: its CRC holds and, for the functions whose requests carry their own
// length, its length is that length. Junk after a request, two requests without a silence
// between them, or a request split by a silence make no frame.
class RtuFramer
{
public:
    static constexpr size_t MaxFrame = 256;

    using FrameHandler = std::function<void(const std::vector<uint8_t> &frame)>;
    using DropHandler = std::function<void(const std::vector<uint8_t> &bytes)>;

    // Times are in any unit the caller keeps, the silence in the same.
    explicit RtuFramer(int64_t silence)
        : m_silence(silence)
    {}

    void setFrameHandler(FrameHandler handler) { m_onFrame = std::move(handler); }
    void setDropHandler(DropHandler handler) { m_onDrop = std::move(handler); }
    // The silence that ends the frame under way and those after it.
    void setSilence(int64_t silence) { m_silence = silence; }

    void feed(const uint8_t *data, size_t length, int64_t now);
    // Closes the frame under way once the line has been quiet long enough.
    void checkSilence(int64_t now);
    // Time until checkSilence() has something to do, or -1.
    int64_t untilSilence(int64_t now) const;
    // No frame under way: the line has been silent since the last one ended.
    bool idle() const { return !m_active; }
    size_t pending() const { return m_buffer.size(); }
    // When the last byte of the frame being handed over arrived.
    int64_t frameEnd() const { return m_lastByte; }

    // Length of the request that starts `buffer`, 0 when more bytes are needed to tell,
    // -1 when the function does not tell.
    static long expectedLength(const std::vector<uint8_t> &buffer);

private:
    void close();

    int64_t m_silence;
    int64_t m_lastByte = 0;
    bool m_active = false;
    bool m_overflow = false;
    std::vector<uint8_t> m_buffer;
    FrameHandler m_onFrame;
    DropHandler m_onDrop;
};

} // namespace BriscaSim
