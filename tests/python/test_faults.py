"""Faults end to end against the simulated camera: stream loss with resends, dropped control
acknowledges, a device that vanishes mid-acquisition, PENDING_ACK beyond the caller's wait,
duplicated and reordered packets, a flood of foreign block ids, broken descriptions, a ZIP bomb,
a payload grown mid-acquisition, and misuse from Python. Simulated cameras take their addresses from the
free_ip fixture."""

import gc
import math
import re
import resource
import signal
import socket
import struct
import threading
import time
import zlib

import pytest

import korvalite
from korvalite.sim import FEATURE_REGISTERS, expected_pattern

CONTROL_LOST = "device control was lost (heartbeat failed)"
ACK_TIMEOUT = "timed out waiting for acknowledge"
NO_SUCH_CHANNEL = "device answered command 0x0082 with invalid address (0x8003)"
Complete = korvalite.FrameStatus.Complete


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def take_frames(acq, count, width, height, timeout=20.0):
    """The statuses of up to `count` frames from `acq` (giving up after `timeout` seconds), each
    complete frame checked against the camera's pattern and then let go, so its buffer returns."""
    statuses, deadline = [], time.monotonic() + timeout
    while len(statuses) < count and time.monotonic() < deadline:
        frame = acq.wait_for(1.0)
        if frame is None:
            continue
        statuses.append(frame.status)
        if frame.status == Complete:
            assert frame.data() == expected_pattern(frame.frame_id, width, height, "Mono8"), frame
    return statuses


