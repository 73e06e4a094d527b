"""Golden transcripts: every frame text of the levels in tests/golden, replayed
on the running build.

Every text must match byte for byte, on x86_64 and on any other build (the
32-bit x86 wheel's tests run this too): the engine computes log, log10 and
pow itself, correctly rounded, so no platform's math library shows through.

After a deliberate change of behaviour: .venv/bin/python tests/golden/regenerate.py
"""

from __future__ import annotations

import json
import math
import os
import platform
import struct
import subprocess
import sys
from pathlib import Path

import pytest

GOLDEN_DIR = Path(__file__).resolve().parents[1] / "golden"
sys.path.insert(0, str(GOLDEN_DIR))

import golden_levels  # noqa: E402
import golden_replay as gr  # noqa: E402

REGENERATE = ".venv/bin/python tests/golden/regenerate.py"
MANIFEST = gr.load_manifest()["levels"]
LEVELS = {level["name"]: level for level in gr.load_levels()}


def test_level_descriptions_are_what_the_generator_makes():
    expected = gr.dump_levels(golden_levels.generated_levels())
    assert gr.LEVELS_FILE.read_text(encoding="utf-8") == expected, f"golden_levels.py changed: run {REGENERATE}"


def test_every_level_has_its_golden_frames():
    generated = {name for name, entry in MANIFEST.items() if entry["source"] == "generated"}
    assert generated == set(LEVELS)
    assert len(generated) >= 50
    samples = {entry["source"] for entry in MANIFEST.values() if entry["source"] != "generated"}
    on_disk = {path.relative_to(gr.REPO).as_posix() for path in gr.sample_paths()}
    assert samples == on_disk, f"the sample levels changed: run {REGENERATE}"
    assert {path.stem for path in gr.FRAMES_DIR.glob("*.jsonl")} == set(MANIFEST)
    for name, entry in MANIFEST.items():
        frames = gr.read_frames(name)
        assert len(frames) == entry["frames"]
        assert gr.sha256(gr.frames_text(frames)) == entry["frames_sha256"], f"{name}: frames file edited by hand"


def test_generated_levels_cover_every_spell_and_the_awkward_values():
    kinds: set[str] = set()
    magnitudes: list[float] = []
    polarities: set[object] = set()

    def visit(zone: dict) -> None:
        kinds.update(agent[0] for agent in zone["agents"])
        magnitudes.extend(charge[0] for charge in zone["charges"])
        polarities.update(charge[1] for charge in zone["charges"])
        for sub_zone in zone["zones"]:
            visit(sub_zone)

    for level in LEVELS.values():
        visit(level["root"])
    assert kinds == set(gr.PLACING)
    assert any(math.isnan(m) for m in magnitudes) and math.inf in magnitudes
    assert any(m == 0 and math.copysign(1, m) < 0 for m in magnitudes)
    assert {1e-9, 1e-10, 171.0, 1.7976931348623157e308, 5e-324} <= set(magnitudes)
    assert {2**31 - 1, -(2**31)} <= polarities
    assert {2**31 - 1, -(2**31)} <= {level.get("start_frame") for level in LEVELS.values()}


@pytest.mark.parametrize("name", sorted(MANIFEST))
def test_level_replays_as_its_golden_frames(name, record_property):
    entry = MANIFEST[name]
    replay = gr.replay_entry(name, entry, LEVELS)
    result = gr.compare_level(name, entry, replay, allow_ulp=False)
    record_property("libm_results", result.libm_results)
    assert not result.differences, f"{name} differs from its golden frames ({len(result.differences)} frames):\n" + \
        "\n".join(result.differences[:8])
    assert result.libm_results == entry["libm_results"]
    if entry["source"] == "generated":
        fed = gr.track_libm_results(replay.initial, gr.read_frames(name)).fed
        assert not fed, "a pow/log result is read by another agent:\n" + "\n".join(fed[:5])


# --------------------------------------------------------------------------
# The comparison itself
# --------------------------------------------------------------------------


def next_double(x: float, steps: int = 1) -> float:
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return struct.unpack("<d", struct.pack("<q", bits + steps))[0]


@pytest.mark.parametrize(
    ("a", "b", "distance"),
    [(1.0, 1.0, 0), (1.0, next_double(1.0), 1), (next_double(1.0, -1), next_double(1.0), 2),
     (0.0, -0.0, 0), (5e-324, -5e-324, 2), (1.7976931348623157e308, next_double(1.7976931348623157e308, -3), 3),
     (2.0, next_double(2.0, -1), 1)],
)
def test_ulp_distance(a, b, distance):
    assert gr.ulp_distance(a, b) == distance
    assert gr.ulp_distance(b, a) == distance


def two_zone_frame(power_magnitude: str, other_magnitude: str, frame_index: str = "1") -> str:
    """A frame with a power result in sub-zone 0 and a plain charge at the root."""
    sub = ('{"agents":[],"charges":[{"magnitude":%s,"polarity":"positive","visual_id":"result_power_w"}],'
           '"id":"s","is_time_frozen":false,"sub_environments":[]}' % power_magnitude)
    return ('{"agents":[],"charges":[{"magnitude":%s,"polarity":"positive","visual_id":"c"}],"id":"root",'
            '"is_time_frozen":false,"meta":{"frame_index":%s},"sub_environments":[%s]}'
            % (other_magnitude, frame_index, sub))


POWER_MARK = {((0,), 0): 7}
X = 1.2345678901234567
X_UP, X_UP2 = repr(next_double(X)), repr(next_double(X, 2))


