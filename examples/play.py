#!/usr/bin/env python3
"""Play a qor_engine level file and narrate it, one line per frame.

    python examples/play.py [LEVEL_FILE] [--json] [--save-at N FILE] [--resume SAVE]
                            [--max-frames N]
    python examples/play.py --check FILE...

LEVEL_FILE defaults to levels/tutorial.json next to this script; the level
file format is described in docs/levels.md. With --json the raw frame texts are
printed instead, exactly as the engine returns them, one per line.

--save-at N FILE stops after frame N (0 or more; or at the level's end, if
that comes first) and writes the level in play to FILE, whole or not at all:
a failed write leaves FILE as it was. --resume SAVE plays on from such a
file, frame numbers continuing; give the LEVEL_FILE too to have its "refill"
agents placed again after they act, as in the first part (its zones must
match the save's). --max-frames N sets the engine's frame limit (1 to
2**31 - 1; default 1000, or the limit kept in the save).

--check FILE... checks level files without playing them: "FILE: ok" for a
good one, one line "FILE: PLACE: PROBLEM" for every problem of the others.

The program has three parts:
  * a loader that reads a level file and validates it into plain data
    (ChargeDef, AgentDef, ZoneDef, Level), or raises LevelError listing
    every problem;
  * a builder that turns that data into qor_engine.Environment objects and a
    player that runs a NarrativeSequencer over them to the end;
  * a narrator that turns each frame into a readable line.

Exit status: 0 when the level was played to its end (resolved or stopped by
the engine's frame limit) or saved as asked, or every checked file is good;
2 when a level file or the save to resume from is unusable (one line on
stderr says why; --check lists every problem on stdout); 1 when the engine
fails while playing or the save cannot be written.

A level file may be at most MAX_LEVEL_BYTES (8 MiB) long, a save
MAX_SAVE_BYTES (64 MiB); longer ones are refused before they are read.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import difflib
import errno
import functools
import json
import math
import os
import secrets
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Final, Literal, NoReturn, cast

import qor_engine

if TYPE_CHECKING:
    from qor_engine import FrameResponse, ZoneJson

PROGRAM: Final = "play.py"
DEFAULT_LEVEL: Final = Path(__file__).resolve().parent / "levels" / "tutorial.json"

EXIT_PLAYED: Final = 0
EXIT_ENGINE_FAILED: Final = 1
EXIT_BAD_LEVEL: Final = 2
EXIT_OUTPUT_CLOSED: Final = 1


# --------------------------------------------------------------------------
# Level data
# --------------------------------------------------------------------------

Polarity = Literal["positive", "negative", "neutral"]
Rule = Literal["<", ">", "<=", ">="]

POLARITIES: Final[tuple[Polarity, ...]] = ("positive", "negative", "neutral")
RULES: Final[tuple[Rule, ...]] = ("<", ">", "<=", ">=")

# Every agent kind a level may place; the name follows the module's add_* method.
AGENT_KINDS: Final[tuple[str, ...]] = (
    "plus",
    "minus",
    "multiply",
    "divide",
    "power",
    "root",
    "abs",
    "factorial",
    "modulo",
    "log",
    "chronomancer",
    "equals_gate",
    "inequality_gate",
)
GATE_KINDS: Final = frozenset({"equals_gate", "inequality_gate"})


@dataclass(frozen=True)
class ChargeDef:
    magnitude: float
    polarity: Polarity
    id: str


@dataclass(frozen=True)
class AgentDef:
    kind: str
    id: str
    target: float | None = None  # gates only
    rule: Rule | None = None  # inequality_gate only
    refill: bool = False  # the host places the agent again each time it acts


@dataclass(frozen=True)
class ZoneDef:
    id: str
    charges: tuple[ChargeDef, ...]
    agents: tuple[AgentDef, ...]
    zones: tuple[ZoneDef, ...]


@dataclass(frozen=True)
class Level:
    title: str | None
    description: str | None
    root: ZoneDef


class LevelError(Exception):
    """The problems of a level file, worded for the level's designer.

    `problems` lists every problem found, each with its place in the file;
    the message is the first of them, saying how many more there are.
    """

    def __init__(self, problems: str | Sequence[str]) -> None:
        self.problems: list[str] = [problems] if isinstance(problems, str) else list(problems)
        assert self.problems, "a LevelError names at least one problem"
        super().__init__(self.summary())

    def summary(self) -> str:
        more = len(self.problems) - 1
        if more == 0:
            return self.problems[0]
        return f"{self.problems[0]} (and {more} more; {PROGRAM} --check lists them all)"


# --------------------------------------------------------------------------
# Loader: level file -> Level
# --------------------------------------------------------------------------

LEVEL_FIELDS: Final = frozenset({"title", "description", "zone", "charges", "agents", "zones"})
ZONE_FIELDS: Final = frozenset({"zone", "charges", "agents", "zones"})
AGENT_FIELDS: Final = frozenset({"kind", "id", "target", "rule", "refill"})
MAX_DEPTH: Final = 100  # zones nested deeper are refused, keeping every walk shallow
MAX_LEVEL_BYTES: Final = 8 * 1024 * 1024  # longer files are refused before they are read
LARGEST_DOUBLE: Final = sys.float_info.max

# The module's method placing each kind; the name of the kind follows it.
PLACING_METHODS: Final[dict[str, str]] = {
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

# What a designer may write for a kind besides the agent's name in frames
# and the placing method: its symbol, or a word for its spell.
KIND_ALIASES: Final[dict[str, str]] = {
    "+": "plus", "add": "plus", "sum": "plus", "addition": "plus",
    "-": "minus", "\u2212": "minus", "subtract": "minus", "difference": "minus",
    "*": "multiply", "\u00d7": "multiply", "times": "multiply", "product": "multiply",
    "/": "divide", "\u00f7": "divide", "quotient": "divide", "division": "divide",
    "^": "power", "**": "power", "pow": "power", "exponent": "power",
    "sqrt": "root", "\u221a": "root", "radical": "root",
    "|x|": "abs", "absolute": "abs", "absolute_value": "abs",
    "!": "factorial",
    "%": "modulo", "mod": "modulo", "remainder": "modulo",
    "log10": "log", "ln": "log", "logarithm": "log",
    "=": "equals_gate", "==": "equals_gate", "equals": "equals_gate", "gate": "equals_gate",
    "<": "inequality_gate", ">": "inequality_gate", "<=": "inequality_gate",
    ">=": "inequality_gate", "inequality": "inequality_gate",
}


def describe(value: object) -> str:
    """The JSON name of a value's type, for error messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true/false"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def quoted(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def shown(value: object) -> str:
    """A value as a message shows it: text quoted, anything else by its type."""
    return quoted(value) if isinstance(value, str) else describe(value)


