// Sessions: the connection between this process and one peer process.
//
// A session has a primary link, and the side that knows the peer's
// listener opens more links into it, channels, one per thread calling at a
// time. Who reads what:
//
// - The primary link is read only by the event loop. It hands each frame
//   to its addressee: a reply or a nested call to the thread waiting for it,
//   a one-way call to its object's queue, a new call to the pool (at most a
//   share of the pool per peer; more wait in the session's backlog),
//   releases and deaths to the object table. Runtime requests that run no
//   user code (ping, the process's getService) are answered by the loop.
// - A channel carries one conversation at a time: a call, the nested calls
//   it causes in both directions, and their replies. On the calling side the
//   caller itself reads it while it waits (its own call may block, up to its
//   deadline). On the serving side the loop reads a new call and a pool
//   thread serves it; that thread keeps the channel for a moment afterwards
//   for the next call, so a busy conversation needs no hand-over.
//
// Everything a runtime thread writes goes out without blocking: a frame
// the socket cannot take at once waits in the link's outbox, which the loop
// drains when the socket is writable. A peer that leaves its outbox full
// for the stall limit is cut off.
//
// Locks: the endpoint lock (RemoteEndpoint::lock) guards the object table,
// the waiting threads and the session's state; each link's send lock guards
// its socket's writes and outbox. A send lock may be taken with the
// endpoint lock held (to pause reading), never the reverse; neither is held
// while user code runs.
#ifndef BINDER_NDK_INTERNAL_SESSION_H
#define BINDER_NDK_INTERNAL_SESSION_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../base/binder_internal.h"
#include "../base/parcel_internal.h"
#include "../base/pod_vector.h"
#include "../wire/codec.h"
#include "channel.h"
#include "host.h"
#include "object_table.h"
#include "remote_binder.h"

