"""The level studio (build/web/studio.html) in a real headless Chromium.

A level is built through the page's controls, played to its end on the
WebAssembly engine and every drawn frame compared with the native module's
frames for the level file the page saves; every bad level file of the schema
tests is opened and its problems compared with the native reader's; the
outcome banner and the notes of why agents wait come from explain(); the replay
page the studio exports is compared with replay.py's byte for byte; and the
page is checked to have asked the network for nothing.

scripts/test_browser.sh builds the page (scripts/build_web.sh) and installs
Debian's chromium and chromium-driver. Screenshots go to build/browser/.
"""

from __future__ import annotations

import functools
import importlib.util
import json
import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[2]
STUDIO = REPO / "build" / "web" / "studio.html"
REPLAY = REPO / "examples" / "replay.py"
SHOTS = REPO / "build" / "browser"

os.environ.setdefault("SE_OFFLINE", "true")  # Selenium Manager must not download anything


@functools.cache
def load_module(name: str, path: Path) -> Any:
    sys.path.insert(0, str(path.parent))
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def bad_level_files() -> list[tuple[str, str]]:
    """(name, text) of every file the schema tests know play.py refuses."""
    schemas = load_module("level_schema_tests", REPO / "tests" / "python" / "test_schemas.py")
    return (
        [(name, text) for name, text, good in schemas.CORPUS if not good]
        + list(schemas.BEYOND_THE_SCHEMA)
        + [(name, text) for name, text, _ in schemas.MULTI_PROBLEM]
    )


def native_problems(path: Path) -> list[str]:
    """The problems the native module's reader lists for a file."""
    import qor_engine

    try:
        qor_engine.read_level(path.read_bytes())
    except qor_engine.LevelError as error:
        return list(error.problems)
    return []


def native_play(level: Path) -> tuple[dict[str, Any], list[str]]:
    """A level file played on the native module: the level as built, and
    every frame text up to the end or the frame limit."""
    import qor_engine

    played = qor_engine.read_level(level.read_bytes()).play()
    start = json.loads(played.root_environment.to_json())
    frames = []
    while not played.is_finished:
        before = played.current_frame
        text = played.next_frame()
        if played.current_frame != before:
            frames.append(text)
    return start, frames


def zones_of(zone: dict[str, Any]) -> Iterator[dict[str, Any]]:
    yield zone
    for sub_zone in zone["sub_environments"]:
        yield from zones_of(sub_zone)


@pytest.fixture(scope="module")
def browser(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Any]:
    chromium = Path(os.environ.get("QOR_CHROMIUM", "/usr/bin/chromium"))
    chromedriver = Path(os.environ.get("QOR_CHROMEDRIVER", "/usr/bin/chromedriver"))
    webdriver = pytest.importorskip("selenium.webdriver")
    missing = [str(path) for path in (chromium, chromedriver, STUDIO) if not path.exists()]
    if missing:
        problem = f"needs {', '.join(missing)} (scripts/test_browser.sh builds and installs them)"
        if os.environ.get("QOR_REQUIRE_BROWSER"):
            pytest.fail(problem)
        pytest.skip(problem)
    options = webdriver.ChromeOptions()
    options.binary_location = str(chromium)
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1300,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(executable_path=str(chromedriver))
    )
    driver.implicitly_wait(0)
    downloads = tmp_path_factory.mktemp("downloads")
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    driver.downloads = downloads
    yield driver
    driver.quit()


