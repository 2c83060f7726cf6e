"""Interpreter exit with capture threads still waiting.

Registered after the logging bridge, so it runs before the bridge stops (atexit runs last
registered first) and after any exit handler the application registered later. It stops every
acquisition and snapshot session and disconnects every camera: control goes back to the devices
at once, and threads still waiting in korvalite never come back to Python.
"""

from __future__ import annotations

import atexit
import threading

from . import _korvalite_core


def _close_all() -> None:
    others = any(t is not threading.main_thread() and t.is_alive() for t in threading.enumerate())
    _korvalite_core._exit.close_all(quiet_leaks=others)


atexit.register(_close_all)
