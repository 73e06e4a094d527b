"""Compares the signatures in the qor_engine stubs with the built module's.

mypy's stubtest finds names missing on either side, but it cannot read the
parameters of the module's functions: pybind11 gives them no
__text_signature__, only a signature line at the top of each docstring.
pybind11-stubgen reads those lines; this script has it write stubs of the
built module into a temporary directory and compares every function,
property and plain attribute of our stubs with them: parameter names,
positional-only markers, parameter types and what comes back.

Our stubs say more than pybind11's signature lines can, and the comparison
allows for exactly that (see `same_type`):
  * aliases (_Float, _Int, _Text) stand for the unions they name;
  * text parameters take str, bytes and bytearray, which pybind11 names "str";
  * pybind11 names its integer parameters "SupportsInt | SupportsIndex",
    although it refuses a float (which has __int__): ours say SupportsIndex,
    or int for a property, so that a type checker flags a float;
  * a parameter that takes a few texts (a Literal of them) where pybind11
    says "str", so that a type checker flags a typo;
  * pybind11 names a list it returns just "list", and a std::vector
    parameter "Sequence[...]" although it takes any iterable;
  * stubgen writes "object" as "Any";
  * stubgen leaves out the "/" when every parameter is positional-only (it
    writes it only before the first parameter that is not), so that
    "all positional-only" and "none" look alike in its stubs: for those,
    `restore_positional_only` reads the "/" from the module's docstrings;
  * a setter's parameter names are pybind11's own (arg0, arg1): not compared.

    python scripts/stub_signatures.py [STUB_FILE]

STUB_FILE defaults to the stubs installed with the module. Prints one line per
difference and exits 1 when there is any.
"""

from __future__ import annotations

import ast
import importlib
import re
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, replace
from pathlib import Path

MODULE = "qor_engine"
QUALIFIERS = re.compile(r"\b(?:qor_engine|typing|collections\.abc)\.")
# How pybind11 names, in its signature lines, what our stubs spell more exactly.
RUNTIME_SPELLINGS = {"bytearray | bytes | str": "str", "Iterable[": "Sequence["}
# The types ours narrow, by pybind11's name of them (see the docstring).
NARROWED = {"SupportsIndex | SupportsInt": re.compile(r"SupportsIndex|int"), "str": re.compile(r"Literal\['[^]]*'\]"),
            "None | str": re.compile(r"Literal\['[^]]*'\] \| None")}


@dataclass(frozen=True)
class Parameter:
    name: str
    type: str
    positional_only: bool


@dataclass(frozen=True)
class Signature:
    parameters: tuple[Parameter, ...]  # without self
    returns: str
    slash_shown: bool  # whether the text shows a "/"


@dataclass
class Members:
    """One class's functions (every overload), properties and setters, by name."""

    functions: dict[str, list[Signature]]
    getters: dict[str, Signature]
    setters: dict[str, Signature]


# ---------------------------------------------------------------------------
# Reading a stub file


def union_text(text: str) -> str:
    """A type's text with qualifiers dropped and the members of a union sorted."""
    text = QUALIFIERS.sub("", text.replace(" ", ""))
    depth, parts, start = 0, [], 0
    for i, char in enumerate(text):
        depth += char in "[("
        depth -= char in "])"
        if char == "|" and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return " | ".join(sorted(parts)).replace(",", ", ")


def signature_of(function: ast.FunctionDef, aliases: dict[str, str]) -> Signature:
    def annotation(node: ast.expr | None) -> str:
        if node is None:
            return "?"
        text = ast.unparse(node)
        for alias, meaning in aliases.items():
            text = re.sub(rf"\b{alias}\b", meaning, text)
        return union_text(text)

    arguments = function.args
    parameters = [Parameter(a.arg, annotation(a.annotation), True) for a in arguments.posonlyargs]
    parameters += [Parameter(a.arg, annotation(a.annotation), False) for a in arguments.args]
    if "staticmethod" not in decorators(function):
        parameters = parameters[1:]
    return Signature(tuple(parameters), annotation(function.returns), bool(arguments.posonlyargs))


def decorators(function: ast.FunctionDef) -> list[str]:
    return [ast.unparse(decorator) for decorator in function.decorator_list]


