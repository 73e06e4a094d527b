"""Figures of a host that keeps a level's state as parsed JSON: by whole
frames (next_frame() + json.loads) against by patches (next_frame_patch() +
json.loads of the patch + applying it in place with the jsonpatch package).

    python bench/bench_patches.py [--frames N] [--sizes 1000,10000]

Each size plays two builds of one level, one by each path, in blocks of five
calls that take turns, and times every call of both; the figures are the
medians per call. The level is
bench_frames.py's (one zone per four agents that decline, every zone holding
two charges, up to four sub-zones per zone) with a Plus Magician added to
every zone: each frame the first leaf's magician adds its zone's two charges
and leaves, so a frame changes one zone's charges and agents, the counter and
the event. The first call of each build (the patch path's whole document) is
not timed. The garbage collector is off while timing, for both paths alike.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import time
from pathlib import Path
from typing import Any

import jsonpatch

from qor_engine import Environment, NarrativeSequencer

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_frames import make_level  # noqa: E402


def acting_level(agent_count: int) -> tuple[Environment, int]:
    level = make_level(agent_count, False)
    zones = [level.root]
    for zone in zones:  # breadth first; the list grows as it is read
        zone.add_plus_magician(f"adder_{len(zones)}")
        zones.extend(zone.sub_environments)
    return level.root, len(zones)


def timed(call: Any) -> tuple[float, Any]:
    start = time.perf_counter_ns()
    result = call()
    return (time.perf_counter_ns() - start) / 1e9, result


class SizeUnderTest:
    def __init__(self, agent_count: int) -> None:
        self.agent_count = agent_count
        root, self.zones = acting_level(agent_count)
        self.by_frames = NarrativeSequencer(root)
        self.by_patches = NarrativeSequencer.load(self.by_frames.save())
        self.frame_state: Any = json.loads(self.by_frames.next_frame())
        self.patch_state: Any = jsonpatch.apply_patch({}, json.loads(self.by_patches.next_frame_patch()))
        self.frame_bytes = 0
        self.patch_bytes = 0
        self.samples: dict[str, list[float]] = {"next_frame": [], "loads": [], "next_frame_patch": [],
                                                 "patch_loads": [], "apply": []}

    def play_by_frames(self) -> None:
        took, text = timed(self.by_frames.next_frame)
        self.samples["next_frame"].append(took)
        took, self.frame_state = timed(lambda: json.loads(text))
        self.samples["loads"].append(took)
        self.frame_bytes = len(text.encode())

    def play_by_patches(self) -> None:
        took, patch_text = timed(self.by_patches.next_frame_patch)
        self.samples["next_frame_patch"].append(took)
        took, patch = timed(lambda: json.loads(patch_text))
        self.samples["patch_loads"].append(took)
        took, self.patch_state = timed(lambda: jsonpatch.apply_patch(self.patch_state, patch, in_place=True))
        self.samples["apply"].append(took)
        self.patch_bytes = max(self.patch_bytes, len(patch_text.encode()))

    def median(self, name: str) -> float:
        return statistics.median(self.samples[name])


BLOCK = 5


def microseconds(seconds: float) -> str:
    return f"{seconds * 1e6:,.0f}"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=40, help="timed frames per size (default 40)")
    parser.add_argument("--sizes", default="1000,10000", help="agent counts, comma-separated")
    arguments = parser.parse_args(argv)
    sizes = [SizeUnderTest(int(size)) for size in str(arguments.sizes).split(",")]
    gc.collect()
    gc.disable()
    # Blocks of calls take turns: each path runs as its own host would, its
    # caches not filled by the other path's work, and drift in the machine's
    # load touches both paths and all sizes alike.
    for _ in range(max(1, int(arguments.frames) // BLOCK)):
        for size in sizes:
            for play in (size.play_by_frames, size.play_by_patches):
                for _ in range(BLOCK):
                    play()
    gc.enable()
    for size in sizes:
        assert size.patch_state == size.frame_state, "the two paths keep different states"

    print("Host state kept by frames (next_frame + json.loads) against by patches")
    print("(next_frame_patch + json.loads + jsonpatch.apply_patch in place); median microseconds per call")
    header = ("agents", "zones", "frame bytes", "patch bytes", "next_frame", "loads", "frames path",
              "next_frame_patch", "loads", "apply", "patches path", "ratio")
    rows = []
    for size in sizes:
        frames_path = size.median("next_frame") + size.median("loads")
        patches_path = size.median("next_frame_patch") + size.median("patch_loads") + size.median("apply")
        rows.append((f"{size.agent_count:,}", f"{size.zones:,}", f"{size.frame_bytes:,}", f"{size.patch_bytes:,}",
                     microseconds(size.median("next_frame")), microseconds(size.median("loads")),
                     microseconds(frames_path), microseconds(size.median("next_frame_patch")),
                     microseconds(size.median("patch_loads")), microseconds(size.median("apply")),
                     microseconds(patches_path), f"{patches_path / frames_path:.3f}"))
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))
    print("(patch bytes: the largest patch of the run; ratio: patches path / frames path)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
