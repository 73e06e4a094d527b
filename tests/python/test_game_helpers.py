"""What a game needs beside playing: the list of kinds, placing an agent by
its level-file kind, finding a zone, a level made from a tree and written
back, a file name passed where its contents belong, and the player's turn
after the level ended. The same calls in JavaScript give the same answers."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path
from typing import Any

import pytest

import qor_engine
from qor_engine import Environment, Level, LevelError, NarrativeSequencer, read_level

REPO = Path(__file__).resolve().parents[2]
TUTORIAL = REPO / "examples" / "levels" / "tutorial.json"
ENGINE = REPO / "build" / "web" / "qor_engine.js"
PASS_CONTENTS = "pass the file's contents: read_level(open(name, 'rb').read())"

# add_agent's arguments, and the problems each gives (None: placed).
AGENTS: list[tuple[list[Any], list[str] | None]] = [
    (["plus", "p"], None),
    (["equals_gate", "g", 18], None),
    (["inequality_gate", "j", 2.5, ">="], None),
    (["plux", "p"], ['unknown kind "plux" (did you mean "plus"?)']),
    (["plus", "p", 3], ['field "target" is only for gates, not for a plus agent']),
    (["equals_gate", "g"], ['missing field "target"']),
    (["equals_gate", "g", 1, "<"], ['field "rule" is only for inequality_gate, not for equals_gate']),
    (["inequality_gate", "j", 1, "=<"], ['rule must be "<", ">", "<=" or ">=", not "=<"']),
    (["inequality_gate", "j", float("inf"), None],
     ['field "target" must be a finite number, at most 1.7976931348623157e+308 in size', 'missing field "rule"']),
    (["minus", " "], ['field "id" must not be empty']),
]


def placed(arguments: list[Any]) -> list[str] | str:
    """The problems add_agent() reports, or the zone's agents as JSON."""
    zone = Environment("hall")
    try:
        zone.add_agent(*arguments)
    except LevelError as error:
        assert json.loads(zone.to_json())["agents"] == [], "a refused agent was placed"
        return error.problems
    return json.dumps(json.loads(zone.to_json())["agents"])


@pytest.mark.parametrize(("arguments", "problems"), AGENTS, ids=[" ".join(map(str, a)) for a, _ in AGENTS])
def test_add_agent_checks_as_a_level_file_does(arguments: list[Any], problems: list[str] | None) -> None:
    answer = placed(arguments)
    if problems is not None:
        assert answer == problems
        return
    kind, agent_id, *gate = arguments
    file = {"zone": "hall", "agents": [{"kind": kind, "id": agent_id} | dict(zip(["target", "rule"], gate))]}
    assert answer == json.dumps(json.loads(read_level(json.dumps(file)).build().to_json())["agents"])


def test_agent_kinds_name_every_kind_and_its_placing_method() -> None:
    kinds = qor_engine.agent_kinds()
    assert [kind["key"] for kind in kinds][:2] == ["chronomancer", "abs"] and len(kinds) == 13
    for kind in kinds:
        assert set(kind) == {"key", "name", "priority", "method", "summary"}
        zone = Environment("z")
        if kind["key"] in ("equals_gate", "inequality_gate"):
            continue
        getattr(zone, kind["method"])("a")
        by_kind = Environment("z")
        by_kind.add_agent(kind["key"], "a")
        assert zone.to_json() == by_kind.to_json()
        assert json.loads(zone.to_json())["agents"][0]["name"] == kind["name"]


def test_find_zone_answers_the_first_in_frame_order() -> None:
    root = Environment("hall")
    first, second, deep = Environment("forge"), Environment("twin"), Environment("twin")
    first.add_sub_environment(deep)
    root.add_sub_environment(first)
    root.add_sub_environment(second)
    assert root.find_zone("hall") is root
    assert root.find_zone("twin") is deep
    assert root.find_zone("forge") is first
    assert root.find_zone("nowhere") is None
    assert first.find_zone("hall") is None


def test_a_level_made_from_a_tree_is_written_as_the_file_it_came_from() -> None:
    level = read_level(TUTORIAL.read_bytes())
    tree = level.build()
    assert tree.find_zone("forge") is not None and tree.to_json() == level.play().root_environment.to_json()
    again = Level.from_zone(tree, level.title, level.description)
    assert again.to_text() == level.to_text()
    tree.find_zone("forge").add_agent("inequality_gate", "judge", 3, "<=")  # type: ignore[union-attr]
    tree.add_charge(1.5, qor_engine.ChargePolarity.NEUTRAL, "spark")
    edited = read_level(Level.from_zone(tree).to_text())
    assert edited.title is None and edited.build().to_json() == tree.to_json()


