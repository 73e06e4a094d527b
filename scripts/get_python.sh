#!/usr/bin/env bash
# Print the absolute path of a working CPython 3.13 interpreter.
#
# Usage: bash scripts/get_python.sh [x86_64|i686]     (default: x86_64)
#
# The path is the last line on stdout; progress goes to stderr and build
# output to a log file in the cache.
#
# x86_64: use python3.13 from PATH if it works, else a pyenv 3.13 install,
#         else build CPython from source into the cache.
# i686:   always build a 32-bit CPython from source into the cache.
#
# Sources come from Debian's python3.13 source package (the upstream
# tarball, *.orig.tar.xz), fetched from the trixie suite with a private apt
# configuration so the system's apt setup is left alone.
#
# Environment:
#   QOR_FORCE_PYTHON_BUILD=1  x86_64: skip PATH/pyenv, use the cached build
#   QOR_PYTHON_CACHE=DIR      cache root
#                             (default ${XDG_CACHE_HOME:-$HOME/.cache}/qor_engine)
#   QOR_BUILD_JOBS=N          make -jN (default 2)
set -euo pipefail

ARCH=${1:-x86_64}
case $ARCH in
    x86_64 | i686) ;;
    *)
        echo "usage: $0 [x86_64|i686]" >&2
        exit 2
        ;;
esac

CACHE_ROOT=${QOR_PYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qor_engine}
PREFIX=$CACHE_ROOT/cpython-3.13-$ARCH
SRC_DIR=$CACHE_ROOT/downloads # shared by both architectures
LOG=$CACHE_ROOT/build-cpython-3.13-$ARCH.log
MARKER=$PREFIX/.qor-build-ok
# Bump when the build recipe changes, so old cached builds get rebuilt.
RECIPE="recipe-1"
JOBS=${QOR_BUILD_JOBS:-2}

export DEBIAN_FRONTEND=noninteractive
export LC_ALL=C

log() { echo "get_python[$ARCH]: $*" >&2; }
die() {
    log "ERROR: $*"
    exit 1
}

# Root-only commands go through sudo when we are not root.
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 && SUDO=(sudo -n)
fi

# --- checking interpreters ---------------------------------------------------

# is_good PY BITS: PY is CPython 3.13 with the modules we rely on and the
# given pointer size in bits.
is_good() {
    local py=$1 bits=$2
    [ -x "$py" ] || command -v "$py" >/dev/null 2>&1 || return 1
    "$py" -c "
import sys, struct
assert sys.version_info[:2] == (3, 13)
assert struct.calcsize('P') * 8 == $bits
import venv, ensurepip, ssl, zlib, ctypes
" </dev/null >/dev/null 2>&1
}

real_executable() {
    "$1" -c 'import os, sys; print(os.path.realpath(sys.executable))' </dev/null
}

# --- apt helpers -------------------------------------------------------------

APT_UPDATED=0
apt_update() {
    if [ "$APT_UPDATED" = 0 ]; then
        log "apt-get update"
        "${SUDO[@]}" apt-get update -q >&2
        APT_UPDATED=1
    fi
}

# ensure_pkgs PKG...: install the packages if any is missing. All of them are
# passed to apt-get, so that amd64 "Multi-Arch: same" packages get upgraded
# in step with their newly installed i386 twins.
ensure_pkgs() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing packages (missing: ${missing[*]})"
    # One apt run at a time among the project's scripts (see lib.sh).
    exec 7>/var/lock/qor-engine-apt.lock
    flock 7
    apt_update
    "${SUDO[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "$@" </dev/null >&2
    exec 7>&-
}

