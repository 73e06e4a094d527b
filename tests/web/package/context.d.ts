// What the guide's TypeScript snippets use without defining it.
/// <reference types="qor-engine" />
declare const q: createQorEngine.QorEngine;
declare const level: createQorEngine.NarrativeSequencer;
declare function mark(pointer: string, problem: string): void;
declare function showBanner(text: string): void;
