"""Tests of the example host program examples/play.py and the bundled levels."""

from __future__ import annotations

import errno
import importlib.util
import json
import math
import os
import re
import resource
import stat
import struct
import subprocess
import sys
import threading
import zlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from level_corpus import AGENT_KINDS, MALFORMED

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
PLAY = EXAMPLES / "play.py"
LEVELS_DIR = EXAMPLES / "levels"
LEVELS = sorted(LEVELS_DIR.glob("*.json"))
TUTORIAL = LEVELS_DIR / "tutorial.json"
ALL_KINDS = LEVELS_DIR / "grand_council.json"
NESTED = LEVELS_DIR / "nested_shields.json"
ENDLESS = LEVELS_DIR / "endless_hourglass.json"


def load_play_module() -> Any:
    """examples/play.py as a module, for the tables it defines."""
    spec = importlib.util.spec_from_file_location("qor_play_example", PLAY)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look themselves up there
    spec.loader.exec_module(module)
    return module


PLAY_MODULE = load_play_module()

TUTORIAL_NARRATION = [
    "== First Steps ==",
    "frame    1  Multiply Magician executed operation in forge    [ -2.0 ]",
    "frame    2  Zone forge has resolved and merged.              [ -2.0 +20.0 ]",
    "frame    3  Plus Magician executed operation in hall         [ +18.0 ]",
    "frame    4  Equals Gate executed operation in hall           [ +18.0 ]",
    "frame    5  Equation Resolved.                               [ +18.0 ]",
    "Won: every gate opened; after 5 frames root holds [ +18.0 ]",
]


def run_play(*args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(PLAY), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=REPO,
    )


def json_frames(level: Path) -> list[dict[str, Any]]:
    result = run_play(level, "--json")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return [json.loads(line) for line in result.stdout.splitlines()]


def level_ids(path: Path) -> str:
    return path.stem


def zones_of(zone: dict[str, Any]) -> list[dict[str, Any]]:
    found = [zone]
    for sub_zone in zone.get("zones", []):
        found.extend(zones_of(sub_zone))
    return found


def depth_of(zone: dict[str, Any]) -> int:
    return 1 + max((depth_of(sub_zone) for sub_zone in zone.get("zones", [])), default=0)


# ---------------------------------------------------------------------------
# Every bundled level
# ---------------------------------------------------------------------------


def test_the_levels_are_there() -> None:
    assert {TUTORIAL, ALL_KINDS, NESTED, ENDLESS} <= set(LEVELS)


@pytest.mark.parametrize("level", LEVELS, ids=level_ids)
def test_level_plays_to_the_end_with_one_line_per_frame(level: Path) -> None:
    result = run_play(level)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    title = json.loads(level.read_text(encoding="utf-8")).get("title", level.stem)
    assert lines[0] == f"== {title} =="
    assert re.match(
        r"(Won: every gate opened|Lost: .+|Stopped at the frame limit); after \d+ frames? root holds \[",
        lines[-1],
    )
    frame_lines = lines[1:-1]
    assert frame_lines
    for line in frame_lines:
        assert re.match(r"(frame +\d+|limit +)  \S.* \[( [-+~]\S+)* \]$", line), line


@pytest.mark.parametrize("level", LEVELS, ids=level_ids)
def test_json_mode_prints_only_frame_texts(level: Path) -> None:
    frames = json_frames(level)
    assert frames
    for frame in frames:
        assert {
            "agents",
            "charges",
            "id",
            "is_time_frozen",
            "sub_environments",
            "meta",
        } <= frame.keys()
        assert frame["meta"]["status"] in {"RUNNING", "FINISHED", "ERROR"}
    statuses = [frame["meta"]["status"] for frame in frames]
    assert all(status == "RUNNING" for status in statuses[:-1])
    assert statuses[-1] in {"FINISHED", "ERROR"}
    running = [
        frame["meta"]["frame_index"] for frame in frames if frame["meta"]["status"] != "ERROR"
    ]
    assert running == list(range(1, len(running) + 1))