class Studio:
    """The studio open in the browser."""

    def __init__(self, driver: Any, page: Path = STUDIO) -> None:
        from selenium.webdriver.support.ui import WebDriverWait

        self.driver = driver
        self.page = page
        driver.get(page.as_uri())
        WebDriverWait(driver, 30).until(lambda _: self.body("engine") in ("ready", "failed"))
        assert self.body("engine") == "ready"

    def reload(self) -> None:
        """Opens the page again, as after the tab was closed."""
        from selenium.webdriver.support.ui import WebDriverWait

        self.driver.get(self.page.as_uri())
        WebDriverWait(self.driver, 30).until(lambda _: self.body("engine") in ("ready", "failed"))
        assert self.body("engine") == "ready"

    def css(self, selector: str) -> list[Any]:
        return list(self.driver.find_elements("css selector", selector))

    def one(self, selector: str) -> Any:
        return self.driver.find_element("css selector", selector)

    def body(self, name: str) -> str | None:
        value: str | None = self.one("body").get_attribute("data-" + name)
        return value

    def text(self, element_id: str) -> str:
        return str(self.one("#" + element_id).get_attribute("textContent"))

    def click(self, selector: str) -> None:
        self.one(selector).click()

    def level(self) -> dict[str, Any]:
        level: dict[str, Any] = json.loads(self.body("level-text") or "null")
        return level

    def set_field(self, key: str, value: str) -> None:
        """Types into the editor's field (or chooses an option) and commits it."""
        field = self.one(f'[data-key="{key}"]')
        if field.tag_name == "select":
            from selenium.webdriver.support.ui import Select

            Select(field).select_by_value(value)
        elif field.get_attribute("type") == "checkbox":
            if field.is_selected() != (value == "true"):
                field.click()
        else:
            from selenium.webdriver.common.keys import Keys

            field.send_keys(Keys.CONTROL + "a")
            field.send_keys(Keys.DELETE + value + Keys.TAB)

    def zone_button(self, path: str, action: str) -> None:
        """Clicks a zone's own button ("add-charge", "add-zone", ...)."""
        self.click(f'fieldset[data-path="{path}"] > [data-action="{action}"], '
                   f'fieldset[data-path="{path}"] > * > [data-action="{action}"]')

    def add_agent(self, path: str, kind: str) -> None:
        self.set_field(f"{path}|new-kind", kind)
        self.zone_button(path, "add-agent")

    def open_file(self, path: Path, discard: bool = True) -> None:
        """Opens a file with Open file..., letting unsaved edits go when asked."""
        self.driver.execute_script("document.body.dataset.opened = ''")
        self.one("#open-file").send_keys(str(path))
        self.answer(lambda: self.body("opened") == path.name, discard)

    def answer(self, done: Any, discard: bool = True) -> None:
        """Waits for `done()`, answering the question before unsaved edits
        are discarded (Open it, or Keep editing) if it is asked."""
        from selenium.webdriver.support.ui import WebDriverWait

        WebDriverWait(self.driver, 30).until(lambda _: done() or self.asked())
        if self.asked():
            self.click("#discard-yes" if discard else "#discard-no")
            WebDriverWait(self.driver, 30).until(lambda _: not self.asked() and (done() or not discard))

    def asked(self) -> bool:
        return any(dialog.get_attribute("open") is not None for dialog in self.css("#discard"))

    def new_level(self) -> None:
        self.driver.execute_script("document.body.dataset.opened = ''")
        self.click("#new-level")
        self.answer(lambda: self.body("opened") == "new level")

    def open_sample(self, name: str) -> None:
        from selenium.webdriver.support.ui import Select

        if self.one("#samples").get_attribute("value") == name:
            self.new_level()  # choosing the sample shown changes nothing
        self.driver.execute_script("document.body.dataset.opened = ''")
        Select(self.one("#samples")).select_by_value(name)
        self.answer(lambda: self.body("opened") == name)

    def problems(self) -> list[str]:
        if not self.one("#problems").is_displayed():
            return []
        return [item.get_attribute("data-problem") for item in self.css("#problem-list li")]

    def download(self, button: str, name: str) -> Path:
        from selenium.webdriver.support.ui import WebDriverWait

        target = Path(self.driver.downloads) / name
        target.unlink(missing_ok=True)
        self.click("#" + button)
        WebDriverWait(self.driver, 30).until(lambda _: target.exists() and target.stat().st_size > 0)
        return target

    def step(self) -> int:
        return int(self.body("position") or "-1")

    def check(self, start: dict[str, Any], frames: list[str], step: int) -> None:
        """The page shows `step` as the native frames say."""
        assert self.step() == step
        state = start if step == 0 else json.loads(frames[step - 1])
        meta = state.get("meta")
        if meta is None:
            assert self.text("frame-number").startswith("0 ")
        else:
            # A level lost ends as one won ("Equation Resolved."): the outcome says which.
            lost = step == len(frames) and self.body("outcome") == "lost"
            assert (self.text("frame-number"), self.text("status"), self.text("message")) == (
                str(meta["frame_index"]), meta["status"], self.text("outcome") if lost else meta["message"])
        zones = list(zones_of(state))
        drawn = self.driver.execute_script("""
            const tree = document.getElementById("tree");
            const ids = (selector) => [...tree.querySelectorAll(selector)].map((n) => n.dataset.zoneId || n.dataset.visualId);
            return [ids("section.zone"), ids(".chip"), ids("li.agent:not(.acted):not(.refilled)"),
                    tree.querySelectorAll(".zone.frozen").length, ids(".highlight")];
        """)
        assert drawn[:4] == [
            [zone["id"] for zone in zones],
            [charge["visual_id"] for zone in zones for charge in zone["charges"]],
            [agent["visual_id"] for zone in zones for agent in zone["agents"]],
            sum(zone["is_time_frozen"] for zone in zones),
        ]
        event = meta["last_event"] if meta else None
        kind = event["type"] if event else None
        if kind == "CAST_SPELL":
            assert drawn[4] == [event["visual_id"]]
        elif kind == "COLLAPSE_ZONE":
            assert ["shield_" + zone_id for zone_id in drawn[4]] == [event["visual_id"]]
        else:
            assert drawn[4] == []
        assert self.one("#outcome").is_displayed() == (step == len(frames))

    def play_through(self, start: dict[str, Any], frames: list[str]) -> None:
        """Steps from the level as built to the last frame, checking each, then past the end."""
        self.click("#first")
        self.check(start, frames, 0)
        for step in range(1, len(frames) + 1):
            self.click("#next")
            self.check(start, frames, step)
        self.click("#next")
        self.check(start, frames, len(frames))


@pytest.fixture(scope="module")
def studio(browser: Any) -> Studio:
    return Studio(browser)


def test_the_tutorial_is_open_and_plays_as_the_native_module_plays_it(studio: Studio) -> None:
    level = REPO / "examples" / "levels" / "tutorial.json"
    assert studio.one("#level-title").get_attribute("value") == "First Steps"
    assert studio.level() == json.loads(level.read_text(encoding="utf-8"))
    studio.play_through(*native_play(level))
    SHOTS.mkdir(parents=True, exist_ok=True)
    assert studio.driver.save_screenshot(str(SHOTS / "studio_tutorial.png"))


def test_a_level_built_with_the_controls_plays_as_its_saved_file(studio: Studio) -> None:
    studio.new_level()
    studio.set_field("title", "Built by hand")
    studio.set_field("root|zone", "keep")
    for n, (magnitude, polarity, charge_id) in enumerate([("3", "positive", "a"), ("7", "negative", "b")]):
        studio.zone_button("root", "add-charge")
        studio.set_field(f"root|charge|{n}|0", magnitude)
        studio.set_field(f"root|charge|{n}|1", polarity)
        studio.set_field(f"root|charge|{n}|2", charge_id)
    studio.add_agent("root", "abs")
    studio.add_agent("root", "plus")
    studio.set_field("root|agent|1|refill", "true")  # adds each charge merged in later
    studio.add_agent("root", "inequality_gate")
    studio.set_field("root|agent|2|target", "12")
    studio.set_field("root|agent|2|rule", ">")
    studio.zone_button("root", "add-zone")
    studio.set_field("0|zone", "forge")
    for n in range(2):
        studio.zone_button("0", "add-charge")
        studio.set_field(f"0|charge|{n}|0", str(n + 2))
    studio.add_agent("0", "power")
    studio.add_agent("0", "equals_gate")
    studio.set_field("0|agent|1|target", "8")
    studio.zone_button("0", "add-zone")  # a sub-zone of the sub-zone, then moved up to the root
    studio.set_field("0.0|zone", "spark")
    studio.zone_button("0.0", "add-charge")
    studio.set_field("0.0|move", "root")
    assert studio.problems() == []
    level = studio.level()
    assert [zone["zone"] for zone in level["zones"]] == ["forge", "spark"]
    assert [agent.get("refill", False) for agent in level["agents"]] == [False, True, False]
    assert level["agents"][2] == {"kind": "inequality_gate", "id": "inequality_gate_1", "target": 12, "rule": ">"}

    saved = studio.download("save-level", "built_by_hand.json")
    assert json.loads(saved.read_text(encoding="utf-8")) == level
    start, frames = native_play(saved)
    assert len(frames) >= 6
    studio.play_through(start, frames)
    assert studio.body("outcome") in ("won", "lost")
    studio.click("#first")
    assert studio.driver.save_screenshot(str(SHOTS / "studio_built.png"))


