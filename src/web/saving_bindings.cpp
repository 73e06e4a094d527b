// Saving and loading of zones and levels: a save is a Uint8Array.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "saving/level_save.h"
#include "web/web.h"

namespace qor::web {

namespace {

// A new Uint8Array holding a copy of the bytes.
em::val byte_array(const std::string& bytes) {
    const em::val view(em::typed_memory_view(bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data())));
    return em::val::global("Uint8Array").new_(view);
}

// The bytes of a Uint8Array (a Node Buffer is one) or an ArrayBuffer, copied
// into the module's memory. Anything else is a TypeError.
std::vector<std::uint8_t> bytes_of(const em::val& data, const char* caller) {
    em::val array = data;
    if (data.instanceof(em::val::global("ArrayBuffer"))) {
        array = em::val::global("Uint8Array").new_(data);
    } else if (!data.instanceof(em::val::global("Uint8Array"))) {
        throw ArgumentTypeError(std::string(caller) + ": data must be a Uint8Array or ArrayBuffer, not " +
                                type_name(data));
    }
    std::vector<std::uint8_t> bytes(array["length"].as<std::size_t>());
    em::val(em::typed_memory_view(bytes.size(), bytes.data())).call<void>("set", array);
    return bytes;
}

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
}

}  // namespace qor::web
