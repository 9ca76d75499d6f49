// Sessions: framing, routing, object tables, reference counts and death.
#include "session.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "parcel_internal.h"
#include "process_internal.h"

namespace binder_ndk::internal {
namespace {

constexpr size_t padded4(size_t size) noexcept { return (size + 3) & ~size_t{3}; }

// Writes the runtime request arguments (a count, then strings) after the
// header of a parcel with no interface header.
binder_status_t writeArgs(AParcel* parcel, const char** args, uint32_t numArgs) noexcept {
    binder_status_t status = AParcel_writeInt32(parcel, static_cast<int32_t>(numArgs));
    for (uint32_t i = 0; status == STATUS_OK && i < numArgs; ++i) {
        const char* arg = args[i] != nullptr ? args[i] : "";
        const size_t length = std::strlen(arg);
        if (length > INT32_MAX) return STATUS_BAD_VALUE;
        status = parcel->writeString(arg, static_cast<int32_t>(length));
    }
    return status;
}

// Reads what writeArgs wrote. The strings point into the parcel.
binder_status_t readArgs(const AParcel& parcel, std::vector<const char*>* args) noexcept {
    int32_t count = 0;
    binder_status_t status = parcel.readWord(&count);
    if (status != STATUS_OK) return status;
    if (count < 0 || count > 1024) return STATUS_BAD_VALUE;
    try {
        args->reserve(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            StringView arg{};
            status = parcel.readString(&arg);
            if (status != STATUS_OK) return status;
            if (arg.bytes == nullptr) return STATUS_UNEXPECTED_NULL;
            args->push_back(arg.bytes);
        }
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    return STATUS_OK;
}

}  // namespace

// ---- FdSet ----

FdSet::~FdSet() {
    clear();
}

void FdSet::clear() noexcept {
    for (uint32_t i = 0; i < count_; ++i) ::close(fds_[i]);
    count_ = 0;
}

namespace {

using FrameCache = ThreadCache<Frame, 4>;
thread_local FrameCache tFrameCache{};

struct FrameCacheCloser {
    ~FrameCacheCloser() { tFrameCache.close(); }
};
thread_local FrameCacheCloser tFrameCacheCloser;

// A body buffer larger than this is freed with its frame rather than kept.
constexpr size_t kKeptBodyCapacity = size_t{64} << 10;

}  // namespace

Frame* newFrame() noexcept {
    Frame* frame = tFrameCache.take();
    return frame != nullptr ? frame : new (std::nothrow) Frame;
}

void recycleFrame(Frame* frame) noexcept {
    if (frame == nullptr) return;
    if (frame->body.capacity() > kKeptBodyCapacity || !tFrameCache.admit([] { (void)&tFrameCacheCloser; })) {
        delete frame;
        return;
    }
    frame->header = wire::FrameHeader{};
    frame->body.clear();
    frame->fds.clear();
    tFrameCache.give(frame);
}

bool FdSet::add(int fd) noexcept {
    if (count_ == wire::kMaxFds) {
        ::close(fd);
        return false;
    }
    fds_[count_++] = fd;
    return true;
}

// ---- RemoteBinder ----

RemoteBinder::RemoteBinder(std::shared_ptr<Session> session, uint32_t handle, std::string descriptor) noexcept
    : AIBinder(nullptr, false), session_(std::move(session)), handle_(handle), descriptor_(std::move(descriptor)) {}

RemoteBinder::~RemoteBinder() = default;

bool RemoteBinder::isAlive() const noexcept { return !session_->dead(); }

bool RemoteBinder::associateClass(const AIBinder_Class* clazz) noexcept {
    const AIBinder_Class* current = clazz_.load(std::memory_order_acquire);
    if (current != nullptr) return current == clazz;
    if (descriptor_.size() != clazz->descriptorLength ||
        std::memcmp(descriptor_.data(), clazz->descriptor, clazz->descriptorLength) != 0) {
        return false;
    }
    // The first class whose descriptor matches is kept.
    return clazz_.compare_exchange_strong(current, clazz, std::memory_order_acq_rel) || current == clazz;
}

binder_status_t RemoteBinder::transact(transaction_code_t code, AParcel* request, AParcel** reply,
                                       binder_flags_t flags) noexcept {
    if (!traceEnabled()) return session_->transact(handle_, code, *request, reply, flags);
    const uint64_t start = monotonicNs();
    const binder_status_t status = session_->transact(handle_, code, *request, reply, flags);
    traceTransaction("out", session_->peerPid(), descriptor(), getClass(), code, request->dataSize(),
                     status == STATUS_OK && *reply != nullptr ? (*reply)->dataSize() : 0, status, start);
    return status;
}

binder_status_t RemoteBinder::ping() noexcept {
    AParcel request;
    AParcel* reply = nullptr;
    const binder_status_t status = session_->transact(handle_, wire::kPingTransaction, request, &reply, 0);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::dump(int fd, const char** args, uint32_t numArgs) noexcept {
    if (fd < 0) return STATUS_BAD_VALUE;
    AParcel request;
    binder_status_t status = writeArgs(&request, args, numArgs);
    AParcel* reply = nullptr;
    if (status == STATUS_OK) status = session_->transact(handle_, wire::kDumpTransaction, request, &reply, 0, &fd, 1);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::shellCommand(int in, int out, int err, const char** args,
                                           uint32_t numArgs) noexcept {
    const int fds[3] = {in, out, err};
    AParcel request;
    binder_status_t status = writeArgs(&request, args, numArgs);
    AParcel* reply = nullptr;
    if (status == STATUS_OK) status = session_->transact(handle_, wire::kShellTransaction, request, &reply, 0, fds, 3);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::linkToDeath(const std::shared_ptr<DeathRecipientCore>& recipient,
                                          void* cookie) noexcept {
    if (session_->stale()) return STATUS_DEAD_OBJECT;
    const std::lock_guard<std::mutex> lock(session_->mutex_);
    if (session_->dead_.load(std::memory_order_relaxed)) return STATUS_DEAD_OBJECT;
    try {
        links_.push_back(DeathLink{recipient, cookie});
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    return STATUS_OK;
}

binder_status_t RemoteBinder::unlinkToDeath(const DeathRecipientCore* recipient, void* cookie) noexcept {
    if (session_->stale()) return STATUS_NAME_NOT_FOUND;
    const std::lock_guard<std::mutex> lock(session_->mutex_);
    for (auto it = links_.begin(); it != links_.end(); ++it) {
        if (it->recipient.get() == recipient && it->cookie == cookie) {
            links_.erase(it);
            return STATUS_OK;
        }
    }
    return STATUS_NAME_NOT_FOUND;
}

// The release is queued, never sent from here: the caller of decStrong may
// hold its own locks, and a send may block.
void RemoteBinder::onLastStrongRef() noexcept {
    Session& session = *session_;
    if (session.stale()) return;
    std::vector<DeathLink> links;
    bool flush = false;
    {
        const std::lock_guard<std::mutex> lock(session.mutex_);
        auto it = session.imports_.find(handle_);
        if (it != session.imports_.end() && it->second == this) session.imports_.erase(it);
        links.swap(links_);
        if (!session.dead_.load(std::memory_order_relaxed)) {
            try {
                uint32_t returns = 0;
                auto sentBack = session.returnsSent_.find(handle_);
                if (sentBack != session.returnsSent_.end()) {
                    returns = sentBack->second;
                    session.returnsSent_.erase(sentBack);
                }
                session.pendingReleases_.push_back(Session::PendingRelease{handle_, received_, returns});
                flush = session.pendingReleases_.size() == 1;
            } catch (const std::bad_alloc&) {
                // The peer keeps the object until the session ends.
            }
        }
    }
    // Links of a binder nobody holds can never fire: their recipients let go
    // of them now rather than when they are deleted.
    for (const DeathLink& link : links) link.recipient->forget(this, link.cookie);
    if (flush) {
        std::weak_ptr<Session> weak = session.weak_from_this();
        postWork([weak] {
            if (auto strong = weak.lock()) strong->flushReleases();
        });
    }
}

// ---- DeathRecipientCore ----

bool DeathRecipientCore::remember(AIBinder* binder, void* cookie) noexcept {
    try {
        links.emplace_back(binder, cookie);
    } catch (const std::bad_alloc&) {
        return false;
    }
    binder->incWeak();
    return true;
}

void DeathRecipientCore::forget(AIBinder* binder, void* cookie) noexcept {
    {
        const std::lock_guard<std::mutex> lock(linksMutex);
        auto it = std::find(links.begin(), links.end(), std::make_pair(binder, cookie));
        if (it == links.end()) return;  // already forgotten by another path
        links.erase(it);
    }
    binder->decWeak();
}

// ---- Session ----

Session::Session(int fd, pid_t peerPid, uid_t peerUid, uint64_t id, int epollFd, uint64_t epoch,
                 uint64_t token, std::string peerAddress) noexcept
    : fd_(fd),
      peerPid_(peerPid),
      peerUid_(peerUid),
      id_(id),
      epollFd_(epollFd),
      epoch_(epoch),
      token_(token),
      peerAddress_(std::move(peerAddress)) {}

Session::~Session() {
    // A session left behind by fork() has had its descriptors closed
    // already; the numbers may belong to something else now.
    if (stale()) return;
    for (int channel : channels_) {
        untrackFd(channel);
        ::close(channel);
    }
    untrackFd(fd_);
    ::close(fd_);
}

bool Session::stale() const noexcept { return epoch_ != currentEpoch(); }

bool Session::dead() const noexcept { return stale() || dead_.load(std::memory_order_acquire); }

namespace {

bool checkHeader(const wire::FrameHeader& h, uint32_t fdsReceived) noexcept {
    if (h.magic != wire::kFrameMagic || h.fdCount != fdsReceived || h.fdCount > wire::kMaxFds) return false;
    if (h.dataSize > wire::kMaxTransactionData || h.objectBytes > wire::kMaxObjectBytes) return false;
    if (h.dataSize % 4 != 0 || h.objectBytes % 4 != 0) return false;
    switch (h.kind) {
        case wire::kTransaction:
            return (h.flags & ~uint32_t{FLAG_ONEWAY}) == 0 && h.objectCount <= h.dataSize / 8 &&
                   h.senderThread != 0;
        case wire::kReply:
            return h.fdCount == 0 && h.objectCount <= h.dataSize / 8;
        case wire::kRelease:
            return h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 &&
                   h.dataSize % wire::kReleaseRecordSize == 0 &&
                   h.dataSize / wire::kReleaseRecordSize <= wire::kMaxReleasesPerFrame;
        case wire::kHello:
        case wire::kJoin:
            return h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 && h.dataSize == 0;
        default:
            return false;
    }
}

}  // namespace

namespace {

// Where the first packet of a frame lands before its size is known.
uint8_t* packetScratch() noexcept {
    thread_local std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[wire::kMaxPacket]);
    return scratch.get();
}

// Takes the descriptors of a received message into `fds`; false when any
// was refused or cut off.
bool collectFds(msghdr& msg, FdSet& fds) noexcept {
    bool ok = (msg.msg_flags & MSG_CTRUNC) == 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (!fds.add(fd)) ok = false;
        }
    }
    return ok;
}

}  // namespace

// Reads one whole frame: its first packet holds the header and the start of
// the body, continuation packets (each full but the last) the rest. kIdle:
// nothing arrived within the socket's receive timeout and `keepWaiting` is
// false. A timeout in the middle of a frame, a malformed or cut packet, or a
// closed socket is kBroken.
ReadResult readFrame(int fd, FramePtr* out, bool keepWaiting, const Session* owner) noexcept {
    FramePtr frame(newFrame());
    uint8_t* scratch = packetScratch();
    if (frame == nullptr || scratch == nullptr) return ReadResult::kBroken;
    iovec iov[2] = {{&frame->header, sizeof(wire::FrameHeader)},
                    {scratch, wire::kMaxPacket - sizeof(wire::FrameHeader)}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * wire::kMaxFds)];
    msghdr msg{};
    ssize_t n;
    for (;;) {
        msg = msghdr{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (keepWaiting && (owner == nullptr || !owner->dead())) continue;
            return ReadResult::kIdle;
        }
        return ReadResult::kBroken;
    }
    const bool fdsOk = collectFds(msg, frame->fds);
    if (n == 0 || !fdsOk || (msg.msg_flags & MSG_TRUNC) != 0 ||
        static_cast<size_t>(n) < sizeof(wire::FrameHeader) ||
        !checkHeader(frame->header, frame->fds.size())) {
        return ReadResult::kBroken;
    }
    const size_t bodySize = size_t{frame->header.dataSize} + frame->header.objectBytes;
    const size_t first = static_cast<size_t>(n) - sizeof(wire::FrameHeader);
    // A frame continues only after a full packet, and never past its size.
    if (first > bodySize || (first < bodySize && static_cast<size_t>(n) != wire::kMaxPacket)) {
        return ReadResult::kBroken;
    }
    if (!frame->body.resize(bodySize)) return ReadResult::kBroken;
    if (first > 0) std::memcpy(frame->body.data(), scratch, first);
    size_t got = first;
    while (got < bodySize) {
        const size_t want = std::min(bodySize - got, wire::kMaxPacket);
        iovec part{frame->body.data() + got, want};
        msg = msghdr{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        FdSet stray;
        // Descriptors belong to a frame's first packet only.
        if (n != static_cast<ssize_t>(want) || (msg.msg_flags & MSG_TRUNC) != 0 ||
            !collectFds(msg, stray) || stray.size() != 0) {
            return ReadResult::kBroken;
        }
        got += want;
    }
    *out = std::move(frame);
    return ReadResult::kFrame;
}

bool writeFrame(int fd, const wire::FrameHeader& header, const uint8_t* data,
                const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount) noexcept {
    struct Segment {
        const uint8_t* bytes;
        size_t size;
    };
    const Segment segments[3] = {
            {reinterpret_cast<const uint8_t*>(&header), sizeof header},
            {data, header.dataSize},
            {objects.data(), objects.size()},
    };
    const size_t total = sizeof header + header.dataSize + objects.size();
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * wire::kMaxFds)];
    // Packets of one frame are sent back to back while the caller keeps
    // other writers out, so frames never interleave.
    for (size_t sent = 0; sent < total;) {
        const size_t chunk = std::min(total - sent, wire::kMaxPacket);
        iovec iov[3];
        size_t count = 0;
        size_t skip = sent;
        size_t want = chunk;
        for (const Segment& segment : segments) {
            if (skip >= segment.size) {
                skip -= segment.size;
                continue;
            }
            const size_t take = std::min(segment.size - skip, want);
            iov[count++] = iovec{const_cast<uint8_t*>(segment.bytes + skip), take};
            want -= take;
            skip = 0;
            if (want == 0) break;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        if (sent == 0 && fdCount > 0) {
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
        }
        ssize_t n;
        do {
            n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        // A packet goes whole or not at all; a failure is a broken peer or
        // one that stopped reading for the send timeout.
        if (n != static_cast<ssize_t>(chunk)) return false;
        sent += chunk;
    }
    return true;
}

bool Session::writePrimary(const wire::FrameHeader& header, const uint8_t* data,
                           const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount) noexcept {
    const std::lock_guard<std::mutex> lock(writeMutex_);
    return !dead() && writeFrame(fd_, header, data, objects, fds, fdCount);
}

// ---- Reader role ----

void Session::takeReaderLocked() noexcept {
    readerActive_ = true;
    if (armed_) {
        // The runtime threads need not watch while this thread reads.
        epoll_event event{};
        event.data.u64 = id_;
        ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &event);
        armed_ = false;
    }
}

// Whenever nobody reads, a waiting thread takes over or the runtime threads
// watch the socket again: a frame never sits unread.
void Session::ensureReaderLocked() noexcept {
    if (readerActive_ || dead_.load(std::memory_order_relaxed)) return;
    for (auto& entry : waiting_) {
        if (entry.second->blocked) {
            entry.second->wake.notify_one();
            return;
        }
    }
    if (!armed_) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.u64 = id_;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &event) == 0) armed_ = true;
    }
}

