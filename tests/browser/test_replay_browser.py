"""The HTML replay in a real headless Chromium: every frame through every control.

Run by scripts/test_browser.sh, which installs Debian's chromium and
chromium-driver; Selenium is pointed at them and never fetches a browser or a
driver. Without them the tests are skipped, unless QOR_REQUIRE_BROWSER is set.
Screenshots go to build/browser/.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[2]
REPLAY = REPO / "examples" / "replay.py"
LEVEL = REPO / "examples" / "levels" / "nested_shields.json"  # casts, merges and frozen zones
SHOTS = REPO / "build" / "browser"
DATA_START = '<script type="application/json" id="replay-data">'

os.environ.setdefault("SE_OFFLINE", "true")  # Selenium Manager must not download anything


def write_replay(level: Path, output: Path) -> dict[str, Any]:
    """Writes the replay of a level and returns the data embedded in it."""
    subprocess.run([sys.executable, REPLAY, level, "-o", output], check=True, capture_output=True)
    page = output.read_text(encoding="ascii")
    start = page.index(DATA_START) + len(DATA_START)
    data: dict[str, Any] = json.loads(page[start : page.index("</script>", start)])
    return data


def state_at(data: dict[str, Any], position: int) -> dict[str, Any]:
    text = data["start"] if position == 0 else data["frames"][position - 1]
    state: dict[str, Any] = json.loads(text)
    return state


def zones_of(zone: dict[str, Any]) -> Iterator[dict[str, Any]]:
    yield zone
    for sub_zone in zone["sub_environments"]:
        yield from zones_of(sub_zone)


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    chromium = Path(os.environ.get("QOR_CHROMIUM", "/usr/bin/chromium"))
    chromedriver = Path(os.environ.get("QOR_CHROMEDRIVER", "/usr/bin/chromedriver"))
    webdriver = pytest.importorskip("selenium.webdriver")
    if not (chromium.exists() and chromedriver.exists()):
        problem = f"needs {chromium} and {chromedriver} (scripts/test_browser.sh installs them)"
        if os.environ.get("QOR_REQUIRE_BROWSER"):
            pytest.fail(problem)
        pytest.skip(problem)
    options = webdriver.ChromeOptions()
    options.binary_location = str(chromium)
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1100,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(executable_path=str(chromedriver))
    )
    driver.implicitly_wait(0)
    yield driver
    driver.quit()


class Page:
    """The replay open in the browser, with the checks against the frame texts."""

    def __init__(self, driver: Any, data: dict[str, Any]) -> None:
        self.driver = driver
        self.data = data
        self.last = len(data["frames"])

    def css(self, selector: str) -> list[Any]:
        return list(self.driver.find_elements("css selector", selector))

    def one(self, selector: str) -> Any:
        return self.driver.find_element("css selector", selector)

    def text(self, element_id: str) -> str:
        return str(self.one("#" + element_id).get_attribute("textContent"))

    def click(self, element_id: str) -> None:
        self.one("#" + element_id).click()

    def press(self, key: str) -> None:
        self.one("body").send_keys(key)

    def position(self) -> int:
        return int(self.one("body").get_attribute("data-position"))

    def check(self, position: int) -> None:
        """The page shows step `position`, and shows it as its frame text says."""
        assert self.position() == position
        state = state_at(self.data, position)
        meta = state.get("meta")
        if meta is None:
            assert self.text("frame-number").startswith("0 ")
        else:
            assert self.text("frame-number") == str(meta["frame_index"])
            assert self.text("status") == meta["status"]
            assert self.text("message") == meta["message"]
        assert self.one("#slider").get_attribute("value") == str(position)

        zones = list(zones_of(state))
        assert [box.get_attribute("data-zone-id") for box in self.css("section.zone")] == [
            zone["id"] for zone in zones
        ]
        assert len(self.css(".chip")) == sum(len(zone["charges"]) for zone in zones)
        assert len(self.css(".zone.frozen")) == sum(zone["is_time_frozen"] for zone in zones)
        assert len(self.css("li.agent:not(.acted)")) == sum(len(zone["agents"]) for zone in zones)
        self.check_highlight(meta["last_event"] if meta else None)

        outcome = self.one("#outcome")
        assert outcome.is_displayed() == (position == self.last)
        assert outcome.get_attribute("textContent") == self.data["outcome"]

    def check_highlight(self, event: dict[str, Any] | None) -> None:
        marked = self.css(".highlight")
        kind = event["type"] if event else None
        if kind == "CAST_SPELL":
            # The actor, shown inside the zone it acted in.
            (agent,) = marked
            assert agent.get_attribute("data-visual-id") == event["visual_id"]
            zone_id = self.driver.execute_script(
                "return arguments[0].closest('section.zone').dataset.zoneId", agent
            )
            assert event["description"].endswith(" executed operation in " + zone_id)
        elif kind == "COLLAPSE_ZONE":
            (zone,) = marked
            assert "shield_" + zone.get_attribute("data-zone-id") == event["visual_id"]
        else:
            assert marked == []


@pytest.fixture(scope="module")
def page(browser: Any, tmp_path_factory: pytest.TempPathFactory) -> Page:
    output = tmp_path_factory.mktemp("replay") / "nested_shields.html"
    data = write_replay(LEVEL, output)
    browser.get(output.as_uri())
    return Page(browser, data)


def test_buttons_walk_every_frame(page: Page) -> None:
    page.click("first")
    page.check(0)
    SHOTS.mkdir(parents=True, exist_ok=True)
    assert page.driver.save_screenshot(str(SHOTS / "replay_start.png"))
    for position in range(1, page.last + 1):
        page.click("next")
        page.check(position)
    page.click("next")  # stays on the last frame
    page.check(page.last)
    assert page.driver.save_screenshot(str(SHOTS / "replay_end.png"))
    for position in range(page.last - 1, -1, -1):
        page.click("prev")
        page.check(position)
    page.click("last")
    page.check(page.last)
    page.click("first")
    page.check(0)
    assert (SHOTS / "replay_end.png").stat().st_size > 0


def test_arrow_keys_walk_every_frame(page: Page) -> None:
    from selenium.webdriver.common.keys import Keys

    page.press(Keys.END)
    page.check(page.last)
    for position in range(page.last - 1, -1, -1):
        page.press(Keys.ARROW_LEFT)
        page.check(position)
    for position in range(1, page.last + 1):
        page.press(Keys.ARROW_RIGHT)
        page.check(position)
    page.press(Keys.HOME)
    page.check(0)


def test_slider_reaches_every_frame(page: Page) -> None:
    from selenium.webdriver.common.keys import Keys

    slide = "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'));"
    for position in reversed(range(page.last + 1)):
        page.driver.execute_script(slide, page.one("#slider"), str(position))
        page.check(position)
    page.one("#slider").send_keys(Keys.ARROW_RIGHT)  # the slider's own key: one step
    page.check(1)


def test_play_runs_to_the_end_and_pause_stops(page: Page) -> None:
    from selenium.webdriver.support.ui import Select, WebDriverWait

    page.click("first")
    Select(page.one("#speed")).select_by_value("30")
    page.click("play")
    assert page.one("#play").get_attribute("aria-label") == "Pause"
    WebDriverWait(page.driver, 20).until(lambda _: page.position() == page.last)
    assert page.one("#play").get_attribute("aria-label") == "Play"
    page.check(page.last)

    Select(page.one("#speed")).select_by_value("1")
    page.click("play")  # from the end, play starts over
    page.click("play")
    stopped = page.position()
    page.driver.execute_script("return new Promise((done) => setTimeout(done, 1500))")
    assert page.position() == stopped < page.last


def test_controls_are_labelled(page: Page) -> None:
    for button in page.css("button"):
        assert button.get_attribute("aria-label") and button.text.strip()
    assert page.one("#slider").get_attribute("aria-label")
    page.press("\ue011")  # Home
    for chip in page.css(".chip"):  # the sign, not only the colour, tells the polarity
        assert chip.text[0] in "+\u2212~" and chip.get_attribute("title")


HOSTILE_LEVEL = {
    "title": "<i>Tilted</i> </script>",
    "description": "<img src=x onerror=\"window.injected = 'description'\">",
    "zone": "</script><script>window.injected = 'zone'</script>",
    "charges": [[3, "positive", "<img src=x onerror=\"window.injected = 'charge'\">"]],
    "agents": [{"kind": "plus", "id": "<b onmouseover=alert(1)>p</b>"}],
    "zones": [{"zone": "&lt;inner&gt;", "charges": [[1, "negative", "\u2028\u00e9"]]}],
}


def test_ids_and_texts_cannot_inject_markup(browser: Any, tmp_path: Path) -> None:
    level = tmp_path / "hostile.json"
    level.write_text(json.dumps(HOSTILE_LEVEL), encoding="utf-8")
    output = tmp_path / "hostile.html"
    data = write_replay(level, output)
    browser.get(output.as_uri())
    page = Page(browser, data)
    page.check(0)
    assert page.css("img, i, [onerror], [onmouseover]") == []
    assert len(page.css("script")) == 2  # the page's own: its data and its code
    assert browser.execute_script("return window.injected") is None
    assert page.text("title") == HOSTILE_LEVEL["title"]
    assert [box.get_attribute("data-zone-id") for box in page.css("section.zone")] == [
        HOSTILE_LEVEL["zone"], "&lt;inner&gt;"
    ]
    page.press("\ue010")  # End
    page.check(page.last)
