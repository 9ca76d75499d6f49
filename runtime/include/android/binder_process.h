/*
 * The process's binder threads.
 *
 * Incoming transactions from other processes are served by the runtime's
 * threads. Once the process talks to another process, one runtime thread
 * serves incoming calls, watches its connections and delivers death notices;
 * ABinderProcess_startThreadPool grows this to a pool so that several calls
 * are served at once. A thread that waits for the reply of its own call
 * serves, itself, the calls that the other side makes back into this process
 * while handling that call (nested calls), whether or not a pool runs.
 */
#ifndef BINDER_NDK_BINDER_PROCESS_H
#define BINDER_NDK_BINDER_PROCESS_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Sets how many threads ABinderProcess_startThreadPool starts (at least 1;
 * 4 when never set). True on success; false once the pool has started or
 * for 0.
 */
bool ABinderProcess_setThreadPoolMaxThreadCount(uint32_t numThreads);

/* Starts the pool. Later calls do nothing. */
void ABinderProcess_startThreadPool(void);

/* The calling thread joins the pool: it serves transactions and never
 * returns. */
void ABinderProcess_joinThreadPool(void);

/*
 * Lets processes running as `uid` connect to this process (processes of this
 * process's own user id always may). Connections from other users are
 * refused unless allowed here; allowing takes effect for connections made
 * after the call. Always succeeds.
 */
void ABinderProcess_allowPeerUid(uid_t uid);

#ifdef __cplusplus
}
#endif

#endif /* BINDER_NDK_BINDER_PROCESS_H */
