"""Calls every public function and method of korvalite with the types its annotations promise.
Never run: `mypy --strict` checks it (test_typing.py), so a method missing from the types, or
typed too loosely for strict callers, fails the gate."""

from __future__ import annotations

import pathlib

import numpy
import numpy.typing

import korvalite


def camera_features(ip: str) -> tuple[int, float, bool, str]:
    with korvalite.Camera(ip, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False,
                          local_ip=None, packet_ring="auto") as cam:
        cam.packet_ring = False
        ring: bool | str = cam.packet_ring
        cam.connect()
        connected: bool = cam.is_connected()
        info: korvalite.DeviceInfo = cam.device_info()
        link: korvalite.LinkStats | None = cam.link_stats()
        names: list[str] = cam.feature_names()
        known: bool = cam.has_feature("Width")
        cam.set_integer("Width", 640)
        width: int = cam.get_integer("Width")
        bounds: tuple[int, int] = cam.integer_bounds("Width")
        step: int = cam.integer_increment("Width")
        cam.set_float("Gain", 1.5)
        gain: float = cam.get_float("Gain")
        float_bounds: tuple[float, float] = cam.float_bounds("Gain")
        cam.set_boolean("ReverseX", True)
        reverse: bool = cam.get_boolean("ReverseX")
        cam.set_string("DeviceUserID", "line 2")
        user_id: str = cam.get_string("DeviceUserID")
        cam.set_enum("PixelFormat", "Mono8")
        entry: str = cam.get_enum("PixelFormat")
        entries: list[str] = cam.enum_entries("PixelFormat")
        cam.execute("TriggerSoftware")
        mode: korvalite.AccessMode = cam.access_mode("Width")
        cam.invalidate_caches()
        cam.set("Width", 320)
        value: int | float | bool | str = cam.get("Width")
        feature: korvalite.FeatureInfo = cam.feature_info("PixelFormat")
        kind: str = feature.kind
        entry_infos: list[korvalite.EnumEntryInfo] = feature.entries
        unreadable: list[tuple[str, str]] = cam.save_features("camera.txt")
        failures = cam.load_features(pathlib.Path("camera.txt"), False, streamable_only=True)
        lines: list[int] = [failure.line for failure in failures]
        print(ring, connected, info.model, link, names, known, bounds, step, float_bounds, reverse,
              user_id, entries, mode, value, kind, entry_infos, unreadable, lines)
        cam.disconnect(deadline=0.5)
        return width, gain, reverse, entry


def capture(cam: korvalite.Camera) -> korvalite.Frame:
    frame: korvalite.Frame = cam.snap(1.0, channel=0, n_buffers=8, packet_size=None, packet_delay=None,
                                      resend=True, packet_ring=None)
    chunk: int | float | bool | str = cam.chunk_value(frame, "ChunkWidth")
    with cam.snapshot_session(n_buffers=4) as session:
        size: int = session.packet_size()
        closed: bool = session.is_closed()
        stats: korvalite.StreamStats = session.stats()
        print(chunk, size, closed, stats.completed_frames)
        return session.snap(1.0)


def acquisition(cam: korvalite.Camera) -> list[korvalite.Frame]:
    with cam.start_acquisition(n_buffers=8, callback=None, on_error="log") as acq:
        first: korvalite.Frame | None = acq.wait_for(1.0)
        other: korvalite.Frame | None = acq.try_recv()
        channel: korvalite.FrameChannel = acq.subscribe(16)
        from_channel: korvalite.Frame | None = channel.wait_for(1.0)
        print(channel.try_recv(), channel.recv_all(), acq.local_addr(), acq.packet_size(), acq.stats(),
              acq.is_stopped(), first, other, from_channel)
        channel.clear()
        acq.clear()
        delivery = acq.on_frame(lambda frame: frame.frame_id, on_error="log")
        delivery.cancel()
        for frame in acq:
            print(frame)
            break
        acq.stop()
        return acq.recv_all()


def frame_contents(frame: korvalite.Frame) -> numpy.typing.NDArray[numpy.uint8]:
    print(frame.status is korvalite.FrameStatus.Complete, frame.is_complete, frame.width, frame.height,
          frame.x_offset, frame.y_offset, frame.pixel_format, frame.pixel_format_code, frame.bits_per_pixel,
          frame.timestamp_ticks, frame.timestamp_ns, frame.system_timestamp_ns, frame.received_size,
          frame.chunks)
    info: korvalite.PixelFormatInfo | None = frame.pixel_format_info
    formats: list[korvalite.PixelFormatInfo] = korvalite.pixel_formats()
    data: bytes = frame.data()
    saved: pathlib.Path = frame.save("frame.png")
    print(info, formats, data, saved)
    pixels = frame.to_numpy()
    print(korvalite.yuv422_to_rgb(frame), korvalite.demosaic(pixels, "RG"))
    return numpy.asarray(pixels, dtype=numpy.uint8)


def events(cam: korvalite.Camera) -> korvalite.Event | None:
    delivery = cam.on_event(lambda event: print(event.name, event.id), capacity=64)
    delivery.cancel()
    with cam.events(256) as subscription:
        later: korvalite.Event | None = subscription.try_recv()
        print(later, subscription.closed)
        return subscription.wait_for(1.0)


async def asynchronous(cam: korvalite.Camera) -> int:
    frame: korvalite.Frame = await cam.snap_async(1.0, n_buffers=4)
    with cam.events() as subscription:
        event: korvalite.Event | None = await subscription.next_async()
        print(event)
    with cam.start_acquisition() as acq:
        async for streamed in acq.frames_async():
            return streamed.frame_id + frame.frame_id
    return 0


def discovery() -> list[str]:
    found: list[korvalite.DeviceInfo] = korvalite.discover(timeout=1.0)
    return [f"{info.ip} {info.mac} {info.spec_version}" for info in found]


def errors() -> str:
    try:
        korvalite.Camera("127.0.0.1").connect()
    except korvalite.CameraTimeoutError as e:
        return str(e)
    except (korvalite.CameraException, korvalite.GenicamException, korvalite.GenicamTimeoutError) as e:
        return str(e)
    return korvalite.__version__
