// TypeScript declarations of qor_engine.js, the engine as WebAssembly
// (docs/web.md), in the package qor-engine beside the module. In Node:
//
//     import createQorEngine = require("qor-engine");   // ES module: import createQorEngine from "qor-engine";
//     const q = await createQorEngine();
//
// In a page's script (no import), the module's global `createQorEngine` has
// the same type.
//
// Names and messages are the Python module's. A wrong or missing argument, or
// a property given a value of the wrong type, throws JavaScript's TypeError;
// the engine's other errors are the module's classes (q.ValueError, ...).
// Zones, levels and level files are handles: the garbage collector frees
// them; delete() (or `using`, where Symbol.dispose exists) frees one at once.

/** Makes one engine: its own memory, classes and handles. */
declare function createQorEngine(options?: createQorEngine.Options): Promise<createQorEngine.QorEngine>;

declare namespace createQorEngine {
  interface Options {
    /**
     * Called with a text naming the call that made a handle (and its stack)
     * when the garbage collector frees that handle without delete(). Slower:
     * for finding forgotten handles while debugging.
     */
    onLeakedHandle?: (report: string) => void;
  }

  interface QorEngine {
    /** The Python package's version. */
    readonly __version__: string;
    /** How many handles of this engine are not yet freed (by delete() or the garbage collector). */
    live_handles(): number;

    readonly ChargePolarity: ChargePolarityValues;
    readonly POSITIVE: ChargePolarity<"POSITIVE", 0>;
    readonly NEGATIVE: ChargePolarity<"NEGATIVE", 1>;
    readonly NEUTRAL: ChargePolarity<"NEUTRAL", 2>;
    readonly Charge: ChargeConstructor;
    readonly Environment: EnvironmentConstructor;
    readonly NarrativeSequencer: NarrativeSequencerConstructor;

    /** Reads a level file, its text or its UTF-8 bytes. Throws LevelError listing every problem. */
    read_level(data: string | Uint8Array | ArrayBuffer): Level;
    readonly Level: LevelClass;
    readonly LevelPlay: LevelPlayConstructor;
    /** Every kind of agent a level file can place. */
    agent_kinds(): AgentKind[];
    /** explain() after every step, kept as only what a replay page draws. */
    readonly CompactExplanations: CompactExplanationsConstructor;

    readonly ValueError: ErrorClass<ValueError>;
    readonly LevelError: LevelErrorConstructor;
    readonly IndexError: ErrorClass<IndexError>;
    readonly OverflowError: ErrorClass<OverflowError>;
    /** Memory ran out: the call changed nothing; free something and call again. */
    readonly MemoryError: ErrorClass<MemoryError>;
    readonly RuntimeError: ErrorClass<RuntimeError>;
    /** A tree too deep for the engine to walk. */
    readonly RecursionError: ErrorClass<RecursionError>;
  }

  // ---- handles

  /** Symbol.dispose's type where the compiler's library declares it (TypeScript 5.2's esnext.disposable), else nothing. */
  type DisposeSymbol = SymbolConstructor extends { readonly dispose: infer Key extends symbol } ? Key : never;
  type Disposal = { [Key in DisposeSymbol]: () => void };

  /** Memory of the engine: freed by the garbage collector, or at once by delete(). */
  interface Handle extends Disposal {
    /** Frees the handle now; deleting a deleted handle does nothing. */
    delete(): void;
    isDeleted(): boolean;
    /** Whether both handles are on the same object. */
    isAliasOf(other: Handle): boolean;
    /** A new handle on the same object, to be deleted on its own. */
    clone(): this;
  }

  /** A class whose objects only the module's calls make: for instanceof, not for new. */
  type ClassWithoutConstructor<Instance> = abstract new (...args: never[]) => Instance;

  // ---- charges

  type PolarityName = "POSITIVE" | "NEGATIVE" | "NEUTRAL";
  type PolarityValue = 0 | 1 | 2;
  /** A polarity as frames write it. */
  type PolarityText = "positive" | "negative" | "neutral";

  interface ChargePolarity<Name extends PolarityName = PolarityName, Value extends PolarityValue = PolarityValue> {
    readonly name: Name;
    readonly value: Value;
    /** JSON.stringify gives what frames say: "positive", ... */
    toJSON(): PolarityText;
  }

