"""Ctrl-C at every moment of an acquisition's start and stop, and fork():
neither may leave the library's acquisition running with nothing in Python
to stop it, nor let a child stop its parent's."""

import dis
import functools
import gc
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import kv318
from kv318._lib import lib
from support import ramp

KV318_DIR = Path(kv318.__file__).resolve().parent


@functools.lru_cache(maxsize=None)
def _check_points(code):
    """The offsets in `code` where CPython 3.11 looks for pending signals:
    right after each call returns and at the target of each backward jump
    (besides a function's entry, which the trace's "call" event marks)."""
    points = set()
    instructions = list(dis.get_instructions(code))
    for i, ins in enumerate(instructions):
        if ins.opname in ("CALL", "CALL_FUNCTION_EX") and i + 1 < len(instructions):
            points.add(instructions[i + 1].offset)
        elif ins.opname.startswith("JUMP_BACKWARD") and ins.opname != "JUMP_BACKWARD_NO_INTERRUPT":
            points.add(ins.argval)
    return points


def _sigint_at_check_point(k):
    """A trace function that raises a real SIGINT at the k-th moment
    (counted from 0) where a Ctrl-C could reach kv318's own code: each
    point where the interpreter would run a signal handler.  `fired` says
    where it did, or False."""
    state = {"count": 0, "fired": False}

    def trace(frame, event, arg):
        code = frame.f_code
        if Path(code.co_filename).parent != KV318_DIR:
            return None
        frame.f_trace_lines = False
        frame.f_trace_opcodes = True
        if event == "call" or (event == "opcode" and frame.f_lasti in _check_points(code)):
            if state["count"] == k:
                state["fired"] = f"{code.co_name}:{frame.f_lineno}"
                signal.raise_signal(signal.SIGINT)
            state["count"] += 1
        return trace

    return trace, state


def _traced(call, k):
    """Calls `call` with a SIGINT at kv318's k-th bytecode.  Returns
    (where it fired or False, how KeyboardInterrupt came out: None, "inside"
    when `call` raised it, "after" when it came just after `call` returned,
    and the number of kv318 bytecodes run)."""
    trace, state = _sigint_at_check_point(k)
    interrupted = None
    sys.settrace(trace)
    try:
        call()
    except KeyboardInterrupt as e:
        interrupted = "inside" if e.__traceback__.tb_next is not None else "after"
    finally:
        sys.settrace(None)
    return state["fired"], interrupted, state["count"]


def _converting(board):
    return bool(board.inb(0) & 0x04)


@pytest.mark.parametrize("kind", ["stream", "poll"])
@pytest.mark.parametrize("phase", ["start", "stop"])
def test_ctrl_c_at_any_moment_of_start_or_stop_leaves_nothing_running(sim_factory, kind, phase):
    sim_factory(signal="ramp")
    with kv318.open(0) as board, kv318.open(0) as other:
        k, total = 0, None
        while total is None or k < total:
            acq = getattr(board, kind)(divider=50)
            if phase == "stop":
                acq.start()
            fired, interrupted, count = _traced(getattr(acq, phase), k if total is not None else -1)
            if total is None:
                total = count  # the first round, without interrupt, counts the bytecodes
                assert total > 3 and interrupted is None
            else:
                assert fired and interrupted, f"the SIGINT at bytecode {k} was lost"
                k += 1
            # What kv318 says runs is what runs ...
            assert acq.running == _converting(other), f"SIGINT at {phase} bytecode {k}"
            if phase == "start" and interrupted == "inside":
                assert not acq.running, f"start raised at bytecode {k} ({fired}) and left the {kind} running"
            # ... and stopping it (again) stops it, in the library as well.
            acq.close()
            assert not _converting(other)
            assert lib.KV318_AD(board.handle, 0, 0, 0, 0, 50) == 0, f"SIGINT at {phase} bytecode {k}"
            assert lib.KV318_StopAD(board.handle) == 0


def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("phase", ["open", "close"])
def test_ctrl_c_at_any_moment_of_open_or_close_loses_no_handle(sim_factory, phase):
    sim_factory()
    kv318.open(0).close()  # whatever the library keeps open from its first use on
    gc.collect()  # what earlier tests left for the collector is not counted
    before = _open_descriptors()
    k, total = 0, None
    while total is None or k < total:
        boards = [] if phase == "open" else [kv318.open(0)]
        call = (lambda: boards.append(kv318.open(0))) if phase == "open" else boards[0].close
        fired, interrupted, count = _traced(call, k if total is not None else -1)
        if total is None:
            total = count
        else:
            assert fired and interrupted, f"the SIGINT at bytecode {k} was lost"
            k += 1
        # Dropped, as a program that caught the interrupt and went on
        # drops what it no longer uses: every handle is given back.
        del boards, call
        gc.collect()  # a Board and its counter and pulse refer to each other
        assert _open_descriptors() == before, f"SIGINT at {phase} bytecode {k - 1} leaked a handle"


FORKING_SCRIPT = textwrap.dedent('''
    import gc, os, sys
    import numpy as np
    import kv318

    kind = sys.argv[1]
    board = kv318.open(0)
    acq = getattr(board, kind)(divider=50)
    acq.start()
    first = acq.read(2000, timeout=30)
    pid = os.fork()
    if pid == 0:
        # The child: what it inherited is the parent's.  Using it is
        # refused; closing and dropping it, and a normal exit, send nothing.
        for use in (board.di, lambda: acq.read(1), lambda: board.stream().start()):
            try:
                use()
                sys.exit("the child used the parent's board")
            except ValueError as e:
                if "before it forked" not in str(e):
                    sys.exit(f"unexpected refusal: {e}")
        acq.close()
        board.close()
        del acq, board
        gc.collect()
        sys.exit(0)  # a normal exit: the interpreter's clean-up runs
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status))
    # The lock file's lock is shared with the child; its exit must not
    # have given the parent's board away.
    from kv318 import _places
    print("holder", _places.lock_holder(0) == os.getpid())
    rest = acq.read(40000, timeout=30)  # a second of samples after the child ended
    print("samples", np.concatenate([first, rest]).tobytes().hex())
    acq.close()
    board.close()
''')


@pytest.mark.parametrize("kind", ["stream", "poll"])
def test_a_forked_child_leaves_the_parents_acquisition_alone(sim_factory, kind, tmp_path):
    sim_factory(signal="ramp")
    script = tmp_path / "fork.py"
    script.write_text(FORKING_SCRIPT)
    env = dict(os.environ, PYTHONPATH=str(KV318_DIR.parent))
    r = subprocess.run([sys.executable, str(script), kind], capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = dict(line.split(" ", 1) for line in r.stdout.splitlines())
    assert lines["child"] == "0", r.stderr
    assert lines["holder"] == "True", "the child's exit freed the parent's board"
    # The parent's ramp runs on whole through the child's life and exit.
    samples = np.frombuffer(bytes.fromhex(lines["samples"]), dtype=np.int16)
    np.testing.assert_array_equal(samples, ramp(0, 42000))
