/* QorDraw: draws a qor_engine level, one frame at a time, as nested boxes:
 * zones with their charges as chips and their agents, frozen zones dimmed,
 * and what the frame changed highlighted where it happened. Styles: draw.css.
 * Used by every page that shows a level; it defines the one name QorDraw.
 *
 *   QorDraw.render(container, frame, options) -> Element or null
 *     Replaces the children of `container` with the zone tree of `frame` (a
 *     parsed frame, or a zone as Environment.to_json() writes it). Options,
 *     all optional:
 *       marks  what the frame changed, as QorDraw.changes() finds it: the
 *              agent that acted is drawn in the slot it stood in, a zone that
 *              merged where it stood in its parent, new charges marked.
 *       exact  {JSON Pointer of a magnitude in `frame`: number}: the values
 *              the frame wrote as null (NaN, Infinity, -Infinity).
 *       explained  the level after `frame` as explain() tells it (parsed;
 *              of its "agents" only "zone", "slot", "state", "reason",
 *              "note" and, for refill agents, "name", "visual_id" and
 *              "priority" are read, of its "zones" only "frozen_by"):
 *              beside each standing agent a note of why it acts or waits,
 *              each zone that keeps another frozen marked so, and a
 *              "refill" agent placed again after the frame (which the
 *              frame does not show) drawn after its zone's agents.
 *     A zone draws its first 200 agents (and the one that acted), and a
 *     button that draws 200 more at a time.
 *     Returns the highlighted element (the agent that acted or the zone that
 *     merged), or null; scrolling it into view is up to the page.
 *
 *   QorDraw.changes(previous, frame) -> marks
 *     Where the frame's event happened, found by comparing the frame with
 *     the document before it (the previous frame, or the level as built):
 *       { actor:  { zone: pointer, index: slot, agent: agent object } or null,
 *         merged: { zone: pointer of the parent, index: slot, sub: zone } or null,
 *         newCharges: { zone: pointer, indexes: [charge indexes] } or null }
 *     Pointers are JSON Pointers of zones in `frame` ("" is the root).
 *
 *   QorDraw.formatMagnitude(value) -> string: "3", "0.333333", "NaN", "+\u221e", "\u2212\u221e".
 *
 *   QorDraw.describeEvent(meta) -> string
 *     What a frame's event was, in words ("Plus Magician \u201cadder\u201d cast its
 *     spell in zone hall"); `meta` is the frame's "meta", or null for the
 *     level as built.
 *
 *   QorDraw.shortText(text) -> string: the text, or its start and its length
 *     when it is longer than 200 characters (ids and messages are shown so).
 *
 *   QorDraw.banner(node, explained)
 *     Shows the outcome of a level that stopped (explain()'s "summary":
 *     "Won: every gate opened", "Lost: ...", "Stopped at the frame limit")
 *     in `node`, styled by the outcome (never green unless won), and hides
 *     `node` while the level runs.
 *
 *   QorDraw.legend(container)
 *     Fills `container` with the key to the drawing: the charge colours and
 *     signs, frozen zones, the highlight and the ringed new charges, drawn
 *     with the drawing's own styles.
 *
 * Ids and messages go into the document as text, never as markup.
 */
