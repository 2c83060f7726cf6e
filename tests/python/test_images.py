"""Image files people can look at: deep samples scaled to the file's full range, Bayer mosaics
demosaiced into colour, 4:2:2 converted to RGB, and the files read back pixel by pixel
(simulated camera on 127.0.0.79 for the end-to-end cases)."""

import numpy as np
import pytest

import korvalite
from korvalite import _korvalite_testing
from korvalite.images import ImageError, image_array
from korvalite.sim import PIXEL_FORMATS
from png_reader import read_png

testing = _korvalite_testing
CELLS = {"RG": ("R", "G", "G", "B"), "GB": ("G", "B", "R", "G"), "GR": ("G", "R", "B", "G"), "BG": ("B", "G", "G", "R")}


def png_array(path):
    png = read_png(path.read_bytes())
    dtype = ">u2" if png.bit_depth == 16 else np.uint8
    shape = (png.height, png.width) + ((3,) if png.channels == 3 else ())
    return np.frombuffer(b"".join(png.rows), dtype).reshape(shape)


def make_frame(samples, pixel_format):
    """A frame holding `samples` ((height, width) or (height, width, channels) array) as sent."""
    data = samples.astype("<u2" if samples.dtype == np.uint16 else np.uint8).tobytes()
    pool = testing.FramePool(1, len(data))
    return pool.frame([(0, data)], width=samples.shape[1], height=samples.shape[0],
                      pixel_format=PIXEL_FORMATS[pixel_format])


def scaled(values, bits, to_bits):
    return np.rint(np.asarray(values, np.float64) * ((1 << to_bits) - 1) / ((1 << bits) - 1)).astype(np.int64)


