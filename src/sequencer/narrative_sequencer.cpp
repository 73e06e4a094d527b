#include "sequencer/narrative_sequencer.h"

#include <algorithm>
#include <stdexcept>

#include "model/zone_text.h"
#include "model/zone_walk.h"

namespace qor {

namespace {

bool is_unresolved(const Environment& zone) {
    return !zone.agents.empty() || zone.charges.size() >= 2;
}

bool is_collapsible(const Environment& zone) {
    return zone.agents.empty() && zone.charges.size() == 1;
}

// Highest priority first; equal priorities keep their collection order.
bool offered_before(const CollectedAgent& a, const CollectedAgent& b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    return a.order < b.order;
}

// Finds the entry of a zone's agent list that holds `agent` itself.
auto find_agent(Environment& zone, const MagicianAgent* agent) {
    return std::find_if(zone.agents.begin(), zone.agents.end(),
                        [agent](const auto& held) { return held.get() == agent; });
}

// Takes the agent out of its zone; the zone's hold on it passes to `leaving`.
void remove_agent(Environment& zone, const MagicianAgent* agent,
                  std::shared_ptr<MagicianAgent>& leaving) {
    auto found = find_agent(zone, agent);
    if (found == zone.agents.end()) return;
    leaving = std::move(*found);
    zone.agents.erase(found);
}

// Whether `agent` still stands anywhere in the tree under `root`.
bool stands_in_tree(Environment& root, const MagicianAgent* agent) {
    return walk_zones_post_order(root, [agent](Environment& zone, Environment*, std::size_t) {
        return find_agent(zone, agent) != zone.agents.end();
    });
}

}  // namespace

NarrativeSequencer::NarrativeSequencer(std::shared_ptr<Environment> root)
    : root_environment(std::move(root)) {
    if (!root_environment) throw std::invalid_argument("a sequencer needs a root zone, not null");
}

NarrativeSequencer::~NarrativeSequencer() = default;

nlohmann::json NarrativeSequencer::NextFrame() {
    std::shared_ptr<MagicianAgent> leaving;
    FrameOutcome outcome = advance(leaving);
    return generate_response(outcome.status, std::move(outcome.message));
}

std::string NarrativeSequencer::next_frame_text() {
    std::shared_ptr<MagicianAgent> leaving;
    FrameOutcome outcome = advance(leaving);
    const nlohmann::json meta = meta_json(outcome.status, std::move(outcome.message));
    return zone_json_text(*root_environment, &meta);
}

NarrativeSequencer::FrameOutcome NarrativeSequencer::advance(
    std::shared_ptr<MagicianAgent>& leaving) {
    if (current_frame >= max_frames || is_finished) {
        ensure_supported_depth(*root_environment);
        last_event.reset();
        // The limit is tested before the finished flag: a level that ended in
        // the last allowed frame answers with the limit from then on.
        if (current_frame >= max_frames) {
            is_finished = true;
            return {QOR_FRAME_EVENT_ERROR, "Max frame limit reached. Infinite loop detected."};
        }
        return {QOR_FRAME_EVENT_FINISHED, "Simulation complete. No further actions."};
    }

    // The survey only reads the tree, so a tree too deep to walk is refused
    // before anything changes.
    survey(*root_environment);
    last_event.reset();
    ++current_frame;
    for (const FreezeChange& change : freeze_changes_) change.zone->is_time_frozen = change.frozen;
    freeze_changes_.clear();
    put_in_offering_order(collected_);
    const bool acted = cast_first_willing(collected_, leaving);
    collected_.clear();

    // A declining agent changes nothing, so when nobody acted the zone the
    // survey found is still the first collapsible one.
    if (!acted) {
        if (collapse_candidate_.parent != nullptr) {
            collapse_into_parent(*collapse_candidate_.parent, collapse_candidate_.index);
        } else {
            is_finished = true;
            last_event = FrameEvent{"System", "N/A", QOR_FRAME_EVENT_FINISHED, "Equation Resolved."};
        }
    }
    collapse_candidate_ = {};
    return {is_finished ? QOR_FRAME_EVENT_FINISHED : QOR_FRAME_EVENT_RUNNING,
            last_event->description};
}

void NarrativeSequencer::survey(Environment& root) {
    collected_.clear();
    freeze_changes_.clear();
    collapse_candidate_ = {};
    // The same walk as update_freeze_states, collect_agents and
    // check_and_collapse: a zone's flag depends only on its sub-zones'
    // contents, and the zones are left in collection order, which is also
    // the order the collapse search takes.
    walk_zones_post_order(root, [&](Environment& zone, Environment* parent, std::size_t index) {
        const bool frozen = has_unresolved_sub_zone(zone);
        if (frozen != zone.is_time_frozen) freeze_changes_.push_back({&zone, frozen});
        if (!frozen) collect_own_agents(zone, collected_);
        if (collapse_candidate_.parent == nullptr && parent != nullptr && is_collapsible(zone)) {
            collapse_candidate_ = {parent, index};
        }
        return false;
    });
}

void NarrativeSequencer::put_in_offering_order(std::vector<CollectedAgent>& collected) {
    if (collected.size() < 2) return;
    const auto [lowest, highest] = std::minmax_element(
        collected.begin(), collected.end(),
        [](const CollectedAgent& a, const CollectedAgent& b) { return a.priority < b.priority; });
    const std::int32_t top = highest->priority;
    const std::int64_t span = std::int64_t{top} - lowest->priority + 1;
    // Priorities usually take a handful of nearby values: then a counting
    // sort, which keeps collection order within a priority, does it in
    // linear time. A wide spread falls back to sorting.
    if (span > static_cast<std::int64_t>(collected.size()) + 256) {
        std::sort(collected.begin(), collected.end(), offered_before);
        return;
    }
    // starts_[slot(p)]: where the agents of priority p begin, highest first.
    const auto slot = [top](std::int32_t priority) {
        return static_cast<std::size_t>(std::int64_t{top} - priority);
    };
    starts_.assign(static_cast<std::size_t>(span), 0);
    for (const CollectedAgent& entry : collected) ++starts_[slot(entry.priority)];
    std::size_t next = 0;
    for (std::size_t& start : starts_) {
        const std::size_t count = start;
        start = next;
        next += count;
    }
    if (ordered_.size() < collected.size()) ordered_.resize(collected.size());
    for (const CollectedAgent& entry : collected) {
        ordered_[starts_[slot(entry.priority)]++] = entry;
    }
    ordered_.resize(collected.size());
    collected.swap(ordered_);
}

bool NarrativeSequencer::cast_first_willing(const std::vector<CollectedAgent>& collected,
                                            std::shared_ptr<MagicianAgent>& leaving) {
    for (const CollectedAgent& offered : collected) {
        MagicianAgent* agent = offered.agent;
        Environment* zone = offered.zone;
        agent->state = AgentState::ACTIVE;
        if (!agent->CastSpell(zone->charges)) {
            agent->state = AgentState::DORMANT;
            continue;
        }
        zone->note_charges_changed();
        last_event = FrameEvent{agent->name, agent->visual_id, QOR_FRAME_EVENT_CAST_SPELL,
                                agent->name + " executed operation in " + zone->id};
        remove_agent(*zone, agent, leaving);
        // An agent placed more than once leaves only the place where it acted;
        // where it still stands it waits, DORMANT like every agent between frames.
        // Only an agent held elsewhere too can still stand in the tree.
        const bool held_elsewhere = leaving.use_count() > 1;
        if (held_elsewhere && stands_in_tree(*root_environment, agent)) {
            agent->state = AgentState::DORMANT;
        }
        return true;
    }
    return false;
}

void NarrativeSequencer::collect_agents(Environment* zone, std::vector<CollectedAgent>& collected) {
    walk_zones_post_order(*zone, [&](Environment& visited, Environment*, std::size_t) {
        if (!visited.is_time_frozen) collect_own_agents(visited, collected);
        return false;
    });
}

void NarrativeSequencer::update_freeze_states(Environment* zone) {
    walk_zones_post_order(*zone, [](Environment& visited, Environment*, std::size_t) {
        refresh_freeze_flag(visited);
        return false;
    });
}

bool NarrativeSequencer::has_unresolved_sub_zone(const Environment& zone) {
    return std::any_of(zone.sub_environments.begin(), zone.sub_environments.end(),
                       [](const auto& sub_zone) { return sub_zone && is_unresolved(*sub_zone); });
}

void NarrativeSequencer::refresh_freeze_flag(Environment& zone) {
    zone.is_time_frozen = has_unresolved_sub_zone(zone);
}

void NarrativeSequencer::collect_own_agents(Environment& zone,
                                            std::vector<CollectedAgent>& collected) {
    for (const auto& agent : zone.agents) {
        if (agent) collected.push_back({agent->priority, collected.size(), agent.get(), &zone});
    }
}

bool NarrativeSequencer::check_and_collapse(Environment* zone) {
    return walk_zones_post_order(*zone, [this](Environment& visited, Environment* parent,
                                               std::size_t index) {
        if (parent == nullptr || !is_collapsible(visited)) return false;
        collapse_into_parent(*parent, index);
        return true;
    });
}

void NarrativeSequencer::collapse_into_parent(Environment& parent, std::size_t index) {
    auto place = parent.sub_environments.begin() + static_cast<std::ptrdiff_t>(index);
    const Environment& zone = **place;
    parent.charges.push_back(zone.charges.front());
    parent.note_charges_changed();
    last_event = FrameEvent{"Chronomancer", "shield_" + zone.id, QOR_FRAME_EVENT_COLLAPSE_ZONE,
                            "Zone " + zone.id + " has resolved and merged."};
    // May destroy the zone: nothing of it is used after this.
    parent.sub_environments.erase(place);
}

nlohmann::json NarrativeSequencer::generate_response(std::string status,
                                                     std::string message) const {
    nlohmann::json response = root_environment->to_json();
    response["meta"] = meta_json(std::move(status), std::move(message));
    return response;
}

nlohmann::json NarrativeSequencer::meta_json(std::string status, std::string message) const {
    nlohmann::json meta = nlohmann::json::object();
    meta["frame_index"] = current_frame;
    meta["status"] = std::move(status);
    meta["message"] = std::move(message);
    meta["last_event"] = last_event ? last_event->to_json() : nlohmann::json(nullptr);
    return meta;
}

}  // namespace qor
