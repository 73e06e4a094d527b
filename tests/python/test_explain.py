"""NarrativeSequencer.explain(): the outcome of a level and why each agent
waits, over the sample levels, small levels made for each reason, the golden
levels and random levels. explain() changes nothing, its "next" is the next
frame's event, and it says an agent acts exactly when its spell takes effect.
"""

import json
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "golden"))
import golden_replay as gr  # noqa: E402
from levels import zone
from qor_engine import ChargePolarity, NarrativeSequencer  # noqa: E402
from schemas import problem  # noqa: E402
from test_properties import AWKWARD, SIMPLE_KINDS, budget, build, levels  # noqa: E402

POS, NEG = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE
SAMPLES = gr.REPO / "examples" / "levels"


def explained(sequencer: NarrativeSequencer) -> dict:
    document = json.loads(sequencer.explain())
    found = problem("explain", document)
    assert found is None, f"the explanation does not match its schema: {found}"
    return document


def tutorial(target: float = 18) -> NarrativeSequencer:
    """examples/levels/tutorial.json, its gate opening on `target`."""
    forge = zone("forge", (4.0, POS, "ember_a"), (5.0, POS, "ember_b"), agents=(("multiply_magician", "smith"),))
    return NarrativeSequencer(zone("hall", (2.0, NEG, "frost"), subs=(forge,),
                                   agents=(("plus_magician", "adder"), ("equals_gate", "gate", target))))


def run(sequencer: NarrativeSequencer, calls: int) -> NarrativeSequencer:
    for _ in range(calls):
        sequencer.next_frame()
    return sequencer


def zone_pointers(document: dict) -> list[str]:
    """Each zone's JSON Pointer in the frame, from the numbers that name it."""
    zones = document["zones"]
    pointers = [""] * len(zones)
    for number in reversed(range(len(zones))):
        for index, sub_zone in enumerate(zones[number]["sub_zones"]):
            pointers[sub_zone] = f"{pointers[number]}/sub_environments/{index}"
    return pointers


def test_the_tutorial_explained_at_its_start() -> None:
    document = explained(tutorial())
    assert document["outcome"] == "running"
    assert [(a["visual_id"], a["state"], a["reason"], a["zone"], a["slot"]) for a in document["agents"]] == [
        ("smith", "acts", "acts", 0, 0),
        ("adder", "waits", "zone_frozen", 1, 0),
        ("gate", "waits", "zone_frozen", 1, 1),
    ]
    assert document["agents"][1]["note"] == 'zone "hall" is frozen by sub-zone "forge", which still holds an agent'
    assert [a["figures"] for a in document["agents"][1:]] == [{}, {}]  # the zone's entry holds them
    assert document["zones"] == [
        {"frozen_by": None, "id": "forge", "note": None, "state": None, "sub_zones": []},
        {"frozen_by": 0, "id": "hall", "note": 'frozen by sub-zone "forge", which still holds an agent',
         "state": "frozen", "sub_zones": [0]}]
    assert document["shut_gates"] == [2]
    assert zone_pointers(document) == ["/sub_environments/0", ""]


@pytest.mark.parametrize(("target", "calls", "outcome", "summary"), [
    (18, 5, "won", "Won: every gate opened"),
    (20, 4, "lost", 'Lost: gate "gate" is still shut: total 18.0, opens at 20.0'),
    (20, 9, "lost", 'Lost: gate "gate" is still shut: total 18.0, opens at 20.0'),
])
def test_the_tutorial_won_and_lost(target: float, calls: int, outcome: str, summary: str) -> None:
    document = explained(run(tutorial(target), calls))
    assert (document["outcome"], document["summary"], document["next"]) == (outcome, summary, None)


@pytest.mark.parametrize(("limit", "calls", "outcome"), [
    (3, 3, "frame_limit"),  # the gate would still open
    (3, 4, "frame_limit"),
    (5, 5, "won"),          # ended in exactly its last allowed frame
    (5, 6, "won"),          # and after the limit's answer
    (4, 4, "won"),          # nothing was left to happen when the limit came
])
def test_the_frame_limit_counts_only_when_something_is_left_to_happen(limit: int, calls: int, outcome: str) -> None:
    sequencer = tutorial()
    sequencer.max_frames = limit
    document = explained(run(sequencer, calls))
    assert document["outcome"] == outcome
    if outcome == "frame_limit":
        assert document["summary"] == "Stopped at the frame limit"
        assert document["agents"][0]["reason"] == "frame_limit"


def lone(kind: str, *charges: tuple, args: tuple = ()) -> NarrativeSequencer:
    return NarrativeSequencer(zone("z", *charges, agents=((kind, "a", *args),)))


