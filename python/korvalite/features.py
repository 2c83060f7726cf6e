"""Features whatever their kind: what kind a feature is, its value read by that kind, a value
written from text, and the category tree below ``Root``.

    from korvalite import features

    for depth, name in features.walk_tree(cam):
        print("  " * depth + features.describe(cam, name, with_value=True))
"""

from __future__ import annotations

from typing import Any, Iterator, Union

import korvalite
from korvalite import Camera

from ._feature_access import INT64_MAX, INT64_MIN

Value = Union[int, float, bool, str]

def _introspect() -> Any:
    return getattr(korvalite._korvalite_core, "_introspect")


def feature_kind(cam: Camera, name: str) -> str:
    """One of: category, command, enumeration, integer, float, number (a formula: integer or
    float), boolean, string, register, port."""
    return str(_introspect().feature_kind(cam, name))


def read_value(cam: Camera, name: str) -> Value:
    """The feature's value, read by its kind."""
    kind = feature_kind(cam, name)
    if kind == "enumeration":
        return cam.get_enum(name)
    if kind == "integer":
        return cam.get_integer(name)
    if kind == "float":
        return cam.get_float(name)
    if kind == "number":
        value = cam.get_float(name)
        return int(value) if value.is_integer() else value
    if kind == "boolean":
        return cam.get_boolean(name)
    if kind == "string":
        return cam.get_string(name)
    raise ValueError(f"feature '{name}' is a {kind}; it has no value to read")


def parse_value(kind: str, text: str) -> Value:
    """`text` as a value for a feature of `kind`; ValueError naming the kind when it is not one,
    also for an integer beyond 64 bits and for text that is not valid Unicode."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"not valid Unicode text: {text!r}") from None
    if kind in ("integer", "float", "number"):
        return _parse_number(kind, text)
    if kind == "boolean":
        lowered = text.strip().lower()
        if lowered in ("1", "true", "yes", "on"):
            return True
        if lowered in ("0", "false", "no", "off"):
            return False
        raise ValueError(f"not a boolean: {text!r} (use true/false, 1/0, on/off)")
    return text


def _parse_number(kind: str, text: str) -> Union[int, float]:
    """An int for integer and number features (when `text` is one), a float for float and number."""
    if kind != "float":
        try:
            value = int(text, 0)
        except ValueError:
            value = None
        if value is not None:
            if not INT64_MIN <= value <= INT64_MAX:
                raise ValueError(f"{text.strip()} is out of the 64-bit integer range")
            return value
    if kind != "integer":
        try:
            return float(text)
        except ValueError:
            pass
    article = "an" if kind == "integer" else "a"
    raise ValueError(f"not a number: {text!r} (the feature is {article} {kind})")


def write_value(cam: Camera, name: str, text: str) -> None:
    """Writes `text`, parsed by the feature's kind."""
    kind = feature_kind(cam, name)
    setters: dict = {"enumeration": cam.set_enum, "integer": cam.set_integer, "float": cam.set_float,
               "boolean": cam.set_boolean, "string": cam.set_string}
    value = parse_value(kind, text)
    if kind == "number":
        kind = "integer" if isinstance(value, int) else "float"
    if kind not in setters:
        raise ValueError(f"feature '{name}' is a {kind}; it cannot be set")
    setters[kind](name, value)


def feature_list(cam: Camera) -> list[str]:
    """Named features (nodes whose names do not start with an underscore), in description order."""
    seen = set()
    out = []
    for name in cam.feature_names():
        if name.startswith("_") or name in seen:
            continue
        seen.add(name)
        out.append(name)
    return out


def walk_tree(cam: Camera, root: str = "Root") -> Iterator[tuple[int, str]]:
    """(depth, name) for the category tree below `root`, depth first; each category once."""
    intro = _introspect()
    if not cam.has_feature(root):
        for name in feature_list(cam):
            yield 0, name
        return
    visited = set()
    stack = [(0, root)]
    while stack:
        depth, name = stack.pop()
        yield depth, name
        if name in visited:
            continue
        visited.add(name)
        children = intro.category_features(cam, name) if feature_kind(cam, name) == "category" else []
        stack.extend((depth + 1, child) for child in reversed(children))


def describe(cam: Camera, name: str, with_value: bool) -> str:
    """`name  [kind, access]` and, with `with_value`, ` = value` (or the read's error)."""
    try:
        kind = feature_kind(cam, name)
    except korvalite.GenicamError as error:
        return f"{name}  ({error})"
    text = f"{name}  [{kind}"
    if kind not in ("category", "port"):
        try:
            text += f", {cam.access_mode(name)!r}".replace("AccessMode.", "")
        except (korvalite.GenicamError, korvalite.CameraError):
            pass
    text += "]"
    if with_value and kind in ("enumeration", "integer", "float", "number", "boolean", "string"):
        try:
            text += f" = {read_value(cam, name)!r}"
        except (korvalite.GenicamError, korvalite.CameraError) as error:
            text += f" = <{error}>"
    return text
