// The test build's allocation functions (qor_engine_faults.js): from JavaScript,
// q.qorFailAllocation(k) makes the k-th allocation from then on throw
// std::bad_alloc (k = 0: none fails), and q.qorAllocations() counts the
// allocations since. The tests fail every allocation of a call in turn.
#include <emscripten/bind.h>

#include "fault_injection/failing_allocation.h"

namespace {

void fail_allocation(double which) {
    const bool counted = which >= 1 && which < 1e15;  // NaN and the rest: none fails
    qor::failing_allocation::fail_allocation(counted ? static_cast<long>(which) : 0);
}

double allocations_made() { return static_cast<double>(qor::failing_allocation::allocations_made()); }

}  // namespace

EMSCRIPTEN_BINDINGS(qor_fault_injection) {
    emscripten::function("qorFailAllocation", &fail_allocation);
    emscripten::function("qorAllocations", &allocations_made);
}