bool Session::markDeadLocked() noexcept {
    if (dead_.load(std::memory_order_relaxed)) return false;
    dead_.store(true, std::memory_order_release);
    for (auto& entry : waiting_) {
        for (WaitSlot* slot = entry.second; slot != nullptr; slot = slot->outer) slot->wake.notify_all();
    }
    return true;
}

void Session::kill() noexcept {
    if (stale()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    const bool first = markDeadLocked();
    lock.unlock();
    if (first) afterDeath();
}

void Session::afterDeath() noexcept {
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    // Wakes a thread blocked reading or writing; the descriptor itself stays
    // open (and its number taken) until the last reference to the session.
    ::shutdown(fd_, SHUT_RDWR);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (int channel : channels_) ::shutdown(channel, SHUT_RDWR);
        idleChannels_.clear();
    }
    forgetSession(id_);
    std::weak_ptr<Session> weak = weak_from_this();
    postWork([weak] {
        if (auto strong = weak.lock()) strong->releaseAfterDeath();
    });
}

// Everything the dead peer held is given back; every linked recipient runs
// once, here on a runtime thread, with no lock held.
void Session::releaseAfterDeath() noexcept {
    std::unordered_map<uint32_t, ExportEntry> held;
    std::vector<std::pair<StrongRef, std::vector<DeathLink>>> fired;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        held.swap(exports_);
        exportHandles_.clear();
        pendingReleases_.clear();
        for (auto& entry : imports_) {
            RemoteBinder* binder = entry.second;
            if (binder->links_.empty() || !binder->tryIncStrong()) continue;
            try {
                fired.emplace_back(StrongRef::adopt(binder), std::move(binder->links_));
            } catch (const std::bad_alloc&) {
                binder->decStrong();  // cannot end it: the import table still names it
            }
            binder->links_.clear();
        }
    }
    held.clear();
    for (auto& entry : fired) {
        for (DeathLink& link : entry.second) {
            {
                const std::lock_guard<std::recursive_mutex> guard(link.recipient->callbackMutex);
                if (!link.recipient->deleted) link.recipient->onBinderDied(link.cookie);
            }
            link.recipient->forget(entry.first.get(), link.cookie);
        }
    }
}

