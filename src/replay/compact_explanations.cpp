#include "replay/compact_explanations.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>
#include <utility>

#include <nlohmann/json.hpp>

#include "model/json_text.h"

namespace qor {

namespace {

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

[[noreturn]] void refuse(const char* why) { throw std::invalid_argument(std::string("not an explanation: ") + why); }

// What a step keeps of an agent of the explanation.
struct ReadAgent {
    std::uint64_t zone = 0;
    std::uint64_t slot = 0;
    std::string state, reason, note, name, visual_id;
    bool refill = false;
    std::int64_t priority = 0;
    unsigned seen = 0;  // a bit for each member read
};

// The members of an explanation a step keeps, read by the library's SAX
// parser: no document is built, whose destruction would allocate.
class ExplanationReader {
public:
    using Json = nlohmann::json;
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    std::vector<ReadAgent> agents;
    std::vector<std::optional<std::uint64_t>> frozen_by;  // by zone number
    std::string outcome, summary;
    unsigned root_seen = 0;

    bool null() { return scalar(Kind::NUL, 0, nullptr); }
    bool boolean(bool value) { return scalar(Kind::BOOLEAN, value ? 1 : 0, nullptr); }
    bool number_integer(number_integer_t value) {
        return value >= 0 ? scalar(Kind::UNSIGNED, static_cast<std::uint64_t>(value), nullptr)
                          : scalar(Kind::NEGATIVE, 0, nullptr, value);
    }
    bool number_unsigned(number_unsigned_t value) { return scalar(Kind::UNSIGNED, value, nullptr); }
    bool number_float(number_float_t, const string_t&) { return scalar(Kind::OTHER, 0, nullptr); }
    bool string(string_t& value) { return scalar(Kind::STRING, 0, &value); }
    bool binary(binary_t&) { return scalar(Kind::OTHER, 0, nullptr); }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(string_t& name) {
        key_ = name;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        refuse("its JSON does not parse");
    }

private:
    enum class Kind { NUL, BOOLEAN, UNSIGNED, NEGATIVE, STRING, OTHER };

    // Where a value stands: the root's member, an agent's, a zone's.
    enum class Place { ROOT, AGENTS, AGENT, ZONES, ZONE, ELSEWHERE };

    Place place() const { return path_.empty() ? Place::ELSEWHERE : path_.back(); }

    bool open(bool object) {
        Place inner = Place::ELSEWHERE;
        if (path_.empty()) {
            if (!object) refuse("it is not an object");
            inner = Place::ROOT;
        } else if (place() == Place::ROOT && key_ == "agents" && !object) {
            inner = Place::AGENTS;
            root_seen |= 1;
        } else if (place() == Place::ROOT && key_ == "zones" && !object) {
            inner = Place::ZONES;
            root_seen |= 2;
        } else if (place() == Place::AGENTS) {
            if (!object) refuse("an agent is not an object");
            agents.emplace_back();
            inner = Place::AGENT;
        } else if (place() == Place::ZONES) {
            if (!object) refuse("a zone is not an object");
            frozen_by.emplace_back();
            inner = Place::ZONE;
        } else if (place() == Place::ROOT && (key_ == "outcome" || key_ == "summary")) {
            refuse("a member is of another type");
        }
        path_.push_back(inner);
        return true;
    }

    bool close() {
        path_.pop_back();
        return true;
    }

    bool scalar(Kind kind, std::uint64_t number, string_t* text, std::int64_t negative = 0) {
        if (path_.empty()) refuse("it is not an object");
        if (place() == Place::ROOT) {
            if (key_ == "outcome" || key_ == "summary") {
                if (kind != Kind::STRING) refuse("a member is of another type");
                (key_ == "outcome" ? outcome : summary) = std::move(*text);
                root_seen |= key_ == "outcome" ? 4 : 8;
            } else if (key_ == "agents" || key_ == "zones") {
                refuse("a member is of another type");
            }
        } else if (place() == Place::AGENT) {
            agent_member(agents.back(), kind, number, text, negative);
        } else if (place() == Place::ZONE && key_ == "frozen_by") {
            if (kind == Kind::UNSIGNED) {
                frozen_by.back() = number;
            } else if (kind != Kind::NUL) {
                refuse("a zone's frozen_by is no zone number");
            }
        } else if (place() == Place::AGENTS || place() == Place::ZONES) {
            refuse("an agent or a zone is not an object");
        }
        return true;
    }

