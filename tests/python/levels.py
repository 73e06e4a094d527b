"""Helpers that play levels through the public API."""

import json

from qor_engine import Environment, NarrativeSequencer


def play(sequencer: NarrativeSequencer, limit: int = 5000) -> list[dict]:
    """Every frame until the level is finished, parsed."""
    frames = []
    while not sequencer.is_finished and len(frames) < limit:
        frames.append(json.loads(sequencer.next_frame()))
    return frames


def step(sequencer: NarrativeSequencer) -> dict:
    return json.loads(sequencer.next_frame())


def summary(frame: dict) -> tuple:
    meta = frame["meta"]
    return meta["frame_index"], meta["status"], meta["message"]


def charges_of(zone_state: dict) -> list[tuple]:
    return [(c["magnitude"], c["polarity"], c["visual_id"]) for c in zone_state["charges"]]


def zone(name: str, *charges: tuple, agents: tuple = (), subs: tuple = ()) -> Environment:
    """A zone from (magnitude, polarity, id) charges, (method, args...) agents and sub-zones."""
    made = Environment(name)
    for magnitude, polarity, visual_id in charges:
        made.add_charge(magnitude, polarity, visual_id)
    for method, *args in agents:
        getattr(made, f"add_{method}")(*args)
    for sub in subs:
        made.add_sub_environment(sub)
    return made
