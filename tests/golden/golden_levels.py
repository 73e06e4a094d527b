"""The generated golden levels: a fixed list of hand-written levels, libm
sweeps and random levels, all from explicit data and a 64-bit LCG.

Nothing here touches the engine or the math library: every number is a
literal or is built with exact operations (integer arithmetic, ldexp,
division of small integers), so the descriptions are the same on every
platform. They are written to tests/golden/levels.json by regenerate.py, and
test_golden.py checks that this module still produces exactly that file.

A level description is plain JSON data:

    {"name": str, "note": str, "root": ZONE, "start_frame": int (optional)}
    ZONE   = {"id": str, "charges": [CHARGE...], "agents": [AGENT...], "zones": [ZONE...]}
    CHARGE = [magnitude, polarity, visual_id]
             polarity: "positive", "negative", "neutral" or any int32 value
    AGENT  = [kind, visual_id, *arguments]
             kind: plus minus multiply divide power root abs factorial modulo
                   log chronomancer equals_gate (target) inequality_gate (target, rule)

start_frame, when given, is written to the sequencer's current_frame before
the first frame. Magnitudes may be NaN, infinite, negative or -0.0 (the host
API allows all of them).

Rule for the levels with pow, log and log10 (power, log and two-charge root
spells): their results are never read by another spell, so that each sweep's
frames show the functions' own results one by one. Each one is made in a zone
of its own whose result collapses into a parent without agents
(golden_replay.track_libm_results checks this for every level).
"""

from __future__ import annotations

import math
from typing import Any

INF = math.inf
NAN = math.nan
MAX = 1.7976931348623157e308
DENORM_MIN = 5e-324
INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)

P, N, U = "positive", "negative", "neutral"

Level = dict[str, Any]
Zone = dict[str, Any]


class Lcg:
    """Knuth's MMIX linear congruential generator; the high bits are used."""

    def __init__(self, seed: int) -> None:
        self.state = seed % 2**64

    def bits(self, count: int) -> int:
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return self.state >> (64 - count)

    def below(self, n: int) -> int:
        return self.bits(32) % n

    def choice(self, options: list[Any] | tuple[Any, ...]) -> Any:
        return options[self.below(len(options))]

    def unit(self) -> float:
        """A double in [0, 1) with 53 random bits (exact)."""
        return self.bits(53) / 2**53

    def spread(self, low_exponent: int, high_exponent: int) -> float:
        """A positive double 2**e * (1 + u), e in [low, high], built exactly."""
        exponent = low_exponent + self.below(high_exponent - low_exponent + 1)
        return math.ldexp(1.0 + self.unit(), exponent)


def Z(zone_id: str, charges: list[list[Any]] | None = None, agents: list[list[Any]] | None = None,
      zones: list[Zone] | None = None) -> Zone:
    return {"id": zone_id, "charges": charges or [], "agents": agents or [], "zones": zones or []}


def L(name: str, note: str, root: Zone, start_frame: int | None = None) -> Level:
    level: Level = {"name": name, "note": note, "root": root}
    if start_frame is not None:
        level["start_frame"] = start_frame
    return level


def pair_zones(prefix: str, kind: str, pairs: list[Any]) -> list[Zone]:
    """One zone per charge list, each with a single agent of `kind`.

    An item is a tuple of magnitudes (m1, m2, ...), charged positive, or a
    list of full [magnitude, polarity, id] charges.
    """
    zones = []
    for n, item in enumerate(pairs):
        if isinstance(item, list):
            charges = [list(charge) for charge in item]
        else:
            charges = [[value, P, f"{prefix}{n}_{k}"] for k, value in enumerate(item)]
        zones.append(Z(f"{prefix}{n}", charges, [[kind, f"{prefix}{n}_agent"]]))
    return zones


# --------------------------------------------------------------------------
# Hand-written levels
# --------------------------------------------------------------------------


def sum_gate_zone(zone_id: str, charges: list[list[Any]], gate: list[Any]) -> Zone:
    return Z(zone_id, charges, [["plus", f"{zone_id}_plus"], gate])


