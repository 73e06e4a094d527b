#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bindings/bindings.h"

namespace qor::bindings {

// The bytes of a bytes, bytearray or memoryview argument, borrowed for the
// length of one call (a memoryview that is not contiguous is read through a
// copy); with `Text::UTF8`, also the UTF-8 bytes of a str, a lone surrogate
// kept as the three bytes it would take (which a reader refuses as not
// UTF-8). Anything else is a TypeError, "`caller`: data must be bytes, ...,
// not T"; for a path object (os.PathLike), followed by "; `path_hint`" if
// one is given.
class BytesArgument {
public:
    enum class Text { REFUSED, UTF8 };

    BytesArgument(const py::handle& data, const char* caller, Text text = Text::REFUSED,
                  const char* path_hint = nullptr);
    BytesArgument(const BytesArgument&) = delete;
    BytesArgument& operator=(const BytesArgument&) = delete;
    ~BytesArgument();

    const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes_.data()); }
    std::size_t size() const { return bytes_.size(); }
    std::string_view text() const { return bytes_; }

private:
    void read_text(const py::handle& data);
    void read_buffer(const py::handle& data);

    Py_buffer view_{};
    bool held_ = false;
    py::object copy_;
    std::string_view bytes_;
};

}  // namespace qor::bindings
