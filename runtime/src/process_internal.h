// The process side of the runtime as sessions see it: per-thread transaction
// state, the runtime's threads and work queue, the fork epoch, tracing.
#ifndef BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H
#define BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H

#include "public_api.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace binder_ndk::internal {

class Session;

// A transaction from another process that this thread is serving.
struct IncomingCall {
    const Session* session;
    int channel;            // the channel it came on, or -1 for the primary socket
    uint64_t remoteThread;  // the peer thread waiting for it
    pid_t pid;
    uid_t uid;
};

// What each thread carries: a token naming it to peers, the number of its
// last call, and the chain of incoming calls it is serving (innermost last).
struct ThreadState {
    uint64_t token = 0;
    uint32_t nextSeq = 0;
    bool runtimeThread = false;
    std::vector<IncomingCall> calls;
};
ThreadState& threadState() noexcept;

// Bumped in the child of every fork(); a session of an older epoch is dead
// and is never touched again (its locks may have been held by a thread that
// the child does not have).
uint64_t currentEpoch() noexcept;

// Runs `work` on a runtime thread (starting one if none runs).
void postWork(std::function<void()> work) noexcept;
// Runs the one-way transactions of `target` one at a time, in the order
// posted, on runtime threads.
void postOneway(AIBinder* target, std::function<void()> work) noexcept;
// The session is dead: it gets no more events and no new calls.
void forgetSession(uint64_t id) noexcept;
// An owned reference to the binder this process serves under `name`, or null.
AIBinder* findLocalService(const char* name) noexcept;

// Descriptors the runtime opened; closed in the child after fork() so that a
// child never keeps its parent's connections or registry entries alive.
void trackFd(int fd) noexcept;
void untrackFd(int fd) noexcept;

uint64_t monotonicNs() noexcept;
bool traceEnabled() noexcept;
// One line per transaction on stderr (BGS_TRACE=1).
void traceTransaction(const char* direction, pid_t peer, const char* descriptor,
                      const AIBinder_Class* clazz, uint32_t code, size_t requestSize,
                      size_t replySize, binder_status_t status, uint64_t startNs) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_PROCESS_INTERNAL_H
