#include "sequencer/explanation.h"

#include <cmath>
#include <cstring>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/json_text.h"
#include "model/thread_local.h"
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

void append_figure(std::string& text, double figure) {
    if (std::isnan(figure)) {
        text += "NaN";
    } else if (std::isinf(figure)) {
        text += figure > 0 ? "inf" : "-inf";
    } else {
        JsonTextWriter out(text);
        out.number(figure);
        out.flush();
    }
}

std::string figure_text(double figure) {
    std::string text;
    append_figure(text, figure);
    return text;
}

namespace {

void append_integer(std::string& text, std::int64_t number) {
    JsonTextWriter out(text);
    out.integer(number);
    out.flush();
}

void append_count(std::string& text, std::size_t count) { append_integer(text, static_cast<std::int64_t>(count)); }

// A text a note names, whole up to kNamedTextBytes; a longer one by its
// start and "…", so that a note stays short however long the ids it names.
void append_short(std::string& text, std::string_view named) {
    if (named.size() <= kNamedTextBytes) {
        text += named;
        return;
    }
    std::size_t end = kNamedTextBytes - 3;
    // Cut before a character, never inside one (0b10xxxxxx continues one).
    while (end > 0 && (static_cast<unsigned char>(named[end]) & 0xC0) == 0x80) --end;
    text.append(named.data(), end);
    text += "\xE2\x80\xA6";
}

void append_quoted(std::string& text, std::string_view quoted) {
    text += '"';
    append_short(text, quoted);
    text += '"';
}

// A gate's total held against its target by its rule.
void append_gate_words(std::string& note, const SpellDecision& decision) {
    note += "total ";
    append_figure(note, decision.value);
    if (std::string_view(decision.rule) == "==") {
        note += ", opens at ";
    } else {
        note += decision.acts() ? " " : " is not ";
        note += decision.rule;
        note += ' ';
    }
    append_figure(note, decision.bound);
}

// "<text><figure><rest>"
void append_with_figure(std::string& note, const char* text, double figure, const char* rest) {
    note += text;
    append_figure(note, figure);
    note += rest;
}

}  // namespace

void append_decision_note(std::string& note, const SpellDecision& decision) {
    switch (decision.reason) {
        case SpellReason::ACTS:
            if (decision.rule != nullptr) {
                append_gate_words(note, decision);
            } else {
                note += "its spell takes effect";
            }
            return;
        case SpellReason::TOO_FEW_CHARGES:
            note += "needs ";
            append_count(note, decision.charges_needed);
            note += decision.charges_needed == 1 ? " charge, the zone has " : " charges, the zone has ";
            if (decision.charge_count == 0) {
                note += "none";
            } else {
                append_count(note, decision.charge_count);
            }
            return;
        case SpellReason::NEGATIVE_CHARGE:
            return append_with_figure(note, "the last charge (", decision.value, ") is negative");
        case SpellReason::LOG_ARGUMENT:
            return append_with_figure(note, "the argument ", decision.value,
                                      " has no logarithm: it is not above 0");
        case SpellReason::LOG_BASE:
            return append_with_figure(note, "the base ", decision.value,
                                      " is no logarithm base: it must be above 0 and not 1");
        case SpellReason::NEGATIVE_RADICAND:
            append_with_figure(note, "the radicand ", decision.value, " is negative under the even index ");
            return append_figure(note, decision.bound);
        case SpellReason::DIVISOR_NEAR_ZERO:
            append_with_figure(note, "the divisor ", decision.value, " (charge ");
            append_count(note, decision.position + 1);
            note += ") is within 1e-9 of zero";
            return;
        case SpellReason::GATE_SHUT: return append_gate_words(note, decision);
        case SpellReason::NEVER_ACTS: note += "a Chronomancer never acts"; return;
        case SpellReason::DECLINES: break;
    }
    note += "its spell does not take effect";
}

std::string spell_decision_note(const SpellDecision& decision) {
    std::string note;
    append_decision_note(note, decision);
    return note;
}

