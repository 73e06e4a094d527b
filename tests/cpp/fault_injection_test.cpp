// Every call is all or nothing. This program replaces the global allocation
// functions (src/fault_injection) so that a test can make the k-th
// allocation from now fail, or every allocation. For every k, each kind of call either answers exactly
// what a run that never failed answers, or throws std::bad_alloc and leaves
// the level exactly as it was, after which the same call, unfailed, answers
// what the run that never failed answered. Dropping trees and keeping frames
// must work with no memory at all.
//
// The calls are those of the module, which writes text straight from the
// tree. The C++ calls that return JSON values (NextFrame(), to_json()) are
// left out: the JSON library's value destructor allocates.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_injection/failing_allocation.h"
#include "level_file/level_play.h"
#include "level_file/level_file.h"
#include "model/environment.h"
#include "model/json_text.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "saving/level_save.h"
#include "replay/compact_explanations.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/agent_kinds.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

using qor::failing_allocation::fail_allocation;
using qor::failing_allocation::fail_every_allocation;
using qor::failing_allocation::failure_happened;
using qor::failing_allocation::stop_failing;

namespace qor {
namespace {

using Json = nlohmann::json;

struct Level {
    std::shared_ptr<Environment> root;
    std::unique_ptr<NarrativeSequencer> sequencer;
};

// Everything a host can observe of a level, with every zone and agent named
// by its first place in a walk, so that two builds of one level compare
// equal; `identity` adds the objects' addresses, so that a level compared
// with itself must also hold the very same objects.
std::string snapshot(const Level& level, bool identity) {
    std::ostringstream out;
    const NarrativeSequencer& sequencer = *level.sequencer;
    out << sequencer.current_frame << ' ' << sequencer.is_finished << ' ';
    if (sequencer.last_event) {
        out << to_json_text(sequencer.last_event->to_json());
    }
    out << '\n';
    walk_zones(
        *level.root,
        [&](const Environment& zone) {
            out << "zone " << zone.id << " frozen=" << zone.is_time_frozen
                << " revision=" << zone.charges_revision;
            if (identity) out << " at " << &zone;
            out << '\n';
            for (const Charge& charge : zone.charges) {
                std::uint64_t bits;
                std::memcpy(&bits, &charge.magnitude, sizeof bits);
                out << "  charge " << bits << ' ' << static_cast<int>(charge.polarity) << ' '
                    << charge.visual_id << '\n';
            }
            for (const auto& agent : zone.agents) {
                out << "  agent " << to_json_text(agent->to_json());
                if (identity) out << " at " << agent.get();
                out << '\n';
            }
        },
        [&](const Environment&, const Environment*, std::size_t) {
            out << "end\n";
            return false;
        });
    if (const auto* play = dynamic_cast<const LevelPlay*>(&sequencer)) {
        for (const RefillAgent& refill : play->refills()) {
            out << "refill " << refill.zone->id << ' ' << static_cast<int>(refill.kind) << ' '
                << refill.visual_id << ' ' << refill.target << ' ' << static_cast<int>(refill.comparison);
            if (identity) out << " at " << refill.zone.get();
            out << '\n';
        }
    }
    return out.str();
}

std::shared_ptr<Environment> zone(const std::string& id, std::vector<double> charges = {}) {
    auto made = std::make_shared<Environment>(id);
    for (double magnitude : charges) {
        made->add_charge(Charge(magnitude, magnitude < 0 ? ChargePolarity::NEGATIVE : ChargePolarity::POSITIVE,
                                id + "_charge_with_a_long_visual_id"));
    }
    return made;
}

Level level_of(std::shared_ptr<Environment> root) {
    Level level{root, std::make_unique<NarrativeSequencer>(root)};
    return level;
}

// Levels whose next frame is each kind of frame. Ids are longer than a
// string's inline room, so that copying them allocates.
Level cast_level() {
    auto root = zone("root_zone_of_the_cast", {2, -3});
    root->add_magician(std::make_shared<Chronomancer>("chronomancer_that_declines"));
    root->add_magician(std::make_shared<FactorialMagician>("replicator_declining_a_negative"));
    root->add_magician(std::make_shared<PlusMagician>("plus_magician_that_acts_in_the_root"));
    root->add_environment(zone("side_zone_with_one_charge", {1}));
    return level_of(root);
}

Level gate_level() {
    auto root = zone("root_zone_of_the_gate", {2, 3});
    root->add_magician(std::make_shared<EqualsGate>("equals_gate_that_opens_at_five", 5));
    root->add_magician(std::make_shared<InequalityGate>("judge_that_stays_closed", 0,
                                                        InequalityGate::ComparisonType::LESS_THAN));
    root->is_time_frozen = true;  // a flag the frame changes
    return level_of(root);
}

// root > shield (one charge) > keeps (a chronomancer, charges, a sub-zone):
// nobody acts, so the shield collapses and its subtree leaves the tree.
Level collapse_level() {
    auto root = zone("root_zone_of_the_collapse", {7});
    auto shield = zone("shield_zone_that_collapses", {4});
    auto keeps = zone("zone_dropped_with_the_shield", {1, 2});
    keeps->add_magician(std::make_shared<Chronomancer>("chronomancer_dropped_with_it"));
    keeps->add_environment(zone("deeper_zone_dropped_too", {5}));
    shield->add_environment(keeps);
    root->add_environment(shield);
    return level_of(root);
}

Level end_level() {
    auto root = zone("root_zone_that_ends", {1});
    root->add_magician(std::make_shared<DivideMagician>("divider_that_declines_one_charge"));
    root->add_environment(zone("empty_zone_that_never_collapses"));
    return level_of(root);
}

Level limit_level() {
    Level level = cast_level();
    level.sequencer->current_frame = level.sequencer->max_frames;
    level.sequencer->last_event = FrameEvent{"agent", "visual", "type", "an event the limit empties"};
    return level;
}

Level finished_level() {
    Level level = cast_level();
    level.sequencer->is_finished = true;
    level.sequencer->last_event = FrameEvent{"agent", "visual", "type", "an event the end empties"};
    return level;
}

Level deep_level() {
    auto root = zone("root_of_a_deep_chain", {1});
    Environment* last = root.get();
    for (int depth = 1; depth < 3000; ++depth) {
        auto next = zone("link_" + std::to_string(depth));
        last->add_environment(next);
        last = next.get();
    }
    last->add_charge(Charge(6, ChargePolarity::POSITIVE, "deepest_charge_a_long_id"));
    last->add_charge(Charge(7, ChargePolarity::NEGATIVE, "deepest_charge_b_long_id"));
    last->add_magician(std::make_shared<MultiplyMagician>("multiplier_at_the_bottom"));
    return level_of(root);
}

// root > hub (one charge) > 500 leaves, each holding a chronomancer: the hub
// collapses and takes the leaves with it.
Level wide_level() {
    auto root = zone("root_of_a_wide_tree");
    auto hub = zone("hub_zone_with_many_leaves", {3});
    for (int leaf = 0; leaf < 500; ++leaf) {
        auto made = zone("leaf_" + std::to_string(leaf), {1, 2});
        made->add_magician(std::make_shared<Chronomancer>("chronomancer_of_leaf_" + std::to_string(leaf)));
        hub->add_environment(made);
    }
    root->add_environment(hub);
    return level_of(root);
}

// A level file's level with "refill" agents: the sub-zone's refill Judge
// opens in every frame and is placed again (the root, frozen, never acts).
Level refill_level() {
    auto root = zone("root_zone_with_a_refill_agent", {16});
    root->add_magician(std::make_shared<Chronomancer>("chronomancer_before_the_refill"));
    root->add_magician(make_agent(AgentKind::ROOT, "extractor_placed_again_each_time"));
    auto side = zone("side_zone_with_a_refill_gate", {1, 1});
    side->add_magician(make_agent(AgentKind::INEQUALITY_GATE, "judge_placed_again_each_time", 3,
                                  InequalityGate::ComparisonType::LESS_THAN));
    root->add_environment(side);
    std::vector<RefillAgent> refills{
        {root, AgentKind::ROOT, "extractor_placed_again_each_time"},
        {side, AgentKind::INEQUALITY_GATE, "judge_placed_again_each_time", 3, InequalityGate::ComparisonType::LESS_THAN}};
    return Level{root, std::make_unique<LevelPlay>(root, std::move(refills))};
}

// The same after its first frame (the Judge opened and came back).
Level refill_level_after_a_frame() {
    Level level = refill_level();
    level.sequencer->next_frame_text();
    return level;
}

// What the module does: the frame's text becomes the host's own string
// (another allocation) before the frame is kept.
std::string frame_as_text(Level& level) {
    NarrativeSequencer::PendingFrame frame = level.sequencer->begin_frame();
    const std::string text = frame.text();
    std::string answer(text.data(), text.size());
    frame.commit();
    return answer;
}

// The module's next_frame_patch(), on a level whose first frame was kept as
// the base: a failure must leave the base too, or the retried patch differs.
std::string frame_as_patch(Level& level) {
    NarrativeSequencer::PendingFrame frame = level.sequencer->begin_frame();
    std::string patch = frame.patch_text();
    std::string answer(patch.data(), patch.size());
    frame.commit();
    return answer;
}

// The same by the path that writes only what the frame changed, on a level
// whose first frame was kept by such a patch.
std::string frame_as_counted_patch(Level& level) {
    NarrativeSequencer::PendingFrame frame = level.sequencer->begin_frame();
    std::string patch = frame.patch_text(TreeEdits::COUNTED);
    std::string answer(patch.data(), patch.size());
    frame.commit();
    return answer;
}

std::function<Level()> with_a_kept_patch(Level (*make)()) {
    return [make] {
        Level level = make();
        NarrativeSequencer::PendingFrame frame = level.sequencer->begin_frame();
        (void)frame.patch_text(TreeEdits::COUNTED);
        frame.commit();
        return level;
    };
}

std::function<Level()> with_a_kept_frame(Level (*make)()) {
    return [make] {
        Level level = make();
        NarrativeSequencer::PendingFrame frame = level.sequencer->begin_frame();
        (void)frame.keep_text();
        frame.commit();
        return level;
    };
}

std::string root_text(Level& level) {
    ensure_walkable(*level.root);
    return zone_json_text(*level.root);
}

std::string add_charge(Level& level) {
    level.root->add_charge(Charge(9, ChargePolarity::NEUTRAL, "charge_added_with_a_long_id"));
    return "";
}

std::string add_agent(Level& level) {
    level.root->add_magician(std::make_shared<InequalityGate>(
        "judge_added_with_a_long_id", 1, InequalityGate::ComparisonType::GREATER_EQUAL));
    return "";
}

std::string add_zone(Level& level) {
    level.root->add_environment(zone("zone_added_with_a_long_id", {1}));
    return "";
}

std::string cast_directly(Level& level) {
    AbsMagician purifier("purifier_cast_directly");
    const bool acted = purifier.CastSpell(level.root->charges);
    level.root->note_charges_changed();
    return acted ? "acted" : "declined";
}

std::string save_of_zone(Level& level) { return save_zone(*level.root); }

std::string save_of_level(Level& level) { return save_level(*level.sequencer); }

// Loading makes new objects only: the answer is the save of what was loaded.
std::string load_of_level(Level& level) {
    const std::string data = save_level(*level.sequencer);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return save_level(*load_level(bytes, data.size()));
}

std::string load_of_level_play(Level& level) {
    const std::string data = save_level(*level.sequencer);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return save_level(*load_level_play(bytes, data.size()));
}

std::string load_of_zone(Level& level) {
    const std::string data = save_zone(*level.root);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return save_zone(*load_zone(bytes, data.size()));
}

std::string explain(Level& level) { return level.sequencer->explain(); }

// An explanation changes nothing, the patch base included: the patch after
// it is the one without it.
std::string explain_then_patch(Level& level) {
    level.sequencer->explain();
    return frame_as_patch(level);
}

// The replay's compact form of two explanations: whichever allocation fails,
// nothing leaks or breaks, and the answer is the same when none does.
std::string compact_explanations(Level& level) {
    CompactExplanations compact;
    compact.add(level.sequencer->explain());
    compact.add(level.sequencer->explain());
    return compact.to_json();
}

struct Case {
    const char* name;
    std::function<Level()> make;
    std::function<std::string(Level&)> call;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class EveryAllocationFailure : public testing::TestWithParam<Case> {};

TEST_P(EveryAllocationFailure, LeavesTheLevelAsItWasAndTheCallCanBeRepeated) {
    const Case& c = GetParam();
    Level reference = c.make();
    const std::string expected = c.call(reference);
    const std::string expected_after = snapshot(reference, false);

    for (long k = 1;; ++k) {
        Level level = c.make();
        const std::string before = snapshot(level, true);
        fail_allocation(k);
        std::optional<std::string> answer;
        try {
            answer = c.call(level);
        } catch (const std::bad_alloc&) {
        }
        stop_failing();
        if (answer) {
            // The failure, if it came, was absorbed: the answer is the same.
            ASSERT_EQ(*answer, expected) << "allocation " << k;
            ASSERT_EQ(snapshot(level, false), expected_after) << "allocation " << k;
            if (!failure_happened()) {
                EXPECT_GT(k, 1) << "the call never allocated";
                std::printf("%s: %ld allocations\n", c.name, k - 1);
                break;
            }
            continue;
        }
        ASSERT_TRUE(failure_happened()) << "allocation " << k;
        ASSERT_EQ(snapshot(level, true), before) << "allocation " << k;
        ASSERT_EQ(c.call(level), expected) << "retried after allocation " << k;
        ASSERT_EQ(snapshot(level, false), expected_after) << "retried after allocation " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, EveryAllocationFailure,
    testing::Values(Case{"cast_as_text", cast_level, frame_as_text},
                    Case{"gate_opening", gate_level, frame_as_text},
                    Case{"collapse_dropping_a_subtree", collapse_level, frame_as_text},
                    Case{"end_of_level", end_level, frame_as_text},
                    Case{"frame_limit", limit_level, frame_as_text},
                    Case{"finished_level", finished_level, frame_as_text},
                    Case{"cast_on_a_deep_tree", deep_level, frame_as_text},
                    Case{"collapse_on_a_wide_tree", wide_level, frame_as_text},
                    Case{"zone_text", collapse_level, root_text},
                    Case{"patch_after_a_cast", with_a_kept_frame(cast_level), frame_as_patch},
                    Case{"patch_on_a_deep_tree", with_a_kept_frame(deep_level), frame_as_patch},
                    Case{"patch_after_a_collapse", with_a_kept_frame(wide_level), frame_as_patch},
                    Case{"add_charge", cast_level, add_charge},
                    Case{"add_agent", cast_level, add_agent},
                    Case{"add_zone", deep_level, add_zone},
                    Case{"spell_cast_directly", cast_level, cast_directly},
                    Case{"save_zone", collapse_level, save_of_zone},
                    Case{"save_level", gate_level, save_of_level},
                    Case{"load_level", finished_level, load_of_level},
                    Case{"load_zone", collapse_level, load_of_zone},
                    Case{"refill_gate_as_text", refill_level, frame_as_text},
                    Case{"refill_as_text", refill_level_after_a_frame, frame_as_text},
                    Case{"refill_as_patch", with_a_kept_frame(refill_level), frame_as_patch},
                    Case{"save_level_play", refill_level_after_a_frame, save_of_level},
                    Case{"load_level_play", refill_level_after_a_frame, load_of_level_play},
                    Case{"load_level_of_a_level_play", refill_level, load_of_level},
                    Case{"explain_a_cast", cast_level, explain},
                    Case{"explain_a_gate", gate_level, explain},
                    Case{"explain_a_collapse", collapse_level, explain},
                    Case{"explain_a_finished_level", finished_level, explain},
                    Case{"explain_a_deep_tree", deep_level, explain},
                    Case{"explain_then_patch", with_a_kept_frame(wide_level), explain_then_patch},
                    Case{"compact_explanations", cast_level, compact_explanations},
                    Case{"counted_patch_after_a_cast", with_a_kept_patch(cast_level), frame_as_counted_patch},
                    Case{"counted_patch_after_a_collapse", with_a_kept_patch(wide_level), frame_as_counted_patch},
                    Case{"counted_refill_as_patch", with_a_kept_patch(refill_level), frame_as_counted_patch}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A frame in which a gate of each kind and comparison opens (and leaves its
// zone): whichever allocation fails, the gate is back in its place, closed
// (or open, if it was) and in its earlier state, as the snapshot compares.
Level level_where_a_gate_opens(std::shared_ptr<MagicianAgent> gate) {
    auto root = zone("root_zone_where_a_gate_opens", {2, 3});
    root->add_magician(std::move(gate));
    return level_of(root);
}

std::function<Level()> judge_opening(double target, InequalityGate::ComparisonType comparison,
                                     bool open_before = false) {
    return [=] {
        auto judge = std::make_shared<InequalityGate>("judge_that_opens_with_a_long_id", target, comparison);
        judge->is_open = open_before;
        return level_where_a_gate_opens(judge);
    };
}

Level equals_gate_opening() {
    return level_where_a_gate_opens(std::make_shared<EqualsGate>("equals_gate_that_opens_with_a_long_id", 5));
}

using Comparison = InequalityGate::ComparisonType;

INSTANTIATE_TEST_SUITE_P(
    GateOpenings, EveryAllocationFailure,
    testing::Values(Case{"equals_gate", equals_gate_opening, frame_as_text},
                    Case{"judge_less_than", judge_opening(6, Comparison::LESS_THAN), frame_as_text},
                    Case{"judge_greater_than", judge_opening(4, Comparison::GREATER_THAN), frame_as_text},
                    Case{"judge_less_equal", judge_opening(5, Comparison::LESS_EQUAL), frame_as_text},
                    Case{"judge_greater_equal", judge_opening(5, Comparison::GREATER_EQUAL), frame_as_text},
                    Case{"judge_open_before", judge_opening(6, Comparison::LESS_THAN, true), frame_as_text}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Runs `release` with every allocation failing; a destructor that allocated
// would throw out of a noexcept function and end the program.
void with_no_memory(const std::function<void()>& release) {
    fail_every_allocation(true);
    void* probe = ::operator new(1, std::nothrow);  // the switch works
    const bool refused = probe == nullptr;
    ::operator delete(probe);
    release();
    fail_every_allocation(false);
    ASSERT_TRUE(refused) << "an allocation succeeded with no memory";
}

TEST(NoMemoryToSpare, DroppingDeepAndWideTreesWorks) {
    auto deep = zone("deep");
    Environment* last = deep.get();
    for (std::size_t depth = 1; depth < kMaxZoneDepth; ++depth) {
        auto next = zone("d");
        last->sub_environments.push_back(next);
        last->add_magician(std::make_shared<PlusMagician>("p"));
        last = next.get();
    }
    auto wide = zone("wide");
    auto middle = zone("middle");
    for (int leaf = 0; leaf < 100000; ++leaf) middle->sub_environments.push_back(zone("leaf", {1}));
    wide->add_environment(middle);
    auto shared = zone("shared", {1});
    middle->add_environment(shared);
    wide->add_environment(shared);

    with_no_memory([&] {
        deep.reset();
        middle.reset();
        wide.reset();
    });
    EXPECT_EQ(shared.use_count(), 1);  // released by both parents, kept by its own holder
}

TEST(NoMemoryToSpare, KeepingOrUndoingAFrameThatDropsASubtreeOrRefillsWorks) {
    for (bool keep : {true, false}) {
        Level refilling = refill_level();
        const std::string refilling_before = snapshot(refilling, true);
        std::optional<NarrativeSequencer::PendingFrame> refill_frame(refilling.sequencer->begin_frame());
        with_no_memory([&] {
            if (keep) refill_frame->commit();
            refill_frame.reset();
        });
        EXPECT_EQ(refilling.root->sub_environments[0]->agents.size(), 1U);  // placed again or never gone
        if (!keep) {
            EXPECT_EQ(snapshot(refilling, true), refilling_before);
        }

        Level level = wide_level();
        const std::string before = snapshot(level, true);
        std::optional<NarrativeSequencer::PendingFrame> frame(level.sequencer->begin_frame());
        with_no_memory([&] {
            if (keep) frame->commit();
            frame.reset();
        });
        if (keep) {
            EXPECT_TRUE(level.root->sub_environments.empty());
            EXPECT_EQ(level.sequencer->current_frame, 1);
        } else {
            EXPECT_EQ(snapshot(level, true), before);
        }
    }
}

}  // namespace
}  // namespace qor

namespace {

// What reading, writing and building a level file gives, as text: the
// problems, or the level's text and its built tree's.
std::string read_write_and_build(const std::string& file) {
    try {
        const qor::Level level = qor::Level::read(file);
        const qor::BuiltLevel built = level.build();
        return level.to_text() + qor::zone_json_text(*built.root) + std::to_string(built.refills.size());
    } catch (const qor::LevelError& error) {
        return error.what();
    }
}

}  // namespace

// Reading makes only new objects: a failed allocation anywhere gives
// std::bad_alloc (never another error, never a different answer).
TEST(EveryAllocationFailure, ReadingAndBuildingALevelFileGivesTheAnswerOrBadAlloc) {
    const std::string files[] = {
        R"({"title": "t", "zone": "r", "charges": [[1, "positive", "a"]], "zones": [{"zone": "s",
            "agents": [{"kind": "inequality_gate", "id": "j", "target": 2, "rule": ">", "refill": true}]}]})",
        R"({"zone": "r", "zone": "r", "agents": [{"kind": "Plus Magician", "id": "p", "colour": 1}, 7], "zones": [[]]})",
        "{\"zone\": [1,",
    };
    for (const std::string& file : files) {
        const std::string expected = read_write_and_build(file);
        for (long k = 1;; ++k) {
            fail_allocation(k);
            std::optional<std::string> answer;
            try {
                answer = read_write_and_build(file);
            } catch (const std::bad_alloc&) {
            }
            stop_failing();
            if (!answer) {
                ASSERT_TRUE(failure_happened()) << "allocation " << k;
                continue;
            }
            ASSERT_EQ(*answer, expected) << "allocation " << k;
            if (!failure_happened()) break;
        }
    }
}
