#!/usr/bin/env bash
# Builds and installs the qor_engine module into the project's virtual
# environment (incrementally, in build/), after the set-up.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}

bash "$root/scripts/setup.sh"
cd "$root"
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps . >&2
