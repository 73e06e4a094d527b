"""qor_engine.read_level, Level and LevelError: the level file in the package.

* The bad files of play.py's tests and of the schema tests give their
  problems through read_level, each with its place and its JSON Pointer.
* A level's to_text() reads back as itself (the frames of built levels are
  compared with the goldens in tests/cpp/level_file_test.cpp).
* Every kind of JSON a parser may meet: no public JSON parsing test suite
  is packaged on PyPI or in Debian, so the cases below are made here, by the
  suite's categories: y_ (valid JSON: never a parse problem), n_ (not JSON:
  exactly one parse problem, as Python's json agrees) and i_ (left to the
  parser: a Level or a LevelError, never anything else).
"""

from __future__ import annotations

import copy
import difflib
import json
import pickle
from pathlib import Path

import pytest

import qor_engine
from qor_engine import Level, LevelError, read_level
from level_corpus import AGENT_KINDS, MALFORMED, SUGGESTIONS
from test_schemas import BEYOND_THE_SCHEMA, CORPUS, MULTI_PROBLEM

REPO = Path(__file__).resolve().parents[2]
LEVELS = sorted((REPO / "examples" / "levels").glob("*.json"))


def problems_of(data: str | bytes) -> list[str]:
    try:
        read_level(data)
    except LevelError as error:
        assert len(error.pointers) == len(error.problems) and str(error) == "\n".join(error.problems)
        return error.problems
    return []


@pytest.mark.parametrize(("text", "good"), [case[1:] for case in CORPUS], ids=[case[0] for case in CORPUS])
def test_the_schema_corpus_reads_as_play_reads_it(text: str, good: bool) -> None:
    assert (problems_of(text) == []) == good


@pytest.mark.parametrize("text", [case[1] for case in BEYOND_THE_SCHEMA], ids=[case[0] for case in BEYOND_THE_SCHEMA])
def test_the_rules_beyond_the_schema_are_kept(text: str) -> None:
    assert len(problems_of(text)) == 1


@pytest.mark.parametrize(
    ("text", "problems"), [case[1:] for case in MULTI_PROBLEM], ids=[case[0] for case in MULTI_PROBLEM]
)
def test_every_problem_is_listed_with_its_place(text: str, problems: list[str]) -> None:
    listed = problems_of(text)
    assert len(listed) == len(problems)
    for line, problem in zip(listed, problems, strict=True):
        assert line.startswith(problem), line


@pytest.mark.parametrize(("text", "fragment"), [case[1:] for case in MALFORMED], ids=[case[0] for case in MALFORMED])
def test_malformed_files_name_their_first_problem(text: str, fragment: str) -> None:
    assert fragment in problems_of(text)[0]


@pytest.mark.parametrize(("written", "meant"), SUGGESTIONS)
def test_an_unknown_kind_suggests_the_kind_meant(written: str, meant: str | None) -> None:
    hint = f' (did you mean "{meant}"?)' if meant else ""
    text = json.dumps({"zone": "r", "agents": [{"kind": written, "id": "a"}]})
    assert problems_of(text) == [f'zone "r": agent 1: unknown kind {json.dumps(written, ensure_ascii=False)}{hint}']


def test_every_agent_name_suggests_its_kind() -> None:
    gates = {"equals_gate": {"target": 1}, "inequality_gate": {"target": 1, "rule": "<"}}
    agents = [{"kind": kind, "id": kind, **gates.get(kind, {})} for kind in sorted(AGENT_KINDS)]
    tree = json.loads(read_level(json.dumps({"zone": "r", "agents": agents})).play().root_environment.to_json())
    for agent in tree["agents"]:
        for written in (agent["name"], f"add_{agent['visual_id']}"):
            text = json.dumps({"zone": "r", "agents": [{"kind": written, "id": "a"}]})
            assert problems_of(text)[0].endswith(f'(did you mean "{agent["visual_id"]}"?)'), written


def test_each_problem_has_the_pointer_of_its_value() -> None:
    text = '{"zone": "r", "agents": [{"kind": "plus", "id": "p"}], "zones": [{"zone": "s", "agents": [{"kind": "plux", "id": "q"}]}]}'
    with pytest.raises(LevelError) as raised:
        read_level(text)
    assert isinstance(raised.value, ValueError)
    assert raised.value.pointers == ["/zones/0/agents/0/kind"]
    assert raised.value.problems == ['zone "s": agent 1: unknown kind "plux" (did you mean "plus"?)']


