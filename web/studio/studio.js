// The level studio's page: the editor, the problems list and the player.
"use strict";

(function () {
  const { History, allZones, toText, isInside } = QorLevelModel;
  const { AGENT_KINDS, GATE_KINDS, POLARITIES, RULES } = QorLevelCheck;
  const $ = (id) => document.getElementById(id);
  const samples = JSON.parse($("studio-samples").textContent);

  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (key === "text") node.textContent = value;
      else if (key === "className") node.className = value;
      else if (key.startsWith("data-") || key.startsWith("aria-") || key === "title" || key === "type") node.setAttribute(key, value);
      else node[key] = value;
    }
    for (const child of children) node.append(child);
    return node;
  }

  const state = {
    history: null,
    fileName: "",
    player: null,       // set once the engine is ready
    playable: false,    // the current level has no problems
    position: 0,
    timer: null,
    filling: null,      // the timer that plays the rest of the frames in the background
  };

  // --- Opening levels ------------------------------------------------------

  function openText(name, bytes) {
    const { level, problems } = QorLevelCheck.checkBytes(bytes);
    if (problems.length) {
      showProblems(`${name} cannot be opened: ${plural(problems.length, "problem")}`, problems);
      document.body.dataset.opened = name;
      return false;
    }
    state.history = new History(level);
    state.fileName = name;
    $("samples").value = samples.some((sample) => sample.file === name) ? name : "";
    state.position = 0;
    refresh();
    document.body.dataset.opened = name;
    return true;
  }

  function openFile(file) {
    if (file.size > QorLevelJson.MAX_LEVEL_BYTES) {
      showProblems(`${file.name} cannot be opened: 1 problem`,
        ["longer than 8,388,608 bytes, the most a level file may hold"]);
      document.body.dataset.opened = file.name;
      return;
    }
    file.arrayBuffer().then((buffer) => openText(file.name, new Uint8Array(buffer)));
  }

  function plural(n, word) { return `${n} ${word}${n === 1 ? "" : "s"}`; }

  function showProblems(head, problems) {
    $("problems").hidden = false;
    $("problems-head").textContent = head;
    $("problem-list").replaceChildren(...problems.map((problem) => {
      const item = el("li", { className: "problem" });
      const split = splitPlace(problem);
      if (split.place) item.append(el("span", { className: "place", text: split.place }), ": ");
      item.append(el("span", { className: "what", text: split.what }));
      item.dataset.problem = problem;
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

  // --- Editing -------------------------------------------------------------

  function edit(name, ...args) {
    if (state.history.apply(name, ...args)) refresh();
  }

  function refresh() {
    const started = performance.now();
    const level = state.history.level;
    const text = toText(level);
    const { problems } = QorLevelCheck.checkText(text);
    if (problems.length) showProblems(`The level has ${plural(problems.length, "problem")}; it plays once they are fixed`, problems);
    else hideProblems();
    state.playable = problems.length === 0;
    $("undo").disabled = !state.history.canUndo;
    $("redo").disabled = !state.history.canRedo;
    $("save-level").disabled = !state.playable;
    $("export-replay").disabled = !state.playable;
    $("file-name").textContent = state.fileName;
    document.body.dataset.levelText = text;
    restart(level, started);
    renderEditor(level);
  }

  function zoneKey(path) { return path.length ? path.join(".") : "root"; }

  // A zone's editor is made again only when what it shows changed: the
  // zone's own id, charges and agents, its number of sub-zones, and the
  // zones it could be moved into. An edit of a big level redraws one zone.
  const editors = new Map();  // by zone key: { shows, node }

  function renderEditor(level) {
    const focused = document.activeElement && document.activeElement.dataset.key;
    $("level-title").value = level.title || "";
    $("level-description").value = level.description || "";
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

  function select(options, value, attributes) {
    const node = el("select", attributes);
    for (const option of options) node.append(el("option", { value: option, text: option }));
    node.value = value;
    return node;
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
    const box = el("fieldset", { className: "zone-editor", "data-path": key });
    const head = el("div", { className: "zone-editor-head" },
      el("label", {}, "Zone ", el("input", { type: "text", value: zone.zone, "data-key": `${key}|zone`,
        "data-action": "rename-zone", "aria-label": `Zone id of ${zone.zone}` })));
    if (path.length) {
      head.append(
        button("\u2191", "zone-up", `Move zone ${zone.zone} up`),
        button("\u2193", "zone-down", `Move zone ${zone.zone} down`),
        moveTarget(level, path),
        button("Delete zone", "delete-zone", `Delete zone ${zone.zone}`));
    }
    box.append(head);

    const charges = el("ol", { className: "charge-rows" });
    zone.charges.forEach((charge, i) => charges.append(chargeRow(key, charge, i)));
    box.append(el("h3", { text: "Charges" }), charges,
      button("+ Charge", "add-charge", `Add a charge to ${zone.zone}`));

    const agents = el("ol", { className: "agent-rows" });
    zone.agents.forEach((agent, i) => agents.append(agentRow(key, agent, i)));
    box.append(el("h3", { text: "Agents" }), agents,
      el("span", { className: "add-agent" },
        select(AGENT_KINDS, "plus", { "data-key": `${key}|new-kind`, "aria-label": `Kind of the agent to add to ${zone.zone}` }),
        button("+ Agent", "add-agent", `Add an agent to ${zone.zone}`)));

    box.append(el("div", { className: "sub-zones" }), button("+ Sub-zone", "add-zone", `Add a sub-zone to ${zone.zone}`));
    return box;
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

  function chargeRow(key, charge, i) {
    const [magnitude, polarity, id] = charge;
    const at = `${key}|charge|${i}`;
    return el("li", { className: "charge-row", "data-index": i },
      el("input", { type: "number", min: "0", step: "any", value: magnitude === null ? "" : String(magnitude),
        "data-key": `${at}|0`, "data-action": "set-charge", "aria-label": "Magnitude" }),
      select(POLARITIES, polarity, { "data-key": `${at}|1`, "data-action": "set-charge", "aria-label": "Polarity" }),
      el("input", { type: "text", value: id, "data-key": `${at}|2`, "data-action": "set-charge", "aria-label": "Charge id" }),
      button("\u2191", "charge-up", "Move charge up"),
      button("\u2193", "charge-down", "Move charge down"),
      button("\u2715", "delete-charge", "Delete charge"));
  }

  function agentRow(key, agent, i) {
    const at = `${key}|agent|${i}`;
    const row = el("li", { className: "agent-row", "data-index": i },
      select(AGENT_KINDS, agent.kind, { "data-key": `${at}|kind`, "data-action": "set-agent", "aria-label": "Agent kind" }),
      el("input", { type: "text", value: agent.id, "data-key": `${at}|id`, "data-action": "set-agent", "aria-label": "Agent id" }));
    if (GATE_KINDS.includes(agent.kind)) {
      row.append(el("label", {}, "target ", el("input", { type: "number", step: "any",
        value: agent.target === null || agent.target === undefined ? "" : String(agent.target),
        "data-key": `${at}|target`, "data-action": "set-agent", "aria-label": "Gate target" })));
    }
    if (agent.kind === "inequality_gate") {
      row.append(el("label", {}, "rule ", select(RULES, agent.rule, { "data-key": `${at}|rule`, "data-action": "set-agent", "aria-label": "Gate rule" })));
    }
    row.append(
      el("label", { title: "Placed again after each frame in which it acted" }, el("input", { type: "checkbox",
        checked: !!agent.refill, "data-key": `${at}|refill`, "data-action": "set-agent", "aria-label": "Refill" }), " refill"),
      button("\u2191", "agent-up", "Move agent up"),
      button("\u2193", "agent-down", "Move agent down"),
      button("\u2715", "delete-agent", "Delete agent"));
    return row;
  }

  function pathOf(node) {
    const key = node.closest(".zone-editor").dataset.path;
    return key === "root" ? [] : key.split(".").map(Number);
  }

  const indexOf = (node) => Number(node.closest("li").dataset.index);
  const numberOf = (input) => (input.value.trim() === "" || !Number.isFinite(Number(input.value)) ? null : Number(input.value));

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
      edit("setCharge", pathOf(node), indexOf(node), part, part === 0 ? numberOf(node) : node.value);
    },
    "set-agent": (node) => {
      const field = node.dataset.key.split("|").pop();
      const value = field === "refill" ? node.checked : field === "target" ? numberOf(node) : node.value;
      edit("setAgent", pathOf(node), indexOf(node), field, value);
    },
  };

  // --- Playing -------------------------------------------------------------

  function restart(level, started) {
    stopFilling();
    pause();
    if (!state.player) return;
    if (!state.playable) {
      state.player.free();
      showNothing();
      return;
    }
    state.player.load(level);
    state.player.playTo(Math.max(1, state.position));  // the first frame at least, timed below
    show(state.position);
    const ms = performance.now() - started;
    document.body.dataset.firstFrameMs = ms.toFixed(1);
    $("timing").textContent = `Checked, built and played to this frame in ${ms.toFixed(1)} ms on the engine.`;
    fillInBackground();
  }

  function known() { return state.player.texts.length - 1; }

  // Plays the rest of the level a slice at a time, so the page stays responsive.
  function fillInBackground() {
    const step = () => {
      const until = performance.now() + 12;
      while (!state.player.finished && performance.now() < until) state.player.playTo(known() + 1);
      updatePosition();
      state.filling = state.player.finished ? null : setTimeout(step, 0);
    };
    state.filling = setTimeout(step, 0);
  }

  function stopFilling() {
    if (state.filling !== null) clearTimeout(state.filling);
    state.filling = null;
  }

  function showNothing() {
    $("tree").replaceChildren();
    for (const id of ["frame-number", "status", "event", "message", "position", "timing"]) $(id).textContent = "";
    $("outcome").hidden = true;
    document.body.dataset.position = "";
    $("slider").max = "0";
  }

  function updatePosition() {
    const player = state.player;
    const total = known();
    $("slider").max = String(total);
    $("slider").value = String(state.position);
    $("position").textContent = `step ${state.position} of ${total}${player.finished ? "" : "\u2026"}`;
    document.body.dataset.finished = String(player.finished);
  }

  function show(position) {
    if (!state.player || !state.playable) return;
    const player = state.player;
    state.position = player.playTo(Math.max(0, position));
    const frame = player.frame(state.position);
    const meta = frame.meta;
    const event = meta && meta.last_event;
    $("frame-number").textContent = meta ? String(meta.frame_index) : "0 (the level as built)";
    $("status").textContent = meta ? meta.status : "READY";
    $("status").dataset.status = meta ? meta.status : "READY";
    $("event").textContent = event ? `${event.type} ${event.visual_id}` : "\u2014";
    $("message").textContent = meta ? meta.message : "The level as built.";
    const atEnd = player.finished && state.position === known();
    $("outcome").hidden = !atEnd;
    if (atEnd) {
      $("outcome").textContent = QorLevelPlayer.outcome(frame, player.rootCharges, state.engine);
      $("outcome").classList.toggle("limit", meta.status === "ERROR");
    }
    const marks = state.position > 0 ? QorDraw.changes(player.frame(state.position - 1), frame) : null;
    const changed = QorDraw.render($("tree"), frame, { marks, exact: player.exactAt(state.position) });
    if (changed) changed.scrollIntoView({ block: "nearest" });
    document.body.dataset.position = String(state.position);
    updatePosition();
    if (atEnd) pause();
  }

  function pause() {
    if (state.timer !== null) clearInterval(state.timer);
    state.timer = null;
    $("play").textContent = "\u25B6 Play";
    $("play").setAttribute("aria-label", "Play");
  }

  function play() {
    if (!state.playable) return;
    if (state.player.finished && state.position === known()) show(0);
    pause();
    state.timer = setInterval(() => show(state.position + 1), 1000 / Number($("speed").value));
    $("play").textContent = "\u2016 Pause";
    $("play").setAttribute("aria-label", "Pause");
  }

  function toEnd() {
    stopFilling();
    state.player.playTo(Infinity);
    show(known());
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

  function baseName() {
    const name = state.fileName.replace(/\.json$/i, "");
    return name || "level";
  }

  function saveLevel() {
    if (!state.playable) return;
    download(baseName() + ".json", "application/json", toText(state.history.level));
  }

  // The level played once more, by the engine's patches, as replay.py
  // records it: the frames on screen stay as they are.
  function exportReplay() {
    if (!state.playable) return;
    const level = state.history.level;
    const recorder = new QorLevelPlayer.Player(state.engine);
    try {
      recorder.load(level);
      const recording = recorder.record();
      download(baseName() + "_replay.html", "text/html", QorReplayPage.render({
        title: level.title || baseName(),
        description: level.description || "",
        level_file: baseName() + ".json",
        ...recording,
      }));
    } finally {
      recorder.free();
    }
  }

  // --- Wiring ----------------------------------------------------------------

  function wire() {
    const sampleList = $("samples");
    sampleList.append(el("option", { value: "", text: "\u2014", disabled: true }));
    for (const sample of samples) sampleList.append(el("option", { value: sample.file, text: `${sample.title} (${sample.file})` }));
    sampleList.addEventListener("change", () => {
      const sample = samples.find((s) => s.file === sampleList.value);
      openText(sample.file, new TextEncoder().encode(sample.text));
    });
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

    $("new-level").addEventListener("click", () => openText("level.json", new TextEncoder().encode('{"zone": "root"}')));
    $("undo").addEventListener("click", () => { state.history.undo(); refresh(); });
    $("redo").addEventListener("click", () => { state.history.redo(); refresh(); });
    $("save-level").addEventListener("click", saveLevel);
    $("export-replay").addEventListener("click", exportReplay);
    $("level-title").addEventListener("change", (e) => edit("setText", "title", e.target.value));
    $("level-description").addEventListener("change", (e) => edit("setText", "description", e.target.value));
    $("zones").addEventListener("click", (event) => {
      const node = event.target.closest("button[data-action]");
      if (node && CLICKS[node.dataset.action]) CLICKS[node.dataset.action](node);
    });
    $("zones").addEventListener("change", (event) => {
      const node = event.target;
      if (node.dataset.action && CHANGES[node.dataset.action]) CHANGES[node.dataset.action](node);
    });

    $("first").addEventListener("click", () => { pause(); show(0); });
    $("prev").addEventListener("click", () => { pause(); show(state.position - 1); });
    $("next").addEventListener("click", () => { pause(); show(state.position + 1); });
    $("last").addEventListener("click", () => { pause(); toEnd(); });
    $("play").addEventListener("click", () => (state.timer === null ? play() : pause()));
    $("slider").addEventListener("input", () => { pause(); show(Number($("slider").value)); });
    $("speed").addEventListener("change", () => { if (state.timer !== null) play(); });
    document.addEventListener("keydown", onKey);
  }

  function onKey(event) {
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

  wire();
  const tutorial = samples.find((s) => s.file === "tutorial.json") || samples[0];
  $("samples").value = tutorial.file;
  openText(tutorial.file, new TextEncoder().encode(tutorial.text));
  createQorEngine().then((engine) => {
    state.engine = engine;
    state.player = new QorLevelPlayer.Player(engine);
    refresh();
    document.body.dataset.engine = "ready";
  }, (error) => {
    $("timing").textContent = "The engine could not start: " + error;
    document.body.dataset.engine = "failed";
  });
})();
