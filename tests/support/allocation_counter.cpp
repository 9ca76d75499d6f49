#include "allocation_counter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

// A sanitizer's runtime interposes malloc itself: a second interposer here
// would hand it blocks it did not allocate.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BGS_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BGS_COUNT_ALLOCATIONS 0
#endif
#endif
#if !defined(BGS_COUNT_ALLOCATIONS) && defined(__GLIBC__)
#define BGS_COUNT_ALLOCATIONS 1
#elif !defined(BGS_COUNT_ALLOCATIONS)
#define BGS_COUNT_ALLOCATIONS 0  // the hooks below forward to glibc's allocator
#endif

namespace {

// Constant-initialised: the loader allocates before any constructor runs.
// Relaxed: only the total matters, read by the thread that times a loop
// after the calls it times.
std::atomic<uint64_t> gAllocations{0};
// Plain thread-local data of the executable: usable from a thread's first
// allocation on, with no initialisation of its own.
thread_local uint64_t tAllocations = 0;
thread_local uint64_t tBytesRequested = 0;

[[maybe_unused]] inline void noteAllocation(size_t bytes) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    ++tAllocations;
    tBytesRequested += bytes;
}

}  // namespace

namespace bgs::testing {

bool countingAllocations() { return BGS_COUNT_ALLOCATIONS; }

uint64_t allocationCount() { return gAllocations.load(std::memory_order_relaxed); }

uint64_t allocationCountOnThisThread() { return tAllocations; }

uint64_t bytesRequestedOnThisThread() { return tBytesRequested; }

}  // namespace bgs::testing

#if BGS_COUNT_ALLOCATIONS

// glibc's own allocator under its internal names; free needs no hook, the
// blocks are glibc's.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
    noteAllocation(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    size_t bytes = 0;
    noteAllocation(__builtin_mul_overflow(count, size, &bytes) ? SIZE_MAX : bytes);
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) noexcept {
    noteAllocation(size);
    return __libc_realloc(block, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    noteAllocation(size);
    return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    noteAllocation(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) noexcept {
    noteAllocation(size);
    // The contract __libc_memalign does not check: a power of two that is a
    // multiple of the pointer size.
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
    void* allocated = __libc_memalign(alignment, size);
    if (allocated == nullptr) return ENOMEM;
    *block = allocated;
    return 0;
}
}

#endif  // BGS_COUNT_ALLOCATIONS