  interface ChargePolarityValues extends ClassWithoutConstructor<ChargePolarity> {
    readonly POSITIVE: ChargePolarity<"POSITIVE", 0>;
    readonly NEGATIVE: ChargePolarity<"NEGATIVE", 1>;
    readonly NEUTRAL: ChargePolarity<"NEUTRAL", 2>;
  }

  /**
   * A polarity argument: one of the three, or any 32-bit integer (0, 1 and
   * 2 are the named ones; a loaded save may carry another, read back as the
   * bare number).
   */
  type PolarityArgument = ChargePolarity | number;

  /** What `zone.charges = [...]` takes: q.Charge objects or any object with these fields. */
  interface ChargeFields {
    magnitude: number;
    polarity: PolarityArgument;
    visual_id: string;
  }

  /** A charge of its own, not a view of a zone's: plain fields. */
  interface Charge extends ChargeFields {
    /** The charge as compact JSON text, as frames hold it. */
    to_json(): string;
    toJSON(): ChargeJson;
  }

  interface ChargeConstructor {
    new (magnitude: number, polarity: PolarityArgument, visual_id: string): Charge;
    readonly prototype: Charge;
  }

  // ---- zones

  type ComparisonRule = "<" | ">" | "<=" | ">=";

  interface Environment extends Handle {
    id: string;
    is_time_frozen: boolean;
    /** New q.Charge copies on every read; assigning copies an array in, all or nothing. */
    get charges(): Charge[];
    set charges(charges: readonly ChargeFields[]);
    /** The sub-zones: each zone's one handle while it lives (as root_environment). */
    readonly sub_environments: Environment[];

    /** The zone with everything under it, as JSON text. */
    to_json(): string;
    save(): Uint8Array;
    add_charge(magnitude: number, polarity: PolarityArgument, visual_id: string): void;
    /** Shared, not copied. */
    add_sub_environment(sub_env: Environment): void;

    add_plus_magician(visual_id: string): void;
    add_minus_magician(visual_id: string): void;
    add_multiply_magician(visual_id: string): void;
    add_divide_magician(visual_id: string): void;
    add_power_sorcerer(visual_id: string): void;
    add_root_magician(visual_id: string): void;
    add_abs_magician(visual_id: string): void;
    add_factorial_magician(visual_id: string): void;
    add_modulo_magician(visual_id: string): void;
    add_log_magician(visual_id: string): void;
    add_chronomancer(visual_id: string): void;
    add_equals_gate(visual_id: string, target: number): void;
    /** The module takes any text as the rule (any other means "<"); declared as the four. */
    add_inequality_gate(visual_id: string, target: number, comparison_type: ComparisonRule): void;
    /**
     * Places an agent by its kind's key in level files, checked as a level
     * file's agent is: `target` for the gates alone, `rule` for
     * "inequality_gate" alone (null or left out: none). Throws LevelError
     * listing every problem; nothing is placed then.
     */
    add_agent(kind: KindKey, id: string, target?: number | null, rule?: ComparisonRule | null): void;
    /** The first zone of this tree (this zone, then its sub-zones' trees in order) with the id, or null. */
    find_zone(id: string): Environment | null;
  }

  interface EnvironmentConstructor {
    new (id: string): Environment;
    readonly prototype: Environment;
    /** A zone tree from Environment.save()'s bytes. */
    load(data: Uint8Array | ArrayBuffer): Environment;
  }

  // ---- levels in play

  interface NarrativeSequencer extends Handle {
    /** Plays one frame and returns its JSON text (a Frame). */
    next_frame(): string;
    /** Plays one frame as next_frame() does and returns a JSON Patch (PatchOperation[] as text) against the last frame returned. */
    next_frame_patch(): string;
    /** Plays one frame as next_frame() does and returns its text as UTF-8 bytes (a new Uint8Array; new TextDecoder().decode() gives next_frame()'s string). */
    next_frame_bytes(): Uint8Array;
    /** The level as it stands, explained: compact JSON text (an Explanation). Changes nothing. */
    explain(): string;
    save(): Uint8Array;
    is_finished: boolean;
    current_frame: number;
    max_frames: number;
    /** The root zone: the same handle on every read while it lives; one delete() frees it for every reader. */
    readonly root_environment: Environment;
  }

