#!/usr/bin/env bash
# Builds the engine's libFuzzer harnesses (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz: level_fuzzer (levels built and
# played by a meddling host, seeds in fuzz/corpus), load_fuzzer (loading
# saves, seeds in fuzz/save_corpus) and level_text_fuzzer (reading, writing
# and building level files, seeds in fuzz/level_text_corpus). Each plays its
# seeds, then fuzzes for a third of the given time. Exits non-zero on any crash, sanitizer report, broken
# promise, time-out or running out of memory; the input that did it is left
# in build/fuzz/artifacts/.
#
# Usage: bash scripts/fuzz.sh [seconds]     (default 60, shared by the three)
#
# New inputs found on the way go to build/fuzz/corpus, build/fuzz/save_corpus
# and build/fuzz/level_text_corpus, not into the committed seeds, which change
# only on purpose (fuzz/make_seeds.py, tests/saves/make_saves.py; the level
# texts are the sample levels and bad files of the tests).
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
"$venv/bin/cmake" --build "$build" --target level_fuzzer load_fuzzer level_text_fuzzer

mkdir -p "$build/corpus" "$build/save_corpus" "$build/level_text_corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log=$build/fuzz.log
common=(-artifact_prefix="$build/artifacts/" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1)

# run FUZZER STEP ARGS...: runs the fuzzer, its chatter to the log; on
# failure shows the end of the log (the report and the saved input) and fails.
run() {
    local fuzzer=$build/fuzz/$1 step="$1: $2"
    shift 2
    echo "== $step" >&2
    if ! "$fuzzer" "${common[@]}" "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz: FAILED in $step (full log: $log)" >&2
        exit 1
    fi
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log" >&2 || true
}

# Each gets at least a second: libFuzzer reads -max_total_time=0 as "no limit".
level_seconds=$(((seconds + 2) / 3))
load_seconds=$(((seconds + 1) / 3))
text_seconds=$((seconds / 3))
((load_seconds > 0)) || load_seconds=1
((text_seconds > 0)) || text_seconds=1
run level_fuzzer "seed corpus" "$root"/fuzz/corpus/*
run load_fuzzer "seed corpus" "$root"/fuzz/save_corpus/*
run level_text_fuzzer "seed corpus" "$root"/fuzz/level_text_corpus/*
run level_fuzzer "fuzzing for $level_seconds s" -max_total_time="$level_seconds" "$build/corpus" "$root/fuzz/corpus"
run load_fuzzer "fuzzing for $load_seconds s" -max_total_time="$load_seconds" "$build/save_corpus" "$root/fuzz/save_corpus"
# Level files reach 8 MiB; the fuzzer's inputs stay far smaller.
run level_text_fuzzer "fuzzing for $text_seconds s" -max_total_time="$text_seconds" -max_len=4096 \
    -dict="$root/fuzz/level_text.dict" "$build/level_text_corpus" "$root/fuzz/level_text_corpus"
echo "fuzz: no crash in the seeds or in $seconds s of fuzzing" >&2
