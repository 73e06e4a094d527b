// The frame sequencer: freeze, collection order, casting, collapse, responses
// and the frame limit. Agents here are stand-ins with simple rules so that
// each test controls exactly who acts.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "model/environment.h"
#include "model/json_text.h"
#include "model/zone_walk.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {
namespace {

using Json = nlohmann::json;

// Takes effect when its zone holds at least two charges and leaves one.
class Merger : public MagicianAgent {
public:
    Merger(std::string visual_id, std::int32_t priority)
        : MagicianAgent("Merger", priority, std::move(visual_id)) {}
    bool CastSpell(std::vector<Charge>& charges) override {
        if (charges.size() < 2) return false;
        charges.assign(1, Charge(1, ChargePolarity::POSITIVE, "merged_" + visual_id));
        return true;
    }
};

// Declines, or acts, as told; notes every offer in a shared log.
class Scripted : public MagicianAgent {
public:
    Scripted(std::string visual_id, std::int32_t priority, bool acts, std::vector<std::string>& log)
        : MagicianAgent("Scripted", priority, std::move(visual_id)), acts_(acts), log_(log) {}
    bool CastSpell(std::vector<Charge>&) override {
        log_.push_back(visual_id);
        EXPECT_EQ(state, AgentState::ACTIVE);
        return acts_;
    }

private:
    bool acts_;
    std::vector<std::string>& log_;
};

std::shared_ptr<Environment> zone(const std::string& id, int charges = 0) {
    auto made = std::make_shared<Environment>(id);
    for (int i = 0; i < charges; ++i) made->add_charge(Charge(i + 1, ChargePolarity::POSITIVE, id + "_c" + std::to_string(i)));
    return made;
}

Json meta(const Json& response) { return response.at("meta"); }

TEST(NarrativeSequencer, StartsWithNoFrameNoEventAndRefusesAMissingRoot) {
    NarrativeSequencer sequencer(zone("r"));
    EXPECT_EQ(sequencer.current_frame, 0);
    EXPECT_EQ(sequencer.max_frames, 1000);
    EXPECT_FALSE(sequencer.is_finished);
    EXPECT_FALSE(sequencer.last_event.has_value());
    EXPECT_THROW(NarrativeSequencer(nullptr), std::invalid_argument);
}

TEST(NarrativeSequencer, TakesAFrameLimitOfAtLeastOne) {
    EXPECT_EQ(NarrativeSequencer(zone("r"), 1).max_frames, 1);
    EXPECT_EQ(NarrativeSequencer(zone("r"), INT32_MAX).max_frames, INT32_MAX);
    for (std::int32_t limit : {0, -1, INT32_MIN}) {
        EXPECT_THROW(NarrativeSequencer(zone("r"), limit), std::invalid_argument);
    }
    EXPECT_THROW(NarrativeSequencer(nullptr, 5), std::invalid_argument);
    EXPECT_THROW(NarrativeSequencer::check_max_frames(std::int64_t{INT32_MAX} + 1), std::invalid_argument);
}

TEST(NarrativeSequencer, EmptyLevelFinishesInTheFirstFrameThenSaysComplete) {
    NarrativeSequencer sequencer(zone("r"));
    const Json first = sequencer.NextFrame();
    EXPECT_EQ(to_json_text(first["meta"]),
              R"({"frame_index":1,"last_event":{"agent_name":"System","description":"Equation Resolved.","type":"FINISHED","visual_id":"N/A"},"message":"Equation Resolved.","status":"FINISHED"})");
    for (int call = 0; call < 3; ++call) {
        const Json later = sequencer.NextFrame();
        EXPECT_EQ(to_json_text(later["meta"]),
                  R"({"frame_index":1,"last_event":null,"message":"Simulation complete. No further actions.","status":"FINISHED"})");
    }
    EXPECT_EQ(sequencer.current_frame, 1);
}

TEST(NarrativeSequencer, ResponseIsTheRootZonePlusMeta) {
    auto root = zone("r", 1);
    NarrativeSequencer sequencer(root);
    Json response = sequencer.NextFrame();
    response.erase("meta");
    EXPECT_EQ(response, root->to_json());
    EXPECT_EQ(to_json_text(sequencer.NextFrame()).rfind(R"({"agents":[],"charges":[{)", 0), 0u);
}

TEST(NarrativeSequencer, PlaysTheWorkedRun) {
    auto root = zone("R", 1);
    auto a = zone("A", 2);
    root->add_magician(std::make_shared<Merger>("Y", 10));
    a->add_magician(std::make_shared<Merger>("X", 50));
    root->add_environment(a);
    NarrativeSequencer sequencer(root);

    Json frame = sequencer.NextFrame();  // X casts in A while R is frozen
    EXPECT_EQ(meta(frame)["frame_index"], 1);
    EXPECT_EQ(meta(frame)["status"], "RUNNING");
    EXPECT_EQ(meta(frame)["message"], "Merger executed operation in A");
    EXPECT_EQ(to_json_text(meta(frame)["last_event"]),
              R"({"agent_name":"Merger","description":"Merger executed operation in A","type":"CAST_SPELL","visual_id":"X"})");
    EXPECT_TRUE(frame["is_time_frozen"].get<bool>());
    EXPECT_TRUE(frame["sub_environments"][0]["agents"].empty());
    EXPECT_EQ(frame["sub_environments"][0]["charges"].size(), 1u);

    frame = sequencer.NextFrame();  // Y declines, A collapses into R
    EXPECT_EQ(meta(frame)["frame_index"], 2);
    EXPECT_EQ(meta(frame)["message"], "Zone A has resolved and merged.");
    EXPECT_EQ(to_json_text(meta(frame)["last_event"]),
              R"({"agent_name":"Chronomancer","description":"Zone A has resolved and merged.","type":"COLLAPSE_ZONE","visual_id":"shield_A"})");
    EXPECT_TRUE(frame["sub_environments"].empty());
    EXPECT_EQ(frame["charges"].size(), 2u);
    EXPECT_EQ(frame["charges"][1]["visual_id"], "merged_X");
    EXPECT_EQ(frame["agents"][0]["state"], "dormant");

    frame = sequencer.NextFrame();  // Y casts in R
    EXPECT_EQ(meta(frame)["message"], "Merger executed operation in R");
    EXPECT_TRUE(frame["agents"].empty());

    frame = sequencer.NextFrame();
    EXPECT_EQ(meta(frame)["status"], "FINISHED");
    EXPECT_EQ(meta(frame)["message"], "Equation Resolved.");
    EXPECT_EQ(meta(frame)["frame_index"], 4);

    frame = sequencer.NextFrame();
    EXPECT_EQ(meta(frame)["message"], "Simulation complete. No further actions.");
    EXPECT_EQ(meta(frame)["frame_index"], 4);
}

TEST(NarrativeSequencer, TriesAgentsByPriorityAcrossTheTreeThenInCollectionOrder) {
    // r (agent "never", 99) > [a (a1, a2: 10) > [a_inner (i: 10)], b (hi: 50)]
    std::vector<std::string> log;
    auto root = zone("r");
    auto a = zone("a");
    auto inner = zone("a_inner");
    auto b = zone("b");
    inner->add_magician(std::make_shared<Scripted>("i", 10, false, log));
    a->add_magician(std::make_shared<Scripted>("a1", 10, false, log));
    a->add_magician(std::make_shared<Scripted>("a2", 10, false, log));
    b->add_magician(std::make_shared<Scripted>("hi", 50, false, log));
    root->add_magician(std::make_shared<Scripted>("never", 99, true, log));
    a->add_environment(inner);
    root->add_environment(a);
    root->add_environment(b);
    NarrativeSequencer sequencer(root);
    const Json frame = sequencer.NextFrame();
    // a is frozen by a_inner, r by a and b: only i and hi are offered, the
    // higher priority first although its zone comes later.
    EXPECT_EQ(log, (std::vector<std::string>{"hi", "i"}));
    EXPECT_EQ(meta(frame)["status"], "FINISHED");
    EXPECT_EQ(frame["agents"][0]["state"], "dormant");
}

TEST(NarrativeSequencer, EqualPrioritiesKeepCollectionOrderBeyondSixteenAgents) {
    std::vector<std::string> log;
    auto root = zone("r");
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        const std::string id = "s" + std::to_string(i);
        auto sub = zone(id);
        sub->add_magician(std::make_shared<Scripted>(id + "_first", 10, false, log));
        sub->add_magician(std::make_shared<Scripted>(id + "_second", 10, false, log));
        root->add_environment(sub);
        expected.push_back(id + "_first");
        expected.push_back(id + "_second");
    }
    NarrativeSequencer sequencer(root);
    sequencer.NextFrame();
    EXPECT_EQ(log, expected);
}

