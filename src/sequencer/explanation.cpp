#include "sequencer/explanation.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/json_text.h"
#include "sequencer/narrative_sequencer.h"
#include "sequencer/zone_rules.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor {

const char* spell_reason_code(SpellReason reason) {
    switch (reason) {
        case SpellReason::ACTS: return "acts";
        case SpellReason::TOO_FEW_CHARGES: return "too_few_charges";
        case SpellReason::NEGATIVE_CHARGE: return "negative_charge";
        case SpellReason::LOG_ARGUMENT: return "log_argument";
        case SpellReason::LOG_BASE: return "log_base";
        case SpellReason::NEGATIVE_RADICAND: return "negative_radicand";
        case SpellReason::DIVISOR_NEAR_ZERO: return "divisor_near_zero";
        case SpellReason::GATE_SHUT: return "gate_shut";
        case SpellReason::NEVER_ACTS: return "never_acts";
        case SpellReason::DECLINES: break;
    }
    return "declines";
}

std::string figure_text(double figure) {
    if (std::isnan(figure)) return "NaN";
    if (std::isinf(figure)) return figure > 0 ? "inf" : "-inf";
    std::string text;
    JsonTextWriter out(text);
    out.number(figure);
    out.flush();
    return text;
}

namespace {

// "1 charge", "3 charges"; "none" for zero.
std::string counted(std::size_t count, const char* one, const char* many) {
    if (count == 0) return "none";
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A gate's total held against its target by its rule.
std::string gate_words(const SpellDecision& decision) {
    const std::string total = "total " + figure_text(decision.value);
    const std::string rule = decision.rule;
    if (rule == "==") return total + ", opens at " + figure_text(decision.bound);
    return total + (decision.acts() ? " " : " is not ") + rule + " " + figure_text(decision.bound);
}

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

std::string spell_decision_note(const SpellDecision& decision) {
    switch (decision.reason) {
        case SpellReason::ACTS:
            return decision.rule != nullptr ? gate_words(decision) : "its spell takes effect";
        case SpellReason::TOO_FEW_CHARGES:
            return "needs " + counted(decision.charges_needed, "charge", "charges") + ", the zone has " +
                   (decision.charge_count == 0 ? std::string("none") : std::to_string(decision.charge_count));
        case SpellReason::NEGATIVE_CHARGE:
            return "the last charge (" + figure_text(decision.value) + ") is negative";
        case SpellReason::LOG_ARGUMENT:
            return "the argument " + figure_text(decision.value) + " has no logarithm: it is not above 0";
        case SpellReason::LOG_BASE:
            return "the base " + figure_text(decision.value) + " is no logarithm base: it must be above 0 and not 1";
        case SpellReason::NEGATIVE_RADICAND:
            return "the radicand " + figure_text(decision.value) + " is negative under the even index " +
                   figure_text(decision.bound);
        case SpellReason::DIVISOR_NEAR_ZERO:
            return "the divisor " + figure_text(decision.value) + " (charge " +
                   std::to_string(decision.position + 1) + ") is within 1e-9 of zero";
        case SpellReason::GATE_SHUT: return gate_words(decision);
        case SpellReason::NEVER_ACTS: return "a Chronomancer never acts";
        case SpellReason::DECLINES: break;
    }
    return "its spell does not take effect";
}

namespace {

// The members of a JSON object written one by one, commas between them.
class Members {
public:
    explicit Members(JsonTextWriter& out) : out_(out) {}
    JsonTextWriter& key(const char* name) {
        out_.raw(first_ ? "\"" : ",\"");
        out_.raw(name);
        out_.raw("\":");
        first_ = false;
        return out_;
    }

private:
    JsonTextWriter& out_;
    bool first_ = true;
};

void write_event(JsonTextWriter& out, const std::optional<FrameEvent>& event) {
    if (!event) {
        out.raw("null");
        return;
    }
    out.raw("{\"agent_name\":");
    out.string(event->agent_name);
    out.raw(",\"description\":");
    out.string(event->description);
    out.raw(",\"type\":");
    out.string(event->type);
    out.raw(",\"visual_id\":");
    out.string(event->visual_id);
    out.raw('}');
}

// The figures of a decision, in key order, into an open object.
void write_decision_figures(Members& members, const SpellDecision& decision) {
    const auto figure = [&](const char* name, double value) { members.key(name).number(value); };
    const auto count = [&](const char* name, std::size_t value) {
        members.key(name).integer(static_cast<std::int64_t>(value));
    };
    switch (decision.reason) {
        case SpellReason::LOG_ARGUMENT:
            figure("argument", decision.value);
            count("position", decision.position);
            break;
        case SpellReason::LOG_BASE:
            figure("base", decision.value);
            count("position", decision.position);
            break;
        case SpellReason::TOO_FEW_CHARGES:
            count("charges", decision.charge_count);
            count("needed", decision.charges_needed);
            break;
        case SpellReason::DIVISOR_NEAR_ZERO:
            figure("divisor", decision.value);
            count("position", decision.position);
            break;
        case SpellReason::NEGATIVE_RADICAND:
            figure("index", decision.bound);
            figure("radicand", decision.value);
            break;
        case SpellReason::NEGATIVE_CHARGE:
            figure("magnitude", decision.value);
            count("position", decision.position);
            break;
        default: break;
    }
    if (decision.rule != nullptr) {
        members.key("rule").string(decision.rule);
        figure("target", decision.bound);
        figure("total", decision.value);
    }
}

bool is_shut_gate(const MagicianAgent& agent) {
    if (const auto* gate = dynamic_cast<const EqualsGate*>(&agent)) return !gate->is_open;
    if (const auto* gate = dynamic_cast<const InequalityGate*>(&agent)) return !gate->is_open;
    return false;
}

std::size_t agent_count(const Environment& zone) {
    std::size_t count = 0;
    for (const auto& agent : zone.agents) count += agent ? 1 : 0;
    return count;
}

// The first direct sub-zone that keeps `zone` frozen, with its pointer.
struct FreezingSubZone {
    const Environment* zone = nullptr;
    std::string pointer;
};

FreezingSubZone freezing_sub_zone(const Environment& zone, std::string_view zone_pointer) {
    std::size_t written = 0;  // the frame document leaves empty slots out
    for (const auto& sub_zone : zone.sub_environments) {
        if (!sub_zone) continue;
        if (is_unresolved(*sub_zone)) {
            return {sub_zone.get(), std::string(zone_pointer) + "/sub_environments/" + std::to_string(written)};
        }
        ++written;
    }
    return {};
}

// What the sub-zone still holds that keeps its parent frozen.
std::string still_holds(const Environment& sub_zone) {
    const std::size_t agents = agent_count(sub_zone);
    if (agents == 1) return "an agent";
    if (agents > 1) return std::to_string(agents) + " agents";
    return std::to_string(sub_zone.charges.size()) + " charges";
}

// One agent's line of the explanation.
struct AgentVerdict {
    const char* state;
    const char* reason;
    std::string note;
};

// Writes the explanation's lists while the tree is walked, then the document.
class ExplanationWriter {
public:
    ExplanationWriter(const NarrativeSequencer& sequencer, const ForeseenFrame& next,
                      bool runs)
        : sequencer_(sequencer), next_(next), runs_(runs) {}

    void walk(const Environment& root) {
        walk_zones(
            root, [this](const Environment&) { enter_zone(); },
            [this](const Environment& zone, const Environment* parent, std::size_t) {
                leave_zone(zone, parent);
                return false;
            });
        agents_out_.flush();
        zones_out_.flush();
    }

    std::string document() const;

private:
    struct OpenZone {
        std::size_t parent_pointer_length;
        std::size_t written_sub_zones = 0;
        bool never_resolves = false;
        const Environment* never_resolving_sub_zone = nullptr;
    };

    void enter_zone() {
        const std::size_t parent_length = pointer_.size();
        if (!open_.empty()) {
            pointer_ += "/sub_environments/";
            pointer_ += std::to_string(open_.back().written_sub_zones++);
        }
        open_.push_back({parent_length});
    }

    void leave_zone(const Environment& zone, const Environment* parent) {
        explain_zone(zone, parent, open_.back());
        const bool never_resolves = open_.back().never_resolves;
        pointer_.resize(open_.back().parent_pointer_length);
        open_.pop_back();
        if (never_resolves && !open_.empty() && !open_.back().never_resolves) {
            open_.back().never_resolves = true;
            open_.back().never_resolving_sub_zone = &zone;
        }
    }

    void explain_zone(const Environment& zone, const Environment* parent, OpenZone& open);
    void explain_agent(const Environment& zone, MagicianAgent& agent, std::size_t place,
                       const FreezingSubZone& frozen_by, const MagicianAgent*& chronomancer);
    AgentVerdict verdict(const Environment& zone, const SpellDecision& decision,
                         const FreezingSubZone& frozen_by, bool acts_next);
    void write_agent(const Environment& zone, const MagicianAgent& agent, std::size_t place,
                     const AgentVerdict& verdict, const SpellDecision& decision,
                     const FreezingSubZone& frozen_by);
    void check_size() const {
        if (agents_out_.size() + zones_out_.size() > kMaxExplanationBytes) throw TreeTooLargeError();
    }
    const char* outcome() const;
    std::string summary(const char* outcome) const;

    const NarrativeSequencer& sequencer_;
    const ForeseenFrame& next_;
    const bool runs_;
    RememberedTotal remembered_;

    std::string pointer_;  // of the zone being explained
    std::vector<OpenZone> open_;
    bool actor_found_ = false;
    bool collapsible_found_ = false;
    bool anything_acts_ = false;

    std::string agents_text_;
    std::string zones_text_;
    JsonTextWriter agents_out_{agents_text_};
    JsonTextWriter zones_out_{zones_text_};
    std::vector<std::string> shut_gates_;  // their pointers
    std::vector<std::string> shut_gate_words_;
};

void ExplanationWriter::explain_zone(const Environment& zone, const Environment* parent, OpenZone& open) {
    const FreezingSubZone frozen_by = freezing_sub_zone(zone, pointer_);
    remembered_.watch(zone.charges);
    const MagicianAgent* chronomancer = nullptr;
    std::size_t place = 0;  // in the frame document, which leaves empty slots out
    for (const auto& agent : zone.agents) {
        if (agent) explain_agent(zone, *agent, place++, frozen_by, chronomancer);
    }
    if (chronomancer != nullptr) {
        open.never_resolves = true;
        open.never_resolving_sub_zone = nullptr;
    }

    // A zone of one charge and no agent merges, frozen or not, and takes
    // its sub-zones along.
    const bool collapsible = parent != nullptr && is_collapsible(zone);
    const bool merges_next = collapsible && !collapsible_found_ && next_.merging_zone == &zone;
    collapsible_found_ = collapsible_found_ || collapsible;
    if (collapsible) open.never_resolves = false;
    const char* state = nullptr;
    std::string note;
    if (collapsible) {
        state = merges_next ? "merges_next" : "merges";
        note = "holds one charge and no agent: " +
               std::string(merges_next ? "merges into zone " + in_quotes(parent->id) + " next"
                                       : "will merge into zone " + in_quotes(parent->id) + " once no agent acts");
    } else if (open.never_resolves) {
        state = "never_resolves";
        note = chronomancer != nullptr
                   ? "holds Chronomancer " + in_quotes(chronomancer->visual_id) + ", which never acts"
                   : "sub-zone " + in_quotes(open.never_resolving_sub_zone->id) + " never resolves";
    } else if (frozen_by.zone != nullptr) {
        state = "frozen";
        note = "frozen by sub-zone " + in_quotes(frozen_by.zone->id) + ", which still holds " +
               still_holds(*frozen_by.zone);
    } else {
        return;
    }
    JsonTextWriter& out = zones_out_;
    if (zones_out_.size() > 0) out.raw(',');
    out.raw("{\"frozen_by\":");
    if (frozen_by.zone != nullptr) {
        out.raw("{\"id\":");
        out.string(frozen_by.zone->id);
        out.raw(",\"pointer\":");
        out.string(frozen_by.pointer);
        out.raw('}');
    } else {
        out.raw("null");
    }
    out.raw(",\"id\":");
    out.string(zone.id);
    out.raw(",\"into\":");
    if (collapsible) {
        out.string(parent->id);
    } else {
        out.raw("null");
    }
    out.raw(",\"note\":");
    out.string(note);
    out.raw(",\"pointer\":");
    out.string(pointer_);
    out.raw(",\"state\":\"");
    out.raw(state);
    out.raw("\"}");
    check_size();
}

void ExplanationWriter::explain_agent(const Environment& zone, MagicianAgent& agent, std::size_t place,
                                      const FreezingSubZone& frozen_by, const MagicianAgent*& chronomancer) {
    const SpellDecision decision = agent.decide(zone.charges);
    if (decision.reason == SpellReason::NEVER_ACTS && chronomancer == nullptr) chronomancer = &agent;
    // The frame takes an agent from the first place it holds in its zone.
    const bool acts_next = !actor_found_ && &agent == next_.actor && &zone == next_.actor_zone;
    actor_found_ = actor_found_ || acts_next;
    const AgentVerdict verdict_ = verdict(zone, decision, frozen_by, acts_next);
    write_agent(zone, agent, place, verdict_, decision, frozen_by);
    if (is_shut_gate(agent) && !sequencer_.is_refill(zone, agent)) {
        shut_gates_.push_back(pointer_ + "/agents/" + std::to_string(place));
        shut_gate_words_.push_back("gate " + in_quotes(agent.visual_id) + " is still shut: " + verdict_.note);
    }
    check_size();
}

AgentVerdict ExplanationWriter::verdict(const Environment& zone, const SpellDecision& decision, const FreezingSubZone& frozen_by,
                                        bool acts_next) {
    if (acts_next) {
        anything_acts_ = true;
        return {"acts", "acts", decision.rule != nullptr ? "opens next: " + spell_decision_note(decision)
                                                         : std::string("acts next")};
    }
    if (decision.reason == SpellReason::NEVER_ACTS) {
        return {"declines", "never_acts", spell_decision_note(decision)};
    }
    if (frozen_by.zone != nullptr) {
        return {"waits", "zone_frozen",
                "zone " + in_quotes(zone.id) + " is frozen by sub-zone " + in_quotes(frozen_by.zone->id) +
                    ", which still holds " + still_holds(*frozen_by.zone)};
    }
    if (!decision.acts()) {
        return {"declines", spell_reason_code(decision.reason), spell_decision_note(decision)};
    }
    anything_acts_ = true;
    if (!runs_ && sequencer_.current_frame >= sequencer_.max_frames) {
        return {"waits", "frame_limit", "would act, but the frame limit stops the level"};
    }
    if (!runs_) return {"waits", "level_finished", "would act, but the level has finished"};
    if (next_.actor != nullptr) {
        return {"waits", "outranked",
                "waits for " + next_.actor->name + " " + in_quotes(next_.actor->visual_id) + " (priority " +
                    std::to_string(next_.actor->priority) + "), which acts first"};
    }
    // A host's kind whose decide() and spell disagree: the frame is what counts.
    return {"declines", "declines", spell_decision_note(SpellDecision::declining(SpellReason::DECLINES, 0))};
}

void ExplanationWriter::write_agent(const Environment& zone, const MagicianAgent& agent, std::size_t place,
                                    const AgentVerdict& verdict, const SpellDecision& decision,
                                    const FreezingSubZone& frozen_by) {
    JsonTextWriter& out = agents_out_;
    if (agents_out_.size() > 0) out.raw(',');
    out.raw("{\"figures\":{");
    Members figures(out);
    const std::string_view reason = verdict.reason;
    if (reason == "zone_frozen") {
        figures.key("frozen_by").string(frozen_by.zone->id);
        figures.key("frozen_by_agents").integer(static_cast<std::int64_t>(agent_count(*frozen_by.zone)));
        figures.key("frozen_by_charges").integer(static_cast<std::int64_t>(frozen_by.zone->charges.size()));
        figures.key("frozen_by_pointer").string(frozen_by.pointer);
    } else if (reason != "never_acts") {
        if (reason == "outranked") {
            figures.key("by_name").string(next_.actor->name);
            figures.key("by_priority").integer(next_.actor->priority);
            figures.key("by_visual_id").string(next_.actor->visual_id);
        }
        write_decision_figures(figures, decision);
    }
    out.raw("},\"name\":");
    out.string(agent.name);
    out.raw(",\"note\":");
    out.string(verdict.note);
    // A pointer holds only member names and digits: nothing to escape.
    out.raw(",\"pointer\":\"");
    out.raw(std::string_view(pointer_));
    out.raw("/agents/");
    out.integer(static_cast<std::int64_t>(place));
    out.raw("\",\"priority\":");
    out.integer(agent.priority);
    out.raw(",\"reason\":\"");
    out.raw(verdict.reason);
    out.raw(sequencer_.is_refill(zone, agent) ? "\",\"refill\":true,\"state\":\"" : "\",\"refill\":false,\"state\":\"");
    out.raw(verdict.state);
    out.raw("\",\"visual_id\":");
    out.string(agent.visual_id);
    out.raw(",\"zone\":");
    out.string(zone.id);
    out.raw('}');
}

// A level has ended when the next call runs no frame and nothing is left to
// happen (no agent would act, no zone would merge): then it is won unless a
// gate stands shut. A level that resolved in exactly its last allowed frame
// has ended too. One the frame limit stops with something left to happen is
// "frame_limit".
const char* ExplanationWriter::outcome() const {
    if (runs_) return "running";
    const bool at_rest = !anything_acts_ && !collapsible_found_;
    if (sequencer_.current_frame >= sequencer_.max_frames && !at_rest) return "frame_limit";
    return shut_gates_.empty() ? "won" : "lost";
}

std::string ExplanationWriter::summary(const char* outcome) const {
    const std::string_view kind = outcome;
    if (kind == "running") return "Running: next, " + next_.event->description;
    if (kind == "frame_limit") return "Stopped at the frame limit";
    if (kind == "won") return "Won: every gate opened";
    std::string words = "Lost: ";
    for (std::size_t i = 0; i < shut_gate_words_.size(); ++i) {
        if (i > 0) words += "; ";
        words += shut_gate_words_[i];
    }
    return words;
}

std::string ExplanationWriter::document() const {
    const char* outcome_code = outcome();
    std::string text;
    text.reserve(agents_text_.size() + zones_text_.size() + 256);
    JsonTextWriter out(text);
    out.raw("{\"agents\":[");
    out.raw(std::string_view(agents_text_));
    out.raw("],\"frame_index\":");
    out.integer(sequencer_.current_frame);
    out.raw(",\"max_frames\":");
    out.integer(sequencer_.max_frames);
    out.raw(",\"next\":");
    write_event(out, next_.event);
    out.raw(",\"outcome\":\"");
    out.raw(outcome_code);
    out.raw("\",\"shut_gates\":[");
    for (std::size_t i = 0; i < shut_gates_.size(); ++i) {
        if (i > 0) out.raw(',');
        out.string(shut_gates_[i]);
    }
    out.raw("],\"summary\":");
    out.string(summary(outcome_code));
    out.raw(",\"zones\":[");
    out.raw(std::string_view(zones_text_));
    out.raw("]}");
    out.flush();
    return text;
}

}  // namespace

ForeseenFrame NarrativeSequencer::foresee_frame() {
    ForeseenFrame foreseen;
    if (!runs_next_frame()) return foreseen;
    // Dropped without commit when this returns: the frame is undone exactly.
    PendingFrame frame = begin_frame();
    foreseen.event = last_event;
    if (record_.cast_zone != nullptr) {
        foreseen.actor = collected_[record_.actor].agent;
        foreseen.actor_zone = record_.cast_zone;
    }
    if (record_.merge_parent != nullptr) foreseen.merging_zone = record_.merged_zone.get();
    return foreseen;
}

std::string NarrativeSequencer::explain() {
    if (record_.open) throw std::logic_error("a frame of this sequencer is still pending");
    ensure_walkable(*root_environment);
    const bool runs = runs_next_frame();
    const ForeseenFrame next = foresee_frame();
    ExplanationWriter writer(*this, next, runs);
    writer.walk(*root_environment);
    return writer.document();
}

}  // namespace qor
