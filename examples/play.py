#!/usr/bin/env python3
"""Play a qor_engine level file and narrate it, one line per frame.

    python examples/play.py [LEVEL_FILE] [--json] [--save-at N FILE] [--resume SAVE]

LEVEL_FILE defaults to levels/tutorial.json next to this script; the level
file format is described in LEVELS.md. With --json the raw frame texts are
printed instead, exactly as the engine returns them, one per line.

--save-at N FILE stops after frame N (or at the level's end, if that comes
first) and writes the level in play to FILE. --resume SAVE plays on from such
a file, frame numbers continuing; give the LEVEL_FILE too to have its
"refill" agents placed again after they act, as in the first part.

The program has three parts:
  * a loader that reads a level file and validates it into plain data
    (ChargeDef, AgentDef, ZoneDef, Level), or raises LevelError;
  * a builder that turns that data into qor_engine.Environment objects and a
    player that runs a NarrativeSequencer over them to the end;
  * a narrator that turns each frame into a readable line.

Exit status: 0 when the level was played to its end (resolved or stopped by
the engine's frame limit) or saved as asked, 2 when the level file or the
save to resume from is unusable (one line on stderr says why), 1 when the
engine fails while playing or the save cannot be written.

A level file may be at most MAX_LEVEL_BYTES (8 MiB) long; a longer one is
refused before it is read.
"""

from __future__ import annotations

import argparse
import collections
import difflib
import json
import math
import os
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
    """A problem with a level file, worded for the level's designer."""


# --------------------------------------------------------------------------
# Loader: level file -> Level
# --------------------------------------------------------------------------

LEVEL_FIELDS: Final = frozenset({"title", "description", "zone", "charges", "agents", "zones"})
ZONE_FIELDS: Final = frozenset({"zone", "charges", "agents", "zones"})
AGENT_FIELDS: Final = frozenset({"kind", "id", "target", "rule", "refill"})
MAX_DEPTH: Final = 100  # zones nested deeper are refused, keeping every walk shallow
MAX_LEVEL_BYTES: Final = 8 * 1024 * 1024  # longer files are refused before they are read
LARGEST_DOUBLE: Final = sys.float_info.max


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


def is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


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


def expect_text(where: str, what: str, value: str) -> str:
    bad = unencodable(value)
    if bad is not None:
        raise LevelError(f"{where}: {what} holds {bad}, a lone surrogate, which has no UTF-8 form")
    return value


def check_fields(where: str, obj: dict[str, object], allowed: frozenset[str]) -> None:
    repeated: tuple[str, ...] = getattr(obj, "repeated", ())
    if repeated:
        raise LevelError(f"{where}: field {quoted(repeated[0])} is given twice")
    for key in obj:
        if key not in allowed:
            hint = difflib.get_close_matches(key, sorted(allowed), n=1)
            also = f' (did you mean "{hint[0]}"?)' if hint else ""
            raise LevelError(f"{where}: unknown field {quoted(key)}{also}")


def required(where: str, obj: dict[str, object], key: str) -> object:
    if key not in obj:
        raise LevelError(f"{where}: missing field {quoted(key)}")
    return obj[key]


def expect_object(where: str, value: object, example: str) -> dict[str, object]:
    if not isinstance(value, dict):
        raise LevelError(f"{where}: expected an object like {example}, got {describe(value)}")
    return cast(dict[str, object], value)


def expect_list(where: str, obj: dict[str, object], key: str) -> list[object]:
    value = obj.get(key, [])
    if not isinstance(value, list):
        raise LevelError(f'{where}: field "{key}" must be a list, not {describe(value)}')
    return cast(list[object], value)


def expect_id(where: str, obj: dict[str, object], key: str) -> str:
    value = required(where, obj, key)
    if not isinstance(value, str):
        raise LevelError(f'{where}: field "{key}" must be a string, not {describe(value)}')
    if not value.strip():
        raise LevelError(f'{where}: field "{key}" must not be empty')
    return expect_text(where, f'field "{key}"', value)


def expect_finite(where: str, what: str, value: object) -> float:
    if not is_number(value):
        raise LevelError(f"{where}: {what} must be a number, not {describe(value)}")
    # Compared exactly: an integer too large for a double is refused, not rounded.
    if not abs(cast(float, value)) <= LARGEST_DOUBLE:
        raise LevelError(f"{where}: {what} must be a finite number, at most {LARGEST_DOUBLE!r} in size")
    return float(cast(float, value))


