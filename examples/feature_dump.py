"""Dump a camera's features: the category tree with kinds, access modes and values, or every
readable feature as JSON.

    python examples/feature_dump.py 192.168.1.20 [--json]
"""

import argparse
import json

import korvalite
from korvalite import features


def main() -> None:
    parser = argparse.ArgumentParser(description="Dump a camera's features.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--json", action="store_true", help="print {name: value} of every readable feature")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        if not args.json:
            for depth, name in features.walk_tree(cam):
                print("  " * depth + features.describe(cam, name, with_value=True))
            return
        values: dict[str, features.Value] = {}
        for name in features.feature_list(cam):
            try:
                values[name] = features.read_value(cam, name)
            except (ValueError, korvalite.GenicamException):
                pass  # categories, commands, write-only and unavailable features
        print(json.dumps(values, indent=2))
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