def is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def did_you_mean(hint: str | None) -> str:
    return f" (did you mean {quoted(hint)}?)" if hint else ""


def kind_key(name: str) -> str:
    """A kind as written, folded: "Plus Magician", "add_plus_magician" -> "plus_magician"."""
    key = "_".join(name.lower().replace("-", " ").split())
    for prefix in ("add_", "the_"):
        key = key.removeprefix(prefix)
    return key


@functools.cache
def agent_names() -> dict[str, str]:
    """The name frames give each kind's agents ("Plus Magician", "The Judge"), by kind."""
    zone = qor_engine.Environment("names")
    for kind in AGENT_KINDS:
        PLACERS[kind](zone, AgentDef(kind, kind, target=0.0, rule="<"))
    agents = cast("ZoneJson", json.loads(zone.to_json()))["agents"]
    return {kind: agent["name"] for kind, agent in zip(AGENT_KINDS, agents, strict=True)}


def kind_meant(written: str) -> str | None:
    """The kind a designer most likely meant by an unknown kind, if any."""
    known: dict[str, str] = {}
    for kind, name in agent_names().items():
        known[kind_key(name)] = kind
        known[kind_key(PLACING_METHODS[kind])] = kind
        known[kind_key(kind)] = kind
    for key, kind in KIND_ALIASES.items():
        known[kind_key(key)] = kind
    for key in (kind_key(written), kind_key(written).removesuffix("_magician")):
        if key in known:
            return known[key]
    close = difflib.get_close_matches(kind_key(written), list(known), n=1)
    return known[close[0]] if close else None


class JsonObject(dict[str, object]):
    """A parsed JSON object that remembers the keys its text gave more than once."""

    repeated: tuple[str, ...] = ()


def json_object(pairs: list[tuple[str, object]]) -> JsonObject:
    obj = JsonObject(pairs)
    if len(obj) < len(pairs):
        counts = collections.Counter(key for key, _ in pairs)
        obj.repeated = tuple(key for key, count in counts.items() if count > 1)
    return obj


