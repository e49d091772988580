"""The simulator as a program on a serial line: sessions one after another, line settings
left behind, stopping, the register map files and paced answers."""

import json
import os
import select
import signal
import tempfile
import termios
import time
import tty
import unittest

from simpeer import (RawLine, Sim, deadline_loop, main, mbpoll, pdu, pymodbus_client,
                     read_block, read_frame, rtu, wait_until)

READ = rtu(1, pdu(0x03, 0, 14))


def line_settings(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


def leave_poisoned(path):
    """A session that configures the line the way a serial port library does and then ends
    without putting anything back, as a crashed client would."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[0] |= termios.ICRNL | termios.IXON
    attrs[1] |= termios.OPOST | termios.ONLCR
    attrs[2] |= termios.CLOCAL | termios.CREAD | termios.PARENB | termios.CSTOPB
    attrs[3] |= termios.ECHO | termios.ICANON | termios.ISIG
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    left = termios.tcgetattr(fd)
    os.close(fd)
    return left


class Sessions(unittest.TestCase):
    def test_even_parity_sessions_in_a_row(self):
        with Sim() as sim:
            fresh = line_settings(sim.link)
            self.assertFalse(fresh[2] & termios.CLOCAL)
            self.assertFalse(fresh[3] & (termios.ECHO | termios.ICANON))
            for session in range(3):
                with self.subTest(session=session):
                    got = mbpoll(sim.link, "holding", 0, 14, parity="even")
                    self.assertEqual(got.rc, 0, got.error)
                    self.assertEqual(got.block(0, 2), [1, 22])
                    # A client that leaves its settings behind does not poison the next.
                    left = leave_poisoned(sim.link)
                    self.assertTrue(left[2] & termios.CLOCAL)
                    self.assertTrue(wait_until(lambda: line_settings(sim.link) == fresh),
                                    "settings were not put back")

    def test_open_session_keeps_its_settings(self):
        # The end of one session is noticed late, after the next one has set up the line:
        # the settings of the session under way stay as they are, and so does its request.
        with Sim() as sim:
            sim.signal(signal.SIGSTOP)
            try:
                leave_poisoned(sim.link)
                fd = os.open(sim.link, os.O_RDWR | os.O_NOCTTY)
                tty.setraw(fd)
                attrs = termios.tcgetattr(fd)
                attrs[2] |= termios.CLOCAL
                attrs[4] = attrs[5] = termios.B19200
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
                own = termios.tcgetattr(fd)
                os.write(fd, READ)
            finally:
                sim.signal(signal.SIGCONT)
            try:
                answer = b""
                for _ in deadline_loop(5.0, step=0):
                    if select.select([fd], [], [], 0.1)[0]:
                        answer += os.read(fd, 64)
                    if len(answer) >= 33:
                        break
                self.assertEqual(answer[:3], b"\x01\x03\x1c")
                self.assertEqual(termios.tcgetattr(fd), own)
            finally:
                os.close(fd)
            self.assertTrue(wait_until(lambda: not (line_settings(sim.link)[2] &
                                                    termios.CLOCAL)))


class Stopping(unittest.TestCase):
    def test_signal_stops_and_removes_the_link(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), Sim() as sim:
                line = RawLine(sim.link)
                try:
                    self.assertEqual(line.exchange(READ, expect=33)[:3], b"\x01\x03\x1c")
                    sim.signal(sig)
                    self.assertEqual(sim.wait(), 0)
                    self.assertFalse(os.path.lexists(sim.link))
                    self.assertIsNone(sim.next_line(), "nothing more on stdout")
                finally:
                    line.close()

    def test_link_over_a_stale_file(self):
        directory = tempfile.mkdtemp(prefix="brisca-simtest-")
        link = os.path.join(directory, "tty")
        try:
            with open(link, "w") as f:
                f.write("left over")
            with Sim(link=link) as sim:
                self.assertTrue(os.path.islink(link))
                self.assertTrue(os.path.realpath(link).startswith("/dev/pts/"))
                self.assertEqual(mbpoll(sim.link, "holding", 0, 1).block(0, 1), [1])
        finally:
            os.rmdir(directory)


class Verbose(unittest.TestCase):
    def test_one_line_per_request_and_answer(self):
        with Sim("--verbose") as sim, RawLine(sim.link) as line:
            answers = [line.exchange(request, expect=n) for request, n in
                       ((READ, 33), (rtu(1, pdu(0x06, 10, 1000)), 5))]
            self.assertEqual(answers[1], rtu(1, [0x86, 3]))
            expected = []
            for request, answer in zip((READ, rtu(1, pdu(0x06, 10, 1000))), answers):
                expected += ["rx " + request.hex(" "), "tx " + answer.hex(" ")]
            self.assertTrue(wait_until(lambda: len(sim.stderr().splitlines()) >= 4))
            self.assertEqual(sim.stderr().splitlines(), expected)


class MapFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brisca-simtest-")

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.remove(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def load(self, path):
        with open(path) as f:
            return json.load(f)

    def test_state_follows_every_change(self):
        state = self.path("state.json")
        with Sim("--state", state, "--pattern", "ramp", "--fps", "0") as sim:
            client = pymodbus_client(sim.link)
            try:
                read_block(client, "holding", 0, 14)
                read_frame(client)
                client.write_register(10, 1000, slave=1)  # refused: nothing changed
                self.assertFalse(os.path.exists(state))

                self.assertFalse(client.write_register(9, 42, slave=1).isError())
                saved = self.load(state)
                self.assertEqual(saved["slave"], 1)
                self.assertEqual([len(saved[k]) for k in
                                  ("coils", "discrete_inputs", "holding", "input")],
                                 [13, 5, 14, 1305])
                self.assertEqual(saved["holding"], read_block(client, "holding", 0, 14))
                self.assertEqual(saved["holding"][9], 42)
                self.assertEqual(saved["coils"], read_block(client, "coil", 0, 13))
                self.assertEqual(saved["input"][281:], [2731 + i for i in range(1024)])
                self.assertEqual(os.listdir(self.dir), ["state.json"])

                changes = [
                    ("coil", lambda: client.write_coil(0, False, slave=1),
                     lambda s: s["coils"][0] == 0),
                    ("thresholds", lambda: client.write_registers(2, [4000, 2600], slave=1),
                     lambda s: s["holding"][2:4] == [4000, 2600]),
                    ("slave address", lambda: client.write_register(0, 5, slave=1),
                     lambda s: s["slave"] == 5 and s["holding"][0] == 5),
                ]
                for name, change, check in changes:
                    with self.subTest(name):
                        os.remove(state)
                        self.assertFalse(change().isError())
                        self.assertTrue(check(self.load(state)))
            finally:
                client.close()

            os.remove(state)
            with RawLine(sim.link) as line:
                answer = line.exchange(rtu(5, [0xFF]) + rtu(1, pdu(0x03, 9, 1)), expect=7)
            self.assertEqual(answer, rtu(1, [0x03, 2, 0, 95]))
            self.assertEqual(self.load(state)["holding"][9], 95)
            self.assertEqual(sim.command("set holding 9 77"), "ok")
            self.assertEqual(self.load(state)["holding"][9], 77)

    def test_load_a_register_map(self):
        holding = [5, 12, 3000, 2600, 3100, 2700, 3200, 2650, 500, 80, 16, 4, 3, 3]
        coils = [0, 0, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 0]
        maps = [
            ("whole", {"slave": 5, "coils": coils, "holding": holding}, 5, holding, coils),
            ("holding only", {"holding": [9, 22, 3600]}, 9, [9, 22, 3600], None),
            ("slave only", {"slave": 12}, 12, [12, 22], None),
            ("coils as booleans", {"coils": [False, True, True]}, 1, [1], [0, 1, 1]),
        ]
        for name, content, slave, want_holding, want_coils in maps:
            with self.subTest(name):
                path = self.path("map.json")
                with open(path, "w") as f:
                    json.dump(content, f)
                with Sim("--load", path) as sim:
                    got = mbpoll(sim.link, "holding", 0, len(want_holding), slave=slave)
                    self.assertEqual(got.rc, 0, got.error)
                    self.assertEqual(got.block(0, len(want_holding)), want_holding)
                    if want_coils:
                        got = mbpoll(sim.link, "coil", 0, len(want_coils), slave=slave)
                        self.assertEqual(got.block(0, len(want_coils)), want_coils)

    def test_state_loads_back(self):
        state = self.path("state.json")
        with Sim("--state", state, "--pattern", "ramp", "--fps", "0") as sim:
            client = pymodbus_client(sim.link)
            try:
                for address, value in ((9, 61), (12, 3), (0, 8)):
                    self.assertFalse(client.write_register(address, value, slave=1).isError())
                self.assertFalse(client.write_coil(9, True, slave=8).isError())
                before = (read_block(client, "holding", 0, 14, 8),
                          read_block(client, "coil", 0, 13, 8), read_frame(client, 8))
            finally:
                client.close()
        # A scene sensor that starts from the ramp's map shows it until its next frame.
        with Sim("--load", state, "--pattern", "scene", "--fps", "0") as sim:
            client = pymodbus_client(sim.link)
            try:
                after = (read_block(client, "holding", 0, 14, 8),
                         read_block(client, "coil", 0, 13, 8), read_frame(client, 8))
                self.assertEqual(after, before)
                self.assertEqual(sim.command("frame"), "ok")
                self.assertNotEqual(read_frame(client, 8), before[2])
            finally:
                client.close()

    BAD_MAPS = [
        ("missing", None),
        ("not json", "holding: 1"),
        ("not an object", "[1, 2]"),
        ("too many holding registers", json.dumps({"holding": list(range(1, 16))})),
        ("too many coils", json.dumps({"coils": [0] * 14})),
        ("value too large", json.dumps({"input": [70000]})),
        ("negative value", json.dumps({"holding": [1, -1]})),
        ("fraction", json.dumps({"holding": [1.5]})),
        ("text value", json.dumps({"coils": ["on"]})),
        ("slave out of range", json.dumps({"slave": 300})),
    ]

    def test_bad_map_files_are_refused(self):
        for name, content in self.BAD_MAPS:
            with self.subTest(name):
                path = self.path("bad.json")
                if content is not None:
                    with open(path, "w") as f:
                        f.write(content)
                with Sim("--load", path, expect_ready=False) as sim:
                    self.assertEqual(sim.wait(), 2)
                    self.assertIsNone(sim.next_line())
                    self.assertIn("cannot load", sim.stderr())
                    self.assertFalse(os.path.lexists(sim.link))
                if content is not None:
                    os.remove(path)


class Pace(unittest.TestCase):
    def test_answers_take_the_wire_time(self):
        # 125 registers at 4800 baud: 8 request and 255 answer bytes of 11 bits, plus the
        # 3.5 character silence. A pty itself carries them at once.
        baud = 4800
        wire = (8 + 255) * 11 / baud + 3.5 * 11 / baud
        with Sim("--pace", "--baud", baud, "--parity", "none", "--fps", "0") as sim, \
                RawLine(sim.link) as line:
            started = time.monotonic()
            answer = line.exchange(rtu(1, pdu(0x04, 281, 125)), first_timeout=10, expect=255)
            elapsed = time.monotonic() - started
        self.assertEqual(answer[:3], b"\x01\x04\xfa")
        print("paced answer after %.3f s, wire time %.3f s" % (elapsed, wire))
        self.assertGreaterEqual(elapsed, wire - 0.002)


if __name__ == "__main__":
    main()
