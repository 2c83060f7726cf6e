"""The ``korvalite`` command line: find cameras, read and write features, capture frames.

Every command accepts ``--log-level``; errors become one line on standard error and a non-zero
exit code (1: the camera or its description refused, 2: bad usage, 130: interrupted).
"""

from __future__ import annotations

import argparse
import logging
import sys
import time

import korvalite

from . import _features
from .images import ImageError, save_frame

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

LEVELS = {"trace": 5, "debug": logging.DEBUG, "info": logging.INFO, "warning": logging.WARNING,
          "error": logging.ERROR, "off": logging.CRITICAL + 10}


class UsageError(Exception):
    """A command-line argument the command cannot use."""


def _connect(args) -> korvalite.Camera:
    cam = korvalite.Camera(args.ip, gvcp_timeout=args.gvcp_timeout)
    cam.connect()
    return cam


def cmd_discover(args) -> int:
    devices = korvalite.discover(timeout=args.timeout)
    if not devices:
        print("no devices found")
        return EXIT_OK
    rows = [("IP", "MAC", "MANUFACTURER", "MODEL", "SERIAL", "USER NAME")]
    rows += [(d.ip, d.mac, d.manufacturer, d.model, d.serial, d.user_defined_name) for d in devices]
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(row, widths)).rstrip())
    return EXIT_OK


def cmd_info(args) -> int:
    cam = _connect(args)
    try:
        info = cam.device_info()
        for name in ("manufacturer", "model", "serial", "device_version", "manufacturer_info",
                     "user_defined_name", "ip", "subnet_mask", "gateway", "mac", "spec_version"):
            print(f"{name:<18} {getattr(info, name)}")
        print(f"{'link':<18} {cam.link_stats()}")
    finally:
        cam.disconnect()
    return EXIT_OK


def cmd_features(args) -> int:
    cam = _connect(args)
    try:
        if args.tree:
            for depth, name in _features.walk_tree(cam):
                print("  " * depth + _features.describe(cam, name, with_value=args.values))
        else:
            for name in _features.feature_list(cam):
                print(_features.describe(cam, name, with_value=args.values))
    finally:
        cam.disconnect()
    return EXIT_OK


def cmd_get(args) -> int:
    cam = _connect(args)
    try:
        print(_features.read_value(cam, args.name))
    finally:
        cam.disconnect()
    return EXIT_OK


def cmd_set(args) -> int:
    cam = _connect(args)
    try:
        _features.write_value(cam, args.name, args.value)
        print(f"{args.name} = {_features.read_value(cam, args.name)}")
    finally:
        cam.disconnect()
    return EXIT_OK


def cmd_execute(args) -> int:
    cam = _connect(args)
    try:
        cam.execute(args.name)
    finally:
        cam.disconnect()
    return EXIT_OK


def _apply_format(cam, args) -> None:
    if args.pixel_format is not None:
        cam.set_enum("PixelFormat", args.pixel_format)
    if args.width is not None:
        cam.set_integer("Width", args.width)
    if args.height is not None:
        cam.set_integer("Height", args.height)


def cmd_snap(args) -> int:
    cam = _connect(args)
    try:
        _apply_format(cam, args)
        frame = cam.snap(timeout=args.timeout)
        path = save_frame(frame, args.output)
        print(f"{frame!r} -> {path}")
    finally:
        cam.disconnect()
    return EXIT_OK if frame.is_complete else EXIT_FAILED


def progress_line(stats, elapsed: float) -> str:
    rate = stats.completed_frames / elapsed if elapsed > 0 else 0.0
    mbps = stats.bytes / elapsed / 1e6 if elapsed > 0 else 0.0
    return (f"{elapsed:6.1f} s  {rate:7.1f} frames/s  {mbps:8.1f} MB/s  completed {stats.completed_frames}  "
            f"failed {stats.failed_frames}  resends {stats.resent_packets}  dropped {stats.frames_dropped}")


