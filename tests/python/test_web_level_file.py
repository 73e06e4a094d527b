"""The level file in the WebAssembly engine against the native module: every
bad file of the level file's tests gives the same problems and pointers, text
for text; good files the same canonical text; a LevelPlay plays, explains,
saves and resumes as the native one.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from qor_engine import LevelError, LevelPlay, read_level
from level_corpus import MALFORMED, SUGGESTIONS
from test_level_file import I_CASES, LEVELS, N_CASES, Y_CASES
from test_schemas import BEYOND_THE_SCHEMA, CORPUS, MULTI_PROBLEM
from test_web_engine import pytestmark, run_in_node  # noqa: F401 (the same skips)

HOURGLASS = Path(__file__).resolve().parents[2] / "examples" / "levels" / "endless_hourglass.json"


def utf8(data: str | bytes) -> bytes:
    """What the native reader reads of a str: its UTF-8 bytes, a lone
    surrogate's three included."""
    return data if isinstance(data, bytes) else data.encode("utf-8", "surrogatepass")


def corpus() -> list[bytes]:
    texts: list[str | bytes] = [case[1] for case in CORPUS + BEYOND_THE_SCHEMA + MULTI_PROBLEM + MALFORMED]
    texts += [json.dumps({"zone": "r", "agents": [{"kind": written, "id": "a"}]}) for written, _ in SUGGESTIONS]
    texts += [*Y_CASES.values(), *N_CASES.values(), *I_CASES.values()]
    texts += [b'{"zone": "r\xff"}', b" " * (8 * 1024 * 1024 + 1), b""]
    # A long id named in a thousand problems (it used to abort the module).
    texts += ['{"zone": "' + "z" * 1_000_000 + '", "agents": [' + ", ".join(["{}"] * 1000) + "]}"]
    texts += [path.read_bytes() for path in LEVELS]
    texts += [b"\xef\xbb\xbf" + LEVELS[0].read_bytes(), b"\xef\xbb\xbf{", "\ufeff\ufeff{}"]
    return [utf8(text) for text in texts]


def native_reading(data: bytes) -> list[Any]:
    try:
        level = read_level(data)
    except LevelError as error:
        return [error.problems, error.pointers]
    return ["level", level.to_text(), level.title, level.description]


def native_play(text: str, max_frames: int) -> list[Any]:
    level = read_level(text).play(max_frames)
    answers: list[Any] = [level.explain()]
    while not level.is_finished:
        answers += [level.next_frame(), level.explain()]
    saved = level.save()
    loaded = LevelPlay.load(saved)
    return answers + [saved.hex(), isinstance(loaded, LevelPlay), loaded.next_frame()]


def test_every_file_reads_as_natively(tmp_path: Path) -> None:
    files = corpus()
    web = run_in_node({"files": [data.hex() for data in files]}, tmp_path)["files"]
    differing = [(data[:80], native, answer) for data, answer in zip(files, web, strict=True)
                 if (native := native_reading(data)) != answer]
    assert not differing, differing[:5]
    assert sum(answer[0] == "level" for answer in web) >= len(LEVELS)
    assert sum(answer[0] != "level" for answer in web) > 100


@pytest.mark.parametrize("max_frames", [1000, 7])
def test_a_level_play_plays_explains_and_resumes_as_natively(max_frames: int, tmp_path: Path) -> None:
    text = HOURGLASS.read_text(encoding="utf-8")
    web = run_in_node({"plays": [[text, max_frames]]}, tmp_path)["plays"][0]
    native = native_play(text, max_frames)
    assert web == native
    assert len(native) > 10 and native[-2] is True
