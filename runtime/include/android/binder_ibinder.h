/*
 * Binder classes, binders and transactions of the host binder runtime.
 *
 * A binder class (AIBinder_Class) describes one interface: its descriptor,
 * the callbacks that create and destroy the user data of its local binders,
 * and the transaction function that serves them. Classes live for the whole
 * process and are never freed.
 *
 * A binder (AIBinder) is reference counted. A local binder is made by
 * AIBinder_new and served in this process by its class's transaction
 * function; a remote binder stands for an object in another process. Strong
 * references keep the object alive; weak binders (AIBinder_Weak) observe it
 * and can be promoted while a strong reference exists. All reference
 * operations are thread-safe.
 *
 * Every entry point checks its arguments: null handles and out of range
 * values give a status code (or the documented neutral result for functions
 * without one), never a crash.
 */
#ifndef BINDER_NDK_BINDER_IBINDER_H
#define BINDER_NDK_BINDER_IBINDER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <android/binder_parcel.h>
#include <android/binder_status.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t transaction_code_t;
typedef uint32_t binder_flags_t;

enum {
    /* The first code an interface may use; its methods count up from here. */
    FIRST_CALL_TRANSACTION = 0x00000001,
    /* The last code an interface may use. Codes above it belong to the runtime. */
    LAST_CALL_TRANSACTION = 0x00ffffff,
};

enum {
    /* A one-way call: the caller does not wait and gets no reply. */
    FLAG_ONEWAY = 0x01,
};

typedef struct AIBinder AIBinder;
typedef struct AIBinder_Weak AIBinder_Weak;
typedef struct AIBinder_Class AIBinder_Class;

/* Makes the user data of a new local binder from AIBinder_new's argument. */
typedef void* (*AIBinder_Class_onCreate)(void* args);
/* Releases the user data when the local binder's last strong reference goes;
 * runs on the thread that gives that reference back. */
typedef void (*AIBinder_Class_onDestroy)(void* userData);
/* Serves one transaction on a local binder. `in` is positioned after the
 * interface header; `out` is an empty reply. A non-zero result is what the
 * caller's AIBinder_transact returns, and the reply is then dropped. */
typedef binder_status_t (*AIBinder_Class_onTransact)(AIBinder* binder, transaction_code_t code,
                                                     const AParcel* in, AParcel* out);
typedef binder_status_t (*AIBinder_onDump)(AIBinder* binder, int fd, const char** args,
                                           uint32_t numArgs);
typedef binder_status_t (*AIBinder_handleShellCommand)(AIBinder* binder, int in, int out, int err,
                                                       const char** argv, uint32_t argc);

/*
 * Defines a class. The descriptor is copied. Returns null when `descriptor`
 * or `onTransact` is null or the descriptor is empty; `onCreate` and
 * `onDestroy` may be null (then the user data is the creation argument
 * itself and is not released). Class handles are kept for the process.
 */
AIBinder_Class* AIBinder_Class_define(const char* descriptor, AIBinder_Class_onCreate onCreate,
                                      AIBinder_Class_onDestroy onDestroy,
                                      AIBinder_Class_onTransact onTransact);

/* Installs the dump and shell-command callbacks. A null class is ignored. */
void AIBinder_Class_setOnDump(AIBinder_Class* clazz, AIBinder_onDump onDump);
void AIBinder_Class_setHandleShellCommand(AIBinder_Class* clazz,
                                          AIBinder_handleShellCommand handleShellCommand);

/* Names the transaction codes for diagnostics: entry i names code i + 1.
 * The names are copied; a null entry leaves that code unnamed. A null class,
 * or a null table with a non-zero count, is ignored. */
void AIBinder_Class_setTransactionCodeToFunctionNameMap(AIBinder_Class* clazz,
                                                        const char** functionNames,
                                                        size_t functionCount);

/* The descriptor given at definition; null for a null class. */
const char* AIBinder_Class_getDescriptor(const AIBinder_Class* clazz);

/* The name of `code` from the name table, or null when the code has none. */
const char* AIBinder_Class_getFunctionName(const AIBinder_Class* clazz, transaction_code_t code);

/* The number of entries of the name table (0 when none was given). */
size_t AIBinder_Class_getFunctionNameCount(const AIBinder_Class* clazz);

/*
 * A new local binder of `clazz` with one strong reference owned by the
 * caller. onCreate(args) runs inside this call and gives the user data.
 * Null when `clazz` is null or memory runs out (onCreate does not run then).
 */
AIBinder* AIBinder_new(const AIBinder_Class* clazz, void* args);

/* Marks a local binder as a stable vendor interface. Ignored for null and
 * remote binders. */
void AIBinder_markVintfStability(AIBinder* binder);

