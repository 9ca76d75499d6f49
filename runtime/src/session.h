// Sessions: the connection between this process and one peer process, the
// object tables on it, and the binders that stand for the peer's objects.
#ifndef BINDER_NDK_INTERNAL_SESSION_H
#define BINDER_NDK_INTERNAL_SESSION_H

#include "public_api.h"

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

#include "binder_internal.h"
#include "parcel_internal.h"
#include "pod_vector.h"
#include "wire.h"

namespace binder_ndk::internal {

// Descriptors received with a frame; closed when the set goes.
class FdSet {
  public:
    FdSet() noexcept = default;
    ~FdSet();
    FdSet(const FdSet&) = delete;
    FdSet& operator=(const FdSet&) = delete;
    // False (and `fd` closed) when the set is full.
    bool add(int fd) noexcept;
    // Closes every descriptor held.
    void clear() noexcept;
    uint32_t size() const noexcept { return count_; }
    int operator[](uint32_t i) const noexcept { return fds_[i]; }

  private:
    int fds_[wire::kMaxFds] = {};
    uint32_t count_ = 0;
};

// One message as read: its header, its body (data, then object table) and
// the descriptors that came with it.
struct Frame {
    wire::FrameHeader header{};
    PodVector<uint8_t> body;
    FdSet fds;
};

// Frames come from a per-thread cache of emptied frames that keep their
// body buffers, so that reading a message costs no allocation once a thread
// has read a few; null when memory runs out.
Frame* newFrame() noexcept;
void recycleFrame(Frame* frame) noexcept;
struct FrameRecycler {
    void operator()(Frame* frame) const noexcept { recycleFrame(frame); }
};
using FramePtr = std::unique_ptr<Frame, FrameRecycler>;

// What a death recipient shares with its links: the callback, a lock that
// lets deletion wait for a callback that is running, and the record of its
// live links (binder and cookie, each holding a weak reference on the
// binder), so that deleting the recipient can undo them. A link leaves the
// record when it fires, is unlinked, or its binder ends.
//
// Lock order: linksMutex, then a session's lock; never the reverse.
struct DeathRecipientCore {
    explicit DeathRecipientCore(AIBinder_DeathRecipient_onBinderDied callback) noexcept
        : onBinderDied(callback) {}
    const AIBinder_DeathRecipient_onBinderDied onBinderDied;
    std::recursive_mutex callbackMutex;
    bool deleted = false;  // guarded by callbackMutex
    std::mutex linksMutex;
    std::vector<std::pair<AIBinder*, void*>> links;  // guarded by linksMutex

    // With linksMutex held: records a link; false when memory runs out.
    bool remember(AIBinder* binder, void* cookie) noexcept;
    // Without any lock held: drops the record of one link, if still there.
    void forget(AIBinder* binder, void* cookie) noexcept;
};

struct DeathLink {
    std::shared_ptr<DeathRecipientCore> recipient;
    void* cookie;
};

class Session;

enum class ReadResult { kFrame, kIdle, kBroken };

// Reads one whole frame from `fd`. kIdle: nothing arrived within the
// socket's receive timeout and `keepWaiting` is false (with `keepWaiting`, a
// read goes on waiting while `owner`, if any, is alive). A malformed, cut or
// stalled frame, or a closed socket, is kBroken.
ReadResult readFrame(int fd, FramePtr* frame, bool keepWaiting, const Session* owner) noexcept;
// Writes one frame. The caller keeps other writers of `fd` out.
bool writeFrame(int fd, const wire::FrameHeader& header, const uint8_t* data,
                const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount) noexcept;

// An object of the peer process: its handle in the peer's export table.
class RemoteBinder final : public AIBinder {
  public:
    RemoteBinder(std::shared_ptr<Session> session, uint32_t handle, std::string descriptor) noexcept;

    bool isRemote() const noexcept override { return true; }
    bool isAlive() const noexcept override;
    bool associateClass(const AIBinder_Class* clazz) noexcept override;
    void* userData() const noexcept override { return nullptr; }
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) noexcept override;
    binder_status_t shellCommand(int in, int out, int err, const char** args,
                                 uint32_t numArgs) noexcept override;
    const char* descriptor() const noexcept override { return descriptor_.c_str(); }
    RemoteBinder* asRemote() noexcept override { return this; }
    binder_status_t transact(transaction_code_t code, AParcel* request, AParcel** reply,
                             binder_flags_t flags) noexcept override;

