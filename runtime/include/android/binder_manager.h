/*
 * The service registry: names under which processes publish binders, and the
 * lookups through which other processes find them.
 *
 * The registry is embedded: there is no registry process to start. Entries
 * live in a directory shared by every process of the user that sees it: the
 * directory named by the environment variable BGS_SERVICE_DIR, else
 * "$XDG_RUNTIME_DIR/bgservice", else "<tmpdir>/bgservice-<uid>" (created
 * with mode 0700 when missing; refused when another user owns it, when it is
 * group- or world-writable, or when a component of its path is a symbolic
 * link). An entry belongs to the process that added it and disappears with
 * that process, however it ends.
 *
 * These functions are thin wrappers over bgs/service_manager.h, whose
 * functions also say why a lookup or publish failed.
 *
 * Names are 1 to 255 bytes of printable ASCII other than space; '/' and '.'
 * are allowed.
 *
 * All functions may be called from any thread.
 */
#ifndef BINDER_NDK_BINDER_MANAGER_H
#define BINDER_NDK_BINDER_MANAGER_H

#include <stdint.h>

#include <android/binder_ibinder.h>
#include <android/binder_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Publishes the local binder `binder` under `instance`. The registry keeps a
 * strong reference to it for the life of the process.
 *
 * EX_NONE on success. EX_ILLEGAL_ARGUMENT for a null or remote binder or a
 * null, empty or malformed name. EX_ILLEGAL_STATE when a live process
 * already serves the name (an entry left by a process that has ended is
 * replaced) or when the registry directory cannot be used.
 */
binder_exception_t AServiceManager_addService(AIBinder* binder, const char* instance);

/*
 * Withdraws `instance`, which this process published: its entry disappears
 * from the registry and the registry's reference to the binder is given
 * back. Processes that already hold the binder keep it. EX_NONE on success;
 * EX_ILLEGAL_ARGUMENT for a null or malformed name or one this process does
 * not serve.
 */
binder_exception_t AServiceManager_removeService(const char* instance);

/*
 * The binder served under `instance`, at once: an owned strong reference, or
 * null when no live process serves the name (or the name is malformed).
 */
AIBinder* AServiceManager_checkService(const char* instance);

/*
 * Like AServiceManager_checkService, but blocks until the name is served.
 * Sleeps on directory change notifications; it does not poll.
 */
AIBinder* AServiceManager_waitForService(const char* instance);

/*
 * Like AServiceManager_waitForService, but gives up after `timeoutMs`
 * milliseconds and then returns null. A negative timeout waits forever.
 */
AIBinder* AServiceManager_waitForServiceTimeout(const char* instance, int32_t timeoutMs);

/*
 * Calls `callback(instance, context)` for every name served by a live
 * process, in no particular order. The name is valid during the callback
 * only. A null callback is ignored.
 */
void AServiceManager_forEachService(void* context, void (*callback)(const char* instance, void* context));

#ifdef __cplusplus
}
#endif

#endif /* BINDER_NDK_BINDER_MANAGER_H */