// ---- Routing ----

Session::Action Session::routeLocked(FramePtr& frame) noexcept {
    const wire::FrameHeader& h = frame->header;
    switch (h.kind) {
        case wire::kReply: {
            auto it = waiting_.find(h.targetThread);
            if (it == waiting_.end() || it->second->seq != h.seq) return Action::kViolation;
            if (!charge(*frame)) return Action::kViolation;
            it->second->inbox.push_back(std::move(frame));
            it->second->wake.notify_one();
            return Action::kNone;
        }
        case wire::kTransaction: {
            if ((h.flags & FLAG_ONEWAY) != 0) return enqueueOnewayLocked(frame);
            auto it = h.targetThread != 0 ? waiting_.find(h.targetThread) : waiting_.end();
            if (it == waiting_.end()) return Action::kServe;
            // A call back into a thread that waits on this peer: that thread
            // serves it, so the chain of calls never needs another thread.
            if (!charge(*frame)) return Action::kViolation;
            it->second->inbox.push_back(std::move(frame));
            it->second->wake.notify_one();
            return Action::kNone;
        }
        case wire::kRelease:
            return Action::kRelease;
        default:
            return Action::kViolation;
    }
}

void Session::perform(Action action, FramePtr frame, bool onRuntimeThread) noexcept {
    if (action == Action::kNone) return;
    if (action == Action::kViolation) {
        kill();
        return;
    }
    if (action == Action::kServe && onRuntimeThread) {
        serve(*frame);
        return;
    }
    if (action == Action::kRelease && onRuntimeThread) {
        applyReleases(*frame);
        return;
    }
    // Everything queued for later counts against the peer's allowance.
    std::shared_ptr<Frame> shared;
    try {
        shared = std::shared_ptr<Frame>(std::move(frame));
    } catch (const std::bad_alloc&) {
        kill();  // a frame that cannot be handled must not be lost silently
        return;
    }
    if (!charge(*shared)) {
        kill();
        return;
    }
    std::shared_ptr<Session> self = shared_from_this();
    switch (action) {
        case Action::kServe:
            postWork([self, shared] {
                self->discharge(*shared);
                self->serve(*shared);
            });
            return;
        case Action::kRelease:
            postWork([self, shared] {
                self->discharge(*shared);
                self->applyReleases(*shared);
            });
            return;
        default:
            return;
    }
}

