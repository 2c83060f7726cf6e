"""``Camera.get(name)`` and ``Camera.set(name, value)``: one read and one write for every
feature, following the feature's kind (enumerations by entry name)."""

from __future__ import annotations

from typing import Union

from ._korvalite_core import Camera, GenicamError

Value = Union[int, float, bool, str]

_VALUE_KINDS = ("integer", "float", "boolean", "enumeration", "string")
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1  # what an integer feature holds


def _unicode(name: str, value: str) -> str:
    """`value` when it can be sent as UTF-8 (no lone surrogates), else GenicamError."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise GenicamError(f"{name} = {value!r} is not valid Unicode text") from None
    return value


def _kind(cam: Camera, name: str) -> str:
    kind = cam.feature_info(name).kind
    if kind == "command":
        raise GenicamError(f"{name} is a command: it has no value; run it with execute('{name}')")
    if kind not in _VALUE_KINDS:
        raise GenicamError(f"{name} is a {kind}: it has no value")
    return kind


def get(cam: Camera, name: str) -> Value:
    """The value of feature `name`, read by its kind: int, float, bool, or str (an
    enumeration's entry name, a string's text)."""
    kind = _kind(cam, name)
    if kind == "integer":
        return cam.get_integer(name)
    if kind == "float":
        return cam.get_float(name)
    if kind == "boolean":
        return cam.get_boolean(name)
    return cam.get_string(name)


def set(cam: Camera, name: str, value: Value) -> None:  # noqa: A001 - the method's name
    """Writes `value` to feature `name` by its kind; the write is checked like the kind's own
    setter. An integer feature takes an int (or a float with no fraction), an enumeration an
    entry name, a boolean a bool."""
    kind = _kind(cam, name)
    if kind == "integer":
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int):
            raise GenicamError(f"{name} = {value!r} is not an integer")
        if not INT64_MIN <= value <= INT64_MAX:
            raise GenicamError(f"{name} = {value!r} is out of the 64-bit integer range")
        cam.set_integer(name, value)
    elif kind == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise GenicamError(f"{name} = {value!r} is not a number")
        try:
            number = float(value)
        except OverflowError:
            raise GenicamError(f"{name} = {value!r} is too large for a float") from None
        cam.set_float(name, number)
    elif kind == "boolean":
        if not isinstance(value, bool):
            raise GenicamError(f"{name} = {value!r} is not a boolean")
        cam.set_boolean(name, value)
    elif kind == "enumeration":
        if not isinstance(value, str):
            raise GenicamError(f"{name} = {value!r} is not an entry name")
        cam.set_enum(name, _unicode(name, value))
    else:
        if not isinstance(value, str):
            raise GenicamError(f"{name} = {value!r} is not a string")
        cam.set_string(name, _unicode(name, value))
