/* The replay page: reads the recorded level from the page's data, keeps the
 * controls and draws the current step with QorDraw (web/draw/draw.js).
 * Step 0 is the level as built; step n is the document after frame n, made
 * by applying the engine's JSON Patches 1 to n (QorPatch, web/draw/jsonpatch.js):
 * the first patch holds the whole first frame, each later one what changed. */
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("replay-data").textContent);
  const last = data.patches.length;
  const $ = (id) => document.getElementById(id);
  const slider = $("slider"), playButton = $("play"), speed = $("speed");
  let position = 0, timer = null;

  // Documents are made by patching forward from the nearest checkpoint: the
  // level as built, then every CHECKPOINT_EVERY steps once passed, as text.
  const CHECKPOINT_EVERY = 64;
  const checkpoints = new Map([[0, JSON.stringify(data.start)]]);
  let shown = null;  // { step, before, after }: the documents around the step on screen

  function patched(before, step) {
    const after = QorPatch.apply(before, data.patches[step - 1]);
    if (step % CHECKPOINT_EVERY === 0 && !checkpoints.has(step)) checkpoints.set(step, JSON.stringify(after));
    return after;
  }

  function documentAt(step) {
    let from = step - step % CHECKPOINT_EVERY;
    while (!checkpoints.has(from)) from -= CHECKPOINT_EVERY;
    let made = JSON.parse(checkpoints.get(from));
    for (let s = from + 1; s <= step; s++) made = patched(made, s);
    return made;
  }

  // The document at `step` and the one before it; one patch from the step on screen.
  function documentsAround(step) {
    if (shown && shown.step === step) return shown;
    if (step === 0) return { step: 0, before: null, after: documentAt(0) };
    const before = shown && shown.step === step - 1 ? shown.after : documentAt(step - 1);
    return { step: step, before: before, after: patched(structuredClone(before), step) };
  }

  // The magnitudes the document writes as null, by their JSON Pointers: the
  // data holds them by the step from which they hold.
  const exactSteps = Object.keys(data.exact).map(Number).sort((a, b) => a - b);
  function exactValuesAt(step) {
    let from = -1;
    for (const s of exactSteps) if (s <= step) from = s;
    if (from < 0) return null;
    const written = data.exact[String(from)];
    const exact = {};
    for (const pointer of Object.keys(written)) exact[pointer] = Number(written[pointer]);
    return exact;
  }

  // The level after `step` as explain() told it, in the form QorDraw reads.
  // The data keeps each distinct note once, each step's notes by zone and
  // slot where they changed from the step before (USUAL_NOTE standing for
  // the note most agents have at the step), and the outcome of the last step
  // only (the level runs before it).
  const USUAL_NOTE = -2;
  let standing = { step: -1, zones: new Map() };  // the notes by zone at a step
  function standingAt(step) {
    const kept = data.explained.steps;
    let at = standing.step <= step ? standing : { step: -1, zones: new Map() };
    for (let s = at.step + 1; s <= step && s < kept.length; s++) {
      const zones = new Map(at.zones);
      for (const zone of kept[s].gone) zones.delete(String(zone));
      for (const zone of Object.keys(kept[s].agents)) zones.set(zone, kept[s].agents[zone]);
      at = { step: s, zones: zones };
    }
    return (standing = at);
  }

  function explainedAt(step) {
    const kept = data.explained.steps[step];
    if (!kept) return null;
    const ended = step === last;
    const agents = [];
    for (const [zone, slots] of standingAt(step).zones) {
      slots.forEach((written, slot) => {
        const index = written === USUAL_NOTE ? kept.usual : written;
        if (index < 0) return;
        const [state, reason, note, name, visualId, priority] = data.explained.notes[index];
        agents.push({ zone: Number(zone), slot: slot, state: state, reason: reason, note: note,
          name: name, visual_id: visualId, priority: priority });
      });
    }
    const zones = [];
    for (const [zone, keeper] of kept.frozen) zones[zone] = { frozen_by: keeper };
    return {
      outcome: ended ? data.explained.outcome : "running",
      summary: ended ? data.explained.summary : "",
      agents: agents,
      zones: zones,
    };
  }

  function showFrameInfo(meta, explained) {
    $("frame-number").textContent = meta ? String(meta.frame_index) : "0 (before the first frame)";
    $("status").textContent = meta ? meta.status : "READY";
    $("status").dataset.status = meta ? meta.status : "READY";
    $("status").dataset.outcome = explained ? explained.outcome : "running";
    // A level lost ends as one won ("Equation Resolved."): the outcome says which.
    const lost = explained && explained.outcome === "lost";
    $("message").textContent = lost ? explained.summary : meta ? meta.message : "The level as built.";
    QorDraw.banner($("banner"), explained);
    document.body.dataset.outcome = explained && explained.outcome !== "running" ? explained.outcome : "";
    $("outcome").hidden = position !== last;
  }

  function show(step) {
    position = Math.max(0, Math.min(last, step));
    shown = documentsAround(position);
    const frame = shown.after;
    const marks = QorDraw.changes(shown.before, frame);
    const explained = explainedAt(position);
    showFrameInfo(frame.meta, explained);
    $("position").textContent = "step " + position + " of " + last;
    slider.value = String(position);
    slider.setAttribute("aria-valuetext", "step " + position + " of " + last);
    const changed = QorDraw.render($("tree"), frame, { marks: marks, exact: exactValuesAt(position), explained: explained });
    if (changed) changed.scrollIntoView({ block: "nearest" });
    document.body.dataset.position = String(position);
    try { history.replaceState(null, "", "#" + position); } catch (error) { /* e.g. a sandboxed frame */ }
    if (position === last) pause();
  }

  function pause() {
    if (timer !== null) clearInterval(timer);
    timer = null;
    playButton.textContent = "\u25B6 Play";
    playButton.setAttribute("aria-label", "Play");
    playButton.setAttribute("aria-pressed", "false");
  }

  function play() {
    if (position === last) show(0);
    pause();
    timer = setInterval(() => show(position + 1), 1000 / Number(speed.value));
    playButton.textContent = "\u2016 Pause";
    playButton.setAttribute("aria-label", "Pause");
    playButton.setAttribute("aria-pressed", "true");
  }

  function togglePlay() { if (timer === null) play(); else pause(); }

  $("title").textContent = data.title;
  $("description").textContent = data.description;
  $("level-file").textContent = "Level file: " + data.level_file + " \u00b7 " + last + " frames";
  $("outcome").textContent = data.outcome;
  QorDraw.legend($("legend"));
  slider.max = String(last);

  $("first").addEventListener("click", () => { pause(); show(0); });
  $("prev").addEventListener("click", () => { pause(); show(position - 1); });
  $("next").addEventListener("click", () => { pause(); show(position + 1); });
  $("last").addEventListener("click", () => { pause(); show(last); });
  playButton.addEventListener("click", togglePlay);
  slider.addEventListener("input", () => { pause(); show(Number(slider.value)); });
  speed.addEventListener("change", () => { if (timer !== null) play(); });
  document.addEventListener("keydown", (event) => {
    if (event.altKey || event.ctrlKey || event.metaKey) return;
    const target = event.target;
    if (target === slider || target === speed) return;  // they handle their own keys
    const keys = {
      ArrowLeft: () => { pause(); show(position - 1); },
      ArrowRight: () => { pause(); show(position + 1); },
      Home: () => { pause(); show(0); },
      End: () => { pause(); show(last); },
      " ": togglePlay,
    };
    if (event.key === " " && target instanceof HTMLButtonElement) return;  // the button clicks
    const action = keys[event.key];
    if (action) { event.preventDefault(); action(); }
  });
  // For tests and tools: the document the page shows, as JSON text.
  window.qorReplay = Object.freeze({ documentText: () => JSON.stringify(shown.after) });
  const linked = /^#(\d+)$/.exec(location.hash);  // "#12" opens step 12: a link to one frame
  show(linked ? Number(linked[1]) : 0);
})();
