// Joined to the module's JavaScript (emcc --post-js). The bound C++ functions
// never throw into JavaScript: they record an Error in
// Module["qorPendingError"] and return (src/web/errors.cpp). Once the classes
// are registered, every constructor, method, property and static function of
// Environment and NarrativeSequencer is wrapped to throw that Error as soon as
// the call is back in JavaScript.
//
// This runs at start-up right after the C++ constructors, which register the
// classes (the instance adds them to the same list, in front, when it is
// ready, after this file ran), and before onRuntimeInitialized, postRun and
// the factory's promise: no host code sees the classes unguarded.
addOnInit(function () {
  "use strict";

  function takeError() {
    var error = Module["qorPendingError"];
    Module["qorPendingError"] = undefined;
    return error;
  }

  function guarded(call) {
    return function () {
      var result = call.apply(this, arguments);
      var error = takeError();
      if (error !== undefined) throw error;
      return result;
    };
  }

  function guardMembers(target, skipped) {
    Object.getOwnPropertyNames(target).forEach(function (name) {
      if (skipped.indexOf(name) >= 0) return;
      var member = Object.getOwnPropertyDescriptor(target, name);
      if (!member.configurable) return;
      if (typeof member.value === "function") {
        member.value = guarded(member.value);
      } else if (member.get || member.set) {
        if (member.get) member.get = guarded(member.get);
        if (member.set) member.set = guarded(member.set);
      } else {
        return;
      }
      Object.defineProperty(target, name, member);
    });
  }

  // The class itself is replaced by a constructor that makes the object with
  // embind's and then throws the recorded Error, if any. Objects keep
  // embind's prototype, so instanceof works with either.
  function guardClass(name) {
    var Bound = Module[name];
    if (!Bound || typeof Bound.prototype.delete !== "function") {
      throw new Error("qor_engine: class " + name + " is not registered yet");
    }
    guardMembers(Bound.prototype, ["constructor"]);
    guardMembers(Bound, ["prototype", "length", "name", "arguments", "caller"]);
    var Guarded = function () {
      if (!new.target) throw new TypeError("Class constructor " + name + " cannot be invoked without 'new'");
      var made = Reflect.construct(Bound, arguments);
      var error = takeError();
      if (error !== undefined) throw error;
      return made;
    };
    Object.defineProperty(Guarded, "name", { value: name });
    Guarded.prototype = Bound.prototype;
    Object.getOwnPropertyNames(Bound).forEach(function (key) {
      if (["prototype", "length", "name", "arguments", "caller"].indexOf(key) < 0) {
        Object.defineProperty(Guarded, key, Object.getOwnPropertyDescriptor(Bound, key));
      }
    });
    Module[name] = Guarded;
  }

  guardClass("Environment");
  guardClass("NarrativeSequencer");
});
