#include "level_file/level_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include <nlohmann/json.hpp>

#include "level_file/level_json.h"
#include "level_file/suggestions.h"
#include "model/thread_local.h"
#include "model/zone_walk.h"

namespace qor {

namespace {

using level_json::Document;
using level_json::Member;
using level_json::Type;
using level_json::Value;

constexpr std::string_view kLevelFields[] = {"agents", "charges", "description", "title", "zone", "zones"};
constexpr std::string_view kZoneFields[] = {"agents", "charges", "zone", "zones"};
constexpr std::string_view kAgentFields[] = {"id", "kind", "refill", "rule", "target"};
constexpr std::string_view kPolarities[] = {"positive", "negative", "neutral"};
constexpr std::string_view kRules[] = {"<", ">", "<=", ">="};

// "1,234,567"
std::string with_commas(std::size_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// The lone surrogate at `i` of the reader's text (its three bytes), or 0.
unsigned lone_surrogate_at(std::string_view text, std::size_t i) {
    if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xED) return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < 0xA0) return 0;
    return 0xD000u | ((second & 0x3Fu) << 6) | (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
}

void append_escape(std::string& out, unsigned unit) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", unit);
    out += escape;
}

// A string as JSON.stringify writes it.
void write_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            append_escape(out, static_cast<unsigned char>(c));
        } else if (const unsigned surrogate = lone_surrogate_at(text, i)) {
            append_escape(out, surrogate);
            i += 2;
        } else {
            out += c;
        }
    }
    out += '"';
}

// The bytes of the first `count` characters of UTF-8 text (a lone
// surrogate's three bytes are one character).
std::size_t first_characters(std::string_view text, std::size_t count) {
    std::size_t at = 0;
    for (; at < text.size() && count > 0; --count) {
        const auto lead = static_cast<unsigned char>(text[at]);
        at += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    }
    return std::min(at, text.size());
}

// JSON text of a string as the level's messages quote it: as the writer
// writes it, a lone surrogate as its escape; a long text by its first
// characters and an ellipsis, so that no problem's text grows with the file.
std::string json_quoted(std::string_view text) {
    const std::size_t shown = first_characters(text, kMaxQuotedCharacters);
    std::string out;
    write_string(out, text.substr(0, shown));
    if (shown < text.size()) out.insert(out.size() - 1, "\xE2\x80\xA6");  // an ellipsis, U+2026
    return out;
}

bool is_cut_when_quoted(std::string_view text) {
    return first_characters(text, kMaxQuotedCharacters) < text.size();
}

// The first lone surrogate of a text, quoted ("\"\\ud800\""), or nothing.
std::optional<std::string> lone_surrogate(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const unsigned surrogate = lone_surrogate_at(text, i)) {
            std::string shown = "\"";
            append_escape(shown, surrogate);
            return shown + "\"";
        }
    }
    return std::nullopt;
}

// A JSON Pointer's reference token for a member's name (one without a lone
// surrogate, which no pointer can name).
std::string pointer_token(std::string_view key) {
    std::string token;
    for (const char c : key) {
        if (c == '~') {
            token += "~0";
        } else if (c == '/') {
            token += "~1";
        } else {
            token += c;
        }
    }
    return token;
}

const char* describe(const Value& value) {
    switch (value.type) {
        case Type::NUL: return "null";
        case Type::BOOLEAN: return "true/false";
        case Type::NUMBER: return "a number";
        case Type::STRING: return "a string";
        case Type::ARRAY: return "a list";
        case Type::OBJECT: return "an object";
    }
    return "a value";
}

template <std::size_t N>
bool is_one_of(std::string_view text, const std::string_view (&texts)[N]) {
    for (std::string_view known : texts) {
        if (text == known) return true;
    }
    return false;
}

std::string did_you_mean(const std::optional<std::string>& hint) {
    return hint ? " (did you mean " + json_quoted(*hint) + "?)" : "";
}

// Where a value is, as a step from the place of the value holding it: the
// place of a problem's message and the pointer of its value are written only
// when a problem is found. The level's own object is the first place.
struct Where {
    const Where* parent = nullptr;
    const char* list = nullptr;  // an item of this list ("charges"), called `thing` ("charge")
    const char* thing = nullptr;
    std::size_t index = 0;
    bool is_member = false;  // a member of the object at `parent`, named `key`
    std::string_view key;
    std::optional<std::string_view> zone_id;  // a zone known by its id, which names its place

    Where member(std::string_view name) const {
        Where step;
        step.parent = this;
        step.is_member = true;
        step.key = name;
        return step;
    }
    Where item(const char* list_name, std::size_t at, const char* thing_name) const {
        Where step;
        step.parent = this;
        step.list = list_name;
        step.thing = thing_name;
        step.index = at;
        return step;
    }

