// read_level, Level and LevelPlay: the level file in JavaScript, as the
// Python module has it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "level_file/level_file.h"
#include "level_file/level_play.h"
#include "saving/level_save.h"
#include "web/web.h"

namespace qor::web {

namespace {

// The level file's text: a string, or its UTF-8 bytes in a Uint8Array or
// ArrayBuffer. A string is read as its UTF-8 text, so a lone surrogate is a
// TypeError as with every other text.
std::string level_text_of(const em::val& data) {
    if (data.isString()) return cpp_text(data, "read_level()", "data");
    const std::vector<std::uint8_t> bytes = bytes_of(data, "read_level()", "a string or Uint8Array");
    return std::string(bytes.begin(), bytes.end());
}

em::val read_level(em::val data) {
    return guarded<em::val>([&] {
        const std::string text = level_text_of(data);
        if (looks_like_file_name(text)) throw file_name_error(text, "read_level(fs.readFileSync(name))");
        return em::val(std::make_unique<Level>(Level::read(text)));
    });
}

em::val optional_text(const std::optional<std::string>& text) {
    return text ? js_text(*text) : em::val::null();
}

em::val title(const Level& level) {
    return guarded<em::val>([&] { return optional_text(level.title); });
}

em::val description(const Level& level) {
    return guarded<em::val>([&] { return optional_text(level.description); });
}

em::val to_text(const Level& level) {
    return guarded<em::val>([&] { return js_text(level.to_text()); });
}

// max_frames left out (undefined) is the engine's default limit.
em::val play(const Level& level, em::val max_frames) {
    return guarded<em::val>([&] {
        if (max_frames.isUndefined()) return em::val(level.play());
        return em::val(level.play(frame_limit_of(max_frames, "play(): ")));
    });
}

em::val load_level_play_of(em::val data) {
    return guarded<em::val>([&] {
        const std::vector<std::uint8_t> bytes = bytes_of(data, "LevelPlay.load()");
        return em::val(load_level_play(bytes.data(), bytes.size()));
    });
}

// null or undefined: no text.
std::optional<std::string> optional_text_of(const em::val& text, const char* caller, const char* parameter) {
    if (text.isUndefined() || text.isNull()) return std::nullopt;
    return cpp_text(text, caller, parameter);
}

em::val level_of_zone(em::val zone, em::val title, em::val description) {
    return guarded<em::val>([&] {
        const char* caller = "Level.from_zone()";
        const std::shared_ptr<Environment> root = environment_of(zone, caller, "zone");
        return em::val(std::make_unique<Level>(Level::of_zone(*root, optional_text_of(title, caller, "title"),
                                                              optional_text_of(description, caller, "description"))));
    });
}

em::val build(const Level& level) {
    return guarded<em::val>([&] { return em::val(level.build().root); });
}

// `new q.Level()` and `new q.LevelPlay()`: refused, as in Python.
em::val made_by(const char* maker) {
    return guarded<em::val>([&]() -> em::val { throw ArgumentTypeError(maker); });
}

em::val make_level() { return made_by("Level objects are made by read_level()"); }
em::val make_level_play() { return made_by("LevelPlay objects are made by Level.play() or LevelPlay.load()"); }

}  // namespace

void bind_level_file() {
    em::function("read_level", &read_level);
    describe_parameters("module", "read_level", "data");

    em::class_<Level>("Level")
        .class_function("qorMake", &make_level)
        .property("title", &title)
        .property("description", &description)
        .class_function("from_zone", &level_of_zone)
        .function("build", &build)
        .function("to_text", &to_text)
        .function("play", &play);
    describe_parameters("Level", "new", "");
    describe_parameters("Level", "to_text", "");
    describe_parameters("Level", "static from_zone", "zone, title?, description?");
    describe_parameters("Level", "build", "");
    describe_parameters("Level", "play", "max_frames?");

    em::class_<LevelPlay, em::base<NarrativeSequencer>>("LevelPlay")
        .class_function("qorMake", &make_level_play)
        .class_function("load", &load_level_play_of);
    describe_parameters("LevelPlay", "new", "");
    describe_parameters("LevelPlay", "static load", "data");
}

}  // namespace qor::web
