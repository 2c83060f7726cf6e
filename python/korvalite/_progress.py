"""Streaming with a live progress line, as the command line and the demo show it."""

from __future__ import annotations

import contextlib
import re
import sys
import time
from typing import Callable, Iterator, Optional, TextIO

import korvalite


def progress_line(stats: korvalite.StreamStats, elapsed: float) -> str:
    """One status line: average rates since the start and the counters that tell loss."""
    rate = stats.completed_frames / elapsed if elapsed > 0 else 0.0
    mbps = stats.bytes / elapsed / 1e6 if elapsed > 0 else 0.0
    return (f"{elapsed:6.1f} s  {rate:7.1f} frames/s  {mbps:8.1f} MB/s  completed {stats.completed_frames}  "
            f"failed {stats.failed_frames}  resends {stats.resent_packets}  dropped {stats.frames_dropped}  "
            f"underruns {stats.underruns}")


def stream_for(cam: korvalite.Camera, seconds: float,
               out: TextIO = sys.stdout) -> tuple[korvalite.StreamStats, bool]:
    """Streams for `seconds` (or until Ctrl-C), drawing one progress line; returns the final
    counters and whether Ctrl-C ended it. The last progress line is drawn either way.

    A terminal gets the line redrawn in place four times a second; a pipe or a log gets one line
    per second."""
    tty = out.isatty()
    interrupted = False
    with cam.start_acquisition() as acq:
        start = time.monotonic()
        last_draw = 0.0
        try:
            while (elapsed := time.monotonic() - start) < seconds:
                acq.wait_for(min(0.1, max(0.0, seconds - elapsed)))
                acq.clear()
                if elapsed - last_draw >= (0.25 if tty else 1.0):
                    out.write(("\r" if tty else "") + progress_line(acq.stats(), elapsed) + ("" if tty else "\n"))
                    out.flush()
                    last_draw = elapsed
        except KeyboardInterrupt:
            interrupted = True
        stats = acq.stats()
        out.write(("\r" if tty else "") + progress_line(stats, time.monotonic() - start) + "\n")
    return stats, interrupted


def run_stream(cam: korvalite.Camera, seconds: float, out: TextIO = sys.stdout) -> korvalite.StreamStats:
    """Streams for `seconds`, drawing one progress line; returns the final counters. Ctrl-C
    raises KeyboardInterrupt once the acquisition has stopped."""
    stats, interrupted = stream_for(cam, seconds, out)
    if interrupted:
        raise KeyboardInterrupt
    return stats


def counters(stats: korvalite.StreamStats) -> list[tuple[str, int]]:
    """Every counter of `stats` with its value, in the record's order."""
    return [(name, int(value)) for name, value in re.findall(r"(\w+): (\d+)", repr(stats))]


def stream_counters(stats: korvalite.StreamStats, every: bool = False) -> str:
    """`stats` as text: the counters that are not zero (`every`: all of them)."""
    shown = [(name, value) for name, value in counters(stats) if every or value]
    return "StreamStats { " + ", ".join(f"{name}: {value}" for name, value in shown) + " }"


class Status:
    """One status line on a terminal, redrawn in place and cleared at the end; nothing on a pipe
    or a log, where such lines would only pile up."""

    def __init__(self, out: Optional[TextIO] = None) -> None:
        self._out = out if out is not None else sys.stderr
        self._tty = self._out.isatty()
        self._shown = False

    def show(self, text: str) -> None:
        if self._tty:
            self._out.write("\r" + text + "\x1b[K")
            self._out.flush()
            self._shown = True

    def counter(self, label: str) -> Callable[[int, int], None]:
        """A progress callback ``(done, total)`` that shows ``label done/total``."""
        return lambda done, total: self.show(f"{label} {done}/{total}")

    def clear(self) -> None:
        if self._shown:
            self._out.write("\r\x1b[K")
            self._out.flush()
            self._shown = False


@contextlib.contextmanager
def status(text: Optional[str] = None, out: Optional[TextIO] = None) -> Iterator[Status]:
    """A Status showing `text` while the block runs, cleared when it ends."""
    line = Status(out)
    if text:
        line.show(text)
    try:
        yield line
    finally:
        line.clear()
