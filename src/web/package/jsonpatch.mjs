// QorPatch for ES module hosts, as the default export.
import QorPatch from "./jsonpatch.js";

export default QorPatch;
