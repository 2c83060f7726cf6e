"""`korvalite view` in a real browser: headless Chromium driven by Selenium against a simulated
camera. One viewer process and one browser serve the whole module; the tests run in file order
(the last ones take the camera away and stop the viewer). Without Chromium (make deps-browser)
the browser tests skip, saying why; the request checks and the event list run all the same."""

import json
import math
import os
import types
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from png_reader import read_png

pytestmark = pytest.mark.timeout(90)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
OUTPUT = pathlib.Path(os.environ.get("KORVALITE_TEST_OUTPUT",
                                     pathlib.Path(__file__).resolve().parents[2] / "build" / "test-output"))
WAIT = 20.0  # seconds any one thing on the page may take


def _missing(modules, why):
    for module in modules:
        try:
            __import__(module)
        except ImportError as error:
            return f"{why} ({error})"
    return None


if _missing(("aiohttp", "PIL", "numpy"), "the viewer needs aiohttp, Pillow and numpy"):
    pytest.skip(_missing(("aiohttp", "PIL", "numpy"), "the viewer needs aiohttp, Pillow and numpy"),
                allow_module_level=True)


def _no_browser():
    missing = _missing(("selenium",), "the browser tests need selenium")
    if missing:
        return missing
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return f"no {path}: install chromium and chromium-driver (make deps-browser)"
    return None


if not _no_browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait


class ViewerProcess:
    """`python -m korvalite view IP` with its printed URL and everything it prints."""

    def __init__(self, ip, record_dir):
        self.proc = subprocess.Popen([sys.executable, "-m", "korvalite", "view", ip, "--record-dir", str(record_dir)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self._url = threading.Event()
        self.url = None
        threading.Thread(target=self._read, daemon=True).start()
        if not self._url.wait(WAIT):
            self.proc.kill()
            raise AssertionError("the viewer printed no URL: " + "".join(self.lines))

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)
            if line.startswith("viewing ") and " at http://" in line:
                self.url = line.split(" at ", 1)[1].strip()
                self._url.set()

    @property
    def origin(self):
        return self.url.split("/?", 1)[0]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


@pytest.fixture(scope="module")
def sim(free_ip):
    from korvalite.sim import SimulatedCamera

    with SimulatedCamera(free_ip(), frame_rate=20.0, heartbeat_timeout=1.0) as camera:
        yield camera


@pytest.fixture(scope="module")
def viewer(sim, tmp_path_factory):
    process = ViewerProcess(sim.address, tmp_path_factory.mktemp("recordings"))
    yield process
    process.stop()


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    return tmp_path_factory.mktemp("downloads")


@pytest.fixture(scope="module")
def browser(viewer, downloads):
    if _no_browser():
        pytest.skip(_no_browser())
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1400,900", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-default-apps",
                 "--disable-features=MediaRouter,DialMediaRouteProvider,OptimizationHints",
                 # Nothing leaves the machine: names do not resolve, and anything not on loopback
                 # would go to a proxy that is not there.
                 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                 "--proxy-server=http://127.0.0.1:9", "--proxy-bypass-list=<-loopback>;127.0.0.1"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    # Selenium's own tooling never goes looking for a browser or driver on the network.
    offline = os.environ.get("SE_OFFLINE")
    os.environ["SE_OFFLINE"] = "true"
    try:
        driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    finally:
        if offline is None:
            del os.environ["SE_OFFLINE"]
        else:
            os.environ["SE_OFFLINE"] = offline
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    driver.get(viewer.url)
    try:
        yield driver
    finally:
        driver.quit()


def wait(driver, condition, what):
    return WebDriverWait(driver, WAIT, poll_frequency=0.1).until(lambda d: condition(d), message=what)


def number(driver, element_id):
    text = driver.find_element(By.ID, element_id).text
    return int(text) if text.lstrip("-").isdigit() else -1


def set_control(driver, element_id, value):
    driver.execute_script("const e = document.getElementById(arguments[0]); e.value = arguments[1];"
                          "e.dispatchEvent(new Event('change'));", element_id, str(value))


def test_page_shows_live_frames_counters_and_features(browser):
    wait(browser, lambda d: number(d, "shown") >= 3, "no frames shown")
    first_id, first_src = number(browser, "frame-id"), browser.find_element(By.ID, "live").get_attribute("src")
    wait(browser, lambda d: number(d, "frame-id") > first_id, "the frame number does not rise")
    # The image's source is set before its frame number shows: the next image may still be loading.
    wait(browser, lambda d: d.find_element(By.ID, "live").get_attribute("src") != first_src, "the image does not change")
    wait(browser, lambda d: number(d, "completed") > 0, "the stream counters stay at zero")
    wait(browser, lambda d: d.find_elements(By.ID, "f-Width") and d.find_elements(By.ID, "f-PixelFormat"),
         "the feature tree has no Width or PixelFormat control")
    assert browser.find_element(By.ID, "f-PixelFormat").tag_name == "select"
    assert "no device events yet" in browser.find_element(By.ID, "events").text
    # The camera's own events, turned on through the page, scroll into the list.
    wait(browser, lambda d: d.find_elements(By.ID, "f-EventNotification"), "no EventNotification control")
    set_control(browser, "f-EventNotification", "On")
    wait(browser, lambda d: "ExposureEnd (0x9002)" in d.find_element(By.ID, "events").text,
         "no ExposureEnd event listed")
    OUTPUT.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(OUTPUT / "viewer.png"))


