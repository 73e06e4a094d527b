#pragma once

// For tests only: a program linked with failing_allocation.cpp has its global
// allocation functions replaced by ones that fail when told to, so that a
// test can make every allocation of a call fail in turn. A failed
// allocation throws std::bad_alloc (the nothrow forms answer null).

namespace qor::failing_allocation {

// From now on, the k-th allocation fails (k counted from 1); 0: none does.
// Starts the count of allocations and forgets a failure that happened.
void fail_allocation(long k);
// Every allocation fails while set.
void fail_every_allocation(bool every);
// Stops a planned failure, keeping what failure_happened() says.
void stop_failing();

// Whether an allocation failed since fail_allocation().
bool failure_happened();
// The allocations tried since fail_allocation().
long allocations_made();

}  // namespace qor::failing_allocation
