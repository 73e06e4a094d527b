#!/usr/bin/env bash
# Tests what scripts/build_wheels.sh wrote into dist/, as a user gets it:
#   x86_64, i686  the wheel is installed into a fresh virtual environment of
#                 its own interpreter (scripts/get_python.sh; the i686 one
#                 runs under a 32-bit personality) with the test packages
#                 only, no build tools; then the whole Python suite, mypy's
#                 stubtest and stub_signatures.py run against the installed
#                 module, from an empty folder outside the checkout. The i686 leg
#                 also checks that interpreter and module are 32-bit x86; its
#                 frames must be the x86_64 goldens and the WebAssembly
#                 engine's (when build/web holds it), byte for byte.
#   sdist         the sdist, unpacked and made read-only, is installed into a
#                 fresh virtual environment (a full build from source, with
#                 the build packages from the index) and imported; the build
#                 must write nothing into the unpacked sources.
#
# Usage: bash scripts/test_wheels.sh [x86_64] [i686] [sdist] [-- PYTEST_ARGS...]
#        (default: all three). Environments and scratch files go to
#        build/wheel-tests/. Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=$root/dist
scratch=$root/build/wheel-tests
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

targets=()
while (($#)) && [[ $1 != -- ]]; do
    case $1 in
        x86_64 | i686 | sdist) targets+=("$1") ;;
        *)
            echo "usage: $0 [x86_64] [i686] [sdist] [-- PYTEST_ARGS...]" >&2
            exit 2
            ;;
    esac
    shift
done
(($#)) && shift # the --
((${#targets[@]})) || targets=(x86_64 i686 sdist)
pip_install=(-m pip install -q --disable-pip-version-check --root-user-action=ignore)

# only_file PATTERN: the one file in dist/ that matches.
only_file() {
    local found=()
    mapfile -t found < <(compgen -G "$dist/$1" || true)
    if ((${#found[@]} != 1)); then
        echo "test_wheels: expected one $1 in $dist (run scripts/build_wheels.sh), found ${#found[@]}" >&2
        exit 1
    fi
    echo "${found[0]}"
}

# fresh_venv DIR PYTHON [RUN...]: a new virtual environment in DIR.
fresh_venv() {
    local dir=$1 python=$2
    shift 2
    rm -rf "$dir"
    "$@" "$python" -m venv "$dir"
}

# The installed module is the wheel's, of the expected pointer size, and no
# build tool is installed beside it.
check_installation() {
    "$@" - <<'EOF'
import importlib.util, os, struct, sys
import qor_engine
bits = int(os.environ["QOR_EXPECTED_BITS"])
path = os.path.realpath(qor_engine.__file__)
with open(path, "rb") as f:
    header = f.read(20)
elf_class, machine = header[4], int.from_bytes(header[18:20], "little")
problems = []
if not path.startswith(os.path.realpath(sys.prefix) + os.sep):
    problems.append(f"{path} is not the module installed in {sys.prefix}")
if struct.calcsize("P") * 8 != bits:
    problems.append(f"the interpreter has {struct.calcsize('P') * 8}-bit pointers")
if (elf_class, machine) != ({32: 1, 64: 2}[bits], {32: 3, 64: 62}[bits]):
    problems.append(f"{path} is not a {bits}-bit x86 library")
problems += [f"the build tool {tool} is installed" for tool in ("scikit_build_core", "cmake", "ninja", "pybind11")
             if importlib.util.find_spec(tool) is not None]
if problems:
    sys.exit("test_wheels: " + "; ".join(problems))
print(f"test_wheels: {path}: {bits}-bit module {qor_engine.__version__}", file=sys.stderr)
EOF
}

# test_wheel ARCH [PYTEST_ARGS...]
test_wheel() {
    local arch=$1 run=() bits=64 wheel dir work
    shift
    if [[ $arch == i686 ]]; then
        run=(setarch i686)
        bits=32
        # valgrind (one of the tests) needs the i386 libc's debug information.
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            echo "test_wheels: enabling the i386 dpkg architecture" >&2
            dpkg --add-architecture i386
        fi
        ensure_debian_packages valgrind libc6-dbg:i386
    fi
    wheel=$(only_file "qor_engine-*-manylinux*_$arch.whl")
    dir=$scratch/$arch
    python=$dir/venv/bin/python
    echo "== $(basename "$wheel") in a fresh environment" >&2
    fresh_venv "$dir/venv" "$(bash scripts/get_python.sh "$arch" | tail -n 1)" "${run[@]}"
    "${run[@]}" "$python" "${pip_install[@]}" "$wheel" -r requirements-test.txt >&2

    # The tests run from an empty folder outside the checkout: nothing of the
    # sources or their build folders is importable, and no project
    # configuration is picked up but pytest's (given with -c).
    work=$(mktemp -d)
    cd "$work"
    QOR_EXPECTED_BITS=$bits check_installation "${run[@]}" "$python"
    if ! cmp -s "$root/stubs/qor_engine-stubs/__init__.pyi" \
        "$("$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')/qor_engine-stubs/__init__.pyi"; then
        echo "test_wheels: the wheel's stubs differ from stubs/" >&2
        exit 1
    fi

    echo "== Python tests against the installed $arch wheel" >&2
    local junit=$dir/pytest-junit.xml status=0
    rm -f "$junit"
    "${run[@]}" "$python" -m pytest -q -c "$root/pyproject.toml" -p no:cacheprovider -o junit_family=xunit1 \
        --junitxml="$junit" "$root/tests/python" "$@" || status=$?
    ((status == 0)) || exit "$status"

    echo "== stubtest and stub signatures against the installed $arch wheel" >&2
    "${run[@]}" "$python" -m mypy.stubtest qor_engine --allowlist "$root/stubs/stubtest-allowlist.txt"
    "${run[@]}" "$python" "$root/scripts/stub_signatures.py"
    cd "$root"
    rm -rf "$work"
}

# The sdist builds and installs from a read-only copy of its sources.
test_sdist() {
    local sdist dir=$scratch/sdist python before after
    sdist=$(only_file "qor_engine-*.tar.gz")
    echo "== $(basename "$sdist") into a fresh environment" >&2
    chmod -R u+w "$dir" 2>/dev/null || true
    rm -rf "$dir"
    mkdir -p "$dir/sources"
    tar -xzf "$sdist" -C "$dir/sources"
    chmod -R a-w "$dir/sources"
    # Root writes through a read-only mode, so compare the listings as well.
    before=$(cd "$dir/sources" && find . | sort)
    fresh_venv "$dir/venv" "$(bash scripts/get_python.sh x86_64 | tail -n 1)"
    python=$dir/venv/bin/python
    "$python" "${pip_install[@]}" "$dir"/sources/qor_engine-* >&2
    after=$(cd "$dir/sources" && find . | sort)
    if [[ $before != "$after" ]]; then
        echo "test_wheels: building the sdist wrote into its sources:" >&2
        diff <(echo "$before") <(echo "$after") >&2 || true
        exit 1
    fi
    (cd / && QOR_EXPECTED_BITS=64 check_installation "$python")
    "$python" -c 'import importlib.metadata, qor_engine
assert qor_engine.__version__ == importlib.metadata.version("qor_engine"), qor_engine.__version__'
    chmod -R u+w "$dir/sources"
}

for target in "${targets[@]}"; do
    case $target in
        sdist) test_sdist ;;
        *) test_wheel "$target" "$@" ;;
    esac
done
echo "test_wheels: ${targets[*]}: passed" >&2
