"""Bad input from a Python host that the other test files do not cover; each
case here is a row of docs/bad_input.md. Nothing a host does may crash the
interpreter or corrupt a level: it is refused with an exception and changes
nothing, or it is taken and plays as documented."""

import collections.abc
import copy
import json
import math
import pickle
import sys
import threading
from decimal import Decimal
from fractions import Fraction

import pytest

from qor_engine import Charge, ChargePolarity, Environment, LevelError, LevelPlay, Level, NarrativeSequencer, read_level

from levels import charges_of, play, step, summary

P, N = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE
LEVEL = '{"zone": "r", "charges": [[1, "positive", "a"]], "agents": [{"kind": "abs", "id": "x", "refill": true}]}'


class TestChargesAssignedFromAnyIterable:
    def test_a_generator_of_charges_is_copied_in(self):
        zone = Environment("z")
        zone.charges = (Charge(float(i), P, f"c{i}") for i in range(50))
        assert [c.visual_id for c in zone.charges] == [f"c{i}" for i in range(50)]
        source = Environment("s")
        source.add_charge(7.0, N, "from_items")
        zone.charges = (item for item in source.charges)  # items, each dropped once read
        assert charges_of(json.loads(zone.to_json())) == [(7.0, "negative", "from_items")]

    def test_a_generator_that_makes_its_own_items_stale_changes_nothing(self):
        zone = Environment("z")
        zone.add_charge(1.0, P, "a")
        zone.add_charge(2.0, P, "b")

        def items_then_change():
            items = zone.charges
            yield items[0]
            zone.add_charge(3.0, P, "c")  # runs while the generator is read, before the copy
            yield items[1]

        with pytest.raises(RuntimeError, match="stale"):
            zone.charges = items_then_change()
        assert [c.visual_id for c in zone.charges] == ["a", "b", "c"]

    @pytest.mark.parametrize(("claimed", "given"), [(sys.maxsize, 2), (1, 3), (5, 2), (2, 2)])
    def test_a_sequence_whose_len_lies_is_refused(self, claimed, given):
        class Lying(collections.abc.Sequence):
            def __len__(self):
                return claimed

            def __getitem__(self, index):
                if index >= given:
                    raise IndexError(index)
                return Charge(float(index), P, f"c{index}")

        zone = Environment("z")
        zone.add_charge(1.0, P, "kept")
        if claimed == given:
            zone.charges = Lying()
            assert [c.visual_id for c in zone.charges] == ["c0", "c1"]
            return
        with pytest.raises(ValueError, match=f"len\\(\\) says {claimed} items"):
            zone.charges = Lying()
        assert [c.visual_id for c in zone.charges] == ["kept"]

    @pytest.mark.parametrize("bad", [None, 1.0, "ab", b"ab", {"a": 1}, [Charge(1.0, P, "a"), None], [1.0]],
                             ids=["None", "float", "str", "bytes", "dict", "None_item", "float_item"])
    def test_anything_else_is_refused(self, bad):
        zone = Environment("z")
        zone.add_charge(1.0, P, "kept")
        with pytest.raises(TypeError):
            zone.charges = bad
        assert [c.visual_id for c in zone.charges] == ["kept"]