    void agent_member(ReadAgent& agent, Kind kind, std::uint64_t number, string_t* text, std::int64_t negative) {
        const auto text_member = [&](std::string& member, unsigned bit) {
            if (kind != Kind::STRING) refuse("an agent's member is of another type");
            member = std::move(*text);
            agent.seen |= bit;
        };
        if (key_ == "zone" || key_ == "slot") {
            if (kind != Kind::UNSIGNED) refuse("an agent's zone or slot is no number");
            (key_ == "zone" ? agent.zone : agent.slot) = number;
            agent.seen |= key_ == "zone" ? 1 : 2;
        } else if (key_ == "state") {
            text_member(agent.state, 4);
        } else if (key_ == "reason") {
            text_member(agent.reason, 8);
        } else if (key_ == "note") {
            text_member(agent.note, 16);
        } else if (key_ == "name") {
            text_member(agent.name, 32);
        } else if (key_ == "visual_id") {
            text_member(agent.visual_id, 64);
        } else if (key_ == "refill") {
            if (kind != Kind::BOOLEAN) refuse("an agent's refill is not true or false");
            agent.refill = number != 0;
            agent.seen |= 128;
        } else if (key_ == "priority") {
            if (kind == Kind::UNSIGNED && number <= static_cast<std::uint64_t>(INT64_MAX)) {
                agent.priority = static_cast<std::int64_t>(number);
            } else if (kind == Kind::NEGATIVE) {
                agent.priority = negative;
            } else {
                refuse("an agent's priority is no integer");
            }
            agent.seen |= 256;
        }
    }

    std::vector<Place> path_;
    std::string key_;
};

constexpr unsigned kEveryAgentMember = 511;

// [state, reason, note], and a refill agent's name, visual id and priority.
std::string note_text(const ReadAgent& agent) {
    std::string text;
    JsonTextWriter out(text);
    out.raw('[');
    out.string(agent.state);
    out.raw(',');
    out.string(agent.reason);
    out.raw(',');
    out.string(agent.note);
    if (agent.refill) {
        out.raw(',');
        out.string(agent.name);
        out.raw(',');
        out.string(agent.visual_id);
        out.raw(',');
        out.integer(agent.priority);
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
    ExplanationReader read;
    if (!nlohmann::json::sax_parse(explanation, &read) || read.root_seen != 15) {
        refuse("a member is missing or of another type");
    }
    NewNotes fresh;
    std::map<std::size_t, Slots> standing;
    std::string text;
    JsonTextWriter out(text);
    const std::size_t zones = read.frozen_by.size();
    {
        for (const ReadAgent& agent : read.agents) {
            if (agent.seen != kEveryAgentMember) refuse("an agent's member is missing");
            if (agent.zone >= zones) refuse("it names a zone it does not list");
            // A zone's slots are its agents' places: fewer than the agents.
            if (agent.slot >= read.agents.size()) refuse("a slot past its agents");
            Slots& slots = standing[static_cast<std::size_t>(agent.zone)];
            const auto slot = static_cast<std::size_t>(agent.slot);
            if (slot < slots.size()) refuse("it gives a slot twice");
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
        for (std::size_t number = 0; number < zones; ++number) {
            const std::optional<std::uint64_t>& keeper = read.frozen_by[number];
            if (!keeper) continue;
            if (*keeper >= zones) refuse("it names a zone it does not list");
            out.raw(first ? "[" : ",[");
            first = false;
            write_count(out, number);
            out.raw(',');
            write_count(out, static_cast<std::size_t>(*keeper));
            out.raw(']');
        }
        out.raw("]}");
        out.flush();
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
    outcome_ = std::move(read.outcome);
    summary_ = std::move(read.summary);
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