// Agents of many priorities, some shared, in sibling zones: they are offered
// highest priority first and, within a priority, in collection order, whether
// the priorities lie close together or spread over the whole int32 range.
class OfferingOrder : public ::testing::TestWithParam<std::vector<std::int32_t>> {};

TEST_P(OfferingOrder, IsByPriorityThenCollectionOrder) {
    const std::vector<std::int32_t>& palette = GetParam();
    std::vector<std::string> log;
    auto root = zone("r");
    std::vector<std::pair<std::int32_t, std::string>> placed;  // collection order
    for (int i = 0; i < 300; ++i) {
        const std::int32_t priority = palette[(i * 7 + i / 3) % palette.size()];
        const std::string id = "s" + std::to_string(i);
        auto sub = zone(id);
        sub->add_magician(std::make_shared<Scripted>(id, priority, false, log));
        root->add_environment(sub);
        placed.emplace_back(priority, id);
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> expected;
    for (const auto& entry : placed) expected.push_back(entry.second);
    NarrativeSequencer sequencer(root);
    sequencer.NextFrame();
    EXPECT_EQ(log, expected);
    log.clear();
    sequencer.is_finished = false;  // nobody acted: play the frame again
    sequencer.NextFrame();  // the same order, from storage kept between frames
    EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    PrioritySpreads, OfferingOrder,
    ::testing::Values(std::vector<std::int32_t>{10, 50, 90, 100, 0, 75, 85},
                      std::vector<std::int32_t>{-5, 3, -5, 0},
                      std::vector<std::int32_t>{0, 100000, -3, 7, 100000},
                      std::vector<std::int32_t>{INT32_MIN, INT32_MAX, 0, -1, INT32_MAX},
                      std::vector<std::int32_t>{42}));

TEST(NarrativeSequencer, StopsAtTheFirstAgentThatActsAndRemovesItByIdentity) {
    std::vector<std::string> log;
    auto root = zone("r");
    auto twin_a = std::make_shared<Scripted>("twin", 10, false, log);
    auto twin_b = std::make_shared<Scripted>("twin", 10, true, log);
    root->add_magician(twin_a);
    root->add_magician(twin_b);
    root->add_magician(std::make_shared<Scripted>("later", 10, true, log));
    NarrativeSequencer sequencer(root);
    const Json frame = sequencer.NextFrame();
    EXPECT_EQ(log, (std::vector<std::string>{"twin", "twin"}));
    ASSERT_EQ(root->agents.size(), 2u);
    EXPECT_EQ(root->agents[0], twin_a);
    EXPECT_EQ(twin_b->state, AgentState::DORMANT);  // no longer casting once out of the tree
    EXPECT_EQ(frame["agents"].size(), 2u);
    EXPECT_EQ(meta(frame)["last_event"]["visual_id"], "twin");
}

TEST(NarrativeSequencer, FreezeFollowsDirectSubZonesOnly) {
    // root > a > b: b holds an agent, a one charge and no agent.
    std::vector<std::string> log;
    auto root = zone("root");
    auto a = zone("a", 1);
    auto b = zone("b");
    b->add_magician(std::make_shared<Scripted>("b_agent", 10, false, log));
    a->add_environment(b);
    root->add_environment(a);
    root->add_environment(zone("empty"));
    NarrativeSequencer sequencer(root);
    sequencer.update_freeze_states(root.get());
    EXPECT_TRUE(a->is_time_frozen);
    EXPECT_FALSE(root->is_time_frozen);
    EXPECT_FALSE(b->is_time_frozen);

    b->agents.clear();
    b->add_charge(Charge(1, ChargePolarity::POSITIVE, "x"));
    b->add_charge(Charge(1, ChargePolarity::POSITIVE, "y"));
    sequencer.update_freeze_states(root.get());
    EXPECT_TRUE(a->is_time_frozen);  // two charges and no agent: still unresolved
    b->is_time_frozen = true;        // a leaf's flag is recomputed to false
    sequencer.update_freeze_states(root.get());
    EXPECT_FALSE(b->is_time_frozen);
}

TEST(NarrativeSequencer, FrozenFlagsInTheResponseAreThoseOfTheFrameStart) {
    auto root = zone("r");
    auto a = zone("a", 2);
    a->add_magician(std::make_shared<Merger>("m", 50));
    root->add_environment(a);
    NarrativeSequencer sequencer(root);
    EXPECT_TRUE(sequencer.NextFrame()["is_time_frozen"].get<bool>());   // a resolved during it
    EXPECT_FALSE(sequencer.NextFrame()["is_time_frozen"].get<bool>());  // thawed, a collapses
}

TEST(NarrativeSequencer, CollapsesOneZoneDepthFirstInStoredOrder) {
    // r > [a > [a1 (1 charge)], b (1 charge)], a holds nothing itself.
    auto root = zone("r");
    auto a = zone("a");
    a->add_environment(zone("a1", 1));
    root->add_environment(a);
    root->add_environment(zone("b", 1));
    root->add_environment(zone("no_charges"));
    NarrativeSequencer sequencer(root);
    std::vector<std::string> messages;
    for (int i = 0; i < 4; ++i) messages.push_back(meta(sequencer.NextFrame())["message"]);
    EXPECT_EQ(messages, (std::vector<std::string>{"Zone a1 has resolved and merged.",
                                                  "Zone a has resolved and merged.",
                                                  "Zone b has resolved and merged.",
                                                  "Equation Resolved."}));
    ASSERT_EQ(root->charges.size(), 2u);
    EXPECT_EQ(root->charges[0].visual_id, "a1_c0");
    EXPECT_EQ(root->charges[1].visual_id, "b_c0");
    ASSERT_EQ(root->sub_environments.size(), 1u);  // a zone without charges never collapses
}

TEST(NarrativeSequencer, CollapseTakesTheZonesSubtreeAndLeavesHostHandlesIntact) {
    auto root = zone("r");
    auto collapsing = zone("c", 1);
    auto below = zone("below", 2);  // unresolved, but only its parent's contents count
    collapsing->add_environment(below);
    root->add_environment(collapsing);
    NarrativeSequencer sequencer(root);
    EXPECT_EQ(meta(sequencer.NextFrame())["message"], "Zone c has resolved and merged.");
    EXPECT_TRUE(root->sub_environments.empty());
    EXPECT_EQ(collapsing->charges.size(), 1u);  // the host's handle still holds it
    EXPECT_EQ(collapsing->sub_environments.size(), 1u);
}

TEST(NarrativeSequencer, CastsAndCollapsesAdvanceTheChargeRevision) {
    auto root = zone("r");
    auto a = zone("a", 2);
    a->add_magician(std::make_shared<Merger>("m", 50));
    root->add_environment(a);
    NarrativeSequencer sequencer(root);
    const auto a_before = a->charges_revision;
    sequencer.NextFrame();
    EXPECT_NE(a->charges_revision, a_before);
    const auto root_before = root->charges_revision;
    sequencer.NextFrame();
    EXPECT_NE(root->charges_revision, root_before);
}

TEST(NarrativeSequencer, FrameLimitAnswersErrorFromThenOn) {
    // The host keeps the level going by placing an agent before every frame.
    std::vector<std::string> log;
    auto root = zone("r");
    NarrativeSequencer sequencer(root);
    for (int i = 1; i <= 1000; ++i) {
        root->add_magician(std::make_shared<Scripted>("again", 10, true, log));
        ASSERT_EQ(meta(sequencer.NextFrame())["status"], "RUNNING") << i;
    }
    root->add_magician(std::make_shared<Scripted>("again", 10, true, log));
    EXPECT_FALSE(sequencer.is_finished);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(to_json_text(meta(sequencer.NextFrame())),
                  R"({"frame_index":1000,"last_event":null,"message":"Max frame limit reached. Infinite loop detected.","status":"ERROR"})");
        EXPECT_TRUE(sequencer.is_finished);
    }
    sequencer.current_frame = 10;  // lifts the limit
    sequencer.is_finished = false;
    EXPECT_EQ(meta(sequencer.NextFrame())["frame_index"], 11);
}

