#include "model/json_text.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qor {

namespace {

using Json = nlohmann::json;

// 1 for the bytes a JSON string cannot hold as they are: all but printable
// ASCII, and the quotation mark and the backslash.
constexpr std::array<unsigned char, 256> kNeedsCare = [] {
    std::array<unsigned char, 256> care{};
    for (int c = 0; c < 256; ++c) care[c] = c < 0x20 || c > 0x7E || c == '"' || c == '\\';
    return care;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Nonzero when a byte of `word` needs care (what kNeedsCare says, eight bytes
// at a time). Each test is exact for the lowest byte it finds; a byte above
// such one may be flagged falsely, which changes nothing here.
std::uint64_t care_in_word(std::uint64_t word) {
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v; };
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    const std::uint64_t above_tilde = word + kOnes;  // 0x7F and up reach the high bit
    return (below_space | above_tilde | word | has_zero(word ^ (kOnes * '"')) |
            has_zero(word ^ (kOnes * '\\'))) & kHighBits;
}

std::uint64_t load_word(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Copies `text` to `out` and tells whether every byte is plain, in one pass.
bool copy_if_plain(std::string_view text, char* out) {
    const std::size_t size = text.size();
    const char* in = text.data();
    if (size < sizeof(std::uint64_t)) {
        unsigned char care = 0;
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = in[i];
            care |= kNeedsCare[static_cast<unsigned char>(in[i])];
        }
        return care == 0;
    }
    // Whole words, the last one overlapping the one before when the size is
    // not a multiple of eight.
    std::uint64_t care = 0;
    for (std::size_t at = 0;; at += sizeof(std::uint64_t)) {
        if (at > size - sizeof(std::uint64_t)) at = size - sizeof(std::uint64_t);
        const std::uint64_t word = load_word(in + at);
        std::memcpy(out + at, &word, sizeof word);
        care |= care_in_word(word);
        if (at == size - sizeof(std::uint64_t)) break;
    }
    return care == 0;
}

bool is_plain_ascii(std::string_view text) {
    std::uint64_t care = 0;
    std::size_t at = 0;
    for (; at + sizeof care <= text.size(); at += sizeof care) care |= care_in_word(load_word(text.data() + at));
    for (; at < text.size(); ++at) care |= kNeedsCare[static_cast<unsigned char>(text[at])];
    return care == 0;
}

// What escaping adds to each byte: 1 for the quotation mark, the backslash
// and the control characters with a short escape, 5 for the other control
// characters, written \u00XX.
constexpr std::array<unsigned char, 256> kEscapeExtra = [] {
    std::array<unsigned char, 256> extra{};
    for (int c = 0; c < 0x20; ++c) extra[c] = 5;
    for (const char c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'}) extra[static_cast<unsigned char>(c)] = 1;
    return extra;
}();

// Nonzero when a byte of `word` is escaped (what kEscapeExtra says, eight
// bytes at a time); exact for the lowest such byte, as care_in_word.
std::uint64_t escape_in_word(std::uint64_t word) {
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v; };
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    return (below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\'))) & kHighBits;
}

// What the library writes for a float: enough room for any double.
constexpr std::size_t kFloatRoom = 64;
// For any 64-bit integer, its sign included.
constexpr std::size_t kIntegerRoom = 24;

// Writes the decimal digits of `value` at `out`; returns the end.
char* write_decimal(char* out, std::uint64_t value) {
    std::size_t length = 1;
    for (std::uint64_t rest = value / 10; rest != 0; rest /= 10) ++length;
    char* const end = out + length;
    char* at = end;
    do {
        *--at = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// Whole numbers below this are written as their digits and ".0", which is
// what the library's float writer gives for them: a double below 10^15 has
// its neighbours at most 1/8 away, so the only digits Grisu2 can pick within
// its rounding interval are the number's own, and below 10^15 the library
// writes no exponent. Most of a level's numbers are whole.
constexpr double kWholeNumberBound = 1e15;

// One open array or object on the way down, and how far it has been written.
struct OpenContainer {
    const Json* value;
    Json::array_t::const_iterator next_element;
    Json::object_t::const_iterator next_member;
    bool first = true;
};

}  // namespace

void JsonTextWriter::flush() {
    text_.append(buffer_, used_);
    used_ = 0;
}

void JsonTextWriter::append_large(std::string_view text) {
    flush();
    if (text.size() > kBufferSize) {
        text_.append(text);
    } else {
        std::memcpy(buffer_, text.data(), text.size());
        used_ = text.size();
    }
}

void JsonTextWriter::library_dump(const Json& value) {
    flush();
    nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(text_), ' ',
                                                  Json::error_handler_t::strict);
    serializer.dump(value, false, false, 0);
}

void JsonTextWriter::string(std::string_view text) {
    if (text.size() <= kBufferSize - 2) {
        char* out = room(text.size() + 2);
        out[0] = '"';
        if (copy_if_plain(text, out + 1)) {
            out[text.size() + 1] = '"';
            used_ += text.size() + 2;
            return;
        }
    } else if (is_plain_ascii(text)) {
        raw('"');
        raw(text);
        raw('"');
        return;
    }
    if (!escaped_printable_ascii(text)) library_dump(Json(text));
}

// Printable ASCII (a zone id in quotes, as notes hold) needs only its quotes
// and backslashes escaped, as the library escapes them; anything else goes
// through the library.
bool JsonTextWriter::escaped_printable_ascii(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) return false;
    }
    raw('"');
    std::size_t run = 0;  // the start of the text not yet written
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '"' && text[at] != '\\') continue;
        raw(text.substr(run, at - run));
        raw('\\');
        run = at;
    }
    raw(text.substr(run));
    raw('"');
    return true;
}

