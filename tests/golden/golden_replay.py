"""Plays the golden levels and compares their frame texts with the stored ones.

Shared by tests/python/test_golden.py and tests/golden/regenerate.py.

Golden files (tests/golden/):
  levels.json         the generated level descriptions (see golden_levels.py)
  frames/NAME.jsonl   every frame text of one level, one per line, exactly as
                      next_frame() returned it; for a sample level this is the
                      output of `examples/play.py LEVEL --json`
  manifest.json       per level: where it comes from, hashes of its initial
                      zone text and of its frames file, and its number of
                      pow/log/log10 results

Comparison: every frame text must be identical byte for byte, on x86_64 and
on every other build (32-bit x86, WebAssembly): the engine's log, log10 and
pow are its own and correctly rounded. track_libm_results finds the charges
made by those calls (the Power Sorcerer's, The Architect's and The
Extractor's from two charges) and follows them as they merge up into parent
zones; compare_frame's allow_ulp, which lets such a result differ by one
unit in the last place, is only for regenerate.py's report of a change.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import math
import struct
import subprocess
import sys
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

from qor_engine import ChargePolarity, Environment, NarrativeSequencer

GOLDEN_DIR = Path(__file__).resolve().parent
REPO = GOLDEN_DIR.parents[1]
FRAMES_DIR = GOLDEN_DIR / "frames"
LEVELS_FILE = GOLDEN_DIR / "levels.json"
MANIFEST_FILE = GOLDEN_DIR / "manifest.json"
SAMPLES_DIR = REPO / "examples" / "levels"
PLAY_PY = REPO / "examples" / "play.py"

FRAME_CAP = 5000  # far above the engine's own limit of 1000 running frames

LIBM_PREFIXES = ("result_power_", "result_root_", "result_log_")


def is_32bit_x86() -> bool:
    """Whether this interpreter, and so the loaded module, is a 32-bit build."""
    return struct.calcsize("P") == 4


# --------------------------------------------------------------------------
# Levels
# --------------------------------------------------------------------------

POLARITIES = {
    "positive": ChargePolarity.POSITIVE,
    "negative": ChargePolarity.NEGATIVE,
    "neutral": ChargePolarity.NEUTRAL,
}

PLACING = {
    "plus": "add_plus_magician",
    "minus": "add_minus_magician",
    "multiply": "add_multiply_magician",
    "divide": "add_divide_magician",
    "power": "add_power_sorcerer",
    "root": "add_root_magician",
    "abs": "add_abs_magician",
    "factorial": "add_factorial_magician",
    "modulo": "add_modulo_magician",
    "log": "add_log_magician",
    "chronomancer": "add_chronomancer",
    "equals_gate": "add_equals_gate",
    "inequality_gate": "add_inequality_gate",
}


def polarity(value: str | int) -> ChargePolarity:
    return POLARITIES[value] if isinstance(value, str) else ChargePolarity(value)


def build_zone(description: dict[str, Any]) -> Environment:
    zone = Environment(description["id"])
    for magnitude, tag, visual_id in description["charges"]:
        zone.add_charge(magnitude, polarity(tag), visual_id)
    for kind, visual_id, *arguments in description["agents"]:
        getattr(zone, PLACING[kind])(visual_id, *arguments)
    for sub_zone in description["zones"]:
        zone.add_sub_environment(build_zone(sub_zone))
    return zone


@dataclass
class Replay:
    initial: str  # the root zone's text before the first frame
    frames: list[str]


def play_generated(level: dict[str, Any]) -> Replay:
    """Every frame up to the end, and the answer to one more call after it."""
    root = build_zone(level["root"])
    initial = root.to_json()
    sequencer = NarrativeSequencer(root)
    if "start_frame" in level:
        sequencer.current_frame = level["start_frame"]
    frames: list[str] = []
    while not sequencer.is_finished:
        if len(frames) >= FRAME_CAP:
            raise RuntimeError(f"level {level['name']} did not finish in {FRAME_CAP} frames")
        frames.append(sequencer.next_frame())
    frames.append(sequencer.next_frame())
    return Replay(initial, frames)


_play_module: ModuleType | None = None


def play_module() -> ModuleType:
    """examples/play.py, imported once (as the module "play")."""
    global _play_module
    if _play_module is None:
        examples = str(PLAY_PY.parent)
        if examples not in sys.path:
            sys.path.insert(0, examples)
        _play_module = importlib.import_module(PLAY_PY.stem)
        if Path(_play_module.__file__ or "").resolve() != PLAY_PY:
            raise ImportError(f"'play' was imported from {_play_module.__file__}, not {PLAY_PY}")
    return _play_module


def play_sample(path: Path) -> Replay:
    """A sample level as examples/play.py plays it (with its refills)."""
    play = play_module()
    built = play.build(play.load_level(path))
    initial = built.root.to_json()
    return Replay(initial, [text for text, _ in play.play(built)])


def sample_paths() -> list[Path]:
    return sorted(SAMPLES_DIR.glob("*.json"))


def sample_name(path: Path) -> str:
    return f"sample_{path.stem}"


def dump_levels(levels: list[dict[str, Any]]) -> str:
    """levels.json's text: exact doubles (repr), NaN and Infinity allowed."""
    return json.dumps(levels, indent=1, ensure_ascii=False, allow_nan=True) + "\n"


