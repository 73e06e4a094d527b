// NarrativeSequencer::explain(): it changes nothing, and its outcome at the
// edges of a level (the end, the frame limit, both in the same frame).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/zone_text.h"
#include "replay/compact_explanations.h"
#include "sequencer/explanation.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/agent_kinds.h"

namespace qor {
namespace {

using Json = nlohmann::json;

// The tutorial: the forge multiplies 4 and 5, its product merges into the
// hall, the Plus Magician adds it to -2 and the gate opens on `target`.
// Frames: cast, merge, cast, gate (when it opens), end.
std::shared_ptr<Environment> tutorial(double target = 18.0) {
    auto hall = std::make_shared<Environment>("hall");
    hall->add_charge(Charge(2, ChargePolarity::NEGATIVE, "frost"));
    hall->add_magician(make_agent(AgentKind::PLUS, "adder"));
    hall->add_magician(make_agent(AgentKind::EQUALS_GATE, "gate", target));
    auto forge = std::make_shared<Environment>("forge");
    forge->add_charge(Charge(4, ChargePolarity::POSITIVE, "ember_a"));
    forge->add_charge(Charge(5, ChargePolarity::POSITIVE, "ember_b"));
    forge->add_magician(make_agent(AgentKind::MULTIPLY, "smith"));
    hall->add_environment(forge);
    return hall;
}

// Every answer of `calls` frames, by patch and by text in turn, with or
// without an explanation before each call.
std::vector<std::string> answers(int calls, bool explaining) {
    NarrativeSequencer sequencer(tutorial(), 4);
    std::vector<std::string> seen;
    for (int i = 0; i < calls; ++i) {
        if (explaining) sequencer.explain();
        seen.push_back(i % 3 == 2 ? sequencer.next_frame_text() : sequencer.next_frame_patch());
    }
    return seen;
}

TEST(Explain, ChangesNothingTheNextFrameShows) {
    EXPECT_EQ(answers(8, true), answers(8, false));
}

TEST(Explain, NextIsTheEventTheNextFrameReports) {
    NarrativeSequencer sequencer(tutorial(), 6);
    for (int i = 0; i < 8; ++i) {
        const Json next = Json::parse(sequencer.explain()).at("next");
        const Json frame = Json::parse(sequencer.next_frame_text());
        EXPECT_EQ(next, frame.at("meta").at("last_event")) << "call " << i;
    }
}

struct OutcomeCase {
    const char* label;
    double target;
    int max_frames;
    int calls;
    const char* outcome;
};

TEST(Explain, Outcome) {
    const OutcomeCase table[] = {
        {"new level", 18, 1000, 0, "running"},
        {"announcing its end next", 18, 1000, 4, "running"},
        {"ended, gate open", 18, 1000, 5, "won"},
        {"ended, gate shut", 20, 1000, 4, "lost"},
        {"after the end", 20, 1000, 7, "lost"},
        {"limit with the gate still to open", 18, 3, 3, "frame_limit"},
        {"limit, answered", 18, 3, 5, "frame_limit"},
        {"resolved in its last allowed frame", 18, 5, 5, "won"},
        {"and answered with the limit", 18, 5, 6, "won"},
        {"limit with nothing left to happen", 18, 4, 4, "won"},
    };
    for (const OutcomeCase& c : table) {
        NarrativeSequencer sequencer(tutorial(c.target), c.max_frames);
        for (int i = 0; i < c.calls; ++i) sequencer.next_frame_text();
        EXPECT_EQ(Json::parse(sequencer.explain()).at("outcome"), c.outcome) << c.label;
    }
}

TEST(Explain, ALostLevelNamesTheShutGate) {
    NarrativeSequencer sequencer(tutorial(20));
    for (int i = 0; i < 4; ++i) sequencer.next_frame_text();
    const Json explained = Json::parse(sequencer.explain());
    EXPECT_EQ(explained.at("summary"), "Lost: gate \"gate\" is still shut: total 18.0, opens at 20.0");
    EXPECT_EQ(explained.at("shut_gates"), Json::array({0}));
}

// A host that places every gate again after it opens.
class RefillingGates : public NarrativeSequencer {
public:
    using NarrativeSequencer::NarrativeSequencer;
    bool is_refill(const Environment&, const MagicianAgent& agent) const override {
        return agent.name == "Equals Gate";
    }
};

TEST(Explain, ARefillGateIsShownAndNeverLosesTheLevel) {
    RefillingGates sequencer(tutorial(20));
    for (int i = 0; i < 4; ++i) sequencer.next_frame_text();
    const Json explained = Json::parse(sequencer.explain());
    EXPECT_EQ(explained.at("outcome"), "won");
    EXPECT_EQ(explained.at("shut_gates"), Json::array());
    EXPECT_EQ(explained.at("agents").at(0).at("refill"), true);
}

TEST(Explain, RefusesWhileAFrameIsPending) {
    NarrativeSequencer sequencer(tutorial());
    NarrativeSequencer::PendingFrame frame = sequencer.begin_frame();
    EXPECT_THROW(sequencer.explain(), std::logic_error);
}

// The frame document's zone that an explanation's zone number names: the
// root is the last zone, and a zone's "sub_zones" are its sub-zones in order.
std::vector<const Json*> zones_of_frame(const Json& explained, const Json& frame) {
    const Json& zones = explained.at("zones");
    std::vector<const Json*> found(zones.size(), nullptr);
    std::vector<std::size_t> pending{zones.size() - 1};
    found.back() = &frame;
    while (!pending.empty()) {
        const std::size_t number = pending.back();
        pending.pop_back();
        const Json& sub_zones = zones.at(number).at("sub_zones");
        for (std::size_t i = 0; i < sub_zones.size(); ++i) {
            const std::size_t sub = sub_zones.at(i).get<std::size_t>();
            found.at(sub) = &found[number]->at("sub_environments").at(i);
            pending.push_back(sub);
        }
    }
    return found;
}

// A tree with a zone standing under two parents and an empty agent slot:
// every place the explanation names is the frame's, found by numbers.
TEST(Explain, NamesEveryPlaceByNumbersTheFrameResolves) {
    auto root = tutorial();
    auto shared = std::make_shared<Environment>("shared");
    shared->add_charge(Charge(1, ChargePolarity::POSITIVE, "a"));
    shared->add_charge(Charge(2, ChargePolarity::POSITIVE, "b"));
    shared->add_magician(make_agent(AgentKind::PLUS, "twice"));
    root->sub_environments.at(0)->add_environment(shared);
    root->sub_environments.insert(root->sub_environments.begin(), shared);
    root->agents.insert(root->agents.begin(), nullptr);
    NarrativeSequencer sequencer(root);
    const Json explained = Json::parse(sequencer.explain());
    const Json frame = Json::parse(to_json_text(root->to_json()));
    const std::vector<const Json*> zones = zones_of_frame(explained, frame);
    ASSERT_EQ(zones.size(), 4u);
    for (std::size_t number = 0; number < zones.size(); ++number) {
        ASSERT_NE(zones[number], nullptr);
        EXPECT_EQ(explained.at("zones").at(number).at("id"), zones[number]->at("id"));
    }
    std::vector<std::string> named;
    for (const Json& agent : explained.at("agents")) {
        const Json& zone = *zones.at(agent.at("zone").get<std::size_t>());
        const Json& placed = zone.at("agents").at(agent.at("slot").get<std::size_t>());
        EXPECT_EQ(placed.at("visual_id"), agent.at("visual_id"));
        named.push_back(agent.at("visual_id").get<std::string>());
    }
    EXPECT_EQ(named, (std::vector<std::string>{"twice", "twice", "smith", "adder", "gate"}));
    // A frozen zone names the first of its own sub-zones that keeps it so.
    std::vector<std::pair<std::string, std::size_t>> frozen;
    for (std::size_t number = 0; number < zones.size(); ++number) {
        const Json& entry = explained.at("zones").at(number);
        if (entry.at("frozen_by").is_null()) continue;
        EXPECT_EQ(entry.at("sub_zones").at(0), entry.at("frozen_by"));
        frozen.emplace_back(entry.at("id"), number);
    }
    EXPECT_EQ(frozen, (std::vector<std::pair<std::string, std::size_t>>{{"forge", 2}, {"hall", 3}}));
    EXPECT_EQ(explained.at("zones").at(0).at("state"), nullptr);
    // The second place of the agent that acts waits for the first, named by number.
    const Json& twice = explained.at("agents").at(1);
    EXPECT_EQ(twice.at("reason"), "outranked");
    EXPECT_EQ(explained.at("agents").at(twice.at("figures").at("by").get<std::size_t>()).at("reason"), "acts");
}

// A chain of zones, each holding an agent and the next zone.
std::shared_ptr<Environment> chain(std::size_t depth, std::size_t id_bytes = 4) {
    std::shared_ptr<Environment> inner;
    for (std::size_t level = depth; level-- > 0;) {
        std::string id = "z" + std::to_string(level);
        id.resize(std::max(id.size(), id_bytes), 'x');
        auto zone = std::make_shared<Environment>(id);
        zone->add_charge(Charge(2, ChargePolarity::POSITIVE, "c"));
        zone->add_charge(Charge(3, ChargePolarity::POSITIVE, "d"));
        zone->add_magician(make_agent(AgentKind::PLUS, "p" + std::to_string(level)));
        if (inner) zone->add_environment(inner);
        inner = zone;
    }
    return inner;
}

// An explanation grows with the tree as a frame does, however deep it is
// and however long the ids its notes repeat for every agent.
TEST(Explain, GrowsWithTheTreeAsAFrameDoes) {
    const auto explained_size = [](std::shared_ptr<Environment> root) {
        NarrativeSequencer sequencer(root);
        const std::size_t size = sequencer.explain().size();
        const std::size_t frame = to_json_text(root->to_json()).size();
        return static_cast<double>(size) / static_cast<double>(frame);
    };
    const double deep = explained_size(chain(3000));
    EXPECT_LT(deep, 4.0);
    EXPECT_LT(deep / explained_size(chain(300)), 1.1);
    const double long_ids = explained_size(chain(100, 20000));
    EXPECT_LT(long_ids, 1.5);
}

TEST(Explain, NamesALongTextByItsStart) {
    auto root = chain(2, 1000);
    NarrativeSequencer sequencer(root);
    const Json note = Json::parse(sequencer.explain()).at("agents").at(1).at("note");
    const std::string start = "zone \"z0" + std::string(kNamedTextBytes - 5, 'x') + "\xE2\x80\xA6\" is frozen by sub-zone \"z1";
    EXPECT_EQ(note.get<std::string>().substr(0, start.size()), start);
    // A text cut inside a character is cut before it.
    root->id = std::string(kNamedTextBytes - 4, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9";
    const std::string cut = Json::parse(sequencer.explain()).at("agents").at(1).at("note");
    EXPECT_EQ(cut.substr(0, kNamedTextBytes + 6), "zone \"" + std::string(kNamedTextBytes - 4, 'a') + "\xE2\x80\xA6\"");
}

// A host's kind that declines with a rule of its own, a text to escape.
class OddRule : public MagicianAgent {
public:
    OddRule() : MagicianAgent("Odd", 5, "odd") {}
    bool CastSpell(std::vector<Charge>&) override { return false; }
    SpellDecision decide(const std::vector<Charge>& charges) override {
        SpellDecision decision = SpellDecision::declining(SpellReason::GATE_SHUT, charges.size());
        decision.rule = "\"\\";
        return decision;
    }
};

TEST(Explain, AHostsOwnRuleIsEscapedInItsNote) {
    auto zone = std::make_shared<Environment>("z");
    zone->add_magician(std::make_shared<OddRule>());
    NarrativeSequencer sequencer(zone);
    const Json agent = Json::parse(sequencer.explain()).at("agents").at(0);
    EXPECT_EQ(agent.at("note"), "total 0.0 is not \"\\ 0.0");
    EXPECT_EQ(agent.at("figures").at("rule"), "\"\\");
}

// The replay's explanations of the tutorial, step by step.
TEST(CompactExplanations, KeepsOnlyWhatChangesFromStepToStep) {
    NarrativeSequencer sequencer(tutorial());
    CompactExplanations compact;
    const Json first = Json::parse(compact.add(sequencer.explain()));
    EXPECT_EQ(first.at(0), Json::parse(R"({"usual":1,"agents":{"0":[0],"1":[-2,-2]},"gone":[],"frozen":[[1,0]]})"));
    EXPECT_EQ(first.at(1).size(), 2u);
    sequencer.next_frame_text();  // the smith leaves the forge, which merges next
    const Json second = Json::parse(compact.add(sequencer.explain()));
    EXPECT_EQ(second.at(0).at("gone"), Json::array({0}));
    EXPECT_EQ(second.at(0).at("frozen"), Json::array());
    EXPECT_EQ(compact.add(sequencer.explain()), "[{\"usual\":2,\"agents\":{},\"gone\":[],\"frozen\":[]},[]]");
    const Json data = Json::parse(compact.to_json());
    EXPECT_EQ(data.at("steps").size(), 3u);
    EXPECT_EQ(data.at("outcome"), "running");
    EXPECT_EQ(data.at("notes").at(0).at(2), "acts next");
}

TEST(CompactExplanations, RefusesATextThatIsNoExplanationAndKeepsNothingOfIt) {
    CompactExplanations compact;
    for (const char* text : {"", "[]", R"({"agents":[{"zone":0}],"zones":[]})",
                             R"({"agents":[{"zone":0,"slot":-1}],"zones":[{"frozen_by":null}]})",
                             R"({"agents":[{"zone":0,"slot":5}],"zones":[{"frozen_by":null}]})",
                             R"({"agents":[],"zones":[{"frozen_by":3}],"outcome":"won","summary":""})"}) {
        EXPECT_THROW(compact.add(text), std::invalid_argument) << text;
    }
    EXPECT_EQ(compact.to_json(), R"({"outcome":"running","summary":"","notes":[],"steps":[]})");
}

}  // namespace
}  // namespace qor
