"""Behaviour that must not depend on the platform: the 32-bit fields (agent
priorities, the frame counter, polarity values), the conversions between
Python numbers and the engine's int32 and double fields, the text of numbers
in JSON, and the double-to-int32 conversions inside spells.

The same expectations hold for the x86_64 and the 32-bit x86 build (where a C
long has 32 bits and the module is built with SSE2 arithmetic).
"""

from __future__ import annotations

import json
import math
import pickle
import struct

import pytest

from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer

from levels import charges_of, step, summary

P, N = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE
INT32_MAX, INT32_MIN = 2**31 - 1, -(2**31)
LIMIT = "Max frame limit reached. Infinite loop detected."

# Python integers that do not fit an int32: the wrapped ones (2**32 + 5 would
# become 5 if truncated to 32 bits) catch a conversion that drops high bits.
OUTSIDE_INT32 = [2**31, -(2**31) - 1, 2**32, 2**32 + 5, -(2**32) + 1, 2**63 - 1, 2**63, -(2**63), 2**64 + 1, 10**30]


class Indexy:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# --------------------------------------------------------------------------
# 32-bit fields
# --------------------------------------------------------------------------

PRIORITIES = [
    ("add_chronomancer", 100), ("add_abs_magician", 90), ("add_log_magician", 90),
    ("add_factorial_magician", 85), ("add_power_sorcerer", 75), ("add_root_magician", 75),
    ("add_multiply_magician", 50), ("add_divide_magician", 50), ("add_modulo_magician", 50),
    ("add_plus_magician", 10), ("add_minus_magician", 10),
]


@pytest.mark.parametrize(("method", "priority"), PRIORITIES)
def test_agent_priorities_are_ints_in_json(method, priority):
    zone = Environment("z")
    getattr(zone, method)("a")
    zone.add_equals_gate("g", 1.0)
    zone.add_inequality_gate("j", 1.0, ">")
    text = zone.to_json()
    agents = json.loads(text)["agents"]
    assert [agent["priority"] for agent in agents] == [priority, 0, 0]
    assert all(type(agent["priority"]) is int for agent in agents)
    assert f'"priority":{priority},' in text


@pytest.mark.parametrize("value", [INT32_MAX, INT32_MIN, 0, -1, Indexy(INT32_MAX), Indexy(INT32_MIN)])
def test_current_frame_takes_every_int32(value):
    sequencer = NarrativeSequencer(Environment("r"))
    sequencer.current_frame = value
    expected = value.value if isinstance(value, Indexy) else value
    assert sequencer.current_frame == expected
    assert type(sequencer.current_frame) is int


@pytest.mark.parametrize("value", OUTSIDE_INT32 + [Indexy(2**31), Indexy(2**32 + 5)])
def test_current_frame_refuses_values_outside_int32_and_keeps_its_value(value):
    sequencer = NarrativeSequencer(Environment("r"))
    sequencer.current_frame = 17
    with pytest.raises(TypeError):
        sequencer.current_frame = value
    assert sequencer.current_frame == 17


def test_frame_counter_counts_up_from_int32_min():
    root = Environment("r")
    root.add_charge(1.0, N, "a")
    root.add_abs_magician("x")
    sequencer = NarrativeSequencer(root)
    sequencer.current_frame = INT32_MIN
    frame = step(sequencer)
    assert summary(frame) == (INT32_MIN + 1, "RUNNING", "The Purifier executed operation in r")
    assert '"frame_index":-2147483647,' in json.dumps(frame["meta"], separators=(",", ":"), sort_keys=True)
    assert summary(step(sequencer)) == (INT32_MIN + 2, "FINISHED", "Equation Resolved.")
    assert sequencer.current_frame == INT32_MIN + 2


def test_frame_counter_at_int32_max_stops_without_wrapping():
    root = Environment("r")
    root.add_charge(1.0, N, "a")
    root.add_abs_magician("x")
    sequencer = NarrativeSequencer(root)
    sequencer.current_frame = INT32_MAX
    for _ in range(3):
        text = sequencer.next_frame()
        assert '"frame_index":2147483647,' in text
        assert summary(json.loads(text)) == (INT32_MAX, "ERROR", LIMIT)
    assert sequencer.current_frame == INT32_MAX
    assert charges_of(json.loads(text)) == [(1.0, "negative", "a")]  # nothing ran


def test_frame_counter_reaches_the_limit_exactly():
    root = Environment("r")
    root.add_charge(1.0, N, "a")
    for i in range(3):
        root.add_abs_magician(f"x{i}")
    sequencer = NarrativeSequencer(root)
    sequencer.current_frame = 999
    assert summary(step(sequencer)) == (1000, "RUNNING", "The Purifier executed operation in r")
    assert summary(step(sequencer)) == (1000, "ERROR", LIMIT)


