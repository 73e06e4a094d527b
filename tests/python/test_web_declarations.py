"""The WebAssembly module's TypeScript declarations (src/web/qor_engine.d.ts,
copied to build/web/qor_engine.d.ts) and QorPatch's (web/draw/jsonpatch.d.ts):
Debian's `tsc --strict` accepts the host programs in tests/web written
against them, and refuses each line marked `@ts-expect-error` there (tsc
reports a mark that silences nothing); on the built module, the Node host
runs, every name the module has is declared and every declared name exists.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
WEB_TESTS = REPO / "tests" / "web"
DECLARATIONS = [REPO / "src" / "web" / "qor_engine.d.ts", REPO / "web" / "draw" / "jsonpatch.d.ts"]
ENGINE = REPO / "build" / "web" / "qor_engine.js"
TSC = shutil.which("tsc")

# Names declared for what the module is gaining: allowed to be missing from a
# module built before it. None now.
DECLARED_AHEAD: set[str] = set()

needs_tsc = pytest.mark.skipif(TSC is None, reason="tsc is not installed (Debian's node-typescript)")
needs_engine = [
    pytest.mark.skipif(not ENGINE.exists(), reason=f"{ENGINE} is not built (bash scripts/build_web.sh)"),
    pytest.mark.skipif(shutil.which("node") is None, reason="Node is not installed"),
]


def compile_host(host: str, folder: Path, *options: str) -> None:
    """Compiles the host beside copies of the declarations: each host on its
    own, since the page's declares Symbol.dispose, which must not reach the
    Node host's check."""
    for source in [*DECLARATIONS, WEB_TESTS / host]:
        shutil.copy(source, folder)
    assert TSC is not None
    compiled = subprocess.run(
        [TSC, "--strict", "--target", "es2020", "--module", "commonjs", "--lib", "es2020,dom", *options, host],
        cwd=folder, capture_output=True, text=True, timeout=300)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr


@needs_tsc
@pytest.mark.parametrize("host", ["host_program.ts", "host_page.ts"])
def test_host_type_checks(host: str, tmp_path: Path) -> None:
    compile_host(host, tmp_path, "--noEmit")


@needs_tsc
@needs_engine[0]
@needs_engine[1]
def test_host_runs_on_the_module(tmp_path: Path) -> None:
    compile_host("host_program.ts", tmp_path)
    shutil.copy(ENGINE, tmp_path)
    shutil.copy(REPO / "web" / "draw" / "jsonpatch.js", tmp_path)
    ran = subprocess.run(["node", "host_program.js"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0 and ran.stderr == "", ran.stdout + ran.stderr


@needs_tsc
@needs_engine[0]
@needs_engine[1]
def test_declarations_name_the_module() -> None:
    built = ENGINE.with_name("qor_engine.d.ts")
    assert built.read_bytes() == DECLARATIONS[0].read_bytes(), f"{built} is not src/web's (run scripts/build_web.sh)"
    assert TSC is not None
    typescript = Path(os.path.realpath(TSC)).parents[1] / "lib" / "typescript.js"
    compared = subprocess.run(["node", str(WEB_TESTS / "declared_names.js"), str(ENGINE), str(built), str(typescript)],
                              capture_output=True, text=True, timeout=300, check=True)
    names = json.loads(compared.stdout)
    assert names["undeclared"] == []
    assert set(names["missing"]) <= DECLARED_AHEAD
