#pragma once

// The WebAssembly module's binding (embind): the only code that knows
// Emscripten. It mirrors the Python module's names.
//
// No C++ exception crosses into JavaScript: every bound function catches what
// the engine throws, records it as a JavaScript Error (see guarded()) and
// returns normally, so that every C++ destructor and every embind argument
// clean-up runs. guard.js, joined to the module's JavaScript, throws the
// recorded Error as soon as the call is back in JavaScript.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <emscripten/bind.h>
#include <emscripten/val.h>

#include "model/environment.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::web {

namespace em = emscripten;

// A wrong argument: becomes a JavaScript TypeError.
class ArgumentTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a bound function returns when it failed.
template <typename Result>
Result fallback() {
    return Result{};
}
template <>
inline em::val fallback<em::val>() {
    return em::val::undefined();
}

// Records the exception being handled as the Error that the call throws once
// back in JavaScript, of the kind Python's module raises for it
// (ValueError, RuntimeError, ...) with the same message.
void record_current_exception() noexcept;

// Runs `call`; if it throws, records the exception and returns fallback<Result>().
template <typename Result, typename Call>
Result guarded(Call&& call) noexcept {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        record_current_exception();
    }
    return fallback<Result>();
}

template <typename Call>
void guarded_void(Call&& call) noexcept {
    try {
        std::forward<Call>(call)();
    } catch (...) {
        record_current_exception();
    }
}

// A JavaScript string of UTF-8 text, made without allocating in the module's
// memory (embind's own std::string conversion does not check its allocation).
em::val js_text(const std::string& text);

// The UTF-8 bytes of a JavaScript string. Throws ArgumentTypeError for a value
// that is not a string or holds a lone surrogate (which has no UTF-8 form;
// Python refuses such a str with TypeError too).
std::string cpp_text(const em::val& text, const char* caller, const char* parameter);

// A JavaScript number as a double; ArgumentTypeError for anything else
// (embind would turn a string or undefined into a number silently).
double number_of(const em::val& number, const char* caller, const char* parameter);

// A JavaScript number that is an integer in the int32 range, else nothing:
// the wasm boundary itself would wrap any number around.
std::optional<std::int32_t> int32_of(const em::val& value);

// The JavaScript type of a value, for messages: "string", "null", "Array", ...
std::string type_name(const em::val& value);

using EnvironmentClass = em::class_<Environment>;
using SequencerClass = em::class_<NarrativeSequencer>;

// Registers ChargePolarity.
void bind_charges();
// Registers Environment with its properties and the methods that add charges
// and sub-zones.
EnvironmentClass bind_environment();
// Adds the methods that place each kind of agent in a zone.
void bind_agent_placing(const EnvironmentClass& environment);
// Registers NarrativeSequencer.
SequencerClass bind_sequencer();
// Adds saving and loading to both classes.
void bind_saving(const EnvironmentClass& environment, const SequencerClass& sequencer);

}  // namespace qor::web
