"""Signals during blocking waits: a handler's exception ends the wait, long before its time-out."""

import json
import os
import signal
import threading
import time

import pytest

import korvalite

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


@pytest.fixture
def interrupt_after():
    """interrupt_after(seconds): SIGUSR1, whose handler raises KeyboardInterrupt, comes then."""
    previous = signal.signal(signal.SIGUSR1, raise_interrupt)
    timers = []

    def arm(seconds):
        timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGUSR1))
        timers.append(timer)
        timer.start()

    yield arm
    for timer in timers:
        timer.join()
    signal.signal(signal.SIGUSR1, previous)


@pytest.mark.parametrize("waiter", [
    lambda events: events.wait_for(WAIT),
    lambda events: next(iter(events)),
], ids=["wait_for", "iteration"])
def test_a_signal_ends_an_event_wait_and_later_events_still_come(rig, interrupt_after, waiter, ip):
    sim, cam = rig(ip)
    with cam.events() as events:
        interrupt_after(0.3)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            waiter(events)
        assert time.monotonic() - started < WAIT / 2
        sim.send_event(0x4002)
        assert events.wait_for(10.0).id == 0x4002


def test_a_signal_ends_a_connect_to_an_address_where_nothing_answers(cameras, interrupt_after, free_ip):
    cam = cameras(free_ip(), gvcp_timeout=WAIT)  # no camera there: only the signal ends the connect
    interrupt_after(0.3)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        cam.connect()
    assert time.monotonic() - started < WAIT / 2
    assert not cam.is_connected()
    assert [t for t in threading.enumerate() if t.name == "korvalite-connect"] == []


# Runs discover() inside a namespace with SIGUSR1 arriving after 0.3 s; prints how it ended.
DISCOVER_INTERRUPTED = r"""
import json, os, signal, threading, time
import korvalite

def interrupt(signum, frame):
    raise KeyboardInterrupt

signal.signal(signal.SIGUSR1, interrupt)
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
started = time.monotonic()
try:
    korvalite.discover(timeout=WAIT)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
print(json.dumps([outcome, time.monotonic() - started]))
"""


def test_a_signal_ends_a_discovery(netlab):
    host, peer = netlab.namespace(), netlab.namespace()
    netlab.link(host, "10.77.1.1/24", peer, "10.77.1.2/24")  # an adapter to broadcast on, inside the lab
    completed = host.python(DISCOVER_INTERRUPTED.replace("WAIT", repr(WAIT)))
    assert completed.returncode == 0, completed.stderr
    outcome, elapsed = json.loads(completed.stdout)
    assert outcome == "interrupted" and elapsed < WAIT / 2
