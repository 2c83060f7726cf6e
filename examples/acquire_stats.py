"""Continuous acquisition with numpy statistics per frame; the arrays are views of the frame
buffers, so nothing is copied.

    python examples/acquire_stats.py 192.168.1.20 --frames 30
"""

import argparse

import korvalite


def main() -> None:
    parser = argparse.ArgumentParser(description="Continuous acquisition with numpy statistics.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--frames", type=int, default=30, help="how many complete frames to look at (default 30)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        seen = 0
        with cam.start_acquisition(n_buffers=8) as acq:
            while seen < args.frames:
                frame = acq.wait_for(timeout=2.0)
                if frame is None:
                    raise SystemExit("no frame within 2 s")
                if not frame.is_complete:
                    print(f"skipped {frame!r}")
                    continue
                image = frame.to_numpy()  # (height, width[, 3]) over the frame's own buffer
                print(f"frame {frame.frame_id}: {image.shape} {image.dtype} "
                      f"mean {image.mean():.1f} std {image.std():.1f} min {image.min()} max {image.max()}")
                seen += 1
            stats = acq.stats()
        print(stats)
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
