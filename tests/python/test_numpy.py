"""Frame.to_numpy and the buffer protocol: arrays over the pooled buffer without copies, shaped
by pixel format and line padding, keeping their frame alive (against the simulated camera)."""

import gc
import subprocess
import sys
import weakref

import numpy as np
import pytest

import korvalite
from korvalite import _korvalite_testing
from korvalite.sim import EXACT_PATTERN, PIXEL_FORMATS, SimulatedCamera, expected_pattern

testing = _korvalite_testing
MONO8, MONO16, RGB8 = PIXEL_FORMATS["Mono8"], PIXEL_FORMATS["Mono16"], PIXEL_FORMATS["RGB8"]


def test_views_share_the_pooled_buffer_and_keep_the_frame_alive():
    pool = testing.FramePool(1, 64)
    frame = pool.frame([(0, bytes(range(64)))], width=8, height=8, pixel_format=MONO8)
    alive = weakref.ref(frame)
    image = frame.to_numpy()
    flat = np.asarray(frame)
    assert np.shares_memory(image, flat)
    assert image.ctypes.data == flat.ctypes.data == np.frombuffer(memoryview(frame), np.uint8).ctypes.data
    assert not np.shares_memory(np.frombuffer(frame.data(), np.uint8), flat)  # data() stays a copy
    assert not image.flags.writeable and not flat.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        image[0, 0] = 1

    del frame
    gc.collect()
    assert alive() is not None and pool.free_slots() == 0
    assert image[7, 7] == 63
    del image
    gc.collect()
    assert alive() is not None and pool.free_slots() == 0  # the flat view still holds it
    del flat
    gc.collect()
    assert alive() is None and pool.free_slots() == 1


@pytest.fixture(scope="module")
def cam(free_ip):
    ip = free_ip()
    with SimulatedCamera(ip, frame_rate=200.0, exposure_us=1000.0, test_pattern=EXACT_PATTERN):
        camera = korvalite.Camera(ip)
        camera.connect()
        yield camera
        camera.disconnect()


SHAPES = [
    ("Mono8", np.uint8, ()), ("BayerRG8", np.uint8, ()), ("BayerGB8", np.uint8, ()),
    ("Mono10", np.uint16, ()), ("Mono12", np.uint16, ()), ("Mono16", np.uint16, ()),
    ("RGB8", np.uint8, (3,)), ("BGR8", np.uint8, (3,)),
]


@pytest.mark.parametrize("pixel_format, dtype, channels", SHAPES)
def test_simulator_frames_are_shaped_by_pixel_format(cam, pixel_format, dtype, channels):
    width, height, offset_x, offset_y = 40, 6, 3, 2
    cam.set_enum("PixelFormat", pixel_format)
    for name, value in (("Width", width), ("Height", height), ("OffsetX", offset_x), ("OffsetY", offset_y)):
        cam.set_integer(name, value)
    frame = cam.snap()
    image = frame.to_numpy()

    assert (image.shape, image.dtype) == ((height, width) + channels, np.dtype(dtype))
    assert np.shares_memory(image, np.asarray(frame))
    expected = np.frombuffer(expected_pattern(frame.frame_id, width, height, pixel_format, offset_x, offset_y),
                             np.dtype(dtype).newbyteorder("<")).reshape(image.shape)
    assert np.array_equal(image, expected)
    # One pixel past the frame-number stamp, from the pattern's formula.
    g = (5 + offset_x) + 2 * (3 + offset_y) + 3 * frame.frame_id
    mask = {"Mono10": 0x3FF, "Mono12": 0xFFF, "Mono16": 0xFFFF}.get(pixel_format, 0xFF)
    if pixel_format == "RGB8":
        assert image[3, 5].tolist() == [g % 256, (g + 85) % 256, (g + 170) % 256]
    elif pixel_format == "BGR8":
        assert image[3, 5].tolist() == [(g + 170) % 256, (g + 85) % 256, g % 256]
    else:
        assert image[3, 5] == g & mask


def padded_rows(width, height, sample, padding):
    """Rows of `width` samples (each `sample` bytes), row r holding bytes r*16 + i, then
    `padding` bytes of 0xEE; the last row without its padding."""
    rows = []
    for r in range(height):
        row = bytes((r * 16 + i) % 256 for i in range(width * sample))
        rows.append(row + (b"\xee" * padding if r < height - 1 else b""))
    return b"".join(rows)