namespace {

// The members of a JSON object written one by one, commas between them.
// A key is given with its comma, quotes and colon (`,"total":`), so that
// each is one write.
class Members {
public:
    explicit Members(JsonTextWriter& out) : out_(out) {}
    JsonTextWriter& key(const char* comma_name_colon) {
        out_.raw(first_ ? comma_name_colon + 1 : comma_name_colon);
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
            figure(",\"argument\":", decision.value);
            count(",\"position\":", decision.position);
            break;
        case SpellReason::LOG_BASE:
            figure(",\"base\":", decision.value);
            count(",\"position\":", decision.position);
            break;
        case SpellReason::TOO_FEW_CHARGES:
            count(",\"charges\":", decision.charge_count);
            count(",\"needed\":", decision.charges_needed);
            break;
        case SpellReason::DIVISOR_NEAR_ZERO:
            figure(",\"divisor\":", decision.value);
            count(",\"position\":", decision.position);
            break;
        case SpellReason::NEGATIVE_RADICAND:
            figure(",\"index\":", decision.bound);
            figure(",\"radicand\":", decision.value);
            break;
        case SpellReason::NEGATIVE_CHARGE:
            figure(",\"magnitude\":", decision.value);
            count(",\"position\":", decision.position);
            break;
        default: break;
    }
    if (decision.rule != nullptr) {
        members.key(",\"rule\":").string(decision.rule);
        figure(",\"target\":", decision.bound);
        figure(",\"total\":", decision.value);
    }
}

// Whether a decision has no rule or one of the engine's own (a host's C++
// kind may give any text as its rule).
bool has_plain_rule(const SpellDecision& decision) {
    if (decision.rule == nullptr) return true;
    for (const char* rule : {"==", "<", ">", "<=", ">="}) {
        if (std::strcmp(decision.rule, rule) == 0) return true;
    }
    return false;
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

// The first direct sub-zone that keeps a zone frozen, and its place among
// the zone's sub-zones in the frame document (which leaves empty slots out).
struct FreezingSubZone {
    const Environment* zone = nullptr;
    std::size_t place = 0;
};

FreezingSubZone freezing_sub_zone(const Environment& zone) {
    std::size_t place = 0;
    for (const auto& sub_zone : zone.sub_environments) {
        if (!sub_zone) continue;
        if (is_unresolved(*sub_zone)) return {sub_zone.get(), place};
        ++place;
    }
    return {};
}

// "frozen by sub-zone "s", which still holds an agent" (or "N agents", "N charges").
void append_frozen_words(std::string& note, const Environment& sub_zone) {
    note += "frozen by sub-zone ";
    append_quoted(note, sub_zone.id);
    note += ", which still holds ";
    const std::size_t agents = agent_count(sub_zone);
    if (agents == 1) {
        note += "an agent";
    } else if (agents > 1) {
        append_count(note, agents);
        note += " agents";
    } else {
        append_count(note, sub_zone.charges.size());
        note += " charges";
    }
}

// Visits every zone of a tree explain() has found walkable, as walk_zones
// does (enter before the sub-zones, leave after them; leave returning true
// stops the walk), without counting the tree's work again.
template <typename Enter, typename Leave>
void walk_walkable(const Environment& root, Enter&& enter, Leave&& leave) {
    struct Step {
        const Environment* zone;
        std::size_t next_sub_zone;
    };
    std::vector<Step> path{{&root, 0}};
    enter(root);
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next_sub_zone < top.zone->sub_environments.size()) {
            const Environment* sub_zone = top.zone->sub_environments[top.next_sub_zone++].get();
            if (sub_zone == nullptr) continue;
            path.push_back({sub_zone, 0});
            enter(*sub_zone);
            continue;
        }
        const Environment* zone = top.zone;
        path.pop_back();
        if (leave(*zone, path.empty() ? nullptr : path.back().zone)) return;
    }
}

// The number the explanation gives the agent that acts next: its place in
// "agents", which lists the agents zone by zone, every zone after its
// sub-zones.
std::size_t actor_number(const Environment& root, const ForeseenFrame& next) {
    std::size_t number = 0;
    walk_walkable(root, [](const Environment&) {}, [&](const Environment& zone, const Environment*) {
        if (&zone != next.actor_zone) {
            number += agent_count(zone);
            return false;
        }
        for (const auto& agent : zone.agents) {
            if (!agent) continue;
            if (agent.get() == next.actor) return true;
            ++number;
        }
        return false;
    });
    return number;
}

// Writes the explanation's lists while the tree is walked, then the
// document. Zones are numbered by their place in "zones" and agents by
// theirs in "agents", so that each place is named by a number or two
// rather than by a path.
class ExplanationWriter {
public:
    // Explanations of one level come out at much the same length: the text
    // starts with room for the last one's.
    ExplanationWriter(const NarrativeSequencer& sequencer, const ForeseenFrame& next, bool runs)
        : sequencer_(sequencer), next_(next), runs_(runs) {
        static QOR_THREAD_LOCAL std::size_t last_size = 0;
        last_size_ = &last_size;
        try {
            text_.reserve(last_size + last_size / 8);
        } catch (const std::exception&) {  // only a hint
            last_size = 0;
        }
        agents_out_.raw("{\"agents\":[");
    }

