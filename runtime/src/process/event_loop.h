// The event loop: one thread that owns the process's epoll set. It accepts
// connections, reads every frame that no caller is waiting for, drains
// outboxes, and checks deadlines. It never runs user code and never blocks
// on a peer: every descriptor it reads or writes is non-blocking.
#ifndef BINDER_NDK_INTERNAL_EVENT_LOOP_H
#define BINDER_NDK_INTERNAL_EVENT_LOOP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "../transport/host.h"

namespace binder_ndk::internal {

class EventLoop {
  public:
    explicit EventLoop(uint64_t epoch) noexcept : epoch_(epoch) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Creates the epoll set and starts the thread, once; false on failure.
    bool start() noexcept;
    uint64_t watch(int fd, uint32_t events, std::weak_ptr<IoWatcher> watcher) noexcept;
    void rewatch(uint64_t id, int fd, uint32_t events) noexcept;
    void unwatch(uint64_t id, int fd) noexcept;
    // `tick` runs on the loop thread about every `periodMs` (deadlines).
    void setTicker(std::function<void(uint64_t nowNs)> tick, int periodMs) noexcept;
    bool onLoopThread() const noexcept { return std::this_thread::get_id() == threadId_.load(); }

  private:
    void run() noexcept;

    const uint64_t epoch_;
    std::mutex mutex_;
    int epollFd_ = -1;
    std::atomic<std::thread::id> threadId_{};
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, std::weak_ptr<IoWatcher>> watchers_;
    std::function<void(uint64_t)> tick_;
    int periodMs_ = 100;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_EVENT_LOOP_H
