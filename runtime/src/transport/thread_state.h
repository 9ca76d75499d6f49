// What each thread carries through the runtime: a token naming it to
// peers, the number of its last call, its call deadline, and the chain of
// incoming calls it is serving (innermost last).
#ifndef BINDER_NDK_INTERNAL_THREAD_STATE_H
#define BINDER_NDK_INTERNAL_THREAD_STATE_H

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace binder_ndk::internal {

class Session;
struct Link;

// A transaction from another process that this thread is serving.
struct IncomingCall {
    const Session* session;
    Link* channel;          // the channel it came on, or null for the primary link
    uint64_t remoteThread;  // the peer thread waiting for it
    pid_t pid;
    uid_t uid;
};

struct ThreadState {
    uint64_t token = 0;
    uint32_t nextSeq = 0;
    bool poolThread = false;
    // The call deadline set on this thread, in ms; -1: the process default.
    int64_t callTimeoutMs = -1;
    std::vector<IncomingCall> calls;
    // Peers this thread waits on in two-way calls, outermost first (a
    // thread counts once against a peer's share of the pool however deep it
    // nests).
    std::vector<const Session*> waitingOn;
};
ThreadState& threadState() noexcept;

// The deadline of a call this thread starts now.
uint64_t callDeadline() noexcept;
// The process default in ms (BGS_CALL_TIMEOUT_MS), -1 for none.
int64_t defaultCallTimeoutMs() noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_THREAD_STATE_H
