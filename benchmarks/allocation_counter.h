// Heap allocations made by this process, for the allocs/call counter every
// case reports. The benchmark executable interposes malloc and its kin, so
// the count covers operator new (libstdc++ allocates through malloc) and the
// shared libraries' allocations alike, on every thread of this process.
#ifndef BGS_BENCHMARKS_ALLOCATION_COUNTER_H
#define BGS_BENCHMARKS_ALLOCATION_COUNTER_H

#include <benchmark/benchmark.h>

#include <cstdint>

namespace bgs::bench {

// The counter's name, as the console and the summary show it.
inline constexpr char kAllocsPerCall[] = "allocs/call";

// Untimed calls a case makes before its timed loop, so that allocs/call
// leaves out first-use work (the runtime's per-thread parcels, a session,
// a string's buffer).
inline constexpr int kWarmUpCalls = 16;

// False where a sanitizer's runtime owns malloc: then nothing is counted
// and no case reports allocs/call.
bool countingAllocations();

// Calls of malloc, calloc, realloc, aligned_alloc, posix_memalign and
// memalign made by this process so far; a realloc counts even when it
// resizes in place.
uint64_t allocationCount();

// Sets allocs/call: the allocations since `before` (read just before the
// timed loop) per iteration of it. Call it right after the loop: setting a
// counter allocates, this one's after the count is read.
inline void reportAllocationsPerCall(benchmark::State& state, uint64_t before) {
    if (!countingAllocations() || state.iterations() == 0) return;
    const uint64_t allocations = allocationCount() - before;
    state.counters[kAllocsPerCall] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

}  // namespace bgs::bench

#endif  // BGS_BENCHMARKS_ALLOCATION_COUNTER_H
