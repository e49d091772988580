"""The register map as a Modbus master sees it: block reads, defaults, exception answers,
the slave address change, the factory reset request and bad input on the line."""

import unittest

from simpeer import (RawLine, Sim, exception_code, main, mbpoll, pdu, pymodbus_client,
                     read_block, rtu, wait_until)

# Holding registers 8 to 13 of a new sensor: alarm duration, emissivity, centred area,
# moving average window, grid code, temperature choice.
NEW_SENSOR_TAIL = [250, 95, 20, 10, 1, 1]


class Defaults(unittest.TestCase):
    # slave, baud, parity, serial settings code in holding register 1
    LINES = [
        (1, 19200, "even", 22),
        (7, 9600, "none", 12),
        (247, 256000, "odd", 49),
        (2, 1200, "none", 0),
        (3, 300, "even", 2),  # a rate outside the table counts as 1200
        (4, 14400, "odd", 17),
    ]

    def test_holding_registers_of_a_new_sensor(self):
        for slave, baud, parity, code in self.LINES:
            with self.subTest(slave=slave, baud=baud, parity=parity):
                with Sim("--slave", slave, "--baud", baud, parity=parity) as sim:
                    # mbpoll knows no rate below 1200; a pty carries bytes at any rate.
                    got = mbpoll(sim.link, "holding", 0, 14, slave=slave,
                                 baud=max(baud, 1200), parity=parity)
                    self.assertEqual(got.rc, 0, got.error)
                    hr = got.block(0, 14)
                    self.assertEqual(hr[0:2], [slave, code])
                    self.assertEqual(hr[8:], NEW_SENSOR_TAIL)
                    for hot, cold in ((hr[2], hr[3]), (hr[4], hr[5]), (hr[6], hr[7])):
                        self.assertTrue(2531 <= cold < hot <= 9431, hr)

    def test_block_reads_of_every_table(self):
        with Sim("--pattern", "ramp", "--fps", "0") as sim:
            client = pymodbus_client(sim.link)
            try:
                coils = read_block(client, "coil", 0, 13)
                discrete = read_block(client, "discrete", 0, 5)
                holding = read_block(client, "holding", 0, 14)
                app1 = read_block(client, "input", 0, 5)
                app3 = read_block(client, "input", 5, 19)
                app2 = read_block(client, "input", 24, 1)
                regions = [read_block(client, "input", a, n)
                           for a, n in ((25, 125), (150, 125), (275, 6))]
                frame = [read_block(client, "input", 281 + 125 * k, min(125, 1024 - 125 * k))
                         for k in range(9)]
            finally:
                client.close()
            self.assertEqual(len(coils), 13)
            self.assertEqual(coils[12], 0, "the counter reset coil reads back cleared")
            self.assertEqual(len(discrete), 5)
            self.assertEqual(holding[0:2] + holding[8:], [1, 22] + NEW_SENSOR_TAIL)
            self.assertEqual(len(app1) + len(app3) + len(app2), 25)
            self.assertEqual([len(c) for c in regions], [125, 125, 6])
            self.assertEqual(sum(len(c) for c in frame), 1024)
            flat = [v for chunk in frame for v in chunk]
            self.assertEqual(flat, [2731 + i for i in range(1024)])

            # mbpoll over even parity sees the same map.
            for table, start, count, expected in (
                ("coil", 0, 13, coils),
                ("discrete", 0, 5, discrete),
                ("holding", 0, 14, holding),
                ("input", 0, 25, app1 + app3 + app2),
                ("input", 25, 125, regions[0]),
                ("input", 1180, 125, flat[899:]),
            ):
                got = mbpoll(sim.link, table, start, count)
                self.assertEqual(got.rc, 0, got.error)
                self.assertEqual(got.block(start, count), expected, (table, start))


