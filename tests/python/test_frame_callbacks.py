"""Frame callbacks: every frame, in order, on one korvalite thread; errors logged; stop inside."""

import gc
import threading
import weakref

import pytest

from capture_rig import wait_until

COUNT = 1000
FAST = dict(frame_rate=1000.0)  # 64x32 frames: a thousand in about a second


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def delivery_threads():
    return [t for t in threading.enumerate() if t.name == "korvalite-callbacks"]


def test_a_thousand_frames_arrive_in_order_on_one_thread_and_only_kept_frames_stay_alive(rig, ip):
    sim, cam = rig(ip, **FAST)
    ids, threads, refs, kept = [], set(), [], []
    enough = threading.Event()

    def on_frame(frame):
        if len(ids) == COUNT:
            return
        ids.append(frame.frame_id)
        threads.add(threading.current_thread().name)
        refs.append(weakref.ref(frame))
        if len(ids) % 100 == 0:
            kept.append(frame)
        if len(ids) == COUNT:
            enough.set()

    acq = cam.start_acquisition(n_buffers=64, callback=on_frame)
    assert enough.wait(timeout=60.0)
    acq.stop()
    assert delivery_threads() == []  # stop() returns once the delivery has ended
    assert ids == list(range(ids[0], ids[0] + COUNT))
    assert threads == {"korvalite-callbacks"}
    alive = [r() for r in refs if r() is not None]
    assert len(alive) == len(kept) == COUNT // 100 and all(a is k for a, k in zip(alive, kept))


@pytest.mark.parametrize("on_error, calls_after_error", [("log", 4), ("stop", 0)])
def test_an_exception_in_a_callback_is_logged_and_delivery_goes_on_or_stops(rig, caplog, on_error,
                                                                                calls_after_error, ip):
    sim, cam = rig(ip)
    calls = []

    def on_frame(frame):
        calls.append(frame.frame_id)
        raise ValueError(f"boom {len(calls)}")

    acq = cam.start_acquisition()
    delivery = acq.on_frame(on_frame, on_error=on_error)
    assert wait_until(lambda: len(calls) >= 1 + calls_after_error and (on_error == "log" or acq.is_stopped()))
    acq.stop()
    assert delivery.join(timeout=5.0) and not delivery.is_alive()
    if on_error == "stop":
        assert len(calls) == 1
    # The first with its traceback, the rest as one count (not one traceback per frame).
    logged = [r for r in caplog.records if r.name == "korvalite.callbacks"]
    name = "frame callback test_an_exception_in_a_callback_is_logged_and_delivery_goes_on_or_stops.<locals>.on_frame"
    expected = [("ERROR", f"{name} raised")]
    if on_error == "log":
        expected.append(("ERROR", f"{name} raised {len(calls) - 1} more time(s), the last: ValueError: boom {len(calls)}"))
    assert [(r.levelname, r.getMessage()) for r in logged] == expected
    assert logged[0].exc_info[0] is ValueError and str(logged[0].exc_info[1]) == "boom 1"
    assert all(r.exc_info is None for r in logged[1:])


def test_stop_from_inside_the_callback_ends_the_delivery(rig, ip):
    sim, cam = rig(ip)
    acq = cam.start_acquisition()
    calls = []

    def on_frame(frame):
        calls.append(frame.frame_id)
        if len(calls) == 3:
            acq.stop()

    delivery = acq.on_frame(on_frame)
    assert delivery.join(timeout=10.0)
    assert len(calls) == 3 and acq.is_stopped()
    cam.snap()  # the camera is free again
    gone = weakref.ref(acq)
    del acq, on_frame
    gc.collect()
    assert gone() is None  # the finished delivery keeps nothing alive


@pytest.mark.parametrize("arguments, error, text", [
    (dict(fn=42), TypeError, "the frame callback must be callable"),
    (dict(fn=print, on_error="ignore"), ValueError, "on_error must be one of ('log', 'stop'), not 'ignore'"),
])
def test_bad_callback_arguments_raise(rig, arguments, error, text, ip):
    sim, cam = rig(ip)
    with cam.start_acquisition() as acq:
        with pytest.raises(error) as info:
            acq.on_frame(**arguments)
        assert str(info.value) == text


def test_one_delivery_per_acquisition_and_none_once_stopped(rig, ip):
    sim, cam = rig(ip)
    with cam.start_acquisition() as acq:
        acq.on_frame(lambda frame: None)
        with pytest.raises(ValueError, match="^frames are already delivered to a callback$"):
            acq.on_frame(lambda frame: None)
    with pytest.raises(ValueError, match="^acquisition is stopped$"):
        acq.on_frame(lambda frame: None)
