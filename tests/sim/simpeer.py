"""Drives brisca-sim through mbpoll, pymodbus and a raw pyserial line. A case is (name,
brisca-sim arguments, [(request, answer)], optionally the masters it is for); what --master
cannot ask (raw bytes, rates it does not know, broadcasts) goes through the raw line."""

import collections, os, queue, re, select, shutil, struct, subprocess, sys  # noqa: E401
import tempfile, termios, threading, time, types, unittest  # noqa: E401

# Debian's pymodbus imports its asyncio serial transport (only recommended) even when sync.
try:
    import serial_asyncio  # noqa: F401
except ImportError:
    sys.modules["serial_asyncio"] = types.SimpleNamespace(create_serial_connection=None)

import serial  # noqa: E402
from pymodbus.client import ModbusSerialClient  # noqa: E402
from pymodbus.utilities import computeCRC  # noqa: E402

SIM, MASTER = None, "raw"
Line = collections.namedtuple("Line", "baud parity stopbits")


def line(baud=19200, parity="E", stopbits=None):  # two stop bits without parity
    return Line(baud, parity, stopbits or (2 if parity == "N" else 1))


EVEN = line()
Read = collections.namedtuple("Read", "table start count slave line", defaults=(1, EVEN))
Write = collections.namedtuple("Write", "table start values slave line", defaults=(1, EVEN))
Raw = collections.namedtuple("Raw", "parts line", defaults=(EVEN,))  # bytes, or bytes and pauses
Ctl = collections.namedtuple("Ctl", "text")  # a control line; its answer: the reply

# Answers as the masters report them; a list is the values read. FAILED: any failure. A bad
# answer is "crc", "slave" (another address), "short" or "stray" (bytes before it). Late:
# nothing within the timeout, then the values; Eventually: asked again until it is this.
SILENT, OK, FAILED = ("silent",), ("ok",), ("failed",)
Exc, Bad = (lambda code: ("exception", code)), (lambda kind: ("bad", kind))
Late, Eventually = (lambda values: ("late", values)), (lambda values: ("eventually", values))


def rtu(slave, pdu):
    body = bytes([slave]) + bytes(pdu)
    return body + struct.pack(">H", computeCRC(body))


def crc_ok(frame):
    return len(frame) >= 4 and struct.pack(">H", computeCRC(frame[:-2])) == frame[-2:]


def pdu(function, *words):
    return bytes([function]) + struct.pack(">%dH" % len(words), *words)


def encode(req):
    if isinstance(req, Read):
        return rtu(req.slave, pdu("_cdhi".index(req.table[0]), req.start, req.count))
    v, coil = req.values, req.table == "coil"
    if len(v) == 1:
        return rtu(req.slave, pdu(5, req.start, 0xFF00 if v[0] else 0) if coil else
                   pdu(6, req.start, v[0]))
    data = bytes(sum(b << i for i, b in enumerate(v[k:k + 8])) for k in range(0, len(v), 8)) \
        if coil else pdu(0, *v)[1:]
    return rtu(req.slave, pdu(15 if coil else 16, req.start, len(v)) + bytes([len(data)]) + data)


def answer_length(data):  # None while it cannot tell
    if len(data) < 3:
        return None
    return 5 if data[1] & 0x80 else 5 + data[2] if data[1] <= 4 else 8


