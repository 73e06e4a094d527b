"""The HTML replay in a real headless Chromium: every frame through every control.

Run by scripts/test_browser.sh, which installs Debian's chromium and
chromium-driver; Selenium is pointed at them and never fetches a browser or a
driver. Without them the tests are skipped, unless QOR_REQUIRE_BROWSER is set.
Screenshots go to build/browser/.
"""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
REPLAY = EXAMPLES / "replay.py"
LEVELS = EXAMPLES / "levels"
LEVEL = LEVELS / "nested_shields.json"  # casts, merges and frozen zones
SHOTS = REPO / "build" / "browser"
DATA_START = '<script type="application/json" id="replay-data">'

sys.path.insert(0, str(EXAMPLES))  # play.py's loader and player, for the frames to compare
os.environ.setdefault("SE_OFFLINE", "true")  # Selenium Manager must not download anything


def write_replay(level: Path, output: Path) -> dict[str, Any]:
    """Writes the replay of a level and returns the data embedded in it."""
    subprocess.run([sys.executable, REPLAY, level, "-o", output], check=True, capture_output=True)
    page = output.read_text(encoding="ascii")
    start = page.index(DATA_START) + len(DATA_START)
    data: dict[str, Any] = json.loads(page[start : page.index("</script>", start)])
    return data


def native_states(level: Path) -> list[dict[str, Any]]:
    """The level as built, then every frame: played on a build of its own
    with next_frame(), as play.py plays it."""
    from play import build, load_level, play

    built = build(load_level(level))
    return [json.loads(built.root.to_json())] + [json.loads(text) for text, _ in play(built)]


def native_explanations(level: Path) -> list[dict[str, Any]]:
    """explain() of the level as built, then after every frame."""
    from play import load_level

    sequencer = load_level(level).play()
    explained = [json.loads(sequencer.explain())]
    while not sequencer.is_finished:
        sequencer.next_frame()
        explained.append(json.loads(sequencer.explain()))
    return explained


def zone_pointers(explained: dict[str, Any]) -> list[str]:
    """Each zone's JSON Pointer, from the numbers explain() names zones by."""
    zones = explained["zones"]
    pointers = [""] * len(zones)
    for number in reversed(range(len(zones))):
        for index, sub_zone in enumerate(zones[number]["sub_zones"]):
            pointers[sub_zone] = f"{pointers[number]}/sub_environments/{index}"
    return pointers


