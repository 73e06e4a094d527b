// Hostile arguments in every position of every entry point of the
// WebAssembly module: a getter or a Proxy that throws, a detached buffer, a
// Uint8Array whose length lies, undefined, a Symbol, wrong types and a
// deleted handle, as an argument, as `this` and as a property's new value;
// and a wrong argument count. Each call must throw JavaScript's TypeError
// naming the argument (a Uint8Array of junk given as a save: the module's
// ValueError), and the module must answer right after. The entry points come
// from the binding's own table (q.qorParameters) and the classes' properties,
// so a new one is covered once its parameters have valid values below.
// Usage: node arguments_test.js ENGINE.js; prints "ok" or throws. The caller
// checks that nothing else was printed.
"use strict";
const assert = require("assert");

require(require("path").resolve(process.argv[2]))().then((q) => {
  const made = [];
  const keep = (handle) => { made.push(handle); return handle; };
  const zone = () => keep(new q.Environment("zone"));
  const deleted = () => { const gone = new q.Environment("gone"); gone.delete(); return gone; };
  const levelText = '{"zone": "r", "charges": [[2, "positive", "c"]], "agents": [{"kind": "plus", "id": "p"}]}';
  const instances = {
    Environment: zone,
    NarrativeSequencer: () => keep(new q.NarrativeSequencer(zone())),
    Charge: () => new q.Charge(1, q.POSITIVE, "c"),
    Level: () => keep(q.read_level(levelText)),
    LevelPlay: () => keep(instances.Level().play()),
    CompactExplanations: () => keep(new q.CompactExplanations()),
  };
  const validValues = {
    id: () => "z",
    magnitude: () => 1.5,
    polarity: () => q.NEGATIVE,
    visual_id: () => "v",
    sub_env: zone,
    env: zone,
    max_frames: () => 10,
    target: () => 3,
    comparison_type: () => "<",
    kind: () => "plus",
    rule: () => "<",
    zone,
    title: () => "t",
    description: () => "d",
    data: (owner) => (owner === "module" ? levelText : instances[owner]().save()),
    explanation: () => instances.NarrativeSequencer().explain(),
  };

  function throwing() { throw new Error("the host's getter"); }
  function detachedBuffer() {
    const buffer = new ArrayBuffer(16);
    structuredClone(buffer, { transfer: [buffer] });
    return buffer;
  }
  const hostile = {
    "a throwing getter": () => ({ get constructor() { return throwing(); }, get length() { return throwing(); },
                                  get magnitude() { return throwing(); }, valueOf: throwing, toString: throwing }),
    "a Proxy": () => new Proxy({}, { get: throwing, getPrototypeOf: throwing, has: throwing, ownKeys: throwing,
                                     getOwnPropertyDescriptor: throwing }),
    "a Proxy of a handle": () => new Proxy(zone(), { get: throwing }),
    "a Proxy of an array": () => new Proxy([1], { get: throwing }),
    "a detached ArrayBuffer": detachedBuffer,
    "a Uint8Array of a detached buffer": () => { const b = new ArrayBuffer(8); const v = new Uint8Array(b);
                                                 structuredClone(b, { transfer: [b] }); return v; },
    "a Uint8Array whose length lies": () => Object.defineProperty(new Uint8Array(4).fill(7), "length",
                                                                  { get: () => 1e12 }),
    undefined: () => undefined,
    "a Symbol": () => Symbol("s"),
    "an object": () => ({}),
    "an array": () => [1],
    "a boolean": () => true,
    "a BigInt": () => 7n,
    "a deleted handle": deleted,
  };

  // The module answers as before.
  const witness = new q.Environment("witness");
  witness.add_charge(2, q.POSITIVE, "w");
  const witnessText = witness.to_json();
  let checked = 0;

  function expectTypeError(call, named, what) {
    let thrown = null;
    try {
      call();
    } catch (error) {
      thrown = error;
    }
    assert.ok(thrown !== null, `${what}: no error`);
    const junkSave = /length lies/.test(what) && / data /.test(what);
    if (junkSave) {
      assert.ok(thrown instanceof q.ValueError, `${what}: ${thrown}`);
    } else {
      assert.ok(thrown instanceof TypeError, `${what}: ${thrown && thrown.name}: ${thrown && thrown.message}`);
      assert.ok(named.some((name) => thrown.message.includes(name)), `${what}: "${thrown.message}" names none of ${named}`);
    }
    assert.strictEqual(witness.to_json(), witnessText, `${what}: the module answers otherwise after it`);
    ++checked;
  }

  function argumentsFor(owner, parameters) {
    return parameters.map((parameter) => {
      const name = parameter.replace(/\?$/, "");
      assert.ok(name in validValues, `no valid value for the parameter ${name}: add one to this test`);
      return validValues[name](owner);
    });
  }

  function invoke(owner, member, self, args) {
    if (owner === "module") return keep(q[member](...args));
    if (member === "new") return new q[owner](...args);
    if (member.startsWith("static ")) return q[owner][member.slice(7)](...args);
    return self[member](...args);
  }

  const table = q.qorParameters;
  assert.deepStrictEqual(Object.keys(table).sort(),
                         ["Charge", "CompactExplanations", "Environment", "Level", "LevelPlay", "NarrativeSequencer", "module"]);
  for (const [owner, members] of Object.entries(table)) {
    // Every method of the class is in the table.
    if (owner !== "Charge" && owner !== "module") {
      for (const name of Object.getOwnPropertyNames(q[owner].prototype)) {
        const member = Object.getOwnPropertyDescriptor(q[owner].prototype, name);
        if (typeof member.value === "function" && !["constructor", "delete", "clone"].includes(name)) {
          assert.ok(name in members, `${owner}.${name} is not in the parameter table`);
        }
      }
    }
    for (const [member, parameters] of Object.entries(members)) {
      const where = `${owner} ${member}`;
      const plain = owner !== "module" && !member.startsWith("static ") && member !== "new";
      parameters.forEach((parameter, position) => {
        const name = parameter.replace(/\?$/, "");
        for (const [kind, value] of Object.entries(hostile)) {
          if (kind === "undefined" && parameter.endsWith("?")) continue;  // left out: the default
          const self = plain ? instances[owner]() : null;
          const args = argumentsFor(owner, parameters);
          args[position] = value();
          expectTypeError(() => invoke(owner, member, self, args), [name], `${where}: ${kind} as ${name} `);
        }
      });
      // A wrong count: one more than it takes, and none when it takes some.
      const counts = [parameters.length + 1].concat(parameters.some((p) => !p.endsWith("?")) ? [0] : []);
      for (const count of counts) {
        const self = plain ? instances[owner]() : null;
        const args = argumentsFor(owner, parameters).concat([1]).slice(0, count);
        expectTypeError(() => invoke(owner, member, self, args), ["takes"], `${where}: ${count} arguments`);
      }
      if (plain && owner !== "Charge") {
        for (const [kind, value] of Object.entries(hostile)) {
          const args = argumentsFor(owner, parameters);
          expectTypeError(() => q[owner].prototype[member].apply(value(), args), ["this", "deleted"],
                          `${where}: ${kind} as this`);
        }
      }
    }
  }

  // Every property with a setter, given each hostile value; every property
  // read from a handle that is not one.
  for (const owner of ["Environment", "NarrativeSequencer", "Level"]) {
    for (const [name, member] of Object.entries(Object.getOwnPropertyDescriptors(q[owner].prototype))) {
      if (member.set) {
        for (const [kind, value] of Object.entries(hostile)) {
          if (kind === "a boolean" && ["is_time_frozen", "is_finished"].includes(name)) continue;
          const self = instances[owner]();
          expectTypeError(() => { self[name] = value(); }, [name], `${owner}.${name} = ${kind}`);
        }
      }
      if (member.get) {
        for (const [kind, value] of Object.entries(hostile)) {
          expectTypeError(() => member.get.call(value()), ["this", "deleted"], `${owner}.${name} of ${kind}`);
        }
      }
    }
  }

  // Flags take booleans only; frame numbers integers only.
  const level = instances.NarrativeSequencer();
  for (const [name, values] of [["is_finished", ["x", "", 1, 0, [1], {}, null]],
                                ["max_frames", ["10", 2.5, NaN, null, true]],
                                ["current_frame", ["1", 0.5, null, true]]]) {
    for (const value of values) expectTypeError(() => { level[name] = value; }, [name], `${name} = ${String(value)}`);
  }
  level.is_finished = true;
  assert.strictEqual(level.is_finished, true);

  // Level and LevelPlay are made by the module only.
  for (const owner of ["Level", "LevelPlay"]) expectTypeError(() => new q[owner](), ["made by"], `new ${owner}()`);

  made.forEach((handle) => { if (!handle.isDeleted()) handle.delete(); });
  witness.delete();
  assert.strictEqual(q.live_handles(), 0, "handles left");
  assert.ok(checked > 500, `only ${checked} calls checked`);
  console.log("ok");
});
