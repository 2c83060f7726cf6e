"""A bare GigE Vision client over raw UDP sockets, for testing the simulated camera without
any driver code: GVCP commands and acknowledges, and a GVSP receiver that reassembles frames.
Every wait is bounded."""

from __future__ import annotations

import re
import socket
import struct
from dataclasses import dataclass, field

CCP = 0x0A00
HEARTBEAT_TIMEOUT = 0x0938
SCP, SCPS, SCPD, SCDA = 0x0D00, 0x0D04, 0x0D08, 0x0D18
FIRE_TEST = 0x80000000


@dataclass
class Ack:
    status: int
    code: int
    ack_id: int
    payload: bytes

    def registers(self) -> list[int]:
        return list(struct.unpack(f">{len(self.payload) // 4}I", self.payload[: len(self.payload) // 4 * 4]))


class Gvcp:
    """One control-channel client bound to ``local_ip`` and talking to ``device``."""

    def __init__(self, local_ip: str, device: tuple, timeout: float = 1.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((local_ip, 0))
        self.sock.settimeout(timeout)
        self.device = device
        self.next_id = 0

    def close(self) -> None:
        self.sock.close()

    @property
    def endpoint(self) -> tuple:
        return self.sock.getsockname()

    def take_id(self) -> int:
        self.next_id = self.next_id % 0xFFFE + 1
        return self.next_id

    def send(self, code: int, payload: bytes = b"", flags: int = 0x01, req_id: int | None = None) -> bytes:
        packet = struct.pack(">BBHHH", 0x42, flags, code, len(payload), self.take_id() if req_id is None else req_id)
        packet += payload
        self.sock.sendto(packet, self.device)
        return packet

    def receive(self) -> Ack | None:
        try:
            data, _ = self.sock.recvfrom(65536)
        except socket.timeout:
            return None
        status, code, length, ack_id = struct.unpack(">HHHH", data[:8])
        assert len(data) - 8 >= length
        return Ack(status, code, ack_id, data[8 : 8 + length])

    def transact(self, code: int, payload: bytes = b"") -> Ack:
        self.send(code, payload)
        ack = self.receive()
        assert ack is not None, f"no acknowledge for command 0x{code:04x}"
        assert ack.ack_id == self.next_id
        return ack

    def read_regs(self, *addresses: int) -> Ack:
        return self.transact(0x0080, b"".join(struct.pack(">I", a) for a in addresses))

    def read_reg(self, address: int) -> int:
        ack = self.read_regs(address)
        assert ack.status == 0, f"READREG 0x{address:04x} status 0x{ack.status:04x}"
        return ack.registers()[0]

    def write_regs(self, *pairs: tuple) -> Ack:
        return self.transact(0x0082, b"".join(struct.pack(">II", a, v & 0xFFFFFFFF) for a, v in pairs))

    def write_reg(self, address: int, value: int) -> None:
        ack = self.write_regs((address, value))
        assert ack.status == 0, f"WRITEREG 0x{address:04x} status 0x{ack.status:04x}"

    def read_mem(self, address: int, count: int) -> Ack:
        return self.transact(0x0084, struct.pack(">II", address, count))

    def read_memory(self, address: int, size: int) -> bytes:
        out = b""
        while len(out) < size:
            chunk = min(512, (size - len(out) + 3) // 4 * 4)
            ack = self.read_mem(address + len(out), chunk)
            assert ack.status == 0, f"READMEM status 0x{ack.status:04x}"
            out += ack.payload[4:]
        return out[:size]

    def write_mem(self, address: int, data: bytes) -> Ack:
        return self.transact(0x0086, struct.pack(">I", address) + data)

    def take_control(self, value: int = 2) -> None:
        self.write_reg(CCP, value)

    def send_resend(self, block_id: int, first: int, last: int, extended: bool = False) -> None:
        if extended:
            payload = struct.pack(">IIIQ", 0, first, last, block_id)
        else:
            payload = struct.pack(">III", block_id & 0xFFFFFFFF, first & 0xFFFFFF, last & 0xFFFFFF)
        self.send(0x0040, payload, flags=0x10 if extended else 0x00, req_id=0xFF15)


@dataclass
class Packet:
    status: int
    block_id: int
    fmt: int
    packet_id: int
    data: bytes
    extended: bool


def decode(datagram: bytes) -> Packet:
    status, block16, flags_fmt = struct.unpack(">HHB", datagram[:5])
    if flags_fmt & 0x80:
        block_id, packet_id = struct.unpack(">QI", datagram[8:20])
        return Packet(status, block_id, flags_fmt & 0x7F, packet_id, datagram[20:], True)
    packet_id = int.from_bytes(datagram[5:8], "big")
    return Packet(status, block16, flags_fmt & 0x7F, packet_id, datagram[8:], False)


@dataclass
class Frame:
    block_id: int
    leader: bytes | None = None
    trailer_id: int | None = None
    parts: dict = field(default_factory=dict)  # packet id -> data

    def leader_fields(self) -> dict:
        _, payload_type, timestamp, pf, sx, sy, ox, oy = struct.unpack(">HHQIIIII", self.leader[:32])
        return dict(payload_type=payload_type, timestamp=timestamp, pixel_format=pf, width=sx, height=sy,
                    offset_x=ox, offset_y=oy)

    def payload(self) -> bytes:
        return b"".join(self.parts[k] for k in sorted(self.parts))

    def missing(self, packet_count: int) -> list[int]:
        have = set(self.parts) | ({0} if self.leader is not None else set()) | (
            {self.trailer_id} if self.trailer_id is not None else set())
        return [i for i in range(packet_count) if i not in have]


class Receiver:
    """A GVSP receiver on ``local_ip``; collects packets into frames by block id."""

    def __init__(self, local_ip: str, timeout: float = 2.0, rcvbuf: int = 8 << 20):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((local_ip, 0))
        self.sock.settimeout(timeout)
        self.frames: dict[int, Frame] = {}
        self.packets: list[Packet] = []

    def close(self) -> None:
        self.sock.close()

    @property
    def endpoint(self) -> tuple:
        return self.sock.getsockname()

    def ip_value(self) -> int:
        return struct.unpack(">I", socket.inet_aton(self.endpoint[0]))[0]

    def receive(self) -> Packet | None:
        try:
            data, _ = self.sock.recvfrom(65536)
        except socket.timeout:
            return None
        p = decode(data)
        self.packets.append(p)
        if p.status < 0x8000:
            frame = self.frames.setdefault(p.block_id, Frame(p.block_id))
            if p.fmt == 1:
                frame.leader = p.data
            elif p.fmt == 2:
                frame.trailer_id = p.packet_id
            elif p.fmt == 3:
                frame.parts[p.packet_id] = p.data
        return p

    def until(self, done, limit: int = 100_000) -> bool:
        """Receives until ``done()`` holds (True) or a receive times out (False)."""
        for _ in range(limit):
            if done():
                return True
            if self.receive() is None:
                return False
        return done()

    def drain(self, quiet: float = 0.2) -> int:
        """Receives until nothing came for ``quiet`` seconds; returns the packet count."""
        old = self.sock.gettimeout()
        self.sock.settimeout(quiet)
        n = 0
        while self.receive() is not None:
            n += 1
        self.sock.settimeout(old)
        return n


def program_stream(ctl: Gvcp, rx: Receiver, packet_size: int, channel: int = 0) -> None:
    base = 0x40 * channel
    ctl.write_reg(SCDA + base, rx.ip_value())
    ctl.write_reg(SCPS + base, packet_size)
    ctl.write_reg(SCP + base, rx.endpoint[1])


def _packed(values: list, bits: int, msb_pairs: bool) -> bytearray:
    """Samples packed least significant bit first, or two in three bytes with the high bits outside."""
    if msb_pairs:
        out = bytearray()
        for i in range(0, len(values), 2):
            p0, p1 = values[i], values[i + 1] if i + 1 < len(values) else None
            out += bytes((p0 >> 4, (p0 & 0xF) | ((p1 & 0xF) << 4 if p1 is not None else 0)))
            if p1 is not None:
                out.append(p1 >> 4)
        return out
    stream = sum(v << (bits * i) for i, v in enumerate(values))
    return bytearray(stream.to_bytes((bits * len(values) + 7) // 8, "little"))


def reference_pattern(frame: int, width: int, height: int, pixel_format: str, offset_x: int = 0,
                      offset_y: int = 0) -> bytes:
    """The test image, computed here independently of the camera's own code."""
    depth = re.fullmatch(r"(?:Mono|Bayer(?:RG|GB|GR|BG))(8|10|12|16)(p|Packed)?", pixel_format)
    bits = int(depth.group(1)) if depth else 8
    samples = [((x + offset_x) + 2 * (y + offset_y) + 3 * frame, x) for y in range(height) for x in range(width)]
    packing = depth.group(2) if depth else None
    out = _packed([g & ((1 << bits) - 1) for g, _ in samples], bits, packing == "Packed") if packing else bytearray()
    for g, x in [] if packing else samples:
        if depth:
            out += (g & ((1 << bits) - 1)).to_bytes(1 if bits == 8 else 2, "little")
        elif pixel_format == "RGB8":
            out += bytes(((g) & 0xFF, (g + 85) & 0xFF, (g + 170) & 0xFF))
        elif pixel_format == "BGR8":
            out += bytes(((g + 170) & 0xFF, (g + 85) & 0xFF, (g) & 0xFF))
        elif pixel_format in ("YUV422_8", "YCbCr422_8"):
            luma, chroma = g & 0xFF, (g + (85 if x % 2 == 0 else 170)) & 0xFF
            out += bytes((chroma, luma) if pixel_format == "YUV422_8" else (luma, chroma))
        else:
            raise ValueError(pixel_format)
    stamp = frame.to_bytes(8, "little")[: min(8, len(out))]
    out[: len(stamp)] = stamp
    return bytes(out)
