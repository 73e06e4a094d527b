#include "fault_injection/failing_allocation.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace qor::failing_allocation {

namespace {

long allocations = 0;
long failing = 0;  // the allocation that fails, counted from 1; 0: none
bool every = false;
bool failed = false;

}  // namespace

void fail_allocation(long k) {
    allocations = 0;
    failing = k;
    failed = false;
}

void fail_every_allocation(bool every_one) { every = every_one; }

void stop_failing() { failing = 0; }

bool failure_happened() { return failed; }

long allocations_made() { return allocations; }

namespace {

void* allocate_or_null(std::size_t size) noexcept {
    if (++allocations == failing || every) {
        failed = true;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate(std::size_t size) {
    void* memory = allocate_or_null(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

}  // namespace qor::failing_allocation

using qor::failing_allocation::allocate;
using qor::failing_allocation::allocate_or_null;

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
