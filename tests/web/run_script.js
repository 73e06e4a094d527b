// Plays call scripts on the WebAssembly engine (build/web/qor_engine.js), as
// tests/web/call_scripts.py plays them on the native module; the test compares the
// answers. Usage: node run_script.js ENGINE.js IN.json OUT.json
"use strict";
const fs = require("fs");

const [enginePath, inPath, outPath] = process.argv.slice(2);

// Numbers that JSON cannot hold travel as {"float": "nan" | "inf" | "-inf"}.
function fromWire(value) {
  if (value !== null && typeof value === "object" && "float" in value) {
    return { nan: NaN, inf: Infinity, "-inf": -Infinity }[value.float];
  }
  return value;
}

function toWire(value) {
  if (typeof value === "number" && !Number.isFinite(value)) {
    return { float: Number.isNaN(value) ? "nan" : value > 0 ? "inf" : "-inf" };
  }
  return value;
}

function hex(bytes) {
  return Buffer.from(bytes).toString("hex");
}

function unhex(text) {
  return new Uint8Array(Buffer.from(text, "hex"));
}

class Player {
  constructor(q) {
    this.q = q;
    this.zones = [];
    this.level = null;
    this.refills = new Map();
    this.polarities = {
      positive: q.ChargePolarity.POSITIVE,
      negative: q.ChargePolarity.NEGATIVE,
      neutral: q.ChargePolarity.NEUTRAL,
    };
  }

  polarity(tag) {
    return typeof tag === "string" ? this.polarities[tag] : tag;
  }

  place(zone, method, args) {
    this.zones[zone][method](...args.map(fromWire));
  }

  frame() {
    const text = this.level.next_frame();
    const event = JSON.parse(text).meta.last_event;
    if (event !== null && event.type === "CAST_SPELL" && this.refills.has(event.visual_id)) {
      const [zone, method, ...args] = this.refills.get(event.visual_id);
      this.place(zone, method, args);
    }
    return text;
  }

  // The zones of the level in play, root first, each before its sub-zones.
  rewalk() {
    this.zones.forEach((zone) => zone.delete());
    this.zones = [];
    const pending = [this.level.root_environment];
    while (pending.length > 0) {
      const zone = pending.pop();
      this.zones.push(zone);
      pending.push(...zone.sub_environments.reverse());
    }
    return this.zones.length;
  }

  run(op) {
    const [name, ...a] = op;
    switch (name) {
      case "zone": {
        const made = new this.q.Environment(a[0]);
        if (a[1] < this.zones.length) {
          this.zones[a[1]].delete();
          this.zones[a[1]] = made;
        } else {
          this.zones.push(made);
        }
        return null;
      }
      case "charge":
        this.zones[a[0]].add_charge(fromWire(a[1]), this.polarity(a[2]), a[3]);
        return null;
      case "place":
        this.place(a[0], a[1], a.slice(2));
        return null;
      case "sub":
        this.zones[a[0]].add_sub_environment(this.zones[a[1]]);
        return null;
      case "level": {
        const made = new this.q.NarrativeSequencer(this.zones[a[0]], ...a.slice(1));
        if (this.level) this.level.delete();
        this.level = made;
        return null;
      }
      case "refill":
        this.refills.set(a[0], a.slice(1));
        return null;
      case "play": {
        const texts = [];
        while (!this.level.is_finished && texts.length < a[0]) texts.push(this.frame());
        return texts;
      }
      case "frame":
        return this.frame();
      case "patches": {
        const patches = [];
        while (!this.level.is_finished && patches.length < a[0]) {
          const patch = this.level.next_frame_patch();
          // A read of the tree: the zone's one handle, which this.zones may hold too.
          patches.push([patch, this.level.root_environment.to_json()]);
        }
        return patches;
      }
      case "set_level":
        this.level[a[0]] = a[1];
        return null;
      case "set_zone":
        this.zones[a[0]][a[1]] = a[2];
        return null;
      case "json":
        return this.zones[a[0]].to_json();
      case "charges":
        return this.zones[a[0]].charges.map((c) => [
          toWire(c.magnitude),
          typeof c.polarity === "number" ? c.polarity : c.polarity.value,
          c.visual_id,
        ]);
      case "zone_save":
        return hex(this.zones[a[0]].save());
      case "zone_reload": {
        const copy = this.q.Environment.load(this.zones[a[0]].save());
        this.zones[a[0]].delete();
        this.zones[a[0]] = copy;
        return null;
      }
      case "save":
        return hex(this.level.save());
      case "reload": {
        const loaded = this.q.NarrativeSequencer.load(this.level.save());
        this.level.delete();
        this.level = loaded;
        return this.rewalk();
      }
      case "state":
        return [this.level.current_frame, this.level.is_finished, this.level.max_frames];
      case "explain":
        return this.level.explain();
      default:
        throw new Error(`unknown op ${name}`);
    }
  }

  finish() {
    this.zones.forEach((zone) => zone.delete());
    if (this.level) this.level.delete();
  }
}

function runOp(player, op) {
  try {
    return player.run(op);
  } catch (error) {
    return ["error", error.name, error.message];
  }
}

// A save of another engine: loaded, saved again, and one frame played.
function crossLoad(q, saveHex) {
  try {
    const level = q.NarrativeSequencer.load(unhex(saveHex));
    const again = hex(level.save());
    const frame = level.next_frame();
    level.delete();
    return [again, frame];
  } catch (error) {
    return ["error", error.name, error.message];
  }
}

// A level file's bytes read: [problems, pointers] of its LevelError, or
// ["level", to_text(), title, description].
function readFile(q, fileHex) {
  let level;
  try {
    level = q.read_level(unhex(fileHex));
  } catch (error) {
    if (!(error instanceof q.LevelError)) return ["error", error.name, error.message];
    return [error.problems, error.pointers];
  }
  try {
    return ["level", level.to_text(), level.title, level.description];
  } finally {
    level.delete();
  }
}

// A level file played by Level.play(): explain() before the first frame and
// after each, then the save and the frame after loading it with
// LevelPlay.load().
function playFile(q, [text, maxFrames]) {
  const file = q.read_level(text);
  const level = file.play(maxFrames);
  file.delete();
  try {
    const answers = [level.explain()];
    while (!level.is_finished) answers.push(level.next_frame(), level.explain());
    const saved = level.save();
    const loaded = q.LevelPlay.load(saved);
    answers.push(hex(saved), loaded instanceof q.LevelPlay, loaded.next_frame());
    loaded.delete();
    return answers;
  } finally {
    level.delete();
  }
}

require(require("path").resolve(enginePath))().then((q) => {
  const request = JSON.parse(fs.readFileSync(inPath, "utf8"));
  const answer = {};
  if (request.scripts) {
    answer.scripts = request.scripts.map((script) => {
      const player = new Player(q);
      const answers = script.map((op) => runOp(player, op));
      player.finish();
      return answers;
    });
  }
  if (request.saves) answer.saves = request.saves.map((save) => crossLoad(q, save));
  if (request.files) answer.files = request.files.map((file) => readFile(q, file));
  if (request.plays) answer.plays = request.plays.map((play) => playFile(q, play));
  fs.writeFileSync(outPath, JSON.stringify(answer));
});
