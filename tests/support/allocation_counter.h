// Heap allocations made by this process. A program that links
// allocation_counter.cpp interposes malloc and its kin, so the count covers
// operator new (libstdc++ allocates through malloc) and the shared
// libraries' allocations alike, on every thread of the process. Used by the
// benchmarks' allocs/call, by the tests that a warm call allocates nothing
// and by the test that a list read allocates only for what decodes.
#ifndef BGS_TESTS_SUPPORT_ALLOCATION_COUNTER_H
#define BGS_TESTS_SUPPORT_ALLOCATION_COUNTER_H

#include <cstdint>

namespace bgs::testing {

// False where a sanitizer's runtime owns malloc: then nothing is counted.
bool countingAllocations();

// Calls of malloc, calloc, realloc, aligned_alloc, posix_memalign and
// memalign made by this process so far; a realloc counts even when it
// resizes in place.
uint64_t allocationCount();

// The same, made by the calling thread only: what a call made on this
// thread allocated, whatever the process's other threads do meanwhile.
uint64_t allocationCountOnThisThread();

// The bytes those calls on the calling thread asked for, added up (a
// realloc counts its whole new size). Frees are not subtracted, so between
// two readings it bounds from above what the thread held at its peak.
uint64_t bytesRequestedOnThisThread();

}  // namespace bgs::testing

#endif  // BGS_TESTS_SUPPORT_ALLOCATION_COUNTER_H
