#!/usr/bin/env bash
# Builds the C++ tests and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc, -DQOR_SANITIZE=ON) in build/sanitize and
# runs everything against them:
#   1. the C++ tests (ctest), LeakSanitizer on;
#   2. the whole Python suite (tests/python) importing the sanitized module,
#      with the ASan runtime preloaded into the interpreter. Leak checking is
#      off there: the interpreter's own allocations at exit are not ours.
# Any sanitizer report fails the run: the sanitizers halt on the first one,
# and every report is also written under build/sanitize/reports/, which must
# stay empty (that catches reports from subprocesses too).
# Arguments go to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

bash scripts/setup.sh
build=$root/build/sanitize
reports=$build/reports

echo "== building with AddressSanitizer and UndefinedBehaviorSanitizer in $build" >&2
configure_project "$build" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQOR_SANITIZE=ON -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=ON
"$venv/bin/cmake" --build "$build"

rm -rf "$reports"
mkdir -p "$reports"
sanitizer_options="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export UBSAN_OPTIONS="$sanitizer_options:log_path=$reports/ubsan"

# check_reports STEP: fails when any sanitizer wrote a report.
check_reports() {
    if compgen -G "$reports/*" >/dev/null; then
        head -n 80 "$reports"/* >&2
        echo "sanitizers: reports in $1 (see $reports)" >&2
        exit 1
    fi
}

echo "== C++ tests under ASan, UBSan and LSan" >&2
ASAN_OPTIONS="$sanitizer_options:detect_leaks=1:log_path=$reports/asan" \
    "$venv/bin/ctest" --test-dir "$build" --output-on-failure -j2
check_reports "the C++ tests"

echo "== Python tests against the sanitized module" >&2
runtime=$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)
module_check='import qor_engine; print(qor_engine.__file__)'
# PYTHONMALLOC=malloc sends the interpreter's small objects through ASan's
# allocator as well, so that a stray write into one is caught.
run_python() {
    env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
        ASAN_OPTIONS="$sanitizer_options:detect_leaks=0:log_path=$reports/asan" \
        QOR_SANITIZED_BUILD="$build" "$venv/bin/python" "$@"
}
imported=$(run_python -c "$module_check")
case $imported in
    "$build"/qor_engine*.so) echo "sanitizers: the tests import $imported" >&2 ;;
    *)
        echo "sanitizers: the tests would import $imported, not the sanitized build in $build" >&2
        exit 1
        ;;
esac
run_python -m pytest -q -p no:cacheprovider tests/python "$@"
check_reports "the Python tests"
echo "sanitizers: no report" >&2
