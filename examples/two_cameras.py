"""Two cameras, each acquiring in its own thread. korvalite releases the interpreter lock while
it waits for frames, so the threads really run side by side.

    python examples/two_cameras.py 192.168.1.20 192.168.1.21 --frames 20
"""

import argparse
import threading

import korvalite


def capture(ip: str, frames: int, results: dict[str, str]) -> None:
    """Takes `frames` complete frames from the camera at `ip`; records a summary or the error."""
    cam = korvalite.Camera(ip)
    try:
        cam.connect()
        complete = 0
        with cam.start_acquisition() as acq:
            for frame in acq:
                complete += frame.is_complete
                if complete == frames:
                    break
            stats = acq.stats()
        results[ip] = f"{complete} frames, {stats.bytes} bytes, {stats.failed_frames} failed"
    except (korvalite.CameraException, korvalite.GenicamException) as error:
        results[ip] = f"error: {error}"
    finally:
        cam.disconnect()


def main() -> None:
    parser = argparse.ArgumentParser(description="Acquire from two cameras in two threads.")
    parser.add_argument("ips", nargs=2, metavar="IP", help="the two cameras' IP addresses")
    parser.add_argument("--frames", type=int, default=20, help="complete frames per camera (default 20)")
    args = parser.parse_args()

    results: dict[str, str] = {}
    threads = [threading.Thread(target=capture, args=(ip, args.frames, results)) for ip in args.ips]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for ip in args.ips:
        print(f"{ip}: {results[ip]}")


if __name__ == "__main__":
    main()