@pytest.mark.parametrize("name", ["levels/tutorial.json", "tutorial.JSON", "C:\\levels\\x", b"levels/a.json"])
def test_a_file_name_is_told_to_pass_the_contents(name: str | bytes) -> None:
    with pytest.raises(LevelError) as raised:
        read_level(name)
    assert raised.value.problems[0].endswith("looks like a file name, not a level file's text: " + PASS_CONTENTS)


def test_a_path_object_is_told_to_pass_the_contents() -> None:
    with pytest.raises(TypeError, match=re.escape("not PosixPath; " + PASS_CONTENTS)):
        read_level(TUTORIAL)  # type: ignore[arg-type]
    with pytest.raises(LevelError, match="invalid JSON"):
        read_level("tutorial")


def players_turn_snippet() -> str:
    doc = (REPO / "docs" / "levels.md").read_text(encoding="utf-8")
    section = doc[doc.index("## The player's turn"):]
    match = re.search(r"```python\n(.*?)```", section, re.DOTALL)
    assert match is not None
    return match.group(1)


def test_the_players_turn_plays_on_after_the_end(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(REPO)
    shown: list[dict[str, Any]] = []
    # The tutorial ends at frame 5; The Replicator placed then acts on the hall's 18.
    choices: list[tuple[str, str, str] | None] = [None, None, None, None, ("factorial", "late", "hall")]

    def players_choice(kinds: list[qor_engine.AgentKindInfo]) -> tuple[str, str, str] | None:
        assert len(kinds) == 13
        return choices.pop(0) if choices else None

    printed: list[str] = []
    namespace = {"show": shown.append, "players_choice": players_choice, "print": printed.append}
    exec(players_turn_snippet(), namespace)  # noqa: S102
    messages = [frame["meta"]["message"] for frame in shown]
    assert messages[4] == "Equation Resolved."
    assert shown[5]["meta"]["last_event"]["visual_id"] == "late", messages
    assert printed and printed[0].startswith(("Won", "Lost"))


def test_a_finished_level_stays_finished_until_the_host_says_otherwise() -> None:
    level = NarrativeSequencer(Environment("r"))
    level.next_frame()
    level.root_environment.add_agent("plus", "p")
    assert json.loads(level.next_frame())["meta"]["message"] == "Simulation complete. No further actions."
    level.is_finished = False
    assert json.loads(level.next_frame())["meta"]["message"] != "Simulation complete. No further actions."


JS_HELPERS = r"""
const q = await require(process.argv[2])();
const answers = {kinds: q.agent_kinds(), agents: []};
for (const args of JSON.parse(process.argv[3])) {
  const zone = new q.Environment("hall");
  try { zone.add_agent(...args.map((a) => a === "inf" ? Infinity : a)); answers.agents.push(JSON.parse(zone.to_json()).agents); }
  catch (error) { answers.agents.push(error.problems); }
}
const root = q.read_level(process.argv[4]).build();
answers.found = [root.find_zone("forge").id, root.find_zone("hall") === root.find_zone("hall"), root.find_zone("x")];
answers.text = q.Level.from_zone(root, "T", null).to_text();
try { q.read_level("levels/tutorial.json"); } catch (error) { answers.name = error.problems[0]; }
console.log(JSON.stringify(answers));
"""


@pytest.mark.skipif(not ENGINE.exists() or shutil.which("node") is None, reason="the WebAssembly engine is not built")
def test_javascript_has_the_same_helpers_and_checks(tmp_path: Path) -> None:
    script = tmp_path / "helpers.mjs"
    script.write_text("import { createRequire } from 'node:module';\nconst require = createRequire(import.meta.url);\n"
                      + JS_HELPERS, encoding="utf-8")
    arguments = [[("inf" if a == float("inf") else a) for a in args] for args, _ in AGENTS]
    ran = subprocess.run(["node", str(script), str(ENGINE), json.dumps(arguments), TUTORIAL.read_text()],
                         capture_output=True, text=True, timeout=120, check=False)
    assert ran.returncode == 0, ran.stderr[-3000:]
    answers = json.loads(ran.stdout)
    assert answers["kinds"] == qor_engine.agent_kinds()
    assert answers["agents"] == [
        answer if isinstance(answer, list) else json.loads(answer) for answer in (placed(args) for args, _ in AGENTS)]
    assert answers["found"] == ["forge", True, None]
    tree = read_level(TUTORIAL.read_bytes()).build()
    assert answers["text"] == Level.from_zone(tree, "T").to_text()
    assert answers["name"].endswith("pass the file's contents: read_level(fs.readFileSync(name))")
