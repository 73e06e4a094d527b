// Joined to the module's JavaScript (emcc --post-js). The bound C++ functions
// never throw into JavaScript: they record an Error in
// Module["qorPendingError"] and return (src/web/errors.cpp). Once the classes
// are registered, every constructor, method, property and static function of
// Environment, NarrativeSequencer, LevelPlay and Level, and read_level(), is
// wrapped to check `this` and the argument count, and to throw that Error as
// soon as the call is back in JavaScript. Here too: the error classes, q.Charge, q.POSITIVE and the
// polarities' names, the handle count, the garbage collector's freeing of
// handles never deleted, and one handle per zone read from a property.

// The JavaScript type of a value, for messages: "string", "null", "Array",
// ... Never throws: a Proxy's trap or a `constructor` getter that throws
// gives "object".
Module["qorTypeName"] = function (value) {
  "use strict";
  if (value === null) return "null";
  var type = typeof value;
  if (type !== "object") return type;
  try {
    var name = value.constructor.name;
    if (typeof name === "string" && name !== "") return name.length > 100 ? name.slice(0, 100) + "..." : name;
  } catch (error) {
    // a getter or trap threw: the plain type will do
  }
  return type;
};

// The module's errors, named as the Python module's exceptions, for
// `instanceof`: q.ValueError, ... A RecursionError is a RuntimeError, as in
// Python. A wrong argument is JavaScript's own TypeError.
(function () {
  "use strict";
  function errorClass(name, Base) {
    var Made = class extends Base {};
    Object.defineProperty(Made, "name", { value: name });
    Object.defineProperty(Made.prototype, "name", { value: name, writable: true, configurable: true });
    Module[name] = Made;
    return Made;
  }
  errorClass("LevelError", errorClass("ValueError", Error));
  errorClass("IndexError", Error);
  errorClass("OverflowError", Error);
  errorClass("MemoryError", Error);
  errorClass("RecursionError", errorClass("RuntimeError", Error));
})();

