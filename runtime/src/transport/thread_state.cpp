// Per-thread transaction state and call deadlines.
#include "../base/public_api.h"

#include "thread_state.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "../base/clock.h"

namespace binder_ndk::internal {
namespace {

int64_t readDefaultTimeout() noexcept {
    const char* text = std::getenv("BGS_CALL_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > INT32_MAX) {
        std::fprintf(stderr, "bgs: BGS_CALL_TIMEOUT_MS=%s is not a number of milliseconds; calls have no deadline\n",
                     text);
        return -1;
    }
    return value;
}

}  // namespace

ThreadState& threadState() noexcept {
    static std::atomic<uint64_t> nextToken{1};
    thread_local ThreadState state;
    if (state.token == 0) state.token = nextToken.fetch_add(1, std::memory_order_relaxed);
    return state;
}

int64_t defaultCallTimeoutMs() noexcept {
    static const int64_t value = readDefaultTimeout();
    return value;
}

uint64_t callDeadline() noexcept {
    const int64_t own = threadState().callTimeoutMs;
    return deadlineAfterMs(own >= 0 ? own : defaultCallTimeoutMs());
}

}  // namespace binder_ndk::internal
