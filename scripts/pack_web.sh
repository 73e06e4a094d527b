#!/usr/bin/env bash
# Makes the npm package of the WebAssembly engine from what
# scripts/build_web.sh built: build/web/package/ (package.json from
# src/web/package with pyproject.toml's version, the module and its ES module
# entry, the declarations, QorPatch, docs/web.md as the README with the
# formats it links to) and, with `npm pack`, build/web/qor-engine-VERSION.tgz.
# Prints the tarball's path. Needs no network.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
# npm: Debian's package, or the one a nodejs package of another origin holds.
command -v npm >/dev/null || ensure_debian_packages npm

version=$(sed -n 's/^version *= *"\([^"]*\)".*/\1/p' pyproject.toml | head -n 1)
[[ -n $version ]] || { echo "pack_web: no version in pyproject.toml" >&2; exit 1; }
[[ -f build/web/qor_engine.js ]] || { echo "pack_web: run scripts/build_web.sh first" >&2; exit 1; }

package=build/web/package
rm -rf "$package"
mkdir -p "$package/docs" "$package/schemas"
sed "s/@VERSION@/$version/" src/web/package/package.json >"$package/package.json"
cp src/web/package/qor_engine.mjs src/web/package/jsonpatch.mjs LICENSE "$package/"
cp build/web/qor_engine.js src/web/qor_engine.d.ts "$package/"
cp web/draw/jsonpatch.js web/draw/jsonpatch.d.ts "$package/"
# The guide links the formats beside it; in the package they are in docs/.
sed -E 's/\]\((frames|levels)\.md/](docs\/\1.md/g' docs/web.md >"$package/README.md"
cp docs/frames.md docs/levels.md "$package/docs/"
cp schemas/*.json "$package/schemas/"

tarball=$(cd build/web && npm pack --silent --offline --cache "$root/build/web/npm-cache" ./package | tail -n 1)
echo "$root/build/web/$tarball"
