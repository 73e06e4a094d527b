"""Saving, loading, pickling and copying charges, zones and levels in play."""

import copy
import hashlib
import itertools
import json
import pickle
import re
import struct
import zlib
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer, NEGATIVE, POSITIVE

from levels import zone
from test_properties import budget, build, host_scripts, levels, meddle

SAVES = Path(__file__).resolve().parents[1] / "saves"
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_BEEF))[0]
HEADER = 20  # magic, version, kind, content length


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def awkward_level() -> NarrativeSequencer:
    """A level with a shared zone, every agent kind, and numbers JSON cannot carry."""
    shared = zone("shared", (2.0, POSITIVE, "s1"), (3.0, POSITIVE, "s2"),
                  agents=(("equals_gate", "g", 5), ("chronomancer", "c")))
    left = zone("left", (NAN_WITH_PAYLOAD, NEGATIVE, "nan"), (-0.0, ChargePolarity(7), "nz"),
                agents=(("power_sorcerer", "pw"), ("inequality_gate", "j", 2.5, ">=")), subs=(shared,))
    root = zone("root", (5e-324, POSITIVE, "sub"), (float("-inf"), NEGATIVE, "inf"),
                agents=tuple((kind, kind) for kind in ("plus_magician", "minus_magician", "multiply_magician",
                                                        "divide_magician", "root_magician", "abs_magician",
                                                        "factorial_magician", "modulo_magician", "log_magician")),
                subs=(left, shared))
    root.is_time_frozen = True
    level = NarrativeSequencer(root, max_frames=2**31 - 2)
    level.current_frame = 2**31 - 1000
    return level


def frames_to_end(level: NarrativeSequencer, limit: int = 100) -> list[str]:
    texts = []
    while not level.is_finished and len(texts) < limit:
        texts.append(level.next_frame())
    texts.append(level.next_frame())  # one more after the end
    return texts


# --- the API ---------------------------------------------------------------------

@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                  lambda data: memoryview(bytes(b for byte in data for b in (byte, 0)))[::2]],
                         ids=["bytes", "bytearray", "memoryview", "strided memoryview"])
def test_load_takes_bytes_bytearray_and_memoryview(wrap):
    level = awkward_level()
    level.next_frame()
    saved = level.save()
    assert isinstance(saved, bytes)
    assert NarrativeSequencer.load(wrap(saved)).save() == saved
    root_saved = level.root_environment.save()
    assert Environment.load(wrap(root_saved)).save() == root_saved


@pytest.mark.parametrize("data", ["text", None, 5, [1, 2], bytes])
@pytest.mark.parametrize("cls", [Environment, NarrativeSequencer])
def test_load_refuses_data_that_is_not_bytes_with_type_error(cls, data):
    with pytest.raises(TypeError, match="bytes, bytearray or memoryview"):
        cls.load(data)


def test_loaded_level_keeps_every_member_and_a_shared_zone_stays_one_zone():
    original = awkward_level()
    original.next_frame()
    loaded = NarrativeSequencer.load(original.save())
    assert (loaded.current_frame, loaded.is_finished) == (original.current_frame, original.is_finished)
    root = loaded.root_environment
    assert root is loaded.root_environment and root.to_json() == original.root_environment.to_json()
    left, shared = root.sub_environments
    assert left.sub_environments[0] is shared
    shared.add_charge(1.0, POSITIVE, "seen twice")
    assert root.to_json().count("seen twice") == 2
    nan, negative_zero = left.charges
    assert bits(nan.magnitude) == bits(NAN_WITH_PAYLOAD) and bits(negative_zero.magnitude) == bits(-0.0)
    assert negative_zero.polarity == ChargePolarity(7)
    assert root.charges[0].magnitude == 5e-324
    assert root.is_time_frozen


def test_ids_of_any_bytes_and_extreme_counters_survive():
    root = Environment(b"\xff\x00root")
    root.add_charge(1.0, POSITIVE, b"\xc3(")
    root.add_plus_magician(b"\x80")
    for counter in (-(2**31), 2**31 - 1):
        level = NarrativeSequencer(root)
        level.current_frame = counter
        loaded = NarrativeSequencer.load(level.save())
        assert loaded.current_frame == counter
        assert loaded.root_environment.save() == root.save()


def test_equal_states_give_equal_bytes():
    assert awkward_level().save() == awkward_level().save()
    assert Environment("z").save() == Environment("z").save() != Environment("y").save()


def test_loaded_level_plays_on_byte_for_byte_like_the_original():
    original = awkward_level()
    for _ in range(3):
        original.next_frame()
    copies = [NarrativeSequencer.load(original.save()), copy.copy(original), copy.deepcopy(original),
              *(pickle.loads(pickle.dumps(original, protocol)) for protocol in PROTOCOLS)]
    expected = frames_to_end(original)
    for level in copies:
        assert level.max_frames == original.max_frames
        assert frames_to_end(level) == expected
        assert level.save() == original.save()


