// The test build's allocation functions (qor_engine_faults.js): from JavaScript,
// q.qorFailAllocation(k) makes the k-th allocation from then on throw
// std::bad_alloc (k = 0: none fails), and q.qorAllocations() counts the
// allocations since. The tests fail every allocation of a call in turn.
#include <cstddef>
#include <cstdlib>
#include <new>

#include <emscripten/bind.h>

namespace {

long allocations = 0;
long failing = 0;  // the allocation that fails, counted from 1; 0: none

void* allocate_or_null(std::size_t size) noexcept {
    if (++allocations == failing) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate(std::size_t size) {
    void* memory = allocate_or_null(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void fail_allocation(double which) {
    allocations = 0;
    failing = static_cast<long>(which);
}

double allocations_made() { return static_cast<double>(allocations); }

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

EMSCRIPTEN_BINDINGS(qor_fault_injection) {
    emscripten::function("qorFailAllocation", &fail_allocation);
    emscripten::function("qorAllocations", &allocations_made);
}