    // A zone by its id; one whose id is too long to quote whole, by its
    // start and its place by numbers.
    std::string place() const {
        if (zone_id) {
            std::string named = "zone " + json_quoted(*zone_id);
            if (is_cut_when_quoted(*zone_id)) named += " (" + numbered_place() + ")";
            return named;
        }
        if (is_member) return parent->place();
        if (!parent) return "level";
        return parent->place() + ": " + thing + " " + std::to_string(index + 1);
    }
    // "level: zone 2: zone 1"
    std::string numbered_place() const {
        if (is_member) return parent->numbered_place();
        if (!parent) return "level";
        return parent->numbered_place() + ": " + thing + " " + std::to_string(index + 1);
    }
    // A member whose name holds a lone surrogate is pointed at by the
    // object holding it.
    std::string pointer() const {
        if (!parent) return "";
        if (is_member) return has_pointer_token() ? parent->pointer() + "/" + pointer_token(key) : parent->pointer();
        return parent->pointer() + "/" + list + "/" + std::to_string(index);
    }
    bool has_pointer_token() const { return !lone_surrogate(key); }
};

std::string field(std::string_view key) { return "field " + json_quoted(key); }

// The ids met so far, each once, as views of the document's texts (which
// outlive the set): open addressing in one table that doubles as it fills,
// so that an id costs no allocation of its own.
class IdSet {
public:
    void reserve(std::size_t count) {
        if (count * 2 > slots_.size()) grow(count * 2);
    }

    // Whether `id` is new (it is then added). Ids are never empty.
    bool insert(std::string_view id) {
        if ((size_ + 1) * 2 > slots_.size()) grow(slots_.size() * 2);
        for (std::size_t at = slot_of(id);; at = (at + 1) & (slots_.size() - 1)) {
            if (slots_[at].empty()) {
                slots_[at] = id;
                ++size_;
                return true;
            }
            if (slots_[at] == id) return false;
        }
    }

private:
    std::size_t slot_of(std::string_view id) const {
        return std::hash<std::string_view>()(id) & (slots_.size() - 1);
    }

    // To the power of two at least `count` (16 at least).
    void grow(std::size_t count) {
        std::size_t size = 16;
        while (size < count) size *= 2;
        std::vector<std::string_view> old(size);
        old.swap(slots_);
        for (std::string_view id : old) {
            if (id.empty()) continue;
            std::size_t at = slot_of(id);
            while (!slots_[at].empty()) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = id;
        }
    }

    std::vector<std::string_view> slots_;
    std::size_t size_ = 0;
};

// Whether two member names are the same: names are short, and a loop beats
// a call of memcmp on them.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// An object of the document: its members by name, the last one given of a
// name counting, in the order each name first appears.
class Object {
public:
    Object(const Document& document, const Value& value) : document_(document), value_(value) {}

    const Value* get(std::string_view key) const {
        for (const Member* member = document_.end(value_); member != document_.begin(value_);) {
            --member;
            if (same_name(document_.key(*member), key)) return &document_.at(member->value);
        }
        return nullptr;
    }
    bool has(std::string_view key) const { return get(key) != nullptr; }

    // Whether every name is one of `allowed` and given once (the usual case,
    // checked without allocating).
    template <std::size_t N>
    bool known_names_once(const std::string_view (&allowed)[N]) const {
        if (value_.size > N) return false;
        for (const Member* member = document_.begin(value_); member != document_.end(value_); ++member) {
            const std::string_view key = document_.key(*member);
            if (std::none_of(std::begin(allowed), std::end(allowed),
                             [key](std::string_view name) { return same_name(name, key); })) {
                return false;
            }
            for (const Member* before = document_.begin(value_); before != member; ++before) {
                if (same_name(document_.key(*before), key)) return false;
            }
        }
        return true;
    }

    // Each name once, in the order of its first appearance, and the names
    // given more than once in that order.
    void names(std::vector<std::string_view>& names, std::vector<std::string_view>& repeated) const {
        struct Name {
            std::string_view key;
            std::size_t first;  // where it first appears
            std::size_t count;
        };
        std::vector<Name> found;
        found.reserve(value_.size);
        for (const Member* member = document_.begin(value_); member != document_.end(value_); ++member) {
            found.push_back(Name{document_.key(*member), static_cast<std::size_t>(member - document_.begin(value_)), 1});
        }
        // Sorted by name (then place), each name's first entry counts them all.
        std::stable_sort(found.begin(), found.end(), [](const Name& a, const Name& b) { return a.key < b.key; });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (kept > 0 && found[kept - 1].key == found[i].key) {
                ++found[kept - 1].count;
            } else {
                found[kept++] = found[i];
            }
        }
        found.resize(kept);
        std::sort(found.begin(), found.end(), [](const Name& a, const Name& b) { return a.first < b.first; });
        for (const Name& name : found) {
            names.push_back(name.key);
            if (name.count > 1) repeated.push_back(name.key);
        }
    }

private:
    const Document& document_;
    const Value& value_;
};

