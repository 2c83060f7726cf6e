"""The korvalite-owned thread behind frame and event callbacks, and what both offer of it."""

import logging
import threading
import time
import traceback
from typing import Any, Callable, Optional

_log = logging.getLogger("korvalite.callbacks")


class DeliveryThread:
    """Runs ``target(*args)`` on a daemon thread named ``name``, started at once."""

    def __init__(self, target: Callable[..., None], args: tuple[Any, ...], name: str) -> None:
        self._thread = threading.Thread(target=target, args=args, name=name, daemon=True)
        self._thread.start()

    def join(self, timeout: Optional[float] = None) -> bool:
        """Wait up to ``timeout`` seconds (None: without limit) for the delivery to end; whether it has."""
        if not self.on_delivery_thread():
            self._thread.join(timeout)
        return not self._thread.is_alive()

    def is_alive(self) -> bool:
        """Whether the delivery is still going on."""
        return self._thread.is_alive()

    def on_delivery_thread(self) -> bool:
        """Whether the caller is the delivery thread itself (a callback)."""
        return threading.current_thread() is self._thread


class RaiseReport:
    """Logs what a callback raises without flooding the log: the first exception with its
    traceback, then how many more there were, at most every ``interval`` seconds, and once more
    when delivery ends."""

    def __init__(self, kind: str, fn: Callable[..., object], interval: float = 10.0) -> None:
        self._what = f"{kind} callback {getattr(fn, '__qualname__', repr(fn))}"
        self._interval = interval
        self._first = True
        self._unreported = 0
        self._last_exception = ""
        self._reported_at = 0.0

    def raised(self, exc: BaseException) -> None:
        now = time.monotonic()
        if self._first:
            self._first = False
            self._reported_at = now
            _log.error("%s raised", self._what, exc_info=exc)
        else:
            self._unreported += 1
            self._last_exception = f"{type(exc).__name__}: {exc}"
            if now - self._reported_at >= self._interval:
                self.flush()
                self._reported_at = now
        traceback.clear_frames(exc.__traceback__)  # a kept log record must not keep the frame

    def flush(self) -> None:
        """Logs the count not yet reported, if any."""
        if self._unreported:
            _log.error("%s raised %d more time(s), the last: %s", self._what, self._unreported, self._last_exception)
            self._unreported = 0
