#include "saving/level_save.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "level_file/level_play.h"
#include "model/json_text.h"
#include "model/zone_walk.h"
#include "spells/agent_kinds.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {

namespace {

// ---------------------------------------------------------------------------
// The frame around the content: magic, version, kind, content length, then
// the content, then a CRC-32 of everything before it.

constexpr std::array<std::uint8_t, 8> kMagic{0x89, 'Q', 'O', 'R', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t kHeaderSize = 8 + 2 + 2 + 8;
constexpr std::size_t kTrailerSize = 4;

enum class SaveKind : std::uint16_t { ZONE = 1, LEVEL = 2, LEVEL_PLAY = 3 };
constexpr std::uint16_t kLastSaveKind = 3;

const char* kind_text(SaveKind kind) {
    switch (kind) {
        case SaveKind::ZONE: return "a zone save (Environment)";
        case SaveKind::LEVEL: return "a level save (NarrativeSequencer)";
        case SaveKind::LEVEL_PLAY: break;
    }
    return "a level-play save (LevelPlay)";
}

constexpr std::uint8_t kLastAgentKind = 13;

// The smallest number of bytes one entry of each list takes in the content,
// so that a count can be checked against the bytes left before allocating.
constexpr std::size_t kMinAgentSize = 1 + 4 + 4 + 4 + 4;
constexpr std::size_t kMinZoneSize = 4 + 1 + 4 + 4 + 4;
constexpr std::size_t kMinChargeSize = 8 + 4 + 4;
constexpr std::size_t kReferenceSize = 4;
constexpr std::size_t kMinRefillSize = 4 + 1 + 4 + 8 + 4;

// CRC-32 tables for slicing by 8: kCrcTables[0] is the classic byte table;
// kCrcTables[k][n] is the CRC of byte n followed by k zero bytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t n = 0; n < 256; ++n) {
            const std::uint32_t previous = tables[k - 1][n];
            tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}
constexpr CrcTables kCrcTables = make_crc_tables();

// ---------------------------------------------------------------------------
// Writing

// Appends values to a growing byte string. The string is kept larger than
// what is written (`used_` bytes), so that each value is one inline copy.
class SaveWriter {
public:
    void u8(std::uint8_t value) { put(&value, 1); }
    void u16(std::uint16_t value) { little_endian(value, 2); }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void boolean(bool value) { u8(value ? 1 : 0); }
    void f64(double value) {
        std::uint64_t bits = 0;
        static_assert(sizeof bits == sizeof value);
        std::memcpy(&bits, &value, sizeof bits);
        u64(bits);
    }
    void count(std::size_t value, const char* what) {
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            throw std::invalid_argument(std::string("cannot save: too many ") + what +
                                        " for the save format (at most 4294967295)");
        }
        u32(static_cast<std::uint32_t>(value));
    }
    void text(const std::string& value) {
        count(value.size(), "bytes in one string");
        put(value.data(), value.size());
    }