  interface NarrativeSequencerConstructor {
    /** Plays the level whose root zone is `env`; `max_frames` is the frame limit (1000 if left out). */
    new (env: Environment, max_frames?: number): NarrativeSequencer;
    readonly prototype: NarrativeSequencer;
    /** A level in play from NarrativeSequencer.save()'s bytes (a LevelPlay for a LevelPlay's save). */
    load(data: Uint8Array | ArrayBuffer): NarrativeSequencer;
  }

  /** A level file in play: places its "refill" agents again after each frame in which they acted. */
  interface LevelPlay extends NarrativeSequencer {}

  interface LevelPlayConstructor extends ClassWithoutConstructor<LevelPlay> {
    readonly prototype: LevelPlay;
    /** Resumes a LevelPlay's save() with its refill agents. */
    load(data: Uint8Array | ArrayBuffer): LevelPlay;
  }

  // ---- level files

  /** A level file's level, as read by read_level(). */
  interface Level extends Handle {
    readonly title: string | null;
    readonly description: string | null;
    /** The level as a canonical level file. */
    to_text(): string;
    /** Builds the level's tree and plays it; `max_frames` is the frame limit (1000 if left out). */
    play(max_frames?: number): LevelPlay;
    /** A fresh zone tree of the level, as play() starts it, to read or change before play. */
    build(): Environment;
  }

  // ---- replays

  /** explain() after every step of a level, kept as only what a replay page draws (docs/frames.md). */
  interface CompactExplanations extends Handle {
    /** Keeps a step's explanation (explain()'s text); returns the JSON text of what it added, for counting. */
    add(explanation: string): string;
    /** Every step added, as JSON text: {"outcome", "summary", "notes", "steps"}. */
    to_json(): string;
  }

  interface CompactExplanationsConstructor {
    new (): CompactExplanations;
    readonly prototype: CompactExplanations;
  }

  interface LevelClass extends ClassWithoutConstructor<Level> {
    readonly prototype: Level;
    /**
     * The level of a zone tree built or changed in code, which to_text()
     * writes as a level file; no agent is marked "refill". A ValueError for
     * an agent of a kind no level file holds.
     */
    from_zone(zone: Environment, title?: string | null, description?: string | null): Level;
  }

  /** The kinds whose placing method takes the id alone. */
  type PlainKindKey =
    | "chronomancer" | "abs" | "log" | "factorial" | "power" | "root"
    | "multiply" | "divide" | "modulo" | "plus" | "minus";
  type KindKey = PlainKindKey | "equals_gate" | "inequality_gate";
  type PlainPlacingMethod =
    | "add_chronomancer" | "add_abs_magician" | "add_log_magician" | "add_factorial_magician"
    | "add_power_sorcerer" | "add_root_magician" | "add_multiply_magician" | "add_divide_magician"
    | "add_modulo_magician" | "add_plus_magician" | "add_minus_magician";

  interface AgentKindFields {
    /** The agent's name in frames ("Plus Magician", ...). */
    name: string;
    priority: number;
    /** What the kind does, in one line. */
    summary: string;
  }

  /**
   * A kind as agent_kinds() lists it: `key`, its key in level files, and
   * `method`, the Environment method that places one. Narrowed by its key,
   * `zone[kind.method](id)` places one of a plain kind.
   */
  type AgentKind =
    | (AgentKindFields & { key: PlainKindKey; method: PlainPlacingMethod })
    | (AgentKindFields & { key: "equals_gate"; method: "add_equals_gate" })
    | (AgentKindFields & { key: "inequality_gate"; method: "add_inequality_gate" });

  // ---- errors

  type ErrorClass<Instance extends Error> = new (message?: string) => Instance;

  interface ValueError extends Error {}
  interface IndexError extends Error {}
  interface OverflowError extends Error {}
  interface MemoryError extends Error {}
  interface RuntimeError extends Error {}
  interface RecursionError extends RuntimeError {}

  /** A level file's problems. */
  interface LevelError extends ValueError {
    /** Each problem's text with its place. */
    readonly problems: string[];
    /** The JSON Pointer of each problem's value in the file, in the same order. */
    readonly pointers: string[];
  }

