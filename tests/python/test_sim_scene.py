"""The simulated camera's scene (TestPattern Off): its brightness follows ExposureTime and Gain,
its colour formats carry the same colours, and TestPattern brings back the exact pattern."""

import numpy as np
import pytest

from korvalite.images import image_array
from korvalite.sim import expected_pattern, expected_scene

# The whole sensor in a small window: bars in rows 0-18, the ramp with the disc and the square in
# rows 19-47, the floor below, and the square that moves about.
SIZE = dict(sensor_width=96, sensor_height=64)
SCENE = dict(test_pattern="Off", width=96, height=64, exposure_us=10000.0, **SIZE)


@pytest.fixture
def ip(free_ip):
    return free_ip()


def snap(cam, pixel_format):
    cam.set_enum("PixelFormat", pixel_format)
    return cam.snap()


def test_brightness_rises_with_exposure_and_gain_and_saturates(rig, ip):
    _, cam = rig(ip, **SCENE)
    cam.set_enum("PixelFormat", "Mono8")
    means = {}
    for exposure_us, gain_db in [(100.0, 0.0), (1000.0, 0.0), (10000.0, 0.0), (10000.0, 12.0), (100000.0, 24.0)]:
        cam.set_float("ExposureTime", exposure_us)
        cam.set_float("Gain", gain_db)
        means[exposure_us, gain_db] = cam.snap().to_numpy().mean()
    values = list(means.values())
    assert values == sorted(values) and len(set(values)) == len(values), means
    assert values[0] < 10 and 80 < means[10000.0, 0.0] < 160 and values[-1] == 255, means


def rgb_scene(frame_id):
    data = expected_scene(frame_id, 96, 64, "RGB8", **SIZE)
    return np.frombuffer(data, np.uint8).reshape(64, 96, 3).astype(int)


def test_colour_formats_carry_the_colours_of_the_rgb_scene(rig, ip):
    _, cam = rig(ip, **SCENE)
    frame = snap(cam, "RGB8")
    rgb = frame.to_numpy().astype(int)
    assert np.array_equal(rgb, rgb_scene(frame.frame_id))
    # The bars and shapes are strongly coloured: red, green and blue each lead somewhere.
    leading = {int(np.argmax(p)) for p in rgb.reshape(-1, 3) if p.max() - p.min() > 100}
    assert leading == {0, 1, 2}
    for pixel_format in ("BGR8", "BayerRG8", "BayerGB8", "BayerGR12p", "YUV422_8", "YCbCr422_8"):
        frame = snap(cam, pixel_format)
        rgb = rgb_scene(frame.frame_id)
        # Compare where the scene is flat over 5x5 pixels, so that demosaicing and 4:2:2 chroma
        # have no edge to blur.
        windows = np.lib.stride_tricks.sliding_window_view(rgb, (5, 5), axis=(0, 1))
        flat = np.zeros(rgb.shape[:2], bool)
        flat[2:-2, 2:-2] = (windows.max(axis=(-1, -2)) == windows.min(axis=(-1, -2))).all(axis=-1)
        assert flat.sum() > flat.size // 5  # the bars, the disc and the square
        difference = np.abs(image_array(frame, bits=8).astype(int) - rgb)[flat]
        assert difference.max() <= 3, pixel_format


def test_mono16_png_of_the_scene_is_bright(rig, ip, tmp_path):
    from png_reader import read_png

    _, cam = rig(ip, **SCENE)
    png = read_png(snap(cam, "Mono16").save(tmp_path / "scene.png").read_bytes())
    samples = np.frombuffer(b"".join(png.rows), ">u2")
    assert png.bit_depth == 16 and samples.mean() > 65535 / 4


def test_test_pattern_selects_the_exact_pattern(rig, ip):
    _, cam = rig(ip, **SCENE)
    assert cam.get_enum("TestPattern") == "Off"
    cam.set_enum("TestPattern", "GreyDiagonalRampMoving")
    frame = snap(cam, "RGB8")
    assert frame.data() == expected_pattern(frame.frame_id, 96, 64, "RGB8")
    cam.set_enum("TestPattern", "Off")
    frame = cam.snap()
    assert frame.data() != expected_pattern(frame.frame_id, 96, 64, "RGB8")
