"""Board: open and close, identity, registers, digital I/O, counter and pulse
against kv318-sim; argument checks that send nothing."""

import pytest

import kv318
from support import wait_until


def test_identity_strings_and_board_numbers(sim_factory):
    sim_factory(boards=3)
    for n in (0, 2):
        with kv318.open(n) as board:
            assert board.info() == ("KV318 USB DAQ simulator", f"SN KVS-{n:04d} FW 1.00")
    with pytest.raises(kv318.BoardNotFound, match="no KV318 board 3 answers"):
        kv318.open(3)


def test_digital_outputs_loop_back_and_fixed_inputs(sim_factory):
    sim_factory(boards=2)
    with kv318.open(0) as board, kv318.open(0) as other:
        for word in (0x0000, 0x0001, 0x8000, 0x1234, 0xFFFF):
            board.do(word)
            assert other.di() == word  # handles of one board share it
    sim_factory(inputs=0xBEEF)  # the newest simulator serves the next opens
    with kv318.open(0) as board:
        board.do(0x1234)
        assert board.di() == 0xBEEF


def test_byte_registers(sim_factory):
    sim_factory()
    with kv318.open(0) as board:
        board.outb(4, 0x0A)  # the mode register reads back
        assert board.inb(4) == 0x0A
        assert board.inb(200) == 0  # unmapped


def test_counter_and_pulse(sim_factory):
    sim_factory(counter_input="pulse")
    with kv318.open(0) as board:
        assert board.counter.read() is None  # not started
        board.counter.start()
        assert board.counter.read() == 0  # no pulses yet
        board.pulse.start(0, 255)  # 2 MHz / 255: 7843 Hz
        assert wait_until(lambda: (board.counter.read() or 0) > 10)
        assert board.inb(8) & 0x80  # running
        board.pulse.stop()
        assert not board.inb(8) & 0x80
        held = board.counter.read()
        assert held is not None and board.counter.read() == held
        board.pulse.start(1, 2)  # one shot: one pulse, then it stops by itself
        assert wait_until(lambda: board.counter.read() == held + 1)
        assert wait_until(lambda: not board.inb(8) & 0x80)


BAD_CALLS = [
    (lambda b: b.do(0x10000), ValueError, "0x0000-0xFFFF"),
    (lambda b: b.do(-1), ValueError, "0x0000-0xFFFF"),
    (lambda b: b.inb(256), ValueError, "reg must be 0-255"),
    (lambda b: b.inb(-1), ValueError, "reg must be 0-255"),
    (lambda b: b.outb(1, 256), ValueError, "0x00-0xFF"),
    (lambda b: b.outb(256, 0), ValueError, "reg must be 0-255"),
    (lambda b: b.pulse.start(0, 1), ValueError, "divisor must be 2-255"),
    (lambda b: b.pulse.start(0, 256), ValueError, "divisor must be 2-255"),
    (lambda b: b.pulse.start(2, 10), ValueError, "mode must be 0-1"),
    (lambda b: b.do(1.0), TypeError, "must be an integer"),
    (lambda b: b.stream(divider=1), ValueError, "divider must be 2-4095"),
    (lambda b: b.stream(divider=4096), ValueError, "divider must be 2-4095"),
    (lambda b: b.stream(mode=(0, 0, 2, 0)), ValueError, r"mode\[2\] must be 0-1"),
    (lambda b: b.stream(mode=(0, 0, 0)), ValueError, "must hold 4 flags"),
    (lambda b: b.poll(divider=0), ValueError, "divider must be 2-4095"),
    (lambda b: b.stream(clock_hz=0), ValueError, "clock_hz must be greater than 0"),
]


def test_bad_arguments_raise_before_anything_is_sent(sim_factory):
    sim = sim_factory()
    board = kv318.open(0)
    for call, error, message in BAD_CALLS:
        with pytest.raises(error, match=message):
            call(board)
    board.close()
    # kv318-sim counts each connection's requests when it ends.
    sim.wait_for_log(r"connection 1 closed by the client after 0 requests")
    with pytest.raises(ValueError, match="board 0 is closed"):
        board.di()
    with pytest.raises(ValueError, match="board must be"):
        kv318.open(-1)


@pytest.mark.parametrize(
    "fail, call, asked",
    [
        ("command", lambda b: b.inb(0), "KV318_inb: reading register 0 (status)"),
        ("command", lambda b: b.outb(9, 0), "KV318_outb: writing register 9 (pulse control)"),
        ("command", lambda b: b.do(1), "KV318_DO: writing register 14 (digital outputs)"),
        ("command", lambda b: b.counter.start(), "KV318_CRun: writing register 8 (counter start)"),
        ("command", lambda b: b.pulse.start(0, 2), "KV318_PRun: writing register 10 (pulse divisor)"),
        ("command", lambda b: b.pulse.stop(), "KV318_PStop: writing register 9 (pulse control)"),
        ("string", lambda b: b.info(), "KV318_Info: reading identity string 1"),
    ],
)
def test_failed_requests_raise(sim_factory, fail, call, asked):
    sim_factory(fail=fail)
    with kv318.open(0) as board:
        handle = board.handle
        with pytest.raises(kv318.RequestFailed) as e:
            call(board)
    assert e.value.code == -1 and isinstance(e.value, kv318.KV318Error)
    # The library's words say which request failed and why.
    assert e.value.detail == f"{asked} on handle {handle} failed: the driver refused it"
    assert str(e.value).endswith(f" failed; the library says: {e.value.detail}")


def test_a_handle_the_library_no_longer_holds_is_named(sim_factory):
    sim_factory()
    board = kv318.open(0)
    handle = board.handle
    # Closed behind the Board's back: the library no longer holds it.
    assert kv318.library.KV318_CloseDevice(handle) == 0
    assert kv318._lib.last_error() is None, "a success leaves no words"
    with pytest.raises(kv318.RequestFailed) as e:
        board.do(1)
    assert e.value.detail == f"KV318_DO: handle {handle} is not open"
    with pytest.raises(kv318.RequestFailed) as e:
        board.close()
    assert str(e.value) == (f"closing board 0 failed; the library says: KV318_CloseDevice: handle {handle} "
                            "is not open")
