"""The command line's feature views: the visibility filter and ``--verbose`` details of
``features``, ``--json`` output of ``features``, ``get`` and ``info``, and the ``save`` and
``load`` commands for settings files."""

from __future__ import annotations

import argparse
import json
from typing import Iterator, Optional

import korvalite

from . import _settings, features
from ._progress import status

VISIBILITY_LEVELS = ("beginner", "expert", "guru")
_RANK = {"Beginner": 0, "Expert": 1, "Guru": 2, "Invisible": 3}


def add_feature_options(features: argparse.ArgumentParser, get: argparse.ArgumentParser,
                        info: argparse.ArgumentParser) -> None:
    features.add_argument("--visibility", choices=VISIBILITY_LEVELS, default="beginner",
                          help="show the features meant for this level and below (default %(default)s); "
                               "guru shows every node, helpers included")
    features.add_argument("--verbose", action="store_true",
                          help="also show display names, tooltips, units, ranges and entries")
    for parser in (features, get, info):
        parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def visible(cam: korvalite.Camera, level: str) -> Iterator[tuple[int, str]]:
    """(depth, name) of the category tree with the features meant for `level`; guru: every
    feature, flat, helpers included."""
    if level == "guru":
        for name in features.feature_list(cam):
            yield 0, name
        return
    limit = VISIBILITY_LEVELS.index(level)
    hidden_depth: Optional[int] = None
    for depth, name in features.walk_tree(cam):
        if hidden_depth is not None and depth > hidden_depth:
            continue  # below a hidden category
        hidden_depth = None
        try:
            rank = _RANK[cam.feature_info(name).visibility]
        except (korvalite.GenicamError, korvalite.CameraError):
            rank = 0
        if rank > limit:
            hidden_depth = depth
            continue
        yield depth, name


def details(info) -> dict:
    """What --verbose and --json say about one feature."""
    out = {"name": info.name, "kind": info.kind, "access_mode": repr(info.access_mode).split(".")[-1],
           "display_name": info.display_name, "visibility": info.visibility}
    for key in ("tooltip", "description", "unit", "representation"):
        if getattr(info, key):
            out[key] = getattr(info, key)
    if info.min is not None:
        out["min"], out["max"] = info.min, info.max
    if info.inc is not None:
        out["inc"] = info.inc
    if info.kind == "enumeration":
        out["entries"] = [{"name": e.name, "value": e.value, "display_name": e.display_name,
                           "available": e.is_available} for e in info.entries]
    return out


def verbose_lines(info) -> list:
    d = details(info)
    lines = []
    if info.display_name != info.name:
        lines.append(f"display name: {info.display_name}")
    if info.tooltip:
        lines.append(f"tooltip: {info.tooltip}")
    if "min" in d:
        unit = f" {info.unit}" if info.unit else ""
        step = f" step {d['inc']}" if d.get("inc", 1) != 1 else ""
        lines.append(f"range: {d['min']} .. {d['max']}{step}{unit}")
    elif info.unit:
        lines.append(f"unit: {info.unit}")
    if info.kind == "enumeration":
        lines.append("entries: " + ", ".join(e.name + ("" if e.is_available else " (unavailable)")
                                             for e in info.entries))
    return lines


def print_features(cam: korvalite.Camera, args: argparse.Namespace) -> None:
    shown = list(visible(cam, args.visibility))
    if args.json:
        out = []
        for _, name in shown:
            try:
                entry = details(cam.feature_info(name))
            except (korvalite.GenicamError, korvalite.CameraError) as error:
                entry = {"name": name, "error": str(error)}
            if args.values and entry.get("kind") in ("integer", "float", "boolean", "enumeration", "string"):
                try:
                    entry["value"] = cam.get(name)
                except (korvalite.GenicamError, korvalite.CameraError) as error:
                    entry["error"] = str(error)
            out.append(entry)
        print(json.dumps(out, indent=2))
        return
    for depth, name in shown:
        indent = "  " * depth if args.tree else ""
        print(indent + features.describe(cam, name, with_value=args.values))
        if args.verbose:
            try:
                lines = verbose_lines(cam.feature_info(name))
            except (korvalite.GenicamError, korvalite.CameraError) as error:
                lines = [str(error)]
            for line in lines:
                print(indent + "    " + line)


def cmd_save(args: argparse.Namespace) -> int:
    """Writes the camera's streamable features to a settings file."""
    cam = korvalite.Camera(args.ip, gvcp_timeout=args.gvcp_timeout)
    try:
        with status(f"connecting to {args.ip} ...") as line:
            cam.connect()
            problems = _settings.save_features(cam, args.file, progress=line.counter("saving"))
    finally:
        cam.disconnect()
    for name, reason in problems:
        print(f"not saved: {name}: {reason}")
    print(f"saved to {args.file}")
    return 1 if problems else 0


def cmd_load(args: argparse.Namespace) -> int:
    """Writes the values of a settings file to the camera; lists the lines it could not apply."""
    settings = _settings.read_settings(args.file)  # read whole before the camera is taken
    cam = korvalite.Camera(args.ip, gvcp_timeout=args.gvcp_timeout)
    try:
        with status(f"connecting to {args.ip} ...") as line:
            cam.connect()
            failures = _settings.apply_settings(cam, settings, strict=False, progress=line.counter("loading"))
    finally:
        cam.disconnect()
    for failure in failures:
        print(f"not applied: {failure}")
    print(f"loaded {args.file}" + (f" except {len(failures)} line(s)" if failures else ""))
    return 1 if failures else 0


def add_settings_commands(command, camera: argparse.ArgumentParser) -> None:
    p = command("save", cmd_save, "save the camera's settings (its streamable features) to a file", camera)
    p.add_argument("file", help="the settings file to write")
    p = command("load", cmd_load, "load settings from a file into the camera", camera)
    p.add_argument("file", help="the settings file to read")