# First Debian archive URL in the system's apt sources (security and
# third-party repositories are skipped).
debian_mirror() {
    local files=() f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && files+=("$f")
    done
    {
        [ ${#files[@]} -gt 0 ] && awk '
            # one-line format: deb [options] URI suite components
            /^[ \t]*deb(-src)?[ \t]/ { sub(/\[[^]]*\]/, ""); print $2 }
            # deb822 format: URIs: a b ...
            /^[ \t]*URIs:/ { for (i = 2; i <= NF; i++) print $i }
        ' "${files[@]}"
        echo http://deb.debian.org/debian # fallback
    } | grep -E '^(https?|file)://' | grep -E '/debian/?$' | grep -v -- '-security' | sed -n '1{s:/*$::;p}'
}

# --- source download ---------------------------------------------------------

find_tarball() {
    find "$SRC_DIR" -maxdepth 1 -name 'python3.13_*.orig.tar.xz' 2>/dev/null | sort -V | tail -n1
}

# Download Debian trixie's python3.13 source package into $SRC_DIR (once).
fetch_source() {
    mkdir -p "$SRC_DIR"
    exec 8>"$CACHE_ROOT/.download.lock"
    flock 8
    if [ -n "$(find_tarball)" ]; then
        exec 8>&-
        return 0
    fi

    local mirror tmp keyring=/usr/share/keyrings/debian-archive-keyring.gpg opts=""
    rm -rf "$CACHE_ROOT"/.apt.* # left over by an interrupted run
    mirror=$(debian_mirror)
    log "downloading the python3.13 source package from $mirror (trixie)"
    tmp=$(mktemp -d "$CACHE_ROOT/.apt.XXXXXX")
    mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/dl"
    [ -r "$keyring" ] && opts="[signed-by=$keyring] "
    echo "deb-src ${opts}$mirror trixie main" >"$tmp/sources.list"
    local apt_opts=(
        -o Dir::Etc::sourcelist="$tmp/sources.list"
        -o Dir::Etc::sourceparts=-
        -o Dir::State::Lists="$tmp/lists"
        -o Dir::Cache="$tmp/cache"
        -o APT::Get::List-Cleanup=0
    )
    # apt's unprivileged _apt user cannot write into our private dirs.
    [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
    # snapshot.debian.org Release files are past their Valid-Until date.
    case $mirror in *snapshot.debian.org*) apt_opts+=(-o Acquire::Check-Valid-Until=false) ;; esac

    if ! apt-get "${apt_opts[@]}" update -q >&2 ||
        ! (cd "$tmp/dl" && apt-get "${apt_opts[@]}" source --download-only -q python3.13 </dev/null >&2); then
        rm -rf "$tmp"
        die "could not download the python3.13 source package"
    fi
    # apt-get checked the files against the signed Sources index.
    mv "$tmp"/dl/* "$SRC_DIR"/
    rm -rf "$tmp"
    [ -n "$(find_tarball)" ] || die "no python3.13_*.orig.tar.xz was downloaded"
    exec 8>&-
}

# --- build -------------------------------------------------------------------

# Sanity check of a finished build: modules, pointer size, a venv with pip.
verify_build() {
    local py=$PREFIX/bin/python3.13 bits=64 tmp
    [ "$ARCH" = i686 ] && bits=32
    is_good "$py" "$bits" || return 1
    if [ "$ARCH" = i686 ]; then
        [ "$(setarch i686 "$py" -c 'import platform; print(platform.machine())')" = i686 ] || return 1
    fi
    tmp=$(mktemp -d)
    "$py" -m venv "$tmp/venv" &&
        "$tmp/venv/bin/python" -m pip --version >&2
    local rc=$?
    rm -rf "$tmp"
    return $rc
}

build_python() {
    local tarball run=() cc=gcc cxx=g++ conf=()
    local pkgs=(build-essential pkg-config xz-utils
        libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev)

    if [ "$ARCH" = i686 ]; then
        # 32-bit dev libraries co-install with the amd64 ones (Multi-Arch: same).
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            log "enabling the i386 dpkg architecture"
            # Under the apt lock: another script's apt run may be going on.
            exec 7>/var/lock/qor-engine-apt.lock
            flock 7
            "${SUDO[@]}" dpkg --add-architecture i386
            exec 7>&-
            APT_UPDATED=0 # ensure_pkgs updates the lists under the lock
        fi
        pkgs+=(gcc-multilib g++-multilib
            libssl-dev:i386 libffi-dev:i386 zlib1g-dev:i386
            libbz2-dev:i386 liblzma-dev:i386 libsqlite3-dev:i386)
        cc="gcc -m32 -msse2 -mfpmath=sse"
        cxx="g++ -m32 -msse2 -mfpmath=sse"
        run=(setarch i686)
        conf=(--build=i686-pc-linux-gnu)
        export PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig
    fi
    ensure_pkgs "${pkgs[@]}"
    fetch_source
    tarball=$(find_tarball)

    local build stage
    rm -rf "$CACHE_ROOT/.stage-$ARCH".* # left over by an interrupted run
    build=$(mktemp -d "${TMPDIR:-/tmp}/qor-cpython-$ARCH.XXXXXX")
    stage=$(mktemp -d "$CACHE_ROOT/.stage-$ARCH.XXXXXX") # same filesystem as $PREFIX
    # shellcheck disable=SC2064 # expand now: the locals are gone at exit
    trap "rm -rf '$build' '$stage'" EXIT

    log "building $(basename "$tarball") for $ARCH into $PREFIX (log: $LOG)"
    local t0=$SECONDS
    : >"$LOG"
    # (&& chain: "set -e" is ignored inside an "if" condition)
    if ! (
        tar -xJf "$tarball" -C "$build" --strip-components=1 &&
            cd "$build" &&
            "${run[@]}" ./configure --prefix="$PREFIX" "${conf[@]}" \
                CC="$cc" CXX="$cxx" --with-ensurepip=install &&
            "${run[@]}" make -j"$JOBS" &&
            "${run[@]}" make install DESTDIR="$stage"
    ) >>"$LOG" 2>&1; then
        log "build failed; last lines of $LOG:"
        tail -n 40 "$LOG" >&2
        exit 1
    fi
    # Swap the staged tree into place; the marker is written only after
    # the result passed its checks.
    rm -rf "$PREFIX"
    mv "$stage$PREFIX" "$PREFIX"
    verify_build >>"$LOG" 2>&1 || {
        tail -n 20 "$LOG" >&2
        die "the new interpreter failed its checks (see $LOG)"
    }
    echo "$RECIPE $(basename "$tarball")" >"$MARKER"
    log "built in $((SECONDS - t0)) s"
}

# --- main --------------------------------------------------------------------

if [ "$ARCH" = x86_64 ] && [ "${QOR_FORCE_PYTHON_BUILD:-0}" != 1 ]; then
    # 1. python3.13 on PATH (a pyenv shim may exist but fail: is_good runs it).
    if is_good python3.13 64; then
        real_executable python3.13
        exit 0
    fi
    # 2. an existing pyenv install.
    for py in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        if is_good "$py" 64; then
            real_executable "$py"
            exit 0
        fi
    done
fi

# 3. the cached source build.
mkdir -p "$CACHE_ROOT"
exec 9>"$CACHE_ROOT/.build-$ARCH.lock"
flock 9 # one build per architecture at a time
if [ ! -f "$MARKER" ] || [ "$(cut -d' ' -f1 "$MARKER")" != "$RECIPE" ] ||
    ! is_good "$PREFIX/bin/python3.13" "$([ "$ARCH" = i686 ] && echo 32 || echo 64)"; then
    build_python
fi
echo "$PREFIX/bin/python3.13"
