"""The simulated camera's command line, shared by ``python -m korvalite.sim`` and
``korvalite sim``: ``--address 127.0.0.5 [--port 3956] [options]``.

Runs one simulated camera until interrupted (Ctrl-C or SIGTERM), or for ``--duration``
seconds, then prints its counters.
"""

from __future__ import annotations

import argparse
import signal
import sys
import time

from .. import _logging
from . import _OPTIONS, SimulatedCamera


def _number(text: str) -> int:
    return int(text, 0)


def _refusal(text: str) -> tuple:
    address, _, status = text.partition("=")
    return _number(address), (_number(status) if status else 0x8006)


def _endpoint(text: str) -> tuple:
    host, sep, port = text.rpartition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


_TYPES = {"integer": int, "code": _number, "number": float, "text": None, "choice": None, "refusals": _refusal}


def _add_option(group, option: dict) -> None:
    """One flag of the option table: a switch turning a flag's default around, or a value."""
    flag, name = "--" + option["flag"], option["name"]
    if option["kind"] == "flag":
        action = "store_false" if option["default"] else "store_true"
        group.add_argument(flag, dest=name, action=action, help=option["help"])
        return
    settings = {"dest": name, "help": option["help"], "default": option["default"]}
    if _TYPES[option["kind"]] is not None:
        settings["type"] = _TYPES[option["kind"]]
    if option["choices"]:
        settings["choices"] = option["choices"]
    else:
        settings["metavar"] = option["metavar"] or option["flag"].replace("-", "_").upper()
    if option["repeatable"]:
        settings.update(action="append", default=[])
    group.add_argument(flag, **settings)


def parser(prog: str = "python -m korvalite.sim") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog,
        description="Run a simulated GigE Vision camera until interrupted. Any GigE Vision client can "
                    "discover it, take control, read its description and stream from it.")
    # Group by group, in the order the groups first appear in the table.
    groups: dict = {}
    for option in _OPTIONS.values():
        if option["flag"]:
            groups.setdefault(option["group"], []).append(option)
    for title, options in groups.items():
        group = p.add_argument_group(title)
        for option in options:
            _add_option(group, option)

    run = p.add_argument_group("running")
    run.add_argument("--stream-to", type=_endpoint, metavar="HOST:PORT",
                     help="stream at once to HOST:PORT without a controlling host (benchmarks)")
    run.add_argument("--packet-size", type=int, default=1500, help="packet size for --stream-to (default %(default)s)")
    run.add_argument("--duration", type=float, default=None,
                     help="stop after this many seconds (default: run until interrupted)")
    run.add_argument("--stats-interval", type=float, default=None, help="print the counters every this many seconds")
    run.add_argument("--log-level", choices=sorted(_logging.LEVEL_NAMES), default=None,
                     help="show korvalite's log events from this level on (default: warning)")
    return p


def camera_from(args: argparse.Namespace) -> SimulatedCamera:
    options = {name: getattr(args, name) for name, option in _OPTIONS.items() if option["flag"]}
    options["refuse"] = dict(options["refuse"])
    return SimulatedCamera(**options)


def _print_counters(cam: SimulatedCamera) -> None:
    nonzero = " ".join(f"{k}={v}" for k, v in cam.counters().items() if v)
    print(f"counters: {nonzero or 'all zero'}", flush=True)


def _interrupt(signum, frame) -> None:
    raise KeyboardInterrupt


def _serve(cam: SimulatedCamera, args: argparse.Namespace) -> None:
    """Runs until the duration ends; interrupts end it earlier."""
    print(f"simulated camera {args.model} serial {args.serial} listening on {cam.address}:{cam.port}", flush=True)
    print(f"description: {cam.first_url}", flush=True)
    if args.stream_to:
        host, port = args.stream_to
        cam.stream_to(host, port, args.packet_size)
        print(f"streaming to {host}:{port} with {args.packet_size}-byte packets", flush=True)
    deadline = None if args.duration is None else time.monotonic() + args.duration
    next_stats = None if args.stats_interval is None else time.monotonic() + args.stats_interval
    while deadline is None or time.monotonic() < deadline:
        time.sleep(0.1)
        if next_stats is not None and time.monotonic() >= next_stats:
            _print_counters(cam)
            next_stats += args.stats_interval


def main(argv: list[str] | None = None, prog: str = "python -m korvalite.sim") -> int:
    args = parser(prog).parse_args(argv)
    if args.log_level is not None:
        _logging.configure(args.log_level)
    # SIGTERM ends the run like Ctrl-C does.
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        cam = camera_from(args)
    except (ValueError, OSError) as e:
        print(f"korvalite.sim: {e}", file=sys.stderr)
        return 2
    try:
        cam.start()
        _serve(cam, args)
    except (ValueError, OSError) as e:
        print(f"korvalite.sim: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        pass
    finally:
        cam.stop()
    _print_counters(cam)
    return 0
