"""The examples run against simulated cameras (addresses from free_ip) and pass mypy --strict (as
does typed_usage.py, which calls every public method); the type stub is the generator's output
for the installed module; every class and method says what it does; and the demo ends with a PNG
of the scene."""

import ast
import importlib
import inspect
import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvalite
from korvalite import _korvalite_core
from korvalite.sim import CHUNK_IDS, EXACT_PATTERN, SimulatedCamera, expected_pattern, expected_scene
from png_reader import read_png

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
PACKAGE = Path(korvalite.__file__).parent
WIDTH, HEIGHT = 640, 480  # the simulated camera's power-up image, Mono8


def run(*args, timeout=120):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def simulated(address):
    return SimulatedCamera(address, frame_rate=50.0, exposure_us=1000.0, test_pattern=EXACT_PATTERN)


def test_snap_png_example(tmp_path, free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "snap_png.py", ip, "-o", tmp_path / "snap.png")
    assert done.returncode == 0, done.stderr
    found = re.fullmatch(rf"Frame\(id=(\d+), Complete, {WIDTH}x{HEIGHT} Mono8, \d+ bytes\) saved to (.*)\n",
                         done.stdout)
    assert found and found.group(2) == str(tmp_path / "snap.png")
    png = read_png((tmp_path / "snap.png").read_bytes())
    assert b"".join(png.rows) == expected_pattern(int(found.group(1)), WIDTH, HEIGHT, "Mono8")


def test_software_trigger_example_captures_one_frame_per_trigger(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "software_trigger.py", ip, "--frames", "3")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    found = [re.fullmatch(rf"trigger {n}: Frame\(id=(\d+), Complete, {WIDTH}x{HEIGHT} Mono8, \d+ bytes\) "
                          r"at (\d+) ticks", line) for n, line in enumerate(lines)]
    assert len(lines) == 3 and all(found)
    ids = [int(f.group(1)) for f in found]
    ticks = [int(f.group(2)) for f in found]
    assert ids == [ids[0], ids[0] + 1, ids[0] + 2] and ticks == sorted(ticks)


def test_frame_callback_example_prints_each_frame_in_order(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "frame_callback.py", ip, "--frames", "5")
    assert done.returncode == 0, done.stderr
    found = [re.fullmatch(rf"frame {n + 1}: Frame\(id=(\d+), Complete, {WIDTH}x{HEIGHT} Mono8, \d+ bytes\)", line)
             for n, line in enumerate(done.stdout.splitlines())]
    assert len(found) == 5 and all(found)
    ids = [int(f.group(1)) for f in found]
    assert ids == list(range(ids[0], ids[0] + 5))


def test_device_events_example_prints_each_exposure_end_in_order(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "device_events.py", ip, "--events", "3")
    assert done.returncode == 0, done.stderr
    *lines, feature = done.stdout.splitlines()
    found = [re.fullmatch(rf"event {n + 1}: ExposureEnd of frame (\d+) at (\d+) ticks", line)
             for n, line in enumerate(lines)]
    assert len(found) == 3 and all(found)
    frames = [int(f.group(1)) for f in found]
    ticks = [int(f.group(2)) for f in found]
    assert frames == list(range(frames[0], frames[0] + 3)) and ticks == sorted(ticks)
    newest = re.fullmatch(r"EventExposureEndTimestamp = (\d+)", feature)
    assert newest and int(newest.group(1)) >= ticks[-1]  # events after the last printed may have come


def test_async_capture_example_snaps_and_iterates_without_blocking_the_loop(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "async_capture.py", ip, "--frames", "3")
    assert done.returncode == 0, done.stderr
    snapped, *frames, last = done.stdout.splitlines()
    frame = rf"Frame\(id=(\d+), Complete, {WIDTH}x{HEIGHT} Mono8, \d+ bytes\)"
    assert re.fullmatch("snapped " + frame, snapped) and last == "the event loop kept running"
    found = [re.fullmatch(rf"frame {n + 1}: " + frame, line) for n, line in enumerate(frames)]
    assert len(found) == 3 and all(found)
    ids = [int(f.group(1)) for f in found]
    assert ids == list(range(ids[0], ids[0] + 3))


