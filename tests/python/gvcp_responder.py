"""A minimal GigE Vision device for discovery tests: it answers DISCOVERY and nothing else.

Run inside a test's network namespace (see netns.py). It listens on 0.0.0.0:3956, so it hears
the subnet and the limited broadcast on every interface of its namespace, answers each
discovery command with an acknowledge carrying a 248-byte identity block, and appends one JSON
line per command to the --record file: {"source": ..., "destination": ...}, the destination
being the address the command was sent to. It exits on SIGTERM or after --lifetime seconds.
"""

import argparse
import json
import signal
import socket
import struct
import sys
import time

GVCP_PORT = 3956
IDENTITY_SIZE = 248
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)


def text_field(text: str, width: int) -> bytes:
    return text.encode()[:width].ljust(width, b"\0")


def identity_block(args) -> bytes:
    mac = bytes(int(part, 16) for part in args.mac.split(":"))
    block = bytearray(IDENTITY_SIZE)
    struct.pack_into(">HH", block, 0x00, args.version_major, args.version_minor)
    block[0x0A:0x10] = mac
    block[0x24:0x28] = socket.inet_aton(args.address)
    block[0x34:0x38] = socket.inet_aton(args.subnet_mask)
    block[0x44:0x48] = socket.inet_aton(args.gateway)
    for offset, width, text in (
        (0x48, 32, args.manufacturer),
        (0x68, 32, args.model),
        (0x88, 32, args.device_version),
        (0xA8, 48, args.manufacturer_info),
        (0xD8, 16, args.serial),
        (0xE8, 16, args.user_defined_name),
    ):
        block[offset:offset + width] = text_field(text, width)
    return bytes(block)


def destination_of(ancillary) -> str:
    for level, kind, data in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            return socket.inet_ntoa(data[8:12])  # struct in_pktinfo: interface index, local and header destination addresses
    return "?"


def serve(args) -> None:
    reply_header = struct.pack(">HHH", 0x0000, 0x0003, IDENTITY_SIZE)  # success, DISCOVERY_ACK
    identity = identity_block(args)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock, open(args.record, "a") as record:
        sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        sock.bind(("0.0.0.0", GVCP_PORT))
        sock.settimeout(0.1)
        deadline = time.monotonic() + args.lifetime
        while time.monotonic() < deadline:
            try:
                data, ancillary, _, source = sock.recvmsg(2048, socket.CMSG_SPACE(12))
            except socket.timeout:
                continue
            if len(data) < 8 or data[0] != 0x42 or struct.unpack_from(">H", data, 2)[0] != 0x0002:
                continue
            record.write(json.dumps({"source": source[0], "destination": destination_of(ancillary)}) + "\n")
            record.flush()
            request_id = struct.unpack_from(">H", data, 6)[0]
            sock.sendto(reply_header + struct.pack(">H", request_id) + identity, source)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True, help="the device's current IP address")
    parser.add_argument("--record", required=True, help="file receiving one JSON line per command")
    parser.add_argument("--mac", default="02:00:00:00:00:01")
    parser.add_argument("--serial", default="SN0001")
    parser.add_argument("--manufacturer", default="Korva")
    parser.add_argument("--model", default="Responder")
    parser.add_argument("--device-version", default="1.0")
    parser.add_argument("--manufacturer-info", default="")
    parser.add_argument("--user-defined-name", default="")
    parser.add_argument("--subnet-mask", default="255.255.255.0")
    parser.add_argument("--gateway", default="0.0.0.0")
    parser.add_argument("--version-major", type=int, default=2)
    parser.add_argument("--version-minor", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=120.0, help="seconds before exiting on its own")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    serve(args)


if __name__ == "__main__":
    main()
