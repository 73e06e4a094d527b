#!/usr/bin/env bash
# The long randomized runs, outside CI: the property tests at their full
# budgets of examples, the leak check over 100,000 levels and 1,000 random
# levels played on the WebAssembly engine against the module (the test
# command and CI play shorter runs of the same tests). Builds the module and
# the WebAssembly engine first. Arguments go to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"

bash scripts/build.sh
bash scripts/build_web.sh >/dev/null
QOR_LONG_TESTS=1 "$venv/bin/python" -m pytest -q tests/python/test_properties.py tests/python/test_leaks.py \
    tests/python/test_web_engine.py "$@"
