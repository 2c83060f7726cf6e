"""Runs every benchmark step in order and prints one table of figures against their targets.

Each step is a program that prints human-readable lines and JSON lines (one object per
measurement, starting with '{'). Figures are read as ratios to the machine's own limits
measured first in the same run (memcpy bandwidth, loopback UDP round trip), because absolute
times on a shared machine move from run to run. The JSON lines of a run, with the derived
ratios added, are kept in bench/results/<UTC time>.jsonl.

    python3 bench/run.py --build-dir build/cpp [--quick] [--only STEP ...]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Targets of the performance work.
CPU_TO_MEMCPY_TARGET = {9000: 3.0, 1500: 8.0}
PYTHON_READ_SLACK_US = 40.0
GRAPH_BUILD_TARGET = 1.5
TO_NUMPY_TARGET_US = 5.0
# End-to-end Python streaming: process CPU s/GB by packet size and path; latency at 640x480.
PYTHON_STREAM_CPU_TARGET = {("ring", 1500): 0.30, ("ring", 9000): 0.15, ("socket", 1500): 0.6, ("socket", 9000): 0.25}
PYTHON_STREAM_P50_MS = 1.0
PYTHON_STREAM_P99_MS = 5.0
# snap() once the packet size is known (the frame's own transfer comes on top).
SNAP_AFTER_FIRST_MS = 5.0


def steps(build_dir: Path, quick: bool) -> list[tuple[str, list[str]]]:
    def exe(name: str, *args: str) -> tuple[str, list[str]]:
        return name, [str(build_dir / name), *args]

    return [
        exe("physical_limits"),
        exe("stream_receive", *(["--quick"] if quick else [])),
        # The same through the packet ring, on the large frames only (keeps the run short).
        ("stream_receive_ring", [str(build_dir / "stream_receive"), "--packet-ring", "--case", "2048x2048/1500",
                                 "--case", "2048x2048/9000", *(["--quick"] if quick else [])]),
        # Small frames at high rates with a receive buffer of 8 MiB instead of about one frame:
        # separates what the receiver keeps up with from what the automatic buffer absorbs.
        ("stream_receive_big_buffer", [str(build_dir / "stream_receive"), "--receive-buffer", str(8 << 20),
                                       "--case", "640x480/9000", *(["--quick"] if quick else [])]),
        exe("control_read"),
        exe("connect_time", "3" if quick else "5"),
        exe("graph_build", *([str(HERE.parent.parent / "shared" / "genicam-xml"), "3", "5"] if quick else [])),
        exe("formula_eval"),
        exe("pixel_unpack", *(["2048", "2048"] if quick else [])),
        ("python_paths", [sys.executable, str(HERE / "python_paths.py"), *(["--quick"] if quick else [])]),
        ("python_stream", [sys.executable, str(HERE / "python_stream.py"), *(["--quick"] if quick else [])]),
        exe("receive_memory", "2000" if quick else "10000"),
    ]


def run_step(name: str, cmd: list[str], timeout: float) -> list[dict]:
    program = Path(cmd[1] if cmd[0] == sys.executable else cmd[0])
    if not program.exists():
        print(f"== {name}: not built here ({program}), skipped", flush=True)
        return [{"bench": name, "skipped": "not built"}]
    print(f"== {name}", flush=True)
    started = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"   {name}: timed out after {timeout:.0f} s")
        return [{"bench": name, "error": "timeout"}]
    results = []
    for line in proc.stdout.splitlines():
        if line.startswith("{"):
            try:
                results.append(json.loads(line))
                continue
            except json.JSONDecodeError:
                pass
        print("   " + line)
    if proc.returncode != 0:
        print(f"   {name}: exit code {proc.returncode}\n{proc.stderr[-2000:]}")
        results.append({"bench": name, "error": f"exit {proc.returncode}"})
    print(f"   ({time.monotonic() - started:.1f} s)", flush=True)
    return results


def measured(results: list[dict], bench: str) -> list[dict]:
    """The records of `bench` that hold figures (not skips or errors)."""
    return [r for r in results if r.get("bench") == bench and "skipped" not in r and "error" not in r]


def first(results: list[dict], bench: str) -> dict | None:
    found = measured(results, bench)
    return found[0] if found else None


def derive(results: list[dict]) -> None:
    """Adds the ratios to the machine's limits to the records they belong to."""
    limits = first(results, "physical_limits")
    if not limits:
        return
    memcpy = limits["memcpy_s_per_gb"]
    rtt = limits["udp_rtt_p50_us"]
    for r in results:
        if r.get("bench") in ("stream_receive", "stream_receive_summary") and "cpu_s_per_gb" in r:
            r["cpu_to_memcpy"] = round(r["cpu_s_per_gb"] / memcpy, 3)
        if r.get("bench") in ("control_read", "python_control_read") and "p50_us" in r:
            r["p50_to_udp_rtt"] = round(r["p50_us"] / rtt, 3)
            r["p99_to_udp_rtt"] = round(r["p99_us"] / rtt, 3)
            r["p50_minus_udp_rtt_us"] = round(r["p50_us"] - rtt, 2)


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, str]] = []
        self.missed = 0

    def add(self, figure: str, value: str, target: str = "", ok: bool | None = None) -> None:
        verdict = "" if ok is None else ("ok" if ok else "MISSED")
        self.missed += ok is False
        self.rows.append((figure, value, target, verdict))

    def render(self) -> str:
        widths = [max(len(r[i]) for r in self.rows + [("figure", "value", "target", "")]) for i in range(4)]
        line = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()  # noqa: E731
        return "\n".join([line(("figure", "value", "target", "")), line(tuple("-" * w for w in widths))] +
                         [line(r) for r in self.rows])