def handwritten() -> list[Level]:
    levels: list[Level] = []
    add = levels.append

    tenths = [[0.1, P, "tenth"], [0.2, P, "fifth"]]
    add(L("point_one_plus_point_two",
          "0.1 + 0.2 is 0.30000000000000004: within the equals gate's tolerance of 0.3, "
          "above 0.3 for the judges",
          Z("root", zones=[
              sum_gate_zone("eq", tenths, ["equals_gate", "eq_gate", 0.3]),
              sum_gate_zone("le", tenths, ["inequality_gate", "le_gate", 0.3, "<="]),
              sum_gate_zone("lt", tenths, ["inequality_gate", "lt_gate", 0.30000000000000004, "<"]),
              sum_gate_zone("ge", tenths, ["inequality_gate", "ge_gate", 0.30000000000000004, ">="]),
              sum_gate_zone("gt", tenths, ["inequality_gate", "gt_gate", 0.3, ">"]),
              sum_gate_zone("rev", [[0.2, P, "b"], [0.1, P, "a"]], ["equals_gate", "rev_gate", 0.30000000000000004]),
          ])))

    five = [[2.0, P, "two"], [3.0, P, "three"]]
    add(L("gates_at_exact_boundaries",
          "a total of exactly 5 against every rule, unnamed rules, and the equals "
          "gate's tolerance edge on both sides",
          Z("root", zones=[
              sum_gate_zone("lt", five, ["inequality_gate", "lt_gate", 5.0, "<"]),
              sum_gate_zone("le", five, ["inequality_gate", "le_gate", 5.0, "<="]),
              sum_gate_zone("gt", five, ["inequality_gate", "gt_gate", 5.0, ">"]),
              sum_gate_zone("ge", five, ["inequality_gate", "ge_gate", 5.0, ">="]),
              sum_gate_zone("eqeq", five, ["inequality_gate", "eqeq_gate", 5.0, "=="]),
              sum_gate_zone("blank", five, ["inequality_gate", "blank_gate", 5.0000000001, ""]),
              Z("tol_up", [[1.0, P, "one"]], [["equals_gate", "tol_up_gate", 1.000001]]),
              Z("tol_down", [[1.0, P, "one"]], [["equals_gate", "tol_down_gate", 0.999999]]),
              Z("tol_exact", [[1e-6, P, "micro"]], [["equals_gate", "tol_exact_gate", 0.0]]),
              Z("tol_under", [[9.99999e-7, P, "micro"]], [["equals_gate", "tol_under_gate", 0.0]]),
              Z("empty", [], [["equals_gate", "empty_gate", 0.0], ["inequality_gate", "empty_judge", 1.0, "<"]]),
          ])))

    add(L("gates_with_non_finite_targets",
          "NaN and infinite targets and totals; -0.0 against 0.0",
          Z("root", zones=[
              Z("nan_target", [[1.0, P, "a"]], [["equals_gate", "g1", NAN], ["inequality_gate", "j1", NAN, ">="]]),
              Z("inf_eq", [[INF, P, "a"]], [["equals_gate", "g2", INF]]),
              Z("inf_ge", [[INF, P, "a"]], [["inequality_gate", "j2", INF, ">="]]),
              Z("ninf_lt", [[INF, N, "a"]], [["inequality_gate", "j3", -INF, "<"]]),
              Z("ninf_le", [[INF, N, "a"]], [["inequality_gate", "j4", -INF, "<="]]),
              Z("nan_total", [[NAN, P, "a"]], [["inequality_gate", "j5", 0.0, "<"], ["inequality_gate", "j6", 0.0, ">="]]),
              Z("zero_lt", [[0.0, P, "a"]], [["inequality_gate", "j7", -0.0, "<"]]),
              Z("zero_le", [[0.0, P, "a"]], [["inequality_gate", "j8", -0.0, "<="]]),
              Z("neg_zero_eq", [[-0.0, P, "a"]], [["equals_gate", "g3", 0.0]]),
              Z("max_eq", [[MAX, P, "a"]], [["equals_gate", "g4", MAX]]),
              Z("denorm_gt", [[DENORM_MIN, P, "a"]], [["inequality_gate", "j9", 0.0, ">"]]),
          ])))

    add(L("neutral_and_odd_polarities_in_totals",
          "neutral and unnamed polarity values (the int32 extremes among them) count negative in sums",
          Z("root", zones=[
              Z("neutral", [[4.0, P, "a"], [1.5, U, "b"]], [["equals_gate", "g1", 2.5], ["plus", "p1"]]),
              Z("extremes", [[10.0, P, "a"], [3.0, INT32_MAX, "b"], [2.0, INT32_MIN, "c"]],
                [["plus", "p2"], ["equals_gate", "g2", 5.0]]),
              Z("minus_odd", [[10.0, INT32_MIN, "a"], [3.0, INT32_MAX, "b"], [1.0, -1, "c"], [2.0, 3, "d"]],
                [["minus", "m1"], ["inequality_gate", "j1", -6.0, "<="]]),
              Z("gate_only", [[7.0, INT32_MAX, "a"]], [["inequality_gate", "j2", -7.0, ">="]]),
          ])))

    add(L("sums_with_nan_and_infinity",
          "NaN poisons a sum; inf - inf is NaN; the result's polarity follows the sign test",
          Z("root", zones=[
              Z("nan_sum", [[NAN, P, "a"], [1.0, P, "b"]], [["plus", "p1"]]),
              Z("inf_cancel", [[INF, P, "a"], [INF, N, "b"]], [["plus", "p2"]]),
              Z("inf_plus", [[INF, P, "a"], [1.0, N, "b"]], [["plus", "p3"]]),
              Z("inf_minus_inf", [[INF, P, "a"], [INF, P, "b"]], [["minus", "m1"]]),
              Z("inf_minus_neg_inf", [[INF, P, "a"], [INF, N, "b"]], [["minus", "m2"]]),
              Z("neg_overflow", [[MAX, N, "a"], [MAX, U, "b"]], [["plus", "p4"]]),
              Z("max_twice", [[MAX, P, "a"], [MAX, P, "b"]], [["plus", "p5"]]),
              Z("denorms", [[DENORM_MIN, P, "a"], [DENORM_MIN, P, "b"]], [["plus", "p6"]]),
          ])))

    add(L("negative_zero_everywhere",
          "-0.0 through every exact spell, and as a charge that is never consumed",
          Z("root", [[-0.0, P, "kept"], [-0.0, N, "kept_negative"]], zones=[
              Z("plus", [[-0.0, P, "a"], [-0.0, P, "b"]], [["plus", "p"]]),
              Z("minus", [[-0.0, P, "a"], [0.0, P, "b"]], [["minus", "m"]]),
              Z("minus_neutral", [[-0.0, U, "a"], [0.0, N, "b"]], [["minus", "m2"]]),
              Z("multiply", [[-0.0, P, "a"], [5.0, P, "b"]], [["multiply", "x"]]),
              Z("divide", [[-0.0, P, "a"], [3.0, N, "b"]], [["divide", "d"]]),
              Z("divide_by", [[3.0, P, "a"], [-0.0, P, "b"]], [["divide", "d2"]]),
              Z("modulo", [[-0.0, P, "a"], [2.0, P, "b"]], [["modulo", "r"]]),
              Z("factorial", [[-0.0, P, "a"]], [["factorial", "f"]]),
              Z("sqrt", [[-0.0, P, "a"]], [["root", "s"]]),
              Z("abs", [[-0.0, N, "a"], [-0.0, U, "b"]], [["abs", "a"]]),
          ])))

    add(L("products_overflow_and_underflow",
          "products past the largest double, inf * 0, underflow to zero and the near-zero "
          "threshold of the neutral polarity",
          Z("root", zones=[
              Z("overflow", [[1e200, P, "a"], [1e200, P, "b"]], [["multiply", "x1"]]),
              Z("inf_times_zero", [[1e308, P, "a"], [10.0, N, "b"], [0.0, P, "c"]], [["multiply", "x2"]]),
              Z("underflow", [[1e-200, P, "a"], [1e-200, N, "b"]], [["multiply", "x3"]]),
              Z("half_denorm", [[DENORM_MIN, P, "a"], [0.5, P, "b"]], [["multiply", "x4"]]),
              Z("three_quarter_denorm", [[DENORM_MIN, P, "a"], [0.75, P, "b"]], [["multiply", "x5"]]),
              Z("three_negatives", [[1.0, N, "a"], [2.0, N, "b"], [3.0, N, "c"]], [["multiply", "x6"]]),
              Z("near_zero_edge", [[1e-5, P, "a"], [1e-4, N, "b"]], [["multiply", "x7"]]),
              Z("at_threshold", [[1e-9, N, "a"], [1.0, P, "b"]], [["multiply", "x8"]]),
              Z("below_threshold", [[1e-10, N, "a"], [1.0, P, "b"]], [["multiply", "x9"]]),
              Z("neg_overflow", [[MAX, N, "a"], [2.0, P, "b"]], [["multiply", "x10"]]),
              Z("nan", [[NAN, P, "a"], [0.0, P, "b"]], [["multiply", "x11"]]),
              Z("chain", [[1.1, P, f"c{i}"] for i in range(40)], [["multiply", "x12"]]),
          ])))

    add(L("divisors_near_zero",
          "1e-9 is a divisor, 1e-10 and the double just below 1e-9 are not; "
          "negative magnitudes, infinities and NaN",
          Z("root", zones=[
              Z("by_1e9", [[1.0, P, "a"], [1e-9, P, "b"]], [["divide", "d1"]]),
              Z("by_1e10", [[1.0, P, "a"], [1e-10, P, "b"]], [["divide", "d2"]]),
              Z("just_below", [[1.0, P, "a"], [9.999999999999999e-10, P, "b"]], [["divide", "d3"]]),
              Z("just_above", [[1.0, P, "a"], [1.0000000000000002e-09, N, "b"]], [["divide", "d4"]]),
              Z("negative_magnitude", [[1.0, P, "a"], [-1e-9, P, "b"]], [["divide", "d5"]]),
              Z("by_inf", [[1.0, P, "a"], [INF, N, "b"]], [["divide", "d6"]]),
              Z("inf_by_inf", [[INF, P, "a"], [INF, P, "b"]], [["divide", "d7"]]),
              Z("nan_divisor", [[3.0, P, "a"], [NAN, P, "b"]], [["divide", "d8"]]),
              Z("denormal_result", [[1e-300, P, "a"], [1e10, P, "b"]], [["divide", "d9"]]),
              Z("thirds", [[1.0, N, "a"], [3.0, N, "b"], [7.0, N, "c"]], [["divide", "d10"]]),
              Z("later_zero", [[8.0, P, "a"], [2.0, P, "b"], [0.0, P, "c"]], [["divide", "d11"]]),
              Z("overflow", [[1e300, P, "a"], [1e-9, P, "b"]], [["divide", "d12"]]),
          ])))

    add(L("modulo_edges",
          "fmod with fractions, huge dividends, infinities, NaN, negative magnitudes and near-zero divisors",
          Z("root", zones=[
              Z("fraction", [[5.5, P, "a"], [2.0, P, "b"]], [["modulo", "r1"]]),
              Z("huge", [[1e300, P, "a"], [3.7, P, "b"]], [["modulo", "r2"]]),
              Z("inf_dividend", [[INF, P, "a"], [3.0, P, "b"]], [["modulo", "r3"]]),
              Z("inf_divisor", [[3.0, P, "a"], [INF, P, "b"]], [["modulo", "r4"]]),
              Z("by_1e9", [[7.0, P, "a"], [1e-9, P, "b"]], [["modulo", "r5"]]),
              Z("by_1e10", [[7.0, P, "a"], [1e-10, P, "b"]], [["modulo", "r6"]]),
              Z("negative", [[-7.0, N, "a"], [3.0, P, "b"]], [["modulo", "r7"]]),
              Z("nan_dividend", [[NAN, P, "a"], [2.0, P, "b"]], [["modulo", "r8"]]),
              Z("nan_divisor", [[2.0, P, "a"], [NAN, P, "b"]], [["modulo", "r9"]]),
              Z("three", [[9.0, N, "keep"], [10.0, P, "a"], [0.1, P, "b"]], [["modulo", "r10"]]),
              Z("tiny", [[DENORM_MIN * 3, P, "a"], [DENORM_MIN * 2, P, "b"]], [["modulo", "r11"]]),
          ])))

    factorial_cases = [
        [[0.0, P, "zero"]], [[1.0, P, "one"]], [[20.0, P, "twenty"]], [[25.0, P, "twenty_five"]],
        [[170.0, P, "n170"]], [[170.99, P, "n170_99"]], [[171.0, P, "n171"]],
        [[float(INT32_MAX), P, "int32_max"]], [[2147483647.5, P, "int32_max_half"]],
        [[2147483648.0, P, "past_int32"]], [[-1.0, P, "negative_magnitude"]],
        [[-2147483648.5, P, "below_int32"]], [[NAN, P, "nan"]], [[INF, P, "inf"]],
        [[5.0, U, "neutral"]], [[5.0, N, "negative_declines"]], [[6.0, INT32_MIN, "odd_polarity"]],
        [[1e10, P, "huge"]], [[3.0, P, "first"], [4.0, P, "last_only"]],
    ]
    add(L("factorials_past_170",
          "factorials of 0 to 171, of the int32 limits and beyond them, NaN, infinity, fractions",
          Z("root", zones=pair_zones("f", "factorial", factorial_cases))))

    add(L("purifier_and_polarities",
          "only NEGATIVE charges are purified; neutral and unnamed values stay",
          Z("root", [
              [1.0, N, "a"], [2.0, U, "b"], [3.0, INT32_MAX, "c"], [4.0, INT32_MIN, "d"],
              [5.0, P, "e"], [NAN, N, "f"], [-6.0, N, "g"], [7.0, -1, "h"],
          ], [["abs", "purifier"], ["abs", "second_purifier"]])))

    add(L("int32_polarities_through_spells",
          "charges tagged with the int32 extremes through products, quotients, factorials and sums",
          Z("root", zones=[
              Z("multiply", [[2.0, INT32_MAX, "a"], [3.0, INT32_MIN, "b"], [4.0, N, "c"]], [["multiply", "x"]]),
              Z("divide", [[12.0, INT32_MIN, "a"], [3.0, N, "b"], [2.0, N, "c"]], [["divide", "d"]]),
              Z("modulo", [[12.0, INT32_MAX, "a"], [5.0, INT32_MIN, "b"]], [["modulo", "r"]]),
              Z("factorial", [[4.0, INT32_MIN, "a"]], [["factorial", "f"]]),
              Z("plus", [[1.0, INT32_MAX, "a"], [2.0, INT32_MIN, "b"], [4.0, P, "c"]], [["plus", "p"]]),
              Z("sqrt", [[9.0, INT32_MIN, "a"]], [["root", "s"]]),
          ])))

    add(L("square_roots_of_one_charge",
          "the one-charge root is the exact square root (no pow), including denormals, "
          "infinity, NaN, -0.0 and a negative magnitude",
          Z("root", zones=pair_zones("s", "root", [
              (2.0,), (1e-320,), (INF,), (NAN,), (-0.0,), (-4.0,), (0.25,), (MAX,), (DENORM_MIN,),
              ([[16.0, N, "negative_declines"]]), ([[16.0, U, "neutral"]]), (1e16 + 2,),
          ]))))

    root_pairs: list[Any] = [
        (3.0, 27.0), (3.0, -27.0), (2.0, -4.0), (3.5, -8.0), (-3.0, -8.0),
        (2147483648.0, -1.0), (2147483647.0, -1.0), (1e10, -1.0), (NAN, -8.0), (NAN, 8.0),
        (0.0, 5.0), (0.0, -5.0), (0.0, 0.5), (5.0, 1e-300), (7.0, 2.0), (INF, 5.0),
        (-INF, 5.0), (3.0, -0.0), (2.0, INF), (3.0, -INF), (-2.0, 0.0),
        (-2147483647.0, -2.0), (5.0, -DENORM_MIN), (1.0, -7.5),
    ]
    add(L("roots_with_an_index",
          "odd roots of negatives, even ones refused, indices past the int32 range, NaN, 0 and infinity",
          Z("root", zones=pair_zones("r", "root", root_pairs))))

    power_pairs: list[Any] = [
        (2.0, 10.0), (2.0, 0.5), (10.0, 400.0), (10.0, -400.0), (0.0, -1.0),
        ([[8.0, N, "neg_base"], [1 / 3, P, "third"]]), ([[2.0, N, "neg_base"], [3.0, P, "odd"]]),
        ([[0.0, N, "neg_zero"], [1.0, N, "minus_one"]]), (NAN, 0.0), (1.0, NAN),
        ([[1.0, N, "minus_one"], [INF, P, "inf"]]), (1.0000001, 1e10), (0.1, 0.2),
        ([[3.0, U, "neutral_base"], [2.0, INT32_MIN, "odd_exponent"]]),
        ([[2.0, P, "base"], [2.0, N, "neg_exponent"]]), (INF, -0.5), (DENORM_MIN, 0.5),
        (MAX, 1.0), (1e-300, 1e-300), ([[7.0, P, "kept"], [9.0, P, "base"], [0.5, P, "half"]]),
    ]
    add(L("powers",
          "pow with overflow to infinity, underflow, NaN, -0.0, odd and fractional exponents of negatives",
          Z("root", zones=pair_zones("w", "power", power_pairs))))

    log_singles: list[Any] = [
        (1000.0,), (1e-300,), (DENORM_MIN,), (0.0,), (-0.0,), (-5.0,), (NAN,), (INF,), (1.0,),
        (0.5,), (2.0,), (MAX,), (1e-9,), ([[100.0, N, "negative_polarity"]]),
    ]
    add(L("logarithms_base_ten",
          "log10 of tiny numbers, denormals, zero (refused), NaN, infinity and exact powers of ten",
          Z("root", zones=pair_zones("l", "log", log_singles))))

    log_pairs: list[Any] = [
        (2.0, 8.0), (10.0, 1000.0), (0.5, 8.0), (1.0, 5.0), (0.0, 5.0), (-2.0, 8.0), (INF, 5.0),
        (1e-300, 1e-300), (2.0, 1e-320), (NAN, 5.0), (5.0, INF), (2.0, 0.0), (3.0, NAN),
        (1e-10, 1e-9), (1.0000000000000002, 2.0),
    ]
    add(L("logarithms_with_a_base",
          "log to a base: bases 1, 0 and negative refused, infinite bases, tiny arguments",
          Z("root", zones=pair_zones("b", "log", log_pairs))))

    add(L("libm_results_beside_a_chronomancer",
          "pow, log and root results collapse into a zone whose only agent is a Chronomancer",
          Z("root", [[3.0, P, "kept"]], [["chronomancer", "keeper"]], zones=[
              Z("pw", [[1.5, P, "a"], [2.5, P, "b"]], [["power", "pw_agent"]]),
              Z("lg", [[7.0, P, "a"]], [["log", "lg_agent"]]),
              Z("rt", [[5.0, P, "a"], [3.0, N, "b"]], [["root", "rt_agent"]]),
          ])))

    add(L("chronomancer_freezes_forever",
          "a Chronomancer keeps its zone unresolved, so the parent never thaws",
          Z("root", [[1.0, P, "a"], [2.0, P, "b"]], [["plus", "never"]], zones=[
              Z("clock", [[5.0, P, "c"], [6.0, P, "d"]], [["chronomancer", "keeper"], ["plus", "inner"]]),
              Z("free", [[4.0, P, "e"], [4.0, N, "f"]], [["minus", "m"]]),
          ])))

    add(L("priority_order_in_one_zone",
          "every exact spell in one zone: abs 90, factorial 85, the 50s in placing order, "
          "plus and minus 10, gates 0",
          Z("root", [[3.0, N, "a"], [2.0, P, "b"], [4.0, P, "c"]], [
              ["inequality_gate", "judge", 100.0, ">"], ["plus", "plus"], ["modulo", "modulo"],
              ["divide", "divide"], ["multiply", "multiply"], ["factorial", "factorial"],
              ["minus", "minus"], ["abs", "abs"], ["equals_gate", "gate", 6.0],
          ])))

    add(L("priorities_across_sibling_zones",
          "agents of equal priority in sibling and nested zones act in collection order "
          "(sub-zones before their parent)",
          Z("root", zones=[
              Z("left", [[1.0, P, "a"], [2.0, P, "b"]], [["plus", "left_plus"], ["multiply", "left_mul"]], zones=[
                  Z("left_inner", [[3.0, P, "c"]], [["abs", "left_abs"]]),
              ]),
              Z("right", [[4.0, N, "d"], [5.0, P, "e"]], [["divide", "right_div"], ["abs", "right_abs"]]),
              Z("third", [[6.0, P, "f"], [7.0, P, "g"]], [["modulo", "third_mod"]]),
          ])))

    chain = Z("z7", [[1.0, P, "deep"]])
    for depth in range(6, 0, -1):
        chain = Z(f"z{depth}", [[float(depth), U, f"c{depth}"]], zones=[chain])
    add(L("nested_collapses",
          "a chain of seven zones: every merge goes one level up, innermost first",
          Z("root", [[0.5, P, "top"]], [["plus", "final_plus"]], zones=[chain])))

    add(L("frame_counter_at_int32_max",
          "current_frame starts at 2**31 - 1: the frame limit answers at once",
          Z("root", [[1.0, P, "a"], [2.0, P, "b"]], [["plus", "p"]]), start_frame=INT32_MAX))

    add(L("frame_counter_at_int32_min",
          "current_frame starts at -2**31 and counts up from there",
          Z("root", [[1.0, P, "a"], [2.0, P, "b"]], [["plus", "p"], ["equals_gate", "g", 3.0]],
            zones=[Z("inner", [[4.0, N, "c"]])]), start_frame=INT32_MIN))

    add(L("frame_counter_near_the_limit",
          "two running frames left before the limit of 1000",
          Z("root", [[1.0, N, "a"]], [["abs", "a1"], ["abs", "a2"], ["abs", "a3"], ["abs", "a4"]]),
          start_frame=998))

    add(L("frame_counter_from_minus_one",
          "a negative start passes through frame 0",
          Z("root", [[1.0, P, "a"], [1.0, P, "b"]], [["minus", "m"]]), start_frame=-1))

    add(L("empty_level", "no charges, no agents: resolved in frame one", Z("root")))

    add(L("lone_charges_merge_in_order",
          "single-charge zones merge one per frame, first sub-zone first",
          Z("root", zones=[Z(f"s{i}", [[float(i), P, f"c{i}"]]) for i in range(4)])))

    tenth = Lcg(101)
    add(L("hundred_tenths",
          "a hundred 0.1 charges summed in order, against an equals gate at 10",
          Z("root", [[0.1, P, f"t{i}"] for i in range(100)], [["plus", "p"], ["equals_gate", "g", 10.0]],
            zones=[Z("noise", [[tenth.unit(), P, f"n{i}"] for i in range(30)], [["minus", "m"]])])))

    add(L("escaped_text",
          "ids with quotes, backslashes, control characters and non-ASCII text",
          Z("r\u00f6\"ot\\", [[1.0, P, "\u00df\u2192\"\n\t\u0001"], [2.0, N, "\U0001f600"]],
            [["plus", "\u00e9\u00e9"], ["equals_gate", "g\"\\", -1.0]],
            zones=[Z("\u6f22\u5b57", [[3.0, U, "\u0000nul"]])])))

    add(L("huge_and_tiny_sums",
          "sums of the largest doubles, denormals and values of very different size",
          Z("root", zones=[
              Z("big_small", [[1e16, P, "a"], [1.0, P, "b"], [1.0, P, "c"]], [["plus", "p1"]]),
              Z("small_big", [[1.0, P, "a"], [1.0, P, "b"], [1e16, P, "c"]], [["plus", "p2"]]),
              Z("cancel", [[1e308, P, "a"], [1e308, N, "b"], [1.0, P, "c"]], [["plus", "p3"]]),
              Z("minus_big", [[MAX, N, "a"], [MAX, P, "b"]], [["minus", "m1"]]),
              Z("int32", [[float(INT32_MAX), P, "a"], [1.0, P, "b"]], [["plus", "p4"]]),
          ])))

    add(L("factorial_overflow_then_gates",
          "171! is infinite and opens a judge at the largest double; 170! fits",
          Z("root", zones=[
              Z("inf", [[171.0, P, "n"]], [["factorial", "f1"], ["inequality_gate", "j1", MAX, ">"]]),
              Z("fits", [[170.0, P, "n"]], [["factorial", "f2"], ["inequality_gate", "j2", MAX, "<"]]),
              Z("sum", [[170.0, P, "n"], [1.0, N, "b"]], [["factorial", "f3"], ["plus", "p"], ["equals_gate", "g", -1.0]]),
          ])))

    add(L("declining_spells_end_the_level",
          "every spell that declines: the level ends with zones still unresolved",
          Z("root", [[1.0, P, "top"]], zones=[
              Z("plus_one", [[1.0, P, "a"]], [["plus", "p"]]),
              Z("minus_one", [[1.0, P, "a"]], [["minus", "m"]]),
              Z("multiply_one", [[1.0, P, "a"]], [["multiply", "x"]]),
              Z("factorial_neg", [[3.0, N, "a"]], [["factorial", "f"]]),
              Z("abs_none", [], [["abs", "a"]]),
              Z("modulo_zero", [[1.0, P, "a"], [0.0, P, "b"]], [["modulo", "r"]]),
          ])))

    add(L("mixed_nested_arithmetic",
          "a three-level expression: ((2 * 3.5) - (1 / 3)) + 0.1 with gates at each level",
          Z("root", [[0.1, P, "tenth"]], [["plus", "outer_plus"], ["inequality_gate", "outer_gate", 6.7666, ">"]], zones=[
              Z("mid", [], [["minus", "mid_minus"]], zones=[
                  Z("product", [[2.0, P, "a"], [3.5, P, "b"]], [["multiply", "x"]]),
                  Z("quotient", [[1.0, P, "c"], [3.0, P, "d"]], [["divide", "d"], ["inequality_gate", "qg", 0.34, "<"]]),
              ]),
          ])))

    return levels


