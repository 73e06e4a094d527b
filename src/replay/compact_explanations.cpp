#include "replay/compact_explanations.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "model/json_text.h"

namespace qor {

namespace {

using Json = nlohmann::json;

constexpr long long kUsualNote = -2;
constexpr long long kNoAgent = -1;

// The note most slots hold (the lowest index of those tied), or -1.
long long usual_note(const std::map<std::size_t, std::vector<long long>>& standing) {
    std::map<long long, std::size_t> counts;
    for (const auto& zone : standing) {
        for (const long long index : zone.second) {
            if (index >= 0) ++counts[index];
        }
    }
    long long usual = -1;
    std::size_t most = 0;
    for (const auto& counted : counts) {  // ascending: the first of a tie stays
        if (counted.second > most) {
            usual = counted.first;
            most = counted.second;
        }
    }
    return usual;
}

// A number below `bound` (a zone's, a slot's), or std::invalid_argument.
std::size_t number_below(const Json& value, std::size_t bound, const char* what) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() >= bound) {
        throw std::invalid_argument(std::string("not an explanation: ") + what);
    }
    return static_cast<std::size_t>(value.get<std::uint64_t>());
}

std::size_t zone_number(const Json& value, std::size_t zones) {
    return number_below(value, zones, "it names a zone it does not list");
}

// [state, reason, note], and a refill agent's name, visual id and priority.
std::string note_text(const Json& agent) {
    std::string text;
    JsonTextWriter out(text);
    out.raw('[');
    out.string(agent.at("state").get_ref<const std::string&>());
    out.raw(',');
    out.string(agent.at("reason").get_ref<const std::string&>());
    out.raw(',');
    out.string(agent.at("note").get_ref<const std::string&>());
    if (agent.at("refill").get<bool>()) {
        out.raw(',');
        out.string(agent.at("name").get_ref<const std::string&>());
        out.raw(',');
        out.string(agent.at("visual_id").get_ref<const std::string&>());
        out.raw(',');
        out.integer(agent.at("priority").get<std::int64_t>());
    }
    out.raw(']');
    out.flush();
    return text;
}

void write_count(JsonTextWriter& out, std::size_t count) { out.integer(static_cast<std::int64_t>(count)); }

}  // namespace

long long CompactExplanations::note_index(const std::string& note, NewNotes& fresh) {
    const auto kept = note_indexes_.find(note);
    if (kept != note_indexes_.end()) return kept->second;
    const auto found = fresh.indexes.find(note);
    if (found != fresh.indexes.end()) return found->second;
    const auto index = static_cast<long long>(note_count_ + fresh.texts.size());
    fresh.indexes.emplace(note, index);
    fresh.texts.push_back(note);
    return index;
}

std::string CompactExplanations::add(std::string_view explanation) {
    Json document;
    try {
        document = Json::parse(explanation);
    } catch (const Json::parse_error&) {
        throw std::invalid_argument("not an explanation: its JSON does not parse");
    }
    NewNotes fresh;
    std::map<std::size_t, Slots> standing;
    std::string text;
    JsonTextWriter out(text);
    try {
        const Json& zones = document.at("zones");
        const Json& agents = document.at("agents");
        for (const Json& agent : agents) {
            Slots& slots = standing[zone_number(agent.at("zone"), zones.size())];
            // A zone's slots are its agents' places: fewer than the agents.
            const std::size_t slot = number_below(agent.at("slot"), agents.size(), "a slot past its agents");
            if (slot < slots.size()) throw std::invalid_argument("not an explanation: it gives a slot twice");
            slots.resize(slot, kNoAgent);
            slots.push_back(note_index(note_text(agent), fresh));
        }
        const long long usual = usual_note(standing);
        for (auto& zone : standing) {
            for (long long& index : zone.second) index = index == usual ? kUsualNote : index;
        }
        out.raw("{\"usual\":");
        if (usual >= 0) {
            out.integer(usual);
        } else {
            out.raw("null");
        }
        out.raw(",\"agents\":{");
        bool first = true;
        for (const auto& zone : standing) {
            const auto before = standing_.find(zone.first);
            if (before != standing_.end() && before->second == zone.second) continue;
            out.raw(first ? "\"" : ",\"");
            first = false;
            write_count(out, zone.first);
            out.raw("\":[");
            for (std::size_t i = 0; i < zone.second.size(); ++i) {
                if (i > 0) out.raw(',');
                out.integer(zone.second[i]);
            }
            out.raw(']');
        }
        out.raw("},\"gone\":[");
        first = true;
        for (const auto& zone : standing_) {
            if (standing.count(zone.first) != 0) continue;
            if (!first) out.raw(',');
            first = false;
            write_count(out, zone.first);
        }
        out.raw("],\"frozen\":[");
        first = true;
        for (std::size_t number = 0; number < zones.size(); ++number) {
            const Json& keeper = zones[number].at("frozen_by");
            if (keeper.is_null()) continue;
            out.raw(first ? "[" : ",[");
            first = false;
            write_count(out, number);
            out.raw(',');
            write_count(out, zone_number(keeper, zones.size()));
            out.raw(']');
        }
        out.raw("]}");
        out.flush();
        outcome_ = document.at("outcome").get<std::string>();
        summary_ = document.at("summary").get<std::string>();
    } catch (const Json::exception&) {
        throw std::invalid_argument("not an explanation: a member is missing or of another type");
    }
    std::string added;
    for (const std::string& note : fresh.texts) {
        if (!added.empty()) added += ',';
        added += note;
    }
    std::string step_added = "[" + text + ",[" + added + "]]";
    // Kept only now that the step is written, with room made first: a step
    // that fails, memory running out included, changes nothing.
    steps_.reserve(steps_.size() + text.size() + 1);
    notes_.reserve(notes_.size() + added.size() + 1);
    note_indexes_.reserve(note_indexes_.size() + fresh.indexes.size());
    if (step_count_ > 0) steps_ += ',';
    steps_ += text;
    if (note_count_ > 0 && !added.empty()) notes_ += ',';
    notes_ += added;
    ++step_count_;
    note_count_ += fresh.texts.size();
    note_indexes_.merge(fresh.indexes);
    standing_ = std::move(standing);
    return step_added;
}

std::string CompactExplanations::to_json() const {
    std::string text;
    JsonTextWriter out(text);
    out.raw("{\"outcome\":");
    out.string(outcome_);
    out.raw(",\"summary\":");
    out.string(summary_);
    out.raw(",\"notes\":[");
    out.raw(std::string_view(notes_));
    out.raw("],\"steps\":[");
    out.raw(std::string_view(steps_));
    out.raw("]}");
    out.flush();
    return text;
}

}  // namespace qor