def test_acquire_stats_example_prints_the_statistics_of_each_frame(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "acquire_stats.py", ip, "--frames", "4")
    assert done.returncode == 0, done.stderr
    *lines, final = done.stdout.splitlines()
    frames = [line for line in lines if not line.startswith("skipped Frame(")]  # lost on a busy host
    assert len(frames) == 4 and final.startswith("StreamStats { packets: ")
    for line in frames:
        frame_id = int(re.match(r"frame (\d+): ", line).group(1))
        image = np.frombuffer(expected_pattern(frame_id, WIDTH, HEIGHT, "Mono8"), np.uint8).reshape(HEIGHT, WIDTH)
        assert line == (f"frame {frame_id}: ({HEIGHT}, {WIDTH}) uint8 mean {image.mean():.1f} std {image.std():.1f} "
                        f"min {image.min()} max {image.max()}")


def test_two_cameras_example_acquires_from_both(free_ip):
    ip1 = free_ip()
    ip2 = free_ip()
    with simulated(ip1), simulated(ip2):
        done = run(EXAMPLES / "two_cameras.py", ip1, ip2, "--frames", "5")
    assert done.returncode == 0, done.stderr
    frame_bytes = WIDTH * HEIGHT
    lines = done.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == [ip1, ip2]
    for line in lines:
        summary = re.fullmatch(r"[\d.]+: (\d+) frames, (\d+) bytes, (\d+) failed", line)
        count, received, failed = map(int, summary.groups())
        assert (count, failed) == (5, 0) and received >= 5 * frame_bytes


def test_chunk_data_example_prints_the_chunk_values_of_each_frame(free_ip):
    ip = free_ip()
    with simulated(ip):
        done = run(EXAMPLES / "chunk_data.py", ip, "--frames", "3")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3
    for line in lines:
        found = re.fullmatch(rf"Frame\(id=(\d+), Complete, {WIDTH}x{HEIGHT} Mono8, \d+ bytes\): "
                             r"ChunkTimestamp = (\d+), ChunkExposureTime = 1000.0, ChunkFrameID = (\d+); "
                             r"chunks (.*)", line)
        assert found and found.group(1) == found.group(3), line
        assert found.group(4).startswith(f"{CHUNK_IDS['Image']:#010x}: {WIDTH * HEIGHT} bytes, "), line


def test_feature_dump_example_as_tree_and_json(free_ip):
    ip = free_ip()
    with simulated(ip):
        tree = run(EXAMPLES / "feature_dump.py", ip)
        dumped = run(EXAMPLES / "feature_dump.py", ip, "--json")
    assert tree.returncode == 0 and tree.stdout.splitlines()[0] == "Root  [category]"
    assert "    Width  [integer, RW] = 640" in tree.stdout.splitlines()
    values = json.loads(dumped.stdout)
    assert (values["Width"], values["PixelFormat"], values["AcquisitionFrameRateEnable"]) == (640, "Mono8", True)
    assert "AcquisitionStart" not in values and "Root" not in values


