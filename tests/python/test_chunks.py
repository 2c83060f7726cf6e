"""Chunk data from the simulated camera through real sockets: frame.chunks (views into the
frame's buffer) and Camera.chunk_value (the description's chunk features read from a frame)."""

import gc
import weakref

import pytest

import korvalite
from korvalite.sim import CHUNK_IDS, expected_pattern

SELECTORS = tuple(CHUNK_IDS)  # Image, Timestamp, ExposureTime, FrameID, Width, Height


def chunk_snap(cam, enabled, width=24, height=6, exposure_us=1500.0, active=True):
    """A frame with chunk mode `active` and exactly the chunks `enabled` switched on."""
    cam.set_integer("Width", width)
    cam.set_integer("Height", height)
    cam.set_enum("PixelFormat", "Mono8")
    cam.set_float("ExposureTime", exposure_us)
    for selector in SELECTORS:
        cam.set_enum("ChunkSelector", selector)
        cam.set_boolean("ChunkEnable", selector in enabled)
    cam.set_boolean("ChunkModeActive", active)
    try:
        return cam.snap(timeout=5.0)
    finally:
        cam.set_boolean("ChunkModeActive", False)


def test_chunk_values_equal_what_the_camera_sent(sim_camera):
    cam = sim_camera
    frame = chunk_snap(cam, SELECTORS, width=24, height=6, exposure_us=1500.0)
    assert frame.status == korvalite.FrameStatus.Complete
    assert list(frame.chunks) == [CHUNK_IDS[s] for s in SELECTORS]  # payload order
    values = {name: cam.chunk_value(frame, name) for name in
              ("ChunkTimestamp", "ChunkExposureTime", "ChunkFrameID", "ChunkWidth", "ChunkHeight")}
    assert values == {"ChunkTimestamp": frame.timestamp_ticks, "ChunkExposureTime": 1500.0,
                      "ChunkFrameID": frame.frame_id, "ChunkWidth": 24, "ChunkHeight": 6}
    image = frame.chunks[CHUNK_IDS["Image"]]
    assert bytes(image) == expected_pattern(frame.frame_id, 24, 6, "Mono8")
    assert frame.to_numpy().tobytes() == bytes(image)  # the image still starts the payload


@pytest.mark.parametrize("enabled, active, payload_has_image", [
    (("Image",), True, True),
    (("Timestamp", "FrameID"), True, False),  # chunk data alone: payload type 4
    (SELECTORS, False, True),                 # chunk mode off: a plain image
], ids=["image-only", "no-image", "mode-off"])
def test_chunk_selection_decides_the_payload(sim_camera, enabled, active, payload_has_image):
    cam = sim_camera
    frame = chunk_snap(cam, enabled, active=active)
    assert frame.status == korvalite.FrameStatus.Complete
    sent = [CHUNK_IDS[s] for s in SELECTORS if s in enabled] if active else []
    assert list(frame.chunks) == sent
    assert (frame.width > 0) == payload_has_image
    for name in ("ChunkFrameID", "ChunkWidth"):
        if active and name[len("Chunk"):] in enabled:
            assert cam.chunk_value(frame, name) == (frame.frame_id if name == "ChunkFrameID" else 24)
        else:
            with pytest.raises(korvalite.GenicamException, match="not available"):
                cam.chunk_value(frame, name)


def test_chunk_views_share_the_frame_buffer_and_keep_it_alive(sim_camera):
    cam = sim_camera
    frame = chunk_snap(cam, ("Image", "FrameID"))
    frame_id, frame_ref = frame.frame_id, weakref.ref(frame)
    view = frame.chunks[CHUNK_IDS["FrameID"]]
    assert view.readonly and view.obj is frame  # a view of the frame's own buffer, not a copy
    with pytest.raises(TypeError):
        view[0] = 0
    del frame
    gc.collect()
    assert frame_ref() is not None  # the view holds the frame
    assert int.from_bytes(view, "little") == frame_id
    del view
    gc.collect()
    assert frame_ref() is None