def unencodable(text: str) -> str | None:
    """The first character of `text` that has no UTF-8 form (a lone surrogate), escaped."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return json.dumps(text[error.start])
    return None


class Loader:
    """Validates the parsed JSON of one level file into a Level.

    Every problem is noted with its place, and checking goes on past it, so
    one run finds them all; the level is only made when there are none.
    Each check returns the checked value, or None after noting a problem.
    """

    def __init__(self) -> None:
        self.zone_ids: set[str] = set()
        self.agent_ids: set[str] = set()
        self.problems: list[str] = []

    def problem(self, where: str, message: str) -> None:
        self.problems.append(f"{where}: {message}")

    def level(self, data: object) -> Level | None:
        where = "level"
        obj = self.expect_object(where, data, '{"zone": "root", "charges": [...], "agents": [...]}')
        if obj is None:
            return None
        self.check_fields(where, obj, LEVEL_FIELDS)
        title = self.optional_text(where, obj, "title")
        description = self.optional_text(where, obj, "description")
        zone_part = {key: value for key, value in obj.items() if key in ZONE_FIELDS}
        root = self.zone(where, zone_part, depth=1)
        if root is None or self.problems:
            return None
        return Level(title, description, root)

    # --- the parts of a level -------------------------------------------------

    def zone(self, where: str, obj: dict[str, object], depth: int) -> ZoneDef | None:
        if depth > MAX_DEPTH:
            self.problem(where, f"zones are nested more than {MAX_DEPTH} deep")
            return None
        found = len(self.problems)
        self.check_fields(where, obj, ZONE_FIELDS)
        zone_id = self.expect_id(where, obj, "zone")
        if zone_id is not None:
            if zone_id in self.zone_ids:  # its place stays the name of what is inside it
                self.problem(where, f"zone id {quoted(zone_id)} is used twice")
            else:
                self.zone_ids.add(zone_id)
                where = f"zone {quoted(zone_id)}"
        charges = [
            self.charge(f"{where}: charge {n}", item)
            for n, item in enumerate(self.expect_list(where, obj, "charges"), start=1)
        ]
        agents = [
            self.agent(f"{where}: agent {n}", item)
            for n, item in enumerate(self.expect_list(where, obj, "agents"), start=1)
        ]
        zones = [
            self.sub_zone(f"{where}: zone {n}", item, depth + 1)
            for n, item in enumerate(self.expect_list(where, obj, "zones"), start=1)
        ]
        if zone_id is None or len(self.problems) > found:
            return None
        return ZoneDef(
            zone_id,
            tuple(cast(list[ChargeDef], charges)),
            tuple(cast(list[AgentDef], agents)),
            tuple(cast(list[ZoneDef], zones)),
        )

    def sub_zone(self, where: str, item: object, depth: int) -> ZoneDef | None:
        obj = self.expect_object(where, item, '{"zone": "inner", ...}')
        return None if obj is None else self.zone(where, obj, depth)

    def charge(self, where: str, item: object) -> ChargeDef | None:
        if not isinstance(item, list) or len(cast(list[object], item)) != 3:
            got = describe(item)
            if isinstance(item, list):
                got += f" of {len(cast(list[object], item))}"
            self.problem(
                where, f'expected [magnitude, polarity, id] like [3, "positive", "c1"], got {got}'
            )
            return None
        magnitude, polarity, charge_id = cast(list[object], item)
        found = len(self.problems)
        number = self.expect_finite(where, "magnitude", magnitude)
        if number is not None and number < 0:
            self.problem(
                where, f"magnitude must not be negative (the polarity is the sign), not {number:g}"
            )
        if polarity not in POLARITIES:
            self.problem(
                where, f'polarity must be "positive", "negative" or "neutral", not {shown(polarity)}'
            )
        if not isinstance(charge_id, str):
            self.problem(where, f"id must be a non-empty string, not {describe(charge_id)}")
        elif not charge_id.strip():
            self.problem(where, "id must not be empty")
        else:
            self.expect_text(where, "id", charge_id)
        if len(self.problems) > found:
            return None
        return ChargeDef(cast(float, number), cast(Polarity, polarity), cast(str, charge_id))

    def agent(self, where: str, item: object) -> AgentDef | None:
        obj = self.expect_object(where, item, '{"kind": "plus", "id": "p1"}')
        if obj is None:
            return None
        found = len(self.problems)
        self.check_fields(where, obj, AGENT_FIELDS)
        kind = self.agent_kind(where, obj)
        agent_id = self.expect_id(where, obj, "id")
        if agent_id is not None:
            if agent_id in self.agent_ids:
                self.problem(where, f"agent id {quoted(agent_id)} is used twice")
            self.agent_ids.add(agent_id)
        target = self.gate_target(where, obj, kind)
        rule = self.gate_rule(where, obj, kind)
        refill = obj.get("refill", False)
        if not isinstance(refill, bool):
            self.problem(where, f'field "refill" must be true or false, not {describe(refill)}')
        if kind is None or agent_id is None or len(self.problems) > found:
            return None
        return AgentDef(kind, agent_id, target, rule, cast(bool, refill))

    def agent_kind(self, where: str, obj: dict[str, object]) -> str | None:
        if not self.required(where, obj, "kind"):
            return None
        kind = obj["kind"]
        if not isinstance(kind, str):
            self.problem(where, f'field "kind" must be a string, not {describe(kind)}')
            return None
        if kind not in AGENT_KINDS:
            self.problem(where, f"unknown kind {quoted(kind)}{did_you_mean(kind_meant(kind))}")
            return None
        return kind

    def gate_target(self, where: str, obj: dict[str, object], kind: str | None) -> float | None:
        """A gate's target. For an unknown kind only the value is checked."""
        if kind is not None and kind not in GATE_KINDS:
            if "target" in obj:
                self.problem(where, f'field "target" is only for gates, not for a {kind} agent')
            return None
        if kind is None and "target" not in obj:
            return None
        if not self.required(where, obj, "target"):
            return None
        return self.expect_finite(where, 'field "target"', obj["target"])

    def gate_rule(self, where: str, obj: dict[str, object], kind: str | None) -> Rule | None:
        """An inequality gate's rule. For an unknown kind only the value is checked."""
        if kind is not None and kind != "inequality_gate":
            if "rule" in obj:
                self.problem(where, f'field "rule" is only for inequality_gate, not for {kind}')
            return None
        if kind is None and "rule" not in obj:
            return None
        if not self.required(where, obj, "rule"):
            return None
        rule = obj["rule"]
        if rule not in RULES:
            self.problem(where, f'rule must be "<", ">", "<=" or ">=", not {shown(rule)}')
            return None
        return rule

    # --- checks of single values ---------------------------------------------

    def check_fields(self, where: str, obj: dict[str, object], allowed: frozenset[str]) -> None:
        for key in getattr(obj, "repeated", ()):
            self.problem(where, f"field {quoted(key)} is given twice")
        for key in obj:
            if key not in allowed:
                hint = difflib.get_close_matches(key, sorted(allowed), n=1)
                self.problem(where, f"unknown field {quoted(key)}{did_you_mean(hint[0] if hint else None)}")

    def required(self, where: str, obj: dict[str, object], key: str) -> bool:
        """Whether the field is given; a missing one is noted."""
        if key not in obj:
            self.problem(where, f"missing field {quoted(key)}")
            return False
        return True

    def expect_object(self, where: str, value: object, example: str) -> dict[str, object] | None:
        if not isinstance(value, dict):
            self.problem(where, f"expected an object like {example}, got {describe(value)}")
            return None
        return cast(dict[str, object], value)

    def expect_list(self, where: str, obj: dict[str, object], key: str) -> list[object]:
        """The field's list, empty when it is missing or (noted) not a list."""
        value = obj.get(key, [])
        if not isinstance(value, list):
            self.problem(where, f'field "{key}" must be a list, not {describe(value)}')
            return []
        return cast(list[object], value)

    def expect_text(self, where: str, what: str, value: str) -> str | None:
        bad = unencodable(value)
        if bad is not None:
            self.problem(where, f"{what} holds {bad}, a lone surrogate, which has no UTF-8 form")
            return None
        return value

    def expect_id(self, where: str, obj: dict[str, object], key: str) -> str | None:
        if not self.required(where, obj, key):
            return None
        value = obj[key]
        if not isinstance(value, str):
            self.problem(where, f'field "{key}" must be a string, not {describe(value)}')
            return None
        if not value.strip():
            self.problem(where, f'field "{key}" must not be empty')
            return None
        return self.expect_text(where, f'field "{key}"', value)

    def expect_finite(self, where: str, what: str, value: object) -> float | None:
        if not is_number(value):
            self.problem(where, f"{what} must be a number, not {describe(value)}")
            return None
        # Compared exactly: an integer too large for a double is refused, not rounded.
        if not abs(cast(float, value)) <= LARGEST_DOUBLE:
            self.problem(where, f"{what} must be a finite number, at most {LARGEST_DOUBLE!r} in size")
            return None
        return float(cast(float, value))

    def optional_text(self, where: str, obj: dict[str, object], key: str) -> str | None:
        value = obj.get(key)
        if value is None:
            return None
        if not isinstance(value, str):
            self.problem(where, f'field "{key}" must be a string, not {describe(value)}')
            return None
        return self.expect_text(where, f'field "{key}"', value)


def reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not allowed in a level file")


def read_level_text(path: Path) -> str:
    """The file's text; a file longer than MAX_LEVEL_BYTES is refused unread."""
    too_long = f"longer than {MAX_LEVEL_BYTES:,} bytes, the most a level file may hold"
    try:
        with path.open("rb") as file:
            if os.fstat(file.fileno()).st_size > MAX_LEVEL_BYTES:
                raise LevelError(too_long)
            data = file.read(MAX_LEVEL_BYTES + 1)  # files that do not know their size
    except FileNotFoundError:
        raise LevelError("no such file") from None
    except IsADirectoryError:
        raise LevelError("is a directory, not a level file") from None
    except OSError as error:
        raise LevelError(f"cannot read: {error.strerror or error}") from None
    if len(data) > MAX_LEVEL_BYTES:
        raise LevelError(too_long)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise LevelError(f"not UTF-8 text ({error.reason} at byte {error.start})") from None


def parse_level_json(text: str) -> object:
    """The JSON value of a level file's text, objects as JsonObject; problems raise LevelError."""
    try:
        return json.loads(text, parse_constant=reject_constant, object_pairs_hook=json_object)
    except json.JSONDecodeError as error:
        raise LevelError(
            f"invalid JSON at line {error.lineno}, column {error.colno}: {error.msg}"
        ) from None
    except ValueError as error:
        raise LevelError(f"invalid JSON: {error}") from None
    except RecursionError:
        raise LevelError("invalid JSON: nested too deeply") from None


def parse_level(text: str) -> Level:
    """Validates the text of a level file; its problems raise one LevelError listing them all."""
    if not text.strip():
        raise LevelError("the file is empty")
    loader = Loader()
    level = loader.level(parse_level_json(text))
    if loader.problems:
        raise LevelError(loader.problems)
    assert level is not None
    return level


def load_level(path: Path) -> Level:
    """Reads and validates a level file; its problems raise one LevelError listing them all."""
    return parse_level(read_level_text(path))


