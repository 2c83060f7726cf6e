"""Streaming with a live progress line, as the command line and the demo show it."""

from __future__ import annotations

import sys
import time
from typing import TextIO

import korvalite


def progress_line(stats: korvalite.StreamStats, elapsed: float) -> str:
    """One status line: average rates since the start and the counters that tell loss."""
    rate = stats.completed_frames / elapsed if elapsed > 0 else 0.0
    mbps = stats.bytes / elapsed / 1e6 if elapsed > 0 else 0.0
    return (f"{elapsed:6.1f} s  {rate:7.1f} frames/s  {mbps:8.1f} MB/s  completed {stats.completed_frames}  "
            f"failed {stats.failed_frames}  resends {stats.resent_packets}  dropped {stats.frames_dropped}  "
            f"underruns {stats.underruns}")


def run_stream(cam: korvalite.Camera, seconds: float, out: TextIO = sys.stdout) -> korvalite.StreamStats:
    """Streams for `seconds`, drawing one progress line; returns the final counters.

    A terminal gets the line redrawn in place four times a second; a pipe or a log gets one line
    per second."""
    tty = out.isatty()
    with cam.start_acquisition() as acq:
        start = time.monotonic()
        last_draw = 0.0
        while (elapsed := time.monotonic() - start) < seconds:
            acq.wait_for(min(0.1, max(0.0, seconds - elapsed)))
            acq.clear()
            if elapsed - last_draw >= (0.25 if tty else 1.0):
                out.write(("\r" if tty else "") + progress_line(acq.stats(), elapsed) + ("" if tty else "\n"))
                out.flush()
                last_draw = elapsed
        stats = acq.stats()
        out.write(("\r" if tty else "") + progress_line(stats, time.monotonic() - start) + "\n")
    return stats
