"""Settings files: ``Camera.save_features(path)`` writes every streamable feature a camera can
read and write, ``Camera.load_features(path)`` writes them back. The format is described in the
README ("Settings files"); in short::

    # korvalite settings 1
    # vendor: korvalite
    # model: SimCam-1
    Width = 640
    PixelFormat = Mono8
    DeviceUserID = "line camera 2"
    Gain[GainSelector=DigitalAll] = 1.5
    GainSelector = AnalogAll

A file is read whole (a regular file of at most ``MAX_FILE_SIZE`` bytes) before the camera is
touched. Loading applies only what saving writes: streamable features, never the transport
layer's own settings (``TRANSPORT_FEATURES``), unless the caller asks for every feature.
"""

from __future__ import annotations

import json
import os
import re
import stat
from dataclasses import dataclass, field
from typing import Callable, Optional, Union

from ._feature_access import get, set as set_value
from ._korvalite_core import AccessMode, Camera, CameraError, GenicamError

HEADER = "# korvalite settings 1"
# Far more than any camera's settings; a larger file is refused before it is read.
MAX_FILE_SIZE = 4 * 1024 * 1024
# Who controls the camera, its heartbeat, where the stream and messages go and in what packets:
# korvalite sets these itself, and a file that carried them could take the camera or its stream
# away from the program loading it.
TRANSPORT_FEATURES = frozenset({
    "GevCCP", "GevHeartbeatTimeout", "GevGVCPHeartbeatDisable", "DeviceLinkHeartbeatTimeout",
    "DeviceLinkHeartbeatMode", "GevSCDA", "GevSCPHostPort", "GevSCSP", "GevSCPSPacketSize",
    "DeviceStreamChannelPacketSize", "GevSCPSFireTestPacket", "GevSCPSDoNotFragment", "GevMCDA",
    "GevMCPHostPort", "GevMCSP", "GevMCTT", "GevMCRC", "GevPrimaryApplicationSocket",
    "GevPrimaryApplicationIPAddress", "GevPersistentIPAddress", "GevPersistentSubnetMask",
    "GevPersistentDefaultGateway", "GevCurrentIPConfigurationLLA", "GevCurrentIPConfigurationDHCP",
    "GevCurrentIPConfigurationPersistentIP",
})
_VALUE_KINDS = ("integer", "float", "boolean", "enumeration", "string")
# Integer selectors with more values than this are saved at their current value only.
_MAX_SELECTOR_VALUES = 256
# Lines that failed are tried again while that makes progress, at most this many times in all
# (a bound may depend on a feature written later; such chains are short).
_MAX_PASSES = 4
_NAME = r"[A-Za-z_][\w.]*"
_NAME_ONLY = re.compile(rf"^{_NAME}$")
# An entry name or a number as a line writes it: nothing that could end or split the line.
_TOKEN = re.compile(r"^[\w.:+\-]+$", re.ASCII)
_LINE = re.compile(rf"^(?P<name>{_NAME})(\[(?P<sel>{_NAME})=(?P<selval>[^\]]*)\])?\s*=\s?(?P<value>.*)$")
_INT64 = (-(1 << 63), (1 << 64) - 1)


@dataclass(frozen=True)
class LoadFailure:
    """A line of a settings file that could not be applied, and why."""

    line: int
    feature: str
    reason: str

    def __str__(self) -> str:
        return f"line {self.line}: {self.feature}: {self.reason}"


def _text(kind: str, value) -> str:
    if kind == "boolean":
        return "true" if value else "false"
    if kind == "float":
        return repr(float(value))
    if kind == "string":
        return json.dumps(value, ensure_ascii=False)
    text = str(value)
    if not _TOKEN.match(text):
        raise ValueError(f"{text!r} cannot be written to a settings file line")
    return text


