#!/usr/bin/env bash
# Gets everything the project needs on this machine, idempotently: the Debian
# packages of the build, CPython 3.13 and the project's virtual environment
# (.venv) with the build and test packages. A second run does nothing and
# takes seconds.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}

# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages g++ make libgtest-dev valgrind ccache libmpfr-dev

python=$(bash "$root/scripts/get_python.sh" x86_64 | tail -n 1)

if ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    echo "setup: creating $venv" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

# Reinstall the packages only when the list changed.
stamp="$venv/.requirements.sha256"
wanted=$(requirements_digest)
if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
    echo "setup: installing Python packages into $venv" >&2
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    "$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt" >&2
    echo "$wanted" >"$stamp"
fi
