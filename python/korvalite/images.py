"""Saving frames as image files without extra dependencies.

``.png`` is written with Pillow when it is installed and with the standard library otherwise;
``.pgm``/``.ppm`` (binary netpbm) and ``.npy`` need nothing beyond the standard library. Images
are laid out as ``Frame.to_numpy`` shapes them (``Frame._layout``), line padding dropped.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import NamedTuple, Union

from ._korvalite_core import Frame

SUFFIXES = (".png", ".pgm", ".ppm", ".npy")


class ImageError(ValueError):
    """A frame that cannot be written in the requested form."""


class Pixels(NamedTuple):
    """Unpadded rows of samples; 16-bit samples little-endian as they arrived."""

    data: bytes
    width: int
    height: int
    channels: int
    sample_bytes: int


def pixels(frame: Frame) -> Pixels:
    """The frame's image with the line padding removed; ImageError for a format without an
    image layout or a frame too short for its image."""
    try:
        layout = frame._layout()
    except ValueError as error:
        raise ImageError(str(error)) from None
    if layout is None:
        raise ImageError(f"pixel format {frame.pixel_format} has no image layout; write it as .npy")
    height, width, channels, sample_bytes, stride = layout
    row = width * channels * sample_bytes
    view = memoryview(frame)
    if stride == row:
        data = view[: row * height].tobytes()
    else:
        data = b"".join(view[y * stride: y * stride + row] for y in range(height))
    return Pixels(data, width, height, channels, sample_bytes)


def _rgb_big_endian(frame: Frame) -> Pixels:
    """Pixels as PNG and netpbm want them: RGB order and 16-bit samples big-endian."""
    image = pixels(frame)
    data = image.data
    if frame.pixel_format == "BGR8":
        swapped = bytearray(data)
        swapped[0::3], swapped[2::3] = data[2::3], data[0::3]
        data = bytes(swapped)
    if image.sample_bytes == 2:
        swapped = bytearray(data)
        swapped[0::2], swapped[1::2] = data[1::2], data[0::2]
        data = bytes(swapped)
    return image._replace(data=data)


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def png_bytes(image: Pixels) -> bytes:
    """A PNG file (grey or RGB, 8 or 16 bits) made with the standard library only."""
    color_type = 0 if image.channels == 1 else 2
    line = image.width * image.channels * image.sample_bytes
    raw = b"".join(b"\x00" + image.data[y * line: (y + 1) * line] for y in range(image.height))
    header = struct.pack(">IIBBBBB", image.width, image.height, 8 * image.sample_bytes, color_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header) + _png_chunk(b"IDAT", zlib.compress(raw, 6))
            + _png_chunk(b"IEND", b""))


def write_png(path: Path, frame: Frame) -> None:
    """A grey, RGB or 16-bit grey PNG; BGR8 frames are turned into RGB."""
    image = _rgb_big_endian(frame)
    try:
        from PIL import Image  # noqa: PLC0415
    except ImportError:
        path.write_bytes(png_bytes(image))
        return
    mode = ("L" if image.channels == 1 else "RGB") if image.sample_bytes == 1 else "I;16B"
    Image.frombytes(mode, (image.width, image.height), image.data).save(path)


def write_netpbm(path: Path, frame: Frame) -> None:
    """Binary PGM for grey formats, PPM for colour ones, by the path's suffix."""
    image = _rgb_big_endian(frame)
    if path.suffix.lower() == ".pgm" and image.channels != 1:
        raise ImageError(f"{frame.pixel_format} is a colour format; write it as .ppm")
    if path.suffix.lower() == ".ppm" and image.channels != 3:
        raise ImageError(f"{frame.pixel_format} is a grey format; write it as .pgm")
    magic = b"P5" if image.channels == 1 else b"P6"
    maxval = 255 if image.sample_bytes == 1 else 65535
    path.write_bytes(magic + f"\n{image.width} {image.height}\n{maxval}\n".encode() + image.data)


def write_npy(path: Path, frame: Frame) -> None:
    """The array ``frame.to_numpy()`` gives, as a numpy array file, written without numpy."""
    try:
        layout = frame._layout()
    except ValueError as error:
        raise ImageError(str(error)) from None
    if layout is None:
        data, shape, descr = frame.data(), (len(frame.data()),), "|u1"
    else:
        image = pixels(frame)
        data = image.data
        shape = (image.height, image.width) + ((3,) if image.channels == 3 else ())
        descr = "|u1" if image.sample_bytes == 1 else "<u2"
    header = f"{{'descr': '{descr}', 'fortran_order': False, 'shape': {shape!r}, }}"
    header += " " * ((64 - (10 + len(header) + 1) % 64) % 64) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1") + data)


def save_frame(frame: Frame, path: Union[str, Path]) -> Path:
    """Writes `frame` to `path`, choosing the format by its suffix (one of ``SUFFIXES``)."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".png":
        write_png(path, frame)
    elif suffix in (".pgm", ".ppm"):
        write_netpbm(path, frame)
    elif suffix == ".npy":
        write_npy(path, frame)
    else:
        raise ImageError(f"unknown image suffix {path.suffix!r}: use {', '.join(SUFFIXES)}")
    return path
