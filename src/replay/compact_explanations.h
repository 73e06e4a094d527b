#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qor {

// explain() after every step of a level, kept as only what a replay page
// draws, written as compact JSON text (docs/frames.md, "The replay's
// explanations"):
//   "outcome", "summary"  of the last step (the banner after it);
//   "notes"   each distinct note once: [state, reason, note], and for a
//             refill agent its name, visual id and priority after them;
//   "steps"   one a step: "usual", the note most agents have (the lowest
//             index of those tied; null without agents); "agents", the
//             zones whose agents' notes differ from the step before, by the
//             zone's number in the explanation, each the list of its
//             agents' indexes into "notes" by slot (-2 for the usual note,
//             -1 for a slot left out); "gone", the numbers of the zones
//             that held standing agents the step before and hold none now;
//             "frozen", [zone, sub-zone that keeps it frozen] by number.
// A zone's number is its place in the explanation's "zones": every zone of
// the step's frame, each after its sub-zones. Most agents wait for the one
// that acts, a note that changes with every step: as the usual note, their
// zones' lists stay the same.
class CompactExplanations {
public:
    // Keeps a step's explanation (explain()'s text); returns the JSON text
    // of what it added, [step, [new notes]], for counting. Throws
    // std::invalid_argument for a text that is no explanation.
    std::string add(std::string_view explanation);

    // {"outcome", "summary", "notes", "steps"} of every step added.
    std::string to_json() const;

private:
    using Slots = std::vector<long long>;

    // The notes a step adds, before it is kept.
    struct NewNotes {
        std::vector<std::string> texts;
        std::unordered_map<std::string, long long> indexes;
    };

    long long note_index(const std::string& note, NewNotes& fresh);

    std::string outcome_ = "running";
    std::string summary_;
    std::string notes_;  // the notes' JSON texts, commas between
    std::size_t note_count_ = 0;
    std::unordered_map<std::string, long long> note_indexes_;
    std::string steps_;  // the steps' JSON texts, commas between
    std::size_t step_count_ = 0;
    std::map<std::size_t, Slots> standing_;  // by zone number, at the last step
};

}  // namespace qor
