// An ES module of a "type": "module" project that installed the package:
// plays the level file given as an argument with patches, then reads the
// tree 200,000 times as a game loop would, with no delete(), and checks that
// neither the handles nor the memory grew. Run with --expose-gc; prints "ok".
import createQorEngine from "qor-engine";
import QorPatch from "qor-engine/jsonpatch";
import { readFileSync } from "node:fs";

const q = await createQorEngine();
const file = q.read_level(readFileSync(process.argv[2]));
const play = file.play();
let frame = null;
while (!play.is_finished) frame = QorPatch.apply(frame, JSON.parse(play.next_frame_patch()));
if (frame.meta.message !== "Equation Resolved.") throw new Error(`ended with ${frame.meta.message}`);

const level = new q.NarrativeSequencer(file.build());
function readTree(times) {
  let seen = 0;
  for (let i = 0; i < times; ++i) {
    const zones = level.root_environment.sub_environments;
    seen += zones.length + zones[0].charges.length + level.root_environment.id.length;
  }
  return seen;
}
async function settled() {
  for (let i = 0; i < 3; ++i) {
    global.gc();
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  return { handles: q.live_handles(), heap: process.memoryUsage().heapUsed, engine: q.HEAPU8.length };
}

readTree(20000);
const before = await settled();
readTree(1);
const first = q.live_handles();  // the zones' handles, made by the first read
if (readTree(200000) !== 200000 * (1 + 2 + 4)) throw new Error("the tree read otherwise");
const during = q.live_handles();
const after = await settled();
if (during !== first || after.handles > before.handles + 1) {
  throw new Error(`handles grew: ${before.handles}, ${first} after a read, ${during} after 200,000, ${after.handles} collected`);
}
if (after.engine !== before.engine) throw new Error(`the engine's memory grew: ${before.engine} to ${after.engine}`);
if (after.heap - before.heap > 4 << 20) throw new Error(`JavaScript's heap grew: ${before.heap} to ${after.heap}`);
console.log("ok");
