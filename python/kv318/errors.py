"""The exceptions kv318 raises.  Every failure the library or the board
reports is a KV318Error; argument mistakes are ValueError or TypeError and
are raised before anything is sent to the board."""


class KV318Error(Exception):
    """A failure reported by the KV318 library.  `code` holds the library's
    negative result when there was one.  `detail` holds the library's own
    words for the failure, from KV318_LastError ("KV318_DO: writing register
    14 (digital outputs) on handle 7 failed: the board is disconnected ..."),
    or None when it gave none; the message ends with them.  Raised from
    read(n), `samples` holds the samples that read took before it failed (an
    int16 array, perhaps empty); they are not handed over again."""

    code = None
    samples = None
    detail = None

    def __init__(self, message, code=None, detail=None):
        super().__init__(f"{message}; the library says: {detail}" if detail else message)
        if code is not None:
            self.code = code
        if detail:
            self.detail = detail


class BoardNotFound(KV318Error):
    """No board (or simulator) answers under the board number."""


class RequestFailed(KV318Error):
    """A register request to the board failed (the library returned -1)."""


class AcquisitionNotEnabled(KV318Error):
    """The board reports that it is not converting: something stopped the
    converter while the acquisition ran.  Library result -1."""

    code = -1


class RingOverflow(KV318Error):
    """The library's 2 MiB ring filled up before it was read: samples were
    lost.  The acquisition must be stopped and started again.  Library
    result -2."""

    code = -2


class FifoOverflow(RingOverflow):
    """The board's FIFO may have run over: the longest gap between two
    drains, at the acquisition's rate, brought more bytes than the FIFO
    holds.  The board has no overflow bit, so this is kv318's verdict from
    the library's drain statistics, not a library result (`code` is None).
    Caught with RingOverflow: either way samples may be missing.  It
    persists, since the longest gap only grows until the next start."""

    code = None


class TransferFailed(KV318Error):
    """A bulk transfer from the board's FIFO failed; samples were lost.
    Library result -3."""

    code = -3


class AcquisitionBusy(KV318Error):
    """An acquisition (stream or poll) is already running in this process:
    the library holds one at a time."""


class BoardBusy(KV318Error):
    """Another process is streaming the board: the library refused the
    start (or a register read or write), and the board was left as it was.  `board` is the board number,
    `pid` the holder's process id (None when it could not be read).  The
    message names the holder itself; `detail` keeps the library's words,
    which name the holder's program too where the system tells it."""

    code = -1

    def __init__(self, board, pid, detail=None):
        who = f"pid {pid}" if pid is not None else "pid unknown"
        super().__init__(f"board {board} is streaming in another process ({who})")
        self.board = board
        self.pid = pid
        if detail:
            self.detail = detail


class BoardControlled(BoardBusy):
    """kv318-server refused a request on a board another of its clients
    controls (or a start while an acquisition runs there).  `controller`
    is that client's id, PROGRAM.PID@HOST; `pid` is None."""

    def __init__(self, message, board, controller, detail=None):
        KV318Error.__init__(self, message, detail=detail)
        self.board = board
        self.pid = None
        self.controller = controller


class ServerGone(KV318Error):
    """The kv318-server a remote board talks to stopped answering: no reply
    to a request, or no block of a stream, within 2.5 s
    (KV318_SERVED_SILENCE_MS); every later call on the board fails at once.
    `url` is the server's control URL; `detail`, the library's words, names
    the likely causes (a server that refuses a client's keys says nothing
    at all)."""

    def __init__(self, url, detail=None):
        super().__init__(f"kv318-server at {url} stopped answering", detail=detail)
        self.url = url


class BoardGone(KV318Error):
    """kv318-server's board went away (its driver stopped, its cable was
    pulled) and the server waits for it to return: every request on it is
    refused, and a stream it ended raises this after its last samples.  The
    library's words (`detail`) are the server's own, "board N is
    disconnected since HH:MM:SS; kv318-server will take it back when it
    returns" (the server's local time).  `board` is the board number.  Try again later: once the board
    answers, the server serves it again, under a new stream number."""

    def __init__(self, message, board, detail=None):
        super().__init__(message, detail=detail)
        self.board = board


class SamplesMissed(RingOverflow):
    """A remote stream's block indices jumped: samples the board delivered
    never reached this program (the server or the network dropped them,
    most often because this program read too slowly).  `missed` counts the
    samples lost so far; like FifoOverflow it persists until the stream is
    stopped.  Caught with RingOverflow: either way samples are missing."""

    code = None

    def __init__(self, message, missed):
        super().__init__(message)
        self.missed = missed


class StreamEnded(KV318Error):
    """A remote stream ended on the server: its controller stopped it, or
    the server did.  Iterating a stream that ended simply stops; read(n)
    raises this with the samples it took."""
