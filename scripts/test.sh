#!/usr/bin/env bash
# Builds everything and runs every test: the engine's C++ tests (ctest), the
# module's Python tests (pytest), which also play levels on the WebAssembly
# engine under Node and compare. Exits non-zero on any failure.
#
# QOR_PYTHON_SUITE=wheel (CI) leaves the Python suite to scripts/test_wheels.sh,
# which runs it against the x86_64 wheel built from the same build folder.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

bash scripts/build.sh

echo "== C++ tests" >&2
# The build scripts/test_valgrind.sh runs under valgrind: one build for both.
configure_project build/cpp-tests "${cpp_tests_options[@]}"
"$venv/bin/cmake" --build build/cpp-tests
"$venv/bin/ctest" --test-dir build/cpp-tests --output-on-failure -j2

echo "== WebAssembly engine (for the Python tests that compare it with the module)" >&2
bash scripts/build_web.sh >/dev/null
# tsc, for the test of the module's TypeScript declarations
ensure_debian_packages node-typescript

if [[ ${QOR_PYTHON_SUITE:-} == wheel ]]; then
    echo "== Python tests: left to scripts/test_wheels.sh (QOR_PYTHON_SUITE=wheel)" >&2
else
    echo "== Python tests" >&2
    "$venv/bin/python" -m pytest -q tests/python "$@"
fi

echo "== Browser tests of the HTML replay and the level studio" >&2
bash scripts/test_browser.sh

echo "== Type stubs and typed examples" >&2
bash scripts/check_types.sh