const QorDraw = (function () {
  "use strict";
  const SIGN = { positive: "+", negative: "\u2212", neutral: "~" };
  const MINUS = "\u2212";

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function subPointer(zonePointer, index) {
    return zonePointer + "/sub_environments/" + index;
  }

  // ------------------------------------------------------------------
  // Numbers
  // ------------------------------------------------------------------

  function formatMagnitude(value) {
    if (typeof value !== "number") return "?";  // written as null, exact value not given
    if (Number.isNaN(value)) return "NaN";
    if (value === Infinity) return "+\u221e";
    if (value === -Infinity) return MINUS + "\u221e";
    const text = Number.isInteger(value) && Math.abs(value) < 1e15
      ? String(value) : String(Number(value.toPrecision(6)));
    return text.replace("-", MINUS);
  }

  // An id or message as the page shows it: a very long one (a level file
  // may hold ids of millions of characters) is cut short, its length said,
  // so that laying out the page stays quick. Data attributes keep it whole.
  const LONGEST_SHOWN = 200;
  function shortText(text) {
    if (text.length <= LONGEST_SHOWN) return text;
    return text.slice(0, 60) + "\u2026 (" + text.length.toLocaleString("en") + " characters)";
  }

  function polarityOf(charge) {
    return charge.polarity === "positive" || charge.polarity === "negative" ? charge.polarity : "neutral";
  }

  // The polarity's sign, then the magnitude; a magnitude with a sign of its
  // own is put in brackets so that the two never read as one.
  function chipText(polarity, magnitude) {
    const signed = magnitude[0] === "+" || magnitude[0] === MINUS;
    return SIGN[polarity] + (signed ? "(" + magnitude + ")" : magnitude);
  }

  function valueAt(exact, pointer, written) {
    return written === null && exact && pointer in exact ? exact[pointer] : written;
  }

  // ------------------------------------------------------------------
  // Drawing
  // ------------------------------------------------------------------

  function chip(charge, magnitudeValue, isNew) {
    const polarity = polarityOf(charge);
    const magnitude = formatMagnitude(magnitudeValue);
    const node = el("span", "chip " + polarity + (isNew ? " changed" : ""), chipText(polarity, magnitude));
    const shown = magnitude === "?" ? "not a finite number" : magnitude;
    node.title = shortText(charge.visual_id) + " \u2014 " + polarity + " " + shown;
    node.setAttribute("aria-label", polarity + " " + shown + ", id " + shortText(charge.visual_id));
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
    node.appendChild(el("span", "vid", shortText(agent.visual_id)));
    node.appendChild(document.createTextNode(": " + agentText(agent)));
    node.title = agent.name + " \u201c" + shortText(agent.visual_id) + "\u201d";
    node.dataset.visualId = agent.visual_id;
    return node;
  }

  // The agent that acted, drawn in the slot it stood in although it has left.
  function actedItem(agent) {
    const node = el("li", "agent acted highlight");
    const priority = agent.priority === undefined ? "" : " \u00b7 priority " + agent.priority;
    node.appendChild(el("span", "badge acted-badge", "\u2605 acted"));
    node.appendChild(document.createTextNode(" "));
    node.appendChild(el("span", "vid", shortText(agent.visual_id)));
    node.appendChild(document.createTextNode(": " + agent.name + priority + " \u00b7 has left its zone"));
    node.title = agent.name + " \u201c" + shortText(agent.visual_id) + "\u201d acted in this frame";
    node.dataset.visualId = agent.visual_id;
    return node;
  }

  function mergedGhost(merged, parentId) {
    const ghost = el("div", "merged-zone highlight");
    ghost.dataset.zoneId = merged.sub.id;
    ghost.appendChild(el("span", "badge acted-badge", "\u2605 merged"));
    ghost.appendChild(document.createTextNode(" zone "));
    ghost.appendChild(el("span", "vid", shortText(merged.sub.id)));
    ghost.appendChild(document.createTextNode(" resolved and merged its charge into " + shortText(parentId)));
    return ghost;
  }

  // Inserts `extra` before the item at `index` of a list of nodes (or at its end).
  function withInserted(nodes, index, extra) {
    return nodes.slice(0, index).concat([extra], nodes.slice(index));
  }

  // ------------------------------------------------------------------
  // Why agents wait: explain()'s notes
  // ------------------------------------------------------------------

  // explain()'s agents and the zones keeping others frozen, by the zones of
  // `frame` they name: explain() numbers the zones of the tree it explains,
  // every zone after its sub-zones, which are the zones of the frame after
  // which it was asked. `numbers` gives each zone object of the frame its
  // number; `agents` by number, the zone's agents by slot; `keeping` by
  // number, the ids of the zones that zone keeps frozen.
  function readExplanation(explained, frame) {
    const numbers = new Map();
    const agents = new Map();
    const keeping = new Map();
    if (!explained) return { numbers: numbers, agents: agents, keeping: keeping };
    const zones = [];
    const pending = [[frame, 0]];
    while (pending.length) {
      const top = pending[pending.length - 1];
      const [zone, next] = top;
      if (next < zone.sub_environments.length) {
        top[1] = next + 1;
        pending.push([zone.sub_environments[next], 0]);
        continue;
      }
      pending.pop();
      numbers.set(zone, zones.length);
      zones.push(zone);
    }
    for (const agent of explained.agents) {
      if (!agents.has(agent.zone)) agents.set(agent.zone, []);
      agents.get(agent.zone)[agent.slot] = agent;
    }
    explained.zones.forEach((zone, number) => {
      if (!zone || zone.frozen_by === null || zone.frozen_by === undefined || !zones[number]) return;
      const frozen = keeping.get(zone.frozen_by) || [];
      frozen.push(zones[number].id);
      keeping.set(zone.frozen_by, frozen);
    });
    return { numbers: numbers, agents: agents, keeping: keeping };
  }

  function agentNote(explained) {
    const node = el("span", "agent-note note-" + explained.state, shortText(explained.note));
    node.dataset.reason = explained.reason;
    return node;
  }

  function keepsFrozenBadge(frozen) {
    const names = frozen.map(shortText).join(", ");
    const badge = el("span", "badge keeps-frozen-badge", "\u2744 keeps " + names + " frozen");
    badge.title = "While this zone is unresolved, zone " + names + " cannot act";
    return badge;
  }

  // A "refill" agent placed again after the frame stands in the zone
  // although the frame does not show it: drawn after the frame's agents.
  function refilledItems(zone, explainedAgents) {
    const items = [];
    for (let index = zone.agents.length; index < explainedAgents.length; ++index) {
      const agent = explainedAgents[index];
      if (!agent) continue;
      const node = el("li", "agent refilled");
      node.appendChild(el("span", "badge refilled-badge", "\u21bb placed again"));
      node.appendChild(document.createTextNode(" "));
      node.appendChild(el("span", "vid", shortText(agent.visual_id)));
      node.appendChild(document.createTextNode(": " + agent.name + " \u00b7 priority " + agent.priority));
      node.title = agent.name + " \u201c" + shortText(agent.visual_id) + "\u201d, a refill agent placed again after this frame";
      node.dataset.visualId = agent.visual_id;
      node.appendChild(agentNote(agent));
      items.push(node);
    }
    return items;
  }

  const AGENT_ROWS = 200;  // the agents a zone draws at first, and at each "show more"

  // The last row of a zone's agents while some are not drawn: a button that
  // draws the next AGENT_ROWS of them (and the refilled ones after the last).
  function moreAgentsItem(list, shown, total, itemAt, refilled) {
    const row = el("li", "more-agents");
    const button = el("button", "show-more");
    button.type = "button";
    const label = (from) => {
      const next = Math.min(AGENT_ROWS, total - from);
      button.textContent = "Show " + next + " more of " + total + " agents";
    };
    label(shown);
    button.addEventListener("click", () => {
      const end = Math.min(total, shown + AGENT_ROWS);
      const items = [];
      for (let index = shown; index < end; ++index) items.push(itemAt(index));
      if (end === total) items.push(...refilled());
      row.before(...items);
      shown = end;
      if (shown === total) row.remove();
      else label(shown);
    });
    row.appendChild(button);
    return row;
  }

  function banner(node, explained) {
    const stopped = !!explained && explained.outcome !== "running";
    node.hidden = !stopped;
    node.classList.remove("outcome-won", "outcome-lost", "outcome-frame_limit");
    if (!stopped) {
      node.textContent = "";
      delete node.dataset.outcome;
      return;
    }
    node.textContent = explained.summary;
    node.dataset.outcome = explained.outcome;
    node.classList.add("outcome-" + explained.outcome);
  }

  function zoneBox(zone, pointer, drawing) {
    const marks = drawing.marks;
    const box = el("section", "zone" + (zone.is_time_frozen ? " frozen" : ""));
    box.dataset.zoneId = zone.id;
    box.dataset.pointer = pointer;
    box.setAttribute("aria-label", "zone " + shortText(zone.id) + (zone.is_time_frozen ? " (frozen)" : ""));
    const head = el("div", "zone-head");
    head.appendChild(el("span", "zone-id", shortText(zone.id)));
    if (zone.is_time_frozen) head.appendChild(el("span", "badge frozen-badge", "\u2744 frozen"));
    const number = drawing.explained.numbers.get(zone);
    const explainedAgents = drawing.explained.agents.get(number) || [];
    const frozen = drawing.explained.keeping.get(number);
    if (frozen) {
      box.classList.add("keeps-frozen");
      head.appendChild(keepsFrozenBadge(frozen));
    }
    box.appendChild(head);

    const charges = el("div", "charges");
    if (zone.charges.length === 0) charges.appendChild(el("span", "empty", "no charges"));
    const fresh = marks.newCharges && marks.newCharges.zone === pointer ? marks.newCharges.indexes : [];
    zone.charges.forEach((charge, index) => {
      const magnitudePointer = pointer + "/charges/" + index + "/magnitude";
      const value = valueAt(drawing.exact, magnitudePointer, charge.magnitude);
      charges.appendChild(chip(charge, value, fresh.includes(index)));
    });
    box.appendChild(charges);

    const agentItemAt = (index) => {
      const item = agentItem(zone.agents[index]);
      if (explainedAgents[index]) item.appendChild(agentNote(explainedAgents[index]));
      return item;
    };
    const actor = marks.actor && marks.actor.zone === pointer ? marks.actor : null;
    // A zone of thousands of agents draws its first rows (and the one that
    // acted), with a button for the rest.
    const shown = Math.min(zone.agents.length, Math.max(AGENT_ROWS, actor ? actor.index + 1 : 0));
    let agents = [];
    for (let index = 0; index < shown; ++index) agents.push(agentItemAt(index));
    if (shown === zone.agents.length) agents = agents.concat(refilledItems(zone, explainedAgents));
    if (actor) {
      drawing.highlighted = actedItem(actor.agent);
      agents = withInserted(agents, Math.min(actor.index, agents.length), drawing.highlighted);
    }
    if (agents.length) {
      const list = el("ul", "agents");
      list.append(...agents);
      if (shown < zone.agents.length) {
        list.appendChild(moreAgentsItem(list, shown, zone.agents.length, agentItemAt,
          () => refilledItems(zone, explainedAgents)));
      }
      box.appendChild(list);
    }

    let subs = zone.sub_environments.map((sub, index) => zoneBox(sub, subPointer(pointer, index), drawing));
    const merged = marks.merged;
    if (merged && merged.zone === pointer) {
      box.classList.add("received");
      head.appendChild(el("span", "badge received-badge", "\u2190 received a merged charge"));
      drawing.highlighted = mergedGhost(merged, zone.id);
      subs = withInserted(subs, merged.index, drawing.highlighted);
    }
    if (subs.length) {
      const list = el("div", "subzones");
      list.append(...subs);
      box.appendChild(list);
    }
    return box;
  }

  function render(container, frame, options) {
    const drawing = {
      marks: (options && options.marks) || {},
      exact: (options && options.exact) || null,
      explained: readExplanation(options && options.explained, frame),
      highlighted: null,
    };
    container.replaceChildren(zoneBox(frame, "", drawing));
    return drawing.highlighted;
  }

  // ------------------------------------------------------------------
  // What a frame changed
  // ------------------------------------------------------------------

  // Zones that stand at the same place before and after, walked together;
  // a zone whose sub-zones changed in number is not walked into.
  function* zonePairs(before, after) {
    const pending = [[before, after, ""]];
    while (pending.length) {
      const [b, a, pointer] = pending.pop();
      yield [b, a, pointer];
      if (b.sub_environments.length !== a.sub_environments.length) continue;
      for (let i = b.sub_environments.length - 1; i >= 0; i--) {
        pending.push([b.sub_environments[i], a.sub_environments[i], subPointer(pointer, i)]);
      }
    }
  }

  function firstDifference(before, after, same) {
    for (let i = 0; i < before.length; i++) {
      if (i >= after.length || !same(before[i], after[i])) return i;
    }
    return -1;
  }

  const sameAgent = (x, y) => x.visual_id === y.visual_id && x.name === y.name;
  const sameZone = (x, y) => x.id === y.id;
  const chargeKey = (c) => JSON.stringify([c.visual_id, c.polarity, c.magnitude]);

  // Charges of `after` that `before` did not hold (counted with repeats).
  function newChargeIndexes(before, after) {
    const held = new Map();
    for (const charge of before) held.set(chargeKey(charge), (held.get(chargeKey(charge)) || 0) + 1);
    const indexes = [];
    after.forEach((charge, index) => {
      const left = held.get(chargeKey(charge)) || 0;
      if (left > 0) held.set(chargeKey(charge), left - 1);
      else indexes.push(index);
    });
    return indexes;
  }

  function findActor(before, after, event) {
    const zoneId = event.description.slice((event.agent_name + " executed operation in ").length);
    let fallback = null;
    for (const [b, a, pointer] of zonePairs(before, after)) {
      if (b.id !== zoneId) continue;
      const index = firstDifference(b.agents, a.agents, sameAgent);
      if (index >= 0 && b.agents[index].visual_id === event.visual_id) {
        return { zone: pointer, index: index, agent: b.agents[index], before: b, after: a };
      }
      // A host that places an agent again after it acts (a "refill") can
      // leave no trace of it in the frames: it stood last, as placed.
      if (fallback === null) fallback = { zone: pointer, index: a.agents.length, before: b, after: a };
    }
    if (fallback === null) return null;
    fallback.agent = { name: event.agent_name, visual_id: event.visual_id };
    return fallback;
  }

  function findMerged(before, after, event) {
    for (const [b, a, pointer] of zonePairs(before, after)) {
      if (b.sub_environments.length !== a.sub_environments.length + 1) continue;
      const index = firstDifference(b.sub_environments, a.sub_environments, sameZone);
      const sub = b.sub_environments[index];
      if ("shield_" + sub.id === event.visual_id) return { zone: pointer, index: index, sub: sub, before: b, after: a };
    }
    return null;
  }

  function changes(previous, frame) {
    const event = frame.meta && frame.meta.last_event;
    if (!event || !previous) return { actor: null, merged: null, newCharges: null };
    const found = event.type === "CAST_SPELL" ? findActor(previous, frame, event)
      : event.type === "COLLAPSE_ZONE" ? findMerged(previous, frame, event) : null;
    const place = found && {
      zone: found.zone, index: found.index, [found.sub ? "sub" : "agent"]: found.sub || found.agent,
    };
    return {
      actor: event.type === "CAST_SPELL" ? place : null,
      merged: event.type === "COLLAPSE_ZONE" ? place : null,
      newCharges: found && { zone: found.zone, indexes: newChargeIndexes(found.before.charges, found.after.charges) },
    };
  }

  // ------------------------------------------------------------------
  // Words for the page
  // ------------------------------------------------------------------

  function describeEvent(meta) {
    if (!meta) return "None yet: this is the level as built.";
    const event = meta.last_event;
    if (!event) {
      return meta.status === "ERROR" ? "None: the frame limit was reached before the level ended."
        : "None: the level is over.";
    }
    if (event.type === "CAST_SPELL") {
      const zone = event.description.slice((event.agent_name + " executed operation in ").length);
      return event.agent_name + " \u201c" + shortText(event.visual_id) + "\u201d cast its spell in zone " + shortText(zone) + ".";
    }
    if (event.type === "COLLAPSE_ZONE") {
      return "Zone " + shortText(event.visual_id.replace(/^shield_/, "")) + " resolved and merged its charges into the zone around it.";
    }
    if (event.type === "FINISHED") return "The level ended: no agent could act and no zone could merge.";
    return event.description;
  }

  function legend(container) {
    const sample = (className, text) => el("span", className, text);
    const zone = sample("legend-zone zone frozen", "zone");
    zone.setAttribute("aria-hidden", "true");
    container.replaceChildren(
      "Charges: ", sample("chip positive", "+3"), " positive, ", sample("chip negative", MINUS + "3"), " negative, ",
      sample("chip neutral", "~3"), " neutral (hover a chip for its id); a magnitude with a sign of its own is bracketed, e.g. +(" +
      MINUS + "\u221e). ", zone, " Dashed, dimmed zones are frozen: their own agents wait while a sub-zone is unresolved. ",
      sample("legend-mark highlight", "\u2605 acted"), " Highlighted: the agent that acted (shown in the place where it stood) " +
      "or the zone that merged into its parent; ", sample("chip positive changed", "+5"), " the charges the frame made are ringed.");
  }

  return Object.freeze({
    render: render, changes: changes, formatMagnitude: formatMagnitude, describeEvent: describeEvent, legend: legend,
    shortText: shortText, banner: banner,
  });
})();
if (typeof module !== "undefined") module.exports = QorDraw;
