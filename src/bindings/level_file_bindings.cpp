// read_level, Level and LevelError: the level file in Python.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "bindings/bindings.h"
#include "bindings/bytes_argument.h"
#include "level_file/level_file.h"
#include "spells/agent_kinds.h"

namespace qor::bindings {

namespace {

using LevelData = py::typing::Union<py::str, py::bytes, py::bytearray, py::memoryview>;

// How a host reads a level file to pass it: what a file name or a path given
// instead is told.
constexpr const char* kPassContents = "pass the file's contents: read_level(open(name, 'rb').read())";
constexpr const char* kReadContents = "read_level(open(name, 'rb').read())";

// LevelError's class, made once when the module is imported and kept for
// the interpreter's life.
PyObject* level_error_type = nullptr;

constexpr const char* kLevelErrorDoc =
    "A level file that cannot be used: a ValueError listing every problem found.\n\n"
    "problems: each problem's text with its place in the file, such as\n"
    "'zone \"root\": agent 2: unknown kind \"plux\" (did you mean \"plus\"?)'.\n"
    "pointers: the JSON Pointer (RFC 6901) of the value each problem is about, in the\n"
    "same order, such as '/zones/0/agents/1/kind'; '' for the whole file.\n"
    "str(error) holds every problem, one per line.";

using Texts = py::typing::List<py::str>;

void init_level_error(const py::object& self, const py::typing::Union<py::str, Texts>& problems,
                      const py::typing::Optional<Texts>& pointers) {
    py::list texts;
    if (py::isinstance<py::str>(problems)) {
        texts.append(problems);
    } else {
        for (py::handle problem : problems) texts.append(py::str(problem));
    }
    py::list places;
    if (pointers.is_none()) {
        for (std::size_t n = 0; n < texts.size(); ++n) places.append(py::str(""));
    } else {
        for (py::handle pointer : pointers) places.append(py::str(pointer));
    }
    if (places.size() != texts.size()) {
        throw py::value_error("LevelError(): there must be one pointer per problem");
    }
    py::handle(PyExc_ValueError).attr("__init__")(self, py::str("\n").attr("join")(texts));
    self.attr("_problems") = texts;
    self.attr("_pointers") = places;
}

// An error made by LevelError.__new__() alone is refused as the module's
// other objects made so are.
void refuse_never_initialised(const py::handle& self) {
    if (!py::hasattr(self, "_problems") || !py::hasattr(self, "_pointers")) {
        const py::handle type = py::type::handle_of(self);
        const std::string name = py::str(type.attr("__module__")).cast<std::string>() + "." +
                                 py::str(type.attr("__qualname__")).cast<std::string>();
        throw py::type_error("this " + name +
                             " object was never initialised (its __new__ was called without __init__); "
                             "make it by calling the class");
    }
}

// A read-only property giving the list kept under `name` by __init__.
py::object texts_property(const char* name, const char* doc) {
    py::cpp_function read([name](const py::object& self) -> Texts {
        refuse_never_initialised(self);
        return self.attr(name);
    });
    return py::module_::import("builtins").attr("property")(read, py::none(), py::none(), doc);
}

// pickle and copy as for any exception, once initialised.
py::object reduce_level_error(const py::object& self) {
    refuse_never_initialised(self);
    return py::handle(PyExc_BaseException).attr("__reduce__")(self);
}

void bind_level_error(py::module_& m) {
    level_error_type = PyErr_NewExceptionWithDoc("qor_engine.LevelError", kLevelErrorDoc, PyExc_ValueError, nullptr);
    if (!level_error_type) throw py::error_already_set();
    py::handle type(level_error_type);
    py::cpp_function init(init_level_error, py::name("__init__"), py::is_method(type), py::arg("problems"),
                          py::arg("pointers") = py::none(),
                          "problems: one problem's text, or a list of them; pointers: their JSON "
                          "Pointers (all '' when not given).");
    // Named __init__, pybind11 takes the function for a constructor of its
    // own classes' objects and skips it for any other object.
    py::handle function = py::detail::get_function(init);
    py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()))->is_constructor = false;
    type.attr("__init__") = init;
    type.attr("__reduce__") = py::cpp_function(reduce_level_error, py::name("__reduce__"), py::is_method(type),
                                               "For pickle and copy: refused for an error never initialised.");
    type.attr("problems") = texts_property("_problems", "Every problem's text with its place, in the order found.");
    type.attr("pointers") = texts_property(
        "_pointers", "The JSON Pointer of the value each problem is about, in the order of problems.");
    m.attr("LevelError") = type;
    py::register_local_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const LevelError& error) {
            py::list problems, pointers;
            for (const LevelProblem& problem : error.problems()) {
                problems.append(py::str(problem.text()));
                pointers.append(py::str(problem.pointer));
            }
            py::object instance = py::handle(level_error_type)(problems, pointers);
            PyErr_SetObject(level_error_type, instance.ptr());
        }
    });
}

