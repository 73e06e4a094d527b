"""Stale charges items, checked by valgrind's memcheck: using an item after its
zone's charge list moved must raise, never read or write freed memory."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import gc
    from qor_engine import ChargePolarity as P, Environment, NarrativeSequencer

    def expect_stale(item):
        for use in (lambda: item.magnitude, lambda: setattr(item, "visual_id", "x" * 64),
                    lambda: item.to_json(), lambda: setattr(item, "polarity", P.NEGATIVE)):
            try:
                use()
            except RuntimeError:
                continue
            raise SystemExit("a stale item was usable")

    zone = Environment("z")
    zone.add_charge(1.0, P.POSITIVE, "first")
    items = zone.charges
    for i in range(200):          # grows the list: its storage moves
        zone.add_charge(i, P.POSITIVE, "c%d" % i)
    expect_stale(items[0])

    items = zone.charges
    zone.charges = []             # frees every charge the items pointed at
    gc.collect()
    for item in items:
        expect_stale(item)

    root = Environment("root")
    inner = Environment("inner")
    inner.add_charge(2.0, P.POSITIVE, "i")
    root.add_sub_environment(inner)
    root.add_charge(1.0, P.POSITIVE, "a")
    root.add_charge(3.0, P.NEGATIVE, "b")
    root.add_plus_magician("p")
    sequencer = NarrativeSequencer(root)
    before_spell = root.charges
    sequencer.next_frame()        # the spell replaces the list
    expect_stale(before_spell[1])
    before_collapse = root.charges
    del inner
    sequencer.next_frame()        # the collapse appends to it and frees the zone
    expect_stale(before_collapse[0])
    held = root.charges[0]
    del root, sequencer, zone
    gc.collect()
    assert held.magnitude == 2.0  # an item keeps its zone alive
    print("ok")
    """
)


# scripts/test_sanitizers.sh names its build here when it runs the suite
# against the module built with AddressSanitizer.
SANITIZED_BUILD = os.environ.get("QOR_SANITIZED_BUILD")


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is installed by scripts/setup.sh")
@pytest.mark.skipif(SANITIZED_BUILD is not None,
                    reason="valgrind cannot run a process that carries AddressSanitizer, which checks these uses itself")
def test_stale_items_never_touch_freed_memory_under_valgrind(tmp_path):
    script = tmp_path / "stale_items.py"
    script.write_text(SCRIPT)
    result = subprocess.run(
        ["valgrind", "--tool=memcheck", "--error-exitcode=97", "--track-origins=no", "--quiet",
         sys.executable, str(script)],
        capture_output=True, text=True, timeout=600,
        env={**os.environ, "PYTHONMALLOC": "malloc"},
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.strip() == "ok"


@pytest.mark.skipif(SANITIZED_BUILD is None, reason="only when the suite runs against the sanitized module")
def test_the_sanitizer_run_imports_the_sanitized_module():
    import qor_engine

    assert os.path.dirname(os.path.realpath(qor_engine.__file__)) == os.path.realpath(SANITIZED_BUILD)
    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read()
