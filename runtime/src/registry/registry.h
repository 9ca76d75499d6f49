// The embedded service registry: a directory of entries, one per served
// name, each naming the serving process and the address of its listener.
//
// An entry is owned by the process that published it and is alive exactly
// while that process holds a lock on it; the kernel drops the lock when the
// process ends, however it ends, so an entry left by a dead process is seen
// as absent and may be replaced.
#ifndef BINDER_NDK_INTERNAL_REGISTRY_H
#define BINDER_NDK_INTERNAL_REGISTRY_H

#include "../base/public_api.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace binder_ndk::internal {

// Where a served name can be reached.
struct ServiceEndpoint {
    pid_t pid = 0;
    // The abstract socket name of the serving process's listener (without
    // the leading zero byte); at most 100 bytes, no zero bytes.
    std::string address;
};

// 1 to 255 bytes of printable ASCII other than space.
bool isValidServiceName(const char* name) noexcept;

// The registry directory of this process (resolved and created on first use;
// see binder_manager.h). Empty when it cannot be made or is unsafe to use
// (not a directory, or not owned by this user).
const std::string& registryDirectory() noexcept;

// Publishes `name` for `self` (this process). EX_NONE, EX_ILLEGAL_ARGUMENT
// (malformed name), or EX_ILLEGAL_STATE (a live process serves the name, or
// the directory cannot be used). Thread-safe.
binder_exception_t registryPublish(const char* name, const ServiceEndpoint& self) noexcept;

// Removes the entry of `name` that this process published: true when there
// was one. Thread-safe.
bool registryWithdraw(const char* name) noexcept;

// The live entry of `name`: true and *endpoint filled, or false.
bool registryLookup(const char* name, ServiceEndpoint* endpoint) noexcept;

// Blocks until `name` has a live entry other than one already known to be
// unreachable, or the timeout passes (timeoutMs < 0: never). `skip` names an
// address the caller failed to reach (empty: none): an entry with that
// address does not count. Sleeps on directory change notifications.
bool registryWait(const char* name, int32_t timeoutMs, const std::string& skip,
                  ServiceEndpoint* endpoint) noexcept;

// Calls `callback(name, context)` for each live entry.
void registryForEach(void* context, void (*callback)(const char* name, void* context)) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_REGISTRY_H
