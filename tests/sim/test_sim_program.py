"""The simulator as a program: sessions on its line, stopping, what it refuses, its files and
the scene it draws."""

import json, os, select, signal, statistics, tempfile, termios, time, tty, unittest  # noqa

from simpeer import (EVEN, OK, Pymodbus, RawMaster, Read, Sim, Write, line, main, pdu, rtu,
                     termios_of as settings, until)


def leave_poisoned(path):
    # Set up as a serial port library does, and nothing put back, as by a crashed client.
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    a = termios.tcgetattr(fd)
    a[0], a[1] = a[0] | termios.ICRNL | termios.IXON, a[1] | termios.OPOST | termios.ONLCR
    a[2] |= termios.CLOCAL | termios.CREAD | termios.CSTOPB
    a[3] |= termios.ECHO | termios.ICANON | termios.ISIG
    a[4] = a[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, a)
    os.close(fd)


def ask(sim, req):
    with RawMaster(sim.link) as m:
        return m.request(req, 2.0)


def load(path):
    with open(path) as f:
        return json.load(f)


def save(path, content):
    with open(path, "w") as f:
        f.write(content if isinstance(content, str) else json.dumps(content))
    return path


class Program(unittest.TestCase):
    def test_a_client_that_leaves_its_settings_poisons_no_other(self):
        with Sim() as sim:
            fresh = settings(sim.link)
            for session in range(3):
                self.assertEqual(ask(sim, Read("holding", 0, 2)), [1, 22], session)
                leave_poisoned(sim.link)
                self.assertTrue(until(lambda: settings(sim.link) == fresh), "not put back")
            # The end of one session is noticed after the next has set up the line and sent
            # a request: both stay as they are.
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
                os.write(fd, rtu(1, pdu(3, 0, 14)))
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
        for args, end in (([], signal.SIGTERM), (["--fault", "hangup,fc=3,after=2"], None),
                          ([], "hangup")):
            with self.subTest(end=end), tempfile.TemporaryDirectory() as d:
                with Sim(*args, link=save(os.path.join(d, "tty"), "stale")) as sim:
                    with RawMaster(sim.link) as raw:
                        for req in [Read("holding", 0, 1)] * 2 + [Read("coil", 0, 1)]:
                            self.assertIsInstance(raw.request(req, 2), list)
                        if end == signal.SIGTERM:
                            sim.proc.send_signal(end)
                            self.assertIsNone(sim.next_line(), "nothing more on stdout")
                        else:
                            if end:
                                self.assertEqual(sim.command(end), "ok")
                            with self.assertRaises((OSError, termios.error)):
                                raw.request(Read("holding", 0, 1), 0.5)
                                os.read(raw.port.fileno(), 64)
                            self.assertEqual(sim.next_line(), "hangup")
                    self.assertEqual(sim.proc.wait(10), 0)
                    self.assertFalse(os.path.lexists(sim.link))

    BAD_RULES = ["bogus", "late", "silent:3", "exception:300", "silent,prob=2",
                 "silent,every=0", "silent,colour=1", "silent,fc=256", "silent,slave=256"]
    BAD_MAPS = ["holding: 1", {"holding": list(range(1, 16))}, {"input": [70000]},
                {"holding": [1, -1]}, {"coils": ["on"]}, {"slave": 300}]

    def test_what_it_refuses(self):
        with tempfile.TemporaryDirectory() as d:
            paths = [save(os.path.join(d, "bad%d.json" % n), content)
                     for n, content in enumerate(self.BAD_MAPS)]
            for args in [["--fault", r] for r in self.BAD_RULES] + [
                    ["--baud", 14401], ["--load", "/nonexistent.json"]] + [
                    ["--slave", 2, "--load", p] for p in paths]:
                with self.subTest(args=args), Sim(*args, expect_ready=False) as sim:
                    self.assertEqual(sim.proc.wait(10), 2)
                    self.assertFalse(os.path.lexists(sim.link))
        with Sim() as sim:
            for text in ["fault " + r for r in self.BAD_RULES] + [
                    "set holding 14 1", "set holding 1 -1", "slave 9 frame", "jump"]:
                self.assertTrue(sim.command(text).startswith("error"), text)
            self.assertEqual(ask(sim, Read("holding", 0, 2)), [1, 22])

    def test_each_sensor_keeps_its_state(self):
        with tempfile.TemporaryDirectory() as d:
            one, two = os.path.join(d, "s1.json"), os.path.join(d, "s2.json")
            with Sim("--pattern", "ramp", "--fps", 0, "--slave", 1, "--state", one, "--slave", 2,
                     "--state", two) as sim, RawMaster(sim.link) as raw:
                self.assertEqual(raw.request(Write("holding", 10, [1000]), 2)[0], "exception")
                self.assertFalse(os.path.exists(one), "written after a refused write")
                for change, check in (
                        (Write("coil", 0, [0]), lambda s: s["coils"][0] == 0),
                        (Write("holding", 2, [4000, 2600]),
                         lambda s: s["holding"][2:4] == [4000, 2600]),
                        (Write("holding", 0, [5]), lambda s: s["slave"] == 5)):
                    os.remove(one) if os.path.exists(one) else None
                    self.assertEqual(raw.request(change, 2), OK)
                    self.assertTrue(check(load(one)), change)
                saved = load(one)
                self.assertEqual(saved["holding"], raw.request(Read("holding", 0, 14, 5), 2))
                self.assertEqual(saved["input"][281:], [2731 + i for i in range(1024)])
                self.assertFalse(os.path.exists(two), "another sensor's file")
                raw.send(rtu(5, [0xFF]), EVEN)  # a factory reset: no answer, but a change
                self.assertTrue(until(lambda: load(one)["holding"][0] == 1))
                self.assertEqual(sim.command("slave 2 set holding 9 77"), "ok")
                self.assertEqual(load(two)["holding"][9], 77)
            # A scene sensor that starts from the ramp's saved map shows it until its next
            # frame, on the line and address the map names.
            save(one, dict(saved, slave=8, holding=[8, 12] + saved["holding"][2:]))
            reads = [Read(t, a, n, 8, line(9600, "N")) for t, a, n in (
                ("holding", 0, 14), ("coil", 0, 11), ("input", 281, 125))]
            with Sim("--load", one, "--pattern", "scene", "--fps", 0) as sim:
                self.assertEqual([ask(sim, r) for r in reads],
                                 [[8, 12] + saved["holding"][2:], saved["coils"][:11],
                                  saved["input"][281:406]])
                self.assertEqual(sim.command("frame"), "ok")
                self.assertNotEqual(ask(sim, reads[2]), saved["input"][281:406])

    def test_the_scene(self):
        runs = []
        for seed in (3, 3, 4):
            with Sim("--pattern", "scene", "--fps", 0, "--seed", seed) as sim, \
                    Pymodbus(sim.link) as pm:
                runs.append([])
                for _ in range(4):
                    runs[-1].append([v for a in range(281, 1305, 125) for v in pm.request(
                        Read("input", a, min(125, 1305 - a)), 2)])
                    self.assertEqual(sim.command("frame"), "ok")
        self.assertEqual(runs[0], runs[1], "the seed makes the scene")
        self.assertNotEqual(runs[0], runs[2])
        for frame in runs[0]:
            room = statistics.median(frame)
            self.assertTrue(2900 <= room <= 3000, room)  # about 22 degrees
            self.assertGreater(max(frame), room + 200)
            self.assertGreater(len(set(frame)), 30, "a real sensor's pixels are noisy")
        self.assertEqual(len({tuple(f) for f in runs[0]}), 4, "every frame is new")
        self.assertGreater(len({f.index(max(f)) for f in runs[0]}), 1, "the hot spot moves")


if __name__ == "__main__":
    main()
