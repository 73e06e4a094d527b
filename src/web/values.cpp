#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <emscripten/emscripten.h>

#include "web/web.h"

// clang-format off
// Under Node, an ASCII text (most frames) is made by Buffer's latin1Slice,
// which copies the bytes into a one-byte string: several times faster than
// TextDecoder for the large texts of large levels. It reads the module's
// memory in place (any Uint8Array will do), with no Buffer made per call;
// Node's buffer.isAscii (Node 18.15 and later) tells an ASCII text many
// times faster than a scan in WebAssembly.
EM_JS(emscripten::EM_VAL, qor_js_text, (const char* data, std::size_t size), {
    var end = data + size;
    var isAscii = Module["qorIsAscii"];
    if (isAscii === undefined) isAscii = Module["qorIsAscii"] = (ENVIRONMENT_IS_NODE && require("buffer").isAscii) || null;
    if (isAscii && isAscii(HEAPU8.subarray(data, end))) {
        return Emval.toHandle(Buffer.prototype.latin1Slice.call(HEAPU8, data, end));
    }
    if (UTF8Decoder) return Emval.toHandle(UTF8Decoder.decode(HEAPU8.subarray(data, end)));
    // UTF8ToString stops at a NUL byte: the text is decoded between them.
    var text = "";
    for (var start = data, at = data; at <= end; ++at) {
        if (at === end || HEAPU8[at] === 0) {
            text += UTF8ToString(start, at - start) + (at < end ? String.fromCharCode(0) : "");
            start = at + 1;
        }
    }
    return Emval.toHandle(text);
});

// The place of the first lone surrogate of the string, or -1.
EM_JS(int, qor_lone_surrogate, (emscripten::EM_VAL handle), {
    var text = Emval.toValue(handle);
    for (var i = 0; i < text.length; ++i) {
        var unit = text.charCodeAt(i);
        if (unit >= 0xDC00 && unit <= 0xDFFF) return i;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            var next = i + 1 < text.length ? text.charCodeAt(i + 1) : 0;
            if (next < 0xDC00 || next > 0xDFFF) return i;
            ++i;
        }
    }
    return -1;
});

EM_JS(std::size_t, qor_utf8_size, (emscripten::EM_VAL handle), {
    return lengthBytesUTF8(Emval.toValue(handle));
});

// Writes the bytes and a NUL after them.
EM_JS(void, qor_utf8_write, (emscripten::EM_VAL handle, char* out, std::size_t size), {
    stringToUTF8(Emval.toValue(handle), out, size + 1);
});

EM_JS(int, qor_code_unit, (emscripten::EM_VAL handle, int index), {
    return Emval.toValue(handle).charCodeAt(index);
});
// clang-format on

namespace qor::web {

em::val js_text(const std::string& text) {
    return em::val::take_ownership(qor_js_text(text.data(), text.size()));
}

std::string cpp_text(const em::val& text, const char* caller, const char* parameter) {
    if (!text.isString()) {
        throw ArgumentTypeError(std::string(caller) + ": " + parameter + " must be a string, not " +
                                type_name(text));
    }
    const int surrogate = qor_lone_surrogate(text.as_handle());
    if (surrogate >= 0) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(qor_code_unit(text.as_handle(), surrogate)));
        throw ArgumentTypeError(std::string(caller) + ": " + parameter + " holds a lone surrogate, \\u" +
                                unit + " at position " + std::to_string(surrogate) + ", which UTF-8 cannot encode");
    }
    std::string bytes(qor_utf8_size(text.as_handle()), '\0');
    qor_utf8_write(text.as_handle(), bytes.data(), bytes.size());
    return bytes;
}

double number_of(const em::val& number, const char* caller, const char* parameter) {
    if (!number.isNumber()) {
        throw ArgumentTypeError(std::string(caller) + ": " + parameter + " must be a number, not " +
                                type_name(number));
    }
    return number.as<double>();
}

std::optional<std::int32_t> int32_of(const em::val& value) {
    const double number = value.isNumber() ? value.as<double>() : NAN;
    if (!(number >= INT32_MIN && number <= INT32_MAX && std::trunc(number) == number)) return std::nullopt;
    return static_cast<std::int32_t>(number);
}

std::string type_name(const em::val& value) {
    if (value.isNull()) return "null";
    const std::string type = value.typeOf().as<std::string>();
    if (type != "object") return type;
    const em::val constructor = value["constructor"];
    if (constructor.isUndefined() || constructor.isNull()) return type;
    const em::val name = constructor["name"];
    return name.isString() ? name.as<std::string>() : type;
}

}  // namespace qor::web
