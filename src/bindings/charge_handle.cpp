#include "bindings/charge_handle.h"

#include <utility>

namespace qor::bindings {

StaleChargeError::StaleChargeError()
    : std::runtime_error(
          "this Charge item is stale: the zone's charges changed since the item was read "
          "(read Environment.charges again)") {}

ChargeHandle::ChargeHandle(Charge own) : own_(std::move(own)) {}

ChargeHandle::ChargeHandle(std::shared_ptr<Environment> zone, std::size_t index)
    : zone_(std::move(zone)), index_(index), revision_(zone_->charges_revision) {}

bool ChargeHandle::is_stale() const {
    return !own_ && (zone_->charges_revision != revision_ || index_ >= zone_->charges.size());
}

Charge& ChargeHandle::get() {
    if (own_) return *own_;
    if (is_stale()) throw StaleChargeError();
    return zone_->charges[index_];
}

}  // namespace qor::bindings
