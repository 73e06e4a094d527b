// What the WebAssembly module adds to the engine's API in JavaScript: errors
// as exceptions with Python's names and messages, calls that fail changing
// nothing and keeping no memory, argument checks, handles and bytes.
// Usage: node api_test.js ENGINE.js; prints "ok" or throws.
"use strict";
const assert = require("assert");

function throwsLike(call, name, message) {
  assert.throws(call, (error) => {
    assert.ok(error instanceof Error);
    assert.strictEqual(error.name, name);
    if (message !== undefined) assert.strictEqual(error.message, message);
    return true;
  });
}

const createQorEngine = require(require("path").resolve(process.argv[2]));

createQorEngine().then(async (q) => {
  const { POSITIVE, NEGATIVE } = q.ChargePolarity;

  // Argument checks: embind alone would read these as numbers or as POSITIVE.
  const zone = new q.Environment("hall");
  throwsLike(() => zone.add_charge("2", POSITIVE, "c"), "TypeError",
             "add_charge(): magnitude must be a number, not string");
  throwsLike(() => zone.add_charge(2, undefined, "c"), "TypeError",
             "add_charge(): polarity must be a ChargePolarity or a 32-bit integer, not undefined");
  throwsLike(() => zone.add_equals_gate("g", null), "TypeError",
             "add_equals_gate(): target must be a number, not null");
  throwsLike(() => zone.add_plus_magician(7), "TypeError");
  throwsLike(() => new q.Environment("a\ud800"), "TypeError",
             "Environment(): id holds a lone surrogate, \\ud800 at position 1, which UTF-8 cannot encode");
  throwsLike(() => new q.NarrativeSequencer(null), "TypeError");
  throwsLike(() => zone.add_sub_environment(zone), "ValueError",
             'cannot add zone "hall" under zone "hall": the zone would become its own ancestor');
  assert.strictEqual(zone.to_json(), new q.Environment("hall").to_json(), "failed calls changed the zone");

  // Polarities beyond the named three are carried, as in Python.
  zone.add_charge(-0, 7, "odd");
  zone.add_charge(2.5, NEGATIVE, "named \0 id");
  assert.deepStrictEqual(zone.charges.map((c) => [Object.is(c.magnitude, -0), c.polarity, c.visual_id]),
                         [[true, 7, "odd"], [false, NEGATIVE, "named \0 id"]]);

  // Texts come back whole: ASCII ones and others, NUL bytes included.
  for (const id of ["plain", "caf\u00e9 \u2615 \ud83d\ude00", "nul \0 inside"]) {
    const named = new q.Environment(id);
    assert.strictEqual(named.id, id);
    assert.strictEqual(JSON.parse(named.to_json()).id, id);
    named.delete();
  }

  // A frame that fails leaves the level as it was.
  const level = new q.NarrativeSequencer(zone);
  let deepest = zone;
  for (let depth = 0; depth < 100000; ++depth) {
    const below = new q.Environment("deep");
    deepest.add_sub_environment(below);
    if (deepest !== zone) deepest.delete();
    deepest = below;
  }
  deepest.delete();
  const before = level.save();
  throwsLike(() => level.next_frame(), "RecursionError");
  assert.deepStrictEqual(level.save(), before);
  assert.strictEqual(level.current_frame, 0);
  // A frame text JavaScript cannot hold (V8 refuses strings beyond about
  // 512 MiB): MemoryError, and the level as it was.
  const shallowRoot = new q.Environment("shallow");
  const shallow = new q.NarrativeSequencer(shallowRoot);
  const kept = shallow.save();
  q.qorIsAscii = () => { throw new RangeError("Invalid string length"); };
  for (const call of ["next_frame", "next_frame_patch"]) {
    assert.throws(() => shallow[call](), q.MemoryError);
    assert.deepStrictEqual(shallow.save(), kept);
  }
  q.qorIsAscii = undefined;
  assert.strictEqual(JSON.parse(shallow.next_frame()).meta.frame_index, 1);
  shallowRoot.delete();
  shallow.delete();
  level.delete();
  zone.delete();

  // Frames as bytes: the UTF-8 of the text next_frame() gives, a new array
  // each time; the next patch applies to the frame they held.
  {
    const made = () => {
      const root = new q.Environment("caf\u00e9 \0");
      root.add_charge(1, POSITIVE, "a");
      root.add_charge(2, POSITIVE, "b");
      root.add_plus_magician("plus");
      return root;
    };
    const [byBytes, byText] = [made(), made()];
    const [bytesLevel, textLevel] = [new q.NarrativeSequencer(byBytes), new q.NarrativeSequencer(byText)];
    const first = bytesLevel.next_frame_bytes();
    assert.ok(first instanceof Uint8Array);
    assert.strictEqual(new TextDecoder().decode(first), textLevel.next_frame());
    assert.notStrictEqual(bytesLevel.next_frame_bytes().buffer, first.buffer);
    assert.strictEqual(new TextDecoder().decode(bytesLevel.next_frame_bytes()), (textLevel.next_frame(), textLevel.next_frame()));
    assert.ok(!bytesLevel.next_frame_patch().startsWith('[{"op":"replace","path":""'));
    for (const handle of [bytesLevel, textLevel, byBytes, byText]) handle.delete();
  }

  // Saves are Uint8Arrays; a failed load keeps no memory.
  const small = new q.Environment("small");
  const saved = small.save();
  assert.ok(saved instanceof Uint8Array);
  const copy = q.Environment.load(saved.buffer.slice(saved.byteOffset, saved.byteOffset + saved.length));
  assert.strictEqual(copy.to_json(), small.to_json());
  throwsLike(() => q.Environment.load("bytes"), "TypeError",
             "Environment.load(): data must be a Uint8Array or ArrayBuffer, not string");
  const junk = new Uint8Array(2 << 20).fill(7);
  for (let i = 0; i < 3000; ++i) {
    throwsLike(() => q.NarrativeSequencer.load(junk), "ValueError");
  }
  assert.ok(q.HEAPU8.length < 256 << 20, `memory grew to ${q.HEAPU8.length} bytes`);
  copy.delete();
  small.delete();

  // Properties: int32 only, as in Python.
  const played = new q.NarrativeSequencer(new q.Environment("r"));
  played.current_frame = 2147483647;
  throwsLike(() => { played.current_frame = 2147483648; }, "TypeError");
  throwsLike(() => { played.current_frame = 1.5; }, "TypeError");
  assert.strictEqual(played.current_frame, 2147483647);
  assert.strictEqual(JSON.parse(played.next_frame()).meta.status, "ERROR");
  throwsLike(() => { played.max_frames = 0.5; }, "TypeError", "max_frames must be an integer, not that number");
  throwsLike(() => { played.is_finished = "yes"; }, "TypeError", "is_finished must be a boolean, not string");
  const renamed = played.root_environment;
  throwsLike(() => { renamed.id = 5; }, "TypeError", "id must be a string, not number");
  throwsLike(() => { renamed.is_time_frozen = 1; }, "TypeError", "is_time_frozen must be a boolean, not number");
  renamed.delete();
  throwsLike(() => new q.NarrativeSequencer(new q.Environment("r"), "9"), "TypeError");
  played.delete();

  // The error classes, for instanceof; a RecursionError is a RuntimeError.
  for (const [name, base] of [["ValueError", Error], ["IndexError", Error], ["OverflowError", Error],
                              ["MemoryError", Error], ["RuntimeError", Error], ["RecursionError", q.RuntimeError]]) {
    const error = new q[name]("m");
    assert.ok(error instanceof q[name] && error instanceof base && error.name === name && q[name].name === name);
  }
  throwsLike(() => q.NarrativeSequencer.load(new Uint8Array(3)), "ValueError");
  assert.throws(() => q.NarrativeSequencer.load(new Uint8Array(3)), q.ValueError);

  // Polarities by name; JSON as frames write them.
  assert.strictEqual(q.POSITIVE, q.ChargePolarity.POSITIVE);
  assert.deepStrictEqual([q.POSITIVE, q.NEGATIVE, q.NEUTRAL].map((p) => [p.name, p.value, JSON.stringify(p)]),
                         [["POSITIVE", 0, '"positive"'], ["NEGATIVE", 1, '"negative"'], ["NEUTRAL", 2, '"neutral"']]);

  // Charges: made, read as copies, changed and written back whole.
  const vault = new q.Environment("vault");
  const charge = new q.Charge(2.5, 1, "coin");
  assert.ok(charge instanceof q.Charge);
  assert.deepStrictEqual([charge.magnitude, charge.polarity, charge.visual_id], [2.5, q.NEGATIVE, "coin"]);
  assert.strictEqual(charge.to_json(), '{"magnitude":2.5,"polarity":"negative","visual_id":"coin"}');
  assert.strictEqual(JSON.stringify(charge), charge.to_json());
  vault.charges = [charge, new q.Charge(-1.25, 7, "odd")];
  const read = vault.charges;
  assert.ok(read.every((item) => item instanceof q.Charge));
  assert.deepStrictEqual(JSON.parse(JSON.stringify(read)), JSON.parse(vault.to_json()).charges);
  read[0].magnitude = 4;
  assert.strictEqual(vault.charges[0].magnitude, 2.5, "a charge read is a copy");
  vault.charges = read.slice(0, 1);
  assert.deepStrictEqual(vault.charges.map((c) => c.magnitude), [4]);
  throwsLike(() => { vault.charges = [charge, { magnitude: 1, polarity: q.POSITIVE }]; }, "TypeError",
             "charges: item 1: visual_id must be a string, not undefined");
  assert.deepStrictEqual(vault.charges.map((c) => c.magnitude), [4], "a refused list changed the charges");
  const sparse = [];
  sparse.length = 2 ** 32 - 1;  // claims four billion items, holds none
  throwsLike(() => { vault.charges = sparse; }, "TypeError", "charges: item 0 must be a Charge, not undefined");
  const trapped = [charge, charge];
  Object.defineProperty(trapped, 1, { get() { throw new Error("the host's own"); } });
  throwsLike(() => { vault.charges = trapped; }, "TypeError", "charges: item 1: reading it threw");
  assert.deepStrictEqual(vault.charges.map((c) => c.magnitude), [4], "a refused list changed the charges");

  // Handles: a zone read from the tree is one handle while it lives, freed
  // by one delete() (a later read makes a new one); Symbol.dispose deletes;
  // live_handles() counts.
  const handlesBefore = q.live_handles();
  const owner = new q.NarrativeSequencer(vault);
  const root = owner.root_environment;
  assert.strictEqual(owner.root_environment, root);
  assert.strictEqual(root.find_zone("vault"), root);
  root.delete();
  assert.ok(root.isDeleted(), "one delete() frees a read handle");
  root.delete();
  const again = owner.root_environment;
  assert.ok(again !== root && again.id === "vault");
  assert.strictEqual(q.live_handles(), handlesBefore + 2);
  if (typeof Symbol.dispose === "symbol") {
    again[Symbol.dispose]();
    assert.ok(again.isDeleted());
  } else {
    again.delete();
  }
  owner.delete();
  vault.delete();
  assert.strictEqual(q.live_handles(), handlesBefore - 1);

  // Reading the tree in a loop makes no handle after the first read.
  const tree = q.read_level(JSON.stringify({ zone: "hall", zones: [{ zone: "a" }, { zone: "b", zones: [{ zone: "c" }] }] }));
  const treePlay = tree.play();
  const readsBefore = q.live_handles();
  let seen = 0;
  for (let i = 0; i < 1000; ++i) {
    const zones = treePlay.root_environment.sub_environments;
    seen += zones.length + zones[1].sub_environments.length + treePlay.root_environment.find_zone("c").id.length;
  }
  assert.strictEqual(seen, 4000);
  assert.strictEqual(q.live_handles(), readsBefore + 4, "reads made handles");  // hall, a, b, c

  // A handle never deleted is freed by the garbage collector, zones and
  // levels alike.
  if (typeof global.gc === "function") {
    const settled = async () => {
      for (let i = 0; i < 5; ++i) {
        global.gc();
        await new Promise((resolve) => setTimeout(resolve, 10));
      }
      return q.live_handles();
    };
    const kept = await settled();
    (() => {
      for (let i = 0; i < 100; ++i) new q.NarrativeSequencer(new q.Environment("dropped")).next_frame();
      treePlay.root_environment.sub_environments.forEach((zone) => zone.id);
      tree.build().sub_environments.forEach((zone) => zone.id);
    })();
    assert.strictEqual(q.live_handles(), kept + 204);
    // (the engine's last returned sub-zone may stay alive until its next read of one)
    assert.ok(await settled() <= kept + 1, `${q.live_handles()} handles after collection, ${kept} before`);
  }
  treePlay.delete();
  tree.delete();

  // A handle collected without delete() is reported when the host asks.
  if (typeof global.gc === "function") {
    const leaks = [];
    const watched = await createQorEngine({ onLeakedHandle: (what) => leaks.push(what) });
    (() => { new watched.Environment("forgotten"); })();
    for (let i = 0; i < 10 && leaks.length === 0; ++i) {
      global.gc();
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
    assert.strictEqual(leaks.length, 1);
    assert.match(leaks[0], /^qor_engine: a handle from Environment\(\) was garbage-collected without delete\(\)/);
    assert.match(leaks[0], /api_test\.js/);
  }
  console.log("ok");
});
