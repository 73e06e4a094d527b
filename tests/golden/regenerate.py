#!/usr/bin/env python3
"""Rewrites the golden frame texts from the running x86_64 build.

    .venv/bin/python tests/golden/regenerate.py

Run it after a deliberate change of the engine's behaviour, of the sample
levels in examples/levels or of golden_levels.py, then review the diff of
tests/golden/ and commit it with the change. It refuses to run on anything but
a 64-bit x86_64 interpreter: the goldens are the x86_64 results.

Before writing anything it checks that
  * every generated level keeps its pow/log/log10 results away from other
    agents (see golden_levels.py), and
  * the frames are the same with glibc's FMA variants of pow/log turned off,
    so that any x86_64 CPU reproduces them byte for byte.
"""

from __future__ import annotations

import os
import platform
import struct
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import golden_levels  # noqa: E402
import golden_replay as gr  # noqa: E402


def refuse_unless_x86_64() -> None:
    if struct.calcsize("P") != 8 or platform.machine() not in ("x86_64", "AMD64"):
        sys.exit(f"regenerate.py: refusing to run on {platform.machine()} with "
                 f"{struct.calcsize('P') * 8}-bit pointers: the goldens are made on x86_64 only")


def cpu_has_fma() -> bool:
    try:
        flags = Path("/proc/cpuinfo").read_text()
    except OSError:
        return False
    return " fma " in flags.replace("\n", " ")


def main() -> int:
    refuse_unless_x86_64()
    levels = golden_levels.generated_levels()
    samples = gr.sample_paths()
    problems: list[str] = []

    replays: dict[str, gr.Replay] = {}
    sources: dict[str, str] = {}
    for level in levels:
        replays[level["name"]] = gr.play_generated(level)
        sources[level["name"]] = "generated"
    for path in samples:
        name = gr.sample_name(path)
        if name in replays:
            problems.append(f"{name}: the name is used by a generated level too")
        replays[name] = gr.play_sample(path)
        sources[name] = path.relative_to(gr.REPO).as_posix()

    entries: dict[str, dict[str, Any]] = {}
    for name, replay in replays.items():
        results = gr.track_libm_results(replay.initial, replay.frames)
        entry: dict[str, Any] = {
            "source": sources[name],
            "frames": len(replay.frames),
            "initial_sha256": gr.sha256(replay.initial),
            "frames_sha256": gr.sha256(gr.frames_text(replay.frames)),
            "libm_results": results.count,
        }
        if results.fed:
            if sources[name] == "generated":
                problems += [f"{name}: {line}" for line in results.fed[:5]]
            else:
                # Sample levels are written for people, not for this check: their
                # later spells may read pow/log results, which the 32-bit build
                # must then reproduce exactly.
                entry["libm_results_read_later"] = True
        entries[name] = entry

    if cpu_has_fma():
        environment = dict(os.environ)
        environment["GLIBC_TUNABLES"] = gr.NO_FMA_TUNABLES
        other = gr.replay_all_elsewhere(levels, samples, environment)
        for name, replay in replays.items():
            if other.get(name) == replay.frames:
                continue
            problems.append(f"{name}: the frames change when glibc's FMA variants are turned off")
            results = gr.track_libm_results(replay.initial, replay.frames)
            for number, (mine, theirs) in enumerate(zip(replay.frames, other[name]), start=1):
                comparison = gr.compare_frame(mine, theirs, results.per_frame[number - 1], allow_ulp=True)
                detail = comparison.difference or f"pow/log results {sorted(comparison.ulp_results)} one ULP apart"
                problems.append(f"    first at frame {number}: {detail}")
                if mine != theirs:
                    break
    else:
        print("regenerate.py: this CPU has no FMA; the check against glibc's FMA variants is skipped",
              file=sys.stderr)

    if problems:
        print("regenerate.py: nothing written:", *problems, sep="\n  ", file=sys.stderr)
        print("  (add FMA-dependent sweep zones to FMA_SENSITIVE in golden_levels.py)", file=sys.stderr)
        return 1

    gr.FRAMES_DIR.mkdir(parents=True, exist_ok=True)
    gr.LEVELS_FILE.write_text(gr.dump_levels(levels), encoding="utf-8")
    for name, replay in replays.items():
        gr.frames_path(name).write_text(gr.frames_text(replay.frames), encoding="utf-8")
    for stale in gr.FRAMES_DIR.glob("*.jsonl"):
        if stale.stem not in replays:
            stale.unlink()
    manifest = {
        "about": "made by tests/golden/regenerate.py on x86_64; see golden_replay.py",
        "levels": entries,
    }
    gr.MANIFEST_FILE.write_text(gr.json.dumps(manifest, indent=1, sort_keys=False) + "\n", encoding="utf-8")
    total_frames = sum(entry["frames"] for entry in entries.values())
    total_libm = sum(entry["libm_results"] for entry in entries.values())
    print(f"regenerate.py: wrote {len(entries)} levels ({len(levels)} generated, {len(samples)} samples), "
          f"{total_frames} frames, {total_libm} pow/log/log10 results")
    return 0


if __name__ == "__main__":
    sys.exit(main())