    std::size_t size() const { return used_; }
    char* at(std::size_t offset) { return &bytes_[offset]; }
    // The bytes written; the writer is spent.
    std::string take() {
        bytes_.resize(used_);
        return std::move(bytes_);
    }

private:
    void put(const void* data, std::size_t size) {
        if (size > bytes_.size() - used_) bytes_.resize(std::max(2 * bytes_.size(), used_ + size) + 64);
        std::memcpy(&bytes_[used_], data, size);
        used_ += size;
    }
    void little_endian(std::uint64_t value, int width) {
        unsigned char bytes[8];
        for (int i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        put(bytes, static_cast<std::size_t>(width));
    }
    std::string bytes_;
    std::size_t used_ = 0;
};

AgentKind saved_kind_of(const MagicianAgent& agent) {
    if (std::optional<AgentKind> kind = kind_of(agent)) return *kind;
    throw std::invalid_argument("cannot save agent \"" + agent.name +
                                "\": its kind is not one of the engine's thirteen agent kinds");
}

// Work summed up to just past the work bound: the sum of a lattice of shared
// zones can exceed any integer.
constexpr std::uint64_t kBeyondWorkBound = kMaxTreeWork + 1;

std::uint64_t capped_sum(std::uint64_t a, std::uint64_t b) {
    return std::min(std::min(a, kBeyondWorkBound) + std::min(b, kBeyondWorkBound), kBeyondWorkBound);
}

// The zones under and including `root`, each once, numbered so that every
// zone comes before its sub-zones: the reverse of the order in which an
// iterative depth-first walk (sub-zones in their stored order) leaves them.
// The same walk sums the work a walk of every place would do (see
// kMaxTreeWork), each zone's worked out once, up to just past the bound.
struct ZoneNumbering {
    std::vector<const Environment*> zones;
    std::unordered_map<const Environment*, std::uint32_t> index;
    std::uint64_t work = 0;
    std::uint64_t largest_event = 0;  // event_work
};

ZoneNumbering number_zones(const Environment& root) {
    // While the walk runs, a zone's index is its place in the order of
    // leaving, or kOnPath until it is left.
    constexpr std::uint32_t kOnPath = std::numeric_limits<std::uint32_t>::max();
    struct Step {
        const Environment* zone;
        std::size_t next_sub_zone;
        std::uint64_t work;   // the zone's own and that of its sub-zones so far
        std::uint32_t* left;  // the zone's entry in the index (stable: a node)
    };
    ZoneNumbering numbering;
    std::unordered_map<const Environment*, std::uint32_t>& seen = numbering.index;
    std::vector<std::uint64_t> work_when_left;
    seen.reserve(64);
    const PlaceWork root_work = work_of_place(root);
    std::vector<Step> path{{&root, 0, root_work.place, &seen.emplace(&root, kOnPath).first->second}};
    numbering.largest_event = root_work.event;
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next_sub_zone < top.zone->sub_environments.size()) {
            const Environment* sub_zone = top.zone->sub_environments[top.next_sub_zone++].get();
            if (sub_zone == nullptr) continue;
            const auto [entry, added] = seen.emplace(sub_zone, kOnPath);
            if (added) {
                const PlaceWork sub_zone_work = work_of_place(*sub_zone);
                path.push_back({sub_zone, 0, sub_zone_work.place, &entry->second});
                numbering.largest_event = std::max(numbering.largest_event, sub_zone_work.event);
            } else if (entry->second != kOnPath) {  // on the path: a cycle, refused by write_zone
                top.work = capped_sum(top.work, work_when_left[entry->second]);
            }
            continue;
        }
        if (numbering.zones.size() >= kOnPath) {
            throw std::invalid_argument("cannot save: too many zones for the save format");
        }
        *top.left = static_cast<std::uint32_t>(numbering.zones.size());
        numbering.zones.push_back(top.zone);
        work_when_left.push_back(top.work);
        const std::uint64_t work = top.work;
        path.pop_back();
        if (!path.empty()) path.back().work = capped_sum(path.back().work, work);
    }
    numbering.work = work_when_left.back();
    std::reverse(numbering.zones.begin(), numbering.zones.end());
    for (std::size_t i = 0; i < numbering.zones.size(); ++i) {
        seen[numbering.zones[i]] = static_cast<std::uint32_t>(i);
    }
    return numbering;
}

// The agents of the zones, each once, numbered in the order of their first
// place (zone by zone in zone order, each zone's list in order), and the
// reference written for every place: 1 + the agent's number. Empty slots (a
// C++ host's null entries) mean nothing and are left out. Found by sorting
// the places rather than by hashing, as nearly every agent stands in one
// place only.
struct AgentNumbering {
    std::vector<const MagicianAgent*> agents;
    std::vector<std::uint32_t> references;  // one per place, in place order
};

AgentNumbering number_agents(const std::vector<const Environment*>& zones) {
    std::vector<const MagicianAgent*> places;
    for (const Environment* zone : zones) {
        for (const auto& agent : zone->agents) {
            if (agent) places.push_back(agent.get());
        }
    }
    // first_place[p]: the first place of the agent standing at place p.
    std::vector<std::size_t> order(places.size());
    for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::less<const MagicianAgent*>()(places[a], places[b]) ||
               (places[a] == places[b] && a < b);
    });
    std::vector<std::size_t> first_place(places.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const bool same_as_before = i > 0 && places[order[i]] == places[order[i - 1]];
        first_place[order[i]] = same_as_before ? first_place[order[i - 1]] : order[i];
    }
    AgentNumbering numbering;
    numbering.references.resize(places.size(), 0);
    for (std::size_t p = 0; p < places.size(); ++p) {
        if (first_place[p] == p) {
            numbering.agents.push_back(places[p]);
            numbering.references[p] = static_cast<std::uint32_t>(numbering.agents.size());
        } else {
            numbering.references[p] = numbering.references[first_place[p]];
        }
    }
    if (numbering.agents.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("cannot save: too many agents for the save format");
    }
    return numbering;
}

void write_agent(SaveWriter& out, const MagicianAgent& agent) {
    const AgentKind kind = saved_kind_of(agent);
    out.u8(static_cast<std::uint8_t>(kind));
    out.text(agent.name);
    out.i32(agent.priority);
    out.text(agent.visual_id);
    out.i32(static_cast<std::int32_t>(agent.state));
    if (kind == AgentKind::EQUALS_GATE) {
        const auto& gate = static_cast<const EqualsGate&>(agent);
        out.f64(gate.target_value);
        out.boolean(gate.is_open);
    } else if (kind == AgentKind::INEQUALITY_GATE) {
        const auto& gate = static_cast<const InequalityGate&>(agent);
        out.i32(static_cast<std::int32_t>(gate.comparison_type));
        out.f64(gate.target_value);
        out.boolean(gate.is_open);
    }
}

