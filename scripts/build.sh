#!/usr/bin/env bash
# Builds and installs the qor_engine module into the project's virtual
# environment, after the set-up. The build folder is cached in build/ (one per
# wheel tag), so a second build only compiles what changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}

bash "$root/scripts/setup.sh"
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"  # the compiler cache
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C build-dir="build/{wheel_tag}" . >&2
