// The level studio's page: the editor, the problems list and the player.
"use strict";

(function () {
  const { History, allZones, toText, fitsEditor, isInside, GATE_KINDS, POLARITIES, RULES } = QorLevelModel;
  const $ = (id) => document.getElementById(id);
  const samples = JSON.parse($("studio-samples").textContent);

  // The frame limit a level plays with unless the studio's field says otherwise.
  const DEFAULT_FRAME_LIMIT = 1000;
  // The background play stops once the frames it played hold this many
  // UTF-16 code units of text; Next, Play and Last still play on.
  const BACKGROUND_BUDGET = 256 * 1024 * 1024;
  // replay.py's bound of a replay page, in bytes.
  const MAX_PAGE_BYTES = 64 * 1024 * 1024;
  // The reader's bound of a level file, in bytes.
  const MAX_LEVEL_BYTES = 8 * 1024 * 1024;
  // Where the level being edited is kept in the browser after every edit,
  // until it is saved, so a closed tab or a crash loses nothing.
  const STORE_KEY = "qor_studio.working";

  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (key === "text") node.textContent = value;
      else if (key === "className") node.className = value;
      else if (key.startsWith("data-") || key.startsWith("aria-") || key === "title" || key === "type" || key === "inputmode") {
        node.setAttribute(key, value);
      } else node[key] = value;
    }
    for (const child of children) node.append(child);
    return node;
  }

  const state = {
    history: null,
    player: null,       // set once the engine is ready
    kinds: null,        // the engine's agent kinds: {key, name, priority, method, summary}
    playable: false,    // the current level has no problems
    position: 0,
    timer: null,
    filling: null,      // the timer that plays the rest of the frames in the background
    frameLimit: DEFAULT_FRAME_LIMIT,
    // A file that is not JSON, shown as text to mend: { name, text, original }.
    textView: null,
    // The level kept in the browser from an earlier visit, while the page
    // offers it back.
    offered: null,
  };

  // --- Reading levels with the engine ---------------------------------------

  // A level file's text or bytes read by the engine's reader: the engine's
  // Level (the caller's to delete) or, for a file it refuses, its problems
  // as { text, pointer }.
  function readLevel(data) {
    const q = state.engine;
    try {
      return { level: q.read_level(data), problems: [] };
    } catch (error) {
      if (!(error instanceof q.LevelError)) throw error;
      return { level: null, problems: error.problems.map((text, i) => ({ text, pointer: error.pointers[i] })) };
    }
  }

  // --- Opening levels ------------------------------------------------------

  // Opens a level file's bytes in place of the level edited; a step of the
  // undo history. `name` is "" for a level that has no file yet. A level the
  // engine reads goes to the editor as the engine writes it again; a file of
  // JSON with problems goes to the editor as it is, its problems marked on
  // their fields; a text that is not JSON goes to the text view. Anything
  // else (not a level file, not text, too long) is refused and the level
  // edited stays.
  function openText(name, bytes, shownAs) {
    const label = shownAs || name;
    document.body.dataset.opened = label;
    const kind = QorFileKinds.kindOf(bytes);
    if (kind) {
      showProblems(`${label} cannot be opened: it is ${kind}, not a level file`, []);
      return false;
    }
    const read = readLevel(bytes);
    if (!read.problems.length) {
      let level;
      try {
        level = JSON.parse(read.level.to_text());
      } finally {
        read.level.delete();
      }
      openLevel(level, name);
      return true;
    }
    const text = bytes.length <= MAX_LEVEL_BYTES ? QorFileKinds.utf8Text(bytes) : null;
    if (text === null) {
      // The pointers are the file's, whose fields are not on screen.
      showProblems(`${label} cannot be opened: ${plural(read.problems.length, "problem")}`,
        read.problems.map(({ text: problem }) => ({ text: problem, pointer: null })));
      return false;
    }
    const level = editableLevel(text, read.problems);
    if (level) openLevel(level, name);
    else openTextView(name, text, text);
    return true;
  }

  function openLevel(level, name, fileText) {
    leaveTextView();
    $("file-note").hidden = true;
    if (state.history === null) state.history = new History(level, name);
    else state.history.replace(level, name, fileText);
    state.position = 0;
    refresh();
  }

  // The level of a file's text, for the editor: when the text is JSON the
  // editor can show and writes back with the same problems (nothing it
  // holds is lost or changed on the way), else null.
  function editableLevel(text, problems) {
    let level;
    try {
      level = JSON.parse(text.replace(/^\uFEFF/, ""));
    } catch (error) {
      return null;
    }
    if (!fitsEditor(level)) return null;
    const written = new History(level, "").level;
    const same = (a, b) => a.length === b.length && a.every((p, i) => p.text === b[i].text && p.pointer === b[i].pointer);
    const again = readLevel(toText(written));
    if (again.level) again.level.delete();
    return same(again.problems, problems) ? written : null;
  }

  function openFile(file) {
    file.arrayBuffer().then((buffer) => {
      askBeforeDiscarding(file.name).then((open) => { if (open) openText(file.name, new Uint8Array(buffer)); });
    });
  }

  // --- The text view ---------------------------------------------------------
  // A file that is not JSON yet: its text, editable, with the place where
  // it stops reading marked; once it reads it moves to the editor.

  function openTextView(name, text, original) {
    state.textView = { name, text, original };
    stopFilling();
    pause();
    if (state.player) { state.player.free(); showNothing(); }
    $("fields").hidden = true;
    $("text-view").hidden = false;
    $("level-text").value = text;
    $("undo").disabled = true;  // the text has its own undo (Ctrl+Z in it)
    $("redo").disabled = true;
    $("samples").value = "";
    $("message").textContent = "Nothing plays until the file reads as a level.";
    document.body.dataset.view = "text";
    checkTextView();
  }

  function leaveTextView() {
    if (state.textView === null) return;
    state.textView = null;
    $("fields").hidden = false;
    $("text-view").hidden = true;
    $("text-mark").textContent = "";
    document.body.dataset.view = "editor";
  }

  // The text as it stands: to the editor once it reads as JSON the editor
  // can show, else its problems listed and the place it stops marked.
  function checkTextView() {
    const view = state.textView;
    view.text = $("level-text").value;
    const read = readLevel(view.text);
    let level;
    if (read.level) {
      try { level = JSON.parse(read.level.to_text()); } finally { read.level.delete(); }
    } else level = editableLevel(view.text, read.problems);
    if (level) {
      const focused = document.activeElement === $("level-text");
      openLevel(level, view.name, view.original === view.text ? undefined : "");
      if (focused) $("level-title").focus();
      return;
    }
    markTextError(view.text, read.problems);
    const json = !/^(invalid JSON at |the file is empty)/.test(read.problems[0].text);
    $("text-help").textContent = json
      ? "The editor has no fields for this JSON (an agent or a zone that is not an object, a list that is not a list), " +
        "so it is shown as text: mend it here and it moves to the editor once it can."
      : "The file is not JSON yet, so it is shown as text: mend it here and it moves to the editor once it reads.";
    showProblems(`${view.name || "The file"} ${json ? "cannot be shown as fields" : "is not JSON yet"}: ` +
      plural(read.problems.length, "problem"), read.problems.map(({ text }) => ({ text, pointer: null })));
    updateFileName();
    keepInStorage();
  }

  // "invalid JSON at line 3, column 9: ..." marks line 3 and column 9.
  function markTextError(text, problems) {
    const where = problems.length ? /^invalid JSON at line (\d+), column (\d+)/.exec(problems[0].text) : null;
    const field = $("level-text");
    if (!where) { $("text-mark").textContent = ""; return; }
    const [line, column] = [Number(where[1]), Number(where[2])];
    const lines = text.replace(/^\uFEFF/, "").split("\n");
    const shown = QorDraw.shortText(lines[line - 1] || "");
    $("text-mark").textContent = `line ${line}, column ${column}:\n${shown}\n${" ".repeat(Math.min(column - 1, shown.length))}^`;
    const offset = lines.slice(0, line - 1).reduce((sum, l) => sum + l.length + 1, 0) + column - 1 + (text.startsWith("\uFEFF") ? 1 : 0);
    field.dataset.errorAt = String(offset);
    if (document.activeElement !== field) field.setSelectionRange(offset, offset);
  }

  function plural(n, word) { return `${n} ${word}${n === 1 ? "" : "s"}`; }

  // --- Problems ------------------------------------------------------------
  // Each problem is { text, pointer }: its text, and the JSON Pointer of the
  // value it is about in the level file (null when there is none on screen).
  // Clicking a problem with a pointer focuses and highlights its field.

  function showProblems(head, problems) {
    $("problems").hidden = false;
    $("problems-head").textContent = head;
    $("problem-list").replaceChildren(...problems.map((problem) => {
      const item = el("li", { className: "problem" });
      const split = splitPlace(problem.text);
      if (split.place) item.append(el("span", { className: "place", text: split.place }), ": ");
      item.append(el("span", { className: "what", text: split.what }));
      item.dataset.problem = problem.text;
      if (problem.pointer !== null && fieldAt(problem.pointer)) {
        item.dataset.pointer = problem.pointer;
        item.classList.add("linked");
        item.tabIndex = 0;
        item.title = "Show this field";
      }
      return item;
    }));
  }

  // 'zone "hall": agent 2: unknown kind' -> place 'zone "hall": agent 2'.
  const PLACE = /^((?:level|zone "(?:[^"\\]|\\.)*"|zone \d+|agent \d+|charge \d+)(?:: (?:zone "(?:[^"\\]|\\.)*"|zone \d+|agent \d+|charge \d+))*): /;
  function splitPlace(problem) {
    const match = PLACE.exec(problem);
    return match ? { place: match[1], what: problem.slice(match[0].length) } : { place: "", what: problem };
  }

  function hideProblems() { $("problems").hidden = true; }

  const zonePointer = (path) => path.map((index) => `/zones/${index}`).join("");

  // The editor's field for a pointer: the field itself, or the first one of
  // the row or zone it points at.
  // (Only the editor's: a problem's item carries its pointer too.)
  function fieldAt(pointer) {
    const editor = $("editor");
    return editor.querySelector(`[data-pointer="${CSS.escape(pointer)}"]`) ||
      editor.querySelector(`[data-pointer^="${CSS.escape(pointer + "/")}"]`);
  }

  // The form field a problem is about: the field at its pointer, or for a
  // missing member ('missing field "target"') the field that would hold it.
  function formField(pointer, text) {
    const missing = /missing field "(\w+)"$/.exec(text);
    for (const at of missing ? [pointer, `${pointer}/${missing[1]}`] : [pointer]) {
      const field = $("editor").querySelector(`[data-pointer="${CSS.escape(at)}"]`);
      if (field && field.matches("input, select, textarea")) return field;
    }
    return null;
  }

  function showField(pointer, text) {
    const field = formField(pointer, text) || fieldAt(pointer);
    if (!field) return;
    field.scrollIntoView({ block: "center" });
    field.focus();
    for (const old of document.querySelectorAll(".flash")) old.classList.remove("flash");
    field.classList.add("flash");
    setTimeout(() => field.classList.remove("flash"), 2500);
  }

  // --- Number fields -------------------------------------------------------
  // A field holding a number as a level file writes it puts that number in
  // the level; anything else ("18,5", nothing) goes into the level as the
  // text it is, so the level is what the fields show: the engine's reader
  // lists it as a problem, and a file saved so holds it.

  const NUMBER = /^[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?$/;

  function numberIn(field) {
    const raw = field.value.trim();
    const value = NUMBER.test(raw) ? Number(raw) : NaN;
    return Number.isFinite(value) ? value : field.value;
  }

  // What a field shows of a value of the level: a text as it is, a number
  // as JavaScript writes it, anything else as JSON; nothing for no value.
  function shown(value) {
    if (value === undefined || value === null) return "";
    return typeof value === "string" ? value : typeof value === "number" ? String(value) : JSON.stringify(value);
  }

  // --- Editing -------------------------------------------------------------

  function edit(name, ...args) {
    if (state.history.apply(name, ...args)) refresh();
    else listProblems();
  }

  function undoOrRedo(step) {
    step();
    refresh();
  }

  // The level edited, read by the engine once per text: { text, level,
  // problems }, `level` the engine's Level when it has no problems. Its
  // problems' pointers are the editor's fields: the text has the model's
  // shape.
  function checkLevel(level) {
    const text = toText(level);
    if (!state.checked || state.checked.text !== text) {
      if (state.checked && state.checked.level) state.checked.level.delete();
      state.checked = Object.assign({ text }, readLevel(text));
    }
    return state.checked.problems;
  }

  // The level's problems, as the engine's reader lists them, each marked
  // on its field.
  function listProblems() {
    const problems = checkLevel(state.history.level);
    if (problems.length) {
      showProblems(`The level has ${plural(problems.length, "problem")}; it plays once ${fixed(problems)}`, problems);
    } else hideProblems();
    for (const field of document.querySelectorAll("#editor [aria-invalid]")) field.removeAttribute("aria-invalid");
    for (const { text, pointer } of problems) {
      const field = pointer === null ? null : formField(pointer, text);
      if (field) field.setAttribute("aria-invalid", "true");
    }
    return problems.length === 0;
  }

  function refresh() {
    const started = performance.now();
    const level = state.history.level;
    const text = toText(level);
    state.playable = checkLevel(level).length === 0;
    $("undo").disabled = !state.history.canUndo;
    $("redo").disabled = !state.history.canRedo;
    $("export-replay").title = state.playable ? "Download a replay page of this level"
      : "A replay needs a level that plays: fix the problems listed first";
    const name = state.history.name;
    $("samples").value = samples.some((sample) => sample.file === name) ? name : "";
    document.body.dataset.levelText = text;
    updateFileName();
    restart(level, started);
    renderEditor(level);
    listProblems();
    keepInStorage();
  }

  // The file the level goes by, and whether what is on screen is saved.
  function updateFileName() {
    const unsaved = hasUnsavedWork();
    const name = state.textView ? state.textView.name : state.history.name;
    const words = name ? `${name}${unsaved ? " (edited, not saved)" : ""}`
      : `new level, not saved yet (Save downloads it as ${fileStem()}.json)`;
    $("file-name").textContent = words;
    document.body.dataset.unsaved = String(unsaved);
  }

  function hasUnsavedWork() {
    if (state.textView) return state.textView.text !== state.textView.original;
    return state.history !== null && state.history.unsaved;
  }

  function zoneKey(path) { return path.length ? path.join(".") : "root"; }

  // A zone's editor is made again only when what it shows changed: the
  // zone's own id, charges and agents, its number of sub-zones, and the
  // zones it could be moved into. An edit of a big level redraws one zone.
  const editors = new Map();  // by zone key: { shows, node }

  function renderEditor(level) {
    const focused = document.activeElement && document.activeElement.dataset.key;
    $("level-title").value = shown(level.title);
    $("level-description").value = shown(level.description);
    const zoneList = JSON.stringify(allZones(level).map(({ zone, path }) => [zone.zone, path]));
    const seen = new Set();
    $("zones").replaceChildren(cachedZoneEditor(level, level, [], zoneList, seen));
    for (const key of [...editors.keys()]) if (!seen.has(key)) editors.delete(key);
    if (focused) {
      const again = document.querySelector(`[data-key="${CSS.escape(focused)}"]`);
      if (again) again.focus();
    }
  }

  function button(text, action, label, extra) {
    return el("button", Object.assign({ type: "button", text, "data-action": action, "aria-label": label, title: label }, extra || {}));
  }

  // A value outside the choices (a file's "negitive") is shown as one more
  // choice, so the field shows what the level holds.
  function select(options, value, attributes) {
    const node = el("select", attributes);
    for (const option of options) node.append(el("option", { value: option, text: option }));
    outsideChoice(node, value);
    return node;
  }

  function outsideChoice(node, value) {
    const text = shown(value);
    if (![...node.options].some((option) => option.value === value)) {
      node.append(el("option", { value: text, text: `${text || "(none)"} \u2014 not a choice`, "data-outside": "true" }));
    }
    node.value = text;
  }

  // The kinds as the engine names them: "The Extractor (root), priority 75",
  // each with its one line as the option's title.
  function kinds() {
    return state.kinds;
  }

  function kindSelect(value, attributes) {
    const node = el("select", attributes);
    for (const kind of kinds()) {
      node.append(el("option", { value: kind.key, text: `${kind.name} (${kind.key}), priority ${kind.priority}`, title: kind.summary }));
    }
    outsideChoice(node, value);
    return node;
  }

  function kindNote(key) {
    const kind = kinds().find((k) => k.key === key);
    return el("span", { className: "kind-note", text: kind ? `${kind.name}: ${kind.summary}` : "" });
  }

  function cachedZoneEditor(level, zone, path, zoneList, seen) {
    const key = zoneKey(path);
    seen.add(key);
    const shows = JSON.stringify([zone.zone, zone.charges, zone.agents, zone.zones.length, zoneList]);
    let cached = editors.get(key);
    if (!cached || cached.shows !== shows) {
      cached = { shows, node: zoneEditor(level, zone, path) };
      editors.set(key, cached);
    }
    const subs = zone.zones.map((sub, i) => cachedZoneEditor(level, sub, path.concat(i), zoneList, seen));
    cached.node.querySelector(":scope > .sub-zones").replaceChildren(...subs);
    return cached.node;
  }

  // The editor of one zone; its sub-zones' editors go into its ".sub-zones".
  function zoneEditor(level, zone, path) {
    const key = zoneKey(path);
    const at = zonePointer(path);
    const box = el("fieldset", { className: "zone-editor", "data-path": key, "data-pointer": at || "/" });
    const number = path.length ? el("span", { className: "zone-number", text: ` (zone ${path[path.length - 1] + 1})` }) : "";
    const head = el("div", { className: "zone-editor-head" },
      el("label", {}, "Zone ", el("input", { type: "text", value: shown(zone.zone), "data-key": `${key}|zone`, "data-pointer": `${at}/zone`,
        "data-action": "rename-zone", "aria-label": `Zone id of ${zone.zone}` })), number);
    if (path.length) {
      head.append(
        button("\u2191", "zone-up", `Move zone ${zone.zone} up`),
        button("\u2193", "zone-down", `Move zone ${zone.zone} down`),
        moveTarget(level, path),
        button("Delete zone", "delete-zone", `Delete zone ${zone.zone}`));
    }
    box.append(head);

    const charges = el("ol", { className: "charge-rows" });
    zone.charges.forEach((charge, i) => charges.append(chargeRow(key, at, charge, i)));
    box.append(el("h3", { text: "Charges" }), charges,
      button("+ Charge", "add-charge", `Add a charge to ${zone.zone}`));

    const agents = el("ol", { className: "agent-rows" });
    appendAgentRows(agents, key, at, zone.agents, 0);
    box.append(el("h3", { text: "Agents" }), agents,
      el("span", { className: "add-agent" },
        kindSelect("plus", { "data-key": `${key}|new-kind`, "aria-label": `Kind of the agent to add to ${zone.zone}` }),
        button("+ Agent", "add-agent", `Add an agent to ${zone.zone}`)));

    box.append(el("div", { className: "sub-zones" }), button("+ Sub-zone", "add-zone", `Add a sub-zone to ${zone.zone}`));
    return box;
  }

  const AGENT_ROWS = 200;  // the agent rows a zone's editor draws at first, and at each "show more"

  // A zone of thousands of agents draws AGENT_ROWS of their rows at a time,
  // then a button for the next ones, so that a large level opens at once.
  function appendAgentRows(list, key, at, agents, from) {
    const end = Math.min(agents.length, from + AGENT_ROWS);
    for (let i = from; i < end; i++) list.append(agentRow(key, at, agents[i], i));
    if (end === agents.length) return;
    const more = el("button", { type: "button", className: "show-more-rows",
      text: `Show ${Math.min(AGENT_ROWS, agents.length - end)} more of ${agents.length} agents` });
    const row = el("li", { className: "more-rows" }, more);
    more.addEventListener("click", () => {
      row.remove();
      appendAgentRows(list, key, at, agents, end);
    });
    list.append(row);
  }

  // "Move into": every zone but this one and those under it.
  function moveTarget(level, path) {
    const node = el("select", { "data-action": "move-zone", "data-key": `${zoneKey(path)}|move`,
      "aria-label": "Move into another zone" });
    node.append(el("option", { value: "", text: "Move into\u2026" }));
    for (const { zone, path: other } of allZones(level)) {
      if (isInside(other, path) || zoneKey(other) === zoneKey(path.slice(0, -1))) continue;
      node.append(el("option", { value: zoneKey(other), text: zone.zone }));
    }
    return node;
  }

  // Rows are numbered as problems name them: "charge 1", "agent 2".
  function rowNumber(word, i) {
    return el("span", { className: "row-number", text: String(i + 1), title: `${word} ${i + 1}` });
  }

  function chargeRow(key, zoneAt, charge, i) {
    const [magnitude, polarity, id] = charge;
    const at = `${key}|charge|${i}`;
    const pointer = `${zoneAt}/charges/${i}`;
    return el("li", { className: "charge-row", "data-index": i, "data-pointer": pointer }, rowNumber("charge", i),
      el("input", { type: "text", inputmode: "decimal", value: shown(magnitude),
        "data-key": `${at}|0`, "data-pointer": `${pointer}/0`, "data-action": "set-charge", "aria-label": "Magnitude" }),
      select(POLARITIES, polarity, { "data-key": `${at}|1`, "data-pointer": `${pointer}/1`, "data-action": "set-charge", "aria-label": "Polarity" }),
      el("input", { type: "text", value: shown(id), "data-key": `${at}|2`, "data-pointer": `${pointer}/2`, "data-action": "set-charge", "aria-label": "Charge id" }),
      button("\u2191", "charge-up", "Move charge up"),
      button("\u2193", "charge-down", "Move charge down"),
      button("\u2715", "delete-charge", "Delete charge"));
  }

  function agentRow(key, zoneAt, agent, i) {
    const at = `${key}|agent|${i}`;
    const pointer = `${zoneAt}/agents/${i}`;
    const row = el("li", { className: "agent-row", "data-index": i, "data-pointer": pointer }, rowNumber("agent", i),
      kindSelect(agent.kind, { "data-key": `${at}|kind`, "data-pointer": `${pointer}/kind`, "data-action": "set-agent", "aria-label": "Agent kind" }),
      el("input", { type: "text", value: shown(agent.id), "data-key": `${at}|id`, "data-pointer": `${pointer}/id`, "data-action": "set-agent", "aria-label": "Agent id" }));
    if (GATE_KINDS.includes(agent.kind)) {
      row.append(el("label", {}, "target ", el("input", { type: "text", inputmode: "decimal",
        value: shown(agent.target),
        "data-key": `${at}|target`, "data-pointer": `${pointer}/target`, "data-action": "set-agent", "aria-label": "Gate target" })));
    }
    if (agent.kind === "inequality_gate") {
      row.append(el("label", {}, "rule ", select(RULES, agent.rule, { "data-key": `${at}|rule`, "data-pointer": `${pointer}/rule`,
        "data-action": "set-agent", "aria-label": "Gate rule" })));
    }
    row.append(
      el("label", { title: "Placed again after each frame in which it acted" }, el("input", { type: "checkbox",
        checked: !!agent.refill, "data-key": `${at}|refill`, "data-pointer": `${pointer}/refill`, "data-action": "set-agent", "aria-label": "Refill" }), " refill"),
      button("\u2191", "agent-up", "Move agent up"),
      button("\u2193", "agent-down", "Move agent down"),
      button("\u2715", "delete-agent", "Delete agent"),
      kindNote(agent.kind));
    return row;
  }

  function pathOf(node) {
    const key = node.closest(".zone-editor").dataset.path;
    return key === "root" ? [] : key.split(".").map(Number);
  }

  const indexOf = (node) => Number(node.closest("li").dataset.index);

  const CLICKS = {
    "add-zone": (node) => edit("addZone", pathOf(node)),
    "delete-zone": (node) => edit("deleteZone", pathOf(node)),
    "zone-up": (node) => { const p = pathOf(node); edit("shift", p.slice(0, -1), "zones", p[p.length - 1], -1); },
    "zone-down": (node) => { const p = pathOf(node); edit("shift", p.slice(0, -1), "zones", p[p.length - 1], 1); },
    "add-charge": (node) => edit("addCharge", pathOf(node)),
    "delete-charge": (node) => edit("deleteItem", pathOf(node), "charges", indexOf(node)),
    "charge-up": (node) => edit("shift", pathOf(node), "charges", indexOf(node), -1),
    "charge-down": (node) => edit("shift", pathOf(node), "charges", indexOf(node), 1),
    "add-agent": (node) => edit("addAgent", pathOf(node), node.previousElementSibling.value),
    "delete-agent": (node) => edit("deleteItem", pathOf(node), "agents", indexOf(node)),
    "agent-up": (node) => edit("shift", pathOf(node), "agents", indexOf(node), -1),
    "agent-down": (node) => edit("shift", pathOf(node), "agents", indexOf(node), 1),
  };

  const CHANGES = {
    "rename-zone": (node) => edit("renameZone", pathOf(node), node.value),
    "move-zone": (node) => {
      if (node.value === "") return;
      edit("moveZone", pathOf(node), node.value === "root" ? [] : node.value.split(".").map(Number));
    },
    "set-charge": (node) => {
      const part = Number(node.dataset.key.split("|").pop());
      edit("setCharge", pathOf(node), indexOf(node), part, part === 0 ? numberIn(node) : node.value);
    },
    "set-agent": (node) => {
      const field = node.dataset.key.split("|").pop();
      let value = field === "refill" ? node.checked : node.value;
      if (field === "target") value = numberIn(node);
      edit("setAgent", pathOf(node), indexOf(node), field, value);
    },
  };

  // --- Playing -------------------------------------------------------------

  function restart(level, started) {
    stopFilling();
    pause();
    notice("");
    if (!state.player) return;
    if (!state.playable) {
      state.player.free();
      showNothing();
      $("message").textContent = "Nothing plays until the problems listed are fixed.";
      return;
    }
    try {
      state.player.load(state.checked.level, state.frameLimit);
      state.player.playTo(Math.max(1, state.position));  // the first frame at least, timed below
    } catch (error) {
      refusedByTheEngine(error);
      return;
    }
    show(state.position);
    const ms = performance.now() - started;
    document.body.dataset.firstFrameMs = ms.toFixed(1);
    $("timing").textContent = `Checked, built and played to this frame in ${ms.toFixed(1)} ms on the engine.`;
    fillInBackground();
  }

  function known() { return state.player.count; }

  // Plays the rest of the level a slice at a time, so the page stays
  // responsive, until it ends or the frames played pass the budget.
  function fillInBackground() {
    const step = () => {
      const player = state.player;
      const until = performance.now() + 12;
      try {
        while (!player.finished && player.played < BACKGROUND_BUDGET && performance.now() < until) player.advance();
      } catch (error) {
        state.filling = null;
        refusedByTheEngine(error);
        return;
      }
      updatePosition();
      if (!player.finished && player.played >= BACKGROUND_BUDGET) {
        notice(`Played ahead to frame ${known()} and stopped there: its frames hold ${mib(player.played)} of text, ` +
          `past the ${mib(BACKGROUND_BUDGET)} the studio plays ahead. Next, Play and Last play on.`);
        document.body.dataset.background = "stopped";
      }
      state.filling = player.finished || player.played >= BACKGROUND_BUDGET ? null : setTimeout(step, 0);
    };
    document.body.dataset.background = "playing";
    state.filling = setTimeout(step, 0);
  }

  function mib(units) { return `${Math.round(units / (1024 * 1024)).toLocaleString("en")} MiB`; }

  function stopFilling() {
    if (state.filling !== null) clearTimeout(state.filling);
    state.filling = null;
  }

  // A level that keeps every rule of the format but that the engine will not
  // play (a tree beyond the work one call may do, memory running out): the
  // engine's own message, and nothing plays.
  function refusedByTheEngine(error) {
    const q = state.engine;
    if (!(error instanceof q.RuntimeError || error instanceof q.MemoryError)) throw error;
    state.player.free();
    showNothing();
    notice(`The engine cannot play this level: ${error.message}`);
    document.body.dataset.background = "refused";
  }

  function notice(text) {
    $("notice").textContent = text;
    $("notice").hidden = text === "";
  }

  function showNothing() {
    $("tree").replaceChildren();
    for (const id of ["frame-number", "status", "event", "message", "position", "timing"]) $(id).textContent = "";
    $("outcome").hidden = true;
    document.body.dataset.position = "";
    $("slider").max = "0";
  }

  // Step n is the document after frame n: the position reads in frames.
  function updatePosition() {
    const player = state.player;
    const total = known();
    $("slider").max = String(total);
    $("slider").value = String(state.position);
    $("position").textContent = `frame ${state.position} of ${total}${player.finished ? "" : "\u2026"}`;
    $("slider").setAttribute("aria-valuetext", $("position").textContent);
    document.body.dataset.finished = String(player.finished);
  }

  function show(position) {
    if (!state.player || !state.playable) return;
    const player = state.player;
    state.position = player.playTo(Math.max(0, position));
    const frame = player.frame(state.position);
    const atEnd = player.finished && state.position === known();
    // At the frame limit the engine's answer, not a frame of its own, says
    // how the last frame ended.
    const stopped = atEnd && player.limitText !== null ? JSON.parse(player.limitText).meta : null;
    const meta = stopped || frame.meta;
    $("frame-number").textContent = meta ? String(meta.frame_index) : "0 (the level as built)";
    // Why each agent acts or waits, and how the level ended, from the engine.
    const explained = player.explanation(state.position);
    $("status").textContent = meta ? meta.status : "READY";
    $("status").dataset.status = meta ? meta.status : "READY";
    $("status").dataset.outcome = explained.outcome;
    $("event").textContent = QorDraw.describeEvent(frame.meta);
    // The engine ends a level it lost as it ends one it won ("Equation
    // Resolved."): the outcome says which.
    const lost = atEnd && explained.outcome === "lost";
    $("message").textContent = lost ? explained.summary : meta ? QorDraw.shortText(meta.message) : "The level as built.";
    QorDraw.banner($("outcome"), atEnd ? explained : null);
    document.body.dataset.outcome = atEnd ? explained.outcome : "";
    const marks = state.position > 0 ? QorDraw.changes(player.frame(state.position - 1), frame) : null;
    const changed = QorDraw.render($("tree"), frame, { marks, exact: player.exactAt(state.position), explained });
    if (changed) changed.scrollIntoView({ block: "nearest" });
    document.body.dataset.position = String(state.position);
    updatePosition();
    if (atEnd) pause();
  }

  function pause() {
    if (state.timer !== null) clearTimeout(state.timer);
    state.timer = null;
    $("play").textContent = "\u25B6 Play";
    $("play").setAttribute("aria-label", "Play");
  }

  function play() {
    if (!state.playable) return;
    if (state.player.finished && state.position === known()) show(0);
    pause();
    // Each frame is timed from the end of the one before: a frame that takes
    // longer than the interval (a huge level) still leaves the page a gap.
    const tick = () => {
      show(state.position + 1);
      if (state.timer !== null) state.timer = setTimeout(tick, 1000 / Number($("speed").value));
    };
    state.timer = setTimeout(tick, 1000 / Number($("speed").value));
    $("play").textContent = "\u2016 Pause";
    $("play").setAttribute("aria-label", "Pause");
  }

  function toEnd() {
    stopFilling();
    state.player.playTo(Infinity);
    show(known());
  }

  // The frame limit: a setting of the studio (not of the level file), used
  // for playing and for Export replay. The engine says which are allowed.
  function setFrameLimit(field) {
    const raw = field.value.trim();
    const limit = /^\d+$/.test(raw) ? Number(raw) : NaN;
    let problem = Number.isSafeInteger(limit) ? null : `frame limit ${JSON.stringify(field.value)} is not a whole number`;
    if (problem === null && state.engine) {
      const probe = new state.engine.Environment("probe");
      const sequencer = new state.engine.NarrativeSequencer(probe);
      try { sequencer.max_frames = limit; } catch (error) { problem = `frame limit: ${error.message}`; }
      sequencer.delete();
      probe.delete();
    }
    field.toggleAttribute("aria-invalid", problem !== null);
    if (problem !== null) {
      field.setAttribute("aria-invalid", "true");
      notice(problem);
      return;
    }
    state.frameLimit = limit;
    if (!state.textView) refresh();
  }

  // --- Saving and exporting -----------------------------------------------

  function download(name, type, text) {
    const url = URL.createObjectURL(new Blob([text], { type }));
    const link = el("a", { href: url, download: name });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  // A level opened from a file keeps the file's name; a new one is named
  // after its title ("The Long Road" -> the_long_road.json), else "level".
  function fileStem() {
    const name = state.history.name.replace(/\.json$/i, "");
    if (name) return name;
    const title = (state.history.level.title || "").normalize("NFKD").replace(/[\u0300-\u036f]/g, "")
      .toLowerCase().replace(/[^a-z0-9]+/g, "_").replace(/^_+|_+$/g, "").slice(0, 80);
    return title || "level";
  }

  // Saves the level as it stands: as the engine writes it when it reads,
  // else as the fields hold it, problems and all (the text view's text as
  // it is).
  function saveLevel() {
    if (state.textView) return saveTextView();
    const name = fileStem() + ".json";
    const problems = checkLevel(state.history.level);
    download(name, "application/json", state.checked.level ? state.checked.level.to_text() : state.checked.text);
    state.history.markSaved(name);
    refresh();
    fileNote(problems.length ? `Saved as ${name}, with ${plural(problems.length, "problem")}: ${problemList(problems)}. ` +
      `It plays once ${fixed(problems)}.` : `Saved as ${name}.`, problems.length ? "problems" : "saved");
  }

  function saveTextView() {
    const view = state.textView;
    const name = (view.name || "level.json").replace(/\.json$/i, "") + ".json";
    download(name, "application/json", view.text);
    view.name = name;
    view.original = view.text;
    updateFileName();
    keepInStorage();
    fileNote(`Saved as ${name}, as text: it is not JSON yet.`, "problems");
  }

  const fixed = (problems) => (problems.length === 1 ? "it is fixed" : "they are fixed");

  function problemList(problems) {
    const shownProblems = problems.slice(0, 3).map(({ text }) => QorDraw.shortText(text));
    return shownProblems.join("; ") + (problems.length > 3 ? `; and ${problems.length - 3} more` : "");
  }

  // A short note beside the file's name: what Save or Export did.
  function fileNote(text, kind) {
    const note = $("file-note");
    clearTimeout(state.noteTimer);
    note.textContent = text;
    note.hidden = false;
    note.dataset.kind = kind;
    state.noteTimer = setTimeout(() => { note.hidden = true; }, kind === "saved" ? 4000 : 12000);
  }

  // The page grows past replay.py's bound: refused with replay.py's words.
  class PageTooLarge extends Error {
    constructor(frames) {
      super(`the replay would be larger than ${MAX_PAGE_BYTES.toLocaleString("en")} bytes, the bound of a replay page ` +
        `(reached after frame ${frames}); it was not written`);
    }
  }

  // The level played once more, by the engine's patches, as replay.py
  // records it: the frames on screen stay as they are. Refused, as replay.py
  // refuses it, once the page would pass its bound. It records in slices,
  // so the page stays responsive; clicking Export replay again stops it.
  function exportReplay() {
    if (state.exporting) return stopExport("Export replay stopped.");
    if (state.textView || !state.playable) {
      const problems = state.textView ? "mend the file until it reads" : "fix the problems listed above";
      fileNote(`Export replay needs a level that plays: ${problems}, then export again.`, "problems");
      return;
    }
    const level = state.history.level;
    const stem = fileStem();
    const recorder = new QorLevelPlayer.Player(state.engine, { checkpoints: 0 });
    const fields = { title: level.title || stem, description: level.description || "", level_file: stem + ".json" };
    recorder.load(state.checked.level, state.frameLimit);
    let size = QorReplayPage.render(Object.assign({ start: recorder.text(0), patches: [], exact: {}, outcome: "" }, fields)).length;
    const steps = recorder.recording((kind, text, frames) => {
      size += kind === "patch" ? QorReplayPage.pythonJson(text).length : QorReplayPage.pythonJson(text).length - 2;
      if (size > MAX_PAGE_BYTES) throw new PageTooLarge(frames);
    });
    state.exporting = { recorder, timer: null };
    $("export-replay").textContent = "Stop export";
    document.body.dataset.exporting = "true";
    const slice = () => {
      try {
        const until = performance.now() + 12;
        let next = steps.next();
        while (!next.done && performance.now() < until) next = steps.next();
        if (!next.done) {
          notice(`Export replay: recording frame ${next.value}\u2026 (click Stop export to stop)`);
          state.exporting.timer = setTimeout(slice, 0);
          return;
        }
        const page = QorReplayPage.render(Object.assign({}, fields, next.value));
        if (page.length > MAX_PAGE_BYTES) throw new PageTooLarge(next.value.patches.length);
        stopExport("");
        download(stem + "_replay.html", "text/html", page);
        fileNote(`Exported ${stem}_replay.html.`, "saved");
      } catch (error) {
        if (!(error instanceof PageTooLarge)) { stopExport(""); throw error; }
        stopExport(`Export replay: ${error.message}.`);
      }
    };
    slice();
  }

  function stopExport(message) {
    const exporting = state.exporting;
    if (!exporting) return;
    clearTimeout(exporting.timer);
    exporting.recorder.free();
    state.exporting = null;
    $("export-replay").textContent = "Export replay";
    document.body.dataset.exporting = "false";
    notice(message);
  }

  // --- Keeping the work -------------------------------------------------------
  // Opening another level asks first while edits are unsaved (Undo still
  // brings them back); the level being edited is kept in the browser's
  // storage until it is saved, and offered back when the page opens again.

  function askBeforeDiscarding(opening) {
    if (!hasUnsavedWork()) return Promise.resolve(true);
    const dialog = $("discard");
    if (dialog.open) return Promise.resolve(false);  // already asking about another
    $("discard-text").textContent = state.textView
      ? `The file's text has edits that are not saved. Open ${opening} in its place? The text will be lost.`
      : `The level has edits that are not saved. Open ${opening} in its place? Undo brings the edits back.`;
    dialog.returnValue = "";
    dialog.showModal();
    document.body.dataset.asking = "true";
    return new Promise((resolve) => {
      dialog.addEventListener("close", () => {
        document.body.dataset.asking = "false";
        resolve(dialog.returnValue === "open");
      }, { once: true });
    });
  }

  // What is kept: the level (or the text) on screen while it is unsaved.
  function working() {
    if (state.textView) {
      const view = state.textView;
      return view.text === view.original ? null : { view: "text", name: view.name, text: view.text, original: view.original };
    }
    if (!state.history.unsaved) return null;
    return { view: "editor", name: state.history.name, text: state.history.states[state.history.index].text,
      fileText: state.history.fileText };
  }

  function keepInStorage() {
    const kept = working();
    // While a level of an earlier visit is offered, only new work replaces it
    // (the offer stays until it is answered).
    if (state.offered && kept === null) return;
    try {
      if (kept === null) localStorage.removeItem(STORE_KEY);
      else localStorage.setItem(STORE_KEY, JSON.stringify(kept));
      document.body.dataset.kept = kept === null ? "" : "true";
    } catch (error) {
      document.body.dataset.kept = "failed";
      fileNote("The browser would not keep this level (too large for its storage, or storage is off): save it to keep it.",
        "problems");
    }
  }

  function offerKeptLevel() {
    let kept = null;
    try {
      kept = JSON.parse(localStorage.getItem(STORE_KEY) || "null");
    } catch (error) {
      kept = null;
    }
    if (!kept || typeof kept.text !== "string") return;
    state.offered = kept;
    let title = "";
    try { title = kept.view === "editor" ? shown(JSON.parse(kept.text).title) : ""; } catch (error) { title = ""; }
    const what = [title && JSON.stringify(title), kept.name || "a new level"].filter(Boolean).join(", ");
    $("restore-text").textContent = `Restore the level you were editing? (${what}, not saved)`;
    $("restore").hidden = false;
    document.body.dataset.offered = "true";
  }

  function hideOffer() {
    state.offered = null;
    $("restore").hidden = true;
    document.body.dataset.offered = "false";
  }

  function restoreKept() {
    const kept = state.offered;
    if (!kept) return;
    askBeforeDiscarding("the level you were editing").then((open) => {
      if (!open) return;
      hideOffer();
      if (kept.view === "text") openTextView(kept.name, kept.text, kept.original);
      else openLevel(JSON.parse(kept.text), kept.name, kept.fileText);
    });
  }

  function discardKept() {
    hideOffer();
    keepInStorage();
  }

  function openSample(file) {
    const sample = samples.find((s) => s.file === file);
    askBeforeDiscarding(`"${sample.title}"`).then((open) => {
      if (open) openText(sample.file, new TextEncoder().encode(sample.text));
      else $("samples").value = samples.some((s) => s.file === state.history.name) ? state.history.name : "";
    });
  }

  function newLevel() {
    askBeforeDiscarding("a new level").then((open) => {
      if (open) openText("", new TextEncoder().encode('{"zone": "root"}'), "new level");
    });
  }

  // --- Wiring ----------------------------------------------------------------

  function wire() {
    const sampleList = $("samples");
    sampleList.append(el("option", { value: "", text: "\u2014", disabled: true }));
    for (const sample of samples) sampleList.append(el("option", { value: sample.file, text: `${sample.title} (${sample.file})` }));
    sampleList.addEventListener("change", () => openSample(sampleList.value));
    $("open-file").addEventListener("change", (event) => {
      const file = event.target.files[0];
      if (file) openFile(file);
      event.target.value = "";
    });
    document.addEventListener("dragover", (event) => { event.preventDefault(); $("drop-hint").hidden = false; });
    document.addEventListener("dragleave", (event) => { if (!event.relatedTarget) $("drop-hint").hidden = true; });
    document.addEventListener("drop", (event) => {
      event.preventDefault();
      $("drop-hint").hidden = true;
      const file = event.dataTransfer.files[0];
      if (file) openFile(file);
    });
    // Closing the tab with unsaved edits asks first.
    window.addEventListener("beforeunload", (event) => {
      if (!state.history || !hasUnsavedWork()) return;
      event.preventDefault();
      event.returnValue = "";
    });
    $("discard-yes").addEventListener("click", () => $("discard").close("open"));
    $("discard-no").addEventListener("click", () => $("discard").close("keep"));
    $("restore-yes").addEventListener("click", restoreKept);
    $("restore-no").addEventListener("click", discardKept);
    let typing = null;
    $("level-text").addEventListener("input", () => {
      clearTimeout(typing);
      typing = setTimeout(checkTextView, 300);
    });

    $("new-level").addEventListener("click", newLevel);
    $("undo").addEventListener("click", () => undoOrRedo(() => state.history.undo()));
    $("redo").addEventListener("click", () => undoOrRedo(() => state.history.redo()));
    $("save-level").addEventListener("click", saveLevel);
    $("export-replay").addEventListener("click", exportReplay);
    $("level-title").addEventListener("change", (e) => edit("setText", "title", e.target.value));
    $("level-description").addEventListener("change", (e) => edit("setText", "description", e.target.value));
    $("frame-limit").addEventListener("change", (e) => setFrameLimit(e.target));
    $("zones").addEventListener("click", (event) => {
      const node = event.target.closest("button[data-action]");
      if (node && CLICKS[node.dataset.action]) CLICKS[node.dataset.action](node);
    });
    $("zones").addEventListener("change", (event) => {
      const node = event.target;
      if (node.dataset.action && CHANGES[node.dataset.action]) CHANGES[node.dataset.action](node);
    });
    $("problem-list").addEventListener("click", (event) => {
      const item = event.target.closest("li[data-pointer]");
      if (item) showField(item.dataset.pointer, item.dataset.problem);
    });
    $("problem-list").addEventListener("keydown", (event) => {
      const item = event.target.closest("li[data-pointer]");
      if (item && (event.key === "Enter" || event.key === " ")) {
        event.preventDefault();
        showField(item.dataset.pointer, item.dataset.problem);
      }
    });

    $("first").addEventListener("click", () => { pause(); show(0); });
    $("prev").addEventListener("click", () => { pause(); show(state.position - 1); });
    $("next").addEventListener("click", () => { pause(); show(state.position + 1); });
    $("last").addEventListener("click", () => { pause(); toEnd(); });
    $("play").addEventListener("click", () => (state.timer === null ? play() : pause()));
    $("slider").addEventListener("input", () => { pause(); show(Number($("slider").value)); });
    $("speed").addEventListener("change", () => { if (state.timer !== null) play(); });
    document.addEventListener("keydown", onKey);
    QorDraw.legend($("legend"));
  }

  function onKey(event) {
    if ((event.ctrlKey || event.metaKey) && !event.altKey && event.key.toLowerCase() === "s") {
      event.preventDefault();
      commitField(event.target);
      $("save-level").click();
      return;
    }
    const typing = event.target.closest("input, textarea, select");
    if ((event.ctrlKey || event.metaKey) && !typing) {
      const key = event.key.toLowerCase();
      if (key === "z" && !event.shiftKey) { event.preventDefault(); $("undo").click(); }
      if (key === "y" || (key === "z" && event.shiftKey)) { event.preventDefault(); $("redo").click(); }
      return;
    }
    if (typing || event.altKey || event.ctrlKey || event.metaKey || !state.playable) return;
    const keys = {
      ArrowLeft: () => $("prev").click(),
      ArrowRight: () => $("next").click(),
      Home: () => $("first").click(),
      End: () => $("last").click(),
      " ": () => $("play").click(),
    };
    if (event.key === " " && event.target instanceof HTMLButtonElement) return;
    if (keys[event.key]) { event.preventDefault(); keys[event.key](); }
  }

  // A field being typed in takes effect before a save, as when it is left.
  function commitField(target) {
    if (target.matches("#editor input, #editor textarea") && target.id !== "level-text") {
      target.dispatchEvent(new Event("change", { bubbles: true }));
    }
    if (target.id === "level-text" && state.textView) checkTextView();
  }

  // The editor lists the engine's kinds, so the first level opens once the
  // engine is ready.
  function openFirstLevel() {
    const tutorial = samples.find((s) => s.file === "tutorial.json") || samples[0];
    openText(tutorial.file, new TextEncoder().encode(tutorial.text));
  }

  wire();
  createQorEngine().then((engine) => {
    state.engine = engine;
    state.kinds = engine.agent_kinds();
    state.player = new QorLevelPlayer.Player(engine);
    offerKeptLevel();
    openFirstLevel();
    document.body.dataset.engine = "ready";
  }, (error) => {
    $("timing").textContent = "The engine could not start: " + error;
    document.body.dataset.engine = "failed";
  });
})();
