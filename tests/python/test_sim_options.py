"""The simulated camera's option table: the constructor and the command line are built from it."""

import inspect

import pytest

import korvalite
from korvalite.sim import SimulatedCamera
from korvalite.sim import _cli

OPTIONS = {o["name"]: o for o in korvalite._korvalite_core._sim.OPTIONS}


def test_constructor_and_command_line_defaults_agree_with_the_table():
    parameters = inspect.signature(SimulatedCamera).parameters
    assert list(parameters) == list(OPTIONS)
    assert {name: p.default for name, p in parameters.items()} == {n: o["default"] for n, o in OPTIONS.items()}
    args = vars(_cli.parser().parse_args([]))
    for name, option in OPTIONS.items():
        if option["flag"]:
            assert args[name] == ([] if option["repeatable"] else option["default"]), name
    faults = _cli.camera_from(_cli.parser().parse_args([])).faults
    for name in ("seed", "stream_drop", "resend_reorder", "pending_ack_announce_ms", "pending_ack_delay_ms"):
        assert faults[name] == OPTIONS[name]["default"], name


@pytest.mark.parametrize("argv, keyword, value", [
    (["--no-broadcast"], "answer_broadcast", False),
    (["--no-packet-resend"], "packet_resend", False),
    (["--free-run"], "frame_rate_enable", False),
    (["--extended-ids"], "extended_ids", True),
    (["--mask", "255.255.0.0"], "subnet_mask", "255.255.0.0"),
    (["--description", "cam.xml"], "description_file", "cam.xml"),
    (["--first-block-id", "0x10"], "first_block_id", 16),
    (["--drop", "0.25"], "stream_drop", 0.25),
    (["--test-pattern", "GreyDiagonalRampMoving"], "test_pattern", "GreyDiagonalRampMoving"),
    (["--pending-ack-ms", "5"], "pending_ack_announce_ms", 5),
    (["--pending-ack", "READREG", "--pending-ack", "WRITEMEM"], "pending_ack", ["READREG", "WRITEMEM"]),
    (["--refuse", "0x10", "--refuse", "0x20=0x8001"], "refuse", {0x10: 0x8006, 0x20: 0x8001}),
])
def test_command_line_flags_reach_their_keywords(monkeypatch, argv, keyword, value):
    seen = {}
    monkeypatch.setattr(_cli, "SimulatedCamera", lambda **kwargs: seen.update(kwargs))
    _cli.camera_from(_cli.parser().parse_args(argv))
    assert seen[keyword] == value
    assert set(seen) == {name for name, option in OPTIONS.items() if option["flag"]}
