"""Private network laboratories for tests that broadcast.

Discovery broadcasts, so its tests never run on the host's real interfaces. A ``NetLab`` creates
named network namespaces (``kvl-<purpose>-<pid>-<n>``), joins them with veth pairs whose
addresses lie in 10.77.0.0/16, runs processes inside them with ``ip netns exec``, and deletes
everything again in ``close()``: processes it started are ended by pid, namespaces are deleted
(which removes their veth ends).

Typical use, through the ``netlab`` fixture of conftest.py::

    host = netlab.namespace()
    cam_ns = netlab.namespace()
    netlab.link(host, "10.77.1.1/24", cam_ns, "10.77.1.2/24")
    camera = netlab.start_device(cam_ns, "10.77.1.2", serial="CAM-1")
    result = host.python("import korvalite; print(korvalite.discover(0.3))")

``start_device`` runs the device command from ``device_argv`` (by default the small GVCP
responder in gvcp_responder.py) inside a namespace and waits until it listens on UDP 3956.
Any other device program that answers discovery on 0.0.0.0:3956 can be plugged in by passing
``argv=`` or by replacing ``device_argv``.
"""

from __future__ import annotations

import ipaddress
import json
import itertools
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

GVCP_PORT = 3956
LAB_NETWORK = ipaddress.ip_network("10.77.0.0/16")
RESPONDER = Path(__file__).with_name("gvcp_responder.py")

_unavailable: list[str | None] = []


def _ip(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30, check=check)


def unavailable_reason() -> str | None:
    """Why namespaces cannot be created here, or None when they can (probed once)."""
    if not _unavailable:
        _unavailable.append(_probe())
    return _unavailable[0]


def _probe() -> str | None:
    if sys.platform != "linux":
        return "network namespaces exist only on Linux"
    if os.geteuid() != 0:
        return "creating network namespaces needs root"
    if shutil.which("ip") is None:
        return "the `ip` tool (iproute2) is not installed"
    name = f"kvl-probe-{os.getpid()}"
    created = _ip("netns", "add", name, check=False)
    if created.returncode != 0:
        return "cannot create a network namespace: " + created.stderr.strip()
    _ip("netns", "delete", name, check=False)
    return None


def device_argv(address: str, record: Path, **identity) -> list[str]:
    """The command that runs one simulated device answering discovery for `address`."""
    argv = [sys.executable, str(RESPONDER), "--address", address, "--record", str(record)]
    for key, value in identity.items():
        argv += ["--" + key.replace("_", "-"), str(value)]
    return argv


class Namespace:
    def __init__(self, lab: "NetLab", name: str):
        self.lab = lab
        self.name = name

    def argv(self, argv: list[str]) -> list[str]:
        return ["ip", "netns", "exec", self.name, *argv]

    def run(self, argv: list[str], timeout: float = 30, check: bool = True) -> subprocess.CompletedProcess:
        return subprocess.run(self.argv(argv), capture_output=True, text=True, timeout=timeout, check=check)

    def python(self, code: str, timeout: float = 60) -> subprocess.CompletedProcess:
        """Runs `code` with this interpreter inside the namespace (check=False: inspect the result)."""
        return self.run([sys.executable, "-c", code], timeout=timeout, check=False)

    def popen(self, argv: list[str], **kwargs) -> subprocess.Popen:
        process = subprocess.Popen(self.argv(argv), **kwargs)
        self.lab._processes.append(process)
        return process

    def listens_udp(self, port: int) -> bool:
        table = self.run(["cat", "/proc/net/udp"]).stdout.splitlines()[1:]
        return any(line.split()[1].endswith(f":{port:04X}") for line in table)


class Device:
    """A device process inside a namespace and the discovery commands it saw."""

    def __init__(self, process: subprocess.Popen, record: Path):
        self.process = process
        self.record = record

    def commands(self) -> list[dict]:
        """One entry per received discovery command: {"source": ip, "destination": ip}."""
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text().splitlines() if line.strip()]

    def wait_for_commands(self, count: int, timeout: float = 5.0) -> list[dict]:
        deadline = time.monotonic() + timeout
        while len(self.commands()) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.commands()


class NetLab:
    def __init__(self, purpose: str, workdir: Path):
        self.purpose = "".join(c for c in purpose.lower() if c.isalnum())[:12] or "lab"
        self.workdir = workdir
        self._namespaces: list[Namespace] = []
        self._processes: list[subprocess.Popen] = []
        self._counter = itertools.count(1)
        self._links = itertools.count(1)

    def namespace(self) -> Namespace:
        """A new namespace with `lo` up (127.0.0.1) and nothing else."""
        ns = Namespace(self, f"kvl-{self.purpose}-{os.getpid()}-{next(self._counter)}")
        _ip("netns", "add", ns.name)
        self._namespaces.append(ns)
        _ip("-n", ns.name, "link", "set", "lo", "up")
        return ns

    def link(self, a: Namespace, a_address: str, b: Namespace, b_address: str, broadcast: bool = False) -> tuple[str, str]:
        """Joins two namespaces with a veth pair and assigns the addresses (CIDR, inside 10.77.0.0/16).

        Without `broadcast` the addresses get no broadcast address, as `ip addr add` leaves them;
        with it they get the usual one (`brd +`). Returns the two interface names.
        """
        for address in (a_address, b_address):
            if ipaddress.ip_interface(address).ip not in LAB_NETWORK:
                raise ValueError(f"lab addresses must lie in {LAB_NETWORK}: {address}")
        n = next(self._links)
        a_if, b_if = f"kvl{n}a", f"kvl{n}b"
        _ip("-n", a.name, "link", "add", a_if, "type", "veth", "peer", "name", b_if, "netns", b.name)
        for ns, ifname, address in ((a, a_if, a_address), (b, b_if, b_address)):
            _ip("-n", ns.name, "addr", "add", address, *(["brd", "+"] if broadcast else []), "dev", ifname)
            _ip("-n", ns.name, "link", "set", ifname, "up")
        return a_if, b_if

    def start_device(self, ns: Namespace, address: str, argv: list[str] | None = None, **identity) -> Device:
        """Starts a device in `ns` and waits until it listens on the GVCP port."""
        record = self.workdir / f"device-{ns.name}-{len(self._processes)}.jsonl"
        process = ns.popen(argv or device_argv(address, record, **identity),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not ns.listens_udp(GVCP_PORT):
            if process.poll() is not None:
                raise RuntimeError(f"device in {ns.name} exited: {process.stderr.read().decode()}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"device in {ns.name} does not listen on UDP {GVCP_PORT}")
            time.sleep(0.02)
        return Device(process, record)

    def close(self) -> None:
        for process in self._processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self._processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)
            if process.stderr:
                process.stderr.close()
        for ns in reversed(self._namespaces):
            _ip("netns", "delete", ns.name, check=False)
        self._processes.clear()
        self._namespaces.clear()