@pytest.mark.timeout(300)
def test_examples_pass_mypy_strict(tmp_path):
    # typed_usage.py calls every public method: one missing from the types or typed too loosely fails.
    pytest.importorskip("mypy")
    done = run("-m", "mypy", "--strict", "--cache-dir", tmp_path, EXAMPLES, Path(__file__).parent / "typed_usage.py",
               timeout=280)
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_stub_is_the_generators_output_and_typed(tmp_path):
    pytest.importorskip("nanobind")
    installed = PACKAGE / "_korvalite_core.pyi"
    assert installed.exists() and (PACKAGE / "py.typed").exists()
    done = run("-m", "nanobind.stubgen", "-q", "-m", "_korvalite_core", "-i", PACKAGE,
               "-p", ROOT / "src/python/stub_patterns.txt", "-o", tmp_path / "stub.pyi")
    assert done.returncode == 0, done.stderr
    assert installed.read_text() == (tmp_path / "stub.pyi").read_text()

    stub = ast.parse(installed.read_text())
    declared = {node.name for node in stub.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    declared |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    assert declared >= {name for name in dir(_korvalite_core) if not name.startswith("_")} | {"__version__"}
    untyped = [f"{cls.name}.{fn.name}" for cls in stub.body if isinstance(cls, ast.ClassDef)
               for fn in cls.body if isinstance(fn, ast.FunctionDef)
               if fn.returns is None or ast.unparse(fn.returns) == "object"]
    assert untyped == []


def undocumented_members(cls):
    """Public methods and properties (and the dunders users call) whose docstring is missing or
    only a signature."""
    missing = []
    for name, member in vars(cls).items():
        if name.startswith("_") and name not in ("__enter__", "__exit__", "__iter__", "__next__", "__repr__"):
            continue
        if not (callable(member) or isinstance(member, property)) or isinstance(member, cls):
            continue
        doc = (member.__doc__ or "").strip()
        if isinstance(member, property) or type(member).__module__ != "nanobind":
            documented = bool(doc)
        else:
            documented = "\n\n" in doc  # nanobind puts the signature first
        if not documented:
            missing.append(f"{cls.__name__}.{name}")
    return missing


def test_every_class_and_method_has_a_docstring():
    missing = []
    for name in dir(_korvalite_core):
        item = getattr(_korvalite_core, name)
        if name.startswith("_") or not callable(item):
            continue
        if not (item.__doc__ or "").strip():
            missing.append(name)
        if inspect.isclass(item):
            missing += undocumented_members(item)
    for module_name in ("korvalite.sim", "korvalite.images", "korvalite.features", "korvalite.cli"):
        module = importlib.import_module(module_name)
        for name, item in vars(module).items():
            if name.startswith("_") or getattr(item, "__module__", "").split(".")[0] != "korvalite":
                continue
            if inspect.isfunction(item) or inspect.isclass(item):
                if not inspect.getdoc(item):
                    missing.append(f"{module_name}.{name}")
                if inspect.isclass(item):
                    missing += [f"{module_name}.{m}" for m in undocumented_members(item)]
    assert missing == []


def test_demo_ends_with_a_png_of_the_scene(tmp_path):
    done = run("-m", "korvalite", "demo", "--out", tmp_path, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    sections = [line for line in out.splitlines() if line.startswith("== ")]
    assert sections == ["== connect", "== features", "== configure", "== snap", "== stream for 3 seconds", "== done"]
    assert re.search(r"^started a simulated camera at 127\.0\.0\.\d+$", out, re.M)
    assert "PixelFormat = Mono8\nWidth = 640\nHeight = 480\n" in out
    frame_id = int(re.search(r"^Frame\(id=(\d+), Complete, 640x480 Mono8, 307200 bytes\)$", out, re.M).group(1))
    png_path = tmp_path / "korvalite-snap.png"
    assert f"saved {png_path}\n" in out
    assert re.search(r"^ +3\.\d s .* completed [1-9]\d*  failed \d+ ", out, re.M)
    assert re.search(r"^next: `korvalite view` shows a camera live in the browser", out, re.M)
    assert re.search(r"^StreamStats \{ packets: \d+, bytes: \d+, completed_frames: [1-9]\d*[, ]", out, re.M)
    assert out.endswith("\ndisconnected\nstopped the simulated camera at " + re.search(r"at (\S+)\n", out).group(1) + "\n")
    png = read_png(png_path.read_bytes())
    assert (png.width, png.height, png.bit_depth, png.channels) == (640, 480, 8, 1)
    # The demo's simulated camera: a 640x480 sensor showing the scene at 10 ms and 0 dB.
    assert b"".join(png.rows) == expected_scene(frame_id, 640, 480, "Mono8", sensor_width=640, sensor_height=480)
