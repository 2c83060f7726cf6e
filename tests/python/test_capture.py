"""Continuous acquisition end to end against the simulated camera."""

import os
import signal
import threading

import pytest

import korvalite
from capture_rig import BUSY, DENIED, feature_writes, gvsp_threads, next_sequence, records, wait_until
from korvalite import FrameStatus
from korvalite.sim import FEATURE_REGISTERS as REG, PIXEL_FORMATS, expected_pattern, payload_size


@pytest.fixture
def ip(free_ip):
    """This test's camera address."""
    return free_ip()


def test_500_frames_arrive_complete_in_order_with_the_pattern_and_the_counters_agree(rig, ip):
    sim, cam = rig(ip, frame_rate=250.0)
    acq = cam.start_acquisition(packet_size=1500, n_buffers=32)
    ids, wrong = [], []
    for frame in acq:
        ids.append(frame.frame_id)
        if frame.status != FrameStatus.Complete or frame.data() != expected_pattern(frame.frame_id, 64, 32, "Mono8"):
            wrong.append(frame)
        if len(ids) == 500:
            break
    cam.execute("AcquisitionStop")  # features stay usable while the acquisition runs
    while (late := acq.wait_for(0.5)) is not None:
        ids.append(late.frame_id)
    stats, sent = acq.stats(), sim.counters()
    acq.stop()

    assert wrong == []
    assert ids == list(range(ids[0], ids[0] + len(ids)))
    assert sent["frames_sent"] == len(ids)
    # 2048 bytes in packets of 1500: leader, two payload packets, trailer.
    assert (stats.completed_frames, stats.packets) == (len(ids), 4 * len(ids))
    assert (stats.packets, stats.bytes) == (sent["packets_sent"], sent["bytes_sent"])
    assert (stats.failed_frames, stats.missing_frames, stats.underruns, stats.frames_dropped) == (0, 0, 0, 0)


def big_frames(**options):
    # 19200-byte frames in 36 payload packets of 540 bytes, so losses are frequent but never
    # exceed a frame's resend budget.
    return dict(width=160, height=120, seed=7, stream_drop=0.05, **options)


def test_lost_packets_are_resent_and_every_frame_completes(rig, ip):
    sim, cam = rig(ip, **big_frames(resend_history=32))
    seen = []
    with cam.start_acquisition(packet_size=576, n_buffers=16) as acq:
        for frame in acq:  # each checked and let go at once: frames hold pool buffers
            seen.append((frame.frame_id, frame.status, frame.data() == expected_pattern(frame.frame_id, 160, 120, "Mono8")))
            if len(seen) == 60:
                break
        stats = acq.stats()
    first = seen[0][0]
    assert seen == [(i, FrameStatus.Complete, True) for i in range(first, first + 60)]
    assert sim.counters()["packets_dropped"] > 0
    assert stats.resent_packets > 0 and stats.resend_requests >= stats.resent_packets
    assert (stats.failed_frames, stats.missing_packets) == (0, 0)


def test_without_resend_frames_miss_packets_and_their_holes_hold_stale_bytes(rig, ip):
    per_packet = 540
    sim, cam = rig(ip, **big_frames())
    with cam.start_acquisition(packet_size=576, n_buffers=2, resend=False) as acq:
        frames = []
        for _ in range(30):
            frame = acq.wait_for(5.0)
            # Checked at once, so the two buffers keep being reused.
            frames.append((frame.frame_id, frame.status, frame.is_complete, frame.data()))
            del frame
        stats = acq.stats()
    first = frames[0][0]
    holes = {"zero": 0, "stale": 0}
    for frame_id, status, complete, data in frames:
        assert complete == (status == FrameStatus.Complete)
        expected = expected_pattern(frame_id, 160, 120, "Mono8")
        assert data == expected if complete else len(data) <= len(expected)
        for start in range(0, len(data), per_packet):
            piece = data[start:start + per_packet]
            if piece == expected[start:start + len(piece)]:
                continue
            if piece == bytes(len(piece)):
                holes["zero"] += 1  # a buffer's first use
                continue
            # Whatever an earlier frame left in this buffer.
            earlier = [f for f in range(first, frame_id)
                       if expected_pattern(f, 160, 120, "Mono8")[start:start + len(piece)] == piece]
            assert earlier, (frame_id, start)
            holes["stale"] += 1
    assert FrameStatus.MissingPackets in [status for _, status, _, _ in frames]
    assert holes["stale"] > 0
    assert stats.failed_frames > 0 and stats.missing_packets > 0
    assert (stats.resend_requests, sim.counters()["resend_requests"]) == (0, 0)


