// Plays a level on the engine (the WebAssembly build of qor_engine) as
// examples/play.py plays it: the same building, the same "refill" rule, the
// frame texts exactly as the engine returns them. Frames are played on
// demand, so the first one is ready at once however long the level runs.
// record() plays a level to its end as examples/replay.py records it, by the
// engine's JSON Patches (applied with QorPatch, web/draw/jsonpatch.js).
"use strict";

var QorLevelPlayer = (function () {
  const PLACERS = {
    plus: (zone, a) => zone.add_plus_magician(a.id),
    minus: (zone, a) => zone.add_minus_magician(a.id),
    multiply: (zone, a) => zone.add_multiply_magician(a.id),
    divide: (zone, a) => zone.add_divide_magician(a.id),
    power: (zone, a) => zone.add_power_sorcerer(a.id),
    root: (zone, a) => zone.add_root_magician(a.id),
    abs: (zone, a) => zone.add_abs_magician(a.id),
    factorial: (zone, a) => zone.add_factorial_magician(a.id),
    modulo: (zone, a) => zone.add_modulo_magician(a.id),
    log: (zone, a) => zone.add_log_magician(a.id),
    chronomancer: (zone, a) => zone.add_chronomancer(a.id),
    equals_gate: (zone, a) => zone.add_equals_gate(a.id, a.target),
    inequality_gate: (zone, a) => zone.add_inequality_gate(a.id, a.target, a.rule),
  };

  class Player {
    constructor(engine) {
      this.q = engine;
      this.handles = [];
      this.sequencer = null;
    }

    // Builds a checked level (plain data, examples/LEVELS.md) and plays
    // nothing yet: texts[0] is the level as built.
    load(level) {
      this.free();
      const q = this.q;
      const polarity = { positive: q.ChargePolarity.POSITIVE, negative: q.ChargePolarity.NEGATIVE,
        neutral: q.ChargePolarity.NEUTRAL };
      this.refills = new Map();
      this.zones = new Map();  // by id: zone ids are unique in a level file
      const build = (def) => {
        const zone = new q.Environment(def.zone);
        this.handles.push(zone);
        this.zones.set(def.zone, zone);
        for (const [magnitude, pole, id] of def.charges || []) zone.add_charge(magnitude, polarity[pole], id);
        for (const agent of def.agents || []) {
          PLACERS[agent.kind](zone, agent);
          if (agent.refill) this.refills.set(agent.id, () => PLACERS[agent.kind](zone, agent));
        }
        for (const sub of def.zones || []) zone.add_sub_environment(build(sub));
        return zone;
      };
      const root = build(level);
      this.root = root;
      this.texts = [root.to_json()];
      this.exact = new Map();
      this.noteNonFinite(0);
      this.sequencer = new q.NarrativeSequencer(root);
      this.parsed = new Map();
    }

    // A frame writes NaN and the infinities as null; their values are read
    // from the zones right after the frame, by their JSON Pointers.
    noteNonFinite(step) {
      if (!writesNullMagnitude(this.texts[step])) return;
      this.exact.set(step, this.nonFinite(JSON.parse(this.texts[step])));
    }

    // The magnitudes a frame (the engine's state now) writes as null, by
    // JSON Pointer, in the order replay.py finds them.
    nonFinite(frame) {
      const found = {};
      const pending = [[frame, ""]];
      while (pending.length) {
        const [zone, pointer] = pending.pop();
        const charges = zone.charges.some((charge) => charge.magnitude === null) ? this.zones.get(zone.id).charges : [];
        charges.forEach((charge, index) => {
          if (!Number.isFinite(charge.magnitude)) found[`${pointer}/charges/${index}/magnitude`] = charge.magnitude;
        });
        zone.sub_environments.forEach((sub, index) => pending.push([sub, `${pointer}/sub_environments/${index}`]));
      }
      return found;
    }

    // The values a step's document wrote as null, by pointer, or null.
    exactAt(step) { return this.exact.get(step) || null; }

    get rootCharges() { return this.root.charges; }

    get finished() { return this.sequencer === null || this.sequencer.is_finished; }

    // Plays frames until there are `count` texts beyond the start, or the level ends.
    playTo(count) {
      while (this.texts.length <= count && !this.finished) {
        const text = this.sequencer.next_frame();
        this.texts.push(text);
        this.noteNonFinite(this.texts.length - 1);
        this.refillAfter(this.frame(this.texts.length - 1));
      }
      return Math.min(count, this.texts.length - 1);
    }

    // play.py's "refill" rule: an agent marked so is placed again once it acted.
    refillAfter(frame) {
      const event = frame.meta.last_event;
      if (event && event.type === "CAST_SPELL" && this.refills.has(event.visual_id)) {
        this.refills.get(event.visual_id)();
      }
    }

    // Plays a level just loaded to its end by next_frame_patch(), as
    // replay.py records it: the level as built and each frame's patch as
    // the engine wrote them, the magnitudes written as null by the step from
    // which they hold (replay.py's "exact"), and the outcome line.
    record() {
      const start = this.texts[0];
      const patches = [];
      const exact = new ExactValues((frame) => this.nonFinite(frame));
      exact.after(0, start, JSON.parse(start));
      let frame = null;
      while (!this.sequencer.is_finished) {
        const text = this.sequencer.next_frame_patch();
        frame = QorPatch.apply(frame, JSON.parse(text));
        patches.push(text);
        exact.after(patches.length, text, frame);
        this.refillAfter(frame);
      }
      const line = frame ? outcome(frame, this.rootCharges, this.q) : "No frames.";
      return { start, patches, exact: exact.byStep, outcome: line };
    }

    // The parsed state at a step (0: as built); a few are kept.
    frame(step) {
      if (!this.parsed.has(step)) {
        if (this.parsed.size > 16) this.parsed.clear();
        this.parsed.set(step, JSON.parse(this.texts[step]));
      }
      return this.parsed.get(step);
    }

    free() {
      if (this.sequencer) this.sequencer.delete();
      for (const handle of this.handles) handle.delete();
      this.handles = [];
      this.sequencer = null;
      this.root = null;
      this.texts = [];
    }
  }

  function writesNullMagnitude(text) { return /"magnitude":\s*null/.test(text); }

  // replay.py's ExactValues: the magnitudes the document writes as null, as
  // texts ("NaN", "Infinity", "-Infinity"), by the step from which they hold;
  // read from the zones only while there may be any.
  class ExactValues {
    constructor(read) {
      this.read = read;
      this.byStep = {};
      this.current = "{}";
    }

    // A step whose frame or patch is `text`, making `state`.
    after(step, text, state) {
      if (this.current === "{}" && !writesNullMagnitude(text)) return;
      const found = this.read(state);
      const values = Object.fromEntries(Object.keys(found).map((pointer) => [pointer, String(found[pointer])]));
      const written = JSON.stringify(values);
      if (written === this.current) return;
      this.byStep[String(step)] = values;
      this.current = written;
    }
  }

  // play.py's closing line, "Resolved after 5 frames; root holds [ +18.0 ]",
  // naming at most five of the agents still standing, as replay.py does.
  function formatMagnitude(m) {
    if (Number.isNaN(m)) return "nan";
    if (!Number.isFinite(m)) return m > 0 ? "inf" : "-inf";
    if (Number.isInteger(m) && Math.abs(m) < 1e15) return m.toFixed(1);
    return QorLevelCheck.formatG(m);
  }

  // The polarity's sign, then the magnitude; one below zero in brackets.
  function formatCharge(charge, q) {
    const signs = new Map([[q.ChargePolarity.POSITIVE, "+"], [q.ChargePolarity.NEGATIVE, "-"], [q.ChargePolarity.NEUTRAL, "~"]]);
    const sign = signs.get(charge.polarity) || "?";
    const m = charge.magnitude;
    return m < 0 ? `${sign}(${formatMagnitude(m)})` : sign + formatMagnitude(Math.abs(m));
  }

  function formatCharges(charges, q) {
    return charges.length ? "[ " + charges.map((c) => formatCharge(c, q)).join(" ") + " ]" : "[ ]";
  }

  // The agents still standing, depth first.
  function waiting(zone) {
    const found = [];
    const pending = [zone];
    while (pending.length) {
      const visited = pending.pop();
      for (const a of visited.agents) found.push(`${a.name} ${JSON.stringify(a.visual_id)} in ${visited.id}`);
      pending.push(...[...visited.sub_environments].reverse());
    }
    return found;
  }

  const LISTED_WAITING = 5;

  function outcome(last, rootCharges, q) {
    const frames = last.meta.frame_index;
    const count = `${frames} frame${frames === 1 ? "" : "s"}`;
    const head = last.meta.status === "ERROR" ? `Stopped by the frame limit after ${count}` : `Resolved after ${count}`;
    const line = `${head}; root holds ${formatCharges(rootCharges, q)}`;
    const standing = waiting(last);
    if (!standing.length) return line;
    if (standing.length <= LISTED_WAITING) return `${line}; still standing: ${standing.join(", ")}`;
    const listed = standing.slice(0, LISTED_WAITING).join(", ");
    return `${line}; still standing: ${listed} and ${standing.length - LISTED_WAITING} more`;
  }

  return { Player, outcome };
})();

if (typeof module !== "undefined") module.exports = QorLevelPlayer;
