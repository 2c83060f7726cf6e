"""korvalite: a GigE Vision camera driver with a C++ core.

Find cameras with ``discover()``, open ``Camera(ip)``, read and write GenICam features by
name, and capture frames.
"""

from . import _korvalite_core
from ._korvalite_core import *  # noqa: F401,F403
from ._korvalite_core import CameraError, GenicamError, __version__
from . import _logging
from . import _exit  # noqa: F401  (after _logging: its exit hook runs first)
from .images import demosaic, yuv422_to_rgb

CameraException = CameraError
GenicamException = GenicamError

_logging.install()

from . import _feature_access, _settings  # noqa: E402

Camera.get = _feature_access.get
Camera.set = _feature_access.set
Camera.save_features = _settings.save_features
Camera.load_features = _settings.load_features

__all__ = [name for name in dir(_korvalite_core) if not name.startswith("_")] + [
    "CameraException",
    "GenicamException",
    "demosaic",
    "yuv422_to_rgb",
]