def test_comparison_allows_one_ulp_only_where_marked_and_only_when_asked():
    golden = two_zone_frame(repr(X), "2.0")
    assert gr.compare_frame(golden, golden, {}, allow_ulp=False).difference is None
    one_ulp = gr.compare_frame(golden, two_zone_frame(X_UP, "2.0"), POWER_MARK, allow_ulp=True)
    assert (one_ulp.difference, one_ulp.ulp_results) == (None, {7})
    assert gr.compare_frame(golden, two_zone_frame(X_UP, "2.0"), POWER_MARK, allow_ulp=False).difference
    assert gr.compare_frame(golden, two_zone_frame(X_UP, "2.0"), {}, allow_ulp=True).difference
    assert gr.compare_frame(golden, two_zone_frame(X_UP2, "2.0"), POWER_MARK, allow_ulp=True).difference
    plain = gr.compare_frame(two_zone_frame("3.0", repr(X)), two_zone_frame("3.0", X_UP), POWER_MARK, allow_ulp=True)
    assert plain.difference and "charges/0/magnitude" in plain.difference
    assert gr.compare_frame(golden, two_zone_frame(repr(X), "2.0", "2"), POWER_MARK, allow_ulp=True).difference


@pytest.mark.parametrize(("golden", "actual"), [("1e+308", "null"), ("2.0", "-2.0"), ("0.0", "-0.0"), ("2.0", "2")])
def test_comparison_refuses_non_finite_sign_and_type_changes_even_where_marked(golden, actual):
    comparison = gr.compare_frame(two_zone_frame(golden, "1.0"), two_zone_frame(actual, "1.0"), POWER_MARK, allow_ulp=True)
    assert comparison.difference


def test_comparison_refuses_a_text_change_that_parsing_hides():
    golden = two_zone_frame("1.0", "2.0")
    assert gr.compare_frame(golden, golden.replace('"id":"s"', '"id":"\\u0073"'), POWER_MARK, allow_ulp=True).difference


def sequencer_frames(root) -> tuple[str, list[str]]:
    from qor_engine import NarrativeSequencer

    initial = root.to_json()
    sequencer = NarrativeSequencer(root)
    frames = []
    while not sequencer.is_finished:
        frames.append(sequencer.next_frame())
    return initial, frames


def test_tracking_marks_pow_log_and_indexed_roots_but_not_square_roots():
    level = golden_levels.L("t", "", golden_levels.Z("root", zones=[
        golden_levels.Z("sq", [[2.0, "positive", "a"]], [["root", "square"]]),
        golden_levels.Z("cube", [[3.0, "positive", "i"], [2.0, "positive", "r"]], [["root", "cube"]]),
        golden_levels.Z("lg", [[7.0, "positive", "a"]], [["log", "lg"]]),
        golden_levels.Z("pw", [[9.0, "positive", "keep"], [1.5, "positive", "a"], [2.5, "positive", "b"]], [["power", "pw"]]),
    ]))
    replay = gr.play_generated(level)
    results = gr.track_libm_results(replay.initial, replay.frames)
    assert results.count == 3 and not results.fed
    last = json.loads(replay.frames[-1])
    marked = {last["charges"][index]["visual_id"] for (path, index) in results.per_frame[-1] if path == ()}
    assert marked == {"result_root_cube", "result_log_lg"}
    assert [c["visual_id"] for c in last["charges"]] == ["result_root_square", "result_root_cube", "result_log_lg"]
    assert results.per_frame[-1][((0,), 1)] == 2  # the power result, beside the kept charge


def test_tracking_notices_a_pow_result_read_by_another_spell():
    from qor_engine import ChargePolarity, Environment

    root = Environment("root")
    root.add_charge(2.0, ChargePolarity.POSITIVE, "a")
    root.add_charge(0.5, ChargePolarity.POSITIVE, "b")
    root.add_power_sorcerer("w")
    root.add_plus_magician("p")
    initial, frames = sequencer_frames(root)
    assert gr.track_libm_results(initial, frames).fed


# --------------------------------------------------------------------------
# Independence from the x86_64 CPU
# --------------------------------------------------------------------------

# pow inputs whose glibc FMA and non-FMA results differ in the last bit.
FMA_PROBES = [(83.61171865243259, -9.47622338245679), (97.72497557642295, 6.424594208012678),
              (14.515172324928272, 1.8445167856784224)]


def cpu_has_fma() -> bool:
    try:
        return " fma " in Path("/proc/cpuinfo").read_text().replace("\n", " ")
    except OSError:
        return False


@pytest.mark.skipif(platform.machine() != "x86_64" or struct.calcsize("P") != 8 or not cpu_has_fma(),
                    reason="only x86_64 glibc on a CPU with FMA picks other pow/log code by CPU")
def test_goldens_do_not_depend_on_glibc_fma_variants():
    environment = {**os.environ, "GLIBC_TUNABLES": gr.NO_FMA_TUNABLES}
    probe = subprocess.run([sys.executable, "-c", f"import math; print([math.pow(a, b).hex() for a, b in {FMA_PROBES}])"],
                           capture_output=True, text=True, env=environment, check=True)
    if probe.stdout.strip() == str([math.pow(a, b).hex() for a, b in FMA_PROBES]):
        pytest.skip("this glibc ignores the tunables that turn its FMA variants off")
    frames = gr.replay_all_elsewhere(list(LEVELS.values()), gr.sample_paths(), environment)
    changed = [name for name, entry in MANIFEST.items()
               if gr.sha256(gr.frames_text(frames[name])) != entry["frames_sha256"]]
    assert not changed, f"frames differ without FMA: {changed}"
