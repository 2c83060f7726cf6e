"""Connecting a Camera to the simulated camera end to end: control privilege, time-outs, the
description sources, heartbeats and lost control, the stream channel, the facade's edge cases,
and no thread or socket left behind. Simulated cameras take their addresses from the free_ip
fixture."""

import os
import time

import pytest

import korvalite
from korvalite import _logging
from korvalite.sim import FEATURE_REGISTERS, expected_pattern

CCP, HEARTBEAT_TIMEOUT, SCPS0 = 0x0A00, 0x0938, 0x0D04
CONTROL_LOST = "device control was lost (heartbeat failed)"


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def messages(log, logger):
    _logging.flush()
    return [r.getMessage() for r in log.records if r.name == logger]


def native_threads(name_prefix=""):
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass  # ended while we looked
    return [n for n in names if n.startswith(name_prefix)]


# --- control privilege and connecting -----------------------------------------------------------


@pytest.mark.parametrize("exclusive, privilege", [(False, 2), (True, 3)])
def test_connect_takes_privilege_then_arms_the_heartbeat(simulated, cameras, exclusive, privilege, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip, exclusive=exclusive, heartbeat_timeout=2.5)
    camera.connect()
    assert sim.register_writes()[:2] == [(CCP, privilege), (HEARTBEAT_TIMEOUT, 2500)]
    assert sim.privilege_holder is not None
    camera.disconnect()
    assert sim.register_writes()[-1] == (CCP, 0)  # control given back
    assert sim.privilege_holder is None


def test_a_second_client_is_refused_and_stays_disconnected(simulated, cameras, free_ip):
    ip = free_ip()
    simulated(ip)
    first, second = cameras(ip), cameras(ip)
    first.connect()
    for _ in range(2):  # a failed connect leaves no claim behind: the second attempt fails alike
        with pytest.raises(korvalite.CameraException) as info:
            second.connect()
        assert str(info.value) == "device control is held by another application"
    assert not second.is_connected() and second.link_stats() is None
    assert first.is_connected()
    first.disconnect()
    second.connect()  # control is free again
    assert second.is_connected()


