// This program's own operator new and delete, which count the allocations made while `counting`
// is set — how the tests show that what runs on the timer thread allocates nothing. Include it
// in exactly one source file of a test program. The nothrow forms are replaced too: the engine
// allocates with them, and a free through a different allocator would be a mismatch for ASan.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace allocation_counter {
inline std::atomic<bool> counting{false};
inline std::atomic<long> allocations{0};

inline void* counted(std::size_t size) noexcept {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
} // namespace allocation_counter

void* operator new(std::size_t size) {
    if (void* p = allocation_counter::counted(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocation_counter::counted(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocation_counter::counted(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocation_counter::counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
