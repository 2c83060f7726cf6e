"""A pending capture leaves the camera free: other threads use its features while it waits."""

import contextlib
import os
import signal
import threading

import pytest

import korvalite
from capture_rig import feature_writes, next_sequence, wait_until


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


WAIT = 3.0  # seconds a capture waits for a frame that never comes


def camera_snap(cam, stack):
    return lambda: cam.snap(timeout=WAIT, resend=False)


def session_snap(cam, stack):
    session = stack.enter_context(cam.snapshot_session(resend=False))
    return lambda: session.snap(timeout=WAIT)


def acquisition_wait_for(cam, stack):
    acquisition = stack.enter_context(cam.start_acquisition(resend=False))
    return lambda: acquisition.wait_for(WAIT)


@pytest.mark.parametrize("capture", [camera_snap, session_snap, acquisition_wait_for],
                         ids=["snap", "session-snap", "wait-for"])
def test_feature_calls_from_another_thread_complete_while_a_capture_waits(rig, capture, ip):
    sim, cam = rig(ip, stream_drop=1.0)  # no frame ever completes
    with contextlib.ExitStack() as stack:
        wait = capture(cam, stack)
        since = next_sequence(sim)
        order = []

        def waiter():
            with contextlib.suppress(korvalite.GenicamException):
                order.append(("capture", wait()))

        thread = threading.Thread(target=waiter)
        thread.start()
        if capture is not acquisition_wait_for:  # the snap has started the camera: it is waiting now
            assert wait_until(lambda: ("AcquisitionStart", 1) in feature_writes(sim, since))
        order.append(("Width", cam.get_integer("Width")))
        cam.set_float("Gain", 3.0)
        order.append(("Gain", cam.get_float("Gain")))
        thread.join(timeout=2 * WAIT)
        assert not thread.is_alive()
    expected_capture = [("capture", None)] if capture is acquisition_wait_for else []
    assert order == [("Width", 64), ("Gain", 3.0)] + expected_capture


def test_a_signal_handler_that_uses_the_camera_runs_during_a_snap(rig, ip):
    sim, cam = rig(ip, stream_drop=1.0)
    answers = []

    def handler(signum, frame):
        answers.append((cam.is_connected(), cam.get_integer("Width")))

    previous = signal.signal(signal.SIGUSR1, handler)
    sender = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    sender.start()
    try:
        with pytest.raises(korvalite.GenicamException, match="^no frame arrived within the snap timeout$"):
            cam.snap(timeout=1.5, resend=False)
    finally:
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert answers == [(True, 64)]