void JsonTextWriter::number(double number) {
    if (!std::isfinite(number)) {
        raw("null");
        return;
    }
    char* out = room(kFloatRoom);
    const double magnitude = std::fabs(number);
    if (magnitude < kWholeNumberBound && std::trunc(magnitude) == magnitude) {
        char* at = out;
        if (std::signbit(number)) *at++ = '-';
        at = write_decimal(at, static_cast<std::uint64_t>(magnitude));
        *at++ = '.';
        *at++ = '0';
        used_ += static_cast<std::size_t>(at - out);
        return;
    }
    // The library's own float writer (Grisu2, its format), as dump() uses it.
    used_ += static_cast<std::size_t>(nlohmann::detail::to_chars(out, out + kFloatRoom, number) - out);
}

void JsonTextWriter::integer(std::int64_t number) {
    char* out = room(kIntegerRoom);
    char* at = out;
    // The magnitude as unsigned: no overflow for the smallest int64 either.
    auto magnitude = static_cast<std::uint64_t>(number);
    if (number < 0) {
        *at++ = '-';
        magnitude = 0 - magnitude;
    }
    used_ += static_cast<std::size_t>(write_decimal(at, magnitude) - out);
}

void JsonTextWriter::unsigned_integer(std::uint64_t number) {
    char* out = room(kIntegerRoom);
    used_ += static_cast<std::size_t>(write_decimal(out, number) - out);
}

void JsonTextWriter::value(const Json& value) {
    std::vector<OpenContainer> open;
    // Writes a scalar at once, or the opening bracket of a container that is
    // then filled in by the loop below.
    auto begin_value = [&](const Json& item) {
        switch (item.type()) {
            case Json::value_t::array:
                raw('[');
                open.push_back({&item, item.get_ref<const Json::array_t&>().begin(), {}});
                break;
            case Json::value_t::object:
                raw('{');
                open.push_back({&item, {}, item.get_ref<const Json::object_t&>().begin()});
                break;
            case Json::value_t::string: string(item.get_ref<const std::string&>()); break;
            case Json::value_t::null: raw("null"); break;
            case Json::value_t::boolean: raw(item.get<bool>() ? "true" : "false"); break;
            case Json::value_t::number_integer: integer(item.get<std::int64_t>()); break;
            case Json::value_t::number_unsigned: unsigned_integer(item.get<std::uint64_t>()); break;
            case Json::value_t::number_float: number(item.get<double>()); break;
            default: library_dump(item);  // binary values
        }
    };

    begin_value(value);
    while (!open.empty()) {
        OpenContainer& top = open.back();
        const Json* next = nullptr;
        if (top.value->is_array()) {
            const auto& elements = top.value->get_ref<const Json::array_t&>();
            if (top.next_element == elements.end()) {
                raw(']');
                open.pop_back();
                continue;
            }
            if (!top.first) raw(',');
            next = &*top.next_element++;
        } else {
            const auto& members = top.value->get_ref<const Json::object_t&>();
            if (top.next_member == members.end()) {
                raw('}');
                open.pop_back();
                continue;
            }
            if (!top.first) raw(',');
            string(top.next_member->first);
            raw(':');
            next = &top.next_member->second;
            ++top.next_member;
        }
        top.first = false;
        begin_value(*next);  // may grow `open`: `top` is not used after this
    }
}

std::uint64_t escaped_size(std::string_view text) noexcept {
    const char* bytes = text.data();
    const std::size_t size = text.size();
    // Most texts are escaped nowhere: a word or two at a time tell so (the
    // last word overlapping the one before; a short text padded with 'x').
    std::uint64_t escapes = 0;
    if (size < sizeof(std::uint64_t)) {
        std::uint64_t word = kOnes * 'x';
        if (size > 0) std::memcpy(&word, bytes, size);
        escapes = escape_in_word(word);
    } else {
        for (std::size_t at = 0; at < size - sizeof(std::uint64_t); at += sizeof(std::uint64_t)) {
            escapes |= escape_in_word(load_word(bytes + at));
        }
        escapes |= escape_in_word(load_word(bytes + size - sizeof(std::uint64_t)));
    }
    if (escapes == 0) return size;
    std::uint64_t written = size;
    for (std::size_t i = 0; i < size; ++i) written += kEscapeExtra[static_cast<unsigned char>(bytes[i])];
    return written;
}

std::string to_json_text(const Json& value) {
    std::string text;
    JsonTextWriter out(text);
    out.value(value);
    out.flush();
    return text;
}

}  // namespace qor
