"""A simulated GigE Vision camera, for trying korvalite without hardware and for testing.

``SimulatedCamera`` runs a complete device on any IPv4 address and port of this host: it
answers GVCP (discovery, register and memory access, control privilege with heartbeat),
serves a GenICam description from its memory, and streams GVSP images to the destination the
host writes into its stream channel registers. Any GigE Vision client can use it; give each
instance its own ``127.0.0.N`` to run many at once::

    from korvalite.sim import SimulatedCamera

    with SimulatedCamera("127.0.0.5") as cam:   # started on enter, stopped on exit
        ...                                      # connect a client to 127.0.0.5:3956

Image. The ``TestPattern`` feature (``test_pattern`` at power-up) chooses what the camera shows.

``Off`` (the default): a scene, in sensor coordinates so the window shows its part of it. The
top 30 % holds six colour bars (red, yellow, green, cyan, blue, magenta, left to right); the
middle 45 % a grey ramp, dark at the left and light at the right, with an orange disc left of
centre and a blue square right of it; the bottom 25 % is dark grey. On top, a white square
bounces about the whole sensor with the frame number (a sensor width in about 160 frames, a
height in about 120), so every window sees it pass. Brightness
is the scene's light times ``ExposureTime / 10 ms`` times ``10 ** (Gain / 20)``, saturating at
the format's largest value: at 10 ms and 0 dB the image is about mid scale, whatever the bit
depth. Mono formats carry the luma (BT.601 weights), Bayer formats the mosaic of the colour
scene in their filter order (starting at the window's top-left pixel), RGB8 and BGR8 the colours
in their byte order, YUV422_8 and YCbCr422_8 full-range BT.601 luma per pixel and the chroma of
each pixel pair (U or Cb from the even pixel's byte, V or Cr from the odd one's). The scene has
no frame-number stamp; the block id names the frame. ``expected_scene`` computes its bytes.

``GreyDiagonalRampMoving``: a deterministic pattern, so a receiver can check every byte (tests
select it). For the frame with number ``f`` (its block id) and the pixel at image position
``(x, y)`` of a window placed at ``(offset_x, offset_y)`` on the sensor::

    g = (x + offset_x) + 2 * (y + offset_y) + 3 * f

    Mono8, Bayer*8                  one byte:  g mod 256
    Mono10/12/16, Bayer*10, *12     16-bit little-endian word: g mod 2**10, 2**12, 2**16
    Mono10p/12p, Mono12Packed,      the same 10- or 12-bit values as the unpacked format of
    Bayer*10p/12p, Bayer*12Packed   that depth, packed over the whole image without row breaks
    RGB8                            three bytes R, G, B = g, g + 85, g + 170 (each mod 256)
    BGR8                            the same colour as the three bytes B, G, R
    YUV422_8 / YCbCr422_8           two bytes: chroma, luma / luma, chroma, with luma g and
                                    chroma g + 85 at even x (U, Cb), g + 170 at odd x (V, Cr)

Rows follow each other without padding (payload size = width * height * bits per pixel / 8,
rounded up).
Finally the first eight bytes of the payload (all of it, when shorter) are replaced by ``f``
as a 64-bit little-endian number. ``expected_pattern`` computes these bytes.

Device side: the bootstrap registers of the standard, stream channels at 0x0D00 + 0x40 * c
(images go out on channel 0), the camera's own registers in ``FEATURE_REGISTERS`` and the
description in memory at ``FEATURE_REGISTERS["Description"]``. ``read_register`` and friends
bypass access modes, privilege and side effects, so a test can set up any device state and
inspect what a host wrote; ``writes()`` lists the host's accepted writes in order.
"""

from __future__ import annotations

import os
from collections import namedtuple
from typing import Iterable, Mapping, Optional, Union

from .. import _korvalite_core

_sim = _korvalite_core._sim