@pytest.mark.parametrize("pixel_format, width, sample, padding, shape, strides", [
    (MONO8, 5, 1, 3, (4, 5), (8, 1)),
    (MONO16, 3, 2, 2, (4, 3), (8, 2)),
    (MONO16, 3, 2, 1, (4, 3), (7, 2)),  # odd stride: still a view, unaligned words
    (RGB8, 2, 3, 4, (4, 2, 3), (10, 3, 1)),
])
def test_line_padding_from_the_leader_sets_the_row_stride(pixel_format, width, sample, padding, shape, strides):
    height = 4
    payload = padded_rows(width, height, sample, padding)
    pool = testing.FramePool(1, len(payload) + padding)
    frame = pool.frame([(0, payload)], width=width, height=height, pixel_format=pixel_format, padding_x=padding)
    image = frame.to_numpy()

    assert (image.shape, image.strides) == (shape, strides)
    assert np.shares_memory(image, np.asarray(frame)) and not image.flags.writeable
    stride = width * sample + padding
    unpadded = b"".join(payload[r * stride: r * stride + width * sample] for r in range(height))
    dtype = "<u2" if sample == 2 else np.uint8
    assert np.array_equal(image, np.frombuffer(unpadded, dtype).reshape(shape))
    del frame
    gc.collect()
    assert pool.free_slots() == 0
    del image
    gc.collect()
    assert pool.free_slots() == 1


@pytest.mark.parametrize("code, writes, status", [
    (0x01100025, [(0, b"\x01\x02\x03\x04")], 0),  # Mono14: a name korvalite does not shape
    (0x010C00F0, [(0, b"\x05\x06\x07")], 0),  # a code without a name
    (0, [(0, b"\x09"), (6, b"\x0a")], 1),       # no leader information, holes
])
def test_formats_without_a_shape_give_the_data_as_bytes(code, writes, status):
    frame = testing.FramePool(1, 16).frame(writes, status=status, width=2, height=2, pixel_format=code)
    image = frame.to_numpy()
    assert (image.shape, image.dtype) == ((len(frame.data()),), np.dtype(np.uint8))
    assert image.tobytes() == frame.data()
    assert np.shares_memory(image, np.asarray(frame))


@pytest.mark.parametrize("code, width, height, padding, data, message", [
    (MONO16, 8, 4, 0, 40, "8x4 Mono16 needs 64 bytes, the frame holds 40"),
    (MONO8, 8, 4, 2, 37, "8x4 Mono8 with 2 bytes of line padding needs 38 bytes, the frame holds 37"),
    (RGB8, 2**32 - 1, 2**32 - 1, 65535, 8,
     "4294967295x4294967295 RGB8 with 65535 bytes of line padding needs 55340513666040463365 bytes, "
     "the frame holds 8"),
])
def test_a_frame_too_short_for_its_image_raises(code, width, height, padding, data, message):
    frame = testing.FramePool(1, 64).frame([(0, bytes(data))], width=width, height=height, pixel_format=code,
                                           padding_x=padding)
    with pytest.raises(ValueError) as raised:
        frame.to_numpy()
    assert str(raised.value) == "frame too short for its image: " + message


def test_exact_sizes_and_empty_images():
    pool = testing.FramePool(3, 64)
    exact = pool.frame([(0, bytes(38))], width=8, height=4, pixel_format=MONO8, padding_x=2)
    assert exact.to_numpy().shape == (4, 8)  # the last row needs no padding after it
    empty = pool.frame([], width=0, height=0, pixel_format=MONO16)
    assert (empty.to_numpy().shape, empty.to_numpy().dtype) == ((0, 0), np.dtype(np.uint16))
    unshaped_empty = pool.frame([], pixel_format=0)
    assert unshaped_empty.to_numpy().shape == (0,)


NO_NUMPY = r"""
import sys
sys.modules["numpy"] = None  # any import of numpy now fails
import korvalite, korvalite.cli, korvalite.images, korvalite.sim
from korvalite import _korvalite_testing
frame = _korvalite_testing.FramePool(1, 4).frame([(0, b"abcd")], width=2, height=2, pixel_format=0x01080001)
assert bytes(memoryview(frame)) == b"abcd"
try:
    frame.to_numpy()
except ImportError as error:
    print(type(error).__name__, error)
"""


def test_importing_korvalite_never_needs_numpy():
    done = subprocess.run([sys.executable, "-c", NO_NUMPY], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ImportError Frame.to_numpy needs numpy; install it with `pip install numpy`"
