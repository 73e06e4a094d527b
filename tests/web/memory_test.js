// Out of memory in the WebAssembly module, on its test build
// (build/web/qor_engine_faults.js: allocation-failure injection, a heap of at
// most 64 MiB). Every allocation of each call fails in turn: the call either
// answers as the same call without failures does or throws q.MemoryError,
// and then the level's save is what it was. A heap filled up recovers once
// its zones are deleted.
// Usage: node memory_test.js ENGINE_FAULTS.js; prints "ok" or throws.
"use strict";
const assert = require("assert");

require(require("path").resolve(process.argv[2]))().then((q) => {
  function makeLevel() {
    const hall = new q.Environment("hall");
    hall.add_charge(2, q.NEGATIVE, "frost");
    hall.add_plus_magician("adder");
    hall.add_equals_gate("gate", 18);
    hall.add_inequality_gate("judge", 100, "<");
    const forge = new q.Environment("forge");
    forge.add_charge(4, q.POSITIVE, "ember_a");
    forge.add_charge(5, q.POSITIVE, "ember_b");
    forge.add_multiply_magician("smith");
    hall.add_sub_environment(forge);
    const level = new q.NarrativeSequencer(hall);
    level.next_frame_patch();  // later patches are changes, not the whole document
    return { hall, forge, level, saved: level.save() };
  }

  function free(state) {
    state.forge.delete();
    state.hall.delete();
    state.level.delete();
  }

  function using(handle, use) {
    try {
      return use(handle);
    } finally {
      handle.delete();
    }
  }

  // A level file whose refill agent is placed again after it acts, and one
  // with three problems.
  const levelText = JSON.stringify({
    title: "Forge", zone: "hall", charges: [[2, "positive", "a"], [3, "negative", "b"], [4, "positive", "c"]],
    agents: [{ kind: "plus", id: "adder", refill: true }, { kind: "equals_gate", id: "gate", target: 9 }],
  });
  const badLevelText = JSON.stringify({ zone: "hall", charges: [[-1, "positive", "a"]],
                                        agents: [{ kind: "plux", id: "p" }, { kind: "plus" }] });
  function problemsOf(text) {
    try {
      q.read_level(text).delete();
    } catch (error) {
      if (!(error instanceof q.LevelError)) throw error;
      assert.strictEqual(error.problems.length, 3);
      return [error.message, error.problems, error.pointers];
    }
    throw new Error("no LevelError");
  }

  // Each call, made on a level as makeLevel() leaves it; what it answers is
  // compared with the same call's answer when nothing fails.
  const kinds = ["plus_magician", "minus_magician", "multiply_magician", "divide_magician", "power_sorcerer",
                 "root_magician", "abs_magician", "factorial_magician", "modulo_magician", "log_magician",
                 "chronomancer"];
  const calls = {
    to_json: (s) => s.hall.to_json(),
    next_frame: (s) => s.level.next_frame(),
    next_frame_patch: (s) => s.level.next_frame_patch(),
    "level save": (s) => Array.from(s.level.save()),
    "zone save": (s) => Array.from(s.forge.save()),
    "level load": (s) => using(q.NarrativeSequencer.load(s.saved), (copy) => copy.next_frame()),
    "zone load": (s) => using(q.Environment.load(s.hall.save()), (copy) => copy.to_json()),
    add_charge: (s) => s.forge.add_charge(1.5, q.NEUTRAL, "spark"),
    charges: (s) => { s.forge.charges = [new q.Charge(1, q.POSITIVE, "one"), new q.Charge(2, 1, "two")]; },
    id: (s) => { s.forge.id = "the smithy under the hall"; },
    add_sub_environment: (s) => using(new q.Environment("cellar"), (cellar) => s.forge.add_sub_environment(cellar)),
    "new Environment": () => new q.Environment("x".repeat(100)).delete(),
    "new NarrativeSequencer": (s) => new q.NarrativeSequencer(s.forge, 10).delete(),
    add_equals_gate: (s) => s.forge.add_equals_gate("gate_2", 3),
    add_inequality_gate: (s) => s.forge.add_inequality_gate("judge_2", 3, ">="),
    explain: (s) => s.level.explain(),
    read_level: () => using(q.read_level(levelText), (level) => [level.title, level.to_text()]),
    "read_level of a bad file": () => problemsOf(badLevelText),
    "level file play": () => using(q.read_level(levelText), (level) => using(level.play(), (play) =>
      [play.next_frame(), play.explain(), play.next_frame(), play.explain()])),
    "LevelPlay load": () => using(q.read_level(levelText), (level) => using(level.play(), (play) =>
      using(q.LevelPlay.load(play.save()), (copy) => copy.next_frame()))),
  };
  for (const kind of kinds) calls[`add_${kind}`] = (s) => s[`forge`][`add_${kind}`](`${kind}_new`);

  for (const [name, call] of Object.entries(calls)) {
    const control = makeLevel();
    const expected = JSON.stringify(call(control));
    const savedAfter = control.level.save();
    free(control);

    const state = makeLevel();
    let failures = 0;
    for (let k = 1; ; ++k) {
      let answer;
      q.qorFailAllocation(k);
      try {
        answer = call(state);
      } catch (error) {
        q.qorFailAllocation(0);
        assert.ok(error instanceof q.MemoryError && error.name === "MemoryError",
                  `${name}, allocation ${k}: ${error.name}: ${error.message}`);
        assert.deepStrictEqual(state.level.save(), state.saved, `${name}, allocation ${k} failed: the level changed`);
        ++failures;
        continue;
      }
      q.qorFailAllocation(0);
      assert.strictEqual(JSON.stringify(answer), expected, `${name}: answered otherwise after ${failures} failures`);
      assert.deepStrictEqual(state.level.save(), savedAfter, `${name}: another level after ${failures} failures`);
      break;
    }
    assert.ok(failures > 0, `${name}: no allocation to fail`);
    free(state);
  }

  // A full heap: zones with 1 MiB ids until one does not fit, then all of
  // them deleted; a level then plays, and as many zones fit again.
  function fill() {
    const zones = [];
    const id = "z".repeat(1 << 20);
    for (;;) {
      try {
        zones.push(new q.Environment(id));
      } catch (error) {
        assert.ok(error instanceof q.MemoryError, `${error.name}: ${error.message}`);
        return zones;
      }
    }
  }
  const first = fill();
  assert.ok(first.length > 10, `only ${first.length} zones fit`);
  first.forEach((zone) => zone.delete());
  const played = makeLevel();
  while (!played.level.is_finished) JSON.parse(played.level.next_frame());
  free(played);
  const second = fill();
  assert.ok(second.length >= first.length - 2, `${second.length} zones fit after freeing, ${first.length} before`);
  second.forEach((zone) => zone.delete());
  assert.strictEqual(q.live_handles(), 0);
  console.log("ok");
});