@pytest.mark.parametrize("level", LEVELS, ids=level_ids)
def test_narration_follows_the_frames(level: Path) -> None:
    frames = json_frames(level)
    narrated = run_play(level).stdout.splitlines()[1:-1]
    assert len(narrated) == len(frames)
    for line, frame in zip(narrated, frames, strict=True):
        meta = frame["meta"]
        label = "limit" if meta["status"] == "ERROR" else f"frame {meta['frame_index']:>4}"
        assert line.startswith(f"{label:<10}  ")
        assert meta["message"] in line


# ---------------------------------------------------------------------------
# The tutorial, the default level
# ---------------------------------------------------------------------------


def test_tutorial_narration() -> None:
    result = run_play(TUTORIAL)
    assert result.returncode == 0
    assert result.stdout.splitlines() == TUTORIAL_NARRATION


def test_without_a_file_the_tutorial_is_played() -> None:
    result = run_play()
    assert result.returncode == 0
    assert result.stdout.splitlines() == TUTORIAL_NARRATION


def test_default_level_does_not_depend_on_the_working_directory(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, str(PLAY), "--json"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1])["meta"]["message"] == "Equation Resolved."


def test_tutorial_json_frames() -> None:
    frames = json_frames(TUTORIAL)
    assert [frame["meta"]["last_event"]["type"] for frame in frames] == [
        "CAST_SPELL",
        "COLLAPSE_ZONE",
        "CAST_SPELL",
        "CAST_SPELL",
        "FINISHED",
    ]
    assert frames[-1]["charges"] == [
        {"magnitude": 18.0, "polarity": "positive", "visual_id": "result_adder"}
    ]


# ---------------------------------------------------------------------------
# The showcase levels do what they claim
# ---------------------------------------------------------------------------


def test_example_knows_one_kind_per_agent_placing_method_of_the_module() -> None:
    import qor_engine

    placing = {
        name
        for name in dir(qor_engine.Environment)
        if name.startswith("add_") and name not in {"add_charge", "add_sub_environment", "add_agent"}
    }
    assert len(AGENT_KINDS) == len(placing) == 13


def test_all_kinds_level_uses_every_kind_and_most_of_them_act() -> None:
    level = json.loads(ALL_KINDS.read_text(encoding="utf-8"))
    kinds = {agent["kind"] for zone in zones_of(level) for agent in zone.get("agents", [])}
    assert kinds == AGENT_KINDS
    frames = json_frames(ALL_KINDS)
    acted = {
        frame["meta"]["last_event"]["agent_name"]
        for frame in frames
        if frame["meta"]["last_event"]["type"] == "CAST_SPELL"
    }
    assert len(acted) == 12
    assert "Chronomancer" not in acted
    assert frames[-1]["meta"]["status"] == "FINISHED"
    assert frames[-1]["charges"][0]["magnitude"] == 7.0


def test_nested_level_freezes_thaws_and_merges() -> None:
    level = json.loads(NESTED.read_text(encoding="utf-8"))
    assert depth_of(level) >= 4
    frames = json_frames(NESTED)
    frozen = [frame["is_time_frozen"] for frame in frames]
    assert frozen[0] and not frozen[-1]
    merges = [frame for frame in frames if frame["meta"]["last_event"]["type"] == "COLLAPSE_ZONE"]
    assert len(merges) >= 3
    assert frames[-1]["sub_environments"] == []
    assert frames[-1]["meta"]["status"] == "FINISHED"


def test_endless_level_runs_into_the_frame_limit() -> None:
    frames = json_frames(ENDLESS)
    assert len(frames) == 1001
    last = frames[-1]["meta"]
    assert last["status"] == "ERROR"
    assert last["frame_index"] == 1000
    assert last["message"] == "Max frame limit reached. Infinite loop detected."
    assert frames[-2]["meta"]["status"] == "RUNNING"


def test_endless_level_narrates_the_limit_once() -> None:
    lines = run_play(ENDLESS).stdout.splitlines()
    assert [line for line in lines if line.startswith("frame 1000 ")] == [lines[-3]]
    assert lines[-2].startswith(
        "limit       ERROR: Max frame limit reached. Infinite loop detected."
    )
    assert lines[-1].startswith("Stopped at the frame limit; after 1000 frames root holds")
    assert "Chronomancer" in lines[-1]


