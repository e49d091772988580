"""The virtual sensor as an independent master sees it: one table of requests and the answers
a real Brisca sensor gives, run through mbpoll, pymodbus or the raw line (--master)."""

import unittest

from simpeer import (EVEN, OK, SILENT, Bad, Ctl, Eventually, Exc, Late, Raw, Read,
                     Write, line, main, pdu, rtu, run_table)

RAMP = ["--pattern", "ramp", "--fps", "0"]
# The sensor's model and the fault rules show the same through any master that reads
# registers right: those cases run through one.
MODEL, RULES_ONLY = ("pymodbus",), ("raw",)
SCENE = ["--pattern", "scene", "--fps", "0", "--seed"]
# The holding registers of a new sensor on slave 1 at 19200 baud, even parity.
NEW = [1, 22, 3531, 2731, 3231, 2831, 3131, 2781, 250, 95, 20, 10, 1, 1]
NEW_COILS = [1, 1, 0, 1, 0, 1, 1, 1, 0, 0, 0]
RAMP_FRAME = [2731 + i for i in range(1024)]
N9600, ODD = line(9600, "N"), line(19200, "O")
READ = rtu(1, pdu(3, 9, 1))  # emissivity, answered with 95 by a new sensor
ANSWER = rtu(1, [3, 2, 0, 95])

# address, refused values, accepted values; every refused write leaves the register as it was
RANGES = [(0, [0, 248, 0xFFFF], [247, 1]), (1, [3, 7, 13 * 4, 0x40 | 22], [0, 49, 22]),
          (2, [2530, 9432], [2531, 9431]), (3, [0, 2530, 9432], [2531, 9431]),
          (4, [2530, 9432], [9431]), (5, [2530], [2531]), (6, [9432], [2600]),
          (7, [2530], [9431]), (8, [0, 49, 2001], [50, 2000]), (9, [0, 101], [1, 100]),
          (10, [0, 1, 3, 33, 34, 1000], [2, 32, 8]), (11, [0, 17], [1, 16]),
          (12, [0, 5], [4, 1]), (13, [0, 4], [3, 2])]
# the line each serial settings code of the ranges above puts the sensor on
CODE_LINES = {22: EVEN, 0: line(1200, "N"), 49: line(256000, "O")}


def range_steps():
    steps, slave, on = [], 1, EVEN
    for a, refused, accepted in RANGES:
        steps += [s for v in refused for s in ((Write("holding", a, [v], slave, on), Exc(3)),
                                               (Read("holding", a, 1, slave, on), [NEW[a]]))]
        for v in accepted:
            # The echo comes from the old address and at the old settings; then it moves.
            steps.append((Write("holding", a, [v], slave, on), OK))
            slave, on = (v, on) if a == 0 else (slave, CODE_LINES.get(v, on))
            steps.append((Read("holding", a, 1, slave, on), [v]))
    return steps


def writes(table, *pairs, slave=1, on=EVEN):
    return [(Write(table, a, [v], slave, on), OK) for a, v in pairs]


ALL = [("coil", 0, 13), ("holding", 0, 14), ("discrete", 0, 5)] + [
    ("input", a, min(125, 1305 - a)) for a in range(0, 1305, 125)]