// Checks the document of a level file by every rule of the format, noting
// each problem with its place and checking on past it, so that one reading
// finds them all; the level is made as it goes, and kept only if none is found.
class Checker {
public:
    explicit Checker(const Document& document) : document_(document) {
        agent_ids_.reserve(document.values.size() / 4);
    }

    std::optional<Level> level() {
        const Where where;
        const Value& data = document_.root();
        if (!expect_object(where, data, R"({"zone": "root", "charges": [...], "agents": [...]})")) return std::nullopt;
        const Object object(document_, data);
        check_fields(where, object, kLevelFields);
        Level level;
        level.title = optional_text(where, object, "title");
        level.description = optional_text(where, object, "description");
        std::optional<ZoneSpec> root = zone(where, object, 1, false);
        if (!root || !problems_.empty()) return std::nullopt;
        level.root = std::move(*root);
        return level;
    }

    std::vector<LevelProblem> problems() {
        if (unlisted_ > 0) {
            problems_.push_back(LevelProblem{"", with_commas(unlisted_) + " more problems are not listed", ""});
        }
        return std::move(problems_);
    }

    // The document as one agent's object.
    std::optional<AgentSpec> agent_alone() { return agent(Where{}, document_.root()); }

private:
    std::size_t found() const { return problems_.size() + unlisted_; }

    void problem(const Where& where, std::string message) {
        problem(where, [&message] { return std::move(message); });
    }

    // A problem whose message is made only if it is listed (a "did you mean"
    // hint costs a comparison with every name it could mean).
    template <typename Message, typename = decltype(std::declval<Message>()())>
    void problem(const Where& where, Message message) {
        if (problems_.size() < kMaxListedLevelProblems) {
            std::string text = message();
            if (where.is_member && !where.has_pointer_token()) {
                text += " (no JSON Pointer names a member whose name holds a lone surrogate: the pointer is the "
                        "object's that holds it)";
            }
            problems_.push_back(LevelProblem{where.place(), std::move(text), where.pointer()});
        } else {
            ++unlisted_;
        }
    }

    std::optional<ZoneSpec> zone(Where where, const Object& object, std::size_t depth, bool check_members) {
        if (depth > kMaxLevelZoneDepth) {
            problem(where, "zones are nested more than " + std::to_string(kMaxLevelZoneDepth) + " deep");
            return std::nullopt;
        }
        const std::size_t before = found();
        if (check_members) check_fields(where, object, kZoneFields);
        const std::optional<std::string_view> zone_id = expect_id(where, object, "zone");
        if (zone_id) {
            if (!zone_ids_.insert(*zone_id)) {  // its place stays the name of what is inside it
                problem(where.member("zone"), "zone id " + json_quoted(*zone_id) + " is used twice");
            } else {
                where.zone_id = zone_id;
            }
        }
        ZoneSpec spec;
        spec.charges.reserve(list_size(object, "charges"));
        spec.agents.reserve(list_size(object, "agents"));
        spec.zones.reserve(list_size(object, "zones"));
        const Value* charges = expect_list(where, object, "charges");
        for (std::size_t n = 0; charges && n < charges->size; ++n) {
            if (auto made = charge(where.item("charges", n, "charge"), item(*charges, n))) spec.charges.push_back(std::move(*made));
        }
        const Value* agents = expect_list(where, object, "agents");
        for (std::size_t n = 0; agents && n < agents->size; ++n) {
            if (auto made = agent(where.item("agents", n, "agent"), item(*agents, n))) spec.agents.push_back(std::move(*made));
        }
        const Value* zones = expect_list(where, object, "zones");
        for (std::size_t n = 0; zones && n < zones->size; ++n) {
            const Where sub = where.item("zones", n, "zone");
            const Value& value = item(*zones, n);
            if (!expect_object(sub, value, R"({"zone": "inner", ...})")) continue;
            if (auto made = zone(sub, Object(document_, value), depth + 1, true)) spec.zones.push_back(std::move(*made));
        }
        if (!zone_id || found() > before) return std::nullopt;
        spec.id = std::string(*zone_id);
        return spec;
    }