    binder_status_t ping() noexcept;
    binder_status_t linkToDeath(const std::shared_ptr<DeathRecipientCore>& recipient, void* cookie) noexcept;
    binder_status_t unlinkToDeath(const DeathRecipientCore* recipient, void* cookie) noexcept;
    const Session* session() const noexcept { return session_.get(); }

  private:
    friend class Session;
    ~RemoteBinder() override;
    void onLastStrongRef() noexcept override;

    const std::shared_ptr<Session> session_;
    const uint32_t handle_;
    const std::string descriptor_;
    // Guarded by the session's lock: how many times this handle arrived
    // while this binder stood for it (given back in one release), and the
    // death links.
    uint32_t received_ = 1;
    std::vector<DeathLink> links_;
};

// One connected peer process.
//
// The primary socket: at most one thread reads it at a time (the reader). A
// thread waiting for a reply reads itself when nobody else does; otherwise a
// runtime thread reads when epoll reports data. The reader hands each frame
// to its addressee: a reply or a nested call to the waiting thread it names,
// a new call to the runtime's threads, a release to the export table.
//
// Channels: the side that connected opens more sockets into the session, one
// per thread that is calling at a time. A channel carries one conversation:
// a call, the nested calls it causes in both directions and their replies.
// Its reader is always known (the caller while it waits; on the serving side
// a runtime thread woken by epoll, then the thread serving), so a call on a
// channel needs neither epoll nor a hand-over between threads.
//
// Lock order: the session lock, then the process lock; never the reverse.
// No lock is held while user code or a blocking write runs, except the
// write lock, which only serialises whole frames.
class Session : public std::enable_shared_from_this<Session> {
  public:
    // `peerAddress` is the peer's listener for a session this side connected
    // (it then opens channels), empty for an accepted one.
    Session(int fd, pid_t peerPid, uid_t peerUid, uint64_t id, int epollFd, uint64_t epoch,
            uint64_t token, std::string peerAddress) noexcept;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint64_t id() const noexcept { return id_; }
    pid_t peerPid() const noexcept { return peerPid_; }
    uid_t peerUid() const noexcept { return peerUid_; }
    int fd() const noexcept { return fd_; }
    uint64_t token() const noexcept { return token_; }
    // Whether the connection is gone (broken, refused for a protocol fault,
    // or left behind by fork()).
    bool dead() const noexcept;

    // Sends a transaction to the peer's object `handle` and, unless
    // FLAG_ONEWAY, waits for the reply (serving nested calls meanwhile). On
    // STATUS_OK *reply receives an owned reply positioned at 0 (null for a
    // one-way call). `fds` are sent as duplicates and stay the caller's.
    binder_status_t transact(uint32_t handle, uint32_t code, const AParcel& request, AParcel** reply,
                             uint32_t flags, const int* fds = nullptr, uint32_t fdCount = 0) noexcept;

    // A runtime thread: epoll reported the socket readable.
    void onReadable() noexcept;
    // Accepting side: `fd` joins the session as a channel watched by epoll
    // under `id`. False when the session cannot take more channels.
    bool addChannel(int fd, uint64_t id) noexcept;
    // A runtime thread: epoll reported the channel readable.
    void onChannelReadable(int fd, uint64_t id) noexcept;
    // Ends the session: waiting calls return STATUS_DEAD_OBJECT, the peer's
    // references are released and death recipients run on a runtime thread.
    void kill() noexcept;

  private:
    friend class RemoteBinder;
    struct WaitSlot {
        uint64_t thread;
        uint32_t seq;
        WaitSlot* outer;  // the same thread's call that this one is nested in
        std::deque<FramePtr> inbox;
        std::condition_variable wake;
        bool blocked = false;
    };
    // An object this side sent. It stays while the peer holds arrivals of it
    // and while references the peer sent back (kind 2) are still on their
    // way: a release can overtake such a reference when they travel on
    // different sockets, so the peer reports in each release how many it
    // sent back, and the entry waits until as many have been read.
    struct ExportEntry {
        StrongRef binder;
        uint32_t sent;                  // arrivals at the peer not yet given back
        uint64_t returnsReported = 0;   // sent back by the peer, as its releases said
        uint64_t returnsRead = 0;       // sent back by the peer and read here
        bool done() const noexcept { return sent == 0 && returnsRead >= returnsReported; }
    };
    struct PendingRelease {
        uint32_t handle;
        uint32_t count;    // arrivals given back
        uint32_t returns;  // references sent back since the last release of the handle
    };
    enum class Action { kNone, kServe, kRelease, kViolation };

