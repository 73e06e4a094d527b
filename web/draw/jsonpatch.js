/* QorPatch: applies an RFC 6902 JSON Patch to a parsed JSON document: the
 * operations the engine writes ("add", "remove", "replace") and the others
 * of the RFC ("move", "copy", "test"). Paths are RFC 6901 JSON Pointers. It
 * defines the one name QorPatch.
 *
 *   QorPatch.apply(document, operations) -> the patched document
 *     Changes `document` in place and returns it; an operation on the whole
 *     document (path "") returns its value instead, so always use the result.
 *     Values are copied in: the document never shares objects with the patch,
 *     so a patch can be applied again to another copy.
 *     Throws an Error, naming the operation, for an operation it cannot
 *     apply (an unknown op, a path that does not exist, a "test" that
 *     fails); the document may then be half patched.
 *
 *   QorPatch.parsePointer(pointer) -> [reference tokens]
 *     Throws an Error for a text that is not a JSON Pointer.
 *   QorPatch.get(document, pointer) -> the value the pointer refers to
 *     Throws an Error when it refers to nothing.
 */
const QorPatch = (function () {
  "use strict";

  function parsePointer(pointer) {
    if (pointer === "") return [];
    if (pointer[0] !== "/" || /~(?![01])/.test(pointer)) {
      throw new Error("not a JSON Pointer: " + JSON.stringify(pointer));
    }
    // "~01" is "~1", not "/": "~1" is undone before "~0".
    return pointer.slice(1).split("/").map((token) => token.replace(/~1/g, "/").replace(/~0/g, "~"));
  }

  function isIndex(token) {
    return /^(0|[1-9][0-9]*)$/.test(token);
  }

  // The array index a token names; `end` allows the one past the last ("-").
  function arrayIndex(array, token, end) {
    if (end && token === "-") return array.length;
    const limit = end ? array.length : array.length - 1;
    if (!isIndex(token) || Number(token) > limit) throw new Error("no index " + token);
    return Number(token);
  }

  function hasMember(object, token) {
    return Object.prototype.hasOwnProperty.call(object, token);
  }

  // The value the tokens lead to.
  function valueAt(document, tokens) {
    let node = document;
    for (const token of tokens) {
      if (Array.isArray(node)) node = node[arrayIndex(node, token, false)];
      else if (node !== null && typeof node === "object" && hasMember(node, token)) node = node[token];
      else throw new Error("no member " + JSON.stringify(token));
    }
    return node;
  }

  // The container that holds the last token of a path.
  function parentOf(document, tokens) {
    const node = valueAt(document, tokens.slice(0, -1));
    if (node === null || typeof node !== "object") throw new Error("not a container");
    return node;
  }

  // JSON equality: numbers by value, arrays in order, objects by members.
  function jsonEqual(a, b) {
    if (a === b) return true;
    if (a === null || b === null || typeof a !== "object" || typeof b !== "object") return false;
    if (Array.isArray(a) !== Array.isArray(b)) return false;
    const keys = Object.keys(a);
    if (keys.length !== Object.keys(b).length) return false;
    return keys.every((key) => hasMember(b, key) && jsonEqual(a[key], b[key]));
  }

  // A plain data member, whatever its name ("__proto__" included).
  function setMember(object, token, value) {
    Object.defineProperty(object, token, { value: value, writable: true, enumerable: true, configurable: true });
  }

  function add(parent, token, value) {
    if (Array.isArray(parent)) parent.splice(arrayIndex(parent, token, true), 0, value);
    else setMember(parent, token, value);
  }

  function remove(parent, token) {
    if (Array.isArray(parent)) return parent.splice(arrayIndex(parent, token, false), 1)[0];
    if (!hasMember(parent, token)) throw new Error("no member " + JSON.stringify(token));
    delete parent[token];
  }

  function replace(parent, token, value) {
    if (Array.isArray(parent)) parent[arrayIndex(parent, token, false)] = value;
    else if (hasMember(parent, token)) setMember(parent, token, value);
    else throw new Error("no member " + JSON.stringify(token));
  }

  // Puts a value at a path ("add" and "replace"); the document's new root.
  function put(document, tokens, value, change) {
    if (tokens.length === 0) return value;
    change(parentOf(document, tokens), tokens[tokens.length - 1], value);
    return document;
  }

  function given(operation, member) {
    if (!hasMember(operation, member)) throw new Error("no " + member);
    return operation[member];
  }

  // What each op does: (document, its path's tokens, the operation) -> the document's new root.
  const OPERATIONS = {
    add: (document, tokens, operation) => put(document, tokens, structuredClone(given(operation, "value")), add),
    replace: (document, tokens, operation) => put(document, tokens, structuredClone(given(operation, "value")), replace),
    remove: (document, tokens) => {
      if (tokens.length === 0) throw new Error("cannot remove the whole document");
      remove(parentOf(document, tokens), tokens[tokens.length - 1]);
      return document;
    },
    move: (document, tokens, operation) => {
      const from = parsePointer(given(operation, "from"));
      const path = operation.path;
      if (path.startsWith(operation.from + "/")) throw new Error("cannot move a value into itself");
      const value = valueAt(document, from);
      if (path === operation.from) return document;
      if (from.length === 0) throw new Error("cannot move the whole document");
      remove(parentOf(document, from), from[from.length - 1]);
      return put(document, tokens, value, add);
    },
    copy: (document, tokens, operation) => {
      const value = structuredClone(valueAt(document, parsePointer(given(operation, "from"))));
      return put(document, tokens, value, add);
    },
    test: (document, tokens, operation) => {
      if (!jsonEqual(valueAt(document, tokens), given(operation, "value"))) throw new Error("test failed");
      return document;
    },
  };

  function applyOne(document, operation) {
    const apply = hasMember(OPERATIONS, operation.op) ? OPERATIONS[operation.op] : null;
    if (!apply) {
      throw new Error("unknown op " + JSON.stringify(operation.op));
    }
    return apply(document, parsePointer(given(operation, "path")), operation);
  }

  function applyPatch(document, operations) {
    let result = document;
    for (const operation of operations) {
      try {
        result = applyOne(result, operation);
      } catch (error) {
        throw new Error("cannot apply " + JSON.stringify(operation).slice(0, 200) + ": " + error.message);
      }
    }
    return result;
  }

  function get(document, pointer) {
    return valueAt(document, parsePointer(pointer));
  }

  return Object.freeze({ apply: applyPatch, parsePointer: parsePointer, get: get });
})();
if (typeof module !== "undefined") module.exports = QorPatch;