# --------------------------------------------------------------------------
# Builder and player: Level -> Environment objects -> frame texts
# --------------------------------------------------------------------------

PlaceAgent = Callable[[qor_engine.Environment, AgentDef], None]


def place_inequality_gate(zone: qor_engine.Environment, agent: AgentDef) -> None:
    assert agent.target is not None and agent.rule is not None
    zone.add_inequality_gate(agent.id, agent.target, agent.rule)


def place_equals_gate(zone: qor_engine.Environment, agent: AgentDef) -> None:
    assert agent.target is not None
    zone.add_equals_gate(agent.id, agent.target)


PLACERS: Final[dict[str, PlaceAgent]] = {
    "plus": lambda zone, agent: zone.add_plus_magician(agent.id),
    "minus": lambda zone, agent: zone.add_minus_magician(agent.id),
    "multiply": lambda zone, agent: zone.add_multiply_magician(agent.id),
    "divide": lambda zone, agent: zone.add_divide_magician(agent.id),
    "power": lambda zone, agent: zone.add_power_sorcerer(agent.id),
    "root": lambda zone, agent: zone.add_root_magician(agent.id),
    "abs": lambda zone, agent: zone.add_abs_magician(agent.id),
    "factorial": lambda zone, agent: zone.add_factorial_magician(agent.id),
    "modulo": lambda zone, agent: zone.add_modulo_magician(agent.id),
    "log": lambda zone, agent: zone.add_log_magician(agent.id),
    "chronomancer": lambda zone, agent: zone.add_chronomancer(agent.id),
    "equals_gate": place_equals_gate,
    "inequality_gate": place_inequality_gate,
}

ENGINE_POLARITY: Final[dict[Polarity, qor_engine.ChargePolarity]] = {
    "positive": qor_engine.ChargePolarity.POSITIVE,
    "negative": qor_engine.ChargePolarity.NEGATIVE,
    "neutral": qor_engine.ChargePolarity.NEUTRAL,
}


@dataclass(frozen=True)
class Placement:
    """An agent and the zone it stands in."""

    zone: qor_engine.Environment
    agent: AgentDef

    def place(self) -> None:
        PLACERS[self.agent.kind](self.zone, self.agent)


@dataclass(frozen=True)
class BuiltLevel:
    root: qor_engine.Environment
    refills: dict[str, Placement]  # by agent id


def build(level: Level) -> BuiltLevel:
    refills: dict[str, Placement] = {}

    def build_zone(zone_def: ZoneDef) -> qor_engine.Environment:
        zone = qor_engine.Environment(zone_def.id)
        for charge in zone_def.charges:
            zone.add_charge(charge.magnitude, ENGINE_POLARITY[charge.polarity], charge.id)
        for agent in zone_def.agents:
            placement = Placement(zone, agent)
            placement.place()
            if agent.refill:
                refills[agent.id] = placement
        for sub_zone_def in zone_def.zones:
            zone.add_sub_environment(build_zone(sub_zone_def))
        return zone

    return BuiltLevel(build_zone(level.root), refills)


def parse_frame(text: str) -> FrameResponse:
    # The frame's members are typed by the TypedDicts in qor_engine's stubs;
    # this program's levels are at most MAX_DEPTH deep, well within what
    # json.loads can nest.
    return cast("FrameResponse", json.loads(text))


def play(built: BuiltLevel) -> Iterator[tuple[str, FrameResponse]]:
    """Plays the level to its end, yielding each frame's text and its parse.

    An agent marked "refill" is placed again, in its zone and under its id,
    after every frame in which it acted, before the next frame runs.
    """
    return play_on(qor_engine.NarrativeSequencer(built.root), built.refills)


def play_on(
    sequencer: qor_engine.NarrativeSequencer,
    refills: dict[str, Placement],
    last_frame: int | None = None,
) -> Iterator[tuple[str, FrameResponse]]:
    """Plays a level in play on, as play() does, to its end or until frame
    `last_frame` has been played."""
    while not sequencer.is_finished:
        if last_frame is not None and sequencer.current_frame >= last_frame:
            return
        text: str = sequencer.next_frame()
        frame = parse_frame(text)
        event = frame["meta"]["last_event"]
        if event is not None and event["type"] == "CAST_SPELL":
            refill = refills.get(event["visual_id"])
            if refill is not None:
                refill.place()
        yield text, frame


def refills_in(places: Sequence[tuple[str | None, qor_engine.Environment]], level: Level) -> dict[str, Placement]:
    """The level's "refill" agents, placed in the zones of a resumed level that
    still exist (zone ids are unique in a level file); `places` are the
    resumed level's zones with their parents' ids."""
    zones: dict[str, qor_engine.Environment] = {}
    for _, place in places:
        zones.setdefault(place.id, place)
    refills: dict[str, Placement] = {}
    pending = [level.root]
    while pending:
        zone_def = pending.pop()
        pending.extend(zone_def.zones)
        zone = zones.get(zone_def.id)
        for agent in zone_def.agents:
            if agent.refill and zone is not None:
                refills[agent.id] = Placement(zone, agent)
    return refills


