// Fork handling.
#include "public_api.h"

#include "fork.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace binder_ndk::internal {
namespace {

constexpr size_t kTrackedFdSlots = 4096;
std::atomic<int> gTrackedFds[kTrackedFdSlots];  // fd + 1; 0 is a free slot
std::atomic<uint64_t> gEpoch{1};

constexpr size_t kMaxHooks = 8;
std::atomic<void (*)()> gHooks[kMaxHooks];

void childAfterFork() noexcept {
    for (auto& slot : gTrackedFds) {
        const int value = slot.exchange(0, std::memory_order_relaxed);
        if (value != 0) ::close(value - 1);
    }
    gEpoch.fetch_add(1, std::memory_order_relaxed);
    for (auto& hook : gHooks) {
        void (*reset)() = hook.load(std::memory_order_acquire);
        if (reset != nullptr) reset();
    }
}

const bool gInstalled = [] {
    ::pthread_atfork(nullptr, nullptr, childAfterFork);
    return true;
}();

}  // namespace

uint64_t currentEpoch() noexcept { return gEpoch.load(std::memory_order_relaxed); }

void trackFd(int fd) noexcept {
    for (auto& slot : gTrackedFds) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1, std::memory_order_relaxed)) return;
    }
}

void untrackFd(int fd) noexcept {
    for (auto& slot : gTrackedFds) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) return;
    }
}

void onForkChild(void (*reset)()) noexcept {
    (void)gInstalled;
    for (auto& hook : gHooks) {
        void (*expected)() = nullptr;
        if (hook.compare_exchange_strong(expected, reset, std::memory_order_acq_rel)) return;
    }
}

}  // namespace binder_ndk::internal
