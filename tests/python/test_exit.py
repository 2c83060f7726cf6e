"""Programs that end while threads still wait in korvalite: the interpreter's exit stops every
acquisition, gives control back to the camera (the next program connects at once) and prints
nothing of its own, whatever the waiting threads were doing."""

import subprocess
import sys
import textwrap

import pytest

from capture_rig import feature_writes

# Each program connects to the camera at argv[1]; `daemon(body)` runs `body` in a daemon thread
# and returns once it has had time to start waiting.
PRELUDE = """
import sys, threading, time
import korvalite

cam = korvalite.Camera(sys.argv[1])
cam.connect()

def daemon(body):
    threading.Thread(target=body, daemon=True).start()
    time.sleep(0.5)

def forever(call):
    while True:
        call()
"""

PROGRAMS = {
    "wait_for": ("acq = cam.start_acquisition()\n"
                 "daemon(lambda: forever(lambda: acq.wait_for(60)))\n", 0, ""),
    "iteration": ("acq = cam.start_acquisition()\n"
                  "daemon(lambda: [f for f in acq])\n", 0, ""),
    "subscription": ("acq = cam.start_acquisition()\n"
                     "channel = acq.subscribe()\n"
                     "daemon(lambda: forever(lambda: channel.wait_for(60)))\n", 0, ""),
    "snap": ("daemon(lambda: forever(lambda: cam.snap(timeout=60)))\n", 0, ""),
    # Calls that release the interpreter lock without waiting on the camera.
    "unpacking a packed frame": ("cam.set_enum('PixelFormat', 'Mono12p')\n"
                                 "frame = cam.snap()\n"
                                 "daemon(lambda: forever(frame.to_numpy))\n", 0, ""),
    "feature_info and get": ("acq = cam.start_acquisition()\n"
                             "daemon(lambda: forever(lambda: cam.feature_info('Width')))\n"
                             "daemon(lambda: forever(lambda: cam.get('Width')))\n", 0, ""),
    "a normal thread iterating": ("acq = cam.start_acquisition()\n"
                                  "threading.Thread(target=lambda: [f for f in acq]).start()\n"
                                  "time.sleep(0.5)\n", 0, ""),
    "frame callback": ("acq = cam.start_acquisition(callback=lambda frame: time.sleep(0.01))\n"
                       "time.sleep(0.5)\n", 0, ""),
    "uncaught exception": ("acq = cam.start_acquisition()\n"
                           "daemon(lambda: [f for f in acq])\n"
                           "raise RuntimeError('boom')\n", 1, "RuntimeError: boom\n"),
    "sys.exit in a worker's callback": (
        "acq = cam.start_acquisition()\n"
        "daemon(lambda: forever(lambda: acq.subscribe().wait_for(60)))\n"
        "def on_frame(frame):\n"
        "    sys.exit(3)\n"
        "def work():\n"
        "    for frame in acq:\n"
        "        on_frame(frame)\n"
        "worker = threading.Thread(target=work)\n"
        "worker.start()\n"
        "worker.join()\n", 0, ""),
}


@pytest.mark.parametrize("name", PROGRAMS)
def test_exit_with_threads_waiting_stops_capture_and_frees_the_camera(name, simulated, cameras, free_ip):
    body, code, stderr_end = PROGRAMS[name]
    ip = free_ip()
    # A slow camera, so the threads spend the program's end waiting for a frame.
    sim = simulated(ip, width=64, height=32, frame_rate=2.0)
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), ip],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (code, "")
    if stderr_end:  # the exception's own traceback, and nothing after it
        assert done.stderr.startswith("Traceback") and done.stderr.endswith(stderr_end), done.stderr
        assert done.stderr.count("Traceback") == 1
    else:
        assert done.stderr == ""
    assert sim.privilege_holder is None
    assert feature_writes(sim)[-1] == ("SCP", 0)
    cameras(ip).connect()
