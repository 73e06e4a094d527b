"""Compares the parameters in the qor_engine stubs with the built module's.

mypy's stubtest finds names missing on either side, but it cannot read the
parameters of the module's functions: pybind11 gives them no
__text_signature__, only a signature line at the top of each docstring. This
script reads those lines and checks every function and property of the stubs
against them: parameter names, positional-only markers and types, and what
comes back.

    python scripts/stub_signatures.py [STUB_FILE]

STUB_FILE defaults to the stubs installed with the module. Prints one line per
difference and exits 1 when there is any.
"""

from __future__ import annotations

import ast
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import qor_engine

# How the module's signature lines spell the types that the stubs name by alias.
# Text parameters are spelled "str" but also take bytes and bytearray.
PARAMETER_TYPES = {
    "SupportsFloat | SupportsIndex": "_Float",
    "SupportsInt | SupportsIndex": "_Int",
    "str": "_Text",
}
QUALIFIERS = re.compile(r"\b(?:qor_engine|typing|collections\.abc)\.")


@dataclass(frozen=True)
class Parameter:
    name: str
    type: str
    positional_only: bool


@dataclass(frozen=True)
class Signature:
    parameters: tuple[Parameter, ...]  # without self
    returns: str


# ---------------------------------------------------------------------------
# The module's side: signature lines such as
#   add_charge(self: qor_engine.Environment, magnitude: ..., visual_id: str) -> None


def split_top_level(text: str) -> list[str]:
    """Splits at the commas that are not inside brackets."""
    parts: list[str] = []
    depth = 0
    start = 0
    for i, char in enumerate(text):
        if char in "[(":
            depth += 1
        elif char in "])":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_type(text: str, is_parameter: bool) -> str:
    text = QUALIFIERS.sub("", text.strip())
    return PARAMETER_TYPES.get(text, text) if is_parameter else text


def parse_signature_line(line: str, static: bool) -> Signature | None:
    match = re.fullmatch(r"\w*\((.*)\) -> (.+)", line.strip())
    if match is None:
        return None
    items = split_top_level(match.group(1))
    positional_only = "/" in items
    parameters: list[Parameter] = []
    for item in items:
        if item == "/":
            positional_only = False
            continue
        name, _, annotation = item.partition(":")
        parameters.append(Parameter(name.strip(), runtime_type(annotation, True), positional_only))
    # The first parameter of a method is the instance, whatever pybind11 calls it.
    return Signature(tuple(parameters[0 if static else 1 :]), runtime_type(match.group(2), False))


def runtime_signatures(function: object, static: bool = False) -> list[Signature]:
    """Every overload's signature, read from the docstring."""
    doc = getattr(function, "__doc__", None) or ""
    lines = doc.splitlines()
    if lines and lines[0].endswith("(*args, **kwargs)"):  # overloaded
        lines = [re.sub(r"^\d+\. ", "", line) for line in lines if re.match(r"\d+\. ", line)]
    else:
        lines = lines[:1]
    found = [parse_signature_line(line, static) for line in lines]
    return [signature for signature in found if signature is not None]


# ---------------------------------------------------------------------------
# The stubs' side


def stub_signature(function: ast.FunctionDef, static: bool) -> Signature:
    def parameter(argument: ast.arg, positional_only: bool) -> Parameter:
        annotation = ast.unparse(argument.annotation) if argument.annotation else "?"
        return Parameter(argument.arg, annotation, positional_only)

    arguments = function.args
    parameters = [parameter(a, True) for a in arguments.posonlyargs]
    parameters += [parameter(a, False) for a in arguments.args]
    returns = ast.unparse(function.returns) if function.returns else "?"
    return Signature(tuple(parameters[0 if static else 1 :]), returns)


def decorator_names(function: ast.FunctionDef) -> list[str]:
    return [ast.unparse(decorator) for decorator in function.decorator_list]


# ---------------------------------------------------------------------------
# Comparison


