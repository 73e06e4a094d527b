"""Tests of examples/replay.py without a browser: the page is self-contained,
embeds exactly the engine's frames, and a bad level file is refused."""

from __future__ import annotations

import html
import json
import os
import re
import resource
import stat
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import jsonpatch
import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
LEVELS = sorted((EXAMPLES / "levels").glob("*.json"))
DATA_START = '<script type="application/json" id="replay-data">'


def run(script: str, *args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, EXAMPLES / script, *args], capture_output=True, text=True, timeout=120
    )


def embedded(page: str) -> dict[str, Any]:
    start = page.index(DATA_START) + len(DATA_START)
    block = page[start : page.index("</script>", start)]
    assert "<" not in block and ">" not in block and "&" not in block
    data: dict[str, Any] = json.loads(block)
    return data


@pytest.fixture
def replay_module(monkeypatch: pytest.MonkeyPatch) -> Any:
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import replay

    return replay


def frames_of(data: dict[str, Any]) -> list[Any]:
    """The frames the page's patches make, one after the other."""
    document, frames = None, []
    for patch in data["patches"]:
        document = jsonpatch.apply_patch(document, patch)
        frames.append(document)
    return frames


def frames_and_root(closing_line: str) -> tuple[str, ...]:
    """The frames played and the root's charges a closing line names."""
    found = re.search(r"after (\d+ frames?).*?root holds (\[[^]]*\])", closing_line)
    assert found is not None, closing_line
    return found.groups()


@pytest.mark.parametrize("level", LEVELS, ids=lambda path: path.stem)
def test_page_embeds_every_frame_and_needs_nothing_else(level: Path, tmp_path: Path) -> None:
    output = tmp_path / "replay.html"
    result = run("replay.py", level, "-o", output)
    assert result.returncode == 0, result.stderr
    page = output.read_text(encoding="ascii")

    assert not re.search(r"https?:|\bsrc\s*=|<link|@import|url\(", page, re.IGNORECASE)
    assert "default-src 'none'" in html.unescape(page)  # the page's policy forbids loads
    data = embedded(page)
    played = run("play.py", level, "--json")
    assert frames_of(data) == [json.loads(text) for text in played.stdout.splitlines()]
    narrated = run("play.py", level).stdout.splitlines()
    assert frames_and_root(data["outcome"]) == frames_and_root(narrated[-1])
    assert data["start"]["id"] == data["patches"][0][0]["value"]["id"]


def test_texts_that_look_like_markup_are_carried_exactly(tmp_path: Path) -> None:
    hostile = "</script><!--<script>"
    level = tmp_path / "level.json"
    level.write_text(
        json.dumps({"title": hostile, "zone": hostile, "charges": [[1, "positive", "\u2028é"]]}),
        encoding="utf-8",
    )
    output = tmp_path / "replay.html"
    assert run("replay.py", level, "-o", output).returncode == 0
    page = output.read_text(encoding="ascii")
    data = embedded(page)
    assert data["title"] == hostile
    assert frames_of(data)[-1]["charges"][0]["visual_id"] == "\u2028é"
    assert page.count("</script>") == 2 and page.count("<script") == 2


@pytest.mark.parametrize(
    ("content", "fragment"),
    [
        (None, "no such file"),
        ("{", "invalid JSON"),
        ('{"zone": "z", "agents": [{"kind": "plush", "id": "a"}]}', 'did you mean "plus"'),
    ],
    ids=["missing", "broken JSON", "unknown kind"],
)
def test_bad_level_file_is_one_line_and_status_2(
    content: str | None, fragment: str, tmp_path: Path
) -> None:
    level = tmp_path / "level.json"
    if content is not None:
        level.write_text(content, encoding="utf-8")
    output = tmp_path / "replay.html"
    result = run("replay.py", level, "-o", output)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and fragment in result.stderr
    assert not output.exists()


def limit_file_size() -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))  # the page is longer


@pytest.mark.parametrize("failure", ["missing folder", "file too large"])
def test_unwritable_output_is_status_1_and_keeps_the_old_page(failure: str, tmp_path: Path) -> None:
    output = tmp_path / "replay.html"
    if failure == "missing folder":
        output = tmp_path / "missing" / "replay.html"
    else:
        output.write_text("the old page", encoding="ascii")
    result = subprocess.run(
        [sys.executable, EXAMPLES / "replay.py", LEVELS[0], "-o", output],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=limit_file_size if failure == "file too large" else None,
    )
    assert result.returncode == 1
    assert result.stderr.startswith("replay.py: ") and result.stderr.count("\n") == 1
    if output.parent.exists():
        assert output.read_text(encoding="ascii") == "the old page"
        assert [path.name for path in tmp_path.iterdir()] == ["replay.html"]


def test_output_goes_through_a_link_and_into_a_fifo_and_never_replaces_them(tmp_path: Path) -> None:
    expected = tmp_path / "direct.html"
    assert run("replay.py", LEVELS[0], "-o", expected).returncode == 0
    named, link, fifo = tmp_path / "named.html", tmp_path / "link.html", tmp_path / "pipe"
    named.write_text("the old page", encoding="ascii")
    link.symlink_to(named.name)
    os.mkfifo(fifo)
    received: list[bytes] = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    assert run("replay.py", LEVELS[0], "-o", fifo).returncode == 0
    reader.join(60)
    assert run("replay.py", LEVELS[0], "-o", link).returncode == 0
    assert received == [expected.read_bytes()] and stat.S_ISFIFO(fifo.lstat().st_mode)
    assert link.is_symlink() and named.read_bytes() == expected.read_bytes()


