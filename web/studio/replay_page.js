// Writes a replay page from the studio: the page examples/replay.py writes
// for the same level file, byte for byte. The build put the page into the
// studio with its template, styles, script and policy filled in; only the
// title and the recorded level (QorLevelPlayer's record(): the engine's own
// texts) are filled in here, written as replay.py's json.dumps writes them.
"use strict";

var QorReplayPage = (function () {
  // Python's html.escape(text), then the page written as ASCII with
  // character references (encode("ascii", "xmlcharrefreplace")).
  function htmlText(text) {
    const escaped = text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
      .replace(/"/g, "&quot;").replace(/'/g, "&#x27;");
    return asciiReferences(escaped);
  }

  function asciiReferences(text) {
    let out = "";
    for (const ch of text) out += ch.codePointAt(0) < 0x80 ? ch : `&#${ch.codePointAt(0)};`;
    return out;
  }

  // Compact JSON text made safe inside a <script> element as replay.py
  // writes it (ensure_ascii, then "<", ">" and "&" escaped): every UTF-16
  // unit outside printable ASCII as \uXXXX. Outside strings the text is ASCII.
  function scriptText(json) {
    return json
      .replace(/[^\x20-\x7e]/g, (ch) => "\\u" + ch.charCodeAt(0).toString(16).padStart(4, "0"))
      .replace(/</g, "\\u003c").replace(/>/g, "\\u003e").replace(/&/g, "\\u0026");
  }

  function scriptJson(value) { return scriptText(JSON.stringify(value)); }

  // A number as Python's repr() writes a float: the shortest digits that
  // read back as it (JavaScript's too), in plain notation from 1e-4 up to
  // below 1e16 with at least one decimal ("3.0"), otherwise as "1e+16".
  function pythonFloat(x) {
    if (x === 0) return Object.is(x, -0) ? "-0.0" : "0.0";
    const [mantissa, exponent = "0"] = String(Math.abs(x)).split("e");
    const [whole, fraction = ""] = mantissa.split(".");
    const leading = /^0*/.exec(whole + fraction)[0].length;
    const digits = (whole + fraction).slice(leading).replace(/0+$/, "");
    const point = whole.length + Number(exponent) - leading;  // digits before the decimal point
    return (x < 0 ? "-" : "") + (point > -4 && point <= 16 ? plain(digits, point) : scientific(digits, point - 1));
  }

  function plain(digits, point) {
    if (point <= 0) return "0." + "0".repeat(-point) + digits;
    if (point >= digits.length) return digits + "0".repeat(point - digits.length) + ".0";
    return digits.slice(0, point) + "." + digits.slice(point);
  }

  function scientific(digits, exponent) {
    const mantissa = digits.length > 1 ? digits[0] + "." + digits.slice(1) : digits;
    return `${mantissa}e${exponent < 0 ? "-" : "+"}${String(Math.abs(exponent)).padStart(2, "0")}`;
  }

  // The engine's JSON text as json.dumps writes the value json.loads reads
  // from it: strings and integers stay, a number with a fraction or an
  // exponent is a float in Python (the engine may write 1e15 as "1e+15",
  // Python as "1000000000000000.0").
  function pythonJson(text) {
    const floats = text.replace(/"(?:[^"\\]|\\.)*"|-?[0-9][0-9.eE+-]*/g,
      (token) => (token[0] === '"' || !/[.eE]/.test(token) ? token : pythonFloat(Number(token))));
    return scriptText(floats);
  }

  // replay.py's asdict(Replay), its members in order.
  // What a recording without explanations embeds (replay.py's empty Explanations).
  const NO_EXPLANATIONS = { outcome: "running", summary: "", notes: [], steps: [] };

  function dataText(recording) {
    return "{" + [
      '"title":' + scriptJson(recording.title),
      '"description":' + scriptJson(recording.description),
      '"level_file":' + scriptJson(recording.level_file),
      '"start":' + pythonJson(recording.start),
      '"patches":[' + recording.patches.map(pythonJson).join(",") + "]",
      '"exact":' + scriptJson(recording.exact),
      '"outcome":' + scriptJson(recording.outcome),
      '"explained":' + scriptJson(recording.explained || NO_EXPLANATIONS),
    ].join(",") + "}";
  }

  // recording: { title, description, level_file, start (the level as built,
  // as the engine wrote it), patches (each frame's JSON Patch text), exact,
  // outcome, explained }.
  function render(recording) {
    const template = JSON.parse(document.getElementById("replay-template").textContent);
    const fields = {
      TITLE: htmlText(`${recording.title} - replay`),
      DATA: dataText(recording),
    };
    return template.replace(/@(TITLE|DATA)@/g, (match, name) => fields[name]);
  }

  return { render, pythonJson };
})();

if (typeof module !== "undefined") module.exports = QorReplayPage;
