"""Packed, Bayer and 4:2:2 pixel formats in Frame.to_numpy, and what Frame.pixel_format_info
says about them: every format round-trips exactly from the simulated camera (127.0.0.78)."""

import gc
import weakref

import numpy as np
import pytest

import korvalite
from korvalite import _korvalite_testing
from korvalite.sim import PIXEL_FORMATS, expected_pattern

testing = _korvalite_testing
LSB_PACKED = {"Mono10p": 10, "Mono12p": 12, **{f"Bayer{t}{b}p": b for t in ("RG", "GB", "GR", "BG") for b in (10, 12)}}
MSB_PAIRS = ("Mono12Packed", "BayerRG12Packed", "BayerGR12Packed")
WORDS = tuple(f"Bayer{t}{b}" for t in ("RG", "GB", "GR", "BG") for b in (10, 12))
BYTES_422 = ("YUV422_8", "YCbCr422_8")
STAMP_PIXELS = 8  # the frame number covers the first 8 bytes, so at most 8 pixels


def reference_unpack(data, count, pixel_format):
    """Unpacks packed bytes the slow, obvious way: bit by bit, or byte pair by byte pair."""
    raw = np.frombuffer(data, np.uint8)
    if pixel_format in MSB_PAIRS:
        triples = np.pad(raw, (0, -len(raw) % 3)).reshape(-1, 3).astype(np.uint16)
        pairs = np.stack([triples[:, 0] << 4 | triples[:, 1] & 0x0F, triples[:, 2] << 4 | triples[:, 1] >> 4], 1)
        return pairs.reshape(-1)[:count]
    bits = LSB_PACKED[pixel_format]
    stream = np.unpackbits(raw, bitorder="little")[:count * bits].reshape(count, bits).astype(np.uint16)
    return (stream << np.arange(bits, dtype=np.uint16)).sum(axis=1, dtype=np.uint16)


def snap(cam, pixel_format, width=13, height=5, offset_x=3, offset_y=2):
    """A frame of odd width, so packed rows end inside a byte."""
    cam.set_enum("PixelFormat", pixel_format)
    for name, value in (("Width", width), ("Height", height), ("OffsetX", offset_x), ("OffsetY", offset_y)):
        cam.set_integer(name, value)
    frame = cam.snap()
    expected = expected_pattern(frame.frame_id, width, height, pixel_format, offset_x, offset_y)
    assert (frame.pixel_format, frame.data()) == (pixel_format, expected)
    return frame


@pytest.mark.parametrize("pixel_format", list(LSB_PACKED) + list(MSB_PAIRS))
def test_packed_formats_unpack_to_the_values_of_their_depth(sim_camera, pixel_format):
    frame = snap(sim_camera, pixel_format)
    image = frame.to_numpy()
    assert (image.shape, image.dtype) == ((5, 13), np.dtype(np.uint16))
    assert np.array_equal(image.reshape(-1), reference_unpack(frame.data(), 65, pixel_format))
    bits = frame.pixel_format_info.significant_bits
    unpacked = np.frombuffer(expected_pattern(frame.frame_id, 13, 5, f"Mono{bits}", 3, 2), "<u2")
    assert np.array_equal(image.reshape(-1)[STAMP_PIXELS:], unpacked[STAMP_PIXELS:])
    assert image.max() < 1 << bits


@pytest.mark.parametrize("pixel_format, dtype, shape", [(f, "<u2", (5, 13)) for f in WORDS]
                         + [(f, np.uint8, (5, 13, 2)) for f in BYTES_422]
                         + [(f, np.uint8, (5, 13)) for f in ("BayerGR8", "BayerBG8")])
def test_unpacked_formats_are_views_of_the_pattern(sim_camera, pixel_format, dtype, shape):
    frame = snap(sim_camera, pixel_format)
    image = frame.to_numpy()
    assert (image.shape, image.dtype) == (shape, np.dtype(dtype)) and np.shares_memory(image, np.asarray(frame))
    assert image.tobytes() == frame.data()


