"""The WebAssembly engine (build/web/qor_engine.js, by scripts/build_web.sh)
under Node against the native module: the golden levels and 1,000 random
levels (weighted towards the spells that call log and pow) with host
changes, every call's answer and the final saves, and saves of either loaded
by the other. Everything must be identical: every frame text, every answer,
every save byte for byte. The engine computes log, log10 and pow itself,
correctly rounded, so no platform's math library can make them differ; run
by the 32-bit x86 wheel's tests too, this also holds that build to the same
bytes.
"""

from __future__ import annotations

import json
import os
import resource
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

WEB_TESTS = Path(__file__).resolve().parents[1] / "web"
sys.path.insert(0, str(WEB_TESTS))
sys.path.insert(0, str(WEB_TESTS.parent / "golden"))

import golden_replay as gr  # noqa: E402
import call_scripts as scripts  # noqa: E402

from qor_engine import NarrativeSequencer  # noqa: E402
from run_length import scaled  # noqa: E402

ENGINE = scripts.engine_path()
RANDOM_LEVELS = scaled(1000, 200)

pytestmark = [
    pytest.mark.skipif(not ENGINE.exists(), reason=f"{ENGINE} is not built (bash scripts/build_web.sh)"),
    pytest.mark.skipif(shutil.which("node") is None, reason="Node is not installed"),
]


def node_environment() -> dict[str, str]:
    """This process's environment without a preloaded sanitizer runtime (the
    sanitizer leg's), which is for the module, not for Node."""
    return {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def run_in_node(request: dict[str, Any], tmp_path: Path) -> dict[str, Any]:
    given, answered = tmp_path / "request.json", tmp_path / "answer.json"
    given.write_text(json.dumps(request, allow_nan=False), encoding="utf-8")
    subprocess.run(["node", str(WEB_TESTS / "run_script.js"), str(ENGINE), str(given), str(answered)],
                   check=True, timeout=600, env=node_environment())
    return json.loads(answered.read_text(encoding="utf-8"))


# --------------------------------------------------------------------------
# Comparing answers
# --------------------------------------------------------------------------


def _parse(text: str) -> Any:
    return json.loads(text, parse_float=lambda s: ("float", s), parse_int=lambda s: ("int", s))


def first_difference(a: Any, b: Any, path: str = "") -> str:
    """Where two parsed JSON values first differ, for the report."""
    if type(a) is not type(b):
        return f"{path}: {a!r} != {b!r}"
    if isinstance(a, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)} != {list(b)}"
        for key in a:
            if a[key] != b[key]:
                return first_difference(a[key], b[key], f"{path}/{key}")
    elif isinstance(a, list):
        if len(a) != len(b):
            return f"{path}: {len(a)} items != {len(b)}"
        for k, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return first_difference(x, y, f"{path}/{k}")
    return f"{path}: {a!r} != {b!r}"


def describe(native: str, web: str) -> str:
    try:
        return first_difference(_parse(native), _parse(web))
    except (TypeError, ValueError):
        return f"{native[:200]!r} != {web[:200]!r}"


class LevelComparison:
    """One level's answers, which must be identical."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.frames = 0
        self.frames_differing = 0
        self.problems: list[str] = []

    def texts(self, native: str, web: str, where: str) -> bool:
        """Compares two JSON texts; True if they differ."""
        if native == web:
            return False
        self.problems.append(f"{self.name}, {where}: {describe(native, web)}")
        return True

    def answers(self, script: list[Any], native: list[Any], web: list[Any]) -> None:
        for number, (op, x, y) in enumerate(zip(script, native, web)):
            where = f"call {number} {op[0]}"
            if op[0] in ("play", "patches"):
                self.frames += len(x)
                if len(x) != len(y):
                    self.problems.append(f"{self.name}, {where}: {len(x)} frames != {len(y)}")
                    continue
                for k, (fx, fy) in enumerate(zip(x, y)):
                    pairs = [(fx, fy)] if op[0] == "play" else list(zip(fx, fy))
                    if any(self.texts(a, b, f"{where}, frame {k + 1}") for a, b in pairs):
                        self.frames_differing += 1
            elif op[0] in ("frame", "json"):
                self.frames += op[0] == "frame"
                if self.texts(x, y, where):
                    self.frames_differing += op[0] == "frame"
            elif x != y:
                self.problems.append(f"{self.name}, {where}: {x!r} != {y!r}"[:2000])


class Comparison:
    """All levels' answers: the frames, those that differ, the problems."""

    def __init__(self) -> None:
        self.frames = 0
        self.frames_differing = 0
        self.problems: list[str] = []

    def level(self, script: list[Any], native: list[Any], web: list[Any], name: str) -> None:
        level = LevelComparison(name)
        level.answers(script, native, web)
        self.frames += level.frames
        self.frames_differing += level.frames_differing
        self.problems += level.problems

    def texts(self, native: str, web: str, where: str) -> None:
        level = LevelComparison(where)
        level.texts(native, web, "text")
        self.problems += level.problems


def compare_platforms(named_scripts: dict[str, list[Any]], tmp_path: Path) -> Comparison:
    native = {name: scripts.play_script(script) for name, script in named_scripts.items()}
    final_saves = {name: answers[-1] for name, answers in native.items()}
    answer = run_in_node({"scripts": list(named_scripts.values()), "saves": list(final_saves.values())},
                         tmp_path)
    comparison = Comparison()
    for (name, script), web in zip(named_scripts.items(), answer["scripts"]):
        comparison.level(script, native[name], web, name)
    # Saves of either engine load in the other: saved again they give the
    # same bytes, and the next frame is the one the saving engine plays.
    for (name, native_save), (again, frame) in zip(final_saves.items(), answer["saves"]):
        assert again == native_save, f"{name}: the native save saved again in WebAssembly differs"
        own = NarrativeSequencer.load(bytes.fromhex(native_save)).next_frame()
        comparison.texts(own, frame, f"{name}, frame after loading the native save")
    for (name, answers), web in zip(native.items(), answer["scripts"]):
        again, frame = scripts.cross_load(web[-1])
        assert again == web[-1], f"{name}: the WebAssembly save saved again natively differs"
    return comparison


