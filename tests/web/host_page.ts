// A page's script (no import): qor_engine.js and jsonpatch.js loaded by
// <script> elements before it define the globals createQorEngine and
// QorPatch. Type-checked beside host_program.ts, on its own, with
// Symbol.dispose declared as TypeScript 5.2's lib declares it: handles then
// have [Symbol.dispose]().
/// <reference path="./qor_engine.d.ts" />
/// <reference path="./jsonpatch.d.ts" />

interface SymbolConstructor {
  readonly dispose: unique symbol;
}

createQorEngine().then((q) => {
  const zone = new q.Environment("z");
  const disposable: { [Symbol.dispose](): void } = zone;
  disposable[Symbol.dispose]();
  q.read_level("{}")[Symbol.dispose]();
  const frame = QorPatch.apply(null, [{ op: "replace", path: "", value: { meta: {} } }]) as createQorEngine.Frame;
  console.log(QorPatch.get(frame, "/meta"));
});
