#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Reads the fuzzer's bytes as a stream of small fields. Once the bytes run out every read
// gives 0, so any input, however short, decodes to a well-defined run.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {}

    bool atEnd() const { return m_pos >= m_size; }
    size_t remaining() const { return atEnd() ? 0 : m_size - m_pos; }

    uint8_t u8() { return atEnd() ? 0 : m_data[m_pos++]; }
    uint16_t u16()
    {
        const uint16_t high = u8();
        return uint16_t(high << 8 | u8());
    }
    uint32_t u32()
    {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    bool flag() { return u8() & 1; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A broken invariant is a finding: stop right there so the fuzzer keeps the input.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         what);                                                                    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
