#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <emscripten/emscripten.h>

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

}  // namespace

void record_exception(const std::exception& error) noexcept {
    qor_record_error(kind_of(error), error.what());
}

void describe_parameters(const char* owner, const char* member, const char* parameters) {
    qor_describe_parameters(owner, member, parameters);
}

}  // namespace qor::web
