"""kv318.connect against a fake kv318-server (tests/fake_server.py): the
bytes of every request, the board API's answers, streams and followers
sample by sample, lost and ended streams, refusals, and a server that
goes away."""

import os
import re
import shutil
import signal
import socket
import sys
import tempfile
import time

import numpy as np
import pytest
import zmq

import kv318
from kv318 import remote as wire
from fake_server import FakeServer
from support import ramp, wait_until


@pytest.fixture
def serve():
    """Starts fake servers on private ipc:// URLs; stops them after the test."""
    folder = tempfile.mkdtemp(prefix="kv318-")
    servers = []

    def start(**options):
        server = FakeServer(f"ipc://{folder}/s{len(servers)}", **options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()
    shutil.rmtree(folder)


def test_every_call_sends_its_request_and_reads_the_reply(serve):
    server = serve()
    with kv318.connect(server.url) as board:
        assert re.fullmatch(rf"[A-Za-z0-9._-]+\.{os.getpid()}(\.\d+)?@{re.escape(socket.gethostname())}",
                            board.client_id)
        cases = [
            (lambda: board.info(), "info board=0", ("KV318 fake \xb5 board", "SN FAKE-1")),
            (lambda: board.di(), "di board=0", 0xA5A5),
            (lambda: board.do(0xBEEF), "do board=0 value=48879", None),
            (lambda: board.outb(7, 0x5A), "outb board=0 reg=7 value=90", None),
            (lambda: board.inb(7), "inb board=0 reg=7", 0x5A),
            (lambda: board.counter.start(), "counter-run board=0", None),
            (lambda: board.counter.read(), "counter-read board=0", None),
            (lambda: board.pulse.start(1, 200), "pulse-run board=0 mode=1 divisor=200", None),
            (lambda: board.pulse.stop(), "pulse-stop board=0", None),
        ]
        for call, request, want in cases:
            before = len(server.requests)
            assert call() == want, request
            sent = [r for r in server.requests[before:] if b" ping " not in r]
            verb, rest = request.split(" ", 1)
            assert sent == [f"kv318/1 {verb} client={board.client_id} {rest}".encode()]
        assert server.outputs == 0xBEEF
        # Out-of-range values are refused before anything is sent.
        before = len([m for m in server.messages() if m.word != "ping"])
        for call in (lambda: board.do(0x10000), lambda: board.outb(256, 0), lambda: board.pulse.start(2, 10)):
            with pytest.raises(ValueError):
                call()
        assert len([m for m in server.messages() if m.word != "ping"]) == before
        stats = board.stream().stats()
        assert (stats.mode, stats.bytes_drained, stats.longest_gap_us, stats.gap_histogram[31]) == (
            "stream", 2**40, 1_269_761, 2**33)
    words = [m.word for m in server.messages() if m.word != "ping"]
    assert words[0] == "hello" and words[-1] == "bye"
    assert board.closed
    with pytest.raises(ValueError, match="closed"):
        board.di()


def test_a_heartbeat_keeps_the_board_while_it_is_open(serve):
    server = serve()
    with kv318.connect(server.url) as board:
        assert wait_until(lambda: len(server.messages("ping")) >= 3)
    pings = server.messages("ping")
    assert {m.get("client") for m in pings} == {board.client_id}
    # Over the board's own connection, the one its hello came on: the
    # server counts no ping from another as the controller's.
    hello = [c for c, m in zip(server.connections, server.messages()) if m.word == "hello"]
    assert len(hello) == 1
    assert set(server.connections) == set(hello)
    count = len(pings)
    # Closed, it pings no more: a few heartbeat periods pass without one.
    time.sleep(4 * wire.HEARTBEAT_S)
    assert len(server.messages("ping")) == count


def test_two_connections_of_one_process_have_different_ids(serve):
    server = serve()
    with kv318.connect(server.url) as a, kv318.connect(server.url) as b:
        assert a.client_id != b.client_id


@pytest.mark.parametrize("poll", [False, True])
def test_a_stream_hands_over_the_ramp_sample_by_sample(serve, poll):
    server = serve()
    with kv318.connect(server.url) as board:
        acq = board.poll(divider=10) if poll else board.stream(divider=10)
        with acq:
            first = next(acq)
            rest = acq.read(25_500)
        got = np.concatenate([first, rest])
        np.testing.assert_array_equal(got, ramp(0, got.size))
        assert acq.missed == 0 and not acq.running
    start = server.messages("start")[0]
    assert start.fields == {"client": board.client_id, "board": "0", "mode": "polled" if poll else "stream",
                            "f1": "0", "f2": "0", "f3": "0", "f4": "0", "divider": "10", "clock": "2000000",
                            "fifo": "524288"}
    assert [m.word for m in server.messages() if m.word in ("start", "stop", "bye")] == ["start", "stop", "bye"]


def gappy(stream):
    """Blocks 0-2, then a jump of 500 samples, then on."""
    yield from [(0, 1000, 0), (1000, 1000, 0), (2000, 1000, 0), (3500, 1000, wire.FLAG_GAP)]
    yield from ((4500 + 1000 * k, 1000, 0) for k in range(100))


@pytest.mark.parametrize("how", ["read", "iterate"])
def test_missed_samples_are_counted_and_raised_with_the_samples_before(serve, how):
    server = serve(script=gappy)
    with kv318.connect(server.url) as board, board.stream() as stream:
        handed = []
        with pytest.raises(kv318.SamplesMissed) as caught:
            if how == "read":
                stream.read(10_000)
            else:
                for block in stream:
                    handed.append(block)
        err = caught.value
        assert isinstance(err, kv318.RingOverflow)
        assert (err.missed, err.index, stream.missed) == (500, 3000, 500)
        assert "500 samples of board 0 (from index 3000) never reached this program" in str(err)
        before = np.concatenate(handed + [err.samples])
        np.testing.assert_array_equal(before, ramp(0, 3000))
        # The stream goes on after the jump, from the block behind it.
        np.testing.assert_array_equal(stream.read(2000), ramp(3500, 2000))


def ending(flags):
    def script(stream):
        yield 0, 1000, 0
        yield 1000, 500, flags
    return script


@pytest.mark.parametrize("flags, error, words", [
    (wire.FLAG_END_OF_STREAM, kv318.StreamEnded, "stream on board 0 at .* ended"),
    (wire.FLAG_RING_OVERFLOW | wire.FLAG_END_OF_STREAM, kv318.RingOverflow, "ring on the server overflowed"),
    (wire.FLAG_TRANSFER_FAULT | wire.FLAG_END_OF_STREAM, kv318.TransferFailed, "transfer from the board failed"),
    (wire.FLAG_STALLED | wire.FLAG_END_OF_STREAM, kv318.AcquisitionNotEnabled, "stall timeout"),
    (wire.FLAG_NOT_ENABLED | wire.FLAG_END_OF_STREAM, kv318.AcquisitionNotEnabled, "not converting"),
])
def test_a_stream_that_ends_on_the_server_says_why_after_its_last_samples(serve, flags, error, words):
    server = serve(script=ending(flags))
    with kv318.connect(server.url) as board, board.stream() as stream:
        with pytest.raises(error, match=words) as caught:
            stream.read(2000)
        np.testing.assert_array_equal(caught.value.samples, ramp(0, 1500))
        # It persists until the stream is stopped.
        with pytest.raises(error):
            stream.read(1)
    with kv318.connect(server.url) as board, board.stream() as stream:
        blocks = []
        if error is kv318.StreamEnded:
            blocks = list(stream)  # iteration simply ends
        else:
            with pytest.raises(error):
                for block in stream:
                    blocks.append(block)
        np.testing.assert_array_equal(np.concatenate(blocks), ramp(0, 1500))


GONE = "board 0 is disconnected since 10:11:12; kv318-server will take it back when it returns"


def gone_replies(server):
    """The server's answers while its board is away."""
    server.replies["status"] = lambda m: wire.Message("ok", state="disconnected", stream=1, controller="", text=GONE)
    for verb in ("info", "di", "do", "start", "stop"):
        server.replies[verb] = lambda m: wire.error_reply("disconnected", GONE)


@pytest.mark.parametrize("call", [
    lambda board: board.info(),
    lambda board: board.di(),
    lambda board: board.do(1),
    lambda board: board.stream().start(),
    lambda board: board.follow(timeout=1).start(),
])
def test_a_board_the_server_lost_raises_board_gone_in_the_servers_words(serve, call):
    server = serve()
    gone_replies(server)
    with kv318.connect(server.url) as board:
        with pytest.raises(kv318.BoardGone) as caught:
            call(board)
        assert (str(caught.value), caught.value.board) == (GONE, 0)
        assert board.status()["state"] == "disconnected" and board.status()["text"] == GONE


def test_a_stream_the_boards_loss_ended_raises_board_gone_after_its_last_samples(serve):
    server = serve(script=ending(wire.FLAG_TRANSFER_FAULT | wire.FLAG_END_OF_STREAM | wire.FLAG_DISCONNECTED))
    with kv318.connect(server.url) as board:
        with board.stream() as stream:
            # The server marks the board before it sends the stream's last block.
            gone_replies(server)
            with pytest.raises(kv318.BoardGone, match="^" + GONE + "$") as caught:
                stream.read(2000)
            np.testing.assert_array_equal(caught.value.samples, ramp(0, 1500))
            with pytest.raises(kv318.BoardGone):
                stream.read(1)
        # Leaving the stream of a board gone is no failure.


def test_a_fifo_the_server_judged_overrun_raises_fifo_overflow(serve):
    def script(stream):
        yield 0, 1000, 0
        yield 1000, 1000, wire.FLAG_FIFO_LOSS
        yield from ((2000 + 1000 * k, 1000, 0) for k in range(100))

    server = serve(script=script)
    with kv318.connect(server.url) as board, board.stream(divider=10) as stream:
        with pytest.raises(kv318.FifoOverflow) as caught:
            stream.read(5000)
        # The words of a local stream, with the gap the server measured.
        assert str(caught.value) == ("samples may have been lost in the board's FIFO: "
                                     "a gap of 1269.8 ms between drains at 0.4 MB/s exceeds its 512 KiB")
        np.testing.assert_array_equal(caught.value.samples, ramp(0, 2000))
        with pytest.raises(kv318.FifoOverflow):
            stream.read(1)


def test_a_controlled_board_refuses_others_naming_the_controller(serve):
    server = serve()
    with kv318.connect(server.url) as owner, owner.stream() as stream, kv318.connect(server.url) as other:
        stream.read(100)
        for call in (lambda: other.stream().start(), lambda: other.do(1), lambda: other.pulse.stop()):
            with pytest.raises(kv318.BoardControlled, match=re.escape(owner.client_id)) as caught:
                call()
            assert isinstance(caught.value, kv318.BoardBusy)
            assert caught.value.controller == owner.client_id and caught.value.board == 0
        # Reading is for everyone.
        assert other.di() == 0xA5A5
        # One acquisition per connection.
        with pytest.raises(kv318.AcquisitionBusy):
            owner.stream().start()


def test_a_follower_reads_the_controllers_samples_at_their_indices(serve):
    server = serve()
    with kv318.connect(server.url) as owner, kv318.connect(server.url) as watcher:
        # Joined before the start: from index 0 of the next stream.
        with watcher.follow() as early:
            with owner.stream(divider=20) as stream:
                mine = stream.read(20_000)
                theirs = early.read(20_000)
                # Joined while it runs: from where the stream is.
                with kv318.connect(server.url) as late_board, late_board.follow() as late:
                    block = next(late)
                    joined = late._next_index - block.size
                    assert joined > 0 and late.divider == 20
                    np.testing.assert_array_equal(block, ramp(joined, block.size))
        np.testing.assert_array_equal(mine, ramp(0, 20_000))
        np.testing.assert_array_equal(theirs, mine)
        assert early.divider == 20 and early.missed == 0
        # A follower sends no start or stop.
        assert not any(m.get("client") == watcher.client_id for m in server.messages() if m.word in ("start", "stop"))


def test_a_server_that_goes_away_is_named_within_seconds(serve):
    for during in ("request", "stream"):
        server = serve()
        board = kv318.connect(server.url)
        stream = board.stream()
        stream.start()
        stream.read(100)
        server.stop()
        began = time.monotonic()
        with pytest.raises(kv318.ServerGone, match=f"kv318-server at {re.escape(server.url)} stopped answering"):
            if during == "request":
                board.di()
            else:
                stream.read(10**9)
        # Once gone, closing does not wait again.
        board.close()
        assert time.monotonic() - began < 4 * wire.SERVER_SILENCE_S


def test_connecting_fails_clearly(serve):
    server = serve(board=2)
    with pytest.raises(kv318.BoardNotFound, match=r"serves board\(s\) 2, not board 0"):
        kv318.connect(server.url, board=0)
    with pytest.raises(kv318.ServerGone, match="stopped answering"):
        kv318.connect(server.url + "-nobody", board=2)
    with pytest.raises(ValueError, match="not a kv318-server URL"):
        kv318.connect("udp://host:1")
    with kv318.connect(server.url, board=2) as board:
        assert board.info()[1] == "SN FAKE-1"


def key_folder(path, server_public, client_pairs):
    """A client's key directory: server.pub and NAME.key, NAME.pub."""
    path.mkdir()
    (path / "server.pub").write_text(server_public.decode() + "\n")
    for name, (public, secret) in client_pairs.items():
        (path / f"{name}.key").write_text(secret.decode() + "\n")
        (path / f"{name}.pub").write_text(public.decode() + "\n")
    return path


def test_keys_make_an_encrypted_connection(serve, tmp_path):
    server_public, server_secret = zmq.curve_keypair()
    server = serve(curve_secret=server_secret)
    desk = zmq.curve_keypair()
    good = key_folder(tmp_path / "good", server_public, {"desk1": desk})
    for key in (good, str(good), (server_public.decode(), desk[1].decode()), (server_public, desk[1])):
        with kv318.connect(server.url, key=key) as board, board.stream() as stream:
            assert board.info()[1] == "SN FAKE-1"
            np.testing.assert_array_equal(stream.read(3000), ramp(0, 3000))
    # The server saw this client's requests, and only through CURVE.
    assert server.messages("hello")
    other_public, _ = zmq.curve_keypair()
    with pytest.raises(kv318.ServerGone, match="refused this client's key " + re.escape(desk[0].decode())):
        kv318.connect(server.url, key=(other_public, desk[1]))
    with pytest.raises(kv318.ServerGone):
        kv318.connect(server.url)  # no keys for a server that wants them


def test_key_directories_that_hold_no_keys_are_refused_before_connecting(tmp_path):
    server_public, _ = zmq.curve_keypair()
    desk, lab = zmq.curve_keypair(), zmq.curve_keypair()
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / "server.pub").write_text("not a key\n")
    (tmp_path / "broken" / "desk1.key").write_text(desk[1].decode())
    cases = [
        (tmp_path / "nowhere", "is not a directory"),
        (key_folder(tmp_path / "none", server_public, {}), "must hold one client key pair.*holds none"),
        (key_folder(tmp_path / "two", server_public, {"desk1": desk, "lab": lab}), "holds desk1.key, lab.key"),
        (tmp_path / "broken", "server.pub holds no key"),
        ((server_public, b"short"), "the client's secret key holds no key"),
        ((server_public,), "a pair"),
    ]
    for key, words in cases:
        with pytest.raises(ValueError, match=words):
            kv318.connect("ipc:///nonexistent/kv318", key=key)
    (tmp_path / "nopub").mkdir()
    (tmp_path / "nopub" / "desk1.key").write_text(desk[1].decode())
    with pytest.raises(ValueError, match="cannot read .*server.pub"):
        kv318.connect("ipc:///nonexistent/kv318", key=tmp_path / "nopub")