/* Whether the binder carries the stable vendor-interface mark. */
bool AIBinder_isVintfStable(const AIBinder* binder);

/* Whether the binder stands for an object of another process. False for null. */
bool AIBinder_isRemote(const AIBinder* binder);

/* Whether the object behind the binder can still be reached. Local binders
 * are always alive; false for null. */
bool AIBinder_isAlive(const AIBinder* binder);

/*
 * Makes the binder serve as `clazz`. For a local binder this holds exactly
 * when the binder was made with `clazz` (another class with the same
 * descriptor does not count). A remote binder takes the first class whose
 * descriptor matches the remote object's and keeps it. False for null.
 */
bool AIBinder_associateClass(AIBinder* binder, const AIBinder_Class* clazz);

/* The class the binder serves as; null for null or a not yet associated
 * remote binder. */
const AIBinder_Class* AIBinder_getClass(AIBinder* binder);

/* The user data of a local binder; null for null and remote binders. */
void* AIBinder_getUserData(AIBinder* binder);

/* Adds one strong reference. Ignored for null. The binder must hold at least
 * one strong reference already (its owner's). */
void AIBinder_incStrong(AIBinder* binder);

/* Gives one strong reference back; the last one ends a local binder's
 * object (onDestroy). Ignored for null. */
void AIBinder_decStrong(AIBinder* binder);

/* The current strong count; -1 for null. For tests and diagnostics. */
int32_t AIBinder_debugGetRefCount(AIBinder* binder);

/*
 * Forwards a dump request to the object: the class's dump callback for a
 * local binder (STATUS_OK when it has none). For a remote binder the dump
 * runs in the object's own process and writes to a duplicate of `fd` sent
 * there; the call returns when the dump has finished. STATUS_UNEXPECTED_NULL
 * for a null binder, or null `args` with a non-zero `numArgs`;
 * STATUS_DEAD_OBJECT when the object's process is gone. `fd` stays owned by
 * the caller.
 */
binder_status_t AIBinder_dump(AIBinder* binder, int fd, const char** args, uint32_t numArgs);

/*
 * Runs the class's shell-command handler of the object on the descriptors
 * `in`, `out` and `err` with the arguments `args`, in the object's own
 * process (duplicates of the descriptors travel there). The handler's result
 * is returned; STATUS_INVALID_OPERATION when the class has none,
 * STATUS_UNEXPECTED_NULL for a null binder or null `args` with a non-zero
 * `numArgs`, STATUS_BAD_VALUE for a negative descriptor, STATUS_DEAD_OBJECT
 * when the object's process is gone. The descriptors stay owned by the
 * caller.
 */
binder_status_t AIBinder_shellCommand(AIBinder* binder, int in, int out, int err, const char** args,
                                      uint32_t numArgs);

/*
 * Whether the object's process answers: STATUS_OK for a local binder or a
 * live remote one, STATUS_DEAD_OBJECT once its process is gone,
 * STATUS_UNEXPECTED_NULL for null. Blocks for one round trip on a remote
 * binder.
 */
binder_status_t AIBinder_ping(AIBinder* binder);

/*
 * Inside a transaction that came from another process: the user id and
 * process id of the sending process, as the kernel reports them for the
 * connection (never as the peer claims). Elsewhere, including inside a
 * transaction made from this same process: this process's own.
 */
uid_t AIBinder_getCallingUid(void);
pid_t AIBinder_getCallingPid(void);

/*
 * Call deadlines (an extension of this runtime).
 *
 * Every two-way call the calling thread makes to another process from now on
 * gives up after `timeoutMs` milliseconds with STATUS_TIMED_OUT: the time
 * counts from the start of the call to its reply, nested calls served
 * meanwhile included. A request that has not left by then is withdrawn; a
 * reply that comes later is read and dropped, and the references either
 * carries are accounted for. A negative value restores the process default:
 * the environment variable BGS_CALL_TIMEOUT_MS when set to a number of
 * milliseconds, else no deadline. Calls within one process and one-way calls
 * are not bounded. Applies to the calling thread only; any thread may call.
 */
void AIBinder_setCallTimeoutMs(int32_t timeoutMs);
/* The deadline in force for the calling thread's calls, in milliseconds;
 * -1 for none. */
int32_t AIBinder_getCallTimeoutMs(void);
/* The calling thread's own setting: -1 when it follows the process default
 * (bgs/scoped_call_timeout.h restores it with this). */
int32_t AIBinder_getThreadCallTimeoutMs(void);

/*
 * Death notification. A recipient is a callback; it is linked to remote
 * binders with a cookie per link. When the process behind a linked binder
 * dies or its connection breaks, the callback runs once per link, with the
 * link's cookie, on a runtime thread that holds no runtime lock; the link is
 * then gone.
 */
