// The process's event loop.
#include "../base/public_api.h"

#include "event_loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "../base/clock.h"
#include "process_internal.h"

namespace binder_ndk::internal {

bool EventLoop::start() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (epollFd_ >= 0) return true;
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return false;
    trackFd(epollFd);
    epollFd_ = epollFd;
    try {
        std::thread([this] { run(); }).detach();
    } catch (...) {
        untrackFd(epollFd);
        ::close(epollFd);
        epollFd_ = -1;
        return false;
    }
    return true;
}

uint64_t EventLoop::watch(int fd, uint32_t events, std::weak_ptr<IoWatcher> watcher) noexcept {
    if (!start()) return 0;
    uint64_t id;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        id = nextId_++;
        try {
            watchers_.emplace(id, std::move(watcher));
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const std::lock_guard<std::mutex> lock(mutex_);
        watchers_.erase(id);
        return 0;
    }
    return id;
}

void EventLoop::rewatch(uint64_t id, int fd, uint32_t events) noexcept {
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::unwatch(uint64_t id, int fd) noexcept {
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    std::weak_ptr<IoWatcher> gone;  // released after the lock
    const std::lock_guard<std::mutex> lock(mutex_);
    auto it = watchers_.find(id);
    if (it == watchers_.end()) return;
    gone = std::move(it->second);
    watchers_.erase(it);
}

void EventLoop::setTicker(std::function<void(uint64_t)> tick, int periodMs) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    tick_ = std::move(tick);
    periodMs_ = periodMs;
}

void EventLoop::run() noexcept {
    threadId_.store(std::this_thread::get_id());
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    uint64_t nextTick = monotonicNs();
    for (;;) {
        if (epoch_ != currentEpoch()) return;
        int periodMs;
        std::function<void(uint64_t)> tick;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            periodMs = periodMs_;
            tick = tick_;
        }
        const uint64_t now = monotonicNs();
        if (now >= nextTick) {
            if (tick) tick(now);
            nextTick = now + static_cast<uint64_t>(periodMs) * kNsPerMs;
        }
        const int n = ::epoll_wait(epollFd_, events, kBatch, pollTimeoutMs(nextTick));
        for (int i = 0; i < n; ++i) {
            // epoll_event is packed: copy the fields out before use.
            const uint64_t id = events[i].data.u64;
            const uint32_t ready = events[i].events;
            std::shared_ptr<IoWatcher> watcher;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                auto it = watchers_.find(id);
                if (it == watchers_.end()) continue;
                watcher = it->second.lock();
            }
            if (watcher != nullptr) watcher->onReady(id, ready);
        }
    }
}

}  // namespace binder_ndk::internal
