"""Whole levels played from construction to the end through the public API."""

import gc
import json
import math

import pytest

from qor_engine import ChargePolarity, Environment, NarrativeSequencer

from levels import charges_of, play, step, summary, zone

P, N, U = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE, ChargePolarity.NEUTRAL

COMPLETE = "Simulation complete. No further actions."
LIMIT = "Max frame limit reached. Infinite loop detected."


def test_a_new_sequencer_has_taken_no_frame():
    sequencer = NarrativeSequencer(Environment("r"))
    assert (sequencer.current_frame, sequencer.is_finished, sequencer.max_frames) == (0, False, 1000)


def test_empty_level_finishes_in_frame_one():
    sequencer = NarrativeSequencer(Environment("r"))
    first = sequencer.next_frame()
    assert first == (
        '{"agents":[],"charges":[],"id":"r","is_time_frozen":false,"meta":{"frame_index":1,'
        '"last_event":{"agent_name":"System","description":"Equation Resolved.","type":"FINISHED","visual_id":"N/A"},'
        '"message":"Equation Resolved.","status":"FINISHED"},"sub_environments":[]}'
    )
    for _ in range(3):
        later = step(sequencer)
        assert summary(later) == (1, "FINISHED", COMPLETE)
        assert later["meta"]["last_event"] is None
    assert sequencer.current_frame == 1


def test_nested_level_freezes_casts_thaws_and_collapses():
    inner = zone("A", (2, P, "a1"), (3, N, "a2"), agents=[("multiply_magician", "m")])
    root = zone("R", (1, P, "r1"), agents=[("plus_magician", "p")], subs=[inner])
    frames = play(NarrativeSequencer(root))
    assert [summary(f) for f in frames] == [
        (1, "RUNNING", "Multiply Magician executed operation in A"),
        (2, "RUNNING", "Zone A has resolved and merged."),
        (3, "RUNNING", "Plus Magician executed operation in R"),
        (4, "FINISHED", "Equation Resolved."),
    ]
    assert [f["is_time_frozen"] for f in frames] == [True, False, False, False]
    assert frames[0]["meta"]["last_event"] == {
        "agent_name": "Multiply Magician", "description": "Multiply Magician executed operation in A",
        "type": "CAST_SPELL", "visual_id": "m",
    }
    assert charges_of(frames[0]["sub_environments"][0]) == [(6.0, "negative", "result_product_m")]
    assert frames[0]["agents"][0]["state"] == "dormant"
    assert frames[1]["meta"]["last_event"] == {
        "agent_name": "Chronomancer", "description": "Zone A has resolved and merged.",
        "type": "COLLAPSE_ZONE", "visual_id": "shield_A",
    }
    assert charges_of(frames[1]) == [(1.0, "positive", "r1"), (6.0, "negative", "result_product_m")]
    assert frames[1]["sub_environments"] == []
    assert charges_of(frames[2]) == [(5.0, "negative", "result_p")]
    assert frames[2]["agents"] == []
    assert inner.charges[0].visual_id == "result_product_m"  # the host's handle outlives the collapse


def test_spells_act_in_priority_order_whatever_their_placing_order():
    opened_at = 1 + math.fmod(3, math.sqrt(6))
    root = zone(
        "root", (1, P, "d"), (3, N, "a"), (2, P, "b"), (3.5, P, "c"),
        agents=[
            ("equals_gate", "eq", opened_at), ("plus_magician", "plus"), ("factorial_magician", "fact"),
            ("root_magician", "root"), ("abs_magician", "abs"), ("modulo_magician", "mod"),
        ],
    )
    frames = play(NarrativeSequencer(root))
    assert [f["meta"]["message"] for f in frames] == [
        "The Purifier executed operation in root",     # -3 becomes +3, renamed purified_a
        "The Replicator executed operation in root",   # 3.5 -> 3! = 6
        "The Extractor executed operation in root",    # index 2, radicand 6 -> sqrt 6
        "The Scavenger executed operation in root",    # 3 mod sqrt 6
        "Plus Magician executed operation in root",    # 1 + (3 mod sqrt 6)
        "Equals Gate executed operation in root",
        "Equation Resolved.",
    ]
    assert frames[0]["charges"][1]["visual_id"] == "purified_a"
    assert charges_of(frames[1])[-1] == (6.0, "positive", "result_factorial_fact")
    assert charges_of(frames[2])[-1] == (math.sqrt(6), "positive", "result_root_root")
    assert charges_of(frames[4]) == [(opened_at, "positive", "result_plus")]


