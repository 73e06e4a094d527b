"""The level studio as it ships: `scripts/build_wheels.sh studio` writes
dist/qor_studio-VERSION.html beside the wheels, listed in dist/SIZES.md with
its digest. A designer opens it from disk in Chromium with the network off,
builds a level from New, plays it to a win and saves it.

Run by scripts/test_browser.sh, which builds the engine for the web first.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import tomllib
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from test_studio_browser import REPO, Studio, browser, native_play  # noqa: F401 (browser is a fixture)

VERSION = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


@pytest.fixture(scope="module")
def released(tmp_path_factory: pytest.TempPathFactory) -> Path:
    dist = tmp_path_factory.mktemp("dist")
    subprocess.run(["bash", str(REPO / "scripts" / "build_wheels.sh"), "studio"], check=True, cwd=REPO,
                   env=dict(os.environ, QOR_DIST=str(dist)), stdout=subprocess.DEVNULL)
    return dist


def test_the_release_writes_one_versioned_page_with_its_digest(released: Path) -> None:
    page = released / f"qor_studio-{VERSION}.html"
    assert sorted(path.name for path in released.iterdir()) == ["SIZES.md", page.name]
    digest = hashlib.sha256(page.read_bytes()).hexdigest()
    assert f"| `{page.name}` | {(page.stat().st_size + 512) // 1024} KiB | `{digest}` |" in (released / "SIZES.md").read_text()


@pytest.fixture(scope="module")
def offline(browser: Any) -> Iterator[Any]:
    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                            {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})
    yield browser
    browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                            {"offline": False, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})


def test_a_designer_goes_from_the_page_to_a_saved_winning_level(released: Path, offline: Any) -> None:
    studio = Studio(offline, released / f"qor_studio-{VERSION}.html")
    studio.new_level()
    studio.set_field("title", "The Little Workshop")
    studio.zone_button("root", "add-charge")
    studio.set_field("root|charge|0|0", "9")
    studio.add_agent("root", "equals_gate")
    studio.set_field("root|agent|0|target", "9")
    studio.click("#last")
    assert studio.body("outcome") == "won" and studio.problems() == []
    saved = studio.download("save-level", "the_little_workshop.json")
    assert json.loads(saved.read_text(encoding="utf-8")) == studio.level()
    start, frames = native_play(saved)
    assert json.loads(frames[-1])["meta"]["status"] == "FINISHED"
    requests = [json.loads(entry["message"])["message"]["params"]["request"]["url"]
                for entry in offline.get_log("performance")
                if json.loads(entry["message"])["message"]["method"] == "Network.requestWillBeSent"]
    assert [url for url in requests if url.split(":")[0] not in ("file", "data", "blob")] == []
