#!/usr/bin/env python3
"""Shows a KV318 device's waveform as kv318-tango pushes it: starts the
device's stream, subscribes to its Waveform change events and draws each
window with matplotlib, or prints a line per window where matplotlib or a
display is missing.  Needs PyTango (Debian: python3-tango); matplotlib
(python3-matplotlib) is optional.

    python3 tango_waveform.py lab/kv318/0                 # through TANGO_HOST
    python3 tango_waveform.py 'tango://localhost:10000/lab/kv318/0#dbase=no'
    python3 tango_waveform.py lab/kv318/0 --windows 20 --text
"""

import argparse
import queue
import sys

import tango


def plotter():
    """matplotlib's pyplot when it can open a window, else None."""
    try:
        import matplotlib
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    # Without a display matplotlib falls back to a backend that draws
    # nothing on screen.
    return None if matplotlib.get_backend().lower() == "agg" else plt


class Windows:
    """Waveform events, queued for the main thread: Tango calls
    push_event on a thread of its own, where no drawing may happen."""

    def __init__(self):
        self.queue = queue.Queue()

    def push_event(self, event):
        if event.err:
            self.queue.put((None, event.errors[0].desc))
        elif event.attr_value.value is not None:
            self.queue.put((event.attr_value, ""))


def show(windows, count, rate, plt):
    """Draws or prints windows as they come, `count` of them (0: until
    Ctrl-C, or until the plot window is closed)."""
    line = None
    shown = 0
    while count == 0 or shown < count:
        if plt is not None and line is not None and not plt.fignum_exists(line.figure.number):
            return
        try:
            value, error = windows.queue.get(timeout=0.1)
        except queue.Empty:
            if plt is not None:
                plt.pause(0.05)
            continue
        if value is None:
            print("event error:", error, file=sys.stderr)
            continue
        volts = value.value
        shown += 1
        if plt is None:
            print("window %d: %d samples, %.4f to %.4f V, mean %.4f V, %s"
                  % (shown, len(volts), volts.min(), volts.max(), volts.mean(), value.quality))
            continue
        times_ms = [i * 1e3 / rate for i in range(len(volts))]
        if line is None:
            fig, ax = plt.subplots(figsize=(8, 3.2))
            (line,) = ax.plot(times_ms, volts, linewidth=0.8)
            ax.set_xlabel("time in the window (ms)")
            ax.set_ylabel("volts")
            ax.set_ylim(-5.2, 5.2)
            plt.show(block=False)
        else:
            line.set_data(times_ms, volts)
            line.axes.set_xlim(0, times_ms[-1] if times_ms else 1)
        line.axes.set_title("window %d, %s" % (shown, value.quality))
        plt.pause(0.001)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("device", help="the device's name (lab/kv318/0) or full Tango URL")
    p.add_argument("--windows", type=int, default=0, help="stop after this many windows (default: run on)")
    p.add_argument("--text", action="store_true", help="print a line per window, even with matplotlib")
    args = p.parse_args(argv)

    device = tango.DeviceProxy(args.device)
    # A start on a busy board may take longer than Tango's 3 s default.
    device.set_timeout_millis(30000)
    state = device.state()
    # A device already streaming (RUNNING) or following another client's
    # stream (STANDBY) is watched as it is, and left so.
    started = state not in (tango.DevState.RUNNING, tango.DevState.STANDBY)
    if started:
        device.command_inout("Start")
    rate = device.read_attribute("SampleRate").value
    print("%s: %s, %.0f samples a second, windows of %d" % (args.device, device.state(), rate,
                                                            device.read_attribute("WaveformLength").value))
    windows = Windows()
    subscription = device.subscribe_event("Waveform", tango.EventType.CHANGE_EVENT, windows)
    try:
        show(windows, args.windows, rate, None if args.text else plotter())
    except KeyboardInterrupt:
        pass
    finally:
        device.unsubscribe_event(subscription)
        if started:
            device.command_inout("Stop")


if __name__ == "__main__":
    main()
