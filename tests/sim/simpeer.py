"""Drives brisca-sim from outside over its pty: mbpoll (any parity), pymodbus (parity none:
pyserial refuses parity on a pty) and a raw pyserial line for the bytes a Modbus client
hides. Every test module calls main(), which takes `--sim PATH` off the command line."""

import os
import queue
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest

# Debian's pymodbus imports its asyncio serial transport at module level even for the
# synchronous client, and that package is only recommended. The tests use the synchronous
# client alone, so a missing transport is replaced by one that cannot be used.
try:
    import serial_asyncio  # noqa: F401
except ImportError:
    _placeholder = types.ModuleType("serial_asyncio")

    async def _no_async_serial(*_args, **_kwargs):
        raise RuntimeError("serial_asyncio is not installed")

    _placeholder.create_serial_connection = _no_async_serial
    sys.modules["serial_asyncio"] = _placeholder

import serial  # noqa: E402
from pymodbus.client import ModbusSerialClient  # noqa: E402
from pymodbus.utilities import computeCRC  # noqa: E402

SIM = None  # path of brisca-sim, set by main()


def deadline_loop(seconds, step=0.02):
    """Yields until `seconds` have passed, pausing `step` between rounds: for polling."""
    end = time.monotonic() + seconds
    while True:
        yield
        if time.monotonic() >= end:
            return
        time.sleep(step)


def wait_until(predicate, seconds=5.0):
    for _ in deadline_loop(seconds):
        if predicate():
            return True
    return False


class Sim:
    """One brisca-sim process on a link of its own under a fresh temporary directory."""

    def __init__(self, *args, parity=None, link=None, expect_ready=True):
        self.dir = tempfile.mkdtemp(prefix="brisca-simtest-")
        self.link = link or os.path.join(self.dir, "tty")
        self.stderr_path = os.path.join(self.dir, "stderr")
        self._stderr = open(self.stderr_path, "w")
        cmd = [SIM, "--link", self.link]
        if parity:
            cmd += ["--parity", parity]
        cmd += [str(a) for a in args]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._stderr, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read_stdout, daemon=True).start()
        line = self.next_line(10) if expect_ready else None
        if expect_ready and line != "ready " + self.link:
            self.close()
            raise AssertionError("not ready: %r, stderr: %s" % (line, self.stderr()))

    def _read_stdout(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=5.0):
        """The next stdout line, None at end of output or when nothing came in time."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def command(self, line):
        """Writes one control line and returns the simulator's reply line."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.next_line()

    def stderr(self):
        self._stderr.flush()
        with open(self.stderr_path) as f:
            return f.read()

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self._stderr):
            try:
                stream.close()
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


MBPOLL_TYPES = {"coil": "0", "discrete": "1", "input": "3", "holding": "4"}
_MBPOLL_VALUE = re.compile(r"^\[(\d+)\]:\s+(\d+)(?: \(-\d+\))?\s*$")  # "65535 (-1)" above 32767


class MbpollResult:
    def __init__(self, rc, values, error):
        self.rc = rc
        self.values = values  # protocol address -> value
        self.error = error  # what mbpoll printed on stderr

    def block(self, start, count):
        return [self.values[a] for a in range(start, start + count)]


def mbpoll(link, table, start, count=1, write=None, slave=1, baud=19200, parity="even",
           timeout=0.5):
    """Runs mbpoll once; addresses are protocol (0-based) addresses."""
    cmd = ["mbpoll", "-m", "rtu", "-0", "-1", "-a", str(slave), "-b", str(baud),
           "-P", parity, "-t", MBPOLL_TYPES[table], "-r", str(start), "-o", str(timeout)]
    if write is None:
        cmd += ["-c", str(count), link]
    else:
        cmd += [link] + [str(v) for v in write]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    values = {}
    for line in done.stdout.splitlines():
        m = _MBPOLL_VALUE.match(line)
        if m:
            values[int(m.group(1))] = int(m.group(2))
    return MbpollResult(done.returncode, values, done.stderr.strip())


