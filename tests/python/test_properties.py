"""Random levels built and played through the module, with a host that meddles
between frames. Whatever the level and the host do, every frame keeps the
engine's promises:

* the frame text is one JSON object: the root zone's own text with "meta" added,
  matching schemas/frame.schema.json;
* the counter and the finished flag move as the frame's state says (running,
  finished, or at the frame limit), and frame_index is the counter;
* every agent still in the tree is dormant;
* a running frame that does not end the level removes an agent or a zone, so a
  level with A agents and Z zones below the root ends within A + Z + 1 running
  frames of the host's last change;
* the same level played the same way gives the same texts, byte for byte, and
  a level whose ids are not UTF-8 plays exactly like its twin with good ids
  even though its frame texts cannot be written;
* a level played by patches keeps, with the patches applied, the document of
  its twin played by frames, and a call with no host change before it names
  only what its frame did.
"""

import copy
import json
import math
import os
import pickle
import re
from dataclasses import dataclass, field

import jsonpatch
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer
from run_length import LONG
from schemas import assert_valid_frame, assert_valid_patch

LIMIT_FRAMES = 1000
COMPLETE = "Simulation complete. No further actions."
LIMIT = "Max frame limit reached. Infinite loop detected."
RESOLVED = "Equation Resolved."
INT32 = (-(2**31), 2**31 - 1)

# The sanitizer run is several times slower: fewer examples keep it short.
# The long runs (scripts/test_long.sh) take the full budgets.
SCALE = (0.3 if os.environ.get("QOR_SANITIZED_BUILD") else 1.0) * (1.0 if LONG else 0.3)


