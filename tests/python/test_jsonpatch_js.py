"""The pages' JSON Patch applier (web/draw/jsonpatch.js, QorPatch) under Node,
against RFC 6901's pointer examples and RFC 6902's (tests/web/jsonpatch_test.js)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

TEST = Path(__file__).resolve().parents[1] / "web" / "jsonpatch_test.js"


@pytest.mark.skipif(shutil.which("node") is None, reason="Node is not installed")
def test_pointers_and_operations_of_the_rfcs() -> None:
    done = subprocess.run(["node", str(TEST)], capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr[-3000:]
