#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

#include "model/charge.h"
#include "model/environment.h"

namespace qor::bindings {

// A charges item used after its zone's charge list changed.
class StaleChargeError : public std::runtime_error {
public:
    StaleChargeError();
};

// What the Python class Charge wraps: either a charge of its own, made by the
// host, or an item read from a zone's charge list. An item reads and writes
// the zone's charge as long as that list has not changed since it was read;
// after that every use raises StaleChargeError instead of touching storage
// that may have moved.
class ChargeHandle {
public:
    explicit ChargeHandle(Charge own);
    ChargeHandle(std::shared_ptr<Environment> zone, std::size_t index);

    Charge& get();
    // True for an item whose zone's charge list changed since it was read.
    bool is_stale() const;

private:
    std::optional<Charge> own_;
    std::shared_ptr<Environment> zone_;
    std::size_t index_ = 0;
    std::uint64_t revision_ = 0;
};

}  // namespace qor::bindings
