// TypeScript declarations of qor_engine.js, the engine as WebAssembly
// (docs/web.md). scripts/build_web.sh copies this file beside the module as
// build/web/qor_engine.d.ts. In Node:
//
//     import createQorEngine = require("./qor_engine.js");
//     const q = await createQorEngine();
//
// In a page's script (no import), the module's global `createQorEngine` has
// the same type.
//
// Names and messages are the Python module's. A wrong or missing argument, or
// a property given a value of the wrong type, throws JavaScript's TypeError;
// the engine's other errors are the module's classes (q.ValueError, ...).
// Zones, levels and level files are handles: free each one a call returns
// with delete() (or `using`, where Symbol.dispose exists).

/** Makes one engine: its own memory, classes and handles. */
declare function createQorEngine(options?: createQorEngine.Options): Promise<createQorEngine.QorEngine>;

declare namespace createQorEngine {
  interface Options {
    /**
     * Called with a text naming the call that made a handle (and its stack)
     * when the garbage collector takes that handle without delete(). Slower:
     * for finding forgotten handles while debugging.
     */
    onLeakedHandle?: (report: string) => void;
  }

  interface QorEngine {
    /** The Python package's version. */
    readonly __version__: string;
    /** How many handles of this engine are not yet deleted. */
    live_handles(): number;

    readonly ChargePolarity: ChargePolarityValues;
    readonly POSITIVE: ChargePolarity<"POSITIVE", 0>;
    readonly NEGATIVE: ChargePolarity<"NEGATIVE", 1>;
    readonly NEUTRAL: ChargePolarity<"NEUTRAL", 2>;
    readonly Charge: ChargeConstructor;
    readonly Environment: EnvironmentConstructor;
    readonly NarrativeSequencer: NarrativeSequencerConstructor;

    /** Reads a level file, its text or its UTF-8 bytes. Throws LevelError listing every problem. */
    read_level(data: string | Uint8Array): Level;
    readonly Level: ClassWithoutConstructor<Level>;
    readonly LevelPlay: LevelPlayConstructor;
    /** Every kind of agent a level file can place. */
    agent_kinds(): AgentKind[];

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

  /** Memory of the engine, which the garbage collector does not free. */
  interface Handle extends Disposal {
    /** Frees the handle; deleting a deleted handle does nothing. */
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
    /** The sub-zones: new handles on every read, each to delete. */
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
    /** The root zone: one handle per level while it lives; each read takes one delete(). */
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
    load(data: Uint8Array): LevelPlay;
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
  }

  interface AgentKind {
    /** The kind's key in level files ("plus", "equals_gate", ...). */
    key: string;
    /** The agent's name in frames ("Plus Magician", ...). */
    name: string;
    priority: number;
    /** The Environment method that places one. */
    method: string;
    /** What the kind does, in one line. */
    summary: string;
  }

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

  /** What explain() returns, parsed (its other members: schemas/explain.schema.json). */
  interface Explanation {
    outcome: "running" | "won" | "lost" | "frame_limit";
    summary: string;
    /** The "last_event" the next next_frame() will report. */
    next: EventJson | null;
    agents: object[];
    zones: object[];
    shut_gates: string[];
    frame_index: number;
    max_frames: number;
  }
}

export = createQorEngine;
export as namespace createQorEngine;
