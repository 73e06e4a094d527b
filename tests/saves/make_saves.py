"""Writes the checked-in level saves and what they must play on to.

    .venv/bin/python tests/saves/make_saves.py      (on x86_64, after scripts/build.sh)

For each level below: NAME.qorsave, the level saved after a few frames, and
NAME.json with the frame texts that playing on from the save gives (to the
end, plus one frame after it) and the SHA-256 of the save of the finished
level. tests/python/test_save.py loads them on every platform and checks
that they re-save to the same bytes and play on exactly so.

The levels use no spell whose result comes from pow, log or log10 (the
Power Sorcerer, The Architect, The Extractor with two charges): 32-bit x86's
math library may round those differently in the last bit.
It also writes every save, and a zone save of each level's root, into
fuzz/save_corpus as load_fuzzer's seeds.
Review `git diff tests/saves fuzz/save_corpus` after running it: the saves change only when
the format or the engine's behaviour does.
"""

from __future__ import annotations

import hashlib
import json
import struct
from collections.abc import Callable
from pathlib import Path

import qor_engine
from qor_engine import ChargePolarity, Environment, NarrativeSequencer

HERE = Path(__file__).resolve().parent
SEEDS = HERE.parents[1] / "fuzz" / "save_corpus"  # load_fuzzer's seeds: every save made here
POSITIVE, NEGATIVE, NEUTRAL = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE, ChargePolarity.NEUTRAL


def from_bits(bits: int) -> float:
    value: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
    return value


def tutorial() -> NarrativeSequencer:
    hall = Environment("hall")
    hall.add_charge(2, NEGATIVE, "frost")
    hall.add_plus_magician("adder")
    hall.add_equals_gate("door", 18)
    forge = Environment("forge")
    forge.add_charge(4, POSITIVE, "ember_a")
    forge.add_charge(5, POSITIVE, "ember_b")
    forge.add_multiply_magician("smith")
    hall.add_sub_environment(forge)
    return NarrativeSequencer(hall)


def awkward_numbers() -> NarrativeSequencer:
    root = Environment("root")
    root.add_charge(from_bits(0x7FF8_0000_0000_BEEF), POSITIVE, "nan")
    root.add_charge(-0.0, ChargePolarity(7), "minus_zero")
    root.add_charge(5e-324, NEGATIVE, "subnormal")
    root.add_charge(float("inf"), NEUTRAL, "inf")
    root.add_abs_magician("purifier")
    root.add_inequality_gate("judge", float("-inf"), "<=")
    root.add_plus_magician("adder")
    cellar = Environment("cellar")
    for magnitude in (7.0, 3.0, 2.5):
        cellar.add_charge(magnitude, POSITIVE, f"c{magnitude}")
    cellar.add_modulo_magician("scavenger")
    cellar.add_divide_magician("divider")
    cellar.add_factorial_magician("replicator")
    cellar.add_minus_magician("minus")
    root.add_sub_environment(cellar)
    level = NarrativeSequencer(root)
    level.current_frame = -(2**31)
    return level


def shared_and_frozen() -> NarrativeSequencer:
    root = Environment("keep")
    root.add_charge(1.0, POSITIVE, "k")
    root.add_multiply_magician("m")
    shared = Environment("bridge")
    shared.add_charge(2.0, POSITIVE, "b1")
    shared.add_charge(2.0, NEGATIVE, "b2")
    shared.add_plus_magician("bridge_adder")
    east, west = Environment("east"), Environment("west")
    east.add_sub_environment(shared)
    west.add_sub_environment(shared)
    west.add_chronomancer("timekeeper")
    west.add_charge(9.0, POSITIVE, "w")
    root.add_sub_environment(east)
    root.add_sub_environment(west)
    root.add_sub_environment(shared)
    return NarrativeSequencer(root)


def near_the_frame_limit() -> NarrativeSequencer:
    root = Environment("loop")
    for n in range(4):
        root.add_charge(float(n), POSITIVE, f"c{n}")
        root.add_plus_magician(f"adder{n}")
    root.add_chronomancer("forever")
    level = NarrativeSequencer(root)
    level.current_frame = 998
    return level


def endless_hourglass_play() -> NarrativeSequencer:
    """A LevelPlay, with the refill agent of the sample level file."""
    text = (HERE.parents[1] / "examples" / "levels" / "endless_hourglass.json").read_text(encoding="utf-8")
    level: NarrativeSequencer = getattr(qor_engine, "read_level")(text).play(max_frames=12)
    return level


LEVELS: dict[str, tuple[Callable[[], NarrativeSequencer], int]] = {
    "tutorial": (tutorial, 1),
    "awkward_numbers": (awkward_numbers, 2),
    "shared_and_frozen": (shared_and_frozen, 1),
    "near_the_frame_limit": (near_the_frame_limit, 1),
}
if hasattr(qor_engine, "read_level"):  # a module without the level-file reader keeps the file as it is
    LEVELS["endless_hourglass_play"] = (endless_hourglass_play, 3)


def main() -> None:
    for name, (make, frames_before) in LEVELS.items():
        level = make()
        for _ in range(frames_before):
            level.next_frame()
        saved = level.save()
        frames: list[str] = []
        while not level.is_finished:
            frames.append(level.next_frame())
        frames.append(level.next_frame())
        (HERE / f"{name}.qorsave").write_bytes(saved)
        SEEDS.mkdir(exist_ok=True)
        (SEEDS / f"{name}.qorsave").write_bytes(saved)
        (SEEDS / f"{name}_root.qorsave").write_bytes(NarrativeSequencer.load(saved).root_environment.save())
        record = {"frames": frames, "final_save_sha256": hashlib.sha256(level.save()).hexdigest()}
        (HERE / f"{name}.json").write_text(json.dumps(record, indent=1, ensure_ascii=False) + "\n",
                                           encoding="utf-8")
        print(f"{name}: {len(saved)} bytes, {len(frames)} frames to play on")
    # A seed only: ids that are not UTF-8 load and play, but their texts fail.
    odd = Environment(b"\xff\xfe")
    odd.add_charge(1.0, POSITIVE, b"\xc3(")
    odd.add_charge(2.0, POSITIVE, b"\x80")
    odd.add_plus_magician(b"\xf0\x9f")
    (SEEDS / "not_utf8_ids.qorsave").write_bytes(NarrativeSequencer(odd).save())
    # A seed only: 2^12 places of one zone, a few changed bytes from the work bound.
    shared = Environment("leaf")
    shared.add_charge(1.0, POSITIVE, "a")
    shared.add_charge(2.0, POSITIVE, "b")
    shared.add_plus_magician("p")
    for depth in range(12):
        above = Environment(f"l{depth}")
        above.add_sub_environment(shared)
        above.add_sub_environment(shared)
        shared = above
    (SEEDS / "lattice_of_shared_zones.qorsave").write_bytes(NarrativeSequencer(shared).save())


if __name__ == "__main__":
    main()