def _parse(kind: str, text: str):
    if kind == "integer":
        value = int(text, 0)
        if not _INT64[0] <= value <= _INT64[1]:
            raise ValueError(f"out of the 64-bit integer range: {text}")
        return value
    if kind == "float":
        return float(text)
    if kind == "boolean":
        if text in ("true", "false"):
            return text == "true"
        raise ValueError(f"not a boolean: {text!r}")
    if kind == "string":
        value = json.loads(text)
        if not isinstance(value, str):
            raise ValueError(f"not a quoted string: {text!r}")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"not valid Unicode text: {text!r}") from None
        return value
    if not _TOKEN.match(text):
        raise ValueError(f"not an entry name: {text!r}")
    return text


def _names(cam: Camera) -> list:
    seen = []
    known = set()
    for name in cam.feature_names():
        if not name.startswith("_") and name not in known:
            known.add(name)
            seen.append(name)
    return seen


def _info(cam: Camera, name: str):
    try:
        return cam.feature_info(name)
    except (GenicamError, CameraError):
        return None


def _writable_value(info) -> bool:
    return info is not None and info.kind in _VALUE_KINDS and info.access_mode == AccessMode.RW


def _savable(info) -> bool:
    """Whether the feature belongs in a settings file."""
    return _writable_value(info) and info.is_streamable and info.name not in TRANSPORT_FEATURES


def _selector_values(cam: Camera, info) -> list:
    if info.kind == "enumeration":
        return [e.name for e in info.entries if e.is_available]
    if info.kind == "integer" and info.min is not None and info.inc:
        count = (info.max - info.min) // info.inc + 1
        if count <= _MAX_SELECTOR_VALUES:
            return list(range(info.min, info.max + 1, info.inc))
    if info.kind == "boolean":
        return [False, True]
    return [get(cam, info.name)]