NEVER_INITIALISED = [
    ("Environment", lambda: Environment.__new__(Environment), [
        lambda z: z.to_json(), lambda z: z.id, lambda z: setattr(z, "id", "x"), lambda z: z.is_time_frozen,
        lambda z: z.add_charge(1.0, P, "c"), lambda z: z.add_plus_magician("p"), lambda z: repr(z),
        lambda z: z.charges, lambda z: setattr(z, "charges", []), lambda z: Environment("r").add_sub_environment(z),
        lambda z: NarrativeSequencer(z), lambda z: z.add_sub_environment(Environment("s")),
    ]),
    ("NarrativeSequencer", lambda: NarrativeSequencer.__new__(NarrativeSequencer), [
        lambda s: s.next_frame(), lambda s: s.current_frame, lambda s: setattr(s, "current_frame", 3),
        lambda s: s.is_finished, lambda s: setattr(s, "is_finished", True),
    ]),
    ("Charge", lambda: Charge.__new__(Charge), [
        lambda c: c.magnitude, lambda c: setattr(c, "magnitude", 1.0), lambda c: c.polarity,
        lambda c: c.visual_id, lambda c: c.to_json(), lambda c: repr(c),
        lambda c: setattr(Environment("z"), "charges", [c]),
    ]),
    ("Level", lambda: Level.__new__(Level), [
        lambda lv: lv.to_text(), lambda lv: lv.play(), lambda lv: lv.title, lambda lv: repr(lv),
    ]),
    ("LevelPlay", lambda: LevelPlay.__new__(LevelPlay), [
        lambda s: s.next_frame(), lambda s: s.explain(), lambda s: s.save(), lambda s: repr(s),
    ]),
    ("LevelError", lambda: LevelError.__new__(LevelError), [lambda e: e.problems, lambda e: e.pointers]),
    ("ChargePolarity", lambda: ChargePolarity.__new__(ChargePolarity), [
        lambda p: int(p), lambda p: p.value, lambda p: p == P, lambda p: hash(p), lambda p: repr(p),
        lambda p: Charge(1.0, p, "a"), lambda p: Environment("z").add_charge(1.0, p, "a"),
    ]),
]


