// next_frame(), next_frame_bytes() and to_json() of the WebAssembly engine
// under Node, on the levels bench_frames.py builds (bench_levels.h): prints
// one JSON object of median seconds per call, per size. Run by
// bench/bench_web.py.
//
//     node bench/bench_web.js ENGINE.js SECONDS SIZE...
"use strict";

const AGENTS_PER_ZONE = 4;
const SUB_ZONES_PER_ZONE = 4;

function placeDecliningAgent(zone, index) {
  const id = `agent_${index}`;
  switch (index % 7) {
    case 0: zone.add_chronomancer(id); break;
    case 1: zone.add_log_magician(id); break;
    case 2: zone.add_factorial_magician(id); break;
    case 3: zone.add_modulo_magician(id); break;
    case 4: zone.add_divide_magician(id); break;
    case 5: zone.add_equals_gate(id, 1000.0); break;
    default: zone.add_inequality_gate(id, -1000.0, "<");
  }
}

function addDeclinedCharges(q, zone, index) {
  zone.add_charge(3.0 + (index % 5), q.ChargePolarity.POSITIVE, `c${index}a`);
  zone.add_charge(0.0, q.ChargePolarity.NEGATIVE, `c${index}b`);
}

function makeLevel(q, agentCount, withActingGate) {
  const zoneCount = Math.max(1, Math.floor(agentCount / AGENTS_PER_ZONE));
  const zones = [];
  for (let i = 0; i < zoneCount; ++i) {
    const zone = new q.Environment(`zone_${i}`);
    addDeclinedCharges(q, zone, i);
    if (i > 0) zones[Math.floor((i - 1) / SUB_ZONES_PER_ZONE)].add_sub_environment(zone);
    zones.push(zone);
  }
  for (let j = 0; j < agentCount; ++j) placeDecliningAgent(zones[j % zoneCount], j);
  let gateZone = null;
  if (withActingGate) {
    gateZone = new q.Environment("gate_zone");
    addDeclinedCharges(q, gateZone, 0);
    gateZone.add_equals_gate("acting_gate", 3.0);
    zones[0].add_sub_environment(gateZone);
  }
  return { root: zones[0], gateZone };
}

function timed(call) {
  const start = process.hrtime.bigint();
  call();
  return Number(process.hrtime.bigint() - start) / 1e9;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

class SizeUnderTest {
  constructor(q, agentCount) {
    this.acting = makeLevel(q, agentCount, true);
    this.resolved = makeLevel(q, agentCount, false);
    this.actingLevel = new q.NarrativeSequencer(this.acting.root);
    this.resolvedLevel = new q.NarrativeSequencer(this.resolved.root);
    this.samples = {
      acting_to_json: [], acting: [], resolved_to_json: [], resolved: [], acting_bytes: [], resolved_bytes: [],
    };
    this.actingFrame();
  }

  actingFrame(call = "next_frame") {
    const took = timed(() => this.actingLevel[call]());
    this.actingLevel.current_frame = 0;
    this.acting.gateZone.add_equals_gate("acting_gate", 3.0);
    return took;
  }

  resolvedFrame(call = "next_frame") {
    const took = timed(() => this.resolvedLevel[call]());
    this.resolvedLevel.is_finished = false;
    this.resolvedLevel.current_frame = 0;
    return took;
  }

  takeRound() {
    return {
      acting_to_json: timed(() => this.acting.root.to_json()),
      acting: this.actingFrame(),
      resolved_to_json: timed(() => this.resolved.root.to_json()),
      resolved: this.resolvedFrame(),
      acting_bytes: this.actingFrame("next_frame_bytes"),
      resolved_bytes: this.resolvedFrame("next_frame_bytes"),
    };
  }

  takeBlock(seconds) {
    const warmUp = Object.values(this.takeRound()).reduce((a, b) => a + b);
    const rounds = Math.max(1, Math.round(seconds / warmUp));
    for (let i = 0; i < rounds; ++i) {
      for (const [name, took] of Object.entries(this.takeRound())) this.samples[name].push(took);
    }
  }
}

const [enginePath, secondsText, ...sizeTexts] = process.argv.slice(2);
require(require("path").resolve(enginePath))().then((q) => {
  const sizes = sizeTexts.map((text) => new SizeUnderTest(q, Number(text)));
  const seconds = Number(secondsText);
  const deadline = Date.now() + seconds * 1000 * sizes.length;
  while (sizes[0].samples.acting.length < 5 || Date.now() < deadline) {
    for (const size of sizes) size.takeBlock(0.25);
  }
  const figures = {};
  sizes.forEach((size, k) => {
    figures[sizeTexts[k]] = Object.fromEntries(
      Object.entries(size.samples).map(([name, values]) => [name, median(values)]));
  });
  console.log(JSON.stringify(figures));
});