# --------------------------------------------------------------------------
# Narrator: frame -> readable line
# --------------------------------------------------------------------------

SIGNS: Final[dict[str, str]] = {"POSITIVE": "+", "NEGATIVE": "-", "NEUTRAL": "~"}
OTHER_SIGN: Final = "?"  # a polarity value that is none of the three named ones


def format_magnitude(magnitude: float) -> str:
    if math.isnan(magnitude):
        return "nan"
    if math.isinf(magnitude):
        return "inf" if magnitude > 0 else "-inf"
    if magnitude.is_integer() and abs(magnitude) < 1e15:
        return f"{magnitude:.1f}"
    return f"{magnitude:.6g}"


def format_charge(charge: qor_engine.Charge) -> str:
    """A charge as its polarity's sign and its magnitude: "+3.0", "~2.5", "?1.0".

    The polarity is the sign. A magnitude below zero (which only a host or a
    save can make) is shown in brackets after it, "-(-1.0)", as the value is
    the polarity applied to the magnitude; -0.0 is shown as 0.0.
    """
    sign = SIGNS.get(charge.polarity.name, OTHER_SIGN)
    magnitude = charge.magnitude
    if magnitude < 0:
        return f"{sign}({format_magnitude(magnitude)})"
    return sign + format_magnitude(abs(magnitude))


def format_charges(charges: Sequence[qor_engine.Charge]) -> str:
    """Charges as "[ +3.0 -2.5 ~1.0 ]": + positive, - negative, ~ neutral, ? other."""
    shown = [format_charge(charge) for charge in charges]
    return "[ " + " ".join(shown) + " ]" if shown else "[ ]"


def narrate(frame: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    meta = frame["meta"]
    message = meta["message"]
    if meta["status"] == "ERROR":
        # The limit's answer is no frame of its own: its frame_index is that
        # of the last running frame, which has its line already.
        label = "limit"
        message = "ERROR: " + message
    else:
        label = f"frame {meta['frame_index']:>4}"
    return f"{label:<10}  {message:<48} {format_charges(root_charges)}"


def waiting_agents(zone: ZoneJson) -> list[str]:
    """The agents still standing anywhere in the zone tree, as text, depth first."""
    found: list[str] = []
    pending = [zone]
    while pending:  # no recursion: a resumed save may hold a deep tree
        visited = pending.pop()
        found.extend(
            f"{agent['name']} {quoted(agent['visual_id'])} in {visited['id']}"
            for agent in visited["agents"]
        )
        pending.extend(reversed(visited["sub_environments"]))
    return found


def still_standing(zone: ZoneJson) -> str:
    waiting = waiting_agents(zone)
    return f"; still standing: {', '.join(waiting)}" if waiting else ""


def frame_count(frames: int) -> str:
    return f"{frames} frame{'' if frames == 1 else 's'}"


def summarize(last: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    meta = last["meta"]
    count = frame_count(meta["frame_index"])
    if meta["status"] == "ERROR":
        head = f"Stopped by the frame limit after {count}"
    else:
        head = f"Resolved after {count}"
    return f"{head}; root holds {format_charges(root_charges)}{still_standing(last)}"


def summarize_ended(sequencer: qor_engine.NarrativeSequencer) -> str:
    """The closing line for a save of a level that had ended before it was saved."""
    root = sequencer.root_environment
    tree = cast("ZoneJson", json.loads(root.to_json()))
    return (
        f"The level in this save had already ended, after {frame_count(sequencer.current_frame)}; "
        f"root holds {format_charges(root.charges)}{still_standing(tree)}"
    )


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class SaveAt:
    """--save-at N FILE: stop after frame N and write the save to FILE."""

    frame: int
    path: Path


LARGEST_FRAME_LIMIT: Final = 2**31 - 1


def frame_limit(text: str) -> int:
    """--max-frames N: a whole number from 1 to 2**31 - 1."""
    try:
        limit = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"N must be a whole number, not {text!r}") from None
    if not 1 <= limit <= LARGEST_FRAME_LIMIT:
        raise argparse.ArgumentTypeError(f"N must be from 1 to {LARGEST_FRAME_LIMIT}, not {limit}")
    return limit


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Play a qor_engine level and narrate it frame by frame.",
        epilog="The level file format is described in docs/levels.md.",
    )
    parser.add_argument(
        "level",
        nargs="?",
        type=Path,
        default=None,
        metavar="LEVEL_FILE",
        help="level file to play (default: the tutorial level); with --resume, "
        "the level the save came from, for its refill agents",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the raw frame texts, one per line, instead of the narration",
    )
    parser.add_argument(
        "--save-at",
        nargs=2,
        metavar=("N", "FILE"),
        help="stop after frame N and write the level in play to FILE",
    )
    parser.add_argument(
        "--resume",
        type=Path,
        metavar="SAVE",
        help=f"play on from a file written by --save-at (at most {MAX_SAVE_BYTES:,} bytes)",
    )
    parser.add_argument(
        "--max-frames",
        type=frame_limit,
        metavar="N",
        help="let the engine play at most N running frames (default: 1000, or the save's limit)",
    )
    parser.add_argument(
        "--check",
        nargs="+",
        type=Path,
        metavar="FILE",
        help="check level files without playing them, listing every problem of each",
    )
    arguments = parser.parse_args(argv)
    if arguments.check is not None and (
        arguments.level is not None
        or arguments.json
        or arguments.save_at is not None
        or arguments.resume is not None
        or arguments.max_frames is not None
    ):
        parser.error("--check takes level files only, no other option")
    if arguments.save_at is not None:
        frame, file = cast(list[str], arguments.save_at)
        try:
            last_frame = int(frame)
        except ValueError:
            parser.error(f"--save-at: N must be a frame number, not {frame!r}")
        if last_frame < 0:
            parser.error(f"--save-at: N must be a frame number, 0 or more, not {last_frame}")
        arguments.save_at = SaveAt(last_frame, Path(file))
    return arguments


