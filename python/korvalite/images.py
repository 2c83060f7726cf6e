"""Saving frames as image files people can look at, and the colour conversions behind them.

Images are made from ``Frame.to_numpy()``: samples of more than 8 significant bits are scaled to
the full range of the file's depth (16 bits by default, 8 with ``bits=8``), so a 12-bit image
is as bright as the scene was; Bayer mosaics are demosaiced (bilinear) into RGB unless
``raw=True`` keeps the mosaic; 4:2:2 formats are converted to RGB.

``.png`` is written with Pillow when it is installed and can hold the image, with the standard
library otherwise; ``.jpg``/``.jpeg`` (8 bits) with Pillow; ``.tif``/``.tiff`` with tifffile (``pip install tifffile``); ``.pgm``/``.ppm``
(binary netpbm) need nothing more; ``.npy`` holds the array ``to_numpy()`` gives, unscaled.
numpy is imported when an image is made, so importing this module needs nothing beyond the
standard library.
"""

from __future__ import annotations

import io
import struct
import zlib
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Union

from ._korvalite_core import Frame

if TYPE_CHECKING:
    import numpy as np

SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".pgm", ".ppm", ".npy")

# Which colour sits at each position of the mosaic's 2x2 cell: (row, column) -> channel index.
_BAYER_CELLS = {
    "RG": {(0, 0): 0, (0, 1): 1, (1, 0): 1, (1, 1): 2},
    "GB": {(0, 0): 1, (0, 1): 2, (1, 0): 0, (1, 1): 1},
    "GR": {(0, 0): 1, (0, 1): 0, (1, 0): 2, (1, 1): 1},
    "BG": {(0, 0): 2, (0, 1): 1, (1, 0): 1, (1, 1): 0},
}


class ImageError(ValueError):
    """A frame that cannot be written in the requested form."""


def _numpy() -> Any:
    try:
        import numpy  # noqa: PLC0415
    except ImportError:
        raise ImageError("writing images needs numpy; install it with `pip install numpy`") from None
    return numpy


def _neighbour_sum(padded: "np.ndarray", kernel: tuple[tuple[int, ...], ...], height: int, width: int) -> "np.ndarray":
    total: Any = 0
    for dy, row in enumerate(kernel):
        for dx, weight in enumerate(row):
            if weight:
                total = total + weight * padded[dy:dy + height, dx:dx + width]
    return total


def demosaic(mosaic: "np.ndarray", pattern: str) -> "np.ndarray":
    """Bilinear demosaic of a (height, width) Bayer mosaic into (height, width, 3) RGB of the same
    dtype. `pattern` names the top-left 2x2 cell (``RG``, ``GB``, ``GR``, ``BG``). Each missing
    colour is the mean of its nearest samples; edges are mirrored, so a mosaic of one colour
    gives exactly that colour everywhere."""
    np = _numpy()
    if pattern not in _BAYER_CELLS:
        raise ImageError(f"unknown Bayer pattern {pattern!r}: use one of {', '.join(_BAYER_CELLS)}")
    height, width = mosaic.shape
    if height < 2 or width < 2:
        raise ImageError(f"a {width}x{height} mosaic is too small to demosaic; save it with raw=True")
    values = mosaic.astype(np.int32)
    green_cross = ((0, 1, 0), (1, 4, 1), (0, 1, 0))
    red_blue_box = ((1, 2, 1), (2, 4, 2), (1, 2, 1))
    rgb = np.empty((height, width, 3), mosaic.dtype)
    for channel in range(3):
        mask = np.zeros((height, width), np.int32)
        for (y, x), colour in _BAYER_CELLS[pattern].items():
            if colour == channel:
                mask[y::2, x::2] = 1
        padded = np.pad(values * mask, 1, mode="reflect")
        kernel = green_cross if channel == 1 else red_blue_box
        rgb[..., channel] = (_neighbour_sum(padded, kernel, height, width) + 2) // 4
    return rgb


