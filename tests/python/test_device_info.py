import struct

import pytest

import korvalite
from korvalite import _korvalite_core, _korvalite_testing

parse = _korvalite_testing.parse_device_info

ATTRIBUTES = ["manufacturer", "model", "serial", "device_version", "manufacturer_info", "user_defined_name",
              "ip", "subnet_mask", "gateway", "mac", "spec_version"]


def identity_block(size=248):
    block = bytearray(size)
    struct.pack_into(">IIII", block, 0x00, 0x00020001, 0x80000001, 0xFFFF021A, 0x2B3C4D5E)
    block[0x24:0x28] = bytes([192, 168, 1, 10])
    block[0x34:0x38] = bytes([255, 255, 255, 0])
    block[0x44:0x48] = bytes([192, 168, 1, 1])
    for offset, raw in ((0x48, b"Korva Optics"), (0x68, b"Cam\xff\x00junk"), (0x88, b" 1.0 "),
                        (0xA8, b"info"), (0xD8, b"0123456789ABCDEF"), (0xE8, b"\x00hidden")):
        block[offset:offset + len(raw)] = raw
    return bytes(block)


def test_attributes_are_read_only_and_in_order():
    info = parse(identity_block(300))
    assert [name for name in vars(korvalite.DeviceInfo) if not name.startswith("_")] == ATTRIBUTES
    assert {name: getattr(info, name) for name in ATTRIBUTES} == {
        "manufacturer": "Korva Optics",
        "model": "Cam\ufffd",
        "serial": "0123456789ABCDEF",
        "device_version": " 1.0 ",
        "manufacturer_info": "info",
        "user_defined_name": "",
        "ip": "192.168.1.10",
        "subnet_mask": "255.255.255.0",
        "gateway": "192.168.1.1",
        "mac": "02:1a:2b:3c:4d:5e",
        "spec_version": (2, 1),
    }
    for name in ATTRIBUTES:
        with pytest.raises(AttributeError):
            setattr(info, name, getattr(info, name))
    assert parse(identity_block(247)) is None


def test_class_documentation_and_repr():
    assert korvalite.DeviceInfo.__doc__ == (
        "Identity and addressing of a device, parsed from the first\n"
        "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
        "acknowledge payload, or the same block read via READMEM).")
    assert korvalite.DeviceInfo.spec_version.__doc__ == "GigE Vision spec version as `(major, minor)`."
    assert repr(parse(identity_block())) == "DeviceInfo(Korva Optics Cam\ufffd serial=0123456789ABCDEF ip=192.168.1.10)"
    with pytest.raises(TypeError):
        korvalite.DeviceInfo()


def test_module_attributes_follow_the_documented_order():
    documented = ["CameraError", "GenicamError", "CameraTimeoutError", "GenicamTimeoutError", "CameraBusyError",
                  "Camera", "EnumEntryInfo", "FeatureInfo", "SnapshotSession", "Acquisition", "Frame", "PixelFormatInfo",
                  "pixel_formats",
                  "FrameChannel", "Event", "EventSubscription", "FrameStatus", "AccessMode", "StreamStats",
                  "LinkStats", "DeviceInfo", "discover"]
    public = [name for name in vars(_korvalite_core) if not name.startswith("_")]
    assert public == [name for name in documented if name in public]
    assert {"CameraError", "GenicamError", "DeviceInfo", "discover"} <= set(public)
    assert korvalite.discover.__doc__.endswith(
        "\n\nBroadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
        "return the devices that answer within `timeout` seconds.")
