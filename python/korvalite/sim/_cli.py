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
from . import PIXEL_FORMATS, SimulatedCamera

_COMMANDS = ("READREG", "WRITEREG", "READMEM", "WRITEMEM")


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


def parser(prog: str = "python -m korvalite.sim") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog,
        description="Run a simulated GigE Vision camera until interrupted. Any GigE Vision client can "
                    "discover it, take control, read its description and stream from it.")
    net = p.add_argument_group("network")
    net.add_argument("--address", default="127.0.0.1",
                     help="IPv4 address to bind the device port to (default %(default)s)")
    net.add_argument("--port", type=int, default=3956,
                     help="GVCP device port (default %(default)s; 0 picks a free one)")
    net.add_argument("--no-broadcast", action="store_true", help="do not answer DISCOVERY sent to broadcast addresses")

    ident = p.add_argument_group("identity")
    ident.add_argument("--manufacturer", default="korvalite", help="manufacturer name (default %(default)s)")
    ident.add_argument("--model", default="SimCam-1", help="model name (default %(default)s)")
    ident.add_argument("--device-version", default="1.0.0", help="device version (default %(default)s)")
    ident.add_argument("--manufacturer-info", default="simulated GigE Vision camera",
                       help="manufacturer-specific information")
    ident.add_argument("--serial", default="SIM00001", help="serial number (default %(default)s)")
    ident.add_argument("--user-name", default="", help="user-defined name")
    ident.add_argument("--mac", default="02:4b:56:00:00:01", help="MAC address (default %(default)s)")
    ident.add_argument("--ip", default=None, help="IP address the device reports (default: the bound address)")
    ident.add_argument("--mask", default="255.0.0.0", help="subnet mask the device reports (default %(default)s)")
    ident.add_argument("--gateway", default="0.0.0.0", help="default gateway the device reports (default %(default)s)")

    dev = p.add_argument_group("device")
    dev.add_argument("--gvcp-capability", type=_number, default=None,
                     help="GVCP capability register value (default: every capability the camera has)")
    dev.add_argument("--no-packet-resend", action="store_true", help="clear the PACKETRESEND capability bit")
    dev.add_argument("--tick-frequency", type=int, default=1_000_000_000,
                     help="timestamp ticks per second (default %(default)s)")
    dev.add_argument("--heartbeat-timeout", type=float, default=3.0,
                     help="heartbeat timeout at power-up, seconds (default %(default)s)")
    dev.add_argument("--stream-channels", type=int, default=2,
                     help="number of stream channels, 1 to 4 (default %(default)s)")
    dev.add_argument("--path-mtu", type=int, default=9000,
                     help="largest packet the path carries, bytes (default %(default)s)")
    dev.add_argument("--extended-ids", action="store_true", help="stream with 64-bit block ids and 32-bit packet ids")
    dev.add_argument("--first-block-id", type=_number, default=1,
                     help="block id of the first frame (default %(default)s)")
    dev.add_argument("--resend-history", type=int, default=8,
                     help="frames kept for resend requests (default %(default)s)")

    desc = p.add_argument_group("description")
    desc.add_argument("--description", metavar="FILE",
                      help="serve this GenICam description (XML or ZIP) instead of the built-in one")
    desc.add_argument("--zip", choices=("stored", "deflated"), help="serve the description as a ZIP archive")
    desc.add_argument("--first-url", default="local",
                      help="first URL register: 'local' (device memory), a file: or http: URL, or ''")
    desc.add_argument("--second-url", default="", help="second URL register, as --first-url (default: empty)")

    img = p.add_argument_group("image")
    img.add_argument("--sensor-width", type=int, default=1280, help="sensor width in pixels (default %(default)s)")
    img.add_argument("--sensor-height", type=int, default=960, help="sensor height in pixels (default %(default)s)")
    img.add_argument("--width", type=int, default=640, help="image width (default %(default)s)")
    img.add_argument("--height", type=int, default=480, help="image height (default %(default)s)")
    img.add_argument("--offset-x", type=int, default=0, help="horizontal offset (default %(default)s)")
    img.add_argument("--offset-y", type=int, default=0, help="vertical offset (default %(default)s)")
    img.add_argument("--pixel-format", choices=sorted(PIXEL_FORMATS), default="Mono8",
                     help="pixel format (default %(default)s)")
    img.add_argument("--acquisition-mode", choices=("Continuous", "SingleFrame", "MultiFrame"), default="Continuous",
                     help="acquisition mode (default %(default)s)")
    img.add_argument("--frame-count", type=int, default=1,
                     help="frames per MultiFrame acquisition (default %(default)s)")
    img.add_argument("--frame-rate", type=float, default=30.0, help="frames per second (default %(default)s)")
    img.add_argument("--free-run", action="store_true",
                     help="send frames as fast as possible instead of at --frame-rate")
    img.add_argument("--exposure-us", type=float, default=10000.0,
                     help="exposure time in microseconds (default %(default)s)")
    img.add_argument("--gain-db", type=float, default=0.0, help="gain in dB, 0 to 24 (default %(default)s)")

    faults = p.add_argument_group("fault injection (seeded, reproducible)")
    faults.add_argument("--seed", type=int, default=0, help="seed of every fault sequence (default %(default)s)")
    faults.add_argument("--drop", type=float, default=0.0, help="fraction of stream packets to drop")
    faults.add_argument("--duplicate", type=float, default=0.0, help="fraction of stream packets to send twice")
    faults.add_argument("--reorder", type=float, default=0.0,
                        help="fraction of stream packets to send after their successor")
    faults.add_argument("--resend-drop", type=float, default=0.0, help="fraction of resent packets to drop")
    faults.add_argument("--resend-duplicate", type=float, default=0.0, help="fraction of resent packets to send twice")
    faults.add_argument("--resend-reorder", type=float, default=0.0, help="fraction of resent packets to reorder")
    faults.add_argument("--ack-drop", type=float, default=0.0, help="fraction of control acknowledges to drop")
    faults.add_argument("--pending-ack", action="append", choices=_COMMANDS, default=[],
                        help="answer this command with PENDING_ACK first (repeatable)")
    faults.add_argument("--pending-ack-ms", type=int, default=1000,
                        help="time announced by PENDING_ACK, ms (default %(default)s)")
    faults.add_argument("--pending-delay-ms", type=int, default=200,
                        help="delay before the final acknowledge, ms (default %(default)s)")
    faults.add_argument("--refuse", action="append", type=_refusal, default=[], metavar="ADDR[=STATUS]",
                        help="refuse every access to this register (status default 0x8006; repeatable)")

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
    return SimulatedCamera(
        args.address, args.port, answer_broadcast=not args.no_broadcast,
        manufacturer=args.manufacturer, model=args.model, device_version=args.device_version,
        manufacturer_info=args.manufacturer_info, serial=args.serial, user_name=args.user_name, mac=args.mac,
        ip=args.ip, subnet_mask=args.mask, gateway=args.gateway,
        gvcp_capability=args.gvcp_capability, packet_resend=not args.no_packet_resend,
        tick_frequency=args.tick_frequency, heartbeat_timeout=args.heartbeat_timeout,
        stream_channels=args.stream_channels, path_mtu=args.path_mtu,
        extended_ids=args.extended_ids, first_block_id=args.first_block_id, resend_history=args.resend_history,
        description_file=args.description, zip=args.zip, first_url=args.first_url, second_url=args.second_url,
        sensor_width=args.sensor_width, sensor_height=args.sensor_height, width=args.width, height=args.height,
        offset_x=args.offset_x, offset_y=args.offset_y, pixel_format=args.pixel_format,
        acquisition_mode=args.acquisition_mode, frame_count=args.frame_count, frame_rate=args.frame_rate,
        frame_rate_enable=not args.free_run, exposure_us=args.exposure_us, gain_db=args.gain_db,
        seed=args.seed, stream_drop=args.drop, stream_duplicate=args.duplicate, stream_reorder=args.reorder,
        resend_drop=args.resend_drop, resend_duplicate=args.resend_duplicate, resend_reorder=args.resend_reorder,
        ack_drop=args.ack_drop, pending_ack=args.pending_ack, pending_ack_announce_ms=args.pending_ack_ms,
        pending_ack_delay_ms=args.pending_delay_ms, refuse=dict(args.refuse))


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
