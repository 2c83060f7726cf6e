"""The Python Camera: its surface, argument checks, every feature method against the simulated
camera, busy claims, and several threads and cameras at once. Simulated cameras take their
addresses from the free_ip fixture."""

import math
import pickle
import threading
import time
import weakref

import pytest

import korvalite
from korvalite import _korvalite_core
from korvalite.sim import FEATURE_REGISTERS

from capture_rig import PIXEL_FORMATS_LISTED

AccessMode = korvalite.AccessMode
NOT_CONNECTED = "driver is not connected"
NO_MODEL = "device description: feature model not loaded"


def busy(label):
    return f"camera is busy ({label} in progress); stop it first"


def raised(call):
    """The exception class and text `call` raises, or None when it returns."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the test compares the class
        return type(e), str(e)
    return None


# --- the module and the class ----------------------------------------------------------------------


def test_module_attributes_in_their_order():
    public = [name for name in vars(_korvalite_core) if not name.startswith("_")]
    assert public == ["CameraError", "GenicamError", "CameraTimeoutError", "GenicamTimeoutError", "CameraBusyError",
                      "Camera", "EnumEntryInfo", "FeatureInfo", "SnapshotSession", "Acquisition", "Frame",
                      "PixelFormatInfo", "pixel_formats", "FrameChannel", "Event", "EventSubscription", "FrameStatus",
                      "AccessMode", "StreamStats", "LinkStats", "DeviceInfo", "discover"]


def test_class_docstring_and_method_signatures():
    assert korvalite.Camera.__doc__.startswith("A GigE Vision camera at an IPv4 address.\n\n")
    assert _korvalite_core.Camera.__doc__.startswith("A GigE Vision camera at an IPv4 address: connect, ")
    ring = "packet_ring: bool | str | None = None"
    options = "channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, " \
              "packet_delay: int | None = None, resend: bool = True, " + ring
    signatures = {
        "__init__": "(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4, heartbeat_timeout: float = 3.0,"
                    " exclusive: bool = False, local_ip: str | None = None, packet_ring: bool | str = False) -> None",
        "connect": "(self) -> None",
        "disconnect": "(self, deadline: float = 0.5) -> None",
        "is_connected": "(self) -> bool",
        "device_info": "(self) -> DeviceInfo",
        "link_stats": "(self) -> LinkStats | None",
        "feature_names": "(self) -> list[str]",
        "has_feature": "(self, name: str) -> bool",
        "get_integer": "(self, name: str) -> int",
        "set_integer": "(self, name: str, value: int) -> None",
        "integer_bounds": "(self, name: str) -> tuple[int, int]",
        "integer_increment": "(self, name: str) -> int",
        "get_float": "(self, name: str) -> float",
        "chunk_value": "(self, frame: Frame, name: str) -> int | float | bool | str",
        "set_float": "(self, name: str, value: float) -> None",
        "float_bounds": "(self, name: str) -> tuple[float, float]",
        "get_boolean": "(self, name: str) -> bool",
        "set_boolean": "(self, name: str, value: bool) -> None",
        "get_string": "(self, name: str) -> str",
        "set_string": "(self, name: str, value: str) -> None",
        "get_enum": "(self, name: str) -> str",
        "set_enum": "(self, name: str, entry: str) -> None",
        "enum_entries": "(self, name: str) -> list[str]",
        "execute": "(self, name: str) -> None",
        "access_mode": "(self, name: str) -> AccessMode",
        "invalidate_caches": "(self) -> None",
        "start_acquisition": f"(self, *, {options.removesuffix(ring)}callback: collections.abc.Callable[[Frame], object]"
                             f" | None = None, on_error: str = 'log', {ring}) -> Acquisition",
        "snapshot_session": f"(self, *, {options}) -> korvalite._korvalite_core.SnapshotSession",
    }
    for name, signature in signatures.items():
        doc = getattr(korvalite.Camera, name).__doc__
        assert doc.split("\n")[0] == name + signature
        if name != "__init__":
            assert doc.split("\n")[2], f"{name} has no docstring"
    assert korvalite.Camera.snap.__doc__.startswith(f"snap(self, timeout: float = 5.0, *, {options}) -> ")


def test_package_camera_is_the_extensions_camera():
    cam = korvalite.Camera("127.0.0.1")
    assert isinstance(cam, _korvalite_core.Camera) and repr(cam) == "Camera(127.0.0.1, connected=False)"
    assert weakref.ref(cam)() is cam
    with pytest.raises(AttributeError):
        cam.no_such_attribute = 1
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(cam)


def test_camera_as_context_manager_connects_and_disconnects(simulated, free_ip):
    ip = free_ip()
    simulated(ip)
    with korvalite.Camera(ip) as cam:
        assert cam.is_connected() and cam.get("Width") == 640
    assert not cam.is_connected()
    with pytest.raises(KeyError, match="in flight"):  # never suppressed
        with korvalite.Camera(ip) as cam:
            raise KeyError("in flight")
    assert not cam.is_connected() and cam.__exit__(None, None, None) is False


# --- arguments ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("text, shown", [
    ("10.0.0.300", '"10.0.0.300"'),
    ("camera", '"camera"'),
    ('a"b\\c\n', '"a\\"b\\\\c\\n"'),
    ("", '""'),
])
def test_invalid_ip_texts(text, shown):
    for make in (lambda: korvalite.Camera(text), lambda: korvalite.Camera("127.0.0.1", local_ip=text)):
        with pytest.raises(ValueError) as info:
            make()
        assert str(info.value) == "invalid IP address: " + shown


@pytest.mark.parametrize("value", [-1.0, -1e-9, math.nan, math.inf, 1e300])
def test_bad_time_outs_are_refused_before_any_traffic(simulated, cameras, value, free_ip):
    ip = free_ip()
    with pytest.raises(ValueError) as info:
        korvalite.Camera("127.0.0.1", gvcp_timeout=value)
    assert str(info.value).startswith("gvcp_timeout must be a finite, non-negative number of seconds, not ")

    sim = simulated(ip)
    camera = cameras(ip)
    camera.connect()
    writes = len(sim.writes())
    for call, name in ((lambda: camera.disconnect(value), "deadline"), (lambda: camera.snap(value), "timeout"),
                       (lambda: camera.disconnect(deadline=value), "deadline")):
        with pytest.raises(ValueError, match=f"^{name} must be a finite, non-negative number of seconds"):
            call()
    assert camera.is_connected()
    assert len(sim.writes()) == writes


@pytest.mark.parametrize("settings, name", [
    ({"retries": 256}, "retries"), ({"retries": -1}, "retries"), ({"retries": "4"}, "retries"),
    ({"gvcp_timeout": "0.5"}, "gvcp_timeout"), ({"exclusive": "yes"}, "exclusive"), ({"local_ip": 7}, "local_ip"),
])
def test_arguments_outside_their_range_or_type(settings, name):
    with pytest.raises(TypeError) as info:
        korvalite.Camera("127.0.0.1", **settings)
    assert f"kwargs = {{ {name}: " in str(info.value)


def test_long_time_outs_are_kept(simulated, cameras, free_ip):
    """An acknowledge time-out far beyond any real wait still connects and reads."""
    ip = free_ip()
    simulated(ip)
    camera = cameras(ip, gvcp_timeout=9e9, retries=255)
    camera.connect()
    assert camera.get_integer("Width") == 640
    camera.disconnect(deadline=9e9)
    assert not camera.is_connected()


@pytest.mark.parametrize("seconds, written", [
    (1.2345, 1234), (0.0005, 0), (-1.0, 0), (math.nan, 0), (1e12, 4294967295), (math.inf, 4294967295),
])
def test_heartbeat_timeout_conversion(simulated, cameras, seconds, written, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    cameras(ip, heartbeat_timeout=seconds).connect()
    assert sim.register_writes()[1] == (0x0938, written)


# --- a connected camera ------------------------------------------------------------------------------


def test_identity_repr_and_link_counters(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, manufacturer="Acme", model="Model-7", device_version="3.1", manufacturer_info="bench",
                    serial="SN123", user_name="left", mac="02:1a:2b:3c:4d:5e", subnet_mask="255.255.0.0",
                    gateway="127.0.0.1", version=(2, 1))
    camera = cameras(ip)
    assert repr(camera) == f"Camera({ip}, connected=False)"
    assert camera.link_stats() is None
    camera.connect()
    assert repr(camera) == f"Camera({ip}, connected=True)"
    info = camera.device_info()
    assert (info.manufacturer, info.model, info.device_version, info.manufacturer_info, info.serial,
            info.user_defined_name, info.mac, info.ip, info.subnet_mask, info.gateway, info.spec_version) == (
        "Acme", "Model-7", "3.1", "bench", "SN123", "left", "02:1a:2b:3c:4d:5e", ip, "255.255.0.0",
        "127.0.0.1", (2, 1))

    before = camera.link_stats()
    assert before.commands == before.acks > 0
    for _ in range(5):
        camera.get_integer("GevSCPD")  # never cached: one READREG each
    after = camera.link_stats()
    assert after.commands - before.commands >= 5
    assert after.acks - before.acks >= 5
    assert (after.naks, after.timeouts) == (0, 0)
    sim.set_faults(refuse={0xD08: 0x8002})
    with pytest.raises(korvalite.GenicamException, match="^GevSCPD = 1: device answered"):
        camera.set_integer("GevSCPD", 1)  # the device refuses: one NAK
    assert camera.link_stats().naks == 1


def test_typed_getters_and_setters(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, manufacturer="Acme")
    camera = cameras(ip)
    camera.connect()

    assert (camera.get_integer("Width"), camera.integer_bounds("Width"), camera.integer_increment("Width")) == (
        640, (1, 1280), 1)
    camera.set_integer("OffsetX", 16)
    assert camera.get_integer("OffsetX") == 16 and sim.read_register(FEATURE_REGISTERS["OffsetX"]) == 16
    assert camera.integer_bounds("Width") == (1, 1280 - 16)  # WidthMax follows the offset
    assert camera.integer_bounds("PayloadSize") == (-2**63, 2**63 - 1)

    assert camera.float_bounds("Gain") == (0.0, 24.0)
    camera.set_float("Gain", 6.5)
    assert camera.get_float("Gain") == 6.5
    camera.set_float("ExposureTime", 1234.5)  # a converter: tenths of a microsecond on the device
    assert camera.get_float("ExposureTime") == 1234.5
    assert sim.read_register(FEATURE_REGISTERS["ExposureTimeRaw"]) == 12345

    assert camera.get_boolean("AcquisitionFrameRateEnable") is True
    camera.set_boolean("AcquisitionFrameRateEnable", False)
    assert camera.get_boolean("AcquisitionFrameRateEnable") is False

    assert camera.get_string("DeviceVendorName") == "Acme"
    camera.set_string("DeviceUserID", "left")
    assert camera.get_string("DeviceUserID") == "left"
    assert sim.read_memory(0xE8, 16) == b"left".ljust(16, b"\0")

    assert camera.enum_entries("AcquisitionMode") == ["Continuous", "SingleFrame", "MultiFrame"]
    camera.set_enum("PixelFormat", "Mono16")
    assert camera.get_enum("PixelFormat") == "Mono16"
    assert camera.get_integer("PixelFormat") == 0x01100007
    assert camera.get_integer("PayloadSize") == 640 * 480 * 2

    camera.execute("GevTimestampControlLatch")
    assert camera.get_integer("GevTimestampValue") > 0

    modes = {name: camera.access_mode(name) for name in ("Width", "SensorWidth", "DeviceUserID", "AcquisitionStart",
                                                          "ImageFormatControl")}
    assert modes == {"Width": AccessMode.RW, "SensorWidth": AccessMode.RO, "DeviceUserID": AccessMode.RW,
                     "AcquisitionStart": AccessMode.RW, "ImageFormatControl": AccessMode.RO}
    assert all(type(m) is AccessMode for m in modes.values())


def test_feature_errors(simulated, cameras, free_ip):
    ip = free_ip()
    simulated(ip)
    camera = cameras(ip)
    camera.connect()
    G = korvalite.GenicamException
    WIDTH_WRONG_KIND = ("node 'Width' does not support this access: Width is an integer feature; "
                        "use get_integer, set_integer, integer_bounds (or get/set)")
    cases = [
        (lambda: camera.get_integer("Nope"), G, "feature 'Nope' not found"),
        (lambda: camera.set_enum("Nope", "x"), G, "feature 'Nope' not found"),
        (lambda: camera.get_float("DeviceVendorName"), G, "node 'DeviceVendorName' does not support this access: "
         "DeviceVendorName is a string feature; use get_string/set_string (or get/set)"),
        (lambda: camera.get_string("Width"), G, WIDTH_WRONG_KIND),
        (lambda: camera.execute("Width"), G, WIDTH_WRONG_KIND),
        (lambda: camera.enum_entries("Width"), G, WIDTH_WRONG_KIND),
        (lambda: camera.float_bounds("Width"), G, WIDTH_WRONG_KIND),
        (lambda: camera.integer_increment("Gain"), G, "node 'Gain' does not support this access: "
         "Gain is a float feature; use get_float, set_float, float_bounds (or get/set)"),
        (lambda: camera.set_enum("PixelFormat", "Mono99"), G,
         f"PixelFormat = Mono99 is not an entry of the enumeration; {PIXEL_FORMATS_LISTED}"),
        (lambda: camera.set_integer("SensorWidth", 5), G, "SensorWidth = 5 is refused: the feature is read-only"),
        (lambda: camera.set_string("DeviceVendorName", "x"), G,
         "DeviceVendorName = 'x' is refused: the feature is read-only"),
        (lambda: camera.set_integer("Width", 5000), G, "Width = 5000 is out of range [1, 1280]"),
    ]
    for call, cls, text in cases:
        assert raised(call) == (cls, text)
    assert camera.get_integer("Width") == 640  # nothing above changed the camera


def test_a_silent_device_turns_is_connected_false(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    camera = cameras(ip, gvcp_timeout=0.1, retries=0, heartbeat_timeout=0.3)
    camera.connect()
    sim.gone = True
    deadline = time.monotonic() + 5
    while camera.is_connected() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not camera.is_connected()
    assert raised(camera.device_info) == (korvalite.CameraException, NOT_CONNECTED)


# --- never connected and busy ---------------------------------------------------------------------------


def test_a_never_connected_camera():
    camera = korvalite.Camera("192.168.1.20")
    assert repr(camera) == "Camera(192.168.1.20, connected=False)"
    assert camera.is_connected() is False
    assert camera.has_feature("Width") is False
    assert camera.link_stats() is None
    assert raised(camera.feature_names) == (korvalite.GenicamException, NO_MODEL)
    for call in (lambda: camera.get_integer("Width"), lambda: camera.get_integer("anything"), camera.device_info,
                 camera.invalidate_caches, lambda: camera.execute("AcquisitionStart"), camera.start_acquisition,
                 lambda: camera.snap(0.1)):
        assert raised(call) == (korvalite.CameraException, NOT_CONNECTED)
    camera.disconnect()  # nothing to do, nothing raised


def test_busy_claims(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip, width=64, height=48)
    camera = cameras(ip)
    camera.connect()

    acq = camera.start_acquisition()
    for call in (camera.snap, camera.start_acquisition, camera.snapshot_session, camera.connect, camera.disconnect):
        assert raised(call) == (korvalite.CameraBusyError, busy("an acquisition"))
    camera.set_integer("OffsetX", 8)  # features never claim
    acq.stop()
    assert camera.snap().is_complete

    with camera.snapshot_session():
        assert raised(camera.start_acquisition) == (korvalite.CameraBusyError, busy("a snapshot session"))
    assert camera.get_enum("AcquisitionMode") == "Continuous"

    # A snap that waits for a frame that never completes, and a connect to a silent device.
    sim.set_faults(stream_drop=1.0)
    snapping = threading.Thread(target=lambda: raised(lambda: camera.snap(1.0)))
    snapping.start()
    time.sleep(0.3)
    assert raised(camera.start_acquisition) == (korvalite.CameraBusyError, busy("a snap"))
    snapping.join(10)
    sim.set_faults(stream_drop=0.0)

    camera.disconnect()
    sim.gone = True
    slow = cameras(ip, gvcp_timeout=0.2, retries=2)
    connecting = threading.Thread(target=lambda: raised(slow.connect))
    connecting.start()
    time.sleep(0.2)
    assert raised(slow.connect) == (korvalite.CameraBusyError, busy("a connect"))
    assert raised(slow.disconnect) == (korvalite.CameraBusyError, busy("a connect"))
    connecting.join(10)
    assert not connecting.is_alive()


# --- threads ---------------------------------------------------------------------------------------------


def test_waiting_calls_let_other_python_threads_run(simulated, cameras, free_ip):
    ip = free_ip()
    sim = simulated(ip)
    sim.gone = True
    camera = cameras(ip, gvcp_timeout=0.2, retries=3)  # a connect that fails after 0.8 s
    outcomes = {}
    connecting = threading.Thread(target=lambda: outcomes.setdefault("connect", raised(camera.connect)))
    connecting.start()
    time.sleep(0.1)
    # This call waits for the device record the connect holds, without holding the interpreter.
    reading = threading.Thread(target=lambda: outcomes.setdefault("read", raised(lambda: camera.get_integer("Width"))))
    reading.start()
    ticks, until = 0, time.monotonic() + 0.4
    while time.monotonic() < until:
        ticks += 1
        time.sleep(0.01)
    assert ticks >= 10
    assert connecting.is_alive() and reading.is_alive()  # both were still waiting
    connecting.join(10)
    reading.join(10)
    assert outcomes == {"connect": (korvalite.CameraTimeoutError, f"connect timed out: no answer from {ip}:3956"),
                        "read": (korvalite.CameraException, NOT_CONNECTED)}


def test_two_threads_hammer_features_while_a_third_disconnects(simulated, cameras, free_ip):
    ip = free_ip()
    simulated(ip)
    camera = cameras(ip)
    camera.connect()
    defined = {(korvalite.CameraException, NOT_CONNECTED)}
    unexpected, counts = [], [0, 0]
    stop = threading.Event()

    def hammer(slot, calls):
        while not stop.is_set():
            for call in calls:
                outcome = raised(call)
                if outcome is not None and outcome not in defined:
                    unexpected.append(outcome)
                counts[slot] += 1

    workers = [
        threading.Thread(target=hammer, args=(0, [lambda: camera.get_integer("Width"),
                                                  lambda: camera.set_integer("OffsetX", 4),
                                                  lambda: camera.get_enum("PixelFormat")])),
        threading.Thread(target=hammer, args=(1, [lambda: camera.get_float("Gain"), camera.invalidate_caches,
                                                  lambda: camera.has_feature("Width"),
                                                  lambda: camera.get_string("DeviceUserID")])),
    ]
    for w in workers:
        w.start()
    time.sleep(0.3)
    camera.disconnect()
    time.sleep(0.2)
    stop.set()
    for w in workers:
        w.join(10)
    assert not any(w.is_alive() for w in workers)
    assert unexpected == []
    assert min(counts) > 0
    assert raised(lambda: camera.get_integer("Width")) == (korvalite.CameraException, NOT_CONNECTED)


def test_several_cameras_at_once(simulated, cameras, free_ip):
    addresses = [free_ip() for _ in range(4)]
    for n, ip in enumerate(addresses):
        simulated(ip, width=100 + n)
    results = {}

    def use(ip):
        camera = cameras(ip)
        camera.connect()
        results[ip] = [camera.get_integer("Width") for _ in range(20)]
        camera.disconnect()

    threads = [threading.Thread(target=use, args=(ip,)) for ip in addresses]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert results == {ip: [100 + n] * 20 for n, ip in enumerate(addresses)}
