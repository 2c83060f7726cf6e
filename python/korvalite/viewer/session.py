"""The camera behind the page: its acquisition, the frames for the page, the counters, feature
reads and checked writes, settings files and device events.

Every method that talks to the camera blocks; the server calls them on its one camera thread,
so they never run at the same time. Frames reach ``FrameSlot`` and ``Recorder`` from the
acquisition's callback thread.
"""

from __future__ import annotations

import collections
import contextlib
import logging
import os
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

import korvalite

from .. import features
from .stream import Encoder, EncodedFrame, FrameSlot, Recorder, png_bytes_of, pixel_value

_log = logging.getLogger("korvalite.viewer")

CameraFailure = (korvalite.CameraError, korvalite.GenicamError)
N_BUFFERS = 16
VALUE_KINDS = ("integer", "float", "number", "boolean", "enumeration", "string")
MAX_EVENTS = 200
SNAP_TIMEOUT = 5.0  # seconds


def _visibility(info: Any) -> str:
    return str(info.visibility).rsplit(".", 1)[-1]


def _access(info: Any) -> str:
    return str(info.access_mode).rsplit(".", 1)[-1]


class Session:
    """One camera shown on the page."""

    def __init__(self, cam: korvalite.Camera, record_root: Path,
                 publish: Callable[[EncodedFrame], None], notify: Callable[[dict], None]) -> None:
        self.cam = cam
        self._record_root = record_root
        self._notify = notify
        self.slot = FrameSlot()
        self.recorder = Recorder()
        self.encoder = Encoder(self.slot, publish)
        self._acq: Any = None
        self._wanted_running = False
        self.lost: Optional[str] = None
        self._rate_mark: Optional[tuple[float, int, int]] = None
        self.events: "collections.deque[dict]" = collections.deque(maxlen=MAX_EVENTS)
        self._described: dict[str, dict] = {}  # the features as last compared by feature_changes
        self._event_handle: Any = None
        self._subscribe_events()

    # --- acquisition -------------------------------------------------------------------------

    def _on_frame(self, frame: Any) -> None:
        self.slot.put(frame)
        if self.recorder.active():
            self.recorder.offer(frame)

    def running(self) -> bool:
        return self._acq is not None and not self._acq.is_stopped()

    def start(self) -> None:
        if self.running():
            return
        self._close_acquisition()
        self._acq = self.cam.start_acquisition(n_buffers=N_BUFFERS, callback=self._on_frame)
        self._wanted_running = True
        self._rate_mark = None

    def stop(self) -> None:
        self._wanted_running = False
        self._close_acquisition()

    def _close_acquisition(self) -> None:
        acq, self._acq = self._acq, None
        if acq is not None:
            try:
                acq.stop()  # returns once the frame callback has returned for the last time
            except CameraFailure as error:
                _log.info("stopping the acquisition: %s", error)
        self.slot.clear()  # a snap or the cursor must not see a frame taken with the settings before

    def counters(self) -> dict:
        """Frame and byte rates since the previous call and the stream's loss counters."""
        out: dict = {"running": self.running(), "lost": self.lost, "recording": self.recorder.status()}
        if self.lost is None and not self.cam.is_connected():
            self._mark_lost("the camera's control was lost")
            out["lost"] = self.lost
        acq = self._acq
        if acq is None:
            return out
        try:
            stats = acq.stats()
        except CameraFailure as error:
            self._mark_lost(str(error))
            out["lost"] = self.lost
            return out
        now = time.monotonic()
        if self._rate_mark is not None:
            then, frames, data = self._rate_mark
            elapsed = now - then
            if elapsed > 0:
                out["fps"] = (stats.completed_frames - frames) / elapsed
                out["mbps"] = (stats.bytes - data) / elapsed / 1e6
        self._rate_mark = (now, stats.completed_frames, stats.bytes)
        for name in ("completed_frames", "failed_frames", "resent_packets", "frames_dropped", "underruns"):
            out[name] = getattr(stats, name)
        return out

    def _mark_lost(self, reason: str) -> None:
        self.lost = reason
        _log.error("the camera is gone: %s", reason)
        self._close_acquisition()

    def reconnect(self) -> None:
        """Connects again (after the camera was lost) and restarts the stream if it was running."""
        self._close_acquisition()
        try:
            self.cam.disconnect()
        except CameraFailure:
            pass
        self.cam.connect()
        self.lost = None
        self._subscribe_events()
        if self._wanted_running:
            self.start()

    def close(self) -> None:
        self.recorder.cancel()
        self._close_acquisition()
        if self._event_handle is not None:
            try:
                self._event_handle.cancel()
            except CameraFailure:
                pass
        self.encoder.stop()
        self.slot.close()

    # --- frames -------------------------------------------------------------------------------

    def snap_png(self) -> tuple[bytes, int, int]:
        """The newest frame of the running stream (or a fresh snap) as a PNG, with its size."""
        if self.running():
            newest = self.slot.newer_than(0, SNAP_TIMEOUT)
            if newest is None:
                raise ValueError(f"no frame arrived within {SNAP_TIMEOUT:g} s")
            frame = newest[1]
        else:
            frame = self.cam.snap(timeout=SNAP_TIMEOUT)
        return png_bytes_of(frame), frame.width, frame.height

    def pixel(self, x: int, y: int) -> Optional[list]:
        return pixel_value(self.slot.latest(), x, y)

    def record(self, count: int) -> dict:
        folder = self._record_root / time.strftime("recording-%Y%m%d-%H%M%S")
        suffix = 1
        while folder.exists():
            suffix += 1
            folder = folder.with_name(f"{folder.name.split('+')[0]}+{suffix}")
        self.recorder.start(folder, count)
        if not self.running():
            self.start()
        return self.recorder.status()

    # --- features -----------------------------------------------------------------------------

    def feature_tree(self) -> list[dict]:
        """Every node below Root, depth first, with what a control needs to show it."""
        out = []
        for depth, name in features.walk_tree(self.cam):
            if name == "Root":
                continue
            out.append(self.describe(name, depth - 1))
        return out

    def feature_changes(self, uncached: bool = False) -> list[dict]:
        """The features whose description (value, bounds, access, ...) differs from the previous
        call: every one the first time, none while the camera is gone. `uncached` reads every
        register from the camera again, to see what another program changed."""
        if self.lost is not None:
            return []
        if uncached:
            self.cam.invalidate_caches()
        current = {entry["name"]: entry for entry in self.feature_tree()}
        changed = [entry for name, entry in current.items() if self._described.get(name) != entry]
        self._described = current
        return changed

    def describe(self, name: str, depth: int = 0) -> dict:
        entry: dict = {"name": name, "depth": depth}
        try:
            info = self.cam.feature_info(name)
        except CameraFailure as error:
            entry.update(kind="unknown", error=str(error))
            return entry
        kind = features.feature_kind(self.cam, name)
        access = _access(info)
        if access == "RO" and info.locked_by and self.running():
            access = "RW"  # locked by the running stream only: written with the stream stopped
        entry.update(kind=kind, display_name=info.display_name or name, tooltip=info.tooltip or info.description,
                     unit=info.unit, visibility=_visibility(info), access=access,
                     available=bool(info.is_available and info.is_implemented))
        if kind in ("integer", "float", "number"):
            for key in ("min", "max", "inc"):
                try:
                    value = getattr(info, key)
                except CameraFailure:
                    value = None
                entry[key] = value
        if kind == "enumeration":
            entry["entries"] = [{"name": e.name, "display_name": e.display_name or e.name}
                                for e in info.entries if e.is_available]
        if kind in VALUE_KINDS and entry["access"] in ("RO", "RW"):
            try:
                entry["value"] = features.read_value(self.cam, name)
            except CameraFailure as error:
                entry["error"] = str(error)
        return entry

    def write(self, name: str, text: str) -> None:
        """A checked write of `text`, parsed by the feature's kind. A feature the running stream
        locks (such as Width) is written with the stream stopped, which then starts again."""
        try:
            features.write_value(self.cam, name, text)
            return
        except korvalite.GenicamError as error:
            if not (self.running() and "locked" in str(error)):
                raise
        with self._stream_paused():
            features.write_value(self.cam, name, text)

    def execute(self, name: str) -> None:
        if features.feature_kind(self.cam, name) != "command":
            raise ValueError(f"feature '{name}' is not a command")
        self.cam.execute(name)

    @contextlib.contextmanager
    def _stream_paused(self) -> Iterator[None]:
        """Stops the stream for the block if it runs (freeing the features it locks), then starts it again."""
        was_running = self.running()
        self._close_acquisition()
        try:
            yield
        finally:
            if was_running:
                self.start()

    def save_settings(self) -> str:
        """A settings file of the camera; the stream pauses, so the features it locks are saved too."""
        with tempfile.TemporaryDirectory(prefix="korvalite-view-") as folder, self._stream_paused():
            path = os.path.join(folder, "settings.txt")
            self.cam.save_features(path)
            return Path(path).read_text(encoding="utf-8")

    def load_settings(self, text: str) -> list[str]:
        """Applies a settings file with the stream paused; the lines that could not be applied,
        with their reasons. ValueError when the file as a whole is refused (not a settings file,
        not readable); CameraError when the camera fails meanwhile."""
        with tempfile.TemporaryDirectory(prefix="korvalite-view-") as folder:
            path = os.path.join(folder, "settings.txt")
            Path(path).write_text(text, encoding="utf-8")
            try:
                with self._stream_paused():
                    failures = self.cam.load_features(path, strict=False) or []
            except (korvalite.GenicamError, ValueError, OSError) as error:
                raise ValueError(str(error).replace(path, "the settings file")) from None
        return [str(f) for f in failures]

    # --- device events ------------------------------------------------------------------------

    def events_supported(self) -> bool:
        return hasattr(self.cam, "on_event")

    def _subscribe_events(self) -> None:
        if not self.events_supported():
            return
        if self._event_handle is not None:
            try:
                self._event_handle.cancel()
            except CameraFailure:
                pass
        try:
            self._event_handle = self.cam.on_event(self._on_event)
        except CameraFailure as error:
            _log.warning("device events are not shown: %s", error)
            self._event_handle = None

    def _on_event(self, event: Any) -> None:
        data = getattr(event, "data", b"") or b""
        record = {"type": "event", "id": getattr(event, "id", None), "name": getattr(event, "name", ""),
                  "timestamp": getattr(event, "timestamp", None),
                  "stream_channel": getattr(event, "stream_channel", None),
                  "block_id": getattr(event, "block_id", None),
                  "data": bytes(data).hex() if isinstance(data, (bytes, bytearray, memoryview)) else str(data)}
        self.events.append(record)
        self._notify(record)
