// The runtime's one clock: monotonic nanoseconds, and deadlines on it.
#ifndef BINDER_NDK_INTERNAL_CLOCK_H
#define BINDER_NDK_INTERNAL_CLOCK_H

#include <time.h>

#include <cstdint>

namespace binder_ndk::internal {

inline uint64_t monotonicNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

constexpr uint64_t kNsPerMs = 1000000u;
// A deadline that never comes.
constexpr uint64_t kNoDeadline = UINT64_MAX;

// The deadline `ms` milliseconds from now; a negative `ms` is none.
inline uint64_t deadlineAfterMs(int64_t ms) noexcept {
    if (ms < 0) return kNoDeadline;
    return monotonicNs() + static_cast<uint64_t>(ms) * kNsPerMs;
}

// Milliseconds left until `deadline`, rounded up, for poll(): -1 for no
// deadline, 0 once it has passed, at most INT32_MAX.
inline int pollTimeoutMs(uint64_t deadline) noexcept {
    if (deadline == kNoDeadline) return -1;
    const uint64_t now = monotonicNs();
    if (now >= deadline) return 0;
    const uint64_t ms = (deadline - now + kNsPerMs - 1) / kNsPerMs;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_CLOCK_H