template <typename List>
std::size_t filled_slots(const List& slots) {
    return static_cast<std::size_t>(
        std::count_if(slots.begin(), slots.end(), [](const auto& slot) { return slot != nullptr; }));
}

// Writes the zone; `agent_references` are its agents' references, in order.
// Returns how many references it took.
std::size_t write_zone(SaveWriter& out, const Environment& zone, std::uint32_t own_index,
                       const ZoneNumbering& zones, const std::uint32_t* agent_references) {
    out.text(zone.id);
    out.boolean(zone.is_time_frozen);
    out.count(zone.charges.size(), "charges in one zone");
    for (const Charge& charge : zone.charges) {
        out.f64(charge.magnitude);
        out.i32(static_cast<std::int32_t>(charge.polarity));
        out.text(charge.visual_id);
    }
    const std::size_t agent_count = filled_slots(zone.agents);
    out.count(agent_count, "agents in one zone");
    for (std::size_t i = 0; i < agent_count; ++i) out.u32(agent_references[i]);
    // References: the sub-zone's number, which always comes after its parent's.
    out.count(filled_slots(zone.sub_environments), "sub-zones in one zone");
    for (const auto& sub_zone : zone.sub_environments) {
        if (sub_zone == nullptr) continue;
        const std::uint32_t index = zones.index.at(sub_zone.get());
        if (index <= own_index) {
            throw std::invalid_argument("cannot save: zone \"" + sub_zone->id +
                                        "\" is its own ancestor (the zones form a cycle)");
        }
        out.u32(index);
    }
    return agent_count;
}

ZoneNumbering write_tree(SaveWriter& out, const Environment& root) {
    ZoneNumbering zones = number_zones(root);
    // What cannot be played cannot be saved either, so every save loads.
    if (capped_sum(zones.work, zones.largest_event) > kMaxTreeWork) throw TreeTooLargeError();
    const AgentNumbering agents = number_agents(zones.zones);
    out.count(agents.agents.size(), "agents");
    for (const MagicianAgent* agent : agents.agents) write_agent(out, *agent);
    out.count(zones.zones.size(), "zones");
    const std::uint32_t* agent_references = agents.references.data();
    for (std::size_t i = 0; i < zones.zones.size(); ++i) {
        agent_references += write_zone(out, *zones.zones[i], static_cast<std::uint32_t>(i), zones,
                                       agent_references);
    }
    return zones;
}

// A level's frame counter, frame limit, finished flag and last event, then
// its tree; returns the tree's zone numbering.
ZoneNumbering write_level(SaveWriter& out, const NarrativeSequencer& level) {
    if (!level.root_environment) throw std::invalid_argument("cannot save a level without a root zone");
    out.i32(level.current_frame);
    out.i32(level.max_frames);
    out.boolean(level.is_finished);
    out.boolean(level.last_event.has_value());
    if (level.last_event) {
        out.text(level.last_event->agent_name);
        out.text(level.last_event->visual_id);
        out.text(level.last_event->type);
        out.text(level.last_event->description);
    }
    return write_tree(out, *level.root_environment);
}

// The refills whose zone is in the saved tree, each with its zone's number.
// A refill whose zone has merged away can never act again: it is left out.
void write_refills(SaveWriter& out, const std::vector<RefillAgent>& refills, const ZoneNumbering& zones) {
    std::vector<std::pair<const RefillAgent*, std::uint32_t>> kept;
    for (const RefillAgent& refill : refills) {
        const auto found = zones.index.find(refill.zone.get());
        if (found != zones.index.end()) kept.emplace_back(&refill, found->second);
    }
    out.count(kept.size(), "refill agents");
    for (const auto& [refill, zone] : kept) {
        const auto kind = static_cast<std::uint8_t>(refill->kind);
        if (kind == 0 || kind > kLastAgentKind) {
            throw std::invalid_argument("cannot save refill agent \"" + refill->visual_id +
                                        "\": unknown agent kind " + std::to_string(kind));
        }
        out.u32(zone);
        out.u8(kind);
        out.text(refill->visual_id);
        out.f64(refill->target);
        out.i32(static_cast<std::int32_t>(refill->comparison));
    }
}

template <typename WriteContent>
std::string framed_save(SaveKind kind, WriteContent&& write_content) {
    SaveWriter out;
    for (std::uint8_t byte : kMagic) out.u8(byte);
    out.u16(kSaveFormatVersion);
    out.u16(static_cast<std::uint16_t>(kind));
    out.u64(0);  // the content length, filled in below
    write_content(out);
    const std::uint64_t content_length = out.size() - kHeaderSize;
    for (int i = 0; i < 8; ++i) *out.at(12 + i) = static_cast<char>(content_length >> (8 * i));
    out.u32(crc32(reinterpret_cast<const std::uint8_t*>(out.at(0)), out.size()));
    return out.take();
}

// ---------------------------------------------------------------------------
// Reading

