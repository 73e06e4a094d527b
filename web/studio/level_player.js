// Plays a level on the engine (the WebAssembly build of qor_engine): a level
// file read by the engine, played by its Level.play() (which places the
// "refill" agents again), the frame texts exactly as the engine returns
// them. Frames are played on demand, so the first one is ready at once
// however long the level runs. record() plays a level to its end as examples/replay.py records it, by the
// engine's JSON Patches (applied with QorPatch, web/draw/jsonpatch.js).
"use strict";

var QorLevelPlayer = (function () {
  // What a player keeps, in UTF-16 code units of texts and bytes of saves.
  const BUDGET = {
    texts: 64 * 1024 * 1024,        // frame texts kept for stepping back and forth
    checkpoints: 64 * 1024 * 1024,  // saves of the engine to replay unkept frames from
    checkpointEvery: 50,            // steps, or ...
    checkpointAfter: 32 * 1024 * 1024,  // ... code units of frame text played since the last one
  };

  class Player {
    constructor(engine, budget) {
      this.q = engine;
      this.budget = Object.assign({}, BUDGET, budget || {});
      this.handles = [];
      this.sequencer = null;
      this.texts = new Map();
    }

    // Plays a Level (the engine's, from read_level(); the caller keeps it)
    // and plays nothing yet: step 0 is the level as built. `maxFrames`, when
    // given, is the frame limit.
    load(level, maxFrames) {
      this.free();
      this.sequencer = maxFrames === undefined ? level.play() : level.play(maxFrames);
      this.indexZones();
      this.count = 0;          // steps played: step n is the document after frame n
      this.live = 0;           // the step the engine's level is at
      this.ended = false;      // the level ended at step `count` (or the frame limit stopped it)
      this.limitText = null;   // the engine's answer at the frame limit, if it stopped the level
      this.played = 0;         // code units of frame text played at the frontier
      this.sinceCheckpoint = 0;
      this.checkpoints = new Map();
      this.checkpointBytes = 0;
      this.exact = new Map();
      this.parsed = new Map();
      this.explained = new Map();
      this.cache(0, this.root().to_json());
      this.noteNonFinite(0);
      this.checkpoint(0);
    }

    keep(handle) { this.handles.push(handle); return handle; }

    // The engine's root zone now.
    root() {
      if (!this.rootZone) this.rootZone = this.keep(this.sequencer.root_environment);
      return this.rootZone;
    }

    // A frame writes NaN and the infinities as null; their values are read
    // from the zones right after the frame, by their JSON Pointers.
    noteNonFinite(step) {
      const text = this.texts.get(step);
      if (!writesNullMagnitude(text)) return;
      this.exact.set(step, this.nonFinite(JSON.parse(text)));
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

    get rootCharges() { return this.root().charges; }

    get finished() { return this.sequencer === null || this.ended; }

    // Plays frames until `step` is known or the level ends; the step reached.
    playTo(step) {
      while (this.count < step && !this.ended) this.advance();
      return Math.min(step, this.count);
    }

    // Plays the next frame of the level. The engine's answer at the frame
    // limit is no step of its own: it changes nothing and keeps the last
    // frame's number, so step n stays frame n.
    advance() {
      this.seek(this.count);
      const before = this.sequencer.current_frame;
      const text = this.sequencer.next_frame();
      if (this.sequencer.is_finished && this.sequencer.current_frame === before) {
        this.limitText = text;
        this.ended = true;
        return;
      }
      this.count++;
      this.live++;
      this.played += text.length;
      this.sinceCheckpoint += text.length;
      this.cache(this.count, text);
      this.noteNonFinite(this.count);
      this.ended = this.sequencer.is_finished;
      const { checkpointEvery, checkpointAfter } = this.budget;
      if (!this.ended && (this.count % checkpointEvery === 0 || this.sinceCheckpoint >= checkpointAfter)) {
        this.checkpoint(this.count);
      }
    }

    // Puts the engine's level at a known step: from where it is, or from the
    // nearest checkpoint before the step, replaying the frames between.
    seek(step) {
      if (this.live === step) return;
      let from = -1;
      for (const at of this.checkpoints.keys()) if (at <= step && at > from) from = at;
      if (this.live > step || this.live < from) {
        if (this.live === this.count && !this.ended && !this.checkpoints.has(this.live)) this.checkpoint(this.live);
        this.restore(from);
      }
      while (this.live < step) this.replayFrame();
    }

    // Plays a known frame again, from the step before it.
    replayFrame() {
      const text = this.sequencer.next_frame();
      this.live++;
      this.cache(this.live, text);
    }

    // Makes a known step's text again: the level as built from the first
    // checkpoint, a frame by playing it from the step before.
    replay(step) {
      if (step === 0) {
        this.restore(0);
        this.cache(0, this.root().to_json());
        return;
      }
      this.seek(step - 1);
      this.replayFrame();
    }

    checkpoint(step) {
      const save = this.sequencer.save();
      this.checkpoints.set(step, save);
      this.checkpointBytes += save.length;
      this.sinceCheckpoint = 0;
      // Over the budget, every other checkpoint goes (never the first).
      while (this.checkpointBytes > this.budget.checkpoints && this.checkpoints.size > 2) {
        [...this.checkpoints.keys()].sort((a, b) => a - b).forEach((at, i) => {
          if (i % 2 === 1) {
            this.checkpointBytes -= this.checkpoints.get(at).length;
            this.checkpoints.delete(at);
          }
        });
      }
    }

    // The engine's level as it was at a checkpoint (a LevelPlay again, with
    // its refills).
    restore(step) {
      const loaded = this.q.NarrativeSequencer.load(this.checkpoints.get(step));
      this.releaseHandles();
      this.sequencer = loaded;
      this.live = step;
      this.indexZones();
    }

    // The zones of the level in play, by id (ids are unique in a level file),
    // for reading the magnitudes a frame writes as null.
    indexZones() {
      this.zones = new Map();
      const pending = [this.root()];
      while (pending.length) {
        const zone = pending.pop();
        this.zones.set(zone.id, zone);
        for (const sub of zone.sub_environments) pending.push(this.keep(sub));
      }
    }

    // The engine's explain() of a known step, parsed: why each agent acts or
    // waits there, and the outcome. A few are kept.
    explanation(step) {
      if (!this.explained.has(step)) {
        this.seek(step);
        if (this.explained.size >= 4) this.explained.delete(this.explained.keys().next().value);
        this.explained.set(step, JSON.parse(this.sequencer.explain()));
      }
      return this.explained.get(step);
    }

    // Keeps a step's text; the oldest go beyond the budget (two at least stay).
    cache(step, text) {
      this.texts.delete(step);
      this.texts.set(step, text);
      this.cached = (this.cached || 0) + text.length;
      for (const [at, old] of this.texts) {
        if (this.cached <= this.budget.texts || this.texts.size <= 2) break;
        this.texts.delete(at);
        this.cached -= old.length;
      }
    }

    // The engine's text of a known step (0: the level as built).
    text(step) {
      if (!this.texts.has(step)) this.replay(step);
      const text = this.texts.get(step);
      this.texts.delete(step);
      this.texts.set(step, text);  // the latest used go last
      return text;
    }

    // What the player keeps now: code units of texts, bytes of saves.
    get memory() { return { texts: this.cached || 0, checkpoints: this.checkpointBytes || 0 }; }

    // Plays a level just loaded to its end by next_frame_patch(), as
    // replay.py records it: the level as built and each frame's patch as
    // the engine wrote them, the magnitudes written as null by the step from
    // which they hold (replay.py's "exact"), the outcome line, and explain()
    // after every step as the replay page draws it (replay.py's "explained").
    // `measure(kind, text)`, when given, is told each text the page will
    // hold ("patch", or "exact" and "explained", counted less two
    // characters) and may throw to stop the recording.
    record(measure) {
      const steps = this.recording(measure);
      for (;;) {
        const next = steps.next();
        if (next.done) return next.value;
      }
    }

    // record() a frame at a time: yields the number of frames recorded after
    // each, and returns the recording.
    *recording(measure) {
      const count = measure || (() => {});
      const start = this.texts.get(0);
      const patches = [];
      const exact = new ExactValues((frame) => this.nonFinite(frame));
      const noteExact = (step, text, state) => {
        const entry = exact.after(step, text, state);
        if (entry) count("exact", JSON.stringify(entry), patches.length);
      };
      noteExact(0, start, JSON.parse(start));
      // The engine's compact form of explain() after every step, as replay.py keeps it.
      const explained = new this.q.CompactExplanations();
      try {
        const noteExplained = () => count("explained", "[" + explained.add(this.sequencer.explain()) + "]", patches.length);
        noteExplained();
        let frame = null;
        while (!this.sequencer.is_finished) {
          const text = this.sequencer.next_frame_patch();
          frame = QorPatch.apply(frame, JSON.parse(text));
          patches.push(text);
          count("patch", text, patches.length);
          noteExact(patches.length, text, frame);
          noteExplained();
          yield patches.length;
        }
        const line = frame ? outcome(frame, this.rootCharges, this.q) : "No frames.";
        return { start, patches, exact: exact.byStep, outcome: line, explained: JSON.parse(explained.to_json()) };
      } finally {
        explained.delete();
      }
    }

    // The parsed state at a known step (0: as built); a few are kept.
    frame(step) {
      if (!this.parsed.has(step)) {
        if (this.parsed.size >= 4) this.parsed.delete(this.parsed.keys().next().value);
        this.parsed.set(step, JSON.parse(this.text(step)));
      }
      return this.parsed.get(step);
    }

    releaseHandles() {
      if (this.sequencer) this.sequencer.delete();
      for (const handle of this.handles) handle.delete();
      this.handles = [];
      this.sequencer = null;
      this.rootZone = null;
    }

    free() {
      this.releaseHandles();
      this.texts = new Map();
      this.cached = 0;
      this.checkpoints = new Map();
      this.checkpointBytes = 0;
      this.count = 0;
      this.ended = false;
      this.explained = new Map();
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

    // A step whose frame or patch is `text`, making `state`: the entry it
    // adds ({step: values}), or null.
    after(step, text, state) {
      if (this.current === "{}" && !writesNullMagnitude(text)) return null;
      const found = this.read(state);
      const values = Object.fromEntries(Object.keys(found).map((pointer) => [pointer, String(found[pointer])]));
      const written = JSON.stringify(values);
      if (written === this.current) return null;
      this.byStep[String(step)] = values;
      this.current = written;
      return { [String(step)]: values };
    }
  }

  // Python's "%g" of a finite number: six significant digits, trailing
  // zeros dropped, an exponent outside 1e-4 to 1e6.
  function formatG(x) {
    if (x === 0) return Object.is(x, -0) ? "-0" : "0";
    const [mantissa, power] = Math.abs(x).toExponential(99).split("e");
    const digits = mantissa.replace(".", "");
    let head = digits.slice(0, 6), exponent = Number(power);
    const rest = digits.slice(6);
    const odd = Number(head[5]) % 2 === 1;
    if (rest[0] > "5" || (rest[0] === "5" && (/[1-9]/.test(rest.slice(1)) || odd))) {
      head = String(Number(head) + 1);
      if (head.length > 6) { head = head.slice(0, 6); exponent++; }
    }
    const strip = (s) => (s.includes(".") ? s.replace(/0+$/, "").replace(/\.$/, "") : s);
    let shown;
    if (exponent >= -4 && exponent < 6) {
      shown = exponent >= 0 ? head.slice(0, exponent + 1) + "." + head.slice(exponent + 1)
        : "0." + "0".repeat(-exponent - 1) + head;
      shown = strip(shown);
    } else {
      const e = Math.abs(exponent);
      shown = strip(head[0] + "." + head.slice(1)) + "e" + (exponent < 0 ? "-" : "+") + String(e).padStart(2, "0");
    }
    return (x < 0 ? "-" : "") + shown;
  }

  // replay.py's closing line, "Resolved after 5 frames; root holds [ +18.0 ]",
  // naming at most five of the agents still standing, for the replay page
  // the studio exports.
  function formatMagnitude(m) {
    if (Number.isNaN(m)) return "nan";
    if (!Number.isFinite(m)) return m > 0 ? "inf" : "-inf";
    if (Number.isInteger(m) && Math.abs(m) < 1e15) return m.toFixed(1);
    return formatG(m);
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

  return { Player, outcome, BUDGET };
})();

if (typeof module !== "undefined") module.exports = QorLevelPlayer;
