// Plays a level on the engine (the WebAssembly build of qor_engine) as
// examples/play.py plays it: the same building, the same "refill" rule, the
// frame texts exactly as the engine returns them. Frames are played on
// demand, so the first one is ready at once however long the level runs.
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
      const build = (def) => {
        const zone = new q.Environment(def.zone);
        this.handles.push(zone);
        for (const [magnitude, pole, id] of def.charges || []) zone.add_charge(magnitude, polarity[pole], id);
        for (const agent of def.agents || []) {
          PLACERS[agent.kind](zone, agent);
          if (agent.refill) this.refills.set(agent.id, () => PLACERS[agent.kind](zone, agent));
        }
        for (const sub of def.zones || []) zone.add_sub_environment(build(sub));
        return zone;
      };
      const root = build(level);
      this.texts = [root.to_json()];
      this.sequencer = new q.NarrativeSequencer(root);
      this.parsed = new Map();
    }

    get finished() { return this.sequencer === null || this.sequencer.is_finished; }

    // Plays frames until there are `count` texts beyond the start, or the level ends.
    playTo(count) {
      while (this.texts.length <= count && !this.finished) {
        const text = this.sequencer.next_frame();
        this.texts.push(text);
        const frame = this.frame(this.texts.length - 1);
        const event = frame.meta.last_event;
        if (event && event.type === "CAST_SPELL" && this.refills.has(event.visual_id)) {
          this.refills.get(event.visual_id)();
        }
      }
      return Math.min(count, this.texts.length - 1);
    }

    // The parsed state at a step (0: as built); a few are kept.
    frame(step) {
      if (!this.parsed.has(step)) {
        if (this.parsed.size > 16) this.parsed.clear();
        this.parsed.set(step, JSON.parse(this.texts[step]));
      }
      return this.parsed.get(step);
    }

    get frames() { return this.texts.slice(1); }

    free() {
      if (this.sequencer) this.sequencer.delete();
      for (const handle of this.handles) handle.delete();
      this.handles = [];
      this.sequencer = null;
      this.texts = [];
    }
  }

  // play.py's closing line: "Resolved after 5 frames; root holds [ +18.0 ]".
  function formatMagnitude(m) {
    if (typeof m !== "number") return "nan";  // the frame writes NaN and the infinities as null
    if (Number.isInteger(m) && Math.abs(m) < 1e15) return m.toFixed(1);
    return QorLevelCheck.formatG(m);
  }

  const SIGNS = { positive: "+", negative: "-", neutral: "~" };

  function formatCharges(charges) {
    if (!charges.length) return "[ ]";
    return "[ " + charges.map((c) => (SIGNS[c.polarity] || "~") + formatMagnitude(c.magnitude)).join(" ") + " ]";
  }

  function waiting(zone) {
    const found = zone.agents.map((a) => `${a.name} ${JSON.stringify(a.visual_id)} in ${zone.id}`);
    for (const sub of zone.sub_environments) found.push(...waiting(sub));
    return found;
  }

  const LISTED_WAITING = 5;

  function outcome(last) {
    const frames = last.meta.frame_index;
    const count = `${frames} frame${frames === 1 ? "" : "s"}`;
    const head = last.meta.status === "ERROR" ? `Stopped by the frame limit after ${count}` : `Resolved after ${count}`;
    let line = `${head}; root holds ${formatCharges(last.charges)}`;
    const standing = waiting(last);
    if (standing.length > LISTED_WAITING) {
      line += `; still standing: ${standing.slice(0, LISTED_WAITING).join(", ")} and ${standing.length - LISTED_WAITING} more`;
    } else if (standing.length) line += `; still standing: ${standing.join(", ")}`;
    return line;
  }

  return { Player, outcome };
})();

if (typeof module !== "undefined") module.exports = QorLevelPlayer;