def test_the_slider_last_first_and_play_reach_their_steps(studio: Studio) -> None:
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait

    level = REPO / "examples" / "levels" / "nested_shields.json"
    studio.open_file(level)
    start, frames = native_play(level)
    studio.click("#last")
    studio.check(start, frames, len(frames))
    studio.click("#first")
    studio.check(start, frames, 0)
    slide = "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'));"
    studio.driver.execute_script(slide, studio.one("#slider"), "4")
    studio.check(start, frames, 4)
    studio.one("body").send_keys(Keys.ARROW_RIGHT)
    studio.check(start, frames, 5)
    Select(studio.one("#speed")).select_by_value("60")
    studio.click("#play")
    WebDriverWait(studio.driver, 30).until(lambda _: studio.step() == len(frames))
    assert studio.one("#play").get_attribute("aria-label") == "Play"
    studio.check(start, frames, len(frames))


def test_undo_and_redo_walk_the_edits(studio: Studio) -> None:
    studio.new_level()
    states = [studio.level()]
    studio.zone_button("root", "add-charge")
    states.append(studio.level())
    studio.set_field("root|charge|0|2", "spark")
    states.append(studio.level())
    studio.add_agent("root", "factorial")
    states.append(studio.level())
    for state in reversed(states[:-1]):
        studio.click("#undo")
        assert studio.level() == state
    assert studio.one("#undo").is_enabled()  # New itself is a step: the level before it is one undo away
    for state in states[1:]:
        studio.click("#redo")
        assert studio.level() == state
    assert not studio.one("#redo").is_enabled()


def test_an_edit_that_breaks_a_rule_is_listed_and_not_played(studio: Studio) -> None:
    studio.new_level()
    studio.zone_button("root", "add-zone")
    studio.set_field("0|zone", "root")
    assert studio.problems() == ['zone "root": zone 1: zone id "root" is used twice']
    assert studio.css("#tree section.zone") == []
    studio.click("#undo")
    assert studio.problems() == []
    assert len(studio.css("#tree section.zone")) == 2


@pytest.mark.parametrize(("name", "text"), bad_level_files(), ids=[name for name, _ in bad_level_files()])
def test_a_bad_level_file_opens_with_every_problem_listed_as_the_reader_lists_them(
    studio: Studio, tmp_path: Path, name: str, text: str
) -> None:
    """JSON the fields can show opens in the editor, each problem marked on
    its field; other text in the text view; only what is not UTF-8 text
    stays shut."""
    path = tmp_path / f"{name}.json"
    path.write_text(text, encoding="utf-8", errors="surrogatepass")
    expected = native_problems(path)
    assert expected
    studio.open_file(path)
    assert studio.problems() == expected
    if expected[0].startswith("not UTF-8 text"):
        assert studio.text("problems-head").startswith(f"{name}.json cannot be opened: ")
    elif studio.body("view") == "text":
        assert studio.one("#level-text").get_attribute("value") == path.read_bytes().decode("utf-8", "surrogatepass")
    else:
        assert studio.body("view") != "text" and studio.one("#fields").is_displayed()
        assert studio.driver.execute_script(MARKED) == []


# The fields a problem is about that are not marked.
MARKED = """
    return [...document.querySelectorAll("#problem-list li[data-pointer]")].map((item) => item.dataset.pointer)
        .filter((pointer) => {
            const field = document.querySelector(`#editor :is(input, select, textarea)[data-pointer="${CSS.escape(pointer)}"]`);
            return field && field.getAttribute("aria-invalid") !== "true";
        });
"""


DROP = """
    const file = new File([arguments[1]], arguments[0], { type: "application/json" });
    const transfer = new DataTransfer();
    transfer.items.add(file);
    document.getElementById("tree").dispatchEvent(new DragEvent("drop", { dataTransfer: transfer, bubbles: true }));
"""


def test_a_level_file_dropped_on_the_page_opens(studio: Studio) -> None:
    level = REPO / "examples" / "levels" / "nested_shields.json"
    studio.driver.execute_script(DROP, level.name, level.read_text(encoding="utf-8"))
    studio.answer(lambda: studio.body("opened") == level.name)
    assert studio.level() == json.loads(level.read_text(encoding="utf-8"))
    assert studio.one("#samples").get_attribute("value") == level.name
    studio.driver.execute_script(DROP, "bad.json", '{"zone": "r", "zones": [{"zone": "r"}]}')
    studio.answer(lambda: studio.body("opened") == "bad.json")
    assert studio.problems() == ['zone "r": zone 1: zone id "r" is used twice']
    assert studio.level() == {"zone": "r", "zones": [{"zone": "r"}]}  # opened to be mended
    assert studio.one("[data-key='0|zone']").get_attribute("aria-invalid") == "true"


# Every sample level, those with log, pow and root results included: the
# engine computes them itself, the same in the browser as natively.
@pytest.mark.parametrize("name", sorted(path.name for path in (REPO / "examples" / "levels").glob("*.json")))
def test_the_exported_replay_is_the_page_replay_py_writes(studio: Studio, tmp_path: Path, name: str) -> None:
    """Byte for byte: the same patches (the engine's), exact values (beyond
    counting's infinities and NaN) and outcome, written as replay.py writes them."""
    level = REPO / "examples" / "levels" / name
    studio.open_file(level)
    exported = studio.download("export-replay", f"{level.stem}_replay.html")
    written = tmp_path / "replay.html"
    subprocess.run([sys.executable, REPLAY, level, "-o", written], check=True, capture_output=True)
    assert exported.read_bytes() == written.read_bytes()


def test_the_engine_texts_are_embedded_as_replay_py_writes_them(studio: Studio) -> None:
    """Floats as Python's repr() writes them (the engine writes 1e15 as
    1e+15), every character outside printable ASCII and "<", ">" and "&"
    escaped; integers and strings as they are."""
    import qor_engine

    replay = load_module("replay", REPLAY)
    zone = qor_engine.Environment("caf\u00e9 <a&b> \U0001f600 \u2028 \x7f \x01 \"q\\")
    for magnitude in (1e15, 6402373705728000.0, 1e16, 1e-4, 1e-5, -0.0, 3.0, 0.1 + 0.2, 5e-324, 1.5e300):
        zone.add_charge(magnitude, qor_engine.ChargePolarity.NEGATIVE, "c")
    text = f"[{zone.to_json()},12,-7]"
    assert "1e+15" in text
    written = studio.driver.execute_script("return QorReplayPage.pythonJson(arguments[0])", text)
    assert written == replay.script_json(json.loads(text))


