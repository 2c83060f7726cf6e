"""The korvalite-owned thread behind frame and event callbacks, and what both offer of it."""

import threading
from typing import Any, Callable, Optional


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