class Exceptions(unittest.TestCase):
    def setUp(self):
        self.sim = Sim("--pattern", "ramp", "--fps", "0")
        self.client = pymodbus_client(self.sim.link)

    def tearDown(self):
        self.client.close()
        self.sim.close()

    def holding(self, address):
        return read_block(self.client, "holding", address, 1)[0]

    def test_probe_is_refused_with_illegal_data_value(self):
        got = mbpoll(self.sim.link, "holding", 10, write=[1000])
        self.assertNotEqual(got.rc, 0)
        self.assertIn("Illegal data value", got.error)
        self.assertEqual(exception_code(self.client.write_register(10, 1000, slave=1)), 3)
        self.assertEqual(self.holding(10), 20)

    # address, refused values, accepted values (each accepted one is then read back)
    RANGES = [
        (0, [0, 248, 0xFFFF], [247, 1]),
        (1, [3, 7, 13 * 4, 0x40 | 22], [0, 49, 22]),
        (2, [2530, 9432], [2531, 9431]),
        (3, [0, 2530, 9432], [2531, 9431]),
        (4, [2530, 9432], [9431]),
        (5, [2530], [2531]),
        (6, [9432], [2600]),
        (7, [2530], [9431]),
        (8, [0, 49, 2001], [50, 2000]),
        (9, [0, 101], [1, 100]),
        (10, [0, 1, 3, 33, 34, 1000], [2, 32, 8]),
        (11, [0, 17], [1, 16]),
        (12, [0, 5], [4, 1]),
        (13, [0, 4], [3, 2]),
    ]

    def test_single_register_ranges(self):
        for address, refused, accepted in self.RANGES:
            for value in refused:
                with self.subTest(address=address, value=value):
                    before = self.holding(address)
                    reply = self.client.write_register(address, value, slave=1)
                    self.assertEqual(exception_code(reply), 3)
                    self.assertEqual(self.holding(address), before)
            for value in accepted:
                with self.subTest(address=address, value=value):
                    # The slave address register moves the sensor; keep talking to it.
                    reply = self.client.write_register(address, value, slave=1)
                    self.assertFalse(reply.isError(), reply)
                    self.assertEqual((reply.address, reply.value), (address, value))
                    if address == 0 and value != 1:
                        self.assertEqual(
                            read_block(self.client, "holding", 0, 1, slave=value), [value])
                        self.client.write_register(0, 1, slave=value)
                    else:
                        self.assertEqual(self.holding(address), value)

    def test_multiple_write_is_all_or_nothing(self):
        before = read_block(self.client, "holding", 0, 14)
        reply = self.client.write_registers(2, [3000, 9432], slave=1)
        self.assertEqual(exception_code(reply), 3)
        reply = self.client.write_registers(8, [100, 50, 7], slave=1)  # 7: odd area side
        self.assertEqual(exception_code(reply), 3)
        self.assertEqual(read_block(self.client, "holding", 0, 14), before)
        reply = self.client.write_registers(6, [3500, 2600], slave=1)
        self.assertFalse(reply.isError(), reply)
        self.assertEqual(read_block(self.client, "holding", 6, 2), [3500, 2600])

    def test_addresses_outside_the_map(self):
        c = self.client
        cases = [
            ("read coils 0-13", lambda: c.read_coils(0, 14, slave=1)),
            ("read coil 13", lambda: c.read_coils(13, 1, slave=1)),
            ("read discrete 0-5", lambda: c.read_discrete_inputs(0, 6, slave=1)),
            ("read discrete 5", lambda: c.read_discrete_inputs(5, 1, slave=1)),
            ("read holding 0-14", lambda: c.read_holding_registers(0, 15, slave=1)),
            ("read holding 14", lambda: c.read_holding_registers(14, 1, slave=1)),
            ("read input 1300-1305", lambda: c.read_input_registers(1300, 6, slave=1)),
            ("read input 1305", lambda: c.read_input_registers(1305, 1, slave=1)),
            ("write holding 14", lambda: c.write_register(14, 1, slave=1)),
            ("write holding 13-14", lambda: c.write_registers(13, [1, 1], slave=1)),
            ("write coil 13", lambda: c.write_coil(13, True, slave=1)),
        ]
        for name, call in cases:
            with self.subTest(name):
                self.assertEqual(exception_code(call()), 2)
        # More than one answer can carry is a bad quantity, not a bad address.
        self.assertEqual(exception_code(c.read_input_registers(281, 126, slave=1)), 3)

    def test_unsupported_functions(self):
        with RawLine(self.sim.link) as line:
            for function, body in ((0x07, b""), (0x11, b""), (0x08, b"\x00\x00\x12\x34"),
                                   (0x2B, b"\x0e\x01\x00"), (0x41, b"\x00")):
                with self.subTest(function=function):
                    answer = line.exchange(rtu(1, bytes([function]) + body), expect=5)
                    self.assertEqual(answer, rtu(1, [function | 0x80, 0x01]))

    def test_broadcast_write_is_carried_out_without_answer(self):
        with RawLine(self.sim.link) as line:
            # The read that follows is answered; nothing comes before its answer.
            answer = line.exchange(rtu(0, pdu(0x06, 9, 42)) + rtu(1, pdu(0x03, 9, 1)),
                                   expect=7)
            self.assertEqual(answer, rtu(1, [0x03, 2, 0, 42]))
            # A broadcast read is not carried out at all.
            answer = line.exchange(rtu(0, pdu(0x03, 0, 14)) + rtu(1, pdu(0x01, 0, 1)),
                                   expect=6)
            self.assertEqual(answer[:2], b"\x01\x01")


