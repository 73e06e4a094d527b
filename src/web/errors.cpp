#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <emscripten/emscripten.h>

#include "model/zone_walk.h"
#include "web/web.h"

// clang-format off
EM_JS(void, qor_record_error, (const char* kind, const char* message), {
    var name = UTF8ToString(kind);
    var error = name === "TypeError" ? new TypeError(UTF8ToString(message))
                                     : new Error(UTF8ToString(message));
    if (name !== "TypeError") error.name = name;
    Module["qorPendingError"] = error;
});
// clang-format on

namespace qor::web {

namespace {

// Keeps the Error for guard.js, which throws it when the call returns. A
// TypeError is JavaScript's own; the other kinds are Errors named after the
// exception Python's module raises.

}  // namespace

// The same kinds, in the same order, as pybind11 translates C++ exceptions
// for the Python module (a too deep tree is its RecursionError).
void record_current_exception() noexcept {
    try {
        throw;
    } catch (const ArgumentTypeError& error) {
        qor_record_error("TypeError", error.what());
    } catch (const TreeTooDeepError& error) {
        qor_record_error("RecursionError", error.what());
    } catch (const std::bad_alloc& error) {
        qor_record_error("MemoryError", error.what());
    } catch (const std::domain_error& error) {
        qor_record_error("ValueError", error.what());
    } catch (const std::invalid_argument& error) {
        qor_record_error("ValueError", error.what());
    } catch (const std::length_error& error) {
        qor_record_error("ValueError", error.what());
    } catch (const std::out_of_range& error) {
        qor_record_error("IndexError", error.what());
    } catch (const std::range_error& error) {
        qor_record_error("ValueError", error.what());
    } catch (const std::overflow_error& error) {
        qor_record_error("OverflowError", error.what());
    } catch (const std::exception& error) {
        qor_record_error("RuntimeError", error.what());
    } catch (...) {
        qor_record_error("RuntimeError", "Caught an unknown exception!");
    }
}

}  // namespace qor::web