class SaveReader {
public:
    SaveReader(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::size_t left() const { return left_; }

    std::uint8_t u8(const char* what) { return static_cast<std::uint8_t>(little_endian<1>(what)); }
    std::uint16_t u16(const char* what) { return static_cast<std::uint16_t>(little_endian<2>(what)); }
    std::uint32_t u32(const char* what) { return static_cast<std::uint32_t>(little_endian<4>(what)); }
    std::uint64_t u64(const char* what) { return little_endian<8>(what); }
    std::int32_t i32(const char* what) {
        const std::uint32_t bits = u32(what);
        std::int32_t value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    double f64(const char* what) {
        const std::uint64_t bits = u64(what);
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    bool boolean(const char* what) {
        const std::uint8_t byte = u8(what);
        if (byte > 1) {
            throw SaveFormatError(std::string("bad value ") + std::to_string(byte) + " for " + what +
                                  " (a flag is 0 or 1)");
        }
        return byte == 1;
    }
    // A count of entries of at least `entry_size` bytes each, refused when
    // the bytes left cannot hold that many.
    std::uint32_t count(std::size_t entry_size, const char* what) {
        const std::uint32_t value = u32(what);
        if (value > left_ / entry_size) {
            throw SaveFormatError("the save claims " + std::to_string(value) + " " + what +
                                  ", more than its remaining " + std::to_string(left_) +
                                  " bytes can hold");
        }
        return value;
    }
    std::string text(const char* what) {
        const std::uint32_t length = count(1, what);
        std::string value(reinterpret_cast<const char*>(data_), length);
        skip(length);
        return value;
    }
    // Passes over the next text; returns its bytes, which stay in the save.
    std::string_view skip_text(const char* what) {
        const std::uint32_t length = count(1, what);
        const std::string_view bytes(reinterpret_cast<const char*>(data_), length);
        skip(length);
        return bytes;
    }
    // Sets `target` to the next text, leaving it alone (and its storage
    // unallocated) when it already holds those bytes.
    void text_into(std::string& target, const char* what) {
        const std::uint32_t length = count(1, what);
        const char* bytes = reinterpret_cast<const char*>(data_);
        if (target.size() != length || target.compare(0, length, bytes, length) != 0) {
            target.assign(bytes, length);
        }
        skip(length);
    }

private:
    void need(std::size_t size, const char* what) const {
        if (size > left_) {
            throw SaveFormatError(std::string("the save's content ends in the middle of ") + what);
        }
    }
    void skip(std::size_t size) {
        data_ += size;
        left_ -= size;
    }
    template <std::size_t Width>
    std::uint64_t little_endian(const char* what) {
        need(Width, what);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < Width; ++i) value |= std::uint64_t{data_[i]} << (8 * i);
        skip(Width);
        return value;
    }

    const std::uint8_t* data_;
    std::size_t left_;
};

std::shared_ptr<MagicianAgent> read_agent(SaveReader& in) {
    const std::uint8_t kind_number = in.u8("an agent's kind");
    if (kind_number == 0 || kind_number > kLastAgentKind) {
        throw SaveFormatError("unknown agent kind " + std::to_string(kind_number));
    }
    const auto kind = static_cast<AgentKind>(kind_number);
    // Made first, so that a name that is the kind's own (nearly always) is
    // not copied again.
    std::shared_ptr<MagicianAgent> agent = make_agent(kind, std::string());
    in.text_into(agent->name, "an agent's name");
    agent->priority = in.i32("an agent's priority");
    in.text_into(agent->visual_id, "an agent's visual id");
    agent->state = static_cast<AgentState>(in.i32("an agent's state"));
    if (kind == AgentKind::EQUALS_GATE) {
        auto& gate = static_cast<EqualsGate&>(*agent);
        gate.target_value = in.f64("a gate's target");
        gate.is_open = in.boolean("a gate's open flag");
    } else if (kind == AgentKind::INEQUALITY_GATE) {
        auto& gate = static_cast<InequalityGate&>(*agent);
        gate.comparison_type =
            static_cast<InequalityGate::ComparisonType>(in.i32("a gate's comparison"));
        gate.target_value = in.f64("a gate's target");
        gate.is_open = in.boolean("a gate's open flag");
    }
    return agent;
}

// The sub-zone references of every zone, in one array: zone i's are
// references[starts[i]] to references[starts[i + 1] - 1].
struct SubZoneReferences {
    std::vector<std::uint32_t> references;
    std::vector<std::size_t> starts{0};
};

// Reads zone `own_index` into `zone`, its sub-zones taken from `zones` (all
// made before any is read) and its agents from `agents`. The references were
// checked by check_tree; they are checked again against the lists they index.
void read_zone(SaveReader& in, std::uint32_t own_index, Environment& zone,
               const std::vector<std::shared_ptr<Environment>>& zones,
               const std::vector<std::shared_ptr<MagicianAgent>>& agents) {
    in.text_into(zone.id, "a zone's id");
    zone.is_time_frozen = in.boolean("a zone's freeze flag");
    const std::uint32_t charge_count = in.count(kMinChargeSize, "charges in one zone");
    zone.charges.reserve(charge_count);
    for (std::uint32_t i = 0; i < charge_count; ++i) {
        const double magnitude = in.f64("a charge's magnitude");
        const auto polarity = static_cast<ChargePolarity>(in.i32("a charge's polarity"));
        zone.charges.emplace_back(magnitude, polarity, in.text("a charge's visual id"));
    }
    const std::uint32_t agent_refs = in.count(kReferenceSize, "agents in one zone");
    zone.agents.reserve(agent_refs);
    for (std::uint32_t i = 0; i < agent_refs; ++i) {
        const std::uint32_t ref = in.u32("an agent reference");
        if (ref == 0 || ref > agents.size()) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) + " places agent " +
                                  std::to_string(ref));
        }
        zone.agents.push_back(agents[ref - 1]);
    }
    const std::uint32_t sub_refs = in.count(kReferenceSize, "sub-zones in one zone");
    zone.sub_environments.reserve(sub_refs);
    for (std::uint32_t i = 0; i < sub_refs; ++i) {
        const std::uint32_t ref = in.u32("a sub-zone reference");
        if (ref <= own_index || ref >= zones.size()) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) + " lists sub-zone " +
                                  std::to_string(ref));
        }
        zone.sub_environments.push_back(zones[ref]);
    }
}

