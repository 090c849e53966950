"""kv318.connect end to end through the library's client: the real
kv318-server serving kv318-sim (the kv318_server fixture), checked sample
by sample against the ramp."""

import re
import os
import shutil
import signal
import subprocess
import tempfile
import time

import numpy as np
import pytest

import kv318
from kv318 import _lib
from kv318.simulator import find_server
from pytest_kv318 import ServedSimulator
from server_process import free_port_pair
from support import FALL_BEHIND_SAMPLES, ramp


@pytest.mark.kv318_sim(signal="ramp", inputs="loopback")
@pytest.mark.parametrize("kind", ["stream", "poll"])
def test_the_ramp_arrives_intact_and_the_board_answers_as_locally(kv318_server, kind):
    with kv318.connect(kv318_server.url) as board:
        assert board.info() == ("KV318 USB DAQ simulator", "SN KVS-0000 FW 1.00")
        board.do(0xA55A)
        assert board.di() == 0xA55A
        acq = getattr(board, kind)(divider=10)
        with acq:
            first = next(acq)
            rest = acq.read(200_000, timeout=60)
        got = np.concatenate([first, rest])
        np.testing.assert_array_equal(got, ramp(0, got.size))
        assert acq.missed == 0 and acq.stream_number >= 1
        stats = acq.stats()
        assert stats.mode == ("stream" if kind == "stream" else "polled")
        assert stats.bytes_drained >= 2 * got.size


@pytest.mark.kv318_sim(signal="ramp")
def test_a_follower_sees_the_controllers_samples_and_a_second_start_is_refused(kv318_server):
    url = kv318_server.url
    with kv318.connect(url) as owner, kv318.connect(url) as watcher, kv318.connect(url) as other:
        # Joined before the start: it takes the stream once one runs.
        with watcher.follow(timeout=30) as follower, owner.stream(divider=10) as stream:
            mine = stream.read(100_000, timeout=60)
            theirs = follower.read(100_000, timeout=60)
            with pytest.raises(kv318.BoardControlled) as caught:
                other.stream().start()
            controller = caught.value.controller
            assert re.fullmatch(r"[^ ]+\.%d(\.\d+)?@[^ ]+" % os.getpid(), controller or ""), controller
            assert controller in str(caught.value) and caught.value.board == 0
            status = other.status()
            assert (status["busy"], status["controller"], status["controlling"]) == (True, controller, False)
            assert owner.status()["controlling"] and not owner.status()["busy"]
            # Other refusals name the controller too.
            with pytest.raises(kv318.BoardControlled, match=re.escape(controller)) as caught:
                other.do(1)
            assert caught.value.controller == controller
        np.testing.assert_array_equal(mine, ramp(0, mine.size))
        # At the stream's own indices: the controller's samples there.
        np.testing.assert_array_equal(theirs, ramp(follower.first_index, theirs.size))
        assert follower.missed == 0 and follower.divider == 10 and follower.stream_number == stream.stream_number
        # The controller gone, the board is free for the next one, also for
        # the connection that followed.
        with watcher.stream(divider=10) as second:
            np.testing.assert_array_equal(second.read(10_000, timeout=60), ramp(0, 10_000))


@pytest.mark.kv318_sim(signal="ramp")
def test_a_follower_that_falls_behind_counts_what_it_missed(kv318_server):
    url = kv318_server.url
    with kv318.connect(url) as owner, kv318.connect(url) as watcher, watcher.follow(timeout=30) as follower:
        with owner.stream(divider=2) as stream:
            first = follower.read(1000, timeout=60)
            joined = follower.first_index
            # 1 MS/s for 8 s while the follower reads nothing: more than
            # the server's and the client's queues hold.
            taken = 0
            while taken < FALL_BEHIND_SAMPLES:
                taken += stream.read(500_000, timeout=60).size
            with pytest.raises(kv318.SamplesMissed) as caught:
                follower.read(10**9, timeout=60)
            err = caught.value
            before = np.concatenate([first, err.samples])
            np.testing.assert_array_equal(before, ramp(joined, before.size))
            assert err.index == joined + before.size and err.missed > 0 and follower.missed == err.missed
            # It goes on after the jump, every sample where it belongs.
            np.testing.assert_array_equal(follower.read(100_000, timeout=60), ramp(err.index + err.missed, 100_000))