@pytest.mark.parametrize("value", [INT32_MAX, INT32_MIN, 3, -1])
def test_polarity_values_at_the_int32_limits(value):
    polarity = ChargePolarity(value)
    assert polarity.value == value and int(polarity) == value
    assert pickle.loads(pickle.dumps(polarity)).value == value
    charge = Charge(2.0, polarity, "c")
    assert charge.polarity.value == value
    assert charge.to_json() == '{"magnitude":2.0,"polarity":"neutral","visual_id":"c"}'
    zone = Environment("z")
    zone.add_charge(2.0, polarity, "c")
    zone.add_charge(5.0, P, "d")
    assert zone.charges[0].polarity.value == value
    zone.add_plus_magician("p")
    frame = step(NarrativeSequencer(zone))
    assert charges_of(frame) == [(3.0, "positive", "result_p")]  # an unnamed value sums negative


@pytest.mark.parametrize("value", OUTSIDE_INT32)
def test_polarity_values_outside_int32_are_refused(value):
    with pytest.raises(TypeError):
        ChargePolarity(value)


def test_polarity_property_keeps_the_int32_value():
    charge = Charge(1.0, P, "c")
    charge.polarity = ChargePolarity(INT32_MIN)
    assert charge.polarity.value == INT32_MIN
    charge.polarity = ChargePolarity(INT32_MAX)
    assert charge.polarity.value == INT32_MAX
    assert charge.polarity != N and charge.polarity != P


# --------------------------------------------------------------------------
# Doubles in and out
# --------------------------------------------------------------------------

