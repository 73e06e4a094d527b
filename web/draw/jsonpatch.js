/* QorPatch: applies an RFC 6902 JSON Patch of the operations the engine
 * writes ("add", "remove", "replace") to a parsed JSON document. Paths are
 * RFC 6901 JSON Pointers. It defines the one name QorPatch.
 *
 *   QorPatch.apply(document, operations) -> the patched document
 *     Changes `document` in place and returns it; an operation on the whole
 *     document (path "") returns its value instead, so always use the result.
 *     Values are copied in: the document never shares objects with the patch,
 *     so a patch can be applied again to another copy.
 *     Throws an Error, naming the operation, for an operation it cannot
 *     apply (an unknown op, a path that does not exist); the document may
 *     then be half patched.
 *
 *   QorPatch.parsePointer(pointer) -> [reference tokens]
 */
const QorPatch = (function () {
  "use strict";

  function parsePointer(pointer) {
    if (pointer === "") return [];
    if (pointer[0] !== "/") throw new Error("not a JSON Pointer: " + JSON.stringify(pointer));
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

  // The container that holds the last token of a path.
  function parentOf(document, tokens) {
    let node = document;
    for (const token of tokens.slice(0, -1)) {
      if (Array.isArray(node)) node = node[arrayIndex(node, token, false)];
      else if (node !== null && typeof node === "object" && hasMember(node, token)) node = node[token];
      else throw new Error("no member " + JSON.stringify(token));
    }
    if (node === null || typeof node !== "object") throw new Error("not a container");
    return node;
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

  const OPERATIONS = { add: add, remove: remove, replace: replace };

  function applyOne(document, operation) {
    const apply = hasMember(OPERATIONS, operation.op) ? OPERATIONS[operation.op] : null;
    if (!apply) {
      throw new Error("unknown op " + JSON.stringify(operation.op));
    }
    const tokens = parsePointer(operation.path);
    if (operation.op !== "remove" && !hasMember(operation, "value")) throw new Error("no value");
    const value = operation.op === "remove" ? undefined : structuredClone(operation.value);
    if (tokens.length === 0) {
      if (operation.op === "remove") throw new Error("cannot remove the whole document");
      return value;
    }
    apply(parentOf(document, tokens), tokens[tokens.length - 1], value);
    return document;
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

  return Object.freeze({ apply: applyPatch, parsePointer: parsePointer });
})();
if (typeof module !== "undefined") module.exports = QorPatch;
