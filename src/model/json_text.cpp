#include "model/json_text.h"

#include <array>
#include <charconv>
#include <vector>

namespace qor {

namespace {

using Json = nlohmann::json;

// The bytes a JSON string can hold as they are: printable ASCII other than
// the quotation mark and the backslash.
constexpr std::array<bool, 256> kPlainBytes = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c <= 0x7E; ++c) plain[c] = c != '"' && c != '\\';
    return plain;
}();

// Strings that need no escaping are copied straight; the others go through
// the library's own string writer.
bool is_plain_ascii(std::string_view text) {
    for (unsigned char c : text) {
        if (!kPlainBytes[c]) return false;
    }
    return true;
}

// One open array or object on the way down, and how far it has been written.
struct OpenContainer {
    const Json* value;
    Json::array_t::const_iterator next_element;
    Json::object_t::const_iterator next_member;
    bool first = true;
};

}  // namespace

JsonTextWriter::JsonTextWriter(std::string& text)
    : text_(text),
      scalars_(nlohmann::detail::output_adapter<char>(text), ' ', Json::error_handler_t::strict) {}

void JsonTextWriter::string(std::string_view text) {
    if (is_plain_ascii(text)) {
        text_.push_back('"');
        text_.append(text);
        text_.push_back('"');
    } else {
        scalars_.dump(Json(text), false, false, 0);
    }
}

void JsonTextWriter::number(double number) { scalars_.dump(Json(number), false, false, 0); }

void JsonTextWriter::integer(std::int64_t number) {
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    text_.append(digits, written.ptr);
}

void JsonTextWriter::value(const Json& value) {
    std::vector<OpenContainer> open;
    // Writes a scalar at once, or the opening bracket of a container that is
    // then filled in by the loop below.
    auto begin_value = [&](const Json& item) {
        if (item.is_array()) {
            text_.push_back('[');
            open.push_back({&item, item.get_ref<const Json::array_t&>().begin(), {}});
        } else if (item.is_object()) {
            text_.push_back('{');
            open.push_back({&item, {}, item.get_ref<const Json::object_t&>().begin()});
        } else if (item.is_string()) {
            string(item.get_ref<const std::string&>());
        } else {
            scalars_.dump(item, false, false, 0);
        }
    };

    begin_value(value);
    while (!open.empty()) {
        OpenContainer& top = open.back();
        const Json* next = nullptr;
        if (top.value->is_array()) {
            const auto& elements = top.value->get_ref<const Json::array_t&>();
            if (top.next_element == elements.end()) {
                text_.push_back(']');
                open.pop_back();
                continue;
            }
            if (!top.first) text_.push_back(',');
            next = &*top.next_element++;
        } else {
            const auto& members = top.value->get_ref<const Json::object_t&>();
            if (top.next_member == members.end()) {
                text_.push_back('}');
                open.pop_back();
                continue;
            }
            if (!top.first) text_.push_back(',');
            string(top.next_member->first);
            text_.push_back(':');
            next = &top.next_member->second;
            ++top.next_member;
        }
        top.first = false;
        begin_value(*next);  // may grow `open`: `top` is not used after this
    }
}

std::string to_json_text(const Json& value) {
    std::string text;
    JsonTextWriter(text).value(value);
    return text;
}

}  // namespace qor
