"""asyncio: async for over an acquisition, await snap_async, and cancellation of both."""

import asyncio
import threading

import pytest

from capture_rig import feature_writes, next_sequence, wait_until


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def test_async_for_yields_frames_in_order_and_ends_with_the_stream(rig, ip):
    sim, cam = rig(ip)

    async def main():
        ids = []
        acq = cam.start_acquisition()
        async for frame in acq.frames_async():
            ids.append(frame.frame_id)
            if len(ids) == 5:
                acq.stop()  # the buffered frames still come, then the iteration ends
        return ids

    ids = asyncio.run(asyncio.wait_for(main(), timeout=30.0))
    assert len(ids) >= 5 and ids == list(range(ids[0], ids[0] + len(ids)))


def test_async_for_over_a_subscription_yields_its_frames_and_ends_with_the_stream(rig, ip):
    sim, cam = rig(ip)

    async def main():
        ids = []
        acq = cam.start_acquisition(n_buffers=64)  # the acquisition's own queue keeps frames too
        async for frame in acq.subscribe(capacity=64).frames_async():
            ids.append(frame.frame_id)
            if len(ids) == 5:
                acq.stop()
        return ids

    ids = asyncio.run(asyncio.wait_for(main(), timeout=30.0))
    assert len(ids) >= 5 and ids == list(range(ids[0], ids[0] + len(ids)))


def test_a_cancelled_async_for_loses_no_frame_and_leaves_no_thread(rig, ip):
    sim, cam = rig(ip, stream_drop=1.0)  # no frame until the test lets them through

    async def collect(frames):
        return [frame.frame_id async for frame in frames]

    async def main(acq):
        frames = acq.frames_async()
        task = asyncio.create_task(collect(frames))
        await asyncio.sleep(0.3)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        sim.set_faults(stream_drop=0.0)
        assert wait_until(lambda: acq.stats().completed_frames >= 3)
        acq.stop()
        return await asyncio.wait_for(collect(frames), timeout=10.0)  # the cancelled iterator goes on

    acq = cam.start_acquisition(resend=False, n_buffers=64)
    witness = acq.subscribe(capacity=64)  # sees every frame too
    ids = asyncio.run(main(acq))
    assert len(ids) >= 3 and ids == [frame.frame_id for frame in witness.recv_all()]
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name.startswith("korvalite-async")])


def test_snap_async_returns_the_frame_and_the_loop_runs_meanwhile(rig, ip):
    sim, cam = rig(ip)

    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        ticker = asyncio.create_task(tick())
        frame = await cam.snap_async(timeout=5.0)
        ticker.cancel()
        return frame, ticks

    frame, ticks = asyncio.run(main())
    assert frame.is_complete and ticks >= 1


def test_cancelling_snap_async_stops_the_camera_and_frees_it(rig, ip):
    sim, cam = rig(ip, stream_drop=1.0)
    since = next_sequence(sim)

    async def main():
        task = asyncio.create_task(cam.snap_async(timeout=30.0, resend=False))
        while ("AcquisitionStart", 1) not in feature_writes(sim, since):
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(asyncio.wait_for(main(), timeout=20.0))
    writes = feature_writes(sim, since)
    assert writes[writes.index(("AcquisitionStart", 1)):] == [
        ("AcquisitionStart", 1), ("AcquisitionStop", 1), ("TLParamsLocked", 0), ("AcquisitionMode", 0), ("SCP", 0)]
    cam.snapshot_session().close()  # not busy
