"""Signals during blocking waits: a handler's exception ends the wait, long before its time-out."""

import os
import signal
import threading
import time

import pytest

WAIT = 30.0  # far longer than the test may take: only the signal can end the wait


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def raise_interrupt(signum, frame):
    raise KeyboardInterrupt


@pytest.mark.parametrize("waiter", [
    lambda acq: acq.wait_for(WAIT),
    lambda acq: acq.subscribe().wait_for(WAIT),
], ids=["acquisition", "subscription"])
def test_a_signal_ends_a_wait_for_and_the_stream_goes_on(rig, waiter, ip):
    sim, cam = rig(ip, stream_drop=1.0)  # no frame until the test lets them through
    previous = signal.signal(signal.SIGUSR1, raise_interrupt)
    sender = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        with cam.start_acquisition(resend=False) as acq:
            sender.start()
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                waiter(acq)
            assert time.monotonic() - started < WAIT / 2
            sim.set_faults(stream_drop=0.0)
            assert acq.wait_for(10.0) is not None
    finally:
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
