"""The guided tour behind ``make demo``: connect, look around, configure, snap a PNG, stream for
three seconds with a live progress line, clean up, and point to ``korvalite view``. Without ``ip`` it starts a simulated
camera on a loopback address first."""

from __future__ import annotations

import contextlib
import sys
from pathlib import Path

import korvalite

from . import features
from ._progress import run_stream, stream_counters
from .images import save_frame

DEMO_ADDRESSES = [f"127.0.0.{n}" for n in range(5, 15)]


def _simulated_camera():
    """A started simulated camera on the first free loopback address, as a context manager."""
    from .sim import SimulatedCamera  # noqa: PLC0415

    last_error = None
    for address in DEMO_ADDRESSES:
        # A 640x480 sensor: the tour's 640x480 window, and the viewer, show the whole scene.
        sim = SimulatedCamera(address, serial="DEMO0001", frame_rate=30.0, sensor_width=640, sensor_height=480)
        try:
            sim.__enter__()
        except (OSError, RuntimeError, ValueError) as error:  # address taken: try the next one
            last_error = error
            continue
        return sim
    raise RuntimeError(f"no free loopback address for the simulated camera: {last_error}")


def _section(title: str) -> None:
    print(f"\n== {title}")


def _short_tree(cam, limit: int = 24) -> None:
    shown = 0
    for depth, name in features.walk_tree(cam):
        if depth > 2:
            continue
        print("  " * depth + features.describe(cam, name, with_value=True))
        shown += 1
        if shown >= limit:
            print("  ...")
            break


def run_demo(ip: str | None = None, out_dir: str | Path = ".") -> int:
    """The tour against the camera at ``ip``, or a simulated one; the PNG goes to ``out_dir``."""
    out = Path(out_dir).resolve()
    out.mkdir(parents=True, exist_ok=True)
    with contextlib.ExitStack() as stack:
        if ip is None:
            sim = _simulated_camera()
            stack.callback(print, f"stopped the simulated camera at {sim.address}")
            stack.callback(sim.__exit__, None, None, None)
            ip = sim.address
            print(f"started a simulated camera at {ip}")
        cam = korvalite.Camera(ip)
        _section("connect")
        cam.connect()
        stack.callback(print, "disconnected")
        stack.callback(cam.disconnect)
        print(repr(cam))
        print(cam.device_info())
        _section("features")
        _short_tree(cam)
        _section("configure")
        for name, value in (("PixelFormat", "Mono8"), ("Width", 640), ("Height", 480)):
            if not cam.has_feature(name):
                continue
            try:
                if isinstance(value, str):
                    cam.set_enum(name, value)
                else:
                    cam.set_integer(name, value)
                print(f"{name} = {value}")
            except (korvalite.CameraError, korvalite.GenicamError) as error:
                print(f"{name}: not set ({error})")
        _section("snap")
        frame = cam.snap()
        print(repr(frame))
        path = save_frame(frame, out / "korvalite-snap.png")
        print(f"saved {path}")
        _section("stream for 3 seconds")
        stats = run_stream(cam, 3.0)
        print("stopped the acquisition")
        print(stream_counters(stats))  # the counters that are not zero
        _section("done")
        print(f"link: {cam.link_stats()}")
        print("next: `korvalite view` shows a camera live in the browser (a simulated one without an IP): "
              "turn exposure, gain and ROI while you watch, then save the settings for your program")
    return 0


if __name__ == "__main__":
    sys.exit(run_demo(*sys.argv[1:2]))