def test_start_and_stop_write_the_features_in_order_and_a_second_stop_sends_nothing(rig, ip):
    sim, cam = rig(ip)
    since = next_sequence(sim)
    acq = cam.start_acquisition(packet_size=1000, packet_delay=7)
    assert repr(acq) == "Acquisition(stopped=False)" and not acq.is_stopped()
    assert acq.wait_for(5.0).is_complete
    assert acq.packet_size() == 1000
    ip, port = acq.local_addr().split(":")
    assert ip.startswith("127.") and int(port) == sim.read_register(0x0D00)
    assert feature_writes(sim, since) == [("SCP", "open"), ("TLParamsLocked", 1), ("AcquisitionStart", 1)]
    stream_setup = [(a, v) for a, v in sim.register_writes(since) if a in (0x0D04, 0x0D08)]
    assert stream_setup == [(0x0D04, 1000), (0x0D08, 7)]  # given sizes are written, not negotiated

    since = next_sequence(sim)
    assert acq.stop() is None
    assert feature_writes(sim, since) == [("AcquisitionStop", 1), ("TLParamsLocked", 0), ("SCP", 0)]
    assert repr(acq) == "Acquisition(stopped=True)" and acq.is_stopped()
    since = next_sequence(sim)
    assert acq.stop() is None
    assert sim.writes(since) == []
    assert gvsp_threads() == []


def test_after_stop_buffered_frames_stay_readable_and_the_stream_calls_raise(rig, ip):
    sim, cam = rig(ip, acquisition_mode="MultiFrame", frame_count=5)
    acq = cam.start_acquisition()
    assert wait_until(lambda: acq.stats().completed_frames == 5)
    acq.stop()

    first = acq.try_recv()
    second = next(iter(acq))
    rest = acq.recv_all()
    ids = [first.frame_id, second.frame_id] + [f.frame_id for f in rest]
    assert ids == list(range(first.frame_id, first.frame_id + 5))
    assert list(acq) == [] and acq.recv_all() == [] and acq.try_recv() is None
    assert acq.wait_for(30.0) is None  # at once: the stream has ended
    assert acq.clear() is None
    for call in (acq.subscribe, acq.local_addr, acq.packet_size):
        with pytest.raises(ValueError, match="^acquisition is stopped$"):
            call()
    assert acq.stats().completed_frames >= 5  # the final counters stay readable


def test_iteration_yields_the_buffered_frames_and_ends_when_another_thread_stops(rig, ip):
    sim, cam = rig(ip, frame_rate=50.0)
    acq = cam.start_acquisition(n_buffers=64)
    stopper = threading.Timer(0.3, acq.stop)
    stopper.start()
    ids = [f.frame_id for f in acq]
    stopper.join()
    assert len(ids) >= 2 and ids == list(range(ids[0], ids[0] + len(ids)))
    assert acq.is_stopped()


def test_a_later_subscription_sees_only_later_frames_and_a_full_one_drops(rig, ip):
    sim, cam = rig(ip, frame_rate=50.0)
    with cam.start_acquisition() as acq:
        first = acq.wait_for(5.0)
        cam.execute("AcquisitionStop")
        assert wait_until(lambda: not sim.acquiring)
        drained = [first] + acq.recv_all()
        while (frame := acq.wait_for(0.3)) is not None:
            drained.append(frame)
        last_before = drained[-1].frame_id
        later, full = acq.subscribe(), acq.subscribe(capacity=1)
        assert later.try_recv() is None and later.wait_for(0.3) is None

        cam.execute("AcquisitionStart")
        frames = [later.wait_for(5.0) for _ in range(3)]
        assert wait_until(lambda: acq.stats().frames_dropped >= 2)
        own = acq.recv_all()
        with pytest.raises(ValueError, match="^capacity must be at least 1$"):
            acq.subscribe(capacity=0)
    assert [f.frame_id for f in frames] == [f.frame_id for f in own[:3]]
    assert frames[0].frame_id == last_before + 1
    assert len(full.recv_all()) == 1
    rest = list(later)  # ends with the stream
    assert [f.frame_id for f in frames + rest] == list(range(frames[0].frame_id, frames[0].frame_id + 3 + len(rest)))
    assert isinstance(full, korvalite.FrameChannel)


def test_a_failing_acquisition_start_leaves_the_transport_unlocked_no_stream_and_the_camera_free(rig, capture_log, ip):
    sim, cam = rig(ip, refuse=[REG["AcquisitionStart"]])
    since = next_sequence(sim)
    for _ in range(2):  # not busy after the first failure
        with pytest.raises(korvalite.CameraException) as info:
            cam.start_acquisition()
        assert str(info.value) == f"AcquisitionStart: {DENIED}"
    assert feature_writes(sim, since) == [("SCP", "open"), ("TLParamsLocked", 1), ("TLParamsLocked", 0), ("SCP", 0)] * 2
    assert sim.read_register(REG["TLParamsLocked"]) == 0 and sim.read_register(0x0D00) == 0
    assert gvsp_threads() == []
    assert records(capture_log, "korvalite.py") == []
    sim.set_faults(refuse={})
    cam.start_acquisition().stop()


