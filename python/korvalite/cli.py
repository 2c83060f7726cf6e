"""The ``korvalite`` command line: find cameras, read and write features, capture frames.

Every command accepts ``--help`` and ``--log-level``. Errors become one line on standard error
and an exit code scripts can rely on (see ``EXIT_CODES``).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, Optional, Sequence

import korvalite

from . import _cli_features, _logging, features
from ._progress import counters, progress_line, run_stream, status, stream_counters, stream_for  # noqa: F401  (part of the CLI's API)
from .images import SUFFIXES, ImageError, save_frame

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 1, 2, 130, 141

EXIT_CODES = f"""exit codes:
  {EXIT_OK}    success
  {EXIT_FAILED}    the camera, its description or the system refused (one line on stderr says why);
       for snap also: the frame arrived incomplete
  {EXIT_USAGE}    bad arguments or input (unknown option, invalid IP address, unparsable value)
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
  {EXIT_BROKEN_PIPE}  the reader of the output went away (e.g. `| head`)"""

log = logging.getLogger("korvalite.cli")


class UsageError(Exception):
    """A command-line argument the command cannot use."""


@contextlib.contextmanager
def _connected(args: argparse.Namespace) -> Iterator[korvalite.Camera]:
    """The camera a command works on, connected, and disconnected however the command ends."""
    cam = korvalite.Camera(args.ip, gvcp_timeout=args.gvcp_timeout)
    with status(f"connecting to {args.ip} ..."):
        cam.connect()
    try:
        yield cam
    finally:
        cam.disconnect()


def cmd_discover(args: argparse.Namespace) -> int:
    """Prints a table of the devices that answer a discovery broadcast."""
    devices = korvalite.discover(timeout=args.timeout)
    if not devices:
        print("no devices found")
        return EXIT_OK
    rows = [("IP", "MAC", "MANUFACTURER", "MODEL", "SERIAL", "USER NAME")]
    rows += [(d.ip, d.mac, d.manufacturer, d.model, d.serial, d.user_defined_name) for d in devices]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip())
    return EXIT_OK


IDENTITY_FIELDS = ("manufacturer", "model", "serial", "device_version", "manufacturer_info", "user_defined_name",
                   "ip", "subnet_mask", "gateway", "mac", "spec_version")
LINK_FIELDS = ("commands", "acks", "retries", "timeouts", "naks", "pending_acks", "heartbeats", "events",
               "unsolicited")


def cmd_info(args: argparse.Namespace) -> int:
    """Prints the camera's identity and its control-link counters."""
    with _connected(args) as cam:
        info = cam.device_info()
        if args.json:
            fields = {name: getattr(info, name) for name in IDENTITY_FIELDS}
            stats = cam.link_stats()
            if stats is not None:
                fields["link_counters"] = {name: getattr(stats, name) for name in LINK_FIELDS}
            print(json.dumps(fields, indent=2))
            return EXIT_OK
        for name in IDENTITY_FIELDS:
            value = getattr(info, name)
            if name == "spec_version":
                value = "{}.{}".format(*value)
            print(f"{name:<18} {value}")
        stats = cam.link_stats()
        if stats is not None:
            print("link counters      " + ", ".join(f"{name} {getattr(stats, name)}" for name in LINK_FIELDS))
    return EXIT_OK


def cmd_features(args: argparse.Namespace) -> int:
    """Prints the features, flat or as the category tree, optionally with values."""
    with _connected(args) as cam:
        _cli_features.print_features(cam, args)
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    """Prints one feature's value."""
    with _connected(args) as cam:
        value = features.read_value(cam, args.name)
        print(json.dumps({"name": args.name, "value": value}) if args.json else value)
    return EXIT_OK


def cmd_set(args: argparse.Namespace) -> int:
    """Writes one feature from text parsed by its kind and prints the value read back."""
    with _connected(args) as cam:
        features.write_value(cam, args.name, args.value)
        print(f"{args.name} = {features.read_value(cam, args.name)}")
    return EXIT_OK


def cmd_execute(args: argparse.Namespace) -> int:
    """Executes a command feature."""
    with _connected(args) as cam:
        cam.execute(args.name)
        print(f"executed {args.name}")
    return EXIT_OK


@contextlib.contextmanager
def _format_for_snap(cam: korvalite.Camera, args: argparse.Namespace) -> Iterator[None]:
    """Sets the format the options ask for, and puts back what was changed afterwards unless
    ``--keep`` asks to keep it (Width and Height are restored after PixelFormat, in reverse)."""
    changes = [(name, value) for name, value in (("PixelFormat", args.pixel_format), ("Width", args.width),
                                                 ("Height", args.height)) if value is not None]
    before = []
    try:
        for name, value in changes:
            before.append((name, cam.get(name)))
            cam.set(name, value)
        yield
    finally:
        if not args.keep:
            for name, value in reversed(before):
                with contextlib.suppress(korvalite.CameraError, korvalite.GenicamError):
                    cam.set(name, value)


