"""Charges and zones built from Python, their JSON texts and the charges items."""

import json
import math

import pytest

from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer

P, N, U = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE, ChargePolarity.NEUTRAL


@pytest.mark.parametrize(
    ("magnitude", "polarity", "visual_id", "text"),
    [
        (2, P, "a", '{"magnitude":2.0,"polarity":"positive","visual_id":"a"}'),
        (2.5, N, "c1", '{"magnitude":2.5,"polarity":"negative","visual_id":"c1"}'),
        (1.0, U, "", '{"magnitude":1.0,"polarity":"neutral","visual_id":""}'),
        (1.0, ChargePolarity(7), "x", '{"magnitude":1.0,"polarity":"neutral","visual_id":"x"}'),
        (math.nan, P, "x", '{"magnitude":null,"polarity":"positive","visual_id":"x"}'),
        (-math.inf, P, "x", '{"magnitude":null,"polarity":"positive","visual_id":"x"}'),
        (-0.0, P, "x", '{"magnitude":-0.0,"polarity":"positive","visual_id":"x"}'),
        (1e21, P, "ß→\"", '{"magnitude":1e+21,"polarity":"positive","visual_id":"ß→\\""}'),
    ],
)
def test_charge_json(magnitude, polarity, visual_id, text):
    assert Charge(magnitude, polarity, visual_id).to_json() == text


def test_charge_properties_read_and_write():
    charge = Charge(1.0, P, "a")
    charge.magnitude = 4
    charge.polarity = N
    charge.visual_id = b"b"
    assert (charge.magnitude, charge.polarity, charge.visual_id) == (4.0, N, "b")
    assert repr(charge) == "Charge(magnitude=4.0, polarity=<ChargePolarity.NEGATIVE: 1>, visual_id='b')"


def test_new_zone_json():
    assert Environment("z").to_json() == '{"agents":[],"charges":[],"id":"z","is_time_frozen":false,"sub_environments":[]}'


def test_zone_json_lists_everything_in_insertion_order():
    root = Environment("root")
    root.add_charge(4, P, "c1")
    assert root.to_json() == (
        '{"agents":[],"charges":[{"magnitude":4.0,"polarity":"positive","visual_id":"c1"}],'
        '"id":"root","is_time_frozen":false,"sub_environments":[]}'
    )
    root.add_charge(1, N, "c2")
    root.add_plus_magician("p")
    root.add_plus_magician("p")  # the same visual id twice is fine
    for name in ("a", "b"):
        root.add_sub_environment(Environment(name))
    state = json.loads(root.to_json())
    assert [c["visual_id"] for c in state["charges"]] == ["c1", "c2"]
    assert [a["visual_id"] for a in state["agents"]] == ["p", "p"]
    assert [z["id"] for z in state["sub_environments"]] == ["a", "b"]


def test_frozen_flag_reported_only_with_sub_zones():
    zone = Environment("z")
    zone.is_time_frozen = True
    assert zone.is_time_frozen is True
    assert json.loads(zone.to_json())["is_time_frozen"] is False
    zone.add_sub_environment(Environment("s"))
    assert json.loads(zone.to_json())["is_time_frozen"] is True


def test_sub_zone_is_shared_with_the_host_handle():
    root, sub = Environment("root"), Environment("sub")
    root.add_sub_environment(sub)
    sub.add_charge(3, P, "late")
    sub.id = "renamed"
    assert json.loads(root.to_json())["sub_environments"][0]["charges"][0]["visual_id"] == "late"
    assert json.loads(root.to_json())["sub_environments"][0]["id"] == "renamed"


def test_zone_under_two_parents_is_written_under_both():
    root, a, b, shared = (Environment(n) for n in ("root", "a", "b", "s"))
    shared.add_charge(1, P, "c")
    for parent in (a, b):
        parent.add_sub_environment(shared)
        root.add_sub_environment(parent)
    state = json.loads(root.to_json())
    assert state["sub_environments"][0]["sub_environments"] == state["sub_environments"][1]["sub_environments"]


def test_cycles_are_refused_and_leave_the_tree_unchanged():
    root, child, grandchild = Environment("root"), Environment("child"), Environment("grandchild")
    root.add_sub_environment(child)
    child.add_sub_environment(grandchild)
    before = root.to_json()
    with pytest.raises(ValueError, match='"root".*"root"'):
        root.add_sub_environment(root)
    with pytest.raises(ValueError) as refused:
        grandchild.add_sub_environment(root)
    assert '"root"' in str(refused.value) and '"grandchild"' in str(refused.value)
    bad_id = Environment(b"\xff")
    bad_id.add_sub_environment(Environment("x"))
    with pytest.raises(ValueError):
        bad_id.add_sub_environment(bad_id)  # the message survives an id that is not UTF-8
    assert root.to_json() == before