def mosaic_of(colour, pattern, height=6, width=8):
    """A mosaic that samples one colour (R, G, B) everywhere."""
    tile = np.array([colour["RGB".index(c)] for c in CELLS[pattern]]).reshape(2, 2)
    return np.tile(tile, (height // 2, width // 2))


@pytest.mark.parametrize("pixel_format, bits, to_bits, suffix", [
    ("Mono12", 12, 16, ".png"), ("Mono12", 12, 8, ".png"), ("Mono10", 10, 16, ".png"),
    ("Mono12", 12, 16, ".pgm"), ("Mono10", 10, 8, ".pgm"), ("Mono16", 16, 16, ".png"),
])
def test_deep_grey_images_fill_the_range_of_the_file(tmp_path, pixel_format, bits, to_bits, suffix):
    values = (np.arange(64 * 64) * ((1 << bits) - 1) // (64 * 64 - 1)).astype(np.uint16).reshape(64, 64)
    path = make_frame(values, pixel_format).save(tmp_path / f"{pixel_format}-{to_bits}{suffix}", bits=to_bits)
    if suffix == ".png":
        image = png_array(path)
    else:
        header = f"P5\n64 64\n{(1 << to_bits) - 1}\n".encode()
        assert path.read_bytes().startswith(header)
        image = np.frombuffer(path.read_bytes()[len(header):], ">u2" if to_bits == 16 else np.uint8).reshape(64, 64)
    assert image.dtype.itemsize * 8 == to_bits
    assert np.array_equal(image, scaled(values, bits, to_bits))
    assert (image.min(), image.max()) == (0, (1 << to_bits) - 1)  # black stays black, the brightest is white


@pytest.mark.parametrize("pattern", list(CELLS))
@pytest.mark.parametrize("pixel_format, bits, colour", [
    ("Bayer{}8", 8, (255, 128, 0)),
    ("Bayer{}12", 12, (4095, 2048, 0)),
    ("Bayer{}10", 10, (100, 1023, 500)),
])
def test_bayer_png_shows_the_colour_of_the_scene(tmp_path, pattern, pixel_format, bits, colour):
    name = pixel_format.format(pattern)
    mosaic = mosaic_of(colour, pattern).astype(np.uint8 if bits == 8 else np.uint16)
    frame = make_frame(mosaic, name)
    to_bits = 8 if bits == 8 else 16

    image = png_array(frame.save(tmp_path / f"{name}.png"))
    assert image.shape == (6, 8, 3)
    assert np.array_equal(image, np.broadcast_to(scaled(colour, bits, to_bits), (6, 8, 3)))

    raw = png_array(frame.save(tmp_path / f"{name}-raw.png", raw=True))
    assert np.array_equal(raw, scaled(mosaic, bits, to_bits))


def snap(cam, pixel_format, width=48, height=32):
    cam.set_enum("PixelFormat", pixel_format)
    cam.set_integer("Width", width)
    cam.set_integer("Height", height)
    return cam.snap()


# The pattern is a ramp, which bilinear interpolation reproduces exactly: away from the edges,
# the frame-number stamp and any wrap of the ramp, every colour of a pixel is its own sample.
@pytest.mark.parametrize("pixel_format", ["BayerRG12p", "BayerGB10p", "BayerGR12Packed"])
def test_simulated_bayer_ramp_stays_grey_after_demosaic(sim_camera, tmp_path, pixel_format):
    frame = snap(sim_camera, pixel_format)
    mosaic = frame.to_numpy().astype(np.int64)
    image = png_array(frame.save(tmp_path / f"{pixel_format}.png"))
    bits = frame.pixel_format_info.significant_bits
    checked = 0
    for y in range(2, mosaic.shape[0] - 1):
        for x in range(1, mosaic.shape[1] - 1):
            around = mosaic[y - 1:y + 2, x - 1:x + 2]
            if around.max() - around.min() == 6:  # a plain ramp: +1 across, +2 down
                assert image[y, x].tolist() == [scaled(mosaic[y, x], bits, 16)] * 3, (y, x)
                checked += 1
    assert checked > mosaic.size // 2


def test_save_writes_tiff_npy_and_png_of_one_frame(sim_camera, tmp_path):
    tifffile = pytest.importorskip("tifffile")
    frame = snap(sim_camera, "Mono12p")
    values = frame.to_numpy()
    tiff = tifffile.imread(frame.save(tmp_path / "mono12p.tif"))
    assert tiff.dtype == np.uint16 and np.array_equal(tiff, scaled(values, 12, 16))
    assert np.array_equal(np.load(frame.save(tmp_path / "mono12p.npy")), values)  # unscaled
    assert np.array_equal(png_array(frame.save(tmp_path / "mono12p.png")), scaled(values, 12, 16))

    colour = snap(sim_camera, "BayerRG12p")
    rgb = tifffile.imread(colour.save(tmp_path / "bayer.tiff"))
    assert rgb.shape == (32, 48, 3) and np.array_equal(rgb, image_array(colour))


def test_4_2_2_images_are_saved_as_rgb(sim_camera, tmp_path):
    for pixel_format in ("YUV422_8", "YCbCr422_8"):
        frame = snap(sim_camera, pixel_format)
        image = png_array(frame.save(tmp_path / f"{pixel_format}.png"))
        assert image.shape == (32, 48, 3) and np.array_equal(image, korvalite.yuv422_to_rgb(frame))


# Full-range BT.601: the luma and chroma of pure colours, in both byte orders.
@pytest.mark.parametrize("yuv, rgb", [
    ((76, 85, 255), (254, 0, 0)),
    ((150, 44, 21), (0, 255, 1)),
    ((29, 255, 107), (0, 0, 254)),
    ((200, 128, 128), (200, 200, 200)),
])
def test_yuv422_to_rgb(yuv, rgb):
    y, u, v = yuv
    uyvy = np.array([[[u, y], [v, y]]], np.uint8)
    yuyv = np.array([[[y, u], [y, v]]], np.uint8)
    for array, layout in ((uyvy, "yuv422"), (yuyv, "ycbcr422")):
        assert korvalite.yuv422_to_rgb(array, layout).tolist() == [[list(rgb), list(rgb)]]


def test_images_refuse_what_they_cannot_show(tmp_path):
    mosaic = make_frame(mosaic_of((1, 2, 3), "RG", 2, 2).astype(np.uint8), "BayerRG8")
    unknown = testing.FramePool(1, 8).frame([(0, bytes(8))], width=2, height=2, pixel_format=0x01100025)
    for call, message in [
        (lambda: mosaic.save(tmp_path / "x.pgm"), "BayerRG8 is a colour format; write it as .ppm"),
        (lambda: mosaic.save(tmp_path / "x.ppm", raw=True), "BayerRG8 is a grey format; write it as .pgm"),
        (lambda: mosaic.save(tmp_path / "x.png", bits=12), "bits must be 8 or 16, not 12"),
        (lambda: unknown.save(tmp_path / "x.png"), "pixel format 0x01100025 has no image layout; write it as .npy"),
        (lambda: korvalite.demosaic(np.zeros((1, 4), np.uint8), "RG"),
         "a 4x1 mosaic is too small to demosaic; save it with raw=True"),
        (lambda: korvalite.yuv422_to_rgb(np.zeros((1, 2, 2), np.uint8), "rgb"),
         "not a 4:2:2 layout: 'rgb'; use 'yuv422' or 'ycbcr422'"),
    ]:
        with pytest.raises(ImageError) as raised:
            call()
        assert str(raised.value) == message
