"""Runs every benchmark step in order and prints one table at the end.

Each step prints human-readable lines and JSON lines (one object per measurement, starting
with '{'). The JSON lines of a run are kept in bench/results/<UTC time>.jsonl.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def steps(build_dir: Path) -> list[tuple[str, list[str]]]:
    exe = lambda name, *args: (name, [str(build_dir / name), *args])  # noqa: E731
    py = lambda name, *args: (name, [sys.executable, str(HERE / f"{name}.py"), *args])  # noqa: E731
    return [
        exe("physical_limits"),
        exe("formula_eval"),
        exe("graph_build"),
        exe("stream_receive"),
        exe("sim_send_rate"),
        py("python_paths"),
    ]


def run_step(name: str, cmd: list[str], timeout: float) -> list[dict]:
    if not Path(cmd[0]).exists() and not (cmd[0] == sys.executable and Path(cmd[1]).exists()):
        print(f"== {name}: not built here, skipped")
        return []
    print(f"== {name}", flush=True)
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
    return results


def table(results: list[dict]) -> str:
    rows = []
    for r in results:
        name = r.get("bench", "?")
        figures = ", ".join(f"{k}={v}" for k, v in r.items() if k != "bench")
        rows.append(f"{name:<18} {figures}")
    return "\n".join(rows)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build/cpp")
    parser.add_argument("--only", nargs="*", help="run only these steps")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per step")
    args = parser.parse_args()
    build_dir = Path(args.build_dir).resolve()
    results: list[dict] = []
    for name, cmd in steps(build_dir):
        if args.only and name not in args.only:
            continue
        results.extend(run_step(name, cmd, args.timeout))
    out_dir = HERE / "results"
    out_dir.mkdir(exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    out = out_dir / f"{stamp}.jsonl"
    out.write_text("".join(json.dumps(r) + "\n" for r in results))
    print("\n== summary")
    print(table(results))
    print(f"\nJSON lines kept in {os.path.relpath(out)}")
    return 1 if any("error" in r for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
