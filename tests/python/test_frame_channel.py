import gc
import os
import signal
import threading
import time

import pytest

import korvalite
from korvalite import _korvalite_testing

testing = _korvalite_testing


@pytest.fixture
def pool():
    return testing.FramePool(8, 16)


def numbered(pool, *ids):
    return [pool.frame([(0, bytes([i]) * 4)], frame_id=i) for i in ids]


def later(seconds, action):
    """Runs `action` on a thread after `seconds`; only possible while the caller has released the GIL."""
    thread = threading.Timer(seconds, action)
    thread.start()
    return thread


def test_class_documentation_and_signatures():
    assert korvalite.FrameChannel.__doc__ == (
        "A clone-able receiver for completed frames. Each subscription has its own\n"
        "bounded buffer; when it is full new frames are dropped for that\n"
        "subscriber and counted in [`StreamStats::frames_dropped`].")
    assert korvalite.FrameChannel.wait_for.__doc__.startswith("wait_for(self, timeout: float) -> Frame | None\n\n")
    assert korvalite.FrameChannel.recv_all.__doc__.startswith("recv_all(self) -> list[Frame]\n\n")
    with pytest.raises(TypeError):
        korvalite.FrameChannel()


def test_queue_operations_take_frames_oldest_first(pool):
    channel, feed = testing.frame_channel(3)
    assert channel.try_recv() is None and channel.recv_all() == []
    assert [feed.send(f) for f in numbered(pool, 1, 2, 3, 4)] == [True, True, True, False]
    assert channel.try_recv().frame_id == 1
    assert [f.frame_id for f in channel.recv_all()] == [2, 3]
    assert channel.recv_all() == [] and channel.try_recv() is None

    assert [feed.send(f) for f in numbered(pool, 5, 6)] == [True, True]
    gc.collect()
    assert pool.free_slots() == 6
    assert channel.clear() is None
    assert pool.free_slots() == 8  # discarded frames gave their buffers back
    assert channel.try_recv() is None


def test_wait_for_times_out_and_ends_at_once_when_the_stream_is_gone(pool):
    channel, feed = testing.frame_channel(2)
    start = time.monotonic()
    assert channel.wait_for(0.05) is None
    assert time.monotonic() - start >= 0.05

    feed.send(numbered(pool, 9)[0])
    feed.close()
    assert feed.send(numbered(pool, 10)[0]) is False
    assert channel.wait_for(10.0).frame_id == 9  # queued frames outlast the sender
    start = time.monotonic()
    assert channel.wait_for(10.0) is None
    assert time.monotonic() - start < 5.0


@pytest.mark.parametrize("timeout", [5.0, 9223372035.0])  # the second cannot be added to now: no limit
def test_wait_for_releases_the_interpreter_while_waiting(pool, timeout):
    channel, feed = testing.frame_channel(2)
    frame = numbered(pool, 7)[0]
    sender = later(0.1, lambda: feed.send(frame))
    got = channel.wait_for(timeout)
    sender.join()
    assert got is not None and got.frame_id == 7


@pytest.mark.parametrize("timeout, shown", [(-1.0, "-1.0"), (float("nan"), "nan"), (1e300, "1e+300")])
def test_wait_for_rejects_timeouts_that_are_no_duration(timeout, shown):
    channel, _feed = testing.frame_channel(1)
    with pytest.raises(ValueError) as info:
        channel.wait_for(timeout)
    assert str(info.value) == f"timeout must be a finite, non-negative number of seconds, not {shown}"


def test_iteration_yields_frames_until_the_stream_ends(pool):
    channel, feed = testing.frame_channel(8)
    for frame in numbered(pool, 1, 2):
        feed.send(frame)
    late = numbered(pool, 3, 4)

    def finish():
        for frame in late:
            feed.send(frame)
        feed.close()

    sender = later(0.25, finish)  # after at least one empty slice
    assert iter(channel) is channel
    assert [f.frame_id for f in channel] == [1, 2, 3, 4]
    sender.join()
    with pytest.raises(StopIteration):
        next(channel)


def test_iteration_lets_ctrl_c_through(pool):
    channel, feed = testing.frame_channel(2)
    feed.send(numbered(pool, 1)[0])
    rescued = []

    def rescue():  # ends a wait that failed to notice the signal, so the test fails instead of hanging
        rescued.append(True)
        feed.close()

    interrupter = later(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    watchdog = later(20.0, rescue)
    seen = []
    try:
        with pytest.raises(KeyboardInterrupt):
            for frame in channel:
                seen.append(frame.frame_id)
    finally:
        watchdog.cancel()
        interrupter.join()
    assert (seen, rescued) == ([1], [])
