#!/usr/bin/env python3
"""Writes the seed corpus of the three fuzz targets into corpus/<target>/.

Each seed is an ordinary exchange in the input format of its target (see the comment at
the top of each fuzz_*.cpp), so the fuzzers start from the paths a real session takes and
mutate outward from there. Run it again after changing an input format.
"""
import pathlib
import shutil
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent


def u8(v):
    return struct.pack(">B", v & 0xFF)


def u16(v):
    return struct.pack(">H", v & 0xFFFF)


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


# --- fuzz_device_replies -------------------------------------------------------------------

DATA, PIXELS, ROI, WRITE, PROBE = range(5)
INVALID, DISCRETE, COILS, INPUT, HOLDING = range(5)
NO_ERROR, TIMEOUT, PROTOCOL = 0, 5, 6


def reply(slot, rtype, start, values=(), ramp=None, count=None, first_roi=False,
          error=NO_ERROR, function=0x03, raw=b""):
    flags = (1 if first_roi else 0) | (4 if ramp is not None else 0) | (8 if count is not None else 0)
    raw_start = start + 50  # starts near the map are encoded with an offset of 50
    out = u8(slot) + u8(flags) + u8(rtype) + u8(raw_start >> 16) + u16(raw_start)
    n = len(values) if ramp is None else ramp[1]
    out += u16(count or 0) + u16(n)
    if ramp is not None:
        out += u16(ramp[0])
    else:
        out += b"".join(u16(v) for v in values)
    return out + u8(error) + u8(function) + u8(len(raw)) + raw


def frame_chunks(base):
    out = b""
    start = 281
    while start <= 1304:
        count = min(125, 1305 - start)
        out += reply(PIXELS, INPUT, start, ramp=(base + (start - 281) * 7, count), function=0x04)
        start += count
    return out


def roi_chunks(values):
    out = b""
    for i, start in enumerate((25, 150, 275)):
        count = 6 if start == 275 else 125
        chunk = list(values[start - 25:start - 25 + count]) + [0] * count
        out += reply(ROI, INPUT, start, chunk[:count], first_roi=(i == 0), function=0x04)
    return out


def device_seeds():
    settings = reply(DATA, COILS, 0, [1, 1, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0], function=0x01) + \
        reply(DATA, HOLDING, 0, [1, 22, 3531, 2731, 3231, 2831, 3131, 2781, 250, 95, 20, 10, 1, 1])
    measurements = reply(DATA, INPUT, 0, [2950, 0x0310, 3400, 0x1010, 3001], function=0x04) + \
        reply(DATA, INPUT, 24, [3010], function=0x04) + \
        reply(DATA, DISCRETE, 0, [1, 0, 0, 1, 0], function=0x02) + \
        reply(DATA, INPUT, 5, [0] * 15 + [0x8001, 3200, 17, 4], function=0x04)
    regions = [2900 + i for i in range(64)]
    return {
        "settings": settings,
        "measurements": measurements,
        "image": measurements + roi_chunks(regions) + frame_chunks(2900),
        "two_frames": frame_chunks(2900) + frame_chunks(3100),
        "frame_chunk_fails": reply(PIXELS, INPUT, 281, ramp=(2900, 125)) +
        reply(PIXELS, INPUT, 406, error=TIMEOUT) + reply(PIXELS, INPUT, 1281, ramp=(3000, 24)),
        "last_chunk_long": reply(PIXELS, INPUT, 1281, ramp=(3000, 40)),
        "regions_twice": roi_chunks(regions) + roi_chunks([3000] * 4),
        "region_first_fails": roi_chunks(regions) +
        reply(ROI, INPUT, 25, first_roi=True, error=PROTOCOL, function=0x84, raw=b"\x02"),
        "read_timeout": reply(DATA, HOLDING, 0, error=TIMEOUT),
        "read_exception": reply(DATA, COILS, 0, error=PROTOCOL, function=0x81, raw=b"\x02"),
        "short_reply": reply(DATA, HOLDING, 0, [5, 22], count=14) +
        reply(DATA, INPUT, 5, [1, 2, 3], count=19),
        "probe_valid": reply(PROBE, HOLDING, 10, error=PROTOCOL, function=0x86, raw=b"\x03"),
        "probe_other_exception": reply(PROBE, HOLDING, 10, error=PROTOCOL, function=0x86, raw=b"\x02"),
        "probe_accepted": reply(PROBE, HOLDING, 10, [1000], function=0x06),
        "write_echoes": reply(WRITE, COILS, 9, [0xFF00], function=0x05) +
        reply(WRITE, HOLDING, 2, [3600, 2700], function=0x10) +
        reply(WRITE, HOLDING, 1, [22], function=0x06) +
        reply(WRITE, HOLDING, 0, [0x0105], function=0x06),
        "write_fails": reply(WRITE, HOLDING, 9, error=PROTOCOL, function=0x86, raw=b"\x03") +
        reply(WRITE, COILS, 12, error=TIMEOUT),
    }


# --- fuzz_image ----------------------------------------------------------------------------

SET_FRAME, SQUARE, ROI_GRID, PLOT, EVENTS, REPLOT = range(6)


def ramp_values(base, step):
    return u8(1) + u16(base) + u8(step)


def listed_values(values):
    return u8(0) + b"".join(u16(v) for v in values)


def full_frame(base, step):
    return u8(SET_FRAME) + u8(1) + ramp_values(base, step)


