// The pool of threads that run user code.
#include "../base/public_api.h"

#include "pool.h"

#include <cstdio>
#include <new>
#include <thread>
#include <utility>

#include "../transport/thread_state.h"
#include "process_internal.h"

namespace binder_ndk::internal {
namespace {

// A thread beyond the first leaves after this long without work.
constexpr auto kIdleExit = std::chrono::seconds(2);

}  // namespace

void Pool::setMaxThreads(uint32_t count, bool report) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    max_ = count == 0 ? 1 : count;
    reportStarved_ = report;
}

uint32_t Pool::maxThreads() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return max_;
}

uint32_t Pool::threads() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return threads_ + joined_;
}

bool Pool::hasRoom() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return idle_ > count_ || threads_ < max_;
}

bool Pool::post(Task&& task) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == ring_.size()) {
        // Grow the ring, keeping the order.
        try {
            std::vector<Task> grown(ring_.empty() ? 16 : ring_.size() * 2);
            for (size_t i = 0; i < count_; ++i) grown[i] = std::move(ring_[(head_ + i) % ring_.size()]);
            ring_.swap(grown);
            head_ = 0;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    ring_[(head_ + count_) % ring_.size()] = std::move(task);
    ++count_;
    if (count_ <= idle_) {
        wake_.notify_one();
    } else if (threads_ < max_) {
        startThreadLocked();
    } else if (reportStarved_ && !starvedReported_) {
        starvedReported_ = true;
        std::fprintf(stderr,
                     "bgs: all %u runtime threads are busy and work is waiting; a larger pool "
                     "(ABinderProcess_setThreadPoolMaxThreadCount) would serve it sooner\n",
                     threads_ + joined_);
    }
    return true;
}

void Pool::startThreadLocked() noexcept {
    try {
        std::thread([this] { run(false); }).detach();
        ++threads_;
    } catch (...) {
        // The queued task waits for a running thread.
    }
}

void Pool::join() noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++joined_;
    }
    run(true);
}

void Pool::run(bool joined) noexcept {
    threadState().poolThread = true;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (count_ == 0) {
            if (epoch_ != currentEpoch()) return;
            ++idle_;
            const bool woken = wake_.wait_for(lock, kIdleExit) == std::cv_status::no_timeout;
            --idle_;
            if (!woken && count_ == 0 && !joined && threads_ > 1) {
                --threads_;
                return;
            }
        }
        Task task = std::move(ring_[head_]);
        head_ = (head_ + 1) % ring_.size();
        --count_;
        lock.unlock();
        if (task.run != nullptr) {
            task.run(task);
        } else if (task.work) {
            task.work();
        }
        task = Task();
        lock.lock();
    }
}

}  // namespace binder_ndk::internal