class SlaveAddress(unittest.TestCase):
    def test_change_is_answered_from_the_old_address(self):
        with Sim() as sim:
            with RawLine(sim.link) as line:
                request = rtu(1, pdu(0x06, 0, 5))
                self.assertEqual(line.exchange(request, expect=len(request)), request)
            self.assertNotEqual(mbpoll(sim.link, "holding", 0, 1, slave=1).rc, 0)
            got = mbpoll(sim.link, "holding", 0, 2, slave=5)
            self.assertEqual(got.rc, 0, got.error)
            self.assertEqual(got.block(0, 2), [5, 22])

            client = pymodbus_client(sim.link)
            try:
                reply = client.write_registers(0, [200], slave=5)
                self.assertFalse(reply.isError(), reply)
                self.assertEqual(read_block(client, "holding", 0, 1, slave=200), [200])
                self.assertTrue(client.read_holding_registers(0, 1, slave=5).isError())
            finally:
                client.close()


class FactoryReset(unittest.TestCase):
    def test_reset_frame_restores_defaults_silently(self):
        for slave in (1, 9):
            with self.subTest(slave=slave), \
                    Sim("--slave", slave, "--pattern", "ramp", "--fps", "0") as sim:
                client = pymodbus_client(sim.link)
                try:
                    holding = read_block(client, "holding", 0, 14, slave)
                    coils = read_block(client, "coil", 0, 13, slave)
                    for address, value in ((9, 50), (2, 9000), (13, 3), (12, 4)):
                        self.assertFalse(client.write_register(address, value,
                                                               slave=slave).isError())
                    for address in (0, 5, 7):
                        client.write_coil(address, not coils[address], slave=slave)
                    self.assertFalse(client.write_register(0, 33, slave=slave).isError())
                    self.assertNotEqual(read_block(client, "holding", 0, 14, 33), holding)
                finally:
                    client.close()
                with RawLine(sim.link) as line:
                    # An address other than the sensor's leaves it alone.
                    answer = line.exchange(rtu(34, [0xFF]) + rtu(33, pdu(0x03, 9, 1)),
                                           expect=7)
                    self.assertEqual(answer, rtu(33, [0x03, 2, 0, 50]))
                    # The sensor's own address: no answer comes back, then the defaults.
                    answer = line.exchange(rtu(33, [0xFF]) + rtu(slave, pdu(0x01, 0, 1)),
                                           expect=6)
                    self.assertEqual(answer[:2], bytes([slave, 0x01]), answer.hex())
                client = pymodbus_client(sim.link)
                try:
                    self.assertEqual(read_block(client, "holding", 0, 14, slave), holding)
                    self.assertEqual(read_block(client, "coil", 0, 13, slave), coils)
                    self.assertTrue(client.read_coils(0, 1, slave=33).isError())
                finally:
                    client.close()


class BadInput(unittest.TestCase):
    """Whatever arrives on the line, the sensor goes on answering proper requests."""

    JUNK = [
        ("bad crc", rtu(1, pdu(0x03, 0, 14))[:-1] + b"\x00"),
        ("half a request", rtu(1, pdu(0x03, 0, 14))[:4]),
        ("oversized", bytes(range(256)) * 2),
        ("unknown function, bad crc", b"\x01\x64\x00\x01\x02\x03"),
        ("multiple write whose length lies", b"\x01\x10\x00\x02\x00\x02\xF0\x00"),
        ("request inside garbage", b"\xAA\x55" + rtu(1, pdu(0x03, 0, 1)) + b"\x13"),
        ("lone address byte", b"\x01"),
    ]

    def test_junk_does_not_stop_the_sensor(self):
        request = rtu(1, pdu(0x03, 9, 1))
        with Sim() as sim, RawLine(sim.link) as line:
            for name, junk in self.JUNK:
                with self.subTest(name):
                    line.send(junk)
                    # A master repeats its request until the line has settled.
                    answers = []

                    def answered():
                        answers.append(line.exchange(request, first_timeout=0.3, expect=7))
                        return answers[-1] == rtu(1, [0x03, 2, 0, 95])

                    self.assertTrue(wait_until(answered, 5.0), [a.hex() for a in answers])
                    self.assertIsNone(sim.proc.poll())
            # Nothing written by the junk got through.
            got = mbpoll(sim.link, "holding", 0, 14)
            self.assertEqual(got.block(0, 2) + got.block(8, 6), [1, 22] + NEW_SENSOR_TAIL)


if __name__ == "__main__":
    main()