TEST(NarrativeSequencer, ZoneWithTwoChargesKeepsItsParentFrozenToTheEnd) {
    auto root = zone("r");
    root->add_environment(zone("stuck", 2));
    NarrativeSequencer sequencer(root);
    const Json frame = sequencer.NextFrame();
    EXPECT_EQ(meta(frame)["status"], "FINISHED");
    EXPECT_TRUE(frame["is_time_frozen"].get<bool>());
}

TEST(NarrativeSequencer, LevelEndingInTheLastFrameAnswersErrorNext) {
    auto root = zone("r");
    NarrativeSequencer sequencer(root);
    sequencer.current_frame = 999;
    EXPECT_EQ(meta(sequencer.NextFrame())["status"], "FINISHED");
    EXPECT_EQ(meta(sequencer.NextFrame())["status"], "ERROR");
}

TEST(NarrativeSequencer, HostWritesOfTheCounterAndFlagAreObeyed) {
    auto root = zone("r");
    NarrativeSequencer sequencer(root);
    sequencer.current_frame = -10;
    EXPECT_EQ(meta(sequencer.NextFrame())["frame_index"], -9);
    EXPECT_TRUE(sequencer.is_finished);
    sequencer.is_finished = false;
    EXPECT_EQ(meta(sequencer.NextFrame())["frame_index"], -8);
    sequencer.current_frame = std::numeric_limits<std::int32_t>::min();
    sequencer.is_finished = false;
    EXPECT_EQ(meta(sequencer.NextFrame())["frame_index"], std::numeric_limits<std::int32_t>::min() + 1);
    sequencer.current_frame = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(meta(sequencer.NextFrame())["status"], "ERROR");
}

