// The level being edited: plain data in the level file's own shape
// (docs/levels.md), changed only through edits that the history records,
// so that every state can be undone and redone.
"use strict";

var QorLevelModel = (function () {
  // A zone's place in the tree: the indices of its ancestors' "zones" lists,
  // from the root ([] is the root).
  function zoneAt(level, path) {
    let zone = level;
    for (const index of path) zone = zone.zones[index];
    return zone;
  }

  function allZones(level) {
    const found = [];
    const walk = (zone, path) => {
      found.push({ zone, path });
      (zone.zones || []).forEach((sub, i) => walk(sub, path.concat(i)));
    };
    walk(level, []);
    return found;
  }

  function usedIds(level) {
    const zones = new Set(), agents = new Set();
    for (const { zone } of allZones(level)) {
      zones.add(zone.zone);
      for (const agent of zone.agents || []) if (agent) agents.add(agent.id);
    }
    return { zones, agents };
  }

  function freshId(taken, stem) {
    for (let n = 1; ; n++) if (!taken.has(stem + n)) return stem + n;
  }

  const isObject = (value) => value !== null && typeof value === "object" && !Array.isArray(value);
  const listOf = (value, fits) => value === undefined || (Array.isArray(value) && value.every(fits));

  // Whether the editor can show a level file's value: an object for the
  // root and each zone, lists of lists for charges and of objects for agents
  // and sub-zones. What the fields hold (a text where a number belongs, an
  // unknown kind) may break any rule: the engine's reader lists it.
  function fitsEditor(level) {
    const fits = (zone) => isObject(zone) && listOf(zone.charges, Array.isArray) &&
      listOf(zone.agents, isObject) && listOf(zone.zones, fits);
    return fits(level);
  }

  // Every list present, so that edits can push into them.
  function normalise(level) {
    for (const { zone } of allZones(level)) {
      zone.charges = zone.charges || [];
      zone.agents = zone.agents || [];
      zone.zones = zone.zones || [];
    }
    return level;
  }

  // The editor's choices; the engine's reader checks what they make.
  const GATE_KINDS = ["equals_gate", "inequality_gate"];
  const POLARITIES = ["positive", "negative", "neutral"];
  const RULES = ["<", ">", "<=", ">="];

  const isInside = (path, ancestor) => ancestor.length <= path.length && ancestor.every((v, i) => path[i] === v);

  // The edits. Each changes the level in place and returns nothing; the
  // history copies the level before handing it over.
  const edits = {
    setText(level, key, text) {
      if (text === "") delete level[key];
      else level[key] = text;
    },
    renameZone(level, path, id) { zoneAt(level, path).zone = id; },
    addZone(level, path) {
      const id = freshId(usedIds(level).zones, "zone_");
      zoneAt(level, path).zones.push({ zone: id, charges: [], agents: [], zones: [] });
    },
    deleteZone(level, path) {
      zoneAt(level, path.slice(0, -1)).zones.splice(path[path.length - 1], 1);
    },
    // Moves a zone to the end of another zone's sub-zones (not into itself
    // or a zone under it).
    moveZone(level, path, parentPath) {
      if (path.length === 0 || isInside(parentPath, path)) return;
      const zone = zoneAt(level, path);
      const parent = zoneAt(level, parentPath);
      const oldParent = zoneAt(level, path.slice(0, -1));
      oldParent.zones.splice(path[path.length - 1], 1);
      parent.zones.push(zone);
    },
    // Moves an item of a zone's list ("charges", "agents", "zones") by one place.
    shift(level, path, list, index, by) {
      const items = zoneAt(level, path)[list];
      const to = index + by;
      if (to < 0 || to >= items.length) return;
      [items[index], items[to]] = [items[to], items[index]];
    },
    addCharge(level, path) {
      zoneAt(level, path).charges.push([1, "positive", "charge"]);
    },
    setCharge(level, path, index, part, value) { zoneAt(level, path).charges[index][part] = value; },
    deleteItem(level, path, list, index) { zoneAt(level, path)[list].splice(index, 1); },
    addAgent(level, path, kind) {
      const id = freshId(usedIds(level).agents, kind + "_");
      zoneAt(level, path).agents.push(withKind({ id }, kind));
    },
    setAgent(level, path, index, key, value) {
      const agents = zoneAt(level, path).agents;
      if (key === "kind") agents[index] = withKind(agents[index], value);
      else if (value === undefined || value === false) delete agents[index][key];
      else agents[index][key] = value;
    },
  };

  // An agent of another kind: a gate's target and The Judge's rule are kept
  // or given defaults as the kind needs them, and dropped otherwise.
  function withKind(agent, kind) {
    const changed = { kind, id: agent.id };
    if (kind === "equals_gate" || kind === "inequality_gate") changed.target = "target" in agent ? agent.target : 0;
    if (kind === "inequality_gate") changed.rule = agent.rule || ">=";
    if (agent.refill) changed.refill = true;
    return changed;
  }

  // The level file's text: lists left out when empty, one line per charge
  // and per agent. Members the editor has no field for are kept as they are.
  function toText(level) {
    const lines = ["{"];
    const members = [];
    for (const key of ["title", "description"]) {
      if (level[key] !== undefined) members.push([`"${key}": ${JSON.stringify(level[key])}`]);
    }
    members.push(...zoneMembers(level, "  ", ["title", "description"]));
    members.forEach((member, i) => {
      const comma = i < members.length - 1 ? "," : "";
      member[member.length - 1] += comma;
      for (const line of member) lines.push("  " + line);
    });
    lines.push("}");
    return lines.join("\n") + "\n";
  }

  const ZONE_KEYS = ["zone", "charges", "agents", "zones"];

  function zoneMembers(zone, indent, writtenAlready) {
    const members = zone.zone === undefined ? [] : [[`"zone": ${JSON.stringify(zone.zone)}`]];
    const block = (key, items, render) => {
      if (!items || !items.length) return;
      const body = items.map((item, i) => render(item).map((line) => indent + line))
        .map((lines, i) => { if (i < items.length - 1) lines[lines.length - 1] += ","; return lines; });
      members.push([`"${key}": [`, ...body.flat(), "]"]);
    };
    block("charges", zone.charges, (charge) => ["[" + charge.map((part) => JSON.stringify(part)).join(", ") + "]"]);
    block("agents", zone.agents, (agent) => [
      "{" + Object.entries(agent).map(([key, value]) => `${JSON.stringify(key)}: ${JSON.stringify(value)}`).join(", ") + "}",
    ]);
    block("zones", zone.zones, (sub) => {
      const inner = zoneMembers(sub, indent);
      const out = ["{"];
      inner.forEach((member, i) => {
        if (i < inner.length - 1) member[member.length - 1] += ",";
        for (const line of member) out.push(indent + line);
      });
      out.push("}");
      return out;
    });
    const known = ZONE_KEYS.concat(writtenAlready || []);
    for (const [key, value] of Object.entries(zone)) {
      if (!known.includes(key)) members.push([`${JSON.stringify(key)}: ${JSON.stringify(value)}`]);
    }
    return members;
  }

  // Undo and redo over whole states, kept as texts: cheap for levels of
  // hundreds of agents, and no edit can reach into an older state. Opening a
  // level (New, a sample, a file) is a step like any edit, so Undo brings the
  // edited level back; each state keeps the file name it goes by. The states
  // kept are bounded in size: the oldest are dropped first, never the one on
  // screen. The states of one level (from its opening to the next) share
  // its file's text as last opened or saved, so each state knows whether it
  // is saved, whatever was opened after it.
  const HISTORY_BUDGET = 64 * 1024 * 1024;  // UTF-16 code units of state texts

  class History {
    constructor(level, name, budget) {
      this.budget = budget || HISTORY_BUDGET;
      const text = JSON.stringify(normalise(level));
      this.states = [{ text, name: name || "", file: { text } }];
      this.index = 0;
    }
    get level() { return JSON.parse(this.states[this.index].text); }
    get name() { return this.states[this.index].name; }
    apply(name, ...args) {
      const level = this.level;
      edits[name](level, ...args);
      return this.push(JSON.stringify(level), this.name, this.states[this.index].file);
    }
    // Another level in place of the one edited (New, a sample, a file): its
    // file holds it as it is, unless `fileText` (the state text of what the
    // file holds) says otherwise.
    replace(level, name, fileText) {
      const text = JSON.stringify(normalise(level));
      return this.push(text, name, { text: fileText === undefined ? text : fileText });
    }
    push(text, name, file) {
      const current = this.states[this.index];
      if (text === current.text && name === current.name && file === current.file) return false;
      this.states.splice(this.index + 1, Infinity, { text, name, file });
      this.index++;
      this.trim();
      return true;
    }
    trim() {
      let size = this.states.reduce((sum, state) => sum + state.text.length, 0);
      while (this.index > 0 && size > this.budget) {
        size -= this.states.shift().text.length;
        this.index--;
      }
      while (this.states.length - 1 > this.index && size > this.budget) size -= this.states.pop().text.length;
    }
    get canUndo() { return this.index > 0; }
    get canRedo() { return this.index < this.states.length - 1; }
    undo() { if (this.canUndo) this.index--; }
    redo() { if (this.canRedo) this.index++; }
    // The state on screen was just saved under `name`.
    markSaved(name) {
      const current = this.states[this.index];
      current.file.text = current.text;
      if (name !== undefined) current.name = name;
    }
    get unsaved() { const current = this.states[this.index]; return current.text !== current.file.text; }
    get fileText() { return this.states[this.index].file.text; }
  }

  return { History, edits, zoneAt, allZones, toText, fitsEditor, isInside, GATE_KINDS, POLARITIES, RULES };
})();

if (typeof module !== "undefined") module.exports = QorLevelModel;
