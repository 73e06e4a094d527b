#!/usr/bin/env bash
# Benchmarks: figures, not pass/fail. Builds the engine core with Release flags
# and Google Benchmark (Debian: libbenchmark-dev) and the module, then prints
#   1. the C++ core: one frame step (NextFrame, with and without writing the
#      response as text) and the root's JSON (to_json + to_json_text), on
#      generated levels of 10, 100, 1,000 and 10,000 agents;
#   2. the Python module: next_frame() and Environment.to_json() on the same
#      levels; saving and loading; and a host that keeps the level's state by
#      frames (next_frame + json.loads) or by patches (next_frame_patch +
#      jsonpatch);
#   3. the same frames in the WebAssembly engine under Node, against the module;
# each with the ratio of a frame to the root's JSON and the growth from one
# size to the next. The levels are described in bench/bench_levels.h.
#
# Usage: bash scripts/bench.sh [--quick]    (--quick: shorter runs, rougher figures)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"

repetitions=7
min_time=0.3
py_seconds=3
patch_frames=60
if [[ ${1:-} == --quick ]]; then
    repetitions=3
    min_time=0.1
    py_seconds=1
    patch_frames=20
fi

# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages libbenchmark-dev
bash scripts/build.sh # the module, Release (pyproject.toml), and the set-up

echo "== building the C++ benchmarks (Release)" >&2
configure_project build/bench -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_BENCHMARKS=ON \
    -DQOR_BUILD_MODULE=OFF
"$venv/bin/cmake" --build build/bench --target qor_frame_bench qor_level_file_bench qor_math_bench >&2

echo "== machine"
echo "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo

echo "== C++ core (Google Benchmark, $repetitions repetitions, randomly interleaved)" >&2
results=build/bench/frame_bench.json
build/bench/bench/qor_frame_bench --benchmark_repetitions="$repetitions" \
    --benchmark_min_time="$min_time" --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out="$results" \
    --benchmark_out_format=json >&2
"$venv/bin/python" bench/frame_ratios.py "$results"
echo

echo "== Reading and building a level file" >&2
build/bench/bench/qor_level_file_bench
echo

echo "== log, log10 and pow: the engine's against the system library's" >&2
build/bench/bench/qor_math_bench
echo

echo "== Python module" >&2
"$venv/bin/python" bench/bench_frames.py --seconds "$py_seconds"
echo

echo "== Saving and loading" >&2
"$venv/bin/python" bench/bench_save.py --seconds "$py_seconds"
echo

echo "== A host's state by frames or by patches" >&2
"$venv/bin/python" bench/bench_patches.py --frames "$patch_frames"
echo

echo "== WebAssembly under Node against the module" >&2
bash scripts/build_web.sh >/dev/null
"$venv/bin/python" bench/bench_web.py --seconds "$py_seconds"
