#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::level_suggestions {

// Texts are UTF-8 (an escaped lone surrogate of a level file as its three
// bytes); they are compared by code points.

// Whether the text is empty or only white space (Unicode's, as Python's
// str.isspace() has it).
bool is_blank(std::string_view text);

// The candidate most like `word`, if any is alike enough: Python's
// difflib.get_close_matches(word, candidates, n=1), same scores, same cutoff
// (0.6), same choice between equal scores.
std::optional<std::string> close_match(std::string_view word, const std::vector<std::string>& candidates);

// The agent kind (its level-file key) a designer most likely meant by an
// unknown kind: also from the agent's name in frames ("Plus Magician"), its
// placing method ("add_plus_magician"), or a symbol or word for its spell
// ("+", "sqrt", "%"); nothing when no kind is alike enough.
std::optional<std::string> kind_meant(std::string_view written);

}  // namespace qor::level_suggestions
