"""Interoperability with an independent GigE Vision implementation, Debian's aravis-tools:
korvalite against that project's fake camera, and that project's client tools against
korvalite's simulated camera. Everything runs inside private network namespaces that have
nothing but loopback, so no datagram leaves them.

Run alone: ``cd tests/python && python3 -m pytest -q test_interop_aravis.py``.
"""

import json
import shutil
import subprocess
import sys
import textwrap

import pytest

import netns

FAKE_CAMERA = "arv-fake-gv-camera-0.8"
TOOL = "arv-tool-0.8"
CAMERA_TEST = "arv-camera-test-0.8"
ADDRESS = "127.0.0.1"  # the namespace's own loopback


def _unavailable(*programs):
    reason = netns.unavailable_reason()
    if reason:
        return f"network namespaces unavailable: {reason}"
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        return f"{', '.join(missing)} not installed (Debian's aravis-tools / aravis-tools-cli)"
    return None


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    made = netns.NetLab("aravis", tmp_path_factory.mktemp("aravis"))
    try:
        yield made
    finally:
        made.close()


@pytest.fixture(scope="module")
def fake_camera(lab):
    """A namespace in which the independent fake camera answers on loopback."""
    reason = _unavailable(FAKE_CAMERA)
    if reason:
        pytest.skip(reason)
    ns = lab.namespace()
    lab.start_device(ns, ADDRESS, argv=["timeout", "900", FAKE_CAMERA, "-i", ADDRESS])
    return ns


def korvalite_in(ns, body, timeout=120):
    """Runs `body` with a connected `cam` inside the namespace; returns what it put in `out`."""
    code = "import json, korvalite\nout = {}\ncam = korvalite.Camera(%r)\ncam.connect()\ntry:\n%s\nfinally:\n    cam.disconnect()\nprint(json.dumps(out))\n" % (
        ADDRESS, textwrap.indent(textwrap.dedent(body), "    "))
    result = ns.python(code, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_identity_and_features_of_the_independent_camera(fake_camera):
    out = korvalite_in(fake_camera, """
        info = cam.device_info()
        out["identity"] = [info.manufacturer, info.model, info.serial]
        out["names"] = cam.feature_names()
        out["stats"] = [cam.link_stats().timeouts, cam.link_stats().naks]
    """)
    assert out["identity"] == ["Aravis", "Fake", "GV01"]
    assert {"Width", "Height", "PixelFormat", "PayloadSize", "AcquisitionStart", "AcquisitionStop"} <= set(out["names"])
    assert out["stats"] == [0, 0]


def test_image_format_round_trips_and_the_payload_size_that_follows(fake_camera):
    out = korvalite_in(fake_camera, """
        out["seen"] = []
        for width, height, pixel_format in [(320, 240, "Mono8"), (256, 128, "Mono16"), (512, 512, "Mono8")]:
            cam.set_integer("Width", width)
            cam.set_integer("Height", height)
            cam.set_enum("PixelFormat", pixel_format)
            cam.invalidate_caches()
            out["seen"].append([cam.get_integer("Width"), cam.get_integer("Height"), cam.get_enum("PixelFormat"),
                                cam.get_integer("PayloadSize")])
    """)
    assert out["seen"] == [[320, 240, "Mono8", 76800], [256, 128, "Mono16", 65536], [512, 512, "Mono8", 262144]]


def test_200_frames_complete_with_the_cameras_own_test_pattern_then_a_snap(fake_camera):
    # The fake camera's Mono8 pattern, learnt from its frames: (x + y + block id) mod 255.
    out = korvalite_in(fake_camera, """
        import numpy as np
        def wrong(frame, width, height):
            if frame.status != korvalite.FrameStatus.Complete or (frame.width, frame.height) != (width, height):
                return True
            expected = (np.add.outer(np.arange(height), np.arange(width)) + frame.frame_id) % 255
            return not np.array_equal(frame.to_numpy(), expected.astype(np.uint8))
        cam.set_integer("Width", 256)
        cam.set_integer("Height", 128)
        cam.set_enum("PixelFormat", "Mono8")
        cam.set_float("AcquisitionFrameRate", 100.0)
        ids, bad = [], []
        with cam.start_acquisition(n_buffers=16) as acq:
            for frame in acq:
                ids.append(frame.frame_id)
                if wrong(frame, 256, 128):
                    bad.append(frame.frame_id)
                del frame
                if len(ids) == 200:
                    break
            stats = acq.stats()
        out["ids"], out["bad"] = ids, bad
        out["stats"] = [stats.completed_frames >= 200, stats.failed_frames, stats.missing_frames]
        snap = cam.snap()
        out["snap"] = [snap.is_complete, wrong(snap, 256, 128)]
    """)
    assert out["bad"] == []
    ids = out["ids"]
    assert len(ids) == 200
    # Consecutive block ids; 16-bit ids skip 0 when they wrap.
    steps = {(b - a) % 65536 for a, b in zip(ids, ids[1:]) if not (a == 65535 and b == 1)}
    assert steps == {1}
    assert out["stats"] == [True, 0, 0]
    assert out["snap"] == [True, False]


def test_control_is_kept_while_idle_and_released_on_disconnect(fake_camera):
    # Heartbeats keep control through three heartbeat time-outs of idling; while it is held a
    # second application does not get it (this device leaves its privilege write unanswered),
    # and after disconnect it gets control at once.
    code = textwrap.dedent("""
        import json, time, korvalite
        first = korvalite.Camera(%r, heartbeat_timeout=1.0)
        first.connect()
        time.sleep(3.5)
        out = {"alive": first.is_connected(), "heartbeats": first.link_stats().heartbeats > 0,
               "width": first.get_integer("Width")}
        second = korvalite.Camera(%r, gvcp_timeout=0.2, retries=1)
        try:
            second.connect()
            out["second_while_held"] = "connected"
        except korvalite.CameraException as error:
            out["second_while_held"] = str(error)
        first.disconnect()
        second.connect()
        out["second_after"] = second.is_connected()
        second.disconnect()
        print(json.dumps(out))
    """) % (ADDRESS, ADDRESS)
    result = fake_camera.python(code, timeout=60)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout.strip().splitlines()[-1])
    assert out["second_while_held"] in ("device control is held by another application",
                                       f"connect timed out: no answer from {ADDRESS}:3956")
    assert (out["alive"], out["heartbeats"], out["width"] > 0, out["second_after"]) == (True, True, True, True)


