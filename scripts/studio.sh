#!/usr/bin/env bash
# Builds the level studio, build/web/studio.html (the engine as WebAssembly
# and the page in one file), and prints where it is: open it in a browser,
# from disk, offline.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build_web.sh" >/dev/null
echo "$root/build/web/studio.html"
