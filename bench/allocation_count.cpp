// The replaced global operator new behind allocation_count(). In a file of its
// own, so that no caller sees the malloc behind it.
#include "bench/allocation_count.hpp"

#include <cstdlib>
#include <new>

namespace {

long allocations = 0;

} // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}

namespace morvex {

long allocation_count() {
    return allocations;
}

} // namespace morvex