def budget(examples: int) -> settings:
    return settings(max_examples=max(10, int(examples * SCALE)), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# --- strategies ---------------------------------------------------------------

AWKWARD = [0.0, -0.0, 1.0, 2.0, 3.0, 0.5, 1e-9, 1e-7, 170.0, 171.0, 1e21, 1e308, -1e308,
           2.0**31, -(2.0**31) - 1, 2.0**53 + 2, math.nan, -math.nan, math.inf, -math.inf,
           5e-324, 1.7976931348623157e308]
small_numbers = st.integers(-6, 12).map(float)
# Mostly small whole numbers, so that spells take effect and levels run for a while.
numbers = st.one_of(small_numbers, small_numbers, st.sampled_from(AWKWARD), st.floats())
polarities = st.one_of(st.sampled_from([0, 1, 2]), st.integers(*INT32)).map(ChargePolarity)
ids = st.text(max_size=4)
charges = st.tuples(numbers, polarities, ids)

SIMPLE_KINDS = ["plus_magician", "minus_magician", "multiply_magician", "divide_magician",
                "power_sorcerer", "root_magician", "abs_magician", "factorial_magician",
                "modulo_magician", "log_magician", "chronomancer"]
RULES = st.one_of(st.sampled_from(["<", ">", "<=", ">=", "", "=>", " >", "less"]), st.text(max_size=3))
agents = st.one_of(
    st.tuples(st.sampled_from(SIMPLE_KINDS), ids),
    st.tuples(st.just("equals_gate"), ids, numbers),
    st.tuples(st.just("inequality_gate"), ids, numbers, RULES),
)


@st.composite
def zone_plans(draw, parent_count: int):
    return {
        "parent": draw(st.integers(0, parent_count - 1)) if parent_count else None,
        "id": draw(ids),
        "charges": draw(st.lists(charges, max_size=5)),
        "agents": draw(st.lists(agents, max_size=4)),
        "frozen": draw(st.booleans()),
    }


@st.composite
def levels(draw):
    count = draw(st.integers(1, 7))
    zones = [draw(zone_plans(i)) for i in range(count)]
    # Extra places for zones already under another: shared zones (an earlier
    # zone over a later one, so never a cycle) and attempts to make a cycle.
    shares = draw(st.lists(st.tuples(st.integers(0, count - 1), st.integers(0, count - 1)), max_size=3))
    return {"zones": zones, "shares": shares}


# What the host may do between frames; zone numbers are taken modulo the zones made.
host_actions = st.one_of(
    st.tuples(st.just("counter"), st.one_of(st.sampled_from([0, 998, 999, 1000, -1, *INT32]), st.integers(*INT32))),
    st.tuples(st.just("finished"), st.booleans()),
    st.tuples(st.just("add_charge"), st.integers(0, 99), charges),
    st.tuples(st.just("add_agent"), st.integers(0, 99), agents),
    st.tuples(st.just("add_zone"), st.integers(0, 99), ids, st.lists(charges, max_size=2)),
    st.tuples(st.just("frozen"), st.integers(0, 99), st.booleans()),
    st.tuples(st.just("rename"), st.integers(0, 99), ids),
    st.tuples(st.just("keep_charges"), st.integers(0, 99), st.integers(0, 4)),
    st.tuples(st.just("write_item"), st.integers(0, 99), st.integers(0, 9), st.sampled_from(["magnitude", "polarity", "visual_id"]),
              st.one_of(numbers, polarities, ids)),
    st.tuples(st.just("stale_item"), st.integers(0, 99), charges),
)
# Between frames: mostly nothing, sometimes a few host actions.
host_scripts = st.lists(st.one_of(st.just([]), st.lists(host_actions, min_size=1, max_size=3)), max_size=25)


# --- building and meddling ---------------------------------------------------

def place_agent(zone: Environment, agent: tuple) -> None:
    kind, *args = agent
    getattr(zone, f"add_{kind}")(*args)


@dataclass
class Level:
    root: Environment
    zones: list[Environment] = field(default_factory=list)
    refused_cycles: int = 0


def IDENTITY(text):
    return text


def build(plan: dict, rename=IDENTITY) -> Level:
    zones, below = [], []  # below[i]: the numbers of the zones placed under zone i
    for number, zone_plan in enumerate(plan["zones"]):
        zone = Environment(rename(zone_plan["id"]))
        for magnitude, polarity, visual_id in zone_plan["charges"]:
            zone.add_charge(magnitude, polarity, rename(visual_id))
        for agent in zone_plan["agents"]:
            place_agent(zone, (agent[0], rename(agent[1]), *agent[2:]))
        zone.is_time_frozen = zone_plan["frozen"]
        if zone_plan["parent"] is not None:
            zones[zone_plan["parent"]].add_sub_environment(zone)
            below[zone_plan["parent"]].append(number)
        zones.append(zone)
        below.append([])

    def reaches(start: int, goal: int) -> bool:
        return start == goal or any(reaches(sub, goal) for sub in below[start])

    level = Level(zones[0], zones)
    for parent, child in plan["shares"]:
        # A second place for a zone: refused exactly when it would make a cycle.
        if reaches(child, parent):
            before = level.root.to_json() if rename is IDENTITY else None
            with pytest.raises(ValueError, match="its own ancestor"):
                zones[parent].add_sub_environment(zones[child])
            if before is not None:
                assert level.root.to_json() == before, "a refused zone changed the tree"
            level.refused_cycles += 1
        else:
            zones[parent].add_sub_environment(zones[child])
            below[parent].append(child)
    return level


def meddle(level: Level, sequencer: NarrativeSequencer, action: tuple, rename=IDENTITY) -> None:
    what, *args = action
    if what == "counter":
        sequencer.current_frame = args[0]
    elif what == "finished":
        sequencer.is_finished = args[0]
    else:
        zone = level.zones[args[0] % len(level.zones)]
        rest = args[1:]
        if what == "add_charge":
            magnitude, polarity, visual_id = rest[0]
            zone.add_charge(magnitude, polarity, rename(visual_id))
        elif what == "add_agent":
            agent = rest[0]
            place_agent(zone, (agent[0], rename(agent[1]), *agent[2:]))
        elif what == "add_zone":
            made = Environment(rename(rest[0]))
            for magnitude, polarity, visual_id in rest[1]:
                made.add_charge(magnitude, polarity, rename(visual_id))
            zone.add_sub_environment(made)
            level.zones.append(made)
        elif what == "frozen":
            zone.is_time_frozen = rest[0]
        elif what == "rename":
            zone.id = rename(rest[0])
        elif what == "keep_charges":
            zone.charges = zone.charges[: rest[0]]
        elif what == "write_item":
            index, member, value = rest
            items = zone.charges
            if not items:
                return
            if member == "magnitude" and isinstance(value, float):
                items[index % len(items)].magnitude = value
            elif member == "polarity" and isinstance(value, ChargePolarity):
                items[index % len(items)].polarity = value
            elif member == "visual_id" and isinstance(value, str):
                items[index % len(items)].visual_id = rename(value)
        elif what == "stale_item":
            items = zone.charges
            magnitude, polarity, visual_id = rest[0]
            zone.add_charge(magnitude, polarity, rename(visual_id))
            for item in items:
                with pytest.raises(RuntimeError, match="stale"):
                    item.magnitude
                with pytest.raises(RuntimeError, match="stale"):
                    item.visual_id = "x"


# --- checking frames ----------------------------------------------------------

def measure(state: dict) -> tuple[int, int]:
    """(agents, zones below) of a zone's JSON, a shared zone counted at each place."""
    agent_count, zone_count = len(state["agents"]), 0
    for sub in state["sub_environments"]:
        sub_agents, sub_zones = measure(sub)
        agent_count += sub_agents
        zone_count += 1 + sub_zones
    return agent_count, zone_count


def all_agents(state: dict):
    yield from state["agents"]
    for sub in state["sub_environments"]:
        yield from all_agents(sub)


def checked_frame(sequencer: NarrativeSequencer, root: Environment) -> tuple[str, bool]:
    """Plays one frame, checks it; returns its text and whether it was a running frame."""
    frame_before, finished_before = sequencer.current_frame, sequencer.is_finished
    size_before = sum(measure(json.loads(root.to_json())))

    text = sequencer.next_frame()

    # One JSON object: the root's own text with "meta" before its last member.
    frame = json.loads(text)
    assert_valid_frame(frame)
    root_text = root.to_json()
    cut = root_text.index(',"sub_environments":')  # the root's own: nested ones come later
    head, tail = root_text[:cut] + ',"meta":', root_text[cut:]
    assert text.startswith(head) and text.endswith(tail), "the frame is not the root's text plus meta"
    meta = json.loads(text[len(head):len(text) - len(tail)])
    assert meta == frame["meta"] and set(meta) == {"frame_index", "last_event", "message", "status"}
    assert meta["frame_index"] == sequencer.current_frame

    running = False
    if frame_before >= LIMIT_FRAMES:
        assert (meta["status"], meta["message"], meta["last_event"]) == ("ERROR", LIMIT, None)
        assert (sequencer.current_frame, sequencer.is_finished) == (frame_before, True)
    elif finished_before:
        assert (meta["status"], meta["message"], meta["last_event"]) == ("FINISHED", COMPLETE, None)
        assert (sequencer.current_frame, sequencer.is_finished) == (frame_before, True)
    else:
        running = True
        assert sequencer.current_frame == frame_before + 1
        assert meta["last_event"]["description"] == meta["message"]
        if meta["status"] == "FINISHED":
            assert sequencer.is_finished and meta["message"] == RESOLVED
        else:
            assert meta["status"] == "RUNNING" and not sequencer.is_finished
            assert sum(measure(frame)) < size_before, "a running frame removed neither an agent nor a zone"
    assert all(agent["state"] == "dormant" for agent in all_agents(frame))
    return text, running


def play(plan: dict, script: list, check: bool) -> list[str]:
    """Builds the level, plays it with the host's script, then to the end; the frame texts."""
    level = build(plan)
    sequencer = NarrativeSequencer(level.root)
    size_at_change = sum(measure(json.loads(level.root.to_json())))
    running_since_change = 0
    texts = []

    def frame():
        nonlocal running_since_change
        if check:
            text, running = checked_frame(sequencer, level.root)
            if running:
                running_since_change += 1
                assert running_since_change <= size_at_change + 1, "the level ran longer than A + Z + 1 frames"
        else:
            text = sequencer.next_frame()
        texts.append(text)

    for actions in script:
        for action in actions:
            meddle(level, sequencer, action)
        if actions:
            size_at_change = sum(measure(json.loads(level.root.to_json())))
            running_since_change = 0
        frame()
    # No more meddling: the level must end within its bound, then stay ended.
    for _ in range(size_at_change + 2):
        if sequencer.is_finished:
            break
        frame()
    assert sequencer.is_finished
    frame()
    return texts


# --- the properties -------------------------------------------------------------

@budget(1000)
@given(plan=levels(), script=host_scripts)
def test_every_frame_keeps_the_engines_promises(plan, script):
    play(plan, script, check=True)


@budget(300)
@given(plan=levels(), script=host_scripts)
def test_the_same_level_played_the_same_way_gives_the_same_texts(plan, script):
    assert play(plan, script, check=False) == play(plan, script, check=False)


def not_utf8(text: str) -> bytes:
    return b"\xff" + text.encode()


def charge_values(zone: Environment) -> list[tuple]:
    return [(repr(item.magnitude), int(item.polarity)) for item in zone.charges]


@budget(300)
@given(plan=levels(), script=host_scripts)
def test_a_frame_whose_text_fails_does_not_happen(plan, script):
    # Every id is not UTF-8, so no frame's text can be written: each call
    # raises and leaves the level as it was, charges items still live.
    level = build(plan, rename=not_utf8)
    sequencer = NarrativeSequencer(level.root)
    script = [[a for a in actions if a[0] != "stale_item"] for actions in script] + [[]] * 3
    for actions in script:
        for action in actions:
            meddle(level, sequencer, action, rename=not_utf8)
        items = [zone.charges for zone in level.zones]
        before = (sequencer.current_frame, sequencer.is_finished, [charge_values(z) for z in level.zones])
        with pytest.raises(RuntimeError, match="316"):
            sequencer.next_frame()
        assert (sequencer.current_frame, sequencer.is_finished,
                [charge_values(z) for z in level.zones]) == before
        assert [[repr(item.magnitude) for item in zone_items] for zone_items in items] == \
            [[repr(item.magnitude) for item in zone.charges] for zone in level.zones]


# --- frames as patches --------------------------------------------------------

ZONE_PATH = r"(/sub_environments/\d+)*"
# What each kind of call may change when the host changed nothing before it,
# besides "meta" members and frozen flags: (op, path pattern) pairs.
ALLOWED_OPS = {
    "CAST_SPELL": [("remove", rf"{ZONE_PATH}/agents/\d+"),
                   ("replace|remove|add", rf"{ZONE_PATH}/charges(/\d+)?")],
    "COLLAPSE_ZONE": [("add", rf"{ZONE_PATH}/charges/\d+"), ("remove", rf"{ZONE_PATH}/sub_environments/\d+")],
    None: [],  # the end of the level, or a call after it
}
ALWAYS_ALLOWED = [("replace", r"/meta/(frame_index|last_event|message|status)"),
                  ("replace", rf"{ZONE_PATH}/is_time_frozen")]


def assert_ops_name_what_the_frame_did(patch: list, frame: dict) -> None:
    event = frame["meta"]["last_event"]
    kind = event["type"] if event and event["type"] != "FINISHED" else None
    allowed = ALLOWED_OPS[kind] + ALWAYS_ALLOWED
    for op in patch:
        assert any(re.fullmatch(name, op["op"]) and re.fullmatch(path, op["path"]) for name, path in allowed), \
            f"{op['op']} {op['path']} in a {kind} frame"
    if kind == "COLLAPSE_ZONE":
        assert any(op["op"] == "remove" and "/sub_environments/" in op["path"] for op in patch)


def a_bad_id_changes_nothing(level: Level, sequencer: NarrativeSequencer) -> None:
    """A call whose text cannot be written raises and leaves the level and the base as they were."""
    zone = level.root
    kept_id, counter = zone.id, sequencer.current_frame
    zone.id = b"\xff"
    with pytest.raises(RuntimeError, match="316"):
        sequencer.next_frame_patch()
    zone.id = kept_id
    assert sequencer.current_frame == counter


@budget(500)
@given(plan=levels(), script=host_scripts, ways=st.lists(st.sampled_from(["patch", "frame", "bad_id"]), max_size=30))
def test_the_document_kept_by_patches_is_every_frame(plan, script, ways):
    # Two builds of one level, meddled with alike: one answers frames, the
    # other patches (now and then a frame, or a call that raises). Applied in
    # place, the patches keep the frames' document, call after call.
    by_frames, by_patches = build(plan), build(plan)
    frames, patches = NarrativeSequencer(by_frames.root), NarrativeSequencer(by_patches.root)
    script = [[a for a in actions if a[0] != "stale_item"] for actions in script] + [[]] * 12
    document = None
    for call, actions in enumerate(script):
        for action in actions:
            meddle(by_frames, frames, action)
            meddle(by_patches, patches, action)
        way = ways[call] if call < len(ways) else "patch"
        if way == "bad_id":
            a_bad_id_changes_nothing(by_patches, patches)
        frame = json.loads(frames.next_frame())
        if way == "frame":
            document = json.loads(patches.next_frame())
        else:
            patch = json.loads(patches.next_frame_patch())
            assert_valid_patch(patch)
            if document is None:
                assert patch == [{"op": "replace", "path": "", "value": frame}]
            elif not actions:
                assert_ops_name_what_the_frame_did(patch, frame)
            document = jsonpatch.apply_patch(document, patch, in_place=True)
        assert document == frame
        assert json.dumps(document, allow_nan=False) == json.dumps(frame, allow_nan=False)


@pytest.mark.parametrize("make_copy", [
    lambda s: NarrativeSequencer.load(s.save()), copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s)),
], ids=["load", "copy", "deepcopy", "pickle"])
def test_a_copy_starts_with_the_whole_document(make_copy):
    level = build({"zones": [{"parent": None, "id": "hall", "charges": [(1.0, ChargePolarity(0), "a"),
                                                                         (2.0, ChargePolarity(0), "b")],
                              "agents": [("plus_magician", "p")], "frozen": False}], "shares": []})
    sequencer = NarrativeSequencer(level.root)
    sequencer.next_frame_patch()
    copied = make_copy(sequencer)
    assert json.loads(copied.next_frame_patch()) == [{"op": "replace", "path": "", "value": json.loads(sequencer.next_frame())}]