# --------------------------------------------------------------------------
# libm sweeps: many pow, log, log10 and root results, each in its own zone
# --------------------------------------------------------------------------

# Inputs whose results differ between glibc's FMA and non-FMA x86_64 variants
# are left out: the goldens must not depend on which x86_64 CPU made them.
# regenerate.py names any it finds; add them here as (level, zone index).
FMA_SENSITIVE: frozenset[tuple[str, int]] = frozenset()

SWEEP_ZONES = 25


def sweep(name: str, note: str, kind: str, seed: int, make: Any) -> Level:
    rng = Lcg(seed)
    zones = []
    for n in range(SWEEP_ZONES):
        values = make(rng)
        if (name, n) in FMA_SENSITIVE:
            continue
        charges = [[value, P, f"{name}_{n}_{k}"] for k, value in enumerate(values)]
        zones.append(Z(f"{name}_{n}", charges, [[kind, f"{name}_{n}_agent"]]))
    return L(name, note, Z("root", zones=zones))


def sweeps() -> list[Level]:
    def pow_small(rng: Lcg) -> tuple[float, float]:
        return rng.unit() * 100.0, rng.unit() * 20.0 - 10.0

    def pow_wide(rng: Lcg) -> tuple[float, float]:
        return rng.spread(-60, 60), rng.unit() * 16.0 - 8.0

    def pow_integer(rng: Lcg) -> tuple[float, float]:
        return rng.unit() * 10.0, float(rng.below(41) - 20)

    def log10_wide(rng: Lcg) -> tuple[float]:
        return (rng.spread(-1070, 1020),)

    def log10_near_one(rng: Lcg) -> tuple[float]:
        return (0.5 + rng.unit(),)

    def log_base(rng: Lcg) -> tuple[float, float]:
        return rng.spread(-30, 30), rng.spread(-500, 500)

    def root_odd(rng: Lcg) -> tuple[float, float]:
        index = float(2 * rng.below(5) + 3)  # 3, 5, ..., 11
        return index, -rng.spread(-100, 100)

    def root_any(rng: Lcg) -> tuple[float, float]:
        return 1.0 + rng.unit() * 9.0, rng.spread(-200, 200)

    return [
        sweep("sweep_pow_small", "pow of bases in [0, 100) to exponents in [-10, 10)", "power", 1, pow_small),
        sweep("sweep_pow_wide", "pow of bases from 2**-60 to 2**61", "power", 2, pow_wide),
        sweep("sweep_pow_integer", "pow to whole exponents", "power", 3, pow_integer),
        sweep("sweep_log10_wide", "log10 across the whole double range, denormals included", "log", 4, log10_wide),
        sweep("sweep_log10_near_one", "log10 of values in [0.5, 1.5)", "log", 5, log10_near_one),
        sweep("sweep_log_base", "logarithms to bases from 2**-30 to 2**31", "log", 6, log_base),
        sweep("sweep_root_odd", "odd roots of negative radicands", "root", 7, root_odd),
        sweep("sweep_root_any", "roots of fractional index", "root", 8, root_any),
    ]


