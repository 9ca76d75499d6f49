// Transaction tracing (BGS_TRACE=1): one line per transaction on stderr.
#ifndef BINDER_NDK_INTERNAL_TRACE_H
#define BINDER_NDK_INTERNAL_TRACE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "../base/public_api.h"

namespace binder_ndk::internal {

bool traceEnabled() noexcept;
// `direction` is "out" for calls this process makes, "in" for calls it serves.
void traceTransaction(const char* direction, pid_t peer, const char* descriptor, const AIBinder_Class* clazz,
                      uint32_t code, size_t requestSize, size_t replySize, binder_status_t status,
                      uint64_t startNs) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_TRACE_H
