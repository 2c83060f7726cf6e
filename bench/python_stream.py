"""End-to-end streaming from Python, as a user runs it: connect, set Width, Height, PixelFormat
and AcquisitionFrameRate, ``start_acquisition``, iterate frames, stop. The simulated cameras run
in a child process pinned to one CPU (the same budget for every receive path), so the figures
below are this process's alone:

- completeness: complete frames / frames the camera sent; frames lost: the difference;
- process CPU seconds per GB of complete payload;
- latency p50/p99: from the frame's camera timestamp to its arrival in Python, both on
  CLOCK_MONOTONIC (the camera's tick counter is latched once against time.monotonic_ns);
- each setting through the socket and through the packet ring, and four cameras at about
  1 Gbit/s each into one process.

Prints human-readable lines and one JSON line per measurement.

    python3 bench/python_stream.py [--seconds S] [--quick] [--case NAME ...] [--path socket|ring]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import random
import socket
import sys
import threading
import time
from dataclasses import dataclass

GVCP_PORT = 3956


@dataclass(frozen=True)
class Setting:
    name: str
    width: int
    height: int
    packet_size: int
    frame_rate: float


SETTINGS = [
    Setting("640x480/1500", 640, 480, 1500, 300.0),
    Setting("1280x1024/1G", 1280, 1024, 1500, 95.0),  # 1.25 MB a frame: about 1 Gbit/s
    Setting("2048x2048/9000", 2048, 2048, 9000, 250.0),
    Setting("4096x3000/9000", 4096, 3000, 9000, 60.0),
]
MULTI = Setting("1280x1024/1G", 1280, 1024, 9000, 95.0)
MULTI_CAMERAS = 4


def emit(record: dict) -> None:
    print(json.dumps(record), flush=True)


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(q * (len(ordered) - 1)))] if ordered else float("nan")


def free_addresses(count: int) -> list[str]:
    """Loopback addresses in a random block 127.a.b.x whose GVCP port is free."""
    rng = random.SystemRandom()
    a, b = rng.randrange(1, 255), rng.randrange(256)
    found = []
    for host in range(1, 255):
        address = f"127.{a}.{b}.{host}"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind((address, GVCP_PORT))
            except OSError:
                continue
        found.append(address)
        if len(found) == count:
            return found
    raise RuntimeError("no free loopback addresses")


# --- The cameras' process ---------------------------------------------------------------------

def serve_cameras(addresses: list[str], setting: Setting, cpu: int | None, pipe) -> None:
    """Runs one simulated camera per address until told to stop; answers "counters" with the
    frames each has sent."""
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})
    from korvalite.sim import SimulatedCamera

    cameras = [SimulatedCamera(address, answer_broadcast=False, sensor_width=max(setting.width, 1280),
                               sensor_height=max(setting.height, 960), width=setting.width,
                               height=setting.height, frame_rate=setting.frame_rate, exposure_us=10.0,
                               path_mtu=9000, max_recorded_writes=1000)
               for address in addresses]
    try:
        for camera in cameras:
            camera.start()
        pipe.send("ready")
        while (command := pipe.recv()) != "stop":
            if command == "counters":
                pipe.send([camera.counters()["frames_sent"] for camera in cameras])
    finally:
        for camera in cameras:
            camera.stop()


class CameraProcess:
    def __init__(self, addresses: list[str], setting: Setting) -> None:
        context = multiprocessing.get_context("spawn")
        self.pipe, child = context.Pipe()
        cpus = sorted(os.sched_getaffinity(0))
        cpu = cpus[-1] if len(cpus) > 1 else None
        self.process = context.Process(target=serve_cameras, args=(addresses, setting, cpu, child), daemon=True)
        self.process.start()
        if not self.pipe.poll(30.0) or self.pipe.recv() != "ready":
            raise RuntimeError("simulated cameras did not start")

    def frames_sent(self) -> list[int]:
        self.pipe.send("counters")
        return self.pipe.recv()

    def close(self) -> None:
        self.pipe.send("stop")
        self.process.join(10.0)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


# --- The receiving side -----------------------------------------------------------------------

def configure(camera, setting: Setting) -> None:
    camera.set_integer("Width", setting.width)
    camera.set_integer("Height", setting.height)
    camera.set_enum("PixelFormat", "Mono8")
    if camera.has_feature("AcquisitionFrameRateEnable"):
        camera.set_boolean("AcquisitionFrameRateEnable", True)
    camera.set_float("AcquisitionFrameRate", setting.frame_rate)


def camera_clock_offset_ns(camera) -> int:
    """CLOCK_MONOTONIC minus the camera's timestamp in ns, latched once."""
    frequency = camera.get_integer("GevTimestampTickFrequency")
    before = time.monotonic_ns()
    camera.execute("GevTimestampControlLatch")
    ticks = camera.get_integer("GevTimestampValue")
    after = time.monotonic_ns()
    return (before + after) // 2 - ticks * 1_000_000_000 // frequency