@pytest.mark.parametrize("width, refusal", [
    (320, None),
    (100000, "out of range"),
    ("wide", "not a number"),
])
def test_width_written_through_the_page(browser, sim, width, refusal):
    from korvalite.sim import FEATURE_REGISTERS

    wait(browser, lambda d: d.find_elements(By.ID, "f-Width"), "no Width control")
    before = sim.read_register(FEATURE_REGISTERS["Width"])
    set_control(browser, "f-Width", width)
    if refusal is None:
        wait(browser, lambda d: d.execute_script("return document.getElementById('live').naturalWidth") == width,
             f"the image does not become {width} wide")
        assert sim.read_register(FEATURE_REGISTERS["Width"]) == width
        assert browser.find_element(By.ID, "err-Width").text == ""
    else:
        wait(browser, lambda d: refusal in d.find_element(By.ID, "err-Width").text, f"no '{refusal}' error shown")
        assert sim.read_register(FEATURE_REGISTERS["Width"]) == before


def test_snap_downloads_a_png_of_the_frame_size(browser, sim, downloads):
    from korvalite.sim import FEATURE_REGISTERS

    width, height = (sim.read_register(FEATURE_REGISTERS[n]) for n in ("Width", "Height"))
    browser.find_element(By.ID, "snap").click()
    wait(browser, lambda d: [p for p in downloads.glob("*.png")], "no PNG downloaded")
    (path,) = downloads.glob("*.png")
    png = read_png(path.read_bytes())
    assert (png.width, png.height) == (width, height)


def test_settings_saved_and_loaded_through_the_page(browser, sim, downloads):
    from korvalite.sim import FEATURE_REGISTERS

    width = sim.read_register(FEATURE_REGISTERS["Width"])
    browser.find_element(By.ID, "save-settings").click()
    saved = downloads / "korvalite-settings.txt"
    wait(browser, lambda d: saved.exists() and saved.read_text().endswith("\n"), "no settings file downloaded")
    lines = saved.read_text().splitlines()
    assert f"Width = {width}" in lines  # locked while streaming, saved all the same

    edited = downloads / "edited.txt"
    edited.write_text("\n".join(line.replace(f"Width = {width}", "Width = 352") for line in lines)
                      + "\nGain = 999\n")
    browser.find_element(By.ID, "load-settings").send_keys(str(edited))
    wait(browser, lambda d: "Gain = 999.0 is out of range" in d.find_element(By.ID, "settings-state").text,
         "the line that was not applied is not shown")
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == 352
    wait(browser, lambda d: d.execute_script("return document.getElementById('live').naturalWidth") == 352,
         "the image does not follow the loaded Width")


