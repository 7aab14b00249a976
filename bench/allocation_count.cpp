// The replaced global operator new behind allocation_count(). In a file of its
// own, so that no caller sees the malloc behind it.
#include "bench/allocation_count.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Atomic: the programs that count may allocate on several threads.
std::atomic<long> allocations{0};

} // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

// std::stable_sort asks for its buffer without exceptions: the same storage,
// counted alike, so that every delete frees what this malloc gave.
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept {
    std::free(p);
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}

namespace morvex {

long allocation_count() {
    return allocations.load(std::memory_order_relaxed);
}

} // namespace morvex