def summary_table(results: list[dict]) -> Table:
    t = Table()
    limits = first(results, "physical_limits")
    rtt = limits["udp_rtt_p50_us"] if limits else None
    if limits:
        t.add("memcpy, one core, 256 MiB", f"{limits['memcpy_gbps']:.2f} GB/s ({limits['memcpy_s_per_gb']:.4f} s/GB)")
        t.add("loopback UDP round trip", f"p50 {limits['udp_rtt_p50_us']:.1f} us, p99 {limits['udp_rtt_p99_us']:.1f} us")

    for s in measured(results, "stream_receive_summary"):
        case, packet = s["case"], s["packet_size"]
        # Through the ring the kernel's copy is done outside the receive thread (on loopback by
        # the sending thread): its CPU figure is shown without the target.
        path = s.get("receive_path", "socket")
        ring = path == "ring"
        label = f"stream {case}" + {"socket": "", "ring": " (packet ring)"}.get(path, f" ({path})")
        if "max_lossless_fps" in s:
            t.add(f"{label}: highest lossless rate",
                  f"{s['max_lossless_fps']:.1f} fr/s, {s['max_lossless_mb_per_s']:.0f} MB/s")
            target = CPU_TO_MEMCPY_TARGET.get(packet)
            if "cpu_to_memcpy" in s and target:
                t.add(f"{label}: receive CPU per GB / memcpy",
                      f"{s['cpu_to_memcpy']:.2f}x ({s['cpu_s_per_gb']:.3f} s/GB)", "" if ring else f"<= {target:g}x",
                      None if ring else s["cpu_to_memcpy"] <= target)
            if "process_cpu_s_per_gb" in s:
                t.add(f"{label}: sending thread / whole process CPU per GB",
                      f"{s['sender_cpu_s_per_gb']:.3f} / {s['process_cpu_s_per_gb']:.3f} s/GB")
            t.add(f"{label}: worker allocations per frame", f"{s['allocations_per_frame']:.3f}", "0",
                  s["allocations_per_frame"] == 0)
        else:
            t.add(f"{label}: highest lossless rate", "none", "", False)
        if "lossless_at_1gbps" in s:
            t.add(f"{label}: lossless at 1 Gbit/s", str(s["lossless_at_1gbps"]), "True", s["lossless_at_1gbps"])
        if "receiver_max_gbps" in s:
            t.add(f"{label}: unpaced, with receiver / camera alone",
                  f"{s['receiver_max_gbps']:.2f} / {s['camera_max_gbps']:.2f} Gbit/s, lossless {s['lossless_at_max']}",
                  "lossless" if packet == 9000 else "", s["lossless_at_max"] if packet == 9000 else None)
    for r in measured(results, "stream_reassembly"):
        t.add(f"reassembly alone, {r['packet_size']}-byte packets",
              f"{r['ns_per_packet']:.0f} ns/packet, {r['cpu_s_per_gb']:.3f} s/GB")

    c = first(results, "control_read")
    if c:
        t.add("register read, PortIo (C++)",
              f"p50 {c['p50_us']:.1f} us, p99 {c['p99_us']:.1f} us ({c.get('p50_to_udp_rtt', 0):.2f}x UDP RTT)")
        t.add("register reads/s, C++, 1 / 4 threads",
              f"{c['reads_per_s_1_thread']:.0f} / {c['reads_per_s_4_threads']:.0f}")
    p = first(results, "python_control_read")
    if p and rtt is not None:
        t.add("feature read, Camera.get_integer (Python)",
              f"p50 {p['p50_us']:.1f} us, p99 {p['p99_us']:.1f} us", f"p50 <= {rtt + PYTHON_READ_SLACK_US:.1f} us",
              p["p50_us"] <= rtt + PYTHON_READ_SLACK_US)
        if "reads_per_s_4_threads" in p:
            t.add("feature reads/s, Python, 4 threads", f"{p['reads_per_s_4_threads']:.0f}")

    for r in measured(results, "connect"):
        t.add(f"connect (C++), {r['description']}",
              f"control {r['control_ms']:.1f} + download {r['download_ms']:.1f} + build {r['build_ms']:.1f}"
              f" = {r['total_ms']:.1f} ms")
    for r in measured(results, "python_connect"):
        t.add(f"Camera.connect() (Python), {r['description']}", f"{r['total_ms']:.1f} ms")

    for r in measured(results, "graph_build_summary"):
        large = r["descriptions"] == "large"
        t.add(f"graph build / pugixml parse, {r['heap']} heap, {r['descriptions']} ({r['count']})",
              f"median {r['median_ratio']:.2f}, worst {r['worst_ratio']:.2f} "
              f"(step after the parse alone: median {r['median_ratio'] - 1:.2f})",
              f"<= {GRAPH_BUILD_TARGET}" if large else "", r["worst_ratio"] <= GRAPH_BUILD_TARGET if large else None)
    evals = measured(results, "formula_eval")
    if evals:
        ns = ", ".join(f"{r['formula']} {r['ns_per_eval']:.0f}" for r in evals)
        allocations = max(r["allocations_per_eval"] for r in evals)
        t.add("formula evaluation, ns/eval", ns)
        t.add("formula evaluation, allocations/eval", f"{allocations:g}", "0", allocations == 0)

    for r in measured(results, "python_snap"):
        t.add(f"snap() {r['size']}: first / later p50 / later max",
              f"{r['first_ms']:.1f} / {r['later_p50_ms']:.2f} / {r['later_max_ms']:.2f} ms",
              f"later < {SNAP_AFTER_FIRST_MS:g} ms + transfer", r["later_p50_ms"] < SNAP_AFTER_FIRST_MS)

    for r in measured(results, "python_per_frame"):
        t.add(f"Python per frame {r['size']}: wait_for+to_numpy / wait_for+data",
              f"{r['to_numpy_us']:.1f} / {r['data_us']:.1f} us")
        if "to_numpy_only_us" in r:
            t.add(f"to_numpy() alone, {r['size']}", f"{r['to_numpy_only_us']:.2f} us", f"< {TO_NUMPY_TARGET_US:g} us",
                  r["to_numpy_only_us"] < TO_NUMPY_TARGET_US)

    for r in measured(results, "python_stream") + measured(results, "python_stream_multi"):
        label = f"Python stream {r['case']} ({r['receive_path']})"
        if r["cameras"] > 1:
            label += f", camera {r['camera'] + 1} of {r['cameras']}"
        t.add(f"{label}: completeness", f"{r['completeness']:.4f} ({r['frames_lost']} lost)", "1.0000",
              r["completeness"] >= 1.0)
        cpu_target = PYTHON_STREAM_CPU_TARGET.get((r["receive_path"], r["packet_size"]))
        if r["camera"] == 0 and cpu_target is not None:
            t.add(f"{label}: process CPU per GB", f"{r['process_cpu_s_per_gb']:.3f} s/GB", f"<= {cpu_target:g}",
                  r["process_cpu_s_per_gb"] <= cpu_target)
        latency_target = r["case"].startswith("640x480")
        t.add(f"{label}: latency p50 / p99", f"{r['latency_p50_ms']:.2f} / {r['latency_p99_ms']:.2f} ms",
              f"< {PYTHON_STREAM_P50_MS:g} / < {PYTHON_STREAM_P99_MS:g} ms" if latency_target else "",
              (r["latency_p50_ms"] < PYTHON_STREAM_P50_MS and r["latency_p99_ms"] < PYTHON_STREAM_P99_MS)
              if latency_target else None)

    for r in measured(results, "pixel_unpack"):
        t.add(f"unpack {r['format']} to uint16", f"{r['out_gbps']:.2f} GB/s written ({r['to_memcpy']:.2f}x memcpy)")

    m = first(results, "receive_memory")
    if m:
        t.add(f"resident memory after {m['frames_early']} / {m['frames_late']} frames",
              f"{m['rss_early_mb']:.1f} / {m['rss_late_mb']:.1f} MB", "no growth", m["rss_growth_mb"] <= 1.0)
        t.add("receive worker allocations per frame", f"{m['allocations_per_frame']:.4f}", "0",
              m["allocations_per_frame"] == 0)

    for r in results:
        if "error" in r:
            t.add(f"step {r['bench']}", r["error"], "runs", False)
        elif "skipped" in r:
            t.add(f"step {r['bench']}", f"skipped: {r['skipped']}")
    return t


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default="build/cpp")
    parser.add_argument("--only", nargs="*", help="run only these steps")
    parser.add_argument("--quick", action="store_true", help="short windows and fewer repeats (a smoke run)")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per step")
    parser.add_argument("--table", metavar="JSONL", help="print the table of a kept results file and stop")
    args = parser.parse_args()
    if args.table:
        kept = [json.loads(line) for line in Path(args.table).read_text().splitlines() if line.strip()]
        print(summary_table(kept).render())
        return 0
    build_dir = Path(args.build_dir).resolve()
    started = time.monotonic()
    results: list[dict] = []
    for name, cmd in steps(build_dir, args.quick):
        if args.only and name not in args.only:
            continue
        results.extend(run_step(name, cmd, args.timeout))
    derive(results)
    out_dir = HERE / "results"
    out_dir.mkdir(exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    out = out_dir / f"{stamp}.jsonl"
    out.write_text("".join(json.dumps(r) + "\n" for r in results))
    table = summary_table(results)
    print(f"\n== summary ({time.monotonic() - started:.0f} s)")
    print(table.render())
    print(f"\n{table.missed} target(s) missed. JSON lines kept in {os.path.relpath(out)}")
    return 1 if any("error" in r for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
