"""Soak: many frames and many connect/disconnect cycles, after which the process has the same
threads and file descriptors as before and its resident memory is back near its baseline.
Simulated cameras take their addresses from the free_ip fixture."""

import gc
import os
import time

import pytest

import korvalite
from korvalite import _logging
from korvalite.sim import expected_pattern

pytestmark = pytest.mark.soak

PAGE = os.sysconf("SC_PAGE_SIZE")
# Memory the allocator may keep cached after a run (arenas, freed pages not yet returned).
RSS_SLACK = 24 << 20


def footprint():
    """(threads, file descriptors, resident bytes) of this process."""
    with open("/proc/self/statm") as f:
        resident = int(f.read().split()[1]) * PAGE
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), resident


def settled(baseline, timeout=10.0):
    """The footprint once threads and descriptors are back to `baseline` (or `timeout` passes)."""
    deadline = time.monotonic() + timeout
    while True:
        gc.collect()
        _logging.flush()
        now = footprint()
        if now[:2] == baseline[:2] or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


def warm_up(camera):
    """Start once whatever is started once per process (log bridge, allocator arenas)."""
    camera.connect()
    with camera.start_acquisition(packet_size=1500, n_buffers=64) as acq:
        assert acq.wait_for(5.0) is not None
    camera.disconnect()


def test_ten_thousand_frames(simulated, free_ip):
    ip = free_ip()
    width, height, total = 64, 48, 10_000
    simulated(ip, width=width, height=height, frame_rate=2000.0, exposure_us=100.0)
    camera = korvalite.Camera(ip)
    warm_up(camera)
    baseline = settled(footprint())

    camera.connect()
    received, complete, checked = 0, 0, 0
    deadline = time.monotonic() + 60.0
    with camera.start_acquisition(packet_size=1500, n_buffers=64) as acq:
        while received < total and time.monotonic() < deadline:
            frame = acq.wait_for(1.0)
            if frame is None:
                continue
            received += 1
            complete += frame.status == korvalite.FrameStatus.Complete
            if received % 1000 == 0:  # spot checks of the content
                assert frame.data() == expected_pattern(frame.frame_id, width, height, "Mono8")
                checked += 1
        stats = acq.stats()
    camera.disconnect()
    del acq, frame
    after = settled(baseline)
    print(f"\n{received} frames, {complete} complete, {stats.frames_dropped} dropped by a full queue, "
          f"{stats.underruns} without a free buffer; threads/fds/RSS MiB before {baseline[0]}/{baseline[1]}/"
          f"{baseline[2] / 2**20:.1f}, after {after[0]}/{after[1]}/{after[2] / 2**20:.1f}")
    assert received == total and checked == 10
    assert complete >= total * 0.99
    assert after[:2] == baseline[:2]
    assert after[2] - baseline[2] < RSS_SLACK


def test_thousand_connect_disconnect_cycles(simulated, free_ip):
    ip = free_ip()
    simulated(ip, width=64, height=48)
    camera = korvalite.Camera(ip)
    warm_up(camera)
    baseline = settled(footprint())

    started = time.monotonic()
    for cycle in range(1000):
        camera.connect()
        if cycle % 100 == 0:
            assert camera.get_integer("Width") == 64
        camera.disconnect()
    elapsed = time.monotonic() - started
    assert not camera.is_connected()
    after = settled(baseline)
    print(f"\n1000 connect/disconnect cycles in {elapsed:.1f} s; threads/fds/RSS MiB before {baseline[0]}/"
          f"{baseline[1]}/{baseline[2] / 2**20:.1f}, after {after[0]}/{after[1]}/{after[2] / 2**20:.1f}")
    assert after[:2] == baseline[:2]
    assert after[2] - baseline[2] < RSS_SLACK