// Whether the zones are numbered as number_zones numbers them: every zone
// reachable from the root, in the reverse of the order a depth-first walk
// leaves them. Only then does saving the loaded tree give the same bytes.
bool numbered_as_saved(const SubZoneReferences& sub_zones) {
    struct Step {
        std::uint32_t zone;
        std::size_t next;  // index into sub_zones.references
    };
    const std::size_t zone_count = sub_zones.starts.size() - 1;
    std::vector<bool> seen(zone_count, false);
    std::vector<Step> path{{0, sub_zones.starts[0]}};
    seen[0] = true;
    std::size_t expected = zone_count;  // the walk leaves zones in descending number
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next < sub_zones.starts[top.zone + 1]) {
            const std::uint32_t sub_zone = sub_zones.references[top.next++];
            if (!seen[sub_zone]) {
                seen[sub_zone] = true;
                path.push_back({sub_zone, sub_zones.starts[sub_zone]});
            }
            continue;
        }
        if (top.zone != --expected) return false;
        path.pop_back();
    }
    return expected == 0;
}

// ---------------------------------------------------------------------------
// Checking a tree before building it: one pass over its bytes that refuses
// everything the build would refuse, and more, while allocating only a few
// numbers per zone and agent, so that a refused save costs little beyond its
// own size.

constexpr std::int32_t kDormant = static_cast<std::int32_t>(AgentState::DORMANT);

// The written sizes of an agent's texts: in the tree, and in its cast's event.
struct AgentTexts {
    std::uint64_t text_bytes;
    std::uint64_t cast_bytes;
};

// Checks one agent.
AgentTexts check_agent(SaveReader& in, std::uint32_t number) {
    const std::uint8_t kind_number = in.u8("an agent's kind");
    if (kind_number == 0 || kind_number > kLastAgentKind) {
        throw SaveFormatError("unknown agent kind " + std::to_string(kind_number));
    }
    const std::uint64_t name = escaped_size(in.skip_text("an agent's name"));
    in.i32("an agent's priority");
    const std::uint64_t visual_id = escaped_size(in.skip_text("an agent's visual id"));
    const std::int32_t state = in.i32("an agent's state");
    if (state != kDormant) {
        throw SaveFormatError("bad value " + std::to_string(state) + " for the state of agent " +
                              std::to_string(number) + " (between frames every agent is dormant, 0)");
    }
    const auto kind = static_cast<AgentKind>(kind_number);
    if (kind == AgentKind::EQUALS_GATE || kind == AgentKind::INEQUALITY_GATE) {
        if (kind == AgentKind::INEQUALITY_GATE) in.i32("a gate's comparison");
        in.f64("a gate's target");
        if (in.boolean("a gate's open flag")) {
            throw SaveFormatError("agent " + std::to_string(number) +
                                  " is an open gate that still stands in a zone (a gate that opens leaves "
                                  "its zone)");
        }
    }
    return {name + visual_id, cast_event_bytes(name, visual_id)};
}