@pytest.mark.parametrize(("sequencer", "reason", "note", "figures"), [
    (lone("plus_magician", (1.0, POS, "x")), "too_few_charges", "needs 2 charges, the zone has 1",
     {"charges": 1, "needed": 2}),
    (lone("divide_magician", (1.0, POS, "x"), (0.0, POS, "y")), "divisor_near_zero",
     "the divisor 0.0 (charge 2) is within 1e-9 of zero", {"divisor": 0.0, "position": 1}),
    (lone("root_magician", (2.0, POS, "i"), (-4.0, POS, "r")), "negative_radicand",
     "the radicand -4.0 is negative under the even index 2.0", {"index": 2.0, "radicand": -4.0}),
    (lone("factorial_magician", (3.0, NEG, "x")), "negative_charge", "the last charge (3.0) is negative",
     {"magnitude": 3.0, "position": 0}),
    (lone("log_magician", (1.0, POS, "b"), (5.0, POS, "x")), "log_base",
     "the base 1.0 is no logarithm base: it must be above 0 and not 1", {"base": 1.0, "position": 0}),
    (lone("equals_gate", (18.0, POS, "x"), args=(20.0,)), "gate_shut", "total 18.0, opens at 20.0",
     {"rule": "==", "target": 20.0, "total": 18.0}),
    (lone("inequality_gate", (18.0, POS, "x"), args=(20.0, ">")), "gate_shut", "total 18.0 is not > 20.0",
     {"rule": ">", "target": 20.0, "total": 18.0}),
    (lone("chronomancer", (1.0, POS, "x")), "never_acts", "a Chronomancer never acts", {}),
], ids=lambda value: value if isinstance(value, str) else None)
def test_each_reason_is_given_with_its_words_and_figures(sequencer, reason, note, figures) -> None:
    [agent] = explained(sequencer)["agents"]
    assert (agent["state"], agent["reason"], agent["note"], agent["figures"]) == ("declines", reason, note, figures)


def test_an_agent_of_lower_priority_waits_for_the_one_that_acts() -> None:
    sequencer = NarrativeSequencer(zone("z", (2.0, POS, "x"), (3.0, POS, "y"),
                                        agents=(("plus_magician", "p"), ("multiply_magician", "m"))))
    plus, multiply = explained(sequencer)["agents"]
    assert multiply["state"] == "acts"
    assert (plus["state"], plus["reason"], plus["figures"]) == ("waits", "outranked", {"by": 1})
    assert plus["note"] == 'waits for Multiply Magician "m" (priority 50), which acts first'


def test_zones_that_merge_freeze_and_never_resolve() -> None:
    sequencer = NarrativeSequencer(zone(
        "top", subs=(zone("held", (1.0, POS, "x"), agents=(("chronomancer", "c"),)),
                     zone("ripe", (1.0, POS, "y")))))
    listed = explained(sequencer)["zones"]
    zones = {z["id"]: z for z in listed}
    assert zones["held"]["state"] == "never_resolves"
    assert zones["held"]["note"] == 'holds Chronomancer "c", which never acts'
    assert zones["ripe"]["state"] == "merges_next"
    assert zones["top"]["state"] == "never_resolves"
    assert listed[zones["top"]["frozen_by"]]["id"] == "held"
    assert [listed[n]["id"] for n in zones["top"]["sub_zones"]] == ["held", "ripe"]
    busy = NarrativeSequencer(zone("top", (1.0, POS, "a"), (2.0, POS, "b"), agents=(("plus_magician", "p"),),
                                   subs=(zone("ripe", (1.0, POS, "y")),)))
    ripe, top = explained(busy)["zones"]
    assert (ripe["state"], ripe["note"]) == ("merges", 'holds one charge and no agent: will merge into zone "top" once no agent acts')
    assert (top["state"], top["note"]) == (None, None)


def test_every_agent_is_found_in_the_frame_by_its_numbers() -> None:
    for path in sorted(SAMPLES.glob("*.json")):
        sequencer = NarrativeSequencer(gr.play_module().build(gr.play_module().load_level(path)).root, 60)
        for _ in range(4):
            document = explained(sequencer)
            frame = json.loads(sequencer.root_environment.to_json())
            pointers = zone_pointers(document)
            for agent in document["agents"]:
                placed = resolve(frame, f"{pointers[agent['zone']]}/agents/{agent['slot']}")
                assert (placed["name"], placed["visual_id"]) == (agent["name"], agent["visual_id"]), path.name
            for number, entry in enumerate(document["zones"]):
                assert resolve(frame, pointers[number])["id"] == entry["id"], path.name
            sequencer.next_frame()


def resolve(document: dict, pointer: str) -> dict:
    for token in pointer.split("/")[1:]:
        document = document[int(token)] if isinstance(document, list) else document[token]
    return document


def test_a_deep_level_with_many_agents_is_explained_as_it_plays() -> None:
    """200 zones deep, 20,001 agents in the deepest: the explanation is of the
    order of the frame, its notes naming long ids by their start."""
    deepest = zone("z199", (2.0, POS, "a"), (3.0, POS, "b"),
                   agents=tuple(("plus_magician", f"p{i}") for i in range(20001)))
    tree = deepest
    for depth in reversed(range(199)):
        tree = zone(f"z{depth}" + "x" * 1000, (1.0, POS, "c"), (1.0, POS, "d"), subs=(tree,),
                    agents=(("plus_magician", f"q{depth}"),))
    sequencer = NarrativeSequencer(tree)
    text = sequencer.explain()
    assert len(text) < 4 * len(sequencer.root_environment.to_json())
    document = json.loads(text)
    assert len(document["agents"]) == 20001 + 199 and len(document["zones"]) == 200
    assert document["agents"][-1]["note"] == (
        f'zone "z0{"x" * 59}\u2026" is frozen by sub-zone "z1{"x" * 59}\u2026", which still holds an agent')


