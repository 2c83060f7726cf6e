"""``korvalite.Camera``: the extension's camera with the methods written in Python (feature
access by kind, settings files, event callbacks, asyncio snaps) and the context manager."""

from __future__ import annotations

import os
from types import TracebackType
from typing import TYPE_CHECKING, Callable, List, Literal, Optional, Tuple, Type, Union

from . import _aio, _event_callbacks, _feature_access, _settings
from ._korvalite_core import Camera as _CoreCamera, Event, Frame

if TYPE_CHECKING:
    from ._event_callbacks import EventCallbacks
    from ._settings import LoadFailure

Value = Union[int, float, bool, str]


class Camera(_CoreCamera):
    """A GigE Vision camera at an IPv4 address.

    ``Camera(ip)`` only parses the addresses; ``connect()`` takes control of the camera and
    loads its feature model, ``disconnect()`` gives control back. As a context manager,
    ``with Camera(ip) as cam:`` connects on entry and disconnects on exit. Features are read
    and written by name (``get``/``set``, or by kind: ``get_integer``, ``set_enum``, ...), and
    frames are captured with ``snap()``, ``snapshot_session()`` or ``start_acquisition()``.
    Sessions, acquisitions and subscriptions made from a camera stay usable while Python holds
    them, also after the camera object itself is gone.
    """

    __slots__ = ()

    def __enter__(self) -> Camera:
        """Connect (see ``connect()``) and return the camera."""
        self.connect()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> Literal[False]:
        """Disconnect (see ``disconnect()``); never suppresses the exception in flight."""
        self.disconnect()
        return False

    def get(self, name: str) -> Value:
        """The value of feature `name`, read by its kind: int, float, bool, or str (an
        enumeration's entry name, a string's text). Raises GenicamError for a command or a
        feature with no value."""
        return _feature_access.get(self, name)

    def set(self, name: str, value: Value) -> None:  # noqa: A003 - the feature's write
        """Write `value` to feature `name` by its kind, checked like the kind's own setter: an
        integer feature takes an int (or a float with no fraction), a float feature a number, a
        boolean a bool, an enumeration an entry name, a string a str. Raises GenicamError when
        the value does not fit the kind or the camera refuses it."""
        _feature_access.set(self, name, value)

    def save_features(self, path: Union[str, os.PathLike[str]], *,
                      progress: Optional[Callable[[int, int], None]] = None) -> List[Tuple[str, str]]:
        """Write every streamable feature that can be read and written now to the settings file
        `path` (selected features once per value of their selector). Returns the features that
        could not be read, as ``(name, reason)``; they also appear as comments in the file.
        `progress(done, total)`, when given, is called as the features are looked at."""
        return _settings.save_features(self, path, progress=progress)

    def load_features(self, path: Union[str, os.PathLike[str]], strict: bool = True, *,
                      streamable_only: bool = True,
                      progress: Optional[Callable[[int, int], None]] = None) -> List[LoadFailure]:
        """Write the values of settings file `path` to the camera, in file order, retrying the
        lines that failed while that makes progress. Returns the lines that could not be applied
        (``LoadFailure``: line, feature, reason); with `strict` (the default) any such line
        raises GenicamError listing them all, after everything else has been applied. Only
        streamable features are applied, never the transport settings, unless
        ``streamable_only=False``. The file is read whole first: a regular file of at most 4 MiB.
        `progress(done, total)`, when given, is called as the lines are applied."""
        return _settings.load_features(self, path, strict, streamable_only=streamable_only, progress=progress)

    def on_event(self, fn: Callable[[Event], object], capacity: int = 256) -> EventCallbacks:
        """Call ``fn(event)`` for every device event, in order, on one korvalite thread
        (``korvalite-events``). An exception in `fn` is logged with its traceback (logger
        ``korvalite.callbacks``) and delivery goes on. Returns the delivery; its ``cancel()``
        ends it. Turn events on with the camera's event features first."""
        return _event_callbacks.on_event(self, fn, capacity)

    async def snap_async(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8,
                         packet_size: Optional[int] = None, packet_delay: Optional[int] = None,
                         resend: bool = True) -> Frame:
        """``snap()`` for asyncio: ``await cam.snap_async()``. The wait runs on a korvalite thread
        and wakes the event loop when the frame is there; cancelling the awaiting task stops the
        camera and frees it before the cancellation completes."""
        frame: Frame = await _aio.snap_async(self, timeout, channel=channel, n_buffers=n_buffers,
                                             packet_size=packet_size, packet_delay=packet_delay,
                                             resend=resend)
        return frame
