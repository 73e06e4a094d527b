#!/usr/bin/env bash
# Builds the C++ tests without sanitizers (gcc, -O2 -g) in build/cpp-tests, the
# test command's build of them (built once when both run), and runs every one
# of them under valgrind's memcheck: any invalid read or write,
# use of uninitialised memory or leaked block (definite, indirect or possible)
# fails the run. All tests run, the million-deep ones included.
# Arguments go to the test binaries (e.g. --gtest_filter=...).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

bash scripts/setup.sh  # installs valgrind too
build=$root/build/cpp-tests

echo "== building the C++ tests in $build" >&2
configure_project "$build" "${cpp_tests_options[@]}"
"$venv/bin/cmake" --build "$build"

for tests in qor_core_tests qor_fault_injection_tests qor_version_check_tests; do
    echo "== $tests under memcheck" >&2
    options=()
    # The fault-injection program has allocation functions of its own (they
    # call malloc and free): valgrind must leave them in place, or it would
    # take over half of them and see blocks from new released by free.
    [[ $tests == qor_fault_injection_tests ]] && options+=(--soname-synonyms=somalloc=nouserintercepts)
    valgrind --tool=memcheck --quiet --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect,possible \
        --track-origins=yes "${options[@]}" "$build/tests/cpp/$tests" --gtest_brief=1 "$@"
done
echo "valgrind: no error and no leak" >&2
