"""The simulated camera's control side, driven over raw UDP sockets (camera and clients on
addresses from the free_ip fixture)."""

import io
import pathlib
import socket
import struct
import time
import xml.etree.ElementTree as ET
import zipfile

import pytest

from gev_raw import CCP, HEARTBEAT_TIMEOUT, Gvcp
from korvalite.sim import FEATURE_REGISTERS, SimulatedCamera

WIDTH = FEATURE_REGISTERS["Width"]


@pytest.fixture
def camera_ip(free_ip):
    return free_ip()


@pytest.fixture
def host_a(free_ip):
    return free_ip()


@pytest.fixture
def host_b(free_ip):
    return free_ip()


@pytest.fixture
def clients(host_a):
    made = []

    def make(ip=None, cam=None):
        c = Gvcp(ip or host_a, cam.endpoint)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def test_discovery_answer_carries_the_identity_block(clients, camera_ip):
    with SimulatedCamera(camera_ip, 0, manufacturer="Acme", model="Model-7", device_version="3.1",
                         manufacturer_info="bench unit", serial="SN123", user_name="left",
                         mac="02:1a:2b:3c:4d:5e", subnet_mask="255.255.0.0", gateway="127.0.0.1") as cam:
        c = clients(cam=cam)
        c.sock.sendto(bytes.fromhex("4211000200 00FFFF"), cam.endpoint)
        data, source = c.sock.recvfrom(1024)
        assert source == cam.endpoint
        assert data[:8] == bytes.fromhex("00000003 00F8 FFFF")
        block = data[8:]
        assert len(block) == 248
        assert block[0:4] == bytes.fromhex("00020000")  # GigE Vision 2.0
        assert block[10:16] == bytes.fromhex("021a2b3c4d5e")
        assert block[0x24:0x28] == socket.inet_aton(camera_ip)
        assert block[0x34:0x38] == bytes([255, 255, 0, 0])
        assert block[0x44:0x48] == bytes([127, 0, 0, 1])
        for offset, width, text in ((0x48, 32, b"Acme"), (0x68, 32, b"Model-7"), (0x88, 32, b"3.1"),
                                    (0xA8, 48, b"bench unit"), (0xD8, 16, b"SN123"), (0xE8, 16, b"left")):
            assert block[offset:offset + width] == text.ljust(width, b"\0")
        # The same block, register by register, as a connecting host reads it.
        assert c.read_memory(0, 248) == block
        nine = c.read_regs(0x0000, 0x0004, 0x0008, 0x000C, 0x0010, 0x0014, 0x0024, 0x0034, 0x0044)
        assert nine.status == 0
        assert nine.registers() == list(struct.unpack(">9I", b"".join(
            block[a:a + 4] for a in (0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x24, 0x34, 0x44))))
        assert cam.counters()["discovery_requests"] == 1


def test_register_and_memory_round_trips(clients, camera_ip):
    with SimulatedCamera(camera_ip, 0) as cam:
        c = clients(cam=cam)
        c.take_control()
        assert c.write_regs((WIDTH, 320), (FEATURE_REGISTERS["Height"], 200)).payload == bytes.fromhex("00000002")
        assert c.read_regs(WIDTH, FEATURE_REGISTERS["Height"]).registers() == [320, 200]
        assert c.write_mem(0xE8, b"camera-left\0\0\0\0\0").payload == bytes.fromhex("00000010")
        assert c.read_memory(0xE8, 16) == b"camera-left".ljust(16, b"\0")
        statuses = {
            "read-only": c.write_regs((0x0000, 1)).status,
            "unaligned": c.read_regs(0x0A02).status,
            "unmapped": c.read_regs(0x0C00).status,
            "odd count": c.read_mem(0x0000, 6).status,
            "too long": c.read_mem(0x0000, 516).status,
            "bad value": c.write_regs((WIDTH, 0)).status,
        }
        assert statuses == {"read-only": 0x8004, "unaligned": 0x8005, "unmapped": 0x8003, "odd count": 0x8005,
                            "too long": 0x8002, "bad value": 0x8002}
        # The host's accepted writes, in order; and the raw view agrees with the host's.
        assert cam.register_writes() == [(CCP, 2), (WIDTH, 320), (FEATURE_REGISTERS["Height"], 200)]
        last = cam.writes()[-1]
        assert (last.command, last.address, last.data) == (0x0086, 0xE8, b"camera-left".ljust(16, b"\0"))
        assert cam.writes()[0].source == c.endpoint
        assert cam.read_register(WIDTH) == 320
        cam.write_register(FEATURE_REGISTERS["Gain"], struct.unpack(">I", struct.pack(">f", 12.5))[0])
        assert struct.unpack(">f", c.read_memory(FEATURE_REGISTERS["Gain"], 4))[0] == 12.5
        assert len(cam.writes()) == 4  # raw writes are not host writes


def test_second_client_is_refused_and_privilege_expires_without_heartbeat(clients, camera_ip, host_a, host_b):
    with SimulatedCamera(camera_ip, 0) as cam:
        a, b = clients(host_a, cam), clients(host_b, cam)
        a.take_control()
        a.write_reg(HEARTBEAT_TIMEOUT, 300)
        assert b.write_regs((CCP, 2)).status == 0x8006
        assert b.write_regs((WIDTH, 100)).status == 0x8006
        assert b.read_reg(CCP) == 2  # control access: others may read
        a.write_reg(CCP, 3)
        assert b.read_regs(WIDTH).status == 0x8006  # exclusive access: they may not
        # Commands from the holder keep the privilege well past the timeout...
        for _ in range(8):
            assert a.read_reg(CCP) == 3
            time.sleep(0.1)
        assert cam.privilege_holder == a.endpoint
        # ...silence ends it, and then another application may take control.
        assert wait_for(lambda: cam.privilege_holder is None)
        assert cam.counters()["heartbeat_expirations"] == 1
        assert b.read_reg(CCP) == 0
        b.take_control()
        assert a.write_regs((WIDTH, 100)).status == 0x8006
        b.write_reg(CCP, 0)  # giving control back
        assert cam.privilege_holder is None


