"""The simulator as a program: sessions on its line, stopping, what it refuses, its files,
its log, paced answers and the scene it draws."""

import json
import os
import select
import signal
import statistics
import tempfile
import termios
import time
import tty
import unittest

from simpeer import (EVEN, OK, SILENT, Mbpoll, Pymodbus, Raw, RawMaster, Read, Sim, Write, line,
                     main, pdu, rtu)

READ = rtu(1, pdu(0x03, 0, 14))


def settings(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    os.close(fd)
    return attrs


def leave_poisoned(path):
    """Configures the line as a serial port library does and ends without putting anything
    back, as a crashed client would."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    a = termios.tcgetattr(fd)
    a[0], a[1] = a[0] | termios.ICRNL | termios.IXON, a[1] | termios.OPOST | termios.ONLCR
    a[2] |= termios.CLOCAL | termios.CREAD | termios.CSTOPB
    a[3] |= termios.ECHO | termios.ICANON | termios.ISIG
    a[4] = a[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, a)
    os.close(fd)


def until(predicate, seconds=5.0):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.02)
    return predicate()


def ask(sim, req, master=Mbpoll):
    m = master(sim.link)
    try:
        return m.request(req, 2.0)
    finally:
        m.close()


def load(path):
    with open(path) as f:
        return json.load(f)


class Program(unittest.TestCase):
    def test_a_client_that_leaves_its_settings_poisons_no_other(self):
        with Sim() as sim:
            fresh = settings(sim.link)
            self.assertFalse(fresh[2] & termios.CLOCAL or fresh[3] & termios.ICANON)
            for session in range(3):
                self.assertEqual(ask(sim, Read("holding", 0, 2)), [1, 22], session)
                leave_poisoned(sim.link)
                self.assertTrue(until(lambda: settings(sim.link) == fresh), "not put back")

    def test_an_open_session_keeps_its_settings(self):
        # The end of one session is noticed after the next has set up the line and sent a
        # request: both stay as they are.
        with Sim() as sim:
            sim.proc.send_signal(signal.SIGSTOP)
            try:
                leave_poisoned(sim.link)
                fd = os.open(sim.link, os.O_RDWR | os.O_NOCTTY)
                tty.setraw(fd)
                a = termios.tcgetattr(fd)
                a[2] = a[2] & ~termios.CSTOPB | termios.CLOCAL
                a[4] = a[5] = termios.B19200
                termios.tcsetattr(fd, termios.TCSANOW, a)
                own = termios.tcgetattr(fd)
                os.write(fd, READ)
            finally:
                sim.proc.send_signal(signal.SIGCONT)
            try:
                self.assertTrue(select.select([fd], [], [], 5)[0])
                time.sleep(0.05)
                self.assertEqual(os.read(fd, 64)[:3], b"\x01\x03\x1c")
                self.assertEqual(termios.tcgetattr(fd), own)
            finally:
                os.close(fd)

    def test_stopping(self):
        # by signal, over a stale file where the link goes; by an injected hang-up after two
        # reads, or on command: the line goes away under the master that holds it
        for args, end in (([], signal.SIGTERM), ([], signal.SIGINT),
                          (["--fault", "hangup,fc=3,after=2"], None), ([], "hangup")):
            with self.subTest(end=end), tempfile.TemporaryDirectory() as d:
                with open(os.path.join(d, "tty"), "w") as f:
                    f.write("stale")
                with Sim(*args, link=os.path.join(d, "tty")) as sim:
                    raw = RawMaster(sim.link)
                    for req in (Read("holding", 0, 1), Read("holding", 0, 1), Read("coil", 0, 1)):
                        self.assertIsInstance(raw.request(req, 2), list)
                    if isinstance(end, signal.Signals):
                        sim.proc.send_signal(end)
                        self.assertIsNone(sim.next_line(), "nothing more on stdout")
                    else:
                        if end:
                            self.assertEqual(sim.command(end), "ok")
                        with self.assertRaises((OSError, termios.error)):
                            raw.request(Read("holding", 0, 1), 0.5)
                            os.read(raw.port.fileno(), 64)
                        self.assertEqual(sim.next_line(), "hangup")
                    raw.close()
                    self.assertEqual(sim.proc.wait(10), 0)
                    self.assertFalse(os.path.lexists(sim.link))

    BAD_RULES = ["bogus", "late", "silent:3", "exception:300", "exception:x", "silent,prob=2",
                 "silent,count=-1", "silent,every=0", "silent,colour=1", "silent,fc=256",
                 "silent,slave=256"]
    BAD_MAPS = ["holding: 1", "[1, 2]", json.dumps({"holding": list(range(1, 16))}),
                json.dumps({"coils": [0] * 14}), json.dumps({"input": [70000]}),
                json.dumps({"holding": [1, -1]}), json.dumps({"holding": [1.5]}),
                json.dumps({"coils": ["on"]}), json.dumps({"slave": 300})]

    def test_what_it_refuses(self):
        with tempfile.TemporaryDirectory() as d:
            paths = []
            for n, content in enumerate(self.BAD_MAPS):
                paths.append(os.path.join(d, "bad%d.json" % n))
                with open(paths[-1], "w") as f:
                    f.write(content)
            for args in [["--fault", r] for r in self.BAD_RULES] + [
                    ["--baud", 14401], ["--load", "/nonexistent.json"]] + [
                    ["--slave", 2, "--load", p] for p in paths]:
                with self.subTest(args=args), Sim(*args, expect_ready=False) as sim:
                    self.assertEqual(sim.proc.wait(10), 2)
                    self.assertIsNone(sim.next_line())
                    self.assertFalse(os.path.lexists(sim.link))
        with Sim() as sim:
            for text in ["fault " + r for r in self.BAD_RULES] + [
                    "set holding 14 1", "set holding 1 -1", "set tables 1 1", "slave 9 frame",
                    "jump"]:
                self.assertTrue(sim.command(text).startswith("error"), text)
            self.assertEqual(ask(sim, Read("holding", 0, 2)), [1, 22])

    def test_each_sensor_keeps_its_state(self):
        with tempfile.TemporaryDirectory() as d:
            one, two = os.path.join(d, "s1.json"), os.path.join(d, "s2.json")
            with Sim("--pattern", "ramp", "--fps", 0, "--slave", 1, "--state", one, "--slave", 2,
                     "--state", two) as sim:
                raw = RawMaster(sim.link)
                self.assertEqual(raw.request(Write("holding", 10, [1000]), 2)[0], "exception")
                self.assertFalse(os.path.exists(one), "written after a refused write")
                for change, check in (
                        (Write("holding", 9, [42]), lambda s: s["holding"][9] == 42),
                        (Write("coil", 0, [0]), lambda s: s["coils"][0] == 0),
                        (Write("holding", 2, [4000, 2600]),
                         lambda s: s["holding"][2:4] == [4000, 2600]),
                        (Write("holding", 0, [5]), lambda s: s["slave"] == 5)):
                    if os.path.exists(one):
                        os.remove(one)
                    self.assertEqual(raw.request(change, 2), OK)
                    self.assertTrue(check(load(one)), change)
                saved = load(one)
                self.assertEqual(saved["holding"], raw.request(Read("holding", 0, 14, 5), 2))
                self.assertEqual(saved["input"][281:], [2731 + i for i in range(1024)])
                self.assertEqual([len(saved[k]) for k in ("coils", "discrete_inputs", "input")],
                                 [13, 5, 1305])
                self.assertFalse(os.path.exists(two), "another sensor's file")
                raw.send(rtu(5, [0xFF]), EVEN)  # a factory reset: no answer, but a change
                self.assertTrue(until(lambda: load(one)["holding"][9] == 95))
                self.assertEqual(sim.command("slave 2 set holding 9 77"), "ok")
                self.assertEqual(load(two)["holding"][9], 77)
                raw.close()
            self.assertEqual(sorted(os.listdir(d)), ["s1.json", "s2.json"])

    def test_register_maps_load_and_the_state_loads_back(self):
        holding = [5, 12, 3000, 2600, 3100, 2700, 3200, 2650, 500, 80, 16, 4, 3, 3]
        coils = [0, 0, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 0]
        with tempfile.TemporaryDirectory() as d:
            path, state = os.path.join(d, "map.json"), os.path.join(d, "state.json")
            for content, slave, want_holding, want_coils in (
                    ({"slave": 5, "coils": coils, "holding": holding}, 5, holding, coils),
                    ({"holding": [9, 22, 3600]}, 9, [9, 22, 3600], []),
                    ({"slave": 12}, 12, [12, 22], []),
                    ({"coils": [False, True, True]}, 1, [1], [0, 1, 1])):
                with open(path, "w") as f:
                    json.dump(content, f)
                # the map of the second sensor; it listens on the line its register 1 names
                with self.subTest(content=content), \
                        Sim("--slave", 100, "--slave", 1, "--load", path) as sim:
                    on = line(9600, "N") if want_holding[1:2] == [12] else EVEN
                    self.assertEqual(ask(sim, Read("holding", 0, len(want_holding), slave, on)),
                                     want_holding)
                    if want_coils:
                        self.assertEqual(ask(sim, Read("coil", 0, len(want_coils), slave, on)),
                                         want_coils)
            reads = [Read(t, a, n, 8) for t, a, n in (("holding", 0, 14), ("coil", 0, 13),
                                                      ("input", 281, 125))]
            with Sim("--state", state, "--pattern", "ramp", "--fps", 0) as sim:
                for change in (Write("holding", 9, [61]), Write("holding", 12, [3]),
                               Write("holding", 0, [8]), Write("coil", 9, [1], 8)):
                    self.assertEqual(ask(sim, change), OK)
                before = [ask(sim, r, Pymodbus) for r in reads]
            # A scene sensor that starts from the ramp's map shows it until its next frame.
            with Sim("--load", state, "--pattern", "scene", "--fps", 0) as sim:
                self.assertEqual([ask(sim, r, Pymodbus) for r in reads], before)
                self.assertEqual(sim.command("frame"), "ok")
                self.assertNotEqual(ask(sim, reads[2]), before[2])

    def test_the_log_of_what_it_heard_and_said(self):
        with Sim("--verbose") as sim:
            raw = RawMaster(sim.link)
            probe = rtu(1, pdu(0x06, 10, 1000))
            answers = [raw.request(Raw(r), 2) for r in (READ, probe)]
            raw.request(Raw(READ, line(9600, "N")), 0.2)
            raw.close()
            self.assertEqual(answers[1], rtu(1, [0x86, 3]))
            log = ["%sx %s" % (d, b.hex(" ")) for pair in zip((READ, probe), answers)
                   for d, b in zip("rt", pair)] + ["unheard 9600 8N2 " + READ.hex(" ")]
            self.assertTrue(until(lambda: sim.stderr().splitlines() == log), sim.stderr())

    def test_paced_answers_take_the_wire_time(self):
        # 125 registers at 4800 baud: 8 request and 255 answer bytes of 11 bits, and the 3.5
        # characters of silence. A pty itself carries them at once.
        wire = (8 + 255 + 3.5) * 11 / 4800
        with Sim("--pace", "--baud", 4800, "--parity", "none", "--fps", 0) as sim:
            raw = RawMaster(sim.link)
            raw.open(line(4800, "N"))
            started = time.monotonic()
            answer = raw.request(Raw(rtu(1, pdu(0x04, 281, 125)), line(4800, "N")), 10)
            elapsed = time.monotonic() - started
            raw.close()
        self.assertEqual(answer[:3], b"\x01\x04\xfa")
        print("paced answer after %.3f s, wire time %.3f s" % (elapsed, wire))
        self.assertGreaterEqual(elapsed, wire - 0.002)

    def test_probability_follows_the_seed(self):
        patterns = []
        for _ in range(2):
            with Sim("--seed", 21, "--fault", "silent,fc=3,prob=0.5") as sim:
                raw = RawMaster(sim.link)
                patterns.append("".join("s" if raw.request(Read("holding", 0, 1), 0.2) == SILENT
                                        else "a" for _ in range(16)))
                raw.close()
        self.assertEqual(patterns[0], patterns[1])
        self.assertTrue(3 <= patterns[0].count("s") <= 13, patterns[0])

    def test_the_scene(self):
        runs = []
        for seed in (3, 3, 4):
            with Sim("--pattern", "scene", "--fps", 0, "--seed", seed) as sim:
                pm, frames = Pymodbus(sim.link), []
                for _ in range(6):
                    frames.append([v for a in range(281, 1305, 125) for v in pm.request(
                        Read("input", a, min(125, 1305 - a)), 2)])
                    self.assertEqual(sim.command("frame"), "ok")
                pm.close()
                runs.append(frames)
        self.assertEqual(runs[0], runs[1], "the seed makes the scene")
        self.assertNotEqual(runs[0], runs[2])
        for frame in runs[0]:
            room = statistics.median(frame)
            self.assertTrue(2900 <= room <= 3000, room)  # about 22 degrees
            self.assertGreater(max(frame), room + 200)
            self.assertLess(min(frame), room - 100)
            self.assertGreater(len(set(frame)), 30, "a real sensor's pixels are noisy")
        self.assertEqual(len({tuple(f) for f in runs[0]}), 6, "every frame is new")
        self.assertGreater(len({f.index(max(f)) for f in runs[0]}), 1, "the hot spot moves")


if __name__ == "__main__":
    main()