    std::optional<ChargeSpec> charge(const Where& where, const Value& value) {
        if (value.type != Type::ARRAY || value.count != 3) {
            std::string got = describe(value);
            if (value.type == Type::ARRAY) got += " of " + std::to_string(value.count);
            problem(where, R"(expected [magnitude, polarity, id] like [3, "positive", "c1"], got )" + got);
            return std::nullopt;
        }
        const std::size_t before = found();
        const Value& magnitude = item(value, 0);
        const Value& polarity = item(value, 1);
        const Value& charge_id = item(value, 2);
        const Where at_magnitude = where.member("0");
        const std::optional<double> number = expect_finite(at_magnitude, "magnitude", magnitude);
        if (number && *number < 0) {
            char shown[40];
            std::snprintf(shown, sizeof shown, "%g", *number);
            problem(at_magnitude, std::string("magnitude must not be negative (the polarity is the sign), not ") + shown);
        }
        const bool polarity_known = polarity.type == Type::STRING && is_one_of(document_.text(polarity), kPolarities);
        if (!polarity_known) {
            problem(where.member("1"),
                    R"(polarity must be "positive", "negative" or "neutral", not )" + shown(polarity));
        }
        const Where at_id = where.member("2");
        if (charge_id.type != Type::STRING) {
            problem(at_id, std::string("id must be a non-empty string, not ") + describe(charge_id));
        } else if (level_suggestions::is_blank(document_.text(charge_id))) {
            problem(at_id, "id must not be empty");
        } else {
            expect_text(at_id, [] { return std::string("id"); }, document_.text(charge_id));
        }
        if (found() > before) return std::nullopt;
        const std::string_view polarity_text = document_.text(polarity);
        const ChargePolarity engine_polarity = polarity_text == "positive"   ? ChargePolarity::POSITIVE
                                               : polarity_text == "negative" ? ChargePolarity::NEGATIVE
                                                                             : ChargePolarity::NEUTRAL;
        return ChargeSpec{*number, engine_polarity, std::string(document_.text(charge_id))};
    }

    std::optional<AgentSpec> agent(const Where& where, const Value& value) {
        if (!expect_object(where, value, R"({"kind": "plus", "id": "p1"})")) return std::nullopt;
        const Object object(document_, value);
        const std::size_t before = found();
        check_fields(where, object, kAgentFields);
        const AgentKindInfo* kind = agent_kind(where, object);
        const std::optional<std::string_view> agent_id = expect_id(where, object, "id");
        if (agent_id && !agent_ids_.insert(*agent_id)) {
            problem(where.member("id"), "agent id " + json_quoted(*agent_id) + " is used twice");
        }
        const std::optional<double> target = gate_target(where, object, kind);
        const std::optional<InequalityGate::ComparisonType> rule = gate_rule(where, object, kind);
        const Value* refill = object.get("refill");
        if (refill && refill->type != Type::BOOLEAN) {
            problem(where.member("refill"), std::string(R"(field "refill" must be true or false, not )") + describe(*refill));
        }
        if (!kind || !agent_id || found() > before) return std::nullopt;
        AgentSpec spec;
        spec.kind = kind->kind;
        spec.id = std::string(*agent_id);
        spec.target = target.value_or(0.0);
        spec.rule = rule.value_or(InequalityGate::ComparisonType::LESS_THAN);
        spec.refill = refill && refill->boolean;
        return spec;
    }

    const AgentKindInfo* agent_kind(const Where& where, const Object& object) {
        if (!required(where, object, "kind")) return nullptr;
        const Value& kind = *object.get("kind");
        if (kind.type != Type::STRING) {
            problem(where.member("kind"), std::string(R"(field "kind" must be a string, not )") + describe(kind));
            return nullptr;
        }
        const std::string_view written = document_.text(kind);
        const AgentKindInfo* info = kind_by_key(written);
        if (!info) {
            problem(where.member("kind"), [written] {
                return "unknown kind " + json_quoted(written) + did_you_mean(level_suggestions::kind_meant(written));
            });
        }
        return info;
    }

    static bool is_gate(const AgentKindInfo* kind) {
        return kind->kind == AgentKind::EQUALS_GATE || kind->kind == AgentKind::INEQUALITY_GATE;
    }

    // A gate's target. For an unknown kind only the value is checked.
    std::optional<double> gate_target(const Where& where, const Object& object, const AgentKindInfo* kind) {
        if (kind && !is_gate(kind)) {
            if (object.has("target")) {
                problem(where.member("target"),
                        std::string(R"(field "target" is only for gates, not for a )") + kind->key + " agent");
            }
            return std::nullopt;
        }
        if (!kind && !object.has("target")) return std::nullopt;
        if (!required(where, object, "target")) return std::nullopt;
        return expect_finite(where.member("target"), R"(field "target")", *object.get("target"));
    }

    // An inequality gate's rule. For an unknown kind only the value is checked.
    std::optional<InequalityGate::ComparisonType> gate_rule(const Where& where, const Object& object,
                                                            const AgentKindInfo* kind) {
        if (kind && kind->kind != AgentKind::INEQUALITY_GATE) {
            if (object.has("rule")) {
                problem(where.member("rule"),
                        std::string(R"(field "rule" is only for inequality_gate, not for )") + kind->key);
            }
            return std::nullopt;
        }
        if (!kind && !object.has("rule")) return std::nullopt;
        if (!required(where, object, "rule")) return std::nullopt;
        const Value& rule = *object.get("rule");
        if (rule.type != Type::STRING || !is_one_of(document_.text(rule), kRules)) {
            problem(where.member("rule"), R"(rule must be "<", ">", "<=" or ">=", not )" + shown(rule));
            return std::nullopt;
        }
        return InequalityGate::comparison_from_rule(std::string(document_.text(rule)));
    }

    // --- checks of single values ---------------------------------------------