@pytest.mark.parametrize("zip_method", [None, "stored", "deflated"])
def test_description_is_served_from_device_memory(clients, zip_method, camera_ip):
    with SimulatedCamera(camera_ip, 0, zip=zip_method, second_url="http://cameras.example/simcam.xml") as cam:
        c = clients(cam=cam)
        url = c.read_memory(0x0200, 512).split(b"\0")[0].decode()
        assert c.read_memory(0x0400, 512).split(b"\0")[0] == b"http://cameras.example/simcam.xml"
        scheme, name, address, size = url.replace(":", ";", 1).split(";")
        assert scheme == "Local"
        assert name.endswith(".zip" if zip_method else ".xml")
        data = c.read_memory(int(address, 16), int(size, 16))
        if zip_method:
            archive = zipfile.ZipFile(io.BytesIO(data))
            info = archive.infolist()[0]
            assert info.compress_type == (zipfile.ZIP_DEFLATED if zip_method == "deflated" else zipfile.ZIP_STORED)
            data = archive.read(info)
        assert data.decode() == cam.description
        root = ET.fromstring(data)
        names = {e.get("Name") for e in root.iter() if e.get("Name")}
        assert {"Width", "PixelFormat", "PayloadSize", "ExposureTime", "GevSCPSPacketSize"} <= names


def test_pending_ack_dropped_acks_and_retransmission(clients, camera_ip):
    with SimulatedCamera(camera_ip, 0, pending_ack=["WRITEREG"], pending_ack_announce_ms=900,
                         pending_ack_delay_ms=150) as cam:
        c = clients(cam=cam)
        c.send(0x0082, struct.pack(">II", CCP, 2))
        first = c.receive()
        assert (first.code, first.payload) == (0x0089, bytes.fromhex("00000384"))
        assert cam.privilege_holder is None  # held back until its time
        final = c.receive()
        assert (final.status, final.code, final.ack_id) == (0, 0x0083, first.ack_id)
        assert cam.privilege_holder == c.endpoint

        cam.set_faults(pending_ack=[], ack_drop=1.0)
        command = c.send(0x0082, struct.pack(">II", WIDTH, 100))
        c.sock.settimeout(0.3)
        assert c.receive() is None
        cam.set_faults(ack_drop=0.0)
        c.sock.sendto(command, cam.endpoint)  # the host retries with the same request id
        assert c.receive().code == 0x0083
        assert cam.register_writes()[-1] == (WIDTH, 100)
        assert len(cam.register_writes()) == 2  # executed once
        assert cam.counters()["retransmissions"] == 1
        assert cam.counters()["acks_dropped"] == 1


def test_refused_register_and_vanished_device(clients, camera_ip):
    with SimulatedCamera(camera_ip, 0, refuse={0x00A8: 0x8003}) as cam:
        c = clients(cam=cam)
        assert c.read_mem(0x00A8, 48).status == 0x8003
        assert c.read_mem(0x0088, 32).status == 0
        cam.gone = True
        c.sock.settimeout(0.3)
        c.send(0x0080, struct.pack(">I", 0))
        assert c.receive() is None
        cam.gone = False
        c.sock.settimeout(1.0)
        assert c.read_reg(0x0000) == 0x00020000


def test_events_reach_the_controlling_application(clients, camera_ip):
    with SimulatedCamera(camera_ip, 0) as cam:
        with pytest.raises(ValueError, match="no event destination"):
            cam.send_event(0x9000)
        c = clients(cam=cam)
        c.take_control()
        req_id = cam.send_event(0x9000, stream_channel=0, block_id=7, timestamp=0x0102030405060708)
        data, source = c.sock.recvfrom(1024)
        assert data == struct.pack(">BBHHH", 0x42, 0x01, 0x00C0, 16, req_id) + bytes.fromhex(
            "0000 9000 0000 0007 0102030405060708")
        c.sock.sendto(struct.pack(">HHHH", 0, 0x00C1, 0, req_id), source)
        cam.send_event(0x9001, b"abcd", ack_required=False)
        data, _ = c.sock.recvfrom(1024)
        assert data[:8] == struct.pack(">BBHHH", 0x42, 0x00, 0x00C2, 20, req_id + 1)
        assert data[-4:] == b"abcd"
        assert wait_for(lambda: cam.counters()["event_acks_received"] == 1)
        assert cam.counters()["events_sent"] == 2


@pytest.mark.parametrize("name, zip_method", [("basler__pypylon__HelloWorld.xml", "deflated"),
                                              ("genicam__harvesters__issue_66_altered_zip.zip", None)])
def test_another_description_can_be_served(clients, genicam_xml, name, zip_method, camera_ip):
    path = genicam_xml / name
    with SimulatedCamera(camera_ip, 0, description_file=str(path), zip=zip_method) as cam:
        c = clients(cam=cam)
        url = c.read_memory(0x0200, 512).split(b"\0")[0].decode()
        _, file_name, address, size = url.replace(":", ";", 1).split(";")
        assert file_name.endswith(".zip")
        served = c.read_memory(int(address, 16), int(size, 16))
        archive = zipfile.ZipFile(io.BytesIO(served))
        if zip_method is None:
            assert served == path.read_bytes()  # an archive is served as it is
        else:
            assert archive.read(archive.infolist()[0]) == path.read_bytes()
