#include "sequencer/narrative_sequencer.h"

#include <algorithm>
#include <stdexcept>

#include "model/zone_walk.h"

namespace qor {

namespace {

bool is_unresolved(const Environment& zone) {
    return !zone.agents.empty() || zone.charges.size() >= 2;
}

bool is_collapsible(const Environment& zone) {
    return zone.agents.empty() && zone.charges.size() == 1;
}

void remove_agent(Environment& zone, const MagicianAgent* agent) {
    auto found = std::find_if(zone.agents.begin(), zone.agents.end(),
                              [agent](const auto& held) { return held.get() == agent; });
    if (found != zone.agents.end()) zone.agents.erase(found);
}

}  // namespace

NarrativeSequencer::NarrativeSequencer(std::shared_ptr<Environment> root)
    : root_environment(std::move(root)) {
    if (!root_environment) throw std::invalid_argument("a sequencer needs a root zone, not null");
}

NarrativeSequencer::~NarrativeSequencer() = default;

nlohmann::json NarrativeSequencer::NextFrame() {
    ensure_supported_depth(*root_environment);
    last_event.reset();

    // The limit is tested before the finished flag: a level that ended in the
    // last allowed frame answers with the limit from then on.
    if (current_frame >= max_frames) {
        is_finished = true;
        return generate_response(QOR_FRAME_EVENT_ERROR,
                                 "Max frame limit reached. Infinite loop detected.");
    }
    if (is_finished) {
        return generate_response(QOR_FRAME_EVENT_FINISHED,
                                 "Simulation complete. No further actions.");
    }

    ++current_frame;
    Environment* root = root_environment.get();
    update_freeze_states(root);
    std::vector<CollectedAgent> collected;
    collect_agents(root, collected);
    // Equal priorities keep their collection order, however many agents there are.
    std::stable_sort(collected.begin(), collected.end(), [](const auto& a, const auto& b) {
        return a.first->priority > b.first->priority;
    });

    if (!cast_first_willing(collected) && !check_and_collapse(root)) {
        is_finished = true;
        last_event = FrameEvent{"System", "N/A", QOR_FRAME_EVENT_FINISHED, "Equation Resolved."};
    }
    return generate_response(is_finished ? QOR_FRAME_EVENT_FINISHED : QOR_FRAME_EVENT_RUNNING,
                             last_event->description);
}

bool NarrativeSequencer::cast_first_willing(const std::vector<CollectedAgent>& collected) {
    for (const auto& [agent, zone] : collected) {
        agent->state = AgentState::ACTIVE;
        if (!agent->CastSpell(zone->charges)) {
            agent->state = AgentState::DORMANT;
            continue;
        }
        zone->note_charges_changed();
        last_event = FrameEvent{agent->name, agent->visual_id, QOR_FRAME_EVENT_CAST_SPELL,
                                agent->name + " executed operation in " + zone->id};
        // The collected list still holds the agent, so it lives until the frame ends.
        remove_agent(*zone, agent.get());
        return true;
    }
    return false;
}

void NarrativeSequencer::collect_agents(Environment* zone, std::vector<CollectedAgent>& collected) {
    walk_zones_post_order(*zone, [&](Environment& visited, Environment*, std::size_t) {
        if (!visited.is_time_frozen) {
            for (const auto& agent : visited.agents) {
                if (agent) collected.emplace_back(agent, &visited);
            }
        }
        return false;
    });
}

void NarrativeSequencer::update_freeze_states(Environment* zone) {
    walk_zones_post_order(*zone, [](Environment& visited, Environment*, std::size_t) {
        visited.is_time_frozen = std::any_of(
            visited.sub_environments.begin(), visited.sub_environments.end(),
            [](const auto& sub_zone) { return sub_zone && is_unresolved(*sub_zone); });
        return false;
    });
}

bool NarrativeSequencer::check_and_collapse(Environment* zone) {
    return walk_zones_post_order(*zone, [this](Environment& visited, Environment* parent,
                                               std::size_t index) {
        if (parent == nullptr || !is_collapsible(visited)) return false;
        parent->charges.push_back(visited.charges.front());
        parent->note_charges_changed();
        last_event = FrameEvent{"Chronomancer", "shield_" + visited.id,
                                QOR_FRAME_EVENT_COLLAPSE_ZONE,
                                "Zone " + visited.id + " has resolved and merged."};
        // May destroy `visited`: nothing of it is used after this.
        parent->sub_environments.erase(parent->sub_environments.begin() +
                                       static_cast<std::ptrdiff_t>(index));
        return true;
    });
}

nlohmann::json NarrativeSequencer::generate_response(std::string status,
                                                     std::string message) const {
    nlohmann::json response = root_environment->to_json();
    response["meta"] = nlohmann::json{
        {"frame_index", current_frame},
        {"status", std::move(status)},
        {"message", std::move(message)},
        {"last_event", last_event ? last_event->to_json() : nlohmann::json(nullptr)},
    };
    return response;
}

}  // namespace qor
