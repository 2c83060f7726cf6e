"""asyncio capture: await one snapped frame, then take frames with `async for` while another
task keeps running; the event loop is never blocked.

    python examples/async_capture.py 192.168.1.20 --frames 5
"""

import argparse
import asyncio

import korvalite


async def heartbeat(beats: list[int]) -> None:
    while True:
        beats[0] += 1
        await asyncio.sleep(0.01)


async def capture(cam: korvalite.Camera, frames: int) -> None:
    beats = [0]
    ticker = asyncio.create_task(heartbeat(beats))
    frame = await cam.snap_async(timeout=5.0)
    print(f"snapped {frame!r}")
    taken = 0
    with cam.start_acquisition() as acq:
        async for frame in acq.frames_async():
            taken += 1
            print(f"frame {taken}: {frame!r}")
            if taken == frames:
                break
    ticker.cancel()
    print("the event loop kept running" if beats[0] > 0 else "the event loop was blocked")


def main() -> None:
    parser = argparse.ArgumentParser(description="Capture frames with asyncio.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--frames", type=int, default=5, help="how many frames to take (default 5)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        asyncio.run(capture(cam, args.frames))
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