def test_record_writes_the_next_frames_as_pngs(browser, sim):
    from korvalite.sim import FEATURE_REGISTERS

    size = tuple(sim.read_register(FEATURE_REGISTERS[n]) for n in ("Width", "Height"))
    set_control(browser, "record-count", 3)
    browser.find_element(By.ID, "record").click()
    wait(browser, lambda d: d.find_element(By.ID, "record-state").text.startswith("recorded 3/3 to "),
         "the recording does not finish")
    folder = pathlib.Path(browser.find_element(By.ID, "record-state").text.split(" to ", 1)[1].split(" (")[0])
    files = sorted(folder.glob("frame-*.png"))
    assert len(files) == 3
    assert [(p.width, p.height) for p in (read_png(f.read_bytes()) for f in files)] == [size] * 3


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def value(driver, element_id, attribute="value"):
    return driver.find_element(By.ID, element_id).get_attribute(attribute)


def test_stop_and_start_change_the_badge_and_the_frames(browser):
    wait(browser, lambda d: text(d, "link-state") == "live", "the badge does not say live while streaming")
    browser.find_element(By.ID, "stop").click()
    wait(browser, lambda d: text(d, "link-state") == "stopped", "the badge does not say stopped")
    assert (value(browser, "start", "disabled"), value(browser, "stop", "disabled")) == (None, "true")
    shown = number(browser, "shown")
    time.sleep(1.0)  # 20 frames at the simulated camera's rate, had the stream gone on
    assert number(browser, "shown") <= shown + 2  # at most the frames that were on their way
    browser.find_element(By.ID, "start").click()
    wait(browser, lambda d: text(d, "link-state") == "live", "the badge does not say live again")
    shown = number(browser, "shown")
    wait(browser, lambda d: number(d, "shown") > shown + 2, "no frames after Start")


def displayed_size(driver):
    return driver.execute_script("const i = document.getElementById('live'), b = document.getElementById('image-box');"
                                 "return [i.clientWidth, i.clientHeight, i.naturalWidth, i.naturalHeight,"
                                 " b.clientWidth, b.clientHeight];")


def test_zoom_fits_a_small_image_to_the_box_and_shows_it_one_to_one(browser):
    set_control(browser, "f-Height", 240)
    wait(browser, lambda d: displayed_size(d)[3] == 240, "the image does not become 240 high")
    set_control(browser, "f-Width", 320)
    wait(browser, lambda d: displayed_size(d)[2:4] == [320, 240], "the image does not become 320 x 240")
    width, height, _, _, box_width, box_height = displayed_size(browser)
    assert width > 320 and height > 240, (width, height)  # scaled up
    assert abs(width - box_width) <= 1 or abs(height - box_height) <= 1, displayed_size(browser)  # fills one side
    assert abs(width * 240 - height * 320) <= 320 + 240  # keeps the aspect ratio, to a pixel
    browser.find_element(By.ID, "zoom").click()
    wait(browser, lambda d: displayed_size(d)[:2] == [320, 240], "1:1 does not show the image at its size")
    browser.find_element(By.ID, "zoom").click()
    wait(browser, lambda d: displayed_size(d)[:2] == [width, height], "Fit does not scale the image again")


@pytest.mark.parametrize("level, shown", [
    ("Beginner", {"Width"}),
    ("Expert", {"Width", "EventExposureEnd"}),
    ("Guru", {"Width", "EventExposureEnd", "GevSCPD"}),
])
def test_visibility_filter_lists_the_features_of_the_level(browser, level, shown):
    from selenium.webdriver.support.ui import Select

    wait(browser, lambda d: d.find_elements(By.ID, "row-GevSCPD"), "no GevSCPD row")
    Select(browser.find_element(By.ID, "visibility")).select_by_visible_text(level)
    listed = {name for name in ("Width", "EventExposureEnd", "GevSCPD")
              if browser.find_element(By.ID, f"row-{name}").is_displayed()}
    Select(browser.find_element(By.ID, "visibility")).select_by_visible_text("Expert")
    assert listed == shown


def test_changes_by_another_page_or_program_show_without_reload(browser, viewer, sim):
    from korvalite.sim import FEATURE_REGISTERS

    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    try:
        browser.get(viewer.url)
        wait(browser, lambda d: d.find_elements(By.ID, "f-Gain"), "the second page has no Gain control")
        set_control(browser, "f-Gain", 7.5)
        set_control(browser, "f-Width", 300)  # OffsetX may then go up to 1280 - 300
        wait(browser, lambda d: value(d, "f-OffsetX", "max") == "980", "the second page's OffsetX bound stays")
    finally:
        browser.close()
        browser.switch_to.window(first)
    wait(browser, lambda d: value(d, "f-Gain") == "7.5", "the first page does not show the Gain written elsewhere")
    wait(browser, lambda d: value(d, "f-OffsetX", "max") == "980", "the first page keeps the old OffsetX bound")
    sim.write_register(FEATURE_REGISTERS["AcquisitionFrameCount"], 7)  # as another program would
    wait(browser, lambda d: value(d, "f-AcquisitionFrameCount") == "7",
         "the page does not show a value changed by another program")


