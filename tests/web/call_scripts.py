"""Call scripts that play levels through the engine's API, and their native
player.

A script is a list of calls (JSON), each answered by one value; the native
module plays it here and the WebAssembly engine through run_script.js, and
tests/python/test_web_engine.py compares the answers. Zones are numbered as the
script makes them ("zone") or, after "reload", in the order of a walk of the
loaded level (root first, each zone before its sub-zones).

    ["zone", id, n]                     a new zone, numbered n (replacing zone n, or next)
    ["charge", zone, magnitude, polarity, visual_id]   polarity: name or int
    ["place", zone, method, visual_id, *arguments]     add_<kind>(...)
    ["sub", parent, zone]               add_sub_environment
    ["level", zone]                     a new NarrativeSequencer of that root
    ["level", zone, max_frames]         the same with a frame limit
    ["refill", visual_id, zone, method, *arguments]    after a frame in which the
                                        agent with that visual id acted, place it again
    ["play", n]                         up to n frames while the level runs: their texts
    ["frame"]                           one next_frame(), finished or not
    ["patches", n]                      up to n frames by next_frame_patch() while the level
                                        runs (no refills): [[patch, root's to_json()], ...]
    ["set_level", property, value]      current_frame, is_finished, max_frames
    ["set_zone", zone, property, value] id, is_time_frozen
    ["json", zone]                      to_json()
    ["charges", zone]                   [[magnitude, polarity value, visual_id], ...]
    ["zone_save", zone]                 the zone's save, as hex
    ["zone_reload", zone]               the zone replaced by a loaded copy of its save
    ["save"]                            the level's save, as hex
    ["reload"]                          the level replaced by a loaded copy; zones walked again
    ["state"]                           [current_frame, is_finished, max_frames]
    ["explain"]                         the level's explain()

A call that raises is answered ["error", exception name, message]. Numbers
JSON cannot hold travel as {"float": "nan" | "inf" | "-inf"}.
"""

from __future__ import annotations

import json
import math
import random
from pathlib import Path
from typing import Any

from qor_engine import ChargePolarity, Environment, NarrativeSequencer

# The kinds' placing methods and polarity names of the golden levels; the
# tests put tests/golden on the path beside this folder.
from golden_replay import PLACING, POLARITIES

REPO = Path(__file__).resolve().parents[2]
Op = list[Any]

