"""Holding Ctrl-C back while kv318 changes what the library runs.

Python raises KeyboardInterrupt between any two bytecodes of the main
thread.  Landing between the library's start call and the bookkeeping that
records it, it would leave the library's acquisition running with nothing
in Python to stop it, and every later start in the process refused.  So
starts and stops run inside `held()`: a SIGINT that arrives meanwhile is
noted, and delivered to the handler that was in place as soon as the step
is complete.
"""

import signal
import threading


class held:
    """Context manager.  Inside, SIGINT is recorded instead of handled;
    on leaving, the previous handler is put back and, when a SIGINT came,
    given it (by default: KeyboardInterrupt raised from the `with`).

    `interrupted` tells the body whether one came, so it can undo a step
    the interrupt was meant to cancel before it is delivered.

    Only the main thread of the main interpreter receives SIGINT in Python,
    and only it may install handlers; elsewhere this does nothing.  A
    handler installed outside Python (getsignal() is None) cannot be put
    back, so it is left alone as well."""

    def __init__(self):
        self.interrupted = None  # (signum, frame) of the first SIGINT held back
        self._previous = None

    def _hold(self, signum, frame):
        if self.interrupted is None:
            self.interrupted = (signum, frame)

    def __enter__(self):
        if threading.current_thread() is not threading.main_thread():
            return self
        if signal.getsignal(signal.SIGINT) is None:
            return self
        # An interrupt before this returns is handled as usual, before kv318
        # has changed anything; one after it is held.
        self._previous = signal.signal(signal.SIGINT, self._hold)
        return self

    def __exit__(self, *exc):
        previous, self._previous = self._previous, None
        if previous is None:
            return False
        signal.signal(signal.SIGINT, previous)
        if self.interrupted is not None:
            if callable(previous):
                previous(*self.interrupted)
            elif previous == signal.SIG_DFL:
                # The default action ends the process, as it would have.
                signal.raise_signal(signal.SIGINT)
            # SIG_IGN: the interrupt was to be ignored anyway.
        return False
