"""Figures of the module: next_frame() and Environment.to_json() on the
generated levels of bench_levels.h (built here through the Python API), of
10 to 10,000 agents.

    python bench/bench_frames.py [--seconds S] [--sizes 10,100,1000,10000]

Two kinds of frame, as in frame_bench.cpp:
  acting:    every collected agent is tried and declines, then the acting gate
             opens and leaves its zone; it is placed again after the frame.
  resolved:  nothing acts and no zone can collapse, so the level ends;
             is_finished is cleared after the frame.
current_frame is reset after each frame, so the frame limit never comes.

A frame is compared with to_json() on its own level's tree, timed right
before it, so that a change in the machine's load touches both alike. The
sizes take turns in blocks of rounds (each block after one untimed round that
brings its levels back into the caches), so a change in load over the run
touches all sizes alike too. The figures are the medians over the rounds.
Only the calls themselves are timed: placing the gate again and clearing the
flags are not.
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
    # median seconds per call; each frame kind with to_json() on its own tree
    acting_to_json: float
    acting: float
    resolved_to_json: float
    resolved: float


def timed(call: Callable[[], object]) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / 1e9


class SizeUnderTest:
    """The two levels of one size and the samples taken on them."""

    def __init__(self, agent_count: int) -> None:
        self.agent_count = agent_count
        self.acting_level = make_level(agent_count, True)
        self.resolved_level = make_level(agent_count, False)
        self.acting = NarrativeSequencer(self.acting_level.root)
        self.resolved = NarrativeSequencer(self.resolved_level.root)
        self.json_bytes = len(self.acting_level.root.to_json().encode())
        self.samples: dict[str, list[float]] = {
            "acting_to_json": [],
            "acting": [],
            "resolved_to_json": [],
            "resolved": [],
        }
        self.acting_frame()  # the gate opens once; from then on every frame is alike

    def acting_frame(self) -> float:
        took = timed(self.acting.next_frame)
        self.acting.current_frame = 0
        self.acting_level.place_gate_again()
        return took

    def resolved_frame(self) -> float:
        took = timed(self.resolved.next_frame)
        self.resolved.is_finished = False
        self.resolved.current_frame = 0
        return took

    def take_round(self) -> dict[str, float]:
        """Each level's to_json() and then its frame; the seconds each took."""
        return {
            "acting_to_json": timed(self.acting_level.root.to_json),
            "acting": self.acting_frame(),
            "resolved_to_json": timed(self.resolved_level.root.to_json),
            "resolved": self.resolved_frame(),
        }

    def take_block(self, seconds: float) -> None:
        """Rounds for about `seconds`, after one untimed round that brings
        this size's levels back into the caches."""
        warm_up = sum(self.take_round().values())
        for _ in range(max(1, round(seconds / warm_up))):
            for name, took in self.take_round().items():
                self.samples[name].append(took)

    def figures(self) -> Figures:
        medians = {name: statistics.median(values) for name, values in self.samples.items()}
        return Figures(
            self.agent_count,
            self.acting_level.zones,
            self.json_bytes,
            medians["acting_to_json"],
            medians["acting"],
            medians["resolved_to_json"],
            medians["resolved"],
        )


BLOCK_SECONDS = 0.25


def measure(agent_counts: list[int], seconds: float) -> list[Figures]:
    """Blocks of rounds on every size in turn until about `seconds` per size
    have passed: a change in the machine's load over the run touches all sizes
    alike, so the growth from one size to the next stays fair, while each
    block runs on warm caches as a game playing one level does."""
    sizes = [SizeUnderTest(count) for count in agent_counts]
    deadline = time.perf_counter() + seconds * len(sizes)
    while len(sizes[0].samples["acting"]) < 5 or time.perf_counter() < deadline:
        for size in sizes:
            size.take_block(BLOCK_SECONDS)
    return [size.figures() for size in sizes]


def microseconds(seconds: float) -> str:
    return f"{seconds * 1e6:,.1f}"


def report(results: list[Figures]) -> None:
    print("Python module, median per call in microseconds; ratio = next_frame / Environment.to_json()")
    print("on the same tree (each kind of frame has a level of its own)")
    header = (
        "agents",
        "zones",
        "json bytes",
        "to_json",
        "frame acting",
        "ratio",
        "to_json",
        "frame resolved",
        "ratio",
    )
    rows = [
        (
            f"{r.agents:,}",
            f"{r.zones:,}",
            f"{r.json_bytes:,}",
            microseconds(r.acting_to_json),
            microseconds(r.acting),
            f"{r.acting / r.acting_to_json:.2f}",
            microseconds(r.resolved_to_json),
            microseconds(r.resolved),
            f"{r.resolved / r.resolved_to_json:.2f}",
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
            f"  {smaller.agents:>6,} -> {larger.agents:<6,}"
            f"  to_json x{larger.acting_to_json / smaller.acting_to_json:5.1f}"
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
    results = measure(sizes, seconds)
    gc.enable()
    report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
