import logging

import pytest

import korvalite
from korvalite import _logging


@pytest.fixture
def core_log(caplog):
    """Capture korvalite's log records at every level, TRACE included."""
    caplog.set_level(_logging.TRACE, logger="korvalite")
    _logging.flush()
    yield caplog
    _logging.flush()
