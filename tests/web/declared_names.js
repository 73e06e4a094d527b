// Compares the names of the built WebAssembly module with its TypeScript
// declarations, read with TypeScript's own compiler API: what the engine
// object holds (beyond Emscripten's and embind's runtime), each class's
// static and prototype members, a Charge's and a polarity's.
// Usage: node declared_names.js ENGINE.js QOR_ENGINE.D.TS TYPESCRIPT.JS
// Prints {"undeclared": [...], "missing": [...]}: the module's names that
// the declarations lack, and the declared names that the module lacks.
"use strict";
const path = require("path");

const [enginePath, declarationsPath, typescriptPath] = process.argv.slice(2);
const ts = require(path.resolve(typescriptPath));

// The runtime's own members and embind's internals, which hosts do not use.
const RUNTIME = /^(_|HEAP|qor)|^(ready|inspect|preloadedImages|preloadedAudios|run|asm|calledRun|BindingError|InternalError|UnboundTypeError|getInheritedInstanceCount|getLiveInheritedInstances|flushPendingDeletes|setDelayFunction|count_emval_handles|get_first_emval|argCount|deleteLater|constructor|prototype|length|name|arguments|caller)$/;

// The members of each type the declarations' namespace holds, by the type's name.
function declaredMembers() {
  const program = ts.createProgram([declarationsPath], { strict: true, noEmit: true, lib: ["lib.es2020.d.ts"] });
  const checker = program.getTypeChecker();
  const exported = checker.getExportsOfModule(checker.getSymbolAtLocation(program.getSourceFile(declarationsPath)));
  const types = new Map(exported.map((symbol) => [symbol.getName(), symbol]));
  return (typeName) => {
    const type = checker.getDeclaredTypeOfSymbol(types.get(typeName));
    return checker.getPropertiesOfType(type).map((member) => member.getName()).filter((name) => !RUNTIME.test(name));
  };
}

// Every name along the prototype chain, Object.prototype's left out.
function namesOf(object) {
  const names = [];
  for (let at = object; at !== null && at !== Object.prototype && at !== Function.prototype; at = Object.getPrototypeOf(at)) {
    names.push(...Object.getOwnPropertyNames(at).filter((name) => !RUNTIME.test(name) && !names.includes(name)));
  }
  return names;
}

createQorEngine().then((q) => {
  const declared = declaredMembers();
  const compared = [
    ["", namesOf(q), declared("QorEngine")],
    ["ChargePolarity.", namesOf(q.POSITIVE), declared("ChargePolarity")],
    ["Charge.", namesOf(new q.Charge(1, q.POSITIVE, "c")), declared("Charge")],
    ["Charge.", namesOf(q.Charge), declared("ChargeConstructor")],
  ];
  for (const owner of ["Environment", "NarrativeSequencer"]) {
    compared.push([owner + ".", namesOf(q[owner].prototype), declared(owner)]);
    compared.push([owner + ".", namesOf(q[owner]), declared(owner + "Constructor")]);
  }
  const undeclared = [];
  const missing = [];
  for (const [prefix, runtime, names] of compared) {
    // A symbol-keyed member ([Symbol.dispose]) is not a name here.
    const declaredNames = names.filter((name) => !name.startsWith("__@"));
    undeclared.push(...runtime.filter((name) => !declaredNames.includes(name)).map((name) => prefix + name));
    missing.push(...declaredNames.filter((name) => !runtime.includes(name)).map((name) => prefix + name));
  }
  console.log(JSON.stringify({ undeclared: undeclared.sort(), missing: missing.sort() }));
});

function createQorEngine() {
  return require(path.resolve(enginePath))();
}