def run_stream(cam, seconds: float, out=sys.stdout) -> object:
    """Streams for `seconds`, redrawing one progress line; returns the final counters."""
    tty = hasattr(out, "isatty") and out.isatty()
    with cam.start_acquisition() as acq:
        start = time.monotonic()
        last_draw = 0.0
        while (elapsed := time.monotonic() - start) < seconds:
            acq.wait_for(min(0.1, max(0.0, seconds - elapsed)))
            acq.clear()
            # A terminal gets one line redrawn in place; a pipe or a log a line per second.
            if elapsed - last_draw >= (0.25 if tty else 1.0):
                out.write(("\r" if tty else "") + progress_line(acq.stats(), elapsed) + ("" if tty else "\n"))
                out.flush()
                last_draw = elapsed
        stats = acq.stats()
        out.write(("\r" if tty else "") + progress_line(stats, time.monotonic() - start) + "\n")
    return stats


def cmd_stream(args) -> int:
    cam = _connect(args)
    try:
        stats = run_stream(cam, args.seconds)
        print(stats)
    finally:
        cam.disconnect()
    return EXIT_OK


def cmd_sim(args) -> int:
    from .sim.__main__ import main as sim_main  # noqa: PLC0415

    return sim_main(args.sim_args)


def cmd_demo(args) -> int:
    from .demo import run_demo  # noqa: PLC0415

    return run_demo(ip=args.ip, out_dir=args.out)


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--log-level", choices=sorted(LEVELS), default="warning",
                        help="show korvalite's log events from this level on (default: warning)")
    camera = argparse.ArgumentParser(add_help=False)
    camera.add_argument("ip", help="the camera's IP address")
    camera.add_argument("--gvcp-timeout", type=float, default=0.5, help="seconds per control acknowledge (0.5)")

    parser = argparse.ArgumentParser(prog="korvalite", description="GigE Vision cameras from the command line.",
                                     parents=[common])
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("discover", parents=[common], help="list the cameras that answer a broadcast")
    p.add_argument("--timeout", type=float, default=1.0, help="seconds to collect answers (1.0)")
    p.set_defaults(run=cmd_discover)

    p = sub.add_parser("info", parents=[common, camera], help="identity and link counters of a camera")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("features", parents=[common, camera], help="list the camera's features")
    p.add_argument("--tree", action="store_true", help="show the category tree")
    p.add_argument("--values", action="store_true", help="show current values")
    p.set_defaults(run=cmd_features)

    p = sub.add_parser("get", parents=[common, camera], help="read one feature")
    p.add_argument("name")
    p.set_defaults(run=cmd_get)

    p = sub.add_parser("set", parents=[common, camera], help="write one feature (value parsed by its kind)")
    p.add_argument("name")
    p.add_argument("value")
    p.set_defaults(run=cmd_set)

    p = sub.add_parser("execute", parents=[common, camera], help="execute a command feature")
    p.add_argument("name")
    p.set_defaults(run=cmd_execute)

    p = sub.add_parser("snap", parents=[common, camera], help="capture one frame to a file")
    p.add_argument("-o", "--output", required=True, help="file to write: .png, .pgm, .ppm or .npy")
    p.add_argument("--width", type=int)
    p.add_argument("--height", type=int)
    p.add_argument("--pixel-format")
    p.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for the frame (5.0)")
    p.set_defaults(run=cmd_snap)

    p = sub.add_parser("stream", parents=[common, camera], help="stream with a live progress line")
    p.add_argument("--seconds", type=float, default=5.0, help="how long to stream (5.0)")
    p.set_defaults(run=cmd_stream)

    p = sub.add_parser("sim", help="run a simulated camera (see: korvalite sim --help)", add_help=False)
    p.add_argument("sim_args", nargs=argparse.REMAINDER)
    p.set_defaults(run=cmd_sim)

    p = sub.add_parser("demo", parents=[common], help="the guided tour, against a simulated or a real camera")
    p.add_argument("--ip", help="a real camera's address (default: start a simulated camera)")
    p.add_argument("--out", default=".", help="folder for the captured PNG (default: here)")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
    logging.getLogger("korvalite").setLevel(LEVELS[getattr(args, "log_level", "warning")])
    try:
        return args.run(args)
    except (korvalite.CameraError, korvalite.GenicamError) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_FAILED
    except (ValueError, ImageError, UsageError) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
