// Saving and loading of zones and levels: a save is a Uint8Array.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <emscripten/emscripten.h>

#include "saving/level_save.h"
#include "web/web.h"

// clang-format off
// A Uint8Array over the bytes of a Uint8Array or ArrayBuffer argument, read
// by the engines' own accessors (a `length` or `buffer` that an object
// defines for itself is not asked); null for any other value, undefined for a
// detached buffer. Never throws.
EM_JS(emscripten::EM_VAL, qor_byte_view, (emscripten::EM_VAL handle), {
    var value = Emval.toValue(handle);
    var typedArray = Object.getPrototypeOf(Uint8Array.prototype);
    function intrinsic(owner, name, of) {
        return Object.getOwnPropertyDescriptor(owner, name).get.call(of);
    }
    try {
        var buffer, offset = 0, length;
        if (ArrayBuffer.isView(value) && intrinsic(typedArray, Symbol.toStringTag, value) === "Uint8Array") {
            buffer = intrinsic(typedArray, "buffer", value);
            offset = intrinsic(typedArray, "byteOffset", value);
            length = intrinsic(typedArray, "byteLength", value);
        } else {
            try {
                length = intrinsic(ArrayBuffer.prototype, "byteLength", value);
            } catch (notArrayBuffer) {
                return Emval.toHandle(null);
            }
            buffer = value;
        }
        return Emval.toHandle(new Uint8Array(buffer, offset, length));
    } catch (detached) {
        return Emval.toHandle(undefined);
    }
});

EM_JS(std::size_t, qor_byte_length, (emscripten::EM_VAL handle), {
    return Emval.toValue(handle).length;
});

EM_JS(void, qor_copy_bytes, (emscripten::EM_VAL handle, std::uint8_t* out), {
    HEAPU8.set(Emval.toValue(handle), out);
});
// clang-format on

namespace qor::web {

namespace {

// A new Uint8Array holding a copy of the bytes.
em::val byte_array(const std::string& bytes) {
    const em::val view(em::typed_memory_view(bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data())));
    return em::val::global("Uint8Array").new_(view);
}

}  // namespace

std::vector<std::uint8_t> bytes_of(const em::val& data, const char* caller, const char* expected) {
    const em::val view = em::val::take_ownership(qor_byte_view(data.as_handle()));
    if (view.isNull()) {
        throw ArgumentTypeError(std::string(caller) + ": data must be " + expected + ", not " + type_name(data));
    }
    if (view.isUndefined()) throw ArgumentTypeError(std::string(caller) + ": data's buffer is detached");
    std::vector<std::uint8_t> bytes(qor_byte_length(view.as_handle()));
    qor_copy_bytes(view.as_handle(), bytes.data());
    return bytes;
}

namespace {

em::val save_environment(const Environment& zone) {
    return guarded<em::val>([&] { return byte_array(save_zone(zone)); });
}

em::val load_environment(em::val data) {
    return guarded<em::val>([&] {
        const std::vector<std::uint8_t> bytes = bytes_of(data, "Environment.load()");
        return em::val(load_zone(bytes.data(), bytes.size()));
    });
}

em::val save_sequencer(const NarrativeSequencer& level) {
    return guarded<em::val>([&] { return byte_array(save_level(level)); });
}

em::val load_sequencer(em::val data) {
    return guarded<em::val>([&] {
        const std::vector<std::uint8_t> bytes = bytes_of(data, "NarrativeSequencer.load()");
        return em::val(load_level(bytes.data(), bytes.size()));
    });
}

}  // namespace

void bind_saving(const EnvironmentClass& environment, const SequencerClass& sequencer) {
    environment.function("save", &save_environment).class_function("load", &load_environment);
    sequencer.function("save", &save_sequencer).class_function("load", &load_sequencer);
    for (const char* owner : {"Environment", "NarrativeSequencer"}) {
        describe_parameters(owner, "save", "");
        describe_parameters(owner, "static load", "data");
    }
}

}  // namespace qor::web
