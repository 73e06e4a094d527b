#!/usr/bin/env bash
# The browser tests of the HTML replay and the level studio (tests/browser):
# builds the studio page, installs Debian's chromium and chromium-driver when
# missing and runs the tests headless against them; nothing downloads a
# browser. Run scripts/build.sh first (the test command does). Arguments go
# to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages chromium chromium-driver fonts-dejavu-core
bash scripts/build_web.sh >/dev/null  # the engine in WebAssembly and the level studio page

# Selenium must use the system's browser and driver, never fetch its own.
export SE_OFFLINE=true
export QOR_CHROMIUM=${QOR_CHROMIUM:-/usr/bin/chromium}
export QOR_CHROMEDRIVER=${QOR_CHROMEDRIVER:-/usr/bin/chromedriver}
export QOR_REQUIRE_BROWSER=1
"$venv/bin/python" -m pytest -q tests/browser "$@"