// Checks one zone: its references go to `sub_zones`; returns place_work of
// the zone, from its bytes, and raises `largest_event` to its event_work.
std::uint64_t check_zone(SaveReader& in, std::uint32_t own_index, std::uint32_t zone_count,
                         const std::vector<AgentTexts>& agent_text, std::uint32_t& agents_placed,
                         SubZoneReferences& sub_zones, std::uint64_t& largest_event) {
    const std::uint64_t id = escaped_size(in.skip_text("a zone's id"));
    std::uint64_t written = id;
    std::uint64_t largest_cast = 0;
    in.boolean("a zone's freeze flag");
    const std::uint32_t charge_count = in.count(kMinChargeSize, "charges in one zone");
    for (std::uint32_t i = 0; i < charge_count; ++i) {
        in.f64("a charge's magnitude");
        in.i32("a charge's polarity");
        written += escaped_size(in.skip_text("a charge's visual id"));
    }
    const std::uint32_t agent_refs = in.count(kReferenceSize, "agents in one zone");
    for (std::uint32_t i = 0; i < agent_refs; ++i) {
        const std::uint32_t ref = in.u32("an agent reference");
        if (ref == 0) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) +
                                  " has an empty agent slot (agent reference 0)");
        }
        if (ref > agents_placed + 1 || ref > agent_text.size()) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) + " places agent " +
                                  std::to_string(ref) + ", out of order or beyond the " +
                                  std::to_string(agent_text.size()) + " saved agents");
        }
        if (ref == agents_placed + 1) ++agents_placed;
        written += agent_text[ref - 1].text_bytes;
        largest_cast = std::max(largest_cast, agent_text[ref - 1].cast_bytes);
    }
    const std::uint32_t sub_refs = in.count(kReferenceSize, "sub-zones in one zone");
    for (std::uint32_t i = 0; i < sub_refs; ++i) {
        const std::uint32_t ref = in.u32("a sub-zone reference");
        if (ref == 0) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) +
                                  " has an empty sub-zone slot (sub-zone reference 0)");
        }
        if (ref <= own_index || ref >= zone_count) {
            throw SaveFormatError("bad index: zone " + std::to_string(own_index) + " lists sub-zone " +
                                  std::to_string(ref) + ", which must come after it and before " +
                                  std::to_string(zone_count));
        }
        sub_zones.references.push_back(ref);
    }
    sub_zones.starts.push_back(sub_zones.references.size());
    largest_event = std::max(largest_event, event_work(zone_event_bytes(id, largest_cast)));
    return place_work(std::uint64_t{charge_count} + agent_refs + sub_refs, written);
}

// Whether a walk of the tree stays within kMaxTreeWork; `work` holds each
// zone's place_work and is overwritten with the work of its whole subtree.
bool within_work_bound(const SubZoneReferences& sub_zones, std::vector<std::uint64_t>& work,
                       std::uint64_t largest_event) {
    for (std::size_t zone = work.size(); zone-- > 0;) {
        std::uint64_t total = work[zone];
        for (std::size_t r = sub_zones.starts[zone]; r < sub_zones.starts[zone + 1]; ++r) {
            total = capped_sum(total, work[sub_zones.references[r]]);
        }
        work[zone] = std::min(total, kBeyondWorkBound);
    }
    return capped_sum(work.front(), largest_event) <= kMaxTreeWork;
}

// Reads past the tree, refusing what cannot be loaded; returns its number of
// zones.
std::uint32_t check_tree(SaveReader& in) {
    const std::uint32_t agent_count = in.count(kMinAgentSize, "agents");
    std::vector<AgentTexts> agent_text;
    agent_text.reserve(agent_count);
    for (std::uint32_t i = 0; i < agent_count; ++i) agent_text.push_back(check_agent(in, i + 1));

    const std::uint32_t zone_count = in.count(kMinZoneSize, "zones");
    if (zone_count == 0) throw SaveFormatError("the save holds no zones (a root zone is required)");
    SubZoneReferences sub_zones;
    sub_zones.starts.reserve(std::size_t{zone_count} + 1);
    std::vector<std::uint64_t> work;
    work.reserve(zone_count);
    std::uint32_t agents_placed = 0;
    std::uint64_t largest_event = 0;
    for (std::uint32_t i = 0; i < zone_count; ++i) {
        work.push_back(check_zone(in, i, zone_count, agent_text, agents_placed, sub_zones, largest_event));
    }
    if (agents_placed != agent_count) {
        throw SaveFormatError("the save holds " + std::to_string(agent_count - agents_placed) +
                              " agents that stand in no zone");
    }
    if (!numbered_as_saved(sub_zones)) {
        throw SaveFormatError("bad index: the zones are not numbered in the saved order "
                              "(or some cannot be reached from the root)");
    }
    if (!within_work_bound(sub_zones, work, largest_event)) throw SaveFormatError(tree_too_large_message());
    return zone_count;
}