    void walk(const Environment& root) {
        if (next_.actor != nullptr) {
            actor_number_ = actor_number(root, next_);
            write_outranked_note();
        }
        walk_walkable(
            root, [this](const Environment&) { open_.push_back({sub_zone_numbers_.size()}); },
            [this](const Environment& zone, const Environment* parent) {
                leave_zone(zone, parent);
                return false;
            });
        agents_out_.flush();
        zones_out_.flush();
        shut_out_.flush();
    }

    std::string document();

private:
    struct OpenZone {
        std::size_t first_sub_zone;  // where its sub-zones' numbers start in sub_zone_numbers_
        bool never_resolves = false;
        const Environment* never_resolving_sub_zone = nullptr;
    };

    // An agent's state and reason code; its note is in note_.
    struct Verdict {
        std::string_view state;
        std::string_view reason;
    };

    void leave_zone(const Environment& zone, const Environment* parent) {
        explain_zone(zone, parent, open_.back());
        const bool never_resolves = open_.back().never_resolves;
        sub_zone_numbers_.resize(open_.back().first_sub_zone);
        open_.pop_back();
        const std::size_t number = zones_written_++;
        if (open_.empty()) return;
        sub_zone_numbers_.push_back(number);
        if (never_resolves && !open_.back().never_resolves) {
            open_.back().never_resolves = true;
            open_.back().never_resolving_sub_zone = &zone;
        }
    }

    void explain_zone(const Environment& zone, const Environment* parent, OpenZone& open);
    void write_zone(const Environment& zone, const OpenZone& open, const char* state);
    void explain_agent(const Environment& zone, MagicianAgent& agent, std::size_t slot,
                       const MagicianAgent*& chronomancer);
    Verdict verdict(const SpellDecision& decision, bool acts_next);
    void write_agent(const MagicianAgent& agent, std::size_t slot, bool refill,
                     const Verdict& verdict, const SpellDecision& decision);
    const std::string& note_of(const Verdict& verdict) const {
        const std::string_view reason = verdict.reason;
        return reason == "zone_frozen" ? frozen_note_ : reason == "outranked" ? outranked_note_ : note_;
    }
    void write_outranked_note();
    const char* outcome() const;
    std::string summary(const char* outcome) const;

    const NarrativeSequencer& sequencer_;
    const ForeseenFrame& next_;
    const bool runs_;
    RememberedTotal remembered_;

    std::vector<OpenZone> open_;
    std::vector<std::size_t> sub_zone_numbers_;  // of the open zones' sub-zones explained so far
    std::size_t zones_written_ = 0;
    std::size_t agents_written_ = 0;
    std::size_t actor_number_ = 0;
    FreezingSubZone frozen_by_;  // of the zone being explained
    std::string frozen_note_;    // its agents' note while it is frozen
    std::string frozen_note_text_;  // the same as a JSON string
    std::string outranked_note_;    // the note of every agent the next actor outranks
    std::string outranked_note_text_;  // the same as a JSON string
    std::string note_;           // the note being written
    std::string agent_zone_tail_;  // `,"zone":N}` of the zone being explained
    bool actor_found_ = false;
    bool collapsible_found_ = false;
    bool anything_acts_ = false;
    bool any_shut_gate_ = false;

    std::size_t* last_size_;
    std::string text_;  // the document, its agents written as the walk goes
    std::string zones_text_;
    std::string shut_text_;
    JsonTextWriter agents_out_{text_};
    JsonTextWriter zones_out_{zones_text_};
    JsonTextWriter shut_out_{shut_text_};
    std::string shut_gate_words_;  // for the summary of a level that has ended
};

// "waits for Multiply Magician "m" (priority 50), which acts first", the
// same for every agent that waits for the next actor: written once.
void ExplanationWriter::write_outranked_note() {
    outranked_note_ += "waits for ";
    append_short(outranked_note_, next_.actor->name);
    outranked_note_ += ' ';
    append_quoted(outranked_note_, next_.actor->visual_id);
    outranked_note_ += " (priority ";
    append_integer(outranked_note_, next_.actor->priority);
    outranked_note_ += "), which acts first";
    JsonTextWriter note_text(outranked_note_text_);
    note_text.string(outranked_note_);
    note_text.flush();
}

