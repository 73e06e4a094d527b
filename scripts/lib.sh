# Shared by the project's scripts: source it, don't run it.

# Installs the named Debian packages that are missing; does nothing (and
# needs no network) when all are there.
ensure_debian_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "setup: installing ${missing[*]}" >&2
    # One apt run at a time: the project's own scripts take turns through a
    # lock file, and another apt run's locks are waited for instead of failing.
    (
        flock 7
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >&2
    ) 7>/var/lock/qor-engine-apt.lock
}

# Configures the project into build folder DIR with the virtual
# environment's CMake, Ninja, Python and pybind11; further arguments go to
# CMake. Needs `root` and `venv` set by the calling script.
configure_project() {
    local dir=$1
    shift
    use_compiler_cache
    forget_another_compiler "$dir" "$@"
    "$venv/bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
        -DPython_EXECUTABLE="$venv/bin/python" \
        -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" "$@" >/dev/null
}

# A build folder configured earlier with another C++ compiler than the one
# asked for now is configured afresh: CMake would otherwise drop its whole
# cache, the options given on the command line with it, and fail.
forget_another_compiler() {
    local dir=$1 option wanted cached
    shift
    for option in "$@"; do
        [[ $option == -DCMAKE_CXX_COMPILER=* ]] && wanted=$(command -v "${option#*=}" || true)
    done
    [[ -n ${wanted:-} && -f $dir/CMakeCache.txt ]] || return 0
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt")
    [[ $cached == "$wanted" ]] || rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
}

# How build/cpp-tests is configured: the C++ tests of the test command, also
# run under valgrind by scripts/test_valgrind.sh (optimised, with debug
# information for valgrind's reports).
cpp_tests_options=(-DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=OFF
    -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=OFF)

# Digest of the requirement files (requirements-dev.txt includes
# requirements-test.txt): an environment whose stamp differs is updated.
requirements_digest() {
    cat "$root/requirements-dev.txt" "$root/requirements-test.txt" | sha256sum | cut -d' ' -f1
}

# Compiles go through Debian's ccache when it is installed (scripts/setup.sh
# installs it): its cache, in ~/.cache/ccache, outlives the checkout, so a
# fresh clone on a machine that built the project before compiles only what
# changed, and two build folders that compile a file alike (the module's and
# the C++ tests' engine core) compile it once. Paths under the checkout are
# hashed relative to it. QOR_CCACHE=0 turns it off. CMake reads the launcher
# from the environment when it first configures a build folder, pip's builds
# included; the WebAssembly build does not use it.
use_compiler_cache() {
    [[ ${QOR_CCACHE:-1} != 0 ]] && command -v ccache >/dev/null || return 0
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
    export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
    export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-4G}
}
use_compiler_cache
