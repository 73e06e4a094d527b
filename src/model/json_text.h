#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qor {

// Appends compact JSON text to a string, byte for byte as the library's
// dump() writes it (sorted keys, no spaces, UTF-8 left as it is, type error
// 316 on invalid UTF-8), but without recursion, so any nesting depth is safe.
class JsonTextWriter {
public:
    explicit JsonTextWriter(std::string& text);

    // Any JSON value, containers included.
    void value(const nlohmann::json& value);
    void string(std::string_view text);
    void number(double number);
    void integer(std::int64_t number);
    // Structural text that the caller knows to be valid JSON, such as `{"id":`.
    void raw(const char* text) { text_.append(text); }
    void raw(char c) { text_.push_back(c); }

private:
    std::string& text_;
    nlohmann::detail::serializer<nlohmann::json> scalars_;
};

// The compact text of a JSON value: what value.dump() gives.
std::string to_json_text(const nlohmann::json& value);

}  // namespace qor
