// TypeScript as an ES module (module nodenext), compiled with tsc --strict:
// the package's "import" entry and its types. Prints "ok".
import createQorEngine from "qor-engine";
import QorPatch from "qor-engine/jsonpatch";

const q: createQorEngine.QorEngine = await createQorEngine();
const level = q.read_level('{"zone": "hall", "charges": [[2, "positive", "a"], [3, "positive", "b"]], "agents": [{"kind": "plus", "id": "p"}]}');
const play: createQorEngine.LevelPlay = level.play();
let frame: unknown = null;
while (!play.is_finished) frame = QorPatch.apply(frame, JSON.parse(play.next_frame_patch()));
const total = (frame as createQorEngine.Frame).charges[0].magnitude;
if (total !== 5) throw new Error(`total ${total}`);
const saved = q.Level.from_zone(level.build(), "Sum").to_text();
if (!saved.includes('"title": "Sum"')) throw new Error(saved);
console.log("ok");
