#include "ClientQueue.h"

#include <bgs/scoped_call_timeout.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace bgs::examples {

// Shared by the queue object and its worker, so that a worker let go (see
// the destructor) still has it after the queue object is gone.
struct ClientQueue::State {
    State(std::shared_ptr<IEventCallback> cb, size_t cap, std::chrono::milliseconds t, FailureHandler handler)
        : capacity(cap), timeout(t), onFailure(std::move(handler)), callback(std::move(cb)) {}

    const size_t capacity;
    const std::chrono::milliseconds timeout;
    const FailureHandler onFailure;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<Event> events;  // guarded by mutex
    bool closed = false;       // guarded by mutex
    bool busy = false;         // a call is in flight; guarded by mutex
    bool finished = false;     // the worker has left; guarded by mutex
    // Read by the worker alone once it runs; it lets go of the client last.
    std::shared_ptr<IEventCallback> callback;
};

ClientQueue::ClientQueue(std::shared_ptr<IEventCallback> callback, size_t capacity,
                         std::chrono::milliseconds timeout, FailureHandler onFailure)
    : mState(std::make_shared<State>(std::move(callback), capacity == 0 ? 1 : capacity, timeout,
                                     std::move(onFailure))) {
    // Detached: the worker keeps its state alive itself, and a process that
    // leaves with _exit while a worker is still in a call leaves no
    // unjoined thread behind. Its end is awaited through `finished`.
    std::thread worker(run, mState);
    mWorkerId = worker.get_id();
    worker.detach();
}

ClientQueue::~ClientQueue() {
    close();
    if (mWorkerId == std::this_thread::get_id()) {
        // The last reference to the owner went with a call this worker made
        // (a client of this process may hold the service): the worker finds
        // the queue closed when that call returns and leaves on its own.
        return;
    }
    std::unique_lock<std::mutex> lock(mState->mutex);
    mState->changed.wait(lock, [this] { return mState->finished; });
}

ClientQueue::Posted ClientQueue::post(Event event) {
    std::lock_guard<std::mutex> lock(mState->mutex);
    if (mState->closed) {
        return Posted::kClosed;
    }
    if (mState->events.size() >= mState->capacity) {
        return Posted::kFull;
    }
    mState->events.push_back(std::move(event));
    mState->changed.notify_all();
    return Posted::kQueued;
}

void ClientQueue::close() {
    std::deque<Event> discarded;
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        mState->closed = true;
        discarded.swap(mState->events);
        mState->changed.notify_all();
    }
    // The events' captured records end here, outside the lock.
}

size_t ClientQueue::waiting() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->events.size();
}

bool ClientQueue::finished() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->finished;
}

bool ClientQueue::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->changed.wait_for(lock, timeout, [this] {
        return (mState->closed || mState->events.empty()) && !mState->busy;
    });
}

void ClientQueue::run(const std::shared_ptr<State>& state) {
    const bgs::ScopedCallTimeout deadline(state->timeout);
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return state->closed || !state->events.empty(); });
        if (state->closed) {
            break;
        }
        Event event = std::move(state->events.front());
        state->events.pop_front();
        state->busy = true;
        lock.unlock();

        const char* const method = event.method;
        std::string answer;  // the client's acknowledgement; nobody needs it
        const ::ndk::UniqueAStatus status = event.call(*state->callback, &answer);
        event = Event{};  // its records end outside the lock

        lock.lock();
        if (!status.isOk() && !state->closed) {
            lock.unlock();
            state->onFailure(method, status);
            lock.lock();
        }
        // Idle only now, so that a waiter sees the failure's consequences.
        state->busy = false;
        state->changed.notify_all();
    }
    std::shared_ptr<IEventCallback> client = std::move(state->callback);
    lock.unlock();
    // Letting go of the client may run its code, or end the owner (see the
    // destructor); either way nothing of the owner is touched after it.
    client.reset();
    lock.lock();
    state->finished = true;
    state->changed.notify_all();
}

}  // namespace bgs::examples