void ExplanationWriter::explain_zone(const Environment& zone, const Environment* parent, OpenZone& open) {
    frozen_by_ = freezing_sub_zone(zone);
    frozen_note_.clear();
    frozen_note_text_.clear();
    if (frozen_by_.zone != nullptr) {
        frozen_note_ += "zone ";
        append_quoted(frozen_note_, zone.id);
        frozen_note_ += " is ";
        append_frozen_words(frozen_note_, *frozen_by_.zone);
        // Written once as JSON for all the zone's agents: its quotes are
        // escaped the slow way.
        JsonTextWriter note_text(frozen_note_text_);
        note_text.string(frozen_note_);
        note_text.flush();
    }
    agent_zone_tail_.assign(",\"zone\":");
    append_count(agent_zone_tail_, zones_written_);
    agent_zone_tail_ += '}';
    remembered_.watch(zone.charges);
    const MagicianAgent* chronomancer = nullptr;
    std::size_t slot = 0;  // in the frame document, which leaves empty slots out
    for (const auto& agent : zone.agents) {
        if (agent) explain_agent(zone, *agent, slot++, chronomancer);
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
    note_.clear();
    if (collapsible) {
        note_ += merges_next ? "holds one charge and no agent: merges into zone "
                             : "holds one charge and no agent: will merge into zone ";
        append_quoted(note_, parent->id);
        note_ += merges_next ? " next" : " once no agent acts";
        write_zone(zone, open, merges_next ? "merges_next" : "merges");
    } else if (open.never_resolves) {
        if (chronomancer != nullptr) {
            note_ += "holds Chronomancer ";
            append_quoted(note_, chronomancer->visual_id);
            note_ += ", which never acts";
        } else {
            note_ += "sub-zone ";
            append_quoted(note_, open.never_resolving_sub_zone->id);
            note_ += " never resolves";
        }
        write_zone(zone, open, "never_resolves");
    } else if (frozen_by_.zone != nullptr) {
        append_frozen_words(note_, *frozen_by_.zone);
        write_zone(zone, open, "frozen");
    } else {
        write_zone(zone, open, nullptr);
    }
}

// A zone's entry; `state` null for a zone that neither merges, is frozen
// nor never resolves (its note is null then).
void ExplanationWriter::write_zone(const Environment& zone, const OpenZone& open, const char* state) {
    JsonTextWriter& out = zones_out_;
    if (zones_written_ > 0) out.raw(',');
    out.raw("{\"frozen_by\":");
    if (frozen_by_.zone != nullptr) {
        out.integer(static_cast<std::int64_t>(sub_zone_numbers_[open.first_sub_zone + frozen_by_.place]));
    } else {
        out.raw("null");
    }
    out.raw(",\"id\":");
    out.string(zone.id);
    if (state != nullptr) {
        out.raw(",\"note\":");
        out.string(note_);
        out.raw(",\"state\":\"");
        out.raw(state);
        out.raw("\",\"sub_zones\":[");
    } else {
        out.raw(",\"note\":null,\"state\":null,\"sub_zones\":[");
    }
    for (std::size_t i = open.first_sub_zone; i < sub_zone_numbers_.size(); ++i) {
        if (i > open.first_sub_zone) out.raw(',');
        out.integer(static_cast<std::int64_t>(sub_zone_numbers_[i]));
    }
    out.raw("]}");
}

void ExplanationWriter::explain_agent(const Environment& zone, MagicianAgent& agent, std::size_t slot,
                                      const MagicianAgent*& chronomancer) {
    const SpellDecision decision = agent.decide(zone.charges);
    if (decision.reason == SpellReason::NEVER_ACTS && chronomancer == nullptr) chronomancer = &agent;
    // The frame takes an agent from the first place it holds in its zone.
    const bool acts_next = !actor_found_ && &agent == next_.actor && &zone == next_.actor_zone;
    actor_found_ = actor_found_ || acts_next;
    note_.clear();
    const Verdict verdict_ = verdict(decision, acts_next);
    const bool refill = sequencer_.is_refill(zone, agent);
    write_agent(agent, slot, refill, verdict_, decision);
    // Only the engine's gates decide with a rule.
    if (decision.rule != nullptr && !refill && is_shut_gate(agent)) {
        if (any_shut_gate_) shut_out_.raw(',');
        shut_out_.integer(static_cast<std::int64_t>(agents_written_ - 1));
        if (!runs_) {
            if (any_shut_gate_) shut_gate_words_ += "; ";
            shut_gate_words_ += "gate ";
            append_quoted(shut_gate_words_, agent.visual_id);
            shut_gate_words_ += " is still shut: ";
            shut_gate_words_ += note_of(verdict_);
        }
        any_shut_gate_ = true;
    }
}

// An agent's state and reason; its note goes to note_ (a frozen zone's
// agents share frozen_note_).
ExplanationWriter::Verdict ExplanationWriter::verdict(const SpellDecision& decision, bool acts_next) {
    if (acts_next) {
        anything_acts_ = true;
        if (decision.rule != nullptr) {
            note_ += "opens next: ";
            append_decision_note(note_, decision);
        } else {
            note_ += "acts next";
        }
        return {"acts", "acts"};
    }
    if (decision.reason == SpellReason::NEVER_ACTS) {
        append_decision_note(note_, decision);
        return {"declines", "never_acts"};
    }
    if (frozen_by_.zone != nullptr) return {"waits", "zone_frozen"};
    if (!decision.acts()) {
        append_decision_note(note_, decision);
        return {"declines", spell_reason_code(decision.reason)};
    }
    anything_acts_ = true;
    if (!runs_ && sequencer_.current_frame >= sequencer_.max_frames) {
        note_ += "would act, but the frame limit stops the level";
        return {"waits", "frame_limit"};
    }
    if (!runs_) {
        note_ += "would act, but the level has finished";
        return {"waits", "level_finished"};
    }
    if (next_.actor != nullptr) return {"waits", "outranked"};
    // A host's kind whose decide() and spell disagree: the frame is what counts.
    append_decision_note(note_, SpellDecision::declining(SpellReason::DECLINES, 0));
    return {"declines", "declines"};
}

void ExplanationWriter::write_agent(const MagicianAgent& agent, std::size_t slot,
                                    bool refill, const Verdict& verdict, const SpellDecision& decision) {
    JsonTextWriter& out = agents_out_;
    if (agents_written_ > 0) out.raw(',');
    ++agents_written_;
    out.raw("{\"figures\":{");
    const std::string_view reason = verdict.reason;
    const bool frozen = reason == "zone_frozen";
    // A frozen zone's figures are in its own entry of "zones"; its agents
    // give none, only the note.
    if (!frozen && reason != "never_acts") {
        Members figures(out);
        if (reason == "outranked") figures.key(",\"by\":").integer(static_cast<std::int64_t>(actor_number_));
        write_decision_figures(figures, decision);
    }
    out.raw("},\"name\":");
    out.string(agent.name);
    out.raw(",\"note\":");
    if (frozen) {
        out.raw(std::string_view(frozen_note_text_));
    } else if (reason == "outranked") {
        out.raw(std::string_view(outranked_note_text_));
    } else if (has_plain_rule(decision)) {
        // An agent's own note holds words, figures and its rule, never a
        // text of the tree: nothing in it to escape.
        out.raw('"');
        out.raw(std::string_view(note_));
        out.raw('"');
    } else {
        out.string(note_);
    }
    out.raw(",\"priority\":");
    out.integer(agent.priority);
    out.raw(",\"reason\":\"");
    out.raw(verdict.reason);
    out.raw(refill ? "\",\"refill\":true,\"slot\":" : "\",\"refill\":false,\"slot\":");
    out.integer(static_cast<std::int64_t>(slot));
    out.raw(",\"state\":\"");
    out.raw(verdict.state);
    out.raw("\",\"visual_id\":");
    out.string(agent.visual_id);
    out.raw(std::string_view(agent_zone_tail_));
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
    return any_shut_gate_ ? "lost" : "won";
}

std::string ExplanationWriter::summary(const char* outcome) const {
    const std::string_view kind = outcome;
    if (kind == "running") return "Running: next, " + next_.event->description;
    if (kind == "frame_limit") return "Stopped at the frame limit";
    if (kind == "won") return "Won: every gate opened";
    return "Lost: " + shut_gate_words_;
}

std::string ExplanationWriter::document() {
    const char* outcome_code = outcome();
    JsonTextWriter& out = agents_out_;
    out.raw("],\"frame_index\":");
    out.integer(sequencer_.current_frame);
    out.raw(",\"max_frames\":");
    out.integer(sequencer_.max_frames);
    out.raw(",\"next\":");
    write_event(out, next_.event);
    out.raw(",\"outcome\":\"");
    out.raw(outcome_code);
    out.raw("\",\"shut_gates\":[");
    out.raw(std::string_view(shut_text_));
    out.raw("],\"summary\":");
    out.string(summary(outcome_code));
    out.raw(",\"zones\":[");
    out.raw(std::string_view(zones_text_));
    out.raw("]}");
    out.flush();
    *last_size_ = text_.size();
    return std::move(text_);
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