// Queues a one-way call on its object while the frame's reader still holds
// the lock, so calls reach the queue in the order they were read even when
// different threads read them.
Session::Action Session::enqueueOnewayLocked(FramePtr& frame) noexcept {
    std::shared_ptr<Frame> shared;
    std::shared_ptr<StrongRef> keep;
    try {
        shared = std::shared_ptr<Frame>(std::move(frame));
        auto it = exports_.find(shared->header.handle);
        if (it != exports_.end()) keep = std::make_shared<StrongRef>(it->second.binder.get());
    } catch (const std::bad_alloc&) {
        return Action::kViolation;  // a call that cannot be queued must not be lost silently
    }
    if (!charge(*shared)) return Action::kViolation;
    std::shared_ptr<Session> self = shared_from_this();
    if (keep == nullptr) {
        // A stale or forged target: serving only decodes and refuses.
        postWork([self, shared] {
            self->discharge(*shared);
            self->serve(*shared);
        });
        return Action::kNone;
    }
    AIBinder* key = keep->get();
    postOneway(key, [self, shared, keep] {
        self->discharge(*shared);
        self->serve(*shared, -1, keep->get());
    });
    return Action::kNone;
}

// ---- Queued frames ----

size_t Session::queuedSize(const Frame& frame) noexcept {
    return sizeof(Frame) + frame.header.dataSize + frame.header.objectBytes;
}

bool Session::charge(const Frame& frame) noexcept {
    const size_t size = queuedSize(frame);
    return queuedBytes_.fetch_add(size, std::memory_order_relaxed) + size <= wire::kMaxQueuedBytes;
}

void Session::discharge(const Frame& frame) noexcept {
    queuedBytes_.fetch_sub(queuedSize(frame), std::memory_order_relaxed);
}

// ---- Objects ----

uint32_t Session::exportLocked(AIBinder* binder) noexcept {
    auto known = exportHandles_.find(binder);
    if (known != exportHandles_.end()) {
        ++exports_[known->second].sent;
        return known->second;
    }
    uint32_t handle = nextHandle_;
    // Handles are not reused while in use; 0 names the process itself.
    while (handle == 0 || exports_.count(handle) != 0) ++handle;
    nextHandle_ = handle + 1;
    try {
        exports_.emplace(handle, ExportEntry{StrongRef(binder), 1});
        exportHandles_.emplace(binder, handle);
    } catch (const std::bad_alloc&) {
        exports_.erase(handle);
        return 0;
    }
    return handle;
}

binder_status_t Session::encodeObjectsLocked(const AParcel& parcel, PodVector<uint8_t>* table,
                                             uint32_t* count) noexcept {
    *count = static_cast<uint32_t>(parcel.objectCount());
    for (size_t i = 0; i < parcel.objectCount(); ++i) {
        const ObjectEntry& entry = parcel.objects()[i];
        AIBinder* binder = entry.binder;
        wire::ObjectRecord record{entry.offset, wire::kSenderObject, 0, 0};
        const char* descriptor = "";
        RemoteBinder* remote = binder->asRemote();
        if (remote != nullptr && remote->session_.get() == this) {
            record.kind = wire::kReceiverObject;
            record.handle = remote->handle_;
            try {
                ++returnsSent_[record.handle];
            } catch (const std::bad_alloc&) {
                return STATUS_NO_MEMORY;
            }
        } else {
            descriptor = binder->descriptor();
            const size_t length = std::strlen(descriptor);
            if (length > wire::kMaxDescriptorLength) return STATUS_BAD_VALUE;
            record.descriptorLength = static_cast<uint32_t>(length);
            record.handle = exportLocked(binder);
            if (record.handle == 0) return STATUS_NO_MEMORY;
        }
        const size_t at = table->size();
        const size_t size = sizeof record + padded4(record.descriptorLength);
        if (table->size() + size > wire::kMaxObjectBytes || !table->resize(at + size)) {
            return STATUS_FAILED_TRANSACTION;
        }
        std::memcpy(table->data() + at, &record, sizeof record);
        std::memcpy(table->data() + at + sizeof record, descriptor, record.descriptorLength);
    }
    return STATUS_OK;
}