def test_endless_level_needs_its_refill(tmp_path: Path) -> None:
    level = json.loads(ENDLESS.read_text(encoding="utf-8"))
    for zone in zones_of(level):
        for agent in zone.get("agents", []):
            agent.pop("refill", None)
    path = tmp_path / "no_refill.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    frames = json_frames(path)
    assert frames[-1]["meta"]["status"] == "FINISHED"
    assert len(frames) < 10


def test_non_finite_charges_are_shown_readably() -> None:
    lines = run_play(LEVELS_DIR / "beyond_counting.json").stdout.splitlines()
    text = "\n".join(lines)
    assert "+inf" in text and "-inf" in text and "nan" in text and "~2.5" in text


def test_example_in_the_format_description_is_a_valid_level(tmp_path: Path) -> None:
    doc = (EXAMPLES.parent / "docs" / "levels.md").read_text(encoding="utf-8")
    match = re.search(r"```json\n(.*?)```", doc, re.DOTALL)
    assert match is not None
    path = tmp_path / "example.json"
    path.write_text(match.group(1), encoding="utf-8")
    result = run_play(path)
    assert result.returncode == 0, result.stderr


# ---------------------------------------------------------------------------
# Unusable level files
# ---------------------------------------------------------------------------

def assert_one_line_error(
    result: subprocess.CompletedProcess[str], path: Path, fragment: str
) -> None:
    assert result.returncode == 2
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith(f"play.py: {path}: ")
    assert fragment in lines[0]


@pytest.mark.parametrize(
    ("content", "fragment"), [case[1:] for case in MALFORMED], ids=[case[0] for case in MALFORMED]
)
def test_malformed_level_gives_one_error_line(tmp_path: Path, content: str, fragment: str) -> None:
    path = tmp_path / "broken.json"
    path.write_text(content, encoding="utf-8")
    assert_one_line_error(run_play(path), path, fragment)


@pytest.mark.parametrize("name", ["empty", "unknown_kind", "bad_polarity"])
def test_malformed_level_in_json_mode_prints_no_frames(tmp_path: Path, name: str) -> None:
    content, fragment = next(case[1:] for case in MALFORMED if case[0] == name)
    path = tmp_path / "broken.json"
    path.write_text(content, encoding="utf-8")
    assert_one_line_error(run_play(path, "--json"), path, fragment)


def test_missing_file(tmp_path: Path) -> None:
    path = tmp_path / "nowhere.json"
    assert_one_line_error(run_play(path), path, "no such file")


def test_directory_instead_of_file(tmp_path: Path) -> None:
    assert_one_line_error(run_play(tmp_path), tmp_path, "is a directory")


@pytest.mark.parametrize("size", ["sparse", "endless"])
def test_a_file_over_the_size_limit_is_refused_unread(tmp_path: Path, size: str) -> None:
    path = Path("/dev/zero")
    if size == "sparse":
        path = tmp_path / "huge.json"
        with path.open("wb") as file:
            file.truncate(2**30)  # a gigabyte, unread
    assert_one_line_error(run_play(path), path, "longer than 8,388,608 bytes")


def test_file_that_is_not_text(tmp_path: Path) -> None:
    path = tmp_path / "binary.json"
    path.write_bytes(b"\xff\xfe\x00{")
    assert_one_line_error(run_play(path), path, "not UTF-8 text")


@pytest.mark.parametrize(
    ("files", "status"),
    [(["good"], 0), (["good", "good"], 0), (["good", "bad"], 2), (["missing"], 2)],
)
def test_check_says_ok_or_lists_the_problems_of_each_file(tmp_path: Path, files: list[str], status: int) -> None:
    texts = {"good": TUTORIAL.read_text(encoding="utf-8"), "bad": '{"zone": "r", "agents": [{"kind": "+"}]}'}
    paths = []
    for n, name in enumerate(files):
        path = tmp_path / f"{n}_{name}.json"
        if name in texts:
            path.write_text(texts[name], encoding="utf-8")
        paths.append(path)
    result = run_play("--check", *paths)
    assert (result.returncode, result.stderr) == (status, "")
    expected = {
        "good": ["ok"],
        "bad": ['zone "r": agent 1: unknown kind "+" (did you mean "plus"?)', 'zone "r": agent 1: missing field "id"'],
        "missing": ["no such file"],
    }
    assert result.stdout.splitlines() == [
        f"{path}: {line}" for path, name in zip(paths, files) for line in expected[name]
    ]


