"""The simulated camera's stream side, reassembled by a raw GVSP receiver (camera and host on
addresses from the free_ip fixture)."""

import struct

import pytest

from gev_raw import SCP, SCPS, FIRE_TEST, Gvcp, Receiver, program_stream, reference_pattern
from korvalite.sim import FEATURE_REGISTERS as REG, EXACT_PATTERN, PIXEL_FORMATS, SimulatedCamera, expected_pattern

@pytest.fixture
def camera_ip(free_ip):
    return free_ip()


@pytest.fixture
def rig(free_ip, camera_ip):
    opened = []
    host_ip = free_ip()

    def make(**options):
        cam = SimulatedCamera(camera_ip, 0, **{"test_pattern": EXACT_PATTERN, **options}).start()
        ctl, rx = Gvcp(host_ip, cam.endpoint), Receiver(host_ip)
        opened.append((cam, ctl, rx))
        ctl.take_control()
        return cam, ctl, rx

    yield make
    for cam, ctl, rx in opened:
        cam.stop()
        ctl.close()
        rx.close()


@pytest.mark.parametrize("pixel_format, extended", [("Mono8", False), ("Mono16", False), ("RGB8", True),
                                                    ("BGR8", False), ("Mono12", True)])
def test_single_frame_carries_exactly_the_pattern(rig, pixel_format, extended):
    cam, ctl, rx = rig(extended_ids=extended, first_block_id=0x1_0000_0005 if extended else 5)
    program_stream(ctl, rx, packet_size=700)
    ctl.write_regs((REG["Width"], 50), (REG["Height"], 20), (REG["OffsetX"], 3), (REG["OffsetY"], 4),
                   (REG["PixelFormat"], PIXEL_FORMATS[pixel_format]), (REG["AcquisitionMode"], 1))
    ctl.write_reg(REG["AcquisitionStart"], 1)
    assert rx.until(lambda: any(f.trailer_id is not None for f in rx.frames.values()))
    (frame,) = rx.frames.values()
    expected = reference_pattern(frame.block_id, 50, 20, pixel_format, 3, 4)
    assert frame.block_id == (0x1_0000_0005 if extended else 5)
    assert frame.payload() == expected
    assert expected_pattern(frame.block_id, 50, 20, pixel_format, 3, 4) == expected
    per_packet = 700 - (48 if extended else 36)
    assert frame.trailer_id == -(-len(expected) // per_packet) + 1
    assert all(p.extended == extended for p in rx.packets)
    leader = frame.leader_fields()
    assert leader["timestamp"] > 0
    del leader["timestamp"]
    assert leader == dict(payload_type=1, pixel_format=PIXEL_FORMATS[pixel_format], width=50, height=20,
                          offset_x=3, offset_y=4)
    # SingleFrame: one frame, then the acquisition ends by itself.
    assert rx.drain() == 0
    assert not cam.acquiring
    assert cam.counters()["frames_sent"] == 1


def test_injected_loss_is_counted_and_resend_restores_every_packet(rig):
    frames, width, height, packet_size = 40, 64, 64, 576  # 4096 bytes: 8 payload packets per frame
    cam, ctl, rx = rig(seed=5, stream_drop=0.1, resend_history=64)
    program_stream(ctl, rx, packet_size)
    ctl.write_regs((REG["Width"], width), (REG["Height"], height), (REG["AcquisitionMode"], 2),
                   (REG["AcquisitionFrameCount"], frames), (REG["AcquisitionFrameRateEnable"], 0))
    ctl.write_reg(REG["AcquisitionStart"], 1)
    rx.drain(quiet=0.5)
    count = 10
    sent = frames * count
    missing = {b: rx.frames.get(b) for b in range(1, frames + 1)}
    lost = {b: (f.missing(count) if f else list(range(count))) for b, f in missing.items()}
    total_lost = sum(len(v) for v in lost.values())
    counters = cam.counters()
    assert counters["packets_dropped"] == total_lost
    assert counters["packets_sent"] == sent - total_lost
    assert 0.04 <= total_lost / sent <= 0.18

    for block_id, ids in lost.items():
        for i in ids:
            ctl.send_resend(block_id, i, i)
    rx.drain(quiet=0.5)
    resent = [p for p in rx.packets if p.status == 0x0100]
    assert len(resent) == total_lost == cam.counters()["packets_resent"]
    for block_id in range(1, frames + 1):
        frame = rx.frames[block_id]
        assert frame.missing(count) == []
        assert frame.payload() == reference_pattern(block_id, width, height, "Mono8")

    # A frame the camera no longer has is answered with "packet unavailable".
    ctl.send_resend(0x7777, 1, 2)
    assert rx.until(lambda: rx.packets[-1].status == 0x800C)
    assert (rx.packets[-1].block_id, rx.packets[-1].packet_id) == (0x7777, 1)


def test_resend_faults_are_separate_from_stream_faults(rig):
    cam, ctl, rx = rig(seed=1, resend_drop=1.0)
    program_stream(ctl, rx, 1500)
    ctl.write_regs((REG["Width"], 100), (REG["Height"], 10), (REG["AcquisitionMode"], 1))
    ctl.write_reg(REG["AcquisitionStart"], 1)
    rx.drain()
    assert len(rx.packets) == 3  # leader, one payload packet, trailer: nothing lost
    ctl.send_resend(1, 1, 1)
    assert rx.drain() == 0
    assert cam.counters()["resends_dropped"] == 1
    cam.set_faults(resend_drop=0.0, resend_duplicate=1.0)
    ctl.send_resend(1, 1, 1)
    rx.drain()
    assert [p.status for p in rx.packets[3:]] == [0x0100, 0x0100]


def test_fire_test_packet_honours_the_path_mtu(rig, camera_ip):
    cam, ctl, rx = rig(path_mtu=4000)
    program_stream(ctl, rx, 1500)
    ctl.write_reg(SCPS, FIRE_TEST | 0x40000000 | 4000)
    data, source = rx.sock.recvfrom(65536)
    assert len(data) + 28 == 4000
    assert source[0] == camera_ip
    ctl.write_reg(SCPS, FIRE_TEST | 0x40000000 | 4016)
    assert rx.drain(quiet=0.2) == 0
    assert ctl.read_reg(SCPS) == 0x40000000 | 4016  # the size stays, the fire bit clears
    counters = cam.counters()
    assert (counters["test_packets_sent"], counters["test_packets_blocked"]) == (1, 1)
    # Stream packets that large never arrive either.
    ctl.write_regs((REG["AcquisitionMode"], 1))
    ctl.write_reg(REG["AcquisitionStart"], 1)
    rx.drain()
    # Only the leader, the short last payload packet and the trailer fit through.
    full, rest = divmod(640 * 480, 4016 - 36)
    assert [(p.fmt, p.packet_id) for p in rx.packets] == [(1, 0), (3, full + 1), (2, full + 2)]
    assert len(rx.packets[1].data) == rest
    assert cam.counters()["packets_over_mtu"] == full


def test_stream_stops_when_the_port_is_cleared(rig):
    cam, ctl, rx = rig()
    program_stream(ctl, rx, 1500)
    ctl.write_regs((REG["Width"], 64), (REG["Height"], 8))
    assert ctl.write_mem(REG["AcquisitionFrameRate"], struct.pack(">d", 200.0)).status == 0x8002  # exposure 10 ms
    assert ctl.write_mem(REG["AcquisitionFrameRate"], struct.pack(">d", 90.0)).status == 0
    ctl.write_reg(REG["AcquisitionStart"], 1)
    assert rx.until(lambda: len(rx.frames) >= 3)
    ctl.write_reg(SCP, 0)
    rx.drain(quiet=0.1)
    assert rx.drain(quiet=0.3) == 0
    assert cam.acquiring  # the acquisition runs on; only the channel is closed
    ctl.write_reg(REG["AcquisitionStop"], 1)
    assert not cam.acquiring


def test_extended_resend_and_a_vanished_stream(rig):
    cam, ctl, rx = rig(extended_ids=True, first_block_id=2**40, seed=3, stream_drop=0.3)
    program_stream(ctl, rx, 600)
    ctl.write_regs((REG["Width"], 100), (REG["Height"], 40), (REG["AcquisitionMode"], 1))
    ctl.write_reg(REG["AcquisitionStart"], 1)
    rx.drain()
    frame = rx.frames.get(2**40)
    count = -(-4000 // (600 - 48)) + 2
    missing = frame.missing(count) if frame else list(range(count))
    assert missing and len(missing) == cam.counters()["packets_dropped"]
    ctl.send_resend(2**40, missing[0], missing[-1], extended=True)
    rx.drain()
    assert rx.frames[2**40].missing(count) == []
    assert rx.frames[2**40].payload() == reference_pattern(2**40, 100, 40, "Mono8")

    cam.gone = True
    cam.start_acquisition()
    assert rx.drain(quiet=0.3) == 0
    cam.gone = False
    assert rx.until(lambda: 2**40 + 1 in rx.frames)


def test_duplicates_and_reordering_are_seeded_and_reproducible(rig):
    def run(seed):
        cam, ctl, rx = rig(seed=seed, stream_duplicate=0.2, stream_reorder=0.2)
        program_stream(ctl, rx, 576)
        ctl.write_regs((REG["Width"], 64), (REG["Height"], 64), (REG["AcquisitionMode"], 2),
                       (REG["AcquisitionFrameCount"], 5), (REG["AcquisitionFrameRateEnable"], 0))
        ctl.write_reg(REG["AcquisitionStart"], 1)
        rx.drain()
        cam.stop()
        return cam.counters(), [(p.block_id, p.packet_id) for p in rx.packets]

    counters, order = run(11)
    assert len(order) == counters["packets_sent"] == 50 + counters["packets_duplicated"]
    assert len(set(order)) == 50  # every packet arrived, some twice
    inversions = sum(a > b for a, b in zip(order, order[1:]))
    assert inversions == counters["packets_reordered"] > 0
    assert run(11) == (counters, order)
    assert run(12)[1] != order
