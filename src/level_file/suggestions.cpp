#include "level_file/suggestions.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "spells/agent_kinds.h"

namespace qor::level_suggestions {

namespace {

using CodePoints = std::u32string;

// The code point at `i` of UTF-8 text, moving `i` past it (a lone
// surrogate's three bytes give the surrogate; the text was checked before).
char32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
        point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length;
    return point;
}

CodePoints code_points(std::string_view text) {
    CodePoints points;
    for (std::size_t i = 0; i < text.size();) points += next_code_point(text, i);
    return points;
}

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Lower case for the letters a designer is likely to write a kind in: Latin
// (ASCII and Latin-1), Greek and Cyrillic capitals; others are left as they are.
char32_t lower(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

// A kind as written, folded: "Plus Magician", "add_plus_magician" -> "plus_magician".
CodePoints kind_key(std::string_view written) {
    CodePoints key;
    bool word_open = false;
    for (char32_t c : code_points(written)) {
        c = lower(c);
        if (c == '-' || is_space(c)) {
            word_open = false;
            continue;
        }
        if (!word_open && !key.empty()) key += U'_';
        word_open = true;
        key += c;
    }
    for (const CodePoints prefix : {U"add_", U"the_"}) {
        if (key.compare(0, prefix.size(), prefix) == 0) key.erase(0, prefix.size());
    }
    return key;
}

// difflib.SequenceMatcher(None, a, b).ratio(), for the pairs that pass the
// cheap upper bounds first (real_quick_ratio, quick_ratio), as in
// get_close_matches.
class Matcher {
public:
    explicit Matcher(CodePoints b) : b_(std::move(b)) {
        for (std::size_t j = 0; j < b_.size(); ++j) b2j_[b_[j]].push_back(j);
        if (b_.size() >= 200) {  // difflib's "popular" elements are left out of the index
            const std::size_t popular = b_.size() / 100 + 1;
            for (auto it = b2j_.begin(); it != b2j_.end();) {
                it = it->second.size() > popular ? b2j_.erase(it) : std::next(it);
            }
        }
        for (char32_t c : b_) ++b_counts_[c];
    }

    // The ratio, or nothing when it is below `cutoff`.
    std::optional<double> ratio(const CodePoints& a, double cutoff) const {
        const std::size_t total = a.size() + b_.size();
        if (total == 0) return 1.0;
        if (score(std::min(a.size(), b_.size()), total) < cutoff) return std::nullopt;
        if (score(common_count(a), total) < cutoff) return std::nullopt;
        const double found = score(matches(a), total);
        if (found < cutoff) return std::nullopt;
        return found;
    }

private:
    static double score(std::size_t matches, std::size_t total) {
        return 2.0 * static_cast<double>(matches) / static_cast<double>(total);
    }

    std::size_t common_count(const CodePoints& a) const {
        std::unordered_map<char32_t, std::size_t> left = b_counts_;
        std::size_t common = 0;
        for (char32_t c : a) {
            auto it = left.find(c);
            if (it != left.end() && it->second > 0) {
                --it->second;
                ++common;
            }
        }
        return common;
    }

    struct Block {
        std::size_t i, j, size;
    };

    Block longest_match(const CodePoints& a, std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) const {
        Block best{alo, blo, 0};
        std::unordered_map<std::size_t, std::size_t> j2len;
        for (std::size_t i = alo; i < ahi; ++i) {
            std::unordered_map<std::size_t, std::size_t> next;
            auto found = b2j_.find(a[i]);
            if (found != b2j_.end()) {
                for (std::size_t j : found->second) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    auto before = j > 0 ? j2len.find(j - 1) : j2len.end();
                    const std::size_t k = (before == j2len.end() ? 0 : before->second) + 1;
                    next[j] = k;
                    if (k > best.size) best = Block{i + 1 - k, j + 1 - k, k};
                }
            }
            j2len = std::move(next);
        }
        while (best.i > alo && best.j > blo && a[best.i - 1] == b_[best.j - 1]) {
            --best.i;
            --best.j;
            ++best.size;
        }
        while (best.i + best.size < ahi && best.j + best.size < bhi && a[best.i + best.size] == b_[best.j + best.size]) {
            ++best.size;
        }
        return best;
    }

    // The number of elements in difflib's matching blocks.
    std::size_t matches(const CodePoints& a) const {
        struct Range {
            std::size_t alo, ahi, blo, bhi;
        };
        std::size_t total = 0;
        std::vector<Range> queue{Range{0, a.size(), 0, b_.size()}};
        while (!queue.empty()) {
            const Range range = queue.back();
            queue.pop_back();
            const Block found = longest_match(a, range.alo, range.ahi, range.blo, range.bhi);
            if (found.size == 0) continue;
            total += found.size;
            if (range.alo < found.i && range.blo < found.j) queue.push_back(Range{range.alo, found.i, range.blo, found.j});
            if (found.i + found.size < range.ahi && found.j + found.size < range.bhi) {
                queue.push_back(Range{found.i + found.size, range.ahi, found.j + found.size, range.bhi});
            }
        }
        return total;
    }

    CodePoints b_;
    std::unordered_map<char32_t, std::vector<std::size_t>> b2j_;
    std::unordered_map<char32_t, std::size_t> b_counts_;
};

std::optional<std::size_t> close_index(const CodePoints& word, const std::vector<CodePoints>& candidates) {
    constexpr double kCutoff = 0.6;
    const Matcher matcher(word);
    std::optional<std::size_t> best;
    double best_score = 0;
    for (std::size_t n = 0; n < candidates.size(); ++n) {
        const std::optional<double> found = matcher.ratio(candidates[n], kCutoff);
        if (!found) continue;
        // Ties go to the greater text, as heapq.nlargest over (score, text) has it.
        if (!best || *found > best_score || (*found == best_score && candidates[n] > candidates[*best])) {
            best = n;
            best_score = *found;
        }
    }
    return best;
}

// What a designer may write for a kind besides the agent's name in frames
// and the placing method: its symbol, or a word for its spell.
const std::pair<const char*, const char*> kKindAliases[] = {
    {"+", "plus"}, {"add", "plus"}, {"sum", "plus"}, {"addition", "plus"},
    {"-", "minus"}, {"\u2212", "minus"}, {"subtract", "minus"}, {"difference", "minus"},
    {"*", "multiply"}, {"\u00d7", "multiply"}, {"times", "multiply"}, {"product", "multiply"},
    {"/", "divide"}, {"\u00f7", "divide"}, {"quotient", "divide"}, {"division", "divide"},
    {"^", "power"}, {"**", "power"}, {"pow", "power"}, {"exponent", "power"},
    {"sqrt", "root"}, {"\u221a", "root"}, {"radical", "root"},
    {"|x|", "abs"}, {"absolute", "abs"}, {"absolute_value", "abs"},
    {"!", "factorial"},
    {"%", "modulo"}, {"mod", "modulo"}, {"remainder", "modulo"},
    {"log10", "log"}, {"ln", "log"}, {"logarithm", "log"},
    {"=", "equals_gate"}, {"==", "equals_gate"}, {"equals", "equals_gate"}, {"gate", "equals_gate"},
    {"<", "inequality_gate"}, {">", "inequality_gate"}, {"<=", "inequality_gate"},
    {">=", "inequality_gate"}, {"inequality", "inequality_gate"},
};

// Every folded way of writing a kind, with the kind meant, in the order a
// later entry replaces an earlier one of the same key.
struct KnownKinds {
    std::vector<CodePoints> keys;
    std::vector<const char*> kinds;