def test_check_takes_no_other_option() -> None:
    result = run_play("--check", TUTORIAL, "--json")
    assert result.returncode == 2 and "--check takes level files only" in result.stderr

# --- --save-at and --resume ---------------------------------------------------


def frame_lines(output: str) -> list[str]:
    return [line for line in output.splitlines() if line.startswith("frame ")]


@pytest.mark.parametrize("level", LEVELS, ids=level_ids)
@pytest.mark.parametrize("mode", ["narration", "--json"])
def test_saving_and_resuming_plays_on_as_one_run(tmp_path: Path, level: Path, mode: str) -> None:
    extra = ["--json"] if mode == "--json" else []
    whole = run_play(level, *extra)
    save = tmp_path / "level.qorsave"
    first = run_play(level, *extra, "--save-at", "2", save)
    second = run_play(*extra, "--resume", save)  # the save keeps the refill agents
    for result in (whole, first, second):
        assert result.returncode == 0 and result.stderr == "", result.stderr
    if mode == "--json":
        assert first.stdout + second.stdout == whole.stdout
        assert len(first.stdout.splitlines()) == 2
    else:
        pieces = frame_lines(first.stdout) + frame_lines(second.stdout)
        assert pieces == frame_lines(whole.stdout)
        assert first.stdout.splitlines()[-1].startswith("Saved after frame 2 to ")
        assert second.stdout.splitlines()[-1] == whole.stdout.splitlines()[-1]
        assert second.stdout.splitlines()[0] == "== level, resumed after frame 2 =="


def test_a_level_file_given_with_resume_names_the_level_and_must_be_good(tmp_path: Path) -> None:
    save, bad = tmp_path / "hourglass.qorsave", tmp_path / "bad.json"
    bad.write_text('{"zone": "r", "agents": [{"kind": "plux", "id": "p"}]}', encoding="utf-8")
    assert run_play(ENDLESS, "--save-at", "1", save).returncode == 0
    named = run_play(TUTORIAL, "--resume", save)  # another level's file: only its title is taken
    assert named.returncode == 0 and named.stdout.splitlines()[0] == "== First Steps, resumed after frame 1 =="
    assert frame_lines(named.stdout) == frame_lines(run_play("--resume", save).stdout)
    assert_one_line_error(run_play(bad, "--resume", save), bad, 'unknown kind "plux"')


def test_a_save_after_the_end_resumes_as_finished(tmp_path: Path) -> None:
    save = tmp_path / "done.qorsave"
    first = run_play(TUTORIAL, "--save-at", "100", save)
    assert first.returncode == 0 and first.stdout.splitlines()[-1] == TUTORIAL_NARRATION[-1]
    resumed = run_play("--resume", save)
    assert resumed.stdout.splitlines() == [
        "== done, resumed after frame 5 ==",
        f"The level in this save had already ended. {TUTORIAL_NARRATION[-1]}",
    ]


def save_of(root: Any) -> bytes:
    import qor_engine

    return bytes(qor_engine.NarrativeSequencer(root).save())


def chain_save(depth: int) -> bytes:
    import qor_engine

    root = zone = qor_engine.Environment("z0")
    for n in range(1, depth):
        inner = qor_engine.Environment(f"z{n}")
        zone.add_sub_environment(inner)
        zone = inner
    return save_of(root)


def lattice_save(levels: int) -> bytes:
    """Each zone placed twice under the one before: 2**levels zone places.
    Made by hand, since the engine saves nothing beyond its work bound."""
    tree = struct.pack("<II", 0, levels)  # no agents; the zones
    for n in range(levels):
        name = f"z{n}".encode()
        refs = [n + 1, n + 1] if n + 1 < levels else []
        tree += struct.pack("<I", len(name)) + name + struct.pack("<BIII", 0, 0, 0, len(refs))
        tree += struct.pack(f"<{len(refs)}I", *refs)
    content = struct.pack("<iiBB", 0, 1000, 0, 0) + tree  # frame 0, limit 1000, running, no event
    body = b"\x89QOR\r\n\x1a\n" + struct.pack("<HHQ", 1, 2, len(content)) + content
    return body + struct.pack("<I", zlib.crc32(body))


