// The transaction tap: the one place every transaction between processes
// is reported when it ends, on both sides, runtime requests included. It
// feeds BGS_TRACE=1 (a line on stderr) and the attached monitors (records
// in a bounded queue per monitor, which the event loop sends on).
//
// When neither is on, a transaction pays one relaxed atomic load (tapOn)
// and nothing else: no clock read, no lock, no allocation.
#ifndef BINDER_NDK_INTERNAL_TRACE_H
#define BINDER_NDK_INTERNAL_TRACE_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../base/public_api.h"
#include "../wire/format.h"

namespace binder_ndk::internal {

// Whether anyone watches transactions: BGS_TRACE=1 or an attached monitor.
// A transaction reads it once when it starts, and reports itself only if
// it was on then (it needs the start time).
extern std::atomic<uint32_t> gTapWatchers;
inline bool tapOn() noexcept { return gTapWatchers.load(std::memory_order_relaxed) != 0; }

// One finished transaction as this process saw it.
struct TapEvent {
    bool incoming;           // served here; else made here
    bool oneway;
    pid_t peer;
    const char* descriptor;  // the target's; "(process)" for handle 0
    const AIBinder_Class* clazz;  // for the method's name; may be null
    uint32_t code;
    size_t requestBytes;
    size_t replyBytes;
    binder_status_t status;
    uint64_t startNs;        // monotonicNs() when it started
};

// Reports `event` to BGS_TRACE and every attached monitor. Never blocks on
// a monitor; call it with no runtime lock held.
void tapTransaction(const TapEvent& event) noexcept;

// The queue of records for one monitor. A transaction's thread sends its
// record itself when nothing waits and the socket takes it at once (so
// that the last records of a process that ends right after them are not
// lost); else the record is queued, and the event loop sends it when the
// socket can take more. Both hold the tap's lock, which is never held
// across anything that waits.
class MonitorQueue {
  public:
    virtual ~MonitorQueue() = default;

    // Copies up to `max` waiting records, oldest first, into `out`; returns
    // how many. They stay queued until consumed.
    size_t peek(BgsMonitorRecord* out, size_t max) noexcept;
    // The first `count` records peeked were delivered. A loss is told here,
    // with a record of its own, as soon as there is room for it.
    void consume(size_t count) noexcept;

  protected:
    // Sends `record` at once if the monitor's socket takes it without
    // waiting; false leaves it to the queue. Called only when no record
    // waits, so that records keep their order; with the tap's lock held.
    virtual bool trySend(const BgsMonitorRecord& record) noexcept = 0;
    // Whether records wait: true when the queue gets its first record, false
    // when it is emptied. Called with the tap's lock held, so calls come in
    // the order of the changes; must not block or take another runtime lock.
    virtual void setPending(bool pending) noexcept = 0;

  private:
    friend void tapTransaction(const TapEvent& event) noexcept;
    void push(const BgsMonitorRecord& record) noexcept;

    BgsMonitorRecord ring_[BGS_MONITOR_QUEUE_RECORDS];
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t lost_ = 0;
};

// Attaches `queue`: records go to it from now on. False when
// BGS_MONITOR_MAX queues are attached. The caller keeps the queue alive
// until it is detached.
bool tapAttach(MonitorQueue* queue) noexcept;
// Detaches `queue`; no record is queued to it once this returns.
void tapDetach(MonitorQueue* queue) noexcept;

// The name of a runtime request's code (ping, dump, ...), or null.
const char* runtimeRequestName(uint32_t code) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_TRACE_H
