"""Frame-start triggers on the simulated camera: one frame per trigger, stamped at the trigger."""

import threading

import pytest

import korvalite
from capture_rig import SNAP_TIMEOUT, feature_writes, next_sequence, wait_until
from korvalite.sim import FEATURE_REGISTERS as REG

FIRE_TEST_REGISTER, FIRE_TEST_BIT = 0x0D04, 0x80000000  # stream channel 0: a test packet, please
NONE_LEFT = 0.5  # seconds to wait for a frame that must not come


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def device_time(cam):
    cam.execute("GevTimestampControlLatch")
    return cam.get_integer("GevTimestampValue")


def triggered(cam, source, activation="RisingEdge"):
    cam.set_enum("TriggerSelector", "FrameStart")
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", source)
    cam.set_enum("TriggerActivation", activation)


def frames_until_quiet(acq):
    frames = []
    while (frame := acq.wait_for(NONE_LEFT)) is not None:
        frames.append(frame)
    return frames


@pytest.mark.parametrize("feature, entry, register", [
    ("TriggerSelector", "FrameStart", 0),
    ("TriggerMode", "On", 1), ("TriggerMode", "Off", 0),
    ("TriggerSource", "Line1", 2), ("TriggerSource", "Line0", 1), ("TriggerSource", "Software", 0),
    ("TriggerActivation", "FallingEdge", 1), ("TriggerActivation", "RisingEdge", 0),
])
def test_trigger_features_write_their_registers(rig, feature, entry, register, ip):
    sim, cam = rig(ip)
    cam.set_enum(feature, entry)
    assert (cam.get_enum(feature), sim.read_register(REG[feature])) == (entry, register)


def test_the_simulator_refuses_pulses_on_lines_it_does_not_have(rig, ip):
    sim, _ = rig(ip)
    with pytest.raises(ValueError, match="no input line 2"):
        sim.pulse_line(2)


def test_each_software_trigger_yields_one_frame_stamped_at_the_trigger(rig, ip):
    sim, cam = rig(ip)
    triggered(cam, "Software")
    with cam.start_acquisition() as acq:
        assert acq.wait_for(NONE_LEFT) is None  # nothing without a trigger
        ids = []
        for _ in range(3):
            before = device_time(cam)
            cam.execute("TriggerSoftware")
            after = device_time(cam)
            frame = acq.wait_for(5.0)
            assert frame is not None and frame.is_complete
            assert before <= frame.timestamp_ticks <= after
            assert acq.wait_for(NONE_LEFT) is None  # one frame per trigger
            ids.append(frame.frame_id)
    assert ids == [ids[0], ids[0] + 1, ids[0] + 2]


@pytest.mark.parametrize("source, activation, trigger, frames", [
    ("Line0", "RisingEdge", lambda sim, cam: sim.pulse_line(0), 2),
    ("Line0", "FallingEdge", lambda sim, cam: sim.pulse_line(0), 2),
    ("Line1", "RisingEdge", lambda sim, cam: sim.pulse_line(1), 2),
    ("Line1", "RisingEdge", lambda sim, cam: sim.pulse_line(0), 0),
    ("Line0", "RisingEdge", lambda sim, cam: cam.execute("TriggerSoftware"), 0),
    ("Software", "RisingEdge", lambda sim, cam: sim.pulse_line(0), 0),
], ids=["line0-rising", "line0-falling", "line1", "other-line", "software-on-line", "line-on-software"])
def test_only_the_selected_source_triggers(rig, source, activation, trigger, frames, ip):
    sim, cam = rig(ip)
    triggered(cam, source, activation)
    with cam.start_acquisition() as acq:
        for _ in range(2):
            trigger(sim, cam)
            if frames:  # one at a time, so that frame pacing never merges them
                assert acq.wait_for(5.0) is not None
        assert frames_until_quiet(acq) == []
        assert acq.stats().completed_frames == frames


def test_triggers_before_the_acquisition_are_ignored_and_trigger_mode_off_runs_free(rig, ip):
    sim, cam = rig(ip)
    triggered(cam, "Software")
    cam.execute("TriggerSoftware")
    with cam.start_acquisition() as acq:
        assert acq.wait_for(NONE_LEFT) is None
        cam.set_enum("TriggerMode", "Off")
        assert acq.wait_for(5.0) is not None and acq.wait_for(5.0) is not None


def test_a_software_trigger_from_another_thread_while_snap_waits_yields_that_frame(rig, ip):
    sim, cam = rig(ip)
    triggered(cam, "Software")
    since = next_sequence(sim)
    outcome = []
    snapper = threading.Thread(target=lambda: outcome.append(cam.snap(timeout=10.0)))
    snapper.start()
    try:
        assert wait_until(lambda: ("AcquisitionStart", 1) in feature_writes(sim, since))
        snapper.join(timeout=NONE_LEFT)
        assert snapper.is_alive() and outcome == []  # no frame without a trigger
        before = device_time(cam)
        cam.execute("TriggerSoftware")
        after = device_time(cam)
    finally:
        snapper.join(timeout=15.0)
    assert not snapper.is_alive() and len(outcome) == 1
    assert outcome[0].is_complete and before <= outcome[0].timestamp_ticks <= after


def test_a_snap_waiting_for_a_trigger_says_so_and_keeps_its_packet_size(rig, ip):
    sim, cam = rig(ip)
    cam.snap()  # the stream's packet size is negotiated here, once
    cam.set("TriggerMode", "On")
    for source, hint in [("Software", "the camera waits for a software trigger (TriggerMode is On, TriggerSource is "
                                      "Software): execute TriggerSoftware"),
                         ("Line1", "the camera waits for a trigger from Line1 (TriggerMode is On, TriggerSource is "
                                   "Line1)")]:
        cam.set("TriggerSource", source)
        since = next_sequence(sim)
        with pytest.raises(korvalite.GenicamTimeoutError) as info:
            cam.snap(timeout=0.2)
        assert str(info.value) == f"{SNAP_TIMEOUT}: {hint}"
        fire_tests = [v for a, v in sim.register_writes(since) if a == FIRE_TEST_REGISTER and v & FIRE_TEST_BIT]
        assert fire_tests == []  # nothing came, so the packet size still holds
