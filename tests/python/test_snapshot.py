"""Snapshot sessions and Camera.snap end to end against the simulated camera."""

import pytest

import korvalite
from capture_rig import (DENIED, SNAP_TIMEOUT, description_without, feature_writes, gvsp_threads, next_sequence,
                         records, wait_until)
from korvalite.sim import FEATURE_REGISTERS as REG, expected_pattern


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


NO_ACQUISITION_MODE = dict(description=description_without(
    r'<pFeature>AcquisitionMode</pFeature>|<Enumeration Name="AcquisitionMode".*?</Enumeration>'))
NO_SINGLE_FRAME = dict(description=description_without(r'<EnumEntry Name="SingleFrame">.*?</EnumEntry>'))
NOT_FOUND = "feature 'AcquisitionMode' not found"


def writes_of(sim, action):
    since = next_sequence(sim)
    result = action()
    return result, feature_writes(sim, since)


def snap_in_session(cam, **arguments):
    with cam.snapshot_session() as session:
        return session.snap(**arguments)


@pytest.mark.parametrize("camera, opened, per_snap, closed", [
    # Continuous: SingleFrame while open, one AcquisitionStart per snap, the mode restored at close.
    (dict(), [("AcquisitionMode", 1), ("SCP", "open"), ("TLParamsLocked", 1)], [("AcquisitionStart", 1)],
     [("TLParamsLocked", 0), ("AcquisitionMode", 0), ("SCP", 0)]),
    # Already SingleFrame: the mode is never written.
    (dict(acquisition_mode="SingleFrame"), [("SCP", "open"), ("TLParamsLocked", 1)], [("AcquisitionStart", 1)],
     [("TLParamsLocked", 0), ("SCP", 0)]),
    # No AcquisitionMode, or no SingleFrame entry: the camera is stopped after every snap.
    (NO_ACQUISITION_MODE, [("SCP", "open"), ("TLParamsLocked", 1)], [("AcquisitionStart", 1), ("AcquisitionStop", 1)],
     [("TLParamsLocked", 0), ("SCP", 0)]),
    (NO_SINGLE_FRAME, [("SCP", "open"), ("TLParamsLocked", 1)], [("AcquisitionStart", 1), ("AcquisitionStop", 1)],
     [("TLParamsLocked", 0), ("SCP", 0)]),
], ids=["continuous", "single-frame", "no-mode", "no-single-frame-entry"])
def test_session_writes_features_in_order_and_snaps_exact_frames(rig, camera, opened, per_snap, closed, ip):
    sim, cam = rig(ip, **camera)
    session, writes = writes_of(sim, cam.snapshot_session)
    assert writes == opened
    assert repr(session) == "SnapshotSession(closed=False)" and not session.is_closed()
    for _ in range(3):
        frame, writes = writes_of(sim, session.snap)
        assert writes == per_snap
        assert frame.is_complete and frame.data() == expected_pattern(frame.frame_id, 64, 32, "Mono8")
    assert session.stats().completed_frames == 3 and session.packet_size() > 0
    _, writes = writes_of(sim, session.close)
    assert writes == closed
    assert repr(session) == "SnapshotSession(closed=True)" and gvsp_threads() == []

    frame, writes = writes_of(sim, cam.snap)  # Camera.snap: the same, in one call
    assert writes == opened + per_snap + closed
    assert frame.data() == expected_pattern(frame.frame_id, 64, 32, "Mono8")


@pytest.mark.parametrize("snap, logger", [(snap_in_session, "korvalite.py"), (korvalite.Camera.snap,
                                                                                "korvalite.genicam.snapshot")],
                         ids=["session", "camera"])
@pytest.mark.parametrize("camera, messages", [
    (NO_ACQUISITION_MODE, [("DEBUG", f"AcquisitionMode unavailable, stopping per snap: {NOT_FOUND}")]),
    (NO_SINGLE_FRAME, [("DEBUG", "SingleFrame mode unavailable, stopping per snap: "
                                 "AcquisitionMode = SingleFrame is not an entry of the enumeration; "
                                 "available entries: Continuous, MultiFrame")]),
    (dict(acquisition_mode="SingleFrame", refuse=[REG["TLParamsLocked"]]),
     [("DEBUG", f"TLParamsLocked not set: TLParamsLocked = 1: {DENIED}"),
      ("DEBUG", f"TLParamsLocked not cleared: TLParamsLocked = 0: {DENIED}")]),
    (dict(NO_ACQUISITION_MODE, refuse=[REG["AcquisitionStop"]]),
     [("DEBUG", f"AcquisitionMode unavailable, stopping per snap: {NOT_FOUND}"),
      ("WARNING", f"AcquisitionStop after snap failed: AcquisitionStop: {DENIED}")]),
], ids=["no-mode", "no-single-frame-entry", "transport-lock-refused", "stop-refused"])
def test_snap_trouble_is_logged_under_the_target_of_the_caller(rig, capture_log, snap, logger, camera, messages, ip):
    sim, cam = rig(ip, **camera)
    frame = snap(cam, timeout=5.0)
    assert frame.is_complete
    other = {"korvalite.py", "korvalite.genicam.snapshot"} - {logger}
    assert records(capture_log, logger) == messages
    assert records(capture_log, other.pop()) == []