def to_wire(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return {"float": "nan" if math.isnan(value) else "inf" if value > 0 else "-inf"}
    return value


def from_wire(value: Any) -> Any:
    if isinstance(value, dict) and "float" in value:
        return float(value["float"])
    return value


# --------------------------------------------------------------------------
# The native player
# --------------------------------------------------------------------------


class Player:
    def __init__(self) -> None:
        self.zones: list[Environment] = []
        self.level: NarrativeSequencer | None = None
        self.refills: dict[str, list[Any]] = {}

    def place(self, zone: int, method: str, arguments: list[Any]) -> None:
        getattr(self.zones[zone], method)(*map(from_wire, arguments))

    def frame(self) -> str:
        assert self.level is not None
        text = self.level.next_frame()
        event = json.loads(text)["meta"]["last_event"]
        if event is not None and event["type"] == "CAST_SPELL" and event["visual_id"] in self.refills:
            zone, method, *arguments = self.refills[event["visual_id"]]
            self.place(zone, method, arguments)
        return text

    def rewalk(self) -> int:
        assert self.level is not None
        self.zones = []
        pending = [self.level.root_environment]
        while pending:
            zone = pending.pop()
            self.zones.append(zone)
            pending.extend(reversed(zone.sub_environments))
        return len(self.zones)

    def run(self, op: Op) -> Any:  # noqa: C901 (one branch per call)
        name, *a = op
        level = self.level
        if name == "zone":
            made = Environment(a[0])
            if a[1] < len(self.zones):
                self.zones[a[1]] = made
            else:
                self.zones.append(made)
        elif name == "charge":
            polarity = POLARITIES[a[2]] if isinstance(a[2], str) else ChargePolarity(a[2])
            self.zones[a[0]].add_charge(from_wire(a[1]), polarity, a[3])
        elif name == "place":
            self.place(a[0], a[1], a[2:])
        elif name == "sub":
            self.zones[a[0]].add_sub_environment(self.zones[a[1]])
        elif name == "level":
            self.level = NarrativeSequencer(self.zones[a[0]], *a[1:])
        elif name == "refill":
            self.refills[a[0]] = a[1:]
        elif name == "play":
            assert level is not None
            texts = []
            while not level.is_finished and len(texts) < a[0]:
                texts.append(self.frame())
            return texts
        elif name == "frame":
            return self.frame()
        elif name == "patches":
            assert level is not None
            patches = []
            while not level.is_finished and len(patches) < a[0]:
                patches.append([level.next_frame_patch(), level.root_environment.to_json()])
            return patches
        elif name == "set_level":
            setattr(level, a[0], a[1])
        elif name == "set_zone":
            setattr(self.zones[a[0]], a[1], a[2])
        elif name == "json":
            return self.zones[a[0]].to_json()
        elif name == "charges":
            return [[to_wire(c.magnitude), c.polarity.value, c.visual_id] for c in self.zones[a[0]].charges]
        elif name == "zone_save":
            return self.zones[a[0]].save().hex()
        elif name == "zone_reload":
            self.zones[a[0]] = Environment.load(self.zones[a[0]].save())
        elif name == "save":
            assert level is not None
            return level.save().hex()
        elif name == "reload":
            assert level is not None
            self.level = NarrativeSequencer.load(level.save())
            return self.rewalk()
        elif name == "state":
            assert level is not None
            return [level.current_frame, level.is_finished, level.max_frames]
        elif name == "explain":
            assert level is not None
            return level.explain()
        else:
            raise AssertionError(f"unknown call {name}")
        return None


def run_op(player: Player, op: Op) -> Any:
    try:
        return player.run(op)
    except Exception as error:  # every engine error is an answer to compare
        return ["error", type(error).__name__, str(error)]


def play_script(script: list[Op]) -> list[Any]:
    player = Player()
    return [run_op(player, op) for op in script]


def cross_load(save_hex: str) -> list[Any]:
    """A save of the other engine: loaded, saved again, and one frame played."""
    try:
        level = NarrativeSequencer.load(bytes.fromhex(save_hex))
        return [level.save().hex(), level.next_frame()]
    except Exception as error:
        return ["error", type(error).__name__, str(error)]


# --------------------------------------------------------------------------
# Scripts of the golden levels
# --------------------------------------------------------------------------


def golden_script(level: dict[str, Any]) -> list[Op]:
    """A level of tests/golden/levels.json, played to its end and once more."""
    script: list[Op] = []

    def build(zone: dict[str, Any]) -> int:
        number = len([op for op in script if op[0] == "zone"])
        script.append(["zone", zone["id"], number])
        for magnitude, polarity, visual_id in zone["charges"]:
            script.append(["charge", number, to_wire(magnitude), polarity, visual_id])
        for kind, visual_id, *arguments in zone["agents"]:
            script.append(["place", number, PLACING[kind], visual_id, *map(to_wire, arguments)])
        for sub_zone in zone["zones"]:
            script.append(["sub", number, build(sub_zone)])
        return number

    build(level["root"])
    script += [["json", 0], ["level", 0]]
    if "start_frame" in level:
        script.append(["set_level", "current_frame", level["start_frame"]])
    return script + [["explain"], ["play", 5000], ["explain"], ["frame"], ["state"], ["save"]]


def sample_script(path: Path, play: Any) -> list[Op]:
    """A sample level as examples/play.py plays it, its refills included; the
    level as the engine reads it (its canonical text)."""
    script: list[Op] = []
    count = 0

    def build(zone: Any) -> int:
        nonlocal count
        number, count = count, count + 1
        script.append(["zone", zone["zone"], number])
        for magnitude, polarity, charge_id in zone.get("charges", []):
            script.append(["charge", number, to_wire(float(magnitude)), polarity, charge_id])
        for agent in zone.get("agents", []):
            kind = agent["kind"]
            arguments = [float(agent["target"])] if kind == "equals_gate" else \
                [float(agent["target"]), agent["rule"]] if kind == "inequality_gate" else []
            placing = [number, PLACING[kind], agent["id"], *arguments]
            script.append(["place", *placing])
            if agent.get("refill", False):
                script.append(["refill", agent["id"], *placing])
        for sub_zone in zone.get("zones", []):
            script.append(["sub", number, build(sub_zone)])
        return number

    build(json.loads(play.load_level(path).to_text()))
    return script + [["level", 0], ["explain"], ["play", 5000], ["explain"], ["frame"], ["state"], ["save"]]


# --------------------------------------------------------------------------
# Random levels with host changes
# --------------------------------------------------------------------------

KINDS = list(PLACING)
# Weighted towards the spells that call log and pow.
KIND_WEIGHTS = [3, 2, 3, 2, 5, 5, 1, 2, 2, 6, 1, 2, 2]
RULES = [">", "<=", ">=", "<", "=="]


class RandomLevel:
    """One random level and the host's changes while it plays."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)
        self.script: list[Op] = []
        self.zones = 0
        self.names = 0

    def name(self, prefix: str) -> str:
        self.names += 1
        return f"{prefix}{self.names}"

    def magnitude(self) -> Any:
        rng = self.rng
        pick = rng.random()
        if pick < 0.45:
            return float(rng.randint(-4, 12))
        if pick < 0.85:
            return round(rng.uniform(-20, 60), rng.randint(1, 6))
        if pick < 0.95:
            return rng.choice([0.0, -0.0, 1.0, 0.5, 2.0, 10.0, 1e-300, 1e300, 171.0, 7.5e15])
        return to_wire(rng.choice([math.inf, -math.inf, math.nan]))

    def polarity(self) -> Any:
        return self.rng.choice(["positive"] * 5 + ["negative"] * 3 + ["neutral", 7])

    def new_zone(self) -> int:
        self.script.append(["zone", self.name("z"), self.zones])
        self.zones += 1
        return self.zones - 1

    def charge(self, zone: int) -> None:
        self.script.append(["charge", zone, self.magnitude(), self.polarity(), self.name("c")])

    def agent(self, zone: int, refill: bool = False) -> None:
        kind = self.rng.choices(KINDS, KIND_WEIGHTS)[0]
        arguments: list[Any] = []
        if kind == "equals_gate":
            arguments = [self.magnitude()]
        elif kind == "inequality_gate":
            arguments = [self.magnitude(), self.rng.choice(RULES)]
        placing = [zone, PLACING[kind], self.name("a"), *arguments]
        self.script.append(["place", *placing])
        if refill:
            self.script.append(["refill", placing[2], *placing])

    def build(self) -> None:
        rng = self.rng
        root = self.new_zone()
        for _ in range(rng.randint(0, 4)):
            parent = rng.randrange(self.zones)
            zone = self.new_zone()
            self.script.append(["sub", parent, zone])
        for zone in range(self.zones):
            for _ in range(rng.randint(0, 4)):
                self.charge(zone)
            for _ in range(rng.randint(0, 3)):
                self.agent(zone, refill=rng.random() < 0.1)
        limit = rng.choice([[]] * 6 + [[1], [3], [12], [0]])
        self.script += [["json", root], ["level", root, *limit]]
        if limit == [0]:  # refused: the level is made again without a limit
            self.script.append(["level", root])

    def host_change(self) -> None:
        rng = self.rng
        zone = rng.randrange(self.zones)
        change = rng.randrange(15)
        if change == 0:
            self.charge(zone)
        elif change == 1:
            self.agent(zone)
        elif change == 2:
            new = self.new_zone()
            self.charge(new)
            self.script.append(["sub", zone, new])
        elif change == 3:  # may make a cycle, which the engine refuses
            self.script.append(["sub", zone, rng.randrange(self.zones)])
        elif change == 4:
            self.script.append(["set_zone", zone, "is_time_frozen", rng.random() < 0.5])
        elif change == 5:
            self.script.append(["set_zone", zone, "id", self.name("renamed")])
        elif change == 6:
            self.script.append(["set_level", "is_finished", False])
        elif change == 7:
            self.script.append(["set_level", "current_frame", rng.choice([0, 5, 995, 999, 2**31 - 1, -(2**31)])])
        elif change == 8:
            self.script.append(["json", zone])
        elif change == 9:
            self.script.append(["charges", zone])
        elif change == 10:
            self.script.append(["zone_save", zone])
        elif change == 11:
            self.script.append(["zone_reload", zone])
        elif change == 12:
            self.script.append(["save"])
        elif change == 13:
            self.script.append(["set_level", "max_frames", rng.choice([1, 8, 1000, 0, 2**31 - 1, 2**31])])
        else:
            self.script.append(["reload"])
            # The walk of the loaded level numbers its zones anew, root first;
            # new zones take the numbers after it.
            self.script.append(["state"])
            self.zones = 1

    def make(self) -> list[Op]:
        self.build()
        for _ in range(self.rng.randint(0, 6)):
            self.script.append([self.rng.choice(["play", "play", "patches"]), self.rng.randint(1, 5)])
            for _ in range(self.rng.randint(1, 3)):
                self.host_change()
        self.script += [["play", 40], ["set_level", "current_frame", 998], ["play", 5], ["frame"],
                        ["state"], ["save"]]
        return self.script


def random_script(seed: int) -> list[Op]:
    return RandomLevel(seed).make()


def engine_path() -> Path:
    return REPO / "build" / "web" / "qor_engine.js"

