"""Settings files: save, change everything, load, and every saved value is back; on the
simulated camera and on real descriptions it serves. Simulated cameras take their own loopback
addresses."""

import os
import re
import subprocess
import sys

import pytest

import korvalite
from korvalite import _settings, features
from loopback import free_ip as take_ip

G = korvalite.GenicamException
# Descriptions with many streamable features that a simulated camera's blank memory can hold.
REAL_DESCRIPTIONS = ["Touseefelahi__GigeVision__Imperx.xml", "areaDetector__ADGenICam__FLIR_A35.xml",
                     "areaDetector__ADGenICam__Teledyne_ShadoBox.xml"]
LINE = re.compile(r"^(\w+)(?:\[(\w+)=([^\]]*)\])? = (.*)$")


def saved_lines(path):
    with open(path, encoding="utf-8") as f:
        return [line for line in f.read().splitlines() if not line.startswith("#")]


def other_value(cam, name):
    """A valid value of `name` other than its current one, or None."""
    info = cam.feature_info(name)
    current = cam.get(name)
    if info.kind in ("integer", "float"):
        return info.min if current != info.min else info.max
    if info.kind == "boolean":
        return not current
    if info.kind == "enumeration":
        return next((e.name for e in info.entries if e.is_available and e.name != current), None)
    return "changed" if current != "changed" else "again"


def valid_value(info, value):
    """`value` when the description allows it for `info`, else a value it allows (or None)."""
    if info.kind in ("integer", "float") and info.min is not None:
        on_grid = info.kind == "float" or (value - info.min) % (info.inc or 1) == 0
        return value if info.min <= value <= info.max and on_grid else info.min
    if info.kind == "enumeration":
        usable = [e.name for e in info.entries if e.is_available]
        return value if value in usable else (usable[0] if usable else None)
    return value


def settle_one(cam, name):
    try:
        info = cam.feature_info(name)
        current = cam.get(name)
    except (G, korvalite.CameraException):
        current = None
    try:
        value = valid_value(info, current) if current is not None else valid_value(info, info.min or 0)
        if value is not None and value != current:
            cam.set(name, value)
    except (G, korvalite.CameraException, TypeError):
        pass


def settle(cam):
    """Gives every streamable feature of a simulated camera whose memory starts blank a value
    its description allows, at every value of its selector, as a real camera would hold.
    Returns the features that still cannot be read (mostly enumerations whose entries all read
    unavailable from blank memory, so that their value is no entry's); a save reports them."""
    infos = {}
    for name in features.feature_list(cam):
        try:
            info = cam.feature_info(name)
        except (G, korvalite.CameraException):
            continue
        if info.is_streamable and info.access_mode == korvalite.AccessMode.RW:
            infos[name] = info
    for _ in range(3):
        for name, info in infos.items():
            settle_one(cam, name)
            if info.kind == "enumeration" and info.selected:
                for entry in cam.feature_info(name).entries:
                    if not entry.is_available:
                        continue
                    cam.set(name, entry.name)
                    for target in info.selected:
                        if target in infos:
                            settle_one(cam, target)
                settle_one(cam, name)
    return [name for name in infos if raised_by(lambda: cam.get(name))]


def raised_by(call):
    try:
        call()
    except (G, korvalite.CameraException):
        return True
    return False


def change_everything(cam, path):
    """Writes another value to every feature line of the settings file, its selector first."""
    for line in saved_lines(path):
        name, selector, selector_value, _ = LINE.match(line).groups()
        try:
            if selector:
                cam.set(selector, _settings._parse(cam.feature_info(selector).kind, selector_value))
            value = other_value(cam, name)
            if value is not None:
                cam.set(name, value)
        except (G, korvalite.CameraException):
            pass  # a value another feature does not allow now: the rest still changes


def round_trip(cam, tmp_path, unreadable=()):
    """Save, change everything, load, save again: the second file equals the first. A line the
    load could not apply must be refused for its value, not for its place in the file: loaded
    alone into the restored camera, it is refused the same way. Returns the saved lines and the
    load's failures; `unreadable` lists the features a save may report as unreadable."""
    first, changed, second = tmp_path / "first.txt", tmp_path / "changed.txt", tmp_path / "second.txt"
    assert [name for name, _ in cam.save_features(first)] == list(unreadable)
    change_everything(cam, first)
    cam.save_features(changed)
    before, during = saved_lines(first), set(saved_lines(changed))
    assert sum(line not in during for line in before) >= len(before) // 2  # most values changed
    failures = cam.load_features(first, strict=False)
    cam.save_features(second)
    assert saved_lines(second) == before
    for failure in failures:
        alone = tmp_path / "alone.txt"
        alone.write_text(f"{_settings.HEADER}\n{before_line(first, failure.line)}\n", encoding="utf-8")
        assert [f.reason for f in cam.load_features(alone, strict=False)] == [failure.reason]
    return before, failures


