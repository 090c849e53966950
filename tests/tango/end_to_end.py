"""kv318-tango in a Tango control system of the test's own (tango_site:
MariaDB, the Tango database and DataBaseds), with PyTango clients: devices
registered with tango_admin on a board of this machine and on a board of
kv318-server, found by name through the database; their attributes, the
digital loopback, a capture read back with h5py, streams whose waveform
events tile the simulator's ramp sample by sample, a second controller
refused in words that name the first, a follower; the database-free mode;
a stalled FIFO shown as an alarm; and a board that goes away and comes
back while the device server runs on.

Run by CTest: end_to_end.py --tango-server PATH --server PATH --sim PATH.
Where the Tango packages are missing it skips with one line naming them.
"""
import os
import pwd
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import sim_process
import tango_site
from server_process import Server
from sim_process import eventually

TANGO_SERVER = SERVER = SIM = None
SITE = None
tango = numpy = h5py = None

# The simulator's ramp: stream sample n holds converter code n modulo 16384,
# read as a signed 14-bit number, and a code is 5/8192 V.
CODE_MASK = 0x3FFF
VOLTS_PER_CODE = 5 / 8192
SIM_CLOCK = 2_000_000
# Deadlines for a busy machine: a device server's start, a state change.
START_SECONDS = 120
CHANGE_SECONDS = 30
# How soon a board that went away shows as FAULT: "within seconds".
FAULT_SECONDS = 15
# Every client call may wait this long (Tango's default is 3 s, short for a
# capture waiting for its trigger on a busy machine).
CALL_TIMEOUT_MS = 60_000
# The instances this run starts, unique to it, so the check that Tango left
# nothing in its default place cannot see another run's files.
RUN = "e2e%d" % os.getpid()
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "tango",
                       "tango_waveform.py")


def ramp(first, count):
    n = numpy.arange(first, first + count, dtype=numpy.int64) & CODE_MASK
    return numpy.where(n >= 0x2000, n - 0x4000, n)


def codes(volts):
    return numpy.rint(numpy.asarray(volts) / VOLTS_PER_CODE).astype(numpy.int64)


def ramp_breaks(c):
    """Where a run of codes does not go on by one (wrapping at 14 bits)."""
    return numpy.nonzero((numpy.diff(c) & CODE_MASK) != 1)[0].tolist()


class DeviceServer:
    """kv318-tango INSTANCE with `args` in `env`, its output in the site's
    directory, until stop()."""

    def __init__(self, instance, *args, env):
        self.instance = instance
        self.path = os.path.join(SITE.root, "kv318-tango-%s.log" % instance)
        with open(self.path, "w") as log:
            self.proc = sim_process.child([TANGO_SERVER, instance, *args], env=env, stdout=log,
                                          stderr=subprocess.STDOUT, cwd=SITE.root)
        self.log_path = env["TANGO_LOG_PATH"]
        if not eventually(lambda: "Ready to accept request" in self.output() or self.proc.poll() is not None,
                          START_SECONDS) or self.proc.poll() is not None:
            sim_process.stop(self.proc, signal.SIGKILL)
            raise AssertionError("kv318-tango %s did not start:\n%s" % (instance, self.output()))

    def output(self):
        with open(self.path, errors="replace") as f:
            return f.read()

    def stop(self):
        """Stops it; fails when it had to be killed, reported a sanitizer
        finding, or put its Tango files anywhere but the site."""
        ended = sim_process.stop(self.proc, signal.SIGTERM, 30)
        if not ended:
            raise AssertionError("kv318-tango %s did not end on SIGTERM within 30 s:\n%s"
                                 % (self.instance, self.output()))
        if self.proc.returncode != 0:
            raise AssertionError("kv318-tango %s ended on SIGTERM with status %d:\n%s"
                                 % (self.instance, self.proc.returncode, self.output()))
        if "Sanitizer" in self.output():
            raise AssertionError("kv318-tango %s: a sanitizer reported:\n%s" % (self.instance, self.output()))
        user = pwd.getpwuid(os.getuid()).pw_name
        default = os.path.join("/tmp", "tango-" + user, "kv318-tango", self.instance)
        if os.path.exists(default):
            raise AssertionError("kv318-tango %s left %s" % (self.instance, default))
        if not os.path.isdir(os.path.join(self.log_path, "kv318-tango", self.instance)):
            raise AssertionError("kv318-tango %s made no log directory in the site: was TANGO_LOG_PATH read?"
                                 % self.instance)