# --- pickle and copy ---------------------------------------------------------------

@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_every_pickle_protocol_gives_an_independent_copy(protocol):
    level = awkward_level()
    level.next_frame()
    root = level.root_environment
    for original in (level, root, root.sub_environments[0]):
        restored = pickle.loads(pickle.dumps(original, protocol))
        assert type(restored) is type(original) and restored.save() == original.save()
    restored = pickle.loads(pickle.dumps(level, protocol))
    assert restored.root_environment is not root
    restored.root_environment.add_charge(1.0, POSITIVE, "only in the copy")
    assert "only in the copy" not in root.to_json()


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy,
                                       *(lambda x, p=p: pickle.loads(pickle.dumps(x, p)) for p in PROTOCOLS)])
def test_charges_copy_exactly_and_independently(make_copy):
    host_made = Charge(NAN_WITH_PAYLOAD, ChargePolarity(-3), b"\xff\xfe")
    zone_item = awkward_level().root_environment.sub_environments[0].charges[1]
    for original in (host_made, zone_item):
        copied = make_copy(original)
        assert bits(copied.magnitude) == bits(original.magnitude)
        assert copied.polarity == original.polarity
        assert pickle.dumps(copied, 5) == pickle.dumps(original, 5)  # the visual id's bytes too
        copied.magnitude = 1.0
        assert original.magnitude != 1.0


def test_a_stale_charges_item_is_not_copied():
    level_zone = Environment("z")
    level_zone.add_charge(1.0, POSITIVE, "a")
    item = level_zone.charges[0]
    level_zone.add_charge(2.0, POSITIVE, "b")
    for make_copy in (copy.copy, copy.deepcopy, lambda x: pickle.dumps(x, 0), lambda x: pickle.dumps(x, 5)):
        with pytest.raises(RuntimeError, match="stale"):
            make_copy(item)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_charge_polarity_pickles_by_value(protocol):
    for polarity in (POSITIVE, NEGATIVE, ChargePolarity(2**31 - 1)):
        assert pickle.loads(pickle.dumps(polarity, protocol)) == polarity


def test_polarity_pickles_as_before_from_protocol_2():
    assert pickle.dumps(NEGATIVE, 2) == (b"\x80\x02cqor_engine\nChargePolarity\nq\x00)\x81q\x01K\x01b.")


def test_unpickling_runs_no_code_besides_the_classes():
    class Refuser(pickle.Unpickler):
        def find_class(self, module, name):
            assert (module, name) in {("copyreg", "__newobj__"), ("copy_reg", "__newobj__"),
                                      ("_codecs", "encode"), ("qor_engine", "Environment"),
                                      ("qor_engine", "NarrativeSequencer")}, (module, name)
            return super().find_class(module, name)

    import io
    for protocol in PROTOCOLS:
        Refuser(io.BytesIO(pickle.dumps(awkward_level(), protocol))).load()


# --- refused saves -------------------------------------------------------------------