def test_text_and_utf8_bytes_of_every_kind_read_alike() -> None:
    text = LEVELS[0].read_text(encoding="utf-8")
    data = text.encode()
    texts = {read_level(form).to_text() for form in (text, data, bytearray(data), memoryview(data), memoryview(data)[::1])}
    assert len(texts) == 1
    assert problems_of(memoryview(b"x" + data)[1:]) == []


def test_a_byte_order_mark_is_read_past_and_not_written_back() -> None:
    text = LEVELS[0].read_text(encoding="utf-8")
    for data in ("\ufeff" + text, b"\xef\xbb\xbf" + text.encode()):
        assert read_level(data).to_text() == read_level(text).to_text()
    assert problems_of(b"\xef\xbb\xbf" + b'{"zone": "r\xff"}') == ["not UTF-8 text (invalid start byte at byte 14)"]


@pytest.mark.parametrize(
    ("data", "problem"),
    [
        ('{"zone": "\ud800"}', "not UTF-8 text (invalid continuation byte at byte 10)"),
        (b'{"zone": "r\xff"}', "not UTF-8 text (invalid start byte at byte 11)"),
        (b" " * (8 * 1024 * 1024 + 1), "longer than 8,388,608 bytes, the most a level file may hold"),
    ],
    ids=["lone_surrogate_in_a_str", "not_utf8", "over_8_mib"],
)
def test_data_that_is_not_a_level_files_text(data: str | bytes, problem: str) -> None:
    assert problems_of(data) == [problem]


def test_a_long_id_is_quoted_by_its_start_so_problems_stay_short() -> None:
    text = '{"zone": "' + "z" * 1_000_000 + '", "agents": [' + ", ".join(["{}"] * 1000) + "]}"
    problems = problems_of(text)
    assert len(problems) == 1001 and len("\n".join(problems)) < 100_000
    assert problems[0] == 'zone "' + "z" * 40 + '\u2026" (level): agent 1: missing field "kind"'


@pytest.mark.parametrize(("extra", "depth"), [(0, 1000), (1, 1001)])
def test_limits_take_their_exact_value_and_refuse_one_more(extra: int, depth: int) -> None:
    head = b'{"zone": "r"}'
    padded = head + b" " * (8 * 1024 * 1024 - len(head) + extra)
    assert problems_of(padded) == (["longer than 8,388,608 bytes, the most a level file may hold"] if extra else [])
    nested = '{"zone": "r", "x": ' + "[" * (depth - 1) + "]" * (depth - 1) + "}"
    assert problems_of(nested) == (
        [f"invalid JSON at line 1, column {20 + 999}: lists and objects are nested more than 1000 deep"]
        if extra else ['level: unknown field "x"'])


@pytest.mark.parametrize(("escaped", "decoded"), [
    ("\\ud800\\udc00", "\U00010000"), ("\\ud800\\udfff", "\U000103ff"),
    ("\\udbff\\udc00", "\U0010fc00"), ("\\udbff\\udfff", "\U0010ffff"),
    ('\\"\\\\\\/\\b\\f\\n\\r\\t', '"\\/\b\f\n\r\t'), ("\\u0041\\u00e9\\u20ac", "A\u00e9\u20ac"),
], ids=["first_pair", "first_high_last_low", "last_high_first_low", "last_pair", "short_escapes", "unicode_escapes"])
def test_every_escape_decodes_to_its_character(escaped: str, decoded: str) -> None:
    assert read_level('{"title": "' + escaped + '", "zone": "r"}').title == decoded


# Words whose best matches tie: the suggestion is the one difflib gives.
@pytest.mark.parametrize(("template", "fields", "word"), [
    ('{"zone": "r", "%s": 1}', ["agents", "charges", "description", "title", "zone", "zones"], "inles"),
    ('{"zone": "r", "agents": [{"kind": "plus", "id": "p", "%s": 1}]}', ["id", "kind", "refill", "rule", "target"], "arei"),
    ('{"zone": "r", "agents": [{"kind": "plus", "id": "p", "%s": 1}]}', ["id", "kind", "refill", "rule", "target"], "retl"),
])
def test_a_tie_between_suggestions_is_decided_as_difflib_decides_it(template: str, fields: list[str], word: str) -> None:
    meant = difflib.get_close_matches(word, fields, n=1)[0]
    assert problems_of(template % word)[-1].endswith(f'unknown field "{word}" (did you mean "{meant}"?)')