// Turns a received frame's body into a parcel. Every object record is checked
// before any reference is taken: offsets in order, inside the data, on an
// object entry of the bytes; a handle of this side must be one this session
// exported. A forged or stale reference fails with STATUS_BAD_VALUE and
// touches no object.
binder_status_t Session::decodeLocked(Frame& frame, AParcel* parcel, PodVector<ObjectEntry>* dropLater) noexcept {
    const wire::FrameHeader& h = frame.header;
    const uint8_t* data = frame.body.data();
    const uint8_t* table = data + h.dataSize;
    struct Parsed {
        wire::ObjectRecord record;
        const char* descriptor;
    };
    std::vector<Parsed> parsed;
    try {
        parsed.reserve(h.objectCount);
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    size_t at = 0;
    size_t nextFree = 0;
    for (uint32_t i = 0; i < h.objectCount; ++i) {
        wire::ObjectRecord record{};
        if (h.objectBytes - at < sizeof record) return STATUS_BAD_VALUE;
        std::memcpy(&record, table + at, sizeof record);
        at += sizeof record;
        if (record.offset % 4 != 0 || record.offset < nextFree || record.offset > h.dataSize ||
            h.dataSize - record.offset < kBinderEntrySize) {
            return STATUS_BAD_VALUE;
        }
        if (loadWord(data + record.offset) != uint32_t{kBinderKindObject} || loadWord(data + record.offset + 4) != 0) {
            return STATUS_BAD_VALUE;
        }
        nextFree = record.offset + kBinderEntrySize;
        const char* descriptor = nullptr;
        if (record.kind == wire::kSenderObject) {
            if (record.handle == 0 || record.descriptorLength == 0 ||
                record.descriptorLength > wire::kMaxDescriptorLength ||
                h.objectBytes - at < padded4(record.descriptorLength)) {
                return STATUS_BAD_VALUE;
            }
            descriptor = reinterpret_cast<const char*>(table + at);
            if (std::memchr(descriptor, 0, record.descriptorLength) != nullptr) return STATUS_BAD_VALUE;
            at += padded4(record.descriptorLength);
        } else if (record.kind == wire::kReceiverObject) {
            auto entry = exports_.find(record.handle);
            if (record.descriptorLength != 0 || entry == exports_.end()) return STATUS_BAD_VALUE;
            // Counted as read even if a later record fails the frame: the
            // peer counted it as sent.
            ++entry->second.returnsRead;
        } else {
            return STATUS_BAD_VALUE;
        }
        parsed.push_back(Parsed{record, descriptor});
    }
    if (at != h.objectBytes) return STATUS_BAD_VALUE;

    PodVector<ObjectEntry> objects;
    if (!objects.reserve(parsed.size())) return STATUS_NO_MEMORY;
    std::shared_ptr<Session> self = shared_from_this();
    for (const Parsed& p : parsed) {
        AIBinder* binder = nullptr;
        if (p.record.kind == wire::kReceiverObject) {
            auto entry = exports_.find(p.record.handle);
            binder = entry->second.binder.get();
            binder->incStrong();
            if (entry->second.done()) {
                // The last reference the peer had on its way: the entry goes.
                // Dropping its reference here cannot end the object, since
                // the parcel now holds one.
                exportHandles_.erase(binder);
                exports_.erase(entry);
            }
        } else {
            auto it = imports_.find(p.record.handle);
            if (it != imports_.end() && it->second->tryIncStrong()) {
                binder = it->second;
                ++it->second->received_;
            } else {
                RemoteBinder* made = nullptr;
                try {
                    made = new RemoteBinder(self, p.record.handle,
                                            std::string(p.descriptor, p.record.descriptorLength));
                    imports_[p.record.handle] = made;
                } catch (const std::bad_alloc&) {
                    // Released by the caller once the lock is gone: ending
                    // an import takes this lock.
                    if (made != nullptr) objects.insert(objects.size(), ObjectEntry{p.record.offset, made});
                    dropLater->swap(objects);
                    return STATUS_NO_MEMORY;
                }
                binder = made;
            }
        }
        objects.insert(objects.size(), ObjectEntry{p.record.offset, binder});
    }
    parcel->adoptWire(std::move(frame.body), h.dataSize, std::move(objects));
    return STATUS_OK;
}

// ---- Releases ----

void Session::retireLocked(std::unordered_map<uint32_t, ExportEntry>::iterator entry,
                           std::vector<StrongRef>* dropped) noexcept {
    try {
        dropped->push_back(std::move(entry->second.binder));
    } catch (const std::bad_alloc&) {
        return;  // keep the entry rather than lose the reference
    }
    exportHandles_.erase(dropped->back().get());
    exports_.erase(entry);
}

void Session::applyReleases(const Frame& frame) noexcept {
    std::vector<StrongRef> dropped;
    bool violation = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (size_t at = 0; at + wire::kReleaseRecordSize <= frame.header.dataSize;
             at += wire::kReleaseRecordSize) {
            const uint32_t handle = loadWord(frame.body.data() + at);
            const uint32_t count = loadWord(frame.body.data() + at + 4);
            const uint32_t returns = loadWord(frame.body.data() + at + 8);
            auto it = exports_.find(handle);
            // Giving back more than was sent is a protocol fault.
            if (it == exports_.end() || count == 0 || count > it->second.sent) {
                violation = true;
                break;
            }
            it->second.sent -= count;
            it->second.returnsReported += returns;
            // A newer send that crossed this release, or a reference sent
            // back and not yet read, keeps the entry.
            if (it->second.done()) retireLocked(it, &dropped);
        }
    }
    dropped.clear();  // removed first, released now, with no lock held
    if (violation) kill();
}

