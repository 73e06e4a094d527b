#!/usr/bin/env bash
# The main job: builds the module and plays a sample level, narrating each
# frame. Arguments go to examples/play.py (a level file, --json).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}

bash "$root/scripts/build.sh"
exec "$venv/bin/python" "$root/examples/play.py" "$@"
