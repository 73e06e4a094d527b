// Writes a replay page from the studio: the page examples/replay.py writes
// (web/replay with the shared drawing code), whose template, styles, script
// and policy the build put into the studio; only the title and the recorded
// level are filled in here, as replay.py fills them. replay.py embeds each
// frame as the engine's JSON Patch against the frame before; the studio
// makes such patches itself, from the frames it played.
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

  // JSON that is safe inside a <script> element, as replay.py writes it:
  // ASCII only, and no "<", ">" or "&".
  function scriptJson(value) {
    return JSON.stringify(value)
      .replace(/[^\x20-\x7e]/g, (ch) => "\\u" + ch.charCodeAt(0).toString(16).padStart(4, "0"))
      .replace(/</g, "\\u003c").replace(/>/g, "\\u003e").replace(/&/g, "\\u0026");
  }

  function pointerToken(key) { return String(key).replace(/~/g, "~0").replace(/\//g, "~1"); }

  // An RFC 6902 JSON Patch that turns `before` into `after`: members and
  // items compared in place, what differs replaced, added or removed.
  function diff(before, after, path, operations) {
    if (JSON.stringify(before) === JSON.stringify(after)) return operations;
    const bothLists = Array.isArray(before) && Array.isArray(after);
    const bothObjects = isObject(before) && isObject(after) &&
      JSON.stringify(Object.keys(before)) === JSON.stringify(Object.keys(after));
    if (bothObjects) {
      for (const key of Object.keys(after)) diff(before[key], after[key], `${path}/${pointerToken(key)}`, operations);
    } else if (bothLists) {
      const common = Math.min(before.length, after.length);
      for (let i = 0; i < common; i++) diff(before[i], after[i], `${path}/${i}`, operations);
      for (let i = before.length - 1; i >= common; i--) operations.push({ op: "remove", path: `${path}/${i}` });
      for (let i = common; i < after.length; i++) operations.push({ op: "add", path: `${path}/${i}`, value: after[i] });
    } else {
      operations.push({ op: "replace", path, value: after });
    }
    return operations;
  }

  function isObject(value) { return value !== null && typeof value === "object" && !Array.isArray(value); }

  // The frames as replay.py embeds them: the first patch holds the whole
  // first frame, each later one what changed.
  function patches(documents) {
    return documents.slice(1).map((frame, i) =>
      (i === 0 ? [{ op: "replace", path: "", value: frame }] : diff(documents[i], frame, "", [])));
  }

  // The magnitudes written as null, as texts, by the step from which they
  // hold (replay.py's "exact"): exactAt(step) gives them as numbers.
  function exactSteps(count, exactAt) {
    const steps = {};
    let current = "{}";
    for (let step = 0; step <= count; step++) {
      const values = Object.fromEntries(Object.entries(exactAt(step) || {}).map(([pointer, v]) => [pointer, String(v)]));
      const text = JSON.stringify(values);
      if (text === current) continue;
      steps[String(step)] = values;
      current = text;
    }
    return steps;
  }

  // recording: { title, description, level_file, texts (the level as built,
  // then every frame text), exactAt(step), outcome }.
  function render(recording) {
    const documents = recording.texts.map((text) => JSON.parse(text));
    const data = {
      title: recording.title, description: recording.description, level_file: recording.level_file,
      start: documents[0], patches: patches(documents),
      exact: exactSteps(documents.length - 1, recording.exactAt), outcome: recording.outcome,
    };
    const template = JSON.parse(document.getElementById("replay-template").textContent);
    const fields = {
      TITLE: htmlText(`${data.title} - replay`),
      DATA: scriptJson(data),
    };
    return template.replace(/@(TITLE|DATA)@/g, (match, name) => fields[name]);
  }

  return { render };
})();