def test_gates_open_and_leave_with_a_cast_event():
    root = zone("z", (0.1, P, "a"), (0.2, P, "b"), agents=[("inequality_gate", "j", 0.3, ">"), ("equals_gate", "g", 0.3)])
    frames = play(NarrativeSequencer(root))
    # 0.1 + 0.2 is 0.30000000000000004: above 0.3 for the Judge, equal for the gate.
    assert [summary(f) for f in frames] == [
        (1, "RUNNING", "The Judge executed operation in z"),
        (2, "RUNNING", "Equals Gate executed operation in z"),
        (3, "FINISHED", "Equation Resolved."),
    ]
    assert frames[0]["meta"]["last_event"]["visual_id"] == "j"
    assert [a["visual_id"] for a in frames[0]["agents"]] == ["g"]
    assert frames[0]["agents"][0]["is_open"] is False
    assert frames[1]["agents"] == []
    assert len(frames[2]["charges"]) == 2  # gates never change the charges


@pytest.mark.parametrize(("text", "rule"), [("<", "<"), ("", "<"), ("less", "<"), (" >", "<"), ("=>", "<"), (">", ">"), ("<=", "<="), (">=", ">=")])
def test_inequality_rule_texts(text, rule):
    root = Environment("z")
    root.add_inequality_gate("j", 3, text)
    assert json.loads(root.to_json())["agents"] == [
        {"is_open": False, "name": "The Judge", "priority": 0, "rule": rule, "state": "dormant", "target_value": 3.0, "visual_id": "j"}
    ]


def test_chronomancer_keeps_its_zone_and_freezes_the_parent_to_the_end():
    held = zone("held", (1, P, "x"), agents=[("chronomancer", "t")])
    root = zone("root", (1, P, "a"), (1, P, "b"), agents=[("plus_magician", "p")], subs=[held])
    frames = play(NarrativeSequencer(root))
    assert [summary(f) for f in frames] == [(1, "FINISHED", "Equation Resolved.")]
    assert frames[0]["is_time_frozen"] is True
    assert [a["name"] for a in frames[0]["agents"]] == ["Plus Magician"]
    assert frames[0]["sub_environments"][0]["agents"] == [
        {"name": "Chronomancer", "priority": 100, "state": "dormant", "visual_id": "t"}
    ]


def test_priority_wins_across_sibling_zones():
    first = zone("first", (1, P, "a"), (2, P, "b"), agents=[("plus_magician", "low")])
    second = zone("second", (3, P, "c"), (4, P, "d"), agents=[("multiply_magician", "high")])
    frames = play(NarrativeSequencer(zone("root", subs=[first, second])))
    assert [f["meta"]["message"] for f in frames[:2]] == [
        "Multiply Magician executed operation in second",
        "Plus Magician executed operation in first",
    ]


def test_equal_priorities_act_deepest_first_through_a_zone_that_does_not_freeze():
    # S holds no charges and no agents, so P is not frozen and both Plus
    # Magicians are offered: T's, collected before its ancestors', acts first.
    inner = zone("T", (5, P, "e"), (6, P, "f"), agents=[("plus_magician", "t")])
    root = zone("P", (2, P, "b"), (3, P, "c"), agents=[("plus_magician", "p")], subs=[zone("S", subs=[inner])])
    assert [summary(f)[2] for f in play(NarrativeSequencer(root))] == [
        "Plus Magician executed operation in T",
        "Plus Magician executed operation in P",
        "Zone T has resolved and merged.",
        "Zone S has resolved and merged.",
        "Equation Resolved.",
    ]


def run_abs_frames(count: int) -> NarrativeSequencer:
    """A level whose Purifiers act once per frame, `count` frames long."""
    root = zone("root", (1, N, "c"))
    for i in range(count):
        root.add_abs_magician(f"abs{i}")
    return NarrativeSequencer(root)


