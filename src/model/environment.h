#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/charge.h"
#include "model/magician_agent.h"

namespace qor {

// A count of the changes made to zone trees other than by a sequencer's
// frames, process-wide: the model's operations below (add_charge,
// add_magician, add_environment) count theirs, and a host that changes a
// zone's or a charge's fields directly counts the change with
// note_tree_edit(), as the modules do for every change they make. A
// sequencer writing its patches from what its own frames changed
// (NarrativeSequencer::next_frame_patch with TreeEdits::COUNTED) knows from
// it that nothing else changed since its last frame.
void note_tree_edit() noexcept;
std::uint64_t tree_edit_count() noexcept;

// A zone of a level: its charges, the agents standing in it and its sub-zones.
// Zones are always held by std::shared_ptr; a zone may sit under several
// parents but never under itself.
class Environment {
public:
    std::string id;
    std::vector<Charge> charges;
    std::vector<std::shared_ptr<MagicianAgent>> agents;
    std::vector<std::shared_ptr<Environment>> sub_environments;
    bool is_time_frozen = false;

    // Advanced by everything that changes `charges` as a list (appending,
    // replacing it, a spell, a collapse). Handles into the list compare it
    // with the value they saw so that they never touch moved storage.
    std::uint64_t charges_revision = 0;

    explicit Environment(std::string id);
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // Releases deep subtrees without recursion.
    virtual ~Environment();

    // The zone with everything under it. Throws TreeTooDeepError for a tree
    // deeper than kMaxZoneDepth.
    virtual nlohmann::json to_json() const;

    virtual void add_charge(Charge charge);
    // Places the agent DORMANT. Throws std::invalid_argument for a missing
    // agent; the zone is then unchanged.
    virtual void add_magician(std::shared_ptr<MagicianAgent> agent);

    // Throws std::invalid_argument for a missing zone, or for one that would
    // become its own ancestor; the zone is then unchanged.
    virtual void add_environment(std::shared_ptr<Environment> child);

    void note_charges_changed() { ++charges_revision; }

    // Whether `zone` is this zone or lies anywhere below it.
    bool contains(const Environment& zone) const;

    // The "is_time_frozen" of the zone's JSON: a zone without sub-zones never
    // reports itself frozen, whatever its flag holds.
    bool reports_frozen() const;

    // This zone's own members, with the already built array of its sub-zones.
    nlohmann::json to_json_with(nlohmann::json sub_zones) const;
};

}  // namespace qor
