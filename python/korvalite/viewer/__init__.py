"""``korvalite view``: a live view of a camera in the browser, with its features, counters,
histogram, snapshots, recordings, settings files and device events. ``run_view`` is what the
command line calls; ``server.Viewer`` is the server itself."""

from __future__ import annotations

import contextlib
import sys
import webbrowser
from pathlib import Path
from typing import Optional

import korvalite

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")


def run_view(ip: Optional[str], host: str = "127.0.0.1", port: int = 0, open_browser: bool = False,
             record_dir: str = ".", gvcp_timeout: float = 0.5) -> int:
    """Serves the page for the camera at `ip` (or a simulated one) until Ctrl-C."""
    try:
        from . import server  # noqa: PLC0415
    except ImportError as error:
        raise korvalite.CameraError(
            f"korvalite view needs aiohttp, Pillow and numpy ({error}); install them with "
            "`pip install aiohttp pillow numpy`") from None
    if host not in LOOPBACK_HOSTS:
        print(f"warning: listening on {host}: the page has no login; anyone who can reach this address "
              "and learns the printed URL can change the camera", file=sys.stderr)
    with contextlib.ExitStack() as stack:
        if ip is None:
            from ..demo import _simulated_camera  # noqa: PLC0415

            sim = _simulated_camera()
            stack.callback(sim.__exit__, None, None, None)
            ip = sim.address
            print(f"no camera address given: started a simulated camera at {ip}")
        cam = korvalite.Camera(ip, gvcp_timeout=gvcp_timeout)
        cam.connect()
        stack.callback(cam.disconnect)

        def announce(url: str) -> None:
            print(f"viewing {ip} at {url}")
            print("press Ctrl-C to stop", flush=True)
            if open_browser:
                webbrowser.open(url)

        server.serve(cam, host, port, Path(record_dir).resolve(), announce)
    print("viewer stopped")
    return 0
