"""The level studio's memory on levels whose every frame is large: one zone
whose id is control characters, each written 6 bytes wide, with an agent
that is placed again each time it acts, so that the level runs to the frame
limit with frames as large as the engine writes. At 8 MiB (the most a level
file may hold) the engine refuses to play such a level at all, and the
studio says so and stays responsive; just under the engine's work bound
(about 666,000 control characters, frames of about 12 MB) it plays: for a
minute the page must keep answering and its renderer processes stay under
1 GiB; the background play stops at its budget with a message, and Export
replay records without blocking the page and can be stopped.
"""

from __future__ import annotations

import json
import time
from pathlib import Path
from typing import Any

from test_studio_browser import SHOTS, Studio, browser  # noqa: F401  (browser is a fixture)

MAX_LEVEL_BYTES = 8 * 1024 * 1024
RENDERER_BOUND = 1024 * 1024 * 1024


REST = {"charges": [[1, "negative", "c"]], "agents": [{"kind": "abs", "id": "again", "refill": True}]}
# Control characters in the id of the largest level of this shape the engine plays.
PLAYED_ID_LENGTH = 660_000


def level_with_id_of(path: Path, length: int) -> None:
    path.write_text(json.dumps({"zone": "\x01" * length, **REST}), encoding="ascii")


def huge_level(path: Path) -> None:
    """Just under the file size cap, with room for the lines and indents the
    studio's own text of the level adds."""
    size = MAX_LEVEL_BYTES - 100 - len(json.dumps({"zone": "", **REST}))
    level_with_id_of(path, size // 6)
    assert MAX_LEVEL_BYTES - 110 < path.stat().st_size <= MAX_LEVEL_BYTES - 100


def descendants(pid: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for status in Path("/proc").glob("[0-9]*/status"):
        try:
            fields = dict(line.split(":\t", 1) for line in status.read_text().splitlines() if ":\t" in line)
        except OSError:
            continue
        children.setdefault(int(fields["PPid"]), []).append(int(fields["Pid"]))
    found, pending = [], [pid]
    while pending:
        for child in children.get(pending.pop(), []):
            found.append(child)
            pending.append(child)
    return found


def renderer_bytes(driver: Any) -> int:
    """The resident memory of the browser's renderer processes."""
    total = 0
    for pid in descendants(driver.service.process.pid):
        try:
            if b"--type=renderer" not in Path(f"/proc/{pid}/cmdline").read_bytes():
                continue
            rss = next(line for line in Path(f"/proc/{pid}/status").read_text().splitlines() if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            continue
        total += int(rss.split()[1]) * 1024
    return total


def test_a_level_of_huge_frames_plays_a_minute_in_bounded_memory(browser: Any, tmp_path: Path) -> None:  # noqa: F811
    from selenium.webdriver.support.ui import Select, WebDriverWait

    studio = Studio(browser)
    refused = tmp_path / "huge.json"
    huge_level(refused)
    studio.open_file(refused)
    assert studio.problems() == []
    WebDriverWait(browser, 60).until(lambda _: studio.body("background") == "refused")
    assert studio.text("notice").startswith("The engine cannot play this level: the zone tree is larger")

    level = tmp_path / "largest_played.json"
    level_with_id_of(level, PLAYED_ID_LENGTH)
    studio.open_file(level)
    assert studio.problems() == []
    WebDriverWait(browser, 300).until(lambda _: studio.body("background") == "stopped")
    assert "stopped there" in studio.text("notice")
    played = int(studio.one("#slider").get_attribute("max"))

    Select(studio.one("#speed")).select_by_value("60")
    studio.click("#play")
    peak, slowest, started = 0, 0.0, time.monotonic()
    while time.monotonic() - started < 60:
        asked = time.monotonic()
        position = int(browser.execute_script("return document.body.dataset.position"))
        slowest = max(slowest, time.monotonic() - asked)
        peak = max(peak, renderer_bytes(browser))
        assert peak < RENDERER_BOUND
        time.sleep(2)
    # Clicked by a script: while frames this large play, the page runs one
    # task after another, and a pointer click waits for a gap.
    click = "document.getElementById(arguments[0]).click()"
    browser.execute_script(click, "play")
    print(f"\nplayed to frame {position} (the background stopped at {played}); renderers' peak "
          f"{peak / 2**20:.0f} MiB; slowest answer {slowest:.1f} s")
    assert position > 5

    # Export replay records in slices: the page answers, and a second click stops it.
    browser.execute_script(click, "export-replay")
    WebDriverWait(browser, 120).until(lambda _: "recording frame" in studio.text("notice"))
    assert browser.execute_script("return document.body.dataset.exporting") == "true"
    browser.execute_script(click, "export-replay")
    WebDriverWait(browser, 120).until(lambda _: studio.text("notice") == "Export replay stopped.")
    assert renderer_bytes(browser) < RENDERER_BOUND
    assert browser.save_screenshot(str(SHOTS / "studio_huge_level.png"))