def zone_at(state: dict[str, Any], pointer: str) -> dict[str, Any]:
    """The zone a JSON Pointer such as "/sub_environments/1" names."""
    zone = state
    for index in pointer.split("/")[2::2]:
        zone = zone["sub_environments"][int(index)]
    return zone


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

    def __init__(self, driver: Any, data: dict[str, Any], level: Path) -> None:
        self.driver = driver
        self.data = data
        self.states = native_states(level)
        self.explanations = native_explanations(level)
        self.last = len(self.states) - 1
        assert len(self.explanations) == len(self.states)

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

    def slide(self, position: int) -> None:
        self.driver.execute_script(
            "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'));",
            self.one("#slider"),
            str(position),
        )

    def position(self) -> int:
        return int(self.one("body").get_attribute("data-position"))

    def check(self, position: int) -> None:
        """The page shows step `position`, and shows it as its frame says: the
        document it made from its patches is the frame, and so is the drawing."""
        assert self.position() == position
        state = self.states[position]
        assert json.loads(self.driver.execute_script("return qorReplay.documentText()")) == state
        meta = state.get("meta")
        if meta is None:
            assert self.text("frame-number").startswith("0 ")
        else:
            assert self.text("frame-number") == str(meta["frame_index"])
            assert self.text("status") == meta["status"]
            lost = self.one("body").get_attribute("data-outcome") == "lost"  # not "Equation Resolved."
            assert self.text("message") == (self.one("#banner").text if lost else meta["message"])
        assert self.one("#slider").get_attribute("value") == str(position)

        zones = list(zones_of(state))
        assert [box.get_attribute("data-zone-id") for box in self.css("section.zone")] == [
            zone["id"] for zone in zones
        ]
        assert len(self.css("#tree .chip")) == sum(len(zone["charges"]) for zone in zones)
        assert len(self.css("#tree .zone.frozen")) == sum(zone["is_time_frozen"] for zone in zones)
        assert len(self.css("li.agent:not(.acted):not(.refilled)")) == sum(len(zone["agents"]) for zone in zones)
        self.check_highlight(meta["last_event"] if meta else None)
        self.check_explanation(self.explanations[position], position == self.last)

        outcome = self.one("#outcome")
        assert outcome.is_displayed() == (position == self.last)
        assert outcome.get_attribute("textContent") == self.data["outcome"]

    def check_explanation(self, explained: dict[str, Any], at_end: bool) -> None:
        """Beside each standing agent its note, the zones keeping others
        frozen marked, and after the last frame the outcome, as explain()
        tells them."""
        notes = self.driver.execute_script("""return Array.from(document.querySelectorAll('#tree section.zone'))
            .flatMap((box) => Array.from(box.querySelectorAll(':scope > .agents > li:not(.acted)'))
              .map((item, slot) => [box.dataset.pointer + '/agents/' + slot,
                                    item.querySelector('.agent-note').textContent,
                                    item.querySelector('.agent-note').dataset.reason]));""")
        pointers = zone_pointers(explained)
        assert sorted(map(tuple, notes)) == sorted(
            (f"{pointers[agent['zone']]}/agents/{agent['slot']}", agent["note"], agent["reason"])
            for agent in explained["agents"]
        )
        keeping = {box.get_attribute("data-pointer") for box in self.css("#tree section.zone.keeps-frozen")}
        assert keeping == {pointers[zone["frozen_by"]] for zone in explained["zones"] if zone["frozen_by"] is not None}
        banner = self.one("#banner")
        assert banner.is_displayed() == at_end
        if at_end:
            assert banner.text == explained["summary"]
            assert banner.get_attribute("data-outcome") == explained["outcome"]

    def check_highlight(self, event: dict[str, Any] | None) -> None:
        """The agent that acted is drawn in the slot it stood in, a zone that
        merged where it stood in its parent: the zone's list as it was before."""
        marked = self.css("#tree .highlight")
        kind = event["type"] if event else None
        if kind not in ("CAST_SPELL", "COLLAPSE_ZONE"):
            assert marked == []
            return
        (mark,) = marked
        box = self.driver.execute_script("return arguments[0].closest('section.zone')", mark)
        before = zone_at(self.states[self.position() - 1], box.get_attribute("data-pointer"))
        if kind == "CAST_SPELL":
            assert mark.get_attribute("data-visual-id") == event["visual_id"]
            assert event["description"].endswith(" executed operation in " + before["id"])
            stood = [agent["visual_id"] for agent in before["agents"]]
            if event["visual_id"] not in stood:  # placed again by the host ("refill"): last
                stood.append(event["visual_id"])
            drawn = box.find_elements("css selector", ":scope > .agents > li:not(.refilled)")
            assert [item.get_attribute("data-visual-id") for item in drawn] == stood
        else:
            assert "shield_" + mark.get_attribute("data-zone-id") == event["visual_id"]
            drawn = box.find_elements("css selector", ":scope > .subzones > *")
            assert [item.get_attribute("data-zone-id") for item in drawn] == [
                sub_zone["id"] for sub_zone in before["sub_environments"]
            ]


@pytest.fixture(scope="module")
def page(browser: Any, tmp_path_factory: pytest.TempPathFactory) -> Page:
    output = tmp_path_factory.mktemp("replay") / "nested_shields.html"
    data = write_replay(LEVEL, output)
    browser.get(output.as_uri())
    return Page(browser, data, LEVEL)


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

    for position in reversed(range(page.last + 1)):
        page.slide(position)
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
    for chip in page.css("#tree .chip"):  # the sign, not only the colour, tells the polarity
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
    page = Page(browser, data, level)
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


def open_replay(browser: Any, level: Path, tmp_path: Path) -> Page:
    output = tmp_path / (level.stem + ".html")
    data = write_replay(level, output)
    browser.get(output.as_uri())
    return Page(browser, data, level)


def test_every_kind_of_agent_is_drawn_where_it_acted(browser: Any, tmp_path: Path) -> None:
    from selenium.webdriver.common.keys import Keys

    page = open_replay(browser, LEVELS / "grand_council.json", tmp_path)
    page.check(0)
    for position in range(1, page.last + 1):
        page.press(Keys.ARROW_RIGHT)
        page.check(position)


def test_jumps_in_a_long_level_land_on_the_frames(browser: Any, tmp_path: Path) -> None:
    # 1,001 steps: the page patches forward from the checkpoints it keeps.
    page = open_replay(browser, LEVELS / "endless_hourglass.json", tmp_path)
    for position in (page.last, 500, 499, 130, 128, 64, 63, 1, page.last - 1):
        page.slide(position)
        page.check(position)


