"""The pages' drawing code (web/draw/draw.js, QorDraw) under Node: what a
charge's chip shows for each kind of magnitude, compared whole."""

from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path

import pytest

DRAW = Path(__file__).resolve().parents[2] / "web" / "draw" / "draw.js"

# (magnitude as JavaScript writes it, the chip's text)
MAGNITUDES = [
    ("Infinity", "+\u221e"), ("-Infinity", "\u2212\u221e"), ("NaN", "NaN"), ("null", "?"),
    ("3", "3"), ("-2.5", "\u22122.5"), ("1/3", "0.333333"),
    ("999999999999999", "999999999999999"), ("-999999999999999", "\u2212999999999999999"),
    ("1234567890123456", "1234570000000000"), ("-1234567890123456", "\u22121234570000000000"),
    ("1e21", "1e+21"), ("1.5e300", "1.5e+300"),
]


@pytest.mark.skipif(shutil.which("node") is None, reason="Node is not installed")
def test_a_chip_shows_each_magnitude_exactly() -> None:
    script = (f"const d = require({json.dumps(str(DRAW))});"
              f"console.log(JSON.stringify([{', '.join(value for value, _ in MAGNITUDES)}].map(d.formatMagnitude)));")
    done = subprocess.run(["node", "-e", script], capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr[-3000:]
    assert json.loads(done.stdout) == [shown for _, shown in MAGNITUDES]