def same_type(stub: str, runtime: str) -> bool:
    # pybind11 names a returned py::list just "list".
    return stub == runtime or (runtime == "list" and stub.startswith("list["))


def compare(where: str, stub: Signature, runtime: list[Signature], names_matter: bool) -> list[str]:
    if not runtime:
        return [f"{where}: the module's docstring has no signature line to compare with"]
    # An overloaded function matches when one overload has the stub's signature.
    problems: list[str] = []
    for candidate in runtime:
        problems = []
        stub_names = [p.name for p in stub.parameters]
        runtime_names = [p.name for p in candidate.parameters]
        if names_matter and stub_names != runtime_names:
            problems.append(f"{where}: parameters {stub_names} in the stubs, {runtime_names} in the module")
        stub_types = [p.type for p in stub.parameters]
        runtime_types = [p.type for p in candidate.parameters]
        if len(stub_types) != len(runtime_types) or not all(map(same_type, stub_types, runtime_types)):
            problems.append(f"{where}: parameter types {stub_types} in the stubs, {runtime_types} in the module")
        stub_markers = [p.positional_only for p in stub.parameters]
        runtime_markers = [p.positional_only for p in candidate.parameters]
        if names_matter and stub_markers != runtime_markers:
            problems.append(
                f"{where}: positional-only {stub_markers} in the stubs, {runtime_markers} in the module"
            )
        if not same_type(stub.returns, candidate.returns):
            problems.append(f"{where}: returns {stub.returns} in the stubs, {candidate.returns} in the module")
        if not problems:
            return []
    return problems


def check_class(node: ast.ClassDef, runtime_class: type) -> list[str]:
    problems: list[str] = []
    for item in node.body:
        where = f"{node.name}.{getattr(item, 'name', '')}"
        if isinstance(item, ast.FunctionDef):
            decorators = decorator_names(item)
            static = "staticmethod" in decorators
            signature = stub_signature(item, static)
            attribute = runtime_class.__dict__.get(item.name)
            if isinstance(attribute, staticmethod):
                attribute = attribute.__func__
            if "property" in decorators:
                accessor = getattr(attribute, "fget", None)
                problems += compare(where, signature, runtime_signatures(accessor), False)
            elif any(d.endswith(".setter") for d in decorators):
                accessor = getattr(attribute, "fset", None)
                problems += compare(f"{where} (setter)", signature, runtime_signatures(accessor), False)
            else:
                problems += compare(where, signature, runtime_signatures(attribute, static), True)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            # A plain attribute in the stubs is a read-write property in the module.
            where = f"{node.name}.{item.target.id}"
            attribute = runtime_class.__dict__.get(item.target.id)
            annotation = ast.unparse(item.annotation)
            if annotation.startswith("ClassVar[") or not isinstance(attribute, property):
                continue  # class attributes: stubtest checks them
            getter = Signature((), annotation)
            setter = Signature((Parameter("value", annotation, True),), "None")
            problems += compare(where, getter, runtime_signatures(attribute.fget), False)
            problems += compare(f"{where} (setter)", setter, runtime_signatures(attribute.fset), False)
    return problems


def installed_stubs() -> Path:
    """The stubs where a type checker finds them: beside the module, on sys.path."""
    for entry in sys.path:
        candidate = Path(entry or ".") / "qor_engine-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    sys.exit("stub_signatures.py: the qor_engine-stubs package is not installed")


def check(stub_file: Path, module: ModuleType) -> list[str]:
    tree = ast.parse(stub_file.read_text(encoding="utf-8"), str(stub_file))
    problems: list[str] = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            runtime_class = getattr(module, node.name, None)
            if isinstance(runtime_class, type):
                problems += check_class(node, runtime_class)
    return problems


def main(argv: list[str]) -> int:
    stub_file = Path(argv[1]) if len(argv) > 1 else installed_stubs()
    problems = check(stub_file, qor_engine)
    for problem in problems:
        print(f"{stub_file}: {problem}")
    if problems:
        return 1
    print(f"stub_signatures.py: the parameters in {stub_file.name} match the module")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
