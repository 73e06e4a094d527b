// QorPatch (web/draw/jsonpatch.js) against RFC 6901's pointer examples and
// RFC 6902's, written out here. Usage: node jsonpatch_test.js; prints "ok" or throws.
"use strict";
const assert = require("assert");
const path = require("path");
const QorPatch = require(path.resolve(__dirname, "../../web/draw/jsonpatch.js"));

// RFC 6901, section 5: the document and what each pointer refers to.
const POINTER_DOCUMENT = {
  foo: ["bar", "baz"], "": 0, "a/b": 1, "c%d": 2, "e^f": 3, "g|h": 4, "i\\j": 5, "k\"l": 6, " ": 7, "m~n": 8,
};
const POINTERS = [
  ["", POINTER_DOCUMENT], ["/foo", ["bar", "baz"]], ["/foo/0", "bar"], ["/", 0], ["/a~1b", 1], ["/c%d", 2],
  ["/e^f", 3], ["/g|h", 4], ["/i\\j", 5], ["/k\"l", 6], ["/ ", 7], ["/m~0n", 8],
];
for (const [pointer, value] of POINTERS) {
  assert.deepStrictEqual(QorPatch.get(POINTER_DOCUMENT, pointer), value, pointer);
}
assert.deepStrictEqual(QorPatch.parsePointer("/a~01/~10/~0~1"), ["a~1", "/0", "~/"]);
for (const bad of ["foo", "/~", "/a~2", "/~/"]) {
  assert.throws(() => QorPatch.parsePointer(bad), /not a JSON Pointer/, bad);
}
for (const missing of ["/foo/2", "/foo/01", "/foo/-", "/nothing", "/foo/0/deeper"]) {
  assert.throws(() => QorPatch.get(POINTER_DOCUMENT, missing), Error, missing);
}

// RFC 6902, appendix A: [section, document, patch, the result, FAILS or the error's text].
const FAILS = Symbol("the patch is refused");
const EXAMPLES = [
  ["A.1", { foo: "bar" }, [{ op: "add", path: "/baz", value: "qux" }], { baz: "qux", foo: "bar" }],
  ["A.2", { foo: ["bar", "baz"] }, [{ op: "add", path: "/foo/1", value: "qux" }], { foo: ["bar", "qux", "baz"] }],
  ["A.3", { baz: "qux", foo: "bar" }, [{ op: "remove", path: "/baz" }], { foo: "bar" }],
  ["A.4", { foo: ["bar", "qux", "baz"] }, [{ op: "remove", path: "/foo/1" }], { foo: ["bar", "baz"] }],
  ["A.5", { baz: "qux", foo: "bar" }, [{ op: "replace", path: "/baz", value: "boo" }], { baz: "boo", foo: "bar" }],
  ["A.6", { foo: { bar: "baz", waldo: "fred" }, qux: { corge: "grault" } },
    [{ op: "move", from: "/foo/waldo", path: "/qux/thud" }],
    { foo: { bar: "baz" }, qux: { corge: "grault", thud: "fred" } }],
  ["A.7", { foo: ["all", "grass", "cows", "eat"] }, [{ op: "move", from: "/foo/1", path: "/foo/3" }],
    { foo: ["all", "cows", "eat", "grass"] }],
  ["A.8", { baz: "qux", foo: ["a", 2, "c"] },
    [{ op: "test", path: "/baz", value: "qux" }, { op: "test", path: "/foo/1", value: 2 }],
    { baz: "qux", foo: ["a", 2, "c"] }],
  ["A.9", { baz: "qux" }, [{ op: "test", path: "/baz", value: "bar" }], FAILS],
  ["A.10", { foo: "bar" }, [{ op: "add", path: "/child", value: { grandchild: {} } }],
    { foo: "bar", child: { grandchild: {} } }],
  ["A.11", { foo: "bar" }, [{ op: "add", path: "/baz", value: "qux", xyz: 123 }], { foo: "bar", baz: "qux" }],
  ["A.12", { foo: "bar" }, [{ op: "add", path: "/baz/bat", value: "qux" }], FAILS],
  ["A.14", { "/": 9, "~1": 10 }, [{ op: "test", path: "/~01", value: 10 }], { "/": 9, "~1": 10 }],
  ["A.15", { "/": 9, "~1": 10 }, [{ op: "test", path: "/~01", value: "10" }], FAILS],
  ["A.16", { foo: ["bar"] }, [{ op: "add", path: "/foo/-", value: ["abc", "def"] }], { foo: ["bar", ["abc", "def"]] }],
  // Beyond the appendix: copy, the whole document, and what the RFC calls errors.
  ["copy", { foo: { bar: [1] } }, [{ op: "copy", from: "/foo", path: "/baz" }], { foo: { bar: [1] }, baz: { bar: [1] } }],
  ["whole", { foo: 1 }, [{ op: "replace", path: "", value: [2] }, { op: "add", path: "/-", value: 3 }], [2, 3]],
  ["test objects", { a: { x: 1, y: [1, { z: null }] } }, [{ op: "test", path: "/a", value: { y: [1, { z: null }], x: 1 } }],
    { a: { x: 1, y: [1, { z: null }] } }],
  ["test arrays in order", { a: [1, 2] }, [{ op: "test", path: "/a", value: [2, 1] }], FAILS],
  ["move into itself", { a: { b: {} } }, [{ op: "move", from: "/a", path: "/a/b/c" }], /into itself/],
  ["move into a sibling named like the source", { a: { x: 1 }, ab: {} }, [{ op: "move", from: "/a", path: "/ab/c" }],
    { ab: { c: { x: 1 } } }],
  ["test an object with a member more", { a: { x: 1, y: 2 } }, [{ op: "test", path: "/a", value: { x: 1 } }], FAILS],
  ["test an object with a member fewer", { a: { x: 1 } }, [{ op: "test", path: "/a", value: { x: 1, y: 2 } }], FAILS],
  ["move from nowhere", { a: 1 }, [{ op: "move", from: "/b", path: "/c" }], FAILS],
  ["copy from nowhere", { a: 1 }, [{ op: "copy", from: "/b", path: "/c" }], FAILS],
  ["replace nothing", { a: 1 }, [{ op: "replace", path: "/b", value: 2 }], FAILS],
  ["remove past the end", { a: [1] }, [{ op: "remove", path: "/a/1" }], FAILS],
  ["add past the end", { a: [1] }, [{ op: "add", path: "/a/2", value: 2 }], FAILS],
  ["unknown op", { a: 1 }, [{ op: "merge", path: "/a", value: 2 }], FAILS],
  ["no value", { a: 1 }, [{ op: "add", path: "/b" }], FAILS],
  ["no from", { a: 1 }, [{ op: "copy", path: "/b" }], FAILS],
];
for (const [section, document, patch, expected] of EXAMPLES) {
  const apply = () => QorPatch.apply(structuredClone(document), patch);
  if (expected === FAILS) assert.throws(apply, /^Error: cannot apply /, section);
  else if (expected instanceof RegExp) assert.throws(apply, expected, section);
  else assert.deepStrictEqual(apply(), expected, section);
}

// Values are copied in and out: the patched document shares nothing with the patch or itself.
const patch = [{ op: "add", path: "/a", value: { list: [1] } }, { op: "copy", from: "/a", path: "/b" }];
const patched = QorPatch.apply({}, patch);
patched.a.list.push(2);
assert.deepStrictEqual([patch[0].value.list, patched.b.list], [[1], [1]]);

console.log("ok");
