// What a C++ host can hand the engine beyond what the Python module lets
// through: missing agents and one agent object placed more than once.
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "model/environment.h"
#include "model/json_text.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"

namespace qor {
namespace {

using Json = nlohmann::json;

std::shared_ptr<Environment> zone_with_charges(const std::string& id, int count) {
    auto zone = std::make_shared<Environment>(id);
    for (int i = 1; i <= count; ++i) zone->add_charge(Charge(i, ChargePolarity::POSITIVE, id + std::to_string(i)));
    return zone;
}

TEST(HostInput, MissingAgentIsRefusedAndOneWrittenInDirectlyIsSkipped) {
    auto root = zone_with_charges("r", 2);
    root->add_magician(std::make_shared<PlusMagician>("p"));
    const std::string before = to_json_text(root->to_json());
    EXPECT_THROW(root->add_magician(nullptr), std::invalid_argument);
    EXPECT_EQ(to_json_text(root->to_json()), before);

    root->agents.insert(root->agents.begin(), nullptr);  // past add_magician: written in directly
    EXPECT_EQ(to_json_text(root->to_json()), before);
    NarrativeSequencer sequencer(root);
    const Json frame = sequencer.NextFrame();
    EXPECT_EQ(frame["meta"]["message"], "Plus Magician executed operation in r");
    EXPECT_EQ(frame["agents"], Json::array());
    EXPECT_EQ(sequencer.NextFrame()["meta"]["status"], "FINISHED");
}

TEST(HostInput, AgentPlacedTwiceActsOnceAndWaitsDormantWhereItStillStands) {
    auto root = zone_with_charges("r", 2);
    auto inner = zone_with_charges("in", 2);
    auto plus = std::make_shared<PlusMagician>("p");
    inner->add_magician(plus);
    root->add_magician(plus);
    root->add_magician(plus);
    root->add_environment(inner);
    NarrativeSequencer sequencer(root);

    Json frame = sequencer.NextFrame();  // root is frozen: the agent acts in the inner zone
    EXPECT_EQ(frame["meta"]["message"], "Plus Magician executed operation in in");
    EXPECT_EQ(plus->state, AgentState::DORMANT);
    EXPECT_EQ(frame["agents"][0]["state"], "dormant");
    EXPECT_EQ(frame["agents"].size(), 2u);

    frame = sequencer.NextFrame();  // the inner zone is resolved: root thaws and the agent acts there
    EXPECT_EQ(frame["meta"]["message"], "Plus Magician executed operation in r");
    EXPECT_EQ(plus->state, AgentState::DORMANT);  // one place in root is left
    ASSERT_EQ(root->agents.size(), 1u);
    EXPECT_EQ(frame["agents"][0]["state"], "dormant");

    frame = sequencer.NextFrame();
    EXPECT_EQ(frame["meta"]["message"], "Zone in has resolved and merged.");
    frame = sequencer.NextFrame();
    EXPECT_EQ(frame["meta"]["message"], "Plus Magician executed operation in r");
    EXPECT_TRUE(root->agents.empty());
    EXPECT_EQ(plus->state, AgentState::DORMANT);  // it left casting behind as it left
}

TEST(HostInput, AgentThatActedLeavesDormantAndCanBePlacedAgain) {
    auto root = zone_with_charges("r", 2);
    auto plus = std::make_shared<PlusMagician>("p");
    root->add_magician(plus);
    NarrativeSequencer sequencer(root);
    sequencer.NextFrame();
    ASSERT_EQ(plus->state, AgentState::DORMANT);

    root->add_magician(plus);
    EXPECT_EQ(plus->state, AgentState::DORMANT);
    EXPECT_EQ(root->to_json()["agents"][0]["state"], "dormant");
}

}  // namespace
}  // namespace qor
