"""Device events: the camera reports the end of each exposure; korvalite delivers the events to
a callback on its own thread, and the event features read the newest one.

    python examples/device_events.py 192.168.1.20 --events 5
"""

import argparse
import threading

import korvalite


def main() -> None:
    parser = argparse.ArgumentParser(description="Print the camera's ExposureEnd events.")
    parser.add_argument("ip", help="the camera's IP address")
    parser.add_argument("--events", type=int, default=5, help="how many events to take (default 5)")
    args = parser.parse_args()

    cam = korvalite.Camera(args.ip)
    cam.connect()
    try:
        cam.set_enum("EventSelector", "ExposureEnd")
        cam.set_enum("EventNotification", "On")
        seen = 0
        done = threading.Event()

        def on_event(event: korvalite.Event) -> None:
            nonlocal seen
            if done.is_set():
                return
            seen += 1
            print(f"event {seen}: {event.name} of frame {event.block_id} at {event.timestamp} ticks")
            if seen == args.events:
                done.set()

        delivery = cam.on_event(on_event)
        try:
            with cam.start_acquisition():
                if not done.wait(timeout=30.0):
                    raise SystemExit(f"only {seen} events arrived")
        finally:
            delivery.cancel()
        print(f"EventExposureEndTimestamp = {cam.get_integer('EventExposureEndTimestamp')}")
        cam.set_enum("EventNotification", "Off")
    finally:
        cam.disconnect()


if __name__ == "__main__":
    main()
