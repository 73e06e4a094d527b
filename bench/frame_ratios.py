"""Prints the figures of a frame_bench.cpp run as a table of medians, the
ratio of each frame to the root's JSON, and the growth from size to size.

    python bench/frame_ratios.py RESULTS.json

RESULTS.json is what qor_frame_bench writes with --benchmark_out (run with
--benchmark_repetitions, so that medians are there).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import TypedDict, cast


class Run(TypedDict, total=False):
    run_name: str
    aggregate_name: str
    cpu_time: float
    time_unit: str
    agents: float
    zones: float
    json_bytes: float


UNIT_TO_MICROSECONDS = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
COLUMNS = (
    ("BM_RootJson", "root JSON"),
    ("BM_FrameActingWithText", "frame acting"),
    ("BM_FrameResolvedWithText", "frame resolved"),
    ("BM_RootJsonBuild", "build only"),
    ("BM_FrameActing", "acting, no text"),
    ("BM_FrameResolved", "resolved, no text"),
    ("BM_Explain", "explain"),
)


def medians(runs: list[Run]) -> dict[tuple[str, int], float]:
    """Median CPU time in microseconds by (benchmark, agents)."""
    found: dict[tuple[str, int], float] = {}
    for run in runs:
        if run.get("aggregate_name") != "median":
            continue
        name, _, size = run["run_name"].partition("/")
        found[(name, int(size))] = run["cpu_time"] * UNIT_TO_MICROSECONDS[run["time_unit"]]
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    runs = cast(list[Run], json.loads(Path(argv[1]).read_text(encoding="utf-8"))["benchmarks"])
    times = medians(runs)
    sizes = sorted({size for _, size in times})
    if not sizes:
        print("frame_ratios.py: no medians in the results (run with --benchmark_repetitions)", file=sys.stderr)
        return 1

    print("C++ core, median CPU time per call in microseconds")
    header = ["agents", *[title for _, title in COLUMNS], "acting/JSON", "resolved/JSON", "explain/frame"]
    rows = []
    for size in sizes:
        cells = [f"{size:,}"]
        cells += [f"{times[(name, size)]:,.1f}" if (name, size) in times else "-" for name, _ in COLUMNS]
        for measured, base in (("BM_FrameActingWithText", "BM_RootJson"),
                               ("BM_FrameResolvedWithText", "BM_RootJson"),
                               ("BM_Explain", "BM_FrameActingWithText")):
            if (measured, size) in times and (base, size) in times:
                cells.append(f"{times[(measured, size)] / times[(base, size)]:.2f}")
            else:
                cells.append("-")
        rows.append(cells)
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))

    depths = sorted(size for name, size in times if name == "BM_ExplainChain")
    if depths:
        print()
        print("A chain of zones, each with an agent (every zone above the deepest frozen):")
        print("   depth  frame with text  explain()  explain/frame")
        for depth in depths:
            frame, explain = times.get(("BM_FrameChain", depth)), times[("BM_ExplainChain", depth)]
            ratio = f"{explain / frame:.2f}" if frame else "-"
            print(f"  {depth:>6,}  {frame or 0:>15,.1f}  {explain:>9,.1f}  {ratio:>13}")

    print()
    print("Growth from one size to the next (time ratio; the agents grow tenfold):")
    for smaller, larger in zip(sizes, sizes[1:]):
        parts = []
        for name, title in COLUMNS[:3]:
            if (name, smaller) in times and (name, larger) in times:
                parts.append(f"{title} x{times[(name, larger)] / times[(name, smaller)]:5.1f}")
        print(f"  {smaller:>6,} -> {larger:<6,}  " + "  ".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