def test_the_simulator_offers_every_known_format():
    assert sorted(PIXEL_FORMATS) == sorted(info.name for info in korvalite.pixel_formats())
    assert {info.code for info in korvalite.pixel_formats()} == set(PIXEL_FORMATS.values())


@pytest.mark.parametrize("name, bits, significant, layout, pattern, packed, channels, dtype", [
    ("Mono12p", 12, 12, "mono", None, True, 1, "uint16"),
    ("Mono12", 16, 12, "mono", None, False, 1, "uint16"),
    ("Mono12Packed", 12, 12, "mono", None, True, 1, "uint16"),
    ("BayerGR10p", 10, 10, "bayer", "GR", True, 1, "uint16"),
    ("BayerBG8", 8, 8, "bayer", "BG", False, 1, "uint8"),
    ("YCbCr422_8", 16, 8, "ycbcr422", None, False, 2, "uint8"),
    ("BGR8", 24, 8, "bgr", None, False, 3, "uint8"),
])
def test_pixel_format_info(name, bits, significant, layout, pattern, packed, channels, dtype):
    pool = testing.FramePool(1, 8)
    info = pool.frame([], pixel_format=PIXEL_FORMATS[name]).pixel_format_info
    assert (info.name, info.code, info.bits_per_pixel, info.significant_bits, info.layout, info.bayer_pattern,
            info.packed, info.channels, info.dtype) == (name, PIXEL_FORMATS[name], bits, significant, layout, pattern,
                                                        packed, channels, dtype)
    assert repr(info) == f"PixelFormatInfo({name}, {bits} bits per pixel, {significant} significant)"


def test_unknown_format_has_no_info_and_a_hex_name():
    frame = testing.FramePool(1, 8).frame([(0, bytes(8))], width=2, height=2, pixel_format=0x01100025)
    assert (frame.pixel_format, frame.pixel_format_info) == ("0x01100025", None)
    assert frame.to_numpy().shape == (8,)


# The golden rows of the C++ unpack tests: 3x2 Mono12p back to back, and with 2 bytes of padding.
@pytest.mark.parametrize("payload, padding", [
    ("23 61 45 89 C7 AB EF 2D 01", 0),
    ("23 61 45 89 07 EE EE BC FA DE 12 00", 2),
])
def test_packed_rows_follow_line_padding(payload, padding):
    data = bytes.fromhex(payload)
    frame = testing.FramePool(1, len(data)).frame([(0, data)], width=3, height=2,
                                                  pixel_format=PIXEL_FORMATS["Mono12p"], padding_x=padding)
    assert frame.to_numpy().tolist() == [[0x123, 0x456, 0x789], [0xABC, 0xDEF, 0x012]]


@pytest.mark.parametrize("pixel_format, width, height, padding, needed", [
    ("Mono12p", 4, 3, 0, 18),
    ("Mono10p", 5, 3, 0, 19),
    ("Mono12Packed", 3, 2, 1, 11),
])
def test_short_packed_frame_says_how_short(pixel_format, width, height, padding, needed):
    frame = testing.FramePool(1, 64).frame([(0, bytes(needed - 1))], width=width, height=height,
                                           pixel_format=PIXEL_FORMATS[pixel_format], padding_x=padding)
    message = f"frame too short for its image: {width}x{height} {pixel_format}"
    message += f" with {padding} bytes of line padding" if padding else ""
    with pytest.raises(ValueError) as raised:
        frame.to_numpy()
    assert str(raised.value) == message + f" needs {needed} bytes, the frame holds {needed - 1}"


def test_unpacked_array_owns_its_samples():
    pool = testing.FramePool(1, 3)
    frame = pool.frame([(0, bytes.fromhex("23 61 45"))], width=2, height=1, pixel_format=PIXEL_FORMATS["Mono12p"])
    alive = weakref.ref(frame)
    image = frame.to_numpy()
    assert not np.shares_memory(image, np.asarray(frame)) and image.flags.writeable
    del frame
    gc.collect()
    assert alive() is None and pool.free_slots() == 1  # the array does not hold the buffer
    assert image.tolist() == [[0x123, 0x456]]
