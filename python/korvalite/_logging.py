"""Forwarding of the core's log events to Python's ``logging``.

Each event goes to the logger named after its target with ``::`` turned into ``.``
(``korvalite::gige::runner`` -> ``korvalite.gige.runner``). TRACE (5) sits below DEBUG. The
named fields of an event are attached to the record as ``record.fields`` and, where the name
does not clash with a record attribute, as attributes of their own.

The core only formats events for levels the Python loggers enable; thresholds are refreshed
periodically and on ``flush()``.
"""

from __future__ import annotations

import atexit
import logging

from . import _korvalite_core

TRACE = 5
logging.addLevelName(TRACE, "TRACE")

# Core level numbers (1 error .. 5 trace) to Python levels.
_TO_PYTHON = {1: logging.ERROR, 2: logging.WARNING, 3: logging.INFO, 4: logging.DEBUG, 5: TRACE}
_THRESHOLDS = ((TRACE, 5), (logging.DEBUG, 4), (logging.INFO, 3), (logging.WARNING, 2), (logging.ERROR, 1))


def logger_name(target: str) -> str:
    return target.replace("::", ".")


def _core_threshold(logger: logging.Logger) -> int:
    if logging.root.manager.disable >= logging.CRITICAL:
        return 0
    for python_level, core_level in _THRESHOLDS:
        if logger.isEnabledFor(python_level):
            return core_level
    return 0


def _refresh() -> None:
    for target in _korvalite_core._log.targets():
        _korvalite_core._log.set_level(target, _core_threshold(logging.getLogger(logger_name(target))))


def _deliver(target: str, level: int, message: str, fields: dict) -> None:
    name = logger_name(target)
    logger = logging.getLogger(name)
    python_level = _TO_PYTHON.get(level, logging.DEBUG)
    if not logger.isEnabledFor(python_level):
        return
    record = logger.makeRecord(name, python_level, "(korvalite)", 0, message, (), None)
    record.fields = dict(fields)
    for key, value in fields.items():
        if key not in record.__dict__:
            setattr(record, key, value)
    logger.handle(record)


def flush() -> None:
    """Deliver every event queued so far and re-read the logger levels."""
    _refresh()
    _korvalite_core._log.flush()


def dropped() -> int:
    """Events dropped because the delivery queue was full."""
    return _korvalite_core._log.dropped()


#: Level names the command lines accept for ``--log-level``.
LEVEL_NAMES = {"trace": TRACE, "debug": logging.DEBUG, "info": logging.INFO, "warning": logging.WARNING,
               "error": logging.ERROR, "off": logging.CRITICAL + 10}


def configure(level_name: str) -> None:
    """Logging for a command line: korvalite's events from ``level_name`` on, to standard error."""
    logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
    logging.getLogger("korvalite").setLevel(LEVEL_NAMES[level_name])
    _refresh()


def install() -> None:
    _refresh()
    _korvalite_core._log.install(_deliver, _refresh)


def _shutdown() -> None:
    _korvalite_core._log.uninstall()


atexit.register(_shutdown)