def _comment_text(text: str) -> str:
    """`text` on one comment line: characters that could end or break the line are escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def _identity(cam: Camera, feature: str, fallback: str) -> str:
    """The description's `feature`, else the device's identity field `fallback`."""
    try:
        if cam.has_feature(feature):
            text = cam.get_string(feature)
            if text:
                return _comment_text(text)
    except (GenicamError, CameraError):
        pass
    try:
        return _comment_text(getattr(cam.device_info(), fallback))
    except (GenicamError, CameraError):
        return ""


Progress = Optional[Callable[[int, int], None]]


def save_features(cam: Camera, path: Union[str, os.PathLike], *, progress: Progress = None) -> list:
    """Writes every streamable, readable and writable feature to `path`; selected features
    once per value of their selector (each selector is put back afterwards). Returns the
    features that could not be read, which also appear as comments in the file.
    `progress(done, total)`, when given, is called as the features are looked at."""
    names = _names(cam)
    all_infos = {}
    for number, name in enumerate(names, start=1):
        all_infos[name] = _info(cam, name)
        if progress is not None and (number % 16 == 0 or number == len(names)):
            progress(number, len(names))
    infos = {name: info for name, info in all_infos.items() if _savable(info)}
    # A selector selects for saving even when it is not saved itself.
    selectors = {name: info for name, info in all_infos.items()
                 if _writable_value(info) and info.kind != "string" and info.selected}
    selected_by = {}
    for name, info in selectors.items():
        for target in info.selected:
            if target in infos and target != name:
                selected_by.setdefault(target, name)
    # Features that lock others come first: written while the rest is still to come, a saved
    # "unlocked" lets the others be written.
    lockers = {info.locked_by for info in infos.values()}
    infos = {name: infos[name] for name in sorted(infos, key=lambda n: n not in lockers)}
    lines = [HEADER, f"# vendor: {_identity(cam, 'DeviceVendorName', 'manufacturer')}",
             f"# model: {_identity(cam, 'DeviceModelName', 'model')}"]
    problems = []

    def read_line(name: str, prefix: str) -> None:
        try:
            lines.append(f"{prefix} = {_text(infos[name].kind, get(cam, name))}")
        except (GenicamError, CameraError, ValueError) as error:
            problems.append((name, str(error)))
            lines.append(f"# {_comment_text(prefix)}: not saved: {_comment_text(str(error))}")

    visited = set()
    for name in [*infos, *selectors]:
        if name in selected_by or name in visited:
            continue
        visited.add(name)
        if not _NAME_ONLY.match(name):
            problems.append((name, "its name cannot be written to a settings file line"))
            continue
        targets = [t for t in all_infos[name].selected if selected_by.get(t) == name] if name in selectors else []
        if targets:
            _visit_selector(cam, selectors[name], targets, read_line, problems)
        if name in infos:
            read_line(name, name)
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(lines) + "\n")
    return problems


def _visit_selector(cam: Camera, info, targets: list, read_line, problems: list) -> None:
    """Reads the `targets` at each value of the selector `info`, then puts the selector back.
    A selector whose current value could not be written back is left alone: the targets are
    saved at the current selection."""
    name = info.name

    def prefix(target: str, value) -> Optional[str]:
        try:
            return f"{target}[{name}={_text(info.kind, value)}]"
        except ValueError as error:
            problems.append((target, str(error)))
            return None

    def read_all(value) -> None:
        for target in targets:
            line_prefix = prefix(target, value)
            if line_prefix is not None:
                read_line(target, line_prefix)

    try:
        original = get(cam, name)
    except (GenicamError, CameraError) as error:
        problems.append((name, str(error)))
        return
    values = _selector_values(cam, info)
    if original not in values:
        read_all(original)
        return
    try:
        for value in values:
            try:
                set_value(cam, name, value)
            except (GenicamError, CameraError):
                continue
            read_all(value)
    finally:
        try:
            set_value(cam, name, original)
        except (GenicamError, CameraError) as error:
            problems.append((name, f"not put back to {original!r}: {error}"))


@dataclass
class _Entry:
    line: int
    name: str
    value: str
    selector: Optional[str] = None
    selector_value: Optional[str] = None

    def label(self) -> str:
        return self.name if self.selector is None else f"{self.name}[{self.selector}={self.selector_value}]"


@dataclass
class SettingsFile:
    """A settings file as read: its entries and the lines that could not be read."""

    source: str
    entries: list = field(default_factory=list)
    unreadable: list = field(default_factory=list)  # LoadFailure


def _read_bytes(path) -> bytes:
    """The file's bytes: a regular file of at most MAX_FILE_SIZE bytes, opened without waiting
    (a FIFO or device is refused, never read)."""
    name = os.fspath(path)
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise GenicamError(f"{name}: not a regular file")
        if info.st_size > MAX_FILE_SIZE:
            raise GenicamError(f"{name}: {info.st_size} bytes, more than a settings file may hold ({MAX_FILE_SIZE})")
        chunks = []
        size = 0
        while size <= MAX_FILE_SIZE:
            chunk = os.read(fd, MAX_FILE_SIZE + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > MAX_FILE_SIZE:
            raise GenicamError(f"{name}: more than a settings file may hold ({MAX_FILE_SIZE} bytes)")
        return b"".join(chunks)
    finally:
        os.close(fd)


def read_settings(path: Union[str, os.PathLike]) -> SettingsFile:
    """Reads and parses the settings file `path` without touching any camera. Raises
    GenicamError when it is not a settings file at all; a line that cannot be read is kept
    as a LoadFailure."""
    name = os.fspath(path)
    raw = _read_bytes(path).split(b"\n")
    first = raw[0].decode("utf-8", errors="replace").strip() if raw else ""
    if first != HEADER:
        raise GenicamError(f"{name}: not a korvalite settings file (the first line must be '{HEADER}')")
    settings = SettingsFile(name)
    for number, line in enumerate(raw[1:], start=2):
        try:
            stripped = line.decode("utf-8").strip()
        except UnicodeDecodeError:
            settings.unreadable.append(LoadFailure(number, "?", "not UTF-8 text"))
            continue
        if not stripped or stripped.startswith("#"):
            continue
        match = _LINE.match(stripped)
        if not match:
            settings.unreadable.append(LoadFailure(number, "?", f"not 'Feature = value': {stripped[:80]!r}"))
            continue
        settings.entries.append(_Entry(number, match["name"], match["value"].strip(), match["sel"], match["selval"]))
    return settings


class _Loader:
    """Applies the entries of one settings file to a camera."""

    def __init__(self, cam: Camera, streamable_only: bool) -> None:
        self.cam = cam
        self.streamable_only = streamable_only
        self.infos: dict = {}

    def info(self, name: str):
        if name not in self.infos:
            self.infos[name] = self.cam.feature_info(name)
        return self.infos[name]

    def check(self, entry: _Entry) -> None:
        """Refuses an entry that loading may not apply."""
        info = self.info(entry.name)
        if self.streamable_only:
            hint = " (load with streamable_only=False to apply it)"
            if entry.name in TRANSPORT_FEATURES:
                raise ValueError("a transport-layer setting: korvalite sets it itself" + hint)
            if not info.is_streamable:
                raise ValueError("not streamable: settings files apply only the features the camera marks so" + hint)
        if entry.selector is not None and entry.name not in self.info(entry.selector).selected:
            raise ValueError(f"{entry.selector} does not select {entry.name}")

    def apply(self, entry: _Entry) -> None:
        if entry.selector is not None:
            set_value(self.cam, entry.selector, _parse(self.info(entry.selector).kind, entry.selector_value))
        set_value(self.cam, entry.name, _parse(self.info(entry.name).kind, entry.value))

    def attempt(self, entry: _Entry, failures: list, step) -> None:
        try:
            step(entry)
        except (GenicamError, CameraError, ValueError, TypeError, OverflowError) as error:
            failures.append((entry, str(error)))


def load_features(cam: Camera, path: Union[str, os.PathLike], strict: bool = True, *,
                  streamable_only: bool = True, progress: Progress = None) -> list:
    """Writes the values of the settings file `path` to the camera. Lines are applied in file
    order, then those that failed are tried again while that makes progress (a bound may depend
    on a feature written later), and finally each selector is set to its saved value again (or
    to the value it had before, when the file does not save it). Returns the lines that could not
    be applied (LoadFailure: line, feature, reason); with `strict` (the default) any such line
    raises GenicamError listing them all, after everything else has been applied.

    Only features the camera marks streamable are applied, never the transport layer's own
    settings (control, heartbeat, stream destination, packet size); `streamable_only=False`
    applies every writable feature the file names. `progress(done, total)`, when given, is
    called as the lines are applied."""
    return apply_settings(cam, read_settings(path), strict, streamable_only=streamable_only, progress=progress)


def apply_settings(cam: Camera, settings: SettingsFile, strict: bool = True, *,
                   streamable_only: bool = True, progress: Progress = None) -> list:
    """`load_features` for a file already read with `read_settings`."""
    loader = _Loader(cam, streamable_only)
    refused: list = []
    entries = []
    for entry in settings.entries:
        before = len(refused)
        loader.attempt(entry, refused, loader.check)
        if len(refused) == before:
            entries.append(entry)
    plain = {entry.name: entry for entry in entries if entry.selector is None}
    used_selectors = {entry.selector for entry in entries if entry.selector is not None}
    # Selectors the file uses but does not save go back to the value they have now.
    restore = {}
    for name in used_selectors - plain.keys():
        try:
            restore[name] = get(cam, name)
        except (GenicamError, CameraError):
            pass

    pending = entries
    failures: list = []
    for _ in range(_MAX_PASSES):
        failures = []
        for number, entry in enumerate(pending, start=1):
            loader.attempt(entry, failures, loader.apply)
            if progress is not None and (number % 16 == 0 or number == len(pending)):
                progress(number, len(pending))
        if not failures or len(failures) == len(pending):
            break
        pending = [entry for entry, _ in failures]
    failed = {id(entry) for entry, _ in failures}
    for name in used_selectors:
        entry = plain.get(name)
        if entry is not None and id(entry) not in failed:
            loader.attempt(entry, failures, loader.apply)
        elif name in restore:
            # Best effort: the file's own lines are what loading reports on.
            try:
                set_value(cam, name, restore[name])
            except (GenicamError, CameraError):
                pass
    report = list(settings.unreadable)
    report += [LoadFailure(entry.line, entry.label(), reason) for entry, reason in refused + failures]
    report.sort(key=lambda failure: failure.line)
    if strict and report:
        error = GenicamError(f"{settings.source}: {len(report)} setting(s) not applied:\n" +
                             "\n".join(str(r) for r in report))
        error.failures = report
        raise error
    return report
