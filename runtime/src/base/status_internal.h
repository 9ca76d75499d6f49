// Status objects: the definition behind the AStatus handle.
#ifndef BINDER_NDK_INTERNAL_STATUS_INTERNAL_H
#define BINDER_NDK_INTERNAL_STATUS_INTERNAL_H

#include "public_api.h"

#include <cstddef>
#include <cstdint>

// Immutable after construction, so any thread may read it. Two statuses are
// static and never freed: OK (every OK status is that one object) and the
// "no memory" status handed out when a status cannot be allocated.
struct AStatus {
    binder_exception_t exception;
    // EX_SERVICE_SPECIFIC: the service-specific error. EX_TRANSACTION_FAILED:
    // the status code (never STATUS_OK). Any other exception: 0.
    int32_t detail;
    // Owned text without embedded zero bytes; null when there is no message.
    char* message;
};

namespace binder_ndk::internal {

// Whether `exception` is one of the exception codes of binder_status.h.
bool isKnownException(binder_exception_t exception) noexcept;

// A status of `exception` (any code but EX_NONE) with `detail` as described
// on AStatus::detail, and a message copied from the first `messageLength`
// bytes of `message` (up to an embedded zero; none when null or empty).
// Returns the shared "no memory" status when allocation fails.
AStatus* makeStatus(binder_exception_t exception, int32_t detail, const char* message,
                    size_t messageLength) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_STATUS_INTERNAL_H