py::typing::Optional<py::str> optional_text(const std::optional<std::string>& text) {
    if (!text) return py::none();
    return py::str(*text);
}

}  // namespace

void bind_level_file(py::module_& m) {
    bind_level_error(m);
    py::class_<Level> level(m, "Level",
                            "A level file's level as plain data: its title, description and zone tree. "
                            "Made by read_level().",
                            own_layout(), py::is_final());
    level
        .def(py::init([]() -> Level* { throw py::type_error("Level objects are made by read_level()"); }),
             "Raises TypeError: a Level is made by read_level().")
        .def_property_readonly(
            "title", [](const Level& self) { return optional_text(self.title); },
            "The level's title, or None when the file has none.")
        .def_property_readonly(
            "description", [](const Level& self) { return optional_text(self.description); },
            "The level's description, or None when the file has none.")
        .def("to_text", &Level::to_text,
             "The level as a level file: canonical and stable (2-space indent, one line per "
             "charge and per agent, empty lists left out); read_level() of it gives a level with "
             "the same text, which plays the same frames.")
        .def(
            "play",
            [](const Level& self, std::int64_t max_frames) {
                NarrativeSequencer::check_max_frames(max_frames);
                return self.play(static_cast<std::int32_t>(max_frames));
            },
            py::arg("max_frames") = std::int64_t{NarrativeSequencer::kDefaultMaxFrames},
            "A fresh zone tree in play: a LevelPlay (a NarrativeSequencer) that places every "
            "\"refill\" agent again, in its zone and under its id, after each frame in which it "
            "acted. max_frames is the frame limit, from 1 to 2147483647 (ValueError otherwise).")
        .def_static(
            "from_zone",
            [](const Environment& zone, std::optional<std::string> title, std::optional<std::string> description) {
                return Level::of_zone(zone, std::move(title), std::move(description));
            },
            py::arg("zone"), py::arg("title") = py::none(), py::arg("description") = py::none(),
            "The level of a zone tree built or changed in code, with a title and a description, so "
            "that to_text() writes it as a level file: every zone with its charges and agents, none "
            "marked \"refill\" (time freezes and the agents' state are not kept). Raises ValueError "
            "for an agent of a kind no level file holds.")
        .def(
            "build", [](const Level& self) { return self.build().root; },
            "A fresh zone tree of the level, as play() starts it, to read or change before play; "
            "Level.from_zone() makes a level of it again (without the \"refill\" marks).")
        .def(
            "__reduce__",
            [](const Level& self) {
                py::object read = py::module_::import("qor_engine").attr("read_level");
                return py::make_tuple(read, py::make_tuple(self.to_text()));
            },
            "Pickles and copies the level as its text.")
        .def("__repr__", [](const Level& self) {
            std::string shown = "<qor_engine.Level zone " + self.root.id + ">";
            return readable(shown);
        });
    m.def(
        "read_level",
        [](const LevelData& data) {
            const BytesArgument bytes(data, "read_level()", BytesArgument::Text::UTF8, kPassContents);
            if (looks_like_file_name(bytes.text())) throw file_name_error(bytes.text(), kReadContents);
            py::gil_scoped_release unlocked;
            return Level::read(bytes.text());
        },
        py::arg("data"),
        "Read a level file: data is its text (str) or its UTF-8 bytes (bytes, bytearray or "
        "memoryview). Returns the Level. Raises LevelError (a ValueError) listing every problem "
        "of a file that breaks a rule of the format (docs/levels.md), each with its place, and "
        "TypeError for data of another type.");
    m.def(
        "agent_kinds",
        []() {
            py::list kinds;
            for (const AgentKindInfo* kind = agent_kinds_begin(); kind != agent_kinds_end(); ++kind) {
                py::dict item;
                item["key"] = kind->key;
                item["name"] = kind->agent_name;
                item["priority"] = kind->priority;
                item["method"] = kind->placing_method;
                item["summary"] = kind->summary;
                kinds.append(std::move(item));
            }
            return kinds;
        },
        "Every kind of agent a level file can place, highest priority first, each a dict: 'key' "
        "(its key in level files, which Environment.add_agent() takes), 'name' (the agent's name in "
        "frames), 'priority', 'method' (the Environment method that places one) and 'summary' (what "
        "it does, in one line).");
}

}  // namespace qor::bindings
