// What a file that is no level file looks like, from its first bytes, so the
// studio can say "it is an image (PNG)" instead of where its bytes stop
// being UTF-8 text or JSON; and a file's bytes as text.
"use strict";

var QorFileKinds = (function () {
  const SIGNATURES = [
    { bytes: [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a], kind: "an image (PNG)" },
    { bytes: [0xff, 0xd8, 0xff], kind: "an image (JPEG)" },
    { bytes: [0x47, 0x49, 0x46, 0x38], kind: "an image (GIF)" },
    { bytes: [0x25, 0x50, 0x44, 0x46, 0x2d], kind: "a PDF document" },
    { bytes: [0x50, 0x4b, 0x03, 0x04], kind: "a ZIP archive" },
    { bytes: [0x1f, 0x8b], kind: "a gzip archive" },
  ];
  // The engine's save format: its magic, then its version and its kind
  // (little-endian 16-bit numbers; docs/save_format.md).
  const SAVE_MAGIC = [0x89, 0x51, 0x4f, 0x52, 0x0d, 0x0a, 0x1a, 0x0a];
  const SAVE_KINDS = { 1: "a save of a zone", 2: "a save of a level in play", 3: "a save of a level in play" };

  const startsWith = (bytes, prefix, at) => prefix.every((byte, i) => bytes[(at || 0) + i] === byte);

  function saveKind(bytes) {
    const kind = bytes.length >= 12 ? bytes[10] | (bytes[11] << 8) : 0;
    return (SAVE_KINDS[kind] || "a save") + " (the engine's save format)";
  }

  // A page: the replay page the studio and replay.py write, the studio
  // itself, or another.
  function pageKind(bytes) {
    const head = new TextDecoder("utf-8").decode(bytes.subarray(0, 1024)).replace(/^\uFEFF/, "").trimStart().toLowerCase();
    if (!head.startsWith("<!doctype html") && !head.startsWith("<html")) return null;
    const page = new TextDecoder("utf-8").decode(bytes);
    if (page.includes('id="replay-data"')) return "a replay page (open the level file it was made from)";
    if (page.includes('id="studio-samples"')) return "the level studio's own page";
    return "a web page (HTML)";
  }

  // What the file is when it is plainly not a level file, else null.
  function kindOf(bytes) {
    if (startsWith(bytes, SAVE_MAGIC)) return saveKind(bytes);
    if (startsWith(bytes, [0x52, 0x49, 0x46, 0x46]) && startsWith(bytes, [0x57, 0x45, 0x42, 0x50], 8)) return "an image (WebP)";
    const known = SIGNATURES.find(({ bytes: prefix }) => startsWith(bytes, prefix));
    return known ? known.kind : pageKind(bytes);
  }

  // The bytes as text when they are UTF-8, else null.
  function utf8Text(bytes) {
    try {
      return new TextDecoder("utf-8", { fatal: true, ignoreBOM: true }).decode(bytes);
    } catch (error) {
      return null;
    }
  }

  return { kindOf, utf8Text };
})();

if (typeof module !== "undefined") module.exports = QorFileKinds;
