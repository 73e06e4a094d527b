#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/environment.h"
#include "model/magician_agent.h"
#include "sequencer/frame_event.h"

namespace qor {

// An agent offered the charges this frame, with the zone it was found in, its
// priority when it was collected and its place in the collection order. The
// entry borrows the agent from its zone: nothing changes the zones while the
// agents are tried, and the one that acts is held by the frame from the moment
// it leaves its zone.
struct CollectedAgent {
    std::int32_t priority;
    std::size_t order;
    MagicianAgent* agent;
    Environment* zone;
};

// Drives one level, one frame per NextFrame() call. In each running frame
// exactly one thing happens: the highest-priority agent whose spell takes
// effect acts and leaves, or one resolved zone collapses into its parent, or
// the level ends.
class NarrativeSequencer {
public:
    std::int32_t current_frame = 0;
    std::int32_t max_frames = 1000;
    bool is_finished = false;
    std::optional<FrameEvent> last_event;
    std::shared_ptr<Environment> root_environment;

    // Throws std::invalid_argument for a missing root.
    explicit NarrativeSequencer(std::shared_ptr<Environment> root);
    virtual ~NarrativeSequencer();

    // Runs one frame and returns the frame response: the root zone's JSON
    // plus "meta". A tree deeper than the engine walks raises
    // TreeTooDeepError before anything changes.
    virtual nlohmann::json NextFrame();

    // The same frame as NextFrame(), answered with the response's compact
    // text (what to_json_text(NextFrame()) would give), written straight from
    // the tree instead of through the response's JSON value.
    std::string next_frame_text();

    // Appends the agents under `zone`, every zone after its sub-zones,
    // leaving out the own agents of frozen zones.
    void collect_agents(Environment* zone, std::vector<CollectedAgent>& collected);

    // A zone is frozen while a direct sub-zone is unresolved (holds an agent
    // or two or more charges).
    void update_freeze_states(Environment* zone);

    // Merges the first collapsible zone below `zone` (depth first, a zone's
    // sub-zones before the zone) into its parent and records the event.
    bool check_and_collapse(Environment* zone);

    nlohmann::json generate_response(std::string status, std::string message) const;

    // The response's "meta" member for the current call.
    nlohmann::json meta_json(std::string status, std::string message) const;

private:
    // Reads what a running frame needs from the tree in one walk, without
    // changing it: the agents offered the charges, the zones whose freeze
    // flag changes, and the first collapsible zone.
    void survey(Environment& root);
    static bool has_unresolved_sub_zone(const Environment& zone);
    static void refresh_freeze_flag(Environment& zone);
    static void collect_own_agents(Environment& zone, std::vector<CollectedAgent>& collected);

    // Merges the zone at `index` of `parent`'s sub-zones into `parent` and
    // records the event.
    void collapse_into_parent(Environment& parent, std::size_t index);

    // Sorts the collected agents into the order they are offered the
    // charges: highest priority first, equal priorities in collection order.
    void put_in_offering_order(std::vector<CollectedAgent>& collected);

    // What the survey found; empty between calls, the storage kept.
    std::vector<CollectedAgent> collected_;
    struct FreezeChange {
        Environment* zone;
        bool frozen;
    };
    std::vector<FreezeChange> freeze_changes_;
    struct CollapseCandidate {
        Environment* parent = nullptr;
        std::size_t index = 0;
    };
    CollapseCandidate collapse_candidate_;
    // The counting sort's output and counts, kept from frame to frame; their
    // entries are read only while a frame sorts.
    std::vector<CollectedAgent> ordered_;
    std::vector<std::size_t> starts_;

    // What a call answers besides the tree: its status and message.
    struct FrameOutcome {
        const char* status;
        std::string message;
    };

    // Everything one call does up to building the response. The acting agent,
    // once out of its zone, is handed to `leaving`, which keeps it alive until
    // the response is built.
    FrameOutcome advance(std::shared_ptr<MagicianAgent>& leaving);

    // Offers the charges to the collected agents in order; true when one acted.
    // The zone's hold on the agent that acted passes to `leaving` as the agent
    // leaves its zone.
    bool cast_first_willing(const std::vector<CollectedAgent>& collected,
                            std::shared_ptr<MagicianAgent>& leaving);
};

}  // namespace qor
