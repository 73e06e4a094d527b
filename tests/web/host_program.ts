// A small Node host of the WebAssembly module, written against its
// declarations (qor_engine.d.ts) and QorPatch's (jsonpatch.d.ts), which
// tests/python/test_web_declarations.py puts beside it. The test type-checks
// it with `tsc --strict` (each line after a `@ts-expect-error` must be
// refused) and runs it on the built module: main() only, since the level
// file calls are declared ahead of the module.
import createQorEngine = require("./qor_engine.js");
import QorPatch = require("./jsonpatch.js");

type Q = createQorEngine.QorEngine;

function buildHall(q: Q): createQorEngine.Environment {
  const hall = new q.Environment("hall");
  hall.add_charge(2, q.NEGATIVE, "frost");
  hall.add_plus_magician("adder");
  hall.add_equals_gate("gate", 18);
  hall.add_inequality_gate("judge", 20, "<=");
  const forge = new q.Environment("forge");
  try {
    forge.add_charge(4, q.ChargePolarity.POSITIVE, "ember_a");
    forge.add_charge(5, 0, "ember_b");
    forge.add_multiply_magician("smith");
    hall.add_sub_environment(forge);
  } finally {
    forge.delete();
  }
  return hall;
}

function replaceCharges(q: Q, zone: createQorEngine.Environment): void {
  const charges = zone.charges;
  charges[0].magnitude = 3;
  charges.push(new q.Charge(1.5, q.NEUTRAL, "dust"));
  zone.charges = [...charges.slice(1), { magnitude: 2, polarity: 1, visual_id: "plain" }];
  const polarity: "POSITIVE" | "NEGATIVE" | "NEUTRAL" = q.POSITIVE.name;
  if (charges[0].polarity instanceof q.ChargePolarity) console.log(charges[0].polarity.value);
  const text: string = JSON.stringify(q.NEGATIVE) + charges[0].to_json() + polarity;
  console.log(text, charges[1].toJSON().magnitude);
}

// Plays the level to its end with patches, the document kept up to date by QorPatch.
function play(q: Q, hall: createQorEngine.Environment): Uint8Array {
  const level = new q.NarrativeSequencer(hall, 50);
  try {
    level.max_frames = 60;
    let frame: createQorEngine.Frame | null = null;
    while (!level.is_finished) {
      const patch = JSON.parse(level.next_frame_patch()) as createQorEngine.PatchOperation[];
      frame = QorPatch.apply(frame, patch) as createQorEngine.Frame;
      const event = frame.meta.last_event;
      if (event !== null && event.type === "CAST_SPELL") console.log(event.agent_name, event.visual_id);
    }
    const root = level.root_environment;
    console.log(root.id, root.sub_environments.length, level.current_frame);
    root.delete();
    return level.save();
  } finally {
    level.delete();
  }
}

function reportError(q: Q, error: unknown): string {
  if (error instanceof q.MemoryError) return "out of memory: the level is unchanged";
  if (error instanceof q.RecursionError || error instanceof q.ValueError) return error.message;
  if (error instanceof TypeError) return "a wrong argument: " + error.message;
  throw error;
}

// The level file API: type-checked, not called.
function playFile(q: Q, text: string, bytes: Uint8Array): string {
  let level: createQorEngine.Level;
  try {
    level = q.read_level(text);
  } catch (error) {
    if (error instanceof q.LevelError) return error.problems.join("\n") + error.pointers.join(" ");
    return reportError(q, error);
  }
  try {
    const title: string = level.title ?? "untitled";
    const play: createQorEngine.LevelPlay = level.play(100);
    const resumed = q.LevelPlay.load(play.save());
    const explained = JSON.parse(resumed.explain()) as createQorEngine.Explanation;
    const again: createQorEngine.NarrativeSequencer = level.play();
    const kinds = q.agent_kinds().map((kind) => `${kind.key} ${kind.name} ${kind.priority} ${kind.method}: ${kind.summary}`);
    [play, resumed, again].forEach((handle) => handle.delete());
    console.log(q.read_level(bytes).to_text(), level.description, resumed instanceof q.LevelPlay, level instanceof q.Level);
    return title + explained.outcome + kinds.join("\n");
  } finally {
    level.delete();
  }
}

async function main(): Promise<void> {
  const q = await createQorEngine({ onLeakedHandle: (report) => console.warn(report) });
  console.log(q.__version__);
  const hall = buildHall(q);
  try {
    replaceCharges(q, hall);
    const saved = play(q, hall);
    const loaded = q.NarrativeSequencer.load(saved);
    const zone = q.Environment.load(hall.save().buffer);
    const copy = loaded.clone();
    console.log(loaded.is_finished, zone.to_json(), copy.isDeleted());
    [loaded, zone, copy].forEach((handle) => handle.delete());
    try {
      q.NarrativeSequencer.load(new Uint8Array(3));
    } catch (error) {
      console.log(reportError(q, error));
    }
  } finally {
    hall.delete();
  }
  if (q.live_handles() !== 0) throw new Error(`${q.live_handles()} handles left`);
  console.log(typeof playFile);
}

// What the declarations refuse.
function refused(q: Q, zone: createQorEngine.Environment, level: createQorEngine.NarrativeSequencer): void {
  // @ts-expect-error: a frame limit is a number
  level.max_frames = "10";
  // @ts-expect-error: a flag is a boolean
  level.is_finished = "yes";
  // @ts-expect-error: a polarity is a ChargePolarity or its number
  zone.add_charge(1, "positive", "c");
  // @ts-expect-error: a misspelt method
  zone.add_plus_magican("adder");
  // @ts-expect-error: a misspelt comparison rule
  zone.add_inequality_gate("judge", 3, "=<");
  // @ts-expect-error: a missing argument
  zone.add_equals_gate("gate");
  // @ts-expect-error: root_environment is read only
  level.root_environment = zone;
  // @ts-expect-error: charges are an array of charges
  zone.charges = [1, 2];
  // @ts-expect-error: levels are made by read_level()
  new q.Level();
  // @ts-expect-error: a LevelPlay is made by Level.play()
  new q.LevelPlay();
  // @ts-expect-error: a level file is text or bytes
  q.read_level({ title: "t" });
  // @ts-expect-error: an explanation's outcome is one of four texts
  const outcome: createQorEngine.Explanation["outcome"] = "finished";
  // @ts-expect-error: QorPatch takes a list of operations
  QorPatch.apply({}, { op: "add", path: "/a", value: 1 });
  console.log(outcome);
}

main().then(() => console.log(typeof refused));
