#include "failing_allocation.h"

#include <cstdlib>
#include <new>

std::atomic<size_t> FailAllocationOfSize{0};

void* operator new(size_t size) {
    size_t failing = size;
    if (size != 0 && FailAllocationOfSize.compare_exchange_strong(failing, 0)) throw std::bad_alloc();
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