def save_with_id(zone_id: bytes) -> bytes:
    import qor_engine

    return save_of(qor_engine.Environment(zone_id))


def make_save(tmp_path: Path, kind: str) -> Path:
    """An unusable save of the given kind."""
    import qor_engine

    path = tmp_path / "broken.qorsave"
    contents: dict[str, Callable[[], bytes]] = {
        "empty": lambda: b"",
        "json": lambda: b"{}",
        "zone_save": lambda: bytes(qor_engine.Environment("z").save()),
        "chain_of_3000_zones": lambda: chain_save(3000),
        "zone_lattice": lambda: lattice_save(40),
        "id_not_utf8": lambda: save_with_id(b"\xff"),
    }
    if kind in contents:
        path.write_bytes(contents[kind]())
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "sparse_gigabyte":
        with path.open("wb") as file:
            file.truncate(2**30)
    elif kind == "endless":
        path = Path("/dev/zero")
    return path


UNUSABLE_SAVES = [
    ("missing", "No such file"),
    ("empty", "cut short"),
    ("json", "bad magic"),
    ("zone_save", "wrong kind"),
    ("directory", "is a directory"),
    ("fifo", "is not a regular file"),
    ("endless", "is not a regular file"),
    ("sparse_gigabyte", "longer than 67,108,864 bytes"),
    ("chain_of_3000_zones", "nested more than 100 deep"),
    ("zone_lattice", "larger than one call may walk"),
    ("id_not_utf8", "not UTF-8"),
]


@pytest.mark.parametrize(("kind", "fragment"), UNUSABLE_SAVES, ids=[case[0] for case in UNUSABLE_SAVES])
def test_resuming_from_an_unusable_save_gives_one_error_line(tmp_path: Path, kind: str, fragment: str) -> None:
    path = make_save(tmp_path, kind)
    result = run_play("--resume", path)
    assert_one_line_error(result, path, fragment)
    assert result.stderr.startswith(f"play.py: {path}: cannot resume: ")


def level_save_of_size(size: int) -> bytes:
    """A well-formed save of one zone whose id fills it to `size` bytes (beyond
    the work bound, so made by hand)."""

    def with_id(zone_id: bytes) -> bytes:
        tree = struct.pack("<II", 0, 1) + struct.pack("<I", len(zone_id)) + zone_id + struct.pack("<BIII", 0, 0, 0, 0)
        content = struct.pack("<iiBB", 0, 1000, 0, 0) + tree
        body = b"\x89QOR\r\n\x1a\n" + struct.pack("<HHQ", 1, 2, len(content)) + content
        return body + struct.pack("<I", zlib.crc32(body))

    return with_id(b"x" * (size - len(with_id(b""))))


# A save of exactly the size cap is read (and then refused for what it holds);
# one byte more is refused unread.
@pytest.mark.parametrize(
    ("size", "fragment"),
    [(64 * 1024 * 1024, "larger than one call may walk"), (64 * 1024 * 1024 + 1, "longer than 67,108,864 bytes")],
    ids=["exactly_the_cap", "one_byte_more"],
)
def test_resume_reads_a_save_of_exactly_the_size_cap_and_refuses_one_byte_more(
    tmp_path: Path, size: int, fragment: str
) -> None:
    path = tmp_path / "large.qorsave"
    path.write_bytes(level_save_of_size(size))
    assert path.stat().st_size == size
    result = run_play("--resume", path)
    assert_one_line_error(result, path, fragment)


def test_a_save_that_needs_more_memory_than_there_is_gives_one_error_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    save = tmp_path / "t.qorsave"
    assert run_play(TUTORIAL, "--save-at", "1", save).returncode == 0

    def no_memory(data: bytes) -> None:
        raise MemoryError

    monkeypatch.setattr(PLAY_MODULE.qor_engine.NarrativeSequencer, "load", no_memory)
    assert PLAY_MODULE.main(["--resume", str(save)]) == 2
    assert capsys.readouterr().err == f"play.py: {save}: cannot resume: not enough memory to load it\n"


