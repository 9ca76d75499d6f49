// Fork handling, in one place. The child of a fork() has only the thread
// that forked; any runtime lock may be held by a thread it does not have.
// So nothing of the parent's runtime is touched there: the descriptors the
// runtime opened are closed, the epoch moves on (state of an older epoch is
// dead and never used again), and each layer that keeps process state
// starts afresh through its reset hook.
#ifndef BINDER_NDK_INTERNAL_FORK_H
#define BINDER_NDK_INTERNAL_FORK_H

#include <cstdint>

namespace binder_ndk::internal {

uint64_t currentEpoch() noexcept;
// Descriptors closed in the child after fork().
void trackFd(int fd) noexcept;
void untrackFd(int fd) noexcept;
// Runs `reset` in the child after fork(), after the descriptors are closed
// and the epoch has moved on. Hooks run in the order installed.
void onForkChild(void (*reset)()) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_FORK_H