def test_the_independent_client_tools_read_features_and_stream_from_our_simulated_camera(lab):
    reason = _unavailable(TOOL, CAMERA_TEST)
    if reason:
        pytest.skip(reason)
    ns = lab.namespace()
    lab.start_device(ns, ADDRESS, argv=["timeout", "900", sys.executable, "-m", "korvalite", "sim",
                                        "--address", ADDRESS, "--width", "320", "--height", "240"])
    control = ns.run(["timeout", "30", TOOL, "-a", ADDRESS, "control", "DeviceVendorName", "DeviceModelName",
                      "Width=160", "Height", "PayloadSize"], timeout=40)
    lines = [line.split(" min:")[0] for line in control.stdout.splitlines()]
    assert lines == ["DeviceVendorName = korvalite", "DeviceModelName = SimCam-1", "Width = 160", "Height = 240",
                     "PayloadSize = 38400"], control.stdout + control.stderr

    # arv-camera-test streams until interrupted, then prints its totals.
    streamed = ns.run(["timeout", "-s", "INT", "4", "stdbuf", "-oL", CAMERA_TEST, "-n", ADDRESS], timeout=30,
                      check=False)
    totals = dict(line.replace(" ", "").split("=", 1) for line in streamed.stdout.splitlines()
                  if line.startswith("n_") and "=" in line)
    assert int(totals.get("n_completed_buffers", 0)) >= 30, streamed.stdout + streamed.stderr
    assert (totals["n_failures"], totals["n_missing_packets"], totals["n_size_mismatch_errors"]) == ("0", "0", "0")