__all__ = [
    "SimulatedCamera",
    "WriteRecord",
    "expected_pattern",
    "expected_scene",
    "payload_size",
    "PIXEL_FORMATS",
    "FEATURE_REGISTERS",
    "BOOTSTRAP_REGISTERS",
    "COUNTER_NAMES",
    "FRAME_END_EVENT_ID",
    "CHUNK_IDS",
    "TEST_PATTERNS",
    "EXACT_PATTERN",
]

#: Pixel format names the camera streams, with their GigE Vision codes.
PIXEL_FORMATS: dict = dict(_sim.PIXEL_FORMATS)
#: Addresses of the camera's own registers (and of its description file).
FEATURE_REGISTERS: dict = dict(_sim.FEATURE_REGISTERS)
#: Event id of the EVENT sent at every frame end while ``FrameEndEventEnable`` is set.
FRAME_END_EVENT_ID: int = _sim.FRAME_END_EVENT_ID
#: The chunk id of each ``ChunkSelector`` entry, as the description's chunk ports name them.
CHUNK_IDS: dict = dict(_sim.CHUNK_IDS)
#: The bootstrap registers most tests need.
BOOTSTRAP_REGISTERS: dict = {
    "Version": 0x0000,
    "CurrentIP": 0x0024,
    "ManufacturerName": 0x0048,
    "SerialNumber": 0x00D8,
    "UserDefinedName": 0x00E8,
    "FirstURL": 0x0200,
    "SecondURL": 0x0400,
    "NumberOfStreamChannels": 0x0904,
    "GVCPCapability": 0x0934,
    "HeartbeatTimeout": 0x0938,
    "TimestampTickFrequencyHigh": 0x093C,
    "TimestampTickFrequencyLow": 0x0940,
    "ControlChannelPrivilege": 0x0A00,
    "MessageChannelPort": 0x0B00,
    "MessageChannelDestination": 0x0B10,
    "StreamChannelPort0": 0x0D00,
    "StreamChannelPacketSize0": 0x0D04,
    "StreamChannelPacketDelay0": 0x0D08,
    "StreamChannelDestination0": 0x0D18,
}

#: The option table of the core: keyword, command-line flag, kind, default and help text.
_OPTIONS: dict = {o["name"]: o for o in _sim.OPTIONS}
_DEFAULTS: dict = {name: o["default"] for name, o in _OPTIONS.items()}
_ACQUISITION_MODES = {name: code for code, name in enumerate(_OPTIONS["acquisition_mode"]["choices"])}
#: ``TestPattern`` values, in register order: the scene first, then the exact test pattern.
TEST_PATTERNS: tuple = tuple(_OPTIONS["test_pattern"]["choices"])
#: The ``TestPattern`` whose frames ``expected_pattern`` computes byte for byte.
EXACT_PATTERN: str = "GreyDiagonalRampMoving"
_COMMANDS = {"READREG": 0x0080, "WRITEREG": 0x0082, "READMEM": 0x0084, "WRITEMEM": 0x0086}
_ACCESS_DENIED = 0x8006
_PACKET_RESEND_CAPABILITY = 0x4

#: A host write the camera accepted: ``command`` is 0x0082 (WRITEREG) or 0x0086 (WRITEMEM);
#: ``value`` is the register value of a WRITEREG (None for WRITEMEM); ``data`` the bytes
#: written; ``source`` the writer's ``(ip, port)``.
WriteRecord = namedtuple("WriteRecord", "sequence command address value data source")

#: Names of the device-side counters returned by ``SimulatedCamera.counters()``.
COUNTER_NAMES: tuple = tuple(_sim.COUNTER_NAMES)


def _pixel_format_code(pixel_format: Union[str, int]) -> int:
    if isinstance(pixel_format, str):
        try:
            return PIXEL_FORMATS[pixel_format]
        except KeyError:
            raise ValueError(f"unsupported pixel format {pixel_format!r}") from None
    if pixel_format not in PIXEL_FORMATS.values():
        raise ValueError(f"unsupported pixel format 0x{pixel_format:08x}")
    return pixel_format