def before_line(path, number):
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()[number - 1]


def test_round_trip_on_the_simulator(rig, tmp_path):
    ip = take_ip()
    _, cam = rig(ip)
    for name, value in [("Width", 320), ("OffsetX", 100), ("Gain", 3.5), ("PixelFormat", "Mono16"),
                        ("DeviceUserID", 'bench "3"')]:
        cam.set(name, value)
    lines, failures = round_trip(cam, tmp_path)
    assert failures == []
    assert {"Width = 320", "OffsetX = 100", "Gain = 3.5", "PixelFormat = Mono16",
            'DeviceUserID = "bench \\"3\\""'} <= set(lines)
    with open(tmp_path / "first.txt", encoding="utf-8") as f:
        assert f.read().splitlines()[:3] == ["# korvalite settings 1", "# vendor: korvalite", "# model: SimCam-1"]


@pytest.mark.parametrize("description", REAL_DESCRIPTIONS)
def test_round_trip_on_real_descriptions(simulated, cameras, tmp_path, genicam_xml, description):
    ip = take_ip()
    path = str(genicam_xml / description)
    simulated(ip, description_file=path, spare_memory=True)
    cam = cameras(ip)
    cam.connect()
    blank = settle(cam)
    lines, _ = round_trip(cam, tmp_path, unreadable=blank)
    assert len(lines) >= 10


def test_features_that_lock_others_come_first_and_unlock_them(simulated, cameras, builtin_description, tmp_path):
    ip = take_ip()
    lock = '<Integer Name="TLParamsLocked" NameSpace="Standard">\n'
    simulated(ip, description=builtin_description.replace(lock, lock + "<Streamable>Yes</Streamable>\n"))
    cam = cameras(ip)
    cam.connect()
    cam.set("Width", 320)
    path = tmp_path / "settings.txt"
    cam.save_features(path)
    assert saved_lines(path)[0] == "TLParamsLocked = 0"
    cam.set("Width", 100)
    cam.set("TLParamsLocked", 1)
    assert cam.load_features(path) == []
    assert (cam.get("TLParamsLocked"), cam.get("Width")) == (0, 320)


def test_load_reports_every_line_it_could_not_apply_and_applies_the_others(rig, tmp_path):
    ip = take_ip()
    _, cam = rig(ip)
    path = tmp_path / "settings.txt"
    path.write_text("# korvalite settings 1\n# model: SimCam-1\nGain = 30.0\nNope = 1\nWidth = 320\n"
                    "Height = 2000\nOffsetY = 0\n", encoding="utf-8")
    with pytest.raises(G) as raised:
        cam.load_features(path)
    expected = [(3, "Gain", "Gain = 30.0 is out of range [0.0, 24.0]"), (4, "Nope", "feature 'Nope' not found"),
                (6, "Height", "Height = 2000 is out of range [1, 960]")]
    assert [(f.line, f.feature, f.reason) for f in raised.value.failures] == expected
    assert str(raised.value).splitlines()[1:] == [f"line {n}: {name}: {reason}" for n, name, reason in expected]
    assert cam.get("Width") == 320
    assert [(f.line, f.feature) for f in cam.load_features(path, strict=False)] == [
        (3, "Gain"), (4, "Nope"), (6, "Height")]
    path.write_text("Width = 320\n", encoding="utf-8")
    with pytest.raises(G, match="not a korvalite settings file"):
        cam.load_features(path)


def write_settings(path, *lines):
    path.write_bytes(b"\n".join([_settings.HEADER.encode(), *(
        line if isinstance(line, bytes) else line.encode("utf-8") for line in lines)]) + b"\n")


