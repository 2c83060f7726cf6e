"""How streams receive: the packet ring or the socket, chosen per capture or per camera."""

import logging

import pytest

import korvalite
from capture_rig import records
from korvalite import _logging
from korvalite.sim import expected_pattern

RING_LOGGER = "korvalite.gige.stream.runner"
RING_OPENED = "receiving through a packet ring"
CAP_NET_RAW = 13


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


@pytest.fixture
def ring_log(caplog):
    """INFO of korvalite.gige and DEBUG of the stream runner (set last: it also sets the handler's level)."""
    caplog.set_level(logging.INFO, logger="korvalite.gige")
    caplog.set_level(logging.DEBUG, logger=RING_LOGGER)
    _logging.flush()  # the core takes the new levels
    return caplog


def holds_cap_net_raw():
    with open("/proc/self/status") as status:
        effective = next(line for line in status if line.startswith("CapEff:"))
    return bool(int(effective.split()[1], 16) >> CAP_NET_RAW & 1)


def one_frame(cam, method, **ring):
    if method == "snap":
        return cam.snap(**ring)
    if method == "session":
        with cam.snapshot_session(**ring) as session:
            return session.snap()
    with cam.start_acquisition(**ring) as acquisition:
        frame = acquisition.wait_for(5.0)
        while frame is not None and not frame.is_complete:
            frame = acquisition.wait_for(5.0)
        return frame


def rings_opened(caplog):
    return [m for _, m in records(caplog, RING_LOGGER) if m == RING_OPENED]


@pytest.mark.skipif(not holds_cap_net_raw(), reason="the packet ring needs CAP_NET_RAW")
@pytest.mark.parametrize("method", ["snap", "session", "acquisition"])
@pytest.mark.parametrize("default, argument, ring", [
    ("auto", True, True),
    ("auto", False, False),
    (True, None, True),
    (False, None, False),
    (False, "auto", True),
])
def test_frames_arrive_through_the_chosen_path(rig, ring_log, method, default, argument, ring, ip):
    sim, cam = rig(ip)
    cam.packet_ring = default
    frame = one_frame(cam, method, **({} if argument is None else {"packet_ring": argument}))
    assert frame.is_complete and frame.data() == expected_pattern(frame.frame_id, 64, 32, "Mono8")
    assert len(rings_opened(ring_log)) == (1 if ring else 0)


def test_automatic_choice_is_logged_once_with_its_reason(rig, ring_log, ip):
    sim, cam = rig(ip)
    assert cam.packet_ring is False  # the socket unless asked
    cam.packet_ring = "auto"
    for _ in range(2):
        assert cam.snap().is_complete
    why = ("streams receive through the packet ring: the process holds CAP_NET_RAW" if holds_cap_net_raw() else
           "streams receive through the socket: the process lacks CAP_NET_RAW for the packet ring")
    assert [r for r in records(ring_log, "korvalite.gige") if r[0] == "INFO"] == [("INFO", why)]
    assert len(rings_opened(ring_log)) == (2 if holds_cap_net_raw() else 0)


@pytest.mark.parametrize("value", ["always", "Auto", ""])
def test_packet_ring_takes_only_true_false_or_auto(rig, value, ip):
    sim, cam = rig(ip)
    message = "packet_ring must be True, False or 'auto'"
    with pytest.raises(ValueError, match=message):
        korvalite.Camera(ip, packet_ring=value)
    with pytest.raises(ValueError, match=message):
        cam.packet_ring = value
    with pytest.raises(ValueError, match=message):
        cam.snap(packet_ring=value)
    assert cam.packet_ring is False
    assert korvalite.Camera(ip, packet_ring="auto").packet_ring == "auto"


def rmem_max():
    with open("/proc/sys/net/core/rmem_max") as f:
        return int(f.read())


@pytest.mark.skipif(not 1 << 20 <= rmem_max() < 64 << 20, reason="the system limit lies outside the automatic sizes")
@pytest.mark.parametrize("large, ring, warned", [(False, False, False), (True, False, True), (True, True, False)],
                         ids=["small-frames", "large-frames", "large-frames-ring"])
def test_a_receive_buffer_capped_by_the_system_limit_warns_once(rig, caplog, large, ring, warned, ip):
    limit = rmem_max()
    width, height = (2048, -(-limit // 2 // 2048)) if large else (64, 32)
    sim, cam = rig(ip, sensor_width=max(width, 1280), sensor_height=max(height, 960), width=width, height=height)
    caplog.set_level(logging.WARNING, logger="korvalite.gige")
    _logging.flush()
    for _ in range(2):
        assert cam.snap(packet_ring=ring).is_complete
    wanted = 4 * width * height
    expected = [("WARNING", f"stream receive buffer capped at {limit} bytes by net.core.rmem_max; frames may be lost "
                            f"under load: raise it to at least {wanted} (sysctl -w net.core.rmem_max={wanted})")]
    assert records(caplog, "korvalite.gige") == (expected if warned else [])
