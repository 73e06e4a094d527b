#!/usr/bin/env bash
# Builds the module and writes an HTML replay of a level (default: the
# tutorial) to replay.html or to the file given with -o. Arguments go to
# examples/replay.py.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}

bash "$root/scripts/build.sh"
exec "$venv/bin/python" "$root/examples/replay.py" "$@"