class Events:
    """The change events of one attribute of `proxy`, from the subscription
    on; those Tango sends at the subscription itself (the attribute's value
    then) are kept apart from those the device pushes after it."""

    def __init__(self, proxy, attribute):
        self.lock = threading.Lock()
        self.items = []
        self.proxy = proxy
        self.id = proxy.subscribe_event(attribute, tango.EventType.CHANGE_EVENT, self)
        with self.lock:
            self.initial = len(self.items)

    def push_event(self, ev):
        # Tango's thread: nothing here may raise.
        if ev.err:
            item = (None, None, ev.errors[0].desc if ev.errors else "error")
        else:
            v = ev.attr_value
            item = (None if v.value is None else numpy.array(v.value, copy=True), v.quality, "")
        with self.lock:
            self.items.append(item)

    def pushed(self):
        with self.lock:
            return list(self.items[self.initial:])

    def wait(self, count, seconds=60):
        return eventually(lambda: len(self.pushed()) >= count, seconds)

    def close(self):
        self.proxy.unsubscribe_event(self.id)


def proxy(name):
    p = tango.DeviceProxy(name)
    p.set_timeout_millis(CALL_TIMEOUT_MS)
    return p


def tango_env(sim):
    """The environment of a kv318-tango on `sim`'s boards: the site's, with
    nothing that would point the library at another server."""
    env = dict(SITE.env, KV318_DRIVER_DIR=sim.dir)
    for k in ("KV318_SERVER", "KV318_SERVER_KEYS"):
        env.pop(k, None)
    return env


class TangoTest(unittest.TestCase):
    def sim(self, *args):
        sim = sim_process.Sim(SIM, "--signal", "ramp", *args).__enter__()
        self.addCleanup(sim.__exit__, None, None, None)
        return sim

    def device_server(self, instance, *args, env):
        d = DeviceServer(instance, *args, env=env)
        self.addCleanup(d.stop)
        return d

    def events(self, p, attribute):
        e = Events(p, attribute)
        self.addCleanup(e.close)
        return e

    def wait_state(self, p, state, seconds=CHANGE_SECONDS):
        seen = []
        ok = eventually(lambda: seen.append(p.state()) or seen[-1] == state, seconds)
        self.assertTrue(ok, "%s: state %s, not %s, after %d s; Status: %s"
                        % (p.dev_name(), seen[-1] if seen else "?", state, seconds, p.status()))

    def check_stream(self, p, waveforms, firsts, windows, what):
        """`windows` pushed windows of `p`'s stream, each WaveformLength
        samples that go on from the one before, a valid stretch of the
        ramp; FirstIndex pushed with each, going on by WaveformLength; and
        read together, FirstIndex is the stream index of Waveform's first
        sample."""
        length = p.read_attribute("WaveformLength").value
        self.assertTrue(waveforms.wait(windows), "%s: %d windows in 60 s" % (what, len(waveforms.pushed())))
        self.assertTrue(firsts.wait(windows), "%s: %d FirstIndex events in 60 s" % (what, len(firsts.pushed())))
        for _ in range(3):
            first, wave = p.read_attributes(["FirstIndex", "Waveform"])
            self.assertEqual(codes(wave.value).tolist(), ramp(first.value, length).tolist(),
                             "%s: Waveform read with FirstIndex %d" % (what, first.value))
        got = waveforms.pushed()
        errors = [e for _, _, e in got if e]
        self.assertEqual(errors, [], what + ": error events")
        self.assertEqual({len(v) for v, _, _ in got}, {length}, what + ": window lengths")
        self.assertEqual({q for _, q, _ in got}, {tango.AttrQuality.ATTR_VALID}, what + ": window qualities")
        joined = numpy.concatenate([codes(v) for v, _, _ in got])
        self.assertEqual(ramp_breaks(joined), [], what + ": the ramp breaks across the windows at these samples")
        indices = [v for v, _, _ in firsts.pushed()]
        steps = set(numpy.diff(indices).tolist())
        self.assertEqual(steps, {length}, what + ": FirstIndex steps")


