"""Snap one frame and save it as a PNG (no packages beyond korvalite needed).

    python examples/snap_png.py 192.168.1.20 -o snap.png
"""

import argparse

import korvalite
from korvalite.images import save_frame


def main() -> None:
    parser = argparse.ArgumentParser(description="Snap one frame and save it as a PNG.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("-o", "--output", default="snap.png", help="where to write the PNG (default snap.png)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        frame = cam.snap(timeout=5.0)
    finally:
        cam.disconnect()
    if not frame.is_complete:
        raise SystemExit(f"the frame arrived incomplete: {frame!r}")
    path = save_frame(frame, args.output)
    print(f"{frame!r} saved to {path}")


if __name__ == "__main__":
    main()
