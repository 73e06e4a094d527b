#!/usr/bin/env python3
"""Play a qor_engine level file and write a replay: one self-contained HTML page.

    python examples/replay.py [LEVEL_FILE] [-o OUTPUT.html]

The level is loaded and played exactly as play.py does (same loader, same
builder, same "refill" rule), and every frame text the engine returns, the
last one included, is embedded in the page together with the level as built.
A small script in the page draws one frame at a time: the zone tree as nested
boxes, charges as chips, agents, frozen zones dimmed, the agent that acted or
the zone that merged highlighted, with first/previous/next/last buttons, a
slider, the arrow keys and play/pause.

The page needs nothing beside it and fetches nothing: its policy forbids
every load, and its own style and script are allowed by their hashes only.
Frame texts are embedded as JSON with every "<", ">" and "&" escaped, and the
page puts ids and messages into the document as text, never as markup.

Exit status: 0 when the replay was written, 2 when the level file is unusable
(one line on stderr says why), 1 when the engine fails or the output cannot
be written.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import html
import json
import sys
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Final, cast

import qor_engine
from play import (
    DEFAULT_LEVEL,
    EXIT_BAD_LEVEL,
    EXIT_ENGINE_FAILED,
    Level,
    LevelError,
    build,
    load_level,
    play,
    summarize,
    waiting_agents,
)

if TYPE_CHECKING:
    from qor_engine import FrameResponse

PROGRAM: Final = "replay.py"
DEFAULT_OUTPUT: Final = Path("replay.html")
EXIT_WRITTEN: Final = 0
EXIT_WRITE_FAILED: Final = 1
LISTED_WAITING: Final = 5  # agents named in the outcome; the tree shows them all


@dataclass(frozen=True)
class Replay:
    """Everything the page shows, as plain data."""

    title: str
    description: str
    level_file: str
    start: str  # the root zone's JSON text before the first frame
    frames: list[str]  # every frame text, in order
    outcome: str


def record(level: Level, level_file: str) -> Replay:
    """Plays the level to its end and keeps every frame text."""
    built = build(level)
    start = built.root.to_json()
    frames: list[str] = []
    last: FrameResponse | None = None
    for text, frame in play(built):
        frames.append(text)
        last = frame
    outcome = describe_outcome(last, built.root.charges) if last is not None else "No frames."
    return Replay(
        title=level.title or Path(level_file).stem,
        description=level.description or "",
        level_file=level_file,
        start=start,
        frames=frames,
        outcome=outcome,
    )


def describe_outcome(last: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    """play.py's closing line, naming at most a few of the agents still standing."""
    line = summarize(last, root_charges)
    waiting = waiting_agents(last)
    if len(waiting) <= LISTED_WAITING:
        return line
    head = line.partition("; still standing: ")[0]
    listed = ", ".join(waiting[:LISTED_WAITING])
    return f"{head}; still standing: {listed} and {len(waiting) - LISTED_WAITING} more"


def script_json(value: object) -> str:
    """JSON that is safe inside a <script> element: pure ASCII, and no "<",
    ">" or "&" that could end the element or open a comment."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def csp_hash(source: str) -> str:
    digest = hashlib.sha256(source.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def render_page(replay: Replay) -> str:
    policy = (
        "default-src 'none'; "
        f"style-src {csp_hash(PAGE_STYLE)}; "
        f"script-src {csp_hash(PAGE_SCRIPT)}; "
        "img-src 'none'; base-uri 'none'; form-action 'none'"
    )
    return (
        PAGE_HEAD.replace("@POLICY@", html.escape(policy))
        + html.escape(f"{replay.title} - replay")
        + PAGE_TITLE_END
        + "<style>"
        + PAGE_STYLE
        + "</style>\n</head>\n"
        + PAGE_BODY
        + '<script type="application/json" id="replay-data">'
        + script_json(asdict(replay))
        + "</script>\n<script>"
        + PAGE_SCRIPT
        + "</script>\n</body>\n</html>\n"
    )


# --------------------------------------------------------------------------
# The page: markup, style and script (plain JavaScript, nothing fetched)
# --------------------------------------------------------------------------

PAGE_HEAD: Final = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="@POLICY@">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>"""

