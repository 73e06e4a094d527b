#include "level_file/level_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace qor::level_json {

namespace {

// What a value is in a level, which decides how much of it is kept.
enum class Role : std::uint8_t {
    ZONE,         // the level itself or a sub-zone: an object
    ZONE_LIST,    // "zones"
    CHARGE_LIST,  // "charges"
    AGENT_LIST,   // "agents"
    CHARGE,       // [magnitude, polarity, id]
    AGENT,        // an agent's object
    LEAF,         // a member's value: kept, but not what lies inside it
    NONE,         // not kept at all
};

Role item_role(Role list) {
    switch (list) {
        case Role::ZONE_LIST: return Role::ZONE;
        case Role::CHARGE_LIST: return Role::CHARGE;
        case Role::AGENT_LIST: return Role::AGENT;
        case Role::CHARGE: return Role::LEAF;
        default: return Role::NONE;
    }
}

Role member_role(Role object, std::string_view key) {
    switch (object) {
        case Role::ZONE:
            if (key == "zones") return Role::ZONE_LIST;
            if (key == "charges") return Role::CHARGE_LIST;
            if (key == "agents") return Role::AGENT_LIST;
            return Role::LEAF;
        case Role::AGENT: return Role::LEAF;
        default: return Role::NONE;
    }
}

// The largest double as an integer, for the exact comparison of long integers.
constexpr std::string_view kLargestDouble =
    "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955"
    "86327668781715404589535143824642343213268894641827684675467035375169860499105765512820762"
    "45490090389328944075868508455133942304583236903222948165808559332123348274797826204144723"
    "168738177180919299881250404026184124858368";
static_assert(kLargestDouble.size() == 309);

// Enough significant digits to round any decimal correctly: a value halfway
// between two doubles has at most 767 of them.
constexpr std::size_t kKeptDigits = 800;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

double signed_value(bool negative, double value) { return negative ? -value : value; }

// A number written with a fraction or an exponent, rounded to the nearest
// double (infinity beyond the largest), with bounded work for any length.
double rounded(bool negative, std::string_view int_digits, std::string_view frac_digits,
               std::int64_t exponent) {
    std::string digits;
    digits.reserve(kKeptDigits + 2);
    std::int64_t scale = exponent - static_cast<std::int64_t>(frac_digits.size());
    bool dropped_nonzero = false;
    std::size_t trailing_zeros = 0;
    for (std::string_view part : {int_digits, frac_digits}) {
        for (char c : part) {
            if (digits.empty() && c == '0') continue;  // leading zeros
            if (digits.size() < kKeptDigits) {
                digits += c;
                trailing_zeros = c == '0' ? trailing_zeros + 1 : 0;
            } else {
                ++scale;  // a digit dropped from the end
                dropped_nonzero = dropped_nonzero || c != '0';
            }
        }
    }
    if (digits.empty()) return signed_value(negative, 0.0);
    digits.resize(digits.size() - trailing_zeros);
    scale += static_cast<std::int64_t>(trailing_zeros);
    if (dropped_nonzero) {  // between the kept digits and the next value up: round as that
        digits += '1';
        --scale;
    }
    const std::int64_t magnitude = scale + static_cast<std::int64_t>(digits.size()) - 1;
    if (magnitude > 310) return signed_value(negative, std::numeric_limits<double>::infinity());
    if (magnitude < -330) return signed_value(negative, 0.0);
    char exponent_text[24];
    std::snprintf(exponent_text, sizeof exponent_text, "e%lld", static_cast<long long>(scale));
    digits += exponent_text;
    return signed_value(negative, std::strtod(digits.c_str(), nullptr));
}

class Parser {
public:
    Parser(std::string_view text, ParseError& error, Document spare)
        : text_(text), error_(error), document_(std::move(spare)) {
        document_.values.clear();
        document_.members.clear();
        document_.texts.clear();
        // A level's text holds about one kept value per ten bytes.
        document_.values.reserve(text.size() / 10 + 1);
        document_.members.reserve(text.size() / 10 + 1);
        document_.texts.reserve(text.size() / 2);
    }

