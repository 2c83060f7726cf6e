"""Software-triggered capture: the camera waits for a trigger before each frame, and
TriggerSoftware sends one. The trigger comes from another thread while the main thread waits.

    python examples/software_trigger.py 192.168.1.20 --frames 3
"""

import argparse
import threading

import korvalite


def main() -> None:
    parser = argparse.ArgumentParser(description="Capture frames, one per software trigger.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--frames", type=int, default=3, help="how many frames to trigger (default 3)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        cam.set_enum("TriggerSelector", "FrameStart")
        cam.set_enum("TriggerMode", "On")
        cam.set_enum("TriggerSource", "Software")
        with cam.start_acquisition() as acq:
            for n in range(args.frames):
                # The frame wait holds no lock on the camera, so the trigger goes out meanwhile.
                trigger = threading.Timer(0.1, cam.execute, args=("TriggerSoftware",))
                trigger.start()
                frame = acq.wait_for(5.0)
                trigger.join()
                if frame is None:
                    raise SystemExit(f"trigger {n}: no frame arrived")
                print(f"trigger {n}: {frame!r} at {frame.timestamp_ticks} ticks")
        cam.set_enum("TriggerMode", "Off")
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