PAGE_TITLE_END: Final = "</title>\n"

PAGE_STYLE: Final = """
:root { --positive: #b3261e; --negative: #1f5fbf; --neutral: #5f6368; --accent: #f2b705; }
* { box-sizing: border-box; }
body { font: 15px/1.4 system-ui, sans-serif; margin: 0; padding: 12px 18px; color: #1b1b1b;
       background: #fbfaf7; }
h1 { font-size: 1.4em; margin: 0 0 4px; }
#description { margin: 0 0 6px; max-width: 70em; }
#level-file { margin: 0; color: #555; font-size: .85em; }
header { margin-bottom: 8px; }
#controls { position: sticky; top: 0; z-index: 2; display: flex; flex-wrap: wrap; gap: 6px;
            align-items: center; padding: 8px 0; background: #fbfaf7;
            border-bottom: 1px solid #ddd; }
#controls button { font: inherit; padding: 4px 10px; border: 1px solid #888; border-radius: 5px;
                   background: #fff; cursor: pointer; }
#controls button:hover { background: #f0eee8; }
#controls button:focus-visible, #slider:focus-visible, #speed:focus-visible { outline: 3px solid #333; }
#slider { flex: 1 1 160px; min-width: 120px; }
#position { font-variant-numeric: tabular-nums; min-width: 7em; }
#frame-info { display: flex; flex-wrap: wrap; align-items: baseline; gap: 2px 8px; margin: 8px 0; }
#frame-info dt { font-weight: 600; }
#frame-info dd { margin: 0 14px 0 0; }
#status[data-status="FINISHED"] { color: #1d6b2f; font-weight: 600; }
#status[data-status="ERROR"] { color: #a11; font-weight: 600; }
#outcome { margin: 8px 0; padding: 8px 12px; border: 2px solid #1d6b2f; border-radius: 6px;
           background: #eef7ef; font-weight: 600; }
#outcome.limit { border-color: #a11; background: #fbeeee; }
#legend { font-size: .85em; color: #444; margin: 10px 0; }
.zone { border: 2px solid #6d6a60; border-radius: 8px; padding: 6px 8px; margin: 6px 0;
        background: #fff; }
.zone .zone { background: #f7f5ef; }
.zone .zone .zone { background: #fff; }
.zone.frozen { border-style: dashed; border-color: #7aa3c8; }
.zone.frozen > .zone-head, .zone.frozen > .charges, .zone.frozen > .agents { opacity: .45; }
.zone-head { display: flex; gap: 8px; align-items: baseline; }
.zone-id { font-weight: 700; font-family: ui-monospace, monospace; }
.badge { font-size: .8em; border: 1px solid currentColor; border-radius: 4px; padding: 0 5px; }
.frozen-badge { color: #2d5f8b; }
.received-badge, .acted-badge { background: var(--accent); color: #000; border-color: #000; }
.charges { display: flex; flex-wrap: wrap; gap: 4px; margin: 4px 0; min-height: 1.6em; }
.empty { color: #888; font-style: italic; font-size: .85em; }
.chip { display: inline-block; min-width: 2.4em; padding: 1px 8px; border-radius: 999px;
        color: #fff; font-weight: 700; font-variant-numeric: tabular-nums; text-align: center;
        cursor: default; }
.chip.positive { background: var(--positive); }
.chip.negative { background: var(--negative); }
.chip.neutral { background: var(--neutral); }
.agents { list-style: none; margin: 2px 0; padding: 0; display: flex; flex-wrap: wrap; gap: 4px; }
.agent { border: 1px solid #aaa; border-radius: 4px; padding: 1px 6px; font-size: .85em;
         background: #fff; }
.agent .vid, .merged-zone .vid { font-family: ui-monospace, monospace; }
.agent.gate { border-color: #7a5c00; }
.agent.state-active { font-weight: 700; }
.highlight { outline: 3px solid #000; outline-offset: 1px; background: var(--accent) !important; }
.agent.acted { border-style: dashed; }
.merged-zone { border: 2px dashed #000; border-radius: 8px; padding: 4px 8px; margin: 6px 0; }
.zone.received { box-shadow: 0 0 0 3px var(--accent); }
.subzones { margin-left: 14px; }
"""