def test_exposure_slider_is_logarithmic(browser, sim):
    # ExposureTime runs from 0.1 to 10,000,000 µs: each decade is an eighth of the slider.
    set_control(browser, "f-ExposureTime", 10000)
    wait(browser, lambda d: value(d, "s-ExposureTime") == "625", "10 ms is not at 5/8 of the slider")
    assert value(browser, "s-ExposureTime", "data-scale") == "log"
    set_control(browser, "s-ExposureTime", 750)  # 0.1 µs * 10^6
    wait(browser, lambda d: value(d, "f-ExposureTime") == "100000", "3/4 of the slider does not write 100 ms")
    assert value(browser, "s-ExposureTime") == "750"


def test_read_only_slider_sits_at_its_value(browser):
    # SensorWidth (1280) is read-only with its type's bounds, 0 to 2^32 - 1: a wide range, so logarithmic.
    expected = round(1000 * math.log1p(1280) / math.log1p(2 ** 32 - 1))
    wait(browser, lambda d: value(d, "s-SensorWidth") == str(expected), "the SensorWidth slider is off its value")
    assert (value(browser, "s-SensorWidth", "disabled"), value(browser, "f-SensorWidth")) == ("true", "1280")


def _request(viewer, path, *, token=True, origin=True, body=None):
    url = viewer.origin + path
    if token:
        url += ("&" if "?" in path else "?") + "token=" + viewer.url.split("token=", 1)[1]
    headers = {"Content-Type": "application/json"}
    if origin:
        headers["Origin"] = viewer.origin if origin is True else origin
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    request = urllib.request.Request(url, data=data, headers=headers, method="POST" if data is not None else "GET")
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


@pytest.mark.parametrize("path, options, status", [
    ("/api/features", {"token": False}, 403),
    ("/", {"token": False}, 403),
    ("/api/feature", {"body": {"name": "Width", "value": "256"}, "origin": "http://evil.invalid"}, 403),
    ("/api/feature", {"body": {"name": "Width", "value": "256"}, "origin": False}, 403),
    ("/api/feature", {"body": b"{not json"}, 400),
    ("/api/feature", {"body": ["Width", 256]}, 400),
    ("/api/feature", {"body": {"name": "Nope", "value": "1"}}, 400),
    ("/api/feature", {"body": {"name": "Width; rm", "value": "1"}}, 400),
    ("/api/feature", {"body": {"name": "Width", "value": ["1"]}}, 400),
    ("/api/record", {"body": {"count": 0}}, 400),
    ("/api/acquisition", {"body": {"action": "explode"}}, 400),
    ("/api/pixel?x=a&y=1", {}, 400),
])
def test_requests_not_from_the_page_or_malformed_are_refused(viewer, sim, path, options, status):
    from korvalite.sim import FEATURE_REGISTERS

    before = sim.read_register(FEATURE_REGISTERS["Width"])
    assert _request(viewer, path, **options)[0] == status
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == before


SETTINGS_HEADER = b"# korvalite settings 1\n"


