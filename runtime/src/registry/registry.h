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

#include <bgs/service_manager.h>

#include <cstdint>
#include <string>

namespace binder_ndk::internal {

// Where a served name can be reached.
struct ServiceEndpoint {
    pid_t pid = 0;
    // The abstract socket name of the serving process's listener (without
    // the leading zero byte); at most 100 bytes, no zero bytes.
    std::string address;
    // The user of the publishing process: the owner of its entry file.
    uid_t uid = static_cast<uid_t>(-1);
};

// What a registry operation found: an outcome, the process concerned (pid,
// uid) and a message for people (empty for BGS_REGISTRY_OK).
struct RegistryReport {
    BgsRegistryOutcome outcome = BGS_REGISTRY_OK;
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    std::string message;
};

// 1 to 255 bytes of printable ASCII other than space.
bool isValidServiceName(const char* name) noexcept;

// The path of the registry directory this process chose (see
// binder_manager.h), whether or not it can be used.
const std::string& registryPath() noexcept;

// The registry directory of this process (resolved and created on first use).
// Empty when it cannot be used: registryUsable() says why.
const std::string& registryDirectory() noexcept;

// True when the directory can be used; otherwise false with *report (when
// not null) filled: BGS_REGISTRY_PERMISSION_DENIED for a directory of
// another user, BGS_REGISTRY_UNUSABLE for any other reason, with the reason.
bool registryUsable(RegistryReport* report) noexcept;

// Publishes `name` for `self` (this process). BGS_REGISTRY_OK,
// BGS_REGISTRY_INVALID_NAME, BGS_REGISTRY_INVALID_ARGUMENT (malformed
// endpoint), BGS_REGISTRY_NAME_TAKEN (a live process holds the name's entry:
// its pid and uid in the report when its entry reads well), or the
// directory's refusal; a directory lock held by another process past the
// lock deadline (BGS_REGISTRY_LOCK_MS) is BGS_REGISTRY_UNUSABLE naming the
// holder. *report (when not null) gets the details. Thread-safe.
BgsRegistryOutcome registryPublish(const char* name, const ServiceEndpoint& self, RegistryReport* report) noexcept;

// The same, as AServiceManager_addService's code: EX_NONE,
// EX_ILLEGAL_ARGUMENT (malformed name or endpoint) or EX_ILLEGAL_STATE.
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

// Calls `callback(name, endpoint, context)` for each live entry; false (and
// no call) when the directory cannot be used. Never waits for the directory
// lock: stale entries are left for a later listing when it is busy.
bool registryForEach(void* context,
                     void (*callback)(const char* name, const ServiceEndpoint& endpoint, void* context)) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_REGISTRY_H