def test_resumed_charges_of_any_polarity_and_sign_are_narrated(tmp_path: Path) -> None:
    """The sign is the polarity; a magnitude below zero is shown in brackets."""
    import qor_engine

    root = qor_engine.Environment("root")
    for magnitude, polarity in [(3, 7), (-1, 0), (-2.5, 1), (-0.0, 1), (-math.inf, 2)]:
        root.add_charge(magnitude, qor_engine.ChargePolarity(polarity), "c")
    inner = qor_engine.Environment("inner")
    inner.add_charge(5, qor_engine.POSITIVE, "e")
    root.add_sub_environment(inner)
    save = tmp_path / "signs.qorsave"
    save.write_bytes(save_of(root))
    result = run_play("--resume", save)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1].endswith("[ ?3.0 +(-1.0) -(-2.5) -0.0 ~(-inf) +5.0 ]")


@pytest.mark.parametrize("frame", ["two", "-1"])
def test_save_at_needs_a_frame_number(tmp_path: Path, frame: str) -> None:
    result = run_play(TUTORIAL, "--save-at", frame, tmp_path / "x")
    assert result.returncode == 2 and "N must be a frame number" in result.stderr
    assert not (tmp_path / "x").exists()


# --- saves are written whole or not at all ------------------------------------


def resume_and_save_over_the_save(tmp_path: Path, failure: str, monkeypatch: pytest.MonkeyPatch) -> int:
    """Resumes t.qorsave and saves over u.qorsave, failing as `failure` says."""
    save, target = tmp_path / "t.qorsave", tmp_path / "u.qorsave"
    target.write_bytes(save.read_bytes())
    if failure == "file_too_large":
        return subprocess.run(
            ["prlimit", "--fsize=100", sys.executable, str(PLAY), "--resume", str(save), "--save-at", "2", str(target)],
            capture_output=True,
            timeout=120,
        ).returncode

    def fails(*args: object) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(PLAY_MODULE.os, failure, fails)
    return int(PLAY_MODULE.main(["--resume", str(save), "--save-at", "2", str(target)]))


