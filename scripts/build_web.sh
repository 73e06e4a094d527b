#!/usr/bin/env bash
# Builds build/web/qor_engine.js: the engine as WebAssembly inside one
# JavaScript file, for Node and for pages (docs/development.md), the npm
# package build/web/qor-engine-VERSION.tgz that holds it (docs/web.md is its
# README), and the level studio page build/web/studio.html that inlines it.
# Installs Debian's emscripten, nodejs and npm when missing; the build folder
# build/web is kept, so a second run only compiles what changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

ensure_debian_packages emscripten nodejs node-acorn
bash scripts/setup.sh  # CMake, Ninja and nlohmann JSON in the virtual environment
unset CMAKE_CXX_COMPILER_LAUNCHER  # Emscripten's compilers go without the compiler cache

# Emscripten's JavaScript step needs acorn, which Debian keeps with its other
# Node modules.
acorn_dir=$(dirname "$(dpkg -L node-acorn | grep -m1 '/acorn/package.json$')")
export NODE_PATH=$(dirname "$acorn_dir")${NODE_PATH:+:$NODE_PATH}

json_include=$("$venv/bin/python" -c "import nlohmann_json; print(nlohmann_json.get_include())")
toolchain=$(dirname "$(readlink -f "$(command -v emcc)")")/cmake/Modules/Platform/Emscripten.cmake
[[ -f $toolchain ]] || toolchain=/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake

"$venv/bin/cmake" -S "$root" -B build/web -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DQOR_BUILD_MODULE=OFF -DQOR_BUILD_WEB=ON -DNLOHMANN_JSON_INCLUDE_DIR="$json_include" >/dev/null
"$venv/bin/cmake" --build build/web -j2 --target qor_engine_web qor_engine_faults >&2
# The module's TypeScript declarations, beside it.
cp src/web/qor_engine.d.ts build/web/qor_engine.d.ts
bash scripts/pack_web.sh >&2
# The level studio: one page with the engine inlined (scripts/build_studio.py).
"$venv/bin/python" scripts/build_studio.py >&2
echo "$root/build/web/qor_engine.js"
