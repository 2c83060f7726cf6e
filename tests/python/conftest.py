import logging
import os
import pathlib
import signal

import pytest

import korvalite
from korvalite import _logging


# Without pytest-timeout, its `timeout` setting still limits every test: an alarm fails the test
# that is running (setup, call and teardown) once its time is up.
def pytest_addoption(parser, pluginmanager):
    if not pluginmanager.hasplugin("timeout"):
        parser.addini("timeout", "time limit of each test in seconds (0: none)", default="0")


def _time_is_up(limit):
    def fail(signum, frame):
        pytest.fail(f"Timeout >{limit}s", pytrace=True)

    return fail


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    plugin = item.config.pluginmanager.hasplugin("timeout")
    limit = 0.0 if plugin else float(item.config.getini("timeout") or 0)
    if limit <= 0:
        yield
        return
    previous = signal.signal(signal.SIGALRM, _time_is_up(limit))
    signal.setitimer(signal.ITIMER_REAL, limit)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.fixture
def core_log(caplog):
    """Capture korvalite's log records at every level, TRACE included."""
    caplog.set_level(_logging.TRACE, logger="korvalite")
    _logging.flush()
    yield caplog
    _logging.flush()


@pytest.fixture(scope="session")
def free_ip():
    """free_ip() -> a loopback address of this test's own (see loopback.py); call it once per
    address needed."""
    from loopback import free_ip as take

    return take


@pytest.fixture
def netlab(request, tmp_path):
    """A private network laboratory (see netns.py), torn down even when the test fails."""
    import netns

    reason = netns.unavailable_reason()
    if reason:
        pytest.skip(f"network namespace tests need namespaces: {reason}")
    lab = netns.NetLab(request.node.name, tmp_path)
    try:
        yield lab
    finally:
        lab.close()


@pytest.fixture
def simulated():
    """Start simulated cameras: ``simulated(address, **options)``; each is stopped after the test.
    They show the exact test pattern unless ``test_pattern`` says otherwise."""
    from korvalite.sim import EXACT_PATTERN, SimulatedCamera

    started = []

    def start(address, **options):
        options.setdefault("test_pattern", EXACT_PATTERN)  # frames tests can check byte for byte
        sim = SimulatedCamera(address, **options).start()
        started.append(sim)
        return sim

    yield start
    for sim in reversed(started):
        sim.stop()


@pytest.fixture
def cameras():
    """Make ``korvalite.Camera`` objects: ``cameras(ip, **settings)``; each is disconnected after the test."""
    made = []

    def make(ip, **settings):
        camera = korvalite.Camera(ip, **settings)
        made.append(camera)
        return camera

    yield make
    for camera in made:
        camera.disconnect()


@pytest.fixture(scope="session")
def builtin_description():
    """The simulated camera's own description text (read without starting a camera)."""
    from korvalite.sim import SimulatedCamera

    return SimulatedCamera("127.0.0.1", 0).description


@pytest.fixture
def rig():
    """rig(ip, **sim_options) -> (SimulatedCamera, connected Camera); see capture_rig.py."""
    from capture_rig import Rig

    made = Rig()
    try:
        yield made
    finally:
        made.close()


@pytest.fixture
def capture_log(caplog):
    """caplog recording DEBUG and above of korvalite.py and korvalite.genicam.snapshot."""
    from capture_rig import capture_logs

    yield capture_logs(caplog)


def shared_descriptions() -> pathlib.Path:
    """The real camera descriptions: $KORVALITE_GENICAM_XML, else ../shared/genicam-xml beside the repository."""
    given = os.environ.get("KORVALITE_GENICAM_XML")
    if given:
        return pathlib.Path(given)
    return pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "genicam-xml"


@pytest.fixture
def genicam_xml():
    """The folder of real camera descriptions; the test skips, saying why, when it is absent."""
    folder = shared_descriptions()
    if not folder.is_dir():
        pytest.skip(f"no real descriptions at {folder} (set KORVALITE_GENICAM_XML)")
    return folder


@pytest.fixture(scope="module")
def sim_camera():
    """A connected Camera on a simulated camera of its own, shared by the tests of one module."""
    from korvalite.sim import EXACT_PATTERN, SimulatedCamera
    from loopback import free_ip as take

    ip = take()
    with SimulatedCamera(ip, frame_rate=200.0, exposure_us=1000.0, test_pattern=EXACT_PATTERN):
        camera = korvalite.Camera(ip)
        camera.connect()
        yield camera
        camera.disconnect()