namespace binder_ndk::internal {

// A frame waiting in an outbox, with its own copy of everything it sends.
struct OutFrame {
    wire::FrameHeader header{};
    PodVector<uint8_t> body;  // data, then objects
    FdSet fds;
    uint64_t queuedAt = 0;
    uint64_t ticket = 0;
    // The counts its objects raised, lowered again should it never leave.
    ObjectTable::SendPlan plan;
};

// One socket of a session and what waits to be written to it.
struct Link {
    Link(std::unique_ptr<Channel> c, bool isPrimary, bool isCalling) noexcept
        : channel(std::move(c)), primary(isPrimary), calling(isCalling) {}
    const std::unique_ptr<Channel> channel;
    const bool primary;
    // Set once the loop watches the link; events may come before then.
    std::atomic<uint64_t> watchId{0};
    std::mutex sendMutex;  // guards the socket's writes and everything below
    std::deque<std::unique_ptr<OutFrame>> outbox;
    size_t outboxBytes = 0;
    bool reading = true;   // primary: the loop reads it (false: paused); channel: the loop owns it
    bool closed = false;
    // Calling side: a channel whose call timed out after its request left
    // is read by the loop until that call's late reply has come, then used
    // again.
    const bool calling = false;
    uint32_t drainSeq = 0;
    uint64_t drainThread = 0;
    uint64_t drainSince = 0;
};

class Session final : public RemoteEndpoint,
                      public IoWatcher,
                      public std::enable_shared_from_this<Session> {
  public:
    // `peerAddress`: the peer's listener when known (channels are opened
    // to it), else empty.
    Session(SessionHost& host, int fd, pid_t peerPid, uid_t peerUid, uint64_t id, uint64_t epoch, uint64_t token,
            std::string peerAddress) noexcept;
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The event loop starts watching the primary link; false on failure
    // (the session is then dead).
    bool start() noexcept;

    uint64_t id() const noexcept { return id_; }
    uid_t peerUid() const noexcept { return peerUid_; }
    uint64_t token() const noexcept { return token_; }
    bool dead() const noexcept { return !alive(); }
    // Channels may be opened from now on (the peer's listener became known).
    void learnPeerAddress(const std::string& address) noexcept;

    // RemoteEndpoint
    bool alive() const noexcept override;
    pid_t peerPid() const noexcept override { return peerPid_; }
    binder_status_t call(RemoteBinder& target, uint32_t code, const AParcel& request, AParcel** reply,
                         uint32_t flags, const int* fds, uint32_t fdCount) noexcept override;
    void importEnded(RemoteBinder& binder) noexcept override;

    // Sends a transaction to the peer's object `handle` (0: the process)
    // and, unless FLAG_ONEWAY, waits for the reply until the calling
    // thread's deadline (serving nested calls meanwhile). On STATUS_OK
    // *reply receives an owned reply positioned at 0 (null for a one-way
    // call). STATUS_TIMED_OUT past the deadline: a request not yet sent is
    // withdrawn, a late reply is read and dropped.
    binder_status_t transact(uint32_t handle, uint32_t code, const AParcel& request, AParcel** reply,
                             uint32_t flags, const int* fds = nullptr, uint32_t fdCount = 0) noexcept;
    // transact() on the process itself (handle 0), reported to the
    // transaction tap as call() reports calls on remote binders.
    binder_status_t callProcess(uint32_t code, const AParcel& request, AParcel** reply) noexcept {
        return observed(0, kProcessDescriptor, nullptr, code, request, reply, 0, nullptr, 0);
    }
    // What the tap names the process itself as a target.
    static constexpr const char* kProcessDescriptor = "(process)";

    // IoWatcher: the loop reports a link ready.
    void onReady(uint64_t watchId, uint32_t events) noexcept override;
    // Accepting side: `fd` joins as a channel. False when the session has
    // as many as it accepts (the caller closes `fd`).
    bool acceptChannel(int fd) noexcept;
    // The loop's periodic check: outboxes that stalled past the limit.
    void checkDeadlines(uint64_t nowNs) noexcept;
    // Ends the session: waiting calls return STATUS_DEAD_OBJECT, the peer's
    // references are released and death recipients run on a pool thread.
    void kill() noexcept;
    // Tells the peer which of the objects this side relays to it died with
    // `dead`.
    void relayDeaths(const RemoteEndpoint* dead) noexcept;
    // Queued bytes this session answers for (frames read and not yet
    // handled, frames waiting to be sent).
    size_t queuedBytes() const noexcept { return queued_.load(std::memory_order_relaxed); }
    // Sockets the session holds: its primary link and its channels.
    size_t connectionCount() const noexcept {
        const std::lock_guard<std::mutex> guard(lock());
        return 1 + channels_.size();
    }

  private:
    // transact(), reported to the transaction tap when it watches.
    binder_status_t observed(uint32_t handle, const char* descriptor, const AIBinder_Class* clazz, uint32_t code,
                             const AParcel& request, AParcel** reply, uint32_t flags, const int* fds,
                             uint32_t fdCount) noexcept;
    struct WaitSlot {
        uint64_t thread;
        uint32_t seq;
        WaitSlot* outer;  // the same thread's call that this one is nested in
        std::deque<FramePtr> inbox;
        std::condition_variable wake;
    };
    struct Backlogged {
        FramePtr frame;
        std::shared_ptr<Link> channel;  // null: the primary link
    };

    bool stale() const noexcept;
    std::shared_ptr<Link> primary() const noexcept { return primary_; }

    // ---- Sending ----
    enum class Sent { kSent, kQueued, kBroken };
    // Sends now if the link can take it, else queues a copy (`ticket`
    // names it for withdrawal). Never blocks on the peer.
    // The plan (when given) moves into the queued copy.
    Sent sendOrQueue(Link& link, const wire::FrameHeader& header, const uint8_t* data,
                     ObjectTable::SendPlan* plan, const int* fds, uint32_t fdCount,
                     uint64_t* ticket = nullptr) noexcept;
    // Takes a queued frame back; false when it has left already.
    // Takes a queued frame back (its counts go back down); false when it
    // has left already.
    bool withdraw(Link& link, uint64_t ticket) noexcept;
    void drainOutbox(Link& link) noexcept;
    void updateWatch(Link& link) noexcept;  // with link.sendMutex held
    void flushReleases() noexcept;
    // Frames of a link that will never be sent: their counts go back down.
    void discardOutbox(Link& link) noexcept;
    void sendStatusReply(const wire::FrameHeader& request, binder_status_t status,
                         const std::shared_ptr<Link>& channel) noexcept;
    void sendReply(const wire::FrameHeader& request, binder_status_t status, const AParcel* reply,
                   const std::shared_ptr<Link>& channel) noexcept;

    // ---- Calls ----
    binder_status_t callOnChannel(Link& channel, const wire::FrameHeader& header,
                                  const AParcel& request, ObjectTable::SendPlan& plan, const int* fds,
                                  uint32_t fdCount, uint64_t deadline, FramePtr* answer) noexcept;
    binder_status_t callOnPrimary(const wire::FrameHeader& header, const AParcel& request,
                                  ObjectTable::SendPlan& plan, const int* fds, uint32_t fdCount, uint64_t deadline,
                                  FramePtr* answer) noexcept;
    binder_status_t finishCall(FramePtr answer, AParcel** reply) noexcept;
    // Decodes `frame` into `parcel`; references to release and links to
    // fire are handled here, after the lock.
    binder_status_t decode(Frame& frame, AParcel* parcel) noexcept;
    void revert(ObjectTable::SendPlan& plan) noexcept;
    std::shared_ptr<Link> takeChannel(uint64_t deadline) noexcept;
    std::shared_ptr<Link> openChannel(uint64_t deadline) noexcept;
    void returnChannel(const std::shared_ptr<Link>& channel) noexcept;
    void dropChannel(const std::shared_ptr<Link>& channel) noexcept;

    // ---- Reading (the loop) ----
    void readPrimary() noexcept;
    void readChannel(const std::shared_ptr<Link>& channel) noexcept;
    void route(FramePtr frame) noexcept;
    bool answerOnLoop(Frame& frame, const std::shared_ptr<Link>& channel) noexcept;
    void handBack(const std::shared_ptr<Link>& channel) noexcept;
    void toPool(FramePtr frame, const std::shared_ptr<Link>& channel) noexcept;
    void enqueueOneway(FramePtr frame) noexcept;
    bool chargeFrame(const Frame& frame) noexcept;
    void dischargeFrame(const Frame& frame) noexcept;

    // ---- Serving (pool threads) ----
    static void runServe(Task& task) noexcept;
    static void runOneway(Task& task) noexcept;
    static void runDiscard(Task& task) noexcept;
    void serve(Frame& frame, const std::shared_ptr<Link>& channel, AIBinder* target) noexcept;
    // The object a served transaction went to: `target`, or the one its
    // handle names (null for the process itself, or a handle gone).
    StrongRef servedTarget(const wire::FrameHeader& header, AIBinder* target) noexcept;
    // Reports a transaction served here (by a pool thread or the loop) to
    // the tap; `binder` null names the process.
    void reportServed(const wire::FrameHeader& header, AIBinder* binder, size_t replyBytes, binder_status_t status,
                      uint64_t startNs) noexcept;
    // Reads and drops a frame that will not be served (counting the
    // references it carries) and, for a two-way call, answers `status`.
    void refuse(Frame& frame, binder_status_t status, const std::shared_ptr<Link>& channel) noexcept;
    void postRefusal(FramePtr frame, binder_status_t status, const std::shared_ptr<Link>& channel) noexcept;
    binder_status_t dispatch(Frame& frame, AIBinder* target, AParcel* request, AParcel** reply) noexcept;
    void servedOne() noexcept;
    void lingerOnChannel(const std::shared_ptr<Link>& channel) noexcept;
    using Fired = std::vector<std::pair<StrongRef, std::vector<DeathLink>>>;
    void releaseLater(DropList dropped, Fired fired) noexcept;
    void pauseReading(bool paused) noexcept;
    std::shared_ptr<Link> findChannel(uint64_t watchId) const noexcept;

    SessionHost& host_;
    const pid_t peerPid_;
    const uid_t peerUid_;
    const uint64_t id_;
    const uint64_t epoch_;
    const uint64_t token_;
    std::shared_ptr<Link> primary_;

    // Guarded by lock():
    std::string peerAddress_;
    std::atomic<bool> dead_{false};  // written under lock()
    ObjectTable objects_;
    std::unordered_map<uint64_t, WaitSlot*> waiting_;  // innermost call of each thread
    std::deque<Backlogged> backlog_;
    uint32_t serving_ = 0;  // two-way calls of this peer on pool threads
    std::vector<std::shared_ptr<Link>> channels_;      // every channel
    std::vector<std::shared_ptr<Link>> idleChannels_;  // calling side: channels no thread uses
    size_t channelsOpening_ = 0;                       // reserved slots of channels being opened
    uint64_t nextTicket_ = 1;

    std::atomic<size_t> queued_{0};
    std::atomic<size_t> queuedFds_{0};
    std::atomic<bool> paused_{false};
    std::atomic<uint32_t> poolWaiters_{0};  // pool threads in two-way calls to this peer
    std::atomic<bool> toldOverShare_{false};
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_SESSION_H
