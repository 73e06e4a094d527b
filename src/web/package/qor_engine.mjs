// The module for ES module hosts: qor_engine.js is CommonJS, whose one export
// is the factory; Node gives it to an import as the default export.
import createQorEngine from "./qor_engine.js";

export default createQorEngine;