def test_frame_limit_after_a_thousand_running_frames():
    sequencer = run_abs_frames(1200)
    for expected in range(1, 1001):
        assert summary(step(sequencer)) == (expected, "RUNNING", "The Purifier executed operation in root")
    assert sequencer.is_finished is False
    for _ in range(3):
        frame = step(sequencer)
        assert summary(frame) == (1000, "ERROR", LIMIT)
        assert frame["meta"]["last_event"] is None
        assert sequencer.is_finished is True
        assert len(frame["agents"]) == 200
    sequencer.current_frame = 990  # lifting the limit lets it run again
    sequencer.is_finished = False
    assert summary(step(sequencer))[:2] == (991, "RUNNING")


def test_level_finishing_in_frame_1000_answers_error_next():
    sequencer = run_abs_frames(999)
    frames = play(sequencer)
    assert summary(frames[-1]) == (1000, "FINISHED", "Equation Resolved.")
    assert len(frames) == 1000
    assert summary(step(sequencer)) == (1000, "ERROR", LIMIT)


def test_the_host_sets_the_frame_limit():
    sequencer = NarrativeSequencer(run_abs_frames(5).root_environment, max_frames=3)
    assert [summary(step(sequencer))[:2] for _ in range(4)] == [(1, "RUNNING"), (2, "RUNNING"), (3, "RUNNING"),
                                                               (3, "ERROR")]
    assert summary(step(sequencer)) == (3, "ERROR", LIMIT) and sequencer.is_finished
    sequencer.max_frames = 2**31 - 1  # lifting the limit lets it run on
    sequencer.is_finished = False
    assert [summary(step(sequencer))[:2] for _ in range(3)] == [(4, "RUNNING"), (5, "RUNNING"), (6, "FINISHED")]
    sequencer.max_frames = True  # a bool is the int it is, as for current_frame
    assert sequencer.max_frames == 1


@pytest.mark.parametrize(("bad", "error"), [(0, ValueError), (-1, ValueError), (2**31, ValueError), (False, ValueError),
                                             (2**64, TypeError), (3.0, TypeError), ("3", TypeError), (None, TypeError)])
def test_a_frame_limit_outside_1_to_2_31_is_refused(bad, error):
    sequencer = NarrativeSequencer(Environment("r"), max_frames=7)
    with pytest.raises(error):
        sequencer.max_frames = bad
    with pytest.raises(error):
        NarrativeSequencer(Environment("r"), max_frames=bad)
    assert sequencer.max_frames == 7


def test_host_writes_of_the_counter_and_the_flag():
    sequencer = NarrativeSequencer(Environment("r"))
    with pytest.raises(TypeError):
        sequencer.current_frame = 2.0
    for value in (2**31, -(2**31) - 1):
        with pytest.raises(TypeError):
            sequencer.current_frame = value
    sequencer.current_frame = True
    assert sequencer.current_frame == 1
    sequencer.current_frame = -10
    assert summary(step(sequencer)) == (-9, "FINISHED", "Equation Resolved.")
    sequencer.is_finished = False
    assert summary(step(sequencer)) == (-8, "FINISHED", "Equation Resolved.")
    sequencer.current_frame = 2**31 - 1
    sequencer.is_finished = False
    assert summary(step(sequencer)) == (2**31 - 1, "ERROR", LIMIT)


def test_host_changes_between_frames_are_seen():
    root = zone("root", (1, P, "a"))
    sequencer = NarrativeSequencer(root)
    root.add_plus_magician("p")
    assert summary(step(sequencer))[2] == "Equation Resolved."  # one charge: plus declines
    root.add_charge(2, P, "b")
    sequencer.is_finished = False
    frame = step(sequencer)
    assert frame["meta"]["message"] == "Plus Magician executed operation in root"
    assert charges_of(frame) == [(3.0, "positive", "result_p")]
    root.is_time_frozen = True  # overwritten by the next running frame
    sequencer.is_finished = False
    assert step(sequencer)["is_time_frozen"] is False


def test_two_sequencers_share_one_tree():
    root = zone("root", subs=[zone("a", (1, P, "x"))])
    first, second = NarrativeSequencer(root), NarrativeSequencer(root)
    assert summary(step(first)) == (1, "RUNNING", "Zone a has resolved and merged.")
    assert summary(step(second)) == (1, "FINISHED", "Equation Resolved.")
    assert charges_of(step(second)) == [(1.0, "positive", "x")]
    assert (first.is_finished, second.is_finished) == (False, True)


