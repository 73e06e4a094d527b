// Charges, the agent base and zones: their JSON forms and the zone tree.
#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "model/charge.h"
#include "model/environment.h"
#include "model/json_text.h"
#include "model/magician_agent.h"
#include "model/zone_walk.h"

namespace qor {
namespace {

class DoNothingAgent : public MagicianAgent {
public:
    explicit DoNothingAgent(std::string visual_id, std::int32_t priority = 100)
        : MagicianAgent("Chronomancer", priority, std::move(visual_id)) {}
    bool CastSpell(std::vector<Charge>&) override { return false; }
};

std::string text_of(const Charge& charge) { return to_json_text(charge.to_json()); }

std::shared_ptr<Environment> zone(const std::string& id) { return std::make_shared<Environment>(id); }

// A chain of `depth` zones, the first one the root.
std::shared_ptr<Environment> chain(std::size_t depth) {
    auto root = zone("z0");
    Environment* last = root.get();
    for (std::size_t i = 1; i < depth; ++i) {
        auto next = zone("z" + std::to_string(i));
        last->sub_environments.push_back(next);
        last = next.get();
    }
    return root;
}

struct ChargeTextCase {
    double magnitude;
    std::int32_t polarity;
    std::string visual_id;
    std::string text;
};

// Without a printer gtest shows a case as its raw bytes, padding and string
// pointers included: unreadable, different from run to run, and a read of
// uninitialised memory that memcheck reports.
void PrintTo(const ChargeTextCase& c, std::ostream* out) {
    *out << c.magnitude << " polarity " << c.polarity << " id \"" << c.visual_id << '"';
}

class ChargeText : public testing::TestWithParam<ChargeTextCase> {};

TEST_P(ChargeText, DumpsCompactlyWithSortedKeys) {
    const auto& c = GetParam();
    EXPECT_EQ(text_of(Charge(c.magnitude, static_cast<ChargePolarity>(c.polarity), c.visual_id)), c.text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Charge, ChargeText,
    testing::Values(
        ChargeTextCase{3, 0, "c1", R"({"magnitude":3.0,"polarity":"positive","visual_id":"c1"})"},
        ChargeTextCase{2.5, 1, "c1", R"({"magnitude":2.5,"polarity":"negative","visual_id":"c1"})"},
        ChargeTextCase{1, 2, "", R"({"magnitude":1.0,"polarity":"neutral","visual_id":""})"},
        ChargeTextCase{1, 7, "x", R"({"magnitude":1.0,"polarity":"neutral","visual_id":"x"})"},
        ChargeTextCase{1, -1, "x", R"({"magnitude":1.0,"polarity":"neutral","visual_id":"x"})"},
        ChargeTextCase{-0.0, 0, "x", R"({"magnitude":-0.0,"polarity":"positive","visual_id":"x"})"},
        ChargeTextCase{std::nan(""), 0, "x", R"({"magnitude":null,"polarity":"positive","visual_id":"x"})"},
        ChargeTextCase{-kInf, 0, "x", R"({"magnitude":null,"polarity":"positive","visual_id":"x"})"},
        ChargeTextCase{1e300, 0, "é\"\n", "{\"magnitude\":1e+300,\"polarity\":\"positive\",\"visual_id\":\"é\\\"\\n\"}"},
        ChargeTextCase{0.1, 0, "x", R"({"magnitude":0.1,"polarity":"positive","visual_id":"x"})"}));

TEST(Charge, InvalidUtf8IsStoredAndFailsOnlyWhenDumped) {
    Charge charge(1, ChargePolarity::POSITIVE, "a\xff");
    const nlohmann::json value = charge.to_json();  // building the value does not fail
    try {
        to_json_text(value);
        FAIL() << "dumping invalid UTF-8 must fail";
    } catch (const nlohmann::json::type_error& error) {
        EXPECT_EQ(error.id, 316);
        EXPECT_STREQ(error.what(), "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xFF");
    }
    Charge incomplete(1, ChargePolarity::POSITIVE, "ab\xc3");
    EXPECT_THROW(to_json_text(incomplete.to_json()), nlohmann::json::type_error);
}

TEST(MagicianAgent, FreshAgentIsDormantWithIntegerPriority) {
    DoNothingAgent agent("");
    EXPECT_EQ(to_json_text(agent.to_json()),
              R"({"name":"Chronomancer","priority":100,"state":"dormant","visual_id":""})");
    agent.state = AgentState::ACTIVE;
    EXPECT_EQ(agent.to_json()["state"], "active");
}

TEST(Environment, NewZoneHasAllMembers) {
    EXPECT_EQ(to_json_text(zone("z")->to_json()),
              R"({"agents":[],"charges":[],"id":"z","is_time_frozen":false,"sub_environments":[]})");
}

TEST(Environment, ListsChargesAgentsAndSubZonesInInsertionOrder) {
    auto root = zone("root");
    root->add_charge(Charge(4, ChargePolarity::POSITIVE, "c1"));
    root->add_charge(Charge(1, ChargePolarity::NEGATIVE, "c2"));
    root->add_magician(std::make_shared<DoNothingAgent>("t1"));
    root->add_magician(std::make_shared<DoNothingAgent>("t2"));
    root->add_environment(zone("a"));
    root->add_environment(zone("b"));
    const auto value = root->to_json();
    EXPECT_EQ(value["charges"][1]["visual_id"], "c2");
    EXPECT_EQ(value["agents"][0]["visual_id"], "t1");
    EXPECT_EQ(value["agents"][1]["visual_id"], "t2");
    EXPECT_EQ(value["sub_environments"][0]["id"], "a");
    EXPECT_EQ(value["sub_environments"][1]["id"], "b");
}

TEST(Environment, FrozenFlagIsReportedOnlyWithSubZones) {
    auto root = zone("root");
    root->is_time_frozen = true;
    EXPECT_FALSE(root->to_json()["is_time_frozen"].get<bool>());
    root->add_environment(zone("a"));
    EXPECT_TRUE(root->to_json()["is_time_frozen"].get<bool>());
}

TEST(Environment, SharedZoneIsWrittenUnderEachParent) {
    auto root = zone("root");
    auto a = zone("a");
    auto b = zone("b");
    auto shared = zone("s");
    shared->add_charge(Charge(1, ChargePolarity::POSITIVE, "c"));
    a->add_environment(shared);
    b->add_environment(shared);
    root->add_environment(a);
    root->add_environment(b);
    const auto value = root->to_json();
    EXPECT_EQ(value["sub_environments"][0]["sub_environments"][0],
              value["sub_environments"][1]["sub_environments"][0]);
}

TEST(Environment, RefusesToBecomeItsOwnAncestor) {
    auto root = zone("root");
    auto child = zone("child");
    auto grandchild = zone("grandchild");
    root->add_environment(child);
    child->add_environment(grandchild);
    EXPECT_THROW(root->add_environment(root), std::invalid_argument);
    try {
        grandchild->add_environment(root);
        FAIL() << "a cycle must be refused";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("\"root\""), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("\"grandchild\""), std::string::npos);
    }
    EXPECT_TRUE(grandchild->sub_environments.empty());
    EXPECT_THROW(root->add_environment(nullptr), std::invalid_argument);
    // A zone may still sit under two parents.
    auto other = zone("other");
    other->add_environment(grandchild);
    EXPECT_EQ(other->sub_environments.size(), 1u);
}

TEST(Environment, AddingChargesAdvancesTheRevision) {
    auto root = zone("root");
    const auto before = root->charges_revision;
    root->add_charge(Charge(1, ChargePolarity::POSITIVE, "c"));
    EXPECT_NE(root->charges_revision, before);
}

TEST(ZoneWalk, DeepestSupportedTreeWorksAndDeeperIsRefused) {
    auto deepest = chain(kMaxZoneDepth);
    EXPECT_NO_THROW(ensure_walkable(*deepest));
    const std::string text = to_json_text(deepest->to_json());
    EXPECT_EQ(text.rfind("\"id\":\"z99999\""), text.find("\"id\":\"z99999\""));

    auto too_deep = chain(kMaxZoneDepth + 1);
    EXPECT_THROW(ensure_walkable(*too_deep), TreeTooDeepError);
    EXPECT_THROW(too_deep->to_json(), TreeTooDeepError);
}

// Texts count as they are written, escaped; the largest event of a tree
// counts its texts again: a collapse writes the zone's id three times, a
// cast the zone's id twice, the agent's name three times and its visual id
// twice.
TEST(ZoneWalk, PlaceAndEventWorkCountEvery16BytesTheTextsAreWritten) {
    auto charged = zone("z");
    for (int i = 0; i < 3; ++i) charged->add_charge(Charge(1, ChargePolarity::POSITIVE, "8 bytes!"));
    auto with_agents = zone("z");  // each agent: "Chronomancer" and "abcd"
    with_agents->add_magician(std::make_shared<DoNothingAgent>("abcd"));
    with_agents->add_magician(std::make_shared<DoNothingAgent>("abcd"));
    with_agents->agents.push_back(nullptr);
    auto escaped = zone("\x01\x01");  // each byte written \u0001
    escaped->add_charge(Charge(1, ChargePolarity::POSITIVE, "\"\\\n"));  // \" \\ \n
    auto parent = zone("z");
    parent->sub_environments = {charged, charged};
    const struct {
        std::shared_ptr<Environment> zone;
        std::uint64_t place;
        std::uint64_t event;
    } cases[] = {
        {zone("z"), 1, 0},
        {zone(std::string(15, 'i')), 1, 45 / 16},
        {zone(std::string(16, 'i')), 2, 3},
        {charged, 1 + 3 + (1 + 24) / 16, 0},
        {with_agents, 1 + 3 + (1 + 2 * (12 + 4)) / 16, (2 + 3 * 12 + 2 * 4) / 16},
        {escaped, 1 + 1 + (12 + 6) / 16, 3 * 12 / 16},
        {parent, 1 + 2, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(place_work(*c.zone), c.place) << c.zone->id;
        EXPECT_EQ(event_work(*c.zone), c.event) << c.zone->id;
        EXPECT_GE(work_of_place_at_most(*c.zone).place, c.place) << c.zone->id;
        EXPECT_GE(work_of_place_at_most(*c.zone).event, c.event) << c.zone->id;
    }
    EXPECT_EQ(tree_work(*parent), 3 + 2 * 5);  // a shared zone counts at each place
    EXPECT_EQ(tree_work(*with_agents), 1 + 3 + 2 + 2);  // and the largest event once
}

// A tree whose walk does exactly `units` of work (at least 622,592), built
// cheaply through shared zones.
std::shared_ptr<Environment> tree_of_work(std::uint64_t units) {
    auto below = zone(std::string(240, 'x'));  // 2^15 places of 1 + 240 / 16
    for (int depth = 14; depth >= 0; --depth) {
        auto above = zone("c" + std::to_string(depth));  // 2^depth places of 1 + 2 slots
        above->sub_environments = {below, below};
        below = above;
    }
    // One more slot at the root, and one place of 1 + one per 16 bytes of an
    // id of 16a + r bytes, whose collapse writes it three times: 4a units and
    // 0, 1 or 2 more for r = 0, 6 or 11; a charge at the root makes 3.
    const std::uint64_t rest = units - 622591;
    const std::uint64_t extra = rest % 4;
    below->add_environment(zone(std::string(16 * (rest / 4) + (extra == 0 ? 0 : extra == 1 ? 6 : 11), 'p')));
    if (extra == 3) below->add_charge(Charge(1, ChargePolarity::POSITIVE, ""));
    return below;
}

TEST(ZoneWalk, WorkBoundTakesATreeAtItsValueAndRefusesOneUnitMore) {
    auto at_bound = tree_of_work(1000000);
    EXPECT_EQ(tree_work(*at_bound), 1000000U);
    EXPECT_NO_THROW(at_bound->to_json());
    auto beyond = tree_of_work(1000001);
    try {
        ensure_walkable(*beyond);
        FAIL() << "walked";
    } catch (const TreeTooLargeError& error) {
        EXPECT_STREQ(error.what(),
                     "the zone tree is larger than one call may walk (1000000 units: at every place a zone "
                     "stands, 1 for the zone, 1 for each charge, agent and sub-zone slot, 1 for each 16 "
                     "bytes of its texts as written, and of the largest event a frame may write); nothing was changed");
    }
}

TEST(ZoneWalk, DestroyingAMillionDeepChainDoesNotRecurse) {
    auto root = chain(1000000);
    root.reset();  // would overflow the stack if every level released the next
    SUCCEED();
}

TEST(ZoneWalk, VisitsSubZonesBeforeTheirParentInStoredOrder) {
    auto root = zone("r");
    auto a = zone("a");
    a->add_environment(zone("a1"));
    a->add_environment(zone("a2"));
    root->add_environment(a);
    root->add_environment(zone("b"));
    std::string order;
    walk_zones_post_order(*root, [&](Environment& z, Environment* parent, std::size_t index) {
        order += z.id + (parent ? "<" + parent->id + "#" + std::to_string(index) : "") + " ";
        return false;
    });
    EXPECT_EQ(order, "a1<a#0 a2<a#1 a<r#0 b<r#1 r ");
}

}  // namespace
}  // namespace qor
