#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <emscripten/emscripten.h>

#include "model/charge.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "web/web.h"

// clang-format off
// The number of a polarity argument: a ChargePolarity's value or a number as
// it is; NaN for anything else (a Proxy whose trap throws included).
EM_JS(double, qor_polarity_number, (emscripten::EM_VAL handle), {
    var value = Emval.toValue(handle);
    try {
        if (value instanceof Module["ChargePolarity"]) value = Object.getOwnPropertyDescriptor(value, "value").value;
    } catch (error) {
        return NaN;
    }
    return typeof value === "number" ? value : NaN;
});

// A new q.Charge, made without running its constructor's checks again.
EM_JS(emscripten::EM_VAL, qor_new_charge,
      (double magnitude, emscripten::EM_VAL polarity, emscripten::EM_VAL visual_id), {
    var charge = Object.create(Module["Charge"].prototype);
    charge.magnitude = magnitude;
    charge.polarity = Emval.toValue(polarity);
    charge.visual_id = Emval.toValue(visual_id);
    return Emval.toHandle(charge);
});

// The fields of a charge-like argument, read once each, the reads guarded:
// [magnitude, polarity, visual_id], or null if reading threw or the value is
// not an object.
EM_JS(emscripten::EM_VAL, qor_charge_fields, (emscripten::EM_VAL handle), {
    var value = Emval.toValue(handle);
    if (value === null || typeof value !== "object") return Emval.toHandle(null);
    try {
        return Emval.toHandle([value.magnitude, value.polarity, value.visual_id]);
    } catch (error) {
        return Emval.toHandle(null);
    }
});

// The length of an array argument: null for anything else, undefined if
// reading it threw (a Proxy's trap).
EM_JS(emscripten::EM_VAL, qor_array_length, (emscripten::EM_VAL handle), {
    var value = Emval.toValue(handle);
    try {
        return Emval.toHandle(Array.isArray(value) ? value.length : null);
    } catch (error) {
        return Emval.toHandle(undefined);
    }
});

// The item at `index` of an array, read once, in a list of one; null if
// reading it threw (a getter, a Proxy's trap).
EM_JS(emscripten::EM_VAL, qor_array_item, (emscripten::EM_VAL handle, double index), {
    try {
        return Emval.toHandle([Emval.toValue(handle)[index]]);
    } catch (error) {
        return Emval.toHandle(null);
    }
});
// clang-format on