@pytest.mark.parametrize("path, body, message", [
    ("/api/feature", {"name": "Width", "value": 2 ** 80},
     "the value for Width is out of the 64-bit integer range: 1208925819614629174706176"),
    ("/api/feature", {"name": "Width", "value": -2 ** 80},
     "the value for Width is out of the 64-bit integer range: -1208925819614629174706176"),
    ("/api/feature", b'{"name": "DeviceUserID", "value": "\\ud800"}',
     "the value for DeviceUserID is not valid Unicode text"),
    ("/api/feature", b"[" * 100000 + b"]" * 100000, "the request body is nested too deeply"),
    ("/api/feature", b'{"name": "Width", "value": ' + b"[" * 5000 + b"]" * 5000 + b"}",
     "the request body is nested too deeply"),
    ("/api/feature", b"x" * ((1 << 20) + 4097), "the request body is larger than 1052672 bytes"),
    ("/api/settings", b"\xff\xfe\x00\x89PNG\r\n", "the settings file is not UTF-8 text"),
    ("/api/settings", SETTINGS_HEADER + b"#" * (1 << 20), "the settings file is larger than 1048576 bytes"),
    ("/api/settings", SETTINGS_HEADER + b"#" * ((1 << 20) + 4096), "the settings file is larger than 1048576 bytes"),
    ("/api/settings", b"Width = 64\n",
     "the settings file: not a korvalite settings file (the first line must be '# korvalite settings 1')"),
])
def test_unacceptable_requests_get_a_400_with_a_message(viewer, sim, path, body, message):
    from korvalite.sim import FEATURE_REGISTERS

    before = sim.read_register(FEATURE_REGISTERS["Width"])
    status, answer = _request(viewer, path, body=body)
    assert (status, json.loads(answer)) == (400, {"ok": False, "error": message})
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == before


def test_settings_lines_the_camera_cannot_take_are_reported_by_line(viewer, sim):
    from korvalite.sim import FEATURE_REGISTERS

    before = sim.read_register(FEATURE_REGISTERS["Width"])
    status, answer = _request(viewer, "/api/settings", body=SETTINGS_HEADER + b"Width = %d\n" % 2 ** 80
                              + b'DeviceUserID = "\\ud800"\n')
    failures = json.loads(answer)["failures"]
    assert (status, [f.split(":")[0] for f in failures]) == (200, ["line 2", "line 3"])
    assert "out of the 64-bit integer range" in failures[0] and "not valid Unicode text" in failures[1]
    assert sim.read_register(FEATURE_REGISTERS["Width"]) == before


def test_closed_tab_reconnecting_page_and_lost_camera_are_survived(browser, viewer, sim):
    browser.switch_to.new_window("tab")
    browser.get(viewer.url)
    wait(browser, lambda d: number(d, "shown") >= 1, "the second tab shows no frame")
    browser.close()
    browser.switch_to.window(browser.window_handles[0])
    shown = number(browser, "shown")
    wait(browser, lambda d: number(d, "shown") > shown + 2, "frames stop after another tab closed")
    browser.execute_script("socket.close()")  # as a dropped connection does: the page connects again
    shown = number(browser, "shown")
    wait(browser, lambda d: number(d, "shown") > shown + 2, "no frames after the page reconnected")

    sim.gone = True
    wait(browser, lambda d: d.find_element(By.ID, "lost").is_displayed(), "the lost camera is not shown")
    assert text(browser, "link-state") == "camera gone"
    errors = lambda: [line for line in viewer.lines if line.startswith("ERROR") or "Traceback" in line]  # noqa: E731
    wait(browser, lambda d: errors(), "the viewer logs no error for the lost camera")
    sim.gone = False
    time.sleep(1.5)  # the device lets go of the old control session after its heartbeat timeout
    browser.find_element(By.ID, "reconnect").click()
    wait(browser, lambda d: not d.find_element(By.ID, "lost").is_displayed(), "reconnecting does not clear the loss")
    wait(browser, lambda d: text(d, "link-state") == "live", "the badge does not say live after reconnecting")
    (error,) = errors()  # one line, no traceback
    assert error.startswith("ERROR korvalite.viewer: the camera is gone: "), viewer.lines
    shown = number(browser, "shown")
    wait(browser, lambda d: number(d, "shown") > shown + 2, "no frames after reconnecting")


def test_ctrl_c_stops_the_viewer(viewer):
    viewer.proc.send_signal(signal.SIGINT)
    assert viewer.proc.wait(20) == 0
    deadline = time.monotonic() + 5
    while "viewer stopped\n" not in viewer.lines and time.monotonic() < deadline:
        time.sleep(0.05)
    assert "viewer stopped\n" in viewer.lines


