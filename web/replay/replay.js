/* The replay page: reads the recorded level from the page's data, keeps the
 * controls and draws the current step with QorDraw (web/draw/draw.js).
 * Step 0 is the level as built; step n is the document after frame n. */
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("replay-data").textContent);
  const last = data.frames.length;
  const $ = (id) => document.getElementById(id);
  const slider = $("slider"), playButton = $("play"), speed = $("speed");
  let position = 0, timer = null;

  // Only the documents around the current step are parsed, so a long or
  // large level costs no more than the step on screen.
  const parsed = new Map();
  function documentAt(step) {
    if (!parsed.has(step)) {
      if (parsed.size > 8) parsed.clear();
      parsed.set(step, JSON.parse(step === 0 ? data.start : data.frames[step - 1]));
    }
    return parsed.get(step);
  }

  // The magnitudes the frame wrote as null, by their JSON Pointers.
  function exactValuesAt(step) {
    const written = data.exact[String(step)];
    if (!written) return null;
    const exact = {};
    for (const pointer of Object.keys(written)) exact[pointer] = Number(written[pointer]);
    return exact;
  }

  function showFrameInfo(meta) {
    $("frame-number").textContent = meta ? String(meta.frame_index) : "0 (before the first frame)";
    $("status").textContent = meta ? meta.status : "READY";
    $("status").dataset.status = meta ? meta.status : "READY";
    $("message").textContent = meta ? meta.message : "The level as built.";
    const outcome = $("outcome");
    outcome.hidden = position !== last;
    outcome.classList.toggle("limit", !!meta && meta.status === "ERROR");
  }

  function show(step) {
    position = Math.max(0, Math.min(last, step));
    const frame = documentAt(position);
    const marks = position > 0 ? QorDraw.changes(documentAt(position - 1), frame) : null;
    showFrameInfo(frame.meta);
    $("position").textContent = "step " + position + " of " + last;
    slider.value = String(position);
    slider.setAttribute("aria-valuetext", "step " + position + " of " + last);
    const changed = QorDraw.render($("tree"), frame, { marks: marks, exact: exactValuesAt(position) });
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
  const linked = /^#(\d+)$/.exec(location.hash);  // "#12" opens step 12: a link to one frame
  show(linked ? Number(linked[1]) : 0);
})();