    bool stale() const noexcept;
    bool writePrimary(const wire::FrameHeader& header, const uint8_t* data,
                      const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount) noexcept;
    int takeChannel() noexcept;  // an idle channel, a new one, or -1
    void returnChannel(int fd) noexcept;
    int openChannel() noexcept;
    binder_status_t callOnChannel(int channel, const wire::FrameHeader& header, const AParcel& request,
                                  const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount,
                                  FramePtr* reply) noexcept;
    binder_status_t finishCall(FramePtr answer, AParcel** reply) noexcept;

    // With the lock held.
    Action routeLocked(FramePtr& frame) noexcept;
    Action enqueueOnewayLocked(FramePtr& frame) noexcept;
    void ensureReaderLocked() noexcept;
    void takeReaderLocked() noexcept;
    bool markDeadLocked() noexcept;  // true for the call that ended the session
    binder_status_t awaitReply(WaitSlot& slot, std::unique_lock<std::mutex>& lock, bool reading,
                               FramePtr* reply) noexcept;
    binder_status_t encodeObjectsLocked(const AParcel& parcel, PodVector<uint8_t>* table,
                                        uint32_t* count) noexcept;
    // On failure, references that must be given back after unlocking are in
    // *dropLater.
    binder_status_t decodeLocked(Frame& frame, AParcel* parcel, PodVector<ObjectEntry>* dropLater) noexcept;
    uint32_t exportLocked(AIBinder* binder) noexcept;

    // Frames read but not yet handled are bounded per session: a peer that
    // floods faster than they are served is disconnected.
    static size_t queuedSize(const Frame& frame) noexcept;
    bool charge(const Frame& frame) noexcept;  // false: over the allowance
    void discharge(const Frame& frame) noexcept;

    // Without the lock.
    void perform(Action action, FramePtr frame, bool onRuntimeThread) noexcept;
    // Serves a transaction read from the primary socket (`channel` -1) or a
    // channel, and replies where it came from.
    // `target`, when given, is the object the frame's handle named when the
    // frame was read (a one-way call may run after the peer released it).
    void serve(Frame& frame, int channel = -1, AIBinder* target = nullptr) noexcept;
    binder_status_t dispatch(Frame& frame, AIBinder* target, AParcel* request, AParcel** reply) noexcept;
    void sendReply(const Frame& request, binder_status_t status, const AParcel* reply, int channel) noexcept;
    void applyReleases(const Frame& frame) noexcept;
    // Drops an export entry that is done; its reference goes to *dropped.
    void retireLocked(std::unordered_map<uint32_t, ExportEntry>::iterator entry,
                      std::vector<StrongRef>* dropped) noexcept;
    void flushReleases() noexcept;
    void afterDeath() noexcept;
    void releaseAfterDeath() noexcept;

    const int fd_;
    const pid_t peerPid_;
    const uid_t peerUid_;
    const uint64_t id_;
    const int epollFd_;
    const uint64_t epoch_;
    const uint64_t token_;
    const std::string peerAddress_;

    std::mutex writeMutex_;
    mutable std::mutex mutex_;
    std::atomic<bool> dead_{false};  // written under mutex_
    std::atomic<size_t> queuedBytes_{0};
    bool readerActive_ = false;
    bool armed_ = true;
    std::unordered_map<uint64_t, WaitSlot*> waiting_;  // innermost call of each thread
    std::unordered_map<uint32_t, ExportEntry> exports_;
    std::unordered_map<AIBinder*, uint32_t> exportHandles_;
    std::unordered_map<uint32_t, RemoteBinder*> imports_;
    uint32_t nextHandle_ = 1;
    std::vector<PendingRelease> pendingReleases_;
    std::unordered_map<uint32_t, uint32_t> returnsSent_;  // per imported handle, since its last release
    std::vector<int> channels_;      // every channel, closed with the session
    std::vector<int> idleChannels_;  // connecting side: channels no thread uses
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_SESSION_H