    template <std::size_t N>
    void check_fields(const Where& where, const Object& object, const std::string_view (&allowed)[N]) {
        if (object.known_names_once(allowed)) return;
        std::vector<std::string_view> names, repeated;
        object.names(names, repeated);
        for (std::string_view key : repeated) problem(where.member(key), "field " + json_quoted(key) + " is given twice");
        for (std::string_view key : names) {
            if (is_one_of(key, allowed)) continue;
            problem(where.member(key), [key, &allowed] {
                const std::vector<std::string> candidates(std::begin(allowed), std::end(allowed));
                return "unknown field " + json_quoted(key) + did_you_mean(level_suggestions::close_match(key, candidates));
            });
        }
    }

    // Whether the field is given; a missing one is noted.
    bool required(const Where& where, const Object& object, std::string_view key) {
        if (object.has(key)) return true;
        problem(where, "missing " + field(key));
        return false;
    }

    bool expect_object(const Where& where, const Value& value, const char* example) {
        if (value.type == Type::OBJECT) return true;
        problem(where, std::string("expected an object like ") + example + ", got " + describe(value));
        return false;
    }

    std::size_t list_size(const Object& object, std::string_view key) const {
        const Value* value = object.get(key);
        return value && value->type == Type::ARRAY ? value->size : 0;
    }

    // The field's list, or null when it is missing or (noted) not a list.
    const Value* expect_list(const Where& where, const Object& object, std::string_view key) {
        const Value* value = object.get(key);
        if (!value) return nullptr;
        if (value->type != Type::ARRAY) {
            problem(where.member(key), field(key) + " must be a list, not " + describe(*value));
            return nullptr;
        }
        return value;
    }

    // `what` names the text in the message, if there is one.
    template <typename What>
    bool expect_text(const Where& where, What what, std::string_view text) {
        if (const std::optional<std::string> bad = lone_surrogate(text)) {
            problem(where, what() + " holds " + *bad + ", a lone surrogate, which has no UTF-8 form");
            return false;
        }
        return true;
    }

    std::optional<std::string_view> expect_id(const Where& where, const Object& object, std::string_view key) {
        if (!required(where, object, key)) return std::nullopt;
        const Value& value = *object.get(key);
        const Where at = where.member(key);
        if (value.type != Type::STRING) {
            problem(at, field(key) + " must be a string, not " + describe(value));
            return std::nullopt;
        }
        const std::string_view text = document_.text(value);
        if (level_suggestions::is_blank(text)) {
            problem(at, field(key) + " must not be empty");
            return std::nullopt;
        }
        if (!expect_text(at, [key] { return field(key); }, text)) return std::nullopt;
        return text;
    }

    std::optional<double> expect_finite(const Where& where, const char* what, const Value& value) {
        if (value.type != Type::NUMBER) {
            problem(where, std::string(what) + " must be a number, not " + describe(value));
            return std::nullopt;
        }
        if (!value.finite) {
            problem(where, std::string(what) + " must be a finite number, at most 1.7976931348623157e+308 in size");
            return std::nullopt;
        }
        return value.number;
    }

    std::optional<std::string> optional_text(const Where& where, const Object& object, std::string_view key) {
        const Value* value = object.get(key);
        if (!value || value->type == Type::NUL) return std::nullopt;
        if (value->type != Type::STRING) {
            problem(where.member(key), field(key) + " must be a string, not " + describe(*value));
            return std::nullopt;
        }
        if (!expect_text(where.member(key), [key] { return field(key); }, document_.text(*value))) return std::nullopt;
        return std::string(document_.text(*value));
    }

    // A value as a message shows it: text quoted, anything else by its type.
    std::string shown(const Value& value) const {
        return value.type == Type::STRING ? json_quoted(document_.text(value)) : describe(value);
    }

    const Value& item(const Value& list, std::size_t index) const {
        return document_.at(document_.begin(list)[index].value);
    }

    const Document& document_;
    std::vector<LevelProblem> problems_;
    std::size_t unlisted_ = 0;
    IdSet zone_ids_;
    IdSet agent_ids_;
};

// The storage of the last document read on this thread, kept for the next
// one: a level's document is a few hundred kilobytes, which the allocator
// would otherwise hand back to the system and take again, page by page, for
// every file. Only the storage of an ordinary file's size is kept.
class SpareDocument {
public:
    Document take() { return std::move(kept()); }
    void give_back(Document&& document) noexcept {
        const std::size_t bytes = document.values.capacity() * sizeof(Value) +
                                  document.members.capacity() * sizeof(Member) + document.texts.capacity();
        if (bytes <= kMaxKeptBytes) kept() = std::move(document);
    }

private:
    static constexpr std::size_t kMaxKeptBytes = 4 * 1024 * 1024;
    static Document& kept() {
        static QOR_THREAD_LOCAL Document document;
        return document;
    }
};

[[noreturn]] void refuse(std::string message) {
    throw LevelError({LevelProblem{"", std::move(message), ""}});
}

