#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <emscripten/emscripten.h>

#include "level_file/level_file.h"
#include "model/zone_walk.h"
#include "web/web.h"

// clang-format off
// Keeps the Error for guard.js, which throws it when the call returns. A
// TypeError is JavaScript's own; the other kinds are the module's classes
// named after the exception Python's module raises (guard.js).
EM_JS(void, qor_record_error, (const char* kind, const char* message), {
    var name = UTF8ToString(kind);
    var text = UTF8ToString(message);
    Module["qorPendingError"] = name === "TypeError" ? new TypeError(text) : new Module[name](text);
});

// A q.LevelError: its message holds every problem; problems and pointers
// are filled one problem at a time by qor_add_level_problem.
EM_JS(void, qor_record_level_error, (const char* message), {
    var error = new Module["LevelError"](UTF8ToString(message));
    Object.defineProperty(error, "problems", { value: [], enumerable: true });
    Object.defineProperty(error, "pointers", { value: [], enumerable: true });
    Module["qorPendingError"] = error;
});

EM_JS(void, qor_add_level_problem, (const char* text, const char* pointer), {
    var error = Module["qorPendingError"];
    error.problems.push(UTF8ToString(text));
    error.pointers.push(UTF8ToString(pointer));
});

EM_JS(void, qor_describe_parameters, (const char* owner, const char* member, const char* parameters), {
    var table = Module["qorParameters"] || (Module["qorParameters"] = {});
    var names = UTF8ToString(parameters);
    (table[UTF8ToString(owner)] || (table[UTF8ToString(owner)] = {}))[UTF8ToString(member)] =
        names === "" ? [] : names.split(", ");
});
// clang-format on

namespace qor::web {

namespace {

template <typename Kind>
bool is(const std::exception& error) {
    return dynamic_cast<const Kind*>(&error) != nullptr;
}

// The same kinds, in the same order, as pybind11 translates C++ exceptions
// for the Python module (a too deep tree is its RecursionError).
const char* kind_of(const std::exception& error) {
    if (is<ArgumentTypeError>(error)) return "TypeError";
    if (is<TreeTooDeepError>(error)) return "RecursionError";
    if (is<std::bad_alloc>(error)) return "MemoryError";
    if (is<std::domain_error>(error) || is<std::invalid_argument>(error) || is<std::length_error>(error) ||
        is<std::range_error>(error)) {
        return "ValueError";
    }
    if (is<std::out_of_range>(error)) return "IndexError";
    if (is<std::overflow_error>(error)) return "OverflowError";
    return "RuntimeError";
}

// Each problem's text is made here; memory running out while making them is
// the call's MemoryError.
void record_level_error(const LevelError& error) noexcept {
    try {
        qor_record_level_error(error.what());
        for (const LevelProblem& problem : error.problems()) {
            qor_add_level_problem(problem.text().c_str(), problem.pointer.c_str());
        }
    } catch (const std::bad_alloc& exhausted) {
        qor_record_error("MemoryError", exhausted.what());
    }
}

}  // namespace

void record_exception(const std::exception& error) noexcept {
    if (const auto* level_error = dynamic_cast<const LevelError*>(&error)) {
        record_level_error(*level_error);
        return;
    }
    qor_record_error(kind_of(error), error.what());
}

void describe_parameters(const char* owner, const char* member, const char* parameters) {
    qor_describe_parameters(owner, member, parameters);
}

}  // namespace qor::web