def test_a_failing_acquisition_stop_is_raised_after_the_clean_up(rig, ip):
    sim, cam = rig(ip, refuse=[REG["AcquisitionStop"]])
    acq = cam.start_acquisition()
    since = next_sequence(sim)
    with pytest.raises(korvalite.CameraException) as info:
        with acq:
            pass
    assert str(info.value) == f"AcquisitionStop: {DENIED}"
    assert feature_writes(sim, since) == [("TLParamsLocked", 0), ("SCP", 0)]
    assert acq.is_stopped() and gvsp_threads() == []
    assert acq.stop() is None
    cam.snapshot_session().close()  # the claim went with the failed stop


def test_transport_lock_failures_are_logged_and_do_not_stop_the_acquisition(rig, capture_log, ip):
    sim, cam = rig(ip, refuse=[REG["TLParamsLocked"]])
    with cam.start_acquisition() as acq:
        assert acq.wait_for(5.0).is_complete
    assert records(capture_log, "korvalite.py") == [
        ("DEBUG", f"TLParamsLocked not set: TLParamsLocked = 1: {DENIED}"),
        ("DEBUG", f"TLParamsLocked not cleared: TLParamsLocked = 0: {DENIED}"),
    ]


def test_the_context_manager_stops_and_lets_the_exception_through(rig, ip):
    sim, cam = rig(ip)
    with pytest.raises(KeyError):
        with cam.start_acquisition() as acq:
            assert acq.wait_for(5.0) is not None
            raise KeyError("in flight")
    assert acq.is_stopped() and not sim.acquiring


def test_busy_claims_name_the_activity_in_progress(rig, ip):
    sim, cam = rig(ip, acquisition_mode="SingleFrame")

    def claims():
        return {"connect": cam.connect, "disconnect": cam.disconnect, "snap": cam.snap,
                "start_acquisition": cam.start_acquisition, "snapshot_session": cam.snapshot_session}

    def assert_busy(label):
        for name, call in claims().items():
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == BUSY.format(label), name

    acq = cam.start_acquisition()
    assert_busy("an acquisition")
    cam.get_integer("Width")  # features never claim
    acq.stop()
    assert cam.snap().is_complete

    with cam.snapshot_session():
        assert_busy("a snapshot session")

    sim.set_faults(stream_drop=1.0)
    since = next_sequence(sim)
    outcome = []

    def snap():
        try:
            cam.snap(timeout=2.0)
        except korvalite.GenicamException as e:
            outcome.append(str(e))

    snapper = threading.Thread(target=snap)
    snapper.start()
    try:
        assert wait_until(lambda: ("AcquisitionStart", 1) in feature_writes(sim, since))
        assert_busy("a snap")
    finally:
        snapper.join()
    assert outcome == ["no frame arrived within the snap timeout"]


@pytest.mark.parametrize("call", ["start_acquisition", "snapshot_session", "snap"])
def test_capture_on_a_camera_never_connected_raises_and_leaves_it_free(call, ip):
    cam = korvalite.Camera(ip)
    for _ in range(2):
        with pytest.raises(korvalite.CameraException, match="^driver is not connected$"):
            getattr(cam, call)()


@pytest.mark.parametrize("arguments, error, text", [
    (dict(n_buffers=0), ValueError, "n_buffers must be at least 1"),
    (dict(channel=70000), TypeError, None),
    (dict(packet_size=-1), TypeError, None),
    (dict(packet_delay=2**32), TypeError, None),
])
def test_stream_options_are_checked_before_the_camera_is_claimed(rig, arguments, error, text, ip):
    sim, cam = rig(ip)
    for call in (cam.start_acquisition, cam.snapshot_session, cam.snap):
        with pytest.raises(error) as info:
            call(**arguments)
        if text:
            assert str(info.value) == text
    cam.snap()


@pytest.mark.parametrize("flowing", [False, True], ids=["idle", "flowing"])
def test_ctrl_c_stops_a_for_loop_over_an_acquisition(rig, flowing, ip):
    sim, cam = rig(ip, frame_rate=100.0)
    acq = cam.start_acquisition()
    assert acq.wait_for(5.0) is not None
    if not flowing:
        cam.execute("AcquisitionStop")
    rescued = []

    def rescue():  # ends a loop that missed the signal, so the test fails instead of hanging
        rescued.append(True)
        acq.stop()

    interrupter = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    watchdog = threading.Timer(20.0, rescue)
    interrupter.start()
    watchdog.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in acq:
                pass
    finally:
        watchdog.cancel()
        interrupter.join()
    assert rescued == [] and not acq.is_stopped()
    acq.stop()