namespace qor::web {

namespace {

// A polarity argument: one of ChargePolarity's values, or the integer value
// of a polarity (any 32-bit integer, as Python's ChargePolarity(value) takes).
// embind itself would read any other value (undefined, a string) as POSITIVE.
ChargePolarity polarity_of(const em::val& polarity, const char* caller) {
    const std::optional<std::int32_t> value = int32_of(em::val(qor_polarity_number(polarity.as_handle())));
    if (!value) {
        throw ArgumentTypeError(std::string(caller) +
                                ": polarity must be a ChargePolarity or a 32-bit integer, not " +
                                (polarity.isNumber() ? "that number" : type_name(polarity)));
    }
    return static_cast<ChargePolarity>(*value);
}

// A polarity as JavaScript sees it: the named value, or the bare number of a
// value outside the three named ones (a loaded save may carry one).
em::val polarity_value(ChargePolarity polarity) {
    const auto value = static_cast<std::int32_t>(polarity);
    if (value >= 0 && value <= 2) return em::val(polarity);
    return em::val(value);
}

Charge charge_of(const em::val& magnitude, const em::val& polarity, const em::val& visual_id,
                 const char* caller) {
    const double number = number_of(magnitude, caller, "magnitude");
    const ChargePolarity tag = polarity_of(polarity, caller);
    return Charge(number, tag, cpp_text(visual_id, caller, "visual_id"));
}

// Checks q.Charge's arguments as add_charge() does.
void check_charge(em::val magnitude, em::val polarity, em::val visual_id) {
    guarded_void([&] { charge_of(magnitude, polarity, visual_id, "Charge()"); });
}

// The charge's JSON text, as frames hold it.
em::val charge_text(em::val magnitude, em::val polarity, em::val visual_id) {
    return guarded<em::val>([&] {
        return js_text(charge_json_text(charge_of(magnitude, polarity, visual_id, "Charge.to_json()")));
    });
}

em::val polarity_name(em::val polarity) {
    return guarded<em::val>(
        [&] { return js_text(polarity_text(polarity_of(polarity, "ChargePolarity.toJSON()"))); });
}

// new Environment(id), by guard.js: the handle is made here, where the
// allocation of its shared_ptr is guarded too (embind's own constructors
// allocate it after the call returned).
em::val make_environment(em::val id) {
    return guarded<em::val>(
        [&] { return em::val(std::make_shared<Environment>(cpp_text(id, "Environment()", "id"))); });
}

constexpr std::size_t kChargesReservedAtMost = 1 << 16;

// Copies, not views: a JavaScript object cannot follow the list as it changes.
em::val charges_of(const Environment& zone) {
    return guarded<em::val>([&] {
        em::val items = em::val::array();
        for (const Charge& charge : zone.charges) {
            const em::val polarity = polarity_value(charge.polarity);
            const em::val visual_id = js_text(charge.visual_id);
            items.call<void>("push", em::val::take_ownership(qor_new_charge(
                                         charge.magnitude, polarity.as_handle(), visual_id.as_handle())));
        }
        return items;
    });
}

// Assigning an array of charges (q.Charge or any object with the three
// fields) replaces the zone's charges with copies; nothing changes if one is
// wrong.
void set_charges(Environment& zone, em::val value) {
    guarded_void([&] {
        const em::val length = em::val::take_ownership(qor_array_length(value.as_handle()));
        if (length.isNull()) throw ArgumentTypeError("charges must be an Array of Charge, not " + type_name(value));
        if (length.isUndefined()) throw ArgumentTypeError("charges: reading the Array's length threw");
        // An array's length is at most 2^32 - 1; a sparse one may claim far
        // more items than it holds, so room is made as items come.
        const auto count = static_cast<std::size_t>(length.as<double>());
        std::vector<Charge> charges;
        charges.reserve(std::min<std::size_t>(count, kChargesReservedAtMost));
        for (std::size_t i = 0; i < count; ++i) {
            const std::string caller = "charges: item " + std::to_string(i);
            const em::val read = em::val::take_ownership(qor_array_item(value.as_handle(), static_cast<double>(i)));
            if (read.isNull()) throw ArgumentTypeError(caller + ": reading it threw");
            const em::val item = read[0];
            const em::val fields = em::val::take_ownership(qor_charge_fields(item.as_handle()));
            if (fields.isNull()) throw ArgumentTypeError(caller + " must be a Charge, not " + type_name(item));
            charges.push_back(charge_of(fields[0], fields[1], fields[2], caller.c_str()));
        }
        zone.charges = std::move(charges);
        zone.note_charges_changed();
    });
}

em::val sub_environments_of(const Environment& zone) {
    return guarded<em::val>([&] {
        em::val items = em::val::array();
        for (const std::shared_ptr<Environment>& sub_zone : zone.sub_environments) {
            // Made first: embind deletes a handle made for a call's argument
            // once the call returns.
            const em::val handle(sub_zone);
            items.call<void>("push", handle);
        }
        return items;
    });
}

em::val id_of(const Environment& zone) {
    return guarded<em::val>([&] { return js_text(zone.id); });
}

void set_id(Environment& zone, em::val id) {
    guarded_void([&] { zone.id = cpp_text(id, "", "id"); });
}

bool is_time_frozen(const Environment& zone) { return zone.is_time_frozen; }

void set_time_frozen(Environment& zone, em::val frozen) {
    guarded_void([&] { zone.is_time_frozen = flag_of(frozen, "is_time_frozen"); });
}

em::val to_json(const Environment& zone) {
    return guarded<em::val>([&] {
        ensure_walkable(zone);
        return js_text(zone_json_text(zone));
    });
}

void add_charge(Environment& zone, em::val magnitude, em::val polarity, em::val visual_id) {
    guarded_void([&] { zone.add_charge(charge_of(magnitude, polarity, visual_id, "add_charge()")); });
}

void add_sub_environment(Environment& zone, em::val sub_env) {
    guarded_void([&] { zone.add_environment(environment_of(sub_env, "add_sub_environment()", "sub_env")); });
}

// zone.find_zone(id), through guard.js: a class function, so that the zone
// itself can be answered as a handle of its own.
em::val find_zone(em::val zone, em::val id) {
    return guarded<em::val>([&] {
        const std::shared_ptr<Environment> root = environment_of(zone, "find_zone()", "this");
        const std::string wanted = cpp_text(id, "find_zone()", "id");
        std::shared_ptr<Environment> found = root->id == wanted ? root : find_sub_zone(*root, wanted);
        return found ? em::val(std::move(found)) : em::val::null();
    });
}

}  // namespace

void bind_charges() {
    em::enum_<ChargePolarity>("ChargePolarity")
        .value("POSITIVE", ChargePolarity::POSITIVE)
        .value("NEGATIVE", ChargePolarity::NEGATIVE)
        .value("NEUTRAL", ChargePolarity::NEUTRAL);
    // For q.Charge and the polarities' toJSON() (guard.js).
    em::function("qorCheckCharge", &check_charge);
    em::function("qorChargeText", &charge_text);
    em::function("qorPolarityText", &polarity_name);
    describe_parameters("Charge", "new", "magnitude, polarity, visual_id");
}

EnvironmentClass bind_environment() {
    EnvironmentClass environment("Environment");
    environment.smart_ptr<std::shared_ptr<Environment>>("Environment")
        .class_function("qorMake", &make_environment)
        .class_function("qorFindZone", &find_zone)
        .property("id", &id_of, &set_id)
        .property("is_time_frozen", &is_time_frozen, &set_time_frozen)
        .property("charges", &charges_of, &set_charges)
        .property("sub_environments", &sub_environments_of)
        .function("to_json", &to_json)
        .function("add_charge", &add_charge)
        .function("add_sub_environment", &add_sub_environment);
    describe_parameters("Environment", "new", "id");
    describe_parameters("Environment", "to_json", "");
    describe_parameters("Environment", "add_charge", "magnitude, polarity, visual_id");
    describe_parameters("Environment", "add_sub_environment", "sub_env");
    describe_parameters("Environment", "find_zone", "id");
    return environment;
}

}  // namespace qor::web