// A document of one agent object, {"kind", "id", "target"?, "rule"?}, built
// from values instead of read from text.
class AgentDocument {
public:
    AgentDocument(std::string_view kind, std::string_view id, std::optional<double> target,
                  std::optional<std::string_view> rule) {
        document_.values.push_back(Value{});  // the object, filled in last
        add_text("kind", kind);
        add_text("id", id);
        if (target) {
            Value number;
            number.type = Type::NUMBER;
            number.finite = std::isfinite(*target);
            number.number = *target;
            add("target", number);
        }
        if (rule) add_text("rule", *rule);
        Value& object = document_.values.front();
        object.type = Type::OBJECT;
        object.size = object.count = static_cast<std::uint32_t>(document_.members.size());
    }

    const Document& document() const { return document_; }

private:
    std::uint32_t text_at(std::string_view text) {
        const auto begin = static_cast<std::uint32_t>(document_.texts.size());
        document_.texts.append(text);
        return begin;
    }

    void add(std::string_view key, Value value) {
        Member member;
        member.key_begin = text_at(key);
        member.key_size = static_cast<std::uint32_t>(key.size());
        member.value = static_cast<std::uint32_t>(document_.values.size());
        document_.values.push_back(value);
        document_.members.push_back(member);
    }

    void add_text(std::string_view key, std::string_view text) {
        if (text.size() > kMaxLevelFileBytes) refuse(field(key) + " is longer than a level file may be");
        Value value;
        value.type = Type::STRING;
        value.begin = text_at(text);
        value.size = static_cast<std::uint32_t>(text.size());
        add(key, value);
    }

    Document document_;
};

// --- writing ------------------------------------------------------------------


// A number as JSON.stringify writes it (the shortest digits that read back as
// the same double), but minus zero as "-0.0", which reads back as itself, and
// a value beyond the finite as null, which no level file holds.
void write_number(std::string& out, double number) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    if (number == 0) {
        out += std::signbit(number) ? "-0.0" : "0";
        return;
    }
    if (number < 0) out += '-';
    char digits[32];
    int length = 0, exponent = 0;
    nlohmann::detail::dtoa_impl::grisu2(digits, length, exponent, std::fabs(number));
    const int point = length + exponent;  // the decimal point's place after the first digit
    const std::string_view all(digits, static_cast<std::size_t>(length));
    if (length <= point && point <= 21) {
        out.append(all).append(static_cast<std::size_t>(point - length), '0');
    } else if (0 < point && point <= 21) {
        out.append(all.substr(0, static_cast<std::size_t>(point))).append(".").append(all.substr(static_cast<std::size_t>(point)));
    } else if (-6 < point && point <= 0) {
        out.append("0.").append(static_cast<std::size_t>(-point), '0').append(all);
    } else {
        out += all[0];
        if (length > 1) out.append(".").append(all.substr(1));
        out += point - 1 >= 0 ? "e+" : "e-";
        out += std::to_string(std::abs(point - 1));
    }
}

void write_charge(std::string& out, const ChargeSpec& charge) {
    out += '[';
    write_number(out, charge.magnitude);
    out += ", \"";
    out += polarity_text(charge.polarity);
    out += "\", ";
    write_string(out, charge.id);
    out += ']';
}

void write_agent(std::string& out, const AgentSpec& agent) {
    out += "{\"kind\": ";
    write_string(out, kind_info(agent.kind).key);
    out += ", \"id\": ";
    write_string(out, agent.id);
    if (agent.kind == AgentKind::EQUALS_GATE || agent.kind == AgentKind::INEQUALITY_GATE) {
        out += ", \"target\": ";
        write_number(out, agent.target);
    }
    if (agent.kind == AgentKind::INEQUALITY_GATE) {
        out += ", \"rule\": ";
        write_string(out, InequalityGate::rule_text(agent.rule));
    }
    if (agent.refill) out += ", \"refill\": true";
    out += '}';
}

void indent(std::string& out, std::size_t spaces) { out.append(spaces, ' '); }

// Zones deeper than this many levels below the root are indented as their
// parent is: the written size then grows with the level's content, not with
// its depth times its content, so every level read can be written back within
// kMaxLevelFileBytes.
constexpr std::size_t kMaxIndentedDepth = 8;

