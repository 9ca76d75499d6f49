/*
 * ClientQueue: the events due to one registered client callback, called in
 * order on a thread of their own.
 *
 * The service's callers only post events and return; the queue's worker
 * makes the calls, one at a time, under a call deadline. So a client that is
 * slow, stopped or hostile costs its own worker and nothing else: no binder
 * thread of the service, no caller of another client, waits for it.
 *
 *   post()   appends an event, or refuses it when the queue is full (the
 *            caller then drops the client) or closed. Never blocks on the
 *            client; safe under the caller's own locks.
 *   close()  discards the events not yet called. The call in flight, if
 *            any, ends by itself (for a client of another process, within
 *            the deadline) and the worker leaves after it. Never blocks.
 *   ~ClientQueue()  closes, then waits for the worker to leave: at most the
 *            call in flight, so never under a lock the worker may take.
 *            Destroyed on its own worker thread, it does not wait.
 *
 * A call that fails is reported to the failure handler on the worker thread,
 * unless the queue was closed meanwhile. The handler may call into the owner
 * (which may close this queue); the owner must keep what the handler uses
 * alive until the queue is destroyed.
 *
 * A callback in this process is the client's own object: its calls are
 * direct and no deadline can cut them short.
 */
#ifndef BGS_EXAMPLES_SERVICE_CLIENTQUEUE_H
#define BGS_EXAMPLES_SERVICE_CLIENTQUEUE_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace bgs::examples {

class ClientQueue {
  public:
    using IEventCallback = ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
    using Call = std::function<::ndk::UniqueAStatus(IEventCallback&, std::string* answer)>;
    // One call to make on the client; `method` names it in reports and
    // must outlive the queue (a string literal).
    struct Event {
        const char* method;
        Call call;
    };
    using FailureHandler = std::function<void(const char* method, const ::ndk::UniqueAStatus& status)>;

    enum class Posted { kQueued, kFull, kClosed };

    // Starts the worker. `capacity` (at least 1) bounds the events waiting,
    // the call in flight not counted; `timeout` is the deadline of each call
    // to another process. Throws std::system_error when no thread can be
    // started.
    ClientQueue(std::shared_ptr<IEventCallback> callback, size_t capacity,
                std::chrono::milliseconds timeout, FailureHandler onFailure);
    ~ClientQueue();
    ClientQueue(const ClientQueue&) = delete;
    ClientQueue& operator=(const ClientQueue&) = delete;

    Posted post(Event event);
    void close();
    // Events queued and not yet called (the one in flight not counted).
    size_t waiting() const;
    // Whether the worker has left; destroying the queue then does not wait.
    bool finished() const;
    // Waits until nothing is queued (or the queue is closed) and no call is
    // in flight, its failure report included; false when `timeout` passed
    // first.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

  private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    const std::shared_ptr<State> mState;
    std::thread::id mWorkerId;
};

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_SERVICE_CLIENTQUEUE_H
