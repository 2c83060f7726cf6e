"""Errors that say what to do next: the calls that fit a feature's kind, the entries an
enumeration has now, the address a connect got no answer from, and the class of a busy camera."""

import korvalite

# MultiFrame can be chosen only while TLParamsLocked reads non-zero (during an acquisition).
MULTI_FRAME = '<EnumEntry Name="MultiFrame"><Value>2</Value></EnumEntry>'
MULTI_FRAME_LOCKED = ('<EnumEntry Name="MultiFrame"><pIsAvailable>TLParamsLocked</pIsAvailable>'
                      '<Value>2</Value></EnumEntry>')


def wrong_kind(name, kind, calls):
    return f"node '{name}' does not support this access: {name} is {kind} feature; use {calls} (or get/set)"


def snap_while_acquiring(cam):
    with cam.start_acquisition():
        cam.snap()


def test_errors_say_what_fits(simulated, cameras, free_ip, builtin_description):
    ip, silent = free_ip(), free_ip()
    assert MULTI_FRAME in builtin_description
    simulated(ip, description=builtin_description.replace(MULTI_FRAME, MULTI_FRAME_LOCKED))
    cam = cameras(ip)
    cam.connect()
    G, C = korvalite.GenicamException, korvalite.CameraException
    cases = [  # call, its exact class, what else catches it, the message
        (lambda: cam.get_enum("Width"), G, (),
         wrong_kind("Width", "an integer", "get_integer, set_integer, integer_bounds")),
        (lambda: cam.integer_bounds("Gain"), G, (),
         wrong_kind("Gain", "a float", "get_float, set_float, float_bounds")),
        (lambda: cam.get_float("PixelFormat"), G, (),
         wrong_kind("PixelFormat", "an enumeration", "get_enum, set_enum, enum_entries")),
        (lambda: cam.set_enum("AcquisitionMode", "Burst"), G, (),
         "AcquisitionMode = Burst is not an entry of the enumeration; available entries: Continuous, SingleFrame"),
        (lambda: cam.set_enum("AcquisitionMode", "MultiFrame"), G, (),
         "AcquisitionMode = MultiFrame is refused: the entry 'MultiFrame' is not available now; "
         "available entries: Continuous, SingleFrame"),
        (lambda: cameras(silent, gvcp_timeout=0.05, retries=0).connect(), korvalite.CameraTimeoutError,
         (C, TimeoutError), f"connect timed out: no answer from {silent}:3956"),
        (lambda: snap_while_acquiring(cam), korvalite.CameraBusyError, (C, ValueError),
         "camera is busy (an acquisition in progress); stop it first"),
    ]
    for call, cls, caught_as, message in cases:
        try:
            call()
        except Exception as error:  # noqa: BLE001 - the test compares the class
            assert (type(error), str(error)) == (cls, message)
            assert all(isinstance(error, base) for base in caught_as), message
        else:
            raise AssertionError(f"no error: {message}")
