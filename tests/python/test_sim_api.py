"""The Python face of the simulated camera: life cycle, configuration errors, the pattern
helper, and the command line (cameras on addresses from the free_ip fixture)."""

import gc
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

from gev_raw import reference_pattern
from korvalite.sim import PIXEL_FORMATS, SimulatedCamera, expected_pattern, payload_size
from korvalite.sim._cli import parser


def sim_threads() -> int:
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return sum(name.startswith("kvsim-") for name in names)


def settles_at(count: int) -> bool:
    # A new thread names itself a moment after it starts.
    deadline = time.monotonic() + 5
    while sim_threads() != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return sim_threads() == count


def test_life_cycle_and_threads(free_ip):
    ip = free_ip()
    before = sim_threads()
    cam = SimulatedCamera(ip, 0)
    assert not cam.running and sim_threads() == before
    with cam:
        assert cam.running and cam.port != 0
        assert settles_at(before + 2)
        assert repr(cam) == f"SimulatedCamera({ip}:{cam.port}, running)"
    assert not cam.running and sim_threads() == before
    cam.start()
    ref = weakref.ref(cam)
    del cam
    gc.collect()
    assert ref() is None
    assert sim_threads() == before  # collected while running: threads stopped and joined


def test_several_cameras_share_a_port_on_their_own_addresses(free_ip):
    ip1 = free_ip()
    ip2 = free_ip()
    with SimulatedCamera(ip1, 0) as a:
        with SimulatedCamera(ip2, a.port, serial="B") as b, pytest.raises(ValueError, match="already in use"):
            assert b.port == a.port
            SimulatedCamera(ip1, a.port).start()


@pytest.mark.parametrize("options, message", [
    (dict(stream_drop=2.0), "stream_drop must be between 0 and 1"),
    (dict(width=2000), "image window must be non-empty and lie on the sensor"),
    (dict(serial="x" * 17), "serial is longer than 16 bytes"),
    (dict(pixel_format="YUV411"), "unsupported pixel format 'YUV411'"),
    (dict(mac="02:00"), "not a MAC address: '02:00'"),
    (dict(subnet_mask="255.0.0"), "not an IPv4 address: '255.0.0'"),
    (dict(zip="bzip2"), "packing must be 'plain', 'stored' or 'deflated', not 'bzip2'"),
    (dict(pending_ack=["FORCEIP"]), "unknown command 'FORCEIP'"),
    (dict(first_block_id=0x10000), "first_block_id must be 1 to 65535"),
    (dict(frame_rate=200.0), "frame_rate must be at most 1000000 / exposure_us"),
])
def test_bad_configurations_are_refused_with_a_reason(options, message, free_ip):
    ip = free_ip()
    with pytest.raises(ValueError, match=re.escape(message)):
        SimulatedCamera(ip, 0, **options)


@pytest.mark.parametrize("pixel_format", sorted(PIXEL_FORMATS))
def test_expected_pattern_matches_the_documented_formula(pixel_format):
    for frame, offsets in ((0, (0, 0)), (1, (7, 3)), (0xFFFF, (0, 9)), (2**40 + 3, (1, 1))):
        data = expected_pattern(frame, 37, 5, pixel_format, *offsets)
        assert data == reference_pattern(frame, 37, 5, pixel_format, *offsets)
        assert len(data) == payload_size(37, 5, pixel_format)


def test_description_can_be_replaced(free_ip):
    ip = free_ip()
    xml = '<RegisterDescription><Integer Name="Answer"><Value>42</Value></Integer></RegisterDescription>'
    with SimulatedCamera(ip, 0, description=xml, first_url="file:///tmp/none.xml",
                         second_url="local") as cam:
        assert cam.description == xml
        assert cam.first_url == "file:///tmp/none.xml"
        assert cam.second_url == f"Local:korvalite-simcam.xml;100000;{len(xml):X}"
        assert cam.read_memory(0x100000, len(xml)).decode() == xml


def test_help_documents_every_option():
    out = subprocess.run([sys.executable, "-m", "korvalite.sim", "--help"], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    options = [s for action in parser()._actions for s in action.option_strings if s.startswith("--")]
    assert len(options) > 50
    for option in options:
        assert option in out, option
    for action in parser()._actions:
        assert action.help, action.option_strings


def test_command_line_runs_until_interrupted(free_ip):
    ip = free_ip()
    proc = subprocess.Popen([sys.executable, "-m", "korvalite.sim", "--address", ip, "--port", "0",
                             "--serial", "CLI-1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        port = int(re.search(rf"listening on {re.escape(ip)}:(\d+)", line).group(1))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(2.0)
            s.bind((ip, 0))
            s.sendto(bytes.fromhex("42110002 0000 FFFF"), (ip, port))
            reply = s.recv(1024)
        assert reply[8 + 0xD8:8 + 0xDD] == b"CLI-1"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    assert "discovery_requests=1" in out


def test_command_line_reports_bad_settings(free_ip):
    ip = free_ip()
    proc = subprocess.run([sys.executable, "-m", "korvalite.sim", "--address", ip, "--drop", "3"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.strip() == "korvalite.sim: stream_drop must be between 0 and 1"


# Broadcast discovery runs only inside a network namespace of its own.
_BROADCAST_SCRIPT = textwrap.dedent("""
    import socket, subprocess
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "broadcast", "255.255.255.255", "dev", "lo", "table", "local"], check=True)
    from korvalite.sim import SimulatedCamera
    with SimulatedCamera("127.0.0.30", serial="A") as a, SimulatedCamera("127.0.0.31", serial="B") as b:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(("127.0.0.1", 0))
        s.settimeout(1.0)
        for target in ("127.255.255.255", "255.255.255.255"):
            s.sendto(bytes.fromhex("42110002 0000 FFFF"), (target, 3956))
            replies = (s.recvfrom(1024), s.recvfrom(1024))
            answers = sorted((src[0], data[8 + 0xD8:8 + 0xD9].decode()) for data, src in replies)
            print(target, answers)
""")


def test_discovery_sent_to_broadcast_addresses_is_answered():
    probe = subprocess.run(["unshare", "--net", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("cannot create a network namespace here")
    proc = subprocess.run(["unshare", "--net", sys.executable, "-c", _BROADCAST_SCRIPT], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    expected = "[('127.0.0.30', 'A'), ('127.0.0.31', 'B')]"
    assert proc.stdout.splitlines() == [f"127.255.255.255 {expected}", f"255.255.255.255 {expected}"]