@pytest.mark.parametrize("failure", ["file_too_large", "fsync", "replace"])
def test_a_failed_save_keeps_the_old_one_and_leaves_nothing_behind(
    tmp_path: Path, failure: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    save = tmp_path / "t.qorsave"
    assert run_play(TUTORIAL, "--save-at", "1", save).returncode == 0
    before = save.read_bytes()
    assert len(before) > 100
    assert resume_and_save_over_the_save(tmp_path, failure, monkeypatch) == 1
    assert (tmp_path / "u.qorsave").read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["t.qorsave", "u.qorsave"]


def read_fifo_in_background(path: Path) -> Callable[[], bytes]:
    """Opens the FIFO for reading in a thread; the returned call gives what was written."""
    received: list[bytes] = []
    reader = threading.Thread(target=lambda: received.append(path.read_bytes()), daemon=True)
    reader.start()

    def result() -> bytes:
        reader.join(60)
        return received[0]

    return result


def test_a_save_goes_through_a_link_and_into_a_fifo_and_never_replaces_them(tmp_path: Path) -> None:
    expected = tmp_path / "direct.qorsave"
    assert run_play(TUTORIAL, "--save-at", "1", expected).returncode == 0
    named, link, fifo = tmp_path / "named.qorsave", tmp_path / "link.qorsave", tmp_path / "pipe"
    named.write_bytes(b"old")
    link.symlink_to(named.name)
    assert run_play(TUTORIAL, "--save-at", "1", link).returncode == 0
    assert link.is_symlink() and named.read_bytes() == expected.read_bytes()
    os.mkfifo(fifo)
    received = read_fifo_in_background(fifo)
    assert run_play(TUTORIAL, "--save-at", "1", fifo).returncode == 0
    assert received() == expected.read_bytes() and stat.S_ISFIFO(fifo.lstat().st_mode)


@pytest.mark.parametrize(("target", "reason"), [
    ("folder", "it is a folder"),
    ("link_to_a_new_file", None),
    ("character_device", None),
])
def test_the_shared_writer_says_what_a_path_is_and_keeps_it(tmp_path: Path, target: str, reason: str | None) -> None:
    path = tmp_path / "out"
    if target == "folder":
        path.mkdir()
    elif target == "link_to_a_new_file":
        path.symlink_to("named")
    else:  # a /dev/null of its own: the machine's is never put at risk
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device needs root")
    if reason is None:
        PLAY_MODULE.write_whole(path, b"data")
    else:
        with pytest.raises(OSError) as raised:
            PLAY_MODULE.write_whole(path, b"data")
        assert raised.value.strerror == reason
    if target == "link_to_a_new_file":
        assert path.is_symlink() and (tmp_path / "named").read_bytes() == b"data"
    assert path.is_dir() or path.is_symlink() or path.is_char_device()


# --- --max-frames ---------------------------------------------------------------


def last_frame_meta(result: subprocess.CompletedProcess[str]) -> tuple[int, str]:
    assert result.returncode == 0, result.stderr
    meta = json.loads(result.stdout.splitlines()[-1])["meta"]
    return meta["frame_index"], meta["status"]


def test_max_frames_sets_the_limit_a_level_runs_into() -> None:
    assert last_frame_meta(run_play(ENDLESS, "--json", "--max-frames", "1500")) == (1500, "ERROR")
    assert last_frame_meta(run_play(ENDLESS, "--json", "--max-frames", "1")) == (1, "ERROR")


def test_a_save_keeps_its_limit_and_max_frames_on_resume_replaces_it(tmp_path: Path) -> None:
    save = tmp_path / "hourglass.qorsave"
    assert run_play(ENDLESS, "--max-frames", "20", "--save-at", "5", save).returncode == 0
    assert last_frame_meta(run_play(ENDLESS, "--json", "--resume", save)) == (20, "ERROR")
    assert last_frame_meta(run_play(ENDLESS, "--json", "--resume", save, "--max-frames", "30")) == (30, "ERROR")


@pytest.mark.parametrize("limit", ["0", "-1", str(2**31), "ten", "1.5"])
def test_max_frames_outside_1_to_2_31_minus_1_is_a_usage_error(limit: str) -> None:
    result = run_play(TUTORIAL, "--max-frames", limit)
    assert result.returncode == 2 and result.stdout == ""
    assert "--max-frames: N must be" in result.stderr



# --- how a level ended ----------------------------------------------------------


def lost_tutorial(tmp_path: Path) -> Path:
    """The tutorial with its gate set to 20: the hall's total stays at 18."""
    level = json.loads(TUTORIAL.read_text(encoding="utf-8"))
    for agent in level["agents"]:
        if agent["kind"] == "equals_gate":
            agent["target"] = 20
    path = tmp_path / "lost.json"
    path.write_text(json.dumps(level), encoding="utf-8")
    return path


CLOSING_LINES = [
    ("won", [], "Won: every gate opened; after 5 frames root holds [ +18.0 ]"),
    ("lost", [], 'Lost: gate "gate" is still shut: total 18.0, opens at 20.0; after 4 frames root holds [ +18.0 ]'),
    (
        "frame_limit",
        ["--max-frames", "3"],
        "Stopped at the frame limit; after 3 frames root holds [ +1.0 +1.0 ]; still standing: "
        'Plus Magician "waiting_adder" in chamber, Chronomancer "timekeeper" in hourglass, '
        'The Extractor "grinder" in hourglass',
    ),
]


@pytest.mark.parametrize(("outcome", "extra", "line"), CLOSING_LINES, ids=[case[0] for case in CLOSING_LINES])
def test_the_last_line_says_won_lost_or_stopped_and_json_stays_the_frames(
    tmp_path: Path, outcome: str, extra: list[str], line: str
) -> None:
    level = {"won": TUTORIAL, "lost": lost_tutorial(tmp_path), "frame_limit": ENDLESS}[outcome]
    narrated = run_play(level, *extra)
    assert (narrated.returncode, narrated.stderr) == (0, "")
    assert narrated.stdout.splitlines()[-1] == line
    frames = run_play(level, *extra, "--json").stdout.splitlines()
    assert len(frames) == len(narrated.stdout.splitlines()) - 2
    assert all("meta" in json.loads(frame) for frame in frames)


# --- never over a file being read; output and path problems ------------------


def another_path(path: Path) -> str:
    """The same file by a path of other letters: through its folder's parent."""
    return f"{path.parent}/../{path.parent.name}/{path.name}"


@pytest.mark.parametrize("route", ["same_path", "other_path", "hard_link", "symbolic_link"])
@pytest.mark.parametrize("read", ["level", "resumed_save"])
def test_a_save_is_never_written_over_a_file_being_read(tmp_path: Path, read: str, route: str) -> None:
    level, save = tmp_path / "level.json", tmp_path / "level.qorsave"
    level.write_bytes(TUTORIAL.read_bytes())
    assert run_play(level, "--save-at", "1", save).returncode == 0
    source = level if read == "level" else save
    target: str | Path = {"same_path": source, "other_path": another_path(source)}.get(route, tmp_path / "link")
    if route == "hard_link":
        os.link(source, target)
    elif route == "symbolic_link":
        os.symlink(source, target)
    before = source.read_bytes()
    arguments = [level] if read == "level" else [level, "--resume", save]
    result = run_play(*arguments, "--save-at", "3", target)
    what = f"the level file {level}" if read == "level" else f"the save being resumed, {save}"
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"play.py: {target}: is {what}: refusing to write the save over it\n"
    assert source.read_bytes() == before


def test_a_save_is_never_written_over_the_default_level() -> None:
    before = TUTORIAL.read_bytes()
    result = run_play("--save-at", "1", TUTORIAL)
    assert result.returncode == 2 and "refusing to write the save over it" in result.stderr
    assert TUTORIAL.read_bytes() == before


def set_file_size_limit() -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))


