"""Injected faults as the masters on the line see them."""

import os
import termios
import unittest

import serial

from simpeer import RawLine, Sim, crc_ok, main, mbpoll, pdu, rtu

READ = rtu(1, pdu(0x03, 0, 14))      # the holding registers; the faults below aim at it
MARKER = rtu(1, pdu(0x02, 0, 5))     # discrete inputs: untouched by every rule here
HOLDING = [1, 22]                    # what mbpoll must see once a fault has passed


class Kinds(unittest.TestCase):
    """Each kind on the raw line: the bytes that came back for the request."""

    def setUp(self):
        self.sim = Sim("--pattern", "ramp", "--fps", "0")
        self.line = RawLine(self.sim.link)
        self.reference = self.line.exchange(READ, expect=33)
        self.marker = self.line.exchange(MARKER, expect=6)
        self.assertTrue(crc_ok(self.reference) and len(self.reference) == 33)
        self.assertTrue(crc_ok(self.marker) and len(self.marker) == 6)

    def tearDown(self):
        self.line.close()
        self.sim.close()

    def inject(self, rule):
        self.assertEqual(self.sim.command("fault " + rule), "ok")

    def observe(self, request=READ):
        data = self.line.exchange_until(request + MARKER, self.marker)
        self.assertIsNotNone(data, "the marker request after it was not answered")
        return data[:-len(self.marker)]

    def test_silent(self):
        self.inject("silent,fc=3,count=1")
        self.assertEqual(self.observe(), b"")
        self.assertEqual(self.observe(), self.reference)

    def test_bad_crc(self):
        self.inject("badcrc,fc=3,count=1")
        got = self.observe()
        self.assertEqual(got[:-2], self.reference[:-2])
        self.assertFalse(crc_ok(got), got.hex())
        self.assertEqual(self.observe(), self.reference)

    def test_truncate(self):
        self.inject("truncate,fc=3,count=1")
        got = self.observe()
        self.assertTrue(0 < len(got) < len(self.reference), got.hex())
        self.assertEqual(got, self.reference[:len(got)])
        self.assertEqual(self.observe(), self.reference)

    def test_stray_bytes_before_the_answer(self):
        self.inject("stray,fc=3,count=3")
        for _ in range(3):
            got = self.observe()
            self.assertGreater(len(got), len(self.reference), got.hex())
            self.assertEqual(got[-len(self.reference):], self.reference)
        self.assertEqual(self.observe(), self.reference)

    def test_answer_from_another_slave(self):
        self.inject("wrongslave,fc=3,count=1")
        got = self.observe()
        self.assertTrue(crc_ok(got), got.hex())
        self.assertNotIn(got[0], (0, 1))
        self.assertEqual(got[1:-2], self.reference[1:-2])
        self.assertEqual(self.observe(), self.reference)

    def test_exception_codes(self):
        for code in (1, 2, 3, 4, 6, 11, 0x7F, 0xFF, 0):
            with self.subTest(code=code):
                self.inject("exception:%d,fc=3,count=1" % code)
                self.assertEqual(self.observe(), rtu(1, [0x83, code]))
        self.assertEqual(self.observe(), self.reference)

    def test_late_answer(self):
        self.inject("late:600,fc=3,count=1")
        self.line.send(READ)
        self.assertEqual(self.line.receive(first_timeout=0.3), b"", "answered early")
        self.assertEqual(self.line.receive(first_timeout=5, expect=33), self.reference)
        self.assertEqual(self.observe(), self.reference)

    def test_faulted_writes(self):
        # Whether a write whose answer is damaged was carried out.
        carried_out = [("silent", False), ("exception:4", False), ("badcrc", True),
                       ("truncate", True), ("stray", True), ("wrongslave", True),
                       ("late:10", True)]
        for value, (kind, done) in enumerate(carried_out, start=40):
            with self.subTest(kind):
                self.inject("%s,fc=6,count=1" % kind)
                self.observe(rtu(1, pdu(0x06, 9, value)))
                answer = self.line.exchange(rtu(1, pdu(0x03, 9, 1)), expect=7)
                self.assertEqual(answer[3:5] == bytes([0, value]), done, answer.hex())


class Peers(unittest.TestCase):
    """What mbpoll reports for each kind, and that the next request works."""

    # kind, what mbpoll says (None: the message depends on the stray bytes)
    KINDS = [
        ("silent", "Connection timed out"),
        ("badcrc", "Invalid CRC"),
        ("late:1500", "Connection timed out"),
        ("exception:4", "Slave device or server failure"),
        ("exception:2", "Illegal data address"),
        ("truncate", "Connection timed out"),
        ("stray", None),
        ("wrongslave", "Response not from requested slave"),
    ]

    def test_mbpoll(self):
        for kind, message in self.KINDS:
            with self.subTest(kind), Sim("--fault", kind + ",count=1") as sim:
                got = mbpoll(sim.link, "holding", 0, 2, timeout=1)
                self.assertNotEqual(got.rc, 0)
                self.assertIn(message or "failed", got.error)
                if kind.startswith("late"):
                    # The late answer still comes: wait for it before the next session.
                    with RawLine(sim.link) as line:
                        self.assertEqual(line.receive(first_timeout=5, expect=9)[:3],
                                         b"\x01\x03\x04")
                elif kind == "stray":
                    # mbpoll gives up at the first stray byte; the rest of that answer may
                    # still be in the line when the next session opens it. A read whose
                    # answer is known takes it out.
                    with RawLine(sim.link) as line:
                        answer = rtu(1, bytes([0x03, 4]) + pdu(0, *HOLDING)[1:])
                        self.assertIsNotNone(line.exchange_until(rtu(1, pdu(0x03, 0, 2)), answer))
                got = mbpoll(sim.link, "holding", 0, 2, timeout=1)
                self.assertEqual((got.rc, got.block(0, 2)), (0, HOLDING), got.error)