def test_device_events_are_listed_and_unsubscribed_on_close(tmp_path):
    from korvalite.viewer.session import Session

    class Subscription:
        cancelled = False

        def cancel(self):
            self.cancelled = True

    class EventCamera:
        def on_event(self, fn):
            self.deliver, self.subscription = fn, Subscription()
            return self.subscription

    cam, sent = EventCamera(), []
    session = Session(cam, tmp_path, publish=lambda frame: None, notify=sent.append)
    try:
        cam.deliver(types.SimpleNamespace(id=0x9001, name="FrameEnd", timestamp=123, stream_channel=0, block_id=7,
                                          data=b"\x01\xff"))
    finally:
        session.close()
    assert sent == list(session.events) == [{"type": "event", "id": 0x9001, "name": "FrameEnd", "timestamp": 123,
                                             "stream_channel": 0, "block_id": 7, "data": "01ff"}]
    assert cam.subscription.cancelled
    without = Session(object(), tmp_path, publish=lambda frame: None, notify=sent.append)
    without.close()
    assert not without.events_supported()


@pytest.mark.parametrize("port, exit_code, message", [
    ("taken", 1, "error: cannot listen on 127.0.0.1 port "),
    ("70000", 2, "error: --port must be 0 to 65535, not 70000"),
])
def test_view_refuses_a_port_it_cannot_use(simulated, free_ip, port, exit_code, message):
    import socket

    camera = simulated(free_ip())
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        if port == "taken":
            port = str(holder.getsockname()[1])
        done = subprocess.run([sys.executable, "-m", "korvalite", "view", camera.address, "--port", port],
                              capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr.startswith(message)) == (exit_code, True), done.stderr


@pytest.mark.parametrize("pixel_format, mode", [
    ("Mono8", "L"), ("Mono12", "L"), ("Mono10p", "L"), ("BayerRG8", "RGB"), ("BayerGB12p", "RGB"), ("RGB8", "RGB"),
    ("YUV422_8", "RGB"),
])
def test_page_frames_are_jpegs_of_the_saved_picture(sim_camera, pixel_format, mode):
    import io

    import numpy as np
    from PIL import Image

    from korvalite.images import image_array
    from korvalite.viewer.stream import encode_jpeg

    sim_camera.set_enum("PixelFormat", pixel_format)
    for name, value in (("Width", 64), ("Height", 48)):
        sim_camera.set_integer(name, value)
    frame = sim_camera.snap()
    encoded = encode_jpeg(7, frame)
    picture = Image.open(io.BytesIO(encoded.jpeg))
    expected = image_array(frame, bits=8)
    assert (picture.format, picture.mode, picture.size) == ("JPEG", mode, (64, 48))
    # JPEG loses some detail (colour most); a wrongly scaled picture differs by tens, a mosaic left grey in mode
    assert np.abs(np.asarray(picture, np.int16) - expected).mean() < 8
    assert sum(encoded.histogram) == expected.size


def test_a_write_reaches_every_page_with_the_bounds_it_changed(rig, free_ip, tmp_path):
    """Without a browser: the server itself sends each open page the features a write changed."""
    import asyncio

    import aiohttp

    from korvalite.viewer.server import Viewer

    sim, cam = rig(free_ip(), frame_rate=10.0)

    async def scenario():
        viewer = Viewer(cam, tmp_path)
        url = await viewer.start("127.0.0.1", 0)
        origin, headers = url.split("/?", 1)[0], {"Origin": url.split("/?", 1)[0]}
        async with aiohttp.ClientSession() as http:
            try:
                page = await http.ws_connect(f"{origin}/ws?token={viewer.token}", headers=headers)
                async with http.post(f"{origin}/api/feature?token={viewer.token}", headers=headers,
                                     json={"name": "Width", "value": "300"}) as response:
                    assert response.status == 200
                shown = {}
                deadline = time.monotonic() + WAIT
                while "Width" not in shown or "OffsetX" not in shown:
                    assert time.monotonic() < deadline, f"the page was not sent the changes: {sorted(shown)}"
                    message = await page.receive(timeout=WAIT)
                    if message.type == aiohttp.WSMsgType.TEXT and json.loads(message.data)["type"] == "features":
                        shown.update((f["name"], f) for f in json.loads(message.data)["features"])
                assert (shown["Width"]["value"], shown["OffsetX"]["max"]) == (300, 980)
                assert "Gain" not in shown  # only what changed
                await page.close()
            finally:
                await viewer.close()

    asyncio.run(scenario())
