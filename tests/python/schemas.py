"""The JSON Schemas of schemas/, compiled once for every test that uses them."""

from __future__ import annotations

import json
from functools import cache
from pathlib import Path
from typing import Any

from jsonschema import Draft202012Validator
from jsonschema.exceptions import best_match

SCHEMAS = Path(__file__).resolve().parents[2] / "schemas"


def inline_references(node: Any, defs: dict[str, Any]) -> Any:
    """The schema with every "$ref" to a definition that does not refer to itself
    replaced by that definition: the same rules, a third faster to check, as
    jsonschema looks every reference up again each time it meets it."""
    if isinstance(node, list):
        return [inline_references(item, defs) for item in node]
    if not isinstance(node, dict):
        return node
    node = {key: inline_references(value, defs) for key, value in node.items()}
    name = node.get("$ref", "").removeprefix("#/$defs/")
    if name in defs and f'"#/$defs/{name}"' not in json.dumps(defs[name]):
        del node["$ref"]
        node = {"allOf": [inline_references(defs[name], defs)], **node} if node else inline_references(defs[name], defs)
    return node


@cache
def validator(name: str) -> Draft202012Validator:
    schema = json.loads((SCHEMAS / f"{name}.schema.json").read_text(encoding="utf-8"))
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(inline_references(schema, schema["$defs"]))


def problem(name: str, instance: Any) -> str | None:
    """Why `instance` does not match schema `name`, or None when it does."""
    checker = validator(name)
    if checker.is_valid(instance):  # the fast path; errors are collected only on failure
        return None
    error = best_match(checker.iter_errors(instance))
    return f"{error.json_path}: {error.message[:300]}"


def assert_valid_frame(frame: Any) -> None:
    found = problem("frame", frame)
    assert found is None, f"the frame does not match the frame schema: {found}"


def assert_valid_patch(patch: Any) -> None:
    found = problem("frame_patch", patch)
    assert found is None, f"the patch does not match the frame patch schema: {found}"