TEST(NarrativeSequencer, TooDeepTreeIsRefusedBeforeAnythingChanges) {
    auto root = zone("r");
    Environment* last = root.get();
    for (std::size_t i = 1; i <= kMaxZoneDepth; ++i) {
        auto next = zone("z", i == kMaxZoneDepth ? 1 : 0);
        last->sub_environments.push_back(next);
        last = next.get();
    }
    root->is_time_frozen = true;
    for (bool finished : {false, true}) {
        for (std::int32_t frame : {5, 1000}) {
            NarrativeSequencer sequencer(root);
            sequencer.current_frame = frame;
            sequencer.is_finished = finished;
            sequencer.last_event = FrameEvent{"a", "b", "c", "d"};
            EXPECT_THROW(sequencer.NextFrame(), TreeTooDeepError);
            EXPECT_EQ(sequencer.current_frame, frame);
            EXPECT_EQ(sequencer.is_finished, finished);
            EXPECT_TRUE(sequencer.last_event.has_value());
            EXPECT_TRUE(root->is_time_frozen);
            EXPECT_EQ(last->charges.size(), 1u);
        }
    }
}

// A kind of the host's own that empties the list and then fails.
class FailsHalfway : public MagicianAgent {
public:
    explicit FailsHalfway(std::string visual_id) : MagicianAgent("Fails", 50, std::move(visual_id)) {}
    bool CastSpell(std::vector<Charge>& charges) override {
        charges.clear();
        throw std::runtime_error("the spell failed");
    }
};

