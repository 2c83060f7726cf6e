"""The viewer under a flood of device events with pages that stop reading: each page's queue
stays bounded and counts what it drops, a reading page keeps getting frames and counters, and a
page that reads again learns how many events it missed. The viewer runs in this test's event
loop; the stalled pages are raw sockets that never read after the WebSocket handshake."""

import asyncio
import base64
import json
import socket
import threading
import time

import pytest

pytest.importorskip("aiohttp", reason="the viewer needs aiohttp")
pytest.importorskip("PIL", reason="the viewer needs Pillow")

import aiohttp  # noqa: E402

pytestmark = pytest.mark.timeout(120)

STALLED = 3
FLOOD_EVENTS = 200_000  # the most events the flood sends
FLOOD_SECONDS = 30.0  # and the longest it runs
FLOOD_RATE = 20_000  # events per second it aims at
WAIT = 20.0  # seconds any one thing may take


def flood(sim, stop):
    """Sends device events at about FLOOD_RATE per second until `stop` or a bound is reached."""
    sent, start = 0, time.monotonic()
    while not stop.is_set() and sent < FLOOD_EVENTS and time.monotonic() - start < FLOOD_SECONDS:
        for _ in range(200):
            sim.send_event(0x4001, block_id=sent & 0xFFFF)
            sent += 1
        time.sleep(max(0.0, start + sent / FLOOD_RATE - time.monotonic()))


class StalledPage:
    """A WebSocket that takes the handshake's answer and then reads nothing until told to."""

    def __init__(self, sock):
        self.sock = sock
        self._buffer = b""

    @classmethod
    async def open(cls, url):
        host, port = url.split("://", 1)[1].split("/", 1)[0].rsplit(":", 1)
        token = url.split("token=", 1)[1]
        loop = asyncio.get_running_loop()
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # a small window fills soon
        sock.setblocking(False)
        await loop.sock_connect(sock, (host, int(port)))
        await loop.sock_sendall(sock, (
            f"GET /ws?token={token} HTTP/1.1\r\nHost: {host}:{port}\r\nOrigin: http://{host}:{port}\r\n"
            "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            f"Sec-WebSocket-Key: {base64.b64encode(b'korvalite-stall!').decode()}\r\n\r\n").encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            answer += await asyncio.wait_for(loop.sock_recv(sock, 1), WAIT)  # not a byte past the answer
        assert answer.startswith(b"HTTP/1.1 101 "), answer
        return cls(sock)

    async def next_text(self):
        """The next text message (a JSON object), reading the socket again."""
        loop = asyncio.get_running_loop()
        while True:
            if len(self._buffer) >= 2:
                length, start = self._buffer[1] & 0x7F, 2
                if length >= 126:
                    start = 4 if length == 126 else 10
                    length = int.from_bytes(self._buffer[2:start], "big") if len(self._buffer) >= start else 1 << 62
                if len(self._buffer) >= start + length:
                    opcode, payload = self._buffer[0] & 0x0F, self._buffer[start:start + length]
                    self._buffer = self._buffer[start + length:]
                    if opcode == 1:
                        return json.loads(payload)
                    continue
            received = await asyncio.wait_for(loop.sock_recv(self.sock, 1 << 16), WAIT)
            assert received, "the server closed the page"
            self._buffer += received

    async def wait_for(self, wanted):
        """The first text message for which `wanted(message)` is true."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + WAIT
        while loop.time() < deadline:
            message = await self.next_text()
            if wanted(message):
                return message
        raise AssertionError("the page did not get the message it waited for")

    def close(self):
        self.sock.close()


def test_pages_that_stop_reading_get_bounded_queues_and_a_reading_page_keeps_its_updates(rig, free_ip, tmp_path):
    from korvalite.viewer.server import Viewer

    sim, cam = rig(free_ip(), frame_rate=30.0)
    stop = threading.Event()

    async def scenario():
        viewer = Viewer(cam, tmp_path)
        url = await viewer.start("127.0.0.1", 0)
        origin = url.split("/?", 1)[0]
        stalled, got = [], []  # got: (type, moment) of what the reading page received
        session = aiohttp.ClientSession()
        flooding = threading.Thread(target=flood, args=(sim, stop), daemon=True)
        reader = None
        most_tasks = 0
        try:
            for _ in range(STALLED):
                stalled.append(await StalledPage.open(url))
            ws = await session.ws_connect(origin + "/ws?token=" + viewer.token, headers={"Origin": origin})

            async def read():
                async for message in ws:
                    if message.type == aiohttp.WSMsgType.BINARY:
                        got.append(("frame", time.monotonic()))
                        await ws.send_str("ack")
                    elif message.type == aiohttp.WSMsgType.TEXT:
                        got.append((json.loads(message.data)["type"], time.monotonic()))

            reader = asyncio.ensure_future(read())
            flooding.start()
            # Until every stalled page has dropped events and a full queue's worth more came since.
            deadline = time.monotonic() + WAIT
            while True:
                most_tasks = max(most_tasks, len(asyncio.all_tasks()))
                stats = viewer.page_stats()
                assert all(s["events_queued"] <= s["event_backlog"] for s in stats), stats
                if sum(s["events_dropped"] > 2 * s["event_backlog"] for s in stats) >= STALLED:
                    break
                assert time.monotonic() < deadline, f"the stalled pages dropped no events: {stats}"
                await asyncio.sleep(0.05)
            overloaded = time.monotonic()
            # The reading page still gets frames and counters while the flood goes on.
            while sum(t > overloaded for kind, t in got if kind == "frame") < 3 or \
                    sum(t > overloaded for kind, t in got if kind == "counters") < 2:
                most_tasks = max(most_tasks, len(asyncio.all_tasks()))
                assert time.monotonic() < overloaded + WAIT, f"the reading page went short: {got[-20:]}"
                assert all(s["events_queued"] <= s["event_backlog"] for s in viewer.page_stats())
                await asyncio.sleep(0.05)
            assert flooding.is_alive()  # all of this happened under the flood
            assert "events" in {kind for kind, _ in got}
            # No task per event: the server's tasks are a few per page, whatever the event rate.
            assert most_tasks < 4 * (STALLED + 1) + 6, most_tasks
            # A stalled page that reads again is told how many events it missed.
            stop.set()
            gap = await stalled[0].wait_for(lambda m: m["type"] == "events" and m["dropped"] > 0)
            counters = await stalled[0].wait_for(lambda m: m["type"] == "counters")
            assert counters["events_dropped"] >= gap["dropped"]
        finally:
            stop.set()
            if reader is not None:
                reader.cancel()
            await session.close()
            await viewer.close()  # with pages that never read: bounded by the close wait
            for page in stalled:
                page.close()
        if flooding.is_alive():
            flooding.join(WAIT)

    asyncio.run(scenario())