def read_stubs(path: Path) -> tuple[dict[str, Members], Members]:
    """The classes of a stub file and its module-level functions."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    aliases = {
        node.target.id: ast.unparse(node.value)
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
        and node.value is not None and ast.unparse(node.annotation) == "TypeAlias"
    }

    def members(body: list[ast.stmt]) -> Members:
        found = Members({}, {}, {})
        for item in body:
            if isinstance(item, ast.FunctionDef):
                signature = signature_of(item, aliases)
                kinds = decorators(item)
                if "property" in kinds:
                    found.getters[item.name] = signature
                elif any(kind.endswith(".setter") for kind in kinds):
                    found.setters[item.name] = signature
                else:
                    found.functions.setdefault(item.name, []).append(signature)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                text = ast.unparse(item.annotation)
                if text.startswith(("ClassVar[", "Final")) or text == "TypeAlias":
                    continue  # constants and aliases: stubtest checks them
                # A plain attribute is a read-write property.
                setter = ast.parse(f"def f(self, value: {text}, /) -> None: ...").body[0]
                assert isinstance(setter, ast.FunctionDef)
                found.setters[item.target.id] = signature_of(setter, aliases)
                found.getters[item.target.id] = Signature(
                    (), found.setters[item.target.id].parameters[0].type, False
                )
        return found

    classes = {node.name: members(node.body) for node in tree.body if isinstance(node, ast.ClassDef)}
    return classes, members(tree.body)


# ---------------------------------------------------------------------------
# Comparison


def runtime_spelling(stub_type: str) -> str:
    for ours, theirs in RUNTIME_SPELLINGS.items():
        stub_type = stub_type.replace(ours, theirs)
    return stub_type


def same_type(stub: str, runtime: str) -> bool:
    runtime = runtime.replace("Any", "object")
    stub = runtime_spelling(stub)
    narrowed = NARROWED.get(runtime)
    return (
        stub == runtime
        or (runtime == "list" and stub.startswith("list["))
        or (narrowed is not None and narrowed.fullmatch(stub) is not None)
    )


def differences(where: str, stub: Signature, runtime: Signature, names_matter: bool) -> Iterator[str]:
    stub_names = [p.name for p in stub.parameters]
    runtime_names = [p.name for p in runtime.parameters]
    if names_matter and stub_names != runtime_names:
        yield f"{where}: parameters {stub_names} in the stubs, {runtime_names} in the module"
    stub_types = [p.type for p in stub.parameters]
    runtime_types = [p.type for p in runtime.parameters]
    if len(stub_types) != len(runtime_types) or not all(map(same_type, stub_types, runtime_types)):
        yield f"{where}: parameter types {stub_types} in the stubs, {runtime_types} in the module"
    stub_markers = [p.positional_only for p in stub.parameters]
    runtime_markers = [p.positional_only for p in runtime.parameters]
    if names_matter and stub_markers != runtime_markers:
        yield f"{where}: positional-only {stub_markers} in the stubs, {runtime_markers} in the module"
    if not same_type(stub.returns, runtime.returns):
        yield f"{where}: returns {stub.returns} in the stubs, {runtime.returns} in the module"


def compare(where: str, stub: Signature, runtime: list[Signature], names_matter: bool) -> list[str]:
    """Nothing when one of the module's overloads has the stub's signature."""
    if not runtime:
        return [f"{where}: the module's stubs have no signature for it"]
    problems: list[str] = []
    for candidate in runtime:
        problems = list(differences(where, stub, candidate, names_matter))
        if not problems:
            return []
    return problems


def compare_members(name: str, ours: Members, theirs: Members) -> list[str]:
    problems: list[str] = []
    for function, overloads in ours.functions.items():
        for signature in overloads:
            problems += compare(f"{name}{function}", signature, theirs.functions.get(function, []), True)
    for prop, getter in ours.getters.items():
        runtime = theirs.getters.get(prop)
        problems += compare(f"{name}{prop}", getter, [runtime] if runtime else [], False)
    for prop, setter in ours.setters.items():
        runtime = theirs.setters.get(prop)
        problems += compare(f"{name}{prop} (setter)", setter, [runtime] if runtime else [], False)
    return problems


def generated_stubs(directory: Path) -> Path:
    """Has pybind11-stubgen write the built module's stubs; their path."""
    # --exit-code: a signature stubgen cannot read is one this check cannot compare.
    made = subprocess.run(
        [sys.executable, "-m", "pybind11_stubgen", MODULE, "--exit-code", "-o", str(directory)],
        capture_output=True,
        text=True,
    )
    if made.returncode != 0:
        sys.exit(f"stub_signatures.py: pybind11-stubgen failed:\n{made.stderr}{made.stdout}")
    for candidate in (directory / f"{MODULE}.pyi", directory / MODULE / "__init__.pyi"):
        if candidate.is_file():
            return candidate
    sys.exit("stub_signatures.py: pybind11-stubgen wrote no stubs")


def docstring_signature_lines(function: object) -> list[str]:
    """The signature line of each overload, as pybind11 writes them in the docstring."""
    lines = (getattr(function, "__doc__", None) or "").splitlines()
    if lines and lines[0].endswith("(*args, **kwargs)"):  # overloaded
        return [re.sub(r"^\d+\. ", "", line) for line in lines if re.match(r"\d+\. ", line)]
    return lines[:1]


def restore_positional_only(classes: dict[str, Members]) -> None:
    """Marks every parameter positional-only where the module's signature line
    ends its parameters with "/", which stubgen's stubs do not show."""
    module = importlib.import_module(MODULE)
    for class_name, members in classes.items():
        runtime_class = getattr(module, class_name, None)
        for name, overloads in members.functions.items():
            lines = docstring_signature_lines(getattr(runtime_class, name, None))
            for index, (signature, line) in enumerate(zip(overloads, lines)):
                if not signature.slash_shown and re.search(r"\W/\)\s*->", line):
                    parameters = tuple(replace(p, positional_only=True) for p in signature.parameters)
                    overloads[index] = replace(signature, parameters=parameters, slash_shown=True)


def check(stub_file: Path, runtime_file: Path) -> list[str]:
    our_classes, our_functions = read_stubs(stub_file)
    their_classes, their_functions = read_stubs(runtime_file)
    restore_positional_only(their_classes)
    problems = compare_members("", our_functions, their_functions)
    for name, members in our_classes.items():
        if name in their_classes:  # the rest exist only in the stubs: stubtest's allowlist
            problems += compare_members(f"{name}.", members, their_classes[name])
    return problems


def installed_stubs() -> Path:
    """The stubs where a type checker finds them: beside the module, on sys.path."""
    for entry in sys.path:
        candidate = Path(entry or ".") / f"{MODULE}-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    sys.exit(f"stub_signatures.py: the {MODULE}-stubs package is not installed")


def main(argv: list[str]) -> int:
    stub_file = Path(argv[1]) if len(argv) > 1 else installed_stubs()
    with tempfile.TemporaryDirectory() as directory:
        problems = check(stub_file, generated_stubs(Path(directory)))
    for problem in problems:
        print(f"{stub_file}: {problem}")
    if problems:
        return 1
    print(f"stub_signatures.py: the signatures in {stub_file.name} match the module's")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