void Session::flushReleases() noexcept {
    PodVector<uint8_t> body;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const size_t count = pendingReleases_.size() < wire::kMaxReleasesPerFrame
                                     ? pendingReleases_.size()
                                     : wire::kMaxReleasesPerFrame;
        if (count == 0 || !body.resize(count * wire::kReleaseRecordSize)) return;
        for (size_t i = 0; i < count; ++i) {
            uint8_t* at = body.data() + i * wire::kReleaseRecordSize;
            storeWord(at, pendingReleases_[i].handle);
            storeWord(at + 4, pendingReleases_[i].count);
            storeWord(at + 8, pendingReleases_[i].returns);
        }
        pendingReleases_.erase(pendingReleases_.begin(), pendingReleases_.begin() + static_cast<ptrdiff_t>(count));
        if (!pendingReleases_.empty()) {
            std::weak_ptr<Session> weak = weak_from_this();
            postWork([weak] {
                if (auto strong = weak.lock()) strong->flushReleases();
            });
        }
    }
    wire::FrameHeader h{};
    h.magic = wire::kFrameMagic;
    h.kind = wire::kRelease;
    h.dataSize = static_cast<uint32_t>(body.size());
    if (!writePrimary(h, body.data(), PodVector<uint8_t>(), nullptr, 0)) kill();
}

// ---- Serving ----

void Session::serve(Frame& frame, int channel, AIBinder* target) noexcept {
    const wire::FrameHeader header = frame.header;
    ThreadState& state = threadState();
    // A cached parcel: it takes the frame's body buffer and leaves its own
    // for the frame, so that neither costs an allocation next time.
    const ParcelPtr request(newParcel());
    bool tracked = request != nullptr;
    if (tracked) {
        try {
            state.calls.push_back(IncomingCall{this, channel, header.senderThread, peerPid_, peerUid_});
        } catch (const std::bad_alloc&) {
            tracked = false;
        }
    }
    if (!tracked) {
        sendReply(frame, STATUS_NO_MEMORY, nullptr, channel);
        return;
    }
    const uint64_t start = traceEnabled() ? monotonicNs() : 0;
    const size_t requestSize = header.dataSize;
    AParcel* reply = nullptr;
    const binder_status_t status = dispatch(frame, target, request.get(), &reply);
    state.calls.pop_back();
    if (start != 0) {
        StrongRef traced(target);
        if (traced.get() == nullptr) {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = exports_.find(header.handle);
            if (it != exports_.end()) traced = StrongRef(it->second.binder.get());
        }
        AIBinder* binder = traced.get();
        traceTransaction("in", peerPid_, binder != nullptr ? binder->descriptor() : "(process)",
                         binder != nullptr ? binder->getClass() : nullptr, header.code, requestSize,
                         reply != nullptr ? reply->dataSize() : 0, status, start);
    }
    if ((header.flags & FLAG_ONEWAY) == 0) sendReply(frame, status, reply, channel);
    AParcel_delete(reply);
}

binder_status_t Session::dispatch(Frame& frame, AIBinder* resolved, AParcel* request, AParcel** reply) noexcept {
    const wire::FrameHeader header = frame.header;
    StrongRef target(resolved);
    PodVector<ObjectEntry> dropLater;
    binder_status_t status = STATUS_OK;
    {
        // Decoding comes first even when the target is bad: references the
        // peer sent back must be counted as read.
        const std::lock_guard<std::mutex> lock(mutex_);
        status = decodeLocked(frame, request, &dropLater);
        if (status == STATUS_OK && header.handle != 0 && target.get() == nullptr) {
            auto it = exports_.find(header.handle);
            if (it == exports_.end()) {
                status = STATUS_BAD_VALUE;
            } else {
                target = StrongRef(it->second.binder.get());
            }
        }
    }
    for (size_t i = 0; i < dropLater.size(); ++i) dropLater[i].binder->decStrong();
    if (status != STATUS_OK) return status;
    if (header.handle == 0) {
        if (header.code == wire::kPingTransaction) return STATUS_OK;
        if (header.code != wire::kGetServiceTransaction) return STATUS_UNKNOWN_TRANSACTION;
        StringView name{};
        status = request->readString(&name);
        if (status != STATUS_OK) return status;
        if (name.bytes == nullptr) return STATUS_UNEXPECTED_NULL;
        AIBinder* service = findLocalService(name.bytes);
        if (service == nullptr) return STATUS_NAME_NOT_FOUND;
        const StrongRef owned = StrongRef::adopt(service);
        AParcel* out = newParcel();
        if (out == nullptr) return STATUS_NO_MEMORY;
        status = out->writeBinder(service);
        if (status != STATUS_OK) {
            AParcel_delete(out);
            return status;
        }
        *reply = out;
        return STATUS_OK;
    }
    AIBinder* binder = target.get();
    const bool oneway = (header.flags & FLAG_ONEWAY) != 0;
    switch (header.code) {
        case wire::kPingTransaction:
            return binder->isAlive() ? STATUS_OK : STATUS_DEAD_OBJECT;
        case wire::kDumpTransaction:
        case wire::kShellTransaction: {
            const bool dump = header.code == wire::kDumpTransaction;
            if (oneway || frame.fds.size() != (dump ? 1u : 3u)) return STATUS_BAD_VALUE;
            std::vector<const char*> args;
            status = readArgs(*request, &args);
            if (status != STATUS_OK) return status;
            const uint32_t count = static_cast<uint32_t>(args.size());
            return dump ? binder->dump(frame.fds[0], args.data(), count)
                        : binder->shellCommand(frame.fds[0], frame.fds[1], frame.fds[2], args.data(), count);
        }
        default:
            break;
    }
    if (header.code < FIRST_CALL_TRANSACTION || header.code > LAST_CALL_TRANSACTION) {
        return STATUS_UNKNOWN_TRANSACTION;
    }
    // A remote target relays the request as it came, interface header
    // included, so it needs no class of its own.
    return binder->transact(header.code, request, reply, header.flags);
}