def tutorial_with_target(target: int, folder: Path) -> Path:
    level = json.loads((LEVELS / "tutorial.json").read_text(encoding="utf-8"))
    level["agents"][1]["target"] = target
    path = folder / f"tutorial_{target}.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    return path


GREEN = "rgb(238, 247, 239)"  # the won banner's background


@pytest.mark.parametrize(
    ("make_level", "outcome", "summary"),
    [
        (lambda folder: LEVELS / "tutorial.json", "won", "Won: every gate opened"),
        (lambda folder: tutorial_with_target(20, folder), "lost",
         'Lost: gate "gate" is still shut: total 18.0, opens at 20.0'),
        (lambda folder: LEVELS / "endless_hourglass.json", "frame_limit", "Stopped at the frame limit"),
    ],
    ids=["won", "lost", "frame_limit"],
)
def test_the_end_shows_the_outcome_and_why_agents_wait(
    browser: Any, tmp_path: Path, make_level: Callable[[Path], Path], outcome: str, summary: str
) -> None:
    from selenium.webdriver.common.keys import Keys

    page = open_replay(browser, make_level(tmp_path), tmp_path)
    page.check(0)
    page.press(Keys.END)
    page.check(page.last)
    banner = page.one("#banner")
    assert (banner.text, banner.get_attribute("data-outcome")) == (summary, outcome)
    assert (page.text("message") == summary) == (outcome == "lost")
    assert page.one("body").get_attribute("data-outcome") == outcome
    green = [page.driver.execute_script("return getComputedStyle(arguments[0]).backgroundColor", banner)]
    green.append(page.driver.execute_script("return getComputedStyle(arguments[0]).color", page.one("#status")))
    assert (green[0] == GREEN) == (outcome == "won")
    assert (green[1] == "rgb(29, 107, 47)") == (outcome == "won")  # the status is green only when won
    SHOTS.mkdir(parents=True, exist_ok=True)
    assert page.driver.save_screenshot(str(SHOTS / f"replay_{outcome}.png"))
    page.press(Keys.ARROW_LEFT)
    page.check(page.last - 1)
    assert not banner.is_displayed()


NON_FINITE = {"nan": "NaN", "inf": "+\u221e", "-inf": "\u2212\u221e"}


def test_values_beyond_numbers_are_shown_exactly(browser: Any, tmp_path: Path) -> None:
    from play import build, load_level, play
    from selenium.webdriver.common.keys import Keys

    level = LEVELS / "beyond_counting.json"  # infinities and a NaN
    page = open_replay(browser, level, tmp_path)
    built = build(load_level(level))
    shown = 0
    for _ in play(built):
        page.press(Keys.ARROW_RIGHT)
        pending = [(built.root, "")]
        while pending:
            zone, pointer = pending.pop()
            pending += [(sub, f"{pointer}/sub_environments/{i}")
                        for i, sub in enumerate(zone.sub_environments)]
            chips = page.css(f'section.zone[data-pointer="{pointer}"] > .charges > .chip')
            for chip, charge in zip(chips, zone.charges, strict=True):
                if not math.isfinite(charge.magnitude):
                    assert NON_FINITE[str(charge.magnitude)] in chip.text
                    shown += 1
    assert shown >= 5


def test_the_change_is_scrolled_into_view(browser: Any, tmp_path: Path) -> None:
    rooms = [
        {"zone": f"room_{index}", "charges": [[1, "positive", "a"], [2, "positive", "b"]],
         "agents": [{"kind": "plus", "id": f"adder_{index}"}]}
        for index in range(30)
    ]
    level = tmp_path / "tower.json"
    level.write_text(json.dumps({"zone": "tower", "zones": rooms}), encoding="utf-8")
    page = open_replay(browser, level, tmp_path)
    in_view = """const mark = document.querySelector('#tree .highlight').getBoundingClientRect();
        const controls = document.getElementById('controls').getBoundingClientRect();
        return mark.top >= controls.bottom && mark.bottom <= window.innerHeight;"""
    assert page.driver.execute_script("return document.body.scrollHeight > 2 * innerHeight")
    for position, key, marked in ((1, "visualId", "adder_0"), (30, "visualId", "adder_29"),
                                  (31, "zoneId", "room_0")):  # down, then up to a merge
        page.slide(position)
        page.check(position)
        assert page.driver.execute_script(in_view)
        assert page.driver.execute_script(f"return document.querySelector('#tree .highlight').dataset.{key}") == marked