def test_loading_refuses_transport_and_unstreamable_features_unless_asked(rig, tmp_path):
    _, cam = rig(take_ip())
    path = tmp_path / "settings.txt"
    write_settings(path, "GevHeartbeatTimeout = 100", "GevCCP = OpenAccess", "GevSCPHostPort = 9",
                   "EventNotification[EventSelector=FrameStart] = On", "Width = 320")
    before = (cam.get("GevHeartbeatTimeout"), cam.get("GevCCP"), cam.get("GevSCPHostPort"))
    transport = "a transport-layer setting: korvalite sets it itself (load with streamable_only=False to apply it)"
    assert [(f.line, f.feature, f.reason) for f in cam.load_features(path, strict=False)] == [
        (2, "GevHeartbeatTimeout", transport), (3, "GevCCP", transport), (4, "GevSCPHostPort", transport),
        (5, "EventNotification[EventSelector=FrameStart]", "not streamable: settings files apply only the "
         "features the camera marks so (load with streamable_only=False to apply it)")]
    assert (cam.get("GevHeartbeatTimeout"), cam.get("GevCCP"), cam.get("GevSCPHostPort")) == before
    assert cam.get("Width") == 320
    write_settings(path, "EventNotification[EventSelector=FrameStart] = On", "GevHeartbeatTimeout = 2500")
    assert cam.load_features(path, streamable_only=False) == []
    cam.set("EventSelector", "FrameStart")
    assert (cam.get("EventNotification"), cam.get("GevHeartbeatTimeout")) == ("On", 2500)


def test_hostile_lines_fail_one_by_one_and_the_rest_applies(rig, tmp_path):
    _, cam = rig(take_ip())
    path = tmp_path / "settings.txt"
    write_settings(path, "Width = 0x1" + "0" * 20, 'DeviceUserID = "\\ud800"', b"Gain = \xff\xfe",
                   "just words", "Width[ChunkSelector=Image] = 16", "PixelFormat = Mono8 = 16", "Height = 100")
    failures = cam.load_features(path, strict=False)
    assert [(f.line, f.feature) for f in failures] == [
        (2, "Width"), (3, "DeviceUserID"), (4, "?"), (5, "?"), (6, "Width[ChunkSelector=Image]"), (7, "PixelFormat")]
    assert [f.reason.split(":")[0] for f in failures] == [
        "out of the 64-bit integer range", "not valid Unicode text", "not UTF-8 text", "not 'Feature = value'",
        "ChunkSelector does not select Width", "not an entry name"]
    assert cam.get("Height") == 100


def test_files_that_are_not_small_regular_files_are_refused_before_reading(rig, tmp_path):
    ip = take_ip()
    _, cam = rig(ip)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    big = tmp_path / "big.txt"
    write_settings(big, "Width = 320" + " " * _settings.MAX_FILE_SIZE)
    for path, message in [(fifo, "not a regular file"), ("/dev/zero", "not a regular file"),
                          (big, "more than a settings file may hold")]:
        with pytest.raises(G, match=message):
            cam.load_features(path, strict=False)
    done = subprocess.run([sys.executable, "-m", "korvalite", "load", ip, str(fifo)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, f"error: {fifo}: not a regular file\n")


def test_selected_features_are_saved_per_selector_value_and_names_that_break_lines_are_not(
        simulated, cameras, builtin_description, tmp_path):
    ip = take_ip()
    hostile = "Continuous&#10;Width = 16&#10;GevCCP = OpenAccess"
    description = builtin_description.replace('<EnumEntry Name="Continuous">', f'<EnumEntry Name="{hostile}">')
    description = description.replace("DeviceModelName", "DeviceModelText")
    simulated(ip, description=description)
    cam = cameras(ip)
    cam.connect()
    cam.set("ChunkSelector", "Timestamp")
    path = tmp_path / "settings.txt"
    problems = cam.save_features(path)
    assert [name for name, _ in problems] == ["AcquisitionMode"]
    lines = path.read_text(encoding="utf-8").splitlines()
    assert lines[2] == "# model: SimCam-1"  # from the device's identity
    assert not any(line.startswith(("Width = 16", "GevCCP")) for line in lines)
    assert {"ChunkEnable[ChunkSelector=Image] = true", "ChunkEnable[ChunkSelector=Timestamp] = false",
            "TriggerMode[TriggerSelector=FrameStart] = Off", "ChunkSelector = Timestamp"} <= set(lines)
    cam.set("ChunkSelector", "Image")
    width = cam.get("Width")
    assert cam.load_features(path) == []
    assert cam.get("Width") == width
    cam.set("ChunkSelector", "Image")
    assert cam.get("ChunkEnable") is True
    cam.set("ChunkModeActive", True)
    assert cam.snap(timeout=5).status == korvalite.FrameStatus.Complete