class Loader:
    """Validates the parsed JSON of one level file into a Level."""

    def __init__(self) -> None:
        self.zone_ids: set[str] = set()
        self.agent_ids: set[str] = set()

    def level(self, data: object) -> Level:
        where = "level"
        obj = expect_object(where, data, '{"zone": "root", "charges": [...], "agents": [...]}')
        check_fields(where, obj, LEVEL_FIELDS)
        title = self.optional_text(where, obj, "title")
        description = self.optional_text(where, obj, "description")
        zone_part = {key: value for key, value in obj.items() if key in ZONE_FIELDS}
        return Level(title, description, self.zone(where, zone_part, depth=1))

    @staticmethod
    def optional_text(where: str, obj: dict[str, object], key: str) -> str | None:
        value = obj.get(key)
        if value is None:
            return None
        if not isinstance(value, str):
            raise LevelError(f'{where}: field "{key}" must be a string, not {describe(value)}')
        return expect_text(where, f'field "{key}"', value)

    def zone(self, where: str, obj: dict[str, object], depth: int) -> ZoneDef:
        if depth > MAX_DEPTH:
            raise LevelError(f"{where}: zones are nested more than {MAX_DEPTH} deep")
        check_fields(where, obj, ZONE_FIELDS)
        zone_id = expect_id(where, obj, "zone")
        if zone_id in self.zone_ids:
            raise LevelError(f"{where}: zone id {quoted(zone_id)} is used twice")
        self.zone_ids.add(zone_id)
        where = f"zone {quoted(zone_id)}"
        charges = tuple(
            self.charge(f"{where}: charge {n}", item)
            for n, item in enumerate(expect_list(where, obj, "charges"), start=1)
        )
        agents = tuple(
            self.agent(f"{where}: agent {n}", item)
            for n, item in enumerate(expect_list(where, obj, "agents"), start=1)
        )
        zones = tuple(
            self.zone(
                f"{where}: zone {n}",
                expect_object(f"{where}: zone {n}", item, '{"zone": "inner", ...}'),
                depth + 1,
            )
            for n, item in enumerate(expect_list(where, obj, "zones"), start=1)
        )
        return ZoneDef(zone_id, charges, agents, zones)

    @staticmethod
    def charge(where: str, item: object) -> ChargeDef:
        if not isinstance(item, list) or len(cast(list[object], item)) != 3:
            got = describe(item)
            if isinstance(item, list):
                got += f" of {len(cast(list[object], item))}"
            raise LevelError(
                f'{where}: expected [magnitude, polarity, id] like [3, "positive", "c1"], got {got}'
            )
        magnitude, polarity, charge_id = cast(list[object], item)
        number = expect_finite(where, "magnitude", magnitude)
        if number < 0:
            raise LevelError(
                f"{where}: magnitude must not be negative (the polarity is the sign), "
                f"not {number:g}"
            )
        if polarity not in POLARITIES:
            shown = quoted(polarity) if isinstance(polarity, str) else describe(polarity)
            raise LevelError(
                f'{where}: polarity must be "positive", "negative" or "neutral", not {shown}'
            )
        if not isinstance(charge_id, str) or not charge_id.strip():
            raise LevelError(f"{where}: id must be a non-empty string, not {describe(charge_id)}")
        return ChargeDef(number, polarity, expect_text(where, "id", charge_id))

    def agent(self, where: str, item: object) -> AgentDef:
        obj = expect_object(where, item, '{"kind": "plus", "id": "p1"}')
        check_fields(where, obj, AGENT_FIELDS)
        kind = required(where, obj, "kind")
        if not isinstance(kind, str):
            raise LevelError(f'{where}: field "kind" must be a string, not {describe(kind)}')
        if kind not in AGENT_KINDS:
            hint = difflib.get_close_matches(kind, AGENT_KINDS, n=1)
            also = f' (did you mean "{hint[0]}"?)' if hint else ""
            raise LevelError(f"{where}: unknown kind {quoted(kind)}{also}")
        agent_id = expect_id(where, obj, "id")
        if agent_id in self.agent_ids:
            raise LevelError(f"{where}: agent id {quoted(agent_id)} is used twice")
        self.agent_ids.add(agent_id)

        target: float | None = None
        if kind in GATE_KINDS:
            target = expect_finite(where, 'field "target"', required(where, obj, "target"))
        elif "target" in obj:
            raise LevelError(f'{where}: field "target" is only for gates, not for a {kind} agent')

        rule: Rule | None = None
        if kind == "inequality_gate":
            raw_rule = required(where, obj, "rule")
            if raw_rule not in RULES:
                shown = quoted(raw_rule) if isinstance(raw_rule, str) else describe(raw_rule)
                raise LevelError(f'{where}: rule must be "<", ">", "<=" or ">=", not {shown}')
            rule = raw_rule
        elif "rule" in obj:
            raise LevelError(f'{where}: field "rule" is only for inequality_gate, not for {kind}')

        refill = obj.get("refill", False)
        if not isinstance(refill, bool):
            raise LevelError(
                f'{where}: field "refill" must be true or false, not {describe(refill)}'
            )
        return AgentDef(kind, agent_id, target, rule, refill)


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
    """Validates the text of a level file; every problem raises LevelError."""
    if not text.strip():
        raise LevelError("the file is empty")
    return Loader().level(parse_level_json(text))


def load_level(path: Path) -> Level:
    """Reads and validates a level file; every problem raises LevelError."""
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


def zones_by_id(root: qor_engine.Environment) -> dict[str, qor_engine.Environment]:
    """Every zone of a level in play by its id, walked without recursion."""
    found: dict[str, qor_engine.Environment] = {}
    pending = [root]
    while pending:
        zone = pending.pop()
        found.setdefault(zone.id, zone)
        pending.extend(zone.sub_environments)
    return found


