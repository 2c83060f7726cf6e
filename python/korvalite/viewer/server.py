"""The viewer's web server: the page, its WebSocket (frames, counters, events) and the requests
that read and write the camera.

Only the page this run served may change anything: every request carries the per-run token the
printed URL holds, and requests that write (POST, the WebSocket) must come from the server's own
origin. Camera calls run one at a time on the ``korvalite-viewer-camera`` thread, so the event
loop never waits for the camera.

Each page has one writer task, the only one that sends to it, so a page that stops reading holds
up nobody else. Frames are sent only when the page has shown the one before (it acknowledges
each), counters only as the newest, and device events through a queue of ``EVENT_BACKLOG`` per
page that drops the oldest when full and tells the page how many it missed. Events reach the
event loop through one bounded inbox (``INBOX_BACKLOG``, its overflow counted as missed by every
page), which wakes the loop once per batch rather than once per event.

Every page shows the camera's current feature values: after each request that may change them
(a write, a command, start or stop, a settings file, a reconnect), and every ``FEATURE_PERIOD``
while pages are open (for changes made by another program), the server reads the features again
and sends each page the ones that changed.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import hmac
import json
import logging
import secrets
import socket
import threading
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
FEATURE_PERIOD = 1.5  # seconds at least between reads of every feature while pages are open
CLOSE_WAIT = 2.0  # seconds a page has to take the closing message when the viewer stops
EVENT_BACKLOG = 256  # device events queued for one page; older ones are dropped
INBOX_BACKLOG = 4 * EVENT_BACKLOG  # device events the event loop has yet to hand to the pages


class BadRequest(ValueError):
    """A request the server does not accept."""




@dataclass(eq=False)  # kept in a set by identity
class _Page:
    """One connected page and what waits to be sent to it."""

    ws: web.WebSocketResponse
    transport: Optional[asyncio.Transport]
    wake: asyncio.Event = field(default_factory=asyncio.Event)
    credit: int = FRAME_CREDIT
    sent_seq: int = 0
    counters: Optional[dict] = None  # the newest counters not yet sent
    events: "collections.deque[dict]" = field(default_factory=lambda: collections.deque(maxlen=EVENT_BACKLOG))
    events_dropped: int = 0  # events this page never got, since it connected
    _gap: int = 0  # events dropped since the last batch sent
    features: dict = field(default_factory=dict)  # changed features not yet sent, by name

    def offer_features(self, entries: list) -> None:
        self.features.update((entry["name"], entry) for entry in entries)
        self.wake.set()

    def offer_events(self, records: list, lost: int) -> None:
        """Queues `records` after `lost` events that never reached the queue; the oldest go when it is full."""
        overflow = max(0, len(self.events) + len(records) - EVENT_BACKLOG) + lost
        self.events.extend(records)
        self.events_dropped += overflow
        self._gap += overflow
        self.wake.set()

    def take_events(self) -> Optional[dict]:
        """The queued events as one message, with how many were dropped just before them."""
        if not self.events and not self._gap:
            return None
        message = {"type": "events", "events": list(self.events), "dropped": self._gap}
        self.events.clear()
        self._gap = 0
        return message

    def stats(self) -> dict:
        return {"events_queued": len(self.events), "events_dropped": self.events_dropped,
                "event_backlog": EVENT_BACKLOG}


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
        self._feature_task: Optional[asyncio.Task] = None
        self._inbox: "collections.deque[dict]" = collections.deque(maxlen=INBOX_BACKLOG)
        self._inbox_lock = threading.Lock()
        self._inbox_lost = 0
        self._inbox_woken = False
        self._record_root = record_root
        self.session: Optional[Session] = None
        self.url = ""

    # --- life cycle ---------------------------------------------------------------------------

    async def start(self, host: str, port: int) -> str:
        """Starts the acquisition and serves the page; returns the page's URL (with the token)."""
        self._loop = asyncio.get_running_loop()
        self.session = await self._call(Session, self.cam, self._record_root, self._frame_ready, self._event_ready)
        await self._call(self.session.start)
        await self._call(self.session.feature_changes)  # what the pages will be sent changes against
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
        self._feature_task = asyncio.ensure_future(self._watch_features())
        return self.url

    async def close(self) -> None:
        for task in (self._counter_task, self._feature_task):
            if task is not None:
                task.cancel()
        pages = list(self._pages)
        closed = await asyncio.gather(*(asyncio.wait_for(page.ws.close(), CLOSE_WAIT) for page in pages),
                                      return_exceptions=True)
        for page, result in zip(pages, closed):
            if isinstance(result, BaseException) and page.transport is not None:
                page.transport.abort()  # a page that stopped reading never takes the closing message
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
            await self._push_features()  # a refused write may still have paused the stream
            return web.json_response({"ok": False, "error": str(error), "feature": current}, status=422)
        await self._push_features()
        return web.json_response({"ok": True, "feature": await self._call(self.session.describe, name)})

    async def _execute(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        name = await self._known(self._name(await self._body(request)))
        await self._call(self.session.execute, name)
        await self._push_features()
        return web.json_response({"ok": True})

    async def _acquisition(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        action = (await self._body(request)).get("action")
        if action not in ("start", "stop"):
            raise BadRequest(f"action must be start or stop, not {action!r}")
        await self._call(self.session.start if action == "start" else self.session.stop)
        await self._push_features()  # the features the stream locks change their access
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
        await self._push_features()
        return web.json_response({"ok": not failures, "failures": failures})

    async def _reconnect(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        await self._call(self.session.reconnect)
        await self._push_features()
        return web.json_response({"ok": True})

    # --- the WebSocket ------------------------------------------------------------------------

    async def _websocket(self, request: web.Request) -> web.StreamResponse:
        assert self.session is not None
        ws = web.WebSocketResponse(heartbeat=10.0, max_msg_size=4096)
        await ws.prepare(request)
        page = _Page(ws, request.transport)
        self._pages.add(page)
        info = await self._call(self._camera_text)
        await self._send(page, {"type": "hello", "camera": info, "events_supported": self.session.events_supported(),
                                "events": list(self.session.events)})
        writer = asyncio.ensure_future(self._write_page(page))
        page.wake.set()  # a frame, counters or events may be waiting already
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT and message.data == "ack":
                    page.credit = min(FRAME_CREDIT, page.credit + 1)
                    page.wake.set()
        finally:
            writer.cancel()
            self._pages.discard(page)
        return ws

    def page_stats(self) -> list[dict]:
        """For each connected page: the device events queued for it, the bound of that queue and
        how many it was not sent. Call it on the event loop."""
        return [page.stats() for page in self._pages]

    def _camera_text(self) -> str:
        try:
            info = self.cam.device_info()
            return f"{info.manufacturer} {info.model} ({info.serial}) at {info.ip}"
        except CameraFailure:
            return repr(self.cam)

    async def _send(self, page: _Page, message: dict, data: Optional[bytes] = None) -> None:
        """Sends on the page's socket; only the page's writer task calls it once that has started.
        Waits while the socket's buffer is full, which is what stalls a page that stops reading."""
        if page.ws.closed:
            return
        try:
            await page.ws.send_str(json.dumps(message))
            if data is not None:
                await page.ws.send_bytes(data)
        except (ConnectionError, RuntimeError):
            pass  # the tab went away; its handler cleans up

    async def _write_page(self, page: _Page) -> None:
        """Sends the page what waits for it whenever woken: a frame if it has room, the newest
        counters, then the queued events as one message."""
        while not page.ws.closed:
            await page.wake.wait()
            page.wake.clear()
            frame = self._latest
            if frame is not None and page.credit > 0 and frame.seq > page.sent_seq:
                page.credit -= 1
                page.sent_seq = frame.seq
                await self._send(page, {"type": "frame", "frame_id": frame.frame_id, "width": frame.width,
                                        "height": frame.height, "pixel_format": frame.pixel_format,
                                        "histogram": frame.histogram}, frame.jpeg)
            counters, page.counters = page.counters, None
            if counters is not None:
                await self._send(page, {**counters, "events_dropped": page.events_dropped})
            changed, page.features = page.features, {}
            if changed:
                await self._send(page, {"type": "features", "features": list(changed.values())})
            events = page.take_events()
            if events is not None:
                await self._send(page, events)

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
        """Called on the thread that delivers device events: puts the event into the inbox and
        wakes the event loop once for all the events that come until it has taken them."""
        loop = self._loop
        if loop is None or loop.is_closed():
            return
        with self._inbox_lock:
            if len(self._inbox) == INBOX_BACKLOG:
                self._inbox_lost += 1
            self._inbox.append(record)
            if self._inbox_woken:
                return
            self._inbox_woken = True
        try:
            loop.call_soon_threadsafe(self._deliver_events)
        except RuntimeError:
            pass  # the loop closed meanwhile

    def _deliver_events(self) -> None:
        with self._inbox_lock:
            records = list(self._inbox)
            self._inbox.clear()
            lost, self._inbox_lost = self._inbox_lost, 0
            self._inbox_woken = False
        for page in self._pages:
            page.offer_events(records, lost)

    async def _push_features(self, uncached: bool = False) -> None:
        """Reads every feature again and queues the changed ones for every page. The reads run
        one at a time on the camera thread and their results are queued in that order, so a
        page never gets an older value after a newer one."""
        assert self.session is not None
        try:
            changed = await self._call(self.session.feature_changes, uncached)
        except CameraFailure as error:
            _log.info("reading the features: %s", error)
            return
        if changed:
            for page in self._pages:
                page.offer_features(changed)

    async def _watch_features(self) -> None:
        """Picks up changes made by other programs: reads the features every FEATURE_PERIOD while
        pages are open, waiting at least twice as long as a read took, so a camera with many
        features is not kept busy."""
        loop = asyncio.get_running_loop()
        pause = FEATURE_PERIOD
        while True:
            await asyncio.sleep(pause)
            if not self._pages:
                continue
            began = loop.time()
            try:
                await self._push_features(uncached=True)
            except Exception:  # noqa: BLE001 - the values must keep coming
                _log.exception("reading the features")
            pause = max(FEATURE_PERIOD, 2 * (loop.time() - began))

    async def _push_counters(self) -> None:
        assert self.session is not None
        while True:
            await asyncio.sleep(COUNTER_PERIOD)
            try:
                counters = await self._call(self.session.counters)
            except Exception:  # noqa: BLE001 - counters must keep coming
                _log.exception("reading the counters")
                continue
            message = {"type": "counters", **counters}
            for page in self._pages:
                page.counters = message
                page.wake.set()


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