class Receiver:
    """One camera's acquisition and its tallies."""

    def __init__(self, camera, setting: Setting, ring: bool) -> None:
        self.camera = camera
        self.offset = camera_clock_offset_ns(camera)
        self.acquisition = camera.start_acquisition(packet_size=setting.packet_size, n_buffers=16, packet_ring=ring)
        self.complete = 0
        self.incomplete = 0
        self.bytes = 0
        self.latency_us: list[float] = []

    def take(self, frame) -> None:
        arrived = time.monotonic_ns()
        if frame.is_complete:
            self.complete += 1
            self.bytes += frame.received_size
            self.latency_us.append((arrived - frame.timestamp_ns - self.offset) / 1e3)
        else:
            self.incomplete += 1

    def run_until(self, deadline: float) -> None:
        """Takes frames as they come (one thread per camera, as an application would)."""
        while time.monotonic() < deadline:
            frame = self.acquisition.wait_for(0.1)
            if frame is not None:
                self.take(frame)
            del frame

    def drain(self, wait: float, limit: float = 2.0) -> None:
        """Takes what is still on its way, for at most `limit` seconds."""
        until = time.monotonic() + limit
        while time.monotonic() < until and (frame := self.acquisition.wait_for(wait)) is not None:
            self.take(frame)


def receive(camera_ips: list[str], setting: Setting, ring: bool, seconds: float, cameras: CameraProcess) -> list[dict]:
    import korvalite

    connected = []
    for ip in camera_ips:
        camera = korvalite.Camera(ip)
        camera.connect()
        configure(camera, setting)
        connected.append(camera)
    try:
        sent_before = cameras.frames_sent()
        cpu_before = time.process_time()
        receivers = [Receiver(camera, setting, ring) for camera in connected]
        deadline = time.monotonic() + seconds
        threads = [threading.Thread(target=r.run_until, args=(deadline,)) for r in receivers]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        # The cameras stop first, so that every frame they sent can still arrive.
        for r in receivers:
            r.camera.execute("AcquisitionStop")
        for r in receivers:
            r.drain(0.3)
        cpu = time.process_time() - cpu_before
        sent = [after - before for after, before in zip(cameras.frames_sent(), sent_before)]
        stats = []
        for r in receivers:
            stats.append(r.acquisition.stats())
            r.acquisition.stop()
    finally:
        for camera in connected:
            camera.disconnect()
    total_bytes = sum(r.bytes for r in receivers)
    records = []
    for i, (r, frames_sent, s) in enumerate(zip(receivers, sent, stats)):
        records.append({
            "camera": i, "frames_sent": frames_sent, "frames_complete": r.complete,
            "frames_lost": frames_sent - r.complete, "frames_incomplete": r.incomplete,
            "completeness": round(r.complete / frames_sent, 4) if frames_sent else 0.0,
            "latency_p50_ms": round(percentile(r.latency_us, 0.5) / 1e3, 3),
            "latency_p99_ms": round(percentile(r.latency_us, 0.99) / 1e3, 3),
            "resend_requests": s.resend_requests, "underruns": s.underruns,
        })
    process = {"process_cpu_s": round(cpu, 3),
               "process_cpu_s_per_gb": round(cpu / (total_bytes / 1e9), 3) if total_bytes else float("nan"),
               "gbytes": round(total_bytes / 1e9, 3)}
    return [dict(record, **process) for record in records]


def run_case(setting: Setting, ring: bool, seconds: float, count: int = 1) -> list[dict]:
    ips = free_addresses(count)
    cameras = CameraProcess(ips, setting)
    try:
        return receive(ips, setting, ring, seconds, cameras)
    finally:
        cameras.close()


def show(bench: str, setting: Setting, path: str, records: list[dict]) -> None:
    for r in records:
        who = f" camera {r['camera']}" if len(records) > 1 else ""
        print(f"{setting.name} at {setting.frame_rate:g} fr/s, {path}{who}: completeness {r['completeness']:.4f} "
              f"({r['frames_complete']}/{r['frames_sent']}, {r['frames_lost']} lost), "
              f"process CPU {r['process_cpu_s_per_gb']:.3f} s/GB, latency p50 {r['latency_p50_ms']:.2f} ms "
              f"p99 {r['latency_p99_ms']:.2f} ms", flush=True)
        emit({"bench": bench, "case": setting.name, "width": setting.width, "height": setting.height,
              "packet_size": setting.packet_size, "frame_rate": setting.frame_rate, "receive_path": path,
              "cameras": len(records), **r})


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0, help="streaming time per case")
    parser.add_argument("--quick", action="store_true", help="1.5 s per case")
    parser.add_argument("--case", action="append", help="run only these settings (by name, or 'multi')")
    parser.add_argument("--path", choices=("socket", "ring"), action="append", help="run only these receive paths")
    args = parser.parse_args()
    seconds = 1.5 if args.quick else args.seconds
    try:
        import korvalite  # noqa: F401
    except ImportError as error:
        print(f"python_stream: skipped, {error}")
        emit({"bench": "python_stream", "skipped": str(error)})
        return 0
    wanted = set(args.case or [])
    paths = [(path, ring) for path, ring in (("socket", False), ("ring", True)) if not args.path or path in args.path]
    for setting in SETTINGS:
        if wanted and setting.name not in wanted:
            continue
        for path, ring in paths:
            show("python_stream", setting, path, run_case(setting, ring, seconds))
    if not wanted or "multi" in wanted:
        for path, ring in paths:
            show("python_stream_multi", MULTI, path, run_case(MULTI, ring, seconds, MULTI_CAMERAS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
