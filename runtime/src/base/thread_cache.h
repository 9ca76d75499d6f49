// A few spare objects per thread, kept for reuse instead of being freed.
#ifndef BINDER_NDK_INTERNAL_THREAD_CACHE_H
#define BINDER_NDK_INTERNAL_THREAD_CACHE_H

#include <cstdint>

namespace binder_ndk::internal {

// Plain data, meant to live in zero-initialised thread-local storage with no
// constructor or destructor of its own: an object given back while the
// thread's other thread-local objects are being destroyed still finds it.
// The owner arms a thread-exit closer with the first object it keeps; the
// closer calls close(), which deletes what is kept and turns keeping off.
// Objects may be taken on one thread and given back on another.
template <typename T, uint32_t kSlots>
struct ThreadCache {
    T* slots[kSlots];
    uint32_t count;
    bool closerArmed;
    bool closed;

    // A kept object, or null when there is none.
    T* take() noexcept { return count > 0 ? slots[--count] : nullptr; }
    // Whether give() may keep one more object (the closer must be armed).
    bool accepting() const noexcept { return closerArmed && !closed && count < kSlots; }
    void give(T* object) noexcept { slots[count++] = object; }
    // accepting(), after arming the closer on first use: `armCloser` must
    // construct the thread-exit closer (by touching its thread_local).
    bool admit(void (*armCloser)()) noexcept {
        if (!closerArmed) {
            closerArmed = true;
            armCloser();
        }
        return accepting();
    }
    void close() noexcept {
        closed = true;
        while (count > 0) delete slots[--count];
    }
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_THREAD_CACHE_H
