"""Helpers for the capture tests: a connected Camera on a simulated camera, the host's writes
as feature names, log records of one logger, and the stream worker threads alive."""

import gc
import logging
import os
import re
import time

import korvalite
from korvalite import _korvalite_core, _logging
from korvalite.sim import EXACT_PATTERN, FEATURE_REGISTERS, SimulatedCamera

DENIED = "device answered command 0x0082 with access denied (0x8006)"
BUSY = "camera is busy ({} in progress); stop it first"
SNAP_TIMEOUT = "no frame arrived within the snap timeout"
# The simulated camera's pixel formats, as a refused PixelFormat entry lists them.
PIXEL_FORMATS_LISTED = (
    "available entries: Mono8, Mono10, Mono12, Mono16, BayerRG8, BayerGB8, RGB8, BGR8, Mono10p, Mono12p, "
    "Mono12Packed, BayerGR8, BayerBG8, BayerRG10, BayerGB10, BayerGR10, BayerBG10, BayerRG10p, BayerGB10p, "
    "BayerGR10p and 13 more")

# Small frames of the exact test pattern at a steady pace unless a test asks for more.
DEFAULTS = dict(width=64, height=32, exposure_us=1000.0, frame_rate=100.0, test_pattern=EXACT_PATTERN)

_FEATURES = {address: name for name, address in FEATURE_REGISTERS.items()}
_STREAM_PORT = 0x0D00  # stream channel 0's port register: non-zero opens, 0 stops the stream


def feature_writes(sim, since=0):
    """The host's accepted register writes to the camera's features, as (name, value), with
    stream channel 0's port register as ("SCP", "open") or ("SCP", 0)."""
    out = []
    for address, value in sim.register_writes(since):
        if address in _FEATURES:
            out.append((_FEATURES[address], value))
        elif address == _STREAM_PORT:
            out.append(("SCP", value if value == 0 else "open"))
    return out


def next_sequence(sim):
    """The sequence number the camera's next recorded write will carry."""
    writes = sim.writes()
    return writes[-1].sequence + 1 if writes else 0


def description_without(pattern):
    """The simulated camera's built-in description with every match of `pattern` removed."""
    text, count = re.subn(pattern, "", _korvalite_core._sim.builtin_description(), flags=re.S)
    assert count > 0, pattern
    return text


def gvsp_threads():
    """Names of this process's stream worker threads."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                name = f.read().strip()
        except FileNotFoundError:
            continue
        if name.startswith("korvalite-gvsp"):
            names.append(name)
    return names


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Rig:
    """Simulated cameras with a connected Camera each, stopped at the end of the test."""

    def __init__(self):
        self._made = []

    def __call__(self, ip, **options):
        sim = SimulatedCamera(ip, **{**DEFAULTS, **options}).start()
        cam = korvalite.Camera(ip)
        self._made.append((sim, cam))
        cam.connect()
        return sim, cam

    def close(self):
        gc.collect()  # acquisitions a failed test left behind give their claims back
        for sim, cam in self._made:
            try:
                cam.disconnect()
            finally:
                sim.stop()


def records(caplog, logger):
    """(level name, message) of every record of `logger` delivered so far."""
    _logging.flush()
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == logger]


def capture_logs(caplog):
    """Records DEBUG and above from the capture targets (not the per-packet TRACE of others)."""
    for name in ("korvalite.py", "korvalite.genicam.snapshot"):
        caplog.set_level(logging.DEBUG, logger=name)
    _logging.flush()
    return caplog