def interrupt_main_after(seconds):
    """Send SIGINT to this process after `seconds`, from a helper thread (once)."""
    timer = threading.Timer(seconds, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
    timer.start()
    return timer


# --- stream loss with resends ----------------------------------------------------------------------

LOSS_WIDTH, LOSS_HEIGHT, LOSS_FRAMES = 640, 96, 100


@pytest.mark.parametrize("loss", [0.01, 0.05, 0.20])
def test_stream_loss_is_repaired_by_resends(simulated, cameras, loss, record_property, free_ip):
    ip = free_ip()
    simulated(ip, width=LOSS_WIDTH, height=LOSS_HEIGHT, frame_rate=50.0, stream_drop=loss, seed=7,
              resend_history=32)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition(packet_size=1500, n_buffers=16) as acq:
        statuses = take_frames(acq, LOSS_FRAMES, LOSS_WIDTH, LOSS_HEIGHT)
        stats = acq.stats()
    assert len(statuses) == LOSS_FRAMES
    complete = statuses.count(Complete)
    share = complete / len(statuses)
    resends_per_frame = stats.resend_requests / len(statuses)
    record_property("complete_share", share)
    record_property("resends_per_frame", resends_per_frame)
    print(f"\nstream loss {loss:.0%}: {complete}/{len(statuses)} frames complete ({share:.1%}), "
          f"{resends_per_frame:.2f} packets requested again per frame, {stats.resent_packets} arrived")

    assert stats.resend_requests > 0 and stats.resent_packets > 0
    if loss <= 0.05:
        assert share == 1.0, ([s for s in statuses if s != Complete], stats)
    else:
        assert share > 0.5  # most frames are still repaired within the resend budget


# --- the control channel ---------------------------------------------------------------------------


def test_dropped_acknowledges_are_retried_until_every_call_succeeds(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, ack_drop=0.2, seed=3)
    camera = cameras(ip, gvcp_timeout=0.05, retries=6)
    camera.connect()
    for width in range(100, 300, 4):
        camera.set_integer("Width", width)
        camera.invalidate_caches()
        assert camera.get_integer("Width") == width
    camera.set_float("Gain", 3.5)
    camera.invalidate_caches()
    assert camera.get_float("Gain") == 3.5
    assert camera.get_string("DeviceVendorName") == "korvalite"
    stats = camera.link_stats()
    assert stats.timeouts == 0
    # About a fifth of the transactions needed at least one more try.
    assert stats.retries >= stats.commands // 10, stats


def test_pending_ack_beyond_the_callers_wait(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip, gvcp_timeout=0.1, retries=1)  # the caller waits 0.7 s
    camera.connect()
    sim.set_faults(pending_ack=["WRITEREG"], pending_ack_announce_ms=3000, pending_ack_delay_ms=1500)
    unsolicited = camera.link_stats().unsolicited
    started = time.monotonic()
    with pytest.raises(korvalite.CameraException) as info:
        camera.set_integer("Width", 320)
    assert str(info.value) == f"Width: {ACK_TIMEOUT}"
    assert time.monotonic() - started < 1.5  # the caller's own wait ended first
    # The worker gave the transaction up with its caller; the late acknowledge matches nothing.
    assert wait_until(lambda: camera.link_stats().unsolicited > unsolicited, 5.0)
    assert camera.link_stats().pending_acks >= 1
    sim.set_faults(pending_ack=[])
    camera.invalidate_caches()
    assert camera.get_integer("Width") == 320  # the device did apply the write
    camera.set_integer("Width", 256)
    assert camera.get_integer("Width") == 256
    assert camera.is_connected()


def test_device_vanishing_mid_acquisition(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, width=64, height=48, frame_rate=50.0)
    heartbeat_timeout, interval = 1.5, 0.5
    camera = cameras(ip, gvcp_timeout=0.1, retries=2, heartbeat_timeout=heartbeat_timeout)
    camera.connect()
    acq = camera.start_acquisition(packet_size=1500)
    assert acq.wait_for(5.0) is not None
    subscription = acq.subscribe()

    iteration_ended = threading.Event()
    iteration_error = []

    def iterate():
        try:
            for _ in acq:
                pass
        except korvalite.CameraException as error:
            iteration_error.append(str(error))
        iteration_ended.set()

    iterating = threading.Thread(target=iterate, daemon=True)
    iterating.start()
    sim.gone = True
    vanished = time.monotonic()
    assert wait_until(lambda: not camera.is_connected(), 10.0)
    assert time.monotonic() - vanished <= heartbeat_timeout + interval + 0.2
    assert iteration_ended.wait(5.0), "iteration did not end after control was lost"
    iterating.join(1.0)
    # Every way of waiting for frames raises the loss once the frames already queued are taken.
    assert iteration_error == [CONTROL_LOST]
    subscription.clear()
    for wait in (lambda: acq.wait_for(60.0), lambda: subscription.wait_for(60.0), lambda: next(subscription)):
        with pytest.raises(korvalite.CameraException) as info:
            wait()
        assert str(info.value) == CONTROL_LOST

    for call in (lambda: camera.get_integer("Width"), lambda: camera.set_integer("Width", 32),
                 lambda: camera.execute("AcquisitionStart"), acq.stop):
        with pytest.raises(korvalite.CameraException) as info:
            call()
        assert str(info.value) == CONTROL_LOST
    assert acq.is_stopped()
    assert acq.stats().completed_frames >= 1  # the final counters
    for call in (camera.snap, camera.start_acquisition):
        with pytest.raises(korvalite.CameraException, match=f"^{re.escape(CONTROL_LOST)}$"):
            call()

    # Back once it has given up on the lost application too (its own heartbeat time-out).
    sim.gone = False
    assert wait_until(lambda: sim.privilege_holder is None, 5.0)
    camera.connect()
    with camera.start_acquisition(packet_size=1500) as again:
        frame = again.wait_for(5.0)
    assert frame is not None and frame.status == Complete


# --- the stream ------------------------------------------------------------------------------------


def test_duplicated_and_reordered_packets_still_make_exact_frames(simulated, cameras, free_ip):
    ip = free_ip()
    simulated(ip, width=320, height=64, frame_rate=100.0, stream_duplicate=0.1,
              stream_reorder=0.1, seed=11)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition(packet_size=1500, n_buffers=16) as acq:
        statuses = take_frames(acq, 40, 320, 64)
        stats = acq.stats()
    assert statuses == [Complete] * 40
    assert stats.duplicated_packets > 0
    assert stats.completed_frames >= 40 and stats.failed_frames == 0


def test_a_payload_grown_during_acquisition_is_a_size_mismatch(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, width=64, height=48, frame_rate=50.0)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition(packet_size=1500, n_buffers=4) as acq:
        frame = acq.wait_for(5.0)
        assert frame is not None and frame.status == Complete
        del frame
        sim.write_register(FEATURE_REGISTERS["Width"], 128)  # twice the payload the buffers hold
        def mismatched():
            frame = acq.wait_for(0.2)
            return frame is not None and frame.status == korvalite.FrameStatus.SizeMismatch
        assert wait_until(mismatched, 5.0)
        stats = acq.stats()
    assert stats.size_mismatch_frames > 0 and stats.size_mismatch_frames <= stats.failed_frames


def gvsp_payload_packet(block_id, packet_id, data):
    return struct.pack(">HHB", 0, block_id, 3) + packet_id.to_bytes(3, "big") + data


def test_a_flood_of_new_block_ids_is_survived_and_counted(simulated, cameras, free_ip):
    ip = free_ip()
    simulated(ip, width=64, height=48, frame_rate=50.0)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition(packet_size=1500, n_buffers=8) as acq:
        flood_a_running_acquisition(ip, free_ip(), acq)
    assert camera.is_connected()


def flood_a_running_acquisition(ip, stranger_ip, acq):
    first = acq.wait_for(5.0)
    assert first is not None
    host, port = acq.local_addr().rsplit(":", 1)

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
        stranger.bind((stranger_ip, 0))  # not the device: dropped before counting
        before = acq.stats()
        for i in range(1000):
            stranger.sendto(gvsp_payload_packet(5000 + i, 1, bytes(1000)), (host, int(port)))
        time.sleep(0.2)
        assert acq.stats().packets - before.packets < 500  # the stranger's 1000 are not counted

    # From the device's address but not its stream port, as a spoofing sender would: once the
    # stream's first packets have fixed its source, such packets are dropped before counting.
    flood = 3000
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forger:
        forger.bind((ip, 0))
        before = acq.stats()
        deadline = time.monotonic() + 10.0
        for i in range(flood):
            if time.monotonic() > deadline:
                break
            block_id = (first.frame_id + 1000 + i) % 0xFFFF + 1
            forger.sendto(gvsp_payload_packet(block_id, 1, bytes(1000)), (host, int(port)))
            if i % 100 == 0:
                acq.clear()  # a consumer keeps draining, as an application would
        time.sleep(0.2)
        after = acq.stats()
    assert after.packets - before.packets < flood // 2, after  # the real stream's packets only
    # The real stream carries on undisturbed.
    def recovered():
        frame = acq.wait_for(0.2)
        return frame is not None and frame.status == Complete
    assert wait_until(recovered, 10.0)
    frame = acq.wait_for(5.0)
    assert frame is not None and frame.data() == expected_pattern(frame.frame_id, 64, 48, "Mono8")


# --- descriptions ----------------------------------------------------------------------------------

BROKEN_NODES = """
  <Integer Name="LoopA"><pValue>LoopB</pValue></Integer>
  <Integer Name="LoopB"><pValue>LoopA</pValue></Integer>
  <Integer Name="SelfLoop"><pValue>SelfLoop</pValue></Integer>
  <IntSwissKnife Name="FormulaLoop">
    <pVariable Name="X">FormulaLoop</pVariable><Formula>X + 1</Formula>
  </IntSwissKnife>
  <Integer Name="Dangling"><pValue>NoSuchNode</pValue></Integer>
  <Integer Name="DanglingMax"><Value>5</Value><pMax>NoSuchMax</pMax></Integer>
  <IntSwissKnife Name="DanglingVariable">
    <pVariable Name="Y">NoSuchVariable</pVariable><Formula>Y * 2</Formula>
  </IntSwissKnife>
"""


def test_reference_cycles_and_dangling_links_fail_per_feature(simulated, cameras, builtin_description, free_ip):
    ip = free_ip()
    xml = builtin_description.replace("</RegisterDescription>", BROKEN_NODES + "</RegisterDescription>")
    simulated(ip, description=xml)
    camera = cameras(ip)
    camera.connect()  # a description with such links still loads
    cases = [
        (lambda: camera.get_integer("LoopA"), "circular reference through 'LoopA'"),
        (lambda: camera.get_integer("LoopB"), "circular reference through 'LoopB'"),
        (lambda: camera.get_integer("SelfLoop"), "circular reference through 'SelfLoop'"),
        (lambda: camera.set_integer("LoopA", 1), "circular reference through 'LoopA'"),
        (lambda: camera.get_integer("FormulaLoop"), "circular reference through 'FormulaLoop'"),
        (lambda: camera.get_integer("Dangling"), "Dangling: dangling reference 'NoSuchNode'"),
        (lambda: camera.set_integer("Dangling", 1), "Dangling = 1 is refused: the feature is read-only"),  # its mode
        (lambda: camera.integer_bounds("DanglingMax"), "DanglingMax: dangling reference 'NoSuchMax'"),
        (lambda: camera.get_integer("DanglingVariable"), "DanglingVariable: dangling reference 'NoSuchVariable'"),
    ]
    for _ in range(3):  # failed evaluations leave nothing behind
        for call, message in cases:
            with pytest.raises(korvalite.GenicamException) as info:
                call()
            assert str(info.value) == message
        assert camera.get_integer("Width") == 640
        assert camera.get_integer("DanglingMax") == 5


def zip_archive(name, compressed, crc, compressed_size, claimed_size):
    """A one-entry ZIP archive whose entry is `compressed` (raw DEFLATE)."""
    name = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, compressed_size, claimed_size,
                        len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, compressed_size,
                          claimed_size, len(name), 0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + compressed_size, 0)
    return local + compressed + central + end


