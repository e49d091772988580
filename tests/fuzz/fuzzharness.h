#pragma once

// The harness the fuzz targets share: the input decoder, the check that keeps a finding, the
// Qt application of the Qt targets, and, where no fuzzing engine links, a driver that
// replays every file named on the command line or inside a folder named there: how the seed
// corpus and the reproducers run as ordinary suites.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Reads the bytes as a stream of small fields. Once they run out every read gives 0, so any
// input, however short, decodes to a well-defined run.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : m_data(data)
        , m_end(data + size)
    {}

    bool atEnd() const { return m_data >= m_end; }
    uint8_t u8() { return atEnd() ? 0 : *m_data++; }
    // `bytes` bytes, the most significant first.
    uint32_t uint(int bytes)
    {
        uint32_t value = 0;
        while (bytes-- > 0)
            value = value << 8 | u8();
        return value;
    }
    uint16_t u16() { return uint16_t(uint(2)); }
    bool flag() { return u8() & 1; }
    // Up to `count` fields of `width` bytes each, fewer where the input ends.
    template <typename Out> Out fields(size_t count, int width)
    {
        Out out;
        for (size_t i = 0; i < count && !atEnd(); ++i)
            out.push_back(typename Out::value_type(uint(width)));
        return out;
    }
    // A ramp fills long inputs without costing input bytes.
    template <typename Words> static Words ramp(int count, uint16_t base, int step)
    {
        Words out;
        for (int i = 0; i < count; ++i)
            out.push_back(uint16_t(base + i * step));
        return out;
    }
    // Calls `op` with each operation code below `count`, at most `limit` times.
    template <typename Op> void forEachOp(int limit, int count, Op op)
    {
        for (int n = 0; n < limit && !atEnd(); ++n)
            op(u8() % count);
    }

private:
    const uint8_t *m_data, *m_end;
};

// One application for the whole run, made before the first input and kept until the
// process ends: destroyed among the static objects at exit, it would go after Qt's own
// per-thread storage and leave the font cache of the drawn plots behind as a leak.
template <typename App> App &fuzzApplication(const char *name)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(name), nullptr};
    static App *const app = new App(argc, argv); // owned by the process
    return *app;
}

// A broken invariant is a finding: stop right there so the fuzzer keeps the input.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         what);                                                                    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

#ifndef BRISCA_FUZZ_ENGINE
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> paths(argv + 1, argv + argc);
    size_t passed = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::filesystem::path path = paths[i];
        if (std::filesystem::is_directory(path)) {
            for (const auto &entry : std::filesystem::directory_iterator(path))
                paths.push_back(entry.path());
            continue;
        }
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++passed;
    }
    std::printf("%zu inputs passed\n", passed);
    return passed ? 0 : 2;
}
#endif
