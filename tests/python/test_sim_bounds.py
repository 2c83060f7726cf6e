"""The simulated camera states the bounds it enforces: every writable feature of its category
tree takes the bounds its description gives and the checked write refuses just past them; the device itself, written
directly over GVCP, takes the same bounds and refuses just past them. Simulated cameras take their
own loopback addresses."""

import struct

from gev_raw import SCPS, Gvcp

import korvalite
from korvalite import features
from korvalite.sim import FEATURE_REGISTERS
from loopback import free_ip as take_ip

G = korvalite.GenicamException
RW = korvalite.AccessMode.RW
# Features whose writes would aim the stream, send packets or give up control of the device.
NOT_WALKED = {"GevSCPSFireTestPacket", "GevSCDA", "GevSCPHostPort", "GevCCP", "GevHeartbeatTimeout"}



def u32(value):
    """A 32-bit register's bytes, or None when the value has no room in it."""
    return struct.pack(">I", value) if 0 <= value <= 0xFFFFFFFF else None


# How the device holds each numeric feature: (address, encoder of a feature value to bytes).
DEVICE_ENCODINGS = {
    **{name: (FEATURE_REGISTERS[name], u32) for name in
       ("Width", "Height", "OffsetX", "OffsetY", "AcquisitionFrameCount", "TLParamsLocked")},
    "Gain": (FEATURE_REGISTERS["Gain"], lambda value: struct.pack(">f", value)),
    "AcquisitionFrameRate": (FEATURE_REGISTERS["AcquisitionFrameRate"], lambda value: struct.pack(">d", value)),
    "ExposureTime": (FEATURE_REGISTERS["ExposureTimeRaw"], lambda value: u32(round(value * 10))),
    "GevSCPSPacketSize": (SCPS, lambda value: u32(value) if value <= 0xFFFF else None),  # a 16-bit field
}


def past(info, bound, direction):
    """The nearest value beyond `bound` in `direction` (+1 above the max, -1 below the min)."""
    if info.kind == "integer":
        return bound + direction * info.inc
    if info.name == "ExposureTime":  # the device counts tenths of a microsecond
        return bound + direction * 0.1
    return bound + direction * max(abs(bound) * 1e-4, 1e-3)


def test_every_writable_feature_takes_its_bounds_and_refuses_just_past_them(rig):
    ip = take_ip()
    sim, cam = rig(ip)
    walked, bounds = [], {}
    for name in dict.fromkeys(name for _, name in features.walk_tree(cam)):
        info = cam.feature_info(name)
        if info.access_mode != RW or name in NOT_WALKED or info.kind in ("category", "command", "port"):
            continue
        original = cam.get(name)
        if info.kind in ("integer", "float"):
            walked.append(name)
            bounds[name] = (info, info.min, info.max)
            for bound, direction in ((info.min, -1), (info.max, +1)):
                cam.set(name, bound)
                assert cam.get(name) == bound, name
                beyond = past(info, bound, direction)
                try:
                    cam.set(name, beyond)
                except G as error:
                    assert "is out of range" in str(error), name
                else:
                    raise AssertionError(f"{name} = {beyond!r} was accepted")
        elif info.kind == "enumeration":
            walked.append(name)
            for entry in info.entries:
                cam.set(name, entry.name)
                assert cam.get(name) == entry.name
        cam.set(name, original)
    assert set(DEVICE_ENCODINGS) <= set(walked)
    assert {"PixelFormat", "AcquisitionMode", "DeviceIndicatorMode", "GevSCPD"} <= set(walked)

    cam.disconnect()
    ctl = Gvcp("127.0.0.1", sim.endpoint)
    try:
        ctl.take_control()
        for name, (address, encode) in DEVICE_ENCODINGS.items():
            info, low, high = bounds[name]
            held = ctl.read_memory(address, len(encode(low)))
            for bound, direction in ((low, -1), (high, +1)):
                assert ctl.write_mem(address, encode(bound)).status == 0, (name, bound)
                beyond = encode(past(info, bound, direction))
                if beyond is not None:
                    assert ctl.write_mem(address, beyond).status == 0x8002, (name, bound, direction)
            assert ctl.write_mem(address, held).status == 0, name  # the bounds of the next depend on it
    finally:
        ctl.close()
