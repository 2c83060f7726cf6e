"""A small PNG reader for tests: non-interlaced grey or RGB, 8 or 16 bits, every filter type,
so files written by the standard-library writer and by Pillow read the same."""

import struct
import zlib
from typing import NamedTuple


class Png(NamedTuple):
    width: int
    height: int
    bit_depth: int
    channels: int
    rows: list  # unfiltered rows as bytes (16-bit samples big-endian)


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def read_png(data: bytes) -> Png:
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        assert struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == zlib.crc32(kind + body)
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, color_type, _, _, interlace = header
    assert color_type in (0, 2) and interlace == 0
    channels = 1 if color_type == 0 else 3
    pixel = channels * depth // 8
    line = width * pixel
    raw = zlib.decompress(idat)
    rows, previous = [], bytearray(line)
    for y in range(height):
        kind, row = raw[y * (line + 1)], bytearray(raw[y * (line + 1) + 1:(y + 1) * (line + 1)])
        for i in range(line):
            left = row[i - pixel] if i >= pixel else 0
            up, up_left = previous[i], (previous[i - pixel] if i >= pixel else 0)
            predictor = (0, left, up, (left + up) // 2, _paeth(left, up, up_left))[kind]
            row[i] = (row[i] + predictor) & 0xFF
        rows.append(bytes(row))
        previous = row
    return Png(width, height, depth, channels, rows)
