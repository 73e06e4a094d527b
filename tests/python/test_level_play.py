"""LevelPlay: a level file played with its "refill" agents, resumed from its
save without the file, copied and pickled."""

import copy
import json
import pickle
from pathlib import Path

import pytest

import qor_engine

if not hasattr(qor_engine, "read_level"):
    pytest.skip("this build of the module has no level-file reader (read_level)", allow_module_level=True)

from qor_engine import Environment, LevelPlay, NarrativeSequencer  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
HOURGLASS = (ROOT / "examples" / "levels" / "endless_hourglass.json").read_text(encoding="utf-8")
GOLDEN = (ROOT / "tests" / "golden" / "frames" / "sample_endless_hourglass.jsonl").read_text(encoding="utf-8").splitlines()
# Written by the 64-bit build from the same level file: read_level(HOURGLASS).play(max_frames=12), 3 frames in.
CHECKED_IN_SAVE = ROOT / "tests" / "saves" / "endless_hourglass_play.qorsave"

# Refill gates that open in every frame, in a zone that stands in two places.
GATES = json.dumps({
    "zone": "hall",
    "charges": [[1, "positive", "h"]],
    "zones": [{
        "zone": "vault",
        "charges": [[2, "positive", "a"], [3, "positive", "b"]],
        "agents": [
            {"kind": "equals_gate", "id": "door", "target": 5, "refill": True},
            {"kind": "inequality_gate", "id": "judge", "target": 4, "rule": ">", "refill": True},
        ],
    }],
})

COPIES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "save_load": lambda level: LevelPlay.load(level.save()),
    "sequencer_load": lambda level: NarrativeSequencer.load(bytearray(level.save())),
    **{f"pickle_{protocol}": (lambda level, p=protocol: pickle.loads(pickle.dumps(level, p)))
       for protocol in range(pickle.HIGHEST_PROTOCOL + 1)},
}


def agent_ids(zone: Environment) -> list[str]:
    return [agent["visual_id"] for agent in json.loads(zone.to_json())["agents"]]


def play(text: str, max_frames: int = 1000) -> LevelPlay:
    level = qor_engine.read_level(text).play(max_frames=max_frames)
    assert type(level) is LevelPlay
    return level


def frames(level: NarrativeSequencer, count: int | None = None) -> list[str]:
    played = []
    while not level.is_finished and (count is None or len(played) < count):
        played.append(level.next_frame())
    return played


def test_a_level_play_plays_the_refills_as_the_golden_transcript():
    assert frames(play(HOURGLASS)) == GOLDEN


def test_refill_gates_come_back_in_their_zone_after_each_frame():
    level = play(GATES, max_frames=6)
    vault = level.root_environment.sub_environments[0]
    seen = [json.loads(frame)["meta"]["last_event"]["visual_id"] for frame in frames(level)[:-1]]
    assert seen == ["door", "judge"] * 3
    assert agent_ids(vault) == ["door", "judge"]


def test_an_agent_of_another_kind_under_a_refill_agents_id_is_not_placed_again():
    level = play(json.dumps({"zone": "r", "charges": [[1, "negative", "a"]],
                             "agents": [{"kind": "equals_gate", "id": "x", "target": 99, "refill": True}]}))
    level.root_environment.add_abs_magician("x")
    assert json.loads(level.next_frame())["meta"]["last_event"]["type"] == "CAST_SPELL"
    assert agent_ids(level.root_environment) == ["x"]  # the gate alone


@pytest.mark.parametrize("frames_before", [0, 1, 2, 7, 12])
@pytest.mark.parametrize("make_copy", COPIES.values(), ids=COPIES.keys())
def test_resumed_or_copied_level_plays_on_like_the_uninterrupted_play(frames_before, make_copy):
    uninterrupted = frames(play(HOURGLASS, max_frames=12))
    level = play(HOURGLASS, max_frames=12)
    played = frames(level, frames_before)
    resumed = make_copy(level)
    assert type(resumed) is LevelPlay
    assert resumed.save() == level.save()
    assert played + frames(resumed) == uninterrupted
    assert played + frames(level) == uninterrupted  # the original is untouched by its copy


def test_the_host_may_change_the_tree_between_frames_and_the_save_keeps_it():
    level = play(HOURGLASS, max_frames=20)
    frames(level, 2)
    level.root_environment.add_charge(5, qor_engine.POSITIVE, "players_charge")
    level.root_environment.sub_environments[0].add_abs_magician("players_agent")
    resumed = LevelPlay.load(level.save())
    assert resumed.root_environment.to_json() == level.root_environment.to_json()
    assert "players_agent" in agent_ids(resumed.root_environment.sub_environments[0])
    assert frames(resumed) == frames(level)


def test_deepcopy_with_a_zone_keeps_the_zone_in_the_copy_and_its_refills_there():
    level = play(HOURGLASS, max_frames=12)
    hourglass = level.root_environment.sub_environments[0]
    for copied_zone, copied in [copy.deepcopy((hourglass, level)), copy.deepcopy((level, hourglass))[::-1]]:
        assert copied.root_environment.sub_environments[0] is copied_zone
        assert copied_zone.to_json() == hourglass.to_json()
        assert frames(copied) == frames(play(HOURGLASS, max_frames=12))


def test_a_save_from_before_still_loads_and_plays_on_with_its_refills():
    level = play(HOURGLASS, max_frames=12)
    frames(level, 3)
    saved = CHECKED_IN_SAVE.read_bytes()
    assert level.save() == saved
    assert frames(LevelPlay.load(saved)) == frames(level)


def test_a_plain_levels_save_is_not_a_level_play():
    with pytest.raises(ValueError, match=r"wrong kind: this is a level save \(NarrativeSequencer\)"):
        LevelPlay.load(NarrativeSequencer(Environment("z")).save())
    assert type(NarrativeSequencer.load(play(HOURGLASS).save())) is LevelPlay