void Session::sendReply(const Frame& request, binder_status_t status, const AParcel* reply, int channel) noexcept {
    wire::FrameHeader h{};
    h.magic = wire::kFrameMagic;
    h.kind = wire::kReply;
    h.seq = request.header.seq;
    h.targetThread = request.header.senderThread;
    PodVector<uint8_t> objects;
    if (status == STATUS_OK && reply != nullptr) {
        // A reply over the limit becomes a failure the caller can see.
        if (reply->dataSize() > wire::kMaxTransactionData) {
            status = STATUS_FAILED_TRANSACTION;
        } else {
            const std::lock_guard<std::mutex> lock(mutex_);
            status = encodeObjectsLocked(*reply, &objects, &h.objectCount);
        }
        if (status == STATUS_OK) {
            h.dataSize = static_cast<uint32_t>(reply->dataSize());
            h.objectBytes = static_cast<uint32_t>(objects.size());
        } else {
            objects.clear();
            h.objectCount = 0;
        }
    }
    h.code = static_cast<uint32_t>(status);
    const uint8_t* data = h.dataSize > 0 ? reply->data() : nullptr;
    // A channel has one writer at a time on this side: the thread serving
    // its conversation.
    const bool sent = channel >= 0 ? !dead() && writeFrame(channel, h, data, objects, nullptr, 0)
                                   : writePrimary(h, data, objects, nullptr, 0);
    if (!sent) kill();
}

// ---- Calls ----

binder_status_t Session::transact(uint32_t handle, uint32_t code, const AParcel& request, AParcel** reply,
                                  uint32_t flags, const int* fds, uint32_t fdCount) noexcept {
    *reply = nullptr;
    if (stale()) return STATUS_DEAD_OBJECT;
    if (request.dataSize() > wire::kMaxTransactionData || fdCount > wire::kMaxFds) {
        return STATUS_FAILED_TRANSACTION;
    }
    ThreadState& state = threadState();
    wire::FrameHeader h{};
    h.magic = wire::kFrameMagic;
    h.kind = wire::kTransaction;
    h.dataSize = static_cast<uint32_t>(request.dataSize());
    h.fdCount = fdCount;
    h.handle = handle;
    h.code = code;
    h.flags = flags;
    h.senderThread = state.token;
    h.seq = ++state.nextSeq;
    const bool oneway = (flags & FLAG_ONEWAY) != 0;
    // A call to the peer that this thread is serving goes back where that
    // call came from: its channel, or the peer thread waiting on the primary
    // socket. One-way calls always take the primary socket, which keeps
    // them in order.
    int channel = -1;
    bool nested = false;
    for (auto it = state.calls.rbegin(); it != state.calls.rend(); ++it) {
        if (it->session == this) {
            nested = true;
            channel = oneway ? -1 : it->channel;
            h.targetThread = it->channel < 0 ? it->remoteThread : 0;
            break;
        }
    }
    bool ownChannel = false;
    if (!nested && !oneway && !peerAddress_.empty()) {
        channel = takeChannel();
        ownChannel = channel >= 0;
    }
    PodVector<uint8_t> objects;
    std::unique_lock<std::mutex> lock(mutex_);
    binder_status_t status = dead_.load(std::memory_order_relaxed) ? STATUS_DEAD_OBJECT
                                                                   : encodeObjectsLocked(request, &objects, &h.objectCount);
    h.objectBytes = static_cast<uint32_t>(objects.size());
    if (status != STATUS_OK || channel >= 0) {
        lock.unlock();
        FramePtr answer;
        if (status == STATUS_OK) status = callOnChannel(channel, h, request, objects, fds, fdCount, &answer);
        if (ownChannel) returnChannel(channel);
        return status == STATUS_OK ? finishCall(std::move(answer), reply) : status;
    }
    if (oneway) {
        lock.unlock();
        if (writePrimary(h, request.data(), objects, fds, fdCount)) return STATUS_OK;
        kill();
        return STATUS_DEAD_OBJECT;
    }
    WaitSlot slot;
    slot.thread = state.token;
    slot.seq = h.seq;
    auto outer = waiting_.find(state.token);
    slot.outer = outer != waiting_.end() ? outer->second : nullptr;
    try {
        waiting_[state.token] = &slot;
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    // Reading before sending means a quick reply finds this thread already
    // in place, with no hand-over between threads.
    const bool reading = !readerActive_;
    if (reading) takeReaderLocked();
    lock.unlock();
    const bool sent = writePrimary(h, request.data(), objects, fds, fdCount);
    lock.lock();
    FramePtr answer;
    if (sent) {
        status = awaitReply(slot, lock, reading, &answer);
    } else {
        if (reading) readerActive_ = false;
        status = STATUS_DEAD_OBJECT;
    }
    if (slot.outer != nullptr) {
        waiting_[state.token] = slot.outer;
    } else {
        waiting_.erase(state.token);
    }
    const bool first = status != STATUS_OK && markDeadLocked();
    lock.unlock();
    if (first) afterDeath();
    return status == STATUS_OK ? finishCall(std::move(answer), reply) : status;
}

// Turns a reply frame into the caller's result.
binder_status_t Session::finishCall(FramePtr answer, AParcel** reply) noexcept {
    const auto replyStatus = static_cast<binder_status_t>(answer->header.code);
    if (replyStatus != STATUS_OK) return replyStatus;
    AParcel* out = newParcel();
    if (out == nullptr) return STATUS_NO_MEMORY;
    PodVector<ObjectEntry> dropLater;
    binder_status_t status;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        status = decodeLocked(*answer, out, &dropLater);
    }
    for (size_t i = 0; i < dropLater.size(); ++i) dropLater[i].binder->decStrong();
    if (status != STATUS_OK) {
        AParcel_delete(out);
        return status;
    }
    *reply = out;
    return STATUS_OK;
}

// ---- Channels ----

