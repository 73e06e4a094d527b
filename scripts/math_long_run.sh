#!/usr/bin/env bash
# The long run of the engine's log, log10 and pow against MPFR: COUNT
# arguments (default a billion) spread over every argument family of the
# C++ test, on THREADS threads (default 1), at low priority. Prints each
# family's count and misrounded results; exits non-zero on any.
#   bash scripts/math_long_run.sh [COUNT] [THREADS] [SEED]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

bash scripts/setup.sh  # libmpfr-dev among the rest
configure_project build/cpp-tests -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=OFF
"$venv/bin/cmake" --build build/cpp-tests --target qor_math_long_run
exec nice "$root/build/cpp-tests/tests/cpp/qor_math_long_run" "${1:-1000000000}" "${2:-1}" "${3:-1}"
