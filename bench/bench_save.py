"""Figures of saving and loading: NarrativeSequencer.save() and .load(), and
a pickle round trip, on the generated levels of bench_frames.py (10 to 10,000
agents), each compared with Environment.to_json() of the same tree.

    python bench/bench_save.py [--seconds S] [--sizes 10,100,1000,10000]

The sizes take turns in rounds, and to_json() is timed right before the save
and load it is compared with, so that a change in the machine's load touches
all alike. The figures are the medians over the rounds. The aim is a save plus
a load within 3 times the to_json() of the same level.
"""

from __future__ import annotations

import argparse
import gc
import pickle
import statistics
import sys
import time
from pathlib import Path

from qor_engine import NarrativeSequencer

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_frames import make_level, timed  # noqa: E402


class SizeUnderTest:
    def __init__(self, agent_count: int) -> None:
        self.agent_count = agent_count
        self.level = NarrativeSequencer(make_level(agent_count, False).root)
        self.saved = self.level.save()
        self.json_bytes = len(self.level.root_environment.to_json().encode())
        self.samples: dict[str, list[float]] = {"to_json": [], "save": [], "load": [], "pickle": []}

    def round(self) -> None:
        self.level.root_environment.to_json()  # untimed: brings the level back into the caches
        self.samples["to_json"].append(timed(self.level.root_environment.to_json))
        self.samples["save"].append(timed(self.level.save))
        self.samples["load"].append(timed(lambda: NarrativeSequencer.load(self.saved)))
        self.samples["pickle"].append(timed(lambda: pickle.loads(pickle.dumps(self.level, 5))))

    def median(self, what: str) -> float:
        return statistics.median(self.samples[what])


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="time spent on each size (default 2)")
    parser.add_argument("--sizes", default="10,100,1000,10000", help="agent counts, comma-separated")
    arguments = parser.parse_args(argv)
    sizes = [SizeUnderTest(int(size)) for size in str(arguments.sizes).split(",")]
    deadline = time.monotonic() + float(arguments.seconds) * len(sizes)
    gc.disable()
    while time.monotonic() < deadline or any(len(size.samples["save"]) < 5 for size in sizes):
        for size in sizes:
            size.round()
    gc.enable()

    print("Python module, median per call in microseconds; ratio = (save + load) / Environment.to_json()")
    print(f"{'agents':>7} {'save bytes':>10} {'JSON bytes':>10} {'to_json':>9} {'save':>9} {'load':>9}"
          f" {'pickle':>9} {'ratio':>6}")
    for size in sizes:
        to_json, save, load = size.median("to_json"), size.median("save"), size.median("load")
        print(f"{size.agent_count:>7,} {len(size.saved):>10,} {size.json_bytes:>10,} {to_json * 1e6:>9.1f}"
              f" {save * 1e6:>9.1f} {load * 1e6:>9.1f} {size.median('pickle') * 1e6:>9.1f}"
              f" {(save + load) / to_json:>6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