  type LevelErrorConstructor = ClassWithoutConstructor<LevelError>;

  // ---- the JSON texts, parsed

  interface ChargeJson {
    /** null for NaN and the infinities. */
    magnitude: number | null;
    polarity: PolarityText;
    visual_id: string;
  }

  type MagicianName =
    | "Chronomancer"
    | "The Purifier"
    | "The Architect"
    | "The Replicator"
    | "Power Sorcerer"
    | "The Extractor"
    | "Multiply Magician"
    | "Divide Magician"
    | "The Scavenger"
    | "Plus Magician"
    | "Minus Magician";

  interface AgentFields {
    priority: number;
    state: "dormant" | "active";
    visual_id: string;
  }

  interface MagicianJson extends AgentFields {
    name: MagicianName;
  }

  interface EqualsGateJson extends AgentFields {
    name: "Equals Gate";
    is_open: boolean;
    target_value: number | null;
  }

  interface InequalityGateJson extends AgentFields {
    name: "The Judge";
    is_open: boolean;
    rule: ComparisonRule;
    target_value: number | null;
  }

  type AgentJson = MagicianJson | EqualsGateJson | InequalityGateJson;

  /** What Environment.to_json() returns, parsed. */
  interface ZoneJson {
    agents: AgentJson[];
    charges: ChargeJson[];
    id: string;
    is_time_frozen: boolean;
    sub_environments: ZoneJson[];
  }

  interface EventJson {
    agent_name: string;
    description: string;
    type: "CAST_SPELL" | "COLLAPSE_ZONE" | "FINISHED";
    visual_id: string;
  }

  interface MetaJson {
    frame_index: number;
    last_event: EventJson | null;
    message: string;
    status: "RUNNING" | "FINISHED" | "ERROR";
  }

  /** What next_frame() returns, parsed: the root zone plus "meta". */
  interface Frame extends ZoneJson {
    meta: MetaJson;
  }

  /** One operation of what next_frame_patch() returns, parsed. */
  interface PatchOperation {
    op: "add" | "remove" | "replace";
    path: string;
    value?: unknown;
  }

  /** An agent of an Explanation: its place is its zone's number in "zones" and its slot there. */
  interface AgentExplanation {
    /** The figures behind the reason; which are there depends on it (docs/frames.md). */
    figures: {
      argument?: number | null;
      base?: number | null;
      /** The number in "agents" of the agent that acts first. */
      by?: number;
      charges?: number;
      divisor?: number | null;
      index?: number | null;
      magnitude?: number | null;
      needed?: number;
      position?: number;
      radicand?: number | null;
      rule?: "==" | "<" | ">" | "<=" | ">=";
      target?: number | null;
      total?: number | null;
    };
    name: string;
    note: string;
    priority: number;
    reason: "acts" | "outranked" | "zone_frozen" | "frame_limit" | "level_finished" | "too_few_charges"
      | "negative_charge" | "log_argument" | "log_base" | "negative_radicand" | "divisor_near_zero"
      | "gate_shut" | "never_acts" | "declines";
    refill: boolean;
    slot: number;
    state: "acts" | "waits" | "declines";
    visual_id: string;
    zone: number;
  }

  /** A zone of an Explanation: every zone is listed, after its sub-zones; the root is the last. */
  interface ZoneExplanation {
    /** The number of the sub-zone that keeps it frozen, or null. */
    frozen_by: number | null;
    id: string;
    note: string | null;
    state: "merges_next" | "merges" | "frozen" | "never_resolves" | null;
    /** The numbers of its sub-zones, in their order. */
    sub_zones: number[];
  }

  /** What explain() returns, parsed (schemas/explain.schema.json). */
  interface Explanation {
    outcome: "running" | "won" | "lost" | "frame_limit";
    summary: string;
    /** The "last_event" the next next_frame() will report. */
    next: EventJson | null;
    agents: AgentExplanation[];
    zones: ZoneExplanation[];
    /** The numbers in "agents" of the gates standing shut. */
    shut_gates: number[];
    frame_index: number;
    max_frames: number;
  }
}

export = createQorEngine;
export as namespace createQorEngine;
