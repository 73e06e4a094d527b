"""A frame's cost in the WebAssembly engine under Node against the native
module: next_frame() and Environment.to_json() on the levels of
bench_frames.py, in both engines, and the WebAssembly engine's
next_frame_bytes() (the frame as UTF-8 bytes) against the native
next_frame().

    python bench/bench_web.py [--seconds S] [--sizes 100,1000,10000] [--turns N]

Needs build/web/qor_engine.js (bash scripts/build_web.sh). The two engines
take turns (native, then WebAssembly, N times), so that a change in the
machine's load touches both alike; each figure is the median of the turns'
medians.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
from pathlib import Path

import bench_frames

BENCH = Path(__file__).resolve().parent
ENGINE = BENCH.parent / "build" / "web" / "qor_engine.js"
KINDS = ("acting", "resolved", "acting_to_json", "resolved_to_json")
WEB_KINDS = (*KINDS, "acting_bytes", "resolved_bytes")


def native_turn(sizes: list[int], seconds: float) -> dict[int, dict[str, float]]:
    gc.disable()
    results = bench_frames.measure(sizes, seconds)
    gc.enable()
    return {r.agents: {"acting": r.acting, "resolved": r.resolved, "acting_to_json": r.acting_to_json,
                       "resolved_to_json": r.resolved_to_json} for r in results}


def web_turn(sizes: list[int], seconds: float) -> dict[int, dict[str, float]]:
    done = subprocess.run(["node", str(BENCH / "bench_web.js"), str(ENGINE), str(seconds), *map(str, sizes)],
                          capture_output=True, text=True, check=True)
    return {int(size): figures for size, figures in json.loads(done.stdout).items()}


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time on each size per turn (default 1)")
    parser.add_argument("--sizes", default="100,1000,10000", help="agent counts, comma-separated")
    parser.add_argument("--turns", type=int, default=3, help="turns of each engine (default 3)")
    arguments = parser.parse_args(argv)
    if not ENGINE.exists():
        sys.exit(f"{ENGINE} is missing: bash scripts/build_web.sh")
    sizes = [int(size) for size in str(arguments.sizes).split(",")]
    turns: dict[str, list[dict[int, dict[str, float]]]] = {"native": [], "web": []}
    for _ in range(arguments.turns):
        turns["native"].append(native_turn(sizes, arguments.seconds))
        turns["web"].append(web_turn(sizes, arguments.seconds))
    figures = {engine: {size: {kind: statistics.median(turn[size][kind] for turn in runs)
                               for kind in (WEB_KINDS if engine == "web" else KINDS)}
                        for size in sizes} for engine, runs in turns.items()}
    print("Median microseconds per call; ratio = WebAssembly (Node) / native module (CPython)")
    print(f"{'agents':>7} {'kind':>9} {'native frame':>13} {'wasm frame':>11} {'ratio':>6}"
          f" {'native to_json':>15} {'wasm to_json':>13} {'ratio':>6} {'wasm bytes':>11} {'ratio':>6}")
    for size in sizes:
        for kind in ("acting", "resolved"):
            native, web = figures["native"][size], figures["web"][size]
            text = f"{kind}_to_json"
            print(f"{size:>7,} {kind:>9} {native[kind] * 1e6:>13,.1f} {web[kind] * 1e6:>11,.1f}"
                  f" {web[kind] / native[kind]:>6.2f} {native[text] * 1e6:>15,.1f} {web[text] * 1e6:>13,.1f}"
                  f" {web[text] / native[text]:>6.2f} {web[kind + '_bytes'] * 1e6:>11,.1f}"
                  f" {web[kind + '_bytes'] / native[kind]:>6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