@pytest.mark.parametrize("pixel_format, bits", [("Mono8", 8), ("Mono16", 16), ("RGB8", 24)])
def test_frame_properties_of_a_streamed_frame(rig, pixel_format, bits, ip):
    import time

    sim, cam = rig(ip, width=40, height=10, offset_x=3, offset_y=4, pixel_format=pixel_format,
                   tick_frequency=125_000_000)
    before = time.time_ns()
    frame = cam.snap()
    after = time.time_ns()
    size = payload_size(40, 10, pixel_format)
    assert frame.status == FrameStatus.Complete and frame.status == 0 and frame.status != FrameStatus.Aborted
    assert frame.is_complete
    assert (frame.width, frame.height, frame.x_offset, frame.y_offset) == (40, 10, 3, 4)
    assert (frame.pixel_format, frame.pixel_format_code, frame.bits_per_pixel) == (
        pixel_format, PIXEL_FORMATS[pixel_format], bits)
    assert frame.received_size == size
    assert frame.data() == expected_pattern(frame.frame_id, 40, 10, pixel_format, 3, 4)
    assert bytes(memoryview(frame)) == frame.data()
    assert frame.timestamp_ticks > 0 and frame.timestamp_ns == frame.timestamp_ticks * 8
    assert before <= frame.system_timestamp_ns <= after
    assert repr(frame) == f"Frame(id={frame.frame_id}, Complete, 40x10 {pixel_format}, {size} bytes)"


def test_documentation_of_the_capture_objects():
    def doc(method):  # nanobind puts the signature first
        return method.__doc__.split("\n\n", 1)[1]

    assert korvalite.Acquisition.__doc__ == (
        "A running continuous acquisition. The built-in subscription is created\n"
        "before the camera starts, so even the first frame is delivered. Use as a\n"
        "context manager or call `stop()`; buffered frames stay readable after.")
    assert korvalite.SnapshotSession.__doc__ == (
        "An open stream channel dedicated to on-demand single-frame capture; the\n"
        "camera transmits only while a `snap()` is in flight. Use as a context\n"
        "manager or call `close()` to restore the camera's acquisition mode.")
    assert doc(korvalite.Acquisition.stop) == (
        "Stop the camera, unlock transport parameters, and close the stream\n"
        "channel. Idempotent; frames already buffered stay readable.")
    assert doc(korvalite.Acquisition.subscribe) == (
        "An additional subscription with its own buffer; unlike the built-in\n"
        "one it only sees frames completed after this call.")
    assert doc(korvalite.SnapshotSession.close) == (
        "Restore `AcquisitionMode`, unlock transport parameters, and close the\n"
        "stream channel. Idempotent.")
    options = ("*, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, "
               "packet_delay: int | None = None, resend: bool = True")
    callback = ("callback: collections.abc.Callable[[Frame], object] | None = None, on_error: str = 'log', "
                "packet_ring: bool | str | None = None")
    assert korvalite.Camera.start_acquisition.__doc__.startswith(f"start_acquisition(self, {options}, {callback}) -> ")
    ring = "packet_ring: bool | str | None = None"
    assert korvalite.Camera.snapshot_session.__doc__.startswith(f"snapshot_session(self, {options}, {ring}) -> ")
    assert korvalite.Camera.snap.__doc__.startswith(f"snap(self, timeout: float = 5.0, {options}, {ring}) -> Frame")
    assert korvalite.Acquisition.wait_for.__doc__.startswith("wait_for(self, timeout: float = 1.0) -> Frame | None")
    with pytest.raises(TypeError):
        korvalite.Acquisition()


def test_frames_kept_by_the_application_stall_the_stream_with_one_warning(rig, caplog, ip):
    caplog.set_level("WARNING", logger="korvalite.gige.stream.runner")
    sim, cam = rig(ip, frame_rate=200.0)
    with cam.start_acquisition(n_buffers=2) as acq:
        kept = [acq.wait_for(5.0), acq.wait_for(5.0)]
        assert None not in kept
        assert wait_until(lambda: acq.stats().underruns >= 5)
        assert acq.try_recv() is None  # nothing arrives while every buffer is held
        warnings = records(caplog, "korvalite.gige.stream.runner")
        assert [level for level, _ in warnings] == ["WARNING"]
        assert "all 2 frame buffers (n_buffers)" in warnings[0][1] and "numpy.array(frame.to_numpy())" in warnings[0][1]
        kept.clear()  # the buffers go back to the pool: delivery resumes
        assert acq.wait_for(5.0) is not None
