"""The JSON Schemas in schemas/ against what the engine and play.py really do.

* Every golden frame matches the frame schema (the property tests check the
  frames of random levels too), and the schema refuses what no frame holds.
* The engine's level reader (through play.py) and the level schema agree: every level file the schema
  accepts plays, every file it refuses is refused with exit status 2. The
  four rules the schema cannot state (unique ids, keys given once, nesting
  depth, file size) are tested on their own. `play.py --check` lists every
  problem of a file with its place.
"""

from __future__ import annotations

import contextlib
import copy
import importlib.util
import io
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qor_engine
from level_corpus import AGENT_KINDS
from schemas import assert_valid_frame, problem

REPO = Path(__file__).resolve().parents[2]
GOLDEN_FRAMES = sorted((REPO / "tests" / "golden" / "frames").glob("*.jsonl"))
LEVELS = sorted((REPO / "examples" / "levels").glob("*.json"))
DOUBLE_MAX = sys.float_info.max


def load_play() -> Any:
    spec = importlib.util.spec_from_file_location("qor_play_for_schemas", REPO / "examples" / "play.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


PLAY = load_play()


# --------------------------------------------------------------------------
# Frames
# --------------------------------------------------------------------------


@pytest.mark.parametrize("path", GOLDEN_FRAMES, ids=lambda path: path.stem)
def test_every_golden_frame_matches_the_frame_schema(path: Path) -> None:
    with path.open(encoding="utf-8") as lines:
        for line in lines:
            assert_valid_frame(json.loads(line))


def tutorial_frames() -> list[dict[str, Any]]:
    text = (REPO / "tests" / "golden" / "frames" / "sample_tutorial.jsonl").read_text(encoding="utf-8")
    return [json.loads(line) for line in text.splitlines()]


def first_agent(frame: dict[str, Any]) -> dict[str, Any]:
    agent: dict[str, Any] = frame["agents"][0]
    return agent


def gate(frame: dict[str, Any]) -> dict[str, Any]:
    return next(agent for agent in frame["agents"] if agent["name"] == "Equals Gate")


# What no frame holds, each made from a real frame of the tutorial.
NOT_FRAMES: dict[str, tuple[int, Callable[[dict[str, Any]], None]]] = {
    "member_missing": (0, lambda f: f.pop("is_time_frozen")),
    "member_added": (0, lambda f: f.update(level="x")),
    "meta_member_missing": (0, lambda f: f["meta"].pop("last_event")),
    "active_agent": (0, lambda f: first_agent(f).update(state="active")),
    "open_gate": (0, lambda f: gate(f).update(is_open=True)),
    "gate_without_target": (0, lambda f: gate(f).pop("target_value")),
    "rule_on_an_equals_gate": (0, lambda f: gate(f).update(rule="<")),
    "priority_of_another_kind": (0, lambda f: first_agent(f).update(priority=50)),
    "unknown_agent": (0, lambda f: first_agent(f).update(name="Plus Wizard")),
    "magnitude_as_text": (0, lambda f: f["charges"][0].update(magnitude="2.0")),
    "unknown_polarity": (0, lambda f: f["charges"][0].update(polarity="positve")),
    "running_without_event": (0, lambda f: f["meta"].update(last_event=None)),
    "unknown_status": (0, lambda f: f["meta"].update(status="LEVEL_COMPLETE")),
    "counter_beyond_32_bits": (0, lambda f: f["meta"].update(frame_index=2**31)),
    "cast_by_an_unknown_agent": (0, lambda f: f["meta"]["last_event"].update(agent_name="System")),
    "collapse_not_by_chronomancer": (1, lambda f: f["meta"]["last_event"].update(agent_name="Sys")),
    "collapse_without_shield": (1, lambda f: f["meta"]["last_event"].update(visual_id="forge")),
    "end_with_another_message": (4, lambda f: f["meta"].update(message="Done.")),
    "end_event_of_another_actor": (4, lambda f: f["meta"]["last_event"].update(visual_id="x")),
    "sub_zone_member_missing": (0, lambda f: f["sub_environments"][0].pop("agents")),
}


def test_the_tutorial_frames_match_before_they_are_spoilt() -> None:
    frames = tutorial_frames()
    assert [frame["meta"]["last_event"]["type"] for frame in frames] == [
        "CAST_SPELL", "COLLAPSE_ZONE", "CAST_SPELL", "CAST_SPELL", "FINISHED"]
    for frame in frames:
        assert_valid_frame(frame)


@pytest.mark.parametrize("name", sorted(NOT_FRAMES))
def test_the_frame_schema_refuses_what_no_frame_holds(name: str) -> None:
    index, spoil = NOT_FRAMES[name]
    frame = copy.deepcopy(tutorial_frames()[index])
    spoil(frame)
    assert problem("frame", frame) is not None


def test_answers_after_the_end_and_at_the_limit_match() -> None:
    from qor_engine import Environment, NarrativeSequencer

    sequencer = NarrativeSequencer(Environment("root"))
    texts = [sequencer.next_frame(), sequencer.next_frame()]
    sequencer.current_frame = 1000
    texts.append(sequencer.next_frame())
    statuses = []
    for text in texts:
        frame = json.loads(text)
        assert_valid_frame(frame)
        statuses.append((frame["meta"]["status"], frame["meta"]["last_event"] is None))
    assert statuses == [("FINISHED", False), ("FINISHED", True), ("ERROR", True)]


# What no patch of the engine holds (the property tests check that every
# patch of thousands of random levels matches).
NOT_PATCHES: dict[str, Any] = {
    "not_an_array": {"op": "remove", "path": "/agents/0"},
    "move": [{"op": "move", "from": "/agents/0", "path": "/agents/1"}],
    "remove_with_a_value": [{"op": "remove", "path": "/agents/0", "value": 1}],
    "replace_without_a_value": [{"op": "replace", "path": "/id"}],
    "path_without_a_slash": [{"op": "remove", "path": "agents/0"}],
    "index_with_a_leading_zero": [{"op": "remove", "path": "/agents/01"}],
    "append_marker": [{"op": "add", "path": "/charges/-", "value": {}}],
    "meta_replaced_whole": [{"op": "replace", "path": "/meta", "value": {}}],
    "id_removed": [{"op": "remove", "path": "/id"}],
    "flag_as_text": [{"op": "replace", "path": "/is_time_frozen", "value": "true"}],
    "unknown_status": [{"op": "replace", "path": "/meta/status", "value": "DONE"}],
    "whole_document_not_an_object": [{"op": "replace", "path": "", "value": []}],
}


def test_the_tutorials_patches_match_the_patch_schema() -> None:
    from qor_engine import NarrativeSequencer

    sequencer = NarrativeSequencer(PLAY.build(PLAY.load_level(REPO / "examples" / "levels" / "tutorial.json")).root)
    for _ in range(7):
        assert problem("frame_patch", json.loads(sequencer.next_frame_patch())) is None


@pytest.mark.parametrize("name", sorted(NOT_PATCHES))
def test_the_patch_schema_refuses_what_no_patch_holds(name: str) -> None:
    assert problem("frame_patch", NOT_PATCHES[name]) is not None


# --------------------------------------------------------------------------
# Level files: the schema and play.py's loader agree
# --------------------------------------------------------------------------


def reject_constant(name: str) -> None:
    raise ValueError(name)


def schema_accepts(text: str) -> bool:
    """The schema's verdict on a file: JSON (without NaN/Infinity) that matches it."""
    try:
        # A reader may ignore a UTF-8 byte order mark (RFC 8259); Python's json does not.
        data = json.loads(text.removeprefix("\ufeff"), parse_constant=reject_constant)
    except (ValueError, RecursionError):
        return False
    return problem("level", data) is None


def play_file(path: Path) -> tuple[int, str]:
    """play.py's exit status and stderr for a level file, run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = PLAY.main([str(path), "--json"])
    return status, err.getvalue()


def level(**members: Any) -> str:
    return json.dumps({"zone": "root", **members})


def agent(**members: Any) -> str:
    return level(charges=[[1, "positive", "a"], [2, "positive", "b"]], agents=[members])


# (name, file text, whether it is a good level)
CORPUS: list[tuple[str, str, bool]] = [
    *[(f"sample_{path.stem}", path.read_text(encoding="utf-8"), True) for path in LEVELS],
    ("smallest", '{"zone": "r"}', True),
    ("null_title", level(title=None, description=None), True),
    ("empty_lists", level(charges=[], agents=[], zones=[]), True),
    ("largest_double", level(charges=[[DOUBLE_MAX, "neutral", "c"]]), True),
    ("negative_zero", '{"zone": "r", "charges": [[-0.0, "positive", "c"]]}', True),
    ("astral_ids", level(zone="\U0001f600", charges=[[1, "negative", "\U0001f525"]]), True),
    ("escaped_surrogate_pair", '{"zone": "\\ud83d\\ude00"}', True),
    ("padded_id", level(zone=" r "), True),
    ("gate_targets", agent(kind="inequality_gate", id="j", target=-DOUBLE_MAX, rule=">="), True),
    ("refill_false", agent(kind="plus", id="p", refill=False), True),
    ("nested", level(zones=[{"zone": "a", "zones": [{"zone": "b", "charges": [[1, "positive", "c"]]}]}]), True),
    ("not_json", "{zone: r}", False),
    ("empty", "", False),
    ("byte_order_mark", '\ufeff{"zone": "r"}', True),
    ("nan", '{"zone": "r", "charges": [[NaN, "positive", "c"]]}', False),
    ("infinity_target", '{"zone": "r", "agents": [{"kind": "equals_gate", "id": "g", "target": -Infinity}]}', False),
    ("overflowing_literal", '{"zone": "r", "charges": [[1e400, "positive", "c"]]}', False),
    ("integer_of_400_digits", '{"zone": "r", "charges": [[1%s, "positive", "c"]]}' % ("0" * 400), False),
    ("integer_past_the_largest_double", level(charges=[[int(DOUBLE_MAX) + 1, "positive", "c"]]), False),
    ("target_of_400_digits", agent(kind="equals_gate", id="g", target=-(10**400)), False),
    ("integer_of_5000_digits", '{"zone": "r", "charges": [[1%s, "positive", "c"]]}' % ("0" * 5000), False),
    ("lone_surrogate_zone", '{"zone": "\\ud800"}', False),
    ("lone_low_surrogate_title", '{"zone": "r", "title": "\\udc00"}', False),
    ("swapped_surrogates", '{"zone": "\\ude00\\ud83d"}', False),
    ("lone_surrogate_charge", '{"zone": "r", "charges": [[1, "positive", "x\\udbff"]]}', False),
    ("lone_surrogate_description", '{"zone": "r", "description": "\\ud800"}', False),
    ("not_an_object", "[]", False),
    ("no_zone", level(zone=None), False),
    ("blank_zone", level(zone=" \t"), False),
    ("unknown_member", level(agent=[]), False),
    ("title_as_list", level(title=["x"]), False),
    ("charges_null", level(charges=None), False),
    ("charge_of_two", level(charges=[[1, "positive"]]), False),
    ("charge_of_four", level(charges=[[1, "positive", "c", 4]]), False),
    ("charge_as_object", level(charges=[{"magnitude": 1}]), False),
    ("negative_magnitude", level(charges=[[-1, "positive", "c"]]), False),
    ("magnitude_as_text", level(charges=[["1", "positive", "c"]]), False),
    ("magnitude_true", level(charges=[[True, "positive", "c"]]), False),
    ("misspelt_polarity", level(charges=[[1, "postive", "c"]]), False),
    ("empty_charge_id", level(charges=[[1, "positive", ""]]), False),
    ("unknown_kind", agent(kind="plux", id="p"), False),
    ("agent_without_id", agent(kind="plus"), False),
    ("agent_as_text", level(agents=["plus"]), False),
    ("gate_without_target", agent(kind="equals_gate", id="g"), False),
    ("target_on_a_magician", agent(kind="plus", id="p", target=3), False),
    ("target_as_text", agent(kind="equals_gate", id="g", target="3"), False),
    ("judge_without_rule", agent(kind="inequality_gate", id="j", target=3), False),
    ("rule_on_an_equals_gate", agent(kind="equals_gate", id="g", target=3, rule="<"), False),
    ("unknown_rule", agent(kind="inequality_gate", id="j", target=3, rule="=="), False),
    ("refill_as_text", agent(kind="abs", id="a", refill="yes"), False),
    ("sub_zone_without_id", level(zones=[{"charges": []}]), False),
    ("sub_zone_as_list", level(zones=[[]]), False),
    ("brackets_too_deep", "[" * 100000 + "]" * 100000, False),
]

# Files the schema accepts but play.py refuses: the rules beyond the schema.
BEYOND_THE_SCHEMA: list[tuple[str, str]] = [
    ("zone_id_twice", level(zones=[{"zone": "root"}])),
    ("agent_id_twice", level(agents=[{"kind": "plus", "id": "p"}, {"kind": "minus", "id": "p"}])),
    ("key_twice", '{"zone": "r", "zone": "s"}'),
    ("key_twice_in_an_agent", '{"zone": "r", "agents": [{"kind": "plus", "id": "p", "id": "q"}]}'),
    ("nested_101_deep", "".join(f'{{"zone": "z{i}", "zones": [' for i in range(101)) + "]}" * 101),
    ("over_8_mib", '{"zone": "r"%s}' % (" " * (8 * 1024 * 1024))),
]


# Files with several problems, and each problem, with its place, as
# `play.py --check` lists them in order.
MULTI_PROBLEM: list[tuple[str, str, list[str]]] = [
    (
        "charge_with_three_problems",
        level(charges=[[-1, "postive", ""]]),
        [
            'zone "root": charge 1: magnitude must not be negative',
            'zone "root": charge 1: polarity must be "positive", "negative" or "neutral", not "postive"',
            'zone "root": charge 1: id must not be empty',
        ],
    ),
    (
        "fields_kinds_and_ids",
        level(titel="x", agents=[{"kind": "plux", "id": "p", "rule": "=="}, {"kind": "equals_gate", "id": "p"}]),
        [
            'level: unknown field "titel" (did you mean "title"?)',
            'zone "root": agent 1: unknown kind "plux" (did you mean "plus"?)',
            'zone "root": agent 1: rule must be "<", ">", "<=" or ">=", not "=="',
            'zone "root": agent 2: agent id "p" is used twice',
            'zone "root": agent 2: missing field "target"',
        ],
    ),
    (
        "problems_in_every_zone",
        level(
            charges=[[1, "positive", 5]],
            zones=[{"zone": "a", "agents": ["plus"]}, {"zone": "a", "zones": [{"charges": None}]}, 7],
        ),
        [
            'zone "root": charge 1: id must be a non-empty string, not a number',
            'zone "a": agent 1: expected an object',
            'zone "root": zone 2: zone id "a" is used twice',
            'zone "root": zone 2: zone 1: missing field "zone"',
            'zone "root": zone 2: zone 1: field "charges" must be a list, not null',
            'zone "root": zone 3: expected an object',
        ],
    ),
    (
        "keys_twice_and_unknown",
        '{"zone": "r", "zone": "s", "agents": [{"kind": "plus", "id": "p", "kind": "minus", "color": 1}]}',
        [
            'level: field "zone" is given twice',
            'zone "s": agent 1: field "kind" is given twice',
            'zone "s": agent 1: unknown field "color"',
        ],
    ),
]


def check_file(path: Path) -> tuple[int, list[str]]:
    """play.py --check's exit status and lines for one file, run in this process."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = PLAY.main(["--check", str(path)])
    return status, out.getvalue().splitlines()


@pytest.mark.parametrize(("text", "good"), [case[1:] for case in CORPUS], ids=[case[0] for case in CORPUS])
def test_the_level_schema_and_play_agree(tmp_path: Path, text: str, good: bool) -> None:
    path = tmp_path / "level.json"
    path.write_text(text, encoding="utf-8", errors="surrogatepass")
    assert schema_accepts(text) == good
    status, errors = play_file(path)
    if good:
        assert (status, errors) == (0, "")
        assert check_file(path) == (0, [f"{path}: ok"])
    else:
        assert status == 2 and len(errors.splitlines()) == 1, errors
        assert check_file(path)[0] == 2


@pytest.mark.parametrize(
    ("text", "problems"), [case[1:] for case in MULTI_PROBLEM], ids=[case[0] for case in MULTI_PROBLEM]
)
def test_check_lists_every_problem_with_its_place(tmp_path: Path, text: str, problems: list[str]) -> None:
    path = tmp_path / "level.json"
    path.write_text(text, encoding="utf-8")
    assert not schema_accepts(text)
    status, listed = check_file(path)
    assert status == 2 and len(listed) == len(problems), listed
    for line, problem in zip(listed, problems, strict=True):
        assert line.startswith(f"{path}: {problem}"), line
    status, errors = play_file(path)
    assert status == 2 and errors.count("\n") == 1
    assert problems[0] in errors and f"(and {len(problems) - 1} more; play.py --check lists them all)" in errors


@pytest.mark.parametrize(
    "text", [case[1] for case in BEYOND_THE_SCHEMA], ids=[case[0] for case in BEYOND_THE_SCHEMA]
)
def test_rules_beyond_the_schema_are_left_to_play(tmp_path: Path, text: str) -> None:
    path = tmp_path / "level.json"
    path.write_text(text, encoding="utf-8")
    assert schema_accepts(text)
    status, errors = play_file(path)
    assert status == 2 and len(errors.splitlines()) == 1, errors


def test_the_schema_names_the_rules_beyond_it() -> None:
    description = json.loads((REPO / "schemas" / "level.schema.json").read_text())["description"]
    for rule in ("zone ids are unique", "agent ids", "key twice", "100 deep", "8 MiB"):
        assert rule in description


# Random near-levels: at every place a good value or one of the bad ones. Ids
# are unique (a counter) so that only the schema's rules decide.
BAD_TEXTS = ["", " ", "\ud800", "a\udfff", 5, None, ["x"]]
NUMBERS = st.one_of(
    st.integers(-3, 12),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([DOUBLE_MAX, -DOUBLE_MAX, int(DOUBLE_MAX) + 1, 10**400, -(10**400), "3", True, None]),
)
KINDS = st.sampled_from([*sorted(AGENT_KINDS), "plux", 3])
OPTIONAL = object()  # a member left out


@st.composite
def near_levels(draw: Any, depth: int = 1) -> dict[str, Any]:
    counter = draw(st.shared(st.builds(lambda: iter(range(10**9))), key="ids"))

    def text_id() -> object:
        if draw(st.integers(0, 9)) == 0:
            return draw(st.sampled_from(BAD_TEXTS))
        return f"{draw(st.text(max_size=2))}#{next(counter)}"

    def put(obj: dict[str, Any], key: str, value: object) -> None:
        if value is not OPTIONAL:
            obj[key] = value

    def charge() -> object:
        item = [draw(NUMBERS), draw(st.sampled_from(["positive", "negative", "neutral", "postive", 1])), text_id()]
        return draw(st.sampled_from([item, item, item, item[:2], {"magnitude": 1}]))

    def an_agent() -> object:
        obj: dict[str, Any] = {"kind": draw(KINDS)}
        put(obj, "id", text_id())
        put(obj, "target", draw(st.one_of(st.just(OPTIONAL), NUMBERS)))
        put(obj, "rule", draw(st.sampled_from([OPTIONAL, OPTIONAL, "<", ">=", "=="])))
        put(obj, "refill", draw(st.sampled_from([OPTIONAL, OPTIONAL, True, False, "yes"])))
        put(obj, "extra", draw(st.sampled_from([OPTIONAL] * 9 + [1])))
        return obj if draw(st.integers(0, 19)) else "plus"

    zone: dict[str, Any] = {}
    put(zone, "zone", draw(st.sampled_from([OPTIONAL] + [None] * 19)) or text_id())
    put(zone, "charges", [charge() for _ in range(draw(st.integers(0, 3)))])
    put(zone, "agents", [an_agent() for _ in range(draw(st.integers(0, 3)))])
    if depth < 3:
        put(zone, "zones", draw(st.lists(near_levels(depth + 1), max_size=2)))
    if depth == 1:
        put(zone, "title", draw(st.sampled_from([OPTIONAL, None, "A title", "\ud83d"])))
    return zone


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=near_levels())
def test_random_near_levels_the_schema_accepts_are_exactly_those_play_accepts(data: dict[str, Any]) -> None:
    text = json.dumps(data)
    try:
        loaded = qor_engine.read_level(text)
    except qor_engine.LevelError:
        loaded = None
    assert schema_accepts(text) == (loaded is not None), text
    if loaded is not None:
        played = loaded.play()
        while not played.is_finished:
            played.next_frame()


