"""Frame callbacks: korvalite calls a function for every frame, in order, on its own thread,
while the main thread is free for other work.

    python examples/frame_callback.py 192.168.1.20 --frames 10
"""

import argparse
import threading

import korvalite


def main() -> None:
    parser = argparse.ArgumentParser(description="Print every frame from a callback.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--frames", type=int, default=10, help="how many frames to take (default 10)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        seen = 0
        done = threading.Event()

        def on_frame(frame: korvalite.Frame) -> None:
            nonlocal seen
            if done.is_set():
                return
            seen += 1
            print(f"frame {seen}: {frame!r}")  # the frame is let go when this returns
            if seen == args.frames:
                done.set()

        with cam.start_acquisition(callback=on_frame):
            if not done.wait(timeout=30.0):
                raise SystemExit(f"only {seen} frames arrived")
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
