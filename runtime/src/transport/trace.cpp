// The transaction tap: BGS_TRACE and the monitors' queues.
#include "../base/public_api.h"

#include "trace.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "../base/clock.h"
#include "../base/fork.h"

namespace binder_ndk::internal {
namespace {

constexpr uint32_t kTraceBit = 1;
constexpr uint32_t kPerMonitor = 2;

bool traceRequested() noexcept {
    const char* value = std::getenv("BGS_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// The attached monitors. Made on first attach; a forked child starts
// without one and never touches its parent's (its lock may be held by a
// thread the child does not have).
struct Tap {
    std::mutex mutex;
    MonitorQueue* queues[BGS_MONITOR_MAX] = {};
};
std::atomic<Tap*> gTap{nullptr};

void resetAfterFork() {
    gTap.store(nullptr, std::memory_order_relaxed);
    gTapWatchers.store(traceRequested() ? kTraceBit : 0, std::memory_order_relaxed);
}

Tap& tap() noexcept {
    Tap* current = gTap.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    static const bool hooked = [] {
        onForkChild(resetAfterFork);
        return true;
    }();
    (void)hooked;
    // Never freed: a transaction thread may be reporting while the process
    // exits. Threads that race here agree on one.
    Tap* made = new (std::nothrow) Tap;
    if (made == nullptr) std::abort();
    if (!gTap.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
        delete made;
        return *current;
    }
    return *made;
}

// Copies `text` into a field of `size` bytes, zero-padded; a longer text is
// cut.
void copyName(char* field, size_t size, const char* text) noexcept {
    std::memset(field, 0, size);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, size - 1));
}

int64_t realtimeNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint32_t clamp32(size_t value) noexcept { return static_cast<uint32_t>(std::min<size_t>(value, UINT32_MAX)); }

}  // namespace

std::atomic<uint32_t> gTapWatchers{traceRequested() ? kTraceBit : 0};

const char* runtimeRequestName(uint32_t code) noexcept {
    switch (code) {
        case wire::kPingTransaction:
            return "ping";
        case wire::kDumpTransaction:
            return "dump";
        case wire::kShellTransaction:
            return "shellCommand";
        case wire::kGetServiceTransaction:
            return "getService";
        // Every interface answers these two queries.
        case 0x00ffffffu:
            return "getInterfaceVersion";
        case 0x00fffffeu:
            return "getInterfaceHash";
        default:
            return nullptr;
    }
}

void tapTransaction(const TapEvent& event) noexcept {
    const uint64_t latencyNs = monotonicNs() - event.startNs;
    const char* method = event.clazz != nullptr ? AIBinder_Class_getFunctionName(event.clazz, event.code) : nullptr;
    if (method == nullptr) method = runtimeRequestName(event.code);
    const uint32_t watchers = gTapWatchers.load(std::memory_order_relaxed);
    if ((watchers & kTraceBit) != 0) {
        std::fprintf(stderr, "bgs-trace %s pid=%d %s code=%u(%s) request=%zu reply=%zu status=%d (%s) %.1fus%s\n",
                     event.incoming ? "in" : "out", static_cast<int>(event.peer), event.descriptor, event.code,
                     method != nullptr ? method : "?", event.requestBytes, event.replyBytes,
                     static_cast<int>(event.status), AStatus_codeName(event.status),
                     static_cast<double>(latencyNs) / 1000.0, event.oneway ? " oneway" : "");
    }
    if (watchers < kPerMonitor) return;
    BgsMonitorRecord record;
    record.magic = BGS_MONITOR_RECORD_MAGIC;
    record.kind = BGS_MONITOR_TRANSACTION;
    record.flags = (event.incoming ? BGS_MONITOR_INCOMING : 0u) | (event.oneway ? BGS_MONITOR_ONEWAY : 0u);
    record.peerPid = static_cast<int32_t>(event.peer);
    record.timeNs = realtimeNs() - static_cast<int64_t>(latencyNs);
    record.latencyNs = latencyNs;
    record.code = event.code;
    record.status = event.status;
    record.requestBytes = clamp32(event.requestBytes);
    record.replyBytes = clamp32(event.replyBytes);
    record.lost = 0;
    copyName(record.interfaceName, sizeof record.interfaceName, event.descriptor);
    copyName(record.method, sizeof record.method, method);
    Tap& state = tap();
    const std::lock_guard<std::mutex> guard(state.mutex);
    for (MonitorQueue* queue : state.queues) {
        if (queue != nullptr) queue->push(record);
    }
}

// ---- Monitor queues ----

void MonitorQueue::push(const BgsMonitorRecord& record) noexcept {
    if (count_ == BGS_MONITOR_QUEUE_RECORDS) {
        ++lost_;
        return;
    }
    if (count_ == 0 && lost_ == 0 && trySend(record)) return;
    ring_[(head_ + count_) % BGS_MONITOR_QUEUE_RECORDS] = record;
    if (count_++ == 0) setPending(true);
}

size_t MonitorQueue::peek(BgsMonitorRecord* out, size_t max) noexcept {
    const std::lock_guard<std::mutex> guard(tap().mutex);
    const size_t n = std::min(max, count_);
    for (size_t i = 0; i < n; ++i) out[i] = ring_[(head_ + i) % BGS_MONITOR_QUEUE_RECORDS];
    return n;
}

void MonitorQueue::consume(size_t count) noexcept {
    const std::lock_guard<std::mutex> guard(tap().mutex);
    count = std::min(count, count_);
    head_ = (head_ + count) % BGS_MONITOR_QUEUE_RECORDS;
    count_ -= count;
    // Records lost while the queue was full are told after those queued
    // before the loss and before any queued after it.
    if (lost_ != 0 && count_ < BGS_MONITOR_QUEUE_RECORDS) {
        BgsMonitorRecord lost{};
        lost.magic = BGS_MONITOR_RECORD_MAGIC;
        lost.kind = BGS_MONITOR_LOST;
        lost.timeNs = realtimeNs();
        lost.lost = lost_;
        lost_ = 0;
        push(lost);
    }
    if (count_ == 0) setPending(false);
}

bool tapAttach(MonitorQueue* queue) noexcept {
    Tap& state = tap();
    const std::lock_guard<std::mutex> guard(state.mutex);
    for (MonitorQueue*& slot : state.queues) {
        if (slot != nullptr) continue;
        slot = queue;
        gTapWatchers.fetch_add(kPerMonitor, std::memory_order_relaxed);
        return true;
    }
    return false;
}

void tapDetach(MonitorQueue* queue) noexcept {
    Tap& state = tap();
    const std::lock_guard<std::mutex> guard(state.mutex);
    for (MonitorQueue*& slot : state.queues) {
        if (slot != queue) continue;
        slot = nullptr;
        gTapWatchers.fetch_sub(kPerMonitor, std::memory_order_relaxed);
    }
}

}  // namespace binder_ndk::internal