typedef struct AIBinder_DeathRecipient AIBinder_DeathRecipient;
typedef void (*AIBinder_DeathRecipient_onBinderDied)(void* cookie);

/* A new recipient owned by the caller; null for a null callback or when
 * memory runs out. */
AIBinder_DeathRecipient* AIBinder_DeathRecipient_new(AIBinder_DeathRecipient_onBinderDied onBinderDied);

/* Unlinks the recipient from every binder and releases it. A callback that
 * is running at that moment finishes first. Accepts null. */
void AIBinder_DeathRecipient_delete(AIBinder_DeathRecipient* recipient);

/*
 * Links `recipient` to `binder` with `cookie`. STATUS_OK, or:
 * STATUS_UNEXPECTED_NULL (null binder or recipient), STATUS_INVALID_OPERATION
 * (a local binder: it cannot die apart from this process), STATUS_DEAD_OBJECT
 * (the binder is already dead; the callback does not run), STATUS_NO_MEMORY.
 * The same recipient and cookie may be linked more than once; each link
 * fires.
 */
binder_status_t AIBinder_linkToDeath(AIBinder* binder, AIBinder_DeathRecipient* recipient, void* cookie);

/*
 * Removes one link of `recipient` with `cookie` from `binder`. STATUS_OK, or
 * STATUS_UNEXPECTED_NULL, STATUS_INVALID_OPERATION (a local binder),
 * STATUS_NAME_NOT_FOUND (no such link, including one that already fired).
 */
binder_status_t AIBinder_unlinkToDeath(AIBinder* binder, AIBinder_DeathRecipient* recipient, void* cookie);

/*
 * Starts a transaction: *in receives a new owned parcel that holds the
 * interface header of the binder's class, positioned after it.
 * Fails with STATUS_UNEXPECTED_NULL for a null binder or `in`, with
 * STATUS_INVALID_OPERATION when the binder has no class associated (a
 * remote binder before AIBinder_associateClass), STATUS_NO_MEMORY when
 * memory runs out. On failure *in is not changed.
 */
binder_status_t AIBinder_prepareTransaction(AIBinder* binder, AParcel** in);

/*
 * Sends a transaction and waits for its reply.
 *
 * Requires *in to come from AIBinder_prepareTransaction on this binder, and
 * the caller to hold a reference to `binder` until the call returns (neither
 * the prepared parcel nor an in-process call keeps the binder alive).
 * Always takes the request: on every path with a non-null `in` it deletes
 * *in and sets it to null. On success *out receives an owned reply
 * parcel positioned at 0; on failure *out is set to null.
 *
 * The runtime checks the request's interface header before the object sees
 * it: a header naming another descriptor fails with STATUS_BAD_TYPE and the
 * object is not called. Codes outside FIRST_CALL_TRANSACTION ..
 * LAST_CALL_TRANSACTION fail with STATUS_UNKNOWN_TRANSACTION.
 *
 * On a local binder the class's transaction function runs on the calling
 * thread; its non-zero result is returned and the reply is dropped.
 *
 * On a remote binder the request goes to the object's process and the call
 * blocks until the reply comes back; calls that the object's process makes
 * back into this one meanwhile run on this thread. The remote transaction
 * function's non-zero result is returned as it is. A request or reply of
 * more than 1 MiB of data fails with STATUS_FAILED_TRANSACTION (the request
 * is then not sent); STATUS_DEAD_OBJECT when the object's process is gone or
 * its connection broke, during the call or before it. A one-way call returns
 * once the request is sent.
 *
 * `flags` is 0 or FLAG_ONEWAY. A one-way call on a local binder runs the
 * transaction function synchronously as well, but its reply and result are
 * dropped: *out is set to null and the call returns STATUS_OK, unless a check
 * above fails first (the interface header check included).
 *
 * Other failures: STATUS_UNEXPECTED_NULL (null binder, in, *in or out),
 * STATUS_BAD_VALUE (unknown flags, a request prepared for another binder),
 * STATUS_DEAD_OBJECT (the object is gone).
 */
binder_status_t AIBinder_transact(AIBinder* binder, transaction_code_t code, AParcel** in,
                                  AParcel** out, binder_flags_t flags);

/* A weak reference to the binder; null for a null binder. Owned by the
 * caller, released with AIBinder_Weak_delete. */
AIBinder_Weak* AIBinder_Weak_new(AIBinder* binder);

/* Releases a weak reference. Accepts null. */
void AIBinder_Weak_delete(AIBinder_Weak* weakBinder);

/* An owned strong reference to the binder while any strong reference to it
 * exists, else null. Null for null. */
AIBinder* AIBinder_Weak_promote(AIBinder_Weak* weakBinder);

#ifdef __cplusplus
}
#endif

#endif /* BINDER_NDK_BINDER_IBINDER_H */
