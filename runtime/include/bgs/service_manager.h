/*
 * The service registry with outcomes that say what happened.
 *
 * The AServiceManager_* functions (android/binder_manager.h) answer with a
 * binder or null, EX_NONE or EX_ILLEGAL_STATE. These functions do the same
 * work and tell the cases apart: a name nobody serves, a name another
 * process holds, a registry directory that cannot be used and why, a peer of
 * a user this process may not talk to, a process that does not answer. Each
 * outcome comes with a one-line message for people; the AServiceManager_*
 * functions are thin wrappers over these.
 *
 * The registry directory (see binder_manager.h for how it is chosen) is used
 * only when it is a directory owned by this user, neither group- nor
 * world-writable, reached without a symbolic link in any component of its
 * path. Only its last component is created (mode 0700).
 *
 * All functions may be called from any thread; none blocks longer than the
 * time it is given (publishing waits for the directory lock at most
 * BGS_REGISTRY_LOCK_MS, 2000 ms unless set).
 */
#ifndef BGS_SERVICE_MANAGER_H
#define BGS_SERVICE_MANAGER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <android/binder_ibinder.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum BgsRegistryOutcome {
    /* lookup: the binder was found and reached; publish: the name is this
     * process's now; list: every live entry was listed. */
    BGS_REGISTRY_OK = 0,
    /* No live process serves the name (within the time given). */
    BGS_REGISTRY_NOT_SERVED = 1,
    /* publish: a live process already serves the name (its pid and uid in
     * the report, when its entry can be read). */
    BGS_REGISTRY_NAME_TAKEN = 2,
    /* The registry directory belongs to another user, or the serving process
     * refused this user, or it runs as a user this process does not allow
     * (ABinderProcess_allowPeerUid). */
    BGS_REGISTRY_PERMISSION_DENIED = 3,
    /* The registry directory cannot be used; the message says why. */
    BGS_REGISTRY_UNUSABLE = 4,
    /* The name is null, empty, longer than 255 bytes or holds a byte other
     * than printable ASCII without space. */
    BGS_REGISTRY_INVALID_NAME = 5,
    /* lookup: a live entry names the process, but it did not complete the
     * handshake or answer the lookup in time. */
    BGS_REGISTRY_UNREACHABLE = 6,
    /* A null or remote binder to publish, or a null callback to list with. */
    BGS_REGISTRY_INVALID_ARGUMENT = 7,
} BgsRegistryOutcome;

#define BGS_REGISTRY_MESSAGE_BYTES 1024

/* What a registry operation found, for programs and people. */
typedef struct BgsRegistryReport {
    BgsRegistryOutcome outcome;
    /* The process concerned: the server found, the holder of a taken name or
     * of the directory lock, the process that refused; 0 when none or
     * unknown. */
    pid_t pid;
    /* Its user; (uid_t)-1 when unknown. */
    uid_t uid;
    /* One line for people, zero-terminated, without a trailing newline
     * (possibly cut to fit): "/run/x is group-writable (mode 0775)",
     * "name taken by pid 4242 (uid 1000)", ... Empty for BGS_REGISTRY_OK. */
    char message[BGS_REGISTRY_MESSAGE_BYTES];
} BgsRegistryReport;

/* One live entry of the registry, valid during the listing's callback. */
typedef struct BgsServiceEntry {
    const char* name;
    pid_t pid; /* the publishing process */
    uid_t uid; /* its user (the owner of its entry) */
} BgsServiceEntry;

/*
 * Looks up `name` and reaches its process. timeoutMs: 0 looks once (the
 * process found is still given up to the stall limit, BGS_STALL_MS, to
 * answer); > 0 waits up to that many milliseconds for the name to be
 * served and answered; < 0 waits without limit.
 *
 * On BGS_REGISTRY_OK, *binder is an owned strong reference; on any other
 * outcome *binder is null. `binder` must not be null (else
 * BGS_REGISTRY_INVALID_ARGUMENT). `report`, when not null, receives the
 * outcome, the process concerned and the message.
 */
BgsRegistryOutcome BgsServiceManager_lookup(const char* name, int32_t timeoutMs, AIBinder** binder,
                                            BgsRegistryReport* report);

/*
 * Publishes the local binder `binder` under `name` for the life of the
 * process (or until AServiceManager_removeService). The registry keeps a
 * strong reference to it. Returns BGS_REGISTRY_OK, BGS_REGISTRY_INVALID_NAME,
 * BGS_REGISTRY_INVALID_ARGUMENT (null or remote binder), BGS_REGISTRY_NAME_TAKEN
 * (also when this process serves it already), BGS_REGISTRY_PERMISSION_DENIED
 * or BGS_REGISTRY_UNUSABLE (including a directory lock held past its
 * deadline, naming the holder's pid when it can be found). An entry left by a
 * process that has ended is replaced.
 */
BgsRegistryOutcome BgsServiceManager_publish(AIBinder* binder, const char* name, BgsRegistryReport* report);

/*
 * Calls `callback(entry, context)` for each live entry, in no particular
 * order, without contacting the serving processes. Returns BGS_REGISTRY_OK,
 * BGS_REGISTRY_INVALID_ARGUMENT (null callback),
 * BGS_REGISTRY_PERMISSION_DENIED or BGS_REGISTRY_UNUSABLE (then the callback
 * is never called). Never waits for the directory lock.
 */
BgsRegistryOutcome BgsServiceManager_list(void* context, void (*callback)(const BgsServiceEntry* entry, void* context),
                                          BgsRegistryReport* report);

/*
 * The path of the registry directory this process uses (or would use, when
 * it is unusable), written zero-terminated into `buffer` of `size` bytes as
 * snprintf does. Returns the path's length; a result >= size means it was
 * cut. `buffer` may be null when `size` is 0.
 */
size_t BgsServiceManager_getDirectory(char* buffer, size_t size);

/* "BGS_REGISTRY_OK", "BGS_REGISTRY_NOT_SERVED", ...; "BGS_REGISTRY_?" for a
 * value outside the enumeration. A static string. */
const char* BgsRegistryOutcome_name(BgsRegistryOutcome outcome);

/*
 * The interface descriptor of `binder`: its class's for a local binder, the
 * one its process sent with it for a remote binder (whether or not a class
 * is associated). Valid while the caller holds a reference to the binder;
 * null for a null binder.
 */
const char* BgsBinder_getDescriptor(const AIBinder* binder);

#ifdef __cplusplus
}
#endif

#endif /* BGS_SERVICE_MANAGER_H */
