import gc

import numpy as np
import pytest

import korvalite
from korvalite import _korvalite_testing

testing = _korvalite_testing
FrameStatus = korvalite.FrameStatus
AccessMode = korvalite.AccessMode

FRAME_PROPERTIES = ["status", "is_complete", "frame_id", "width", "height", "x_offset", "y_offset", "pixel_format",
                    "pixel_format_code", "bits_per_pixel", "timestamp_ticks", "timestamp_ns", "system_timestamp_ns",
                    "received_size"]


def public_names(cls):
    return [name for name in vars(cls) if not name.startswith("_")]


def test_frame_properties_read_only_and_in_order():
    pool = testing.FramePool(1, 64)
    frame = pool.frame([(0, bytes(range(32)))], status=0, frame_id=2**64 - 1, width=8, height=4, x_offset=2**32 - 1,
                       y_offset=7, pixel_format=0x01080001, timestamp_ticks=5_000_000_000,
                       timestamp_ns=5_000_000_000, system_timestamp_ns=1_700_000_000_123_456_789)
    at = FRAME_PROPERTIES.index("pixel_format") + 1
    assert public_names(korvalite.Frame) == (FRAME_PROPERTIES[:at] + ["pixel_format_info"] + FRAME_PROPERTIES[at:]
                                             + ["chunks", "data", "to_numpy", "save"])
    assert {name: getattr(frame, name) for name in FRAME_PROPERTIES} == {
        "status": FrameStatus.Complete,
        "is_complete": True,
        "frame_id": 2**64 - 1,
        "width": 8,
        "height": 4,
        "x_offset": 2**32 - 1,
        "y_offset": 7,
        "pixel_format": "Mono8",
        "pixel_format_code": 0x01080001,
        "bits_per_pixel": 8,
        "timestamp_ticks": 5_000_000_000,
        "timestamp_ns": 5_000_000_000,
        "system_timestamp_ns": 1_700_000_000_123_456_789,
        "received_size": 32,
    }
    assert frame.status is FrameStatus.Complete
    assert frame.chunks == {}  # its leader announced no chunk data
    assert frame.pixel_format_info.name == "Mono8"
    for name in FRAME_PROPERTIES + ["pixel_format_info"]:
        with pytest.raises(AttributeError):
            setattr(frame, name, getattr(frame, name))
    with pytest.raises(TypeError):
        korvalite.Frame()


def test_frame_documentation_and_repr():
    assert korvalite.Frame.__doc__ == "One captured frame. The pixel payload is copied out by `data()`."
    assert korvalite.Frame.is_complete.__doc__ == "`True` when every packet of the frame arrived."
    assert korvalite.Frame.pixel_format.__doc__ == (
        'Pixel format name (e.g. `"Mono8"`), or the raw GigE Vision code in hex for formats without a known name.')
    assert korvalite.Frame.pixel_format_code.__doc__ == "The raw 32-bit GigE Vision pixel format code."
    assert korvalite.Frame.data.__doc__ == (
        "data(self) -> bytes\n\n"
        "The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
        "frame the holes read as stale buffer content \u2014 check `status` first.")
    frame = testing.FramePool(1, 32).frame([(0, bytes(32))], frame_id=12, width=8, height=4, pixel_format=0x01080001)
    assert repr(frame) == "Frame(id=12, Complete, 8x4 Mono8, 32 bytes)"


@pytest.mark.parametrize("code, name, bits", [
    (0x01080001, "Mono8", 8),
    (0x01100007, "Mono16", 16),
    (0x010C00F0, "0x010c00f0", 12),
    (0, "0x00000000", 0),
])
def test_pixel_format_name_and_bits(code, name, bits):
    frame = testing.FramePool(1, 8).frame([], status=1, frame_id=3, width=2, height=1, pixel_format=code)
    assert (frame.pixel_format, frame.pixel_format_code, frame.bits_per_pixel) == (name, code, bits)
    assert repr(frame) == f"Frame(id=3, MissingPackets, 2x1 {name}, 0 bytes)"


def test_incomplete_frame_data_shows_stale_bytes_in_a_used_buffer_and_zeros_in_a_fresh_one():
    reused = testing.FramePool(1, 16)
    first = reused.frame([(0, b"\xaa" * 16)])
    assert first.data() == b"\xaa" * 16
    del first
    assert reused.free_slots() == 1
    holes = [(0, b"\x11" * 4), (6, b"\x22" * 2)]
    second = reused.frame(holes, status=1)
    assert (second.status, second.is_complete, second.received_size) == (FrameStatus.MissingPackets, False, 6)
    assert second.data() == b"\x11" * 4 + b"\xaa" * 2 + b"\x22" * 2

    fresh = testing.FramePool(1, 16).frame(holes, status=1)
    assert fresh.data() == b"\x11" * 4 + b"\x00" * 2 + b"\x22" * 2
    assert type(fresh.data()) is bytes


def test_buffer_view_is_read_only_and_keeps_the_frame_and_its_buffer():
    pool = testing.FramePool(1, 16)
    frame = pool.frame([(0, b"\x01\x02\x03"), (8, b"\x09")], status=1)
    view = memoryview(frame)
    assert (view.readonly, view.format, view.itemsize, view.nbytes) == (True, "B", 1, 9)
    assert view.tobytes() == frame.data()
    with pytest.raises(TypeError):
        view[0] = 7
    array = np.frombuffer(frame, dtype=np.uint8)
    assert array.tolist() == [1, 2, 3, 0, 0, 0, 0, 0, 9]
    assert not array.flags.writeable

    del frame
    gc.collect()
    assert pool.free_slots() == 0
    assert view[8] == 9
    view.release()
    assert pool.free_slots() == 0  # the array still holds the frame
    del array
    gc.collect()
    assert pool.free_slots() == 1


