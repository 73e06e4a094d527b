"""Type-checked only (mypy --strict in scripts/check_types.sh), never run: a
host's uses of the stubs that must keep type-checking."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, cast

import qor_engine

if TYPE_CHECKING:
    from qor_engine import AnyAgentJson, Explanation, FrameResponse, ZoneJson


def double_every_charge(zone: qor_engine.Environment) -> None:
    # Any iterable of Charge may be assigned, a generator included.
    zone.charges = (
        qor_engine.Charge(charge.magnitude * 2, charge.polarity, charge.visual_id)
        for charge in zone.charges
    )


def gate_rules(zone: ZoneJson) -> list[str]:
    rules: list[str] = []
    for agent in zone["agents"]:
        if agent["name"] == "The Judge":
            rules.append(agent["rule"])  # narrowed to InequalityGateJson by its name
        elif "target_value" in agent:
            rules.append(f"= {agent['target_value']}")
    for sub_zone in zone["sub_environments"]:
        rules += gate_rules(sub_zone)
    return rules


def describe(agent: AnyAgentJson) -> str:
    return f"{agent['name']} ({agent['priority']}) {agent['state']}"


def play(root: qor_engine.Environment) -> list[str]:
    sequencer = qor_engine.NarrativeSequencer(root, max_frames=5000)
    sequencer.max_frames = sequencer.max_frames + 1
    lines: list[str] = []
    while not sequencer.is_finished:
        frame = cast("FrameResponse", json.loads(sequencer.next_frame()))
        meta = frame["meta"]
        event = meta["last_event"]
        kind = event["type"] if event is not None else meta["status"]
        magnitudes = [charge["magnitude"] for charge in frame["charges"]]
        lines.append(f"{meta['frame_index']} {kind} {magnitudes} {gate_rules(frame)}")
    return lines


def why_waiting(sequencer: qor_engine.NarrativeSequencer) -> list[str]:
    explained = cast("Explanation", json.loads(sequencer.explain()))
    lines = [f"{explained['outcome']}: {explained['summary']}"]
    for agent in explained["agents"]:
        if agent["state"] != "acts":
            zone = explained["zones"][agent["zone"]]
            lines.append(f"{zone['id']} {agent['slot']} {agent['reason']}: {agent['note']} {agent['figures'].get('total')}")
    return lines
