"""Saving frames as image files without extra dependencies.

``.png`` is written with Pillow when it is installed and with the standard library otherwise;
``.pgm``/``.ppm`` (binary netpbm) and ``.npy`` need nothing beyond the standard library.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path

# Pixel format name -> (channels, bytes per channel); 16-bit formats arrive little-endian.
_SHAPES = {
    "Mono8": (1, 1),
    "BayerRG8": (1, 1),
    "BayerGB8": (1, 1),
    "Mono10": (1, 2),
    "Mono12": (1, 2),
    "Mono16": (1, 2),
    "RGB8": (3, 1),
    "BGR8": (3, 1),
}


class ImageError(ValueError):
    """A frame that cannot be written in the requested form."""


def _pixels(frame) -> tuple[bytes, int, int, int, int]:
    """Returns (bytes, width, height, channels, bytes per channel) with lines unpadded and 16-bit
    samples big-endian, as PNG and netpbm want them."""
    if frame.pixel_format not in _SHAPES:
        raise ImageError(f"cannot write pixel format {frame.pixel_format} as an image; use .npy")
    channels, depth = _SHAPES[frame.pixel_format]
    width, height = frame.width, frame.height
    line = width * channels * depth
    data = frame.data()
    if len(data) < line * height:
        raise ImageError(f"frame holds {len(data)} bytes, {width}x{height} {frame.pixel_format} needs {line * height}")
    data = data[: line * height]
    if frame.pixel_format == "BGR8":
        swapped = bytearray(data)
        swapped[0::3], swapped[2::3] = data[2::3], data[0::3]
        data = bytes(swapped)
    if depth == 2:
        swapped = bytearray(data)
        swapped[0::2], swapped[1::2] = data[1::2], data[0::2]
        data = bytes(swapped)
    return data, width, height, channels, depth


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_png(path: Path, frame) -> None:
    data, width, height, channels, depth = _pixels(frame)
    try:
        from PIL import Image  # noqa: PLC0415

        if depth == 1:
            Image.frombytes("L" if channels == 1 else "RGB", (width, height), data).save(path)
            return
        Image.frombytes("I;16B", (width, height), data).save(path)
        return
    except ImportError:
        pass
    color_type = 0 if channels == 1 else 2
    line = width * channels * depth
    raw = b"".join(b"\x00" + data[y * line : (y + 1) * line] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8 * depth, color_type, 0, 0, 0)
    path.write_bytes(
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", header)
        + _png_chunk(b"IDAT", zlib.compress(raw, 6))
        + _png_chunk(b"IEND", b"")
    )


def write_netpbm(path: Path, frame) -> None:
    data, width, height, channels, depth = _pixels(frame)
    magic = b"P5" if channels == 1 else b"P6"
    if path.suffix.lower() == ".pgm" and channels != 1:
        raise ImageError(f"{frame.pixel_format} is a colour format; write it as .ppm")
    if path.suffix.lower() == ".ppm" and channels != 3:
        raise ImageError(f"{frame.pixel_format} is a grey format; write it as .pgm")
    maxval = 255 if depth == 1 else 65535
    path.write_bytes(magic + f"\n{width} {height}\n{maxval}\n".encode() + data)


def write_npy(path: Path, frame) -> None:
    """The payload as a numpy array file: shaped (height, width[, 3]) for known formats, else 1-D
    uint8."""
    data = frame.data()
    if frame.pixel_format in _SHAPES:
        channels, depth = _SHAPES[frame.pixel_format]
        shape = (frame.height, frame.width) + ((3,) if channels == 3 else ())
        dtype = "|u1" if depth == 1 else "<u2"
        need = frame.height * frame.width * channels * depth
        if len(data) < need:
            raise ImageError(f"frame holds {len(data)} bytes, its shape needs {need}")
        data = data[:need]
    else:
        shape, dtype = (len(data),), "|u1"
    header = f"{{'descr': '{dtype}', 'fortran_order': False, 'shape': {shape!r}, }}"
    header += " " * ((64 - (10 + len(header) + 1) % 64) % 64) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1") + data)


def save_frame(frame, path: str | Path) -> Path:
    """Writes `frame` to `path`, choosing the format by its suffix."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".png":
        write_png(path, frame)
    elif suffix in (".pgm", ".ppm"):
        write_netpbm(path, frame)
    elif suffix == ".npy":
        write_npy(path, frame)
    else:
        raise ImageError(f"unknown image suffix {path.suffix!r}: use .png, .pgm, .ppm or .npy")
    return path
