"""Playing many small levels, with the host reading and writing charges items
(stale ones included) and running into every kind of refusal, keeps the
process's memory flat: nothing the engine or its bindings allocate per level
outlives the level."""

import gc
import os

import pytest

from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer
from run_length import scaled

P, N = ChargePolarity.POSITIVE, ChargePolarity.NEGATIVE

# Short runs catch a leak of about 150 bytes a level; the long runs one of 40.
LEVELS = scaled(100_000, 25_000)
WARM_UP = scaled(10_000, 5_000)
# Allocator noise stays well below this; a leak of even 40 bytes a level
# would grow the process by 4 MB over the main rounds.
ALLOWED_GROWTH = 3 * 1024 * 1024

# Under AddressSanitizer freed memory is held back on purpose (its quarantine)
# and every block carries guard zones, so the resident size says nothing about
# leaks there: the sanitizer run plays a few levels for the memory checks only.
SANITIZED = os.environ.get("QOR_SANITIZED_BUILD") is not None


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(error: type[Exception], action) -> None:
    try:
        action()
    except error:
        return
    raise AssertionError(f"{error.__name__} was not raised")


def play_one_level(number: int) -> None:
    root = Environment("root")
    root.add_charge(2.0, P, "a")
    root.add_charge(3.0, N, "b")
    inner = Environment(f"inner{number % 7}")
    inner.add_charge(1.5, P, "x")
    inner.add_charge(float(number % 5), N, "y")
    inner.add_multiply_magician("m")
    root.add_sub_environment(inner)
    root.add_plus_magician("p")
    root.add_inequality_gate("judge", -1e9, ">")
    root.add_equals_gate("gate", float("nan"))

    # Items read and written, then made stale by the frames.
    items = root.charges
    items[0].magnitude = 4.0
    items[1].visual_id = "renamed"
    items[1].polarity = ChargePolarity(number % 5)
    inner_items = inner.charges
    sequencer = NarrativeSequencer(root)
    while not sequencer.is_finished:
        sequencer.next_frame()
    sequencer.next_frame()  # finished: the "complete" answer
    expect(RuntimeError, lambda: items[0].magnitude)
    expect(RuntimeError, lambda: setattr(items[1], "visual_id", "late"))
    expect(RuntimeError, lambda: items[0].to_json())
    repr(items[0])
    expect(RuntimeError, lambda: inner_items[0].polarity)  # the multiply spell replaced them

    # Fresh items, a copy assigned back, and the refusals.
    fresh = root.charges
    fresh[0].to_json()
    repr(fresh[0])
    root.charges = fresh + [Charge(1.0, P, "extra")]
    expect(RuntimeError, lambda: setattr(root, "charges", [fresh[0]]))  # stale: the list was replaced
    expect(TypeError, lambda: setattr(root, "charges", [Charge(1.0, P, "c"), None]))
    expect(ValueError, lambda: inner.add_sub_environment(inner))
    expect(TypeError, lambda: root.add_sub_environment(None))
    expect(TypeError, lambda: root.add_charge("1", P, "c"))
    expect(RuntimeError, lambda: root.add_charge(1.0, None, "c"))
    expect(RuntimeError, lambda: Charge(1.0, P, b"bad\xff").to_json())
    expect(UnicodeDecodeError, lambda: Environment(b"\xfe").id)
    sequencer.current_frame = LIMIT = 1000
    sequencer.is_finished = False
    assert '"status":"ERROR"' in sequencer.next_frame()
    assert sequencer.current_frame == LIMIT


def play_levels(count: int) -> None:
    for number in range(count):
        play_one_level(number)


@pytest.mark.skipif(SANITIZED, reason="the resident size means nothing under AddressSanitizer")
def test_many_levels_keep_memory_flat():
    play_levels(WARM_UP)
    gc.collect()
    before = resident_bytes()
    play_levels(LEVELS)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < ALLOWED_GROWTH, f"the process grew by {growth} bytes over {LEVELS} levels"


@pytest.mark.skipif(not SANITIZED, reason="the memory-flat test plays these levels outside the sanitizer run")
def test_levels_of_the_leak_test_under_the_sanitizers():
    play_levels(2_000)
