import sys
"""discover() end to end. Discovery broadcasts, so every test here runs it inside network
namespaces of its own (the `netlab` fixture); devices answer on the far side of veth pairs."""

import json

# Runs discover() inside a namespace and prints what happened as JSON. A Python thread ticks
# meanwhile: it only advances while discover() has the interpreter lock released.
DISCOVER = r"""
import json, logging, threading, time
import korvalite
from korvalite import _logging

events = []
class Keep(logging.Handler):
    def emit(self, record):
        events.append([record.levelname, record.getMessage(), getattr(record, "fields", {})])
logger = logging.getLogger("korvalite.gige.discovery")
logger.setLevel(_logging.TRACE)
logger.addHandler(Keep())
_logging.flush()

ticks, running = 0, True
def tick():
    global ticks
    while running:
        ticks += 1
        time.sleep(0.001)
ticker = threading.Thread(target=tick, daemon=True)
ticker.start()

results = []
for timeout in [float(text) for text in TIMEOUTS]:
    before, start = ticks, time.monotonic()
    try:
        found = [{name: getattr(d, name) for name in ("manufacturer", "model", "serial", "ip", "mac")}
                 for d in korvalite.discover(timeout=timeout)]
        error = None
    except Exception as e:
        found, error = None, [type(e).__name__, str(e)]
    results.append({"devices": found, "error": error, "elapsed": time.monotonic() - start,
                    "ticks": ticks - before})
running = False
ticker.join()
_logging.flush()
print(json.dumps({"results": results, "events": events}))
"""


def discover_in(ns, *timeouts):
    """Runs discover(timeout) once per timeout inside `ns`; returns (results, log events)."""
    completed = ns.python(DISCOVER.replace("TIMEOUTS", repr([str(t) for t in timeouts])))
    assert completed.returncode == 0, completed.stderr
    out = json.loads(completed.stdout)
    return out["results"], out["events"]


def host_with_cameras(netlab, count):
    """A host namespace joined to `count` camera namespaces, camera i on 10.77.i.0/24."""
    host = netlab.namespace()
    cameras = []
    for i in range(1, count + 1):
        ns = netlab.namespace()
        netlab.link(host, f"10.77.{i}.1/24", ns, f"10.77.{i}.2/24")
        cameras.append(ns)
    return host, cameras


def test_loopback_only_host_has_no_usable_adapter(netlab):
    host = netlab.namespace()
    assert host.run(["ip", "-4", "-o", "addr"]).stdout.split()[3] == "127.0.0.1/8"
    (result,), _ = discover_in(host, 0.1)
    assert result["error"] == ["CameraException", "io error: no usable network adapter for discovery"]


def sim_argv(address: str, mac: str, serial: str, model: str) -> list[str]:
    return [sys.executable, "-m", "korvalite.sim", "--address", address, "--ip", address, "--mac", mac,
            "--serial", serial, "--model", model, "--manufacturer", "Korva"]


def test_two_simulated_cameras_on_two_veth_pairs(netlab):
    host, (ns1, ns2) = host_with_cameras(netlab, 2)
    netlab.start_device(ns1, "10.77.1.2", argv=sim_argv("10.77.1.2", "02:00:00:00:01:02", "CAM-ONE", "Alpha"))
    netlab.start_device(ns2, "10.77.2.2", argv=sim_argv("10.77.2.2", "02:00:00:00:02:02", "CAM-TWO", "Beta"))

    (result,), events = discover_in(host, 0.3)

    assert result["error"] is None
    assert sorted(result["devices"], key=lambda d: d["ip"]) == [
        {"manufacturer": "Korva", "model": "Alpha", "serial": "CAM-ONE", "ip": "10.77.1.2", "mac": "02:00:00:00:01:02"},
        {"manufacturer": "Korva", "model": "Beta", "serial": "CAM-TWO", "ip": "10.77.2.2", "mac": "02:00:00:00:02:02"},
    ]
    assert 0.3 <= result["elapsed"] < 2.0
    assert result["ticks"] > 20, "discover() kept the interpreter lock"
    assert ["DEBUG", "discovery finished", {"devices": 2}] in events


def test_adapters_without_broadcast_send_to_subnet_and_limited_broadcast(netlab):
    host, (ns1, ns2) = host_with_cameras(netlab, 2)
    cam1 = netlab.start_device(ns1, "10.77.1.2", mac="02:00:00:00:01:02")
    cam2 = netlab.start_device(ns2, "10.77.2.2", mac="02:00:00:00:02:02")

    (result,), _ = discover_in(host, 0.2)

    assert len(result["devices"]) == 2
    for cam, subnet in ((cam1, "10.77.1"), (cam2, "10.77.2")):
        seen = sorted((c["source"], c["destination"]) for c in cam.wait_for_commands(2))
        assert seen == [(f"{subnet}.1", f"{subnet}.255"), (f"{subnet}.1", "255.255.255.255")]


def test_bad_timeouts_raise_value_error_before_sending(netlab):
    host, (cam_ns,) = host_with_cameras(netlab, 1)
    camera = netlab.start_device(cam_ns, "10.77.1.2")

    results, _ = discover_in(host, -0.5, float("nan"), float("inf"), 1e300)

    assert [r["error"] for r in results] == [
        ["ValueError", f"timeout must be a finite, non-negative number of seconds, not {text}"]
        for text in ("-0.5", "nan", "inf", "1e+300")
    ]
    # A good run afterwards is the first traffic the camera sees.
    (good,), _ = discover_in(host, 0.1)
    assert len(good["devices"]) == 1
    assert len(camera.wait_for_commands(2)) == 2
