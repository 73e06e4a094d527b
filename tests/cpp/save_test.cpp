// Saves of zone trees and levels: exact round trips, shared zones and agents,
// deep chains, and the refusal of every kind of damaged save.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/environment.h"
#include "model/zone_walk.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {
namespace {

const std::uint8_t* bytes_of(const std::string& save) {
    return reinterpret_cast<const std::uint8_t*>(save.data());
}

std::string resaved_zone(const std::string& save) {
    return save_zone(*load_zone(bytes_of(save), save.size()));
}

double from_bits(std::uint64_t bits) {
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A level with something of every kind a save must keep exactly.
std::shared_ptr<Environment> awkward_tree() {
    auto root = std::make_shared<Environment>(std::string("root\xff\0id", 8));
    root->add_charge(Charge(from_bits(0x7FF8000000000123ULL), ChargePolarity::POSITIVE, "nan"));
    root->add_charge(Charge(-0.0, static_cast<ChargePolarity>(7), std::string("\xc3(\0", 3)));
    root->add_charge(Charge(from_bits(1), ChargePolarity::NEGATIVE, "subnormal"));
    root->add_magician(std::make_shared<PlusMagician>("p"));
    auto gate = std::make_shared<InequalityGate>("j", -std::numeric_limits<double>::infinity(),
                                                 static_cast<InequalityGate::ComparisonType>(9));
    root->agents.push_back(gate);
    root->agents.push_back(nullptr);  // an empty slot means nothing: not saved
    root->is_time_frozen = true;
    auto shared = std::make_shared<Environment>("shared");
    shared->add_magician(std::make_shared<EqualsGate>("g", 5.0));
    shared->add_magician(std::make_shared<Chronomancer>("c"));
    auto left = std::make_shared<Environment>("left");
    left->add_environment(shared);
    left->agents.push_back(gate);  // the same agent object in two zones
    root->add_environment(left);
    root->add_environment(shared);
    root->sub_environments.push_back(nullptr);
    return root;
}

TEST(LevelSave, ChecksumIsCrc32) {
    const std::string text = "123456789";
    EXPECT_EQ(crc32(bytes_of(text), text.size()), 0xCBF43926U);
}

TEST(LevelSave, ZoneRoundTripIsExactAndKeepsSharing) {
    const std::string save = save_zone(*awkward_tree());
    auto loaded = load_zone(bytes_of(save), save.size());
    EXPECT_EQ(save_zone(*loaded), save);
    EXPECT_EQ(loaded->id, std::string("root\xff\0id", 8));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &loaded->charges[0].magnitude, sizeof bits);
    EXPECT_EQ(bits, 0x7FF8000000000123ULL);
    EXPECT_TRUE(std::signbit(loaded->charges[1].magnitude));
    EXPECT_EQ(static_cast<int>(loaded->charges[1].polarity), 7);
    EXPECT_TRUE(loaded->is_time_frozen);
    ASSERT_EQ(loaded->sub_environments.size(), 2U);
    ASSERT_EQ(loaded->agents.size(), 2U);
    const auto& left = loaded->sub_environments[0];
    EXPECT_EQ(left->sub_environments[0], loaded->sub_environments[1]);  // one zone, two places
    EXPECT_EQ(left->agents[0], loaded->agents[1]);                      // one agent, two places
    const auto& gate = dynamic_cast<const InequalityGate&>(*loaded->agents[1]);
    EXPECT_EQ(static_cast<int>(gate.comparison_type), 9);
    const auto text = [](const Environment& zone) {
        return zone.to_json().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    EXPECT_EQ(text(*loaded), text(*awkward_tree()));
}

TEST(LevelSave, LevelPlaysOnFrameForFrameLikeTheOriginal) {
    auto root = std::make_shared<Environment>("hall");
    root->add_charge(Charge(2, ChargePolarity::NEGATIVE, "frost"));
    root->add_magician(std::make_shared<PlusMagician>("adder"));
    auto forge = std::make_shared<Environment>("forge");
    forge->add_charge(Charge(4, ChargePolarity::POSITIVE, "a"));
    forge->add_charge(Charge(5, ChargePolarity::POSITIVE, "b"));
    forge->add_magician(std::make_shared<MultiplyMagician>("smith"));
    root->add_environment(forge);
    NarrativeSequencer original(root);
    original.current_frame = std::numeric_limits<std::int32_t>::max() - 3;
    original.max_frames = std::numeric_limits<std::int32_t>::max();
    original.next_frame_text();
    const std::string save = save_level(original);
    auto copy = load_level(bytes_of(save), save.size());
    EXPECT_EQ(save_level(*copy), save);
    EXPECT_EQ(copy->max_frames, original.max_frames);
    ASSERT_TRUE(copy->last_event.has_value());
    for (int frame = 0; frame < 6; ++frame) {
        EXPECT_EQ(copy->next_frame_text(), original.next_frame_text()) << "frame " << frame;
        EXPECT_EQ(save_level(*copy), save_level(original));
    }
    EXPECT_TRUE(copy->is_finished);
}

// Every member of a level comes back as it was saved, in each state a level
// can be in: fresh, in play, finished, and stopped at its frame limit.
TEST(LevelSave, LevelRoundTripKeepsTheCounterLimitFinishedFlagAndEvent) {
    struct State {
        const char* name;
        int frames_played;
        std::int32_t max_frames;
    };
    const State states[] = {{"fresh", 0, 1000}, {"in play", 1, 1000}, {"finished", 2, 1000},
                            {"after the end", 3, 1000}, {"at the limit", 2, 1}};
    for (const State& state : states) {
        SCOPED_TRACE(state.name);
        auto root = std::make_shared<Environment>("r");
        root->add_charge(Charge(2, ChargePolarity::POSITIVE, "a"));
        root->add_charge(Charge(3, ChargePolarity::POSITIVE, "b"));
        root->add_magician(std::make_shared<PlusMagician>("p"));
        NarrativeSequencer original(root);
        original.max_frames = state.max_frames;
        for (int frame = 0; frame < state.frames_played; ++frame) original.next_frame_text();
        const std::string save = save_level(original);
        auto copy = load_level(bytes_of(save), save.size());
        EXPECT_EQ(copy->current_frame, original.current_frame);
        EXPECT_EQ(copy->max_frames, original.max_frames);
        EXPECT_EQ(copy->is_finished, original.is_finished);
        ASSERT_EQ(copy->last_event.has_value(), original.last_event.has_value());
        if (original.last_event) {
            EXPECT_EQ(copy->last_event->to_json(), original.last_event->to_json());
        }
        EXPECT_EQ(copy->next_frame_text(), original.next_frame_text());
    }
}

std::shared_ptr<Environment> chain(std::size_t depth) {
    auto root = std::make_shared<Environment>("z0");
    Environment* last = root.get();
    for (std::size_t i = 1; i < depth; ++i) {
        auto next = std::make_shared<Environment>("z" + std::to_string(i));
        last->sub_environments.push_back(next);
        last = next.get();
    }
    last->add_charge(Charge(1, ChargePolarity::POSITIVE, "c"));
    return root;
}

TEST(LevelSave, DeepestPlayableChainSavesLoadsAndPlays) {
    NarrativeSequencer level(chain(kMaxZoneDepth));
    const std::string save = save_level(level);
    auto copy = load_level(bytes_of(save), save.size());
    EXPECT_EQ(save_level(*copy), save);
    EXPECT_EQ(copy->next_frame_text(), level.next_frame_text());
}

TEST(LevelSave, ChainTooDeepToPlaySavesAndLoadsButIsNotPlayed) {
    NarrativeSequencer level(chain(3 * kMaxZoneDepth));
    const std::string save = save_level(level);
    auto copy = load_level(bytes_of(save), save.size());
    EXPECT_EQ(save_level(*copy), save);
    EXPECT_THROW(copy->next_frame_text(), TreeTooDeepError);
}

TEST(LevelSave, LatticeOfSharedZonesSavesEachZoneOnce) {
    // 15 layers of two zones, each listing both zones of the next layer:
    // 2^16 - 1 places of 5 units or fewer, 31 zones.
    auto root = std::make_shared<Environment>("root");
    std::vector<std::shared_ptr<Environment>> layer{root};
    for (int depth = 0; depth < 15; ++depth) {
        std::vector<std::shared_ptr<Environment>> next{std::make_shared<Environment>("a"),
                                                       std::make_shared<Environment>("b")};
        for (auto& zone : layer) {
            for (auto& sub_zone : next) zone->sub_environments.push_back(sub_zone);
        }
        layer = next;
    }
    const std::string save = save_zone(*root);
    EXPECT_LT(save.size(), 10000U);
    EXPECT_EQ(resaved_zone(save), save);
    // Six more layers, each listing the next zone twice, take it past the
    // work bound: then it is not saved.
    for (int depth = 0; depth < 6; ++depth) {
        auto next = std::make_shared<Environment>("n");
        for (auto& zone : layer) zone->sub_environments.insert(zone->sub_environments.end(), 2, next);
        layer = {next};
    }
    EXPECT_THROW(save_zone(*root), TreeTooLargeError);
}

class ForeignAgent : public MagicianAgent {
public:
    ForeignAgent() : MagicianAgent("Foreign", 1, "f") {}
    bool CastSpell(std::vector<Charge>&) override { return false; }
};

TEST(LevelSave, SaveRefusesWhatNoSaveCanHold) {
    auto zone = std::make_shared<Environment>("z");
    zone->agents.push_back(std::make_shared<ForeignAgent>());
    EXPECT_THROW(save_zone(*zone), std::invalid_argument);
    auto cycle = std::make_shared<Environment>("c");
    cycle->sub_environments.push_back(cycle);
    EXPECT_THROW(save_zone(*cycle), std::invalid_argument);
    cycle->sub_environments.clear();
}

// ---------------------------------------------------------------------------
// Damaged saves, written byte by byte.

class Bytes {
public:
    Bytes& u8(std::uint8_t value) {
        text_.push_back(static_cast<char>(value));
        return *this;
    }
    Bytes& u16(std::uint16_t value) { return u8(value & 0xFF).u8(value >> 8); }
    Bytes& u32(std::uint32_t value) { return u16(value & 0xFFFF).u16(value >> 16); }
    Bytes& u64(std::uint64_t value) { return u32(value & 0xFFFFFFFFU).u32(value >> 32); }
    Bytes& text(const std::string& value) {
        u32(static_cast<std::uint32_t>(value.size()));
        text_ += value;
        return *this;
    }
    Bytes& raw(const std::string& value) {
        text_ += value;
        return *this;
    }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

const std::string kMagic("\x89QOR\r\n\x1a\n", 8);

// A save around `content`, its length and checksum right.
std::string framed(const std::string& content, std::uint16_t kind = 1, std::uint16_t version = 1) {
    Bytes out;
    out.raw(kMagic).u16(version).u16(kind).u64(content.size()).raw(content);
    const std::string& bytes = out.str();
    return Bytes().raw(bytes).u32(crc32(bytes_of(bytes), bytes.size())).str();
}

// A zone's record with no charges and no agents.
Bytes& zone_record(Bytes& out, const std::vector<std::uint32_t>& sub_zones,
                   const std::vector<std::uint32_t>& agents = {}) {
    out.text("z").u8(0).u32(0).u32(static_cast<std::uint32_t>(agents.size()));
    for (std::uint32_t agent : agents) out.u32(agent);
    out.u32(static_cast<std::uint32_t>(sub_zones.size()));
    for (std::uint32_t sub_zone : sub_zones) out.u32(sub_zone);
    return out;
}

Bytes& plus_magician(Bytes& out) {
    return out.u8(10).text("Plus Magician").u32(10).text("p").u32(0);
}

struct DamagedSave {
    const char* name;
    std::string save;
    const char* message;
};

std::ostream& operator<<(std::ostream& out, const DamagedSave& damaged) { return out << damaged.name; }

std::string good_save() { return save_zone(*chain(3)); }

std::string changed(std::string save, std::size_t at, char value) {
    save[at] = value;
    return save;
}

std::vector<DamagedSave> damaged_saves() {
    const std::string good = good_save();
    Bytes billion;
    billion.u32(0).u32(1000000000).raw(std::string(8, '\0'));
    Bytes self_child;
    zone_record(zone_record(self_child.u32(0).u32(2), {1}), {1});
    Bytes earlier_child;
    zone_record(zone_record(zone_record(earlier_child.u32(0).u32(3), {2, 1}), {}), {1});
    Bytes beyond;
    zone_record(beyond.u32(0).u32(1), {5});
    // A walk leaves a zone's sub-zones last to first, so the first one listed
    // gets the higher number: a root listing 1 then 2 is out of order.
    Bytes out_of_order;
    zone_record(zone_record(zone_record(out_of_order.u32(0).u32(3), {1, 2}), {}), {});
    Bytes unreachable;
    zone_record(zone_record(unreachable.u32(0).u32(2), {}), {});
    Bytes bad_flag;
    bad_flag.u32(0).u32(1).text("z").u8(2).u32(0).u32(0).u32(0);
    Bytes unknown_kind;
    zone_record(unknown_kind.u32(1).u8(14).text("X").u32(0).text("x").u32(0).u32(1), {}, {1});
    Bytes unplaced_agent;
    zone_record(plus_magician(unplaced_agent.u32(1)).u32(1), {});
    Bytes agent_ref_skips;
    zone_record(plus_magician(plus_magician(agent_ref_skips.u32(2))).u32(1), {}, {2, 1});
    Bytes no_zones;
    no_zones.u32(0).u32(0);
    Bytes left_over;
    zone_record(left_over.u32(0).u32(1), {}).u8(0);
    Bytes long_text;
    long_text.u32(0).u32(1).u32(0xFFFFFFFFU).raw(std::string(16, '\0'));
    Bytes cut_content;  // an equals gate without its target and flag
    cut_content.u32(1).u8(12).text("").u32(0).text("").u32(0);
    return {
        {"empty", "", "cut short"},
        {"header only in part", good.substr(0, 10), "cut short"},
        {"last byte missing", good.substr(0, good.size() - 1), "cut short"},
        {"a byte more", good + '\0', "1 trailing bytes after its end"},
        {"changed content byte", changed(good, 30, 'Q'), "checksum mismatch"},
        {"changed checksum", changed(good, good.size() - 1, '\x55'), "checksum mismatch"},
        {"bad magic", changed(good, 1, 'X'), "bad magic number"},
        {"JSON text", "{\"agents\":[]}", "bad magic number"},
        {"newer version", framed(billion.str(), 1, 2), "newer format version (2)"},
        {"version 0", framed(billion.str(), 1, 0), "unknown format version 0"},
        {"level save", framed(billion.str(), 2), "this is a level save"},
        {"unknown kind", framed(billion.str(), 9), "unknown save kind 9"},
        {"a billion zones in 40 bytes", framed(billion.str()), "claims 1000000000 zones"},
        {"a string longer than the save", framed(long_text.str()), "claims 4294967295"},
        {"content cut short", framed(cut_content.str()), "ends in the middle of a gate's target"},
        {"zone its own child", framed(self_child.str()), "bad index"},
        {"child before parent", framed(earlier_child.str()), "bad index"},
        {"child beyond the zones", framed(beyond.str()), "bad index"},
        {"zones out of walk order", framed(out_of_order.str()), "not numbered in the saved order"},
        {"zone not reachable", framed(unreachable.str()), "not numbered in the saved order"},
        {"flag neither 0 nor 1", framed(bad_flag.str()), "bad value 2"},
        {"unknown agent kind", framed(unknown_kind.str()), "unknown agent kind 14"},
        {"agent in no zone", framed(unplaced_agent.str()), "stand in no zone"},
        {"agents out of order", framed(agent_ref_skips.str()), "bad index"},
        {"no zones", framed(no_zones.str()), "no zones"},
        {"bytes left in the content", framed(left_over.str()), "trailing bytes after the level"},
    };
}

class DamagedSaves : public testing::TestWithParam<DamagedSave> {};

TEST_P(DamagedSaves, AreRefusedSayingWhatIsWrong) {
    const DamagedSave& damaged = GetParam();
    try {
        load_zone(bytes_of(damaged.save), damaged.save.size());
        FAIL() << "loaded";
    } catch (const SaveFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(damaged.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(LevelSave, DamagedSaves, testing::ValuesIn(damaged_saves()),
                         [](const testing::TestParamInfo<DamagedSave>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST(LevelSave, HandWrittenSavesInSavedOrderLoadAndResaveAlike) {
    Bytes diamond;  // root lists 2 and 1; both list 3
    zone_record(diamond.u32(0).u32(4), {2, 1});
    zone_record(diamond, {3});
    zone_record(diamond, {3});
    zone_record(diamond, {});
    const std::string save = framed(diamond.str());
    auto root = load_zone(bytes_of(save), save.size());
    EXPECT_EQ(root->sub_environments[0]->sub_environments[0], root->sub_environments[1]->sub_environments[0]);
    EXPECT_EQ(save_zone(*root), save);
}

TEST(LevelSave, LevelSaveIsRefusedAsAZoneAndTheOtherWayRound) {
    NarrativeSequencer level(chain(2));
    const std::string level_save = save_level(level);
    const std::string zone_save = good_save();
    EXPECT_THROW(load_zone(bytes_of(level_save), level_save.size()), SaveFormatError);
    EXPECT_THROW(load_level(bytes_of(zone_save), zone_save.size()), SaveFormatError);
}

// Saves that are whole and well numbered but hold what no host could have
// built, or a tree beyond the work bound: refused before anything is made.
TEST(LevelSave, LoadsRefuseLevelsNoHostCouldBuild) {
    const auto gate = [](Bytes& out, std::uint8_t kind, std::uint8_t open) -> Bytes& {
        out.u8(kind).text("Gate").u32(0).text("g").u32(0);
        if (kind == 13) out.u32(0);
        return out.u64(0).u8(open);
    };
    Bytes empty_agent_slot;
    zone_record(plus_magician(empty_agent_slot.u32(1)).u32(1), {}, {0, 1});
    Bytes empty_sub_zone_slot;
    zone_record(zone_record(empty_sub_zone_slot.u32(0).u32(2), {0, 1}), {});
    Bytes active_agent;
    zone_record(active_agent.u32(1).u8(10).text("Plus Magician").u32(10).text("p").u32(1).u32(1), {}, {1});
    Bytes open_gate;
    zone_record(gate(open_gate.u32(1), 12, 1).u32(1), {}, {1});
    Bytes open_judge;
    zone_record(gate(open_judge.u32(1), 13, 1).u32(1), {}, {1});
    Bytes closed_judge;
    zone_record(gate(closed_judge.u32(1), 13, 0).u32(1), {}, {1});
    Bytes lattice;  // 21 zones, each listing the next twice: 2^20 places of the last
    lattice.u32(0).u32(21);
    for (std::uint32_t zone = 0; zone < 20; ++zone) zone_record(lattice, {zone + 1, zone + 1});
    zone_record(lattice, {});
    // Texts count as a frame writes them: 900,000 bytes written 6 wide, as
    // an id (three times with the event of a collapse) or an agent's visual
    // id (three times with its cast), are beyond the bound.
    const std::string controls(900000, '\x01');
    Bytes control_id;
    control_id.u32(0).u32(1).text(controls).u8(0).u32(0).u32(0).u32(0);
    Bytes letter_id;
    letter_id.u32(0).u32(1).text(std::string(controls.size(), 'x')).u8(0).u32(0).u32(0).u32(0);
    Bytes control_visual_id;
    zone_record(control_visual_id.u32(1).u8(10).text("Plus Magician").u32(10).text(controls).u32(0).u32(1), {}, {1});
    const auto level = [](std::int32_t max_frames, const Bytes& tree) {
        return framed(Bytes().u32(0).u32(static_cast<std::uint32_t>(max_frames)).u8(0).u8(0).raw(tree.str()).str(), 2);
    };
    Bytes one_zone;
    zone_record(one_zone.u32(0).u32(1), {});
    const struct {
        std::string save;
        const char* message;  // empty: the save loads
    } cases[] = {
        {framed(empty_agent_slot.str()), "bad index: zone 0 has an empty agent slot (agent reference 0)"},
        {framed(empty_sub_zone_slot.str()), "bad index: zone 0 has an empty sub-zone slot (sub-zone reference 0)"},
        {framed(active_agent.str()), "bad value 1 for the state of agent 1 (between frames every agent is dormant, 0)"},
        {framed(open_gate.str()), "agent 1 is an open gate that still stands in a zone"},
        {framed(open_judge.str()), "agent 1 is an open gate that still stands in a zone"},
        {framed(closed_judge.str()), ""},
        {framed(lattice.str()), "the zone tree is larger than one call may walk (1000000 units"},
        {framed(control_id.str()), "the zone tree is larger than one call may walk (1000000 units"},
        {framed(control_visual_id.str()), "the zone tree is larger than one call may walk (1000000 units"},
        {framed(letter_id.str()), ""},
        {level(0, one_zone), "bad value 0 for the frame limit (at least 1 frame)"},
        {level(std::numeric_limits<std::int32_t>::min(), one_zone), "bad value -2147483648 for the frame limit"},
        {level(1, one_zone), ""},
    };
    for (const auto& c : cases) {
        const bool is_level = c.save[10] == 2;
        try {
            if (is_level) {
                EXPECT_EQ(save_level(*load_level(bytes_of(c.save), c.save.size())), c.save);
            } else {
                EXPECT_EQ(save_zone(*load_zone(bytes_of(c.save), c.save.size())), c.save);
            }
            EXPECT_STREQ(c.message, "") << "loaded";
        } catch (const SaveFormatError& error) {
            EXPECT_NE(c.message[0], '\0') << error.what();
            EXPECT_EQ(std::string(error.what()).rfind(std::string("cannot load the save: ") + c.message, 0), 0U)
                << error.what();
        }
    }
}

}  // namespace
}  // namespace qor