def test_the_page_asked_the_network_for_nothing(studio: Studio) -> None:
    """Every request the page made, over all the tests above, was for the page
    itself, its inlined engine (a data: URL) or its own downloads (blob: URLs)."""
    requests = [
        json.loads(entry["message"])["message"]["params"]["request"]["url"]
        for entry in studio.driver.get_log("performance")
        if json.loads(entry["message"])["message"]["method"] == "Network.requestWillBeSent"
    ]
    assert requests
    assert [url for url in requests if url.split(":")[0] not in ("file", "data", "blob")] == []
    assert {url for url in requests if url.startswith("file:")} == {STUDIO.as_uri()}


def beforeunload_asks(studio: Studio) -> bool:
    """Whether closing the tab now would ask first."""
    return bool(studio.driver.execute_script(
        "const e = new Event('beforeunload', { cancelable: true }); window.dispatchEvent(e); return e.defaultPrevented;"))


def test_new_a_sample_and_open_are_steps_of_the_undo_history(studio: Studio) -> None:
    studio.open_sample("tutorial.json")
    assert not beforeunload_asks(studio)
    studio.zone_button("root", "add-charge")
    edited = studio.level()
    assert beforeunload_asks(studio)
    studio.new_level()
    assert studio.level() == {"zone": "root"}
    studio.open_sample("beyond_counting.json")
    beyond = studio.level()
    studio.open_file(REPO / "examples" / "levels" / "nested_shields.json")
    for state, name in [(beyond, "beyond_counting.json"), ({"zone": "root"}, ""), (edited, "tutorial.json")]:
        studio.click("#undo")
        assert studio.level() == state
        assert studio.one("#samples").get_attribute("value") == name
    assert beforeunload_asks(studio)  # the edits are back, unsaved
    studio.click("#redo")
    assert studio.level() == {"zone": "root"}


def test_an_edit_after_undo_is_shown_and_ends_redo(studio: Studio) -> None:
    studio.new_level()
    studio.zone_button("root", "add-charge")
    studio.set_field("root|charge|0|2", "first")
    studio.click("#undo")
    studio.set_field("root|charge|0|2", "second")
    assert studio.level()["charges"] == [[1, "positive", "second"]]
    assert studio.one("[data-key='root|charge|0|2']").get_attribute("value") == "second"
    assert not studio.one("#redo").is_enabled()
    studio.click("#undo")
    assert studio.level()["charges"] == [[1, "positive", "charge"]]


@pytest.mark.parametrize(("key", "pointer"), [("root|charge|0|0", "/charges/0/0"), ("root|agent|0|target", "/agents/0/target")])
def test_a_number_field_holding_what_is_not_a_number_is_saved_as_it_shows(
    studio: Studio, tmp_path: Path, key: str, pointer: str
) -> None:
    """What is saved is what the field shows: the text typed, which the
    reader names when the file is opened again; never the old number."""
    studio.new_level()
    studio.zone_button("root", "add-charge")
    studio.add_agent("root", "equals_gate")
    studio.set_field(key, "7.5")
    for typed in ("1,5", "", "1e", "0x10"):
        studio.set_field(key, typed)
        field = studio.one(f'[data-key="{key}"]')
        assert field.get_attribute("aria-invalid") == "true"
        assert field.get_attribute("value") == typed
        saved = studio.download("save-level", "level.json")
        held = json.loads(saved.read_text(encoding="utf-8"))
        value = held["charges"][0][0] if pointer.startswith("/charges") else held["agents"][0]["target"]
        assert value == typed
        assert studio.problems() == native_problems(saved) != []
        assert studio.css("#tree section.zone") == []  # nothing plays
        if typed == "1,5" and pointer.endswith("target"):
            assert studio.driver.save_screenshot(str(SHOTS / "studio_fields.png"))
        assert studio.one(f'[data-key="{key}"]').get_attribute("value") == typed
    studio.set_field(key, "18.5")
    assert studio.one(f'[data-key="{key}"]').get_attribute("aria-invalid") is None
    assert studio.problems() == []
    assert "18.5" in json.dumps(studio.level())


def test_a_problem_names_the_row_shown_and_clicking_it_shows_the_field(studio: Studio) -> None:
    studio.new_level()
    studio.zone_button("root", "add-zone")
    for _ in range(2):
        studio.add_agent("0", "plus")
    studio.zone_button("0", "add-charge")
    studio.set_field("0|agent|1|id", "plus_1")
    studio.set_field("0|charge|0|2", " ")
    problems = studio.problems()
    assert problems == ['zone "zone_1": charge 1: id must not be empty', 'zone "zone_1": agent 2: agent id "plus_1" is used twice']
    for item, (row, pointer) in zip(studio.css("#problem-list li"), [
        ("fieldset[data-path='0'] .charge-row:nth-child(1)", "/zones/0/charges/0/2"),
        ("fieldset[data-path='0'] .agent-row:nth-child(2)", "/zones/0/agents/1/id"),
    ]):
        number = row.split(" ")[1].split(":nth-child(")[1].rstrip(")")
        assert studio.one(row + " .row-number").text == number
        item.click()
        focused = studio.driver.switch_to.active_element
        assert focused.tag_name == "input" and focused.get_attribute("data-pointer") == pointer
        assert "flash" in focused.get_attribute("class")


def test_events_read_in_words_beside_the_legend_the_replay_page_shares(studio: Studio) -> None:
    level = REPO / "examples" / "levels" / "nested_shields.json"
    studio.open_file(level)
    start, frames = native_play(level)
    shown = set()
    studio.click("#first")
    for text in frames:
        studio.click("#next")
        event = json.loads(text)["meta"]["last_event"]
        words = studio.text("event")
        shown.add(event["type"])
        if event["type"] == "CAST_SPELL":
            zone = event["description"].rsplit(" executed operation in ", 1)[1]
            assert words == f"{event['agent_name']} \u201c{event['visual_id']}\u201d cast its spell in zone {zone}."
        elif event["type"] == "COLLAPSE_ZONE":
            assert words.startswith(f"Zone {event['visual_id'].removeprefix('shield_')} resolved and merged")
        else:
            assert words == "The level ended: no agent could act and no zone could merge."
    assert shown == {"CAST_SPELL", "COLLAPSE_ZONE", "FINISHED"}
    legend = studio.one("#legend")
    assert [chip.get_attribute("class") for chip in legend.find_elements("css selector", ".chip")] == [
        "chip positive", "chip negative", "chip neutral", "chip positive changed"]
    assert studio.driver.execute_script(
        "return getComputedStyle(document.querySelector('#legend .chip.negative')).backgroundColor"
    ) == studio.driver.execute_script(
        "const chip = document.querySelector('#tree .chip.negative'); return chip && getComputedStyle(chip).backgroundColor"
    ) or not studio.css("#tree .chip.negative")
    template = studio.driver.execute_script("return JSON.parse(document.getElementById('replay-template').textContent)")
    assert '<p id="legend"></p>' in template and "QorDraw.legend(" in template


