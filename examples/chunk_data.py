"""Chunk data: the camera appends per-frame values (timestamp, exposure time, frame id, ...) to
each frame's payload, and the description's Chunk* features read them from that frame.

    python examples/chunk_data.py 192.168.1.20 --frames 3
"""

import argparse

import korvalite

CHUNKS = ("Timestamp", "ExposureTime", "FrameID")


def main() -> None:
    parser = argparse.ArgumentParser(description="Capture frames with chunk data and print the chunk values.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--frames", type=int, default=3, help="how many frames to capture (default 3)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        for selector in CHUNKS:
            cam.set_enum("ChunkSelector", selector)
            cam.set_boolean("ChunkEnable", True)
        cam.set_boolean("ChunkModeActive", True)
        with cam.start_acquisition() as acq:
            for _ in range(args.frames):
                frame = acq.wait_for(5.0)
                if frame is None:
                    raise SystemExit("no frame arrived")
                values = ", ".join(f"Chunk{name} = {cam.chunk_value(frame, 'Chunk' + name)}" for name in CHUNKS)
                # frame.chunks maps each chunk id to a read-only view of its bytes in the frame.
                sizes = ", ".join(f"{chunk_id:#010x}: {len(view)} bytes" for chunk_id, view in frame.chunks.items())
                print(f"{frame!r}: {values}; chunks {sizes}")
        cam.set_boolean("ChunkModeActive", False)
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