def pymodbus_client(link):
    """A connected pymodbus RTU master; no retries, so every fault shows as it is."""
    client = ModbusSerialClient(port=link, baudrate=19200, parity="N", stopbits=2,
                                timeout=1, retries=0, retry_on_empty=False)
    if not client.connect():
        raise AssertionError("pymodbus cannot open " + link)
    return client


def read_block(client, table, start, count, slave=1):
    """Reads one block with pymodbus; returns the list of values or raises on any error."""
    call = {"coil": client.read_coils, "discrete": client.read_discrete_inputs,
            "holding": client.read_holding_registers, "input": client.read_input_registers}
    reply = call[table](start, count, slave=slave)
    if reply.isError():
        raise AssertionError("read %s %d+%d failed: %s" % (table, start, count, reply))
    if table in ("coil", "discrete"):
        return [int(b) for b in reply.bits[:count]]
    return list(reply.registers)


def read_inputs(client, start, count, slave=1):
    """Input registers start..start+count-1 in reads of at most 125."""
    return [v for a in range(start, start + count, 125)
            for v in read_block(client, "input", a, min(125, start + count - a), slave)]


def read_frame(client, slave=1):
    return read_inputs(client, 281, 1024, slave)


def exception_code(reply):
    """The exception code of a pymodbus reply, None when it is a normal answer."""
    return getattr(reply, "exception_code", None) if reply.isError() else None


def rtu(slave, pdu):
    """A complete RTU frame: address, PDU and the CRC as pymodbus computes it."""
    body = bytes([slave]) + bytes(pdu)
    return body + struct.pack(">H", computeCRC(body))


def crc_ok(frame):
    return len(frame) >= 4 and struct.pack(">H", computeCRC(frame[:-2])) == frame[-2:]


def pdu(function, *words):
    return bytes([function]) + b"".join(struct.pack(">H", w) for w in words)


class RawLine:
    """The pty opened with pyserial, for bytes that no Modbus client would show."""

    def __init__(self, link):
        self.port = serial.Serial(link, baudrate=19200, parity=serial.PARITY_NONE,
                                  stopbits=serial.STOPBITS_TWO, timeout=0)

    def send(self, data):
        self.port.reset_input_buffer()
        self.port.write(data)
        self.port.flush()

    def receive(self, first_timeout=1.0, quiet=0.2, expect=None):
        """Bytes of one answer: waits up to first_timeout for the first byte, then reads
        until `expect` bytes are in or the line has been quiet for `quiet` seconds."""
        self.port.timeout = first_timeout
        data = self.port.read(1)
        if not data:
            return b""
        self.port.timeout = quiet
        while expect is None or len(data) < expect:
            more = self.port.read(expect - len(data) if expect else 4096)
            if not more:
                break
            data += more
        return data

    def exchange(self, frame, **kw):
        self.send(frame)
        return self.receive(**kw)

    def exchange_until(self, frame, suffix, timeout=5.0):
        """Sends `frame` and reads until what came in ends with `suffix`; None if it never
        does. A request followed by a harmless one whose answer is known shows exactly what
        the first got back, an empty answer included, without waiting for a timeout."""
        self.send(frame)
        data = b""
        self.port.timeout = 0.05
        for _ in deadline_loop(timeout, step=0):
            data += self.port.read(4096)
            if data.endswith(suffix):
                return data
        return None

    def close(self):
        self.port.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    global SIM
    argv = list(sys.argv)
    if "--sim" in argv:
        i = argv.index("--sim")
        SIM = argv[i + 1]
        del argv[i:i + 2]
    SIM = SIM or os.environ.get("BRISCA_SIM")
    if not SIM or not os.access(SIM, os.X_OK):
        sys.exit("usage: %s --sim PATH-TO-brisca-sim [unittest options]" % argv[0])
    if shutil.which("mbpoll") is None:
        sys.exit("mbpoll is not installed")
    # ctest reads the output of a failing test; keep the unittest report in it.
    unittest.main(argv=argv, verbosity=2)

