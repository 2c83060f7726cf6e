"""Checked writes, errors that name the feature asked for, feature metadata, and get/set by kind,
against the simulated camera. Simulated cameras take their own loopback addresses."""

import math

import pytest

import korvalite
from korvalite.sim import FEATURE_REGISTERS
from capture_rig import PIXEL_FORMATS_LISTED
from loopback import free_ip as take_ip

G = korvalite.GenicamException
AccessMode = korvalite.AccessMode


def raised(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the test compares the class
        return type(e), str(e)
    return None


def test_refused_writes_name_feature_value_and_rule_and_never_reach_the_device(rig):
    ip = take_ip()
    sim, cam = rig(ip)
    cases = [
        (lambda: cam.set_float("Gain", 30.0), "Gain = 30.0 is out of range [0.0, 24.0]"),
        (lambda: cam.set_float("Gain", math.nan), "Gain = nan is not a finite number"),
        (lambda: cam.set_integer("Width", 100000), "Width = 100000 is out of range [1, 1280]"),
        (lambda: cam.set_string("DeviceUserID", "x" * 200),
         f"DeviceUserID = '{'x' * 200}' is 200 bytes long, more than the register's 16"),
        (lambda: cam.set_string("DeviceUserID", "a\x00b"),
         "DeviceUserID = 'a\\x00b' contains a NUL character, which ends a device string"),
        (lambda: cam.set_enum("PixelFormat", "Mono99"),
         f"PixelFormat = Mono99 is not an entry of the enumeration; {PIXEL_FORMATS_LISTED}"),
        (lambda: cam.set_integer("SensorWidth", 10), "SensorWidth = 10 is refused: the feature is read-only"),
        (lambda: cam.set_float("ExposureTime", 0.0), "ExposureTime = 0.0 is out of range [0.1, 10000000.0]"),
    ]
    sim.clear_writes()
    assert [raised(call) for call, _ in cases] == [(G, message) for _, message in cases]
    assert sim.writes() == []


def test_a_feature_locked_during_an_acquisition_is_refused_as_locked(rig):
    ip = take_ip()
    sim, cam = rig(ip)
    with cam.start_acquisition():  # sets TLParamsLocked, which locks Width
        assert cam.access_mode("Width") == AccessMode.RO
        assert raised(lambda: cam.set_integer("Width", 320)) == (G, "Width = 320 is refused: the feature is locked")
    cam.set_integer("Width", 320)
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == 320


def test_a_device_refusal_names_feature_and_value_and_keeps_the_status(rig):
    ip = take_ip()
    sim, cam = rig(ip)
    sim.set_faults(refuse={FEATURE_REGISTERS["Gain"]: 0x8002})
    assert raised(lambda: cam.set_float("Gain", 12.5)) == (
        G, "Gain = 12.5: device answered command 0x0082 with invalid parameter (0x8002)")


def test_errors_from_inner_nodes_start_with_the_feature_asked_for(simulated, cameras, builtin_description):
    ip = take_ip()
    broken = builtin_description.replace(
        '<Expression Name="IMAGE">(W * H * ((PF &gt;&gt; 16) &amp; 0xFF) + 7) / 8</Expression>',
        '<Expression Name="IMAGE">W / (H - H)</Expression>')
    assert broken != builtin_description
    simulated(ip, description=broken)
    cam = cameras(ip)
    cam.connect()
    kind, message = raised(lambda: cam.get_integer("PayloadSize"))
    assert kind is G
    assert message.startswith("PayloadSize: formula in 'PayloadSizeCalc': ")


def test_feature_info_reads_the_description(rig):
    ip = take_ip()
    _, cam = rig(ip)
    gain = cam.feature_info("Gain")
    assert (gain.name, gain.kind, gain.access_mode, gain.display_name, gain.tooltip, gain.unit, gain.visibility,
            gain.is_streamable, gain.min, gain.max, gain.inc, gain.is_implemented, gain.is_available) == (
        "Gain", "float", AccessMode.RW, "Gain (dB)", "Sensor gain in dB.", "dB", "Beginner", True, 0.0, 24.0, None,
        True, True)
    assert gain.description.startswith("Amplification")
    width = cam.feature_info("Width")
    assert (width.kind, width.min, width.max, width.inc, width.display_name) == ("integer", 1, 1280, 1, "Width")
    mode = cam.feature_info("DeviceIndicatorMode")
    assert [(e.name, e.value, e.display_name, e.is_available) for e in mode.entries] == [
        ("Inactive", 0, "Inactive", True), ("Active", 1, "Active", True), ("ErrorStatus", 2, "Error Status", True)]
    assert [cam.feature_info(n).visibility for n in ("GevSCPD", "GevHeartbeatTimeout", "TLParamsLocked")] == [
        "Guru", "Expert", "Invisible"]
    start = cam.feature_info("AcquisitionStart")
    assert (start.kind, start.access_mode, start.min) == ("command", AccessMode.RW, None)  # its register's mode


def test_get_and_set_follow_the_kind(rig):
    ip = take_ip()
    _, cam = rig(ip)
    writes = [("Width", 320), ("Gain", 6.5), ("AcquisitionFrameRateEnable", False), ("PixelFormat", "Mono16"),
              ("DeviceUserID", "bench 3"), ("ExposureTime", 1234.5)]
    for name, value in writes:
        cam.set(name, value)
    assert [cam.get(name) for name, _ in writes] == [value for _, value in writes]
    refusals = [
        (lambda: cam.get("AcquisitionStart"),
         "AcquisitionStart is a command: it has no value; run it with execute('AcquisitionStart')"),
        (lambda: cam.set("AcquisitionStart", 1),
         "AcquisitionStart is a command: it has no value; run it with execute('AcquisitionStart')"),
        (lambda: cam.get("Root"), "Root is a category: it has no value"),
        (lambda: cam.set("Width", 10.5), "Width = 10.5 is not an integer"),
        (lambda: cam.set("PixelFormat", 3), "PixelFormat = 3 is not an entry name"),
        (lambda: cam.set("Gain", "loud"), "Gain = 'loud' is not a number"),
        (lambda: cam.set("Width", 2 ** 80), "Width = 1208925819614629174706176 is out of the 64-bit integer range"),
        (lambda: cam.set("Gain", 10 ** 400), f"Gain = {10 ** 400} is too large for a float"),
        (lambda: cam.set("DeviceUserID", "\ud800"), "DeviceUserID = '\\ud800' is not valid Unicode text"),
    ]
    assert [raised(call) for call, _ in refusals] == [(G, message) for _, message in refusals]
