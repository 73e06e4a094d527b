"""Level files and kinds shared by the tests of the level reader and of play.py."""

from __future__ import annotations

# Every agent kind a level file may place.
AGENT_KINDS = frozenset({
    "plus", "minus", "multiply", "divide", "power", "root", "abs", "factorial",
    "modulo", "log", "chronomancer", "equals_gate", "inequality_gate",
})

# Unusable level files: (name, text, a fragment of the first problem).
MALFORMED = [
    ("empty", "", "the file is empty"),
    ("bad_json", '{"zone": "root",, }', "invalid JSON at line 1"),
    ("nan_constant", '{"zone": "r", "charges": [[NaN, "positive", "c"]]}', "NaN is not allowed"),
    ("not_an_object", "[1, 2, 3]", "level: expected an object"),
    ("missing_zone_id", '{"charges": []}', 'level: missing field "zone"'),
    ("zone_id_not_text", '{"zone": 5}', 'field "zone" must be a string, not a number'),
    (
        "unknown_top_field",
        '{"zone": "r", "agent": []}',
        'unknown field "agent" (did you mean "agents"?)',
    ),
    ("title_not_text", '{"zone": "r", "title": ["x"]}', 'field "title" must be a string'),
    (
        "agents_not_list",
        '{"zone": "r", "agents": {"kind": "plus"}}',
        'field "agents" must be a list',
    ),
    (
        "unknown_kind",
        '{"zone": "root", "agents": [{"kind": "plus", "id": "p"}, {"kind": "plux", "id": "q"}]}',
        'zone "root": agent 2: unknown kind "plux"',
    ),
    (
        "kind_not_text",
        '{"zone": "r", "agents": [{"kind": 3, "id": "p"}]}',
        'field "kind" must be a string',
    ),
    (
        "agent_without_id",
        '{"zone": "r", "agents": [{"kind": "plus"}]}',
        'agent 1: missing field "id"',
    ),
    ("agent_not_object", '{"zone": "r", "agents": ["plus"]}', "agent 1: expected an object"),
    (
        "gate_without_target",
        '{"zone": "r", "agents": [{"kind": "equals_gate", "id": "g"}]}',
        'missing field "target"',
    ),
    (
        "target_not_number",
        '{"zone": "r", "agents": [{"kind": "equals_gate", "id": "g", "target": "3"}]}',
        'field "target" must be a number, not a string',
    ),
    (
        "gate_without_rule",
        '{"zone": "r", "agents": [{"kind": "inequality_gate", "id": "j", "target": 3}]}',
        'missing field "rule"',
    ),
    (
        "bad_rule",
        '{"zone": "r", "agents": '
        '[{"kind": "inequality_gate", "id": "j", "target": 3, "rule": "=="}]}',
        'not "=="',
    ),
    (
        "target_on_magician",
        '{"zone": "r", "agents": [{"kind": "plus", "id": "p", "target": 3}]}',
        "only for gates",
    ),
    (
        "refill_not_bool",
        '{"zone": "r", "agents": [{"kind": "abs", "id": "a", "refill": "yes"}]}',
        "true or false",
    ),
    (
        "charge_too_short",
        '{"zone": "r", "charges": [[3, "positive"]]}',
        "charge 1: expected [magnitude, polarity, id]",
    ),
    ("charge_as_object", '{"zone": "r", "charges": [{"magnitude": 3}]}', "got an object"),
    (
        "magnitude_not_number",
        '{"zone": "r", "charges": [["3", "positive", "c"]]}',
        "magnitude must be a number",
    ),
    ("magnitude_bool", '{"zone": "r", "charges": [[true, "positive", "c"]]}', "not true/false"),
    (
        "negative_magnitude",
        '{"zone": "r", "charges": [[-3, "positive", "c"]]}',
        "must not be negative",
    ),
    ("bad_polarity", '{"zone": "r", "charges": [[3, "postive", "c"]]}', 'not "postive"'),
    (
        "charge_id_not_text",
        '{"zone": "r", "charges": [[3, "positive", 7]]}',
        "id must be a non-empty string",
    ),
    (
        "sub_zone_without_id",
        '{"zone": "r", "zones": [{"charges": []}]}',
        'zone "r": zone 1: missing field "zone"',
    ),
    ("duplicate_zone", '{"zone": "r", "zones": [{"zone": "r"}]}', 'zone id "r" is used twice'),
    (
        "duplicate_agent",
        '{"zone": "r", "agents": [{"kind": "plus", "id": "p"}, {"kind": "minus", "id": "p"}]}',
        'agent id "p" is used twice',
    ),
    (
        "nested_too_deep",
        "".join(f'{{"zone": "z{i}", "zones": [' for i in range(150)) + "]}" * 150,
        "nested more than",
    ),
    ("brackets_too_deep", "[" * 100000 + "]" * 100000, "invalid JSON"),
    (
        "magnitude_of_400_digits",
        '{"zone": "r", "charges": [[1%s, "positive", "c"]]}' % ("0" * 400),
        "magnitude must be a finite number, at most 1.7976931348623157e+308",
    ),
    (
        "target_of_400_digits",
        '{"zone": "r", "agents": [{"kind": "equals_gate", "id": "g", "target": -1%s}]}'
        % ("0" * 400),
        'field "target" must be a finite number',
    ),
    ("magnitude_overflows", '{"zone": "r", "charges": [[1e400, "positive", "c"]]}', "finite"),
    ("lone_surrogate_zone", '{"zone": "\\ud800"}', 'field "zone" holds "\\ud800", a lone surrogate'),
    (
        "lone_surrogate_charge",
        '{"zone": "r", "charges": [[1, "positive", "c\\udfff"]]}',
        'charge 1: id holds "\\udfff"',
    ),
    (
        "lone_surrogate_agent",
        '{"zone": "r", "agents": [{"kind": "plus", "id": "\\udc00p"}]}',
        'agent 1: field "id" holds',
    ),
    ("lone_surrogate_title", '{"zone": "r", "title": "\\ud83d"}', 'field "title" holds'),
    ("duplicate_level_key", '{"zone": "r", "zone": "s"}', 'level: field "zone" is given twice'),
    (
        "duplicate_agent_key",
        '{"zone": "r", "agents": [{"kind": "plus", "id": "p", "kind": "minus"}]}',
        'zone "r": agent 1: field "kind" is given twice',
    ),
    (
        "duplicate_sub_zone_key",
        '{"zone": "r", "zones": [{"zone": "s", "charges": [], "charges": []}]}',
        'zone "r": zone 1: field "charges" is given twice',
    ),
]



# A kind as a designer may write it, and the kind suggested (None: no suggestion).
SUGGESTIONS: list[tuple[str, str | None]] = [
    ("Plus Magician", "plus"),
    ("add_plus_magician", "plus"),
    ("+", "plus"),
    ("sqrt", "root"),
    ("The Extractor", "root"),
    ("add_power_sorcerer", "power"),
    ("The Judge", "inequality_gate"),
    ("Equals Gate", "equals_gate"),
    ("\u00d7", "multiply"),
    ("%", "modulo"),
    ("plux", "plus"),
    ("Multiplier", "multiply"),
    ("factorail", "factorial"),
    ("qwertyuiop", None),
]
