"""Device events from the simulated camera: the message channel, subscriptions, callbacks and
asyncio waits, names from the description, timestamps as the frames have them, and the event
features that read the newest event."""

import asyncio
import logging
import threading

import pytest

import korvalite
from capture_rig import wait_until
from korvalite.sim import BOOTSTRAP_REGISTERS as BOOT

NONE_LEFT = 0.3  # seconds to wait for an event that must not come


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def notify(cam, *events):
    for name in events:
        cam.set_enum("EventSelector", name)
        cam.set_enum("EventNotification", "On")


def software_triggered(cam):
    cam.set_enum("TriggerSelector", "FrameStart")
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", "Software")


def test_frame_events_carry_the_frame_timestamps_and_feed_the_event_features(rig, ip):
    sim, cam = rig(ip)
    for feature in ("EventExposureEndTimestamp", "EventFrameStartFrameID"):
        with pytest.raises(korvalite.GenicamException, match="not available"):
            cam.get_integer(feature)  # no such event has arrived yet
    software_triggered(cam)
    notify(cam, "ExposureEnd", "FrameStart")
    tenths_of_us = round(cam.get_float("ExposureTime") * 10)  # the exposure register's unit
    exposure_ticks = tenths_of_us * cam.get_integer("GevTimestampTickFrequency") // 10_000_000
    with cam.events() as events, cam.start_acquisition() as acq:
        assert sim.read_register(BOOT["MessageChannelPort"]) != 0  # the message channel is open
        cam.execute("TriggerSoftware")
        frame = acq.wait_for(5.0)
        got = {e.name: e for e in (events.wait_for(5.0), events.wait_for(5.0))}
        assert events.wait_for(NONE_LEFT) is None  # one of each per frame
    start, end = got["FrameStart"], got["ExposureEnd"]
    assert (start.id, end.id) == (cam.get_integer("EventFrameStart"), cam.get_integer("EventExposureEnd"))
    assert (start.timestamp, end.timestamp) == (frame.timestamp_ticks, frame.timestamp_ticks + exposure_ticks)
    assert start.block_id == end.block_id == frame.frame_id & 0xFFFF
    assert (start.stream_channel, start.data) == (0, b"")
    assert cam.get_integer("EventFrameStartTimestamp") == start.timestamp
    assert cam.get_integer("EventExposureEndTimestamp") == end.timestamp
    assert cam.get_integer("EventExposureEndFrameID") == end.block_id
    assert repr(end).startswith(f"Event(id={end.id:#06x}, name=\"ExposureEnd\", timestamp={end.timestamp},")


def test_only_notified_events_arrive_and_eventdata_keeps_its_bytes(rig, ip):
    sim, cam = rig(ip)
    notify(cam, "ExposureEnd")
    with cam.events() as events:
        with cam.start_acquisition():
            assert {events.wait_for(5.0).name for _ in range(3)} == {"ExposureEnd"}
        cam.set_enum("EventNotification", "Off")  # the selector still says ExposureEnd
        while events.wait_for(NONE_LEFT) is not None:
            pass  # those of the last frames
        sim.send_event(0x4321, b"\x01\x02\x03\x04", block_id=7, timestamp=99)
        event = events.wait_for(5.0)
    got = (event.id, event.name, event.data, event.block_id, event.timestamp)
    assert got == (0x4321, None, b"\x01\x02\x03\x04", 7, 99)


def test_closed_subscriptions_end_iteration_and_waits(rig, ip):
    sim, cam = rig(ip)
    events = cam.events()
    threading.Timer(0.2, events.close).start()
    assert list(events) == []  # iteration ends within a slice of the close
    assert events.closed and events.wait_for(0) is None
    with pytest.raises(ValueError, match="capacity"):
        cam.events(capacity=0)


def test_on_event_calls_back_in_order_on_one_thread_and_logs_exceptions(rig, ip, caplog):
    sim, cam = rig(ip)
    calls = []

    def on_event(event):
        calls.append((event.block_id, threading.current_thread().name))
        if len(calls) == 1:
            raise RuntimeError("the first event is refused")

    notify(cam, "FrameStart")
    delivery = cam.on_event(on_event)
    with cam.start_acquisition():
        assert wait_until(lambda: len(calls) >= 4)
    delivery.cancel()
    assert not delivery.is_alive()
    blocks = [block for block, _ in calls]
    assert blocks == list(range(blocks[0], blocks[0] + len(blocks)))
    assert {name for _, name in calls} == {"korvalite-events"}
    refused = [r for r in caplog.records if r.name == "korvalite.callbacks" and r.levelno == logging.ERROR]
    assert len(refused) == 1 and "the first event is refused" in str(refused[0].exc_info[1])


def test_next_async_waits_without_polling_and_a_cancelled_wait_takes_no_event(rig, ip):
    sim, cam = rig(ip)

    async def scenario(events):
        waiting = asyncio.ensure_future(events.next_async())
        await asyncio.sleep(0.2)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        sim.send_event(0x4001, block_id=1)  # while the cancelled wait's thread may still be waiting
        sim.send_event(0x4001, block_id=2)
        first = await asyncio.wait_for(events.next_async(), 5.0)
        second = await asyncio.wait_for(events.next_async(), 5.0)
        events.close()
        return first.block_id, second.block_id, await events.next_async()

    with cam.events() as events:
        assert asyncio.run(scenario(events)) == (1, 2, None)
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name == "korvalite-async-wait"])


def test_events_taken_first_then_waits_raise_once_control_is_lost(simulated, cameras, ip):
    sim = simulated(ip)
    cam = cameras(ip, gvcp_timeout=0.1, retries=2, heartbeat_timeout=0.6)
    cam.connect()
    with cam.events() as events:
        sim.send_event(0x4003)
        assert wait_until(lambda: cam.link_stats().events == 1)
        sim.gone = True
        assert wait_until(lambda: not cam.is_connected(), 10.0)
        assert events.wait_for(0).id == 0x4003  # what arrived before is still delivered
        for wait in (lambda: events.wait_for(60.0), lambda: next(events)):
            with pytest.raises(korvalite.CameraException, match="control was lost"):
                wait()
