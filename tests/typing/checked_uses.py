"""Type-checked only (mypy --strict and pyright in scripts/check_types.sh),
never run: what the stubs let a type checker refuse, and what they accept.

Each line a checker must flag carries `# type: ignore[CODE]`. Both checkers
report an ignore comment that silences nothing (mypy --strict's
warn_unused_ignores, pyright's reportUnnecessaryTypeIgnoreComment), so a stub
loosened to take such a line fails the check, and mypy also fails when it
flags the line for another reason than CODE."""

from __future__ import annotations

from typing import TYPE_CHECKING, cast

import qor_engine

if TYPE_CHECKING:
    from qor_engine import RuleText


def frame_limits(level: qor_engine.NarrativeSequencer) -> None:
    level.max_frames = 2.5  # type: ignore[assignment]
    level.current_frame = 2.5  # type: ignore[assignment]
    level.max_frames = "10"  # type: ignore[assignment]
    level.max_frames = 10
    level.max_frames = True  # a bool is an int
    level.current_frame = level.max_frames - 1
    qor_engine.NarrativeSequencer(level.root_environment, max_frames=2.5)  # type: ignore[arg-type]
    qor_engine.NarrativeSequencer(level.root_environment, max_frames=500)


def gate_rules(zone: qor_engine.Environment, rule_from_a_file: str) -> None:
    zone.add_inequality_gate("j", 1.0, "=>")  # type: ignore[arg-type]
    zone.add_inequality_gate("j", 1.0, "<>")  # type: ignore[arg-type]
    zone.add_inequality_gate("j", 1.0, rule_from_a_file)  # type: ignore[arg-type]
    for rule in ("<", ">", "<=", ">="):
        zone.add_inequality_gate("j", 1.0, rule)
    zone.add_inequality_gate(b"j", 2, ">=")
    zone.add_inequality_gate("j", 1.0, cast("RuleText", rule_from_a_file))


def property_types(charge: qor_engine.Charge, zone: qor_engine.Environment) -> None:
    charge.magnitude = "1"  # type: ignore[assignment]
    charge.magnitude = 1
    zone.is_time_frozen = "yes"  # type: ignore[assignment]
    zone.id = 5  # type: ignore[assignment]
    zone.id = b"raw"