def cmd_snap(args: argparse.Namespace) -> int:
    """Captures one frame and writes it as an image file."""
    if Path(args.output).suffix.lower() not in SUFFIXES:
        raise UsageError(f"unknown image suffix in {args.output!r}: use {', '.join(SUFFIXES)}")
    with _connected(args) as cam, _format_for_snap(cam, args):
        frame = cam.snap(timeout=args.timeout)
    path = save_frame(frame, args.output, bits=args.bits, raw=args.raw)
    print(f"{frame!r} -> {path}")
    if not frame.is_complete:
        print(f"error: the frame arrived incomplete ({frame.status!r})", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def cmd_stream(args: argparse.Namespace) -> int:
    """Streams with a live progress line and prints the final counters."""
    if not args.seconds > 0:
        raise UsageError(f"--seconds must be positive, not {args.seconds}")
    with _connected(args) as cam:
        stats, interrupted = stream_for(cam, args.seconds)
        if args.json:
            print(json.dumps(dict(counters(stats))))
        else:
            print(stream_counters(stats, every=args.verbose))
        if interrupted:
            return EXIT_INTERRUPTED
        if stats.completed_frames == 0:
            print(f"error: no frame arrived in {args.seconds:g} s{_trigger_hint(cam)}", file=sys.stderr)
            return EXIT_FAILED
    return EXIT_OK


def _trigger_hint(cam: korvalite.Camera) -> str:
    """What a camera with its trigger on waits for, as ': ...'; empty when its trigger is off."""
    try:
        if not cam.has_feature("TriggerMode") or cam.get("TriggerMode") != "On":
            return ""
        source = cam.get("TriggerSource") if cam.has_feature("TriggerSource") else ""
    except (korvalite.CameraError, korvalite.GenicamError):
        return ""
    if source == "Software":
        return ": the camera waits for a software trigger (TriggerMode is On, TriggerSource is Software)"
    if source:
        return f": the camera waits for a trigger from {source} (TriggerMode is On, TriggerSource is {source})"
    return ": the camera waits for a trigger (TriggerMode is On)"


def cmd_demo(args: argparse.Namespace) -> int:
    """Runs the guided tour."""
    from .demo import run_demo  # noqa: PLC0415

    return run_demo(ip=args.ip, out_dir=args.out)


def cmd_view(args: argparse.Namespace) -> int:
    """Serves the live view in the browser until Ctrl-C."""
    from .viewer import run_view  # noqa: PLC0415

    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port must be 0 to 65535, not {args.port}")
    return run_view(args.ip, host=args.host, port=args.port, open_browser=args.open, record_dir=args.record_dir,
                    gvcp_timeout=args.gvcp_timeout)


def _sim_main(argv: list[str]) -> int:
    from .sim._cli import main as sim_main  # noqa: PLC0415

    return sim_main(argv, prog="korvalite sim")


def _add_log_level(parser: argparse.ArgumentParser, default: str) -> None:
    parser.add_argument("--log-level", choices=sorted(_logging.LEVEL_NAMES), default=default,
                        help="show korvalite's log events from this level on (default: warning)")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of every command except ``sim``, which has its own."""
    # Subcommands take --log-level too; SUPPRESS keeps an absent one from hiding the top-level value.
    common = argparse.ArgumentParser(add_help=False)
    _add_log_level(common, argparse.SUPPRESS)
    camera = argparse.ArgumentParser(add_help=False)
    camera.add_argument("ip", help="the camera's IP address")
    camera.add_argument("--gvcp-timeout", type=float, default=0.5,
                        help="seconds to wait for each control acknowledge (default %(default)s)")

    parser = argparse.ArgumentParser(prog="korvalite", description="GigE Vision cameras from the command line.",
                                     epilog=EXIT_CODES, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_log_level(parser, "warning")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], help: str, *parents: argparse.ArgumentParser,
                description: Optional[str] = None) -> argparse.ArgumentParser:
        p = sub.add_parser(name, parents=[common, *parents], help=help, description=description or help,
                           epilog=EXIT_CODES, formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(run=run)
        return p

    p = command("discover", cmd_discover, "list the cameras that answer a discovery broadcast")
    p.add_argument("--timeout", type=float, default=1.0, help="seconds to collect answers (default %(default)s)")

    info = command("info", cmd_info, "identity and control-link counters of a camera", camera)

    p = command("features", cmd_features, "list the camera's features with their kinds and access modes", camera)
    p.add_argument("--tree", action="store_true", help="show the category tree (Root and its categories)")
    p.add_argument("--values", action="store_true", help="show current values")

    features = p
    p = command("get", cmd_get, "read one feature", camera)
    p.add_argument("name", help="feature name, e.g. Width")
    _cli_features.add_feature_options(features, p, info)

    p = command("set", cmd_set, "write one feature; the value is parsed by the feature's kind", camera,
                description="Write one feature. Integers accept 0x... hex, booleans true/false, 1/0, on/off, "
                            "yes/no; enumerations take an entry name.")
    p.add_argument("name", help="feature name, e.g. Width")
    p.add_argument("value", help="the new value")

    p = command("execute", cmd_execute, "execute a command feature", camera)
    p.add_argument("name", help="command name, e.g. AcquisitionStart")
    _cli_features.add_settings_commands(command, camera)

    p = command("snap", cmd_snap, "capture one frame to an image file", camera,
                description="Capture one frame and write it by the file's suffix: .png (Pillow when installed), "
                            ".jpg/.jpeg (Pillow, 8 bits), "
                            ".tif/.tiff (tifffile), .pgm/.ppm (binary netpbm) or .npy (numpy array file). "
                            "10- to 16-bit samples fill the file's range; Bayer frames are saved demosaiced.")
    p.add_argument("-o", "--output", required=True, help="file to write: " + ", ".join(SUFFIXES))
    p.add_argument("--width", type=int, help="set Width for the snap")
    p.add_argument("--height", type=int, help="set Height for the snap")
    p.add_argument("--pixel-format", help="set PixelFormat for the snap, e.g. Mono8 or RGB8")
    p.add_argument("--bits", type=int, choices=(8, 16),
                   help="depth of a PNG, TIFF or netpbm file (default: 8 for 8-bit formats, else 16)")
    p.add_argument("--raw", action="store_true", help="keep a Bayer mosaic as grey instead of demosaicing it")
    p.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for the frame (default %(default)s)")
    p.add_argument("--keep", action="store_true",
                   help="keep --width, --height and --pixel-format on the camera (default: put them back)")

    p = command("stream", cmd_stream, "stream with a live progress line, then print the stream counters", camera)
    p.add_argument("--seconds", type=float, default=5.0, help="how long to stream (default %(default)s)")
    p.add_argument("--verbose", action="store_true", help="print every counter, also those that are zero")
    p.add_argument("--json", action="store_true", help="print every counter as one JSON object")

    # `sim` hands everything after it to the simulated camera's own command line (see main()).
    sub.add_parser("sim", help="run a simulated camera (korvalite sim --help)", add_help=False)

    p = command("demo", cmd_demo, "the guided tour, against a simulated or a real camera")
    p.add_argument("--ip", help="a real camera's address (default: start a simulated camera)")
    p.add_argument("--out", default=".", help="folder for the captured PNG (default: here)")

    p = command("view", cmd_view, "a live view of the camera in the browser",
                description="Serve a page with the live image, counters, histogram, features, settings files "
                            "and device events, and print its URL. Without IP a simulated camera is started.")
    p.add_argument("ip", nargs="?", help="the camera's IP address (default: start a simulated camera)")
    p.add_argument("--gvcp-timeout", type=float, default=0.5,
                   help="seconds to wait for each control acknowledge (default %(default)s)")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default %(default)s; any other prints a warning: there is no login)")
    p.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    p.add_argument("--open", action="store_true", help="open the page in the web browser")
    p.add_argument("--record-dir", default=".", help="folder for recordings (default: here)")
    return parser


def _split_sim(argv: Sequence[str]) -> Optional[tuple[list[str], list[str]]]:
    """(top-level options, sim arguments) when the command is `sim`, else None."""
    i = 0
    while i < len(argv):
        token = argv[i]
        if token == "sim":
            return list(argv[:i]), list(argv[i + 1:])
        if token == "--log-level":
            i += 2
        elif token.startswith("--log-level="):
            i += 1
        else:
            return None
    return None


def _run(args: argparse.Namespace) -> int:
    try:
        return int(args.run(args))
    except (korvalite.CameraError, korvalite.GenicamError, ImageError) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_FAILED
    except (ValueError, UsageError) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            raise
        where = f": {error.filename}" if error.filename else ""
        print(f"error: {error.strerror or error}{where}", file=sys.stderr)
        return EXIT_FAILED


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns its exit code (see ``EXIT_CODES``)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        sim = _split_sim(argv)
        if sim is not None:
            top, sim_args = sim
            top_level = argparse.ArgumentParser(prog="korvalite")
            _add_log_level(top_level, "warning")
            _logging.configure(top_level.parse_args(top).log_level)
            code = _sim_main(sim_args)
        else:
            args = build_parser().parse_args(argv)
            _logging.configure(args.log_level)
            code = _run(args)
        sys.stdout.flush()  # a closed pipe shows here, not in the interpreter's last flush
        return code
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Nothing more can be written; point stdout at /dev/null so the interpreter's final
        # flush does not fail a second time.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except Exception as error:  # a bug of ours: still one line, the traceback only on request
        log.debug("unexpected error", exc_info=True)
        print(f"error: unexpected {type(error).__name__}: {error} (--log-level debug shows where)", file=sys.stderr)
        return EXIT_FAILED