def test_a_zone_standing_twice_merges_next_at_its_first_place_only() -> None:
    ripe = zone("ripe", (1.0, POS, "y"))
    top = zone("top", subs=(ripe, ripe))
    zones = explained(NarrativeSequencer(top))["zones"]
    assert [zones[n]["state"] for n in zones[-1]["sub_zones"]] == ["merges_next", "merges"]


def test_explain_changes_nothing_the_frames_show() -> None:
    for path in sorted(SAMPLES.glob("*.json")):
        texts = []
        for explaining in (False, True):
            sequencer = NarrativeSequencer(gr.play_module().build(gr.play_module().load_level(path)).root, 60)
            answers = []
            while len(answers) < 62:
                if explaining:
                    sequencer.explain()
                answers.append(sequencer.next_frame_patch() if len(answers) % 2 else sequencer.next_frame())
            texts.append(answers)
        assert texts[0] == texts[1], path.name


def test_golden_levels_next_is_the_next_frames_event() -> None:
    for level in gr.load_levels():
        sequencer = NarrativeSequencer(gr.build_zone(level["root"]))
        if "start_frame" in level:
            sequencer.current_frame = level["start_frame"]
        for _ in range(gr.FRAME_CAP):
            document = explained(sequencer)
            frame = json.loads(sequencer.next_frame())
            assert document["next"] == frame["meta"]["last_event"], level["name"]
            if sequencer.is_finished:
                assert explained(sequencer)["outcome"] != "running", level["name"]
                break


def acts_as_its_spell(sequencer: NarrativeSequencer) -> None:
    """One call: explain() says who acts, and the frame agrees."""
    try:
        document = explained(sequencer)
    except UnicodeError:
        with pytest.raises(UnicodeError):
            sequencer.next_frame()
        return
    acting = [agent for agent in document["agents"] if agent["state"] == "acts"]
    frame = json.loads(sequencer.next_frame())
    event = frame["meta"]["last_event"]
    assert document["next"] == event
    cast = event is not None and event["type"] == "CAST_SPELL"
    assert len(acting) == (1 if cast else 0)
    if cast:
        assert (acting[0]["name"], acting[0]["visual_id"]) == (event["agent_name"], event["visual_id"])


charge_lists = st.lists(st.tuples(
    st.one_of(st.integers(-4, 9).map(float), st.sampled_from(AWKWARD)),
    st.sampled_from([POS, NEG, ChargePolarity.NEUTRAL]), st.just("c")), max_size=4)
any_kind = st.one_of(
    st.tuples(st.sampled_from(SIMPLE_KINDS)),
    st.tuples(st.just("equals_gate"), st.integers(-4, 9).map(float)),
    st.tuples(st.just("inequality_gate"), st.integers(-4, 9).map(float), st.sampled_from(["<", ">", "<=", ">="])))


@budget(400)
@given(any_kind, charge_lists)
def test_every_kind_acts_exactly_when_explain_says(kind: tuple, charges: list) -> None:
    method, *args = kind
    sequencer = lone(method, *charges, args=tuple(args))
    [agent] = explained(sequencer)["agents"]
    acts = agent["state"] == "acts"
    event = json.loads(sequencer.next_frame())["meta"]["last_event"]
    assert acts == (event["type"] == "CAST_SPELL")
    assert (agent["state"] == "declines") == (not acts)


@budget(150)
@given(levels(), st.integers(1, 12))
def test_random_levels_explain_every_frame(plan: dict, limit: int) -> None:
    sequencer = NarrativeSequencer(build(plan).root, limit)
    for _ in range(limit + 2):
        acts_as_its_spell(sequencer)


def test_compact_explanations_keep_what_the_replay_page_draws() -> None:
    from qor_engine import CompactExplanations

    sequencer, compact = tutorial(), CompactExplanations()
    added = [json.loads(compact.add(sequencer.explain()))]
    while not sequencer.is_finished:
        sequencer.next_frame()
        added.append(json.loads(compact.add(sequencer.explain())))
    data = json.loads(compact.to_json())
    assert [step for step, _ in added] == data["steps"]
    assert [note for _, notes in added for note in notes] == data["notes"]
    assert (data["outcome"], data["summary"]) == ("won", "Won: every gate opened")
    assert data["steps"][0] == {"usual": 1, "agents": {"0": [0], "1": [-2, -2]}, "gone": [], "frozen": [[1, 0]]}
    with pytest.raises(ValueError, match="not an explanation"):
        compact.add('{"agents": []}')
    assert json.loads(compact.to_json()) == data
    with pytest.raises(TypeError, match="never initialised"):
        CompactExplanations.add(CompactExplanations.__new__(CompactExplanations), "{}")