TEST(NarrativeSequencer, AFrameWhoseSpellThrowsChangesNothing) {
    std::vector<std::string> log;
    auto root = zone("r", 2);
    root->add_magician(std::make_shared<Scripted>("declines", 60, false, log));
    root->add_magician(std::make_shared<FailsHalfway>("fails"));
    root->add_environment(zone("merges", 1));
    root->is_time_frozen = true;
    NarrativeSequencer sequencer(root);
    sequencer.last_event = FrameEvent{"a", "b", "c", "d"};
    const std::string before = to_json_text(root->to_json());
    const std::uint64_t revision = root->charges_revision;
    EXPECT_THROW(sequencer.NextFrame(), std::runtime_error);
    EXPECT_EQ(to_json_text(root->to_json()), before);  // charges, agents' states, sub-zones
    EXPECT_EQ(root->charges_revision, revision);
    EXPECT_TRUE(root->is_time_frozen);
    EXPECT_EQ(sequencer.current_frame, 0);
    EXPECT_EQ(sequencer.last_event->description, "d");
    EXPECT_EQ(log, std::vector<std::string>{"declines"});
}

TEST(NarrativeSequencer, TwoSequencersShareOneTreeButNotTheirCounters) {
    auto root = zone("r");
    auto a = zone("a", 1);
    root->add_environment(a);
    NarrativeSequencer first(root);
    NarrativeSequencer second(root);
    EXPECT_EQ(meta(first.NextFrame())["message"], "Zone a has resolved and merged.");
    EXPECT_EQ(meta(second.NextFrame())["message"], "Equation Resolved.");
    EXPECT_EQ(first.current_frame, 1);
    EXPECT_FALSE(first.is_finished);
    EXPECT_TRUE(second.is_finished);
}

}  // namespace
}  // namespace qor