def test_a_silent_device_times_out_after_every_retry(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    sim.gone = True
    camera = cameras(ip, gvcp_timeout=0.1, retries=2)
    start = time.monotonic()
    with pytest.raises(korvalite.CameraException) as info:
        camera.connect()
    elapsed = time.monotonic() - start
    assert str(info.value) == f"connect timed out: no answer from {ip}:3956"
    assert 0.3 * 0.9 <= elapsed < 0.3 + 0.5 + 2.0  # three attempts of 0.1 s, within the caller's wait
    assert not camera.is_connected()
    assert wait_until(lambda: not native_threads("korvalite-gvcp"))  # the worker was joined


def test_a_refused_user_name_register_still_connects(simulated, cameras, core_log, free_ip):
    ip = free_ip()
    simulated(ip, user_name="left", refuse=[0x00E8])
    camera = cameras(ip)
    camera.connect()
    assert camera.device_info().user_defined_name == ""
    assert camera.device_info().serial == "SIM00001"
    assert [m for m in messages(core_log, "korvalite.gige") if m.startswith("string register")] == [
        "string register 0x00e8 unreadable: device answered command 0x0084 with access denied (0x8006)"
    ]


def test_connecting_twice_sends_nothing(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip)
    camera.connect()
    before, writes = camera.link_stats(), len(sim.writes())
    camera.connect()
    after = camera.link_stats()
    assert after.commands - before.commands == after.heartbeats - before.heartbeats  # heartbeats only
    assert len(sim.writes()) == writes


# --- where the description comes from ------------------------------------------------------------


@pytest.mark.parametrize(
    "options",
    [{}, {"zip": "stored"}, {"zip": "deflated"}],
    ids=["plain", "zip-stored", "zip-deflated"],
)
def test_description_from_device_memory(simulated, cameras, options, free_ip):
    ip = free_ip()
    sim = simulated(ip, **options)
    assert sim.first_url.lower().endswith(".zip;100000;%x" % len(sim.description_file)) == ("zip" in options)
    camera = cameras(ip)
    camera.connect()
    assert camera.get_enum("PixelFormat") == "Mono8"
    assert "PayloadSizeCalc" in camera.feature_names()


def test_description_from_a_host_file(simulated, cameras, builtin_description, tmp_path, free_ip):
    ip = free_ip()
    path = tmp_path / "camera.xml"
    path.write_text(builtin_description.replace('Name="Gain"', 'Name="HostGain"'))
    simulated(ip, first_url=f"file://{path}")
    camera = cameras(ip)
    camera.connect()
    assert camera.has_feature("HostGain") and not camera.has_feature("Gain")


def test_web_first_url_falls_back_to_the_second(simulated, cameras, core_log, free_ip):
    ip = free_ip()
    simulated(ip, first_url="http://example.invalid/camera.xml", second_url="local")
    camera = cameras(ip)
    camera.connect()
    assert camera.get_integer("Width") == 640
    assert [m for m in messages(core_log, "korvalite.gige") if m.startswith("GenICam URL")] == [
        "GenICam URL at 0x200 failed: device does not support http-hosted GenICam XML"
    ]


def test_both_urls_failing_report_the_second(simulated, cameras, core_log, free_ip):
    ip = free_ip()
    sim = simulated(ip, first_url="http://example.invalid/camera.xml", second_url="Local:cam.xml;100000")
    camera = cameras(ip)
    with pytest.raises(korvalite.CameraException) as info:
        camera.connect()
    assert str(info.value) == "malformed packet: missing size"
    assert [m for m in messages(core_log, "korvalite.gige") if m.startswith("GenICam URL")] == [
        "GenICam URL at 0x200 failed: device does not support http-hosted GenICam XML",
        "GenICam URL at 0x400 failed: malformed packet: missing size",
    ]
    # Control is given back: nothing is left connected.
    assert not camera.is_connected()
    assert wait_until(lambda: sim.privilege_holder is None)  # the release is not acknowledged
    assert not camera.has_feature("Width")
    with pytest.raises(korvalite.CameraException, match="^driver is not connected$"):
        camera.get_integer("Width")


def test_a_failed_connect_gives_control_back_and_a_retry_works_at_once(simulated, cameras, builtin_description,
                                                                        tmp_path, free_ip):
    path = tmp_path / "camera.xml"
    path.write_text("<RegisterDescription><Integer>")
    ip = free_ip()
    sim = simulated(ip, first_url=f"file://{path}")
    camera = cameras(ip)
    with pytest.raises(korvalite.GenicamException, match="^device description: "):
        camera.connect()
    assert not camera.is_connected()
    assert wait_until(lambda: sim.privilege_holder is None)
    assert sim.register_writes()[-1] == (CCP, 0)
    path.write_text(builtin_description)  # the broken description is not kept either
    camera.connect()
    assert camera.get_integer("Width") == 640


@pytest.mark.parametrize("kind", ["/dev/zero", "fifo", "directory"])
def test_a_description_path_that_is_no_regular_file_fails_at_once(simulated, cameras, tmp_path, kind, free_ip):
    path = {"/dev/zero": "/dev/zero", "fifo": str(tmp_path / "fifo.xml"), "directory": str(tmp_path)}[kind]
    if kind == "fifo":
        os.mkfifo(path)  # no writer: opening it for reading would wait forever
    ip = free_ip()
    sim = simulated(ip, first_url=f"file://{path}")
    camera = cameras(ip)
    with pytest.raises(korvalite.CameraException) as info:
        camera.connect()
    assert str(info.value) == f"io error: GenICam XML file {path}: not a regular file"
    assert not camera.is_connected()
    assert wait_until(lambda: sim.privilege_holder is None)


# --- heartbeats and lost control -------------------------------------------------------------------


def test_heartbeats_keep_control_until_the_device_goes_silent(simulated, cameras, core_log, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip, gvcp_timeout=0.1, retries=1, heartbeat_timeout=0.3)
    camera.connect()
    time.sleep(1.2)  # four heartbeat time-outs
    assert camera.is_connected()
    assert sim.privilege_holder is not None and sim.counters()["heartbeat_expirations"] == 0
    assert camera.link_stats().heartbeats >= 3
    assert native_threads("korvalite-gvcp") == ["korvalite-gvcp"]

    sim.gone = True
    assert wait_until(lambda: not camera.is_connected())
    assert wait_until(lambda: not native_threads("korvalite-gvcp"))  # the worker ended
    assert "heartbeat timed out, considering control lost" in messages(core_log, "korvalite.gige.runner")
    assert repr(camera) == f"Camera({ip}, connected=False)"
    for call in (
        lambda: camera.get_integer("Width"),
        lambda: camera.set_integer("Width", 320),
        lambda: camera.get_float("Gain"),
        lambda: camera.get_boolean("AcquisitionFrameRateEnable"),
        lambda: camera.get_string("DeviceVendorName"),
        lambda: camera.get_enum("PixelFormat"),
        lambda: camera.set_enum("PixelFormat", "Mono16"),
        lambda: camera.enum_entries("PixelFormat"),
        lambda: camera.execute("AcquisitionStart"),
        lambda: camera.access_mode("Width"),
        lambda: camera.integer_bounds("Width"),
        lambda: camera.invalidate_caches(),
        lambda: camera.start_acquisition(),
        lambda: camera.snap(),
    ):
        with pytest.raises(korvalite.CameraException) as info:
            call()
        assert str(info.value) == CONTROL_LOST
    # The kept model still answers what needs no device.
    assert camera.has_feature("Width")
    assert "Width" in camera.feature_names()

    # A new connect replaces the dead connection.
    sim.gone = False
    sim.clear_writes()
    camera.connect()
    assert camera.is_connected()
    assert sim.register_writes()[0] == (CCP, 2)
    assert camera.get_integer("Width") == 640


# --- the stream channel ----------------------------------------------------------------------------


@pytest.mark.parametrize("path_mtu", [9000, 4000, 1500])
def test_negotiated_packet_size_fits_the_path_and_frames_stream(simulated, cameras, path_mtu, free_ip):
    ip = free_ip()
    sim = simulated(ip, path_mtu=path_mtu, width=160, height=120)
    camera = cameras(ip)
    camera.connect()
    sim.clear_writes()
    with camera.start_acquisition(packet_size=None) as acq:
        size = acq.packet_size()
        frame = acq.wait_for(5.0)
    assert path_mtu - 16 < size <= path_mtu
    probes = [value for address, value in sim.register_writes() if address == SCPS0]
    assert probes[0] == 9152 | 0xC0000000  # the largest size is tried first
    assert probes[-1] == size  # then the size found is written without the test bits
    assert frame is not None and frame.is_complete
    assert frame.data() == expected_pattern(frame.frame_id, 160, 120, "Mono8")


def test_no_test_packet_through_the_path_falls_back_to_1500(simulated, cameras, core_log, free_ip):
    ip = free_ip()
    sim = simulated(ip, path_mtu=500)
    camera = cameras(ip)
    camera.connect()
    with camera.start_acquisition() as acq:
        assert acq.packet_size() == 1500
    assert sim.counters()["test_packets_blocked"] == 4  # 9152, 1488, 1008, 560
    assert "packet size fire-test unsupported, falling back to 1500" in messages(core_log, "korvalite.gige")


def test_channel_1_registers(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip)
    camera.connect()
    sim.clear_writes()
    with camera.start_acquisition(channel=1, packet_size=1400, packet_delay=7) as acq:
        port = int(acq.local_addr().rsplit(":", 1)[1])
        stream_writes = [w for w in sim.register_writes() if 0x0D00 <= w[0] < 0x0E00]
    assert stream_writes == [(0x0D58, 0x7F000001), (0x0D40, port), (0x0D44, 1400), (0x0D48, 7)]
    assert sim.register_writes()[-1] == (0x0D40, 0)  # stopping closes the channel


# --- facade edge cases -----------------------------------------------------------------------------


def test_a_refused_write_on_a_never_connected_camera_is_still_logged(core_log):
    camera = korvalite.Camera("192.168.1.20")
    with pytest.raises(korvalite.CameraException, match="^driver is not connected$"):
        camera.set_integer("Width", 320)
    _logging.flush()
    [record] = [r for r in core_log.records if r.name == "korvalite.genicam"]
    assert (record.levelname, record.getMessage()) == ("TRACE", "set integer")
    assert record.fields == {"feature": "Width", "value": 320}


def test_negative_payload_size_is_refused_and_frees_the_camera(simulated, cameras, builtin_description, free_ip):
    ip = free_ip()
    description = builtin_description.replace("<pValue>PayloadSizeCalc</pValue>", "<Value>-1</Value>")
    assert description != builtin_description
    simulated(ip, description=description)
    camera = cameras(ip)
    camera.connect()
    for _ in range(2):  # the claim is given back, so the second start fails the same way
        with pytest.raises(korvalite.GenicamException) as info:
            camera.start_acquisition()
        assert str(info.value) == "device description: negative PayloadSize"


def test_get_enum_reads_string_and_string_register_features(simulated, cameras, builtin_description, free_ip):
    ip = free_ip()
    description = builtin_description.replace(
        '<Port Name="Device"', '<String Name="Greeting"><Value>hello</Value></String>\n    <Port Name="Device"'
    )
    simulated(ip, description=description, manufacturer="Acme")
    camera = cameras(ip)
    camera.connect()
    assert camera.get_enum("Greeting") == "hello"
    assert camera.get_enum("DeviceVendorName") == "Acme"


def test_invalidate_caches_makes_the_next_read_go_to_the_device(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip)
    camera.connect()
    camera.set_integer("Width", 320)
    sim.write_register(FEATURE_REGISTERS["Width"], 100)  # behind the host's back
    reads = sim.counters()["commands_received"]
    assert camera.get_integer("Width") == 320  # from the cache
    assert sim.counters()["commands_received"] == reads
    camera.invalidate_caches()
    assert camera.get_integer("Width") == 100


@pytest.mark.parametrize("reconnect", [True, False], ids=["reconnected", "connected"])
def test_width_changed_behind_the_cameras_back(simulated, cameras, reconnect, free_ip):
    ip = free_ip()
    sim = simulated(ip, width=64, height=48)
    camera = cameras(ip)
    camera.connect()
    assert (camera.get_integer("Width"), camera.get_integer("PayloadSize")) == (64, 64 * 48)  # now cached
    if reconnect:
        camera.disconnect()
    sim.write_register(FEATURE_REGISTERS["Width"], 96)  # as another application (or a restart) would
    if reconnect:
        camera.connect()
        assert (camera.get_integer("Width"), camera.get_integer("PayloadSize")) == (96, 96 * 48)
    frame = camera.snap(packet_size=1500, timeout=5.0)
    assert (frame.status, frame.width, frame.received_size) == (korvalite.FrameStatus.Complete, 96, 96 * 48)
    assert frame.data() == expected_pattern(frame.frame_id, 96, 48, "Mono8")


# --- nothing outlives its owner --------------------------------------------------------------------


def resources():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def test_connect_and_stream_cycles_leave_no_thread_or_socket(simulated, free_ip):
    ip = free_ip()
    simulated(ip, width=64, height=48)
    camera = korvalite.Camera(ip)
    camera.connect()  # warm up whatever starts once per process
    camera.start_acquisition(packet_size=1500).stop()
    camera.disconnect()
    _logging.flush()
    baseline = resources()

    for _ in range(200):
        camera.connect()
        camera.disconnect()
    for _ in range(10):  # dropped while connected
        dropped = korvalite.Camera(ip)
        dropped.connect()
        del dropped
    camera.connect()
    for i in range(50):
        acq = camera.start_acquisition(packet_size=1500)
        if i % 10 == 0:
            assert acq.wait_for(5.0) is not None
        if i % 2:
            acq.stop()
        else:
            del acq  # stopped when collected
    camera.disconnect()
    _logging.flush()
    assert wait_until(lambda: resources() == baseline), (resources(), baseline)
