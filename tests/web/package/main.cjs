// CommonJS in the same project: require() finds the package and QorPatch.
"use strict";
const createQorEngine = require("qor-engine");
const QorPatch = require("qor-engine/jsonpatch");
const { readFileSync } = require("node:fs");

createQorEngine().then((q) => {
  const play = q.read_level(readFileSync(process.argv[2], "utf-8")).play();
  let frame = null;
  while (!play.is_finished) frame = QorPatch.apply(frame, JSON.parse(play.next_frame_patch()));
  if (frame.meta.message !== "Equation Resolved.") throw new Error(`ended with ${frame.meta.message}`);
  console.log("ok");
});
