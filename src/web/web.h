#pragma once

// The WebAssembly module's binding (embind): the only code that knows
// Emscripten. It mirrors the Python module's names.
//
// No C++ exception crosses into JavaScript: every bound function catches what
// the engine throws, records it as a JavaScript Error (see guarded()) and
// returns normally, so that every C++ destructor and every embind argument
// clean-up runs. guard.js, joined to the module's JavaScript, throws the
// recorded Error as soon as the call is back in JavaScript.
//
// No host code runs inside a bound function either: arguments are looked at
// only by the helpers below, whose JavaScript side catches what a getter, a
// Proxy or a detached buffer throws. A JavaScript exception that still
// reached C++ (Emscripten's own abort() is one) is never caught here: only
// C++ exceptions are, so it unwinds to the host as it is.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// Records the exception as the Error that the call throws once back in
// JavaScript, of the kind Python's module raises for it (ValueError,
// RuntimeError, ...) with the same message.
void record_exception(const std::exception& error) noexcept;

// Runs `call`; if it throws a C++ exception, records it and returns
// fallback<Result>(). Not noexcept and no catch (...): with WebAssembly's
// exceptions that would also catch a JavaScript exception, which C++ cannot
// rethrow or name.
template <typename Result, typename Call>
Result guarded(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (const std::exception& error) {
        record_exception(error);
    }
    return fallback<Result>();
}

template <typename Call>
void guarded_void(Call&& call) {
    try {
        std::forward<Call>(call)();
    } catch (const std::exception& error) {
        record_exception(error);
    }
}

// Tells guard.js an entry point's parameters, "magnitude, polarity,
// visual_id" ("max_frames?" for one that may be left out): it checks the
// argument count and `this` before the call, and the tests call every entry
// point with wrong arguments from this list. `owner` is the class, `member`
// the method, "new" for the constructor, "static load" for a class function.
void describe_parameters(const char* owner, const char* member, const char* parameters);

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

// A boolean, as Python's flags take: ArgumentTypeError for anything else.
bool flag_of(const em::val& flag, const char* property);

// The bytes of a Uint8Array (a Node Buffer is one) or an ArrayBuffer, copied
// into the module's memory. Anything else is a TypeError ("`caller`: data
// must be `expected`, not ..."), and so is a detached buffer.
std::vector<std::uint8_t> bytes_of(const em::val& data, const char* caller,
                                   const char* expected = "a Uint8Array or ArrayBuffer");

// A frame limit as Python takes it: any integer number reaches the engine's
// own check of the range (ValueError), anything else is a TypeError whose
// message starts with `caller`.
std::int32_t frame_limit_of(const em::val& value, const char* caller);

// The zone of an Environment handle: ArgumentTypeError for any other value,
// a deleted handle included.
std::shared_ptr<Environment> environment_of(const em::val& zone, const char* caller, const char* parameter);

// The JavaScript type of a value, for messages: "string", "null", "Array", ...
// Never runs a getter or a Proxy's trap that could throw.
std::string type_name(const em::val& value);

using EnvironmentClass = em::class_<Environment>;
using SequencerClass = em::class_<NarrativeSequencer>;

// Registers ChargePolarity and what q.Charge needs.
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
// Registers read_level, Level and LevelPlay.
void bind_level_file();
// Registers CompactExplanations.
void bind_replay();

}  // namespace qor::web