NUMBER_TEXTS = [
    (0.1, "0.1"), (1e21, "1e+21"), (1e-07, "1e-07"), (5e-324, "5e-324"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (2.0**53, "9.007199254740992e+15"), (1e16, "1e+16"), (1e15, "1e+15"),
    (123456789012345680.0, "1.2345678901234568e+17"), (0.30000000000000004, "0.30000000000000004"),
    (1 / 3, "0.3333333333333333"), (2147483647.0, "2147483647.0"), (-2147483648.0, "-2147483648.0"),
    (1e-05, "1e-05"), (0.0001, "0.0001"), (100.0, "100.0"), (2.5e-08, "2.5e-08"), (4.35e100, "4.35e+100"),
    (-0.0, "-0.0"), (0.0, "0.0"), (math.inf, "null"), (-math.inf, "null"), (math.nan, "null"),
]


@pytest.mark.parametrize(("value", "text"), NUMBER_TEXTS)
def test_number_texts_in_json(value, text):
    assert Charge(value, P, "c").to_json() == f'{{"magnitude":{text},"polarity":"positive","visual_id":"c"}}'
    zone = Environment("z")
    zone.add_equals_gate("g", value)
    assert f'"target_value":{text},' in zone.to_json()


def test_number_texts_read_back_to_the_same_double():
    state = 0x2545F4914F6CDD1D
    for _ in range(3000):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        value = struct.unpack("<d", struct.pack("<Q", state))[0]
        if not math.isfinite(value):
            continue
        text = Charge(value, P, "c").to_json()
        assert bits(json.loads(text)["magnitude"]) == bits(value), text


@pytest.mark.parametrize(
    ("given", "stored"),
    [(2**53 + 1, 2.0**53), (2**63, 9.223372036854776e18), (-(2**63) - 1, -9.223372036854776e18),
     (2**1023, 2.0**1023), (INT32_MAX, 2147483647.0), (Indexy(2**40 + 1), 1099511627777.0)],
)
def test_python_ints_become_the_nearest_double(given, stored):
    assert bits(Charge(given, P, "c").magnitude) == bits(stored)


@pytest.mark.parametrize("given", [2**1024, -(2**1024), 10**400])
def test_python_ints_too_large_for_a_double_are_refused(given):
    with pytest.raises(TypeError):
        Charge(given, P, "c")
    with pytest.raises(TypeError):
        Environment("z").add_equals_gate("g", given)


@pytest.mark.parametrize("value", [5e-324, -5e-324, -0.0, 2.2250738585072009e-308, math.inf, 1.7976931348623157e308])
def test_doubles_round_trip_bit_for_bit(value):
    zone = Environment("z")
    zone.add_charge(value, P, "c")
    assert bits(zone.charges[0].magnitude) == bits(value)
    charge = Charge(0.0, P, "c")
    charge.magnitude = value
    assert bits(charge.magnitude) == bits(value)


def test_nan_stays_nan():
    assert math.isnan(Charge(math.nan, P, "c").magnitude)


# --------------------------------------------------------------------------
# Double-to-int32 conversions and exact arithmetic in spells
# --------------------------------------------------------------------------


def cast(method: str, *charges: tuple[float, ChargePolarity]) -> list[tuple]:
    """The zone's charges after one frame with a single agent of the given kind."""
    zone = Environment("z")
    for n, (magnitude, polarity) in enumerate(charges):
        zone.add_charge(magnitude, polarity, f"c{n}")
    getattr(zone, method)("a")
    return charges_of(step(NarrativeSequencer(zone)))


@pytest.mark.parametrize(
    ("n", "expected"),
    [(20.0, 2432902008176640000.0), (25.0, 1.5511210043330986e25), (170.0, 7.257415615307994e306),
     (170.99999, 7.257415615307994e306), (171.0, None), (2147483647.0, None), (2147483647.9, None),
     (2147483648.0, 1.0), (-2147483648.0, 1.0), (-2147483649.0, 1.0), (math.nan, 1.0),
     (math.inf, 1.0), (-math.inf, 1.0), (1e300, 1.0), (3.9999999999999996, 6.0), (-0.0, 1.0)],
)
def test_factorial_truncates_to_int32_like_x86(n, expected):
    # None: the product runs past the largest double (its JSON text is null).
    assert cast("add_factorial_magician", (n, P)) == [(expected, "positive", "result_factorial_a")]


@pytest.mark.parametrize(
    ("index", "radicand", "expected"),
    [(1.0, -8.0, -8.0), (-1.0, -4.0, -0.25), (2147483647.0, -1.0, -1.0), (-2147483647.0, -1.0, -1.0),
     (2147483648.0, -1.0, "declines"), (-2147483648.0, -1.0, "declines"), (4294967297.0, -1.0, "declines"),
     (math.nan, -1.0, "declines"), (math.inf, -1.0, "declines"), (2.0, -4.0, "declines"), (3.5, -8.0, None)],
)
def test_root_index_truncates_to_int32_like_x86(index, radicand, expected):
    after = cast("add_root_magician", (index, P), (radicand, P))
    if expected == "declines":
        assert after == [(index if math.isfinite(index) else None, "positive", "c0"), (radicand, "positive", "c1")]
    else:
        assert after == [(expected, "positive", "result_root_a")]


@pytest.mark.parametrize(
    ("method", "charges", "expected"),
    [
        ("add_plus_magician", [(0.1, P), (0.2, P)], (0.30000000000000004, "positive")),
        ("add_minus_magician", [(1.0, P), (1e-16, P)], (0.9999999999999999, "positive")),
        ("add_multiply_magician", [(1e-5, P), (1e-4, N)], (1e-09, "negative")),  # not below 1e-9
        ("add_multiply_magician", [(1e200, P), (1e200, P)], (None, "positive")),
        ("add_multiply_magician", [(5e-324, P), (0.5, P)], (0.0, "neutral")),
        ("add_divide_magician", [(1.0, P), (1e-9, N)], (999999999.9999999, "negative")),
        ("add_divide_magician", [(1.0, P), (3.0, P), (7.0, N)], (0.047619047619047616, "negative")),
        ("add_modulo_magician", [(1e300, P), (3.7, P)], (1.765761626199355, "positive")),
        ("add_modulo_magician", [(7.0, P), (1e-9, P)], (9.999995640288599e-10, "positive")),
        ("add_root_magician", [(2.0, P)], (1.4142135623730951, "positive")),
    ],
)
def test_exact_spells_round_as_ieee_doubles(method, charges, expected):
    prefix = {"add_plus_magician": "result_", "add_minus_magician": "result_"}.get(method)
    (magnitude, polarity, visual_id), = cast(method, *charges)
    assert (magnitude, polarity) == expected
    if magnitude is not None:
        assert bits(magnitude) == bits(expected[0])
    assert visual_id.startswith(prefix or "result_")


def test_divisors_at_the_near_zero_threshold():
    assert cast("add_divide_magician", (1.0, P), (1e-10, P)) == [(1.0, "positive", "c0"), (1e-10, "positive", "c1")]
    below = 9.999999999999999e-10
    assert cast("add_divide_magician", (1.0, P), (below, P)) == [(1.0, "positive", "c0"), (below, "positive", "c1")]
    assert cast("add_modulo_magician", (1.0, P), (below, P)) == [(1.0, "positive", "c0"), (below, "positive", "c1")]


def test_equals_gate_tolerance_edges():
    def opens(total: float, target: float) -> bool:
        zone = Environment("z")
        zone.add_charge(total, P, "c")
        zone.add_equals_gate("g", target)
        return step(NarrativeSequencer(zone))["meta"]["message"] == "Equals Gate executed operation in z"

    assert opens(1.0, 1.000001)  # 9.999999999177334e-07 apart
    assert not opens(1.0, 0.999999)  # 1.0000000000287557e-06 apart
    assert not opens(1e-6, 0.0)
    assert opens(9.99999e-7, 0.0)
    assert opens(0.30000000000000004, 0.3)