class RegisteredDevices(TangoTest):
    """Devices registered in the database, one kv318-tango instance each:
    test/kv318/0 on board 0 of this machine, test/kv318/1 on board 1
    through kv318-server with keys, test/kv318/2 on the same served board
    as a second client."""

    def setUp(self):
        self.sim = self.sim("--boards", "2")
        keys, mine = (os.path.join(self.sim.dir, n) for n in ("server-keys", "tango-keys"))
        for d, name in ((keys, "server"), (mine, "tango")):
            made = subprocess.run([SERVER, "keygen", d, "--name", name], capture_output=True, text=True, timeout=60)
            self.assertEqual(made.returncode, 0, made.stderr)
        with open(os.path.join(keys, "server.pub")) as f, open(os.path.join(mine, "server.pub"), "w") as out:
            out.write(f.read())
        with open(os.path.join(mine, "tango.pub")) as f, open(os.path.join(keys, "allowed"), "w") as out:
            out.write(f.read())
        self.server = Server(SERVER, self.sim, "--board", "1", "--keys", keys)
        self.addCleanup(self.server.__exit__, None, None, None)
        self.server.start()
        self.data = os.path.join(SITE.root, "data")
        os.makedirs(self.data, exist_ok=True)
        served = {"Board": 1, "ServerURL": self.server.url, "ServerKeys": mine, "DataDirectory": self.data}
        self.devices = {
            "test/kv318/0": {"DefaultDivider": 40, "WaveformLength": 2500, "EventRate": 40,
                             "DataDirectory": self.data},
            "test/kv318/1": served,
            "test/kv318/2": dict(served, WaveformLength=2000, EventRate=20),
        }
        self.instances = {}
        for n, (name, properties) in enumerate(self.devices.items()):
            instance = "%s-%d" % (RUN, n)
            SITE.register("kv318-tango/" + instance, "KV318", {name: properties})
            self.instances[name] = instance
        for name, instance in self.instances.items():
            self.device_server(instance, "-ORBendPoint", "giop:tcp:127.0.0.1:", env=tango_env(self.sim))

    def test_devices_found_by_name_stream_capture_refuse_and_follow(self):
        db = SITE.database()
        self.assertEqual(sorted(db.get_device_exported("test/kv318/*")), sorted(self.devices))
        servers = set(db.get_server_list("kv318-tango/*"))
        self.assertLessEqual({"kv318-tango/" + i for i in self.instances.values()}, servers)
        local, served, second = (proxy(n) for n in self.devices)
        for p, divider in ((local, 40), (served, 50), (second, 50)):
            self.assertEqual(p.info().dev_class, "KV318")
            self.wait_state(p, tango.DevState.ON)
            self.assertTrue(p.status(), "an empty Status")
            self.assertTrue(p.read_attribute("Identity1").value, p.dev_name() + ": no identity")
            self.assertEqual(p.read_attribute("Clock").value, SIM_CLOCK)
            self.assertEqual(p.read_attribute("Divider").value, divider, p.dev_name() + ": DefaultDivider")
            self.assertAlmostEqual(p.read_attribute("SampleRate").value, SIM_CLOCK / divider)

        # The simulator loops the outputs back to the inputs.
        for p in (local, served):
            for value in (0x1234, 0xA5C3, 0xFFFF, 0):
                p.write_attribute("DO", value)
                self.assertEqual(p.read_attribute("DO").value, value)
                self.assertTrue(eventually(lambda: p.read_attribute("DI").value == value, CHANGE_SECONDS),
                                "%s: DI %s after DO %#x" % (p.dev_name(), p.read_attribute("DI").value, value))

        # A capture on each board, read back as kv318-cli's HDF5 files are.
        for p, board, divider in ((local, 0, 40), (served, 1, 50)):
            path = p.command_inout("Capture", 5000)
            self.assertEqual(os.path.dirname(path), self.data, "the capture is not in DataDirectory")
            with h5py.File(path, "r") as f:
                group = f[sorted(f.keys())[-1]]
                samples = group["samples"][()].astype(numpy.int64)
                self.assertEqual(samples.size, 5000)
                self.assertEqual(ramp_breaks(samples), [], "%s: the captured ramp breaks" % p.dev_name())
                self.assertEqual((group.attrs["board"], group.attrs["divider"], group.attrs["clock_hz"],
                                  group.attrs["samples_written"]), (board, divider, SIM_CLOCK, 5000))

        # The served stream at 20 kS/s in windows of 1000 at up to 40 a
        # second; the local one at 50 kS/s in windows of 2500 at up to 40.
        served.write_attribute("Divider", 100)
        served.write_attribute("WaveformLength", 1000)
        served.write_attribute("EventRate", 40.0)
        self.assertAlmostEqual(served.read_attribute("SampleRate").value, SIM_CLOCK / 100)
        watched = {}
        for p in (local, served):
            watched[p] = (self.events(p, "Waveform"), self.events(p, "FirstIndex"))
            p.command_inout("Start")
            self.wait_state(p, tango.DevState.RUNNING)

        # A second client of the served board is refused, in words naming
        # the controller, and shows the board as another's.
        with self.assertRaises(tango.DevFailed) as refused:
            second.command_inout("Start")
        error = refused.exception.args[0]
        self.assertTrue(error.reason.startswith("KV318_"), error.reason)
        controller = second.read_attribute("Controller").value
        self.assertTrue(controller, "Controller is empty while another client controls the board")
        self.assertIn(controller, error.desc)
        self.wait_state(second, tango.DevState.DISABLE)
        # It follows the stream instead, at the controller's indices.
        following = (self.events(second, "Waveform"), self.events(second, "FirstIndex"))
        second.command_inout("Follow")
        self.wait_state(second, tango.DevState.STANDBY)

        for p, (waveforms, firsts) in watched.items():
            self.check_stream(p, waveforms, firsts, 40, p.dev_name())
        self.check_stream(second, *following, 20, "the follower")
        second.command_inout("Stop")
        for p in (local, served):
            p.command_inout("Stop")
            self.wait_state(p, tango.DevState.ON)
            self.assertEqual(p.read_attribute("SamplesMissed").value, 0)
            self.assertFalse(p.read_attribute("FifoLoss").value, p.read_attribute("FifoStatus").value)
        self.wait_state(second, tango.DevState.ON)
        self.assertEqual(second.read_attribute("Controller").value, "")