// A zone's members from "zone" to its last list, each list item on a line of
// its own, at `spaces` of indent; a sub-zone's members four deeper, down to
// kMaxIndentedDepth. Walks without recursion, so a level of any depth can be
// written.
void write_zone(std::string& out, const ZoneSpec& root, std::size_t spaces) {
    struct Open {
        const ZoneSpec* zone;
        std::size_t next_sub_zone;
        std::size_t spaces;
    };
    auto write_members = [&out](const ZoneSpec& zone, std::size_t at) {
        indent(out, at);
        out += "\"zone\": ";
        write_string(out, zone.id);
        if (!zone.charges.empty()) {
            out += ",\n";
            indent(out, at);
            out += "\"charges\": [\n";
            for (std::size_t n = 0; n < zone.charges.size(); ++n) {
                indent(out, at + 2);
                write_charge(out, zone.charges[n]);
                out += n + 1 < zone.charges.size() ? ",\n" : "\n";
            }
            indent(out, at);
            out += ']';
        }
        if (!zone.agents.empty()) {
            out += ",\n";
            indent(out, at);
            out += "\"agents\": [\n";
            for (std::size_t n = 0; n < zone.agents.size(); ++n) {
                indent(out, at + 2);
                write_agent(out, zone.agents[n]);
                out += n + 1 < zone.agents.size() ? ",\n" : "\n";
            }
            indent(out, at);
            out += ']';
        }
        if (!zone.zones.empty()) {
            out += ",\n";
            indent(out, at);
            out += "\"zones\": [\n";
        }
    };
    std::vector<Open> open;
    write_members(root, spaces);
    open.push_back(Open{&root, 0, spaces});
    while (!open.empty()) {
        Open& top = open.back();
        const std::vector<ZoneSpec>& subs = top.zone->zones;
        if (top.next_sub_zone < subs.size()) {
            const ZoneSpec& sub = subs[top.next_sub_zone++];
            const std::size_t inner = open.size() <= kMaxIndentedDepth ? top.spaces + 4 : top.spaces;
            indent(out, inner - 2);
            out += "{\n";
            write_members(sub, inner);
            open.push_back(Open{&sub, 0, inner});
            continue;
        }
        const Open done = top;
        open.pop_back();
        if (subs.empty()) {
            out += '\n';
        } else {
            indent(out, done.spaces);
            out += "]\n";
        }
        if (!open.empty()) {
            indent(out, done.spaces - 2);
            out += '}';
            out += open.back().next_sub_zone < open.back().zone->zones.size() ? ",\n" : "\n";
        }
    }
}

}  // namespace

std::string LevelProblem::text() const { return place.empty() ? message : place + ": " + message; }

namespace {

std::string all_texts(const std::vector<LevelProblem>& problems) {
    std::string text;
    for (const LevelProblem& problem : problems) {
        if (!text.empty()) text += '\n';
        text += problem.text();
    }
    return text;
}

}  // namespace

LevelError::LevelError(std::vector<LevelProblem> problems)
    : std::invalid_argument(all_texts(problems)),
      problems_(std::make_shared<const std::vector<LevelProblem>>(std::move(problems))) {}

ZoneSpec::~ZoneSpec() {
    // Sub-zones of sub-zones are moved up into one list and released one
    // level at a time, so that no destructor recurses deeply.
    std::vector<ZoneSpec> pending;
    pending.swap(zones);
    while (!pending.empty()) {
        ZoneSpec last = std::move(pending.back());
        pending.pop_back();
        for (ZoneSpec& sub : last.zones) pending.push_back(std::move(sub));
        last.zones.clear();
    }
}

Level Level::read(std::string_view text) {
    if (text.size() > kMaxLevelFileBytes) {
        refuse("longer than " + with_commas(kMaxLevelFileBytes) + " bytes, the most a level file may hold");
    }
    // A UTF-8 byte order mark, as some editors write one, is no part of the
    // level (RFC 8259 lets a reader ignore it); byte offsets stay the file's.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    const std::size_t skipped = text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
    text.remove_prefix(skipped);
    if (const auto fault = level_json::utf8_fault(text)) {
        refuse(std::string("not UTF-8 text (") + fault->reason + " at byte " + std::to_string(fault->offset + skipped) +
               ")");
    }
    if (level_suggestions::is_blank(text)) refuse("the file is empty");
    level_json::ParseError error;
    SpareDocument spare;
    std::optional<Document> document = level_json::parse(text, error, spare.take());
    if (!document) {
        refuse("invalid JSON at line " + std::to_string(error.line) + ", column " + std::to_string(error.column) +
               ": " + error.message);
    }
    Checker checker(*document);
    std::optional<Level> level = checker.level();
    if (!level) throw LevelError(checker.problems());
    spare.give_back(std::move(*document));
    return std::move(*level);
}

std::string Level::to_text() const {
    std::string out = "{\n";
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {{"title", &title},
                                                                               {"description", &description}};
    for (const auto& [name, text] : texts) {
        if (!*text) continue;
        out += "  \"";
        out += name;
        out += "\": ";
        write_string(out, **text);
        out += ",\n";
    }
    write_zone(out, root, 2);
    out += "}\n";
    return out;
}

