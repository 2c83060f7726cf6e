"""Acquisitions and snapshot sessions that Python drops without stop()/close(), and waits that
must leave the interpreter to other threads (against the simulated camera)."""

import gc
import threading
import time
import weakref

import pytest

import korvalite
from capture_rig import DENIED, feature_writes, gvsp_threads, next_sequence, records, wait_until
from korvalite.sim import FEATURE_REGISTERS as REG, SimulatedCamera


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def start_acquisition(cam):
    acq = cam.start_acquisition()
    assert acq.wait_for(5.0) is not None
    return acq


def open_session(cam):
    session = cam.snapshot_session()
    assert session.snap().is_complete
    return session


DROPS = {
    "acquisition": (start_acquisition, [("AcquisitionStop", 1), ("TLParamsLocked", 0), ("SCP", 0)],
                    "acquisition dropped while camera busy; AcquisitionStop not sent"),
    "session": (open_session, [("TLParamsLocked", 0), ("AcquisitionMode", 0), ("SCP", 0)],
                "snapshot session dropped while camera busy; mode not restored"),
}


@pytest.mark.parametrize("kind", DROPS)
def test_a_dropped_capture_object_cleans_up_even_after_its_camera_is_gone(kind, capture_log, ip):
    start, cleanup, _ = DROPS[kind]
    with SimulatedCamera(ip, width=64, height=32) as sim:
        cam = korvalite.Camera(ip)
        cam.connect()
        running = start(cam)
        camera_gone = weakref.ref(cam)
        del cam
        gc.collect()
        assert camera_gone() is None  # the running object keeps only the device record
        assert sim.privilege_holder is not None
        since = next_sequence(sim)
        running_gone = weakref.ref(running)
        del running
        gc.collect()
        assert running_gone() is None
        assert feature_writes(sim, since) == cleanup
        assert gvsp_threads() == []
        # The last holder of the device record went: the connection closed with it.
        assert wait_until(lambda: sim.privilege_holder is None)
    assert records(capture_log, "korvalite.py") == []


@pytest.mark.parametrize("kind", DROPS)
def test_a_dropped_capture_object_frees_the_camera(rig, kind, ip):
    start, cleanup, _ = DROPS[kind]
    sim, cam = rig(ip)
    running = start(cam)
    since = next_sequence(sim)
    del running
    gc.collect()
    assert feature_writes(sim, since) == cleanup
    assert cam.snap().is_complete  # the claim went with it


def test_a_failed_acquisition_stop_on_drop_is_a_warning(rig, capture_log, ip):
    sim, cam = rig(ip, refuse=[REG["AcquisitionStop"]])
    acq = start_acquisition(cam)
    since = next_sequence(sim)
    del acq
    gc.collect()
    assert feature_writes(sim, since) == [("TLParamsLocked", 0), ("SCP", 0)]
    assert records(capture_log, "korvalite.py") == [
        ("WARNING", f"AcquisitionStop on drop failed: AcquisitionStop: {DENIED}")]
    assert cam.snapshot_session().close() is None


class Ticker:
    """A Python thread that counts while it gets the interpreter."""

    def __init__(self):
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.005):
            self.ticks += 1

    def close(self):
        self._stop.set()
        self._thread.join()


@pytest.mark.parametrize("kind", DROPS)
def test_a_capture_object_dropped_while_the_camera_is_busy_closes_only_its_stream(rig, capture_log, kind, ip):
    start, _, warning = DROPS[kind]
    sim, cam = rig(ip)
    running = start(cam)
    # A feature read that holds the camera for about a second: the device answers late.
    sim.set_faults(pending_ack=["READREG"], pending_ack_announce_ms=3000, pending_ack_delay_ms=1000)
    cam.invalidate_caches()
    pending = sim.counters()["pending_acks_sent"]
    reader = threading.Thread(target=cam.get_integer, args=("Width",))
    reader.start()
    ticker = None
    try:
        assert wait_until(lambda: sim.counters()["pending_acks_sent"] > pending)
        since = next_sequence(sim)
        ticker = Ticker()
        ticks = ticker.ticks
        del running
        gc.collect()  # gives up on the camera after 200 ms, with the interpreter free meanwhile
        ticks = ticker.ticks - ticks
    finally:
        reader.join()
        if ticker:
            ticker.close()
        sim.set_faults(pending_ack=[])
    assert ticks >= 10  # the drop waited at least 200 ms and the camera's late answer
    assert feature_writes(sim, since) == [("SCP", 0)]
    assert gvsp_threads() == []
    assert records(capture_log, "korvalite.py") == [("WARNING", warning)]
    cam.snapshot_session().close()  # the claim went with it


def test_session_calls_during_a_snap_on_another_thread_leave_the_interpreter_free(rig, ip):
    sim, cam = rig(ip, stream_drop=1.0)
    session = cam.snapshot_session()
    since = next_sequence(sim)
    answers, outcome = [], []

    def snap():
        try:
            session.snap(timeout=3.0)
        except korvalite.GenicamException as e:
            outcome.append(str(e))

    snapper = threading.Thread(target=snap)
    snapper.start()
    try:
        assert wait_until(lambda: ("AcquisitionStart", 1) in feature_writes(sim, since))
        asker = threading.Thread(target=lambda: answers.append((session.is_closed(), repr(session))))
        asker.start()
        # The snap holds no lock while it waits: the asker is answered before the snap ends.
        asker.join(timeout=2.0)
        assert (asker.is_alive(), snapper.is_alive()) == (False, True)
    finally:
        snapper.join()
    assert answers == [(False, "SnapshotSession(closed=False)")]
    assert outcome == ["no frame arrived within the snap timeout"]
    session.close()