class WithoutDatabase(TangoTest):
    """kv318-tango -nodb -dlist, reached by its URL with #dbase=no; the
    board is the last member of the device's name."""

    def start(self, sim, name):
        port = tango_site.free_port()
        env = tango_env(sim)
        env.pop("TANGO_HOST")
        instance = "%s-%s" % (RUN, name.replace("/", "-"))
        server = self.device_server(instance, "-nodb", "-dlist", name, "-ORBendPoint",
                                    "giop:tcp:127.0.0.1:%d" % port, env=env)
        self.url = "tango://127.0.0.1:%d/%s#dbase=no" % (port, name)
        return proxy(self.url), server

    def wait_window(self, p, quality, seconds=60):
        """The first Waveform read with `quality`, else fails."""
        seen = []

        def read():
            seen.append(p.read_attribute("Waveform"))
            return seen[-1].quality == quality and seen[-1].value is not None
        self.assertTrue(eventually(read, seconds), "Waveform quality %s after %d s, not %s; Status: %s"
                        % (seen[-1].quality if seen else "?", seconds, quality, p.status()))
        return seen[-1]

    def test_answers_and_streams_without_a_database(self):
        p, _ = self.start(self.sim(), "nodb/kv318/0")
        self.wait_state(p, tango.DevState.ON)
        p.command_inout("Start")
        self.wait_state(p, tango.DevState.RUNNING)
        window = self.wait_window(p, tango.AttrQuality.ATTR_VALID)
        length = p.read_attribute("WaveformLength").value
        self.assertEqual(len(window.value), length)
        self.assertEqual(ramp_breaks(codes(window.value)), [])
        p.command_inout("Stop")
        self.wait_state(p, tango.DevState.ON)

    def test_the_example_starts_shows_and_stops_a_stream(self):
        p, _ = self.start(self.sim(), "nodb/kv318/0")
        self.wait_state(p, tango.DevState.ON)
        r = subprocess.run([sys.executable, EXAMPLE, self.url, "--windows", "3", "--text"], capture_output=True,
                           text=True, timeout=120, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lines = r.stdout.splitlines()
        self.assertIn("RUNNING, 40000 samples a second, windows of 1000", lines[0])
        self.assertEqual([line.split(":")[0] for line in lines[1:]], ["window 1", "window 2", "window 3"])
        self.assertTrue(all("1000 samples" in line and "ATTR_VALID" in line for line in lines[1:]), r.stdout)
        self.wait_state(p, tango.DevState.ON)

    def test_a_stalled_fifo_makes_the_waveform_an_alarm_and_status_says_so(self):
        # Bulk reads come back empty from 2 s into the stream on while the
        # FIFO fills: at 200 kS/s its 512 KiB run over within 2 s more.
        p, _ = self.start(self.sim("--fail", "stall:after=2s:always"), "nodb/kv318/0")
        self.wait_state(p, tango.DevState.ON)
        p.write_attribute("Divider", 10)
        p.command_inout("Start")
        self.assertTrue(eventually(lambda: p.read_attribute("FifoLoss").value, 60),
                        p.read_attribute("FifoStatus").value)
        self.assertIn("fifo", p.status().lower())
        self.wait_state(p, tango.DevState.ALARM)
        self.wait_window(p, tango.AttrQuality.ATTR_ALARM)

    def test_a_board_gone_is_a_fault_and_back_is_on_with_the_same_server(self):
        sim = self.sim()
        p, server = self.start(sim, "nodb/kv318/0")
        self.wait_state(p, tango.DevState.ON)
        sim.proc.send_signal(signal.SIGKILL)
        sim.proc.wait(30)
        began = time.monotonic()
        self.wait_state(p, tango.DevState.FAULT, FAULT_SECONDS)
        gone_after = time.monotonic() - began
        self.assertTrue(p.status(), "no words for the fault")
        # The same board back in the same driver directory.
        sim.log.seek(0)
        sim.log.truncate()
        sim.proc = sim_process.child([SIM, "--dir", sim.dir, "--signal", "ramp"], stdout=sim.log, stderr=sim.log)
        self.assertTrue(eventually(lambda: "serving" in sim.output(), CHANGE_SECONDS), sim.output())
        self.wait_state(p, tango.DevState.ON)
        self.assertIsNone(server.proc.poll(), "kv318-tango ended")
        p.command_inout("Start")
        self.wait_state(p, tango.DevState.RUNNING)
        self.wait_window(p, tango.AttrQuality.ATTR_VALID)
        p.command_inout("Stop")
        print("\nFAULT %.1f s after the simulator was killed" % gone_after)


def setUpModule():
    missing = tango_site.missing_packages()
    if missing:
        raise unittest.SkipTest("kv318-tango's end-to-end test needs the Debian packages " + ", ".join(missing)
                                + " (tools/setup.sh installs them)")
    global SITE, tango, numpy, h5py
    import h5py as h5py_module
    import numpy as numpy_module
    import tango as tango_module
    tango, numpy, h5py = tango_module, numpy_module, h5py_module
    SITE = tango_site.TangoSite()
    unittest.addModuleCleanup(stop_site)
    SITE.start()
    # Every file the tests make (simulator directories, server logs) in the
    # site's directory, removed with it.
    tempfile.tempdir = SITE.tmp


def stop_site():
    tempfile.tempdir = None
    SITE.stop()


def main():
    global TANGO_SERVER, SERVER, SIM
    args, rest = sim_process.programs("tango-server", "server", "sim")
    TANGO_SERVER, SERVER, SIM = args.tango_server, args.server, args.sim
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
