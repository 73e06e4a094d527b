// LevelPlay: the sequencer that places a level file's "refill" agents again
// after each frame in which they acted, and its saves.
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "level_file/level_play.h"
#include "saving/level_save.h"
#include "spells/agent_kinds.h"
#include "spells/gates.h"

namespace qor {
namespace {

const std::uint8_t* bytes_of(const std::string& save) { return reinterpret_cast<const std::uint8_t*>(save.data()); }

std::shared_ptr<Environment> zone_with(std::string id, std::vector<double> magnitudes) {
    auto zone = std::make_shared<Environment>(std::move(id));
    for (std::size_t i = 0; i < magnitudes.size(); ++i) {
        zone->add_charge(Charge(magnitudes[i], ChargePolarity::POSITIVE, "c" + std::to_string(i)));
    }
    return zone;
}

void place(Environment& zone, AgentKind kind, std::string id, double target = 0.0,
           InequalityGate::ComparisonType comparison = InequalityGate::ComparisonType::LESS_THAN) {
    zone.add_magician(make_agent(kind, std::move(id), target, comparison));
}

std::vector<std::string> agent_ids(const Environment& zone) {
    std::vector<std::string> ids;
    for (const auto& agent : zone.agents) ids.push_back(agent->visual_id);
    return ids;
}

// examples/levels/endless_hourglass.json, built as a host builds it.
struct Hourglass {
    std::shared_ptr<Environment> chamber = zone_with("chamber", {});
    std::shared_ptr<Environment> hourglass = zone_with("hourglass", {});
    std::vector<RefillAgent> refills;