namespace qor {
namespace {

// Two copies of one level: the second is answered as text straight from the
// tree, and must read exactly as the first's JSON response.
std::shared_ptr<Environment> level_with_every_outcome(std::vector<std::string>& log) {
    auto root = zone("r", 1);
    auto a = zone("a", 2);
    a->add_magician(std::make_shared<Merger>("m", 50));
    a->add_environment(zone("a1", 1));
    root->add_environment(a);
    root->add_environment(zone("b", 2));
    root->add_magician(std::make_shared<Scripted>("s", 10, false, log));
    root->is_time_frozen = true;
    return root;
}

TEST(NarrativeSequencer, TextAnswersEqualTheJsonResponses) {
    std::vector<std::string> log;
    NarrativeSequencer by_value(level_with_every_outcome(log));
    NarrativeSequencer by_text(level_with_every_outcome(log));
    for (int call = 0; call < 8; ++call) {
        if (call == 6) by_value.current_frame = by_text.current_frame = 1000;
        ASSERT_EQ(by_text.next_frame_text(), to_json_text(by_value.NextFrame())) << call;
    }
}

// Empty agent slots (null entries a C++ host wrote) mean nothing: a sub-zone
// holding one charge and an empty slot is resolved and merges.
TEST(NarrativeSequencer, EmptyAgentSlotsNeitherFreezeNorHoldBackACollapse) {
    auto root = zone("r");
    auto shield = zone("s", 1);
    shield->agents.push_back(nullptr);
    root->add_environment(shield);
    root->add_environment(zone("e"));
    NarrativeSequencer sequencer(root);
    const Json frame = sequencer.NextFrame();
    EXPECT_FALSE(frame["is_time_frozen"].get<bool>());
    EXPECT_EQ(meta(frame)["message"], "Zone s has resolved and merged.");
}

// Gates of one zone share one summing of its charges: each zone's gates
// still see their own zone's total.
TEST(NarrativeSequencer, GatesSeeTheTotalOfTheirOwnZone) {
    auto root = zone("r");
    for (const char* id : {"a", "b"}) {
        auto sub_zone = zone(id, std::string(id) == "a" ? 1 : 3);  // totals 1 and 1 + 2 + 3
        sub_zone->add_magician(std::make_shared<EqualsGate>("g", 6.0));
        sub_zone->add_magician(std::make_shared<EqualsGate>("h", 6.0));
        root->add_environment(sub_zone);
    }
    NarrativeSequencer sequencer(root);
    EXPECT_EQ(meta(sequencer.NextFrame())["message"], "Equals Gate executed operation in b");
}

// The walks of the C++ API that change what they visit refuse a tree beyond
// the work bound before changing anything, even where the change would come
// before the walk reached the bound.
TEST(NarrativeSequencer, WalkingCallsRefuseATreeBeyondTheWorkBoundFirst) {
    auto root = zone("r");
    root->add_environment(zone("collapsible", 1));
    auto lattice = zone("unresolved", 2);
    Environment* lowest = nullptr;  // the first zone a walk leaves that would freeze
    for (int depth = 0; depth < 20; ++depth) {  // 2^20 places of the last zone
        auto above = zone("l");
        above->sub_environments = {lattice, lattice};
        lattice = above;
        if (lowest == nullptr) lowest = above.get();
    }
    root->add_environment(lattice);
    NarrativeSequencer sequencer(root);
    std::vector<CollectedAgent> collected;
    EXPECT_THROW(sequencer.check_and_collapse(root.get()), TreeTooLargeError);
    EXPECT_THROW(sequencer.update_freeze_states(root.get()), TreeTooLargeError);
    EXPECT_THROW(sequencer.collect_agents(root.get(), collected), TreeTooLargeError);
    EXPECT_EQ(root->sub_environments.size(), 2U);
    EXPECT_TRUE(root->charges.empty());
    EXPECT_FALSE(lowest->is_time_frozen);
}

// A cast writes its zone's id three times (the tree, the event's
// description, the frame's message), and a control character six bytes wide:
// an id of 1,000,000 such bytes is beyond the bound (1,500,004 units), the
// same number of letters within it.
TEST(NarrativeSequencer, EveryCallRefusesAnIdBeyondTheBoundAsAFrameWouldWriteIt) {
    auto root = zone(std::string(1000000, '\x01'));
    root->add_charge(Charge(1, ChargePolarity::POSITIVE, "a"));
    root->add_charge(Charge(2, ChargePolarity::POSITIVE, "b"));
    root->add_magician(std::make_shared<PlusMagician>("p"));
    NarrativeSequencer sequencer(root);
    EXPECT_THROW(sequencer.next_frame_text(), TreeTooLargeError);
    EXPECT_THROW(sequencer.next_frame_patch(), TreeTooLargeError);
    EXPECT_THROW(sequencer.NextFrame(), TreeTooLargeError);
    EXPECT_THROW(root->to_json(), TreeTooLargeError);
    EXPECT_THROW(save_level(sequencer), TreeTooLargeError);
    EXPECT_EQ(sequencer.current_frame, 0);
    EXPECT_FALSE(sequencer.last_event.has_value());
    EXPECT_EQ(root->charges.size(), 2U);
    EXPECT_EQ(root->agents.size(), 1U);
    root->id = std::string(1000000, 'x');
    EXPECT_EQ(meta(sequencer.NextFrame())["last_event"]["type"], "CAST_SPELL");
}

}  // namespace
}  // namespace qor