int Session::takeChannel() noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (dead_.load(std::memory_order_relaxed)) return -1;
        if (!idleChannels_.empty()) {
            const int channel = idleChannels_.back();
            idleChannels_.pop_back();
            return channel;
        }
        if (channels_.size() >= wire::kMaxChannels) return -1;
    }
    return openChannel();
}

void Session::returnChannel(int channel) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dead_.load(std::memory_order_relaxed)) return;
    try {
        idleChannels_.push_back(channel);
    } catch (const std::bad_alloc&) {
        // The channel stays open but unused until the session ends.
    }
}

// Connects a new channel to the peer's listener and joins it to this
// session. -1 when that fails; the caller then uses the primary socket.
int Session::openChannel() noexcept {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (peerAddress_.size() > sizeof address.sun_path - 1) {
        ::close(fd);
        return -1;
    }
    std::memcpy(address.sun_path + 1, peerAddress_.data(), peerAddress_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + peerAddress_.size());
    ucred peer{};
    socklen_t credLength = sizeof peer;
    wire::FrameHeader join{};
    join.magic = wire::kFrameMagic;
    join.kind = wire::kJoin;
    join.senderThread = token_;
    timeval timeout{wire::kStallSeconds, 0};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &credLength) != 0 || peer.pid != peerPid_ ||
        peer.uid != peerUid_ || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
        !writeFrame(fd, join, nullptr, PodVector<uint8_t>(), nullptr, 0)) {
        ::close(fd);
        return -1;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (dead_.load(std::memory_order_relaxed)) throw std::bad_alloc();
        channels_.push_back(fd);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return -1;
    }
    trackFd(fd);
    return fd;
}

// One call on a channel: this thread is the channel's only reader and
// writer on this side until the reply comes, serving the nested calls the
// peer makes on it meanwhile.
binder_status_t Session::callOnChannel(int channel, const wire::FrameHeader& header, const AParcel& request,
                                       const PodVector<uint8_t>& objects, const int* fds, uint32_t fdCount,
                                       FramePtr* reply) noexcept {
    if (!writeFrame(channel, header, request.data(), objects, fds, fdCount)) {
        kill();
        return STATUS_DEAD_OBJECT;
    }
    for (;;) {
        FramePtr frame;
        if (readFrame(channel, &frame, true, this) != ReadResult::kFrame) {
            kill();
            return STATUS_DEAD_OBJECT;
        }
        const wire::FrameHeader& h = frame->header;
        if (h.kind == wire::kReply && h.seq == header.seq && h.targetThread == header.senderThread) {
            *reply = std::move(frame);
            return STATUS_OK;
        }
        // Anything but this call's reply or a nested call breaks the
        // conversation.
        if (h.kind != wire::kTransaction || (h.flags & FLAG_ONEWAY) != 0) {
            kill();
            return STATUS_DEAD_OBJECT;
        }
        serve(*frame, channel);
        if (dead()) return STATUS_DEAD_OBJECT;
    }
}

bool Session::addChannel(int fd, uint64_t id) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    if (dead_.load(std::memory_order_relaxed) || channels_.size() >= 2 * wire::kMaxChannels) return false;
    try {
        channels_.push_back(fd);
    } catch (const std::bad_alloc&) {
        return false;
    }
    lock.unlock();
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
    return true;
}

// The serving side of a channel: a new call arrived. It is served here, and
// the channel is watched again only once the reply is out, since until then
// the thread serving it reads the channel itself for nested replies.
void Session::onChannelReadable(int fd, uint64_t id) noexcept {
    FramePtr frame;
    const ReadResult result = readFrame(fd, &frame, false, this);
    if (result == ReadResult::kFrame) {
        const wire::FrameHeader& h = frame->header;
        if (h.kind != wire::kTransaction || (h.flags & FLAG_ONEWAY) != 0 || h.targetThread != 0) {
            kill();
            return;
        }
        serve(*frame, fd);
    } else if (result == ReadResult::kBroken) {
        kill();
        return;
    }
    if (dead()) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
}

binder_status_t Session::awaitReply(WaitSlot& slot, std::unique_lock<std::mutex>& lock, bool reading,
                                    FramePtr* reply) noexcept {
    for (;;) {
        if (!reading && !slot.inbox.empty()) {
            FramePtr frame = std::move(slot.inbox.front());
            slot.inbox.pop_front();
            discharge(*frame);
            ensureReaderLocked();
            if (frame->header.kind == wire::kReply) {
                *reply = std::move(frame);
                return STATUS_OK;
            }
            // A nested call from the peer, addressed to this thread.
            lock.unlock();
            serve(*frame);
            frame.reset();
            lock.lock();
            continue;
        }
        if (dead_.load(std::memory_order_relaxed)) return STATUS_DEAD_OBJECT;
        if (!reading && readerActive_) {
            slot.blocked = true;
            slot.wake.wait(lock);
            slot.blocked = false;
            continue;
        }
        if (!reading) takeReaderLocked();
        reading = false;
        lock.unlock();
        FramePtr frame;
        const ReadResult result = readFrame(fd_, &frame, true, this);
        lock.lock();
        readerActive_ = false;
        if (result != ReadResult::kFrame) return STATUS_DEAD_OBJECT;
        const Action action = routeLocked(frame);
        if (action == Action::kNone) continue;
        if (action == Action::kViolation) return STATUS_DEAD_OBJECT;
        ensureReaderLocked();
        lock.unlock();
        perform(action, std::move(frame), false);
        lock.lock();
    }
}

void Session::onReadable() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    armed_ = false;
    if (dead_.load(std::memory_order_relaxed) || readerActive_) return;
    readerActive_ = true;
    lock.unlock();
    FramePtr frame;
    const ReadResult result = readFrame(fd_, &frame, false, this);
    lock.lock();
    readerActive_ = false;
    if (result == ReadResult::kBroken) {
        const bool first = markDeadLocked();
        lock.unlock();
        if (first) afterDeath();
        return;
    }
    Action action = Action::kNone;
    if (result == ReadResult::kFrame) action = routeLocked(frame);
    ensureReaderLocked();
    lock.unlock();
    perform(action, std::move(frame), true);
}

}  // namespace binder_ndk::internal
