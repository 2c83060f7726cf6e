import logging

import pytest

import korvalite
from korvalite import _korvalite_core, _korvalite_testing, _logging


def test_exception_classes():
    for cls, name, doc in (
        (korvalite.CameraError, "CameraException",
         "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, "
         "lost control, or a malformed packet."),
        (korvalite.GenicamError, "GenicamException",
         "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out "
         "of range, or a broken device description."),
    ):
        assert issubclass(cls, RuntimeError)
        assert cls.__module__ == "korvalite"
        assert cls.__name__ == name
        assert cls.__doc__ == doc
    assert korvalite.CameraException is korvalite.CameraError
    for cls, name, base in ((korvalite.CameraTimeoutError, "CameraTimeoutError", korvalite.CameraError),
                            (korvalite.GenicamTimeoutError, "GenicamTimeoutError", korvalite.GenicamError)):
        assert (cls.__module__, cls.__name__, cls.__bases__) == ("korvalite", name, (base, TimeoutError))
    assert _korvalite_core.CameraError is korvalite.CameraError


@pytest.mark.parametrize(
    "which, cls, text",
    [
        ("status", korvalite.CameraError, "device answered command 0x0082 with access denied (0x8006)"),
        ("transport_ack_timeout", korvalite.CameraTimeoutError, "timed out waiting for acknowledge"),
        ("connect_timeout", korvalite.CameraTimeoutError, "connect timed out"),
        ("shared_not_connected", korvalite.CameraError, "driver is not connected"),
        ("feature_not_found", korvalite.GenicamError, "feature 'Gain' not found"),
        ("snap_timeout", korvalite.GenicamTimeoutError, "no frame arrived within the snap timeout"),
    ],
)
def test_error_conversion(which, cls, text):
    with pytest.raises(RuntimeError) as info:
        _korvalite_testing.raise_error(which)
    assert type(info.value) is cls
    assert info.value.args == (text,)
    # A time-out keeps its korvalite class and is the built-in TimeoutError too.
    assert isinstance(info.value, TimeoutError) == ("timeout" in which)
    assert isinstance(info.value, korvalite.GenicamError if "Genicam" in cls.__name__ else korvalite.CameraError)


def test_worker_event_reaches_logging_with_fields(core_log):
    _korvalite_testing.emit_on_worker(
        "korvalite::gige::runner", 5, "sent READREG", {"request_id": 7, "address": "0x0a00", "retry": False}
    )
    _logging.flush()
    records = [r for r in core_log.records if r.name == "korvalite.gige.runner"]
    assert len(records) == 1
    record = records[0]
    assert record.levelno == _logging.TRACE
    assert record.levelname == "TRACE"
    assert record.getMessage() == "sent READREG"
    assert record.fields == {"request_id": 7, "address": "0x0a00", "retry": False}
    assert record.request_id == 7


def test_scheduling_warning_from_worker_thread(core_log):
    import os

    cpus = os.cpu_count()
    _korvalite_testing.apply_thread_config_on_worker(cpus + 1000, 0)
    _logging.flush()
    records = [r for r in core_log.records if r.name == "korvalite.thread_util"]
    assert [r.levelno for r in records] == [logging.WARNING]
    assert records[0].getMessage().startswith(f"thread scheduling not applied: CPU {cpus + 1000} out of range 0..")


def test_python_logger_levels_decide_what_the_core_formats(caplog):
    logger = logging.getLogger("korvalite.genicam")
    old = logger.level
    try:
        logger.setLevel(logging.WARNING)
        _logging.flush()
        assert _korvalite_core._log.level("korvalite::genicam") == 2
        _korvalite_testing.emit_on_worker("korvalite::genicam", 4, "hidden debug")
        logger.setLevel(_logging.TRACE)
        _logging.flush()
        assert _korvalite_core._log.level("korvalite::genicam") == 5
        _korvalite_testing.emit_on_worker("korvalite::genicam", 4, "visible debug")
        _logging.flush()
        messages = [r.getMessage() for r in caplog.records if r.name == "korvalite.genicam"]
        assert messages == ["visible debug"]
    finally:
        logger.setLevel(old)


def test_interpreter_exit_with_pending_events_is_quiet(tmp_path):
    import subprocess
    import sys

    script = (
        "import logging, korvalite\n"
        "from korvalite import _korvalite_testing as t\n"
        "logging.basicConfig(level=5)\n"
        "korvalite._logging.flush()\n"
        "for i in range(200): t.emit_on_worker('korvalite::py', 2, 'event %d' % i)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    assert "Fatal" not in result.stderr
