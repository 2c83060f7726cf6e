"""Frames for the page, kept off the receive path.

The acquisition's frame callback only puts each frame into a ``FrameSlot`` (replacing the one
before, which is released at once) and, while a recording runs, hands a copy of its samples to
the ``Recorder``. The ``Encoder`` thread takes the newest frame whenever it is free and turns
it into a JPEG; frames that arrive while it works are skipped, so a slow encoder or a slow
browser costs the page frames, never the camera.
"""

from __future__ import annotations

import io
import logging
import queue
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

from ..images import encode_png, image_array, image_from_samples, write_png

_log = logging.getLogger("korvalite.viewer")

JPEG_QUALITY = 85
HISTOGRAM_BINS = 64


@dataclass(frozen=True)
class EncodedFrame:
    """One frame as the page shows it."""

    seq: int
    frame_id: int
    width: int
    height: int
    pixel_format: str
    jpeg: bytes
    histogram: list  # HISTOGRAM_BINS counts of the 8-bit image (all channels together)


class FrameSlot:
    """The newest frame and its sequence number; older frames are let go as soon as a newer one comes."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._frame: Any = None
        self._seq = 0
        self._closed = False

    def put(self, frame: Any) -> None:
        with self._cond:
            self._frame = frame
            self._seq += 1
            self._cond.notify_all()

    def latest(self) -> Any:
        with self._cond:
            return self._frame

    def clear(self) -> None:
        with self._cond:
            self._frame = None

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._frame = None
            self._cond.notify_all()

    def newer_than(self, seq: int, timeout: float) -> Optional[tuple[int, Any]]:
        """(seq, frame) once a frame newer than `seq` is there; None after `timeout` or when closed."""
        with self._cond:
            self._cond.wait_for(lambda: self._closed or (self._seq > seq and self._frame is not None), timeout)
            if self._closed or self._seq <= seq or self._frame is None:
                return None
            return self._seq, self._frame


def eight_bit_image(frame: Any) -> Any:
    """The frame as an 8-bit grey or RGB picture, deeper samples scaled and Bayer demosaiced as
    ``images.py`` renders them."""
    return image_array(frame, bits=8)


def encode_jpeg(seq: int, frame: Any, quality: int = JPEG_QUALITY) -> EncodedFrame:
    import numpy as np  # noqa: PLC0415
    from PIL import Image  # noqa: PLC0415

    image = eight_bit_image(frame)
    counts = np.bincount(image.reshape(-1) >> 2, minlength=HISTOGRAM_BINS)
    out = io.BytesIO()
    Image.fromarray(image).save(out, format="JPEG", quality=quality)
    return EncodedFrame(seq, frame.frame_id, frame.width, frame.height, frame.pixel_format, out.getvalue(),
                        [int(c) for c in counts])


def png_bytes_of(frame: Any) -> bytes:
    """The frame as a PNG file of its own depth (8 bits, or 16 for deeper formats)."""
    return encode_png(image_array(frame))


def pixel_value(frame: Any, x: int, y: int) -> Optional[list]:
    """The samples at (x, y) as the camera sent them (unscaled), or None outside the image."""
    if frame is None or not (0 <= x < frame.width and 0 <= y < frame.height):
        return None
    samples = frame.to_numpy()
    if samples.ndim < 2:
        return None
    value = samples[y, x]
    return [int(v) for v in value] if getattr(value, "ndim", 0) else [int(value)]


class Encoder:
    """The thread that encodes the newest frame whenever it is free and hands it to `publish`."""

    def __init__(self, slot: FrameSlot, publish: Callable[[EncodedFrame], None]) -> None:
        self._slot = slot
        self._publish = publish
        self._stop = threading.Event()
        self.encoded = 0
        self._thread = threading.Thread(target=self._run, name="korvalite-viewer-encode", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        seq = 0
        while not self._stop.is_set():
            newer = self._slot.newer_than(seq, 0.2)
            if newer is None:
                continue
            seq, frame = newer
            try:
                encoded = encode_jpeg(seq, frame)
            except Exception:  # noqa: BLE001 - a frame that cannot be shown must not end the view
                _log.exception("could not encode frame %s for the page", getattr(frame, "frame_id", "?"))
                continue
            finally:
                del frame
            self.encoded += 1
            self._publish(encoded)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(2.0)


RECORD_BACKLOG = 64  # frames copied but not yet written; more are skipped, not queued


class Recorder:
    """Writes the next `count` frames as PNG files into a folder, on a thread of its own.

    The frame callback hands over copies of the samples (``offer``), so the camera's buffers go
    back to the pool at once. When writing falls ``RECORD_BACKLOG`` frames behind the camera,
    further frames are skipped (and counted) until there is room, so memory stays bounded; the
    recording still ends with `count` files."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queue: "queue.Queue[Optional[tuple[int, Any, Any]]]" = queue.Queue(RECORD_BACKLOG + 1)
        self._wanted = 0
        self.taken = 0
        self.skipped = 0
        self.written = 0
        self.folder: Optional[Path] = None
        self.error: Optional[str] = None
        self._thread: Optional[threading.Thread] = None

    def start(self, folder: Path, count: int) -> None:
        with self._lock:
            if self.active():
                raise ValueError("a recording is already running")
            folder.mkdir(parents=True, exist_ok=True)
            self.folder, self._wanted, self.error = folder, count, None
            self.taken = self.skipped = self.written = 0
            self._thread = threading.Thread(target=self._write_all, args=(folder, count),
                                            name="korvalite-viewer-record", daemon=True)
            self._thread.start()

    def active(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def offer(self, frame: Any) -> None:
        import numpy as np  # noqa: PLC0415

        with self._lock:
            if self.taken >= self._wanted:
                return
            if self._queue.qsize() >= RECORD_BACKLOG:
                self.skipped += 1
                return
            self.taken += 1
            self._queue.put_nowait((frame.frame_id, np.array(frame.to_numpy()), frame.pixel_format_info))

    def cancel(self) -> None:
        with self._lock:
            self._wanted = self.taken
            try:
                self._queue.put_nowait(None)
            except queue.Full:
                pass  # the writer is busy and ends after the frames queued

    def status(self) -> dict:
        return {"active": self.active(), "folder": str(self.folder) if self.folder else None,
                "wanted": self._wanted, "written": self.written, "skipped": self.skipped, "error": self.error}

    def _write_all(self, folder: Path, count: int) -> None:
        while self.written < min(count, self._wanted):
            item = self._queue.get()
            if item is None:
                break
            frame_id, samples, info = item
            try:
                write_png(folder / f"frame-{frame_id:08d}.png", image_from_samples(samples, info))
            except Exception as error:  # noqa: BLE001 - shown on the page
                self.error = str(error)
                _log.exception("recording stopped")
                break
            self.written += 1
