// What a session needs of its process, and nothing more: a way to run work
// on threads that may run user code, the event loop's watch on its
// descriptors, the process's own handle-0 object, the process-wide limits,
// and a way to report its death.
#ifndef BINDER_NDK_INTERNAL_HOST_H
#define BINDER_NDK_INTERNAL_HOST_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "../base/public_api.h"
#include "../wire/codec.h"

namespace binder_ndk::internal {

class Session;
struct Link;

// A unit of work for a pool thread. The common kinds (serve a frame of a
// session) are a function pointer and owned operands, so that queueing one
// allocates nothing; anything else is `work`.
struct Task {
    using Fn = void (*)(Task& task) noexcept;
    Fn run = nullptr;
    std::shared_ptr<Session> session;
    FramePtr frame;
    std::shared_ptr<Link> link;
    int64_t arg = 0;
    std::function<void()> work;  // when run is null
};

// Called on the event loop's thread when a watched descriptor is ready.
// Never blocks and never runs user code.
class IoWatcher {
  public:
    virtual ~IoWatcher() = default;
    virtual void onReady(uint64_t watchId, uint32_t events) noexcept = 0;
};

// The process-wide limits a session answers to (docs/runtime.md).
struct Limits {
    size_t queuedBytes;       // frames read and not yet handled, and frames waiting to be sent
    size_t queuedFds;          // descriptors held in those frames
    uint32_t nestingDepth;     // incoming calls one thread serves inside each other
    std::atomic<uint32_t> threadShare{1};  // pool threads one peer's calls may occupy at once
    uint64_t stallNs;          // a peer that does not read what is due to it for this long is cut off
    uint64_t helloNs;          // a connection that does not introduce itself within this is closed
    uint64_t stickyNs;         // a pool thread that served a channel waits this long for its next call
};

class SessionHost {
  public:
    virtual ~SessionHost() = default;
    // Runs `task` on a pool thread, in the order posted. False when it
    // could not be queued (out of memory).
    virtual bool post(Task&& task) noexcept = 0;
    // Queues `task` (a one-way call) on `target`'s queue: the calls of one
    // object run one at a time, in the order queued, whichever peer sent
    // them. The queue holds a reference to `target` while it has calls.
    virtual void queueOneway(AIBinder* target, Task&& task) noexcept = 0;
    // Takes the queued one-way calls of `session` (it ended) out of their
    // queues, into *dropped, without running them.
    virtual void dropOneway(const Session* session, std::vector<Task>* dropped) noexcept = 0;
    // Whether pool threads are idle or may still be started: a thread that
    // finds none should go back to the pool rather than linger.
    virtual bool poolHasRoom() const noexcept = 0;
    // The event loop watches `fd` for `events` (EPOLLIN, EPOLLOUT; 0 for
    // none) and tells `watcher`. Returns a watch id, 0 on failure.
    virtual uint64_t watch(int fd, uint32_t events, std::weak_ptr<IoWatcher> watcher) noexcept = 0;
    virtual void rewatch(uint64_t id, int fd, uint32_t events) noexcept = 0;
    virtual void unwatch(uint64_t id, int fd) noexcept = 0;
    // The session ended; called once, without the session's lock.
    virtual void sessionDied(Session& session) noexcept = 0;
    // An owned reference to the binder this process serves under `name`,
    // or null.
    virtual AIBinder* findService(const char* name) noexcept = 0;
    virtual const Limits& limits() const noexcept = 0;
    // The process-wide account of queued bytes and descriptors. charge
    // returns false when the process is over its limit; the caller then
    // decides who pays (see Session).
    virtual bool charge(size_t bytes, size_t fds) noexcept = 0;
    virtual void discharge(size_t bytes, size_t fds) noexcept = 0;
    // Whether the calling thread is the event loop's.
    virtual bool onLoopThread() const noexcept = 0;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_HOST_H