def refills_in(root: qor_engine.Environment, level: Level) -> dict[str, Placement]:
    """The level's "refill" agents, placed in the zones of a resumed level that
    still exist (zone ids are unique in a level file)."""
    zones = zones_by_id(root)
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


def format_magnitude(magnitude: float) -> str:
    if math.isnan(magnitude):
        return "nan"
    if math.isinf(magnitude):
        return "inf" if magnitude > 0 else "-inf"
    if magnitude.is_integer() and abs(magnitude) < 1e15:
        return f"{magnitude:.1f}"
    return f"{magnitude:.6g}"


def format_charges(charges: Sequence[qor_engine.Charge]) -> str:
    """Charges as "[ +3.0 -2.5 ~1.0 ]": + positive, - negative, ~ neutral."""
    shown = [SIGNS[charge.polarity.name] + format_magnitude(charge.magnitude) for charge in charges]
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
    """The agents still standing anywhere in the zone tree, as text."""
    found = [
        f"{agent['name']} {quoted(agent['visual_id'])} in {zone['id']}" for agent in zone["agents"]
    ]
    for sub_zone in zone["sub_environments"]:
        found.extend(waiting_agents(sub_zone))
    return found


def summarize(last: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    meta = last["meta"]
    frames = meta["frame_index"]
    count = f"{frames} frame{'' if frames == 1 else 's'}"
    if meta["status"] == "ERROR":
        head = f"Stopped by the frame limit after {count}"
    else:
        head = f"Resolved after {count}"
    line = f"{head}; root holds {format_charges(root_charges)}"
    waiting = waiting_agents(last)
    if waiting:
        line += f"; still standing: {', '.join(waiting)}"
    return line


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class SaveAt:
    """--save-at N FILE: stop after frame N and write the save to FILE."""

    frame: int
    path: Path


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Play a qor_engine level and narrate it frame by frame.",
        epilog="The level file format is described in examples/LEVELS.md.",
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
        help="play on from a file written by --save-at",
    )
    arguments = parser.parse_args(argv)
    if arguments.save_at is not None:
        frame, file = cast(list[str], arguments.save_at)
        try:
            last_frame = int(frame)
        except ValueError:
            parser.error(f"--save-at: N must be a frame number, not {frame!r}")
        arguments.save_at = SaveAt(last_frame, Path(file))
    return arguments


def fail(path: Path, problem: str, status: int) -> int:
    print(f"{PROGRAM}: {path}: {problem}", file=sys.stderr)
    return status


@dataclass(frozen=True)
class Game:
    """A level ready to play: from a level file, or resumed from a save."""

    title: str
    sequencer: qor_engine.NarrativeSequencer
    refills: dict[str, Placement]


def new_game(level_path: Path) -> Game:
    level = load_level(level_path)
    built = build(level)
    return Game(level.title or level_path.stem, qor_engine.NarrativeSequencer(built.root), built.refills)


def resumed_game(save_path: Path, level_path: Path | None) -> Game:
    """Raises OSError or ValueError for an unusable save, LevelError for the level file."""
    sequencer = qor_engine.NarrativeSequencer.load(save_path.read_bytes())
    title, refills = save_path.stem, {}
    if level_path is not None:
        level = load_level(level_path)
        title = level.title or level_path.stem
        refills = refills_in(sequencer.root_environment, level)
    return Game(f"{title}, resumed after frame {sequencer.current_frame}", sequencer, refills)


def run(
    level_path: Path | None, raw_json: bool, save_at: SaveAt | None = None, resume: Path | None = None
) -> int:
    if resume is not None:
        try:
            game = resumed_game(resume, level_path)
        except (OSError, ValueError) as error:
            problem = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            return fail(resume, f"cannot resume: {problem}", EXIT_BAD_LEVEL)
        except LevelError as error:
            assert level_path is not None
            return fail(level_path, str(error), EXIT_BAD_LEVEL)
        source = resume
    else:
        source = level_path or DEFAULT_LEVEL
        try:
            game = new_game(source)
        except LevelError as error:
            return fail(source, str(error), EXIT_BAD_LEVEL)
    root = game.sequencer.root_environment
    try:
        if not raw_json:
            print(f"== {game.title} ==")
        last: FrameResponse | None = None
        last_frame = save_at.frame if save_at is not None else None
        for text, frame in play_on(game.sequencer, game.refills, last_frame):
            last = frame
            print(text if raw_json else narrate(frame, root.charges))
    except (RuntimeError, ValueError) as error:
        return fail(
            source,
            f"the engine failed: {str(error) or type(error).__name__}",
            EXIT_ENGINE_FAILED,
        )
    if save_at is not None:
        try:
            save_at.path.write_bytes(game.sequencer.save())
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
    level_path = cast(Path | None, arguments.level)
    raw_json = cast(bool, arguments.json)
    save_at = cast(SaveAt | None, arguments.save_at)
    resume = cast(Path | None, arguments.resume)
    try:
        status = run(level_path, raw_json, save_at, resume)
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
