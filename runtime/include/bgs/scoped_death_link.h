/*
 * A death notice for a scope (C++17).
 *
 *   bgs::ScopedDeathLink watch(binder.get(), [&] { wakeMainThread(); });
 *   if (!watch) { ... watch.status() says why: not linked ... }
 *   ...
 *   // leaving the scope unlinks; a notice running on another thread
 *   // finishes first
 *
 * Links a callable to the death of a remote binder (AIBinder_linkToDeath
 * with a recipient of its own) for as long as the handle lives. The
 * contract is the runtime's:
 *
 *   - The callable runs at most once, when the process behind the binder
 *     dies or its connection breaks, on a runtime thread that holds no
 *     runtime lock. It must not block for long: other notices and calls may
 *     wait behind it.
 *   - Linking fails, and the callable never runs, for a local binder
 *     (STATUS_INVALID_OPERATION: it cannot die apart from this process), a
 *     binder already dead (STATUS_DEAD_OBJECT: check AIBinder_isAlive or
 *     treat that status as the death itself), a null binder
 *     (STATUS_UNEXPECTED_NULL) and when memory runs out (STATUS_NO_MEMORY).
 *   - Destruction, move-assignment over a linked handle and reset() unlink.
 *     When the callable is running on another thread at that moment, they
 *     wait for it to return; after them it never runs again, so it may use
 *     whatever the owner destroys next. So never end a handle while
 *     holding a lock its callable takes: move it out and let it end after
 *     the lock is released. They may also run inside the callable itself
 *     (the callable is then freed when it returns).
 *   - The link holds only a weak reference on the binder: the handle does
 *     not keep the remote object alive. Keep a strong reference (an
 *     ndk::SpAIBinder) as long as you call it.
 *
 * The handle is move-only; a moved-from handle is unlinked. One handle may
 * be used from one thread at a time; the callable may run concurrently with
 * any thread's use of other objects.
 */
#ifndef BGS_SCOPED_DEATH_LINK_H
#define BGS_SCOPED_DEATH_LINK_H

#include <android/binder_ibinder.h>
#include <android/binder_status.h>

#include <functional>
#include <new>
#include <utility>

namespace bgs {

class ScopedDeathLink {
  public:
    // Unlinked: status() is STATUS_INVALID_OPERATION.
    ScopedDeathLink() noexcept = default;

    // Links `onDied` to the death of `binder`. On failure the handle is
    // unlinked, status() says why, and `onDied` is dropped without running.
    ScopedDeathLink(AIBinder* binder, std::function<void()> onDied) noexcept {
        if (binder == nullptr || !onDied) {
            status_ = STATUS_UNEXPECTED_NULL;
            return;
        }
        state_ = new (std::nothrow) State;
        recipient_ = AIBinder_DeathRecipient_new(&ScopedDeathLink::fire);
        if (state_ == nullptr || recipient_ == nullptr) {
            status_ = STATUS_NO_MEMORY;
            reset();
            return;
        }
        state_->onDied = std::move(onDied);
        status_ = AIBinder_linkToDeath(binder, recipient_, state_);
        if (status_ != STATUS_OK) {
            const binder_status_t why = status_;
            reset();
            status_ = why;
        }
    }

    ~ScopedDeathLink() { reset(); }

    ScopedDeathLink(ScopedDeathLink&& other) noexcept
        : recipient_(std::exchange(other.recipient_, nullptr)),
          state_(std::exchange(other.state_, nullptr)),
          status_(std::exchange(other.status_, STATUS_INVALID_OPERATION)) {}

    ScopedDeathLink& operator=(ScopedDeathLink&& other) noexcept {
        if (this != &other) {
            reset();
            recipient_ = std::exchange(other.recipient_, nullptr);
            state_ = std::exchange(other.state_, nullptr);
            status_ = std::exchange(other.status_, STATUS_INVALID_OPERATION);
        }
        return *this;
    }

    ScopedDeathLink(const ScopedDeathLink&) = delete;
    ScopedDeathLink& operator=(const ScopedDeathLink&) = delete;

    // Unlinks (waiting for a callable running on another thread) and leaves
    // the handle unlinked.
    void reset() noexcept {
        // Deleting the recipient unlinks it and waits for a notice running on
        // another thread; a notice running on this thread goes on.
        AIBinder_DeathRecipient_delete(recipient_);
        recipient_ = nullptr;
        if (state_ != nullptr) {
            if (state_->running) {
                state_->orphaned = true;  // freed by fire() when the callable returns
            } else {
                delete state_;
            }
            state_ = nullptr;
        }
        status_ = STATUS_INVALID_OPERATION;
    }

    // STATUS_OK while linked (even after the notice ran); else why not.
    binder_status_t status() const noexcept { return status_; }
    explicit operator bool() const noexcept { return status_ == STATUS_OK; }

  private:
    // What the recipient's cookie points to. `running` and `orphaned` are
    // touched only by the thread running the callable and by reset(), which
    // the runtime orders after the callable when they are different threads.
    struct State {
        std::function<void()> onDied;
        bool running = false;
        bool orphaned = false;
    };

    static void fire(void* cookie) {
        auto* state = static_cast<State*>(cookie);
        state->running = true;
        state->onDied();
        state->running = false;
        if (state->orphaned) {
            delete state;
        }
    }

    AIBinder_DeathRecipient* recipient_ = nullptr;
    State* state_ = nullptr;
    binder_status_t status_ = STATUS_INVALID_OPERATION;
};

}  // namespace bgs

#endif  // BGS_SCOPED_DEATH_LINK_H