class TestObjectsMadeWithoutInit:
    @pytest.mark.parametrize(("name", "make", "uses"), NEVER_INITIALISED, ids=[row[0] for row in NEVER_INITIALISED])
    def test_every_use_is_refused(self, name, make, uses):
        for use in uses:
            with pytest.raises((TypeError, RuntimeError)):
                use(make())

    def test_init_called_afterwards_makes_a_working_object(self):
        zone = Environment.__new__(Environment)
        zone.__init__("late")
        zone.add_charge(1.0, P, "a")
        sequencer = NarrativeSequencer.__new__(NarrativeSequencer)
        sequencer.__init__(zone)
        assert summary(step(sequencer)) == (1, "FINISHED", "Equation Resolved.")
        charge = Charge.__new__(Charge)
        charge.__init__(2.0, N, "c")
        assert charge.to_json() == '{"magnitude":2.0,"polarity":"negative","visual_id":"c"}'

    def test_pickled_polarities_still_come_back(self):
        for polarity in (P, N, ChargePolarity(-7)):
            assert pickle.loads(pickle.dumps(polarity)).value == polarity.value

    def test_a_second_init_is_ignored(self):
        zone = Environment("first")
        zone.__init__("second")
        assert zone.id == "first"
        sequencer = NarrativeSequencer(zone)
        sequencer.__init__(Environment("other"))
        assert json.loads(sequencer.next_frame())["id"] == "first"
        charge = Charge(1.0, P, "a")
        charge.__init__(2.0, N, "b")
        assert (charge.magnitude, charge.visual_id) == (1.0, "a")

    def test_a_subclass_that_skips_the_base_init_is_refused(self):
        class Careless(NarrativeSequencer):
            def __init__(self):
                pass

        with pytest.raises(TypeError, match="__init__\\(\\) must be called"):
            Careless()

    @pytest.mark.parametrize("make", [lambda: Environment("z"), lambda: Charge(1.0, P, "a"),
                                      lambda: NarrativeSequencer(Environment("z")), lambda: read_level(LEVEL),
                                      lambda: read_level(LEVEL).play(), lambda: LevelError("p")],
                             ids=["Environment", "Charge", "NarrativeSequencer", "Level", "LevelPlay", "LevelError"])
    def test_pickling_and_copying_are_refused_until_initialised(self, make):
        made = make()
        unmade = type(made).__new__(type(made))
        for action in (lambda x: pickle.dumps(x, 0), lambda x: pickle.dumps(x, 5), copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match="never initialised"):
                action(unmade)
            action(made)  # an initialised object pickles and copies (test_save.py)

    @pytest.mark.parametrize("cls, state, error", [
        (Environment, b"not a save", ValueError), (NarrativeSequencer, b"", ValueError),
        (Charge, (2**64, 0, b""), ValueError), (Charge, (0, 2**31, b""), ValueError),
        (Environment, "text", "the bytes Environment.__getstate__"), (NarrativeSequencer, 5, "bytes"),
        (Charge, ("x", 1, b""), r"tuple \(int, int, bytes\).*not \(str, int, bytes\)"), (Charge, (1, 2), r"not \(int, int\)"),
        (Charge, [0, 0, b""], "not list"), (ChargePolarity, "1", "the int"),
        (NarrativeSequencer, (b"", [1]), "None, a dict"),
    ])
    def test_a_bad_pickle_state_is_refused_and_leaves_the_object_unmade(self, cls, state, error):
        unmade = cls.__new__(cls)
        with pytest.raises(ValueError) if error is ValueError else pytest.raises(TypeError, match=error):
            unmade.__setstate__(state)
        with pytest.raises(TypeError, match="never initialised"):
            unmade.__getstate__()

    @pytest.mark.parametrize("make", [lambda: Environment("z"), lambda: NarrativeSequencer(Environment("z")),
                                      lambda: Charge(1.0, P, "a"), lambda: N],
                             ids=["Environment", "NarrativeSequencer", "Charge", "ChargePolarity"])
    def test_setstate_on_an_initialised_object_is_refused_and_changes_nothing(self, make):
        made, other = make(), make()
        if isinstance(other, Environment):
            other.add_charge(5.0, N, "other")
        before = made.__getstate__()
        for state in (other.__getstate__(), b"junk", None):
            with pytest.raises(TypeError, match="already initialised"):
                made.__setstate__(state)
        assert made.__getstate__() == before

    def test_environment_cannot_be_subclassed(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Zone", (Environment,), {})


class TestArgumentConversion:
    @pytest.mark.parametrize(("given", "stored"), [(Decimal("1.5"), 1.5), (Fraction(1, 4), 0.25), (10**20, 1e20)])
    def test_numbers_with_a_float_value_are_taken(self, given, stored):
        zone = Environment("z")
        zone.add_charge(given, P, "a")
        assert zone.charges[0].magnitude == stored

    @pytest.mark.parametrize("given", [10**400, -(10**400), 1j])
    def test_numbers_without_a_float_value_are_refused(self, given):
        zone = Environment("z")
        with pytest.raises(TypeError):
            zone.add_charge(given, P, "a")
        with pytest.raises(TypeError):
            zone.add_equals_gate("g", given)
        assert json.loads(zone.to_json())["charges"] == []

    @pytest.mark.parametrize("given", [None, 5, 1.5, "\ud800", ["a"]], ids=["None", "int", "float", "lone_surrogate", "list"])
    def test_texts_must_be_str_or_bytes(self, given):
        zone = Environment("z")
        for use in (lambda: Environment(given), lambda: setattr(zone, "id", given),
                    lambda: zone.add_charge(1.0, P, given), lambda: zone.add_plus_magician(given),
                    lambda: zone.add_inequality_gate("j", 1.0, given)):
            with pytest.raises(TypeError):
                use()
        assert zone.id == "z"

    @pytest.mark.parametrize("given", [5, "z", Charge(1.0, P, "c"), [Environment("s")]], ids=["int", "str", "Charge", "list"])
    def test_only_zones_are_taken_as_zones(self, given):
        root = Environment("root")
        with pytest.raises(TypeError):
            root.add_sub_environment(given)
        with pytest.raises(TypeError):
            NarrativeSequencer(given)
        assert json.loads(root.to_json())["sub_environments"] == []

    @pytest.mark.parametrize("given", [2**31, -(2**31) - 1, 1.5, "1", None])
    def test_polarity_values_outside_32_bits_are_refused(self, given):
        with pytest.raises(TypeError):
            ChargePolarity(given)

    def test_flags_take_anything_with_a_truth_value_but_text(self):
        zone = Environment("z")
        sequencer = NarrativeSequencer(zone)
        for given, stored in ((1, True), (0, False), (None, False)):
            zone.is_time_frozen = given
            sequencer.is_finished = given
            assert (zone.is_time_frozen, sequencer.is_finished) == (stored, stored)
        for given in ("yes", [True]):
            with pytest.raises(TypeError):
                zone.is_time_frozen = given
            with pytest.raises(TypeError):
                sequencer.is_finished = given

    # Every read-write property, given a value it refuses, and the TypeError's message.
    WRONG_ASSIGNMENTS = [
        (Charge, "magnitude", "1", "magnitude must be a float, not str"),
        (Charge, "magnitude", 10**400, "magnitude must be a float, not an int too large to convert to one"),
        (Charge, "polarity", None, "polarity must be a ChargePolarity, not NoneType"),
        (Charge, "polarity", 1, "polarity must be a ChargePolarity, not int"),
        (Charge, "visual_id", None, "visual_id must be a str, not NoneType"),
        (Charge, "visual_id", "a\ud800",
         "visual_id holds a lone surrogate, \\ud800 at position 1, which UTF-8 cannot encode"),
        (Environment, "id", 5, "id must be a str, not int"),
        (Environment, "charges", "ab", "charges must be an iterable of Charge, not str"),
        (Environment, "charges", (Charge(1.0, P, "c"), None), "charges must be an iterable of Charge; item 1 is NoneType"),
        (Environment, "charges", (x for x in [1.0]),
         "charges must be an iterable of Charge; an item of the generator is not one"),
        (Environment, "is_time_frozen", "yes", "is_time_frozen must be a bool, not str"),
        (NarrativeSequencer, "is_finished", [True], "is_finished must be a bool, not list"),
        (NarrativeSequencer, "current_frame", 2.0, "current_frame must be an int, not float"),
        (NarrativeSequencer, "current_frame", 2**31,
         "current_frame must be an int from -2147483648 to 2147483647, not 2147483648"),
        (NarrativeSequencer, "max_frames", 2.5, "max_frames must be an int, not float"),
        (NarrativeSequencer, "max_frames", 2**64,
         "max_frames must be an int from 1 to 2147483647, not 18446744073709551616"),
    ]

    @pytest.mark.parametrize(("cls", "name", "given", "message"), WRONG_ASSIGNMENTS,
                             ids=[f"{case[1]}-{type(case[2]).__name__}" for case in WRONG_ASSIGNMENTS])
    def test_assigning_a_wrong_type_names_the_property(self, cls, name, given, message):
        zone = Environment("z")
        zone.add_charge(1.0, P, "a")
        obj = {Charge: zone.charges[0], Environment: zone, NarrativeSequencer: NarrativeSequencer(zone)}[cls]
        before = (zone.to_json(), getattr(obj, name) if name != "charges" else None)
        with pytest.raises(TypeError) as raised:
            setattr(obj, name, given)
        assert str(raised.value) == message
        assert (zone.to_json(), getattr(obj, name) if name != "charges" else None) == before

    def test_every_read_write_property_has_a_wrong_assignment(self):
        writable = {(cls, name) for cls in (ChargePolarity, Charge, Environment, NarrativeSequencer)
                    for name, member in vars(cls).items()
                    if type(member) is property and member.fset is not None and name != "__class__"}
        assert writable == {(cls, name) for cls, name, _, _ in self.WRONG_ASSIGNMENTS}

    def test_errors_of_read_only_and_deleted_properties_name_the_property(self):
        zone = Environment("z")
        made = {Environment: zone, NarrativeSequencer: NarrativeSequencer(zone), Charge: Charge(1.0, P, "a"),
                ChargePolarity: P}
        for cls, obj in made.items():
            for name, member in vars(cls).items():
                if type(member) is not property:  # static ones belong to the class
                    continue
                if member.fset is None:
                    with pytest.raises(AttributeError, match=f"property '{name}' of '{cls.__name__}' object has no setter"):
                        setattr(obj, name, getattr(obj, name))
                with pytest.raises(AttributeError, match=f"property '{name}' of '{cls.__name__}' object has no deleter"):
                    delattr(obj, name)

    def test_unknown_and_deleted_attributes_are_refused(self):
        zone = Environment("z")
        sequencer = NarrativeSequencer(zone)
        with pytest.raises(AttributeError):
            sequencer.max_frame = 10
        with pytest.raises(AttributeError):
            del sequencer.current_frame
        with pytest.raises(AttributeError):
            del zone.charges
        assert summary(step(sequencer)) == (1, "FINISHED", "Equation Resolved.")


class TestLargeInput:
    def test_nine_hundred_thousand_charges_in_one_zone_play_and_dump(self):
        zone = Environment("big")
        for i in range(900_000):
            zone.add_charge(1.0, P if i % 2 == 0 else N, "c")
        zone.add_charge(2.0, P, "last")
        zone.add_plus_magician("p")
        assert zone.to_json().count('"visual_id":"c"') == 900_000
        items = zone.charges
        assert len(items) == 900_001 and items[-1].visual_id == "last"
        frames = play(NarrativeSequencer(zone))
        assert [summary(f) for f in frames] == [(1, "RUNNING", "Plus Magician executed operation in big"),
                                                (2, "FINISHED", "Equation Resolved.")]
        assert charges_of(frames[-1]) == [(2.0, "positive", "result_p")]
        with pytest.raises(RuntimeError, match="stale"):
            items[899_999].magnitude

    def test_a_hundred_thousand_sibling_zones_collapse_one_per_frame(self):
        root = Environment("root")
        for i in range(100_000):
            sub = Environment(f"s{i}")
            sub.add_charge(1.0, P, f"c{i}")
            root.add_sub_environment(sub)
        sequencer = NarrativeSequencer(root)
        for i in range(3):
            assert summary(step(sequencer)) == (i + 1, "RUNNING", f"Zone s{i} has resolved and merged.")
        assert len(root.charges) == 3

    def test_ids_of_a_megabyte_are_written_in_full(self):
        long_id = "é" * 500_000
        zone = Environment(long_id)
        zone.add_charge(math.inf, P, long_id)
        text = NarrativeSequencer(zone).next_frame()
        assert json.loads(text)["charges"][0] == {"magnitude": None, "polarity": "positive", "visual_id": long_id}


def test_threads_that_play_and_change_one_level_at_once():
    # Every call into the module runs whole under the interpreter's lock, so
    # threads interleave between calls, never inside one.
    root = Environment("root")
    for i in range(200):
        root.add_abs_magician(f"a{i}")
    root.add_charge(1.0, N, "c")
    sequencer = NarrativeSequencer(root)
    failures = []

    def player():
        try:
            for _ in range(300):
                frame = json.loads(sequencer.next_frame())
                assert frame["meta"]["status"] in ("RUNNING", "FINISHED", "ERROR")
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    def meddler():
        try:
            for i in range(300):
                root.add_charge(float(i), N, "m")
                items = root.charges
                items[0].magnitude = 2.0
                sequencer.is_finished = False
                if i % 50 == 0:
                    root.charges = items[:1]
        except RuntimeError as error:  # an item made stale by another thread's frame
            assert "stale" in str(error)
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=player) for _ in range(3)] + [threading.Thread(target=meddler) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    state = json.loads(root.to_json())
    assert all(agent["state"] == "dormant" for agent in state["agents"])
