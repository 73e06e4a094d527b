// A level whose storage lies at 2 GiB and above in the module's heap (the
// only room left once the heap below was taken, kept by the level after that
// memory is given back) plays, saves and loads exactly as a level below.
// Usage: node high_memory_test.js ENGINE.js; prints "ok" or throws.
"use strict";
const assert = require("assert");

require(require("path").resolve(process.argv[2]))().then((q) => {
  const levelText = JSON.stringify({
    zone: "chamber", charges: [[1, "positive", "left"], [1, "positive", "right"]],
    agents: [{ kind: "plus", id: "waiting_adder" }],
    zones: [{ zone: "hourglass", charges: [[65536, "positive", "sand"]],
              agents: [{ kind: "chronomancer", id: "timekeeper" }, { kind: "root", id: "grinder", refill: true }] }],
  });
  const text = (bytes) => Buffer.from(bytes).toString("utf8");
  function play(level) {
    const frames = [];
    for (let i = 0; i < 3; ++i) {
      frames.push(level.next_frame(), text(level.next_frame_bytes()), level.next_frame_patch());
    }
    const copy = q.LevelPlay.load(level.save());
    frames.push(copy.next_frame(), copy.explain(), level.explain());
    copy.delete();
    return frames;
  }
  const low = q.read_level(levelText);
  const lowPlay = low.play();

  // Everything below 2 GiB is taken: what the next level holds lies above.
  let taken = 0;
  while (taken < 2 ** 31) {
    assert.ok(q._malloc(2 ** 27) !== 0, `no room after ${taken} bytes`);
    taken += 2 ** 27;
  }
  const high = q.read_level(levelText);
  const highPlay = high.play();
  assert.deepStrictEqual(play(highPlay), play(lowPlay));
  assert.strictEqual(high.to_text(), low.to_text());
  [low, lowPlay, high, highPlay].forEach((handle) => handle.delete());
  console.log("ok");
});