// Builds the tree that check_tree accepted; returns its zones by number.
std::vector<std::shared_ptr<Environment>> build_tree(SaveReader& in) {
    const std::uint32_t agent_count = in.count(kMinAgentSize, "agents");
    std::vector<std::shared_ptr<MagicianAgent>> agents;
    agents.reserve(agent_count);
    for (std::uint32_t i = 0; i < agent_count; ++i) agents.push_back(read_agent(in));

    const std::uint32_t zone_count = in.count(kMinZoneSize, "zones");
    if (zone_count == 0) throw SaveFormatError("the save holds no zones (a root zone is required)");
    // Every zone is made first, so that a zone's sub-zones (which come after
    // it) can be linked as it is read. Links only go to later zones, so the
    // zones form no cycle even when the save is refused halfway.
    std::vector<std::shared_ptr<Environment>> zones;
    zones.reserve(zone_count);
    for (std::uint32_t i = 0; i < zone_count; ++i) zones.push_back(std::make_shared<Environment>(std::string()));
    for (std::uint32_t i = 0; i < zone_count; ++i) read_zone(in, i, *zones[i], zones, agents);
    return zones;
}

std::shared_ptr<Environment> read_tree(SaveReader& in) {
    SaveReader checked = in;
    check_tree(checked);
    return std::move(build_tree(in).front());
}

// The content of a save and its kind.
struct OpenedSave {
    SaveReader content;
    SaveKind kind;
};

// Checks the frame around the content, which must be of the kind `expected`
// or else of the kind `also` (when given), and opens the content.
OpenedSave open_save(const std::uint8_t* data, std::size_t size, SaveKind expected,
                     std::optional<SaveKind> also = std::nullopt) {
    const std::size_t magic_bytes = std::min(size, kMagic.size());
    if (!std::equal(data, data + magic_bytes, kMagic.begin())) {
        throw SaveFormatError("not a qor_engine save (bad magic number)");
    }
    if (size < kHeaderSize + kTrailerSize) {
        throw SaveFormatError("the save is cut short: " + std::to_string(size) +
                              " bytes, fewer than its header and checksum take");
    }
    SaveReader header(data + kMagic.size(), kHeaderSize - kMagic.size());
    const std::uint16_t version = header.u16("the format version");
    const std::uint16_t kind = header.u16("the save's kind");
    const std::uint64_t content_length = header.u64("the content length");
    if (version > kSaveFormatVersion) {
        throw SaveFormatError("the save was made by a newer format version (" + std::to_string(version) +
                              "); this engine reads versions up to " +
                              std::to_string(kSaveFormatVersion));
    }
    if (version == 0) throw SaveFormatError("unknown format version 0");
    if (kind == 0 || kind > kLastSaveKind) throw SaveFormatError("unknown save kind " + std::to_string(kind));
    if (kind != static_cast<std::uint16_t>(expected) && (!also || kind != static_cast<std::uint16_t>(*also))) {
        throw SaveFormatError(std::string("wrong kind: this is ") +
                              kind_text(static_cast<SaveKind>(kind)) + ", not " + kind_text(expected));
    }
    const std::size_t available = size - kHeaderSize - kTrailerSize;
    if (content_length > available) {
        throw SaveFormatError("the save is cut short: " + std::to_string(size) + " bytes, of " +
                              std::to_string(content_length) + " bytes of content and " +
                              std::to_string(kHeaderSize + kTrailerSize) + " of header and checksum");
    }
    if (content_length < available) {
        throw SaveFormatError("the save has " + std::to_string(available - content_length) +
                              " trailing bytes after its end");
    }
    const std::size_t checked = size - kTrailerSize;
    SaveReader trailer(data + checked, kTrailerSize);
    if (trailer.u32("the checksum") != crc32(data, checked)) {
        throw SaveFormatError("checksum mismatch: the save is damaged");
    }
    return {SaveReader(data + kHeaderSize, available), static_cast<SaveKind>(kind)};
}

void ensure_all_read(const SaveReader& in) {
    if (in.left() != 0) {
        throw SaveFormatError("the save's content has " + std::to_string(in.left()) +
                              " trailing bytes after the level");
    }
}

// What a level save holds before its tree.
struct SavedLevelState {
    std::int32_t current_frame = 0;
    std::int32_t max_frames = 0;
    bool is_finished = false;
    std::optional<FrameEvent> last_event;

    // Neither allocates nor throws: the event is moved.
    void restore(NarrativeSequencer& level) noexcept {
        level.current_frame = current_frame;
        level.max_frames = max_frames;
        level.is_finished = is_finished;
        level.last_event = std::move(last_event);
    }
};

SavedLevelState read_level_state(SaveReader& in) {
    SavedLevelState state;
    state.current_frame = in.i32("the frame counter");
    state.max_frames = in.i32("the frame limit");
    if (state.max_frames < 1) {
        throw SaveFormatError("bad value " + std::to_string(state.max_frames) +
                              " for the frame limit (at least 1 frame)");
    }
    state.is_finished = in.boolean("the finished flag");
    if (in.boolean("the last-event flag")) {
        FrameEvent event;
        event.agent_name = in.text("the last event's agent name");
        event.visual_id = in.text("the last event's visual id");
        event.type = in.text("the last event's type");
        event.description = in.text("the last event's description");
        state.last_event = std::move(event);
    }
    return state;
}

