"""The command line, run as `python -m korvalite` against a simulated camera (addresses from the
free_ip fixture); `discover` runs inside network namespaces of its own."""

import io
import json
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvalite
from korvalite import cli
from korvalite.sim import EXACT_PATTERN, FEATURE_REGISTERS, SimulatedCamera, expected_pattern
from png_reader import read_png

COMMANDS = ["discover", "info", "features", "get", "set", "execute", "save", "load", "snap", "stream", "sim", "demo", "view"]


def korvalite_cli(*args, timeout=60, prefix=(sys.executable, "-m", "korvalite")):
    return subprocess.run([*prefix, *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def ip(free_ip):
    """The address of this test's camera."""
    return free_ip()


@pytest.fixture
def sim(ip):
    with SimulatedCamera(ip, serial="CLI00001", frame_rate=100.0, exposure_us=1000.0,
                         test_pattern=EXACT_PATTERN) as camera:
        yield camera


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(command):
    done = korvalite_cli(command, "--help")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith(f"usage: korvalite {command}")
    assert "--log-level" in done.stdout


def test_top_level_help_lists_commands_and_exit_codes_also_from_the_console_script():
    script = Path(sys.executable).with_name("korvalite")
    prefix = (str(script),) if script.exists() else (shutil.which("korvalite") or pytest.skip("no console script"),)
    done = korvalite_cli("--help", prefix=prefix)
    assert done.returncode == 0
    assert all(f"    {command} " in done.stdout for command in COMMANDS)
    assert "exit codes:\n  0    success" in done.stdout
    missing = korvalite_cli(prefix=prefix)
    assert missing.returncode == 2 and "the following arguments are required: COMMAND" in missing.stderr


def test_info_shows_identity_and_link_counters(sim, ip):
    done = korvalite_cli("info", ip)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[:3] == ["manufacturer       korvalite", "model              SimCam-1", "serial             CLI00001"]
    assert f"ip                 {ip}" in lines and "spec_version       2.0" in lines
    assert re.fullmatch(r"link counters      commands (\d+), acks \1, retries 0, timeouts 0, naks 0, "
                        r"pending_acks 0, heartbeats \d+, events 0, unsolicited 0", lines[-1])


def test_features_flat_and_as_a_tree_with_values(sim, ip):
    flat = korvalite_cli("features", ip)
    assert flat.returncode == 0
    assert "Width  [integer, RW]" in flat.stdout.splitlines()
    assert "AcquisitionStart  [command, RW]" in flat.stdout.splitlines()  # the mode of its register

    tree = korvalite_cli("features", ip, "--tree", "--values").stdout.splitlines()
    assert tree[0] == "Root  [category]"
    image = tree.index("  ImageFormatControl  [category]")
    assert tree[image + 1:image + 3] == ["    SensorWidth  [integer, RO] = 1280",
                                         "    SensorHeight  [integer, RO] = 960"]
    assert "    PixelFormat  [enumeration, RW] = 'Mono8'" in tree
    assert "    AcquisitionFrameRateEnable  [boolean, RW] = True" in tree


def test_features_by_visibility_verbose_and_as_json(sim, ip):
    beginner = korvalite_cli("features", ip).stdout.splitlines()
    assert "Gain  [float, RW]" in beginner
    assert not {"WidthReg  [integer, RW]", "GevSCPD  [integer, RW]", "GevHeartbeatTimeout  [integer, RW]",
                "TLParamsLocked  [integer, RW]"} & set(beginner)
    expert = korvalite_cli("features", ip, "--visibility", "expert").stdout.splitlines()
    assert "GevHeartbeatTimeout  [integer, RW]" in expert and "GevSCPD  [integer, RW]" not in expert
    guru = korvalite_cli("features", ip, "--visibility", "guru").stdout.splitlines()
    assert {"WidthReg  [integer, RW]", "GevSCPD  [integer, RW]", "TLParamsLocked  [integer, RW]"} <= set(guru)

    verbose = korvalite_cli("features", ip, "--verbose").stdout.splitlines()
    gain = verbose.index("Gain  [float, RW]")
    assert verbose[gain + 1:gain + 4] == ["    display name: Gain (dB)", "    tooltip: Sensor gain in dB.",
                                          "    range: 0.0 .. 24.0 dB"]
    assert "    entries: Inactive, Active, ErrorStatus" in verbose

    listed = json.loads(korvalite_cli("features", ip, "--json", "--values").stdout)
    width = next(f for f in listed if f["name"] == "Width")
    assert (width["kind"], width["access_mode"], width["min"], width["max"], width["value"]) == (
        "integer", "RW", 1, 1280, 640)
    assert json.loads(korvalite_cli("get", ip, "Gain", "--json").stdout) == {"name": "Gain", "value": 0.0}
    assert json.loads(korvalite_cli("info", ip, "--json").stdout)["serial"] == "CLI00001"


def test_save_and_load_settings(sim, ip, tmp_path):
    path = str(tmp_path / "settings.txt")
    assert korvalite_cli("set", ip, "Width", "320").returncode == 0
    done = korvalite_cli("save", ip, path)
    assert (done.returncode, done.stdout) == (0, f"saved to {path}\n")
    assert korvalite_cli("set", ip, "Width", "100").returncode == 0
    done = korvalite_cli("load", ip, path)
    assert (done.returncode, done.stdout) == (0, f"loaded {path}\n")
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == 320
    with open(path, "a", encoding="utf-8") as f:
        f.write("Gain = 99.0\n")
    done = korvalite_cli("load", ip, path)
    assert done.returncode == 1
    assert done.stdout.splitlines()[0].endswith("Gain: Gain = 99.0 is out of range [0.0, 24.0]")


@pytest.mark.parametrize("name, text, shown, register", [
    ("Width", "0x140", "320", 320),
    ("PixelFormat", "Mono16", "Mono16", 0x01100007),
    ("AcquisitionFrameRateEnable", "off", "False", 0),
    ("Gain", "2.5", "2.5", None),
])
def test_set_parses_by_kind_and_get_reads_back(sim, name, text, shown, register, ip):
    done = korvalite_cli("set", ip, name, text)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{name} = {shown}\n", "")
    if register is not None:
        assert sim.read_register(FEATURE_REGISTERS[name]) == register
    assert korvalite_cli("get", ip, name).stdout == shown + "\n"


def test_execute_runs_a_command(sim, ip):
    done = korvalite_cli("execute", ip, "AcquisitionStart")
    assert (done.returncode, done.stdout) == (0, "executed AcquisitionStart\n")
    assert (FEATURE_REGISTERS["AcquisitionStart"], 1) in sim.register_writes()


@pytest.mark.parametrize("args, code, message", [
    (["get", "{ip}", "Nope"], 1, "error: feature 'Nope' not found"),
    (["get", "{ip}", "Root"], 2, "error: feature 'Root' is a category; it has no value to read"),
    (["set", "{ip}", "SensorWidth", "10"], 1, "error: SensorWidth = 10 is refused: the feature is read-only"),
    (["set", "{ip}", "Width", "abc"], 2, "error: not a number: 'abc' (the feature is an integer)"),
    (["set", "{ip}", "Width", str(2 ** 80)], 2, "error: 1208925819614629174706176 is out of the 64-bit integer range"),
    (["set", "{ip}", "AcquisitionFrameRateEnable", "maybe"], 2,
     "error: not a boolean: 'maybe' (use true/false, 1/0, on/off)"),
    (["set", "{ip}", "AcquisitionStart", "1"], 2,
     "error: feature 'AcquisitionStart' is a command; it cannot be set"),
    (["execute", "{ip}", "Width"], 1, None),
    (["info", "1.2.3.300"], 2, 'error: invalid IP address: "1.2.3.300"'),
    (["info", "{silent_ip}", "--gvcp-timeout", "0.05"], 1,
     "error: connect timed out: no answer from {silent_ip}:3956"),
    (["snap", "{ip}", "-o", "/nonexistent-dir/x.png"], 1,
     "error: No such file or directory: /nonexistent-dir/x.png"),
    (["snap", "{ip}", "-o", "grey.pgm", "--pixel-format", "RGB8"], 1,
     "error: RGB8 is a colour format; write it as .ppm"),
    (["stream", "{ip}", "--seconds", "0"], 2, "error: --seconds must be positive, not 0.0"),
])
def test_failures_are_one_line_and_an_exit_code(sim, ip, free_ip, args, code, message):
    silent_ip = free_ip()
    done = korvalite_cli(*(arg.format(ip=ip, silent_ip=silent_ip) for arg in args))
    assert done.returncode == code
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith("error: "), done.stderr
    if message is not None:
        assert done.stderr == message.format(ip=ip, silent_ip=silent_ip) + "\n"


def test_bad_usage_is_refused_before_any_traffic(sim, ip):
    for args in (["snap", ip, "-o", "frame.bmp"], ["--log-level", "loud", "info", ip], ["bogus"]):
        done = korvalite_cli(*args)
        assert done.returncode == 2 and "Traceback" not in done.stderr
    assert korvalite_cli("snap", ip, "-o", "frame.bmp").stderr == (
        "error: unknown image suffix in 'frame.bmp': use .png, .jpg, .jpeg, .tif, .tiff, .pgm, .ppm, .npy\n")
    assert sim.counters()["commands_received"] == 0


def test_log_level_at_either_place(sim, ip):
    quiet = korvalite_cli("get", ip, "Width")
    assert (quiet.stdout, quiet.stderr) == ("640\n", "")
    for args in (["--log-level", "debug", "get", ip, "Width"], ["get", ip, "Width", "--log-level", "debug"]):
        loud = korvalite_cli(*args)
        assert loud.stdout == "640\n"
        assert "DEBUG korvalite.gige: disconnecting" in loud.stderr.splitlines()


PATCHED = """
import sys
from korvalite import cli
def fail(args):
    raise {error}
cli.cmd_info = fail
sys.exit(cli.main({argv!r}))
"""


@pytest.mark.parametrize("error, argv, code, stderr", [
    ("RuntimeError('boom')", ["info", "127.0.0.1"], 1,
     "error: unexpected RuntimeError: boom (--log-level debug shows where)\n"),
    ("KeyboardInterrupt()", ["info", "127.0.0.1"], 130, "interrupted\n"),
])
def test_unexpected_errors_and_interrupts_never_show_a_traceback(error, argv, code, stderr):
    done = subprocess.run([sys.executable, "-c", PATCHED.format(error=error, argv=argv)], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stderr) == (code, stderr)
    if code == 1:
        loud = PATCHED.format(error=error, argv=["--log-level", "debug", *argv])
        debug = subprocess.run([sys.executable, "-c", loud], capture_output=True, text=True, timeout=60)
        assert "Traceback" in debug.stderr and debug.stderr.endswith(stderr)


def test_a_closed_output_pipe_ends_quietly(sim, ip):
    process = subprocess.Popen([sys.executable, "-m", "korvalite", "features", ip, "--tree", "--values"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # the reader is gone before anything is written
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (cli.EXIT_BROKEN_PIPE, b"")


def expected_image(frame_id, width, height, pixel_format):
    """The pattern as image files hold it: RGB order, 16-bit samples big-endian."""
    data = np.frombuffer(expected_pattern(frame_id, width, height, pixel_format),
                         "<u2" if pixel_format.startswith("Mono1") else np.uint8)
    bits = {"Mono10": 10, "Mono12": 12}.get(pixel_format)
    if bits:  # scaled to the full 16-bit range
        data = np.rint(data.astype(np.float64) * 65535 / ((1 << bits) - 1)).astype("<u2")
    if pixel_format == "BGR8":
        data = data.reshape(-1, 3)[:, ::-1]
    return data.astype(data.dtype.newbyteorder(">")).tobytes()


@pytest.mark.parametrize("suffix, pixel_format", [
    (".png", "Mono8"), (".png", "RGB8"), (".png", "Mono16"), (".pgm", "Mono12"), (".ppm", "BGR8"),
    (".npy", "Mono10"), (".npy", "RGB8"),
])
def test_snap_writes_the_pattern(sim, tmp_path, suffix, pixel_format, ip):
    width, height = 24, 10
    path = tmp_path / f"frame{suffix}"
    done = korvalite_cli("snap", ip, "-o", str(path), "--width", str(width), "--height", str(height),
                         "--pixel-format", pixel_format)
    assert (done.returncode, done.stderr) == (0, "")
    found = re.fullmatch(rf"Frame\(id=(\d+), Complete, {width}x{height} {pixel_format}, \d+ bytes\) -> (.*)\n",
                         done.stdout)
    assert found and found.group(2) == str(path)
    frame_id = int(found.group(1))
    channels = 3 if pixel_format in ("RGB8", "BGR8") else 1
    if suffix == ".npy":
        array = np.load(path)
        dtype = "<u2" if pixel_format.startswith("Mono1") else np.uint8
        assert array.shape == (height, width) + ((3,) if channels == 3 else ())
        expected = np.frombuffer(expected_pattern(frame_id, width, height, pixel_format), dtype)
        assert array.tobytes() == expected.tobytes()
    elif suffix == ".png":
        png = read_png(path.read_bytes())
        depth = 16 if pixel_format == "Mono16" else 8
        assert (png.width, png.height, png.bit_depth, png.channels) == (width, height, depth, channels)
        assert b"".join(png.rows) == expected_image(frame_id, width, height, pixel_format)
    else:
        magic, maxval = ("P5", 65535) if channels == 1 else ("P6", 255)
        header = f"{magic}\n{width} {height}\n{maxval}\n".encode()
        assert path.read_bytes() == header + expected_image(frame_id, width, height, pixel_format)


def test_snap_puts_the_format_back_unless_kept_and_writes_jpeg(sim, ip, tmp_path):
    pil = pytest.importorskip("PIL.Image")
    cam = korvalite.Camera(ip)
    for options, kept in [([], False), (["--keep"], True)]:
        path = tmp_path / "frame.jpg"
        done = korvalite_cli("snap", ip, "-o", str(path), "--width", "24", "--height", "10", "--pixel-format",
                             "Mono16", *options)
        assert (done.returncode, done.stderr) == (0, "")
        with pil.open(path) as image:
            assert (image.format, image.size, image.mode) == ("JPEG", (24, 10), "L")
        cam.connect()
        try:
            assert (cam.get("PixelFormat"), cam.get("Width"), cam.get("Height")) == (
                ("Mono16", 24, 10) if kept else ("Mono8", 640, 480))
        finally:
            cam.disconnect()


@pytest.mark.parametrize("pixel_format, options, shape, to_bits", [
    ("BayerRG12p", [], (10, 24, 3), 16),
    ("BayerRG12p", ["--raw"], (10, 24), 16),
    ("Mono12p", ["--bits", "8"], (10, 24), 8),
])
def test_snap_writes_tiff(sim, ip, tmp_path, pixel_format, options, shape, to_bits):
    tifffile = pytest.importorskip("tifffile")
    path = tmp_path / "frame.tif"
    done = korvalite_cli("snap", ip, "-o", str(path), "--width", "24", "--height", "10", "--pixel-format",
                         pixel_format, *options)
    assert (done.returncode, done.stderr) == (0, "")
    frame_id = int(re.match(r"Frame\(id=(\d+),", done.stdout).group(1))
    image = tifffile.imread(path)
    assert image.shape == shape and image.dtype.itemsize * 8 == to_bits
    if len(shape) == 2:  # the samples past the frame-number stamp, scaled from 12 bits
        words = np.frombuffer(expected_pattern(frame_id, 24, 10, "Mono12"), "<u2")
        expected = np.rint(words[8:].astype(np.float64) * ((1 << to_bits) - 1) / 4095)
        assert np.array_equal(image.reshape(-1)[8:], expected)


PROGRESS = re.compile(r" *\d+\.\d s +[\d.]+ frames/s +[\d.]+ MB/s  completed (\d+)  failed (\d+)  resends (\d+)  "
                      r"dropped (\d+)  underruns (\d+)")


def test_stream_prints_progress_and_the_final_counters(sim, ip):
    done = korvalite_cli("stream", ip, "--seconds", "1.5")
    assert (done.returncode, done.stderr) == (0, "")
    *progress, final = done.stdout.splitlines()
    assert len(progress) >= 2 and all(PROGRESS.fullmatch(line) for line in progress)
    completed = int(PROGRESS.fullmatch(progress[-1]).group(1))
    assert completed > 0
    assert re.fullmatch(rf"StreamStats {{ packets: \d+, bytes: \d+, completed_frames: {completed}(, \w+: \d+)* }}",
                        final) and ": 0" not in final  # only the counters that are not zero
    every = json.loads(korvalite_cli("stream", ip, "--seconds", "0.5", "--json").stdout.splitlines()[-1])
    assert len(every) == 23 and every["completed_frames"] > 0 and every["underruns"] == 0


def test_stream_interrupted_prints_the_final_counters(sim, ip):
    streaming = subprocess.Popen([sys.executable, "-m", "korvalite", "stream", ip, "--seconds", "60"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert PROGRESS.fullmatch(streaming.stdout.readline().rstrip("\n"))
        streaming.send_signal(signal.SIGINT)
        out, err = streaming.communicate(timeout=30)
    finally:
        streaming.kill()
    assert streaming.returncode == 130 and err == ""
    assert out.splitlines()[-1].startswith("StreamStats { packets: ")


def test_stream_with_no_frame_fails_and_names_the_trigger_it_waits_for(sim, ip):
    sim.write_register(FEATURE_REGISTERS["TriggerMode"], 1)
    sim.write_register(FEATURE_REGISTERS["TriggerSource"], 1)
    done = korvalite_cli("stream", ip, "--seconds", "0.5")
    assert (done.returncode, done.stderr) == (1, "error: no frame arrived in 0.5 s: the camera waits for a trigger "
                                                 "from Line0 (TriggerMode is On, TriggerSource is Line0)\n")


def test_stream_fails_when_the_camera_is_lost(simulated, free_ip):
    ip = free_ip()
    sim = simulated(ip, frame_rate=50.0)
    with subprocess.Popen([sys.executable, "-m", "korvalite", "stream", ip, "--seconds", "60"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as streaming:
        try:
            assert PROGRESS.fullmatch(streaming.stdout.readline().rstrip("\n"))
            sim.gone = True
            out, err = streaming.communicate(timeout=30)
        finally:
            streaming.kill()
    assert streaming.returncode == 1
    assert err.endswith("error: device control was lost (heartbeat failed)\n"), err
    assert "StreamStats" not in out


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_save_and_load_show_progress_on_a_terminal_only(sim, ip, tmp_path, monkeypatch, capsys):
    path = str(tmp_path / "settings.txt")
    for command, label in (("save", "saving"), ("load", "loading")):
        terminal = Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        assert cli.main([command, ip, path]) == 0
        shown = terminal.getvalue()
        assert shown.startswith(f"\rconnecting to {ip} ...\x1b[K") and shown.endswith("\r\x1b[K")
        done, total = map(int, re.findall(rf"\r{label} (\d+)/(\d+)", shown)[-1])
        assert done == total > 0
    monkeypatch.setattr(sys, "stderr", io.StringIO())  # a pipe: no status lines
    assert cli.main(["save", ip, path]) == 0 and sys.stderr.getvalue() == ""


def test_stream_redraws_one_line_on_a_terminal(sim, ip):
    cam = korvalite.Camera(ip)
    cam.connect()
    try:
        out = Terminal()
        stats = cli.run_stream(cam, 0.8, out)
    finally:
        cam.disconnect()
    text = out.getvalue()
    assert text.count("\n") == 1 and text.endswith("\n") and text.count("\r") >= 3
    assert PROGRESS.fullmatch(text.split("\r")[-1].rstrip("\n")).group(1) == str(stats.completed_frames)


def test_sim_command_runs_a_camera(free_ip):
    ip = free_ip()
    done = korvalite_cli("sim", "--address", ip, "--port", "0", "--duration", "0.3", "--serial", "S-1")
    assert done.returncode == 0, done.stderr
    first, *_, last = done.stdout.splitlines()
    assert re.fullmatch(rf"simulated camera SimCam-1 serial S-1 listening on {re.escape(ip)}:\d+", first)
    assert last == "counters: all zero"
    refused = korvalite_cli("--log-level", "debug", "sim", "--bogus")
    assert refused.returncode == 2 and refused.stderr.startswith("usage: korvalite sim")


def sim_argv(address):
    return [sys.executable, "-m", "korvalite", "sim", "--address", address, "--ip", address, "--serial", "NS-CAM",
            "--mac", "02:00:00:00:01:02", "--model", "Alpha", "--manufacturer", "Korva", "--user-name", "left"]


def test_discover_prints_a_table_inside_a_namespace(netlab):
    host, cam_ns, empty_ns = netlab.namespace(), netlab.namespace(), netlab.namespace()
    netlab.link(host, "10.77.1.1/24", cam_ns, "10.77.1.2/24")
    netlab.start_device(cam_ns, "10.77.1.2", argv=sim_argv("10.77.1.2"))

    found = host.run([sys.executable, "-m", "korvalite", "discover", "--timeout", "0.3"], check=False)
    assert (found.returncode, found.stderr) == (0, "")
    assert [line.split() for line in found.stdout.splitlines()] == [
        ["IP", "MAC", "MANUFACTURER", "MODEL", "SERIAL", "USER", "NAME"],
        ["10.77.1.2", "02:00:00:00:01:02", "Korva", "Alpha", "NS-CAM", "left"],
    ]

    lonely = netlab.namespace()
    netlab.link(lonely, "10.77.2.1/24", empty_ns, "10.77.2.2/24")
    none = lonely.run([sys.executable, "-m", "korvalite", "discover", "--timeout", "0.1"], check=False)
    assert (none.returncode, none.stdout) == (0, "no devices found\n")

    loopback_only = netlab.namespace()
    failed = loopback_only.run([sys.executable, "-m", "korvalite", "discover", "--timeout", "0.1"], check=False)
    assert (failed.returncode, failed.stderr) == (1, "error: io error: no usable network adapter for discovery\n")