@pytest.mark.parametrize("snap", [snap_in_session, korvalite.Camera.snap], ids=["session", "camera"])
@pytest.mark.parametrize("camera", [dict(acquisition_mode="SingleFrame"), dict()], ids=["single-frame", "continuous"])
def test_a_snap_that_times_out_stops_the_camera_and_raises(rig, snap, camera, ip):
    sim, cam = rig(ip, stream_drop=1.0, **camera)
    since = next_sequence(sim)
    with pytest.raises(korvalite.GenicamException) as info:
        snap(cam, timeout=0.3)
    assert str(info.value) == SNAP_TIMEOUT and isinstance(info.value, TimeoutError)
    writes = feature_writes(sim, since)
    assert writes[writes.index(("AcquisitionStart", 1)):] == [
        ("AcquisitionStart", 1), ("AcquisitionStop", 1), ("TLParamsLocked", 0)] + (
        [("AcquisitionMode", 0)] if not camera else []) + [("SCP", 0)]
    cam.snapshot_session().close()  # not busy


def test_a_session_snap_discards_frames_that_came_between_snaps(rig, ip):
    sim, cam = rig(ip)
    with cam.snapshot_session() as session:
        first = session.snap()
        cam.execute("AcquisitionStart")  # a stray frame the next snap must not return
        assert wait_until(lambda: session.stats().completed_frames == 2)
        second = session.snap()
    assert second.frame_id == first.frame_id + 2


def test_a_closed_session_refuses_to_snap_and_closing_again_does_nothing(rig, ip):
    sim, cam = rig(ip)
    with cam.snapshot_session() as session:
        pass
    since = next_sequence(sim)
    for call in (session.snap, session.packet_size):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "snapshot session is closed"
    assert session.stats().completed_frames == 0
    assert session.close() is None and session.__exit__(None, None, None) is False
    assert sim.writes(since) == []
    assert session.is_closed()


def test_a_failed_open_restores_the_mode_and_leaves_the_camera_free(rig, ip):
    sim, cam = rig(ip, refuse=[0x0D18])  # the stream destination register
    for open_session in (cam.snapshot_session, cam.snap):
        since = next_sequence(sim)
        with pytest.raises(korvalite.CameraException) as info:
            open_session()
        assert str(info.value) == DENIED
        assert feature_writes(sim, since) == [("AcquisitionMode", 1), ("AcquisitionMode", 0)]
    assert gvsp_threads() == []
    sim.set_faults(refuse={})
    assert cam.snap().is_complete


def test_a_mode_that_cannot_be_restored_is_logged_and_close_does_not_raise(rig, capture_log, ip):
    sim, cam = rig(ip)
    session = cam.snapshot_session()
    sim.set_faults(refuse=[REG["AcquisitionMode"]])
    since = next_sequence(sim)
    assert session.close() is None
    assert feature_writes(sim, since) == [("TLParamsLocked", 0), ("SCP", 0)]
    assert records(capture_log, "korvalite.py") == [
        ("DEBUG", "AcquisitionMode not restored: "
                  "AcquisitionMode = Continuous: device answered command 0x0082 with access denied (0x8006)")]
    assert session.is_closed()


FIRE_TEST = 0x80000000
PACKET_SIZE_REGISTER = 0x0D04  # stream channel 0's packet size register


def fire_tests(sim, since):
    return sum(1 for address, value in sim.register_writes(since)
               if address == PACKET_SIZE_REGISTER and value & FIRE_TEST)


def reconnect(sim, cam):
    cam.disconnect()
    cam.connect()


def write_packet_size(sim, cam):
    cam.set_integer("GevSCPSPacketSize", 1500)


def snap_that_times_out(sim, cam):
    sim.set_faults(stream_drop=0.5, seed=2)  # the seed loses some of the frame's packets, not all
    with pytest.raises(TimeoutError):
        cam.snap(timeout=0.3, resend=False)
    sim.set_faults(stream_drop=0.0)


def snap_that_gets_nothing(sim, cam):
    sim.set_faults(stream_drop=1.0)  # as a camera waiting for a trigger: nothing says the size is wrong
    with pytest.raises(TimeoutError):
        cam.snap(timeout=0.3)
    sim.set_faults(stream_drop=0.0)


def nothing(sim, cam):
    pass


@pytest.mark.parametrize("between, negotiates_again", [
    (nothing, False),
    (reconnect, True),
    (write_packet_size, True),
    (snap_that_times_out, True),
    (snap_that_gets_nothing, False),
], ids=["again", "reconnect", "packet-size-written", "failed-snap", "snap-with-no-packet"])
def test_a_negotiated_packet_size_is_reused_until_something_invalidates_it(rig, between, negotiates_again, ip):
    sim, cam = rig(ip)
    since = next_sequence(sim)
    first = cam.snap()
    assert first.is_complete and fire_tests(sim, since) > 0
    between(sim, cam)
    since = next_sequence(sim)
    again = cam.snap()
    assert again.is_complete and again.data() == expected_pattern(again.frame_id, 64, 32, "Mono8")
    assert (fire_tests(sim, since) > 0) == negotiates_again
    # Either way the channel's packet size register is programmed with a plain size.
    assert any(a == PACKET_SIZE_REGISTER and not v & FIRE_TEST for a, v in sim.register_writes(since))
