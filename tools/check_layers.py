#!/usr/bin/env python3
"""Checks the core's include graph against its layering (docs/architecture.md).

Every file under src/korvalite and include/korvalite belongs to one layer, named by its folder.
A layer may include only the layers listed for it below, the folder graph must have no cycle, a
folder's detail/ headers are included only from inside that folder, public headers
(include/korvalite) include only public headers, and the bindings (src/python) include only
public headers. Prints each violation and exits 1 if there is any.
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORE = ROOT / "src" / "korvalite"
PUBLIC = ROOT / "include" / "korvalite"
BINDINGS = ROOT / "src" / "python"
INCLUDE = re.compile(r'^\s*#\s*include\s+"korvalite/([^"]+)"', re.M)

# Layer -> the layers it may include (itself always allowed). Longest folder prefix wins.
ALLOWED = {
    "base": set(),
    "gige/proto": {"base"},
    "gige/control": {"gige/proto", "base"},
    "gige/stream": {"gige/control", "gige/proto", "base"},
    "gige": {"gige/proto", "base"},
    "genicam": {"base"},
    "pixel": {"base"},
    "sim": {"gige/proto", "pixel", "base"},
    "device": {"gige/stream", "gige/control", "gige/proto", "gige", "genicam", "pixel", "base"},
}
BASE_FOLDERS = {"", "net"}


def layer_of(relative: str) -> str:
    parts = relative.split("/")[:-1]
    while parts and parts[-1] == "detail":
        parts.pop()
    folder = "/".join(parts)
    if folder in BASE_FOLDERS:
        return "base"
    for candidate in sorted(ALLOWED, key=len, reverse=True):
        if folder == candidate or folder.startswith(candidate + "/"):
            return candidate
    return folder


def includes(path: Path) -> list[str]:
    return INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace"))


def sources(root: Path) -> list[Path]:
    return [p for p in sorted(root.rglob("*")) if p.suffix in (".cpp", ".hpp")]


def main() -> int:
    problems = []
    edges: dict[str, set[str]] = {}
    public = {p.relative_to(PUBLIC).as_posix() for p in sources(PUBLIC)}
    for root in (PUBLIC, CORE):
        for path in sources(root):
            relative = path.relative_to(root).as_posix()
            if root == CORE and relative in public:
                problems.append(f"{relative}: both public and internal")
            if root == PUBLIC:
                for target in includes(path):
                    if target not in public:
                        problems.append(f"include/korvalite/{relative}: public header includes internal {target}")
    for path in sources(BINDINGS):
        for target in includes(path):
            if target not in public:
                problems.append(f"src/python/{path.name}: includes internal {target}")
        # The binding library's own release takes the lock back even while the interpreter
        # exits, which aborts the process: bindings release through GilRelease (gil.hpp).
        for number, line in enumerate(path.read_text().splitlines(), start=1):
            if "gil_scoped_release" in line:
                problems.append(f"src/python/{path.name}:{number}: releases the interpreter lock with "
                                "nb::gil_scoped_release; use GilRelease (gil.hpp)")

    for path in [*sources(PUBLIC), *sources(CORE)]:
        relative = path.relative_to(PUBLIC if path.is_relative_to(PUBLIC) else CORE).as_posix()
        layer = layer_of(relative)
        if layer not in ALLOWED:
            problems.append(f"{relative}: folder '{layer}' has no layer (add it to tools/check_layers.py)")
            continue
        for target in includes(path):
            target_layer = layer_of(target)
            if target_layer != layer:
                edges.setdefault(layer, set()).add(target_layer)
                if target_layer not in ALLOWED[layer]:
                    problems.append(f"{relative}: {layer} may not include {target} ({target_layer})")
            if "/detail/" in target:
                owner = target.split("/detail/")[0]
                if not relative.startswith(owner + "/"):
                    problems.append(f"{relative}: includes {target}, internal to {owner}/")

    # No cycle among the folders that include each other.
    state: dict[str, int] = {}

    def visit(node: str, trail: list[str]) -> None:
        state[node] = 1
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                problems.append("folder cycle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]) if nxt in trail
                                else f"folder cycle through {nxt}")
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])

    for line in problems:
        print(line)
    print(f"include graph: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