PAGE_BODY: Final = """<body>
<header>
  <h1 id="title"></h1>
  <p id="description"></p>
  <p id="level-file"></p>
</header>
<nav id="controls" aria-label="Replay controls">
  <button type="button" id="first" aria-label="First frame" title="First frame (Home)">&#x21E4; First</button>
  <button type="button" id="prev" aria-label="Previous frame" title="Previous frame (Left arrow)">&#x25C0; Previous</button>
  <button type="button" id="play" aria-label="Play" title="Play / pause (Space)">&#x25B6; Play</button>
  <button type="button" id="next" aria-label="Next frame" title="Next frame (Right arrow)">Next &#x25B6;</button>
  <button type="button" id="last" aria-label="Last frame" title="Last frame (End)">Last &#x21E5;</button>
  <input type="range" id="slider" min="0" max="0" value="0" step="1" aria-label="Frame">
  <label for="speed">Speed</label>
  <select id="speed" aria-label="Playback speed">
    <option value="1">1 frame/s</option>
    <option value="2" selected>2 frames/s</option>
    <option value="5">5 frames/s</option>
    <option value="10">10 frames/s</option>
    <option value="30">30 frames/s</option>
  </select>
  <span id="position" aria-live="off"></span>
</nav>
<section aria-label="Frame" aria-live="polite">
  <dl id="frame-info">
    <dt>Frame</dt><dd id="frame-number"></dd>
    <dt>Status</dt><dd id="status"></dd>
    <dt>Message</dt><dd id="message"></dd>
  </dl>
  <p id="outcome" hidden></p>
</section>
<main id="tree" aria-label="Zone tree"></main>
<p id="legend">Charges: <b>+</b> positive, <b>&#x2212;</b> negative, <b>~</b> neutral
(hover a chip for its id). Dashed, dimmed zones are frozen: their own agents wait
while a sub-zone is unresolved. Highlighted: the agent that acted (shown where it stood)
or the zone that merged into its parent.</p>
"""