def payload_size(width: int, height: int, pixel_format: Union[str, int]) -> int:
    """Bytes of one frame: ``width * height * bits per pixel / 8``, rounded up."""
    code = _pixel_format_code(pixel_format)
    return (width * height * ((code >> 16) & 0xFF) + 7) // 8


def expected_pattern(frame_number: int, width: int, height: int, pixel_format: Union[str, int],
                     offset_x: int = 0, offset_y: int = 0) -> bytes:
    """The payload bytes of frame ``frame_number`` (its block id), as the module docstring
    defines them: ``g = (x + offset_x) + 2 * (y + offset_y) + 3 * frame_number`` per pixel,
    encoded per pixel format, with the frame number in the first eight bytes (little-endian)."""
    return _sim.fill_pattern(frame_number, width, height, _pixel_format_code(pixel_format), offset_x, offset_y)


def expected_scene(frame_number: int, width: int, height: int, pixel_format: Union[str, int],
                   offset_x: int = 0, offset_y: int = 0, *, sensor_width: int = _DEFAULTS["sensor_width"],
                   sensor_height: int = _DEFAULTS["sensor_height"], exposure_us: float = _DEFAULTS["exposure_us"],
                   gain_db: float = _DEFAULTS["gain_db"]) -> bytes:
    """The payload bytes of frame ``frame_number`` of the scene (``TestPattern`` Off), as the
    module docstring describes it, for a camera with this sensor, exposure and gain."""
    return _sim.fill_scene(frame_number, width, height, _pixel_format_code(pixel_format), offset_x, offset_y,
                           sensor_width, sensor_height, int(exposure_us * 10 + 0.5), gain_db)


def _faults_from(base, **changes):
    """A ``_sim.Faults`` from ``base`` with the given (non-None) changes applied."""
    faults = base
    for name in ("seed", "stream_drop", "stream_duplicate", "stream_reorder", "resend_drop",
                 "resend_duplicate", "resend_reorder", "ack_drop", "pending_ack_announce_ms",
                 "pending_ack_delay_ms"):
        value = changes.pop(name, None)
        if value is not None:
            setattr(faults, name, value)
    pending = changes.pop("pending_ack", None)
    if pending is not None:
        unknown = [c for c in pending if isinstance(c, str) and c not in _COMMANDS]
        if unknown:
            raise ValueError(f"unknown command {unknown[0]!r}")
        faults.pending_ack_commands = [_COMMANDS[c] if isinstance(c, str) else int(c) for c in pending]
    refuse = changes.pop("refuse", None)
    if refuse is not None:
        if isinstance(refuse, Mapping):
            faults.refused_registers = {int(a): int(s) for a, s in refuse.items()}
        else:
            faults.refused_registers = {int(a): _ACCESS_DENIED for a in refuse}
    if changes:
        raise TypeError(f"unknown fault setting {next(iter(changes))!r}")
    return faults


