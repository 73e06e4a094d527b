#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qor {

// Appends compact JSON text to a string, byte for byte as the library's
// dump() writes it (sorted keys, no spaces, UTF-8 left as it is, type error
// 316 on invalid UTF-8), but without recursion, so any nesting depth is safe.
//
// The text is gathered in a small buffer and appended to the string in
// chunks: many small appends to a std::string cost several times more,
// above all as WebAssembly. The string holds the whole text only after
// flush(); size() counts the bytes written so far. The writer allocates
// only while it appends (flush() and what calls it), where std::bad_alloc
// may be thrown; the string then holds a prefix of the text.
class JsonTextWriter {
public:
    explicit JsonTextWriter(std::string& text) noexcept : text_(text) {}
    JsonTextWriter(const JsonTextWriter&) = delete;
    JsonTextWriter& operator=(const JsonTextWriter&) = delete;

    // Any JSON value, containers included.
    void value(const nlohmann::json& value);
    void string(std::string_view text);
    void number(double number);
    void integer(std::int64_t number);
    // Structural text that the caller knows to be valid JSON, such as `{"id":`.
    void raw(const char* text) { raw(std::string_view(text)); }
    void raw(std::string_view text) {
        if (text.size() > kBufferSize - used_) {
            append_large(text);
            return;
        }
        std::memcpy(buffer_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    void raw(char c) {
        *room(1) = c;
        ++used_;
    }

    // How long the text is, counting what is not yet flushed.
    std::size_t size() const noexcept { return text_.size() + used_; }
    // Appends what is buffered to the string.
    void flush();

private:
    static constexpr std::size_t kBufferSize = 2048;

    // Room for `size` bytes (at most kBufferSize) in the buffer, flushing it first
    // if needed; the caller adds what it writes there to used_.
    char* room(std::size_t size) {
        if (size > kBufferSize - used_) flush();
        return buffer_ + used_;
    }
    void append_large(std::string_view text);
    void unsigned_integer(std::uint64_t number);
    // Writes `text` quoted when it is printable ASCII; false (nothing written) otherwise.
    bool escaped_printable_ascii(std::string_view text);
    // Writes through the library's own serializer: strings that need escaping
    // (or fail as invalid UTF-8) and values of rare types.
    void library_dump(const nlohmann::json& value);

    std::string& text_;
    std::size_t used_ = 0;
    char buffer_[kBufferSize];
};

// How many bytes JsonTextWriter::string(text) writes between the quotes:
// the quotation mark, the backslash and the control characters with a short
// escape (\b \f \n \r \t) 2 each, the other control characters 6 each
// (\u0001), every other byte 1. Text that is not UTF-8 is counted as if it
// were written.
std::uint64_t escaped_size(std::string_view text) noexcept;

// The compact text of a JSON value: what value.dump() gives.
std::string to_json_text(const nlohmann::json& value);

}  // namespace qor