def tutorial_explained() -> dict[str, Any]:
    from qor_engine import NarrativeSequencer

    sequencer = NarrativeSequencer(PLAY.build(PLAY.load_level(REPO / "examples" / "levels" / "tutorial.json")).root)
    document: dict[str, Any] = json.loads(sequencer.explain())
    return document


# What no explanation holds (every explanation of the golden and random levels
# matches the schema: tests/python/test_explain.py).
NOT_EXPLANATIONS: dict[str, Callable[[dict[str, Any]], None]] = {
    "unknown_outcome": lambda d: d.update(outcome="stuck"),
    "running_without_next": lambda d: d.update(next=None),
    "won_with_other_words": lambda d: d.update(outcome="won", next=None, summary="Won"),
    "acts_with_a_reason_to_wait": lambda d: d["agents"][0].update(reason="zone_frozen"),
    "frozen_with_figures_of_its_zone": lambda d: d["agents"][1].update(figures={"frozen_by": "forge"}),
    "agent_named_by_a_path": lambda d: d["agents"][0].update(pointer="/sub_environments/0/agents/0"),
    "zone_named_by_its_id": lambda d: d["agents"][0].update(zone="forge"),
    "zone_merging_without_words": lambda d: d["zones"][0].update(state="merges"),
    "frozen_by_nothing": lambda d: d["zones"][1].update(frozen_by=None),
    "no_zones": lambda d: d.update(zones=[]),
    "extra_member": lambda d: d.update(verdict="fine"),
}


def test_the_tutorials_explanation_matches_the_explain_schema() -> None:
    assert problem("explain", tutorial_explained()) is None


@pytest.mark.parametrize("name", sorted(NOT_EXPLANATIONS))
def test_the_explain_schema_refuses_what_no_explanation_holds(name: str) -> None:
    document = tutorial_explained()
    NOT_EXPLANATIONS[name](document)
    assert problem("explain", document) is not None