def test_a_forked_child_leaves_the_parents_connection_alone(serve):
    server = serve()
    with kv318.connect(server.url) as board, board.stream() as stream:
        stream.read(100)
        pid = os.fork()
        if pid == 0:  # the child: every use refused, and closing sends nothing
            code = 0
            for call, refused in ((board.di, True), (lambda: stream.read(1), True), (stream.close, False),
                                  (board.close, False)):
                try:
                    call()
                    code |= refused
                except ValueError as e:
                    code |= not refused or "before it forked" not in str(e)
                except BaseException as e:
                    print("child:", type(e).__name__, e, file=sys.stderr)
                    code = 1
            os._exit(code)
        ended = []
        if not wait_until(lambda: ended.append(os.waitpid(pid, os.WNOHANG)) or ended[-1][0] == pid):
            os.kill(pid, signal.SIGKILL)  # stuck on the parent's sockets
            os.waitpid(pid, 0)
            pytest.fail("the forked child hung using its parent's connection")
        assert os.waitstatus_to_exitcode(ended[-1][1]) == 0
        # The parent's board and stream carry on; the server saw no stop or
        # bye from the child.
        got = stream.read(5000)
        np.testing.assert_array_equal(got, ramp(100, 5000))
        assert board.di() == 0xA5A5
        assert [m.word for m in server.messages() if m.word in ("stop", "bye")] == []
