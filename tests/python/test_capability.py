"""The driver follows the camera's GVCP capability: the simulated camera cleared of each bit in
turn behaves like a device without it, and connect, features and capture still work."""

import pytest

import korvalite
from korvalite import FrameStatus
from korvalite import _korvalite_core
from korvalite.sim import expected_pattern

ALL = _korvalite_core._sim.Config().gvcp_capability  # everything the simulated camera serves
BITS = {
    "concatenation": 0x01,
    "write_memory": 0x02,
    "packet_resend": 0x04,
    "event": 0x08,
    "event_data": 0x10,
    "pending_ack": 0x20,
}


@pytest.mark.parametrize("cleared", sorted(BITS))
def test_connect_features_and_200_frames_with_one_capability_bit_cleared(simulated, cameras, free_ip, cleared):
    ip = free_ip()
    sim = simulated(ip, gvcp_capability=ALL & ~BITS[cleared], width=64, height=32, exposure_us=500.0, frame_rate=1000.0)
    cam = cameras(ip)
    cam.connect()
    info = cam.device_info()
    assert (info.manufacturer, info.model, info.serial) == ("korvalite", "SimCam-1", "SIM00001")
    assert cam.get_integer("Width") == 64

    cam.set_integer("Width", 96)
    cam.set_integer("Height", 40)
    cam.set_string("DeviceUserID", "bench-7")  # 16 bytes: WRITEMEM, or WRITEREG words without it
    cam.invalidate_caches()
    assert (cam.get_integer("Width"), cam.get_integer("Height")) == (96, 40)
    assert cam.get_integer("PayloadSize") == 96 * 40
    assert cam.get_string("DeviceUserID") == "bench-7"

    wrong = []
    with cam.start_acquisition(packet_size=1500, n_buffers=16) as acq:
        for count, frame in enumerate(acq, 1):
            if frame.status != FrameStatus.Complete or frame.data() != expected_pattern(frame.frame_id, 96, 40, "Mono8"):
                wrong.append(frame.frame_id)
            del frame
            if count == 200:
                break
    assert wrong == []
    snap = cam.snap(packet_size=1500)
    assert snap.is_complete and snap.data() == expected_pattern(snap.frame_id, 96, 40, "Mono8")


def test_without_packet_resend_nothing_is_asked_and_the_losses_are_counted(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, gvcp_capability=ALL & ~BITS["packet_resend"], width=160, height=120,
                    exposure_us=1000.0, frame_rate=200.0, seed=3, stream_drop=0.02)
    cam = cameras(ip)
    cam.connect()
    with cam.start_acquisition(packet_size=576, n_buffers=8) as acq:
        for count, frame in enumerate(acq, 1):
            del frame
            if count == 40:
                break
        stats = acq.stats()
    assert sim.counters()["resend_requests"] == 0
    assert stats.resend_requests == 0
    assert stats.failed_frames > 0
    assert stats.resend_disabled == stats.missing_packets > 0