// Reads past the refills, refusing any that cannot be loaded.
void check_refills(SaveReader& in, std::uint32_t zone_count) {
    const std::uint32_t count = in.count(kMinRefillSize, "refill agents");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t zone = in.u32("a refill agent's zone");
        if (zone >= zone_count) {
            throw SaveFormatError("bad index: refill agent " + std::to_string(i + 1) + " names zone " +
                                  std::to_string(zone) + ", beyond the " + std::to_string(zone_count) +
                                  " saved zones");
        }
        const std::uint8_t kind = in.u8("a refill agent's kind");
        if (kind == 0 || kind > kLastAgentKind) {
            throw SaveFormatError("unknown agent kind " + std::to_string(kind) + " of refill agent " +
                                  std::to_string(i + 1));
        }
        in.skip_text("a refill agent's visual id");
        in.f64("a refill agent's target");
        in.i32("a refill agent's comparison");
    }
}

std::vector<RefillAgent> read_refills(SaveReader& in, const std::vector<std::shared_ptr<Environment>>& zones) {
    const std::uint32_t count = in.count(kMinRefillSize, "refill agents");
    std::vector<RefillAgent> refills(count);
    for (RefillAgent& refill : refills) {
        refill.zone = zones.at(in.u32("a refill agent's zone"));
        refill.kind = static_cast<AgentKind>(in.u8("a refill agent's kind"));
        refill.visual_id = in.text("a refill agent's visual id");
        refill.target = in.f64("a refill agent's target");
        refill.comparison = static_cast<InequalityGate::ComparisonType>(in.i32("a refill agent's comparison"));
    }
    return refills;
}

// A level-play save's content: the level, then its refills. Everything is
// checked before anything is made.
std::unique_ptr<LevelPlay> read_level_play(SaveReader in) {
    SavedLevelState state = read_level_state(in);
    SaveReader checked = in;
    check_refills(checked, check_tree(checked));
    ensure_all_read(checked);
    std::vector<std::shared_ptr<Environment>> zones = build_tree(in);
    std::vector<RefillAgent> refills = read_refills(in, zones);
    auto level = std::make_unique<LevelPlay>(zones.front(), std::move(refills), state.max_frames);
    state.restore(*level);
    return level;
}

}  // namespace

SaveFormatError::SaveFormatError(const std::string& what)
    : std::invalid_argument("cannot load the save: " + what) {}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    const auto& t = kCrcTables;
    std::uint32_t c = 0xFFFFFFFFU;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint32_t low = c ^ (std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 |
                                       std::uint32_t{data[i + 2]} << 16 | std::uint32_t{data[i + 3]} << 24);
        c = t[7][low & 0xFFU] ^ t[6][(low >> 8) & 0xFFU] ^ t[5][(low >> 16) & 0xFFU] ^ t[4][low >> 24] ^
            t[3][data[i + 4]] ^ t[2][data[i + 5]] ^ t[1][data[i + 6]] ^ t[0][data[i + 7]];
    }
    for (; i < size; ++i) c = t[0][(c ^ data[i]) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

std::string save_zone(const Environment& root) {
    return framed_save(SaveKind::ZONE, [&](SaveWriter& out) { write_tree(out, root); });
}

std::string save_level(const NarrativeSequencer& level) {
    if (const auto* play = dynamic_cast<const LevelPlay*>(&level)) return save_level_play(*play);
    return framed_save(SaveKind::LEVEL, [&](SaveWriter& out) { write_level(out, level); });
}

std::string save_level_play(const LevelPlay& level) {
    return framed_save(SaveKind::LEVEL_PLAY, [&](SaveWriter& out) {
        const ZoneNumbering zones = write_level(out, level);
        write_refills(out, level.refills(), zones);
    });
}

std::shared_ptr<Environment> load_zone(const std::uint8_t* data, std::size_t size) {
    SaveReader in = open_save(data, size, SaveKind::ZONE).content;
    std::shared_ptr<Environment> root = read_tree(in);
    ensure_all_read(in);
    return root;
}

std::unique_ptr<NarrativeSequencer> load_level(const std::uint8_t* data, std::size_t size) {
    OpenedSave save = open_save(data, size, SaveKind::LEVEL, SaveKind::LEVEL_PLAY);
    if (save.kind == SaveKind::LEVEL_PLAY) return read_level_play(save.content);
    SaveReader& in = save.content;
    SavedLevelState state = read_level_state(in);
    auto level = std::make_unique<NarrativeSequencer>(read_tree(in));
    ensure_all_read(in);
    state.restore(*level);
    return level;
}

std::unique_ptr<LevelPlay> load_level_play(const std::uint8_t* data, std::size_t size) {
    return read_level_play(open_save(data, size, SaveKind::LEVEL_PLAY).content);
}

}  // namespace qor