namespace qor {
namespace {

// A zone that holds no unresolved sub-zone does not freeze its parent, so
// agents two or more levels down are collected beside their ancestors'.
// Collection is post-order (a zone's sub-zones' agents before its own), so
// at equal priority the deeper agent is offered first.
struct ZoneSpec {
    std::string id;
    std::string parent;  // empty for the root
    int charges;
    std::vector<std::string> agents;  // all of priority 10, all declining
};

struct CollectionCase {
    const char* name;
    std::vector<ZoneSpec> zones;  // parents before their sub-zones
    std::vector<std::string> offered;
};

TEST(NarrativeSequencer, AgentsBelowAZoneThatDoesNotFreezeAreCollectedBeforeTheirAncestors) {
    const CollectionCase cases[] = {
        {"empty middle zone",
         {{"P", "", 2, {"p"}}, {"S", "P", 0, {}}, {"T", "S", 2, {"t"}}},
         {"t", "p"}},
        {"middle zone with one charge",
         {{"P", "", 2, {"p1", "p2"}}, {"S", "P", 1, {}}, {"T", "S", 2, {"t1", "t2"}}},
         {"t1", "t2", "p1", "p2"}},
        {"two empty middle zones",
         {{"P", "", 2, {"p"}}, {"S1", "P", 0, {}}, {"S2", "S1", 0, {}}, {"T", "S2", 2, {"t"}}},
         {"t", "p"}},
        {"two branches",
         {{"P", "", 2, {"p"}}, {"S", "P", 0, {}}, {"T", "S", 2, {"t"}}, {"V", "P", 1, {}}, {"W", "V", 0, {"w"}}},
         {"t", "w", "p"}},
    };
    for (const CollectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> log;
        std::vector<std::shared_ptr<Environment>> made;
        for (const ZoneSpec& spec : c.zones) {
            auto created = zone(spec.id, spec.charges);
            for (const std::string& agent : spec.agents) {
                created->add_magician(std::make_shared<Scripted>(agent, 10, false, log));
            }
            for (const auto& parent : made) {
                if (parent->id == spec.parent) parent->add_environment(created);
            }
            made.push_back(created);
        }
        NarrativeSequencer sequencer(made.front());
        sequencer.NextFrame();
        EXPECT_EQ(log, c.offered);
        EXPECT_FALSE(made.front()->is_time_frozen);
    }
}

}  // namespace
}  // namespace qor
