"""Interpreter exit with capture threads still waiting.

Python waits for its non-daemon threads before it runs the atexit handlers, so a first hook runs
before that wait (the hook the standard library's executors use): when a non-daemon thread is
still alive, it stops every acquisition and snapshot session, and a thread iterating over frames
sees its stream end and returns.

The atexit handler is registered after the logging bridge, so it runs before the bridge stops
(atexit runs last registered first) and after any exit handler the application registered later.
It stops every acquisition and snapshot session and disconnects every camera: control goes back
to the devices at once, and threads still waiting in korvalite never come back to Python.
"""

from __future__ import annotations

import atexit
import threading

from . import _korvalite_core


def _close_all() -> None:
    others = any(t is not threading.main_thread() and t.is_alive() for t in threading.enumerate())
    _korvalite_core._exit.close_all(quiet_leaks=others)


def _stop_captures() -> None:
    # Only when a non-daemon thread is left to wait for: daemon threads are not waited for, and
    # the atexit handler keeps them from ever seeing their capture stopped.
    main = threading.main_thread()
    if any(t is not main and not t.daemon and t.is_alive() for t in threading.enumerate()):
        _korvalite_core._exit.stop_captures()


# Private to the threading module, but the only hook that runs before non-daemon threads are
# joined; without it, such threads keep the program from exiting while they wait for frames.
_register_before_join = getattr(threading, "_register_atexit", None)
if _register_before_join is not None:
    _register_before_join(_stop_captures)
atexit.register(_close_all)
