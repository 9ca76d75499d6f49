// The threads that run user code: they serve calls, one-way queues, death
// callbacks and releases that may end objects. They start on demand, up to
// a maximum, and the ones beyond the first leave after a while idle.
#ifndef BINDER_NDK_INTERNAL_POOL_H
#define BINDER_NDK_INTERNAL_POOL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "../transport/host.h"

namespace binder_ndk::internal {

class Pool {
  public:
    explicit Pool(uint64_t epoch) noexcept : epoch_(epoch) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Threads the pool may start (at least 1). With `report`, the first
    // time work has to wait for a thread is said on stderr.
    void setMaxThreads(uint32_t count, bool report) noexcept;
    uint32_t maxThreads() const noexcept;
    // Queues `task`; a thread takes it at once if one is idle or may start.
    bool post(Task&& task) noexcept;
    bool hasRoom() const noexcept;
    // The calling thread serves tasks until the process ends; it does not
    // count against the maximum.
    void join() noexcept;
    // Threads running now, and idle among them (for tests and tracing).
    uint32_t threads() const noexcept;

  private:
    void run(bool joined) noexcept;
    void startThreadLocked() noexcept;

    const uint64_t epoch_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Task> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint32_t threads_ = 0;  // started by the pool
    uint32_t joined_ = 0;   // threads that joined
    uint32_t idle_ = 0;
    uint32_t max_ = 1;
    bool reportStarved_ = false;
    bool starvedReported_ = false;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_POOL_H
