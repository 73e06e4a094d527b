"""Very deep zone trees: walked without recursion up to the supported depth,
refused beyond it before anything changes, and released without recursion."""

import gc
import json

import pytest

from qor_engine import ChargePolarity, Environment, NarrativeSequencer

from levels import step, summary

SUPPORTED_DEPTH = 100_000  # zones in one chain, the root included
# json.loads reads frames up to about this depth (README, docs/frames.md): 4,999
# from a script's top level, a few fewer from deeper in the call stack.
PYTHON_JSON_DEPTH = 4_999


def chain(depth: int) -> tuple[Environment, Environment]:
    """A chain of `depth` zones; the deepest holds one charge. Returns (root, deepest)."""
    root = last = Environment("z0")
    for i in range(1, depth):
        deeper = Environment(f"z{i}")
        last.add_sub_environment(deeper)
        last = deeper
    last.add_charge(1.0, ChargePolarity.POSITIVE, "deep")
    return root, last


def test_ten_thousand_deep_level_plays():
    root, deepest = chain(10_000)
    assert root.to_json().count('"id":"z') == 10_000
    sequencer = NarrativeSequencer(root)
    for frame in range(1, 4):
        text = sequencer.next_frame()
        assert f'"message":"Zone z{10_000 - frame} has resolved and merged."' in text
        assert text.count('"id":"z') == 10_000 - frame
    assert deepest.charges[0].visual_id == "deep"


def test_deepest_supported_tree_still_works():
    root, _ = chain(SUPPORTED_DEPTH)
    assert root.to_json().endswith("]}" * (SUPPORTED_DEPTH - 1) + "]}")
    assert '"frame_index":1' in NarrativeSequencer(root).next_frame()


@pytest.fixture(scope="module")
def too_deep():
    root, deepest = chain(SUPPORTED_DEPTH + 1)
    return root, deepest


def test_too_deep_zone_json_is_refused(too_deep):
    root, _ = too_deep
    with pytest.raises(RecursionError, match="deeper than the engine supports"):
        root.to_json()


@pytest.mark.parametrize(("frame", "finished"), [(0, False), (7, False), (7, True), (1000, False), (1000, True)],
                         ids=["new", "running", "finished", "limit", "limit_finished"])
def test_too_deep_frame_is_refused_before_anything_changes(too_deep, frame, finished):
    root, deepest = too_deep
    root.is_time_frozen = True
    sequencer = NarrativeSequencer(root)
    sequencer.current_frame = frame
    sequencer.is_finished = finished
    for _ in range(2):
        with pytest.raises(RecursionError, match="nothing was changed"):
            sequencer.next_frame()
    assert (sequencer.current_frame, sequencer.is_finished) == (frame, finished)
    assert root.is_time_frozen is True
    assert [c.visual_id for c in deepest.charges] == ["deep"]


def test_million_deep_chain_is_refused_and_released_without_crashing():
    root, _ = chain(1_000_000)
    sequencer = NarrativeSequencer(root)
    with pytest.raises(RecursionError):
        sequencer.next_frame()
    with pytest.raises(RecursionError):
        root.to_json()
    del root, sequencer  # the last owners: the whole chain goes now
    gc.collect()


def test_collapse_releases_a_deep_subtree_without_recursion():
    # The collapsing zone carries the deepest chain the engine plays below it,
    # held by nothing else, so the collapse itself destroys all of it.
    root = Environment("root")
    holder, deepest = chain(SUPPORTED_DEPTH - 1)
    deepest.charges = []
    holder.add_charge(1.0, ChargePolarity.POSITIVE, "h")
    root.add_sub_environment(holder)
    del holder, deepest
    gc.collect()
    frame = step(NarrativeSequencer(root))
    assert summary(frame) == (1, "RUNNING", "Zone z0 has resolved and merged.")
    assert frame["sub_environments"] == []


def test_python_json_reads_frames_up_to_the_documented_depth():
    for depth, readable in [(PYTHON_JSON_DEPTH - 99, True), (PYTHON_JSON_DEPTH + 1, False)]:
        text = NarrativeSequencer(chain(depth)[0]).next_frame()
        if readable:
            assert json.loads(text)["meta"]["frame_index"] == 1
        else:
            with pytest.raises(RecursionError):
                json.loads(text)