addOnInit(function () {
  "use strict";
  var typeName = Module["qorTypeName"];
  var parameterTable = Module["qorParameters"] || {};
  var live = 0;
  var watching = typeof Module["onLeakedHandle"] === "function";

  function takeError() {
    var error = Module["qorPendingError"];
    Module["qorPendingError"] = undefined;
    return error;
  }

  function finish(result) {
    var error = takeError();
    if (error !== undefined) throw error;
    return result;
  }

  // embind's own checks left (setting a read-only property) throw
  // TypeErrors too.
  function call(bound, self, args) {
    try {
      return bound.apply(self, args);
    } catch (error) {
      takeError();
      if (error instanceof Module["BindingError"]) throw new TypeError(error.message);
      throw error;
    }
  }

  // ---- handles: counted, freed by the garbage collector when the host did
  // not delete() them, and reported then when the host asks

  var handleClasses = [];
  var freeHandle = null;  // embind's delete(), the same for every class

  function isHandle(value) {
    for (var i = 0; i < handleClasses.length; ++i) if (value instanceof handleClasses[i]) return true;
    return false;
  }

  // What the collector frees is held apart from the handle: embind's record
  // of the C++ object ($$), never the handle itself. A zone's handle holds a
  // shared pointer, which embind's own collector frees; the others (levels,
  // level files) are freed here.
  var collector = typeof FinalizationRegistry === "function" ? new FinalizationRegistry(collected) : null;

  function collected(held) {
    if (held.report) Module["onLeakedHandle"](held.report);
    if (held.read && reads.get(held.read.key) === held.read.ref) reads["delete"](held.read.key);
    if (!held.freedByEmbind && held.$$.ptr) freeHandle.call({ $$: held.$$ });
    --live;
  }

  function count(handle, what, read) {
    ++live;
    if (!collector) return handle;
    var held = { $$: handle.$$, freedByEmbind: Boolean(handle.$$.smartPtr), read: read };
    if (watching && !read) {  // a zone read from the tree is the module's to free, not the host's
      held.report = "qor_engine: a handle from " + what + " was garbage-collected without delete(); " +
                    "it was made " + String(new Error().stack).replace(/^Error\n/, "");
    }
    collector.register(handle, held, handle);
    return handle;
  }

  function release(handle) {
    --live;
    if (collector) collector.unregister(handle);
  }

  // A zone read from a property (root_environment, sub_environments) is one
  // handle while it lives, whoever reads it: a loop that reads the tree makes
  // no handle after the first. Keyed by the zone's address, which stays the
  // zone's while a handle holds it.
  var reads = typeof WeakRef === "function" ? new Map() : null;

  function shareRead(handle, what) {
    if (!reads || !(handle instanceof Module["Environment"])) return count(handle, what);
    var key = handle.$$.ptr;
    var ref = reads.get(key);
    var kept = ref && ref.deref();
    if (kept && kept.$$.ptr) {
      freeHandle.call(handle);
      return kept;
    }
    ref = new WeakRef(handle);
    reads.set(key, ref);
    return count(handle, what, { key: key, ref: ref });
  }

  function forgetRead(handle) {
    if (!reads) return;
    var ref = reads.get(handle.$$.ptr);
    if (ref && ref.deref() === handle) reads["delete"](handle.$$.ptr);
  }

  // Counts the handles a call returned (alone or in an array); `shared`: a
  // property's read, answered with the handle the zone already has.
  function adopt(result, what, shared) {
    if (result === null || typeof result !== "object") return result;
    if (Array.isArray(result)) {
      for (var i = 0; i < result.length; ++i) result[i] = adopt(result[i], what, shared);
    } else if (isHandle(result)) {
      return shared ? shareRead(result, what) : count(result, what);
    }
    return result;
  }

  Module["live_handles"] = function () { return live; };

  // ---- `this` and the argument count

  function article(owner) {
    return /^[AEIOU]/.test(owner) ? "an " + owner : "a " + owner;
  }

  function checkThis(self, Bound, owner, caller) {
    var state;
    try {
      state = self instanceof Bound ? (self.$$.ptr ? 0 : 1) : 2;
    } catch (error) {
      state = 2;
    }
    if (state === 1) throw new TypeError(caller + ": called on a deleted " + owner);
    if (state === 2) throw new TypeError(caller + ": this must be " + article(owner) + ", not " + typeName(self));
  }

  // What a call's arguments are checked against: the parameters' names (the
  // optional ones end in "?"), read once.
  function signature(caller, parameters) {
    var names = parameters.map(function (name) { return name.replace(/\?$/, ""); });
    var required = parameters.filter(function (name) { return !/\?$/.test(name); }).length;
    var count = required === names.length ? String(required) : required + " to " + names.length;
    return {
      caller: caller,
      size: names.length,
      required: required,
      takes: caller + ": takes " + count + (names.length === 1 ? " argument" : " arguments") +
             (names.length > 0 ? " (" + names.join(", ") + ")" : "") + ", ",
    };
  }

  // The arguments padded with undefined to the parameters' number; a
  // TypeError if too few or too many were given.
  function argumentsFor(expected, given) {
    if (given.length === expected.size) return given;
    if (given.length < expected.required || given.length > expected.size) {
      throw new TypeError(expected.takes + given.length + " given");
    }
    var args = Array.prototype.slice.call(given);
    while (args.length < expected.size) args.push(undefined);
    return args;
  }

  function parametersOf(owner, member) {
    var parameters = (parameterTable[owner] || {})[member];
    if (!parameters) throw new Error("qor_engine: " + owner + "." + member + " has no parameters described");
    return parameters;
  }

  // ---- the classes

  // Methods that read the tree: their zones are the zones' one handles, as
  // properties' are.
  var treeReads = { find_zone: true };

  function guardMethod(owner, Bound, name, bound) {
    var caller = name + "()";
    var expected = signature(caller, parametersOf(owner, name));
    var shared = treeReads[name] === true;
    return function () {
      checkThis(this, Bound, owner, caller);
      return adopt(finish(call(bound, this, argumentsFor(expected, arguments))), caller, shared);
    };
  }

  function guardProperty(owner, Bound, name, member) {
    if (member.get) {
      var get = member.get;
      member.get = function () {
        checkThis(this, Bound, owner, name);
        return adopt(finish(call(get, this, [])), name, true);
      };
    }
    if (member.set) {
      var set = member.set;
      member.set = function (value) {
        checkThis(this, Bound, owner, name);
        finish(call(set, this, [value]));
      };
    }
  }

  function guardStatic(owner, name, bound) {
    var caller = owner + "." + name + "()";
    var expected = signature(caller, parametersOf(owner, "static " + name));
    return function () {
      return adopt(finish(call(bound, this, argumentsFor(expected, arguments))), caller);
    };
  }

  function guardPrototype(owner, Bound) {
    var prototype = Bound.prototype;
    Object.getOwnPropertyNames(prototype).forEach(function (name) {
      if (name === "constructor") return;
      var member = Object.getOwnPropertyDescriptor(prototype, name);
      if (!member.configurable) return;
      if (typeof member.value === "function") {
        member.value = guardMethod(owner, Bound, name, member.value);
      } else if (member.get || member.set) {
        guardProperty(owner, Bound, name, member);
      } else {
        return;
      }
      Object.defineProperty(prototype, name, member);
    });
    // A subclass (LevelPlay) inherits delete() and clone() as guarded.
    var inherited = Object.getPrototypeOf(prototype);
    if (handleClasses.some(function (Base) { return Base !== Bound && prototype instanceof Base; })) return;
    // delete() counts the handle out; deleting a deleted handle does nothing.
    freeHandle = inherited["delete"];
    var clone = inherited["clone"];
    Object.defineProperty(prototype, "delete", {
      configurable: true, writable: true,
      value: function () {
        try {
          if (this instanceof Bound && !this.$$.ptr) return;
        } catch (error) {
          // not a handle: checkThis says so
        }
        checkThis(this, Bound, owner, "delete()");
        forgetRead(this);
        freeHandle.call(this);
        release(this);
      },
    });
    Object.defineProperty(prototype, "clone", {
      configurable: true, writable: true,
      value: function () {
        checkThis(this, Bound, owner, "clone()");
        return adopt(clone.call(this), "clone()");
      },
    });
    if (typeof Symbol === "function" && typeof Symbol.dispose === "symbol") {
      Object.defineProperty(prototype, Symbol.dispose, {
        configurable: true, writable: true,
        value: function () { if (!this.isDeleted()) this["delete"](); },
      });
    }
  }

  // The class itself is replaced by a constructor that makes the object with
  // embind's and then throws the recorded Error, if any. Objects keep
  // embind's prototype, so instanceof works with either.
  function guardClass(owner) {
    var Bound = Module[owner];
    if (!Bound || typeof Bound.prototype["delete"] !== "function") {
      throw new Error("qor_engine: class " + owner + " is not registered yet");
    }
    handleClasses.push(Bound);
    guardPrototype(owner, Bound);
    var caller = owner + "()";
    var expected = signature(caller, parametersOf(owner, "new"));
    // A class may make its handles by a class function of its own, qorMake.
    var make = Bound["qorMake"];
    delete Bound["qorMake"];
    var Guarded = function () {
      if (!new.target) throw new TypeError("Class constructor " + owner + " cannot be invoked without 'new'");
      var args = argumentsFor(expected, arguments);
      var made;
      try {
        made = make ? make.apply(null, args) : Reflect.construct(Bound, args);
      } catch (error) {
        takeError();
        throw error;
      }
      var error = takeError();
      if (error !== undefined) {
        if (made && typeof made["delete"] === "function" && made.$$ && made.$$.ptr) made["delete"]();
        throw error;
      }
      return adopt(made, caller);
    };
    Object.defineProperty(Guarded, "name", { value: owner });
    Guarded.prototype = Bound.prototype;
    Object.getOwnPropertyNames(Bound).forEach(function (key) {
      if (["prototype", "length", "name", "arguments", "caller"].indexOf(key) >= 0) return;
      var member = Object.getOwnPropertyDescriptor(Bound, key);
      if (typeof member.value === "function") member.value = guardStatic(owner, key, member.value);
      Object.defineProperty(Guarded, key, member);
    });
    Module[owner] = Guarded;
  }

  // zone.find_zone(id): made in C++ as a class function, which takes the
  // zone's handle, so that the zone itself can be the answer.
  (function () {
    var Environment = Module["Environment"];
    var findZone = Environment["qorFindZone"];
    delete Environment["qorFindZone"];
    Object.defineProperty(Environment.prototype, "find_zone", {
      configurable: true, writable: true,
      value: function (id) { return findZone(this, id); },
    });
  })();

  guardClass("Environment");
  guardClass("NarrativeSequencer");
  guardClass("LevelPlay");
  guardClass("Level");
  guardClass("CompactExplanations");

  // The module's functions that make handles.
  ["read_level"].forEach(function (name) {
    var bound = Module[name];
    var caller = name + "()";
    var expected = signature(caller, parametersOf("module", name));
    Module[name] = function () {
      return adopt(finish(call(bound, null, argumentsFor(expected, arguments))), caller);
    };
  });

  // ---- polarities and charges, as Python's module has them

  var Polarity = Module["ChargePolarity"];
  var polarityText = Module["qorPolarityText"];
  Object.getOwnPropertyNames(Polarity).forEach(function (name) {
    var value = Polarity[name];
    if (!(value instanceof Polarity)) return;
    Object.defineProperty(value, "name", { value: name });
    Module[name] = value;
  });
  // JSON.stringify gives what frames say: "positive".
  Object.defineProperty(Polarity.prototype, "toJSON", {
    configurable: true, writable: true,
    value: function () { return finish(polarityText(this)); },
  });

  // A charge of its own: plain fields, read and written freely. Storing it
  // in a zone (`charges = [...]`) copies it and checks it then.
  var chargeSignature = signature("Charge()", parametersOf("Charge", "new"));
  var checkCharge = Module["qorCheckCharge"];
  var chargeText = Module["qorChargeText"];
  function Charge(magnitude, polarity, visual_id) {
    if (!new.target) throw new TypeError("Class constructor Charge cannot be invoked without 'new'");
    argumentsFor(chargeSignature, arguments);
    finish(checkCharge(magnitude, polarity, visual_id));
    this.magnitude = magnitude;
    this.polarity = typeof polarity === "number" && Polarity.values[polarity] !== undefined
      ? Polarity.values[polarity] : polarity;
    this.visual_id = visual_id;
  }
  Object.defineProperty(Charge.prototype, "to_json", {
    configurable: true, writable: true,
    // The charge as compact JSON text, as frames hold it.
    value: function () { return finish(chargeText(this.magnitude, this.polarity, this.visual_id)); },
  });
  Object.defineProperty(Charge.prototype, "toJSON", {
    configurable: true, writable: true,
    value: function () { return JSON.parse(this.to_json()); },
  });
  Module["Charge"] = Charge;
  ["qorCheckCharge", "qorChargeText", "qorPolarityText"].forEach(function (name) { delete Module[name]; });
});