def deflated_zeros(total):
    """Raw DEFLATE of `total` zero bytes, compressed piecewise so the test itself stays small."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk, parts, crc = bytes(1 << 20), [], 0
    for _ in range(total // len(chunk)):
        parts.append(packer.compress(chunk))
        crc = zlib.crc32(chunk, crc)
    parts.append(packer.flush())
    return b"".join(parts), crc


@pytest.mark.parametrize("claimed, message", [
    (4096, "malformed packet: deflate: output exceeds the limit of 67108864 bytes"),
    (512 << 20, "malformed packet: archive entry too large"),
])
def test_a_zip_bomb_description_fails_cleanly_and_bounded(simulated, cameras, claimed, message, free_ip):
    ip = free_ip()
    total = 512 << 20
    compressed, crc = deflated_zeros(total)
    assert len(compressed) < 1 << 20
    # Both URL registers name the archive, so the error reported is the archive's own.
    simulated(ip, description=zip_archive("bomb.xml", compressed, crc, len(compressed), claimed),
              second_url="local")
    camera = cameras(ip, gvcp_timeout=0.2)
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    with pytest.raises(korvalite.CameraException) as info:
        camera.connect()
    assert str(info.value) == message
    peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    assert peak_after - peak_before < 160 << 20  # bounded by the 64 MiB limit, not the 512 MiB bomb
    assert not camera.is_connected()  # control is given back when the model cannot be loaded
    with pytest.raises(korvalite.CameraException, match="^driver is not connected$"):
        camera.get_integer("Width")


# --- misuse from Python ----------------------------------------------------------------------------


def test_bad_capture_arguments_are_refused(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, width=64, height=48, stream_channels=2)
    camera = cameras(ip)
    camera.connect()
    for capture in (camera.start_acquisition, camera.snapshot_session, camera.snap):
        with pytest.raises(ValueError, match="^n_buffers must be at least 1$"):
            capture(n_buffers=0)
        for name, value in (("n_buffers", -1), ("n_buffers", 1 << 64), ("channel", 1 << 16), ("channel", -1),
                            ("packet_size", 1 << 16), ("packet_delay", 1 << 32)):
            with pytest.raises(TypeError):
                capture(**{name: value})
    for capture in (camera.start_acquisition, camera.snapshot_session, camera.snap):
        with pytest.raises(ValueError, match="^n_buffers must be at most "):
            capture(n_buffers=1 << 40)
        with pytest.raises(korvalite.CameraException, match=re.escape(NO_SUCH_CHANNEL)):
            capture(channel=7)  # the camera has channels 0 and 1
        assert sim.read_register(0x0D00) == 0  # no stream port left programmed
    # Nothing stays claimed or open.
    with camera.start_acquisition(packet_size=1500) as acq:
        assert acq.wait_for(5.0) is not None


@pytest.mark.parametrize("value", [-1.0, math.nan, math.inf, 1e300])
def test_bad_wait_times_on_capture_objects(simulated, cameras, value, free_ip):
    ip = free_ip()
    simulated(ip, width=64, height=48)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition(packet_size=1500) as acq:
        with pytest.raises(ValueError, match="^timeout must be a finite, non-negative number of seconds, not "):
            acq.wait_for(value)
        channel = acq.subscribe()
        with pytest.raises(ValueError, match="^timeout must be a finite, non-negative number of seconds, not "):
            channel.wait_for(value)
    with camera.snapshot_session(packet_size=1500) as session:
        with pytest.raises(ValueError, match="^timeout must be a finite, non-negative number of seconds, not "):
            session.snap(value)
        assert session.snap(5.0).status == Complete


def test_stopped_and_closed_objects_and_orphaned_frames(simulated, free_ip):
    ip = free_ip()
    simulated(ip, width=64, height=48)
    camera = korvalite.Camera(ip)
    camera.connect()
    acq = camera.start_acquisition(packet_size=1500)
    channel = acq.subscribe()
    assert acq.wait_for(5.0) is not None
    acq.stop()
    for call in (acq.subscribe, acq.local_addr, acq.packet_size):
        with pytest.raises(ValueError, match="^acquisition is stopped$"):
            call()
    assert acq.stats().completed_frames >= 1
    # The additional subscription drains what it holds and then ends, without hanging.
    assert all(f.status == Complete for f in channel)
    assert channel.recv_all() == []
    acq.stop()

    session = camera.snapshot_session(packet_size=1500)
    kept = session.snap(5.0)
    session.close()
    for call in (session.snap, session.packet_size):
        with pytest.raises(ValueError, match="^snapshot session is closed$"):
            call()
    assert session.stats().completed_frames == 1
    session.close()

    # Frames outlive the camera, its connection and its stream.
    survivors = [kept, camera.snap(5.0)]
    camera.disconnect()
    del camera, acq, session, channel
    gc.collect()
    for frame in survivors:
        assert frame.status == Complete
        assert frame.data() == expected_pattern(frame.frame_id, 64, 48, "Mono8")
        assert bytes(memoryview(frame)) == frame.data()


def test_ctrl_c_during_iteration_and_snap(simulated, cameras, free_ip):
    ip = free_ip()
    # Packets larger than the path never arrive: the camera streams, nothing is received.
    sim = simulated(ip, width=64, height=48, frame_rate=50.0, path_mtu=576)
    camera = cameras(ip)
    camera.connect()

    acq = camera.start_acquisition(packet_size=1500)
    interrupt_main_after(0.3)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        for _ in acq:
            pass
    assert time.monotonic() - started < 5.0
    acq.stop()

    for snap in (lambda: camera.snap(30.0, packet_size=1500),
                 lambda: camera.snapshot_session(packet_size=1500).snap(30.0)):
        sim.clear_writes()
        interrupt_main_after(0.3)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            snap()
        assert time.monotonic() - started < 5.0, "the snap waited out its time-out"
        gc.collect()
        # The camera is free and the interrupted snap stopped the camera.
        assert not sim.acquiring
        assert camera.get_integer("Width") == 64
    with camera.start_acquisition(packet_size=1500):
        pass