def load_levels() -> list[dict[str, Any]]:
    return json.loads(LEVELS_FILE.read_text(encoding="utf-8"))


def load_manifest() -> dict[str, Any]:
    return json.loads(MANIFEST_FILE.read_text(encoding="utf-8"))


def frames_path(name: str) -> Path:
    return FRAMES_DIR / f"{name}.jsonl"


def read_frames(name: str) -> list[str]:
    return frames_path(name).read_text(encoding="utf-8").split("\n")[:-1]


def frames_text(frames: list[str]) -> str:
    return "".join(text + "\n" for text in frames)


def sha256(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def replay_entry(name: str, entry: dict[str, Any], levels: dict[str, dict[str, Any]]) -> Replay:
    """Plays the level that a manifest entry names, on the running build."""
    if entry["source"] == "generated":
        return play_generated(levels[name])
    return play_sample(REPO / entry["source"])


# --------------------------------------------------------------------------
# Following pow/log/log10 results through the frames
# --------------------------------------------------------------------------

# Charges a spell takes from the end of its zone's list, given the list's
# length before; None: all of them. Each spell that takes charges appends one.
def _taken(agent_name: str, count: int) -> int | None:
    return {
        "Power Sorcerer": 2,
        "The Architect": 1 if count == 1 else 2,
        "The Extractor": 1 if count == 1 else 2,
        "The Replicator": 1,
        "The Scavenger": 2,
        "Multiply Magician": None,
        "Divide Magician": None,
        "Plus Magician": None,
        "Minus Magician": None,
        "The Purifier": 0,
        "Equals Gate": 0,
        "The Judge": 0,
    }[agent_name]


def _makes_libm_result(agent_name: str, count: int) -> bool:
    if agent_name in ("Power Sorcerer", "The Architect"):
        return True
    return agent_name == "The Extractor" and count >= 2


def zones_by_id(state: dict[str, Any]) -> dict[str, tuple[dict[str, Any], tuple[int, ...], str | None]]:
    """Every zone of a state by id: (zone, path of sub-zone indices, parent id)."""
    found: dict[str, tuple[dict[str, Any], tuple[int, ...], str | None]] = {}
    pending: list[tuple[dict[str, Any], tuple[int, ...], str | None]] = [(state, (), None)]
    duplicates = set()
    while pending:
        zone, path, parent = pending.pop()
        if zone["id"] in found:
            duplicates.add(zone["id"])
        found[zone["id"]] = (zone, path, parent)
        for k, sub_zone in enumerate(zone["sub_environments"]):
            pending.append((sub_zone, path + (k,), zone["id"]))
    if duplicates:
        raise ValueError(f"zone ids used twice: {sorted(duplicates)}")
    return found


ChargeKey = tuple[tuple[int, ...], int]  # (path of sub-zone indices, charge index)


@dataclass
class LibmResults:
    """Where the pow/log/log10 results are in each frame.

    per_frame[i] maps (zone path, charge index) to the result's number (0, 1,
    ...) for frame i; `fed` lists the times such a result was offered to or
    used by another agent (a golden level must have none).
    """

    per_frame: list[dict[ChargeKey, int]] = field(default_factory=list)
    count: int = 0
    fed: list[str] = field(default_factory=list)


def track_libm_results(initial: str, frames: list[str]) -> LibmResults:
    results = LibmResults()
    previous = json.loads(initial)
    marks: dict[str, dict[int, int]] = {}  # zone id -> charge index -> result number
    for number, text in enumerate(frames, start=1):
        state = json.loads(text)
        event = state["meta"]["last_event"]
        before = zones_by_id(previous)
        if event is not None and event["type"] == "CAST_SPELL":
            agent = event["agent_name"]
            zone_id = event["description"].removeprefix(f"{agent} executed operation in ")
            count = len(before[zone_id][0]["charges"])
            zone_marks = marks.get(zone_id, {})
            if zone_marks:
                results.fed.append(f"frame {number}: {agent} acted in zone {zone_id} holding a pow/log result")
            taken = _taken(agent, count)
            kept = 0 if taken is None else count - taken
            expected = count if taken == 0 else kept + 1
            after = len(zones_by_id(state)[zone_id][0]["charges"])
            if after != expected:
                raise AssertionError(f"frame {number}: {agent} left {after} charges in {zone_id}, expected {expected}")
            zone_marks = {index: result for index, result in zone_marks.items() if index < kept}
            if taken != 0 and _makes_libm_result(agent, count):
                zone_marks[kept] = results.count
                results.count += 1
            marks[zone_id] = zone_marks
        elif event is not None and event["type"] == "COLLAPSE_ZONE":
            zone_id = event["description"].removeprefix("Zone ").removesuffix(" has resolved and merged.")
            parent_id = before[zone_id][2]
            assert parent_id is not None
            zone_marks = marks.pop(zone_id, {})
            if 0 in zone_marks:
                marks.setdefault(parent_id, {})[len(before[parent_id][0]["charges"])] = zone_marks[0]
        now = zones_by_id(state)
        # A merging zone takes its whole subtree with it.
        marks = {zone_id: zone_marks for zone_id, zone_marks in marks.items() if zone_id in now}
        frame_marks: dict[ChargeKey, int] = {}
        for zone_id, zone_marks in marks.items():
            zone, path, _ = now[zone_id]
            for index, result in zone_marks.items():
                visual_id = zone["charges"][index]["visual_id"]
                if not visual_id.startswith(LIBM_PREFIXES):
                    raise AssertionError(f"frame {number}: charge {visual_id!r} in {zone_id} is not a pow/log result")
                frame_marks[(path, index)] = result
            readers = [agent["name"] for agent in zone["agents"] if agent["name"] != "Chronomancer"]
            if zone_marks and readers:
                results.fed.append(f"frame {number}: zone {zone_id} holds a pow/log result beside {', '.join(readers)}")
        results.per_frame.append(frame_marks)
        previous = state
    return results


# --------------------------------------------------------------------------
# Comparing frame texts
# --------------------------------------------------------------------------


def ulp_distance(a: float, b: float) -> int:
    """How many doubles apart a and b are (both finite)."""

    def ordered(x: float) -> int:
        bits = struct.unpack("<q", struct.pack("<d", x))[0]
        return bits if bits >= 0 else -(bits & 0x7FFF_FFFF_FFFF_FFFF)

    return abs(ordered(a) - ordered(b))


def _parse(text: str) -> Any:
    # Numbers stay as their exact text, tagged by kind, so that anything but
    # an allowed magnitude must match to the character.
    return json.loads(text, parse_float=lambda s: ("float", s), parse_int=lambda s: ("int", s))


def _allowed_paths(marks: dict[ChargeKey, int]) -> dict[tuple[Any, ...], int]:
    paths = {}
    for (zone_path, index), result in marks.items():
        path: tuple[Any, ...] = ()
        for k in zone_path:
            path += ("sub_environments", k)
        paths[path + ("charges", index, "magnitude")] = result
    return paths


@dataclass
class FrameComparison:
    difference: str | None  # the first difference that is not allowed
    ulp_results: set[int]  # pow/log results that differed by one ULP


def compare_frame(golden: str, actual: str, marks: dict[ChargeKey, int], allow_ulp: bool) -> FrameComparison:
    if golden == actual:
        return FrameComparison(None, set())
    if not allow_ulp:
        return FrameComparison(_first_text_difference(golden, actual), set())
    allowed = _allowed_paths(marks)
    ulp_results: set[int] = set()

    def walk(g: Any, a: Any, path: tuple[Any, ...]) -> str | None:
        where = "/".join(map(str, path)) or "(top)"
        if type(g) is not type(a):
            return f"{where}: {g!r} != {a!r}"
        if isinstance(g, dict):
            if list(g) != list(a):
                return f"{where}: keys {list(g)} != {list(a)}"
            for key in g:
                problem = walk(g[key], a[key], path + (key,))
                if problem:
                    return problem
            return None
        if isinstance(g, list):
            if len(g) != len(a):
                return f"{where}: {len(g)} items != {len(a)} items"
            for k, (gi, ai) in enumerate(zip(g, a)):
                problem = walk(gi, ai, path + (k,))
                if problem:
                    return problem
            return None
        if g == a:
            return None
        if isinstance(g, tuple) and path in allowed and g[0] == a[0] == "float":
            x, y = float(g[1]), float(a[1])
            if math.isfinite(x) and math.isfinite(y) and math.copysign(1, x) == math.copysign(1, y) \
                    and ulp_distance(x, y) <= 1:
                ulp_results.add(allowed[path])
                return None
            return f"{where}: pow/log result {g[1]} != {a[1]} (more than one ULP apart)"
        shown_g = g[1] if isinstance(g, tuple) else repr(g)
        shown_a = a[1] if isinstance(a, tuple) else repr(a)
        return f"{where}: {shown_g} != {shown_a}"

    try:
        golden_value, actual_value = _parse(golden), _parse(actual)
    except ValueError as error:
        return FrameComparison(f"not JSON: {error}", set())
    problem = walk(golden_value, actual_value, ())
    if problem is None and not ulp_results:
        problem = "the texts differ although every value is equal: " + _first_text_difference(golden, actual)
    return FrameComparison(problem, ulp_results)


def _first_text_difference(golden: str, actual: str) -> str:
    at = next((i for i, (g, a) in enumerate(zip(golden, actual)) if g != a), min(len(golden), len(actual)))
    return f"at character {at}: golden ...{golden[max(0, at - 60):at + 60]!r}... got ...{actual[max(0, at - 60):at + 60]!r}..."


@dataclass
class LevelComparison:
    differences: list[str]
    ulp_results: set[int]
    libm_results: int


def compare_level(name: str, entry: dict[str, Any], replay: Replay, allow_ulp: bool) -> LevelComparison:
    """The running build's replay of a level against its golden frames."""
    differences: list[str] = []
    if sha256(replay.initial) != entry["initial_sha256"]:
        differences.append("the level's initial zone text differs from the one the goldens were made from")
        return LevelComparison(differences, set(), 0)
    golden = read_frames(name)
    results = track_libm_results(replay.initial, golden)
    ulp_results: set[int] = set()
    if len(golden) != len(replay.frames):
        differences.append(f"{len(replay.frames)} frames, golden has {len(golden)}")
    for number, (expected, actual, marks) in enumerate(zip(golden, replay.frames, results.per_frame), start=1):
        comparison = compare_frame(expected, actual, marks, allow_ulp)
        ulp_results |= comparison.ulp_results
        if comparison.difference:
            differences.append(f"frame {number}: {comparison.difference}")
    return LevelComparison(differences, ulp_results, results.count)


def all_entries() -> Iterator[tuple[str, dict[str, Any]]]:
    yield from load_manifest()["levels"].items()


# --------------------------------------------------------------------------
# Replaying everything in another process
# --------------------------------------------------------------------------

# Turns off glibc's FMA variants of pow, log and exp on x86_64 (names for
# glibc 2.33 and later, and the older *_Usable ones; unknown names are ignored).
NO_FMA_TUNABLES = "glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-FMA4_Usable,-AVX2,-FMA,-FMA4"


def replay_all(levels: list[dict[str, Any]], samples: list[Path]) -> dict[str, list[str]]:
    """The running build's frames of the given generated and sample levels."""
    frames = {level["name"]: play_generated(level).frames for level in levels}
    frames.update((sample_name(path), play_sample(path).frames) for path in samples)
    return frames


def replay_all_elsewhere(levels: list[dict[str, Any]], samples: list[Path],
                         environment: dict[str, str]) -> dict[str, list[str]]:
    """replay_all in a new interpreter process with the given environment."""
    request = json.dumps({"levels": levels, "samples": [str(path) for path in samples]})
    result = subprocess.run([sys.executable, str(Path(__file__)), "--frames-json"], input=request,
                            capture_output=True, text=True, env=environment, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"the replay process failed:\n{result.stderr[-3000:]}")
    return json.loads(result.stdout)


if __name__ == "__main__":
    if sys.argv[1:] != ["--frames-json"]:
        sys.exit("usage: golden_replay.py --frames-json < {\"levels\": [...], \"samples\": [paths]}")
    request = json.load(sys.stdin)
    json.dump(replay_all(request["levels"], [Path(path) for path in request["samples"]]), sys.stdout)