def test_the_kind_list_names_each_kind_as_the_engine_does(studio: Studio) -> None:
    studio.new_level()
    options = studio.driver.execute_script(
        "return [...document.querySelector('[data-key=\"root|new-kind\"]').options].map((o) => [o.value, o.text, o.title])")
    assert len(options) == 13
    by_key = {key: (text, title) for key, text, title in options}
    assert by_key["root"] == ("The Extractor (root), priority 75",
                              "square root of one charge, or the last charge's root of index the one before")
    assert by_key["modulo"][0] == "The Scavenger (modulo), priority 50"
    studio.add_agent("root", "abs")
    assert studio.one(".agent-row .kind-note").text == "The Purifier: turns every negative charge positive"


def test_downloads_are_named_after_the_title(studio: Studio) -> None:
    studio.new_level()
    studio.set_field("title", "The Long Road!")
    saved = studio.download("save-level", "the_long_road.json")
    assert json.loads(saved.read_text(encoding="utf-8"))["title"] == "The Long Road!"
    assert not beforeunload_asks(studio)
    page = studio.download("export-replay", "the_long_road_replay.html")
    assert '"level_file":"the_long_road.json"' in page.read_text(encoding="utf-8")
    studio.new_level()
    studio.download("save-level", "level.json")


LIMITED = {"zone": "loop", "charges": [[2, "negative", "c"]],
           "agents": [{"kind": "abs", "id": "again", "refill": True}]}


def test_the_frame_limit_field_and_steps_that_are_frames(studio: Studio, tmp_path: Path) -> None:
    path = tmp_path / "loop.json"
    path.write_text(json.dumps(LIMITED), encoding="utf-8")
    studio.open_file(path)
    studio.set_field("frame-limit", "7")
    studio.click("#last")
    assert studio.step() == 7
    assert (studio.text("position"), studio.text("frame-number"), studio.text("status")) == ("frame 7 of 7", "7", "ERROR")
    assert studio.text("outcome") == "Stopped at the frame limit"
    assert studio.level() == LIMITED  # the limit is the studio's, not the file's
    page = studio.download("export-replay", "loop_replay.html").read_text(encoding="utf-8")
    assert "Stopped by the frame limit after 7 frames" in page
    studio.set_field("frame-limit", "seven")
    assert studio.one("#frame-limit").get_attribute("aria-invalid") == "true"
    assert studio.step() == 7
    studio.set_field("frame-limit", "1000")


def test_frames_replayed_from_checkpoints_are_the_frames_played(studio: Studio, tmp_path: Path) -> None:
    """A player keeping one text and a checkpoint every 2 frames gives every
    frame (refills included) as the native module plays it, in any order."""
    level = {"zone": "root", "charges": [[3, "positive", "a"]], "agents": [{"kind": "plus", "id": "sum", "refill": True}],
             "zones": [{"zone": f"z{n}", "charges": [[n + 1, "negative", f"c{n}"], [1, "positive", f"d{n}"]],
                        "agents": [{"kind": "abs", "id": f"abs{n}"}, {"kind": "plus", "id": f"plus{n}", "refill": True}]}
                       for n in range(3)]}
    path = tmp_path / "refills.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    start, frames = native_play(path)
    texts = studio.driver.execute_script("""
        return createQorEngine().then((q) => {
            const player = new QorLevelPlayer.Player(q, { texts: 1, checkpointEvery: 2 });
            const level = q.read_level(JSON.stringify(arguments[0]));
            player.load(level);
            player.playTo(Infinity);
            const order = [...Array(player.count + 1).keys()];
            const texts = [];
            for (const step of order.slice().reverse().concat(order)) texts.push(player.text(step));
            player.free();
            level.delete();
            return texts;
        });
    """, level)
    steps = len(frames) + 1
    assert len(texts) == 2 * steps
    assert json.loads(texts[steps]) == start and texts[steps + 1:] == frames
    assert texts[:steps] == list(reversed(texts[steps:]))


def test_the_board_stays_in_view_beside_a_long_editor(studio: Studio, tmp_path: Path) -> None:
    level = {"zone": "top", "zones": [
        {"zone": f"z{n}", "charges": [[1, "negative", f"c{n}"]], "agents": [{"kind": "abs", "id": f"a{n}"}]}
        for n in range(40)]}
    path = tmp_path / "long.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    studio.open_file(path)
    studio.driver.execute_script("window.scrollTo(0, document.body.scrollHeight)")
    studio.click("#last")
    for step in (30, 39):
        studio.driver.execute_script(
            "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'));", studio.one("#slider"), str(step))
        in_view = studio.driver.execute_script("""
            const inside = (node) => { const r = node.getBoundingClientRect(); return r.top >= 0 && r.bottom <= innerHeight; };
            return [window.scrollY > 1000, inside(document.getElementById('controls')), inside(document.querySelector('#tree .highlight'))];
        """)
        assert in_view == [True, True, True]
    assert studio.driver.save_screenshot(str(SHOTS / "studio_long_level.png"))


def test_export_replay_refuses_a_page_past_replay_py_bound(studio: Studio, tmp_path: Path) -> None:
    """Two agents with ids of 700,000 characters take turns: each frame's
    patch names the other, so the page passes 64 MiB after a few dozen frames."""
    level = {"zone": "z", "charges": [[1, "negative", "c"]],
             "agents": [{"kind": "abs", "id": letter * 700_000, "refill": True} for letter in "AB"]}
    path = tmp_path / "turns.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    studio.open_file(path)
    studio.click("#export-replay")
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(studio.driver, 120).until(lambda _: "not written" in studio.text("notice"))
    assert re.fullmatch(r"Export replay: the replay would be larger than 67,108,864 bytes, the bound of a replay page "
                        r"\(reached after frame \d+\); it was not written\.", studio.text("notice"))
    assert not list(Path(studio.driver.downloads).glob("turns_replay.html*"))


