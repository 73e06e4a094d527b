# Type stubs of the qor_engine extension module, installed next to it as the
# stub-only package qor_engine-stubs. `bash scripts/check_types.sh` compares
# them with the built module (mypy's stubtest).
#
# Parameters take what the bindings convert: numbers anything with __float__
# or __index__, integers anything with __index__ (never a float), text str,
# bytes or bytearray (bytes are taken as UTF-8). What comes back is always
# float, int and str. Assigning a property a value of the wrong type raises
# TypeError naming it ("max_frames must be an int, not float").

from collections.abc import Iterable
from typing import (
    ClassVar,
    Final,
    Literal,
    NotRequired,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
)

from typing_extensions import disjoint_base

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsIndex
_Text: TypeAlias = str | bytes | bytearray

# The package's version, as importlib.metadata.version("qor_engine") gives it.
__version__: str

# The classes' metaclass, pybind11_builtins.pybind11_type at run time: a plain
# subclass of type that nothing here needs to name.
class _pybind11_type(type): ...

# Each class has an instance layout of its own (a disjoint base): no class
# derives from two of them, and no object's class can be swapped for another's.
@disjoint_base
class ChargePolarity(metaclass=_pybind11_type):
    POSITIVE: ClassVar[ChargePolarity]
    NEGATIVE: ClassVar[ChargePolarity]
    NEUTRAL: ClassVar[ChargePolarity]
    # A fresh dict of the named members on every read.
    __members__: ClassVar[dict[str, ChargePolarity]]

    # Any 32-bit integer makes a polarity; 0, 1 and 2 are the named ones.
    def __init__(self, value: _Int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    # Equal only to a polarity of the same value, never to a plain int.
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __getstate__(self) -> int: ...
    # Only on an object made by ChargePolarity.__new__ (TypeError otherwise); a
    # subclass instance's state pairs the value with its own attributes.
    def __setstate__(self, state: int | tuple[int, object], /) -> None: ...
    # Protocols 0 and 1 rebuild the polarity as ChargePolarity(value).
    def __reduce_ex__(self, protocol: _Int, /) -> tuple[object, ...]: ...

POSITIVE: Final[ChargePolarity]
NEGATIVE: Final[ChargePolarity]
NEUTRAL: Final[ChargePolarity]

@disjoint_base
class Charge(metaclass=_pybind11_type):
    def __init__(self, magnitude: _Float, polarity: ChargePolarity, visual_id: _Text) -> None: ...
    @property
    def magnitude(self) -> float: ...
    @magnitude.setter
    def magnitude(self, value: _Float, /) -> None: ...
    @property
    def polarity(self) -> ChargePolarity: ...
    @polarity.setter
    def polarity(self, value: ChargePolarity, /) -> None: ...
    @property
    def visual_id(self) -> str: ...
    @visual_id.setter
    def visual_id(self, value: _Text, /) -> None: ...
    def to_json(self) -> str: ...
    # pickle and copy give an independent Charge, exact to the bit.
    def __reduce__(self) -> tuple[object, tuple[type], object]: ...
    def __getstate__(self) -> tuple[int, int, bytes]: ...
    # Only on an object made by Charge.__new__ (TypeError otherwise); a subclass
    # instance's state pairs the charge's with its own attributes.
    def __setstate__(self, state: tuple[int, int, bytes] | tuple[tuple[int, int, bytes], object], /) -> None: ...

# Not a base class: zones live in the engine's tree, where a subclass's
# class and attributes could not follow them.
@final
class Environment(metaclass=_pybind11_type):
    def __init__(self, id: _Text) -> None: ...
    @property
    def id(self) -> str: ...
    @id.setter
    def id(self, value: _Text, /) -> None: ...
    # Each read gives new items that read and write the zone's charges;
    # assigning copies the charges of any iterable in (not str or bytes).
    @property
    def charges(self) -> list[Charge]: ...
    @charges.setter
    def charges(self, value: Iterable[Charge], /) -> None: ...
    is_time_frozen: bool
    def to_json(self) -> str: ...
    def add_charge(self, magnitude: _Float, polarity: ChargePolarity, visual_id: _Text) -> None: ...
    def add_sub_environment(self, sub_env: Environment) -> None: ...
    def add_plus_magician(self, visual_id: _Text) -> None: ...
    def add_minus_magician(self, visual_id: _Text) -> None: ...
    def add_multiply_magician(self, visual_id: _Text) -> None: ...
    def add_divide_magician(self, visual_id: _Text) -> None: ...
    def add_power_sorcerer(self, visual_id: _Text) -> None: ...
    def add_root_magician(self, visual_id: _Text) -> None: ...
    def add_abs_magician(self, visual_id: _Text) -> None: ...
    def add_factorial_magician(self, visual_id: _Text) -> None: ...
    def add_modulo_magician(self, visual_id: _Text) -> None: ...
    def add_log_magician(self, visual_id: _Text) -> None: ...
    def add_chronomancer(self, visual_id: _Text) -> None: ...
    def add_equals_gate(self, visual_id: _Text, target: _Float) -> None: ...
    # The rule: "<", ">", "<=" or ">=". It is typed as these four texts so that
    # a type checker flags a typo; at run time any other text (str or bytes)
    # means "<". A host holding a rule as plain text passes
    # cast("qor_engine.RuleText", text) once it has checked it.
    def add_inequality_gate(self, visual_id: _Text, target: _Float, comparison_type: RuleText) -> None: ...
    # An agent by its kind's key in level files (a key of agent_kinds()), checked as
    # a level file's agent is: target for the two gates alone, rule for
    # "inequality_gate" alone. LevelError lists every problem; nothing is placed then.
    def add_agent(self, kind: str, id: str, target: _Float | None = None, rule: RuleText | None = None) -> None: ...
    # The first zone of this tree (this zone, then its sub-zones' trees in order) with the id.
    def find_zone(self, id: str) -> Environment | None: ...
    # A new list on every read; the items are the sub-zones themselves.
    @property
    def sub_environments(self) -> list[Environment]: ...
    def save(self) -> bytes: ...
    # ValueError for bytes that are not a zone's save.
    @staticmethod
    def load(data: bytes | bytearray | memoryview) -> Environment: ...
    # pickle and copy (shallow or deep) give an independent copy of the whole zone tree;
    # zones copied by one deepcopy call stay shared as in the original.
    def __reduce__(self) -> tuple[object, tuple[type], object]: ...
    def __deepcopy__(self, memo: dict, /) -> Environment: ...  # type: ignore[type-arg]
    def __getstate__(self) -> bytes: ...
    # Only on an object made by Environment.__new__ (TypeError otherwise).
    def __setstate__(self, state: bytes | tuple[bytes, object], /) -> None: ...

@disjoint_base
class NarrativeSequencer(metaclass=_pybind11_type):
    # max_frames: the frame limit, from 1 to 2**31 - 1 (ValueError otherwise).
    def __init__(self, env: Environment, max_frames: _Int = 1000) -> None: ...
    def next_frame(self) -> str: ...
    # An RFC 6902 JSON Patch from the last frame returned, by either method.
    def next_frame_patch(self) -> str: ...
    # The level explained (an Explanation as JSON text); changes nothing.
    def explain(self) -> str: ...
    is_finished: bool
    # A 32-bit signed integer.
    current_frame: int
    # From 1 to 2**31 - 1 (ValueError otherwise).
    max_frames: int
    # The zone itself, not a copy.
    @property
    def root_environment(self) -> Environment: ...
    def save(self) -> bytes: ...
    # ValueError for bytes that are not a level's save; a LevelPlay's save gives a LevelPlay.
    @staticmethod
    def load(data: bytes | bytearray | memoryview) -> NarrativeSequencer: ...
    # pickle and copy (shallow or deep) give an independent level with its own zone tree;
    # zones copied by one deepcopy call stay shared as in the original.
    def __reduce__(self) -> tuple[object, tuple[type], object]: ...
    def __deepcopy__(self, memo: dict, /) -> NarrativeSequencer: ...  # type: ignore[type-arg]
    def __getstate__(self) -> bytes: ...
    # Only on an object made by NarrativeSequencer.__new__ (TypeError otherwise); a
    # subclass instance's state pairs the save with its own attributes.
    def __setstate__(self, state: bytes | tuple[bytes, object], /) -> None: ...

# A level file in play (made by Level.play() or LevelPlay.load; no constructor):
# every "refill" agent is placed again in its zone after each frame in which it
# acted. Saves, copies and pickles keep the refill agents.
@disjoint_base
class LevelPlay(NarrativeSequencer):
    # ValueError for bytes that are not a LevelPlay's save (a plain level's included).
    @staticmethod
    def load(data: bytes | bytearray | memoryview) -> LevelPlay: ...
    def __getstate__(self) -> bytes: ...
    # Only on an object made by LevelPlay.__new__ (TypeError otherwise).
    def __setstate__(self, state: bytes | tuple[bytes, object], /) -> None: ...
# A level file's problems: a ValueError. problems: each problem's text with its
# place; pointers: the JSON Pointer (RFC 6901) of each problem's value, in the
# same order ("" for the whole file); str(error) holds every problem, one per line.
class LevelError(ValueError):
    @property
    def problems(self) -> list[str]: ...
    @property
    def pointers(self) -> list[str]: ...
    def __init__(self, problems: str | list[str], pointers: list[str] | None = None) -> None: ...

# A level file's level, as plain data; made by read_level().
@final
class Level(metaclass=_pybind11_type):
    # Raises TypeError: a Level is made by read_level().
    def __init__(self) -> None: ...
    @property
    def title(self) -> str | None: ...
    @property
    def description(self) -> str | None: ...
    # The level as a canonical level file: read_level() of it gives the same text.
    def to_text(self) -> str: ...
    # A fresh zone tree in play; every "refill" agent is placed again after each
    # frame in which it acted. ValueError for a frame limit below 1.
    def play(self, max_frames: int = 1000) -> LevelPlay: ...
    # A fresh zone tree of the level, as play() starts it, to read or change before play.
    def build(self) -> Environment: ...
    # The level of a zone tree built or changed in code, written by to_text(); no
    # agent is marked "refill". ValueError for an agent of a kind no level file holds.
    @staticmethod
    def from_zone(zone: Environment, title: str | None = None, description: str | None = None) -> Level: ...
    # pickle and copy go through the level's text.
    def __reduce__(self) -> tuple[object, tuple[str]]: ...

# Reads a level file, its text or its UTF-8 bytes; LevelError lists every problem.
def read_level(data: str | bytes | bytearray | memoryview) -> Level: ...

# Every kind of agent a level file can place, highest priority first.
def agent_kinds() -> list[AgentKindInfo]: ...

KindKey: TypeAlias = Literal[
    "chronomancer", "abs", "log", "factorial", "power", "root", "multiply",
    "divide", "modulo", "plus", "minus", "equals_gate", "inequality_gate",
]

# A kind as agent_kinds() lists it: its key in level files, the agent's name in
# frames, its priority, the Environment method that places one, what it does.
class AgentKindInfo(TypedDict):
    key: KindKey
    name: str
    priority: int
    method: str
    summary: str

# explain() after every step of a level, kept as only what a replay page draws
# (docs/frames.md, "The replay's explanations").
@final
class CompactExplanations(metaclass=_pybind11_type):
    def __init__(self) -> None: ...
    # Keeps a step's explanation (explain()'s text); returns the JSON text of
    # what it added, for counting. ValueError for a text that is no explanation.
    def add(self, explanation: str) -> str: ...
    # Every step added, as JSON text: {"outcome", "summary", "notes", "steps"}.
    def to_json(self) -> str: ...

# ---------------------------------------------------------------------------
# The JSON texts, parsed: what json.loads makes of a frame (next_frame), a zone
# (Environment.to_json), a charge (Charge.to_json) and a patch's operations
# (next_frame_patch). These names exist only here, for type checkers; use them
# in quotes or under TYPE_CHECKING:
#
#     frame = cast("qor_engine.FrameResponse", json.loads(sequencer.next_frame()))
#
# docs/frames.md describes every member. Magnitudes and gate targets are None
# where the engine wrote null (NaN and the infinities).

PolarityText: TypeAlias = Literal["positive", "negative", "neutral"]
AgentStateText: TypeAlias = Literal["dormant", "active"]
RuleText: TypeAlias = Literal["<", ">", "<=", ">="]
StatusText: TypeAlias = Literal["RUNNING", "FINISHED", "ERROR"]
EventTypeText: TypeAlias = Literal["CAST_SPELL", "COLLAPSE_ZONE", "FINISHED"]
MagicianName: TypeAlias = Literal[
    "Chronomancer",
    "The Purifier",
    "The Architect",
    "The Replicator",
    "Power Sorcerer",
    "The Extractor",
    "Multiply Magician",
    "Divide Magician",
    "The Scavenger",
    "Plus Magician",
    "Minus Magician",
]

class ChargeJson(TypedDict):
    magnitude: float | None
    polarity: PolarityText
    visual_id: str

class _AgentFields(TypedDict):
    priority: int
    state: AgentStateText
    visual_id: str

# The three forms of an agent, told apart by "name" (or by "rule" / "is_open").
@final
class AgentJson(_AgentFields):
    name: MagicianName

@final
class EqualsGateJson(_AgentFields):
    name: Literal["Equals Gate"]
    is_open: bool
    target_value: float | None

@final
class InequalityGateJson(_AgentFields):
    name: Literal["The Judge"]
    is_open: bool
    rule: RuleText
    target_value: float | None

AnyAgentJson: TypeAlias = AgentJson | EqualsGateJson | InequalityGateJson

class ZoneJson(TypedDict):
    agents: list[AnyAgentJson]
    charges: list[ChargeJson]
    id: str
    is_time_frozen: bool
    sub_environments: list[ZoneJson]

class EventJson(TypedDict):
    agent_name: str
    description: str
    type: EventTypeText
    visual_id: str

class MetaJson(TypedDict):
    frame_index: int
    last_event: EventJson | None
    message: str
    status: StatusText

# A frame: the root zone's members plus "meta".
class FrameResponse(ZoneJson):
    meta: MetaJson

# One operation of a patch (next_frame_patch): "remove" has no "value"; the
# value of "add" and "replace" is what stands at "path" in the new frame.
PatchOpText: TypeAlias = Literal["add", "remove", "replace"]

class PatchOperationJson(TypedDict):
    op: PatchOpText
    path: str
    value: NotRequired[object]

# What explain() returns (schemas/explain.schema.json).
OutcomeText: TypeAlias = Literal["running", "won", "lost", "frame_limit"]
AgentVerdictText: TypeAlias = Literal["acts", "waits", "declines"]
AgentReasonText: TypeAlias = Literal[
    "acts",
    "outranked",
    "zone_frozen",
    "frame_limit",
    "level_finished",
    "too_few_charges",
    "negative_charge",
    "log_argument",
    "log_base",
    "negative_radicand",
    "divisor_near_zero",
    "gate_shut",
    "never_acts",
    "declines",
]
ZoneVerdictText: TypeAlias = Literal["merges_next", "merges", "frozen", "never_resolves"]

# The figures behind a reason: which members are there depends on it.
class AgentFiguresJson(TypedDict, total=False):
    argument: float | None
    base: float | None
    by: int
    charges: int
    divisor: float | None
    index: float | None
    magnitude: float | None
    needed: int
    position: int
    radicand: float | None
    rule: Literal["==", "<", ">", "<=", ">="]
    target: float | None
    total: float | None

class AgentExplanationJson(TypedDict):
    figures: AgentFiguresJson
    name: str
    note: str
    priority: int
    reason: AgentReasonText
    refill: bool
    slot: int
    state: AgentVerdictText
    visual_id: str
    zone: int

class ZoneExplanationJson(TypedDict):
    frozen_by: int | None
    id: str
    note: str | None
    state: ZoneVerdictText | None
    sub_zones: list[int]

class Explanation(TypedDict):
    agents: list[AgentExplanationJson]
    frame_index: int
    max_frames: int
    next: EventJson | None
    outcome: OutcomeText
    shut_gates: list[int]
    summary: str
    zones: list[ZoneExplanationJson]
