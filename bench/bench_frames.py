"""Figures of the module: next_frame() and Environment.to_json() on the
generated levels of bench_levels.h (built here through the Python API), of
10 to 10,000 agents.

    python bench/bench_frames.py [--seconds S] [--sizes 10,100,1000,10000]

Two kinds of frame, as in frame_bench.cpp:
  acting:    every collected agent is tried and declines, then the acting gate
             opens and leaves its zone; it is placed again after the frame.
  resolved:  nothing acts, the collapse search walks the whole tree and the
             level ends; is_finished is cleared after the frame.
current_frame is reset after each frame, so the frame limit never comes.

Each round times one to_json() and one frame of each kind, one right after
the other, so that a change in the machine's load affects all three alike;
the figures are the medians over the rounds. Only the calls themselves are
timed: placing the gate again and clearing the flags are not.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import qor_engine
from qor_engine import Environment, NarrativeSequencer

AGENTS_PER_ZONE = 4
SUB_ZONES_PER_ZONE = 4


def place_declining_agent(zone: Environment, index: int) -> None:
    visual_id = f"agent_{index}"
    kind = index % 7
    if kind == 0:
        zone.add_chronomancer(visual_id)
    elif kind == 1:
        zone.add_log_magician(visual_id)
    elif kind == 2:
        zone.add_factorial_magician(visual_id)
    elif kind == 3:
        zone.add_modulo_magician(visual_id)
    elif kind == 4:
        zone.add_divide_magician(visual_id)
    elif kind == 5:
        zone.add_equals_gate(visual_id, 1000.0)
    else:
        zone.add_inequality_gate(visual_id, -1000.0, "<")


def add_declined_charges(zone: Environment, index: int) -> None:
    zone.add_charge(3.0 + index % 5, qor_engine.POSITIVE, f"c{index}a")
    zone.add_charge(0.0, qor_engine.NEGATIVE, f"c{index}b")


@dataclass
class Level:
    root: Environment
    zones: int
    gate_zone: Environment | None

    def place_gate_again(self) -> None:
        assert self.gate_zone is not None
        self.gate_zone.add_equals_gate("acting_gate", 3.0)


def make_level(agent_count: int, with_acting_gate: bool) -> Level:
    zone_count = max(1, agent_count // AGENTS_PER_ZONE)
    zones: list[Environment] = []
    for i in range(zone_count):
        zone = Environment(f"zone_{i}")
        add_declined_charges(zone, i)
        if i > 0:
            zones[(i - 1) // SUB_ZONES_PER_ZONE].add_sub_environment(zone)
        zones.append(zone)
    for j in range(agent_count):
        place_declining_agent(zones[j % zone_count], j)
    level = Level(zones[0], zone_count, None)
    if with_acting_gate:
        level.gate_zone = Environment("gate_zone")
        add_declined_charges(level.gate_zone, 0)  # total 3: the gate's target
        level.place_gate_again()
        level.root.add_sub_environment(level.gate_zone)
        level.zones += 1
    return level


@dataclass
class Figures:
    agents: int
    zones: int
    json_bytes: int
    to_json: float  # median seconds per call
    acting: float
    resolved: float


def timed(call: Callable[[], object]) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / 1e9


def measure(agent_count: int, seconds: float) -> Figures:
    acting_level = make_level(agent_count, True)
    resolved_level = make_level(agent_count, False)
    acting = NarrativeSequencer(acting_level.root)
    resolved = NarrativeSequencer(resolved_level.root)
    json_bytes = len(acting_level.root.to_json().encode())

    def acting_frame() -> float:
        took = timed(acting.next_frame)
        acting.current_frame = 0
        acting_level.place_gate_again()
        return took

    def resolved_frame() -> float:
        took = timed(resolved.next_frame)
        resolved.is_finished = False
        resolved.current_frame = 0
        return took

    samples: dict[str, list[float]] = {"to_json": [], "acting": [], "resolved": []}
    acting_frame()  # the gate opens once; from then on every frame is alike
    deadline = time.perf_counter() + seconds
    while len(samples["to_json"]) < 5 or time.perf_counter() < deadline:
        samples["to_json"].append(timed(acting_level.root.to_json))
        samples["acting"].append(acting_frame())
        samples["resolved"].append(resolved_frame())
    medians = {name: statistics.median(values) for name, values in samples.items()}
    return Figures(agent_count, acting_level.zones, json_bytes, medians["to_json"], medians["acting"], medians["resolved"])


def microseconds(seconds: float) -> str:
    return f"{seconds * 1e6:,.1f}"


def report(results: list[Figures]) -> None:
    print("Python module, median per call in microseconds; ratio = next_frame / Environment.to_json()")
    header = ("agents", "zones", "json bytes", "to_json", "frame acting", "ratio", "frame resolved", "ratio")
    rows = [
        (
            f"{r.agents:,}",
            f"{r.zones:,}",
            f"{r.json_bytes:,}",
            microseconds(r.to_json),
            microseconds(r.acting),
            f"{r.acting / r.to_json:.2f}",
            microseconds(r.resolved),
            f"{r.resolved / r.to_json:.2f}",
        )
        for r in results
    ]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))
    print()
    print("Growth from one size to the next (time ratio; the agents grow tenfold):")
    for smaller, larger in zip(results, results[1:]):
        print(
            f"  {smaller.agents:>6,} -> {larger.agents:<6,}  to_json x{larger.to_json / smaller.to_json:5.1f}"
            f"  frame acting x{larger.acting / smaller.acting:5.1f}"
            f"  frame resolved x{larger.resolved / smaller.resolved:5.1f}"
        )


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="time spent on each size (default 2)")
    parser.add_argument("--sizes", default="10,100,1000,10000", help="agent counts, comma-separated")
    arguments = parser.parse_args(argv)
    sizes = [int(size) for size in str(arguments.sizes).split(",")]
    seconds = float(arguments.seconds)
    gc.disable()
    results = [measure(size, seconds) for size in sizes]
    gc.enable()
    report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
