// Frame patches: the diff of two zone texts names the smallest members that
// changed, and applied to the old value (nlohmann's json::patch) it gives the
// new one; the sequencer keeps the last frame returned as the next base.
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/environment.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "patch/frame_patch.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {
namespace {

using Json = nlohmann::json;

struct Snapshot {
    std::string text;
    ZoneTextLayout layout;
};

Snapshot snapshot(const Environment& root) {
    Snapshot made;
    write_zone_json_text(made.text, root, nullptr, &made.layout);
    return made;
}

std::string patch_between(const Snapshot& before, const Snapshot& after) {
    return zone_text_patch({before.text, before.layout}, {after.text, after.layout});
}

Charge charge(double magnitude, const std::string& id) { return Charge(magnitude, ChargePolarity::POSITIVE, id); }

// hall [c1; adder] { forge [a, b, c; smith, gate], cellar [x] { deep [y] } }
struct Level {
    std::shared_ptr<Environment> hall = std::make_shared<Environment>("hall");
    std::shared_ptr<Environment> forge = std::make_shared<Environment>("forge");
    std::shared_ptr<Environment> cellar = std::make_shared<Environment>("cellar");
    std::shared_ptr<Environment> deep = std::make_shared<Environment>("deep");

    Level() {
        hall->add_charge(charge(1, "c1"));
        hall->add_magician(std::make_shared<PlusMagician>("adder"));
        for (const char* id : {"a", "b", "c"}) forge->add_charge(charge(2, id));
        forge->add_magician(std::make_shared<MultiplyMagician>("smith"));
        forge->add_magician(std::make_shared<EqualsGate>("gate", 3.0));
        cellar->add_charge(charge(4, "x"));
        deep->add_charge(charge(5, "y"));
        hall->add_environment(forge);
        hall->add_environment(cellar);
        cellar->add_environment(deep);
    }
};

struct PatchCase {
    const char* name;
    std::function<void(Level&)> change;
    const char* expected;
    std::function<void(Level&)> setup = [](Level&) {};
};

const PatchCase kCases[] = {
    {"nothing", [](Level&) {}, "[]"},
    {"spell_keeping_a_charge",
     [](Level& l) {
         l.forge->charges = {charge(2, "a"), charge(4, "result_smith")};
         l.forge->agents.erase(l.forge->agents.begin());
     },
     R"([{"op":"remove","path":"/sub_environments/0/agents/0"},)"
     R"({"op":"replace","path":"/sub_environments/0/charges/1","value":{"magnitude":4.0,"polarity":"positive","visual_id":"result_smith"}},)"
     R"({"op":"remove","path":"/sub_environments/0/charges/2"}])"},
    {"spell_keeping_no_charge",
     [](Level& l) {
         l.forge->charges = {charge(8, "r")};
         l.forge->agents.pop_back();
     },
     R"([{"op":"remove","path":"/sub_environments/0/agents/1"},)"
     R"({"op":"replace","path":"/sub_environments/0/charges","value":[{"magnitude":8.0,"polarity":"positive","visual_id":"r"}]}])"},
    {"merge",
     [](Level& l) {
         l.cellar->charges.push_back(l.deep->charges.front());
         l.cellar->sub_environments.clear();
     },
     R"([{"op":"add","path":"/sub_environments/1/charges/1","value":{"magnitude":5.0,"polarity":"positive","visual_id":"y"}},)"
     R"({"op":"remove","path":"/sub_environments/1/sub_environments/0"}])"},
    {"flags",
     [](Level& l) {
         l.cellar->is_time_frozen = true;
         l.forge->is_time_frozen = true;  // without sub-zones it never reports frozen
     },
     R"([{"op":"replace","path":"/sub_environments/1/is_time_frozen","value":true}])"},
    {"renamed_with_tilde_and_slash", [](Level& l) { l.deep->id = "~/a"; },
     R"([{"op":"replace","path":"/sub_environments/1/sub_environments/0/id","value":"~/a"}])"},
    {"host_edits",
     [](Level& l) {
         l.hall->charges.front().magnitude = -0.0;
         l.hall->add_magician(std::make_shared<Chronomancer>("time"));
         l.forge->charges.insert(l.forge->charges.begin() + 1, charge(7, "new"));
     },
     R"([{"op":"add","path":"/agents/1","value":{"name":"Chronomancer","priority":100,"state":"dormant","visual_id":"time"}},)"
     R"({"op":"replace","path":"/charges/0","value":{"magnitude":-0.0,"polarity":"positive","visual_id":"c1"}},)"
     R"({"op":"add","path":"/sub_environments/0/charges/1","value":{"magnitude":7.0,"polarity":"positive","visual_id":"new"}}])"},
    {"zone_added", [](Level& l) { l.hall->add_environment(std::make_shared<Environment>("attic")); },
     R"([{"op":"add","path":"/sub_environments/2","value":{"agents":[],"charges":[],"id":"attic","is_time_frozen":false,"sub_environments":[]}}])"},
    {"zone_dropped_beside_a_changed_one",
     [](Level& l) {
         l.hall->sub_environments.erase(l.hall->sub_environments.begin());
         l.cellar->charges.front().visual_id = "x2";
     },
     R"([{"op":"replace","path":"/sub_environments/1/charges/0","value":{"magnitude":4.0,"polarity":"positive","visual_id":"x2"}},)"
     R"({"op":"remove","path":"/sub_environments/0"}])"},
    {"shared_zone_changes_at_every_place", [](Level& l) { l.deep->charges.front().magnitude = 6; },
     R"([{"op":"replace","path":"/sub_environments/0/sub_environments/0/charges/0","value":{"magnitude":6.0,"polarity":"positive","visual_id":"y"}},)"
     R"({"op":"replace","path":"/sub_environments/1/sub_environments/0/charges/0","value":{"magnitude":6.0,"polarity":"positive","visual_id":"y"}}])",
     [](Level& l) { l.forge->add_environment(l.deep); }},
    // A host renames a sub-zone and adds or removes a sibling on either side:
    // the renamed zone is still matched with itself, so the patch renames it
    // and adds or removes the sibling alone.
    {"renamed_and_a_sibling_added_after",
     [](Level& l) {
         l.cellar->id = "vault";
         l.hall->add_environment(std::make_shared<Environment>("attic"));
     },
     R"([{"op":"replace","path":"/sub_environments/1/id","value":"vault"},)"
     R"({"op":"add","path":"/sub_environments/2","value":{"agents":[],"charges":[],"id":"attic","is_time_frozen":false,"sub_environments":[]}}])"},
    {"renamed_and_a_sibling_added_before",
     [](Level& l) {
         l.cellar->id = "vault";
         l.hall->sub_environments.insert(l.hall->sub_environments.begin(), std::make_shared<Environment>("attic"));
     },
     R"([{"op":"replace","path":"/sub_environments/1/id","value":"vault"},)"
     R"({"op":"add","path":"/sub_environments/0","value":{"agents":[],"charges":[],"id":"attic","is_time_frozen":false,"sub_environments":[]}}])"},
    {"renamed_and_the_sibling_after_removed",
     [](Level& l) {
         l.forge->id = "smithy";
         l.hall->sub_environments.pop_back();
     },
     R"([{"op":"replace","path":"/sub_environments/0/id","value":"smithy"},)"
     R"({"op":"remove","path":"/sub_environments/1"}])"},
    {"renamed_and_the_sibling_before_removed",
     [](Level& l) {
         l.cellar->id = "vault";
         l.hall->sub_environments.erase(l.hall->sub_environments.begin());
     },
     R"([{"op":"replace","path":"/sub_environments/1/id","value":"vault"},)"
     R"({"op":"remove","path":"/sub_environments/0"}])"},
    {"charges_trimmed", [](Level& l) { l.forge->charges.erase(l.forge->charges.begin() + 1, l.forge->charges.end()); },
     R"([{"op":"remove","path":"/sub_environments/0/charges/2"},{"op":"remove","path":"/sub_environments/0/charges/1"}])"},
    {"agents_all_replaced_by_fewer",
     [](Level& l) { l.forge->agents = {std::make_shared<Chronomancer>("t")}; },
     R"([{"op":"replace","path":"/sub_environments/0/agents","value":[{"name":"Chronomancer","priority":100,"state":"dormant","visual_id":"t"}]}])"},
};

void PrintTo(const PatchCase& c, std::ostream* out) { *out << c.name; }

class ZoneTextPatch : public ::testing::TestWithParam<PatchCase> {};

TEST_P(ZoneTextPatch, NamesTheSmallestMembersAndAppliesExactly) {
    Level level;
    GetParam().setup(level);
    const Snapshot before = snapshot(*level.hall);
    GetParam().change(level);
    const Snapshot after = snapshot(*level.hall);
    const std::string patch = patch_between(before, after);
    EXPECT_EQ(patch, GetParam().expected);
    EXPECT_EQ(Json::parse(before.text).patch(Json::parse(patch)), Json::parse(after.text));
}

TEST_P(ZoneTextPatch, ScanningATextFindsTheLayoutRecordedWhileWritingIt) {
    Level level;
    GetParam().setup(level);
    GetParam().change(level);
    level.deep->id = "\"}],\\";  // structure in a string must not mislead the scan
    const Snapshot written = snapshot(*level.hall);
    ZoneTextLayout scanned;
    ASSERT_TRUE(scan_zone_text_layout(written.text, scanned));
    ASSERT_EQ(scanned.zones.size(), written.layout.zones.size());
    EXPECT_EQ(scanned.item_begins, written.layout.item_begins);
    for (std::size_t i = 0; i < scanned.zones.size(); ++i) {
        const ZoneTextLayout::Zone& a = scanned.zones[i];
        const ZoneTextLayout::Zone& b = written.layout.zones[i];
        EXPECT_EQ(std::vector<std::size_t>({a.begin, a.end, a.agents_close, a.charges_open, a.charges_close,
                                            a.id_begin, a.id_end, a.extra_begin, a.extra_end, a.sub_zones_open,
                                            a.first_item, a.agent_count, a.charge_count, a.sub_zone_count,
                                            a.after, a.frozen}),
                  std::vector<std::size_t>({b.begin, b.end, b.agents_close, b.charges_open, b.charges_close,
                                            b.id_begin, b.id_end, b.extra_begin, b.extra_end, b.sub_zones_open,
                                            b.first_item, b.agent_count, b.charge_count, b.sub_zone_count,
                                            b.after, b.frozen}))
            << "zone " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ZoneTextPatch, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZoneTextPatch, ScanRefusesTextOfAnotherForm) {
    ZoneTextLayout layout;
    for (const char* text : {"", "{}", "[]", R"({"agents":[],"charges":[],"id":"a","is_time_frozen":false,"sub_environments":[]})"
                                              "x",
                             R"({"agents":[],"charges":[],"id":"a","is_time_frozen":0,"sub_environments":[]})",
                             R"({"agents":[,],"charges":[],"id":"a","is_time_frozen":false,"sub_environments":[]})"}) {
        EXPECT_FALSE(scan_zone_text_layout(text, layout)) << text;
    }
}

TEST(ZoneTextPatch, PointerTokensEscapeTildeThenSlash) {
    const std::pair<const char*, const char*> table[] = {{"", "/"}, {"a", "/a"}, {"~", "/~0"}, {"/", "/~1"},
                                                         {"~1", "/~01"}, {"a/b~c", "/a~1b~0c"}};
    for (const auto& [token, expected] : table) {
        std::string pointer;
        append_pointer_token(pointer, token);
        EXPECT_EQ(pointer, expected);
    }
}

// The deepest chain the engine walks, with a zone added beside the chain at
// the top (so the chain is compared as a whole) and a change at its bottom.
TEST(ZoneTextPatch, DeepChainsAreComparedWithoutRecursion) {
    auto root = std::make_shared<Environment>("root");
    std::shared_ptr<Environment> bottom = root;
    for (std::size_t depth = 1; depth < kMaxZoneDepth; ++depth) {
        auto below = std::make_shared<Environment>("z");
        bottom->sub_environments.push_back(below);
        bottom = below;
    }
    const Snapshot before = snapshot(*root);
    bottom->id = "y";
    root->sub_environments.push_back(std::make_shared<Environment>("side"));
    const Snapshot after = snapshot(*root);
    std::string bottom_path;
    for (std::size_t depth = 1; depth < kMaxZoneDepth; ++depth) bottom_path += "/sub_environments/0";
    EXPECT_EQ(patch_between(before, after),
              R"([{"op":"replace","path":")" + bottom_path + R"(/id","value":"y"},)"
              R"({"op":"add","path":"/sub_environments/1","value":{"agents":[],"charges":[],"id":"side","is_time_frozen":false,"sub_environments":[]}}])");
}

// --- the sequencer's base --------------------------------------------------

Json patched(const Json& document, const std::string& patch) { return document.patch(Json::parse(patch)); }

TEST(FramePatch, FirstPatchReplacesTheWholeDocumentThenEachNamesWhatChanged) {
    Level level;
    NarrativeSequencer patches(level.hall);
    Level twin;
    NarrativeSequencer frames(twin.hall);
    const std::string first = patches.next_frame_patch();
    const Json frame = Json::parse(frames.next_frame_text());
    EXPECT_EQ(Json::parse(first), Json::array({{{"op", "replace"}, {"path", ""}, {"value", frame}}}));
    Json kept = frame;
    while (!frames.is_finished) {
        const std::string patch = patches.next_frame_patch();
        kept = patched(kept, patch);
        EXPECT_EQ(kept, Json::parse(frames.next_frame_text()));
        EXPECT_NE(patch.find(R"("path":"/meta/frame_index")"), std::string::npos) << patch;
    }
}

// A host renames a sub-zone and adds or removes a sibling before a frame
// that casts in another sub-zone: the patch renames the zone and adds or
// removes the sibling alone, beside what the spell changed.
// hall { store [2 charges; plus], forge [2 charges; adder], cellar [2 charges] }:
// the first frame casts in store, the second in forge.
TEST(FramePatch, AHostsRenameAndNewOrRemovedSiblingAreTheirOwnOperations) {
    const auto build = [] {
        auto hall = std::make_shared<Environment>("hall");
        for (const char* id : {"store", "forge", "cellar"}) {
            auto sub_zone = std::make_shared<Environment>(id);
            sub_zone->add_charge(charge(1, std::string(id) + "1"));
            sub_zone->add_charge(charge(2, std::string(id) + "2"));
            hall->add_environment(sub_zone);
        }
        hall->sub_environments[0]->add_magician(std::make_shared<PlusMagician>("plus"));
        hall->sub_environments[1]->add_magician(std::make_shared<PlusMagician>("adder"));
        return hall;
    };
    const std::string spell =
        R"({"op":"remove","path":"/sub_environments/1/agents/0"},)"
        R"({"op":"replace","path":"/sub_environments/1/charges","value":[{"magnitude":3.0,"polarity":"positive","visual_id":"result_adder"}]},)";
    const struct {
        std::function<void(Environment&)> edit;
        std::string expected;  // after the members of "meta"
    } cases[] = {
        {[](Environment& hall) {
             hall.sub_environments[2]->id = "vault";
             hall.sub_environments.insert(hall.sub_environments.begin(), std::make_shared<Environment>("attic"));
         },
         R"({"op":"replace","path":"/sub_environments/2/id","value":"vault"},)" + spell +
             R"({"op":"add","path":"/sub_environments/0","value":{"agents":[],"charges":[],"id":"attic","is_time_frozen":false,"sub_environments":[]}}])"},
        {[](Environment& hall) {
             hall.sub_environments[2]->id = "vault";
             hall.sub_environments.erase(hall.sub_environments.begin());
         },
         R"({"op":"replace","path":"/sub_environments/2/id","value":"vault"},)" + spell +
             R"({"op":"remove","path":"/sub_environments/0"}])"},
    };
    for (const auto& c : cases) {
        auto hall = build();
        NarrativeSequencer patches(hall);
        Json kept = patched(Json(), patches.next_frame_patch());
        c.edit(*hall);
        const std::string patch = patches.next_frame_patch();
        const std::size_t zones_begin = patch.find(R"({"op":"replace","path":"/sub_environments)");
        ASSERT_NE(zones_begin, std::string::npos) << patch;
        EXPECT_EQ(patch.substr(zones_begin), c.expected);
        Json expected = Json::parse(zone_json_text(*hall));
        kept = patched(kept, patch);
        expected["meta"] = kept["meta"];
        EXPECT_EQ(kept, expected);
    }
}

// Frames answered without keeping their text leave no base; a frame that
// raises, or is dropped unkept, leaves the base where it was.
TEST(FramePatch, BaseIsTheLastFrameKept) {
    Level level;
    NarrativeSequencer sequencer(level.hall);
    const std::string whole_prefix = R"([{"op":"replace","path":"","value":)";
    (void)sequencer.next_frame_patch();
    (void)sequencer.NextFrame();
    EXPECT_EQ(sequencer.next_frame_patch().rfind(whole_prefix, 0), 0U);
    (void)sequencer.next_frame_text();
    EXPECT_EQ(sequencer.next_frame_patch().rfind(whole_prefix, 0), 0U);

    Json kept;
    {
        NarrativeSequencer::PendingFrame frame = sequencer.begin_frame();
        kept = Json::parse(frame.keep_text());
        frame.commit();
    }
    {
        NarrativeSequencer::PendingFrame dropped = sequencer.begin_frame();
        (void)dropped.patch_text();
    }
    level.hall->id = "\xff";
    EXPECT_THROW((void)sequencer.next_frame_patch(), Json::type_error);
    level.hall->id = "hall again";
    const std::string patch = sequencer.next_frame_patch();
    EXPECT_EQ(patch.rfind(whole_prefix, 0), std::string::npos) << patch;
    kept = patched(kept, patch);
    EXPECT_EQ(kept["id"], "hall again");
    Json expected = Json::parse(zone_json_text(*level.hall));
    expected["meta"] = kept["meta"];
    EXPECT_EQ(kept, expected);
}

// --- patches written from what the frame changed ----------------------------

// Levels whose frames cast, collapse, change freeze flags, open a gate that
// also stands in a frozen zone, and change a zone placed under two parents;
// a host edit, counted, between some frames.
struct CountedCase {
    const char* name;
    std::function<std::shared_ptr<Environment>()> build;
    std::function<void(Environment&, int frame)> edit;  // counted; may do nothing
};

std::shared_ptr<Environment> resolving_chain() {
    // root [1; plus] { a [1, 2; plus] { b [3, 4; plus], twin [5] , twin2 [5] }, c [6] }
    auto root = std::make_shared<Environment>("root");
    auto a = std::make_shared<Environment>("a");
    auto b = std::make_shared<Environment>("b");
    root->add_charge(charge(1, "r"));
    root->add_magician(std::make_shared<PlusMagician>("p0"));
    a->add_charge(charge(1, "a1"));
    a->add_charge(charge(2, "a2"));
    a->add_magician(std::make_shared<PlusMagician>("p1"));
    b->add_charge(charge(3, "b1"));
    b->add_charge(charge(4, "b2"));
    b->add_magician(std::make_shared<PlusMagician>("p2"));
    a->add_environment(b);
    for (int i = 0; i < 2; ++i) {  // alike resolved siblings: either may be the one removed
        auto twin = std::make_shared<Environment>("twin");
        twin->add_charge(charge(5, "t"));
        a->add_environment(twin);
    }
    root->add_environment(a);
    auto c = std::make_shared<Environment>("c");
    c->add_charge(charge(6, "c1"));
    root->add_environment(c);
    return root;
}

std::shared_ptr<Environment> shared_zone_and_gate() {
    // root { left { shared [1, 2; plus, gate] }, right { shared }, frozen [1; gate] { busy [1, 2; chrono] } }
    auto root = std::make_shared<Environment>("root");
    auto shared = std::make_shared<Environment>("shared");
    shared->add_charge(charge(1, "s1"));
    shared->add_charge(charge(2, "s2"));
    auto gate = std::make_shared<EqualsGate>("gate", 3.0);
    shared->add_magician(gate);
    shared->add_magician(std::make_shared<PlusMagician>("plus"));
    for (const char* id : {"left", "right"}) {
        auto side = std::make_shared<Environment>(id);
        side->add_environment(shared);
        root->add_environment(side);
    }
    auto frozen = std::make_shared<Environment>("frozen");
    frozen->add_charge(charge(1, "f"));
    frozen->agents.push_back(gate);  // the same gate, held back while busy is unresolved
    auto busy = std::make_shared<Environment>("busy");
    busy->add_charge(charge(1, "u1"));
    busy->add_charge(charge(2, "u2"));
    busy->add_magician(std::make_shared<Chronomancer>("chrono"));
    frozen->add_environment(busy);
    root->add_environment(frozen);
    return root;
}

TEST(FramePatch, CountedEditsGiveTheSamePatchesAsComparingWholeTexts) {
    const auto none = [](Environment&, int) {};
    const CountedCase cases[] = {
        {"the level", [] { return Level().hall; }, none},
        {"a chain resolving", resolving_chain, none},
        {"a shared zone and gate", shared_zone_and_gate, none},
        {"host edits", resolving_chain,
         [](Environment& root, int frame) {
             if (frame % 3 == 1) {
                 root.sub_environments.back()->id += "!";
                 note_tree_edit();
             }
             if (frame == 4) root.add_charge(charge(7, "late"));
         }},
    };
    // Each level plays alone: a frame of another sequencer counts as an edit.
    const auto play = [](const CountedCase& c, TreeEdits edits) {
        auto root = c.build();
        NarrativeSequencer sequencer(root);
        std::vector<std::string> patches;
        for (int frame = 0; frame < 20; ++frame) {
            c.edit(*root, frame);
            patches.push_back(sequencer.next_frame_patch(edits));
        }
        return patches;
    };
    for (const CountedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(play(c, TreeEdits::COUNTED), play(c, TreeEdits::ANY));
    }
}

}  // namespace
}  // namespace qor