def native_explanations(path: Path, max_frames: int = 1000) -> tuple[dict[str, Any], dict[str, Any]]:
    """explain() of a level file played natively, before its first frame and
    after its last."""
    import qor_engine

    played = qor_engine.read_level(path.read_bytes()).play(max_frames)
    first = json.loads(played.explain())
    while not played.is_finished:
        played.next_frame()
    return first, json.loads(played.explain())


def drawn_notes(studio: Studio) -> dict[str, str]:
    """The note drawn beside each standing agent, by its id."""
    notes: dict[str, str] = studio.driver.execute_script("""
        const notes = {};
        for (const agent of document.querySelectorAll("#tree li.agent:not(.acted)")) {
            const note = agent.querySelector(".agent-note");
            notes[agent.dataset.visualId] = note ? note.textContent : null;
        }
        return notes;
    """)
    return notes


def background(studio: Studio, selector: str, what: str = "backgroundColor") -> tuple[int, ...]:
    colour = studio.driver.execute_script(f"return getComputedStyle(document.querySelector('{selector}')).{what}")
    return tuple(int(part) for part in re.findall(r"\d+", colour)[:3])


def greenish(rgb: tuple[int, ...]) -> bool:
    red, green, blue = rgb
    return green > red + 20 and green > blue


TUTORIAL = REPO / "examples" / "levels" / "tutorial.json"


def lost_tutorial(tmp_path: Path) -> Path:
    level = json.loads(TUTORIAL.read_text(encoding="utf-8"))
    gate = next(agent for agent in level["agents"] if agent["kind"] == "equals_gate")
    gate["target"] = 20
    path = tmp_path / "tutorial_lost.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    return path


def limited(tmp_path: Path) -> Path:
    path = tmp_path / "loop.json"
    path.write_text(json.dumps(LIMITED), encoding="utf-8")
    return path


@pytest.mark.parametrize(("make", "frame_limit", "outcome", "banner"), [
    (lambda _: TUTORIAL, "1000", "won", "Won: every gate opened"),
    (lost_tutorial, "1000", "lost", 'Lost: gate "gate" is still shut: total 18.0, opens at 20.0'),
    (limited, "7", "frame_limit", "Stopped at the frame limit"),
], ids=["won", "lost", "frame_limit"])
def test_the_outcome_banner_and_the_notes_of_why_agents_wait(
    studio: Studio, tmp_path: Path, make: Any, frame_limit: str, outcome: str, banner: str
) -> None:
    path = make(tmp_path)
    studio.open_file(path)
    studio.set_field("frame-limit", frame_limit)
    first, last = native_explanations(path, int(frame_limit))
    studio.click("#first")
    assert not studio.one("#outcome").is_displayed()
    assert drawn_notes(studio) == {agent["visual_id"]: agent["note"] for agent in first["agents"]}
    keeping = {first["zones"][zone["frozen_by"]]["id"] for zone in first["zones"] if zone["frozen_by"] is not None}
    assert {box.get_attribute("data-zone-id") for box in studio.css("#tree section.zone.keeps-frozen")} == keeping
    studio.click("#last")
    assert (studio.text("outcome"), studio.body("outcome")) == (banner, outcome)
    assert last["summary"] == banner
    assert drawn_notes(studio) == {agent["visual_id"]: agent["note"] for agent in last["agents"]}
    assert greenish(background(studio, "#outcome", "borderTopColor")) == (outcome == "won")
    assert greenish(background(studio, "#status", "color")) == (outcome == "won")
    assert studio.driver.save_screenshot(str(SHOTS / f"studio_outcome_{outcome}.png"))
    studio.set_field("frame-limit", "1000")


def test_the_zone_that_keeps_another_frozen_is_marked(studio: Studio) -> None:
    studio.open_file(TUTORIAL)
    studio.click("#first")
    assert [box.get_attribute("data-zone-id") for box in studio.css("#tree section.zone.keeps-frozen")] == ["forge"]
    assert studio.one("#tree section.keeps-frozen .keeps-frozen-badge").text == "\u2744 keeps hall frozen"
    assert drawn_notes(studio)["adder"] == 'zone "hall" is frozen by sub-zone "forge", which still holds an agent'


# --- A designer's work is never lost, any file opens to be mended ----------


def test_opening_another_level_asks_first_while_edits_are_unsaved(studio: Studio) -> None:
    from selenium.webdriver.support.ui import Select, WebDriverWait

    studio.open_sample("tutorial.json")
    studio.zone_button("root", "add-charge")
    edited = studio.level()
    for opening in (lambda: studio.click("#new-level"),
                    lambda: Select(studio.one("#samples")).select_by_value("nested_shields.json"),
                    lambda: studio.one("#open-file").send_keys(str(REPO / "examples" / "levels" / "grand_council.json"))):
        opening()
        WebDriverWait(studio.driver, 30).until(lambda _: studio.asked())
        assert "Undo brings the edits back" in studio.text("discard-text")
        studio.click("#discard-no")
        assert studio.level() == edited and beforeunload_asks(studio)
        assert studio.one("#samples").get_attribute("value") == "tutorial.json"
    studio.new_level()  # asked, and answered "Open it"
    assert studio.level() == {"zone": "root"} and not beforeunload_asks(studio)
    studio.click("#undo")
    assert studio.level() == edited and beforeunload_asks(studio)


def test_the_level_edited_is_kept_in_the_browser_and_offered_back(studio: Studio) -> None:
    """After every edit the level is kept in the browser's storage; a page
    opened after the tab closed (or crashed) offers it back, unsaved."""
    studio.new_level()
    studio.set_field("title", "The Little Workshop")
    studio.zone_button("root", "add-charge")
    studio.set_field("root|charge|0|0", "1,5")
    edited = studio.level()
    studio.reload()
    assert studio.one("#restore").is_displayed()
    assert studio.text("restore-text") == 'Restore the level you were editing? ("The Little Workshop", a new level, not saved)'
    assert studio.one("#level-title").get_attribute("value") == "First Steps"  # the tutorial opened meanwhile
    assert studio.driver.save_screenshot(str(SHOTS / "studio_restore.png"))
    studio.click("#restore-yes")
    assert studio.level() == edited and beforeunload_asks(studio)
    assert not studio.one("#restore").is_displayed()
    assert studio.one("[data-key='root|charge|0|0']").get_attribute("value") == "1,5"
    studio.download("save-level", "the_little_workshop.json")
    studio.reload()
    assert not studio.one("#restore").is_displayed()