# --------------------------------------------------------------------------
# Random levels of the exact spells
# --------------------------------------------------------------------------

RANDOM_LEVELS = 32

AWKWARD = (
    0.0, -0.0, 0.1, 0.2, 0.3, 0.30000000000000004, 1.0, 2.0, 3.0, 0.5, 1 / 3, 7.5, 10.0,
    1e-9, 1e-10, 9.999999999999999e-10, 1.0000000000000002e-09, 1e-6, 1.000001,
    1e16, 9007199254740993.0, 1e308, MAX, DENORM_MIN, 2.2250738585072014e-308,
    170.0, 171.0, 2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, -1.0, -2.5,
    INF, NAN,
)
POLARITY_CHOICES = (P, P, P, N, N, U, INT32_MAX, INT32_MIN, 3, -1)
UNARY_KINDS = ("abs", "factorial")
CONSUMING_KINDS = ("plus", "minus", "multiply", "divide")
RULES = ("<", ">", "<=", ">=", "=", "")


def random_value(rng: Lcg) -> float:
    if rng.below(3) == 0:
        return rng.choice(AWKWARD)
    if rng.below(2) == 0:
        return float(rng.below(20))
    return rng.unit() * 10.0


def random_zone(rng: Lcg, zone_id: str, depth: int, counter: list[int]) -> Zone:
    charges = []
    for _ in range(1 + rng.below(5)):
        counter[0] += 1
        charges.append([random_value(rng), rng.choice(POLARITY_CHOICES), f"c{counter[0]}"])
    agents: list[list[Any]] = []

    def agent(kind: str, *arguments: Any) -> None:
        counter[0] += 1
        agents.append([kind, f"a{counter[0]}", *arguments])

    if rng.below(2) == 0:
        agent(rng.choice(UNARY_KINDS))
    if rng.below(4) == 0:
        agent("modulo")
    if rng.below(5) != 0:
        agent(rng.choice(CONSUMING_KINDS))
    roll = rng.below(10)
    if roll < 1:
        agent("equals_gate", random_value(rng))
    elif roll < 3:
        agent("inequality_gate", random_value(rng), rng.choice(RULES))
    elif roll < 4 and depth == 0:
        agent("chronomancer")
    if rng.below(3) == 0:  # the same agents in another order
        order = [rng.bits(32) for _ in agents]
        agents = [item for _, item in sorted(zip(order, agents), key=lambda pair: pair[0])]
    zones = []
    if depth < 3:
        for k in range(rng.below(4 - depth) + (1 if depth == 0 else 0)):
            zones.append(random_zone(rng, f"{zone_id}.{k}", depth + 1, counter))
    return Z(zone_id, charges, agents, zones)


def random_levels() -> list[Level]:
    levels = []
    for n in range(RANDOM_LEVELS):
        rng = Lcg(1000 + n)
        root = random_zone(rng, "root", 0, [0])
        start = None
        if rng.below(6) == 0:
            start = rng.choice((INT32_MIN, -1, 0, 995, INT32_MAX - 1))
        levels.append(L(f"random_{n:02d}", f"random exact-arithmetic level, seed {1000 + n}", root, start))
    return levels


def generated_levels() -> list[Level]:
    """Every generated level, in order; names are unique."""
    levels = handwritten() + sweeps() + random_levels()
    names = [level["name"] for level in levels]
    assert len(names) == len(set(names)), "level names must be unique"
    return levels
