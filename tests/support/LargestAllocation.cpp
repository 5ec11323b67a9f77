#include "LargestAllocation.h"

#include <cstdlib>
#include <new>

std::atomic<size_t> LargestAllocation_{0};

void* operator new(size_t size)
{
    size_t seen = LargestAllocation_.load();
    while (size > seen && !LargestAllocation_.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
