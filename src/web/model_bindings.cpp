#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "web/web.h"

namespace qor::web {

namespace {

// A polarity argument: one of ChargePolarity's values, or the integer value
// of a polarity (any 32-bit integer, as Python's ChargePolarity(value) takes).
// embind itself would read any other value (undefined, a string) as POSITIVE.
ChargePolarity polarity_of(const em::val& polarity, const char* caller) {
    if (polarity.instanceof(em::val::module_property("ChargePolarity"))) {
        return polarity.as<ChargePolarity>();
    }
    const std::optional<std::int32_t> value = int32_of(polarity);
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

std::shared_ptr<Environment> make_environment(em::val id) {
    return guarded<std::shared_ptr<Environment>>(
        [&] { return std::make_shared<Environment>(cpp_text(id, "Environment()", "id")); });
}

// Copies, not views: a JavaScript object cannot follow the list as it changes.
em::val charges_of(const Environment& zone) {
    return guarded<em::val>([&] {
        em::val items = em::val::array();
        for (const Charge& charge : zone.charges) {
            em::val item = em::val::object();
            item.set("magnitude", charge.magnitude);
            item.set("polarity", polarity_value(charge.polarity));
            item.set("visual_id", js_text(charge.visual_id));
            items.call<void>("push", item);
        }
        return items;
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
    guarded_void([&] { zone.id = cpp_text(id, "id", "the value"); });
}

bool is_time_frozen(const Environment& zone) { return zone.is_time_frozen; }

void set_time_frozen(Environment& zone, bool frozen) { zone.is_time_frozen = frozen; }

em::val to_json(const Environment& zone) {
    return guarded<em::val>([&] {
        ensure_walkable(zone);
        return js_text(zone_json_text(zone));
    });
}

void add_charge(Environment& zone, em::val magnitude_value, em::val polarity, em::val visual_id) {
    guarded_void([&] {
        const double magnitude = number_of(magnitude_value, "add_charge()", "magnitude");
        const ChargePolarity tag = polarity_of(polarity, "add_charge()");
        zone.add_charge(Charge(magnitude, tag, cpp_text(visual_id, "add_charge()", "visual_id")));
    });
}

void add_sub_environment(Environment& zone, std::shared_ptr<Environment> sub_env) {
    guarded_void([&] {
        if (!sub_env) throw ArgumentTypeError("add_sub_environment(): sub_env must be an Environment, not null");
        zone.add_environment(std::move(sub_env));
    });
}

}  // namespace

void bind_charges() {
    em::enum_<ChargePolarity>("ChargePolarity")
        .value("POSITIVE", ChargePolarity::POSITIVE)
        .value("NEGATIVE", ChargePolarity::NEGATIVE)
        .value("NEUTRAL", ChargePolarity::NEUTRAL);
}

EnvironmentClass bind_environment() {
    EnvironmentClass environment("Environment");
    environment.smart_ptr_constructor("Environment", &make_environment)
        .property("id", &id_of, &set_id)
        .property("is_time_frozen", &is_time_frozen, &set_time_frozen)
        .property("charges", &charges_of)
        .property("sub_environments", &sub_environments_of)
        .function("to_json", &to_json)
        .function("add_charge", &add_charge)
        .function("add_sub_environment", &add_sub_environment);
    return environment;
}

}  // namespace qor::web