    KnownKinds() {
        // In this order a later way of writing that folds to the same key
        // as an earlier one names the kind meant.
        static const char* const kOrder[] = {"plus", "minus", "multiply", "divide", "power", "root", "abs",
                                             "factorial", "modulo", "log", "chronomancer", "equals_gate",
                                             "inequality_gate"};
        for (const char* key : kOrder) {
            const AgentKindInfo* info = kind_by_key(key);
            for (const char* written : {info->agent_name, info->placing_method, info->key}) add(written, info->key);
        }
        for (const auto& [written, kind] : kKindAliases) add(written, kind);
    }

    void add(std::string_view written, const char* kind) {
        const CodePoints key = kind_key(written);
        auto found = std::find(keys.begin(), keys.end(), key);
        if (found != keys.end()) {
            kinds[static_cast<std::size_t>(found - keys.begin())] = kind;
            return;
        }
        keys.push_back(key);
        kinds.push_back(kind);
    }

    const char* exact(const CodePoints& key) const {
        auto found = std::find(keys.begin(), keys.end(), key);
        return found == keys.end() ? nullptr : kinds[static_cast<std::size_t>(found - keys.begin())];
    }
};

}  // namespace

bool is_blank(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (!is_space(next_code_point(text, i))) return false;
    }
    return true;
}

std::optional<std::string> close_match(std::string_view word, const std::vector<std::string>& candidates) {
    std::vector<CodePoints> points;
    points.reserve(candidates.size());
    for (const std::string& candidate : candidates) points.push_back(code_points(candidate));
    const std::optional<std::size_t> found = close_index(code_points(word), points);
    if (!found) return std::nullopt;
    return candidates[*found];
}

std::optional<std::string> kind_meant(std::string_view written) {
    static const KnownKinds known;
    const CodePoints key = kind_key(written);
    const CodePoints suffix = U"_magician";
    CodePoints without_suffix = key;
    if (key.size() >= suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
        without_suffix.resize(key.size() - suffix.size());
    }
    for (const CodePoints* tried : {&key, static_cast<const CodePoints*>(&without_suffix)}) {
        if (const char* kind = known.exact(*tried)) return std::string(kind);
    }
    const std::optional<std::size_t> found = close_index(key, known.keys);
    if (!found) return std::nullopt;
    return std::string(known.kinds[*found]);
}

}  // namespace qor::level_suggestions
