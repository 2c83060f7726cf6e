#!/usr/bin/env python3
"""Builds extra fuzz seeds from the real camera descriptions, one folder per harness.

Usage: shared_seeds.py DESCRIPTIONS_DIR OUT_DIR

Nothing is committed: the folders are rebuilt before every fuzzing run. A harness that wants seeds
from the descriptions gets a function in SOURCES, keyed by its file name in fuzz/.
"""
import hashlib
import html
import pathlib
import re
import shutil
import sys

FORMULA = re.compile(rb"<(Formula|FormulaTo|FormulaFrom|Expression)>(.*?)</\1>", re.S)
NODE = re.compile(
    rb"<(Integer|IntReg|MaskedIntReg|Float|FloatReg|Boolean|Command|Enumeration|StringReg|String|StructReg|"
    rb"Register|Converter|IntConverter|SwissKnife|IntSwissKnife|Category|Port)\b[^>]*>.*?</\1>",
    re.S,
)
SMALL_DESCRIPTION = 64 * 1024


def formulas(descriptions):
    """Every distinct formula text of the plain descriptions."""
    found = set()
    for path in descriptions.glob("*.xml"):
        for match in FORMULA.finditer(path.read_bytes()):
            found.add(html.unescape(match.group(2).decode("utf-8", "replace")).strip().encode())
    return found


def descriptions_and_nodes(descriptions):
    """The small plain descriptions as they are, and from every plain description its first node
    element of each kind, alone under a root element."""
    found = set()
    for path in descriptions.glob("*.xml"):
        text = path.read_bytes()
        if len(text) <= SMALL_DESCRIPTION:
            found.add(text)
        kinds_seen = set()
        for match in NODE.finditer(text):
            if match.group(1) in kinds_seen or len(match.group(0)) > 4096:
                continue
            kinds_seen.add(match.group(1))
            found.add(b"<RegisterDescription>" + match.group(0) + b"</RegisterDescription>")
    return found


def archives(descriptions):
    """The zipped descriptions as they are."""
    return {path.read_bytes() for path in descriptions.glob("*.zip")}


SOURCES = {
    "formula": formulas,
    "xml_builder": descriptions_and_nodes,
    "zip_extract": archives,
}


def main():
    descriptions, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    for harness, source in SOURCES.items():
        folder = out / harness
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        seeds = source(descriptions) if descriptions.is_dir() else set()
        for seed in seeds:
            (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
        print(f"{harness}: {len(seeds)} seeds from {descriptions}")


if __name__ == "__main__":
    main()
