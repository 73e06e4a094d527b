// The zone text written straight from the tree must equal the text of the
// zone's JSON value, whatever the tree holds.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/environment.h"
#include "model/json_text.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {
namespace {

using Json = nlohmann::json;

std::string random_text(std::mt19937_64& random) {
    const std::string pieces[] = {"z", "é", "\"", "\\", "\n", "日", " ", "\xff", "\xc3", "id"};
    std::string text;
    for (int i = static_cast<int>(random() % 4); i > 0; --i) {
        // Invalid bytes only now and then, so most trees can be written.
        const std::size_t piece = random() % (random() % 8 == 0 ? 10 : 7);
        text += pieces[piece];
    }
    return text;
}

double random_magnitude(std::mt19937_64& random) {
    const double specials[] = {0.0, -0.0, 3.0, 0.1, 1e300, -2.5, std::numeric_limits<double>::infinity(),
                               std::nan(""), 5e-324};
    return random() % 2 ? specials[random() % 9] : std::ldexp(static_cast<double>(random() % 100000), -7);
}

std::shared_ptr<MagicianAgent> random_agent(std::mt19937_64& random) {
    std::string id = random_text(random);
    switch (random() % 5) {
        case 0: return std::make_shared<PlusMagician>(id);
        case 1: return std::make_shared<Chronomancer>(id);
        case 2: {
            auto gate = std::make_shared<EqualsGate>(id, random_magnitude(random));
            gate->is_open = random() % 2 == 0;
            gate->priority = static_cast<std::int32_t>(random());
            return gate;
        }
        case 3: {
            auto gate = std::make_shared<InequalityGate>(
                id, random_magnitude(random),
                static_cast<InequalityGate::ComparisonType>(static_cast<int>(random() % 6) - 1));
            gate->is_open = random() % 2 == 0;
            if (random() % 2 == 0) gate->state = AgentState::ACTIVE;
            return gate;
        }
        default: {
            auto agent = std::make_shared<RootMagician>(id);
            agent->state = AgentState::ACTIVE;
            return agent;
        }
    }
}

std::shared_ptr<Environment> random_tree(std::mt19937_64& random) {
    std::vector<std::shared_ptr<Environment>> zones;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
        auto zone = std::make_shared<Environment>(random_text(random));
        for (int c = static_cast<int>(random() % 4); c > 0; --c) {
            zone->charges.emplace_back(random_magnitude(random),
                                       static_cast<ChargePolarity>(static_cast<int>(random() % 5) - 1),
                                       random_text(random));
        }
        for (int a = static_cast<int>(random() % 3); a > 0; --a) zone->agents.push_back(random_agent(random));
        if (random() % 6 == 0) zone->agents.push_back(nullptr);
        zone->is_time_frozen = random() % 2 == 0;
        if (i > 0) {
            // Under any earlier zone, sometimes under two: the tree stays acyclic.
            zones[random() % zones.size()]->sub_environments.push_back(zone);
            if (random() % 8 == 0) zones[random() % zones.size()]->sub_environments.push_back(zone);
        }
        if (random() % 10 == 0) zone->sub_environments.push_back(nullptr);
        zones.push_back(zone);
    }
    return zones.front();
}

// The text, or the error that stopped it.
template <typename Write>
std::string outcome(Write write) {
    try {
        return write();
    } catch (const Json::exception& error) {
        return std::string("error: ") + error.what();
    }
}

// A frame's "meta" member given as a JSON value.
class MetaValue final : public ExtraRootMembers {
public:
    explicit MetaValue(const Json& meta) : meta_(meta) {}
    void write(JsonTextWriter& out) const override {
        out.raw("\"meta\":");
        out.value(meta_);
        out.raw(',');
    }

private:
    const Json& meta_;
};

TEST(ZoneText, EqualsTheTextOfTheZoneJsonOnRandomTrees) {
    std::mt19937_64 random(7);
    const Json meta = {{"frame_index", -3}, {"last_event", nullptr}, {"message", "é"}, {"status", "RUNNING"}};
    int errors = 0;
    for (int i = 0; i < 3000; ++i) {
        const auto root = random_tree(random);
        const std::string expected = outcome([&] { return to_json_text(root->to_json()); });
        ASSERT_EQ(outcome([&] { return zone_json_text(*root); }), expected) << i;
        const std::string expected_response = outcome([&] {
            Json response = root->to_json();
            response["meta"] = meta;
            return to_json_text(response);
        });
        const MetaValue extra(meta);
        ASSERT_EQ(outcome([&] { return zone_json_text(*root, &extra); }), expected_response) << i;
        errors += expected.rfind("error", 0) == 0;
    }
    EXPECT_GT(errors, 0);  // invalid UTF-8 fails both ways with the same message
    EXPECT_LT(errors, 2000);
}

TEST(ZoneText, RefusesTreesDeeperThanTheEngineWalks) {
    auto root = std::make_shared<Environment>("r");
    Environment* last = root.get();
    for (std::size_t i = 1; i <= kMaxZoneDepth; ++i) {
        auto next = std::make_shared<Environment>("z");
        last->sub_environments.push_back(next);
        last = next.get();
    }
    EXPECT_THROW(zone_json_text(*root), TreeTooDeepError);
}

}  // namespace
}  // namespace qor
