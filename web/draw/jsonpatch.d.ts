// TypeScript declarations of jsonpatch.js (QorPatch), beside it. In Node:
//
//     import QorPatch = require("./jsonpatch.js");
//
// In a page that loads jsonpatch.js with a <script> element, the global
// `QorPatch` has the same type.

declare namespace QorPatch {
  /** One RFC 6902 operation; the engine's patches use only "add", "remove" and "replace". */
  interface Operation {
    op: "add" | "remove" | "replace" | "move" | "copy" | "test";
    /** A JSON Pointer (RFC 6901). */
    path: string;
    /** For "move" and "copy". */
    from?: string;
    /** For "add", "replace" and "test". */
    value?: unknown;
  }

  /**
   * Applies the operations to `document`, changing it in place, and returns
   * the patched document: an operation on the whole document (path "")
   * returns its value instead, so always use the result. Throws an Error
   * naming the operation it cannot apply (the document may then be half
   * patched).
   */
  function apply(document: unknown, operations: readonly Operation[]): unknown;
  /** The reference tokens of a JSON Pointer; throws an Error for a text that is not one. */
  function parsePointer(pointer: string): string[];
  /** The value the pointer refers to; throws an Error when it refers to nothing. */
  function get(document: unknown, pointer: string): unknown;
}

export = QorPatch;
export as namespace QorPatch;
