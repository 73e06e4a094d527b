#include "sequencer/narrative_sequencer.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "patch/frame_patch.h"
#include "sequencer/zone_rules.h"
#include "spells/arithmetic_magicians.h"

namespace qor {

namespace {

// Highest priority first; equal priorities keep their collection order.
bool offered_before(const CollectedAgent& a, const CollectedAgent& b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    return a.order < b.order;
}

// The place of the first entry of the zone's agent list that holds `agent`
// itself; the list's size when there is none.
std::size_t place_of(const Environment& zone, const MagicianAgent* agent) {
    const auto found = std::find_if(zone.agents.begin(), zone.agents.end(),
                                    [agent](const auto& held) { return held.get() == agent; });
    return static_cast<std::size_t>(found - zone.agents.begin());
}

FrameEvent cast_event(const MagicianAgent& agent, const Environment& zone) {
    return FrameEvent{agent.name, agent.visual_id, QOR_FRAME_EVENT_CAST_SPELL,
                      agent.name + " executed operation in " + zone.id};
}

FrameEvent collapse_event(const Environment& zone) {
    return FrameEvent{"Chronomancer", "shield_" + zone.id, QOR_FRAME_EVENT_COLLAPSE_ZONE,
                      "Zone " + zone.id + " has resolved and merged."};
}

FrameEvent resolved_event() {
    return FrameEvent{"System", "N/A", QOR_FRAME_EVENT_FINISHED, "Equation Resolved."};
}

// What merging the zone at `index` of the parent's sub-zones needs, made
// before anything changes: the copy of its charge, the event, and room for
// the charge in the parent's list.
struct PreparedMerge {
    Charge merged;
    FrameEvent event;
};

PreparedMerge prepare_merge(Environment& parent, std::size_t index) {
    const Environment& zone = *parent.sub_environments[index];
    PreparedMerge prepared{zone.charges.front(), collapse_event(zone)};
    parent.charges.reserve(parent.charges.size() + 1);
    return prepared;
}

// Moves the prepared charge into the parent's reserved room and takes the
// zone out of the parent's sub-zones; returns the zone taken out.
std::shared_ptr<Environment> merge_into_parent(Environment& parent, std::size_t index,
                                               Charge& merged) noexcept {
    parent.charges.push_back(std::move(merged));
    parent.note_charges_changed();
    std::shared_ptr<Environment> zone = std::move(parent.sub_environments[index]);
    parent.sub_environments.erase(parent.sub_environments.begin() + static_cast<std::ptrdiff_t>(index));
    return zone;
}

// A frame response's "meta" member, written straight as text.
class MetaText final : public ExtraRootMembers {
public:
    MetaText(std::int32_t frame_index, const std::optional<FrameEvent>& event,
             std::string_view message, std::string_view status)
        : frame_index_(frame_index), event_(event), message_(message), status_(status) {}

