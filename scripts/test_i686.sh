#!/usr/bin/env bash
# The 32-bit x86 leg: builds the module for 32-bit x86 against a 32-bit
# CPython 3.13 (scripts/get_python.sh i686) in its own virtual environment
# (.venv-i686, build files in build/i686) and runs the whole Python test suite
# under that interpreter. Exits non-zero on any failure. Arguments go to pytest.
#
# Idempotent: the interpreter, the Debian packages and the environment's
# packages are set up once (the first run builds CPython, about 4 minutes);
# later runs only rebuild what changed and run the tests.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV_I686:-$root/.venv-i686}
build_dir=build/i686
cd "$root"

# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

# Every step runs with a 32-bit personality, so that uname, CMake and the
# packaging tools all see an i686 machine.
run32=(setarch i686)

python=$(bash scripts/get_python.sh i686 | tail -n 1)

# The 32-bit compiler and libraries; valgrind needs the i386 libc's debug
# information to run 32-bit programs.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "test_i686: enabling the i386 dpkg architecture" >&2
    dpkg --add-architecture i386
fi
ensure_debian_packages gcc-multilib g++-multilib valgrind libc6-dbg:i386

if ! "${run32[@]}" "$venv/bin/python" -c '
import struct, sys
assert sys.version_info[:2] == (3, 13) and struct.calcsize("P") == 4' 2>/dev/null; then
    echo "test_i686: creating $venv" >&2
    rm -rf "$venv"
    "${run32[@]}" "$python" -m venv "$venv"
fi

# Reinstall the packages only when the list changed.
stamp="$venv/.requirements.sha256"
wanted=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
    echo "test_i686: installing Python packages into $venv" >&2
    "${run32[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
        --upgrade pip >&2
    "${run32[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
        -r requirements-dev.txt >&2
    echo "$wanted" >"$stamp"
fi

echo "== 32-bit x86 build" >&2
CXX="g++ -m32" "${run32[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --root-user-action=ignore --no-build-isolation --no-deps -C build-dir="$build_dir" . >&2

# The interpreter and the installed module must both be 32-bit x86.
"${run32[@]}" "$venv/bin/python" - <<'EOF'
import os, platform, struct, sys
import qor_engine
path = qor_engine.__file__
with open(path, "rb") as f:
    header = f.read(20)
problems = []
if struct.calcsize("P") != 4:
    problems.append(f"the interpreter has {struct.calcsize('P') * 8}-bit pointers")
if header[:5] != b"\x7fELF\x01" or int.from_bytes(header[18:20], "little") != 3:
    problems.append(f"{path} is not a 32-bit x86 (ELF32, EM_386) library")
if not os.path.realpath(path).startswith(os.path.realpath(sys.prefix)):
    problems.append(f"{path} is not the module installed in {sys.prefix}")
if problems:
    sys.exit("test_i686: " + "; ".join(problems))
print(f"test_i686: {path}: 32-bit x86 module, CPython {platform.python_version()} "
      f"({struct.calcsize('P') * 8}-bit, {platform.machine()})", file=sys.stderr)
EOF

echo "== Python tests on 32-bit x86" >&2
junit="$build_dir/pytest-junit.xml"
rm -f "$junit"
status=0
"${run32[@]}" "$venv/bin/python" -m pytest -q -o cache_dir="$build_dir/.pytest_cache" \
    -o junit_family=xunit1 --junitxml="$junit" tests/python "$@" || status=$?

# How many pow/log/log10 results differed from the x86_64 goldens by one ULP
# (the only difference the golden comparison allows on this build).
if [[ -f $junit ]]; then
    "$venv/bin/python" - "$junit" <<'EOF'
import sys
import xml.etree.ElementTree as ElementTree
totals = {"ulp_differences": 0, "libm_results": 0}
levels = 0
for case in ElementTree.parse(sys.argv[1]).iter("testcase"):
    found = {p.get("name"): int(p.get("value")) for p in case.iter("property") if p.get("name") in totals}
    if found:
        levels += 1
        for name, value in found.items():
            totals[name] += value
if levels:
    print(f"test_i686: golden levels replayed: {levels}; pow/log/log10 results one ULP away from "
          f"the x86_64 goldens: {totals['ulp_differences']} of {totals['libm_results']}", file=sys.stderr)
EOF
fi
exit "$status"