    std::optional<Document> run() {
        if (text_.size() > std::numeric_limits<std::uint32_t>::max()) {
            return fail(0, "the text is longer than 4 GiB");
        }
        skip_space();
        if (text_.substr(at_, 3) == "\xEF\xBB\xBF") return fail(at_, "a byte order mark (U+FEFF) is not allowed");
        Role role = Role::ZONE;
        std::uint32_t key_begin = 0, key_size = 0;
        for (;;) {
            // A value is expected here, of the role `role`.
            skip_space();
            if (at_ == text_.size()) return fail(at_, "expected a value, found the end of the text");
            const char c = text_[at_];
            if (c == '[' || c == '{') {
                if (open_.size() == kMaxNesting) return fail(at_, "lists and objects are nested more than 1000 deep");
                open(role, c == '{', key_begin, key_size);
                ++at_;
                skip_space();
                if (at_ < text_.size() && text_[at_] == (c == '{' ? '}' : ']')) {
                    ++at_;
                    close();
                } else {
                    if (c == '{' && !member_key(role, key_begin, key_size)) return std::nullopt;
                    if (c == '[') {
                        role = item_role(role);
                        key_begin = key_size = 0;
                    }
                    continue;
                }
            } else if (!scalar(role, key_begin, key_size)) {
                return std::nullopt;
            }
            // A value is complete: go on in the containers it closes.
            for (;;) {
                skip_space();
                if (open_.empty()) {
                    if (at_ != text_.size()) return fail(at_, "unexpected text after the end of the JSON value");
                    return std::move(document_);
                }
                const Open& top = open_.back();
                if (at_ == text_.size()) {
                    return fail(at_, top.is_object ? "expected ',' or '}', found the end of the text"
                                                    : "expected ',' or ']', found the end of the text");
                }
                const char next = text_[at_];
                if (next == ',') {
                    ++at_;
                    if (top.is_object) {
                        skip_space();
                        if (!member_key(role, key_begin, key_size)) return std::nullopt;
                    } else {
                        role = item_role(top.role);
                        key_begin = key_size = 0;
                    }
                    break;
                }
                if (next == (top.is_object ? '}' : ']')) {
                    ++at_;
                    close();
                    continue;
                }
                return fail(at_, top.is_object ? "expected ',' or '}' after a member"
                                               : "expected ',' or ']' after an item");
            }
        }
    }

private:
    struct Open {
        std::uint32_t value;  // its index in document_.values, when kept
        Role role;
        bool is_object;
        std::size_t pending_begin;  // its members so far: pending_[pending_begin...]
        std::uint32_t count = 0;
    };

    std::nullopt_t fail(std::size_t offset, std::string message) {
        error_.line = 1;
        std::size_t line_start = 0;
        for (std::size_t i = 0; i < offset; ++i) {
            if (text_[i] == '\n') {
                ++error_.line;
                line_start = i + 1;
            }
        }
        error_.column = 1;
        for (std::size_t i = line_start; i < offset; ++i) {
            if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++error_.column;
        }
        error_.message = std::move(message);
        return std::nullopt;
    }