def with_checksum(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


def damaged(kind: str) -> bytes:
    good = Environment("z").save()
    body = good[:-4]
    return {
        "cut short": good[:-1],
        "a byte changed": good[:HEADER] + bytes([good[HEADER] ^ 1]) + good[HEADER + 1:],
        "trailing bytes": good + b"\x00",
        "newer format version": with_checksum(body[:8] + b"\x07\x00" + body[10:]),
        "bad magic": b"\x89QOX" + good[4:],
        "a billion zones": with_checksum(body[:12] + struct.pack("<Q", 16) + struct.pack("<II", 0, 10**9) + bytes(8)),
        "a level's save": NarrativeSequencer(Environment("z")).save(),
    }[kind]


@pytest.mark.parametrize("kind, message", [
    ("cut short", "cut short"),
    ("a byte changed", "checksum mismatch"),
    ("trailing bytes", "trailing bytes"),
    ("newer format version", "newer format version"),
    ("bad magic", "bad magic"),
    ("a billion zones", "claims 1000000000 zones"),
    ("a level's save", "wrong kind: this is a level save"),
])
def test_damaged_saves_raise_value_error_saying_what_is_wrong(kind, message):
    with pytest.raises(ValueError, match=message):
        Environment.load(damaged(kind))


def test_a_zone_save_is_not_a_level():
    with pytest.raises(ValueError, match="wrong kind: this is a zone save"):
        NarrativeSequencer.load(Environment("z").save())


def test_an_agent_kind_unknown_to_the_engine_cannot_come_from_a_save():
    good = bytearray(awkward_level().save())
    kind_at = good.index(b"Plus Magician") - 5  # the kind's byte, then the name's length
    good[kind_at] = 99
    with pytest.raises(ValueError, match="unknown agent kind 99"):
        NarrativeSequencer.load(with_checksum(bytes(good[:-4])))


def hand_made_save(cls: type, sub_zones: list[list[int]]) -> bytes:
    """A save of empty zones "z0", "z1", ... listing the given sub-zone references."""
    tree = struct.pack("<II", 0, len(sub_zones))  # no agents
    for number, refs in enumerate(sub_zones):
        name = f"z{number}".encode()
        tree += struct.pack("<I", len(name)) + name + struct.pack("<BIII", 0, 0, 0, len(refs))
        tree += struct.pack(f"<{len(refs)}I", *refs)
    kind, content = (1, tree) if cls is Environment else (2, struct.pack("<iiBB", 0, 1000, 0, 0) + tree)
    return with_checksum(b"\x89QOR\r\n\x1a\n" + struct.pack("<HHQ", 1, kind, len(content)) + content)


@pytest.mark.parametrize("cls", [Environment, NarrativeSequencer])
@pytest.mark.parametrize("sub_zones, message", [
    ([[1], [1]], "zone 1 lists sub-zone 1,"),
    ([[1], [2], [1]], "zone 2 lists sub-zone 1,"),
    ([[1], [2], [2]], "zone 2 lists sub-zone 2,"),
], ids=["itself", "its parent", "itself, deeper down"])
def test_a_save_whose_zone_lists_itself_or_an_ancestor_is_refused(cls, sub_zones, message):
    with pytest.raises(ValueError, match="bad index: " + message):
        cls.load(hand_made_save(cls, sub_zones))
    without_the_loop = sub_zones[:-1] + [[]]  # the last zone lists nothing: it loads
    assert cls.load(hand_made_save(cls, without_the_loop)).save() == hand_made_save(cls, without_the_loop)


I32_ZERO, I32_ONE, LIMIT = struct.pack("<i", 0), struct.pack("<i", 1), struct.pack("<i", 1000)
# What the level's root gets, where the changed value lies (after a marker), its
# value in the real save, the impossible value, and what load says about it.
IMPOSSIBLE_SAVES = {
    # after the id: freeze flag, charge count, agent count, then the references
    "an empty agent slot": (lambda z: z.add_plus_magician("p"), b"ROOT", 4 + 1 + 4 + 4, I32_ONE, I32_ZERO,
                            "zone 0 has an empty agent slot"),
    "an empty sub-zone slot": (lambda z: z.add_sub_environment(Environment("s")), b"ROOT", 4 + 1 + 4 + 4 + 4,
                               I32_ONE, I32_ZERO, "zone 0 has an empty sub-zone slot"),
    # after the visual id: state, then a gate's target and open flag
    "an agent not dormant": (lambda z: z.add_plus_magician("VIS"), b"VIS", 3, I32_ZERO, I32_ONE,
                             "bad value 1 for the state of agent 1"),
    "an open gate in its zone": (lambda z: z.add_equals_gate("VIS", 5), b"VIS", 3 + 4 + 8, b"\x00", b"\x01",
                                 "agent 1 is an open gate that still stands in a zone"),
    "an open judge in its zone": (lambda z: z.add_inequality_gate("VIS", 5, ">"), b"VIS", 3 + 4 + 4 + 8,
                                  b"\x00", b"\x01", "agent 1 is an open gate"),
    # after the header and the frame counter: the frame limit
    "a frame limit of 0": (lambda z: None, b"\x89QOR", HEADER + 4, LIMIT, I32_ZERO,
                           "bad value 0 for the frame limit"),
    "a negative frame limit": (lambda z: None, b"\x89QOR", HEADER + 4, LIMIT, struct.pack("<i", -5),
                               "bad value -5 for the frame limit"),
}


@pytest.mark.parametrize("case", sorted(IMPOSSIBLE_SAVES))
def test_saves_of_levels_no_host_could_build_are_refused(case):
    add, marker, offset, real, impossible, message = IMPOSSIBLE_SAVES[case]
    root = Environment("ROOT")
    add(root)
    save = bytearray(NarrativeSequencer(root).save())
    at = save.index(marker) + offset
    assert save[at:at + len(real)] == real
    save[at:at + len(real)] = impossible
    with pytest.raises(ValueError, match=re.escape(message)):
        NarrativeSequencer.load(with_checksum(bytes(save[:-4])))


# --- deep levels -----------------------------------------------------------------------

def chain(depth: int) -> Environment:
    root = last = Environment("z0")
    for i in range(1, depth):
        deeper = Environment(f"z{i}")
        last.add_sub_environment(deeper)
        last = deeper
    last.add_charge(1.0, POSITIVE, "deep")
    return root


def test_deepest_playable_level_saves_loads_and_plays():
    level = NarrativeSequencer(chain(100_000))
    saved = level.save()
    loaded = NarrativeSequencer.load(saved)
    assert loaded.save() == saved
    assert loaded.next_frame() == level.next_frame()


def test_level_too_deep_to_play_saves_and_loads_but_play_is_refused():
    saved = NarrativeSequencer(chain(300_000)).save()
    loaded = NarrativeSequencer.load(saved)
    with pytest.raises(RecursionError, match="deeper than the engine supports"):
        loaded.next_frame()
    assert loaded.save() == saved


# --- saves made by the 64-bit build, checked in --------------------------------------------

CHECKED_IN = sorted(SAVES.glob("*.qorsave"))


def test_checked_in_saves_exist():
    assert len(CHECKED_IN) >= 3


@pytest.mark.parametrize("path", CHECKED_IN, ids=lambda path: path.stem)
def test_checked_in_save_loads_resaves_alike_and_plays_on_as_recorded(path):
    data = path.read_bytes()
    expected = json.loads(path.with_suffix(".json").read_text(encoding="utf-8"))
    level = NarrativeSequencer.load(data)
    assert level.save() == data
    assert frames_to_end(level) == expected["frames"]
    assert hashlib.sha256(level.save()).hexdigest() == expected["final_save_sha256"]


# --- random levels mid-play ----------------------------------------------------------------

@budget(200)
@given(plan=levels(), script=host_scripts, frames_before=st.integers(0, 6), protocol=st.sampled_from(PROTOCOLS))
def test_random_levels_mid_play_round_trip_and_play_on_alike(plan, script, frames_before, protocol):
    level = build(plan)
    original = NarrativeSequencer(level.root)
    for actions in script[:frames_before]:
        for action in actions:
            meddle(level, original, action)
        original.next_frame()
    saved = original.save()
    restored = NarrativeSequencer.load(saved)
    assert restored.save() == saved
    pickled = pickle.loads(pickle.dumps(original, protocol))
    assert original.root_environment.save() == restored.root_environment.save()
    assert frames_to_end(restored, 200) == frames_to_end(pickled, 200) == frames_to_end(original, 200)
    assert restored.save() == original.save()


# --- subclasses and shared zones -----------------------------------------------------

class HostCharge(Charge):
    pass


class SlottedLevel(NarrativeSequencer):
    __slots__ = ("note", "__dict__")


class HostPolarity(ChargePolarity):
    pass


COPIES = {"copy": copy.copy, "deepcopy": copy.deepcopy,
          **{f"pickle{p}": (lambda x, p=p: pickle.loads(pickle.dumps(x, p))) for p in PROTOCOLS}}


@pytest.mark.parametrize("make_copy", COPIES.values(), ids=COPIES.keys())
@pytest.mark.parametrize("make", [lambda: HostCharge(2.5, NEGATIVE, "c"), lambda: SlottedLevel(zone("z"), max_frames=9),
                                  lambda: HostPolarity(2)], ids=["Charge", "NarrativeSequencer", "ChargePolarity"])
def test_copies_of_a_subclass_keep_its_class_and_attributes(make, make_copy):
    original = make()
    original.tags = {"level": 3, "names": ["a", "b"]}
    if isinstance(original, SlottedLevel):
        original.note = "slot"
    copied = make_copy(original)
    assert type(copied) is type(original)
    assert copied.__getstate__() == original.__getstate__()
    assert copied.tags == original.tags
    assert (copied.tags is original.tags) == (make_copy is copy.copy)
    if isinstance(original, SlottedLevel):
        assert copied.note == "slot" and copied.max_frames == 9


def test_deepcopy_of_a_subclass_copies_the_zones_its_attributes_name_with_the_level():
    level = SlottedLevel(awkward_level().root_environment)
    level.favourite = level.root_environment.sub_environments[1]
    level.itself = level
    copied = copy.deepcopy(level)
    assert copied.favourite is copied.root_environment.sub_environments[1] is not level.favourite
    assert copied.itself is copied


def test_deepcopy_of_several_objects_keeps_shared_zones_shared():
    level = awkward_level()
    root = level.root_environment
    left, shared = root.sub_environments
    for order in itertools.permutations([level, root, left, shared]):
        by_original = dict(zip(map(id, order), copy.deepcopy(order)))
        level2, root2, left2, shared2 = (by_original[id(x)] for x in (level, root, left, shared))
        assert root2 is level2.root_environment and root2 is not root
        assert root2.sub_environments == [left2, shared2] and left2.sub_environments == [shared2]
        assert level2.save() == level.save()
