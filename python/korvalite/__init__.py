"""korvalite: a GigE Vision camera driver with a C++ core.

Find cameras with ``discover()``, open ``Camera(ip)``, read and write GenICam features by
name, and capture frames.
"""

from . import _korvalite_core, _signatures

# Before the names are re-exported: the extension's functions and methods get signatures that
# `inspect` and `help()` read.
_signatures.sign_module(_korvalite_core)

# Each name spelled out (not `import *`), so type checkers see what the package exports.
from ._korvalite_core import (  # noqa: E402
    AccessMode,
    Acquisition,
    CameraBusyError,
    CameraError,
    CameraTimeoutError,
    DeviceInfo,
    EnumEntryInfo,
    Event,
    EventSubscription,
    FeatureInfo,
    Frame,
    FrameChannel,
    FrameStatus,
    GenicamError,
    GenicamTimeoutError,
    LinkStats,
    PixelFormatInfo,
    SnapshotSession,
    StreamStats,
    __version__ as __version__,
    discover,
    pixel_formats,
)
from . import _logging  # noqa: E402
from . import _exit  # noqa: F401,E402  (after _logging: its exit hook runs first)
from .images import demosaic, yuv422_to_rgb  # noqa: E402

CameraException = CameraError
GenicamException = GenicamError

_logging.install()

# The camera users make: the extension's class with the methods written in Python.
from ._camera import Camera  # noqa: E402

__all__ = [
    "CameraError",
    "CameraBusyError",
    "GenicamError",
    "CameraTimeoutError",
    "GenicamTimeoutError",
    "Camera",
    "EnumEntryInfo",
    "FeatureInfo",
    "SnapshotSession",
    "Acquisition",
    "Frame",
    "PixelFormatInfo",
    "pixel_formats",
    "FrameChannel",
    "Event",
    "EventSubscription",
    "FrameStatus",
    "AccessMode",
    "StreamStats",
    "LinkStats",
    "DeviceInfo",
    "discover",
    "CameraException",
    "GenicamException",
    "demosaic",
    "yuv422_to_rgb",
]