def mean(values):
    return (sum(values) + len(values) // 2) // len(values)


def block(frame, x0, y0, side):  # a frame is column by column
    return [frame[32 * x + y] for x in range(x0, x0 + side) for y in range(y0, y0 + side)]


def check_derived(run, check=True):
    """Reads everything and checks every derived register against the frames read so far."""
    t, r = run.test, {}
    for table, start, count in ALL if check else [b for b in ALL if b[1] + b[2] > 281]:
        r.setdefault(table, []).extend(run.ask(Read(table, start, count)))
    frames = run.__dict__.setdefault("frames", [])
    if not frames or frames[-1] != r["input"][-1024:]:
        frames.append(r["input"][-1024:])
    if not check:
        return
    ir, hr, coils = r["input"], r["holding"], r["coil"]
    source = [mean(p) for p in zip(*frames[-4:])] if coils[10] else frames[-1]
    hot, cold, (lo, hi) = hr[13] & 1, hr[13] & 2, (6, 26) if coils[9] else (0, 32)
    field = block(source, lo, lo, hi - lo)
    t.assertEqual([ir[0], ir[2], ir[4]], [min(field), max(field), mean(field)], "application 1")
    for value, at in ((ir[0], ir[1]), (ir[2], ir[3])):
        x, y = at & 0xFF, at >> 8
        t.assertTrue(lo <= x < hi and lo <= y < hi and source[32 * x + y] == value, hex(at))
    c, window = 16 - hr[10] // 2, min(hr[11], len(frames))
    app2 = mean([v for f in frames[-window:] for v in block(f, c, c, hr[10])])
    t.assertEqual(ir[24], app2, "centred average")
    side, per = 1 << hr[12], 32 >> hr[12]
    temps = [mean(block(source, n // per * side, n % per * side, side)) for n in range(per * per)]
    t.assertEqual(ir[25:281], temps + [0] * (256 - len(temps)), "regions, column by column")
    deltas = {n + 1: max(tp - hr[6] if hot and tp > hr[6] else -1,
                         hr[7] - tp if cold and tp < hr[7] else -1)
              for n, tp in enumerate(temps)} if coils[7] else {}
    deltas = {n: d for n, d in deltas.items() if d >= 0}
    if deltas:
        t.assertEqual(deltas.get(ir[22]), max(deltas.values()), "breach area")
        t.assertEqual(ir[21], temps[ir[22] - 1], "breach temperature")
    else:
        t.assertEqual(ir[21:23], [0, 0])
    if not coils[4]:
        t.assertEqual(ir[23], len(deltas), "breaching regions")
    app1 = coils[5] and (hot and ir[2] > hr[2] or cold and ir[0] < hr[3])
    app2 = coils[6] and (hot and app2 > hr[4] or cold and app2 < hr[5])
    t.assertEqual(r["discrete"][2:], [int(app1), int(app2), int(bool(deltas))], "alarms")


D, RECORD, NEXT = (check_derived, None), (lambda run: check_derived(run, False), None), \
    (Ctl("frame"), "ok")
JUNK = [("bad crc", READ[:-1] + b"\x00"), ("half a request", READ[:4]),
        ("oversized", bytes(range(256)) * 2), ("unknown function, bad crc", b"\x01\x64\x00\x01"),
        ("multiple write whose length lies", b"\x01\x10\x00\x02\x00\x02\xF0\x00"),
        ("request inside garbage", b"\xAA\x55" + READ), ("lone address byte", b"\x01"),
        ("junk after a request", READ + b"\x13"), ("two requests at once", READ + READ)]
# rule, then requests with their answers when the rule does not hit
HR0, HR1, HR10 = ((Read("holding", a, 1), [v]) for a, v in ((0, 1), (1, 22), (10, 20)))
IR0, IR281 = (Read("input", 0, 1), [2731]), (Read("input", 281, 1), [2731])
W9, W10, C10 = (Write("holding", 9, [95]), OK), (Write("holding", 10, [20]), OK), \
    (Read("coil", 10, 1), [0])
RULES = [("silent,fc=3,count=2", [HR0] * 4, "ssaa"),
         ("silent,fc=3,after=1,every=2", [HR0] * 6, "aasasa"),
         ("silent,fc=3,every=2,count=2", [HR0] * 7, "asasaaa"),
         ("silent,fc=3,prob=1", [HR0] * 3, "sss"), ("silent,fc=3,prob=0", [HR0] * 3, "aaa"),
         ("silent,fc=4", [HR0, IR0, IR281, W9, IR0], "assas"),
         ("silent,fc=0x04,count=1", [IR281, IR0], "sa"),
         ("silent,addr=10", [HR0, HR10, W10, C10, W9, HR1], "asssaa"),
         ("silent,fc=3,addr=0", [HR0, HR1, IR0, HR0], "saas")]
RULE_STEPS = [step for rule, requests, pattern in RULES for step in [
    (Ctl("fault " + rule), "ok")] + [(req, answer if hit == "a" else SILENT) for (
        req, answer), hit in zip(requests, pattern)] + [(Ctl("clear"), "ok")] + requests[:2]]
# A write whose answer a fault spoils, and whether it was carried out (emissivity was 95)
FAULTED_WRITES = [step for n, (kind, answer, done) in enumerate([
    ("silent", SILENT, 0), ("exception:4", Exc(4), 0), ("badcrc", Bad("crc"), 1),
    ("truncate", Bad("short"), 1), ("stray", Bad("stray"), 1), ("wrongslave", Bad("slave"), 1),
    ("late:10", OK, 1)]) for step in [(Ctl("fault %s,fc=6,count=1" % kind), "ok"), (
        Write("holding", 9, [40 + n]), answer), (Read("holding", 9, 1), [40 + n if done else 95])]]


def damaged(kind, then):
    return [(Ctl("fault %s,fc=3,count=1" % kind), "ok"), (Read("holding", 0, 2), then),
            (Read("holding", 0, 2), [1, 22])]


CASES = [
    ("a new sensor", RAMP, [
        (Read("holding", 0, 14), NEW), (Read("coil", 0, 11), NEW_COILS),
        (Read("coil", 12, 1), [0]), (Read("input", 281, 125), RAMP_FRAME[:125]),
        (Read("input", 1180, 125), RAMP_FRAME[-125:]), D,
        # The validation probe is refused and changes nothing.
        (Write("holding", 10, [1000]), Exc(3)), (Read("holding", 10, 1), [20])]),
    ("a new sensor elsewhere", ["--slave", 247, "--baud", 256000, "--parity", "odd"], [
        (Read("holding", 0, 2, 247, line(256000, "O")), [247, 49])]),
    ("a new sensor at 14400 none", ["--slave", 4, "--baud", 14400, "--parity", "none"], [
        (Read("holding", 0, 2, 4, line(14400, "N")), [4, 16])]),
    ("outside the map", RAMP, [
        (Read(t, a, n), Exc(2)) for t, a, n in (
            ("coil", 0, 14), ("coil", 13, 1), ("discrete", 0, 6), ("discrete", 5, 1),
            ("holding", 0, 15), ("holding", 14, 1), ("input", 1300, 6), ("input", 1305, 1))] + [
        (Write("holding", 14, [1]), Exc(2)), (Write("holding", 13, [1, 1]), Exc(2)),
        (Write("coil", 13, [1]), Exc(2)),
        # more than an answer can carry is a bad quantity, not a bad address
        (Read("input", 281, 126), Exc(3))]),
    ("holding register ranges", RAMP, range_steps()),
    ("multiple writes are all or nothing", RAMP, [
        (Write("holding", 2, [3000, 9432]), Exc(3)), (Write("holding", 8, [100, 50, 7]), Exc(3)),
        (Read("holding", 0, 14), NEW), (Write("holding", 6, [3500, 2600]), OK),
        (Read("holding", 6, 2), [3500, 2600])]),
    ("functions it does not know", RAMP, [
        (Raw(rtu(1, bytes([f]) + body)), rtu(1, [f | 0x80, 1])) for f, body in (
            (0x07, b""), (0x11, b""), (0x08, b"\x00\x00\x12\x34"), (0x2B, b"\x0e\x01\x00"),
            (0x41, b"\x00"))]),
    ("broadcast writes are carried out, never answered", RAMP, [
        (Write("holding", 9, [42], 0), SILENT), (Read("holding", 9, 1), [42]),
        (Write("holding", 9, [0], 0), SILENT), (Read("holding", 9, 1), [42]),
        (Read("holding", 9, 1, 0), SILENT)]),
    ("the bus settings take effect after the echo", RAMP, [
        (Write("holding", 1, [12]), OK), (Read("holding", 0, 2), SILENT),
        (Read("holding", 0, 2, 1, N9600), [1, 12]), (Write("holding", 1, [3], 1, N9600), Exc(3)),
        (Write("holding", 1, [21], 1, N9600), OK), (Read("holding", 1, 1, 1, N9600), SILENT),
        (Read("holding", 1, 1, 1, ODD), [21])]),
    ("a factory reset brings back the factory address and line", ["--slave", 9] + RAMP,
     writes("holding", (9, 50), (2, 9000), (13, 3), (12, 4), slave=9) +
     writes("coil", (0, 0), (5, 0), (7, 0), slave=9) + [
        (Write("holding", 1, [12], 9), OK), (Write("holding", 0, [33], 9, N9600), OK),
        # to another address it does nothing; to its own it answers nothing and resets
        (Read("holding", 9, 1, 9, N9600), SILENT), (Raw(rtu(34, [0xFF]), N9600), SILENT),
        (Read("holding", 9, 1, 33, N9600), [50]),
        (Raw(rtu(33, [0xFF]), N9600), SILENT), (Read("holding", 0, 1, 33, N9600), SILENT),
        (Read("holding", 0, 1, 9, N9600), SILENT), (Read("holding", 0, 14, 9), [9] + NEW[1:]),
        (Read("coil", 0, 11, 9), NEW_COILS)]),
    ("line settings must match", ["--slave", 7, "--baud", 9600, "--parity", "none"], [
        (Read("holding", 0, 2, 7, N9600), [7, 12])] + [
        (Read("holding", 0, 2, 7, line(*other)), SILENT)
        for other in ((19200, "N"), (9600, "E"), (9600, "O"), (14400, "N"))] + [
        (Write("holding", 1, [14], 7, EVEN), SILENT), (Read("holding", 1, 1, 7, N9600), [12])]),
    ("even and odd are told apart", ["--parity", "odd"], [
        (Read("holding", 1, 1, 1, EVEN), SILENT), (Read("holding", 1, 1, 1, ODD), [21])]),
    ("framing by silence", [], [
        step for name, junk in JUNK for step in ((Raw(junk), SILENT), (Raw(READ), ANSWER))] + [
        # 8 ms are more than 3.5 characters at 19200 baud
        (Raw([READ[:4], 0.008, READ[4:]]), SILENT), (Raw(READ), ANSWER)]),
    ("several sensors on one bus", ["--slave", 3, "--slave", 7, "--baud", 9600, "--parity",
                                    "none", "--slave", 9, "--baud", 9600, "--parity", "none"], [
        (Read("holding", 0, 2, 3), [3, 22]), (Read("holding", 0, 2, 7, N9600), [7, 12]),
        (Read("holding", 0, 2, 9, N9600), [9, 12]), (Read("holding", 0, 2, 7), SILENT),
        (Read("holding", 0, 2, 3, N9600), SILENT), (Write("holding", 9, [50], 7, N9600), OK),
        (Read("holding", 9, 1, 9, N9600), [95]), (Read("holding", 9, 1, 7, N9600), [50]),
        (Ctl("fault silent,slave=7"), "ok"), (Read("holding", 9, 1, 7, N9600), SILENT),
        (Read("holding", 9, 1, 9, N9600), [95]),
        # an injected exception comes only from the sensor addressed, not from another
        (Ctl("fault exception:4,fc=3"), "ok"), (Read("holding", 9, 1, 3), Exc(4)),
        (Read("holding", 9, 1, 5), SILENT), (Ctl("clear"), "ok"),
        (Ctl("slave 9 set holding 9 77"), "ok"), (Read("holding", 9, 1, 9, N9600), [77]),
        (Ctl("slave 5 set holding 9 1"), "error"), (Ctl("set holding 9 66"), "ok"),
        (Read("holding", 9, 1, 3), [66]), (Write("holding", 8, [60], 0, N9600), SILENT),
        (Read("holding", 8, 2, 7, N9600), [60, 50]), (Read("holding", 8, 2, 9, N9600), [60, 77]),
        (Read("holding", 8, 1, 3), [250]),
        # Two sensors on one address: their answers collide unless they agree.
        (Write("holding", 0, [7], 9, N9600), OK), (Read("holding", 8, 1, 7, N9600), [60]),
        (Read("holding", 9, 1, 7, N9600), Bad("crc"))]),
    ("derived registers of the ramp", RAMP,
     [D] + writes("coil", (9, 1)) + writes("holding", (12, 2), (10, 8), (13, 2), (3, 2950),
                                           (5, 3300), (7, 2900)) + [D] +
     writes("coil", (9, 0)) + writes("holding", (12, 3), (10, 32), (13, 3), (2, 9431),
                                     (3, 2531), (4, 9431), (5, 2531), (6, 9431), (7, 2531)) +
     [D] + writes("coil", (7, 0)) + writes("holding", (12, 4), (10, 2), (13, 1), (6, 2600)) +
     [D] + writes("coil", (5, 0), (6, 0), (7, 1)) + writes("holding", (2, 2600), (4, 2600),
                                                           (6, 3500), (12, 1)) + [D], MODEL),
    ("derived registers of a scene", SCENE + [11],
     [D, NEXT, D] + writes("coil", (9, 1)) +
     writes("holding", (12, 3), (13, 3), (10, 12), (6, 3000), (7, 2940), (3, 2900)) +
     [D, NEXT, D] + writes("coil", (9, 0)) +
     writes("holding", (12, 2), (13, 2), (10, 30), (5, 3000), (7, 2945)) + [D, NEXT, D], MODEL),
    ("four frame average and moving window", SCENE + [8],
     [RECORD] + [NEXT, RECORD] * 15 + writes("coil", (10, 1)) +
     writes("holding", (11, 1), (12, 2), (13, 3), (6, 2990), (10, 10)) + [D] +
     [step for w in (3, 8, 16) for step in writes("holding", (11, w)) + [D]], MODEL),
    ("unidirectional counter", RAMP,
     writes("coil", (4, 1)) + writes("holding", (12, 4), (6, 9431)) + writes("coil", (12, 1)) + [
        (Read("input", 23, 1), [0]), (Read("input", 25, 4), [2979, 2995, 3491, 3507])] +
     # two regions enter, leave (no count down), enter again
     writes("holding", (6, 3000)) + [(Read("input", 23, 1), [2])] +
     writes("holding", (6, 9431)) + [(Read("input", 23, 1), [2])] +
     writes("holding", (6, 3000)) + [(Read("input", 23, 1), [4])] +
     # a reset while two stay in breach; the other two enter
     writes("coil", (12, 1)) + [(Read("coil", 12, 1), [0]), (Read("input", 23, 1), [0])] +
     writes("holding", (6, 2600)) + [(Read("input", 23, 1), [2])] +
     writes("coil", (4, 0)) + [(Read("input", 23, 1), [4])], MODEL),
    ("NO/NC flag", RAMP,
     # action based: the flag stays until the master clears it, and not while the alarm is on
     writes("coil", (5, 0), (6, 0), (7, 0), (0, 1), (1, 0), (11, 0)) + [
        (Read("coil", 11, 1), [0])] + writes("coil", (5, 1)) + writes("holding", (2, 3000)) + [
        (Read("discrete", 2, 1), [1]), (Read("coil", 11, 1), [1])] + writes("coil", (11, 0)) + [
        (Read("coil", 11, 1), [1])] + writes("holding", (2, 9431)) + [
        (Read("discrete", 2, 1), [0]), (Read("coil", 11, 1), [1])] + writes("coil", (11, 0)) + [
        (Read("coil", 11, 1), [0])] +
     # timer based: it drops by itself once the alarm has gone; unused pin: never raised
     writes("coil", (1, 1)) + writes("holding", (8, 50), (2, 3000)) + [
        (Read("coil", 11, 1), [1])] + writes("holding", (2, 9431)) + [
        (Read("coil", 11, 1), Eventually([0]))] + writes("coil", (0, 0)) +
     writes("holding", (2, 3000)) + [(Read("discrete", 2, 1), [1]), (Read("coil", 11, 1), [0])], MODEL),
    ("damaged answers", RAMP,
     damaged("silent", SILENT) + damaged("badcrc", Bad("crc")) +
     damaged("truncate", Bad("short")) + damaged("wrongslave", Bad("slave")) +
     damaged("stray", Bad("stray")) + damaged("exception:4", Exc(4)) +
     [step for code in (1, 0xFF, 0) for step in
      damaged("exception:%d" % code, Exc(code))[:2]] + FAULTED_WRITES +
     [(Ctl("fault late:600,fc=3,count=1"), "ok"), (Read("holding", 0, 2), Late([1, 22]))]),
    ("which requests a rule hits", RAMP, RULE_STEPS, RULES_ONLY),
]


class Peers(unittest.TestCase):
    def test_table(self):
        run_table(self, CASES)


if __name__ == "__main__":
    main()