class SimulatedCamera:
    """A simulated GigE Vision camera bound to ``address:port`` (port 0 picks a free one).

    Identity: ``manufacturer``, ``model``, ``device_version``, ``manufacturer_info``,
    ``serial``, ``user_name``, ``mac`` ("02:4b:56:00:00:01"), ``ip`` (default: the bound
    address), ``subnet_mask``, ``gateway``, ``version`` (GigE Vision major, minor).

    Device: ``gvcp_capability`` (default: every capability the camera has, PACKETRESEND
    included; ``packet_resend=False`` clears that bit), ``tick_frequency`` (timestamp ticks per
    second), ``heartbeat_timeout`` (seconds, the register's power-up value; writes below
    ``min_heartbeat_timeout`` are raised to it), ``stream_channels`` (1 to 4), ``path_mtu``
    (stream and test packets larger than this never arrive), ``extended_ids`` (64-bit block
    ids, 32-bit packet ids), ``first_block_id``, ``resend_history`` (frames kept for resends),
    ``answer_broadcast`` (also answer DISCOVERY sent to broadcast addresses),
    ``max_recorded_writes``, ``spare_memory`` (registers the camera does not model read and
    write as plain memory, so that another camera's description works in full).

    Description: the built-in one unless ``description`` (XML text or bytes, or a ZIP archive)
    or ``description_file`` (a path) names another; ``zip`` ("stored" or "deflated") serves it
    zipped. ``first_url`` and ``second_url`` are the URL registers: "local" names the file in
    device memory; any other text (a "file:" or "http:" URL, or "") is written as given.

    Image at power-up: ``sensor_width``, ``sensor_height``, ``width``, ``height``,
    ``offset_x``, ``offset_y``, ``pixel_format`` (name or code), ``acquisition_mode``
    ("Continuous", "SingleFrame", "MultiFrame"), ``frame_count`` (MultiFrame), ``frame_rate``
    (Hz), ``frame_rate_enable`` (False: frames as fast as possible), ``exposure_us``, ``gain_db``,
    ``test_pattern`` (``TestPattern`` at power-up: "Off", the scene, or "GreyDiagonalRampMoving",
    the exact pattern ``expected_pattern`` computes).

    Faults, seeded by ``seed`` and reproducible: ``stream_drop``, ``stream_duplicate``,
    ``stream_reorder`` and ``resend_drop``, ``resend_duplicate``, ``resend_reorder`` (fractions
    of stream packets and of resent packets); ``ack_drop`` (fraction of control acknowledges);
    ``pending_ack`` (commands, by name or code, answered first with PENDING_ACK announcing
    ``pending_ack_announce_ms``, then acknowledged ``pending_ack_delay_ms`` later); ``refuse``
    (register addresses refused with access denied, or a mapping of address to status).
    ``set_faults`` changes them while running; ``gone`` makes the device vanish.
    """

    def __init__(self, address: str = _DEFAULTS["address"], port: int = _DEFAULTS["port"], *,
                 manufacturer: str = _DEFAULTS["manufacturer"], model: str = _DEFAULTS["model"],
                 device_version: str = _DEFAULTS["device_version"],
                 manufacturer_info: str = _DEFAULTS["manufacturer_info"], serial: str = _DEFAULTS["serial"],
                 user_name: str = _DEFAULTS["user_name"], mac: str = _DEFAULTS["mac"],
                 ip: Optional[str] = _DEFAULTS["ip"], subnet_mask: str = _DEFAULTS["subnet_mask"],
                 gateway: str = _DEFAULTS["gateway"], version: tuple = _DEFAULTS["version"],
                 gvcp_capability: Optional[int] = _DEFAULTS["gvcp_capability"],
                 packet_resend: bool = _DEFAULTS["packet_resend"], tick_frequency: int = _DEFAULTS["tick_frequency"],
                 heartbeat_timeout: float = _DEFAULTS["heartbeat_timeout"],
                 min_heartbeat_timeout: float = _DEFAULTS["min_heartbeat_timeout"],
                 stream_channels: int = _DEFAULTS["stream_channels"], path_mtu: int = _DEFAULTS["path_mtu"],
                 extended_ids: bool = _DEFAULTS["extended_ids"], first_block_id: int = _DEFAULTS["first_block_id"],
                 resend_history: int = _DEFAULTS["resend_history"],
                 answer_broadcast: bool = _DEFAULTS["answer_broadcast"],
                 max_recorded_writes: int = _DEFAULTS["max_recorded_writes"],
                 spare_memory: bool = _DEFAULTS["spare_memory"],
                 description: Union[str, bytes, None] = _DEFAULTS["description"],
                 description_file: Optional[str] = _DEFAULTS["description_file"],
                 zip: Optional[str] = _DEFAULTS["zip"], first_url: str = _DEFAULTS["first_url"],
                 second_url: str = _DEFAULTS["second_url"], sensor_width: int = _DEFAULTS["sensor_width"],
                 sensor_height: int = _DEFAULTS["sensor_height"], width: int = _DEFAULTS["width"],
                 height: int = _DEFAULTS["height"], offset_x: int = _DEFAULTS["offset_x"],
                 offset_y: int = _DEFAULTS["offset_y"], pixel_format: Union[str, int] = _DEFAULTS["pixel_format"],
                 acquisition_mode: str = _DEFAULTS["acquisition_mode"], frame_count: int = _DEFAULTS["frame_count"],
                 frame_rate: float = _DEFAULTS["frame_rate"],
                 frame_rate_enable: bool = _DEFAULTS["frame_rate_enable"],
                 exposure_us: float = _DEFAULTS["exposure_us"], gain_db: float = _DEFAULTS["gain_db"],
                 test_pattern: str = _DEFAULTS["test_pattern"],
                 seed: int = _DEFAULTS["seed"], stream_drop: float = _DEFAULTS["stream_drop"],
                 stream_duplicate: float = _DEFAULTS["stream_duplicate"],
                 stream_reorder: float = _DEFAULTS["stream_reorder"], resend_drop: float = _DEFAULTS["resend_drop"],
                 resend_duplicate: float = _DEFAULTS["resend_duplicate"],
                 resend_reorder: float = _DEFAULTS["resend_reorder"], ack_drop: float = _DEFAULTS["ack_drop"],
                 pending_ack: Iterable = _DEFAULTS["pending_ack"],
                 pending_ack_announce_ms: int = _DEFAULTS["pending_ack_announce_ms"],
                 pending_ack_delay_ms: int = _DEFAULTS["pending_ack_delay_ms"],
                 refuse: Union[Mapping, Iterable, None] = _DEFAULTS["refuse"]):
        c = _sim.Config()
        c.address, c.port = address, port
        c.manufacturer, c.model, c.device_version = manufacturer, model, device_version
        c.manufacturer_info, c.serial, c.user_name = manufacturer_info, serial, user_name
        c.mac, c.ip, c.subnet_mask, c.gateway, c.version = mac, ip, subnet_mask, gateway, tuple(version)
        if gvcp_capability is not None:
            c.gvcp_capability = gvcp_capability
        if not packet_resend:
            c.gvcp_capability = c.gvcp_capability & ~_PACKET_RESEND_CAPABILITY
        c.tick_frequency = tick_frequency
        c.heartbeat_timeout_ms = int(heartbeat_timeout * 1000)
        c.min_heartbeat_timeout_ms = int(min_heartbeat_timeout * 1000)
        c.stream_channels, c.path_mtu = stream_channels, path_mtu
        c.extended_ids, c.first_block_id, c.resend_history_frames = extended_ids, first_block_id, resend_history
        c.answer_broadcast, c.max_recorded_writes = answer_broadcast, max_recorded_writes
        c.spare_memory = spare_memory
        if description is not None and description_file is not None:
            raise ValueError("give description or description_file, not both")
        if description_file is not None:
            with open(os.fspath(description_file), "rb") as f:
                description = f.read()
        if description is not None:
            c.description = description.encode("utf-8") if isinstance(description, str) else bytes(description)
        c.packing = "plain" if zip is None else zip
        c.first_url, c.second_url = first_url, second_url
        c.sensor_width, c.sensor_height, c.width, c.height = sensor_width, sensor_height, width, height
        c.offset_x, c.offset_y, c.pixel_format = offset_x, offset_y, _pixel_format_code(pixel_format)
        if acquisition_mode not in _ACQUISITION_MODES:
            raise ValueError(f"acquisition_mode must be one of {', '.join(_ACQUISITION_MODES)}")
        c.acquisition_mode, c.frame_count = _ACQUISITION_MODES[acquisition_mode], frame_count
        c.frame_rate, c.frame_rate_enable = frame_rate, frame_rate_enable
        c.exposure_us, c.gain_db = exposure_us, gain_db
        if test_pattern not in TEST_PATTERNS:
            raise ValueError(f"test_pattern must be one of {', '.join(TEST_PATTERNS)}")
        c.test_pattern = TEST_PATTERNS.index(test_pattern)
        c.faults = _faults_from(
            _sim.Faults(), seed=seed, stream_drop=stream_drop, stream_duplicate=stream_duplicate,
            stream_reorder=stream_reorder, resend_drop=resend_drop, resend_duplicate=resend_duplicate,
            resend_reorder=resend_reorder, ack_drop=ack_drop, pending_ack=pending_ack,
            pending_ack_announce_ms=pending_ack_announce_ms, pending_ack_delay_ms=pending_ack_delay_ms,
            refuse=refuse if refuse is not None else {})
        self._camera = _sim.Camera(c)

    # --- life cycle ---------------------------------------------------------------------------

    def start(self) -> "SimulatedCamera":
        """Bind the sockets and start the device's threads (ValueError if it cannot)."""
        self._camera.start()
        return self

    def stop(self) -> None:
        """Stop and join the device's threads and close its sockets. Idempotent; the register
        state survives, and ``start()`` may follow."""
        self._camera.stop()

    close = stop

    @property
    def running(self) -> bool:
        """True between ``start()`` and ``stop()``."""
        return self._camera.running

    def __enter__(self) -> "SimulatedCamera":
        """Starts the camera."""
        return self.start()

    def __exit__(self, *exc) -> None:
        """Stops the camera."""
        self.stop()

    def __repr__(self) -> str:
        """``SimulatedCamera(<address>:<port>, running|stopped)``."""
        state = "running" if self.running else "stopped"
        return f"SimulatedCamera({self.address}:{self.port}, {state})"

    # --- where it is --------------------------------------------------------------------------

    @property
    def endpoint(self) -> tuple:
        """``(ip, port)`` of the device port (a configured port 0 is known once started)."""
        return self._camera.endpoint

    @property
    def address(self) -> str:
        """The IPv4 address the device port is bound to."""
        return self._camera.endpoint[0]

    @property
    def port(self) -> int:
        """The device port (the bound one, once started with port 0)."""
        return self._camera.endpoint[1]

    # --- registers and memory (raw: no access modes, privilege or side effects) -----------------

    def read_register(self, address: int) -> int:
        """The 32-bit register at ``address``, as the device holds it."""
        return int.from_bytes(self._camera.peek(address, 4), "big")

    def write_register(self, address: int, value: int) -> None:
        """Sets the 32-bit register at ``address`` without side effects."""
        self._camera.poke(address, (value & 0xFFFFFFFF).to_bytes(4, "big"))

    def read_memory(self, address: int, size: int) -> bytes:
        """``size`` bytes of device memory from ``address``."""
        return self._camera.peek(address, size)

    def write_memory(self, address: int, data: bytes) -> None:
        """Writes ``data`` into device memory at ``address`` without side effects."""
        self._camera.poke(address, bytes(data))

    # --- what happened ------------------------------------------------------------------------

    def counters(self) -> dict:
        """Device-side counters by name (see ``COUNTER_NAMES``)."""
        return self._camera.counters()

    def reset_counters(self) -> None:
        """Sets every device-side counter back to zero."""
        self._camera.reset_counters()

    def writes(self, since: int = 0) -> list:
        """Host writes the camera accepted, oldest first, as ``WriteRecord``s with a sequence
        number of at least ``since``."""
        out = []
        for sequence, command, address, data, source in self._camera.writes(since):
            value = int.from_bytes(data, "big") if command == _COMMANDS["WRITEREG"] else None
            out.append(WriteRecord(sequence, command, address, value, data, source))
        return out

    def register_writes(self, since: int = 0) -> list:
        """``(address, value)`` of every accepted WRITEREG register, in order."""
        return [(w.address, w.value) for w in self.writes(since) if w.value is not None]

    def clear_writes(self) -> None:
        """Forgets the recorded host writes."""
        self._camera.clear_writes()

    # --- faults -------------------------------------------------------------------------------

    def set_faults(self, **changes) -> None:
        """Change fault settings (the constructor's names) while the camera runs; unnamed ones
        keep their value. A new ``seed``, or any change, restarts the fault sequences."""
        self._camera.set_faults(_faults_from(self._camera.faults(), **changes))

    @property
    def faults(self) -> dict:
        """The fault settings in force, by the constructor's names."""
        f = self._camera.faults()
        return {name: getattr(f, name) for name in (
            "seed", "stream_drop", "stream_duplicate", "stream_reorder", "resend_drop", "resend_duplicate",
            "resend_reorder", "ack_drop", "pending_ack_commands", "pending_ack_announce_ms",
            "pending_ack_delay_ms", "refused_registers")}

    @property
    def gone(self) -> bool:
        """True while the device has vanished: it answers nothing and streams nothing."""
        return self._camera.gone

    @gone.setter
    def gone(self, value: bool) -> None:
        self._camera.gone = bool(value)

    @property
    def extended_ids(self) -> bool:
        """Whether frames go out with 64-bit block ids and 32-bit packet ids."""
        return self._camera.extended_ids

    @extended_ids.setter
    def extended_ids(self, value: bool) -> None:
        self._camera.extended_ids = bool(value)

    def send_event(self, event_id: int, data: Optional[bytes] = None, *, stream_channel: int = 0xFFFF,
                   block_id: int = 0, timestamp: Optional[int] = None, ack_required: bool = True,
                   destination: Optional[tuple] = None) -> int:
        """Send an EVENT (or, with ``data``, an EVENTDATA) command to ``destination``, by default
        the message channel's destination or else the controlling application. Returns the
        command's request id."""
        return self._camera.send_event(event_id, None if data is None else bytes(data), stream_channel,
                                       block_id, timestamp, ack_required, destination)

    # --- acquisition and control --------------------------------------------------------------

    def start_acquisition(self) -> None:
        """Start the acquisition as AcquisitionStart would."""
        self._camera.start_acquisition()

    def stop_acquisition(self) -> None:
        """Stop the acquisition as AcquisitionStop would."""
        self._camera.stop_acquisition()

    def pulse_line(self, line: int = 0) -> None:
        """Pulse input line ``line`` (0 or 1): one frame-start trigger while the camera acquires
        with ``TriggerMode`` On and ``TriggerSource`` that line (either ``TriggerActivation``
        edge fires once per pulse). Raises ValueError for a line the camera does not have."""
        self._camera.pulse_line(line)

    @property
    def acquiring(self) -> bool:
        """True while an acquisition runs."""
        return self._camera.acquiring

    def stream_to(self, ip: str, port: int, packet_size: int = 1500) -> None:
        """Stream without a controlling host: program stream channel 0 for ``ip:port`` with
        ``packet_size``, turn frame pacing off and start a continuous acquisition (benchmarks)."""
        self._camera.stream_to(ip, port, packet_size)

    @property
    def privilege_holder(self) -> Optional[tuple]:
        """``(ip, port)`` of the application in control, or None."""
        return self._camera.privilege_holder

    def release_privilege(self) -> None:
        """Take control away from the controlling application, as an expired heartbeat would."""
        self._camera.release_privilege()

    # --- description --------------------------------------------------------------------------

    @property
    def description(self) -> str:
        """The description's XML text (empty when it was given as a ZIP archive)."""
        return self._camera.description_xml

    @property
    def description_file(self) -> bytes:
        """The description file as served from device memory (XML or ZIP)."""
        return self._camera.description_file

    @property
    def first_url(self) -> str:
        """The text of the first URL register."""
        return self._camera.first_url

    @property
    def second_url(self) -> str:
        """The text of the second URL register."""
        return self._camera.second_url