def test_sequencer_keeps_the_tree_after_the_host_drops_it():
    sequencer = NarrativeSequencer(zone("root", (1, P, "a"), (2, P, "b"), agents=[("plus_magician", "p")]))
    gc.collect()
    frames = play(sequencer)
    assert [f["meta"]["message"] for f in frames] == ["Plus Magician executed operation in root", "Equation Resolved."]


def test_none_root_is_refused():
    with pytest.raises(TypeError):
        NarrativeSequencer(None)


def test_spells_and_collapses_make_old_charges_items_stale():
    inner = zone("inner", (5, P, "x"))
    root = zone("root", (1, P, "a"), (2, P, "b"), agents=[("plus_magician", "p")], subs=[inner])
    sequencer = NarrativeSequencer(root)
    before_cast = root.charges
    step(sequencer)  # the plus spell replaces root's charges
    with pytest.raises(RuntimeError, match="charges changed since"):
        before_cast[0].magnitude
    before_collapse = root.charges
    inner_items = inner.charges
    step(sequencer)  # inner collapses into root
    with pytest.raises(RuntimeError, match="charges changed since"):
        before_collapse[0].magnitude = 1.0
    assert inner_items[0].magnitude == 5.0  # the collapsed zone's own list did not change


def test_a_frame_whose_text_fails_does_not_happen():
    # The result charge would be named after the agent's id, which is not UTF-8.
    root = zone("root", (1, P, "a"), (2, P, "b"), agents=[("plus_magician", b"\xff")])
    sequencer = NarrativeSequencer(root)
    items = root.charges
    for _ in range(2):
        with pytest.raises(RuntimeError, match="316"):
            sequencer.next_frame()
        assert (sequencer.current_frame, sequencer.is_finished) == (0, False)
        assert [item.visual_id for item in items] == ["a", "b"]  # still live: nothing changed


def test_identical_levels_give_identical_texts():
    def build():
        return zone("root", (2, N, "a"), (3, U, "b"), (7, P, "c"),
                    agents=[("power_sorcerer", "pw"), ("log_magician", "lg"), ("divide_magician", "dv")],
                    subs=[zone("s", (0.5, P, "h"), agents=[("factorial_magician", "f")])])

    def texts(root):
        sequencer = NarrativeSequencer(root)
        out = []
        while not sequencer.is_finished:
            out.append(sequencer.next_frame())
        return out

    assert texts(build()) == texts(build())


def test_equal_priorities_go_by_collection_order_each_zone_after_everything_under_it():
    # The first sub-zone's agent comes before that of a deeper zone under a later one.
    first = zone("first", (1, P, "a"), (2, P, "b"), agents=[("plus_magician", "shallow")])
    deep = zone("deep", (3, P, "c"), (4, P, "d"), agents=[("plus_magician", "deep")])
    later = zone("later", subs=[deep])
    frames = play(NarrativeSequencer(zone("root", subs=[first, later])))
    acted = [f["meta"]["last_event"]["visual_id"] for f in frames if f["meta"]["last_event"]["type"] == "CAST_SPELL"]
    assert acted == ["shallow", "deep"]


