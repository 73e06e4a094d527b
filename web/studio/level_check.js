// The level checker: the rules of examples/play.py's loader (and of
// schemas/level.schema.json), worded as play.py words them, but listing every
// problem of a file instead of stopping at the first. A problem is
// "PLACE: WHAT", e.g. 'zone "hall": agent 2: unknown kind "plux"'.
"use strict";

var QorLevelCheck = (function () {
  const J = typeof QorLevelJson !== "undefined" ? QorLevelJson : require("./level_json.js");
  const M = typeof QorCloseMatches !== "undefined" ? QorCloseMatches : require("./close_matches.js");
  const { JsonNumber, JsonObject, describe } = J;

  const AGENT_KINDS = ["plus", "minus", "multiply", "divide", "power", "root", "abs", "factorial",
    "modulo", "log", "chronomancer", "equals_gate", "inequality_gate"];
  const GATE_KINDS = ["equals_gate", "inequality_gate"];
  const POLARITIES = ["positive", "negative", "neutral"];
  const RULES = ["<", ">", "<=", ">="];
  const LEVEL_FIELDS = ["title", "description", "zone", "charges", "agents", "zones"];
  const ZONE_FIELDS = ["zone", "charges", "agents", "zones"];
  const AGENT_FIELDS = ["kind", "id", "target", "rule", "refill"];
  const MAX_DEPTH = 100;
  const LARGEST_DOUBLE = "1.7976931348623157e+308";
  // The largest double as an integer, to compare integers exactly.
  const LARGEST_INT = BigInt(Number.MAX_VALUE);

  function quoted(text) { return JSON.stringify(text); }

  // --- The kind a designer meant --------------------------------------------

  // The name frames give each kind's agents, and its placing method.
  const AGENT_NAMES = {
    plus: "Plus Magician", minus: "Minus Magician", multiply: "Multiply Magician",
    divide: "Divide Magician", power: "Power Sorcerer", root: "The Extractor", abs: "The Purifier",
    factorial: "The Replicator", modulo: "The Scavenger", log: "The Architect",
    chronomancer: "Chronomancer", equals_gate: "Equals Gate", inequality_gate: "The Judge",
  };
  const PLACING_METHODS = {
    plus: "add_plus_magician", minus: "add_minus_magician", multiply: "add_multiply_magician",
    divide: "add_divide_magician", power: "add_power_sorcerer", root: "add_root_magician",
    abs: "add_abs_magician", factorial: "add_factorial_magician", modulo: "add_modulo_magician",
    log: "add_log_magician", chronomancer: "add_chronomancer", equals_gate: "add_equals_gate",
    inequality_gate: "add_inequality_gate",
  };
  // Symbols and words for a kind's spell.
  const KIND_ALIASES = [
    ["+", "plus"], ["add", "plus"], ["sum", "plus"], ["addition", "plus"],
    ["-", "minus"], ["\u2212", "minus"], ["subtract", "minus"], ["difference", "minus"],
    ["*", "multiply"], ["\u00d7", "multiply"], ["times", "multiply"], ["product", "multiply"],
    ["/", "divide"], ["\u00f7", "divide"], ["quotient", "divide"], ["division", "divide"],
    ["^", "power"], ["**", "power"], ["pow", "power"], ["exponent", "power"],
    ["sqrt", "root"], ["\u221a", "root"], ["radical", "root"],
    ["|x|", "abs"], ["absolute", "abs"], ["absolute_value", "abs"],
    ["!", "factorial"],
    ["%", "modulo"], ["mod", "modulo"], ["remainder", "modulo"],
    ["log10", "log"], ["ln", "log"], ["logarithm", "log"],
    ["=", "equals_gate"], ["==", "equals_gate"], ["equals", "equals_gate"], ["gate", "equals_gate"],
    ["<", "inequality_gate"], [">", "inequality_gate"], ["<=", "inequality_gate"],
    [">=", "inequality_gate"], ["inequality", "inequality_gate"],
  ];

  // A kind as written, folded: "Plus Magician", "add_plus_magician" -> "plus_magician".
  function kindKey(name) {
    let key = J.pySplit(name.toLowerCase().replace(/-/g, " ")).join("_");
    for (const prefix of ["add_", "the_"]) if (key.startsWith(prefix)) key = key.slice(prefix.length);
    return key;
  }

  function kindMeant(written) {
    const known = new Map();
    for (const kind of AGENT_KINDS) {
      for (const name of [AGENT_NAMES[kind], PLACING_METHODS[kind], kind]) known.set(kindKey(name), kind);
    }
    for (const [alias, kind] of KIND_ALIASES) known.set(kindKey(alias), kind);
    const key = kindKey(written);
    for (const tried of [key, key.endsWith("_magician") ? key.slice(0, -"_magician".length) : key]) {
      if (known.has(tried)) return known.get(tried);
    }
    const close = M.closeMatch(key, [...known.keys()]);
    return close === null ? null : known.get(close);
  }

  // The first lone surrogate of a text, escaped, or null.
  function loneSurrogate(text) {
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c >= 0xd800 && c <= 0xdbff) {
        const d = text.charCodeAt(i + 1);
        if (d >= 0xdc00 && d <= 0xdfff) { i++; continue; }
        return quoted(text[i]);
      }
      if (c >= 0xdc00 && c <= 0xdfff) return quoted(text[i]);
    }
    return null;
  }

  // Python's "{:g}" of a float: six significant digits, ties to even.
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

  function isFinite(number) {
    if (number.isInt) {
      const digits = BigInt(number.text);
      return (digits < 0n ? -digits : digits) <= LARGEST_INT;
    }
    return Number.isFinite(number.value);
  }

  class Checker {
    constructor() {
      this.problems = [];
      this.zoneIds = new Set();
      this.agentIds = new Set();
    }

    problem(where, what) { this.problems.push(where + ": " + what); }

    fields(where, obj, allowed) {
      for (const key of obj.repeated) this.problem(where, `field ${quoted(key)} is given twice`);
      for (const key of obj.keys()) {
        if (allowed.includes(key)) continue;
        const hint = M.closeMatch(key, [...allowed].sort());
        this.problem(where, `unknown field ${quoted(key)}` + (hint ? ` (did you mean "${hint}"?)` : ""));
      }
    }

    text(where, what, value) {
      const bad = loneSurrogate(value);
      if (bad === null) return true;
      this.problem(where, `${what} holds ${bad}, a lone surrogate, which has no UTF-8 form`);
      return false;
    }

    // A required id field; its text, or null after a problem.
    id(where, obj, key) {
      if (!obj.has(key)) return this.problem(where, `missing field "${key}"`), null;
      const value = obj.get(key);
      if (typeof value !== "string") return this.problem(where, `field "${key}" must be a string, not ${describe(value)}`), null;
      if (J.isBlank(value)) return this.problem(where, `field "${key}" must not be empty`), null;
      return this.text(where, `field "${key}"`, value) ? value : null;
    }

    finite(where, what, value) {
      if (!(value instanceof JsonNumber)) return this.problem(where, `${what} must be a number, not ${describe(value)}`), null;
      if (!isFinite(value)) {
        return this.problem(where, `${what} must be a finite number, at most ${LARGEST_DOUBLE} in size`), null;
      }
      return value.value;
    }

    list(where, obj, key) {
      if (!obj.has(key)) return [];
      const value = obj.get(key);
      if (Array.isArray(value)) return value;
      this.problem(where, `field "${key}" must be a list, not ${describe(value)}`);
      return [];
    }

    level(data) {
      const where = "level";
      if (!(data instanceof JsonObject)) {
        this.problem(where, 'expected an object like {"zone": "root", "charges": [...], "agents": [...]}, got ' + describe(data));
        return null;
      }
      this.fields(where, data, LEVEL_FIELDS);
      const level = {};
      for (const key of ["title", "description"]) {
        const value = data.has(key) ? data.get(key) : null;
        if (value === null) continue;
        if (typeof value !== "string") this.problem(where, `field "${key}" must be a string, not ${describe(value)}`);
        else if (this.text(where, `field "${key}"`, value)) level[key] = value;
      }
      const zonePart = new JsonObject();
      for (const key of data.keys()) if (ZONE_FIELDS.includes(key)) zonePart.set(key, data.get(key));
      return Object.assign(level, this.zone(where, zonePart, 1));
    }

    zone(where, obj, depth) {
      if (depth > MAX_DEPTH) return this.problem(where, `zones are nested more than ${MAX_DEPTH} deep`), null;
      this.fields(where, obj, ZONE_FIELDS);
      const id = this.id(where, obj, "zone");
      if (id !== null) {
        // A zone whose id is taken keeps its place's name for what is inside it.
        if (this.zoneIds.has(id)) this.problem(where, `zone id ${quoted(id)} is used twice`);
        else {
          this.zoneIds.add(id);
          where = `zone ${quoted(id)}`;
        }
      }
      const zone = { zone: id, charges: [], agents: [], zones: [] };
      this.list(where, obj, "charges").forEach((item, n) => zone.charges.push(this.charge(`${where}: charge ${n + 1}`, item)));
      this.list(where, obj, "agents").forEach((item, n) => zone.agents.push(this.agent(`${where}: agent ${n + 1}`, item)));
      this.list(where, obj, "zones").forEach((item, n) => {
        const at = `${where}: zone ${n + 1}`;
        if (item instanceof JsonObject) zone.zones.push(this.zone(at, item, depth + 1));
        else this.problem(at, 'expected an object like {"zone": "inner", ...}, got ' + describe(item));
      });
      return zone;
    }

    charge(where, item) {
      if (!Array.isArray(item) || item.length !== 3) {
        const got = describe(item) + (Array.isArray(item) ? ` of ${item.length}` : "");
        return this.problem(where, `expected [magnitude, polarity, id] like [3, "positive", "c1"], got ${got}`), null;
      }
      const [magnitude, polarity, id] = item;
      const number = this.finite(where, "magnitude", magnitude);
      if (number !== null && number < 0) {
        this.problem(where, `magnitude must not be negative (the polarity is the sign), not ${formatG(number)}`);
      }
      if (!POLARITIES.includes(polarity)) {
        const shown = typeof polarity === "string" ? quoted(polarity) : describe(polarity);
        this.problem(where, `polarity must be "positive", "negative" or "neutral", not ${shown}`);
      }
      if (typeof id !== "string") this.problem(where, `id must be a non-empty string, not ${describe(id)}`);
      else if (J.isBlank(id)) this.problem(where, "id must not be empty");
      else this.text(where, "id", id);
      return [number, polarity, id];
    }

    agent(where, item) {
      if (!(item instanceof JsonObject)) {
        return this.problem(where, 'expected an object like {"kind": "plus", "id": "p1"}, got ' + describe(item)), null;
      }
      this.fields(where, item, AGENT_FIELDS);
      const agent = {};
      let kind = null;
      if (!item.has("kind")) this.problem(where, 'missing field "kind"');
      else if (typeof item.get("kind") !== "string") {
        this.problem(where, `field "kind" must be a string, not ${describe(item.get("kind"))}`);
      } else if (!AGENT_KINDS.includes(item.get("kind"))) {
        const hint = kindMeant(item.get("kind"));
        this.problem(where, `unknown kind ${quoted(item.get("kind"))}` + (hint ? ` (did you mean ${quoted(hint)}?)` : ""));
      } else kind = item.get("kind");
      agent.kind = kind;

      const id = this.id(where, item, "id");
      if (id !== null) {
        if (this.agentIds.has(id)) this.problem(where, `agent id ${quoted(id)} is used twice`);
        this.agentIds.add(id);
      }
      agent.id = id;

      this.gateFields(where, item, kind, agent);
      if (item.has("refill")) {
        const refill = item.get("refill");
        if (typeof refill !== "boolean") this.problem(where, `field "refill" must be true or false, not ${describe(refill)}`);
        else if (refill) agent.refill = true;
      }
      return agent;
    }

    // A gate's target and The Judge's rule; for an unknown kind (null) only
    // the values given are checked.
    gateFields(where, item, kind, agent) {
      if (kind !== null && !GATE_KINDS.includes(kind)) {
        if (item.has("target")) this.problem(where, `field "target" is only for gates, not for a ${kind} agent`);
      } else if (kind !== null || item.has("target")) {
        if (!item.has("target")) this.problem(where, 'missing field "target"');
        else agent.target = this.finite(where, 'field "target"', item.get("target"));
      }
      if (kind !== null && kind !== "inequality_gate") {
        if (item.has("rule")) this.problem(where, `field "rule" is only for inequality_gate, not for ${kind}`);
      } else if (kind !== null || item.has("rule")) {
        if (!item.has("rule")) return this.problem(where, 'missing field "rule"');
        const rule = item.get("rule");
        if (!RULES.includes(rule)) {
          const shown = typeof rule === "string" ? quoted(rule) : describe(rule);
          this.problem(where, `rule must be "<", ">", "<=" or ">=", not ${shown}`);
        } else agent.rule = rule;
      }
    }
  }

  // Checks a level file's bytes: { level, problems }. The level (plain data
  // in the file's own shape) is usable only when there are no problems.
  function checkBytes(bytes) {
    let data;
    try {
      const text = J.decodeLevelBytes(bytes);
      if (J.isBlank(text)) throw new J.LevelFileError("the file is empty");
      data = J.parse(text);
    } catch (error) {
      if (error instanceof J.LevelFileError) return { level: null, problems: [error.message] };
      throw error;
    }
    const checker = new Checker();
    const level = checker.level(data);
    return { level: checker.problems.length ? null : level, problems: checker.problems };
  }

  function checkText(text) { return checkBytes(new TextEncoder().encode(text)); }

  return { AGENT_KINDS, GATE_KINDS, POLARITIES, RULES, MAX_DEPTH, checkBytes, checkText, formatG };
})();

if (typeof module !== "undefined") module.exports = QorLevelCheck;