BuiltLevel Level::build() const {
    BuiltLevel built;
    struct Pending {
        const ZoneSpec* spec;
        std::shared_ptr<Environment> zone;
    };
    built.root = std::make_shared<Environment>(root.id);
    std::vector<Pending> pending{Pending{&root, built.root}};
    // Zones are filled in the file's order, depth first, so that the refill
    // agents are listed in that order.
    while (!pending.empty()) {
        const Pending next = std::move(pending.back());
        pending.pop_back();
        next.zone->charges.reserve(next.spec->charges.size());
        next.zone->agents.reserve(next.spec->agents.size());
        next.zone->sub_environments.reserve(next.spec->zones.size());
        for (const ChargeSpec& charge : next.spec->charges) {
            next.zone->add_charge(Charge(charge.magnitude, charge.polarity, charge.id));
        }
        for (const AgentSpec& agent : next.spec->agents) {
            next.zone->add_magician(make_agent(agent.kind, agent.id, agent.target, agent.rule));
            if (agent.refill) built.refills.push_back(RefillAgent{next.zone, agent.kind, agent.id, agent.target, agent.rule});
        }
        const std::size_t first = pending.size();
        for (const ZoneSpec& sub_spec : next.spec->zones) {
            auto sub = std::make_shared<Environment>(sub_spec.id);
            next.zone->add_environment(sub);
            pending.push_back(Pending{&sub_spec, std::move(sub)});
        }
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
    }
    return built;
}

namespace {

AgentSpec agent_spec_of(const MagicianAgent& agent, const Environment& zone) {
    const std::optional<AgentKind> kind = kind_of(agent);
    if (!kind) {
        throw std::invalid_argument("zone " + json_quoted(zone.id) + ": agent " + json_quoted(agent.visual_id) +
                                    " is of a kind no level file holds");
    }
    AgentSpec spec;
    spec.kind = *kind;
    spec.id = agent.visual_id;
    if (const auto* gate = dynamic_cast<const EqualsGate*>(&agent)) spec.target = gate->target_value;
    if (const auto* gate = dynamic_cast<const InequalityGate*>(&agent)) {
        spec.target = gate->target_value;
        spec.rule = gate->comparison_type;
    }
    return spec;
}

}  // namespace

Level Level::of_zone(const Environment& root, std::optional<std::string> title,
                     std::optional<std::string> description) {
    ensure_walkable(root);
    Level level;
    level.title = std::move(title);
    level.description = std::move(description);
    struct Pending {
        const Environment* zone;
        ZoneSpec* spec;
    };
    std::vector<Pending> pending{Pending{&root, &level.root}};
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        const Environment& zone = *next.zone;
        ZoneSpec& spec = *next.spec;
        spec.id = zone.id;
        spec.charges.reserve(zone.charges.size());
        for (const Charge& charge : zone.charges) {
            spec.charges.push_back(ChargeSpec{charge.magnitude, charge.polarity, charge.visual_id});
        }
        spec.agents.reserve(zone.agents.size());
        for (const std::shared_ptr<MagicianAgent>& agent : zone.agents) {
            if (agent) spec.agents.push_back(agent_spec_of(*agent, zone));
        }
        // Sized before any is taken by address.
        spec.zones.resize(zone.sub_environments.size());
        for (std::size_t n = 0; n < zone.sub_environments.size(); ++n) {
            if (zone.sub_environments[n]) pending.push_back(Pending{zone.sub_environments[n].get(), &spec.zones[n]});
        }
    }
    return level;
}

bool looks_like_file_name(std::string_view text) {
    constexpr std::size_t kLongestName = 4096;
    if (text.empty() || text.size() > kLongestName) return false;
    if (text.find_first_of("\n\r{}[]\"") != std::string_view::npos) return false;
    if (level_json::utf8_fault(text)) return false;
    const std::size_t last = text.find_last_not_of(" \t");
    if (last == std::string_view::npos) return false;
    const std::string_view name = text.substr(0, last + 1);
    const bool json_suffix = name.size() > 5 && [&] {
        std::string suffix(name.substr(name.size() - 5));
        for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return suffix == ".json";
    }();
    return json_suffix || name.find_first_of("/\\") != std::string_view::npos;
}

LevelError file_name_error(std::string_view text, std::string_view how_to_read) {
    return LevelError({LevelProblem{"", json_quoted(text) + " looks like a file name, not a level file's text: " +
                                            "pass the file's contents: " + std::string(how_to_read), ""}});
}

AgentSpec read_agent(std::string_view kind, std::string_view id, std::optional<double> target,
                     std::optional<std::string_view> rule) {
    const AgentDocument made(kind, id, target, rule);
    Checker checker(made.document());
    std::optional<AgentSpec> agent = checker.agent_alone();
    if (agent) return std::move(*agent);
    std::vector<LevelProblem> problems = checker.problems();
    for (LevelProblem& problem : problems) problem.place.clear();
    throw LevelError(std::move(problems));
}

std::shared_ptr<MagicianAgent> make_agent(const AgentSpec& agent) {
    return make_agent(agent.kind, agent.id, agent.target, agent.rule);
}

std::unique_ptr<LevelPlay> Level::play(std::int32_t max_frames) const {
    NarrativeSequencer::check_max_frames(max_frames);
    BuiltLevel built = build();
    return std::make_unique<LevelPlay>(std::move(built.root), std::move(built.refills), max_frames);
}

}  // namespace qor
