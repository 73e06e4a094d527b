#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::level_json {

// The JSON of a level file, read without recursion into a compact document
// that keeps only what the level's checks look at: the objects and lists of
// the level's own shape (zones, their lists, charges and agents) and the
// values of their members. Anything deeper (the value of an unknown field, a
// list where a number belongs) is checked as JSON and kept as its type alone.
//
// Strings are kept as UTF-8, except that an escaped lone surrogate
// ("\ud800") is kept as the three bytes UTF-8 would give it, so that the
// checks can name it; every other text is valid UTF-8.

enum class Type : std::uint8_t { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT };

struct Value {
    Type type = Type::NUL;
    bool boolean = false;
    // A number within a double's range: an integer compared exactly with the
    // largest double, a number with a fraction or exponent once rounded.
    bool finite = false;
    double number = 0.0;
    // STRING: its bytes in Document::texts. ARRAY, OBJECT: its kept members
    // in Document::members (none when it was not kept).
    std::uint32_t begin = 0;
    std::uint32_t size = 0;
    // ARRAY, OBJECT: how many items or members it has, kept or not.
    std::uint32_t count = 0;
};

// An item of a list (no key) or a member of an object.
struct Member {
    std::uint32_t key_begin = 0;
    std::uint32_t key_size = 0;
    std::uint32_t value = 0;  // index in Document::values
};

struct ParseError {
    std::size_t line = 1;    // from 1
    std::size_t column = 1;  // in characters, from 1
    std::string message;
};

class Document {
public:
    std::vector<Value> values;  // the root is values[0]
    std::vector<Member> members;
    std::string texts;

    const Value& root() const { return values.front(); }
    const Value& at(std::uint32_t index) const { return values[index]; }
    std::string_view text(const Value& string) const { return {texts.data() + string.begin, string.size}; }
    std::string_view key(const Member& member) const { return {texts.data() + member.key_begin, member.key_size}; }
    const Member* begin(const Value& container) const { return members.data() + container.begin; }
    const Member* end(const Value& container) const { return members.data() + container.begin + container.size; }
};

// Containers nested deeper than this are refused.
inline constexpr std::size_t kMaxNesting = 1000;

// Parses `text`, which must be valid UTF-8 and at most 4 GiB. Returns the
// document, or nothing with `error` set to the first fault and its place.
// The document is made in the storage of `spare` (a document done with,
// emptied first), so that reading one file after another reuses it.
std::optional<Document> parse(std::string_view text, ParseError& error, Document spare = {});

// The first fault of `bytes` as UTF-8, worded as Python's decoder words it
// ("invalid start byte", "invalid continuation byte", "unexpected end of
// data"), with its byte offset; nothing for valid UTF-8.
struct Utf8Fault {
    std::size_t offset;
    const char* reason;
};
std::optional<Utf8Fault> utf8_fault(std::string_view bytes);

}  // namespace qor::level_json
