"""The sensor model behind the registers: frames, and every derived register recomputed
here from the frame that was read."""

import statistics
import unittest

from simpeer import (Sim, main, pymodbus_client, read_block, read_frame, read_inputs,
                     wait_until)

# Coils
NO_NC_ENABLED, TIMER_RESET, COUNTER_UNIDIRECTIONAL = 0, 1, 4
APP1, APP2, APP3, LIMIT_FOV, FRAME_AVERAGE, NO_NC_FLAG, COUNTER_RESET = 5, 6, 7, 9, 10, 11, 12
# Holding registers
APP1_HOT, APP1_COLD, APP2_HOT, APP2_COLD, APP3_HOT, APP3_COLD = 2, 3, 4, 5, 6, 7
DURATION, AREA, WINDOW, GRID, CHOICE = 8, 10, 11, 12, 13


def mean(values):
    """The sensor's integer mean: rounded half up."""
    return (sum(values) + len(values) // 2) // len(values)


def pixel(frame, x, y):
    return frame[32 * x + y]


def expected_regions(frame, grid_code):
    side = 1 << grid_code
    per_side = 32 // side
    temps = []
    for n in range(per_side * per_side):
        x0, y0 = (n // per_side) * side, (n % per_side) * side
        temps.append(mean([pixel(frame, x, y) for x in range(x0, x0 + side)
                           for y in range(y0, y0 + side)]))
    return temps


def centred_square(frame, side):
    lo = 16 - side // 2
    return [pixel(frame, x, y) for x in range(lo, lo + side) for y in range(lo, lo + side)]


class Reading:
    """Everything the sensor shows, read in the order a client would."""

    def __init__(self, client):
        self.coils = read_block(client, "coil", 0, 13)
        self.holding = read_block(client, "holding", 0, 14)
        self.frame = read_frame(client)
        self.inputs = read_inputs(client, 0, 281)
        self.discrete = read_block(client, "discrete", 0, 5)


class ModelTest(unittest.TestCase):
    def configure(self, client, coils=None, holding=None):
        for address, value in (coils or {}).items():
            self.assertFalse(client.write_coil(address, value, slave=1).isError())
        for address, value in (holding or {}).items():
            self.assertFalse(client.write_register(address, value, slave=1).isError())

    def check_derived(self, r, source=None):
        """`source` is what applications 1 and 3 look at when it is not the frame read."""
        frame, ir, hr, coils, di = r.frame, r.inputs, r.holding, r.coils, r.discrete
        source = source or frame
        hot, cold = bool(hr[CHOICE] & 1), bool(hr[CHOICE] & 2)

        # Application 1 over the whole frame or the inner 20 x 20 pixels.
        lo, hi = (6, 26) if coils[LIMIT_FOV] else (0, 32)
        field = [pixel(source, x, y) for x in range(lo, hi) for y in range(lo, hi)]
        self.assertEqual(ir[0], min(field), "minimum")
        self.assertEqual(ir[2], max(field), "maximum")
        self.assertEqual(ir[4], mean(field), "average")
        for value, position in ((ir[0], ir[1]), (ir[2], ir[3])):
            x, y = position & 0xFF, position >> 8
            self.assertTrue(lo <= x < hi and lo <= y < hi, hex(position))
            self.assertEqual(pixel(source, x, y), value, "position %#06x" % position)

        # Application 2 over the centred square.
        app2 = mean(centred_square(frame, hr[AREA]))
        self.assertEqual(ir[24], app2, "centred average")

        # Application 3: the regions in their order, zeros beyond the last.
        temps = expected_regions(source, hr[GRID])
        self.assertEqual(ir[25:25 + len(temps)], temps, "region temperatures")
        self.assertEqual(ir[25 + len(temps):281], [0] * (256 - len(temps)))
        deltas = {}
        for n, t in enumerate(temps):
            over = t - hr[APP3_HOT] if hot and t > hr[APP3_HOT] else -1
            under = hr[APP3_COLD] - t if cold and t < hr[APP3_COLD] else -1
            if coils[APP3] and max(over, under) >= 0:
                deltas[n + 1] = max(over, under)
        if deltas:
            self.assertIn(ir[22], deltas, "breach area")
            self.assertEqual(deltas[ir[22]], max(deltas.values()))
            self.assertEqual(ir[21], temps[ir[22] - 1], "breach temperature")
        else:
            self.assertEqual(ir[21:23], [0, 0])
        if not coils[COUNTER_UNIDIRECTIONAL]:
            self.assertEqual(ir[23], len(deltas), "breaching regions")

        # Alarm conditions.
        app1_alarm = coils[APP1] and ((hot and ir[2] > hr[APP1_HOT]) or
                                      (cold and ir[0] < hr[APP1_COLD]))
        app2_alarm = coils[APP2] and ((hot and app2 > hr[APP2_HOT]) or
                                      (cold and app2 < hr[APP2_COLD]))
        self.assertEqual(di[2:5], [int(app1_alarm), int(app2_alarm), int(bool(deltas))],
                         "alarm conditions")
        return deltas


class Ramp(ModelTest):
    def setUp(self):
        self.sim = Sim("--pattern", "ramp", "--fps", "50")
        self.client = pymodbus_client(self.sim.link)

    def tearDown(self):
        self.client.close()
        self.sim.close()

    def test_frame_element_i_is_2731_plus_i(self):
        for _ in range(2):  # the ramp stays exact while new frames keep coming
            self.assertEqual(read_frame(self.client), [2731 + i for i in range(1024)])

    # name, coils, holding registers, whether any region breaches
    CONFIGURATIONS = [
        ("new sensor", {}, {}, True),
        ("inner field, 4x4 regions, cold", {LIMIT_FOV: True},
         {GRID: 2, AREA: 8, CHOICE: 2, APP1_COLD: 2950, APP2_COLD: 3300, APP3_COLD: 2900}, True),
        ("8x8 regions, both, quiet", {LIMIT_FOV: False},
         {GRID: 3, AREA: 32, CHOICE: 3, APP1_HOT: 9431, APP1_COLD: 2531, APP2_HOT: 9431,
          APP2_COLD: 2531, APP3_HOT: 9431, APP3_COLD: 2531}, False),
        ("16x16 regions, application 3 off", {APP3: False},
         {GRID: 4, AREA: 2, CHOICE: 1, APP3_HOT: 2600}, False),
        ("applications 1 and 2 off", {APP1: False, APP2: False, APP3: True},
         {APP1_HOT: 2600, APP2_HOT: 2600, APP3_HOT: 3500, GRID: 1}, True),
    ]

    def test_derived_registers(self):
        for name, coils, holding, breach in self.CONFIGURATIONS:
            with self.subTest(name):
                self.configure(self.client, coils, holding)
                deltas = self.check_derived(Reading(self.client))
                self.assertEqual(bool(deltas), breach)

    def test_unidirectional_counter_counts_up_until_reset(self):
        c = self.client
        counter = lambda: read_block(c, "input", 23, 1)[0]  # noqa: E731
        self.configure(c, {COUNTER_UNIDIRECTIONAL: True}, {GRID: 4, APP3_HOT: 9431})
        self.configure(c, {COUNTER_RESET: True})
        self.assertEqual(counter(), 0)
        temps = read_inputs(c, 25, 4)
        self.assertEqual(temps, expected_regions([2731 + i for i in range(1024)], 4))
        threshold_between = sorted(temps)[1] + 1  # two regions above it
        self.configure(c, holding={APP3_HOT: threshold_between})
        self.assertEqual(counter(), 2)
        self.configure(c, holding={APP3_HOT: 9431})  # they leave: no count down
        self.assertEqual(counter(), 2)
        self.configure(c, holding={APP3_HOT: threshold_between})  # and enter again
        self.assertEqual(counter(), 4)
        self.configure(c, coils={COUNTER_RESET: True})
        self.assertEqual(read_block(c, "coil", COUNTER_RESET, 1), [0])
        self.assertEqual(counter(), 0, "reset while two regions stay in breach")
        self.configure(c, holding={APP3_HOT: 2600})  # the other two enter
        self.assertEqual(counter(), 2)
        # Back to bidirectional: the counter is the number of breaching regions.
        self.configure(c, coils={COUNTER_UNIDIRECTIONAL: False})
        self.assertEqual(counter(), 4)

    def test_no_nc_flag_resets(self):
        c = self.client
        quiet = {APP1: False, APP2: False, APP3: False}
        flag = lambda: read_block(c, "coil", NO_NC_FLAG, 1)[0]  # noqa: E731
        alarm = lambda: read_block(c, "discrete", 2, 1)[0]  # noqa: E731

        # Action based: the flag stays until the master clears it.
        self.configure(c, {**quiet, NO_NC_ENABLED: True, TIMER_RESET: False})
        self.configure(c, {NO_NC_FLAG: False})
        self.assertEqual(flag(), 0)
        self.configure(c, {APP1: True}, {APP1_HOT: 3000})
        self.assertEqual((alarm(), flag()), (1, 1))
        self.configure(c, {NO_NC_FLAG: False})
        self.assertEqual(flag(), 1, "cleared while the alarm is still on")
        self.configure(c, holding={APP1_HOT: 9431})
        self.assertEqual((alarm(), flag()), (0, 1))
        self.configure(c, {NO_NC_FLAG: False})
        self.assertEqual(flag(), 0)

        # Timer based: the flag drops by itself once the alarm has gone.
        self.configure(c, {TIMER_RESET: True}, {DURATION: 50, APP1_HOT: 3000})
        self.assertEqual(flag(), 1)
        self.configure(c, holding={APP1_HOT: 9431})
        self.assertTrue(wait_until(lambda: flag() == 0, 5.0))

        # With the output pin unused the flag is never raised.
        self.configure(c, {NO_NC_ENABLED: False}, {APP1_HOT: 3000})
        self.assertEqual((alarm(), flag()), (1, 0))


class Scene(ModelTest):
    def test_room_with_a_hot_and_a_cold_spot(self):
        with Sim("--pattern", "scene", "--fps", "0", "--seed", "3") as sim:
            client = pymodbus_client(sim.link)
            try:
                frames = [read_frame(client)]
                for _ in range(8):
                    self.assertEqual(sim.command("frame"), "ok")
                    frames.append(read_frame(client))
            finally:
                client.close()
        for frame in frames:
            room = statistics.median(frame)
            self.assertTrue(2900 <= room <= 3000, room)  # about 22 degrees
            self.assertGreater(max(frame), room + 200)
            self.assertLess(min(frame), room - 100)
            self.assertGreater(len(set(frame)), 30, "a real sensor's pixels are noisy")
        self.assertEqual(len({tuple(f) for f in frames}), len(frames), "every frame is new")
        hottest = {f.index(max(f)) for f in frames}
        self.assertGreater(len(hottest), 1, "the hot spot moves")

    def test_seed_makes_the_scene_reproducible(self):
        frames = {}
        for run, seed in enumerate((5, 5, 6)):
            with Sim("--pattern", "scene", "--fps", "0", "--seed", seed) as sim:
                client = pymodbus_client(sim.link)
                try:
                    frames[run] = read_frame(client)
                finally:
                    client.close()
        self.assertEqual(frames[0], frames[1])
        self.assertNotEqual(frames[0], frames[2])

    CONFIGURATIONS = [
        # One frame in the window: the centred average is that of the frame read.
        ("new sensor", {}, {WINDOW: 1}),
        ("inner field, 8x8 regions, both", {LIMIT_FOV: True},
         {GRID: 3, CHOICE: 3, AREA: 12, APP3_HOT: 3000, APP3_COLD: 2940, APP1_COLD: 2900}),
        ("4x4 regions, cold", {LIMIT_FOV: False},
         {GRID: 2, CHOICE: 2, AREA: 30, APP2_COLD: 3000, APP3_COLD: 2945}),
    ]

    def test_derived_registers(self):
        with Sim("--pattern", "scene", "--fps", "0", "--seed", "11") as sim:
            client = pymodbus_client(sim.link)
            try:
                for name, coils, holding in self.CONFIGURATIONS:
                    with self.subTest(name):
                        self.configure(client, coils, holding)
                        for _ in range(2):
                            self.check_derived(Reading(client))
                            self.assertEqual(sim.command("frame"), "ok")
            finally:
                client.close()

    def test_four_frame_average(self):
        with Sim("--pattern", "scene", "--fps", "0", "--seed", "8") as sim:
            client = pymodbus_client(sim.link)
            try:
                frames = [read_frame(client)]
                for _ in range(5):
                    self.assertEqual(sim.command("frame"), "ok")
                    frames.append(read_frame(client))
                self.configure(client, {FRAME_AVERAGE: True},
                               {WINDOW: 1, GRID: 2, CHOICE: 3, APP3_HOT: 2990})
                averaged = [mean(values) for values in zip(*frames[-4:])]
                self.assertNotEqual(averaged, frames[-1])
                self.check_derived(Reading(client), averaged)
            finally:
                client.close()

    def test_moving_average_window_of_the_centred_square(self):
        with Sim("--pattern", "scene", "--fps", "0", "--seed", "4") as sim:
            client = pymodbus_client(sim.link)
            try:
                frames = [read_frame(client)]
                for _ in range(15):
                    self.assertEqual(sim.command("frame"), "ok")
                    frames.append(read_frame(client))
                expected = {}
                for window in (1, 3, 8, 16):
                    with self.subTest(window=window):
                        self.configure(client, holding={WINDOW: window, AREA: 10})
                        pixels = [p for f in frames[-window:] for p in centred_square(f, 10)]
                        expected[window] = mean(pixels)
                        self.assertEqual(read_block(client, "input", 24, 1), [expected[window]])
                # The hot spot passes the square: the windows must tell apart.
                self.assertNotEqual(expected[1], expected[16])
            finally:
                client.close()


if __name__ == "__main__":
    main()