def test_clicking_a_problem_scrolls_to_its_field_and_focuses_it(studio: Studio) -> None:
    from selenium.webdriver.common.keys import Keys

    studio.open_file(REPO / "examples" / "levels" / "grand_council.json")
    studio.set_field("0.0.0.0|agent|0|id", "keeper")
    pointer = "/zones/0/zones/0/zones/0/zones/0/agents/0/id"
    for press in (lambda item: item.click(), lambda item: item.send_keys(Keys.ENTER)):
        studio.driver.execute_script("window.scrollTo(0, 0); document.activeElement.blur()")
        item = studio.one(f"#problem-list li[data-pointer='{pointer}']")
        press(item)
        focused = studio.driver.switch_to.active_element
        assert (focused.get_attribute("data-key"), focused.get_attribute("data-pointer")) == ("0.0.0.0|agent|0|id", pointer)
        assert studio.driver.execute_script(
            "const r = arguments[0].getBoundingClientRect(); return r.top >= 0 && r.bottom <= innerHeight", focused)
    studio.set_field("0.0.0.0|agent|0|id", "sorcerer")
    assert studio.problems() == []


NOT_JSON = '{\n  "zone": "root",\n  "charges": [[4, "positive", "a"],]\n}\n'


def test_a_file_that_is_not_json_opens_as_text_marked_where_it_stops(studio: Studio, tmp_path: Path) -> None:
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    path = tmp_path / "mend_me.json"
    path.write_text(NOT_JSON, encoding="utf-8")
    studio.open_file(path)
    assert studio.body("view") == "text" and not studio.one("#fields").is_displayed()
    assert studio.problems() == native_problems(path)
    assert studio.problems()[0].startswith("invalid JSON at line 3, column 36: ")
    assert studio.text("text-mark") == 'line 3, column 36:\n  "charges": [[4, "positive", "a"],]\n' + " " * 35 + "^"
    assert studio.css("#tree section.zone") == []
    assert studio.driver.save_screenshot(str(SHOTS / "studio_text_view.png"))
    area = studio.one("#level-text")
    area.send_keys(Keys.CONTROL + "a")
    area.send_keys(NOT_JSON.replace("],]", "]]").replace("root", "r"))
    WebDriverWait(studio.driver, 30).until(lambda _: studio.body("view") == "editor")
    assert studio.level() == {"zone": "r", "charges": [[4, "positive", "a"]]}
    assert studio.problems() == [] and beforeunload_asks(studio)
    assert studio.text("file-name") == "mend_me.json (edited, not saved)"


SEVEN = {"zone": "root", "charges": [[-2, "negitive", "a"]],
         "agents": [{"kind": "plux", "id": "p"}, {"kind": "equals_gate", "id": "p"}, {"kind": "abs", "id": ""}]}


def test_a_file_with_rule_problems_opens_in_the_editor_to_be_mended(studio: Studio, tmp_path: Path) -> None:
    path = tmp_path / "seven.json"
    path.write_text(json.dumps(SEVEN), encoding="utf-8")
    studio.open_file(path)
    assert studio.level() == SEVEN and studio.problems() == native_problems(path)
    assert len(studio.problems()) >= 5
    assert studio.driver.execute_script(MARKED) == []
    assert studio.one("[data-key='root|charge|0|1']").get_attribute("value") == "negitive"
    assert studio.one("[data-key='root|agent|1|target']").get_attribute("aria-invalid") == "true"  # missing
    assert studio.driver.save_screenshot(str(SHOTS / "studio_problems.png"))
    for key, value in [("root|charge|0|0", "2"), ("root|charge|0|1", "negative"), ("root|agent|0|kind", "plus"),
                       ("root|agent|1|id", "gate"), ("root|agent|1|target", "2"), ("root|agent|2|id", "purifier")]:
        studio.set_field(key, value)
    assert studio.problems() == []
    studio.click("#last")
    assert studio.body("outcome") == "won"


def test_a_level_with_problems_is_saved_as_it_stands(studio: Studio) -> None:
    """Save always saves, with a note of the problems; Export replay says
    it needs a level that plays."""
    studio.new_level()
    studio.add_agent("root", "plus")
    studio.add_agent("root", "plus")
    studio.set_field("root|agent|1|id", "plus_1")
    studio.set_field("root|agent|0|id", "")
    saved = studio.download("save-level", "level.json")
    assert json.loads(saved.read_text(encoding="utf-8")) == studio.level()
    assert native_problems(saved) == studio.problems() != []
    assert studio.text("file-note").startswith("Saved as level.json, with 1 problem: ")
    assert not beforeunload_asks(studio)
    studio.click("#export-replay")
    assert studio.text("file-note") == ("Export replay needs a level that plays: fix the problems listed above, "
                                        "then export again.")
    assert not list(Path(studio.driver.downloads).glob("level_replay.html*"))


def png_file(_: Path) -> tuple[str, bytes, str]:
    return "studio.png", (REPO / "docs" / "studio.png").read_bytes(), "an image (PNG)"


def save_file(_: Path) -> tuple[str, bytes, str]:
    import qor_engine

    return "tutorial.qorsave", qor_engine.read_level(TUTORIAL.read_bytes()).play().save(), "a save of a level in play (the engine's save format)"


def replay_file(tmp_path: Path) -> tuple[str, bytes, str]:
    written = tmp_path / "replay.html"
    subprocess.run([sys.executable, REPLAY, TUTORIAL, "-o", written], check=True, capture_output=True)
    return "tutorial_replay.html", written.read_bytes(), "a replay page (open the level file it was made from)"


@pytest.mark.parametrize("make", [png_file, save_file, replay_file], ids=["png", "save", "replay_page"])
def test_a_file_that_is_no_level_file_is_named_by_what_it_is(studio: Studio, tmp_path: Path, make: Any) -> None:
    name, data, kind = make(tmp_path)
    path = tmp_path / name
    path.write_bytes(data)
    studio.open_sample("tutorial.json")
    studio.open_file(path)
    assert studio.text("problems-head") == f"{name} cannot be opened: it is {kind}, not a level file"
    assert studio.one("#level-title").get_attribute("value") == "First Steps"  # the level edited stays


def test_a_level_file_with_a_byte_order_mark_opens(studio: Studio, tmp_path: Path) -> None:
    path = tmp_path / "windows.json"
    path.write_bytes(b"\xef\xbb\xbf" + TUTORIAL.read_bytes())
    studio.open_file(path)
    assert studio.problems() == [] and studio.level() == json.loads(TUTORIAL.read_text(encoding="utf-8"))
    assert not studio.download("save-level", "windows.json").read_bytes().startswith(b"\xef\xbb\xbf")


