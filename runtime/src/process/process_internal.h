// The process: its sessions, listener, event loop and pool, the handshakes,
// the process-wide limits, and the registry entry points.
#ifndef BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H
#define BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H

#include "../base/fork.h"

namespace binder_ndk::internal {

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H