    void skip_space() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++at_;
        }
    }

    bool kept(Role role) const { return role != Role::NONE; }

    // Adds a new value of the role (or none, returning 0, when it is not kept).
    std::uint32_t add_value(Role role, Value value) {
        if (!kept(role)) return 0;
        document_.values.push_back(value);
        return static_cast<std::uint32_t>(document_.values.size() - 1);
    }

    // Counts a complete value in its container, and lists it there when kept.
    void completed(Role role, std::uint32_t value, std::uint32_t key_begin, std::uint32_t key_size) {
        if (open_.empty()) return;
        ++open_.back().count;
        if (kept(role)) pending_.push_back(Member{key_begin, key_size, value});
    }

    void open(Role role, bool is_object, std::uint32_t key_begin, std::uint32_t key_size) {
        Value value;
        value.type = is_object ? Type::OBJECT : Type::ARRAY;
        const std::uint32_t index = add_value(role, value);
        open_.push_back(Open{index, role, is_object, pending_.size()});
        keys_.push_back({key_begin, key_size});
    }

    void close() {
        const Open top = open_.back();
        const auto key = keys_.back();
        open_.pop_back();
        keys_.pop_back();
        if (kept(top.role)) {
            Value& value = document_.values[top.value];
            value.begin = static_cast<std::uint32_t>(document_.members.size());
            value.size = static_cast<std::uint32_t>(pending_.size() - top.pending_begin);
            value.count = top.count;
            document_.members.insert(document_.members.end(), pending_.begin() + static_cast<std::ptrdiff_t>(top.pending_begin),
                                     pending_.end());
            pending_.resize(top.pending_begin);
        }
        completed(top.role, top.value, key.first, key.second);
    }

    // Reads `"key":` and sets the role of the member's value.
    bool member_key(Role& role, std::uint32_t& key_begin, std::uint32_t& key_size) {
        const Role object = open_.back().role;
        if (at_ == text_.size() || text_[at_] != '"') {
            fail(at_, "expected a member's name in double quotes");
            return false;
        }
        std::uint32_t begin = 0, size = 0;
        if (!string(kept(object), begin, size)) return false;
        skip_space();
        if (at_ == text_.size() || text_[at_] != ':') {
            fail(at_, "expected ':' after a member's name");
            return false;
        }
        ++at_;
        key_begin = begin;
        key_size = size;
        role = kept(object) ? member_role(object, std::string_view(document_.texts).substr(begin, size)) : Role::NONE;
        return true;
    }

    bool scalar(Role role, std::uint32_t key_begin, std::uint32_t key_size) {
        Value value;
        const char c = text_[at_];
        if (c == '"') {
            value.type = Type::STRING;
            if (!string(kept(role), value.begin, value.size)) return false;
        } else if (c == '-' || is_digit(c)) {
            if (!number(value)) return false;
        } else if (literal("true")) {
            value.type = Type::BOOLEAN;
            value.boolean = true;
        } else if (literal("false")) {
            value.type = Type::BOOLEAN;
        } else if (literal("null")) {
            value.type = Type::NUL;
        } else {
            for (const char* constant : {"NaN", "Infinity"}) {
                if (text_.substr(at_, std::strlen(constant)) == constant) {
                    fail(at_, std::string(constant) + " is not allowed in a level file");
                    return false;
                }
            }
            fail(at_, "expected a value");
            return false;
        }
        completed(role, add_value(role, value), key_begin, key_size);
        return true;
    }

    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    std::string_view digits() {
        const std::size_t begin = at_;
        while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
        return text_.substr(begin, at_ - begin);
    }

    bool number(Value& value) {
        value.type = Type::NUMBER;
        const bool negative = text_[at_] == '-';
        if (negative) {
            ++at_;
            if (text_.substr(at_, 8) == "Infinity") {
                fail(at_ - 1, "-Infinity is not allowed in a level file");
                return false;
            }
            if (at_ == text_.size() || !is_digit(text_[at_])) {
                fail(at_, "expected a digit after '-'");
                return false;
            }
        }
        const std::string_view int_digits = text_[at_] == '0' ? text_.substr(at_++, 1) : digits();
        std::string_view frac_digits;
        bool is_integer = true;
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            frac_digits = digits();
            if (frac_digits.empty()) {
                fail(at_, "expected a digit after '.'");
                return false;
            }
            is_integer = false;
        }
        std::int64_t exponent = 0;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            bool exponent_negative = false;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) exponent_negative = text_[at_++] == '-';
            const std::string_view exponent_digits = digits();
            if (exponent_digits.empty()) {
                fail(at_, "expected a digit in the exponent");
                return false;
            }
            for (char c : exponent_digits) {  // beyond 10^9 it only says "too large" or "zero"
                if (exponent < 1000000000) exponent = exponent * 10 + (c - '0');
            }
            if (exponent_negative) exponent = -exponent;
            is_integer = false;
        }
        if (is_integer) {
            integer(negative, int_digits, value);
        } else {
            value.number = rounded(negative, int_digits, frac_digits, exponent);
            value.finite = std::isfinite(value.number);
        }
        return true;
    }

    // An integer is compared exactly with the largest double, then rounded;
    // minus zero is the integer zero.
    static void integer(bool negative, std::string_view digits, Value& value) {
        const std::size_t first = digits.find_first_not_of('0');
        if (first == std::string_view::npos) {
            value.number = 0.0;
            value.finite = true;
            return;
        }
        digits.remove_prefix(first);
        value.finite = digits.size() < kLargestDouble.size() ||
                       (digits.size() == kLargestDouble.size() && digits <= kLargestDouble);
        if (!value.finite) {
            value.number = signed_value(negative, std::numeric_limits<double>::infinity());
            return;
        }
        const std::string text(digits);
        value.number = signed_value(negative, std::strtod(text.c_str(), nullptr));
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // The code unit of the \uXXXX escape at `at` (its backslash), or -1.
    long escaped_unit(std::size_t at) const {
        if (text_.substr(at, 2) != "\\u" || at + 6 > text_.size()) return -1;
        long unit = 0;
        for (std::size_t i = at + 2; i < at + 6; ++i) {
            const int digit = hex_digit(text_[i]);
            if (digit < 0) return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    void append_code_point(std::string& out, unsigned long point) {
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xC0 | (point >> 6));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {  // lone surrogates too
            out += static_cast<char>(0xE0 | (point >> 12));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (point >> 18));
            out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        }
    }

    // Reads the string at at_ (its opening quote) into document_.texts when
    // `keep`, else checks it only.
    bool string(bool keep, std::uint32_t& begin, std::uint32_t& size) {
        std::string& out = document_.texts;
        const std::size_t start = at_;
        const std::size_t out_start = out.size();
        ++at_;
        for (;;) {
            std::size_t run = at_;
            while (run < text_.size() && text_[run] != '"' && text_[run] != '\\' &&
                   static_cast<unsigned char>(text_[run]) >= 0x20) {
                ++run;
            }
            if (keep) out.append(text_.data() + at_, run - at_);
            at_ = run;
            if (at_ == text_.size()) {
                fail(start, "a string is not closed");
                return false;
            }
            const char c = text_[at_];
            if (c == '"') break;
            if (c != '\\') {
                fail(at_, "a control character in a string must be written as an escape");
                return false;
            }
            if (at_ + 1 == text_.size()) {
                fail(start, "a string is not closed");
                return false;
            }
            const char escape = text_[at_ + 1];
            const char* simple = std::strchr("\"\\/bfnrt", escape);
            if (escape != '\0' && simple != nullptr) {
                if (keep) out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
                at_ += 2;
                continue;
            }
            if (escape != 'u') {
                fail(at_, "invalid escape in a string");
                return false;
            }
            long unit = escaped_unit(at_);
            if (unit < 0) {
                fail(at_, "invalid \\u escape: it needs four hexadecimal digits");
                return false;
            }
            at_ += 6;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const long low = escaped_unit(at_);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    at_ += 6;
                }
            }
            if (keep) append_code_point(out, static_cast<unsigned long>(unit));
        }
        ++at_;
        if (keep) {
            begin = static_cast<std::uint32_t>(out_start);
            size = static_cast<std::uint32_t>(out.size() - out_start);
        } else {
            out.resize(out_start);
        }
        return true;
    }

    std::string_view text_;
    ParseError& error_;
    std::size_t at_ = 0;
    Document document_;
    std::vector<Open> open_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> keys_;  // each open container's own key
    std::vector<Member> pending_;  // the kept members of the open containers
};

}  // namespace

std::optional<Document> parse(std::string_view text, ParseError& error, Document spare) {
    return Parser(text, error, std::move(spare)).run();
}

std::optional<Utf8Fault> utf8_fault(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        std::uint64_t eight = 0;
        if (size - i >= 8 && (std::memcpy(&eight, data + i, 8), (eight & 0x8080808080808080ull) == 0)) {
            i += 8;  // eight ASCII bytes
            continue;
        }
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return Utf8Fault{i, "invalid start byte"};
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k == size) return Utf8Fault{i, "unexpected end of data"};
            const unsigned char byte = data[i + k];
            if (k == 1 ? (byte < low || byte > high) : (byte & 0xC0) != 0x80) {
                return Utf8Fault{i, "invalid continuation byte"};
            }
        }
        i += length;
    }
    return std::nullopt;
}

}  // namespace qor::level_json