@pytest.mark.parametrize("data", [None, 3, ["{}"], b"{}".decode])
def test_data_of_another_type_is_a_type_error(data: object) -> None:
    with pytest.raises(TypeError):
        read_level(data)  # type: ignore[arg-type]


def test_a_level_error_can_be_made_and_pickled() -> None:
    error = LevelError(["a: b", "c: d"], ["/a", ""])
    assert (error.problems, error.pointers, str(error)) == (["a: b", "c: d"], ["/a", ""], "a: b\nc: d")
    assert LevelError("no such file").pointers == [""]
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), again.problems, again.pointers) == (LevelError, error.problems, error.pointers)


@pytest.mark.parametrize("path", LEVELS, ids=lambda path: path.stem)
def test_to_text_reads_back_as_itself(path: Path) -> None:
    level = read_level(path.read_bytes())
    text = level.to_text()
    assert read_level(text).to_text() == text
    assert json.loads(text) == json.loads(path.read_text(encoding="utf-8"))
    assert level.title == json.loads(text).get("title")


def test_golden_levels_read_back_from_their_text() -> None:
    def as_file(zone: dict[str, object]) -> dict[str, object]:
        agents = [dict(zip(("kind", "id", "target", "rule"), agent)) for agent in zone["agents"]]  # type: ignore[attr-defined]
        return {"zone": zone["id"], "charges": zone["charges"], "agents": agents,
                "zones": [as_file(sub) for sub in zone["zones"]]}  # type: ignore[attr-defined]

    read = 0
    for golden in json.loads((REPO / "tests" / "golden" / "levels.json").read_text(encoding="utf-8")):
        try:
            level = read_level(json.dumps(as_file(golden["root"]), allow_nan=True))
        except LevelError:
            continue  # NaN, polarities as numbers, ...: beyond a level file
        text = level.to_text()
        assert read_level(text).to_text() == text
        read += 1
    assert read >= 20


def test_a_deep_and_crowded_level_reads_back_from_its_own_text() -> None:
    # Indented four spaces a level, these 20,001 agents 100 zones deep would
    # be written longer than the 8 MiB a level file may hold.
    deepest = {"zone": "z99", "agents": [{"kind": "plus", "id": f"a{n}"} for n in range(20_001)]}
    zone = deepest
    for depth in range(98, -1, -1):
        zone = {"zone": f"z{depth}", "zones": [zone]}
    text = json.dumps(zone, separators=(",", ":"))
    assert len(text) < 8 * 1024 * 1024
    written = read_level(text).to_text()
    assert len(written) < 2 * 1024 * 1024
    assert read_level(written).to_text() == written
    assert json.loads(written) == zone


def test_title_and_description_are_none_when_absent() -> None:
    level = read_level('{"zone": "r", "title": null}')
    assert (level.title, level.description) == (None, None)
    level = read_level('{"zone": "r", "title": "", "description": "\u00e9\U0001f600"}')
    assert (level.title, level.description) == ("", "\u00e9\U0001f600")


def test_a_level_pickles_and_copies_as_its_text() -> None:
    level = read_level(LEVELS[0].read_bytes())
    for again in (pickle.loads(pickle.dumps(level)), copy.copy(level), copy.deepcopy(level)):
        assert type(again) is Level and again.to_text() == level.to_text()
    with pytest.raises(TypeError):
        Level()
    assert qor_engine.Level is Level


# --- every kind of JSON ---------------------------------------------------------

LEVEL = '{"zone": "r", "charges": [[%s, "positive", "c"]]}'