PAGE_SCRIPT: Final = r"""
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("replay-data").textContent);
  const last = data.frames.length;  // position 0 is the level as built, n is frame text n-1
  const SIGN = { positive: "+", negative: "\u2212", neutral: "~" };
  const $ = (id) => document.getElementById(id);
  const slider = $("slider"), playButton = $("play"), speed = $("speed");
  let position = 0, timer = null;

  // Only the frames around the current one are parsed, so a long or large
  // level costs no more than the frame on screen.
  const parsed = new Map();
  function tree(pos) {
    if (!parsed.has(pos)) {
      if (parsed.size > 8) parsed.clear();
      parsed.set(pos, JSON.parse(pos === 0 ? data.start : data.frames[pos - 1]));
    }
    return parsed.get(pos);
  }

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function formatMagnitude(m) {
    if (typeof m !== "number") return "?";  // NaN and infinities are written as null
    if (Number.isInteger(m) && Math.abs(m) < 1e15) return String(m);
    return String(Number(m.toPrecision(6)));
  }

  function polarityOf(charge) {
    return charge.polarity === "positive" || charge.polarity === "negative" ? charge.polarity : "neutral";
  }

  function chip(charge) {
    const polarity = polarityOf(charge);
    const magnitude = formatMagnitude(charge.magnitude);
    const node = el("span", "chip " + polarity, SIGN[polarity] + magnitude);
    const shown = typeof charge.magnitude === "number" ? magnitude : "not a finite number";
    node.title = charge.visual_id + " \u2014 " + polarity + " " + shown;
    node.setAttribute("aria-label", polarity + " " + shown + ", id " + charge.visual_id);
    node.dataset.visualId = charge.visual_id;
    return node;
  }

  function agentText(agent) {
    let text = agent.name + " \u00b7 priority " + agent.priority + " \u00b7 " + agent.state;
    if ("target_value" in agent) {
      const target = formatMagnitude(agent.target_value);
      const test = "rule" in agent ? "total " + agent.rule + " " + target : "total = " + target;
      text += " \u00b7 " + (agent.is_open ? "open" : "closed") + ", opens when " + test;
    }
    return text;
  }

  function agentItem(agent) {
    const gate = "target_value" in agent;
    const node = el("li", "agent state-" + agent.state + (gate ? " gate" : ""));
    node.appendChild(el("span", "vid", agent.visual_id));
    node.appendChild(document.createTextNode(": " + agentText(agent)));
    node.title = agent.name + " \u201c" + agent.visual_id + "\u201d";
    node.dataset.visualId = agent.visual_id;
    return node;
  }

  // The agent that acted, shown where it stood although it has left the zone.
  function actedItem(agent) {
    const node = el("li", "agent acted highlight");
    node.appendChild(el("span", "badge acted-badge", "\u2605 acted"));
    node.appendChild(document.createTextNode(" "));
    node.appendChild(el("span", "vid", agent.visual_id));
    node.appendChild(document.createTextNode(": " + agent.name + " \u00b7 priority " + agent.priority +
                                             " \u00b7 has left its zone"));
    node.title = agent.name + " \u201c" + agent.visual_id + "\u201d acted in this frame";
    node.dataset.visualId = agent.visual_id;
    return node;
  }

  // Where the frame's actor stood, or which zone merged into which parent,
  // read from the state before the frame (the actor and the merged zone are
  // gone from the frame itself).
  function findAgentZone(zone, visualId) {
    const stack = [zone];
    while (stack.length) {
      const z = stack.pop();
      const agent = z.agents.find((a) => a.visual_id === visualId);
      if (agent) return { zoneId: z.id, agent: agent };
      for (const sub of z.sub_environments) stack.push(sub);
    }
    return null;
  }

  function findMergedZone(zone, eventId) {
    const stack = [zone];
    while (stack.length) {
      const z = stack.pop();
      const index = z.sub_environments.findIndex((s) => "shield_" + s.id === eventId);
      if (index >= 0) return { parentId: z.id, zoneId: z.sub_environments[index].id, index: index };
      for (const sub of z.sub_environments) stack.push(sub);
    }
    return null;
  }

  function eventMarks(pos) {
    const frame = tree(pos);
    const event = frame.meta && frame.meta.last_event;
    if (!event || pos === 0) return {};
    const before = tree(pos - 1);
    if (event.type === "CAST_SPELL") return { actor: findAgentZone(before, event.visual_id) };
    if (event.type === "COLLAPSE_ZONE") return { merged: findMergedZone(before, event.visual_id) };
    return {};
  }

  function zoneBox(zone, marks) {
    const box = el("section", "zone" + (zone.is_time_frozen ? " frozen" : ""));
    box.dataset.zoneId = zone.id;
    box.setAttribute("aria-label", "zone " + zone.id + (zone.is_time_frozen ? " (frozen)" : ""));
    const head = el("div", "zone-head");
    head.appendChild(el("span", "zone-id", zone.id));
    if (zone.is_time_frozen) head.appendChild(el("span", "badge frozen-badge", "\u2744 frozen"));
    box.appendChild(head);

    const charges = el("div", "charges");
    if (zone.charges.length === 0) charges.appendChild(el("span", "empty", "no charges"));
    for (const charge of zone.charges) charges.appendChild(chip(charge));
    box.appendChild(charges);

    const agents = el("ul", "agents");
    const actor = marks.actor;
    if (actor && actor.zoneId === zone.id) agents.appendChild(actedItem(actor.agent));
    for (const agent of zone.agents) agents.appendChild(agentItem(agent));
    if (agents.childNodes.length) box.appendChild(agents);

    const subs = el("div", "subzones");
    const merged = marks.merged;
    const mergedHere = merged && merged.parentId === zone.id;
    if (mergedHere) {
      box.classList.add("received");
      head.appendChild(el("span", "badge received-badge", "\u2190 received a merged charge"));
    }
    zone.sub_environments.forEach((sub, index) => {
      if (mergedHere && index === merged.index) subs.appendChild(mergedGhost(merged));
      subs.appendChild(zoneBox(sub, marks));
    });
    if (mergedHere && merged.index >= zone.sub_environments.length) subs.appendChild(mergedGhost(merged));
    if (subs.childNodes.length) box.appendChild(subs);
    return box;
  }

  function mergedGhost(merged) {
    const ghost = el("div", "merged-zone highlight");
    ghost.dataset.zoneId = merged.zoneId;
    ghost.appendChild(el("span", "badge acted-badge", "\u2605 merged"));
    ghost.appendChild(document.createTextNode(" zone "));
    ghost.appendChild(el("span", "vid", merged.zoneId));
    ghost.appendChild(document.createTextNode(" resolved and merged its charge into " + merged.parentId));
    return ghost;
  }

  function show(pos) {
    position = Math.max(0, Math.min(last, pos));
    const frame = tree(position);
    const meta = frame.meta;
    $("frame-number").textContent = meta ? String(meta.frame_index) : "0 (before the first frame)";
    $("status").textContent = meta ? meta.status : "READY";
    $("status").dataset.status = meta ? meta.status : "READY";
    $("message").textContent = meta ? meta.message : "The level as built.";
    $("position").textContent = "step " + position + " of " + last;
    slider.value = String(position);
    slider.setAttribute("aria-valuetext", "step " + position + " of " + last);
    const outcome = $("outcome");
    outcome.hidden = position !== last;
    outcome.classList.toggle("limit", !!meta && meta.status === "ERROR");
    $("tree").replaceChildren(zoneBox(frame, eventMarks(position)));
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
  $("level-file").textContent = "Level file: " + data.level_file + " \u00b7 " + data.frames.length + " frames";
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
"""


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Play a qor_engine level and write a self-contained HTML replay of it.",
        epilog="The level file format is described in examples/LEVELS.md.",
    )
    parser.add_argument(
        "level",
        nargs="?",
        type=Path,
        default=DEFAULT_LEVEL,
        metavar="LEVEL_FILE",
        help="level file to play (default: the tutorial level)",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        default=DEFAULT_OUTPUT,
        metavar="OUTPUT",
        help=f"HTML file to write (default: {DEFAULT_OUTPUT})",
    )
    return parser.parse_args(argv)


def fail(path: Path, problem: str, status: int) -> int:
    print(f"{PROGRAM}: {path}: {problem}", file=sys.stderr)
    return status


def run(level_path: Path, output: Path) -> int:
    try:
        level = load_level(level_path)
    except LevelError as error:
        return fail(level_path, str(error), EXIT_BAD_LEVEL)
    try:
        replay = record(level, level_path.name)
    except (RuntimeError, ValueError) as error:
        return fail(
            level_path,
            f"the engine failed: {str(error) or type(error).__name__}",
            EXIT_ENGINE_FAILED,
        )
    try:
        # Pure ASCII: characters beyond it become character references.
        output.write_bytes(render_page(replay).encode("ascii", "xmlcharrefreplace"))
    except OSError as error:
        return fail(output, f"cannot write: {error.strerror or error}", EXIT_WRITE_FAILED)
    print(f"{output}: replay of {level_path.name}, {len(replay.frames)} frames")
    return EXIT_WRITTEN


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    return run(cast(Path, arguments.level), cast(Path, arguments.output))


if __name__ == "__main__":
    sys.exit(main())
