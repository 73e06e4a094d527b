#!/usr/bin/env bash
# The browser test of the HTML replay (tests/browser): installs Debian's
# chromium and chromium-driver when missing and runs the test headless against
# them; nothing downloads a browser. Run scripts/build.sh first (the test
# command does). Arguments go to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages chromium chromium-driver fonts-dejavu-core

# Selenium must use the system's browser and driver, never fetch its own.
export SE_OFFLINE=true
export QOR_CHROMIUM=${QOR_CHROMIUM:-/usr/bin/chromium}
export QOR_CHROMEDRIVER=${QOR_CHROMEDRIVER:-/usr/bin/chromedriver}
export QOR_REQUIRE_BROWSER=1
"$venv/bin/python" -m pytest -q tests/browser "$@"