def fail(path: Path, problem: str, status: int) -> int:
    print(f"{PROGRAM}: {path}: {problem}", file=sys.stderr)
    return status


# --- --check ------------------------------------------------------------------


def check_levels(paths: Sequence[Path]) -> int:
    """Prints "FILE: ok" for each good level file and "FILE: PLACE: PROBLEM"
    for every problem of the others."""
    all_good = True
    for path in paths:
        try:
            load_level(path)
        except LevelError as error:
            all_good = False
            for problem in error.problems:
                print(f"{path}: {problem}")
        else:
            print(f"{path}: ok")
    return EXIT_PLAYED if all_good else EXIT_BAD_LEVEL


# --- saves ----------------------------------------------------------------------

MAX_SAVE_BYTES: Final = 64 * 1024 * 1024  # longer saves are refused before they are read


class SaveError(Exception):
    """A save that cannot be resumed, worded for the player."""


def read_save(path: Path) -> bytes:
    """A save's bytes: a regular file of at most MAX_SAVE_BYTES, checked before it is read."""
    try:
        # Non-blocking, so that opening a FIFO does not wait for a writer.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise SaveError(error.strerror or str(error)) from None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise SaveError("is a directory, not a save")
        if not stat.S_ISREG(status.st_mode):
            raise SaveError("is not a regular file, so not a save")
        if status.st_size > MAX_SAVE_BYTES:
            raise SaveError(f"longer than {MAX_SAVE_BYTES:,} bytes, the most a save may hold")
        with os.fdopen(os.dup(descriptor), "rb") as file:
            data = file.read(MAX_SAVE_BYTES + 1)  # the file may have grown since
    except OSError as error:
        raise SaveError(error.strerror or str(error)) from None
    finally:
        os.close(descriptor)
    if len(data) > MAX_SAVE_BYTES:
        raise SaveError(f"longer than {MAX_SAVE_BYTES:,} bytes, the most a save may hold")
    return data


ZonePlace = tuple[str | None, qor_engine.Environment]  # the parent's id (None at the root), the zone


def zone_places(root: qor_engine.Environment) -> list[ZonePlace]:
    """Every place of a resumed level's zones, depth first, walked without
    recursion (a save loads only within the engine's work bound, so their
    number is bounded); trees deeper than a level file may be raise SaveError."""
    places: list[ZonePlace] = []
    pending: list[tuple[str | None, qor_engine.Environment, int]] = [(None, root, 1)]
    while pending:
        parent_id, zone, depth = pending.pop()
        if depth > MAX_DEPTH:
            raise SaveError(f"its zones are nested more than {MAX_DEPTH} deep, deeper than {PROGRAM} plays")
        places.append((parent_id, zone))
        zone_id = zone.id
        pending.extend((zone_id, sub_zone, depth + 1) for sub_zone in reversed(zone.sub_environments))
    return places


def load_save(path: Path) -> tuple[qor_engine.NarrativeSequencer, list[ZonePlace]]:
    """The level in play of a save that this program can play on, and its
    zones' places; SaveError otherwise."""
    try:
        sequencer = qor_engine.NarrativeSequencer.load(read_save(path))
        places = zone_places(sequencer.root_environment)
        sequencer.root_environment.to_json()  # every text of the tree is UTF-8
    except UnicodeDecodeError:
        raise SaveError("it holds an id that is not UTF-8 text") from None
    except MemoryError:
        raise SaveError("not enough memory to load it") from None
    except (ValueError, RuntimeError) as error:  # RecursionError is a RuntimeError
        raise SaveError(str(error) or type(error).__name__) from None
    return sequencer, places


def level_places(level: Level) -> set[tuple[str | None, str]]:
    """(parent id, zone id) for every zone of a level file; None as the root's parent."""
    places: set[tuple[str | None, str]] = set()
    pending: list[tuple[str | None, ZoneDef]] = [(None, level.root)]
    while pending:
        parent_id, zone = pending.pop()
        places.add((parent_id, zone.id))
        pending.extend((zone.id, sub_zone) for sub_zone in zone.zones)
    return places