@pytest.mark.kv318_sim(signal="ramp")
def test_a_killed_server_is_named_within_seconds(kv318_server):
    board = kv318.connect(kv318_server.url)
    stream = board.stream(divider=10)
    stream.start()
    stream.read(10_000, timeout=60)
    kv318_server.stop(signal.SIGKILL)
    began = time.monotonic()
    with pytest.raises(kv318.ServerGone, match=f"kv318-server at {kv318_server.url} stopped answering"):
        stream.read(10**9, timeout=600)
    with pytest.raises(kv318.ServerGone):
        board.di()
    board.close()
    # The silence timeout and a little more, not the read's ten minutes.
    assert time.monotonic() - began < 6 * _lib.SERVED_SILENCE_S


def keygen(folder, *name):
    done = subprocess.run([find_server(), "keygen", str(folder), *name], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


@pytest.mark.kv318_sim(signal="ramp")
def test_keys_made_as_the_server_documents_them_get_a_client_in(kv318_sim, tmp_path):
    # On the server: its pair, and the client's public key in `allowed`.
    keygen(tmp_path / "server")
    # On the client: its own pair, and a copy of the server's public key.
    keygen(tmp_path / "client", "--name", "desk1")
    shutil.copy(tmp_path / "server" / "server.pub", tmp_path / "client")
    desk1 = (tmp_path / "client" / "desk1.pub").read_text().strip()
    (tmp_path / "server" / "allowed").write_text(f"{desk1} desk1\n")
    keygen(tmp_path / "stranger", "--name", "stranger")
    shutil.copy(tmp_path / "server" / "server.pub", tmp_path / "stranger")

    port = free_port_pair()
    served = ServedSimulator(kv318_sim, "--keys", str(tmp_path / "server"), listen=f"tcp://0.0.0.0:{port}")
    try:
        url = f"tcp://127.0.0.1:{port}"
        # The key strings work as the directory does, and leave no copy behind.
        strings = ((tmp_path / "client" / "server.pub").read_text(), (tmp_path / "client" / "desk1.key").read_text())
        before = set(os.listdir(tempfile.gettempdir()))
        for key in (tmp_path / "client", str(tmp_path / "client"), strings):
            with kv318.connect(url, key=key) as board, board.stream(divider=10) as stream:
                np.testing.assert_array_equal(stream.read(50_000, timeout=60), ramp(0, 50_000))
        assert not {n for n in set(os.listdir(tempfile.gettempdir())) - before if n.startswith("kv318-keys-")}
        with pytest.raises(kv318.ServerGone, match="refused this client's key"):
            kv318.connect(url, key=tmp_path / "stranger")
        with pytest.raises(kv318.ServerGone, match="takes only clients with keys"):
            kv318.connect(url)
    finally:
        served.close()


@pytest.mark.kv318_sim(signal="ramp")
def test_connecting_fails_clearly(kv318_server, tmp_path):
    (tmp_path / "empty").mkdir()
    cases = [
        (dict(url=kv318_server.url, board=3), kv318.BoardNotFound, "serves no board 3"),
        (dict(url=kv318_server.url + "-nobody"), kv318.ServerGone, "stopped answering"),
        (dict(url="udp://host:1"), ValueError, "not a kv318-server URL"),
        (dict(url=kv318_server.url, key=tmp_path / "nowhere"), ValueError, "is not a directory"),
        (dict(url=kv318_server.url, key=("one",)), ValueError, "a pair"),
        (dict(url=kv318_server.url, key=tmp_path / "empty"), kv318.BoardNotFound, "must hold one client key pair"),
    ]
    for arguments, error, words in cases:
        with pytest.raises(error, match=words):
            kv318.connect(**arguments)
