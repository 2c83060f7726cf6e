"""The Python paths of the benchmark, against the simulated camera on loopback:

- control: an uncached feature read through ``Camera.get_integer`` (p50, p99 in us) and reads
  per second with 4 Python threads sharing one camera;
- connect: ``Camera.connect()`` wall time for the camera's own description and for the largest
  one in the shared folder, served plain and zipped;
- per frame: ``wait_for`` + ``to_numpy()`` against ``wait_for`` + ``data()`` at 2048x2048 (and
  640x480), on frames already queued, and each call alone on one frame.

Prints human-readable lines and one JSON line per measurement. A part whose Python API is not
there yet (``korvalite.Camera``, ``start_acquisition``, ``Frame.to_numpy`` ...) is skipped
with a message saying what is missing.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import threading
import time
from pathlib import Path

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "genicam-xml"
# A register the camera's own description marks NoCache: every read goes to the device.
UNCACHED_FEATURE = "GevSCPD"


def emit(record: dict) -> None:
    print(json.dumps(record), flush=True)


def skip(part: str, why: str) -> None:
    print(f"{part}: skipped, {why}", flush=True)
    emit({"bench": part, "skipped": why})


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(q * (len(ordered) - 1)))]


def missing_api(korvalite, *names: str) -> str | None:
    """The first of `names` (dotted, from the module) that is not there, or None."""
    for name in names:
        obj = korvalite
        for part in name.split("."):
            if not hasattr(obj, part):
                return name
            obj = getattr(obj, part)
    return None


# --- Control ----------------------------------------------------------------------------------

def control_read(korvalite, sim, quick: bool) -> None:
    part = "python_control_read"
    if (name := missing_api(korvalite, "Camera.connect", "Camera.get_integer")) is not None:
        return skip(part, f"korvalite.{name} is missing")
    reads = 1000 if quick else 5000
    with sim.SimulatedCamera("127.0.0.120", answer_broadcast=False):
        camera = korvalite.Camera("127.0.0.120", local_ip="127.0.0.121")
        camera.connect()
        try:
            for _ in range(200):
                camera.get_integer(UNCACHED_FEATURE)
            us = []
            for _ in range(reads):
                t0 = time.perf_counter()
                camera.get_integer(UNCACHED_FEATURE)
                us.append((time.perf_counter() - t0) * 1e6)
            count = [0]
            lock = threading.Lock()
            stop = threading.Event()

            def reader() -> None:
                n = 0
                while not stop.is_set():
                    camera.get_integer(UNCACHED_FEATURE)
                    n += 1
                with lock:
                    count[0] += n

            threads = [threading.Thread(target=reader) for _ in range(4)]
            t0 = time.perf_counter()
            for t in threads:
                t.start()
            time.sleep(0.5 if quick else 1.0)
            stop.set()
            for t in threads:
                t.join()
            per_s = count[0] / (time.perf_counter() - t0)
        finally:
            camera.disconnect()
    p50, p99 = percentile(us, 0.5), percentile(us, 0.99)
    print(f"Camera.get_integer({UNCACHED_FEATURE!r}), uncached: p50 {p50:.1f} us, p99 {p99:.1f} us; "
          f"{per_s:.0f} reads/s with 4 threads")
    emit({"bench": part, "feature": UNCACHED_FEATURE, "p50_us": round(p50, 2), "p99_us": round(p99, 2),
          "reads_per_s_4_threads": round(per_s)})


# --- Connect ----------------------------------------------------------------------------------

def largest_description() -> Path | None:
    files = sorted(SHARED.glob("*.xml"), key=lambda p: p.stat().st_size, reverse=True)
    return files[0] if files else None


def connect_times(korvalite, sim, quick: bool) -> None:
    part = "python_connect"
    if (name := missing_api(korvalite, "Camera.connect", "Camera.disconnect")) is not None:
        return skip(part, f"korvalite.{name} is missing")
    served = [("builtin", {})]
    if (largest := largest_description()) is not None:
        served += [(f"{largest.name} plain", {"description_file": str(largest)}),
                   (f"{largest.name} zipped", {"description_file": str(largest), "zip": "deflated"})]
    repeats = 3 if quick else 5
    for label, options in served:
        with sim.SimulatedCamera("127.0.0.122", answer_broadcast=False, **options):
            ms = []
            for _ in range(repeats):
                camera = korvalite.Camera("127.0.0.122", local_ip="127.0.0.123")
                t0 = time.perf_counter()
                camera.connect()
                ms.append((time.perf_counter() - t0) * 1e3)
                camera.disconnect()
        total = statistics.median(ms)
        print(f"Camera.connect(), {label}: {total:.1f} ms")
        emit({"bench": part, "description": label, "total_ms": round(total, 3)})


# --- Snaps -----------------------------------------------------------------------------------

def snap_times(korvalite, sim, quick: bool) -> None:
    """`snap()` as a loop calls it: the first negotiates the packet size, the others reuse it."""
    part = "python_snap"
    if (name := missing_api(korvalite, "Camera.snap")) is not None:
        return skip(part, f"korvalite.{name} is missing")
    with sim.SimulatedCamera("127.0.0.126", answer_broadcast=False, width=640, height=480):
        camera = korvalite.Camera("127.0.0.126", local_ip="127.0.0.127")
        camera.connect()
        try:
            ms = []
            for _ in range(6 if quick else 21):
                t0 = time.perf_counter()
                camera.snap(timeout=5.0)
                ms.append((time.perf_counter() - t0) * 1e3)
        finally:
            camera.disconnect()
    first, later = ms[0], ms[1:]
    record = {"bench": part, "size": "640x480", "first_ms": round(first, 3),
              "later_p50_ms": round(statistics.median(later), 3), "later_max_ms": round(max(later), 3)}
    print(f"snap() 640x480: first {first:.1f} ms, later p50 {record['later_p50_ms']:.2f} ms, "
          f"max {record['later_max_ms']:.2f} ms")
    emit(record)


# --- Per frame --------------------------------------------------------------------------------

def per_frame(korvalite, sim, quick: bool) -> None:
    part = "python_per_frame"
    if (name := missing_api(korvalite, "Camera.start_acquisition", "Frame.to_numpy", "Frame.data")) is not None:
        return skip(part, f"korvalite.{name} is missing")
    for width, height in ((2048, 2048), (640, 480)):
        with sim.SimulatedCamera("127.0.0.124", answer_broadcast=False, sensor_width=max(width, 1280),
                                 sensor_height=max(height, 960), width=width, height=height,
                                 frame_rate_enable=False, exposure_us=10.0) as device:
            camera = korvalite.Camera("127.0.0.124", local_ip="127.0.0.125")
            camera.connect()
            try:
                record = measure_per_frame(camera, device, 3 if quick else 20)
            finally:
                camera.disconnect()
        record.update({"bench": part, "size": f"{width}x{height}"})
        print(f"{width}x{height}: wait_for+to_numpy {record['to_numpy_us']:.1f} us, wait_for+data "
              f"{record['data_us']:.1f} us per frame; to_numpy alone {record['to_numpy_only_us']:.2f} us, "
              f"data alone {record['data_only_us']:.1f} us")
        emit(record)


def drain_timed(acquisition, take) -> list[float]:
    """Times `wait_for` + `take(frame)` for every frame queued now (the camera is paused)."""
    us = []
    while True:
        t0 = time.perf_counter()
        frame = acquisition.wait_for(0.05)
        if frame is None:
            return us
        if not frame.is_complete:  # the frame cut short by pausing the camera: not timed
            continue
        take(frame)
        us.append((time.perf_counter() - t0) * 1e6)
        del frame


def measure_per_frame(camera, device, rounds: int) -> dict:
    acquisition = camera.start_acquisition(n_buffers=8, packet_size=9000)
    try:
        results = {}
        for label, take in (("to_numpy", lambda f: f.to_numpy()), ("data", lambda f: f.data())):
            us = []
            for _ in range(rounds):
                # Let frames queue up, pause the camera, then take what is queued.
                device.start_acquisition()
                time.sleep(0.15)
                device.stop_acquisition()
                time.sleep(0.05)
                us += drain_timed(acquisition, take)[1:]  # the first may still have been arriving
            results[f"{label}_us"] = round(statistics.median(us), 2) if us else float("nan")
            results[f"{label}_frames"] = len(us)
        device.start_acquisition()
        frame = acquisition.wait_for(2.0)
        while frame is not None and not frame.is_complete:
            frame = acquisition.wait_for(2.0)
        device.stop_acquisition()
        for label, call in (("to_numpy_only_us", frame.to_numpy), ("data_only_us", frame.data)):
            n = 2000 if label.startswith("to_numpy") else 50
            t0 = time.perf_counter()
            for _ in range(n):
                call()
            results[label] = round((time.perf_counter() - t0) / n * 1e6, 3)
        return results
    finally:
        acquisition.stop()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    try:
        import korvalite
        from korvalite import sim
    except ImportError as error:
        skip("python_paths", f"korvalite cannot be imported ({error})")
        return 0
    for part in (control_read, connect_times, snap_times, per_frame):
        part(korvalite, sim, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