    Hourglass() {
        chamber->add_charge(Charge(1, ChargePolarity::POSITIVE, "left"));
        chamber->add_charge(Charge(1, ChargePolarity::POSITIVE, "right"));
        place(*chamber, AgentKind::PLUS, "waiting_adder");
        hourglass->add_charge(Charge(65536, ChargePolarity::POSITIVE, "sand"));
        place(*hourglass, AgentKind::CHRONOMANCER, "timekeeper");
        place(*hourglass, AgentKind::ROOT, "grinder");
        chamber->add_environment(hourglass);
        refills.push_back(RefillAgent{hourglass, AgentKind::ROOT, "grinder"});
    }
    LevelPlay play(std::int32_t max_frames = NarrativeSequencer::kDefaultMaxFrames) const {
        return LevelPlay(chamber, refills, max_frames);
    }
};

std::vector<std::string> play_to_end(NarrativeSequencer& level) {
    std::vector<std::string> frames;
    while (!level.is_finished) frames.push_back(level.next_frame_text());
    return frames;
}

TEST(LevelPlay, EndlessHourglassPlaysTheGoldenTranscript) {
    std::ifstream golden(QOR_SOURCE_DIR "/tests/golden/frames/sample_endless_hourglass.jsonl");
    ASSERT_TRUE(golden.good());
    std::vector<std::string> expected;
    for (std::string line; std::getline(golden, line);) expected.push_back(line);
    LevelPlay level = Hourglass().play();
    EXPECT_EQ(play_to_end(level), expected);
}

TEST(LevelPlay, ActingRefillAgentIsPlacedAgainAtTheEndOfItsZoneAfterTheFrame) {
    Hourglass built;
    std::swap(built.hourglass->agents[0], built.hourglass->agents[1]);  // grinder first
    LevelPlay level = built.play();
    const MagicianAgent* first = built.hourglass->agents[0].get();
    const std::string frame = level.next_frame_text();
    EXPECT_EQ(frame.find("\"visual_id\":\"grinder\",\"name\""), std::string::npos);  // not standing in its frame
    EXPECT_NE(frame.find("\"agents\":[{\"name\":\"Chronomancer\",\"priority\":100,\"state\":\"dormant\","
                         "\"visual_id\":\"timekeeper\"}]"),
              std::string::npos);
    EXPECT_EQ(agent_ids(*built.hourglass), (std::vector<std::string>{"timekeeper", "grinder"}));
    EXPECT_NE(built.hourglass->agents[1].get(), first);  // a new agent
    EXPECT_EQ(built.hourglass->agents[1]->state, AgentState::DORMANT);
    EXPECT_TRUE(level.is_refill(*built.hourglass, *built.hourglass->agents[1]));
    EXPECT_FALSE(level.is_refill(*built.chamber, *built.hourglass->agents[1]));  // another zone
    EXPECT_FALSE(level.is_refill(*built.hourglass, *built.hourglass->agents[0]));
    // The next frame's answer shows it, however it is asked for.
    EXPECT_NE(level.next_frame_patch().find("grinder"), std::string::npos);
}

// Patches written from what each frame changed show every refill as
// patches from whole texts do.
TEST(LevelPlay, RefillsAreInPatchesWrittenFromWhatTheFrameChanged) {
    // Each plays alone: a frame of another sequencer counts as an edit.
    const auto play = [](TreeEdits edits) {
        LevelPlay level = Hourglass().play(40);
        std::vector<std::string> patches;
        while (!level.is_finished) patches.push_back(level.next_frame_patch(edits));
        return patches;
    };
    EXPECT_EQ(play(TreeEdits::COUNTED), play(TreeEdits::ANY));
}

TEST(LevelPlay, EveryWayOfRunningAFrameRefills) {
    const std::vector<std::function<void(LevelPlay&)>> ways{
        [](LevelPlay& level) { level.next_frame_text(); },
        [](LevelPlay& level) { level.next_frame_patch(); },
        [](LevelPlay& level) { level.NextFrame(); },
        [](LevelPlay& level) {
            NarrativeSequencer::PendingFrame frame = level.begin_frame();
            frame.keep_text();
            frame.commit();
        },
    };
    for (const auto& run : ways) {
        Hourglass built;
        LevelPlay level = built.play();
        run(level);
        EXPECT_EQ(agent_ids(*built.hourglass), (std::vector<std::string>{"timekeeper", "grinder"}));
    }
    Hourglass built;
    LevelPlay level = built.play();
    const long holders = built.hourglass.use_count();
    { NarrativeSequencer::PendingFrame dropped = level.begin_frame(); }  // undone: nothing placed
    EXPECT_EQ(built.hourglass.use_count(), holders);  // nor held for later
    EXPECT_EQ(agent_ids(*built.hourglass), (std::vector<std::string>{"timekeeper", "grinder"}));
    EXPECT_EQ(built.hourglass->agents.size(), 2U);
    EXPECT_EQ(level.current_frame, 0);
}

TEST(LevelPlay, RefillGatesComeBackClosedWithTheirTargetAndRule) {
    auto root = zone_with("r", {2, 3});
    place(*root, AgentKind::EQUALS_GATE, "eq", 5.0);
    place(*root, AgentKind::INEQUALITY_GATE, "gt", 4.0, InequalityGate::ComparisonType::GREATER_THAN);
    LevelPlay level(root, {{root, AgentKind::EQUALS_GATE, "eq", 5.0},
                           {root, AgentKind::INEQUALITY_GATE, "gt", 4.0, InequalityGate::ComparisonType::GREATER_THAN}});
    level.next_frame_text();  // the Equals Gate opens first
    level.next_frame_text();  // then The Judge
    ASSERT_EQ(agent_ids(*root), (std::vector<std::string>{"eq", "gt"}));
    const auto& equals = dynamic_cast<const EqualsGate&>(*root->agents[0]);
    const auto& judge = dynamic_cast<const InequalityGate&>(*root->agents[1]);
    EXPECT_FALSE(equals.is_open);
    EXPECT_EQ(equals.target_value, 5.0);
    EXPECT_FALSE(judge.is_open);
    EXPECT_EQ(judge.target_value, 4.0);
    EXPECT_EQ(judge.comparison_type, InequalityGate::ComparisonType::GREATER_THAN);
}

// A refill agent the host takes away lets its zone merge: the refill still
// names the zone, now out of the tree, where nothing can act; the level plays
// on, and a save leaves that refill out.
TEST(LevelPlay, RefillOfAZoneThatMergedAwayNoLongerMatters) {
    Hourglass built;
    LevelPlay level = built.play();
    level.next_frame_text();
    built.hourglass->agents.clear();  // the host takes the hourglass's agents away
    const std::vector<std::string> rest = play_to_end(level);
    ASSERT_EQ(rest.size(), 3U);  // the adder, the merge, the end
    EXPECT_NE(rest[1].find("Zone hourglass has resolved and merged."), std::string::npos);
    EXPECT_NE(rest[2].find("Equation Resolved."), std::string::npos);
    EXPECT_EQ(level.refills().size(), 1U);
    EXPECT_TRUE(built.hourglass->agents.empty());
    const std::string saved = save_level(level);
    EXPECT_TRUE(load_level_play(bytes_of(saved), saved.size())->refills().empty());
}

TEST(LevelPlay, ResumedFromItsSavePlaysOnLikeTheUninterruptedPlay) {
    LevelPlay uninterrupted = Hourglass().play(40);
    const std::vector<std::string> expected = play_to_end(uninterrupted);
    for (const std::size_t k : {0, 1, 7, 39, 40}) {
        LevelPlay level = Hourglass().play(40);
        std::vector<std::string> frames;
        for (std::size_t i = 0; i < k; ++i) frames.push_back(level.next_frame_text());
        const std::string saved = save_level(level);
        EXPECT_EQ(save_level_play(level), saved);
        std::unique_ptr<NarrativeSequencer> resumed = load_level(bytes_of(saved), saved.size());
        ASSERT_NE(dynamic_cast<LevelPlay*>(resumed.get()), nullptr) << k;
        EXPECT_EQ(save_level(*resumed), saved) << k;
        for (const std::string& frame : play_to_end(*resumed)) frames.push_back(frame);
        EXPECT_EQ(frames, expected) << k;
    }
}

TEST(LevelPlay, SaveKeepsEveryRefillAndAZoneThatStandsInTwoPlacesOneZone) {
    auto root = zone_with("r", {});
    auto shared = zone_with("s", {9});
    place(*shared, AgentKind::ROOT, "g");
    root->add_environment(shared);
    auto other = zone_with("o", {});
    other->add_environment(shared);
    root->add_environment(other);
    LevelPlay level(root, {{shared, AgentKind::ROOT, "g"},
                           {other, AgentKind::INEQUALITY_GATE, "j", 2.5, InequalityGate::ComparisonType::GREATER_EQUAL}});
    const std::string saved = save_level(level);
    std::unique_ptr<LevelPlay> loaded = load_level_play(bytes_of(saved), saved.size());
    const Environment& root_loaded = *loaded->root_environment;
    ASSERT_EQ(loaded->refills().size(), 2U);
    EXPECT_EQ(loaded->refills()[0].zone, root_loaded.sub_environments[0]);
    EXPECT_EQ(loaded->refills()[0].zone, root_loaded.sub_environments[1]->sub_environments[0]);
    EXPECT_EQ(loaded->refills()[1].zone, root_loaded.sub_environments[1]);
    const RefillAgent& judge = loaded->refills()[1];
    EXPECT_EQ(judge.kind, AgentKind::INEQUALITY_GATE);
    EXPECT_EQ(judge.visual_id, "j");
    EXPECT_EQ(judge.target, 2.5);
    EXPECT_EQ(judge.comparison, InequalityGate::ComparisonType::GREATER_EQUAL);
    EXPECT_EQ(save_level(*loaded), saved);
}

TEST(LevelPlay, PlainLevelSavesKeepTheirKindAndAreNotLevelPlays) {
    Hourglass built;
    NarrativeSequencer plain(built.chamber);
    const std::string saved = save_level(plain);
    EXPECT_EQ(saved[10], 2);  // the save's kind: a level
    EXPECT_EQ(dynamic_cast<LevelPlay*>(load_level(bytes_of(saved), saved.size()).get()), nullptr);
    EXPECT_THROW(
        {
            try {
                load_level_play(bytes_of(saved), saved.size());
            } catch (const SaveFormatError& error) {
                EXPECT_NE(std::string(error.what()).find("wrong kind: this is a level save (NarrativeSequencer), "
                                                         "not a level-play save (LevelPlay)"),
                          std::string::npos);
                throw;
            }
        },
        SaveFormatError);
    const std::string play_save = save_level(built.play());
    EXPECT_THROW(load_zone(bytes_of(play_save), play_save.size()), SaveFormatError);
}

// The refills end the content: damage them, fix the checksum, and see the
// load refuse the save.
std::string with_refill_bytes(const std::string& save, std::size_t from_end, std::string bytes) {
    std::string changed = save;
    changed.replace(changed.size() - 4 - from_end, bytes.size(), bytes);
    const std::uint32_t crc = crc32(bytes_of(changed), changed.size() - 4);
    for (int i = 0; i < 4; ++i) changed[changed.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
    return changed;
}

TEST(LevelPlay, LoadRefusesRefillsItCannotPlace) {
    const std::string saved = save_level(Hourglass().play());
    // The last refill: zone u32, kind u8, visual id (u32 + 7 bytes), target f64, comparison i32.
    const std::size_t refill = 4 + 1 + 4 + 7 + 8 + 4;
    struct Case {
        const char* name;
        std::string save;
        const char* message;
    };
    const std::vector<Case> cases{
        {"zone beyond the tree", with_refill_bytes(saved, refill, std::string("\x02\0\0\0", 4)),
         "bad index: refill agent 1 names zone 2, beyond the 2 saved zones"},
        {"unknown kind", with_refill_bytes(saved, refill - 4, std::string("\x0e", 1)),
         "unknown agent kind 14 of refill agent 1"},
        {"kind 0", with_refill_bytes(saved, refill - 4, std::string("\0", 1)), "unknown agent kind 0"},
        {"too many", with_refill_bytes(saved, refill + 4, std::string("\xff\xff\xff\x0f", 4)),
         "claims 268435455 refill agents"},
        {"cut inside", with_refill_bytes(saved, refill + 4, std::string("\x02\0\0\0", 4)),
         "claims 2 refill agents"},
    };
    for (const Case& c : cases) {
        for (const bool as_level_play : {true, false}) {
            try {
                if (as_level_play) {
                    load_level_play(bytes_of(c.save), c.save.size());
                } else {
                    load_level(bytes_of(c.save), c.save.size());
                }
                ADD_FAILURE() << c.name << ": loaded";
            } catch (const SaveFormatError& error) {
                EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.name << ": " << error.what();
            }
        }
    }
}

TEST(LevelPlay, RefillsNeedAZone) {
    EXPECT_THROW(LevelPlay(zone_with("r", {}), {RefillAgent{}}), std::invalid_argument);
    LevelPlay level = Hourglass().play();
    EXPECT_THROW(level.set_refills({RefillAgent{}}), std::invalid_argument);
    EXPECT_EQ(level.refills().size(), 1U);
}

}  // namespace
}  // namespace qor
