"""Writes the seed corpus of level_fuzzer into fuzz/corpus/.

Each seed is a script in the harness's input language (see level_fuzzer.cpp):
a root id, the number of build steps, the build steps, then one byte per
frame saying whether the host meddles first. Run it again after changing
that language: python3 fuzz/make_seeds.py
"""

from pathlib import Path
import struct

CORPUS = Path(__file__).resolve().parent / "corpus"

# Pieces of text (index into the harness's piece table).
A, B, Z, E_ACUTE, NOT_UTF8 = 0, 1, 2, 11, 14
# Awkward numbers (index into the harness's number table).
ZERO, NEG_ZERO, ONE, TWO, THREE, HALF = 0, 1, 2, 4, 5, 6
NAN, INF, NEG_INF, DBL_MAX, HUGE_2_31, ONE_E21 = 14, 17, 18, 19, 24, 12
# Agent kinds, in the harness's order.
(PLUS, MINUS, MULTIPLY, DIVIDE, POWER, ROOT, ABS, FACTORIAL, MODULO, LOG, CHRONOMANCER,
 EQUALS_GATE, INEQUALITY_GATE) = range(13)


def text(*pieces):
    return bytes([len(pieces), *pieces])


def number(index):
    return bytes([index])


def raw_number(value):
    return bytes([0xFF]) + struct.pack(">d", value)


def polarity(value):
    if value in (0, 1, 2):
        return bytes([value])
    return bytes([0xFF]) + struct.pack(">i", value)


def new_zone(parent, *id_pieces):
    return bytes([parent, 0]) + text(*id_pieces)


def share_zone(parent, child):
    return bytes([parent, 1, child])


def charge(zone, magnitude, pol=0, id_pieces=(A,)):
    return bytes([zone, 2]) + magnitude + polarity(pol) + text(*id_pieces)


def agent(zone, kind, *params, any_made=True, id_pieces=(B,)):
    # Once any agent exists the harness first asks whether to place one again.
    share = b"\x01" if any_made else b""
    return bytes([zone, 3]) + share + text(*id_pieces) + bytes([kind]) + b"".join(params)


def place_again(zone, which):
    return bytes([zone, 3, 0, which])


def level(root_id, steps, frames=b""):
    return text(*root_id) + bytes([len(steps)]) + b"".join(steps) + frames


PLAIN_FRAME = b"\x00"


def meddle(step):
    return b"\x01" + step


def set_counter(table_index):
    return bytes([2, 0, table_index])


def set_finished(value):
    return bytes([2, 1, 1 if value else 0])


SEEDS = {
    "empty_level": level((A,), []),
    "plus_two_charges": level((A,), [charge(0, number(TWO)), charge(0, number(THREE)), agent(0, PLUS, any_made=False)]),
    "nested_zone_collapses": level((Z,), [
        new_zone(0, B),
        charge(1, number(TWO)), charge(1, number(THREE), 1), agent(1, MULTIPLY, any_made=False),
        charge(0, number(ONE)), agent(0, PLUS),
    ]),
    "every_agent_kind": level((A,), [
        charge(0, number(THREE)), charge(0, number(TWO), 1), charge(0, number(HALF), 2),
        agent(0, PLUS, any_made=False), agent(0, MINUS), agent(0, MULTIPLY),
        agent(0, DIVIDE), agent(0, POWER), agent(0, ROOT),
        agent(0, ABS), agent(0, FACTORIAL), agent(0, MODULO),
        agent(0, LOG), agent(0, CHRONOMANCER),
        agent(0, EQUALS_GATE, number(ONE)),
        agent(0, INEQUALITY_GATE, number(TWO), b"\x01"),
    ]),
    "awkward_numbers": level((E_ACUTE,), [
        charge(0, number(NAN)), charge(0, number(INF), 7), charge(0, number(NEG_ZERO), -(2**31)),
        charge(0, number(DBL_MAX), 1), charge(0, raw_number(1e300)), charge(0, number(HUGE_2_31), 2),
        agent(0, FACTORIAL, any_made=False), agent(0, ROOT), agent(0, LOG),
        agent(0, INEQUALITY_GATE, number(NEG_INF), b"\xff\x7f\xff\xff\xff"),
        agent(0, EQUALS_GATE, number(NAN)),
    ]),
    "shared_zone_cycle_and_twice_placed_agent": level((A,), [
        new_zone(0, B), new_zone(1, Z), share_zone(0, 2), share_zone(2, 0),
        charge(2, number(ONE)), charge(1, number(TWO)), charge(1, number(TWO)),
        agent(1, PLUS, any_made=False), place_again(0, 0), charge(0, number(ONE)), charge(0, number(ONE)),
    ]),
    "host_meddles_between_frames": level((A,), [
        charge(0, number(ONE), 1), agent(0, ABS, any_made=False), agent(0, ABS),
    ], frames=(
        PLAIN_FRAME + set_counter(3) + set_finished(False) + meddle(charge(0, number(ONE), 1))
        + meddle(agent(0, ABS)) + set_counter(9) + set_finished(False) + set_counter(0)
        + set_finished(False) + PLAIN_FRAME
    )),
    "invalid_utf8_ids": level((NOT_UTF8,), [
        charge(0, number(ONE), id_pieces=(A, NOT_UTF8)), charge(0, number(TWO)),
        agent(0, PLUS, any_made=False, id_pieces=(NOT_UTF8,)),
    ]),
}


def main():
    CORPUS.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (CORPUS / name).write_bytes(data)


if __name__ == "__main__":
    main()