def report(comparison: Comparison, what: str) -> None:
    share = comparison.frames_differing / max(comparison.frames, 1)
    print(f"\n{what}: {comparison.frames} frames, {comparison.frames_differing} differ ({share:.2%})")
    assert not comparison.problems, "\n".join(comparison.problems[:20])


def test_golden_levels_play_alike(tmp_path: Path) -> None:
    named = {level["name"]: scripts.golden_script(level) for level in gr.load_levels()}
    play = gr.play_module()
    named.update((gr.sample_name(path), scripts.sample_script(path, play)) for path in gr.sample_paths())
    comparison = compare_platforms(named, tmp_path)
    report(comparison, f"{len(named)} golden levels")
    assert comparison.frames > 2000


def test_random_levels_with_host_changes_play_alike(tmp_path: Path) -> None:
    named = {f"random level {seed}": scripts.random_script(seed) for seed in range(RANDOM_LEVELS)}
    comparison = compare_platforms(named, tmp_path)
    report(comparison, f"{RANDOM_LEVELS} random levels")
    assert comparison.frames > 5 * RANDOM_LEVELS


def test_javascript_api() -> None:
    """Errors, argument checks, failed calls and saves as JavaScript sees them."""
    done = subprocess.run(["node", "--expose-gc", str(WEB_TESTS / "api_test.js"), str(ENGINE)], capture_output=True,
                          text=True, timeout=600, check=False, env=node_environment())
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr[-3000:]


def node_flags() -> list[str]:
    """Under a limit of the address space (scripts/mutate.sh sets one), Node
    cannot reserve WebAssembly's guard regions: it checks bounds instead."""
    limit, _ = resource.getrlimit(resource.RLIMIT_AS)
    return [] if limit == resource.RLIM_INFINITY else ["--disable-wasm-trap-handler"]


def run_node_test(script: str, engine: Path = ENGINE) -> None:
    """A Node test that prints "ok" and nothing else, on stdout or stderr."""
    done = subprocess.run(["node", *node_flags(), str(WEB_TESTS / script), str(engine)], capture_output=True,
                          text=True, timeout=600, check=False, env=node_environment())
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", ""), \
        (done.stdout[-2000:], done.stderr[-3000:])


def test_hostile_arguments_in_every_position_are_type_errors() -> None:
    run_node_test("arguments_test.js")


def test_every_allocation_failing_in_turn_is_a_memory_error_that_changes_nothing() -> None:
    faults = ENGINE.with_name("qor_engine_faults.js")
    if not faults.exists():
        pytest.skip(f"{faults} is not built (bash scripts/build_web.sh)")
    run_node_test("memory_test.js", faults)


def test_a_level_stored_above_2_gib_plays_as_one_below() -> None:
    run_node_test("high_memory_test.js")


# A host's mistakes in its own callbacks, with and without the module loaded:
# {engine} is the module's path or empty.
HOST_MISTAKES = {
    "exception": "setTimeout(() => { notDefinedAnywhere(); }, 0);",
    "rejection": "Promise.reject(new RangeError('the host'));",
    "module error": "q.Environment.prototype.add_charge.call(new q.Environment('z'), 'x', 0, 'c');",
}


@pytest.mark.parametrize("mistake", HOST_MISTAKES)
def test_a_hosts_uncaught_error_behaves_as_without_the_module(mistake: str, tmp_path: Path) -> None:
    def run(engine: str) -> subprocess.CompletedProcess[str]:
        script = tmp_path / "host.js"
        script.write_text(
            "const load = " + (f"require({json.dumps(engine)})" if engine else "() => Promise.resolve({})") + ";\n"
            "load().then((q) => {\n"
            "  const handlers = process.listenerCount('uncaughtException') + process.listenerCount('unhandledRejection');\n"
            "  if (handlers !== 0) { console.log('handlers: ' + handlers); process.exit(3); }\n"
            f"  {HOST_MISTAKES[mistake]}\n"
            "});\n", encoding="utf-8")
        return subprocess.run(["node", str(script)], capture_output=True, text=True, timeout=60,
                              check=False, env=node_environment())

    with_module = run(str(ENGINE))
    assert with_module.stdout == ""
    assert with_module.returncode == 1, with_module.stderr[-2000:]
    assert len(with_module.stderr) < 4000, "the module's source was printed"
    if mistake != "module error":
        without = run("")
        assert with_module.stderr.splitlines()[-3:] == without.stderr.splitlines()[-3:]
    else:
        assert "TypeError: add_charge(): magnitude must be a number, not string" in with_module.stderr


def test_errors_read_as_in_python() -> None:
    """The messages the JavaScript test expects are the native module's."""
    from qor_engine import Environment
    zone = Environment("hall")
    with pytest.raises(ValueError, match='^cannot add zone "hall" under zone "hall": the zone would become its own ancestor$'):
        zone.add_sub_environment(zone)
    with pytest.raises(TypeError):
        Environment("a\ud800")


def test_the_version_is_the_python_modules() -> None:
    import qor_engine
    done = subprocess.run(["node", "-e", f"require({json.dumps(str(ENGINE))})().then((q) => console.log(q.__version__))"],
                          capture_output=True, text=True, timeout=60, check=True, env=node_environment())
    assert done.stdout == qor_engine.__version__ + "\n"
