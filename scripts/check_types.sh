#!/usr/bin/env bash
# Type checks of the installed module (run scripts/build.sh first; the test
# command does):
#   1. the stubs in the installed wheel are the ones in stubs/;
#   2. mypy's stubtest: every class, method, property and module attribute of
#      the module is in the stubs and the other way round; the allowlist
#      names only what exists in the stubs alone (the types of the parsed
#      frame texts);
#   3. stub_signatures.py: parameter names and types and return types, which
#      stubtest cannot read from pybind11 functions, compared with the stubs
#      pybind11-stubgen makes of the built module;
#   4. mypy --strict over the example host program and the Python scripts
#      of the project (stubs, benchmarks), typed by those stubs;
#   5. pyright (strict) over tests/typing, the host's uses of the stubs: both
#      checkers must flag the lines marked `# type: ignore[...]` there (a
#      wrong type for a property, a typo'd rule) and accept the rest. pyright
#      runs on Debian's nodejs, with the pyright code its PyPI package holds
#      (nothing is downloaded).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
python=$venv/bin/python
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
ensure_debian_packages nodejs

platlib=$("$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
if ! cmp -s stubs/qor_engine-stubs/__init__.pyi "$platlib/qor_engine-stubs/__init__.pyi"; then
    echo "check_types: the installed stubs differ from stubs/ (run scripts/build.sh)" >&2
    exit 1
fi

echo "== stubtest" >&2
"$python" -m mypy.stubtest qor_engine --allowlist stubs/stubtest-allowlist.txt
echo "== stub signatures" >&2
"$python" scripts/stub_signatures.py
echo "== mypy --strict" >&2
"$python" -m mypy --strict examples/play.py examples/replay.py tests/typing/host_types.py tests/typing/checked_uses.py \
    scripts/stub_signatures.py scripts/build_studio.py bench/bench_frames.py bench/bench_save.py \
    bench/frame_ratios.py bench/bench_web.py bench/bench_patches.py
echo "== pyright" >&2
"$venv/bin/pyright" -p tests/typing/pyrightconfig.json --pythonpath "$python"
