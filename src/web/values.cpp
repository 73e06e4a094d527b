#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
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
// null if the string cannot be made (longer than the engine's JavaScript
// strings can be, or its memory ran out): the call then fails with
// MemoryError, as when the module's own memory runs out.
// Addresses reach JavaScript as signed 32-bit numbers, negative from 2 GiB
// on: Emscripten reads them as unsigned where they index HEAPU8 or go to its
// methods, but not in the call of Buffer's latin1Slice, so they are made
// unsigned (>>> 0) here first.
EM_JS(emscripten::EM_VAL, qor_js_text, (const char* data, std::size_t size), {
    data >>>= 0;
    size >>>= 0;
    try {
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
    } catch (error) {
        return Emval.toHandle(null);
    }
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

// guard.js's typeName(): never throws.
EM_JS(emscripten::EM_VAL, qor_type_name, (emscripten::EM_VAL handle), {
    return Emval.toHandle(Module["qorTypeName"](Emval.toValue(handle)));
});

// 0: a live Environment handle; 1: a deleted one; 2: anything else. A Proxy's
// trap that throws makes it anything else.
EM_JS(int, qor_environment_state, (emscripten::EM_VAL handle), {
    var value = Emval.toValue(handle);
    try {
        if (!(value instanceof Module["Environment"])) return 2;
        return value["$$"]["ptr"] ? 0 : 1;
    } catch (error) {
        return 2;
    }
});
// clang-format on

namespace qor::web {

em::val js_text(const std::string& text) {
    em::val made = em::val::take_ownership(qor_js_text(text.data(), text.size()));
    if (made.isNull()) throw std::bad_alloc();
    return made;
}

std::string cpp_text(const em::val& text, const char* caller, const char* parameter) {
    // A setter's caller is "": the message then starts with the property.
    const std::string named = (*caller != '\0' ? std::string(caller) + ": " : std::string()) + parameter;
    if (!text.isString()) throw ArgumentTypeError(named + " must be a string, not " + type_name(text));
    const int surrogate = qor_lone_surrogate(text.as_handle());
    if (surrogate >= 0) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(qor_code_unit(text.as_handle(), surrogate)));
        throw ArgumentTypeError(named + " holds a lone surrogate, \\u" +
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

bool flag_of(const em::val& flag, const char* property) {
    if (!flag.isTrue() && !flag.isFalse()) {
        throw ArgumentTypeError(std::string(property) + " must be a boolean, not " + type_name(flag));
    }
    return flag.isTrue();
}

std::shared_ptr<Environment> environment_of(const em::val& zone, const char* caller, const char* parameter) {
    const int state = qor_environment_state(zone.as_handle());
    if (state == 1) {
        throw ArgumentTypeError(std::string(caller) + ": " + parameter + " is a deleted Environment");
    }
    if (state != 0) {
        throw ArgumentTypeError(std::string(caller) + ": " + parameter + " must be an Environment, not " +
                                type_name(zone));
    }
    return zone.as<std::shared_ptr<Environment>>();
}

std::string type_name(const em::val& value) {
    const em::val name = em::val::take_ownership(qor_type_name(value.as_handle()));
    std::string text(qor_utf8_size(name.as_handle()), '\0');
    qor_utf8_write(name.as_handle(), text.data(), text.size());
    return text;
}

}  // namespace qor::web
