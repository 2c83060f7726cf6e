"""Frame callbacks: one korvalite-owned thread per acquisition hands each frame, in order, to
the application's function. Used by ``Acquisition.on_frame`` and ``start_acquisition(callback=)``."""

import logging
from typing import Any, Callable

from ._delivery_thread import DeliveryThread, RaiseReport
from ._korvalite_core import CameraError, GenicamError

_log = logging.getLogger("korvalite.callbacks")
ON_ERROR = ("log", "stop")


class FrameCallbacks(DeliveryThread):
    """The thread that calls ``fn(frame)`` for every frame of an acquisition until it stops.

    An exception from ``fn`` is logged (logger ``korvalite.callbacks``: the first with its
    traceback, then a count at most every 10 s); with ``on_error="stop"`` the acquisition is
    then stopped, else delivery goes on. The thread
    lets go of each frame as soon as ``fn`` returns, so only frames ``fn`` keeps stay alive."""

    def __init__(self, acquisition: Any, fn: Callable[[Any], object], on_error: str) -> None:
        if not callable(fn):
            raise TypeError("the frame callback must be callable")
        if on_error not in ON_ERROR:
            raise ValueError(f"on_error must be one of {ON_ERROR}, not {on_error!r}")
        super().__init__(_deliver, (acquisition, fn, on_error), "korvalite-callbacks")


def _deliver(acquisition: Any, fn: Callable[[Any], object], on_error: str) -> None:
    report = RaiseReport("frame", fn)
    try:
        _deliver_each(acquisition, fn, on_error, report)
    except (CameraError, GenicamError) as error:  # the camera is gone: no frame comes any more
        _log.warning("frame delivery ended: %s", error)  # the loss itself is reported where it is seen
    except Exception:
        _log.exception("frame delivery ended")
    finally:
        report.flush()


def _deliver_each(acquisition: Any, fn: Callable[[Any], object], on_error: str, report: RaiseReport) -> None:
    for frame in acquisition:
        if acquisition.is_stopped():
            break  # stopped (perhaps by the previous callback): buffered frames are not delivered
        try:
            fn(frame)
        except Exception as exc:
            report.raised(exc)
            if on_error == "stop":
                acquisition.stop()
        del frame
        if acquisition.is_stopped():
            break