@pytest.mark.parametrize(
    ("standing", "listed", "more"), [(5, 5, ""), (8, 5, " and 3 more")], ids=["five", "eight"]
)
def test_outcome_names_five_standing_agents_and_counts_the_rest(
    standing: int, listed: int, more: str, tmp_path: Path
) -> None:
    level = tmp_path / "level.json"
    waiting = [{"kind": "chronomancer", "id": f"keeper_{index}"} for index in range(standing)]
    level.write_text(json.dumps({"zone": "hall", "agents": waiting}), encoding="utf-8")
    output = tmp_path / "replay.html"
    assert run("replay.py", level, "-o", output).returncode == 0
    outcome = embedded(output.read_text(encoding="ascii"))["outcome"]
    names = [f'Chronomancer "keeper_{index}" in hall' for index in range(listed)]
    assert outcome.endswith("; still standing: " + ", ".join(names) + more)


@pytest.mark.parametrize(
    ("spare", "written"), [(0, True), (-1, False), (None, False)], ids=["at", "over", "far over"]
)
def test_page_longer_than_its_bound_is_refused_while_it_is_built(
    spare: int | None,
    written: bool,
    replay_module: Any,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    tmp_path: Path,
) -> None:
    output = tmp_path / "replay.html"
    level = EXAMPLES / "levels" / "nested_shields.json"
    assert replay_module.main([str(level), "-o", str(output)]) == 0
    size = output.stat().st_size
    output.unlink()
    # "far over": a bound that the level as built already nearly fills.
    bound = size + spare if spare is not None else size // 3
    monkeypatch.setattr(replay_module, "MAX_PAGE_BYTES", bound)
    capsys.readouterr()

    status = replay_module.main([str(level), "-o", str(output)])
    stderr = capsys.readouterr().err
    if written:
        assert status == 0 and output.stat().st_size == bound
    else:
        assert status == 2 and not output.exists()
        assert stderr.count("\n") == 1 and f"larger than {bound:,} bytes" in stderr
        frames = int(re.search(r"after frame (\d+)", stderr).group(1))  # type: ignore[union-attr]
        assert frames < 9 if spare is None else frames == 9


OUTPUT_ROUTES_TO_THE_LEVEL = {
    "same_path": lambda level: level,
    "another_spelling": lambda level: level.parent / "sub" / ".." / level.name,
    "symbolic_link": lambda level: _linked(level, "page.html", symbolic=True),
    "hard_link": lambda level: _linked(level, "page.html", symbolic=False),
}


def _linked(level: Path, name: str, symbolic: bool) -> Path:
    link = level.parent / name
    if symbolic:
        link.symlink_to(level)
    else:
        link.hardlink_to(level)
    return link


@pytest.mark.parametrize("route", OUTPUT_ROUTES_TO_THE_LEVEL.values(), ids=OUTPUT_ROUTES_TO_THE_LEVEL.keys())
def test_output_that_is_the_level_file_is_refused_and_the_level_kept(route: Any, tmp_path: Path) -> None:
    level = tmp_path / "level.json"
    level.write_bytes((EXAMPLES / "levels" / "tutorial.json").read_bytes())
    (tmp_path / "sub").mkdir()
    before = level.read_bytes()
    output = route(level)
    result = run("replay.py", level, "-o", output)
    assert result.returncode == 2
    assert result.stderr == f"replay.py: {output}: is the level file {level}: refusing to write the replay over it\n"
    assert result.stdout == ""
    assert level.read_bytes() == before and output.read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted({"level.json", "sub", output.name})


def test_a_deep_level_of_thousands_of_agents_plays_and_replays(tmp_path: Path) -> None:
    """100 zones deep (the most a level file nests), 40,001 agents in the
    deepest (JSON Pointers to them would take 75 MB): play.py ends in the
    engine's words and replay.py writes its page, explanations included."""
    tree: dict[str, Any] = {"zone": "z99", "charges": [[2, "positive", "a"], [3, "positive", "b"]],
                            "agents": [{"kind": "plus", "id": f"p{i}"} for i in range(40001)]}
    for depth in reversed(range(99)):
        tree = {"zone": f"z{depth}", "charges": [[1, "positive", f"c{depth}"], [1, "positive", f"d{depth}"]],
                "agents": [{"kind": "plus", "id": f"q{depth}"}], "zones": [tree]}
    level = tmp_path / "crowded.json"
    level.write_text(json.dumps(tree), encoding="utf-8")
    played = run("play.py", level)
    assert played.returncode == 0, played.stderr
    assert played.stdout.splitlines()[-1].startswith("Won: every gate opened; after 2 frames")
    output = tmp_path / "replay.html"
    result = run("replay.py", level, "-o", output)
    assert result.returncode == 0, result.stderr
    explained = embedded(output.read_text(encoding="ascii"))["explained"]
    assert len(explained["steps"]) == 3 and explained["outcome"] == "won"
    assert len(explained["steps"][0]["agents"]["0"]) == 40001  # the deepest zone is numbered first
