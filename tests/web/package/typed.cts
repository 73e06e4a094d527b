// TypeScript, CommonJS, compiled with tsc --strict against the package's
// declarations: places an agent of every kind by its placing method, plays,
// and reads the explanation's agents and zones typed. Prints "ok".
import createQorEngine = require("qor-engine");
import QorPatch = require("qor-engine/jsonpatch");

async function main(): Promise<void> {
  const q: createQorEngine.QorEngine = await createQorEngine();
  const hall = new q.Environment("hall");
  hall.add_charge(3, q.POSITIVE, "a");
  for (const kind of q.agent_kinds()) {
    if (kind.key === "equals_gate") hall.add_agent(kind.key, kind.key, 3);
    else if (kind.key === "inequality_gate") hall.add_agent(kind.key, kind.key, 3, "<=");
    else hall[kind.method](kind.key);
  }
  const play = new q.NarrativeSequencer(hall, 20);
  let frame: createQorEngine.Frame | null = null;
  while (!play.is_finished) frame = QorPatch.apply(frame, JSON.parse(play.next_frame_patch())) as createQorEngine.Frame;
  const explained: createQorEngine.Explanation = JSON.parse(play.explain());
  const states: string[] = explained.agents.map((agent) => `${agent.visual_id} ${agent.state}`);
  const zones: string[] = explained.zones.map((zone) => zone.id);
  if (frame === null || states.length === 0 || zones[0] !== "hall") throw new Error(JSON.stringify(explained));
  console.log("ok");
}
main();