@pytest.mark.parametrize("mode", ["narration", "--json"])
@pytest.mark.parametrize("output", ["full_disk", "file_size_limit"])
def test_output_that_cannot_be_written_gives_one_line_and_status_1(tmp_path: Path, output: str, mode: str) -> None:
    full = output == "full_disk"
    with open("/dev/full" if full else tmp_path / "out.txt", "wb") as stdout:
        result = subprocess.run(
            [sys.executable, str(PLAY), str(NESTED), *(["--json"] if mode == "--json" else [])],
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
            preexec_fn=None if full else set_file_size_limit,
        )
    cause = os.strerror(errno.ENOSPC if full else errno.EFBIG)
    assert (result.returncode, result.stderr) == (1, f"play.py: cannot write the output: {cause}\n")


@pytest.mark.parametrize(
    ("arguments", "status", "line"),
    [
        (["--save-at", "1", "/proc/self/status"], 1,
         "play.py: /proc/self/status: cannot write the save: it is in a folder that takes no new files"),
        (["--save-at", "1", "/nowhere/x.qorsave"], 1,
         "play.py: /nowhere/x.qorsave: cannot write the save: its folder is not there"),
        (["--resume", ""], 2, "play.py: '': cannot resume: the file name is empty"),
        ([""], 2, "play.py: '': the file name is empty"),
    ],
    ids=["proc_file", "missing_folder", "empty_save_name", "empty_level_name"],
)
def test_messages_name_the_given_path_and_the_real_cause(arguments: list[str], status: int, line: str) -> None:
    result = run_play(*arguments)
    assert result.returncode == status
    assert result.stderr.splitlines() == [line]


@pytest.mark.parametrize("method", ["explain", "save"])
def test_an_engine_failure_after_the_last_frame_gives_one_line(
    tmp_path: Path, method: str, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    def no_memory(self: object) -> None:
        raise MemoryError

    monkeypatch.setattr(PLAY_MODULE.qor_engine.LevelPlay, method, no_memory)
    save = tmp_path / "t.qorsave"
    assert PLAY_MODULE.main([str(TUTORIAL), "--save-at", "9", str(save)]) == 1
    assert capsys.readouterr().err == f"play.py: {TUTORIAL}: the engine failed: MemoryError\n"
    assert not save.exists()
