"""The npm package of the WebAssembly engine (build/web/qor-engine-VERSION.tgz,
made by scripts/build_web.sh) as a game's developer uses it: a fresh
"type": "module" project installs the tarball offline with npm, and runs an
ES module (that also reads the tree 200,000 times with flat handles and
memory), a CommonJS program, and TypeScript programs compiled with
`tsc --strict` (CommonJS and ES module). Every TypeScript snippet of the
package's README (docs/web.md) compiles there too."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import tarfile
import tomllib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
HOSTS = REPO / "tests" / "web" / "package"
VERSION = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
TARBALL = REPO / "build" / "web" / f"qor-engine-{VERSION}.tgz"
TUTORIAL = REPO / "examples" / "levels" / "tutorial.json"
TSC = shutil.which("tsc")

pytestmark = [
    pytest.mark.skipif(not TARBALL.exists(), reason=f"{TARBALL} is not built (bash scripts/build_web.sh)"),
    pytest.mark.skipif(shutil.which("npm") is None or shutil.which("node") is None, reason="no Node or npm"),
]
needs_tsc = pytest.mark.skipif(TSC is None, reason="tsc is not installed (Debian's node-typescript)")


def run(command: list[str], folder: Path) -> str:
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=600, check=False)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("game")
    (folder / "package.json").write_text(json.dumps({"name": "game", "private": True, "type": "module"}))
    shutil.copy(TARBALL, folder)
    run(["npm", "install", "--offline", "--no-audit", "--no-fund", "--cache", str(folder / ".npm"),
         f"./{TARBALL.name}"], folder)
    for host in HOSTS.iterdir():
        shutil.copy(host, folder)
    return folder


def test_the_tarball_holds_the_package() -> None:
    with tarfile.open(TARBALL) as tarball:
        names = {name.removeprefix("package/") for name in tarball.getnames()}
        manifest = json.loads(tarball.extractfile("package/package.json").read())  # type: ignore[union-attr]
    assert {"package.json", "README.md", "LICENSE", "qor_engine.js", "qor_engine.mjs", "qor_engine.d.ts",
            "jsonpatch.js", "jsonpatch.mjs", "jsonpatch.d.ts", "docs/frames.md", "docs/levels.md"} <= names
    assert manifest["version"] == VERSION and manifest["types"] == "qor_engine.d.ts"
    assert manifest["exports"]["."] == {"types": "./qor_engine.d.ts", "import": "./qor_engine.mjs",
                                        "require": "./qor_engine.js"}


@pytest.mark.parametrize("program", ["main.js", "main.cjs"])
def test_javascript_programs_run(project: Path, program: str) -> None:
    assert run(["node", "--expose-gc", program, str(TUTORIAL)], project) == "ok\n"


@needs_tsc
@pytest.mark.parametrize("program", ["typed.cts", "typed_esm.mts"])
def test_strict_typescript_programs_compile_and_run(project: Path, program: str) -> None:
    assert TSC is not None
    run([TSC, "--strict", "--target", "es2020", "--module", "nodenext", "--lib", "es2020,dom", program], project)
    assert run(["node", re.sub(r"\.(c|m)ts$", r".\1js", program)], project) == "ok\n"


@needs_tsc
def test_every_typescript_snippet_of_the_guide_compiles(project: Path) -> None:
    guide = (project / "node_modules" / "qor-engine" / "README.md").read_text(encoding="utf-8")
    snippets = re.findall(r"```ts\n(.*?)```", guide, re.DOTALL)
    assert len(snippets) >= 4
    names = []
    for number, snippet in enumerate(snippets):
        names.append(f"snippet_{number}.cts")
        (project / names[-1]).write_text(snippet, encoding="utf-8")
    assert TSC is not None
    run([TSC, "--strict", "--noEmit", "--target", "es2020", "--module", "nodenext", "--lib", "es2020,dom",
         "--allowUmdGlobalAccess", "context.d.ts", *names], project)
