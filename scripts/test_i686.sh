#!/usr/bin/env bash
# The 32-bit x86 leg: builds the i686 wheel (scripts/build_wheels.sh i686:
# the 32-bit CPython 3.13 from scripts/get_python.sh i686, g++ -m32, build
# files cached in build/) and tests it as the game gets it
# (scripts/test_wheels.sh i686): installed into a fresh 32-bit environment,
# checked to be a 32-bit x86 module, the whole Python suite run under the
# 32-bit interpreter: the golden frames byte for byte, and the golden and
# 1,000 random levels played against the WebAssembly engine (built first by
# scripts/build_web.sh), every frame and save the same bytes. Exits non-zero
# on any failure. Arguments go to pytest.
#
# Idempotent: the interpreter, the Debian packages and the build environment
# are set up once (the first run builds CPython, about 4 minutes); later runs
# only rebuild what changed and run the tests.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build_wheels.sh" i686
bash "$root/scripts/build_web.sh" >/dev/null
bash "$root/scripts/test_wheels.sh" i686 -- "$@"
