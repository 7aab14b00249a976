// Counts the heap allocations of a program that links allocation_count.cpp,
// which replaces the global operator new.
#ifndef MORVEX_BENCH_ALLOCATION_COUNT_HPP
#define MORVEX_BENCH_ALLOCATION_COUNT_HPP

namespace morvex {

// Calls of operator new (and so of new[]) since the program started.
long allocation_count();

} // namespace morvex

#endif
