"""Where kv318.connect finds its own user's keys for a loopback server, and
what a silent server's error names as the likely cause."""

import os

import pytest
import zmq

from kv318 import _client

pytestmark = pytest.mark.filterwarnings("error")


@pytest.mark.parametrize("url, name", [
    ("tcp://127.0.0.1:6318", "127.0.0.1_6318"),
    ("tcp://localhost:6318", "127.0.0.1_6318"),
    ("tcp://127.0.0.2:6318", "127.0.0.2_6318"),
    ("tcp://127.0.0.1:7000", "127.0.0.1_7000"),
    ("tcp://[::1]:6318", "___1__6318"),
    ("tcp://10.0.0.1:6318", None),
    ("tcp://localhost.evil.org:6318", None),
    ("ipc:///run/kv318/kv318-server", None),
])
def test_only_loopback_urls_have_local_keys_each_under_its_own_name(url, name, monkeypatch, tmp_path):
    monkeypatch.setenv("KV318_DRIVER_DIR", str(tmp_path))
    where = _client.local_keys_dir(url)
    assert where == (None if name is None else str(tmp_path / "kv318-server-keys" / name))


@pytest.mark.parametrize("files, found", [
    ({}, False),
    ({"server.pub": "S", "local.key": "L"}, True),
    ({"local.key": "L"}, False),
    ({"server.pub": "S"}, False),
    ({"server.pub": "S", "local.key": "not a key"}, False),
])
def test_local_keys_are_found_only_when_the_server_wrote_them(files, found, monkeypatch, tmp_path):
    monkeypatch.setenv("KV318_DRIVER_DIR", str(tmp_path))
    server_public, _ = zmq.curve_keypair()
    client_public, client_secret = zmq.curve_keypair()
    text = {"S": server_public.decode(), "L": client_secret.decode()}
    folder = tmp_path / "kv318-server-keys" / "127.0.0.1_6318"
    if files:
        folder.mkdir(parents=True)
    for name, what in files.items():
        (folder / name).write_text(text.get(what, what) + "\n")
    got = _client.local_curve("tcp://127.0.0.1:6318")
    assert got == ((server_public, client_public, client_secret) if found else None)
    assert _client.local_curve("tcp://127.0.0.1:6320") is None, "another port's keys are not these"


@pytest.mark.parametrize("curve, local, cause", [
    (None, None, "takes only clients with keys, and this one has none: give key=DIR"),
    ((b"s", b"PUB", b"sec"), None, "refused this client's key PUB: is it in the server's allowed file"),
    ((b"s", b"PUB", b"sec"), "/run/k", "refused this user's local keys in /run/k: a server started with --keys"),
])
def test_silence_names_the_keys_as_a_likely_cause(curve, local, cause):
    assert cause in _client._silence_cause(curve, local)


def test_a_connection_to_a_keyed_loopback_server_without_keys_says_keys_are_needed(monkeypatch, tmp_path):
    # A CURVE server this client has no keys for: it hears nothing at all.
    monkeypatch.setenv("KV318_DRIVER_DIR", str(tmp_path))
    ctx = zmq.Context()
    server = ctx.socket(zmq.REP)
    server.setsockopt(zmq.LINGER, 0)
    server.setsockopt(zmq.CURVE_SERVER, 1)
    server.setsockopt(zmq.CURVE_SECRETKEY, zmq.curve_keypair()[1])
    port = server.bind_to_random_port("tcp://127.0.0.1")
    try:
        with pytest.raises(_client.ServerGone, match="takes only clients with keys"):
            _client.RemoteBoard("tcp://127.0.0.1:%d" % port)
    finally:
        server.close(0)
        ctx.term()
    assert not os.listdir(tmp_path)
