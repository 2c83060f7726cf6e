"""asyncio for captures and events: ``async for frame in acq.frames_async()``,
``await cam.snap_async()`` and ``await events.next_async()``.

The blocking wait runs on a short-lived korvalite thread with the interpreter lock released;
when it is over, the thread wakes the event loop with ``call_soon_threadsafe``. The loop never
polls. A cancelled wait ends its thread within one slice (100 ms)."""

import asyncio
import contextlib
import threading
from typing import Any, AsyncIterator, Callable

_SLICE = 0.1  # seconds: how soon a waiting thread sees that its wait was cancelled


def _resolve(future: "asyncio.Future[Any]", value: Any, error: Any) -> None:
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(value)


def _wake(loop: asyncio.AbstractEventLoop, future: "asyncio.Future[Any]", value: Any = None,
          error: Any = None) -> None:
    with contextlib.suppress(RuntimeError):  # the loop has closed: nobody waits any more
        loop.call_soon_threadsafe(_resolve, future, value, error)


async def _until_ready(wait_ready: Callable[[float], bool]) -> None:
    """Returns once ``wait_ready`` (which waits up to the seconds given, without taking a frame
    or event) says one is queued or the stream or subscription has ended."""
    loop = asyncio.get_running_loop()
    ready = loop.create_future()
    cancelled = threading.Event()

    def wait() -> None:
        try:
            while not cancelled.is_set():
                if wait_ready(_SLICE):
                    break
        except BaseException as e:  # noqa: BLE001 - handed to the awaiting task
            _wake(loop, ready, error=e)
            return
        _wake(loop, ready)

    threading.Thread(target=wait, name="korvalite-async-wait", daemon=True).start()
    try:
        await ready
    finally:
        cancelled.set()


class _Frames:
    """The iterator ``frames_async()`` returns: each ``__anext__()`` is one wait, so a cancelled
    wait takes no frame and leaves the iterator usable for the next one."""

    def __init__(self, acquisition: Any) -> None:
        self._acquisition = acquisition

    def __aiter__(self) -> "_Frames":
        return self

    async def __anext__(self) -> Any:
        while True:
            frame = self._acquisition.wait_for(0)  # never blocks; raises once the camera's control is lost
            if frame is not None:
                return frame
            if self._acquisition._ended():
                raise StopAsyncIteration
            await _until_ready(self._acquisition._wait_ready)

    async def aclose(self) -> None:
        """Nothing to release: the frames stay with their acquisition or subscription."""


def frames_async(acquisition: Any) -> AsyncIterator[Any]:
    """The frames of an acquisition or a frame subscription as they arrive, until the stream ends."""
    return _Frames(acquisition)


async def next_event_async(subscription: Any) -> Any:
    """The subscription's next event, or None once it is closed or its connection has ended.
    A cancelled wait takes no event: it stays queued for the next one."""
    while True:
        event = subscription.wait_for(0)  # never blocks; raises once the camera's control is lost
        if event is not None or subscription._ended():
            return event
        await _until_ready(subscription._wait_ready)


async def snap_async(camera: Any, timeout: float = 5.0, **options: Any) -> Any:
    """``camera.snap(timeout, **options)`` without blocking the event loop. Cancelling the
    awaiting task ends the snap (the camera is stopped and freed) before the task ends."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    cancel = threading.Event()

    def snap() -> None:
        try:
            frame = camera._snap_cancellable(cancel, timeout, **options)
        except BaseException as e:  # noqa: BLE001 - handed to the awaiting task
            _wake(loop, done, error=e)
            return
        _wake(loop, done, frame)

    threading.Thread(target=snap, name="korvalite-async-snap", daemon=True).start()
    try:
        return await asyncio.shield(done)
    except asyncio.CancelledError:
        cancel.set()
        with contextlib.suppress(BaseException):
            await done  # the snap stops within one slice of its wait
        raise
