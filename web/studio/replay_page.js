// Writes a replay page from the studio: the very page examples/replay.py
// writes (web/replay with the shared drawing code), whose template, styles,
// script and policy the build put into the studio; only the title and the
// recorded level are filled in here, as replay.py fills them.
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

  // data: { title, description, level_file, start, frames, exact, outcome },
  // the members of replay.py's Replay in their order.
  function render(data) {
    const template = JSON.parse(document.getElementById("replay-template").textContent);
    const fields = {
      TITLE: htmlText(`${data.title} - replay`),
      DATA: scriptJson({
        title: data.title, description: data.description, level_file: data.level_file,
        start: data.start, frames: data.frames, exact: data.exact, outcome: data.outcome,
      }),
    };
    return template.replace(/@(TITLE|DATA)@/g, (match, name) => fields[name]);
  }

  return { render };
})();