Y_CASES: dict[str, str] = {
    "y_array_empty": "[]",
    "y_array_nested": "[[[[]]], [], {}]",
    "y_array_with_whitespace": " [ 1 , 2 ]\t\r\n",
    "y_number_forms": "[0, -0, 1e5, 1E+5, 1e-5, 0.5, -0.0, 123456789012345678901234567890, 1.5e-999]",
    "y_object_duplicate_key": '{"a": 1, "a": 2}',
    "y_object_empty_key": '{"": 0}',
    "y_string_escapes": r'["\"\\\/\b\f\n\r\t\u0000\u00e9\uD834\uDD1E"]',
    "y_string_unicode": '["\u00e9\u4e2d\U0001f600\u2028\u2029"]',
    "y_string_with_del": '["\x7f"]',
    "y_literals": "[true, false, null]",
    "y_lonely_values": "null",
    "y_level_with_every_escape": '{"zone": "\\u0072\\t"}',
    "y_level_number": LEVEL % "1.0e+2",
}

N_CASES: dict[str, str] = {
    "n_array_trailing_comma": "[1,]",
    "n_array_missing_value": "[,1]",
    "n_array_unclosed": "[1",
    "n_array_extra_close": "[1]]",
    "n_array_colon": '["a": 1]',
    "n_object_trailing_comma": '{"a": 1,}',
    "n_object_unquoted_key": "{a: 1}",
    "n_object_single_quotes": "{'a': 1}",
    "n_object_missing_colon": '{"a" 1}',
    "n_object_non_string_key": "{1: 1}",
    "n_object_unclosed": '{"a": 1',
    "n_number_leading_zero": LEVEL % "01",
    "n_number_plus": LEVEL % "+1",
    "n_number_dot_only": LEVEL % "1.",
    "n_number_leading_dot": LEVEL % ".5",
    "n_number_exponent_only": LEVEL % "1e",
    "n_number_hex": LEVEL % "0x1",
    "n_number_infinity": LEVEL % "Infinity",
    "n_number_minus_infinity": LEVEL % "-Infinity",
    "n_number_nan": LEVEL % "NaN",
    "n_number_minus_alone": LEVEL % "-",
    "n_string_unclosed": '["a',
    "n_string_bad_escape": r'["\x"]',
    "n_string_short_unicode": r'["\u12"]',
    "n_string_control_character": '["a\nb"]',
    "n_string_single_quoted": "['a']",
    "n_literal_capitalised": "[True]",
    "n_literal_cut": "[nul]",
    "n_structure_two_values": "{} {}",
    "n_structure_comment": '{"zone": "r"} // x',
    "n_structure_lone_open": "{",
    "n_structure_nul_byte": '{"zone": "r"}\x00',
}

I_CASES: dict[str, str | bytes] = {
    "i_number_huge_exponent": LEVEL % "1e99999999999999999999",
    "i_number_tiny_exponent": LEVEL % "1e-99999999999999999999",
    "i_number_very_long": LEVEL % ("9" * 100000),
    "i_string_lone_surrogates": r'["\uD800", "\uDFFF\uD800", "\uD800\u0041"]',
    "i_string_invalid_utf8": b'["\xc0\xaf"]',
    "i_string_overlong_nul": b'["\xc0\x80"]',
    "i_string_utf16_bom": b"\xff\xfe[\x00]\x00",
    "i_structure_UTF-8_BOM_empty_object": "\ufeff{}",
    "i_structure_500_deep": "[" * 500 + "]" * 500,
    "i_structure_100000_deep": "[" * 100000 + "]" * 100000,
    "i_structure_deep_objects": '{"a":' * 5000 + "1" + "}" * 5000,
}


def is_parse_problem(problem: str) -> bool:
    return problem.startswith(("invalid JSON at line ", "not UTF-8 text", "the file is empty"))


@pytest.mark.parametrize("text", list(Y_CASES.values()), ids=list(Y_CASES))
def test_valid_json_is_never_a_parse_problem(text: str) -> None:
    json.loads(text)
    assert not any(is_parse_problem(problem) for problem in problems_of(text))


@pytest.mark.parametrize("text", list(N_CASES.values()), ids=list(N_CASES))
def test_what_is_not_json_is_one_parse_problem(text: str) -> None:
    with pytest.raises(ValueError):
        json.loads(text, parse_constant=lambda name: (_ for _ in ()).throw(ValueError(name)))
    problems = problems_of(text)
    assert len(problems) == 1 and problems[0].startswith("invalid JSON at line "), problems


@pytest.mark.parametrize("data", list(I_CASES.values()), ids=list(I_CASES))
def test_what_json_leaves_open_is_a_level_or_its_problems(data: str | bytes) -> None:
    problems_of(data)
