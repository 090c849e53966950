"""kv318: the KV318 data-acquisition board from Python.

    import kv318
    with kv318.open(0) as board, board.stream(divider=50) as stream:
        for block in stream:          # numpy int16 arrays, as they arrive
            print(stream.volts(block).mean())

The package reaches the KV318 library (libKV318.so, KV318.dll) through
ctypes; importing it loads the library and raises ImportError, naming every
place it looked, when it cannot.  kv318.Simulator runs kv318-sim for tests
without a board.  kv318.connect reaches a board that kv318-server shares,
through the library's own client of the server.  kv318.record writes a stream to an
HDF5 file in kv318-cli's layout (it needs h5py, the `hdf5` extra).
"""

from . import _lib
from .acquisition import (
    DIVIDER_MAX,
    DIVIDER_MIN,
    FIFO_BYTES,
    POLL_READ_SAMPLES,
    STREAM_READ_SAMPLES,
    Poll,
    Stream,
    StreamStats,
    codes,
    fifo_may_have_run_over,
    volts,
)
from .board import Board, Counter, Pulse, open
from .errors import (
    AcquisitionBusy,
    AcquisitionNotEnabled,
    BoardBusy,
    BoardControlled,
    BoardGone,
    BoardNotFound,
    FifoOverflow,
    KV318Error,
    RequestFailed,
    RingOverflow,
    SamplesMissed,
    ServerGone,
    StreamEnded,
    TransferFailed,
)
from .recorder import Recorder, record
from .served import DEFAULT_URL, connect
from .simulator import Simulator, SimulatorError

from ._version import __version__

#: The path the library was loaded from (its bare name when the system's
#: search path found it).
library_path = _lib.path
#: The ctypes library object, for calling exports kv318 does not wrap.
library = _lib.lib


__all__ = [
    "__version__",
    "AcquisitionBusy",
    "AcquisitionNotEnabled",
    "Board",
    "BoardBusy",
    "BoardControlled",
    "BoardGone",
    "BoardNotFound",
    "Counter",
    "DEFAULT_URL",
    "DIVIDER_MAX",
    "DIVIDER_MIN",
    "FIFO_BYTES",
    "FifoOverflow",
    "KV318Error",
    "POLL_READ_SAMPLES",
    "Poll",
    "Pulse",
    "Recorder",
    "RequestFailed",
    "RingOverflow",
    "STREAM_READ_SAMPLES",
    "SamplesMissed",
    "ServerGone",
    "Simulator",
    "SimulatorError",
    "Stream",
    "StreamEnded",
    "StreamStats",
    "TransferFailed",
    "codes",
    "connect",
    "fifo_may_have_run_over",
    "library",
    "library_path",
    "open",
    "record",
    "volts",
]
