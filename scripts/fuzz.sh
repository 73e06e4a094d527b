#!/usr/bin/env bash
# Builds the engine's libFuzzer harness (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz, plays every seed in fuzz/corpus,
# then fuzzes for a bounded time. Exits non-zero on any crash, sanitizer
# report, broken promise, time-out or running out of memory; the input that
# did it is left in build/fuzz/artifacts/.
#
# Usage: bash scripts/fuzz.sh [seconds]     (default 60)
#
# New inputs found on the way go to build/fuzz/corpus, not into fuzz/corpus:
# the committed seeds change only on purpose (fuzz/make_seeds.py).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [seconds]" >&2; exit 2; }
cd "$root"

# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages clang libclang-rt-14-dev
bash scripts/setup.sh

build=$root/build/fuzz
echo "== building the fuzzer in $build" >&2
configure_project "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQOR_BUILD_FUZZERS=ON -DQOR_BUILD_MODULE=OFF -DQOR_BUILD_TESTS=OFF
"$venv/bin/cmake" --build "$build" --target level_fuzzer
fuzzer=$build/fuzz/level_fuzzer

mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log=$build/fuzz.log
common=(-artifact_prefix="$build/artifacts/" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1)

# run STEP ARGS...: runs the fuzzer, its chatter to the log; on failure shows
# the end of the log (the report and the saved input) and fails.
run() {
    local step=$1
    shift
    echo "== $step" >&2
    if ! "$fuzzer" "${common[@]}" "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz: FAILED in $step (full log: $log)" >&2
        exit 1
    fi
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log" >&2 || true
}

run "seed corpus" "$root"/fuzz/corpus/*
run "fuzzing for $seconds s" -max_total_time="$seconds" "$build/corpus" "$root/fuzz/corpus"
echo "fuzz: no crash in the seeds or in $seconds s of fuzzing" >&2