    void write(JsonTextWriter& out) const override {
        out.raw("\"meta\":{\"frame_index\":");
        out.integer(frame_index_);
        out.raw(",\"last_event\":");
        if (event_) {
            out.raw("{\"agent_name\":");
            out.string(event_->agent_name);
            out.raw(",\"description\":");
            out.string(event_->description);
            out.raw(",\"type\":");
            out.string(event_->type);
            out.raw(",\"visual_id\":");
            out.string(event_->visual_id);
            out.raw('}');
        } else {
            out.raw("null");
        }
        out.raw(",\"message\":");
        out.string(message_);
        out.raw(",\"status\":");
        out.string(status_);
        out.raw("},");
    }

private:
    std::int32_t frame_index_;
    const std::optional<FrameEvent>& event_;
    std::string_view message_;
    std::string_view status_;
};

constexpr const char* kLimitMessage = "Max frame limit reached. Infinite loop detected.";
constexpr const char* kCompleteMessage = "Simulation complete. No further actions.";

}  // namespace

NarrativeSequencer::NarrativeSequencer(std::shared_ptr<Environment> root)
    : root_environment(std::move(root)) {
    if (!root_environment) throw std::invalid_argument("a sequencer needs a root zone, not null");
}

NarrativeSequencer::NarrativeSequencer(std::shared_ptr<Environment> root, std::int32_t frame_limit)
    : NarrativeSequencer(std::move(root)) {
    check_max_frames(frame_limit);
    max_frames = frame_limit;
}

NarrativeSequencer::~NarrativeSequencer() = default;

void NarrativeSequencer::check_max_frames(std::int64_t frame_limit) {
    if (frame_limit < 1 || frame_limit > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("max_frames must be from 1 to 2147483647, not " +
                                    std::to_string(frame_limit));
    }
}

NarrativeSequencer::PendingFrame::PendingFrame(NarrativeSequencer& sequencer) noexcept
    : sequencer_(&sequencer) {}

NarrativeSequencer::PendingFrame::PendingFrame(PendingFrame&& other) noexcept
    : sequencer_(std::exchange(other.sequencer_, nullptr)) {}

NarrativeSequencer::PendingFrame::~PendingFrame() {
    if (sequencer_ != nullptr) sequencer_->undo_frame();
}

const char* NarrativeSequencer::PendingFrame::status() const { return sequencer_->record_.status; }

std::string NarrativeSequencer::PendingFrame::message() const { return std::string(message_view()); }

std::string_view NarrativeSequencer::PendingFrame::message_view() const {
    const FrameRecord& record = sequencer_->record_;
    if (record.message != nullptr) return record.message;
    return sequencer_->last_event->description;
}

std::string NarrativeSequencer::PendingFrame::text() const {
    const NarrativeSequencer& sequencer = *sequencer_;
    const MetaText meta(sequencer.current_frame, sequencer.last_event, message_view(), status());
    return zone_json_text(*sequencer.root_environment, &meta);
}

const std::string& NarrativeSequencer::PendingFrame::keep_text() {
    NarrativeSequencer& sequencer = *sequencer_;
    KeptText& kept = sequencer.next_base_;
    sequencer.next_base_written_ = false;
    const MetaText meta(sequencer.current_frame, sequencer.last_event, message_view(), status());
    write_zone_json_text(kept.text, *sequencer.root_environment, &meta, nullptr);
    kept.laid_out = false;
    kept.written_with_layout = false;
    sequencer.next_base_written_ = true;
    return kept.text;
}

std::string NarrativeSequencer::PendingFrame::patch_text(TreeEdits edits) {
    NarrativeSequencer& sequencer = *sequencer_;
    KeptText& kept = sequencer.next_base_;
    sequencer.next_base_written_ = false;
    const MetaText meta(sequencer.current_frame, sequencer.last_event, message_view(), status());
    if (edits != TreeEdits::COUNTED || !sequencer.rewrite_base_text(kept, meta)) {
        write_zone_json_text(kept.text, *sequencer.root_environment, &meta, &kept.layout);
    }
    kept.laid_out = true;
    kept.written_with_layout = true;
    std::string patch;
    KeptText& base = sequencer.base_;
    if (sequencer.has_base_ && !base.laid_out) base.laid_out = scan_zone_text_layout(base.text, base.layout);
    if (sequencer.has_base_ && base.laid_out) {
        patch = zone_text_patch({base.text, base.layout}, {kept.text, kept.layout});
    } else {
        patch = whole_document_patch(kept.text);
    }
    sequencer.next_base_written_ = true;
    return patch;
}

void NarrativeSequencer::PendingFrame::commit() noexcept {
    if (sequencer_ == nullptr) return;
    sequencer_->commit_frame();
    sequencer_ = nullptr;
}

nlohmann::json NarrativeSequencer::NextFrame() {
    PendingFrame frame = begin_frame();
    nlohmann::json response = generate_response(frame.status(), frame.message());
    frame.commit();
    return response;
}

std::string NarrativeSequencer::next_frame_text() {
    PendingFrame frame = begin_frame();
    std::string text = frame.text();
    frame.commit();
    return text;
}

std::string NarrativeSequencer::next_frame_patch(TreeEdits edits) {
    PendingFrame frame = begin_frame();
    std::string patch = frame.patch_text(edits);
    frame.commit();
    return patch;
}

NarrativeSequencer::PendingFrame NarrativeSequencer::begin_frame() {
    if (record_.open) throw std::logic_error("a frame of this sequencer is still pending");
    record_.open = true;
    record_.edits_before = tree_edit_count();
    record_.frame_before = current_frame;
    record_.finished_before = is_finished;
    // From here on, whatever throws undoes what the record holds.
    PendingFrame frame(*this);

    if (current_frame >= max_frames || is_finished) {
        ensure_walkable(*root_environment);
        record_.event_before = std::move(last_event);
        record_.event_replaced = true;
        last_event.reset();
        // The limit is tested before the finished flag: a level that ended in
        // the last allowed frame answers with the limit from then on.
        if (current_frame >= max_frames) {
            is_finished = true;
            record_.status = QOR_FRAME_EVENT_ERROR;
            record_.message = kLimitMessage;
        } else {
            record_.status = QOR_FRAME_EVENT_FINISHED;
            record_.message = kCompleteMessage;
        }
        return frame;
    }

    // The survey only reads the tree, so a tree too deep or too large to walk
    // is refused before anything changes.
    survey(*root_environment);
    put_in_offering_order(collected_);
    std::optional<std::vector<Charge>> result = find_actor();
    if (result) {
        const CollectedAgent& acting = collected_[record_.actor];
        apply_frame_start(cast_event(*acting.agent, *acting.zone));
        apply_cast(*result);
        record_.after_cast_prepared = prepare_after_cast(*acting.zone, *acting.agent);
    } else if (collapse_candidate_.parent != nullptr) {
        // A declining agent changes nothing, so when nobody acts the zone the
        // survey found is still the first collapsible one.
        PreparedMerge prepared = prepare_merge(*collapse_candidate_.parent, collapse_candidate_.index);
        apply_frame_start(std::move(prepared.event));
        apply_collapse(prepared.merged);
    } else {
        apply_frame_start(resolved_event());
        is_finished = true;
    }
    record_.status = is_finished ? QOR_FRAME_EVENT_FINISHED : QOR_FRAME_EVENT_RUNNING;
    return frame;
}

std::optional<std::vector<Charge>> NarrativeSequencer::find_actor() {
    // A declining agent leaves its zone's charges as they were.
    RememberedTotal remembered;
    for (std::size_t i = 0; i < collected_.size(); ++i) {
        const CollectedAgent& offered = collected_[i];
        remembered.watch(offered.zone->charges);
        record_.tried = i + 1;
        offered.agent->state = AgentState::ACTIVE;
        std::optional<std::vector<Charge>> result = offered.agent->prepare_spell(offered.zone->charges);
        if (result) {
            record_.actor = i;
            return result;
        }
        offered.agent->state = AgentState::DORMANT;
    }
    return std::nullopt;
}

void NarrativeSequencer::apply_frame_start(FrameEvent event) noexcept {
    // Other sequencers of this tree see it changed.
    note_tree_edit();
    record_.event_before = std::move(last_event);
    record_.event_replaced = true;
    last_event = std::move(event);
    ++current_frame;
    for (const FreezeChange& change : freeze_changes_) change.zone->is_time_frozen = change.frozen;
    record_.freeze_applied = true;
}

void NarrativeSequencer::apply_cast(std::vector<Charge>& result) noexcept {
    const CollectedAgent& acting = collected_[record_.actor];
    Environment& zone = *acting.zone;
    record_.cast_zone = &zone;
    record_.revision_before = zone.charges_revision;
    zone.charges.swap(result);
    record_.charges_before.swap(result);
    zone.note_charges_changed();
    record_.place = place_of(zone, acting.agent);
    if (record_.place < zone.agents.size()) {
        record_.leaving_agent = std::move(zone.agents[record_.place]);
        zone.agents.erase(zone.agents.begin() + static_cast<std::ptrdiff_t>(record_.place));
    }
    acting.agent->spell_applied();
    // An agent that acted is no longer casting. Where it may still stand (an
    // agent placed more than once) it waits, like every agent between frames.
    acting.agent->state = AgentState::DORMANT;
}

void NarrativeSequencer::apply_collapse(Charge& merged) noexcept {
    Environment& parent = *collapse_candidate_.parent;
    const std::size_t index = collapse_candidate_.index;
    record_.merge_parent = &parent;
    record_.place = index;
    record_.revision_before = parent.charges_revision;
    // The zone leaves the tree; the record holds it until the frame is kept.
    record_.merged_zone = merge_into_parent(parent, index, merged);
}

// Every step is put back in reverse order. The lists regain the entries they
// lost without allocating: removing an entry kept the list's capacity.
void NarrativeSequencer::undo_frame() noexcept {
    FrameRecord& record = record_;
    if (record.after_cast_prepared) drop_after_cast();
    if (record.merge_parent != nullptr) {
        Environment& parent = *record.merge_parent;
        parent.sub_environments.insert(
            parent.sub_environments.begin() + static_cast<std::ptrdiff_t>(record.place),
            std::move(record.merged_zone));
        parent.charges.pop_back();
        parent.charges_revision = record.revision_before;
    }
    if (record.cast_zone != nullptr) {
        Environment& zone = *record.cast_zone;
        if (record.leaving_agent) {
            zone.agents.insert(zone.agents.begin() + static_cast<std::ptrdiff_t>(record.place),
                               std::move(record.leaving_agent));
        }
        zone.charges.swap(record.charges_before);
        zone.charges_revision = record.revision_before;
        collected_[record.actor].agent->spell_undone();
    }
    for (std::size_t i = record.tried; i-- > 0;) {
        collected_[i].agent->state = collected_[i].state_before;
    }
    if (record.freeze_applied) {
        for (const FreezeChange& change : freeze_changes_) change.zone->is_time_frozen = !change.frozen;
    }
    if (record.event_replaced) last_event = std::move(record.event_before);
    current_frame = record.frame_before;
    is_finished = record.finished_before;
    record_ = FrameRecord{};
    next_base_written_ = false;
    clear_survey();
}

void NarrativeSequencer::commit_frame() noexcept {
    if (record_.after_cast_prepared) apply_after_cast();
    clear_survey();
    // The frame's text, when it was kept, is the next patch's base;
    // otherwise the next patch cannot know what the host holds.
    has_base_ = next_base_written_;
    if (next_base_written_) std::swap(base_, next_base_);
    next_base_written_ = false;
    edits_at_base_ = tree_edit_count();
    changed_after_base_ = record_.after_cast_prepared ? record_.cast_zone : nullptr;
    // Releases the agent that acted and the merged zone with its subtree;
    // their destructors do not allocate.
    record_ = FrameRecord{};
}

bool NarrativeSequencer::rewrite_base_text(KeptText& kept, const ExtraRootMembers& meta) {
    const FrameRecord& record = record_;
    if (!has_base_ || !base_.written_with_layout || record.edits_before != edits_at_base_) return false;
    // An agent offered the charges ends dormant: one that was active before
    // changed its text wherever it stands.
    for (std::size_t i = 0; i < record.tried; ++i) {
        if (collected_[i].state_before != AgentState::DORMANT) return false;
    }
    ZoneTextChanges& changes = changes_;
    changes.zones.clear();
    changes.shrunk = nullptr;
    changes.watched = nullptr;
    for (const FreezeChange& change : freeze_changes_) changes.zones.push_back(change.zone);
    if (record.cast_zone != nullptr) {
        changes.zones.push_back(record.cast_zone);
        if (record.leaving_agent) changes.watched = record.cast_zone;
    }
    if (record.merge_parent != nullptr) {
        const Environment& parent = *record.merge_parent;
        changes.zones.push_back(&parent);
        changes.shrunk = &parent;
        changes.removed_ordinal = static_cast<std::size_t>(std::count_if(
            parent.sub_environments.begin(),
            parent.sub_environments.begin() + static_cast<std::ptrdiff_t>(record.place),
            [](const auto& sub_zone) { return sub_zone != nullptr; }));
    }
    if (changed_after_base_ != nullptr) changes.zones.push_back(changed_after_base_);
    std::sort(changes.zones.begin(), changes.zones.end());
    changes.zones.erase(std::unique(changes.zones.begin(), changes.zones.end()), changes.zones.end());

    std::size_t cast_entry = 0;
    if (!rewrite_zone_json_text(kept.text, kept.layout, *root_environment, &meta, base_.text, base_.layout,
                                changes, cast_entry)) {
        return false;
    }
    if (changes.watched == nullptr) return true;
    // The agent that acted left its place; where else it stands its text is
    // as it was unless acting changed it (a gate that opened).
    if (cast_entry >= base_.layout.zones.size()) return false;
    const ZoneTextLayout::Zone& old_zone = base_.layout.zones[cast_entry];
    const Environment& zone = *record.cast_zone;
    const std::size_t ordinal = static_cast<std::size_t>(std::count_if(
        zone.agents.begin(), zone.agents.begin() + static_cast<std::ptrdiff_t>(record.place),
        [](const auto& agent) { return agent != nullptr; }));
    if (ordinal >= old_zone.agent_count) return false;
    const std::size_t item = old_zone.first_item + ordinal;
    const std::size_t begin = base_.layout.item_begins[item];
    const std::string_view old_text =
        std::string_view(base_.text).substr(begin, base_.layout.item_end(old_zone, item) - begin);
    std::string actor_text;
    JsonTextWriter out(actor_text);
    record.leaving_agent->write_json_text(out);
    out.flush();
    return actor_text == old_text;
}

void NarrativeSequencer::clear_survey() noexcept {
    collected_.clear();
    freeze_changes_.clear();
    collapse_candidate_ = {};
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

// These three change what they visit as they go: a tree beyond what the
// engine walks is refused first, before anything changes.
void NarrativeSequencer::collect_agents(Environment* zone, std::vector<CollectedAgent>& collected) {
    ensure_walkable(*zone);
    walk_zones_post_order(*zone, [&](Environment& visited, Environment*, std::size_t) {
        if (!visited.is_time_frozen) collect_own_agents(visited, collected);
        return false;
    });
}

void NarrativeSequencer::update_freeze_states(Environment* zone) {
    ensure_walkable(*zone);
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
        if (agent) {
            collected.push_back({agent->priority, collected.size(), agent.get(), &zone, agent->state});
        }
    }
}

bool NarrativeSequencer::check_and_collapse(Environment* zone) {
    ensure_walkable(*zone);
    return walk_zones_post_order(*zone, [this](Environment& visited, Environment* parent,
                                               std::size_t index) {
        if (parent == nullptr || !is_collapsible(visited)) return false;
        // Everything that allocates comes first, so that a failure changes nothing.
        PreparedMerge prepared = prepare_merge(*parent, index);
        last_event = std::move(prepared.event);
        // Releases the zone unless the host holds it: nothing of it is used after this.
        merge_into_parent(*parent, index, prepared.merged);
        return true;
    });
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

bool NarrativeSequencer::is_refill(const Environment&, const MagicianAgent&) const { return false; }

bool NarrativeSequencer::prepare_after_cast(Environment&, const MagicianAgent&) { return false; }

void NarrativeSequencer::apply_after_cast() noexcept {}

void NarrativeSequencer::drop_after_cast() noexcept {}

}  // namespace qor