# How each kind reads polarity, row by row as docs/levels.md tables it:
# (agent, charges as (magnitude, polarity), the charges after one frame or
# DECLINES). O is a polarity none of the three named ones.
O = ChargePolarity(7)
DECLINES = None
NAN = math.nan
POLARITY_ROWS = {
    "plus": [
        (("plus_magician", "a"), [(3, P), (1, N), (1, U), (2, O)], [(1, N)]),
        (("plus_magician", "a"), [(2, P), (2, U)], [(0, P)]),
    ],
    "minus": [
        (("minus_magician", "a"), [(3, U), (2, P)], [(5, N)]),
        (("minus_magician", "a"), [(3, P), (2, N), (1, O)], [(6, P)]),
    ],
    "gates": [
        (("equals_gate", "g", 3), [(5, P), (1, N), (1, U)], [(5, P), (1, N), (1, U)]),
        (("equals_gate", "g", 3), [(5, P), (2, O)], [(5, P), (2, O)]),
        (("equals_gate", "g", 7), [(5, P), (2, U)], DECLINES),
        (("inequality_gate", "j", 0, "<"), [(1, P), (2, O)], [(1, P), (2, O)]),
        (("inequality_gate", "j", 0, ">"), [(1, P), (2, U)], DECLINES),
    ],
    "multiply_divide": [
        (("multiply_magician", "a"), [(2, N), (3, U), (4, O)], [(24, N)]),
        (("multiply_magician", "a"), [(2, N), (3, N)], [(6, P)]),
        (("multiply_magician", "a"), [(0, N), (5, P)], [(0, U)]),
        (("divide_magician", "a"), [(8, N), (2, U)], [(4, N)]),
        (("divide_magician", "a"), [(8, N), (2, N)], [(4, P)]),
        (("divide_magician", "a"), [(0, P), (2, N)], [(0, U)]),
    ],
    "power": [
        (("power_sorcerer", "a"), [(2, N), (3, U)], [(8, N)]),
        (("power_sorcerer", "a"), [(2, O), (1, N)], [(0.5, P)]),
        (("power_sorcerer", "a"), [(0, P), (2, P)], [(0, U)]),
        (("power_sorcerer", "a"), [(2, N), (0.5, P)], [(NAN, U)]),
    ],
    "factorial": [
        (("factorial_magician", "a"), [(3.5, N)], DECLINES),
        (("factorial_magician", "a"), [(3.5, U)], [(6, P)]),
        (("factorial_magician", "a"), [(4, O)], [(24, P)]),
        (("factorial_magician", "a"), [(3, P)], [(6, P)]),
    ],
    "root_one_charge": [
        (("root_magician", "a"), [(16, N)], DECLINES),
        (("root_magician", "a"), [(16, U)], [(4, P)]),
        (("root_magician", "a"), [(9, O)], [(3, P)]),
        (("root_magician", "a"), [(4, P)], [(2, P)]),
    ],
    "root_two_or_more": [
        (("root_magician", "a"), [(2, P), (16, N)], [(4, P)]),
        (("root_magician", "a"), [(3, N), (8, O)], [(2, P)]),
        (("root_magician", "a"), [(2, U), (9, U)], [(3, P)]),
        (("root_magician", "a"), [(3, P), (-8, N)], [(-2, P)]),
        (("root_magician", "a"), [(2, P), (-16, P)], DECLINES),
    ],
    "abs": [
        (("abs_magician", "a"), [(2, P), (3, N), (4, U), (5, O)], [(2, P), (3, P), (4, U), (5, O)]),
    ],
    "modulo": [
        (("modulo_magician", "a"), [(7, N), (3, N)], [(1, P)]),
        (("modulo_magician", "a"), [(7, U), (3, O)], [(1, P)]),
    ],
    "log": [
        (("log_magician", "a"), [(100, N)], [(2, P)]),
        (("log_magician", "a"), [(10, O), (0.01, N)], [(2, N)]),
        (("log_magician", "a"), [(10, U), (100, P)], [(2, P)]),
    ],
    "chronomancer": [
        (("chronomancer", "a"), [(1, P), (1, N)], DECLINES),
    ],
}


def same_charges(got: list, expected: list) -> bool:
    return len(got) == len(expected) and all(
        polarity == want_polarity
        and (math.isnan(magnitude) if math.isnan(want) else math.isclose(magnitude, want, rel_tol=1e-12))
        for (magnitude, polarity), (want, want_polarity) in zip(got, expected)
    )


@pytest.mark.parametrize("row", list(POLARITY_ROWS))
def test_how_each_kind_reads_polarity(row):
    for agent, charges, expected in POLARITY_ROWS[row]:
        level = zone("z", *[(magnitude, polarity, "c") for magnitude, polarity in charges], agents=[agent])
        event = step(NarrativeSequencer(level))["meta"]["last_event"]
        after = [(charge.magnitude, charge.polarity) for charge in level.charges]
        if expected is DECLINES:
            assert event["type"] != "CAST_SPELL" and same_charges(after, charges), (agent, charges)
        else:
            assert event["type"] == "CAST_SPELL" and same_charges(after, expected), (agent, charges, after)