def save_mismatch(places: list[ZonePlace], level: Level) -> str | None:
    """Why a save's zones do not fit a level file, or None: each zone of the
    save must stand where the file puts a zone of its id (zones that merged
    away are gone from the save, so the file may have more)."""
    in_level = level_places(level)
    level_ids = {zone_id for _, zone_id in in_level}
    for parent_id, zone in places:
        if (parent_id, zone.id) in in_level:
            continue
        if zone.id not in level_ids:
            return f"the save has a zone {quoted(zone.id)} that is not in the level file"
        if parent_id is None:
            return f"the save's root zone is {quoted(zone.id)}, not the level file's {quoted(level.root.id)}"
        return f"the save has zone {quoted(zone.id)} under {quoted(parent_id)}, the level file does not"
    return None


# --- playing ----------------------------------------------------------------------


@dataclass(frozen=True)
class Game:
    """A level ready to play: from a level file, or resumed from a save."""

    title: str
    sequencer: qor_engine.NarrativeSequencer
    refills: dict[str, Placement]


def new_game(level_path: Path, max_frames: int | None) -> Game:
    level = load_level(level_path)
    built = build(level)
    sequencer = (
        qor_engine.NarrativeSequencer(built.root)
        if max_frames is None
        else qor_engine.NarrativeSequencer(built.root, max_frames=max_frames)
    )
    return Game(level.title or level_path.stem, sequencer, built.refills)


def resumed_game(save_path: Path, level_path: Path | None, max_frames: int | None) -> Game:
    """Raises SaveError for an unusable save, LevelError for the level file or
    one whose zones do not match the save."""
    sequencer, places = load_save(save_path)
    if max_frames is not None:
        sequencer.max_frames = max_frames  # else the limit the save keeps
    title, refills = save_path.stem, {}
    if level_path is not None:
        level = load_level(level_path)
        mismatch = save_mismatch(places, level)
        if mismatch is not None:
            raise LevelError(f"not the level of {save_path}: {mismatch}")
        title = level.title or level_path.stem
        refills = refills_in(places, level)
    return Game(f"{title}, resumed after frame {sequencer.current_frame}", sequencer, refills)


def write_save(path: Path, data: bytes) -> None:
    """Writes a save whole or not at all: to a new file in the same folder,
    flushed to the disk, then renamed over `path`. When anything fails the
    file at `path` is as before and the new file is removed."""
    target = path.resolve()  # through a symbolic link, to the file it names
    if target.exists() and not target.is_file():
        # A rename would replace a device, a FIFO or a folder with a file.
        raise OSError(errno.EEXIST, "it is there and not a regular file, so not replaced")
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(6)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):  # the rename itself, on file systems that can
        folder = os.open(target.parent, os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)


def run(
    level_path: Path | None,
    raw_json: bool,
    save_at: SaveAt | None = None,
    resume: Path | None = None,
    max_frames: int | None = None,
) -> int:
    if resume is not None:
        try:
            game = resumed_game(resume, level_path, max_frames)
        except SaveError as error:
            return fail(resume, f"cannot resume: {error}", EXIT_BAD_LEVEL)
        except LevelError as error:
            assert level_path is not None
            return fail(level_path, str(error), EXIT_BAD_LEVEL)
        source = resume
    else:
        source = level_path or DEFAULT_LEVEL
        try:
            game = new_game(source, max_frames)
        except LevelError as error:
            return fail(source, str(error), EXIT_BAD_LEVEL)
    root = game.sequencer.root_environment
    try:
        if not raw_json:
            print(f"== {game.title} ==")
            if game.sequencer.is_finished:
                print(summarize_ended(game.sequencer))
        last: FrameResponse | None = None
        last_frame = save_at.frame if save_at is not None else None
        for text, frame in play_on(game.sequencer, game.refills, last_frame):
            last = frame
            print(text if raw_json else narrate(frame, root.charges))
    except (RuntimeError, ValueError, MemoryError) as error:
        return fail(
            source,
            f"the engine failed: {str(error) or type(error).__name__}",
            EXIT_ENGINE_FAILED,
        )
    if save_at is not None:
        try:
            write_save(save_at.path, game.sequencer.save())
        except OSError as error:
            return fail(save_at.path, f"cannot write the save: {error.strerror or error}", EXIT_ENGINE_FAILED)
        if not raw_json:
            print(
                f"Saved after frame {game.sequencer.current_frame} to {save_at.path}; "
                f"root holds {format_charges(root.charges)}"
            )
    if last is not None and not raw_json and game.sequencer.is_finished:
        print(summarize(last, root.charges))
    return EXIT_PLAYED


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    try:
        if arguments.check is not None:
            status = check_levels(cast(list[Path], arguments.check))
        else:
            status = run(
                cast(Path | None, arguments.level),
                cast(bool, arguments.json),
                cast(SaveAt | None, arguments.save_at),
                cast(Path | None, arguments.resume),
                cast(int | None, arguments.max_frames),
            )
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (e.g. "| head"): stop quietly, without the
        # interpreter complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OUTPUT_CLOSED
    return status


if __name__ == "__main__":
    sys.exit(main())
