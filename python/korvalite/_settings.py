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
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass
from typing import Optional, Union

from ._feature_access import get, set as set_value
from ._korvalite_core import AccessMode, Camera, CameraError, GenicamError

HEADER = "# korvalite settings 1"
_VALUE_KINDS = ("integer", "float", "boolean", "enumeration", "string")
# Integer selectors with more values than this are saved at their current value only.
_MAX_SELECTOR_VALUES = 256
_LINE = re.compile(r"^(?P<name>[A-Za-z_][\w.]*)(\[(?P<sel>[A-Za-z_][\w.]*)=(?P<selval>[^\]]*)\])?\s*=\s?(?P<value>.*)$")


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
    return str(value)


def _parse(kind: str, text: str):
    if kind == "integer":
        return int(text, 0)
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
        return value
    return text


def _names(cam: Camera) -> list:
    seen = []
    known = set()
    for name in cam.feature_names():
        if not name.startswith("_") and name not in known:
            known.add(name)
            seen.append(name)
    return seen


def _savable(cam: Camera, name: str):
    """The feature's information when it belongs in a settings file, else None."""
    try:
        info = cam.feature_info(name)
    except (GenicamError, CameraError):
        return None
    if not info.is_streamable or info.kind not in _VALUE_KINDS:
        return None
    if info.access_mode != AccessMode.RW:
        return None
    return info


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


def _model(cam: Camera, feature: str) -> str:
    try:
        return cam.get_string(feature) if cam.has_feature(feature) else ""
    except (GenicamError, CameraError):
        return ""


def save_features(cam: Camera, path: Union[str, os.PathLike]) -> list:
    """Writes every streamable, readable and writable feature to `path`; selected features
    once per value of their selector (each selector is put back afterwards). Returns the
    features that could not be read, which also appear as comments in the file."""
    infos = {}
    for name in _names(cam):
        info = _savable(cam, name)
        if info is not None:
            infos[name] = info
    selected_by = {}
    for name, info in infos.items():
        for target in info.selected:
            if target in infos and target != name:
                selected_by.setdefault(target, name)
    # Features that lock others come first: written while the rest is still to come, a saved
    # "unlocked" lets the others be written.
    lockers = {info.locked_by for info in infos.values()}
    infos = {name: infos[name] for name in sorted(infos, key=lambda n: n not in lockers)}
    lines = [HEADER, f"# vendor: {_model(cam, 'DeviceVendorName')}", f"# model: {_model(cam, 'DeviceModelName')}"]
    problems = []

    def read_line(name: str, prefix: str) -> None:
        try:
            lines.append(f"{prefix} = {_text(infos[name].kind, get(cam, name))}")
        except (GenicamError, CameraError) as error:
            problems.append((name, str(error)))
            lines.append(f"# {prefix}: not saved: {error}")

    for name, info in infos.items():
        if name in selected_by:
            continue
        targets = [t for t in info.selected if selected_by.get(t) == name]
        if targets:
            _visit_selector(cam, info, targets, read_line, problems)
        read_line(name, name)
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(lines) + "\n")
    return problems


def _visit_selector(cam: Camera, info, targets: list, read_line, problems: list) -> None:
    """Reads the `targets` at each value of the selector `info`, then puts the selector back.
    A selector whose current value could not be written back is left alone: the targets are
    saved at the current selection."""
    name = info.name
    original = get(cam, name)
    values = _selector_values(cam, info)
    if original not in values:
        for target in targets:
            read_line(target, f"{target}[{name}={_text(info.kind, original).strip(chr(34))}]")
        return
    try:
        for value in values:
            try:
                set_value(cam, name, value)
            except (GenicamError, CameraError):
                continue
            for target in targets:
                read_line(target, f"{target}[{name}={_text(info.kind, value).strip(chr(34))}]")
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


def _read_entries(path) -> list:
    with open(path, encoding="utf-8") as f:
        text = f.read().splitlines()
    if not text or text[0].strip() != HEADER:
        raise GenicamError(f"{os.fspath(path)}: not a korvalite settings file (the first line must be '{HEADER}')")
    entries = []
    for number, line in enumerate(text[1:], start=2):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        match = _LINE.match(stripped)
        if not match:
            raise GenicamError(f"{os.fspath(path)}: line {number}: not 'Feature = value': {stripped!r}")
        entries.append(_Entry(number, match["name"], match["value"].strip(), match["sel"], match["selval"]))
    return entries


def load_features(cam: Camera, path: Union[str, os.PathLike], strict: bool = True) -> list:
    """Writes the values of the settings file `path` to the camera. Lines are applied in file
    order, then those that failed are tried again while that makes progress (a bound may depend
    on a feature written later), and finally each selector is set to its saved value again.
    Returns the lines that could not be applied (LoadFailure: line, feature, reason); with
    `strict` (the default) any such line raises GenicamError listing them all, after everything
    else has been applied."""
    entries = _read_entries(path)
    kinds = {}

    def apply(entry: _Entry) -> None:
        if entry.selector is not None:
            set_value(cam, entry.selector, _parse(kind_of(entry.selector), entry.selector_value))
        set_value(cam, entry.name, _parse(kind_of(entry.name), entry.value))

    def kind_of(name: str) -> str:
        if name not in kinds:
            kinds[name] = cam.feature_info(name).kind
        return kinds[name]

    pending = entries
    failures = []
    while pending:
        failures = []
        for entry in pending:
            try:
                apply(entry)
            except (GenicamError, CameraError, ValueError) as error:
                failures.append((entry, str(error)))
        if len(failures) == len(pending):
            break
        pending = [entry for entry, _ in failures]
    failed = {id(entry) for entry, _ in failures}
    for entry in entries:
        if entry.selector is None and id(entry) not in failed and kinds.get(entry.name) and any(
                e.selector == entry.name for e in entries):
            try:
                apply(entry)
            except (GenicamError, CameraError, ValueError) as error:
                failures.append((entry, str(error)))
    report = [LoadFailure(entry.line, entry.name if entry.selector is None else
                          f"{entry.name}[{entry.selector}={entry.selector_value}]", reason)
              for entry, reason in failures]
    if strict and report:
        error = GenicamError(f"{os.fspath(path)}: {len(report)} setting(s) not applied:\n" +
                             "\n".join(str(r) for r in report))
        error.failures = report
        raise error
    return report
