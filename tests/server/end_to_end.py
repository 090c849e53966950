"""kv318-server serving kv318-sim's board to bare clients (pyzmq), each
client a process of its own so it can be stopped or killed.

Run by CTest: end_to_end.py --server PATH --sim PATH.  Every client checks
the simulator's ramp sample by sample against its block index, so a lost
or repeated sample anywhere shows.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import zmq

import sim_process
import server_process
from server_process import Client, Server
from sim_process import eventually

SERVER = SIM = CLI = None
HERE = Path(__file__).resolve().parent
# The simulator's FIFO is made large here: these tests are about the server,
# and a busy test machine must not lose samples in the board before the
# server ever sees them.  The benchmarks measure with the board's own FIFO.
# A sanitizer build's library cannot keep up with 13 MB/s, so it streams at
# 2 MB/s.  The stopped follower stops for longer than the queues hold: the
# server's 40 blocks of 25-50 ms come to 2 s when a busy machine makes its
# reads late and its blocks long.
SANITIZED = bool(os.environ.get("KV318_SANITIZE"))
CLOCK = 2_000_000 if SANITIZED else 13_000_000
STOPPED_SECONDS = 5 if SANITIZED else 4
SIM_ARGS = ("--signal", "ramp", "--clock", str(CLOCK), "--fifo", "8388608")


def client(url, mode, name, seconds, **kw):
    args = [sys.executable, str(HERE / "client_process.py"), mode, "--url", url, "--name", name,
            "--seconds", str(seconds), "--clock", str(CLOCK)]
    for k, v in kw.items():
        args += ["--" + k, str(v)]
    # The server's user's own client: it finds the local keys in the
    # server's driver directory.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if server_process.driver_dir_of(url):
        env["KV318_DRIVER_DIR"] = server_process.driver_dir_of(url)
    p = sim_process.child(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    return p


def first_line(p):
    return json.loads(p.stdout.readline() or "{}")


def result(p, timeout=120):
    out, err = p.communicate(timeout=timeout)
    lines = [json.loads(x) for x in out.splitlines() if x.strip()]
    assert lines, "client printed nothing: " + err
    return lines[-1]


class ServerEndToEnd(unittest.TestCase):
    def setUp(self):
        # Cleanups run even when a later step of setUp fails, last first.
        self.sim = sim_process.Sim(SIM, *SIM_ARGS).__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.server = Server(SERVER, self.sim)
        self.addCleanup(self.server.__exit__, None, None, None)
        self.server.start()

    def test_followers_get_every_sample_and_a_stopped_one_counts_what_it_missed(self):
        url = self.server.url
        seconds = STOPPED_SECONDS + 4
        followers = [client(url, "follow", "f%d" % i, seconds + 30) for i in range(3)]
        for f in followers:
            self.assertEqual(first_line(f), {"ready": True})
        controller = client(url, "control", "ctl", seconds, divider=2)
        self.assertEqual(first_line(controller), {"ready": True})
        # The third follower stops mid-stream, as a debugger or a full disk
        # would stop it; the board must not wait for it.
        time.sleep(1)
        followers[2].send_signal(signal.SIGSTOP)
        time.sleep(STOPPED_SECONDS)
        followers[2].send_signal(signal.SIGCONT)
        c = result(controller)
        fs = [result(f) for f in followers]
        self.assertTrue(c["ramp_ok"], c)
        self.assertEqual((c["first"], c["missed"], c["offset"]), (0, 0, 0), c)
        self.assertTrue(c["flags"] & server_process.FLAG_END, c)
        total = c["got"]
        self.assertGreater(total, CLOCK // 2 * seconds // 2, c)
        for f in fs[:2]:
            self.assertTrue(f["ramp_ok"], f)
            self.assertEqual((f["got"], f["missed"], f["first"], f["last"], f["stream"]),
                             (total, 0, 0, c["last"], c["stream"]), f)
        slow = fs[2]
        # Whatever it lost, it lost whole blocks and says exactly how many
        # samples: what it got and what it missed add up to the stream.
        self.assertTrue(slow.get("ramp_ok"), slow)
        self.assertEqual(slow["got"] + slow["missed"], total, slow)
        print("the stopped follower missed %d of %d samples" % (slow["missed"], total), file=sys.stderr)
        if not SANITIZED:
            self.assertGreater(slow["missed"], 0, slow)

    def test_one_controller_refusals_name_it_and_a_killed_one_frees_the_board(self):
        url = self.server.url
        controller = client(url, "control", "ctl.1@bench", 60, divider=50)
        self.assertEqual(first_line(controller), {"ready": True})
        other = Client(url, "other.2@desk")
        word, fields = other.ask("start", board=0, mode="stream", divider=50)
        self.assertEqual((word, fields["code"], fields["controller"]), ("error", "running", "ctl.1@bench"))
        self.assertIn("ctl.1@bench", fields["text"])
        word, fields = other.ask("do", board=0, value=1)
        self.assertEqual((word, fields["code"]), ("error", "controlled"))
        self.assertEqual(other.ask("di", board=0)[0], "ok")
        killed = time.monotonic()
        controller.send_signal(signal.SIGKILL)
        controller.communicate()

        def free():
            other.ask("ping")
            return other.ask("status", board=0)[1]["controller"] == ""
        self.assertTrue(eventually(free, 30))
        print("board freed %.2f s after its controller was killed" % (time.monotonic() - killed), file=sys.stderr)
        word, fields = other.ask("start", board=0, mode="stream", divider=50)
        self.assertEqual((word, fields["result"]), ("ok", "0"))
        self.assertEqual(other.ask("stop", board=0)[0], "ok")
        other.close()

    def test_a_copied_name_on_another_connection_gets_no_control(self):
        url = self.server.url
        controller = client(url, "control", "ctl.1@bench", 60, divider=50)
        self.assertEqual(first_line(controller), {"ready": True})
        impostor = Client(url, "ctl.1@bench")
        # The controller's name from another connection: refused, naming it.
        for verb, fields, code in (("do", {"board": 0, "value": 1}, "controlled"),
                                   ("stop", {"board": 0}, "controlled"),
                                   ("start", {"board": 0, "mode": "stream", "divider": 50}, "running")):
            word, got = impostor.ask(verb, **fields)
            self.assertEqual((word, got["code"], got["controller"]), ("error", code, "ctl.1@bench"), verb)
        # Its goodbye stops nothing.
        self.assertEqual(impostor.ask("bye")[0], "ok")
        self.assertEqual(impostor.ask("status", board=0)[1]["state"], "stream")
        # Killed, the controller frees the board though the impostor keeps
        # pinging in its name.
        controller.send_signal(signal.SIGKILL)
        controller.communicate()

        def free():
            impostor.ask("ping")
            return impostor.ask("status", board=0)[1]["controller"] == ""
        self.assertTrue(eventually(free, 30))
        impostor.close()

    def test_a_killed_server_fails_its_clients_and_a_restarted_one_is_reached(self):
        url = self.server.url
        follower = client(url, "follow", "f", 120)
        self.assertEqual(first_line(follower), {"ready": True})
        self.server.stop(signal.SIGKILL)
        # The follower hears nothing more and says so rather than waiting.
        self.assertTrue(result(follower, timeout=60)["silent"])
        c = Client(url, "c", timeout=1)
        self.assertIsNone(c.ask("ping"))
        self.server.start()
        self.assertTrue(eventually(lambda: c.ask("ping") is not None, 30))
        self.assertEqual(c.ask("hello")[0], "ok")
        c.close()

    def test_a_second_server_on_the_port_leaves_the_first_ones_keys_alone(self):
        url = self.server.url
        keys = server_process.local_keys_dir(url, self.sim.dir)
        before = {f: Path(keys, f).read_bytes() for f in sorted(os.listdir(keys))}
        self.assertEqual(list(before), ["allowed", "local.key", "local.pub", "server.key", "server.pub"])
        self.assertEqual(os.stat(keys).st_mode & 0o777, 0o700)
        # A second server on the first one's board is refused before the
        # port; one on a board it would wait for fails to bind the port.
        # Neither leaves the keys other than they were.
        for board, code, said in (("0", 3, "board 0 is served by kv318-server (pid %d)" % self.server.proc.pid),
                                  ("1", 2, "cannot listen on " + url)):
            with self.subTest(board=board):
                second = subprocess.run([SERVER, "--listen", url, "--board", board], env=self.sim.env,
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(second.returncode, code, second.stderr)
                self.assertIn(said, second.stderr)
                self.assertEqual({f: Path(keys, f).read_bytes() for f in sorted(os.listdir(keys))}, before)
        c = Client(url, "still")
        self.assertEqual(c.ask("hello")[0], "ok")
        c.close()

    def test_a_flood_of_connections_and_malformed_requests_leaves_it_serving(self):
        url = self.server.url
        ctx = zmq.Context()
        junk = [b"", b"\xff\xfe", b"kv318/1", b"kv318/1 ping", b"kv318/9 ping client=a", b"GET / HTTP/1.0",
                b"kv318/1 start client=x board=0 mode=stream divider=2 clock=99999999999999999999",
                b"kv318/1 ping client=" + b"a" * 9000, b"kv318/1 %zz client=a"]
        sockets = []
        curve = server_process.local_curve(url)
        for i in range(1000):
            s = ctx.socket(zmq.REQ)
            s.setsockopt(zmq.LINGER, 0)
            s.setsockopt(zmq.CURVE_SERVERKEY, curve[0])
            s.setsockopt(zmq.CURVE_PUBLICKEY, curve[1])
            s.setsockopt(zmq.CURVE_SECRETKEY, curve[2])
            s.connect(url)
            s.send(junk[i % len(junk)])
            sockets.append(s)
        # Raw TCP that is not ZeroMQ at all.
        import socket
        host, port = url[len("tcp://"):].rsplit(":", 1)
        for _ in range(20):
            with socket.create_connection((host, int(port))) as raw:
                raw.sendall(b"\x00" * 64 + os.urandom(256))
        # Every request is answered, the oversized ones too (saying the
        # limit), each on its own connection.
        expected = 1000
        answered = 0
        poller = zmq.Poller()
        for s in sockets:
            poller.register(s, zmq.POLLIN)
        deadline = time.monotonic() + 60
        while answered < expected and time.monotonic() < deadline:
            for s, _ in poller.poll(1000):
                reply = s.recv().decode()
                self.assertTrue(reply.startswith("error ") or reply == "ok", reply)
                if reply.startswith("error code=malformed") and "longer" in reply:
                    self.assertIn("4096", reply)
                poller.unregister(s)
                answered += 1
        for s in sockets:
            s.close(0)
        ctx.term()
        self.assertEqual(answered, expected)
        self.assertIsNone(self.server.proc.poll())
        c = Client(url, "after")
        self.assertEqual(c.ask("hello")[0], "ok")
        c.close()

    def test_a_flooding_connection_never_costs_another_its_replies(self):
        url = self.server.url
        ctx = zmq.Context()
        flood = ctx.socket(zmq.DEALER)
        flood.setsockopt(zmq.LINGER, 0)
        # Loopback takes this user's local keys: without them the flood
        # would never get past the handshake.
        curve = server_process.local_curve(url)
        flood.setsockopt(zmq.CURVE_SERVERKEY, curve[0])
        flood.setsockopt(zmq.CURVE_PUBLICKEY, curve[1])
        flood.setsockopt(zmq.CURVE_SECRETKEY, curve[2])
        flood.connect(url)
        request = [b"", b"kv318/1 di client=flood board=0"]
        other = Client(url, "other")
        # The flood pipelines far more requests than the server queues for
        # one connection and never reads its replies (once more are owed it
        # than a socket queues, the server must drop them, never wait for
        # it).  The other client's every request is answered within its
        # timeout all along.
        sent = asked = 0
        deadline = time.monotonic() + 120
        while sent < 20000 and time.monotonic() < deadline:
            for _ in range(200):
                try:
                    flood.send_multipart(request, zmq.NOBLOCK)
                    sent += 1
                except zmq.Again:
                    break
            reply = other.ask("status", board=0)
            self.assertIsNotNone(reply, "a request beside the flood went unanswered")
            self.assertEqual(reply[0], "ok")
            asked += 1
        self.assertGreaterEqual(sent, 20000)
        print("%d requests flooded beside %d answered ones" % (sent, asked), file=sys.stderr)
        # The flood was answered too, on its own connection.
        self.assertTrue(flood.poll(5000))
        self.assertEqual(flood.recv_multipart()[0], b"")
        other.close()
        flood.close(0)
        ctx.term()


class ServerKeys(unittest.TestCase):
    def test_network_endpoints_need_keys_and_only_allowed_clients_get_in(self):
        keys = tempfile.mkdtemp(prefix="kv318-test-keys-")
        gen = subprocess.run([SERVER, "keygen", keys], capture_output=True, text=True, timeout=30)
        self.assertEqual(gen.returncode, 0, gen.stderr)
        server_public = gen.stdout.strip()
        self.assertEqual(os.stat(os.path.join(keys, "server.key")).st_mode & 0o777, 0o600)
        allowed_public, allowed_secret = zmq.curve_keypair()
        second_public, second_secret = zmq.curve_keypair()
        stranger_public, stranger_secret = zmq.curve_keypair()
        with open(os.path.join(keys, "allowed"), "w") as f:
            f.write("# the bench desk\n%s desk1\n%s desk2\n" % (allowed_public.decode(), second_public.decode()))
        with sim_process.Sim(SIM, *SIM_ARGS) as sim:
            port = server_process.free_port_pair()
            network = "tcp://0.0.0.0:%d" % port
            refused = subprocess.run([SERVER, "--listen", network], env=sim.env, capture_output=True, text=True,
                                     timeout=30)
            self.assertEqual(refused.returncode, 2)
            self.assertIn("--keys", refused.stderr)
            with Server(SERVER, sim, "--keys", keys, listen=network) as server:
                url = "tcp://127.0.0.1:%d" % port
                ok = Client(url, "desk1", curve=(server_public.encode(), allowed_public, allowed_secret))
                self.assertEqual(ok.ask("hello")[0], "ok")
                # Blocks come through the secure data socket too.
                self.assertIsNotNone(ok.block())
                # Another allowed key that gives the same name cannot take
                # or stop the first one's stream.
                self.assertEqual(ok.ask("start", board=0, mode="stream", divider=50)[1].get("result"), "0")
                twin = Client(url, "desk1", curve=(server_public.encode(), second_public, second_secret))
                word, got = twin.ask("stop", board=0)
                self.assertEqual((word, got.get("code"), got.get("controller")), ("error", "controlled", "desk1"))
                twin.close()
                self.assertEqual(ok.ask("stop", board=0)[0], "ok")
                ok.close()
                stranger = Client(url, "stranger", timeout=2,
                                  curve=(server_public.encode(), stranger_public, stranger_secret))
                self.assertIsNone(stranger.ask("hello"))
                self.assertIsNone(stranger.block())
                stranger.close()
                plain = Client(url, "plain", timeout=2)
                self.assertIsNone(plain.ask("hello"))
                plain.close()
                self.assertIsNone(server.proc.poll())

    def test_keys_are_held_to_their_rules(self):
        # Each case breaks one rule of a sound key directory; the server
        # must refuse to start, saying why, and never hang on the file.
        def fifo(d):
            os.remove(os.path.join(d, "allowed"))
            os.mkfifo(os.path.join(d, "allowed"))

        def link(d):
            os.rename(os.path.join(d, "server.key"), os.path.join(d, "real.key"))
            os.symlink(os.path.join(d, "real.key"), os.path.join(d, "server.key"))

        def other_pub(d):
            with open(os.path.join(d, "server.pub"), "w") as f:
                f.write(zmq.curve_keypair()[0].decode() + "\n")

        def big(d):
            with open(os.path.join(d, "allowed"), "w") as f:
                f.write("# padding\n" * 120000)

        cases = [
            ("secret others read", lambda d: os.chmod(os.path.join(d, "server.key"), 0o640), "can be read by others"),
            ("allowed others write", lambda d: os.chmod(os.path.join(d, "allowed"), 0o666), "can be written by others"),
            ("folder others write", lambda d: os.chmod(d, 0o777), "can be written by others"),
            ("linked secret", link, "symbolic link"),
            ("not the secret's public key", other_pub, "is not the public key of server.key"),
            ("allowed a FIFO", fifo, "not a regular file"),
            ("allowed a directory", lambda d: (os.remove(os.path.join(d, "allowed")),
                                               os.mkdir(os.path.join(d, "allowed"))), "not a regular file"),
            ("allowed unbounded", big, "larger than"),
            ("allowed missing", lambda d: os.remove(os.path.join(d, "allowed")), "no "),
        ]
        empty = tempfile.mkdtemp(prefix="kv318-test-nodrivers-")
        for name, spoil, reason in cases:
            with self.subTest(name):
                keys = tempfile.mkdtemp(prefix="kv318-test-keys-")
                self.assertEqual(subprocess.run([SERVER, "keygen", keys], capture_output=True).returncode, 0)
                with open(os.path.join(keys, "allowed"), "w") as f:
                    f.write(zmq.curve_keypair()[0].decode() + " desk\n")
                spoil(keys)
                run = subprocess.run([SERVER, "--keys", keys, "--listen", "tcp://127.0.0.1:%d" %
                                      server_process.free_port_pair()], capture_output=True, text=True, timeout=60,
                                     env=dict(os.environ, KV318_DRIVER_DIR=empty))
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(reason, run.stderr)
        # A sound directory with an empty list starts, with a warning, and
        # serves (waiting for a board: none here) until it is stopped.
        keys = tempfile.mkdtemp(prefix="kv318-test-keys-")
        subprocess.run([SERVER, "keygen", keys], capture_output=True, check=True)
        open(os.path.join(keys, "allowed"), "w").close()
        run = sim_process.child([SERVER, "--keys", keys, "--listen", "tcp://127.0.0.1:%d" %
                                server_process.free_port_pair()], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, env=dict(os.environ, KV318_DRIVER_DIR=empty))
        said = ""
        for line in run.stdout:
            said += line
            if "waiting for one to answer" in line:
                break
        run.terminate()
        out, err = run.communicate(timeout=60)
        self.assertIn("waiting for one to answer", said, err)
        self.assertIn("lists no key: no client gets in", err)
        self.assertEqual(run.returncode, 0, err)
        # keygen never overwrites a pair.
        before = Path(keys, "server.key").read_text()
        again = subprocess.run([SERVER, "keygen", keys], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("never overwritten", again.stderr)
        self.assertEqual(Path(keys, "server.key").read_text(), before)

    def test_a_key_taken_off_the_list_is_out_and_its_connection_too(self):
        keys = tempfile.mkdtemp(prefix="kv318-test-keys-")
        gen = subprocess.run([SERVER, "keygen", keys], capture_output=True, text=True, timeout=30, check=True)
        server_public = gen.stdout.strip().encode()
        desk1, desk2 = zmq.curve_keypair(), zmq.curve_keypair()
        allowed = os.path.join(keys, "allowed")

        def allow(*pairs):
            # Replaced, as editors do, so the poll sees a new file.
            with open(allowed + ".new", "w") as f:
                f.write("".join("%s desk\n" % p[0].decode() for p in pairs))
            os.replace(allowed + ".new", allowed)
        allow(desk1, desk2)
        with sim_process.Sim(SIM, *SIM_ARGS) as sim:
            server = Server(SERVER, sim, "--keys", keys)
            # Local keys an earlier server left for the port: clients must
            # not try them on a server that does not take them.
            stale = Path(server_process.local_keys_dir(server.url, sim.dir))
            stale.mkdir(parents=True)
            for f in ("server.pub", "local.key"):
                (stale / f).write_text(zmq.curve_keypair()[1].decode() + "\n")
            with server:
                self.check_a_removed_key_is_out(server, server_public, desk1, desk2, allow)
                self.assertEqual(os.listdir(stale), [])

    def check_a_removed_key_is_out(self, server, server_public, desk1, desk2, allow):
        """desk1 taken off the list while both desks are connected."""
        # --keys guards loopback too, and the start line says so.
        self.assertIn("CURVE, keys in " + server.argv[server.argv.index("--keys") + 1], server.output())
        plain = Client(server.url, "plain", timeout=2, curve=False)
        self.assertIsNone(plain.ask("hello"))
        plain.close()
        one = Client(server.url, "desk1", curve=(server_public, *desk1))
        two = Client(server.url, "desk2", curve=(server_public, *desk2))
        for c in (one, two):
            self.assertEqual(c.ask("hello")[0], "ok")
            self.assertIsNotNone(c.block())
        allow(desk2)
        # Its open connection is refused within the poll's second.
        self.assertTrue(eventually(lambda: one.ask("ping") == ("error", {
            "code": "not-allowed", "text": "this client's key is no longer allowed"}), 30))
        # Its blocks stop: the data socket dropped it, and it is not let
        # back in; the allowed client reconnects and gets them again.
        self.assertTrue(eventually(lambda: one.block() is None, 60))
        self.assertTrue(eventually(lambda: two.block() is not None, 30))
        self.assertIsNone(one.block())
        self.assertEqual(two.ask("hello")[0], "ok")
        again = Client(server.url, "desk1.again", timeout=2, curve=(server_public, *desk1))
        self.assertIsNone(again.ask("hello"), "a new connection of a removed key is refused")
        self.assertIn("read again: 1 key", server.output())
        # A list broken by a typo lets nobody in until it is mended.
        allow((b"not a key",))
        self.assertTrue(eventually(lambda: (two.ask("ping") or ("",))[0] == "error", 30))
        self.assertIn("line 1 holds no public key", server.output())
        for c in (one, two, again):
            c.close()


def run_as(user, argv):
    """`argv` run as `user` (its uid and group, no other groups) to its end."""
    import pwd

    pw = pwd.getpwnam(user)
    return subprocess.run(["setpriv", "--reuid=%d" % pw.pw_uid, "--regid=%d" % pw.pw_gid, "--clear-groups", *argv],
                          capture_output=True, text=True, timeout=180,
                          env=dict(os.environ, HOME="/", PYTHONDONTWRITEBYTECODE="1"))


def can_run_as_another_user():
    import pwd
    import shutil

    try:
        pwd.getpwnam("nobody")
    except KeyError:
        return False
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


@unittest.skipUnless(can_run_as_another_user(),
                     "needs root (and setpriv and a user nobody) to run a client as another user")
class OtherUsers(unittest.TestCase):
    def test_another_user_gets_nothing_and_the_servers_user_needs_no_setup(self):
        with sim_process.Sim(SIM, *SIM_ARGS) as sim:
            # The test's driver directory, the server's, is its user's alone.
            self.assertEqual(os.stat(sim.dir).st_mode & 0o777, 0o700)
            ipc = "ipc://%s/kv318-server" % sim.dir
            with Server(SERVER, sim, "--listen", ipc) as server:
                out = server.output()
                self.assertIn("%s (blocks on tcp://127.0.0.1:%d; CURVE, this user's local keys)" %
                              (server.url, server.port + 1), out)
                self.assertIn("%s (blocks on %s.data; plain: private ipc folder)" % (ipc, ipc), out)
                # The server's user: kv318-cli and the package with no setup.
                cli = subprocess.run([CLI, "--server", server.url, "do", "0xA5C3"], env=sim.env,
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(cli.returncode, 0, cli.stderr)
                if not SANITIZED:
                    package = subprocess.run(
                        [sys.executable, "-c", "import kv318, sys\nwith kv318.connect(sys.argv[1]) as b: print(b.di())",
                         server.url], env=sim.env, capture_output=True, text=True, timeout=60)
                    self.assertEqual((package.returncode, package.stdout.strip()), (0, str(0xA5C3)), package.stderr)
                keys = server_process.local_keys_dir(server.url, sim.dir)
                stranger = run_as("nobody", [
                    sys.executable, str(HERE / "stranger_client.py"), "--url", server.url,
                    "--data", "tcp://127.0.0.1:%d" % (server.port + 1), "--ipc", ipc, "--keys", keys, "--cli", CLI,
                    *([] if SANITIZED else ["--package", str(HERE.parent.parent / "python")])])
                self.assertEqual(stranger.returncode, 0, stranger.stderr)
                got = json.loads(stranger.stdout.splitlines()[-1])
                self.assertNotEqual(got["uid"], 0)
                self.assertEqual(got["keys"], "Permission denied")
                for what in ("hello", "do", "info", "ipc_do"):
                    self.assertIsNone(got[what], what)
                self.assertEqual((got["blocks"], got["ipc_blocks"]), (0, 0))
                code, _, err = got["cli"]
                self.assertNotEqual(code, 0)
                self.assertIn("takes only clients with keys", err)
                if not SANITIZED:
                    self.assertIn("ServerGone", got["package"])
                    self.assertIn("takes only clients with keys", got["package"])
                # The outputs are as the server's user left them: the
                # simulator loops them back to the inputs.
                own = Client(server.url, "owner")
                self.assertEqual(own.ask("di", board=0)[1]["result"], str(0xA5C3))
                self.assertIsNotNone(own.block(), "the server's user gets the blocks")
                own.close()


if __name__ == "__main__":
    args, rest = sim_process.programs("server", "sim", "cli")
    SERVER, SIM, CLI = args.server, args.sim, args.cli
    unittest.main(argv=[sys.argv[0], *rest])