class Selection(unittest.TestCase):
    """Which requests a rule hits: by count, period, probability, function and address."""

    HR0, HR1, HR10 = (rtu(1, pdu(0x03, a, 1)) for a in (0, 1, 10))
    IR0, IR281 = rtu(1, pdu(0x04, 0, 1)), rtu(1, pdu(0x04, 281, 1))
    WRITE9, WRITE10 = rtu(1, pdu(0x06, 9, 95)), rtu(1, pdu(0x06, 10, 20))
    COIL10 = rtu(1, pdu(0x01, 10, 1))

    # rule, then the requests in order and whether each was answered ("a") or not ("s")
    RULES = [
        ("silent,fc=3,count=2", [HR0] * 4, "ssaa"),
        ("silent,fc=3,every=3", [HR0] * 7, "aasaasa"),
        ("silent,fc=3,after=2,count=1", [HR0] * 5, "aasaa"),
        ("silent,fc=3,after=1,every=2", [HR0] * 6, "aasasa"),
        ("silent,fc=3,every=2,count=2", [HR0] * 7, "asasaaa"),
        ("silent,fc=3,prob=1", [HR0] * 3, "sss"),
        ("silent,fc=3,prob=0", [HR0] * 3, "aaa"),
        ("silent,fc=4", [HR0, IR0, IR281, WRITE9, IR0], "assas"),
        ("silent,fc=0x04,count=1", [IR281, IR0], "sa"),
        ("silent,addr=10", [HR0, HR10, WRITE10, COIL10, WRITE9, HR1], "asssaa"),
        ("silent,fc=3,addr=0", [HR0, HR1, IR0, HR0], "saas"),
    ]

    def setUp(self):
        self.sim = Sim("--seed", "9", "--pattern", "ramp", "--fps", "0")
        self.line = RawLine(self.sim.link)
        self.marker = self.line.exchange(MARKER, expect=6)

    def tearDown(self):
        self.line.close()
        self.sim.close()

    def pattern(self, requests, line=None, marker=None):
        line, marker = line or self.line, marker or self.marker
        out = ""
        for request in requests:
            data = line.exchange_until(request + MARKER, marker)
            self.assertIsNotNone(data)
            out += "a" if len(data) > len(marker) else "s"
        return out

    def test_rules(self):
        for rule, requests, expected in self.RULES:
            with self.subTest(rule):
                self.assertEqual(self.sim.command("fault " + rule), "ok")
                self.assertEqual(self.pattern(requests), expected)
                self.assertEqual(self.sim.command("clear"), "ok")
                self.assertEqual(self.pattern(requests[:2]), "aa", "cleared")

    def test_probability_follows_the_seed(self):
        patterns = []
        for _ in range(2):
            with Sim("--seed", "21", "--pattern", "ramp", "--fps", "0",
                     "--fault", "silent,fc=3,prob=0.5") as sim, \
                    RawLine(sim.link) as line:
                marker = line.exchange(MARKER, expect=6)
                patterns.append(self.pattern([self.HR0] * 30, line, marker))
        self.assertEqual(patterns[0], patterns[1])
        self.assertTrue(5 <= patterns[0].count("s") <= 25, patterns[0])

    BAD_RULES = ["bogus", "late", "silent:3", "exception:300", "exception:x", "silent,prob=2",
                 "silent,count=-1", "silent,every=0", "silent,colour=1", "silent,fc=256", ""]

    def test_bad_rules_are_refused(self):
        for rule in self.BAD_RULES:
            with self.subTest(rule):
                if rule:
                    reply = self.sim.command("fault " + rule)
                    self.assertTrue(reply.startswith("error"), reply)
                    self.assertEqual(self.pattern([self.HR0]), "a")
                with Sim("--fault", rule, expect_ready=False) as sim:
                    self.assertEqual(sim.wait(), 2)
                    self.assertIsNone(sim.next_line())
                    self.assertFalse(os.path.lexists(sim.link))


class Hangup(unittest.TestCase):
    def assert_hung_up(self, sim, line, request):
        # The line goes away under the master that still holds it open.
        with self.assertRaises((serial.SerialException, termios.error, OSError)):
            line.send(request)
            line.receive(first_timeout=5)
        self.assertEqual(sim.next_line(), "hangup")
        self.assertEqual(sim.wait(), 0)
        self.assertFalse(os.path.lexists(sim.link))

    def test_after_some_requests(self):
        with Sim("--fault", "hangup,fc=3,after=2") as sim, RawLine(sim.link) as line:
            for _ in range(2):
                self.assertEqual(line.exchange(READ, expect=33)[:3], b"\x01\x03\x1c")
            self.assertEqual(line.exchange(MARKER, expect=6)[:2], b"\x01\x02")
            self.assert_hung_up(sim, line, READ)

    def test_on_command(self):
        with Sim() as sim, RawLine(sim.link) as line:
            self.assertEqual(line.exchange(READ, expect=33)[:3], b"\x01\x03\x1c")
            self.assertEqual(sim.command("hangup"), "ok")
            self.assert_hung_up(sim, line, MARKER)


if __name__ == "__main__":
    main()