def sized_frame(values):
    return u8(SET_FRAME) + u8(0) + u16(len(values)) + listed_values(values)


def grid(size_byte, temps, low, high):
    return u8(ROI_GRID) + u8(size_byte) + u16(len(temps)) + listed_values(temps) + u16(low) + u16(high)


def image_seeds():
    temps = [2800 + 37 * i for i in range(256)]
    return {
        "frame": full_frame(2900, 1) + u8(PLOT),
        "uniform_frame": full_frame(3000, 0) + u8(PLOT),
        "square": full_frame(2900, 1) + u8(SQUARE) + u8(20) + u8(PLOT) + u8(EVENTS) + u8(PLOT),
        "odd_square": full_frame(2900, 3) + u8(SQUARE) + u8(21) + u8(PLOT),
        "grid_2": full_frame(2900, 1) + grid(0, temps, 2900, 3100) + u8(PLOT),
        "grid_16_short": full_frame(2900, 1) + grid(3, temps[:2], 2950, 2950) + u8(PLOT) + u8(REPLOT),
        "grid_8_swapped_limits": full_frame(2900, 1) + grid(2, temps[:20], 3500, 2800) + u8(PLOT),
        "grid_size_0": full_frame(2900, 1) + grid(0x80, temps[:5], 0, 65535) + u8(PLOT),
        "short_frame": sized_frame(list(range(2900, 2910))) + u8(PLOT),
        "plot_before_frame": u8(PLOT) + u8(EVENTS) + u8(REPLOT),
        "every_overlay": full_frame(2900, 1) + u8(SQUARE) + u8(32) + grid(1, temps[:64], 3000, 3300) +
        u8(PLOT) + u8(EVENTS) + full_frame(65000, 200) + u8(PLOT),
    }


# --- fuzz_sim_requests ---------------------------------------------------------------------

RAW, CHECKED, REQUEST, PAUSE, FAULT, CLEAR, NEW_FRAME = range(7)
FUNCTIONS = [0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0F, 0x10, 0xFF]


def sim_config(slave=1, pattern_ramp=False, seed=1, fault_seed=7, silence=10):
    return u8(1 if pattern_ramp else 0) + u8(slave - 1) + u16(seed) + u32(fault_seed) + u8(silence - 1)


def pick(function, own_slave=True):
    """The selector byte of a request: bit 7 asks for an explicit slave byte."""
    low = 0 if own_slave else 0x80
    return next(p for p in range(low, low + 0x40) if p % len(FUNCTIONS) == FUNCTIONS.index(function))


def request(function, address=0, count=0, data=b"", gap=0, slave=None):
    out = u8(REQUEST) + u8(pick(function, slave is None))
    if slave is not None:
        out += u8(slave)
    if function != 0xFF:
        out += u16(address) + u16(count)
        if function in (0x0F, 0x10):
            out += u8(len(data)) + data
    return out + u8(gap)


def pause(ms):
    return u8(PAUSE) + u16(ms)


def fault(rule):
    return u8(FAULT) + u8(len(rule)) + rule.encode()


def raw(data, checked=False, gap=0):
    return u8(CHECKED if checked else RAW) + u8(len(data)) + data + u8(gap)


def sim_seeds():
    settings = request(0x01, 0, 13) + pause(20) + request(0x03, 0, 14) + pause(20)
    thresholds = b"".join(u16(v) for v in (3600, 2700))
    return {
        "settings": sim_config() + settings,
        "image": sim_config(pattern_ramp=True) + u8(NEW_FRAME) + request(0x04, 0, 5) +
        request(0x04, 24, 1) + request(0x02, 0, 5) + request(0x04, 5, 19) +
        request(0x04, 25, 125) + request(0x04, 281, 125) + request(0x04, 1281, 24) + pause(20),
        "probe": sim_config(slave=7) + request(0x06, 10, 1000) + pause(20),
        "writes": sim_config() + request(0x05, 9, 0xFF00) + request(0x10, 2, 2, thresholds) +
        request(0x0F, 12, 1, b"\x01") + request(0x06, 0, 5) + pause(20) + request(0x03, 0, 14),
        "broadcast": sim_config() + request(0x06, 9, 50, slave=0) + request(0x06, 9, 500, slave=0) +
        request(0x03, 0, 14) + request(0xFF, slave=0) + pause(20),
        "faults": sim_config() + fault("badcrc,count=1") + fault("exception:2,every=3") +
        fault("truncate,after=2") + fault("stray,prob=0.5") + fault("wrongslave,fc=3") +
        fault("late:100,addr=0") + settings + settings + u8(CLEAR) + settings,
        "hangup": sim_config() + fault("hangup,after=1") + settings + settings,
        "garbage": sim_config() + raw(bytes(range(0x30, 0x50))) + pause(50) +
        raw(b"\x01\x2b\x0e\x01\x00", checked=True) + pause(50) + settings,
        "split_request": sim_config(silence=5) + raw(b"\x01\x03\x00") + raw(b"\x00\x00", gap=1) +
        raw(b"\x0e\xc4\x0e", gap=1) + pause(10) + raw(b"\x01\x03\x00\x00", gap=0) + pause(30) +
        raw(b"\x00\x0e\xc4\x0e"),
    }


def main():
    targets = {
        "fuzz_device_replies": device_seeds(),
        "fuzz_image": image_seeds(),
        "fuzz_sim_requests": sim_seeds(),
    }
    for target, seeds in targets.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds", file=sys.stderr)


if __name__ == "__main__":
    main()
