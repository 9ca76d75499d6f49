/*
 * A call deadline for a scope (C++17).
 *
 *   {
 *       bgs::ScopedCallTimeout deadline(std::chrono::milliseconds(500));
 *       service->setTimestamps(1, now);  // STATUS_TIMED_OUT after 500 ms
 *   }                                    // the thread's previous deadline again
 *
 * Sets the calling thread's deadline for calls to other processes
 * (AIBinder_setCallTimeoutMs) and restores the one it replaced when the
 * scope ends. Scopes nest. Must be destroyed on the thread that made it.
 */
#ifndef BGS_SCOPED_CALL_TIMEOUT_H
#define BGS_SCOPED_CALL_TIMEOUT_H

#include <android/binder_ibinder.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace bgs {

class ScopedCallTimeout {
  public:
    // A negative duration restores the process default for the scope.
    explicit ScopedCallTimeout(std::chrono::milliseconds timeout) noexcept : previous_(ownSetting()) {
        const auto ms = timeout.count();
        const auto max = std::numeric_limits<int32_t>::max();
        AIBinder_setCallTimeoutMs(ms < 0 ? -1 : ms > max ? max : static_cast<int32_t>(ms));
    }
    ~ScopedCallTimeout() { AIBinder_setCallTimeoutMs(previous_); }
    ScopedCallTimeout(const ScopedCallTimeout&) = delete;
    ScopedCallTimeout& operator=(const ScopedCallTimeout&) = delete;

  private:
    // The thread's own setting, -1 when it follows the process default.
    static int32_t ownSetting() noexcept { return AIBinder_getThreadCallTimeoutMs(); }

    const int32_t previous_;
};

}  // namespace bgs

#endif  // BGS_SCOPED_CALL_TIMEOUT_H