def yuv422_to_rgb(image: Union["np.ndarray", Frame], layout: Optional[str] = None) -> "np.ndarray":
    """(height, width, 3) uint8 RGB from a 4:2:2 image: a YUV422_8 or YCbCr422_8 frame, or the
    (height, width, 2) array its ``to_numpy()`` gives with `layout` ``"yuv422"`` (chroma, luma:
    U Y V Y) or ``"ycbcr422"`` (luma, chroma: Y Cb Y Cr). Full-range BT.601 (as in JPEG); a
    last pixel without its own V/Cr takes neutral chroma."""
    np = _numpy()
    if isinstance(image, Frame):
        info = image.pixel_format_info
        layout = info.layout if info is not None else None
        image = image.to_numpy()
    if layout not in ("yuv422", "ycbcr422"):
        raise ImageError(f"not a 4:2:2 layout: {layout!r}; use 'yuv422' or 'ycbcr422'")
    luma_at, chroma_at = (1, 0) if layout == "yuv422" else (0, 1)
    luma = image[..., luma_at].astype(np.float32)
    chroma = image[..., chroma_at].astype(np.float32) - 128.0
    u = np.repeat(chroma[:, 0::2], 2, axis=1)[:, :luma.shape[1]]
    v = np.zeros_like(luma)
    v_pairs = np.repeat(chroma[:, 1::2], 2, axis=1)
    v[:, :v_pairs.shape[1]] = v_pairs
    rgb = np.stack([luma + 1.402 * v, luma - 0.344136 * u - 0.714136 * v, luma + 1.772 * u], axis=-1)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def _scaled(samples: "np.ndarray", significant_bits: int, bits: int) -> "np.ndarray":
    """Samples of `significant_bits` spread over 0 .. 2**bits - 1, rounded to nearest."""
    np = _numpy()
    top, full = (1 << significant_bits) - 1, (1 << bits) - 1
    dtype = np.uint8 if bits == 8 else np.uint16
    if top == full:
        return samples.astype(dtype)
    wide = samples.astype(np.uint64) & top
    return ((wide * full + top // 2) // top).astype(dtype)


def image_array(frame: Frame, *, bits: Optional[int] = None, raw: bool = False) -> "np.ndarray":
    """The frame as a picture: (height, width) grey or (height, width, 3) RGB, uint8 for
    ``bits=8`` and uint16 for ``bits=16``. By default 8-bit formats stay 8-bit and deeper ones
    become 16-bit. Bayer frames are demosaiced unless `raw`."""
    if bits not in (None, 8, 16):
        raise ImageError(f"bits must be 8 or 16, not {bits!r}")
    info = frame.pixel_format_info
    if info is None:
        raise ImageError(f"pixel format {frame.pixel_format} has no image layout; write it as .npy")
    try:
        samples = frame.to_numpy()
    except ValueError as error:
        raise ImageError(str(error)) from None
    return image_from_samples(samples, info, bits=bits, raw=raw)


def image_from_samples(samples: "np.ndarray", info: Any, *, bits: Optional[int] = None,
                       raw: bool = False) -> "np.ndarray":
    """``image_array`` for samples already taken out of a frame (``to_numpy()``'s array, or a
    copy of it) with the frame's ``pixel_format_info``."""
    if bits not in (None, 8, 16):
        raise ImageError(f"bits must be 8 or 16, not {bits!r}")
    significant = info.significant_bits
    if info.layout in ("yuv422", "ycbcr422"):
        samples, significant = yuv422_to_rgb(samples, info.layout), 8
    elif info.layout == "bgr":
        samples = samples[..., ::-1]
    elif info.layout == "bayer" and not raw:
        samples = demosaic(samples, info.bayer_pattern or "")
    return _scaled(samples, significant, bits or (8 if significant == 8 else 16))


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def png_bytes(image: "np.ndarray") -> bytes:
    """A PNG file (grey or RGB, 8 or 16 bits) made with the standard library only."""
    height, width = image.shape[:2]
    channels = 1 if image.ndim == 2 else 3
    depth = 8 * image.dtype.itemsize
    rows = image.astype(image.dtype.newbyteorder(">")).reshape(height, -1).tobytes()
    line = width * channels * image.dtype.itemsize
    raw = b"".join(b"\x00" + rows[y * line:(y + 1) * line] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, depth, 0 if channels == 1 else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header) + _png_chunk(b"IDAT", zlib.compress(raw, 6))
            + _png_chunk(b"IEND", b""))


def encode_png(image: "np.ndarray") -> bytes:
    """A PNG file of the image: Pillow makes it when installed and able (it has no 16-bit RGB),
    else the standard library."""
    try:
        from PIL import Image  # noqa: PLC0415
    except ImportError:
        Image = None
    if Image is None or (image.ndim == 3 and image.dtype.itemsize == 2):
        return png_bytes(image)
    height, width = image.shape[:2]
    mode = ("L" if image.ndim == 2 else "RGB") if image.dtype.itemsize == 1 else "I;16B"
    data = image.astype(image.dtype.newbyteorder(">")).tobytes()
    out = io.BytesIO()
    Image.frombytes(mode, (width, height), data).save(out, format="PNG")
    return out.getvalue()


def write_png(path: Path, image: "np.ndarray") -> None:
    """Writes ``encode_png(image)`` to `path`."""
    path.write_bytes(encode_png(image))


def write_jpeg(path: Path, image: "np.ndarray") -> None:
    """A JPEG file of the image (quality 95) written by Pillow; deeper samples are cut to 8 bits."""
    try:
        from PIL import Image  # noqa: PLC0415
    except ImportError:
        raise ImageError("writing JPEG needs Pillow; install it with `pip install pillow`") from None
    if image.dtype.itemsize == 2:
        image = (image >> 8).astype("uint8")
    Image.fromarray(image, mode="L" if image.ndim == 2 else "RGB").save(path, format="JPEG", quality=95)


def write_tiff(path: Path, image: "np.ndarray") -> None:
    """An uncompressed TIFF of the image's depth (grey or RGB) written by tifffile."""
    try:
        import tifffile  # noqa: PLC0415
    except ImportError:
        raise ImageError("writing TIFF needs tifffile; install it with `pip install tifffile`") from None
    tifffile.imwrite(path, image, photometric="minisblack" if image.ndim == 2 else "rgb")


def write_netpbm(path: Path, image: "np.ndarray", pixel_format: str) -> None:
    """Binary PGM for grey images, PPM for colour ones, by the path's suffix."""
    channels = 1 if image.ndim == 2 else 3
    if path.suffix.lower() == ".pgm" and channels != 1:
        raise ImageError(f"{pixel_format} is a colour format; write it as .ppm")
    if path.suffix.lower() == ".ppm" and channels != 3:
        raise ImageError(f"{pixel_format} is a grey format; write it as .pgm")
    height, width = image.shape[:2]
    magic = b"P5" if channels == 1 else b"P6"
    maxval = 255 if image.dtype.itemsize == 1 else 65535
    data = image.astype(image.dtype.newbyteorder(">")).tobytes()
    path.write_bytes(magic + f"\n{width} {height}\n{maxval}\n".encode() + data)


def write_npy(path: Path, frame: Frame) -> None:
    """The array ``frame.to_numpy()`` gives (line padding dropped), as a numpy array file."""
    np = _numpy()
    try:
        array = frame.to_numpy()
    except ValueError as error:
        raise ImageError(str(error)) from None
    with path.open("wb") as out:
        np.save(out, np.ascontiguousarray(array))


def save_frame(frame: Frame, path: Union[str, Path], *, bits: Optional[int] = None, raw: bool = False) -> Path:
    """Writes `frame` to `path`, choosing the format by its suffix (one of ``SUFFIXES``).

    `bits` (8 or 16) sets the depth of PNG, TIFF and netpbm files, which by default is 8 for
    8-bit formats and 16 for deeper ones, samples scaled to the full range; `raw` keeps a Bayer
    mosaic as grey instead of demosaicing it. ``.npy`` always holds ``to_numpy()``'s array."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in SUFFIXES:
        raise ImageError(f"unknown image suffix {path.suffix!r}: use {', '.join(SUFFIXES)}")
    if suffix == ".npy":
        write_npy(path, frame)
        return path
    image = image_array(frame, bits=bits, raw=raw)
    if suffix == ".png":
        write_png(path, image)
    elif suffix in (".jpg", ".jpeg"):
        write_jpeg(path, image)
    elif suffix in (".tif", ".tiff"):
        write_tiff(path, image)
    else:
        write_netpbm(path, image, frame.pixel_format)
    return path