def test_frame_outlives_its_pool_and_an_empty_frame_has_an_empty_view():
    pool = testing.FramePool(2, 8)
    kept = pool.frame([(0, b"abcd")])
    empty = pool.frame([])
    assert pool.frame([]) is None
    del pool
    gc.collect()
    assert kept.data() == b"abcd"
    assert (empty.data(), memoryview(empty).nbytes, np.frombuffer(empty, dtype=np.uint8).size) == (b"", 0, 0)


STATUSES = [("Complete", 0), ("MissingPackets", 1), ("Timeout", 2), ("Aborted", 3), ("WrongPacketId", 4),
            ("PayloadUnsupported", 5), ("SizeMismatch", 6), ("OversizedPacket", 7), ("EarlyTrailer", 8),
            ("MalformedChunks", 9), ("IncompletePayload", 10)]
ACCESS_MODES = [("RO", 0), ("WO", 1), ("RW", 2), ("NA", 3), ("NI", 4)]


@pytest.mark.parametrize("cls, members", [(FrameStatus, STATUSES), (AccessMode, ACCESS_MODES)])
def test_enumeration_members(cls, members):
    assert public_names(cls) == [name for name, _ in members]
    for name, value in members:
        member = getattr(cls, name)
        assert type(member) is cls
        assert int(member) == value
        assert repr(member) == f"{cls.__name__}.{name}"
        assert hash(member) == hash(value)
    with pytest.raises(TypeError):
        cls()


def test_enumeration_instances_made_by_the_system_are_the_members():
    for name, value in ACCESS_MODES:
        assert testing.access_mode(value) is getattr(AccessMode, name)
    statuses = testing.FramePool(1, 4)
    for name, value in STATUSES:
        assert statuses.frame([], status=value).status is getattr(FrameStatus, name)
    assert FrameStatus.__doc__ == "How a frame ended."


def test_enumeration_comparisons():
    assert FrameStatus.Timeout == 2 and 2 == FrameStatus.Timeout
    assert FrameStatus.Timeout != FrameStatus.Aborted
    assert FrameStatus.Timeout == FrameStatus.Timeout and not FrameStatus.Timeout != 2
    assert FrameStatus.Complete != 1 and not FrameStatus.Complete == 2**70
    assert AccessMode.RW == 2 and AccessMode.RO != AccessMode.WO
    # Other types are not ours to judge: Python falls back to identity.
    assert FrameStatus.Complete != AccessMode.RO and not FrameStatus.Complete == AccessMode.RO
    assert FrameStatus.Timeout != 2.0 and FrameStatus.Timeout != "Timeout" and FrameStatus.Timeout != None  # noqa: E711
    assert FrameStatus.Complete.__eq__("x") is NotImplemented
    assert FrameStatus.Complete.__ne__(0.0) is NotImplemented
    for compare in (lambda: FrameStatus.Complete < 1, lambda: FrameStatus.Complete >= FrameStatus.Complete,
                    lambda: AccessMode.RO > 0):
        with pytest.raises(TypeError, match="not supported between instances"):
            compare()
    assert {FrameStatus.Aborted: "a"}[3] == "a"


LINK_FIELDS = ["commands", "acks", "retries", "timeouts", "naks", "pending_acks", "heartbeats", "events", "unsolicited"]
STREAM_FIELDS = ["packets", "bytes", "completed_frames", "failed_frames", "timed_out_frames", "size_mismatch_frames",
                 "oversized_packet_frames", "early_trailer_frames", "unsupported_payload_frames", "aborted_frames",
                 "missing_frames", "underruns", "missing_packets", "resend_requests", "resent_packets",
                 "resend_ratio_reached", "resend_disabled", "duplicated_packets", "error_packets", "ignored_packets",
                 "unsupported_frames", "size_mismatch_errors", "frames_dropped"]


@pytest.mark.parametrize("cls, make, fields", [
    (korvalite.LinkStats, testing.link_stats, LINK_FIELDS),
    (korvalite.StreamStats, testing.stream_stats, STREAM_FIELDS),
])
def test_counter_snapshots_have_read_only_attributes_in_order(cls, make, fields):
    values = {name: (i + 1) * 1000 + i for i, name in enumerate(fields)}
    values[fields[-1]] = 2**64 - 1
    stats = make(**values)
    assert public_names(cls) == fields
    assert {name: getattr(stats, name) for name in fields} == values
    for name in fields:
        with pytest.raises(AttributeError):
            setattr(stats, name, 0)
    with pytest.raises(TypeError):
        cls()
    shown = ", ".join(f"{name}: {value}" for name, value in values.items())
    assert repr(stats) == f"{cls.__name__} {{ {shown} }}"


def test_counter_documentation_and_examples():
    assert korvalite.LinkStats.__doc__ == "Control-channel counters."
    assert korvalite.StreamStats.__doc__ == "Stream receiver counters, all monotonic since stream open."
    assert korvalite.StreamStats.frames_dropped.__doc__ == (
        "Completed frames a subscriber could not take (its channel was full).")
    assert repr(testing.link_stats(commands=12, acks=12, naks=1, heartbeats=9)) == (
        "LinkStats { commands: 12, acks: 12, retries: 0, timeouts: 0, naks: 1, pending_acks: 0, heartbeats: 9, "
        "events: 0, unsolicited: 0 }")
