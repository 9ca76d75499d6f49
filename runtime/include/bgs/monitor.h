/*
 * Watching a process's transactions as they happen (C).
 *
 * Every process that talks to another through the runtime listens on an
 * abstract Unix socket. A process of the same effective user may attach to
 * it as a monitor: from then on the watched process sends it one record per
 * transaction it makes ("out") or serves ("in"), runtime requests included
 * (ping, dump, shell command, service lookups, interface queries). Calls
 * between objects of one process are not recorded.
 *
 * The watched process never waits for a monitor: records wait in a queue of
 * BGS_MONITOR_QUEUE_RECORDS per monitor, and when it is full further records
 * are dropped and counted; a BGS_MONITOR_LOST record tells the count once
 * there is room again. At most BGS_MONITOR_MAX monitors attach to one
 * process at a time. docs/runtime.md ("Watching a process") has the whole
 * story, docs/wire-format.md the bytes.
 *
 *   pid_t pid = 0;
 *   int fd = BgsMonitor_connect("my.service/default", 0, 1000, &pid);
 *   if (fd < 0) ... fd is a BGS_MONITOR_* error ...
 *   // read(fd, ...) returns whole packets of BgsMonitorRecord; 0 when the
 *   // watched process has ended (or detached the monitor).
 */
#ifndef BGS_MONITOR_H
#define BGS_MONITOR_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Monitors one process accepts at a time. */
#define BGS_MONITOR_MAX 4
/* Records waiting for one monitor before further ones are dropped. */
#define BGS_MONITOR_QUEUE_RECORDS 256
/* Records in one packet at most. */
#define BGS_MONITOR_RECORDS_PER_PACKET 16

/* "BGM1": the first word of every record. */
#define BGS_MONITOR_RECORD_MAGIC 0x314d4742u

/* BgsMonitorRecord.kind */
#define BGS_MONITOR_TRANSACTION 1u /* one transaction, finished */
#define BGS_MONITOR_LOST 2u        /* `lost` records were dropped since the last such record */

/* BgsMonitorRecord.flags */
#define BGS_MONITOR_INCOMING 0x1u /* served by the watched process; else made by it */
#define BGS_MONITOR_ONEWAY 0x2u   /* a one-way call: no reply, latency is the time to send or serve */

#define BGS_MONITOR_INTERFACE_BYTES 152
#define BGS_MONITOR_METHOD_BYTES 48

/*
 * One record, 256 bytes, little-endian, no padding. The two names are
 * bytes up to the first zero byte or the end of their field, whichever
 * comes first: a reader must not rely on a terminator. The interface is the
 * target's descriptor ("(process)" for requests to the process itself),
 * cut to fit; the method is the name from the class's table, a runtime
 * request's name (ping, dump, shellCommand, getService, getInterfaceVersion,
 * getInterfaceHash), or empty when unknown.
 */
typedef struct BgsMonitorRecord {
    uint32_t magic;        /* BGS_MONITOR_RECORD_MAGIC */
    uint32_t kind;         /* BGS_MONITOR_TRANSACTION or BGS_MONITOR_LOST */
    uint32_t flags;        /* BGS_MONITOR_INCOMING, BGS_MONITOR_ONEWAY */
    int32_t peerPid;       /* the other process */
    int64_t timeNs;        /* when the transaction started: CLOCK_REALTIME, ns since the epoch */
    uint64_t latencyNs;    /* from its start to its end as the watched process saw them */
    uint32_t code;         /* the transaction code */
    int32_t status;        /* its binder_status_t */
    uint32_t requestBytes; /* parcel data of the request */
    uint32_t replyBytes;   /* parcel data of the reply (0 for none) */
    uint64_t lost;         /* BGS_MONITOR_LOST: how many records were dropped */
    char interfaceName[BGS_MONITOR_INTERFACE_BYTES];
    char method[BGS_MONITOR_METHOD_BYTES];
} BgsMonitorRecord;

/* What BgsMonitor_connect returns when it attaches no monitor. */
#define BGS_MONITOR_BAD_ARGUMENT (-1)  /* neither or both of name and pid, a malformed name, a null out-pointer */
#define BGS_MONITOR_NOT_SERVED (-2)    /* the name has no live entry in the registry (within waitMs) */
#define BGS_MONITOR_NO_LISTENER (-3)   /* no process `pid` listens: it does not exist, does not use the
                                          runtime, or has not talked to another process yet */
#define BGS_MONITOR_UNREACHABLE (-4)   /* connecting or the handshake failed, or the listener is not the
                                          expected process and user */
#define BGS_MONITOR_BUSY (-5)          /* BGS_MONITOR_MAX monitors are attached already */
#define BGS_MONITOR_NOT_PERMITTED (-6) /* the process refuses monitors of this user */
#define BGS_MONITOR_TIMED_OUT (-7)     /* the process did not complete the handshake by its deadline
                                          (stopped or overloaded) */

/*
 * Attaches a monitor to the process that serves `serviceName` (looked up in
 * this process's registry directory, waiting up to `waitMs` ms for it; 0
 * looks once, a negative value waits without end), or to process `pid`
 * (found by its listener's abstract address in /proc/net/unix). Exactly one
 * of serviceName (non-null) and pid (> 0) is given.
 *
 * Connecting and the handshake end by the calling thread's call deadline
 * (AIBinder_setCallTimeoutMs, bgs::ScopedCallTimeout, BGS_CALL_TIMEOUT_MS),
 * or after 2 s when none is in force. The listener must belong to the process
 * named and to this process's effective user (both checked with
 * SO_PEERCRED).
 *
 * Returns a connected descriptor (close-on-exec, blocking), owned by the
 * caller, and stores the watched process's pid in *watchedPid; or a negative
 * BGS_MONITOR_* code above, with *watchedPid set when it was known.
 * Any thread; uses none of the runtime's threads and starts none.
 */
int BgsMonitor_connect(const char* serviceName, pid_t pid, int32_t waitMs, pid_t* watchedPid);

#ifdef __cplusplus
}
#endif

#endif /* BGS_MONITOR_H */