def decode(req, data):
    if not data:
        return SILENT
    if not crc_ok(data):
        if any(crc_ok(data[i:]) and data[i] == req.slave for i in range(1, len(data) - 3)):
            return Bad("stray")
        return Bad("short" if len(data) < (answer_length(data) or 5) else "crc")
    if data[0] != req.slave:
        return Bad("slave")
    if data[1] & 0x80:
        return Exc(data[2])
    if isinstance(req, Write):
        return OK if data[:6] == encode(req)[:6] and len(data) == 8 else FAILED
    if req.table in ("coil", "discrete"):
        return [(data[3 + i // 8] >> (i % 8)) & 1 for i in range(req.count)]
    return list(struct.unpack(">%dH" % req.count, data[3:-2]))


def termios_of(link):
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


def until(predicate, seconds=5.0):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.005)
    return predicate()


def wait_fresh(link):
    # Until the sensor has put fresh settings back after the last session: a pty refuses
    # even or odd parity to a port the last one left configured.
    until(lambda: not termios_of(link)[2] & termios.CLOCAL)


class Closing:
    __enter__ = lambda self: self  # noqa: E731
    __exit__ = lambda self, *exc: self.close()  # noqa: E731


class Master(Closing):
    def __init__(self, link):
        self.link, self.port, self.client, self.line = link, None, None, None

    def can(self, req):
        return True

    def coarse(self, expected):
        return expected

    def close(self):
        for held in (self.port, self.client):
            if held:
                held.close()
        self.port = self.client = None


class RawMaster(Master):
    name = "raw"

    def send(self, parts, settings):
        if self.port is None or self.line != settings:
            self.close()
            wait_fresh(self.link)
            self.port = serial.Serial(self.link, baudrate=settings.baud, parity=settings.parity,
                                      stopbits=settings.stopbits, timeout=0)
            self.line = settings
        self.port.reset_input_buffer()
        for part in parts if isinstance(parts, list) else [parts]:
            self.port.write(part) if isinstance(part, bytes) else time.sleep(part)

    def receive(self, timeout):
        # Up to `timeout` for the first byte, then until whole or 50 ms quiet. With select:
        # setting the port's timeout would configure it again, which a pty refuses with parity.
        data, deadline = b"", time.monotonic() + timeout
        while True:
            wait = 0.05 if data else max(0.0, deadline - time.monotonic())
            more = self.port.read(256) if select.select([self.port], [], [], wait)[0] else b""
            data += more
            if not more or (answer_length(data) or 1e9) <= len(data):
                return data

    def request(self, req, timeout):
        raw = isinstance(req, Raw)
        self.send(req.parts if raw else encode(req), req.line)
        data = self.receive(timeout)
        return (data or SILENT) if raw else decode(req, data)


class Mbpoll(Master):
    name = "mbpoll"
    # libmodbus's texts for the answers it tells apart
    ERRORS = [("Illegal function", Exc(1)), ("Illegal data address", Exc(2)),
              ("Illegal data value", Exc(3)), ("Slave device or server failure", Exc(4)),
              ("Slave device or server is busy", Exc(6)),
              ("Target device failed to respond", Exc(11)), ("Connection timed out", SILENT),
              ("Invalid CRC", Bad("crc")), ("Response not from requested slave", Bad("slave"))]
    RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)  # those with a B constant

    def can(self, req):
        return (req.slave >= 1 and req.line.baud in self.RATES and
                (isinstance(req, Write) or req.count <= 125))

    def coarse(self, expected):
        if expected[0] == "exception" and expected not in [e for _, e in self.ERRORS]:
            return FAILED
        if expected[0] == "bad":  # it waits for the rest of a cut answer, gives up at a stray byte
            return {Bad("short"): SILENT, Bad("stray"): FAILED}.get(expected, expected)
        return expected

    def request(self, req, timeout):
        p = req.line
        cmd = ["mbpoll", "-m", "rtu", "-0", "-1", "-a", req.slave, "-b", p.baud, "-s", p.stopbits,
               "-P", {"N": "none", "E": "even", "O": "odd"}[p.parity], "-o", min(timeout, 10),
               "-t", "0134"["cdih".index(req.table[0])], "-r", req.start]
        cmd += ["-c", req.count, self.link] if isinstance(req, Read) else [self.link] + req.values
        done = subprocess.run([str(a) for a in cmd], capture_output=True, text=True, timeout=30)
        if done.returncode:
            return next((e for text, e in self.ERRORS if text in done.stderr), FAILED)
        if isinstance(req, Write):
            return OK
        values = {int(a): int(v) for a, v in
                  re.findall(r"^\[(\d+)\]:\s+(\d+)", done.stdout, re.MULTILINE)}
        return [values.get(a) for a in range(req.start, req.start + req.count)]


class Pymodbus(Master):
    name = "pymodbus"

    def coarse(self, expected):
        # It does not say what is wrong with a damaged answer, and once a slave has failed to
        # answer it no longer tells silence from one either.
        return FAILED if expected[0] in ("bad", "silent") else expected

    def request(self, req, timeout):
        if self.client is None or self.line != req.line:
            self.close()
            # Not strict: its extra configuration of the port is refused with parity.
            self.client = ModbusSerialClient(port=self.link, baudrate=req.line.baud,
                                             parity=req.line.parity, stopbits=req.line.stopbits,
                                             retries=0, retry_on_empty=False, strict=False)
            self.line = req.line
        c = self.client
        if not c.socket:  # new, or closed by pymodbus after a failure
            wait_fresh(self.link)
        c.params.timeout = timeout  # the constructor keeps whole seconds only
        assert c.connect(), "pymodbus cannot open " + self.link
        c.socket._timeout = timeout  # its setter would configure the port again
        one = len(getattr(req, "values", ())) == 1
        call = {("coil", Read): c.read_coils, ("discrete", Read): c.read_discrete_inputs,
                ("holding", Read): c.read_holding_registers, ("input", Read): c.read_input_registers,
                ("coil", Write): c.write_coil if one else c.write_coils,
                ("holding", Write): c.write_register if one else c.write_registers}
        arg = req.count if isinstance(req, Read) else req.values[0] if one else req.values
        reply = call[req.table, type(req)](req.start, arg, slave=req.slave)
        if hasattr(reply, "exception_code"):
            return Exc(reply.exception_code)
        if reply.isError():
            return SILENT if "(0 received)" in str(reply) else FAILED
        if isinstance(req, Write):
            return OK if reply.address == req.start else FAILED
        if req.table in ("coil", "discrete"):
            return [int(b) for b in reply.bits[:req.count]]
        return list(reply.registers)


MASTERS = {m.name: m for m in (RawMaster, Mbpoll, Pymodbus)}


class Sim(Closing):
    """One brisca-sim process on a link of its own in a fresh temporary folder."""

    def __init__(self, *args, link=None, expect_ready=True):
        self.dir = tempfile.mkdtemp(prefix="brisca-simtest-")
        self.link = link or os.path.join(self.dir, "tty")
        self.log = open(os.path.join(self.dir, "stderr"), "a+")
        self.proc = subprocess.Popen([SIM, "--link", self.link] + [str(a) for a in args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read_stdout, daemon=True).start()
        if expect_ready and self.next_line(10) != "ready " + self.link:
            self.close()
            raise AssertionError("not ready: " + self.stderr())

    def _read_stdout(self):
        for text in self.proc.stdout:
            self.lines.put(text.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=5.0):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.next_line()

    def stderr(self):
        self.log.seek(0)
        return self.log.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdin.close()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


# How long a master waits for an answer that should come, and for one that should not: a
# pty carries an answer within milliseconds.
ANSWER_TIMEOUT, SILENCE_TIMEOUT = 3.0, 0.1


class Exchanges(Closing):
    """The exchanges of one case through this run's master, with the raw line beside it. A
    step is (request, answer), or (a function of the Exchanges, None) for a check of its own."""

    def __init__(self, test, sim):
        self.test, self.sim = test, sim
        self.master = MASTERS[MASTER](sim.link)
        self.raw = self.master if MASTER == "raw" else RawMaster(sim.link)

    def close(self):
        self.master.close()
        self.raw.close()

    def through(self, req):
        # The master if it can make the request, else the raw line; the other lets go.
        use = self.master if not isinstance(req, Raw) and self.master.can(req) else self.raw
        (self.raw if use is self.master else self.master).close()
        return use

    def ask(self, req, timeout=ANSWER_TIMEOUT):
        return self.through(req).request(req, timeout)

    def step(self, req, expected):
        t = self.test
        if callable(req):
            return req(self)
        if isinstance(req, Ctl):
            got = self.sim.command(req.text)
            return t.assertTrue(got == expected or got.startswith(expected + " "), got)
        if expected[0] == "eventually":
            return t.assertTrue(any(self.ask(req) == expected[1] or time.sleep(0.05)
                                    for _ in range(100)), "never %s" % (expected[1],))
        master = self.through(req)
        want = master.coarse(expected)
        # A master that cannot tell silence from a failure need not wait long for either.
        quiet = want in (SILENT, FAILED) or expected[0] == "late"
        got = master.request(req, SILENCE_TIMEOUT if quiet else ANSWER_TIMEOUT)
        if expected[0] == "late":
            t.assertEqual(got, SILENT, "answered before its time")
            if master is self.raw:  # only the raw line listens without asking
                t.assertEqual(decode(req, self.raw.receive(5)), expected[1])
            return
        if master is self.master and got[0] in ("bad", "failed") and MASTER == "mbpoll":
            # It gave up on the answer; the raw line takes away whatever is left of it.
            self.ask(Raw([], req.line), 0.1)
        if want == FAILED:
            t.assertIn(got[0], ("silent", "bad", "failed"), req)
        else:
            t.assertEqual(got, want, req)


def run_table(test, cases):
    """Runs the cases meant for this run's master, one subtest per step; a case of raw bytes
    and control lines alone runs on the raw line only. BRISCA_SIM_CASE picks cases by name."""
    for name, args, steps, *masters in cases:
        if MASTER not in (masters[0] if masters else MASTERS) or os.environ.get(
                "BRISCA_SIM_CASE", name) not in name or MASTER != "raw" and all(
                    isinstance(req, (Raw, Ctl)) for req, _ in steps):
            continue
        with Sim("--verbose", *args) as sim, Exchanges(test, sim) as run:
            for number, (req, expected) in enumerate(steps):
                with test.subTest(name, step=number):
                    try:
                        run.step(req, expected)
                    except Exception:
                        print(sim.stderr()[-600:], file=sys.stderr)  # what it heard last
                        raise


def main():
    argv = list(sys.argv)
    for option in ("--sim", "--master"):
        if option in argv:
            globals()[option[2:].upper()] = argv.pop(argv.index(option) + 1)
            argv.remove(option)
    if not SIM or not os.access(SIM, os.X_OK) or MASTER not in MASTERS or not shutil.which(
            "mbpoll"):
        sys.exit("usage: %s --sim PATH-TO-brisca-sim [--master raw|mbpoll|pymodbus] "
                 "(needs mbpoll)" % argv[0])
    unittest.main(argv=argv, verbosity=2)  # ctest shows the report of a failing test
