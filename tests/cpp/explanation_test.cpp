// NarrativeSequencer::explain(): it changes nothing, and its outcome at the
// edges of a level (the end, the frame limit, both in the same frame).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
    EXPECT_EQ(explained.at("shut_gates"), Json::array({"/agents/0"}));
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

}  // namespace
}  // namespace qor
