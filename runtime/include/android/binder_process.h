/*
 * The process's binder threads.
 *
 * Incoming transactions from other processes are served by the runtime's
 * pool threads. Once the process talks to another process, an event loop
 * thread watches its connections (it never runs user code), and one pool
 * thread serves incoming calls and delivers death notices;
 * ABinderProcess_startThreadPool lets the pool grow on demand, up to its
 * maximum, so that several calls are served at once. Pool threads beyond the
 * first leave after two idle seconds. A thread that waits for the reply of
 * its own call serves, itself, the calls that the other side makes back into
 * this process while handling that call (nested calls), whether or not a
 * pool runs.
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
 * Sets how many threads the pool may grow to once started (at least 1; 15
 * when never set). One peer's calls occupy at most half of them, and at most
 * half wait for one peer's answers. True on success; false once the pool
 * has started or for 0.
 */
bool ABinderProcess_setThreadPoolMaxThreadCount(uint32_t numThreads);

/* Starts the pool: from now on it grows on demand up to its maximum. Work
 * that has to wait for a thread is said once on stderr. Later calls do
 * nothing. */
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
