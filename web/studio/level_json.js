// Reading a level file's bytes as examples/play.py reads them: UTF-8 text,
// then JSON with Python's json module's rules and messages, keeping what
// JSON.parse would lose (a key given twice, the exact digits of a number).
"use strict";

var QorLevelJson = (function () {
  const MAX_LEVEL_BYTES = 8 * 1024 * 1024;
  // Python's json module gives up (RecursionError) on containers nested this deep.
  const MAX_NESTING = 9999;
  // Python refuses to turn longer digit strings into an int.
  const MAX_INT_DIGITS = 4300;

  class LevelFileError extends Error {}

  // A JSON number: its text, and whether Python reads it as an int.
  class JsonNumber {
    constructor(text) {
      this.text = text;
      this.isInt = !/[.eE]/.test(text);
      this.value = Number(text);
    }
  }

  // A JSON object: its members in the order of their first appearance, the
  // last value of each, and the keys given more than once.
  class JsonObject {
    constructor() {
      this.members = new Map();
      this.repeated = [];
    }
    set(key, value) {
      if (this.members.has(key) && !this.repeated.includes(key)) this.repeated.push(key);
      this.members.set(key, value);
    }
    has(key) { return this.members.has(key); }
    get(key) { return this.members.get(key); }
    keys() { return [...this.members.keys()]; }
  }

  function describe(value) {
    if (value === null) return "null";
    if (typeof value === "boolean") return "true/false";
    if (value instanceof JsonNumber) return "a number";
    if (typeof value === "string") return "a string";
    if (Array.isArray(value)) return "a list";
    return "an object";
  }

  // --- UTF-8, with the reasons Python's decoder gives --------------------

  function utf8Problem(bytes) {
    let i = 0;
    const n = bytes.length;
    while (i < n) {
      const b = bytes[i];
      if (b < 0x80) { i++; continue; }
      let need, lo = 0x80, hi = 0xbf;
      if (b >= 0xc2 && b <= 0xdf) need = 1;
      else if (b >= 0xe0 && b <= 0xef) {
        need = 2;
        if (b === 0xe0) lo = 0xa0;
        if (b === 0xed) hi = 0x9f;
      } else if (b >= 0xf0 && b <= 0xf4) {
        need = 3;
        if (b === 0xf0) lo = 0x90;
        if (b === 0xf4) hi = 0x8f;
      } else return { reason: "invalid start byte", at: i };
      for (let k = 1; k <= need; k++) {
        if (i + k >= n) return { reason: "unexpected end of data", at: i };
        const c = bytes[i + k];
        const low = k === 1 ? lo : 0x80, high = k === 1 ? hi : 0xbf;
        if (c < low || c > high) return { reason: "invalid continuation byte", at: i };
      }
      i += need + 1;
    }
    return null;
  }

  function decodeLevelBytes(bytes) {
    if (bytes.length > MAX_LEVEL_BYTES) {
      throw new LevelFileError("longer than 8,388,608 bytes, the most a level file may hold");
    }
    const bad = utf8Problem(bytes);
    if (bad) throw new LevelFileError(`not UTF-8 text (${bad.reason} at byte ${bad.at})`);
    return new TextDecoder("utf-8", { ignoreBOM: true }).decode(bytes);
  }

  // --- JSON, as Python's json.loads reads it -------------------------------

  // Python's str.isspace(), for "the file is empty" and empty ids.
  const PY_SPACE = /^[\t\n\x0b\x0c\r\x1c-\x1f \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]*$/;
  function isBlank(text) { return PY_SPACE.test(text); }
  // Python's str.split(): the words between runs of white space.
  const PY_SPACES = /[\t\n\x0b\x0c\r\x1c-\x1f \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+/;
  function pySplit(text) { return text.split(PY_SPACES).filter((word) => word !== ""); }

  // Line and column of a position as Python counts them (in characters,
  // where a surrogate pair is one).
  function place(text, pos) {
    let line = 1, lineStart = -1, col = 0;
    for (let i = 0; i < pos; i++) {
      const c = text.charCodeAt(i);
      if (c === 10) { line++; lineStart = i; col = 0; continue; }
      if (c >= 0xdc00 && c <= 0xdfff && i > 0) {
        const before = text.charCodeAt(i - 1);
        if (before >= 0xd800 && before <= 0xdbff) continue;
      }
      col++;
    }
    void lineStart;
    return { line, column: col + 1 };
  }

  class Syntax extends Error {
    constructor(message, pos) { super(message); this.pos = pos; }
  }

  const ESCAPES = { '"': '"', "\\": "\\", "/": "/", b: "\b", f: "\f", n: "\n", r: "\r", t: "\t" };
  const NUMBER = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?/y;

  function parse(text) {
    const len = text.length;
    const ws = (i) => {
      while (i < len) {
        const c = text[i];
        if (c !== " " && c !== "\t" && c !== "\n" && c !== "\r") break;
        i++;
      }
      return i;
    };

    function string(begin) {  // begin: the opening quote
      let out = "", end = begin + 1;
      for (;;) {
        let next = end;
        let c = "";
        for (; next < len; next++) {
          c = text[next];
          if (c === '"' || c === "\\") break;
          if (c.charCodeAt(0) <= 0x1f) throw new Syntax("Invalid control character at", next);
        }
        if (next >= len) throw new Syntax("Unterminated string starting at", begin);
        out += text.slice(end, next);
        if (c === '"') return [out, next + 1];
        next++;  // past the backslash
        if (next === len) throw new Syntax("Unterminated string starting at", begin);
        const e = text[next];
        if (e !== "u") {
          if (!(e in ESCAPES)) throw new Syntax("Invalid \\escape", next - 1);
          out += ESCAPES[e];
          end = next + 1;
          continue;
        }
        next++;
        end = next + 4;
        if (end >= len) throw new Syntax("Invalid \\uXXXX escape", next - 1);
        const hex = text.slice(next, end);
        if (!/^[0-9a-fA-F]{4}$/.test(hex)) throw new Syntax("Invalid \\uXXXX escape", end - 5);
        let code = parseInt(hex, 16);
        if (code >= 0xd800 && code <= 0xdbff && end + 6 < len &&
            text[end] === "\\" && text[end + 1] === "u") {
          const hex2 = text.slice(end + 2, end + 6);
          if (!/^[0-9a-fA-F]{4}$/.test(hex2)) throw new Syntax("Invalid \\uXXXX escape", end + 1);
          const low = parseInt(hex2, 16);
          if (low >= 0xdc00 && low <= 0xdfff) {
            out += String.fromCharCode(code, low);
            end += 6;
            continue;
          }
        }
        out += String.fromCharCode(code);
      }
    }

    // "key": after the "{" or the ",", up to the member's value.
    function keyAt(i) {
      if (text[i] !== '"') throw new Syntax("Expecting property name enclosed in double quotes", i);
      const [key, after] = string(i);
      i = ws(after);
      if (text[i] !== ":") throw new Syntax("Expecting ':' delimiter", i);
      return [key, ws(i + 1)];
    }

    // A value at i, containers included, without recursion: deep nesting
    // must not overflow the JavaScript stack before Python's limit is reached.
    function valueAt(i) {
      const open = [];  // the containers being read: { items } or { obj, key }
      for (;;) {
        let value;
        const c = text[i];
        if (c === "{" || c === "[") {
          if (open.length + 1 >= MAX_NESTING) throw new LevelFileError("invalid JSON: nested too deeply");
          i = ws(i + 1);
          if (c === "{" && text[i] !== "}") {
            const [key, after] = keyAt(i);
            open.push({ obj: new JsonObject(), key });
            i = after;
            continue;
          }
          if (c === "[" && text[i] !== "]") {
            open.push({ items: [] });
            continue;
          }
          value = c === "{" ? new JsonObject() : [];
          i++;
        } else {
          [value, i] = scalarAt(i);
        }
        // Hand the value to the containers it completes.
        for (;;) {
          if (!open.length) return [value, i];
          const top = open[open.length - 1];
          const close = top.obj ? "}" : "]";
          if (top.obj) top.obj.set(top.key, value);
          else top.items.push(value);
          i = ws(i);
          if (text[i] === close) {
            open.pop();
            value = top.obj || top.items;
            i++;
            continue;
          }
          if (text[i] !== ",") throw new Syntax("Expecting ',' delimiter", i);
          const comma = i;
          i = ws(i + 1);
          if (text[i] === close) {
            throw new Syntax(`Illegal trailing comma before end of ${top.obj ? "object" : "array"}`, comma);
          }
          if (top.obj) [top.key, i] = keyAt(i);
          break;
        }
      }
    }

    function constant(name) {
      throw new LevelFileError(`invalid JSON: ${name} is not allowed in a level file`);
    }

    function scalarAt(i) {
      if (i >= len) throw new Syntax("Expecting value", i);
      const c = text[i];
      if (c === '"') return string(i);
      if (text.startsWith("null", i)) return [null, i + 4];
      if (text.startsWith("true", i)) return [true, i + 4];
      if (text.startsWith("false", i)) return [false, i + 5];
      if (text.startsWith("NaN", i)) constant("NaN");
      if (text.startsWith("Infinity", i)) constant("Infinity");
      if (text.startsWith("-Infinity", i)) constant("-Infinity");
      NUMBER.lastIndex = i;
      const match = NUMBER.exec(text);
      if (!match) throw new Syntax("Expecting value", i);
      const number = new JsonNumber(match[0]);
      const digits = match[0].replace("-", "").length;
      if (number.isInt && digits > MAX_INT_DIGITS) {
        throw new LevelFileError(
          `invalid JSON: Exceeds the limit (${MAX_INT_DIGITS} digits) for integer string ` +
          `conversion: value has ${digits} digits; use sys.set_int_max_str_digits() to increase the limit`);
      }
      return [number, i + match[0].length];
    }

    try {
      if (text.startsWith("\ufeff")) throw new Syntax("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
      const [value, end] = valueAt(ws(0));
      const rest = ws(end);
      if (rest !== len) throw new Syntax("Extra data", rest);
      return value;
    } catch (error) {
      if (!(error instanceof Syntax)) throw error;
      const at = place(text, error.pos);
      throw new LevelFileError(`invalid JSON at line ${at.line}, column ${at.column}: ${error.message}`);
    }
  }

  return { MAX_LEVEL_BYTES, LevelFileError, JsonNumber, JsonObject, describe, decodeLevelBytes, isBlank, pySplit, parse };
})();

if (typeof module !== "undefined") module.exports = QorLevelJson;