def test_the_words_after_new_and_in_the_help(studio: Studio, tmp_path: Path) -> None:
    studio.new_level()
    assert studio.text("file-name") == "new level, not saved yet (Save downloads it as level.json)"
    studio.add_agent("root", "equals_gate")
    assert studio.one(".agent-row .kind-note").text == (
        "Equals Gate: opens (and leaves) when the zone's total differs from its target by less than 0.000001")
    studio.open_file(lost_tutorial(tmp_path))
    studio.click("#last")
    assert studio.text("status") == "FINISHED" and studio.body("outcome") == "lost"
    assert studio.text("message") == studio.text("outcome") == 'Lost: gate "gate" is still shut: total 18.0, opens at 20.0'


# --- Layout, keys and notes ---------------------------------------------------


def window(studio: Studio, width: int, height: int) -> None:
    """Lays the page out in a viewport of width x height."""
    studio.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
    studio.driver.execute_script("window.scrollTo(0, 0)")


def whole_window(studio: Studio) -> None:
    studio.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


ROWS_ON_ONE_LINE = """
    // The rows whose fields and buttons do not stand on one line.
    return [...document.querySelectorAll(".charge-row, .agent-row")].filter((row) => {
        const parts = [...row.children].filter((node) => !node.classList.contains("kind-note"));
        const tops = parts.map((node) => Math.round(node.getBoundingClientRect().top + node.getBoundingClientRect().height / 2));
        return Math.max(...tops) - Math.min(...tops) > 4;
    }).map((row) => row.dataset.pointer);
"""


@pytest.mark.parametrize(("width", "height"), [(1280, 720), (1400, 900), (1920, 1080)])
def test_the_page_at_common_window_sizes(studio: Studio, width: int, height: int) -> None:
    """A row's fields and buttons stand on one line, and the play controls
    leave the frame's number and status in view."""
    studio.open_sample("grand_council.json")
    window(studio, width, height)
    try:
        assert studio.driver.execute_script("return [innerWidth, innerHeight]") == [width, height]
        assert studio.driver.execute_script(ROWS_ON_ONE_LINE) == []
        studio.click("#first")  # every zone on the board, taller than the window
        for scrolled in (0, 10_000):  # the board scrolled to its top, then to its end
            studio.driver.execute_script("document.getElementById('player').scrollTop = arguments[0]", scrolled)
            shown = studio.driver.execute_script("""
                const controls = document.getElementById("controls").getBoundingClientRect();
                return ["frame-number", "status"].every((id) => {
                    const row = document.getElementById(id).getBoundingClientRect();
                    const top = document.elementFromPoint(row.left + 2, row.top + row.height / 2);
                    return row.top >= controls.bottom - 1 && row.bottom <= innerHeight && top && top.id === id;
                });
            """)
            assert shown, scrolled
        studio.driver.execute_script("document.getElementById('player').scrollTop = 0")
        assert studio.driver.save_screenshot(str(SHOTS / f"studio_{width}x{height}.png"))
    finally:
        whole_window(studio)


def test_ctrl_s_saves_and_save_and_export_say_what_they_wrote(studio: Studio) -> None:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    studio.new_level()
    studio.zone_button("root", "add-charge")
    title = studio.one("#level-title")
    title.send_keys("Keys")  # still typing: Ctrl+S takes the field as it stands
    target = Path(studio.driver.downloads) / "keys.json"
    target.unlink(missing_ok=True)
    ActionChains(studio.driver).key_down(Keys.CONTROL).send_keys("s").key_up(Keys.CONTROL).perform()
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(studio.driver, 30).until(lambda _: target.exists() and target.stat().st_size > 0)
    assert json.loads(target.read_text(encoding="utf-8"))["title"] == "Keys"
    assert studio.text("file-note") == "Saved as keys.json." and studio.one("#file-note").is_displayed()
    studio.download("export-replay", "keys_replay.html")
    assert studio.text("file-note") == "Exported keys_replay.html."


def test_the_replay_page_shows_the_levels_description(studio: Studio) -> None:
    studio.new_level()
    studio.set_field("title", "Described")
    studio.set_field("description", "Make the gate open.\nThe forge gives what it needs.")
    studio.zone_button("root", "add-charge")
    page = studio.download("export-replay", "described_replay.html")
    studio.driver.get(page.as_uri())
    try:
        assert studio.one("#description").text == "Make the gate open.\nThe forge gives what it needs."
        assert studio.one("#description").is_displayed()
    finally:
        studio.reload()


def deep_and_crowded(tmp_path: Path) -> Path:
    """10 zones deep, 20,001 agents in the deepest, an agent in each other."""
    deepest: dict[str, Any] = {"zone": "z9", "charges": [[2, "positive", "a"], [3, "positive", "b"]], "agents": [{"kind": "plus", "id": f"p{i}"} for i in range(20001)]}
    tree = deepest
    for depth in reversed(range(9)):
        charges = [[1, "positive", f"c{depth}"], [1, "positive", f"d{depth}"]]
        tree = {"zone": f"z{depth}", "charges": charges, "agents": [{"kind": "plus", "id": f"q{depth}"}], "zones": [tree]}
    path = tmp_path / "crowded.json"
    path.write_text(json.dumps({"title": "Crowded", **tree}), encoding="utf-8")
    return path


def test_a_zone_of_thousands_of_agents_draws_its_first_rows_and_shows_more_on_demand(
    studio: Studio, tmp_path: Path
) -> None:
    studio.open_file(deep_and_crowded(tmp_path))
    studio.click("#first")
    assert studio.problems() == []
    deepest = '#tree section.zone[data-zone-id="z9"] > ul.agents'
    assert len(studio.css(deepest + " > li.agent")) == 200
    assert len(studio.css("#tree section.zone")) == 10
    assert len(studio.css(".agent-rows > li.agent-row")) == 200 + 9
    more = studio.one(deepest + " > li.more-agents button")
    assert more.text == "Show 200 more of 20001 agents"
    more.click()
    assert len(studio.css(deepest + " > li.agent")) == 400
    notes = studio.driver.execute_script(
        f"return [...document.querySelectorAll('{deepest} > li.agent .agent-note')].map((n) => n.textContent)")
    assert len(notes) == 400 and notes[0] == "acts next"
    studio.click("#next")
    assert studio.step() == 1
