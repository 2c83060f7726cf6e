"""The viewer's web server: the page, its WebSocket (frames, counters, events) and the requests
that read and write the camera.

Only the page this run served may change anything: every request carries the per-run token the
printed URL holds, and requests that write (POST, the WebSocket) must come from the server's own
origin. Camera calls run one at a time on the ``korvalite-viewer-camera`` thread, so the event
loop never waits for the camera; frames are pushed to a page only when it has shown the one
before (it acknowledges each), so a slow browser skips frames instead of queueing them.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import hmac
import json
import logging
import secrets
import socket
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

from aiohttp import WSMsgType, web

import korvalite

from .session import CameraFailure, Session
from .stream import EncodedFrame

_log = logging.getLogger("korvalite.viewer")

STATIC = Path(__file__).resolve().parent / "static"
TOKEN_HEADER = "X-Korvalite-Token"
COUNTER_PERIOD = 0.5  # seconds between counter updates on the page
FRAME_CREDIT = 2  # frames a page may have in flight before it acknowledges one
MAX_NAME = 128
MAX_VALUE = 4096
MAX_RECORD = 10000
MAX_SETTINGS = 1 << 20
MAX_BODY = MAX_SETTINGS + 4096
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1  # what an integer feature holds


class BadRequest(ValueError):
    """A request the server does not accept."""


@dataclass(eq=False)  # kept in a set by identity
class _Page:
    """One connected page."""

    ws: web.WebSocketResponse
    wake: asyncio.Event = field(default_factory=asyncio.Event)
    send_lock: asyncio.Lock = field(default_factory=asyncio.Lock)
    credit: int = FRAME_CREDIT
    sent_seq: int = 0


class Viewer:
    """The server for one camera; `start` serves it, `close` ends everything it started."""

    def __init__(self, cam: korvalite.Camera, record_root: Path, token: Optional[str] = None) -> None:
        self.cam = cam
        self.token = token or secrets.token_urlsafe(18)
        self._camera_thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="korvalite-viewer-camera")
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._pages: set[_Page] = set()
        self._latest: Optional[EncodedFrame] = None
        self._runner: Optional[web.AppRunner] = None
        self._counter_task: Optional[asyncio.Task] = None
        self._record_root = record_root
        self.session: Optional[Session] = None
        self.url = ""

    # --- life cycle ---------------------------------------------------------------------------

    async def start(self, host: str, port: int) -> str:
        """Starts the acquisition and serves the page; returns the page's URL (with the token)."""
        self._loop = asyncio.get_running_loop()
        self.session = await self._call(Session, self.cam, self._record_root, self._frame_ready, self._event_ready)
        await self._call(self.session.start)
        app = web.Application(middlewares=[self._guard], client_max_size=MAX_BODY)
        app.add_routes([
            web.get("/", self._index),
            web.static("/static", STATIC),
            web.get("/ws", self._websocket),
            web.get("/api/features", self._features),
            web.post("/api/feature", self._write),
            web.post("/api/execute", self._execute),
            web.post("/api/acquisition", self._acquisition),
            web.post("/api/record", self._record),
            web.get("/api/snap.png", self._snap),
            web.get("/api/pixel", self._pixel),
            web.get("/api/settings", self._save_settings),
            web.post("/api/settings", self._load_settings),
            web.post("/api/reconnect", self._reconnect),
        ])
        self._runner = web.AppRunner(app, handle_signals=False, access_log=None)
        await self._runner.setup()
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((host, port))
        except OSError as error:
            sock.close()
            raise OSError(error.errno, f"cannot listen on {host} port {port}: {error.strerror}") from None
        site = web.SockSite(self._runner, sock)
        await site.start()
        bound = sock.getsockname()[1]
        shown = socket.gethostname() if host in ("0.0.0.0", "::") else host
        shown = f"[{shown}]" if ":" in shown else shown
        self.url = f"http://{shown}:{bound}/?token={self.token}"
        self._counter_task = asyncio.ensure_future(self._push_counters())
        return self.url

    async def close(self) -> None:
        if self._counter_task is not None:
            self._counter_task.cancel()
        for page in list(self._pages):
            await page.ws.close()
        if self._runner is not None:
            await self._runner.cleanup()
        if self.session is not None:
            await self._call(self.session.close)
        self._camera_thread.shutdown(wait=True)

    async def _call(self, fn: Callable[..., Any], *args: Any) -> Any:
        assert self._loop is not None
        return await self._loop.run_in_executor(self._camera_thread, fn, *args)

    # --- checks on every request --------------------------------------------------------------

    @web.middleware
    async def _guard(self, request: web.Request, handler: Callable) -> web.StreamResponse:
        if request.path.startswith("/static/"):
            return await handler(request)
        given = request.query.get("token") or request.headers.get(TOKEN_HEADER) or ""
        if not hmac.compare_digest(given.encode(), self.token.encode()):
            return web.json_response({"ok": False, "error": "this page needs the URL korvalite view printed"},
                                     status=403)
        if request.method != "GET" or request.path == "/ws":
            origin = request.headers.get("Origin")
            if origin != f"{request.scheme}://{request.host}":
                return web.json_response({"ok": False, "error": f"requests from {origin or 'no origin'} are refused"},
                                         status=403)
        try:
            return await handler(request)
        except BadRequest as error:
            return web.json_response({"ok": False, "error": str(error)}, status=400)
        except (ValueError, *CameraFailure) as error:
            return web.json_response({"ok": False, "error": str(error)}, status=422)

    async def _body(self, request: web.Request) -> dict:
        try:
            body = await request.json()
        except web.HTTPRequestEntityTooLarge:
            raise BadRequest(f"the request body is larger than {MAX_BODY} bytes") from None
        except (ValueError, UnicodeDecodeError):
            raise BadRequest("the request body is not JSON") from None
        except RecursionError:
            raise BadRequest("the request body is nested too deeply") from None
        if not isinstance(body, dict):
            raise BadRequest("the request body is not a JSON object")
        return body

    def _name(self, body: dict) -> str:
        name = body.get("name")
        if not isinstance(name, str) or not name or len(name) > MAX_NAME or not name.replace("_", "a").isalnum():
            raise BadRequest(f"not a feature name: {name!r}")
        return name

    async def _known(self, name: str) -> str:
        if not await self._call(self.cam.has_feature, name):
            raise BadRequest(f"the camera has no feature '{name}'")
        return name

    def _int_query(self, request: web.Request, key: str) -> int:
        try:
            return int(request.query.get(key, ""))
        except ValueError:
            raise BadRequest(f"{key} must be an integer") from None

    # --- the page and its requests ------------------------------------------------------------

    async def _index(self, request: web.Request) -> web.StreamResponse:
        return web.FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-store"})

    async def _features(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        tree = await self._call(self.session.feature_tree)
        return web.json_response({"ok": True, "features": tree})

    async def _write(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        body = await self._body(request)
        name = await self._known(self._name(body))
        value = body.get("value")
        if isinstance(value, bool):
            value = "true" if value else "false"
        elif isinstance(value, int):
            if not INT64_MIN <= value <= INT64_MAX:
                raise BadRequest(f"the value for {name} is out of the 64-bit integer range: {value}")
            value = repr(value)
        elif isinstance(value, float):
            value = repr(value)
        if not isinstance(value, str) or len(value) > MAX_VALUE:
            raise BadRequest(f"not a value for {name}: {value!r}")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise BadRequest(f"the value for {name} is not valid Unicode text") from None
        try:
            await self._call(self.session.write, name, value)
        except (ValueError, *CameraFailure) as error:
            current = await self._call(self.session.describe, name)
            return web.json_response({"ok": False, "error": str(error), "feature": current}, status=422)
        return web.json_response({"ok": True, "feature": await self._call(self.session.describe, name)})

    async def _execute(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        name = await self._known(self._name(await self._body(request)))
        await self._call(self.session.execute, name)
        return web.json_response({"ok": True})

    async def _acquisition(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        action = (await self._body(request)).get("action")
        if action not in ("start", "stop"):
            raise BadRequest(f"action must be start or stop, not {action!r}")
        await self._call(self.session.start if action == "start" else self.session.stop)
        return web.json_response({"ok": True, "running": action == "start"})

    async def _record(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        count = (await self._body(request)).get("count")
        if not isinstance(count, int) or isinstance(count, bool) or not 1 <= count <= MAX_RECORD:
            raise BadRequest(f"count must be a whole number from 1 to {MAX_RECORD}, not {count!r}")
        status = await self._call(self.session.record, count)
        return web.json_response({"ok": True, "recording": status})

    async def _snap(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        png, width, height = await self._call(self.session.snap_png)
        name = f"korvalite-snap-{width}x{height}.png"
        return web.Response(body=png, content_type="image/png",
                            headers={"Content-Disposition": f'attachment; filename="{name}"',
                                     "Cache-Control": "no-store"})

    async def _pixel(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        x, y = self._int_query(request, "x"), self._int_query(request, "y")
        value = await self._call(self.session.pixel, x, y)
        return web.json_response({"ok": True, "x": x, "y": y, "value": value})

    async def _save_settings(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        text = await self._call(self.session.save_settings)
        return web.Response(text=text, content_type="text/plain", charset="utf-8",
                            headers={"Content-Disposition": 'attachment; filename="korvalite-settings.txt"'})

    async def _load_settings(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        too_large = BadRequest(f"the settings file is larger than {MAX_SETTINGS} bytes")
        try:
            raw = await request.read()
        except web.HTTPRequestEntityTooLarge:
            raise too_large from None
        if len(raw) > MAX_SETTINGS:
            raise too_large
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise BadRequest("the settings file is not UTF-8 text") from None
        try:
            failures = await self._call(self.session.load_settings, text)
        except ValueError as error:  # the file, not the camera: not a settings file, or unreadable
            raise BadRequest(str(error)) from None
        return web.json_response({"ok": not failures, "failures": failures})

    async def _reconnect(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        await self._call(self.session.reconnect)
        return web.json_response({"ok": True})

    # --- the WebSocket ------------------------------------------------------------------------

    async def _websocket(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        ws = web.WebSocketResponse(heartbeat=10.0, max_msg_size=4096)
        await ws.prepare(request)
        page = _Page(ws)
        self._pages.add(page)
        info = await self._call(self._camera_text)
        await self._send(page, {"type": "hello", "camera": info, "events_supported": self.session.events_supported(),
                                "events": list(self.session.events)})
        sender = asyncio.ensure_future(self._push_frames(page))
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT and message.data == "ack":
                    page.credit = min(FRAME_CREDIT, page.credit + 1)
                    page.wake.set()
        finally:
            sender.cancel()
            self._pages.discard(page)
        return ws

    def _camera_text(self) -> str:
        try:
            info = self.cam.device_info()
            return f"{info.manufacturer} {info.model} ({info.serial}) at {info.ip}"
        except CameraFailure:
            return repr(self.cam)

    async def _send(self, page: _Page, message: dict, data: Optional[bytes] = None) -> None:
        async with page.send_lock:
            if page.ws.closed:
                return
            try:
                await page.ws.send_str(json.dumps(message))
                if data is not None:
                    await page.ws.send_bytes(data)
            except (ConnectionError, RuntimeError):
                pass  # the tab went away; its handler cleans up

    async def _push_frames(self, page: _Page) -> None:
        while not page.ws.closed:
            await page.wake.wait()
            page.wake.clear()
            frame = self._latest
            if frame is None or page.credit <= 0 or frame.seq <= page.sent_seq:
                continue
            page.credit -= 1
            page.sent_seq = frame.seq
            await self._send(page, {"type": "frame", "frame_id": frame.frame_id, "width": frame.width,
                                    "height": frame.height, "pixel_format": frame.pixel_format,
                                    "histogram": frame.histogram}, frame.jpeg)

    def _frame_ready(self, frame: EncodedFrame) -> None:
        """Called on the encoder thread."""
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._show, frame)
            except RuntimeError:
                pass  # the loop closed meanwhile

    def _show(self, frame: EncodedFrame) -> None:
        self._latest = frame
        for page in self._pages:
            page.wake.set()

    def _event_ready(self, record: dict) -> None:
        """Called on the thread that delivers device events."""
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(lambda: asyncio.ensure_future(self._broadcast(record)))
            except RuntimeError:
                pass

    async def _broadcast(self, message: dict) -> None:
        for page in list(self._pages):
            await self._send(page, message)

    async def _push_counters(self) -> None:
        assert self.session is not None
        while True:
            await asyncio.sleep(COUNTER_PERIOD)
            try:
                counters = await self._call(self.session.counters)
            except Exception:  # noqa: BLE001 - counters must keep coming
                _log.exception("reading the counters")
                continue
            await self._broadcast({"type": "counters", **counters})


def serve(cam: korvalite.Camera, host: str, port: int, record_root: Path,
          announce: Callable[[str], None]) -> None:
    """Serves the viewer until Ctrl-C (or SIGTERM), then stops the stream and the server."""
    import signal  # noqa: PLC0415

    loop = asyncio.new_event_loop()
    viewer = Viewer(cam, record_root)
    stopped = asyncio.Event()
    try:
        announce(loop.run_until_complete(viewer.start(host, port)))
        loop.add_signal_handler(signal.SIGTERM, stopped.set)
        loop.run_until_complete(stopped.wait())
    except KeyboardInterrupt:
        pass
    finally:
        loop.run_until_complete(viewer.close())
        loop.close()
