// The allocs/call counter every case reports, from the process's count of
// heap allocations (tests/support/allocation_counter.h).
#ifndef BGS_BENCHMARKS_ALLOCS_PER_CALL_H
#define BGS_BENCHMARKS_ALLOCS_PER_CALL_H

#include <benchmark/benchmark.h>

#include <cstdint>

#include "allocation_counter.h"  // tests/support

namespace bgs::bench {

// The counter's name, as the console and the summary show it.
inline constexpr char kAllocsPerCall[] = "allocs/call";

// Untimed calls a case makes before its timed loop, so that allocs/call
// leaves out first-use work (the runtime's per-thread parcels, a session,
// a string's buffer).
inline constexpr int kWarmUpCalls = 16;

using bgs::testing::allocationCount;
using bgs::testing::countingAllocations;

// Sets allocs/call: the allocations since `before` (read just before the
// timed loop) per iteration of it. Call it right after the loop: setting a
// counter allocates, this one's after the count is read.
inline void reportAllocationsPerCall(benchmark::State& state, uint64_t before) {
    if (!countingAllocations() || state.iterations() == 0) return;
    const uint64_t allocations = allocationCount() - before;
    state.counters[kAllocsPerCall] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

}  // namespace bgs::bench

#endif  // BGS_BENCHMARKS_ALLOCS_PER_CALL_H
