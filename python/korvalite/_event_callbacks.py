"""Event callbacks: ``cam.on_event(fn)`` hands each device event, in order, to the application's
function on one korvalite-owned thread (``korvalite-events``)."""

import logging
from typing import Any, Callable, Optional

from ._delivery_thread import DeliveryThread, RaiseReport
from ._korvalite_core import CameraError, GenicamError

_log = logging.getLogger("korvalite.callbacks")


class EventCallbacks(DeliveryThread):
    """The thread that calls ``fn(event)`` for every event of a subscription until ``cancel()``
    or until the camera's connection ends. An exception from ``fn`` is logged (logger
    ``korvalite.callbacks``: the first with its traceback, then a count at most every 10 s) and
    delivery goes on."""

    def __init__(self, subscription: Any, fn: Callable[[Any], object]) -> None:
        self._subscription = subscription
        super().__init__(_deliver, (subscription, fn), "korvalite-events")

    def cancel(self, timeout: Optional[float] = 1.0) -> None:
        """Stop delivering; returns once the callback in progress (if any) has returned, waiting
        up to ``timeout`` seconds (None: without limit). No callback starts after it."""
        self._subscription.close()
        self.join(timeout)


def _deliver(subscription: Any, fn: Callable[[Any], object]) -> None:
    report = RaiseReport("event", fn)
    try:
        for event in subscription:
            if subscription.closed:
                break  # cancelled: queued events are not delivered
            try:
                fn(event)
            except Exception as exc:
                report.raised(exc)
    except (CameraError, GenicamError) as error:  # the camera is gone: no event comes any more
        _log.warning("event delivery ended: %s", error)  # the loss itself is reported where it is seen
    except Exception:
        _log.exception("event delivery ended")
    finally:
        report.flush()
        subscription.close()


def on_event(camera: Any, fn: Callable[[Any], object], capacity: int = 256) -> EventCallbacks:
    """``Camera.on_event``: subscribes to the camera's events and calls ``fn(event)`` for each,
    in order, on a korvalite thread. Returns the delivery; ``cancel()`` ends it."""
    if not callable(fn):
        raise TypeError("the event callback must be callable")
    return EventCallbacks(camera.events(capacity), fn)