def test_none_sub_zone_is_refused():
    root = Environment("root")
    with pytest.raises(TypeError):
        root.add_sub_environment(None)
    assert json.loads(root.to_json())["sub_environments"] == []


def test_invalid_utf8_is_stored_and_fails_only_on_reading():
    zone = Environment("z")
    zone.add_charge(1, P, b"a\xff")
    with pytest.raises(UnicodeDecodeError):
        zone.charges[0].visual_id
    with pytest.raises(RuntimeError, match=r"type_error\.316.*invalid UTF-8 byte at index 1: 0xFF"):
        zone.to_json()
    with pytest.raises(RuntimeError, match=r"incomplete UTF-8 string; last byte: 0xC3"):
        Charge(1, P, b"ab\xc3").to_json()
    zone.id = b"\xfe"
    with pytest.raises(UnicodeDecodeError):
        zone.id
    assert "\\xfe" in repr(zone)


@pytest.mark.parametrize(("count", "text"), [(0, "0 charges, 0 agents, 0 sub-zones"),
                                             (1, "1 charge, 1 agent, 1 sub-zone"),
                                             (2, "2 charges, 2 agents, 2 sub-zones")])
def test_reprs_count_in_the_singular_and_the_plural(count, text):
    zone = Environment("z")
    for i in range(count):
        zone.add_charge(1, P, "c")
        zone.add_chronomancer("t")
        zone.add_sub_environment(Environment(f"s{i}"))
    assert repr(zone) == f"<Environment id='z': {text}>"
    level = NarrativeSequencer(zone, max_frames=7)
    assert repr(level) == "<NarrativeSequencer root='z': frame 0 of at most 7, running>"
    level.current_frame, level.is_finished = count, True
    assert repr(level) == f"<NarrativeSequencer root='z': frame {count} of at most 7, finished>"


class TestChargesItems:
    def test_items_read_and_write_the_zones_charges(self):
        zone = Environment("z")
        zone.add_charge(1.5, N, "n")
        assert zone.charges[-1].magnitude == 1.5
        zone.charges[0].magnitude = 9.0
        zone.charges[0].polarity = P
        zone.charges[0].visual_id = "renamed"
        assert json.loads(zone.to_json())["charges"][0] == {"magnitude": 9.0, "polarity": "positive", "visual_id": "renamed"}

    def test_the_list_itself_is_a_copy(self):
        zone = Environment("z")
        zone.add_charge(1, P, "a")
        zone.charges.append(Charge(2, P, "b"))
        assert len(zone.charges) == 1
        zone.charges = zone.charges + [Charge(2, P, "b")]
        assert [c.visual_id for c in zone.charges] == ["a", "b"]

    def test_assigning_copies_the_host_charges(self):
        zone = Environment("z")
        mine = Charge(1, P, "mine")
        zone.charges = (mine,)
        mine.magnitude = 5
        assert zone.charges[0].magnitude == 1.0
        with pytest.raises(TypeError):
            zone.charges = "ab"
        with pytest.raises(TypeError):
            zone.charges = [mine, None]
        assert len(zone.charges) == 1

    @pytest.mark.parametrize(
        "change",
        [
            lambda zone: zone.add_charge(3, P, "c"),
            lambda zone: setattr(zone, "charges", []),
            lambda zone: setattr(zone, "charges", list(zone.charges)),
        ],
        ids=["add_charge", "assign_empty", "assign_same"],
    )
    def test_items_go_stale_when_the_list_changes(self, change):
        zone = Environment("z")
        zone.add_charge(1, P, "a")
        zone.add_charge(2, P, "b")
        items = zone.charges
        change(zone)
        for use in (
            lambda item: item.magnitude,
            lambda item: setattr(item, "magnitude", 1.0),
            lambda item: item.polarity,
            lambda item: setattr(item, "visual_id", "x"),
            lambda item: item.to_json(),
        ):
            with pytest.raises(RuntimeError, match="charges changed since"):
                use(items[1])
        assert repr(items[1]).startswith("<stale Charge item")
        fresh = zone.charges
        if fresh:
            fresh[0].magnitude = 7.0
            assert zone.charges[0].magnitude == 7.0

    def test_stale_item_in_an_assignment_changes_nothing(self):
        zone = Environment("z")
        zone.add_charge(1, P, "a")
        stale = zone.charges[0]
        zone.add_charge(2, P, "b")
        with pytest.raises(RuntimeError):
            zone.charges = [Charge(3, P, "c"), stale]
        assert [c.visual_id for c in zone.charges] == ["a", "b"]

    def test_item_keeps_its_zone_alive(self):
        zone = Environment("z")
        zone.add_charge(1, P, "a")
        item = zone.charges[0]
        del zone
        assert item.magnitude == 1.0
