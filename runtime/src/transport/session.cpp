// Sessions: calls, routing, outboxes, serving and death.
#include "../base/public_api.h"

#include "session.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "../base/clock.h"
#include "../base/fork.h"
#include "thread_state.h"
#include "trace.h"

namespace binder_ndk::internal {
namespace {

// Reads the runtime request arguments (a count, then strings). The strings
// point into the parcel.
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

constexpr uint32_t kLoopReadBatch = 32;

// Not a status any call returns: a request that could not leave its channel
// and is to go on the primary link.
constexpr binder_status_t kUnsentOnBrokenChannel = 1;

}  // namespace

// ---- Session ----

Session::Session(SessionHost& host, int fd, pid_t peerPid, uid_t peerUid, uint64_t id, uint64_t epoch, uint64_t token,
                 std::string peerAddress) noexcept
    : host_(host),
      peerPid_(peerPid),
      peerUid_(peerUid),
      id_(id),
      epoch_(epoch),
      token_(token),
      peerAddress_(std::move(peerAddress)),
      objects_(this) {
    try {
        primary_ = std::make_shared<Link>(std::make_unique<SocketChannel>(fd), true, false);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        dead_.store(true);
    }
}

Session::~Session() {
    // A session left behind by fork() has had its descriptors closed
    // already; the numbers may belong to something else now.
    if (!stale()) return;
    auto forget = [](const std::shared_ptr<Link>& link) {
        if (link != nullptr) static_cast<SocketChannel*>(link->channel.get())->forget();
    };
    forget(primary_);
    for (const auto& channel : channels_) forget(channel);
}

bool Session::stale() const noexcept { return epoch_ != currentEpoch(); }

bool Session::alive() const noexcept { return !stale() && !dead_.load(std::memory_order_acquire); }

bool Session::start() noexcept {
    if (primary_ == nullptr) return false;
    trackFd(primary_->channel->pollFd());
    primary_->watchId = host_.watch(primary_->channel->pollFd(), EPOLLIN, weak_from_this());
    if (primary_->watchId == 0) {
        kill();
        return false;
    }
    return true;
}

void Session::learnPeerAddress(const std::string& address) noexcept {
    const std::lock_guard<std::mutex> guard(lock());
    if (!peerAddress_.empty()) return;
    try {
        peerAddress_ = address;
    } catch (const std::bad_alloc&) {
    }
}

// ---- Sending ----

Session::Sent Session::sendOrQueue(Link& link, const wire::FrameHeader& header, const uint8_t* data,
                                   ObjectTable::SendPlan* plan, const int* fds, uint32_t fdCount,
                                   uint64_t* ticket) noexcept {
    const uint8_t* objects = plan != nullptr ? plan->table.data() : nullptr;
    size_t charged = 0;
    {
        const std::lock_guard<std::mutex> guard(link.sendMutex);
        if (link.closed) return Sent::kBroken;
        if (link.outbox.empty()) {
            const wire::Io io = link.channel->send(header, data, objects, fds, fdCount);
            if (io == wire::Io::kDone) return Sent::kSent;
            if (io == wire::Io::kBroken) return Sent::kBroken;
        }
        // The socket is full: a copy waits for the loop to send it.
        std::unique_ptr<OutFrame> out(new (std::nothrow) OutFrame);
        if (out == nullptr || !out->body.resize(size_t{header.dataSize} + header.objectBytes)) return Sent::kBroken;
        out->header = header;
        if (header.dataSize > 0) std::memcpy(out->body.data(), data, header.dataSize);
        if (header.objectBytes > 0) std::memcpy(out->body.data() + header.dataSize, objects, header.objectBytes);
        for (uint32_t i = 0; i < fdCount; ++i) {
            const int copy = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 0);
            if (copy < 0 || !out->fds.add(copy)) return Sent::kBroken;
        }
        if (plan != nullptr) std::swap(out->plan, *plan);
        out->queuedAt = monotonicNs();
        out->ticket = __atomic_add_fetch(&nextTicket_, 1, __ATOMIC_RELAXED);
        if (ticket != nullptr) *ticket = out->ticket;
        charged = sizeof(OutFrame) + out->body.capacity();
        try {
            link.outbox.push_back(std::move(out));
        } catch (const std::bad_alloc&) {
            if (plan != nullptr) std::swap(out->plan, *plan);
            return Sent::kBroken;
        }
        link.outboxBytes += charged;
        if (link.outbox.size() == 1) updateWatch(link);
    }
    queued_.fetch_add(charged, std::memory_order_relaxed);
    if (!host_.charge(charged, fdCount) && queued_.load(std::memory_order_relaxed) > host_.limits().queuedBytes / 8) {
        std::fprintf(stderr, "bgs: peer %d does not read what is sent to it; disconnected\n",
                     static_cast<int>(peerPid_));
        kill();
    }
    return Sent::kQueued;
}

bool Session::withdraw(Link& link, uint64_t ticket) noexcept {
    std::unique_ptr<OutFrame> out;
    {
        const std::lock_guard<std::mutex> guard(link.sendMutex);
        for (auto it = link.outbox.begin(); it != link.outbox.end(); ++it) {
            if ((*it)->ticket != ticket) continue;
            out = std::move(*it);
            link.outbox.erase(it);
            break;
        }
        if (out == nullptr) return false;
        const size_t charged = sizeof(OutFrame) + out->body.capacity();
        link.outboxBytes -= charged;
        queued_.fetch_sub(charged, std::memory_order_relaxed);
        host_.discharge(charged, out->fds.size());
        updateWatch(link);
    }
    revert(out->plan);
    return true;
}

void Session::updateWatch(Link& link) noexcept {
    if (link.watchId == 0 || link.closed) return;
    const uint32_t events = (link.reading ? EPOLLIN : 0u) | (link.outbox.empty() ? 0u : EPOLLOUT);
    host_.rewatch(link.watchId, link.channel->pollFd(), events);
}

void Session::drainOutbox(Link& link) noexcept {
    bool broken = false;
    {
        const std::lock_guard<std::mutex> guard(link.sendMutex);
        while (!link.outbox.empty() && !link.closed) {
            OutFrame& out = *link.outbox.front();
            const wire::Io io = link.channel->send(out.header, out.body.data(), out.body.data() + out.header.dataSize,
                                                   out.fds.data(), out.fds.size());
            if (io == wire::Io::kAgain) break;
            if (io == wire::Io::kBroken) {
                broken = true;
                break;
            }
            const size_t charged = sizeof(OutFrame) + out.body.capacity();
            link.outboxBytes -= charged;
            queued_.fetch_sub(charged, std::memory_order_relaxed);
            host_.discharge(charged, out.fds.size());
            link.outbox.pop_front();
        }
        if (!broken) updateWatch(link);
    }
    if (!broken) return;
    if (link.primary) {
        kill();
    } else {
        dropChannel(findChannel(link.watchId));
    }
}

void Session::discardOutbox(Link& link) noexcept {
    std::deque<std::unique_ptr<OutFrame>> left;
    {
        const std::lock_guard<std::mutex> guard(link.sendMutex);
        link.closed = true;
        left.swap(link.outbox);
        queued_.fetch_sub(link.outboxBytes, std::memory_order_relaxed);
        size_t fds = 0;
        for (const auto& out : left) fds += out->fds.size();
        host_.discharge(link.outboxBytes, fds);
        link.outboxBytes = 0;
    }
    for (auto& out : left) revert(out->plan);
}

void Session::revert(ObjectTable::SendPlan& plan) noexcept {
    if (plan.items.size() == 0) return;
    DropList dropped;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return;
        objects_.revertSend(plan, &dropped);
    }
    plan.items.clear();
}

void Session::sendReply(const wire::FrameHeader& request, binder_status_t status, const AParcel* reply,
                        const std::shared_ptr<Link>& channel) noexcept {
    wire::FrameHeader h = wire::makeHeader(wire::kReply);
    h.seq = request.seq;
    h.targetThread = request.senderThread;
    ObjectTable::SendPlan plan;
    const uint8_t* data = nullptr;
    if (status == STATUS_OK && reply != nullptr) {
        // A reply over the limit becomes a failure the caller can see.
        if (reply->dataSize() > wire::kMaxTransactionData) {
            status = STATUS_FAILED_TRANSACTION;
        } else {
            const std::lock_guard<std::mutex> guard(lock());
            status = objects_.planSend(*reply, &plan);
            if (status == STATUS_OK) objects_.commitSend(&plan);
        }
        if (status == STATUS_OK) {
            h.dataSize = static_cast<uint32_t>(reply->dataSize());
            h.objectCount = static_cast<uint32_t>(plan.items.size());
            h.objectBytes = static_cast<uint32_t>(plan.table.size());
            data = reply->data();
        } else {
            plan.items.clear();
        }
    }
    h.code = static_cast<uint32_t>(status);
    Link& link = channel != nullptr ? *channel : *primary_;
    if (sendOrQueue(link, h, data, &plan, nullptr, 0) != Sent::kBroken) return;
    revert(plan);
    if (channel != nullptr && !primary_->channel->hungUp()) {
        dropChannel(channel);
    } else {
        kill();
    }
}

void Session::sendStatusReply(const wire::FrameHeader& request, binder_status_t status,
                              const std::shared_ptr<Link>& channel) noexcept {
    sendReply(request, status, nullptr, channel);
}

void Session::flushReleases() noexcept {
    for (;;) {
        PodVector<uint8_t> body;
        {
            const std::lock_guard<std::mutex> guard(lock());
            if (dead_.load(std::memory_order_relaxed) || !objects_.takeReleases(&body)) return;
        }
        wire::FrameHeader h = wire::makeHeader(wire::kRelease);
        h.dataSize = static_cast<uint32_t>(body.size());
        if (sendOrQueue(*primary_, h, body.data(), nullptr, nullptr, 0) == Sent::kBroken) {
            kill();
            return;
        }
    }
}

void Session::importEnded(RemoteBinder& binder) noexcept {
    std::vector<DeathLink> links;
    bool flush;
    {
        const std::lock_guard<std::mutex> guard(lock());
        flush = objects_.importEnded(binder, alive(), &links);
    }
    // Links of a binder nobody holds can never fire: their recipients let go
    // of them now rather than when they are deleted.
    for (const DeathLink& link : links) link.recipient->forget(&binder, link.cookie);
    if (flush) flushReleases();
}

void Session::relayDeaths(const RemoteEndpoint* dead) noexcept {
    std::vector<uint32_t> handles;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return;
        objects_.relayedFrom(dead, &handles);
    }
    for (size_t at = 0; at < handles.size(); at += wire::kMaxDeathsPerFrame) {
        const size_t count = std::min<size_t>(handles.size() - at, wire::kMaxDeathsPerFrame);
        PodVector<uint8_t> body;
        if (!body.resize(count * 4)) return;
        for (size_t i = 0; i < count; ++i) storeWord(body.data() + i * 4, handles[at + i]);
        wire::FrameHeader h = wire::makeHeader(wire::kDeath);
        h.dataSize = static_cast<uint32_t>(body.size());
        if (sendOrQueue(*primary_, h, body.data(), nullptr, nullptr, 0) == Sent::kBroken) {
            kill();
            return;
        }
    }
}

// ---- Calls ----

binder_status_t Session::call(RemoteBinder& target, uint32_t code, const AParcel& request, AParcel** reply,
                              uint32_t flags, const int* fds, uint32_t fdCount) noexcept {
    return observed(target.handle(), target.descriptor(), target.getClass(), code, request, reply, flags, fds,
                    fdCount);
}

binder_status_t Session::observed(uint32_t handle, const char* descriptor, const AIBinder_Class* clazz,
                                  uint32_t code, const AParcel& request, AParcel** reply, uint32_t flags,
                                  const int* fds, uint32_t fdCount) noexcept {
    if (!tapOn()) return transact(handle, code, request, reply, flags, fds, fdCount);
    const uint64_t start = monotonicNs();
    const binder_status_t status = transact(handle, code, request, reply, flags, fds, fdCount);
    tapTransaction(TapEvent{false, (flags & FLAG_ONEWAY) != 0, peerPid_, descriptor, clazz, code,
                            request.dataSize(), status == STATUS_OK && *reply != nullptr ? (*reply)->dataSize() : 0,
                            status, start});
    return status;
}

binder_status_t Session::transact(uint32_t handle, uint32_t code, const AParcel& request, AParcel** reply,
                                  uint32_t flags, const int* fds, uint32_t fdCount) noexcept {
    *reply = nullptr;
    if (!alive()) return STATUS_DEAD_OBJECT;
    if (request.dataSize() > wire::kMaxTransactionData || fdCount > wire::kMaxFds) return STATUS_FAILED_TRANSACTION;
    ThreadState& state = threadState();
    const bool oneway = (flags & FLAG_ONEWAY) != 0;
    wire::FrameHeader h = wire::makeHeader(wire::kTransaction);
    h.dataSize = static_cast<uint32_t>(request.dataSize());
    h.fdCount = fdCount;
    h.handle = handle;
    h.code = code;
    h.flags = flags;
    h.senderThread = state.token;
    h.seq = ++state.nextSeq;
    // A call to the peer that this thread is serving goes back where that
    // call came from: its channel, or the peer thread waiting on the
    // primary link. One-way calls always take the primary link, which keeps
    // them in order.
    const IncomingCall* incoming = nullptr;
    for (auto it = state.calls.rbegin(); it != state.calls.rend(); ++it) {
        if (it->session == this) {
            incoming = &*it;
            break;
        }
    }
    ObjectTable::SendPlan plan;
    binder_status_t status;
    {
        const std::lock_guard<std::mutex> guard(lock());
        status = dead_.load(std::memory_order_relaxed) ? STATUS_DEAD_OBJECT : objects_.planSend(request, &plan);
        if (status == STATUS_OK) objects_.commitSend(&plan);
    }
    if (status != STATUS_OK) return status;
    h.objectCount = static_cast<uint32_t>(plan.items.size());
    h.objectBytes = static_cast<uint32_t>(plan.table.size());
    if (oneway) {
        if (sendOrQueue(*primary_, h, request.data(), &plan, fds, fdCount) != Sent::kBroken) return STATUS_OK;
        kill();
        return STATUS_DEAD_OBJECT;
    }
    const uint64_t deadline = callDeadline();
    // Pool threads waiting for this peer's answers are bounded by its share
    // of the pool: a peer that never answers (a hung callback) cannot hold
    // every thread that serves the process's other clients.
    struct PoolWait {
        std::atomic<uint32_t>* count = nullptr;
        std::vector<const Session*>* stack = nullptr;
        ~PoolWait() {
            if (count != nullptr) count->fetch_sub(1, std::memory_order_relaxed);
            if (stack != nullptr) stack->pop_back();
        }
    } poolWait;
    const bool waitingAlready =
            std::find(state.waitingOn.begin(), state.waitingOn.end(), this) != state.waitingOn.end();
    if (state.poolThread && !waitingAlready) {
        const uint32_t share = host_.limits().threadShare.load(std::memory_order_relaxed);
        if (poolWaiters_.fetch_add(1, std::memory_order_relaxed) >= share) {
            poolWaiters_.fetch_sub(1, std::memory_order_relaxed);
            revert(plan);
            if (!toldOverShare_.exchange(true, std::memory_order_relaxed)) {
                std::fprintf(stderr,
                             "bgs: peer %d leaves %u runtime threads waiting for its answers; further calls "
                             "to it from runtime threads fail until it answers\n",
                             static_cast<int>(peerPid_), share);
            }
            return STATUS_WOULD_BLOCK;
        }
        poolWait.count = &poolWaiters_;
    }
    try {
        state.waitingOn.push_back(this);
        poolWait.stack = &state.waitingOn;
    } catch (const std::bad_alloc&) {
        revert(plan);
        return STATUS_NO_MEMORY;
    }
    FramePtr answer;
    if (incoming != nullptr && incoming->channel != nullptr) {
        status = callOnChannel(*incoming->channel, h, request, plan, fds, fdCount, deadline, &answer);
    } else if (incoming != nullptr) {
        h.targetThread = incoming->remoteThread;
        status = callOnPrimary(h, request, plan, fds, fdCount, deadline, &answer);
    } else {
        std::shared_ptr<Link> channel = takeChannel(deadline);
        if (channel != nullptr) {
            status = callOnChannel(*channel, h, request, plan, fds, fdCount, deadline, &answer);
            if (status == kUnsentOnBrokenChannel) {
                status = callOnPrimary(h, request, plan, fds, fdCount, deadline, &answer);
                return status == STATUS_OK ? finishCall(std::move(answer), reply) : status;
            }
            // A channel whose call timed out is being drained by the loop,
            // and one that broke is gone.
            if (status == STATUS_OK || (status != STATUS_TIMED_OUT && status != STATUS_DEAD_OBJECT &&
                                        status != STATUS_FAILED_TRANSACTION)) {
                returnChannel(channel);
            }
        } else {
            status = callOnPrimary(h, request, plan, fds, fdCount, deadline, &answer);
        }
    }
    return status == STATUS_OK ? finishCall(std::move(answer), reply) : status;
}

// One call on a channel: this thread is the channel's only reader and
// writer on this side until the reply comes, serving the nested calls the
// peer makes on it meanwhile.
binder_status_t Session::callOnChannel(Link& channel, const wire::FrameHeader& header, const AParcel& request,
                                       ObjectTable::SendPlan& plan, const int* fds, uint32_t fdCount,
                                       uint64_t deadline, FramePtr* answer) noexcept {
    auto broken = [&](bool sent) -> binder_status_t {
        // A request that never left a broken channel goes on the primary
        // link instead (its counts stand).
        if (!sent && alive() && channel.calling) {
            dropChannel(findChannel(channel.watchId));
            return kUnsentOnBrokenChannel;
        }
        if (!sent) revert(plan);
        // A peer that dies closes all its sockets, but not at the same
        // instant: a broken channel waits a moment for the primary link to
        // tell whether the whole peer is gone.
        if (!alive() || primary_->channel->hungUp(monotonicNs() + 100 * kNsPerMs)) {
            kill();
            return STATUS_DEAD_OBJECT;
        }
        dropChannel(findChannel(channel.watchId));
        return STATUS_FAILED_TRANSACTION;
    };
    for (;;) {
        const wire::Io io = channel.channel->send(header, request.data(), plan.table.data(), fds, fdCount);
        if (io == wire::Io::kDone) break;
        if (io == wire::Io::kBroken) return broken(false);
        if (!channel.channel->waitWritable(deadline) && monotonicNs() >= deadline) {
            // Nothing left: the channel is clean and serves the next call.
            revert(plan);
            if (channel.calling) returnChannel(findChannel(channel.watchId));
            return STATUS_TIMED_OUT;
        }
    }
    for (;;) {
        if (!channel.channel->waitReadable(deadline) && monotonicNs() >= deadline) {
            // The late reply is read and dropped by the loop, which then
            // hands the channel back.
            if (!channel.calling) {
                dropChannel(findChannel(channel.watchId));
                return STATUS_TIMED_OUT;
            }
            {
                const std::lock_guard<std::mutex> guard(channel.sendMutex);
                channel.drainSeq = header.seq;
                channel.drainThread = header.senderThread;
                channel.drainSince = monotonicNs();
                channel.reading = true;
                updateWatch(channel);
            }
            return STATUS_TIMED_OUT;
        }
        FramePtr frame;
        const wire::Io io = channel.channel->receive(&frame);
        if (io == wire::Io::kAgain) continue;
        if (io == wire::Io::kBroken) return broken(true);
        const wire::FrameHeader& h = frame->header;
        if (h.kind == wire::kReply && h.seq == header.seq && h.targetThread == header.senderThread) {
            *answer = std::move(frame);
            return STATUS_OK;
        }
        // Anything but this call's reply or a nested call breaks the
        // conversation.
        if (h.kind != wire::kTransaction || (h.flags & FLAG_ONEWAY) != 0 || h.targetThread != 0 ||
            h.fdCount != wire::fdsTakenBy(h.code)) {
            kill();
            return STATUS_DEAD_OBJECT;
        }
        serve(*frame, findChannel(channel.watchId), nullptr);
        if (!alive()) return STATUS_DEAD_OBJECT;
    }
}

binder_status_t Session::callOnPrimary(const wire::FrameHeader& header, const AParcel& request,
                                       ObjectTable::SendPlan& plan, const int* fds, uint32_t fdCount,
                                       uint64_t deadline, FramePtr* answer) noexcept {
    WaitSlot slot;
    slot.thread = header.senderThread;
    slot.seq = header.seq;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return STATUS_DEAD_OBJECT;
        auto outer = waiting_.find(slot.thread);
        slot.outer = outer != waiting_.end() ? outer->second : nullptr;
        try {
            waiting_[slot.thread] = &slot;
        } catch (const std::bad_alloc&) {
            revert(plan);
            return STATUS_NO_MEMORY;
        }
    }
    uint64_t ticket = 0;
    const Sent sent = sendOrQueue(*primary_, header, request.data(), &plan, fds, fdCount, &ticket);
    binder_status_t status = STATUS_OK;
    std::unique_lock<std::mutex> guard(lock());
    if (sent == Sent::kBroken) status = STATUS_DEAD_OBJECT;
    while (status == STATUS_OK) {
        if (!slot.inbox.empty()) {
            FramePtr frame = std::move(slot.inbox.front());
            slot.inbox.pop_front();
            guard.unlock();
            dischargeFrame(*frame);
            if (frame->header.kind == wire::kReply) {
                *answer = std::move(frame);
                guard.lock();
                break;
            }
            // A nested call from the peer, addressed to this thread.
            serve(*frame, nullptr, nullptr);
            frame.reset();
            guard.lock();
            continue;
        }
        if (dead_.load(std::memory_order_relaxed)) {
            status = STATUS_DEAD_OBJECT;
        } else if (deadline == kNoDeadline) {
            slot.wake.wait(guard);
        } else if (monotonicNs() >= deadline) {
            status = STATUS_TIMED_OUT;
        } else {
            slot.wake.wait_for(guard, std::chrono::nanoseconds(deadline - monotonicNs()));
        }
    }
    if (slot.outer != nullptr) {
        waiting_[slot.thread] = slot.outer;
    } else {
        waiting_.erase(slot.thread);
    }
    std::deque<FramePtr> left;
    left.swap(slot.inbox);
    guard.unlock();
    if (sent == Sent::kBroken) {
        kill();
    } else if (status == STATUS_TIMED_OUT && sent == Sent::kQueued) {
        withdraw(*primary_, ticket);
    }
    // Frames that came for this call after it gave up: a late reply is
    // dropped, nested calls are refused.
    for (FramePtr& frame : left) {
        dischargeFrame(*frame);
        refuse(*frame, STATUS_TIMED_OUT, nullptr);
    }
    return status;
}

// Turns a reply frame into the caller's result.
binder_status_t Session::finishCall(FramePtr answer, AParcel** reply) noexcept {
    const auto replyStatus = static_cast<binder_status_t>(answer->header.code);
    AParcel* out = newParcel();
    if (out == nullptr) {
        refuse(*answer, replyStatus, nullptr);
        return STATUS_NO_MEMORY;
    }
    binder_status_t status = decode(*answer, out);
    if (status == STATUS_OK) status = replyStatus;
    if (status != STATUS_OK) {
        AParcel_delete(out);
        return status;
    }
    *reply = out;
    return STATUS_OK;
}

binder_status_t Session::decode(Frame& frame, AParcel* parcel) noexcept {
    ObjectTable::ReceivePlan plan;
    DropList dropped;
    Fired fired;
    binder_status_t status;
    {
        const std::lock_guard<std::mutex> guard(lock());
        status = objects_.planReceive(frame, shared_from_this(), &plan);
        if (status == STATUS_OK) {
            objects_.commitReceive(&plan, frame, parcel, &dropped, &fired);
        } else {
            objects_.abandonReceive(&plan, &dropped);
        }
    }
    dropped.clear();
    if (!fired.empty()) releaseLater(DropList(), std::move(fired));
    return status;
}

// ---- Channels ----

std::shared_ptr<Link> Session::findChannel(uint64_t watchId) const noexcept {
    const std::lock_guard<std::mutex> guard(lock());
    for (const auto& channel : channels_) {
        if (channel->watchId == watchId) return channel;
    }
    return nullptr;
}

std::shared_ptr<Link> Session::takeChannel(uint64_t deadline) noexcept {
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed) || peerAddress_.empty()) return nullptr;
        if (!idleChannels_.empty()) {
            std::shared_ptr<Link> channel = std::move(idleChannels_.back());
            idleChannels_.pop_back();
            return channel;
        }
        // The slot is reserved before the channel is opened.
        if (channels_.size() + channelsOpening_ >= wire::kMaxChannels) return nullptr;
        ++channelsOpening_;
    }
    std::shared_ptr<Link> channel = openChannel(deadline);
    const std::lock_guard<std::mutex> guard(lock());
    --channelsOpening_;
    if (channel == nullptr) return nullptr;
    if (dead_.load(std::memory_order_relaxed)) {
        channel->channel->shutdown();
        return nullptr;
    }
    try {
        channels_.push_back(channel);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return channel;
}

// Connects a new channel to the peer's listener and joins it to this
// session; the peer answers the join once the channel is its. Null when
// that fails; the caller then uses the primary link.
std::shared_ptr<Link> Session::openChannel(uint64_t deadline) noexcept {
    std::string address;
    {
        const std::lock_guard<std::mutex> guard(lock());
        try {
            address = peerAddress_;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    // Opening a channel is worth a short wait at most: the primary link
    // serves as well.
    const uint64_t openDeadline = std::min(deadline, monotonicNs() + host_.limits().stallNs);
    ucred peer{};
    const int fd = connectTo(address, openDeadline, &peer);
    if (fd < 0) return nullptr;
    if (peer.pid != peerPid_ || peer.uid != peerUid_) {
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<Link> link;
    try {
        link = std::make_shared<Link>(std::make_unique<SocketChannel>(fd), false, true);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return nullptr;
    }
    trackFd(fd);
    wire::FrameHeader join = wire::makeHeader(wire::kJoin);
    join.senderThread = token_;
    FramePtr answer;
    if (link->channel->send(join, nullptr, nullptr, nullptr, 0) != wire::Io::kDone) return nullptr;
    for (;;) {
        if (!link->channel->waitReadable(openDeadline) && monotonicNs() >= openDeadline) return nullptr;
        const wire::Io io = link->channel->receive(&answer);
        if (io == wire::Io::kAgain) continue;
        if (io != wire::Io::kDone || answer->header.kind != wire::kJoin ||
            answer->header.senderThread != token_ || answer->header.code != wire::kHelloAccepted) {
            return nullptr;
        }
        break;
    }
    link->reading = false;
    link->watchId = host_.watch(fd, 0, weak_from_this());
    if (link->watchId == 0) return nullptr;
    return link;
}

void Session::returnChannel(const std::shared_ptr<Link>& channel) noexcept {
    const std::lock_guard<std::mutex> guard(lock());
    if (dead_.load(std::memory_order_relaxed)) return;
    try {
        idleChannels_.push_back(channel);
    } catch (const std::bad_alloc&) {
        // The channel stays open but unused until the session ends.
    }
}

void Session::dropChannel(const std::shared_ptr<Link>& channel) noexcept {
    if (channel == nullptr) return;
    {
        const std::lock_guard<std::mutex> guard(lock());
        auto it = std::find(channels_.begin(), channels_.end(), channel);
        if (it == channels_.end()) return;  // dropped by another path
        channels_.erase(it);
        auto idle = std::find(idleChannels_.begin(), idleChannels_.end(), channel);
        if (idle != idleChannels_.end()) idleChannels_.erase(idle);
    }
    host_.unwatch(channel->watchId, channel->channel->pollFd());
    discardOutbox(*channel);
    channel->channel->shutdown();
}

bool Session::acceptChannel(int fd) noexcept {
    std::shared_ptr<Link> link;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed) || channels_.size() >= wire::kMaxChannels) return false;
        try {
            link = std::make_shared<Link>(std::make_unique<SocketChannel>(fd), false, false);
            channels_.push_back(link);
        } catch (const std::bad_alloc&) {
            if (link != nullptr) static_cast<SocketChannel*>(link->channel.get())->forget();
            return false;
        }
    }
    trackFd(fd);
    wire::FrameHeader answer = wire::makeHeader(wire::kJoin);
    answer.senderThread = token_;
    link->watchId = host_.watch(fd, EPOLLIN, weak_from_this());
    if (link->watchId == 0 || link->channel->send(answer, nullptr, nullptr, nullptr, 0) != wire::Io::kDone) {
        dropChannel(link);
    }
    return true;
}

// ---- Reading: the loop ----

void Session::onReady(uint64_t watchId, uint32_t events) noexcept {
    if (!alive()) return;
    if (watchId == primary_->watchId) {
        if ((events & EPOLLOUT) != 0) drainOutbox(*primary_);
        // A paused link is not read, but a peer that hung up meanwhile is
        // gone: its unread frames go with it.
        if ((events & (EPOLLHUP | EPOLLERR)) != 0 && paused_.load(std::memory_order_relaxed)) {
            kill();
            return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) readPrimary();
        return;
    }
    std::shared_ptr<Link> channel = findChannel(watchId);
    if (channel == nullptr) return;
    if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
        bool reading;
        {
            const std::lock_guard<std::mutex> guard(channel->sendMutex);
            reading = channel->reading;
        }
        // A hang-up is reported whether watched for or not: a channel the
        // loop does not read (idle, or in a thread's hands) is closed here,
        // and that thread finds it broken.
        if (!reading) {
            dropChannel(channel);
            return;
        }
    }
    if ((events & EPOLLOUT) != 0) drainOutbox(*channel);
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) readChannel(channel);
}

void Session::readPrimary() noexcept {
    for (uint32_t i = 0; i < kLoopReadBatch && alive() && !paused_.load(std::memory_order_relaxed); ++i) {
        FramePtr frame;
        const wire::Io io = primary_->channel->receive(&frame);
        if (io == wire::Io::kAgain) return;
        if (io == wire::Io::kBroken) {
            kill();
            return;
        }
        route(std::move(frame));
    }
}

void Session::readChannel(const std::shared_ptr<Link>& channel) noexcept {
    {
        const std::lock_guard<std::mutex> guard(channel->sendMutex);
        if (!channel->reading || channel->closed) return;
    }
    for (uint32_t i = 0; i < kLoopReadBatch; ++i) {
        FramePtr frame;
        const wire::Io io = channel->channel->receive(&frame);
        if (io == wire::Io::kAgain) return;
        if (io == wire::Io::kBroken) {
            dropChannel(channel);
            return;
        }
        const wire::FrameHeader& h = frame->header;
        if (channel->calling) {
            // A channel whose call gave up: its late reply is dropped, and
            // the channel is clean again once it has come.
            if (h.kind == wire::kReply) {
                const bool last = h.seq == channel->drainSeq && h.targetThread == channel->drainThread;
                postRefusal(std::move(frame), STATUS_OK, nullptr);
                if (last) {
                    {
                        const std::lock_guard<std::mutex> guard(channel->sendMutex);
                        channel->reading = false;
                        channel->drainSeq = 0;
                        updateWatch(*channel);
                    }
                    returnChannel(channel);
                    return;
                }
            } else if (h.kind == wire::kTransaction && (h.flags & FLAG_ONEWAY) == 0 && h.targetThread == 0) {
                postRefusal(std::move(frame), STATUS_TIMED_OUT, channel);
            } else {
                dropChannel(channel);
                return;
            }
            continue;
        }
        // Serving side: a new conversation starts with a two-way call.
        if (h.kind != wire::kTransaction || (h.flags & FLAG_ONEWAY) != 0 || h.targetThread != 0) {
            dropChannel(channel);
            return;
        }
        {
            const std::lock_guard<std::mutex> guard(channel->sendMutex);
            channel->reading = false;
            updateWatch(*channel);
        }
        if (h.fdCount != wire::fdsTakenBy(h.code)) {
            postRefusal(std::move(frame), STATUS_FDS_NOT_ALLOWED, channel);
        } else if (!answerOnLoop(*frame, channel)) {
            toPool(std::move(frame), channel);
        }
        return;
    }
}

void Session::route(FramePtr frame) noexcept {
    const wire::FrameHeader& h = frame->header;
    switch (h.kind) {
        case wire::kReply: {
            {
                const std::lock_guard<std::mutex> guard(lock());
                auto it = waiting_.find(h.targetThread);
                if (it != waiting_.end() && it->second->seq == h.seq) {
                    WaitSlot* slot = it->second;
                    if (chargeFrame(*frame)) {
                        try {
                            slot->inbox.push_back(std::move(frame));
                        } catch (const std::bad_alloc&) {
                            dischargeFrame(*frame);
                        }
                    }
                    if (frame == nullptr) {
                        slot->wake.notify_one();
                        return;
                    }
                }
            }
            // A reply nobody waits for any more (its call timed out): its
            // references are counted, then dropped.
            postRefusal(std::move(frame), STATUS_OK, nullptr);
            return;
        }
        case wire::kTransaction: {
            const bool oneway = (h.flags & FLAG_ONEWAY) != 0;
            if (h.fdCount != (oneway ? 0u : wire::fdsTakenBy(h.code))) {
                postRefusal(std::move(frame), STATUS_FDS_NOT_ALLOWED, nullptr);
                return;
            }
            if (oneway) {
                enqueueOneway(std::move(frame));
                return;
            }
            if (h.targetThread != 0) {
                // A call back into a thread that waits on this peer: that
                // thread serves it, so a chain of calls needs no other thread.
                const std::lock_guard<std::mutex> guard(lock());
                auto it = waiting_.find(h.targetThread);
                if (it != waiting_.end() && chargeFrame(*frame)) {
                    try {
                        it->second->inbox.push_back(std::move(frame));
                        it->second->wake.notify_one();
                        return;
                    } catch (const std::bad_alloc&) {
                        dischargeFrame(*frame);
                    }
                }
            }
            if (!answerOnLoop(*frame, nullptr)) toPool(std::move(frame), nullptr);
            return;
        }
        case wire::kRelease: {
            DropList dropped;
            binder_status_t status;
            {
                const std::lock_guard<std::mutex> guard(lock());
                status = objects_.applyReleases(frame->body.data(), h.dataSize / wire::kReleaseRecordSize, &dropped);
            }
            if (status != STATUS_OK) {
                // Giving back what was never sent is a protocol fault.
                for (StrongRef& ref : dropped) ref.release()->decStrong();
                kill();
                return;
            }
            if (!dropped.empty()) releaseLater(std::move(dropped), Fired());
            return;
        }
        case wire::kDeath: {
            Fired fired;
            {
                const std::lock_guard<std::mutex> guard(lock());
                objects_.importsDied(frame->body.data(), h.dataSize / 4, &fired);
            }
            if (!fired.empty()) releaseLater(DropList(), std::move(fired));
            return;
        }
        default:
            kill();
            return;
    }
}

// Runtime requests that run no user code are answered here, so that a busy
// pool never delays a lookup or a ping.
bool Session::answerOnLoop(Frame& frame, const std::shared_ptr<Link>& channel) noexcept {
    const wire::FrameHeader h = frame.header;
    if (h.objectCount != 0 || h.objectBytes != 0) return false;
    const uint64_t start = tapOn() ? monotonicNs() : 0;
    if (h.code == wire::kPingTransaction) {
        bool known = h.handle == 0;
        if (!known) {
            const std::lock_guard<std::mutex> guard(lock());
            known = objects_.exported(h.handle) != nullptr;
        }
        const binder_status_t status = known ? STATUS_OK : STATUS_BAD_VALUE;
        sendStatusReply(h, status, channel);
        if (channel != nullptr) handBack(channel);
        if (start != 0) reportServed(h, servedTarget(h, nullptr).get(), 0, status, start);
        return true;
    }
    if (h.handle != 0 || h.code != wire::kGetServiceTransaction) return false;
    const ParcelPtr request(newParcel());
    const ParcelPtr reply(newParcel());
    if (request == nullptr || reply == nullptr) return false;
    request->adoptWire(std::move(frame.body), h.dataSize, PodVector<ObjectEntry>());
    StringView name{};
    binder_status_t status = request->readString(&name);
    if (status == STATUS_OK && name.bytes == nullptr) status = STATUS_UNEXPECTED_NULL;
    StrongRef service;
    if (status == STATUS_OK) {
        service = StrongRef::adopt(host_.findService(name.bytes));
        status = service.get() != nullptr ? reply->writeBinder(service.get()) : STATUS_NAME_NOT_FOUND;
    }
    sendReply(h, status, status == STATUS_OK ? reply.get() : nullptr, channel);
    if (channel != nullptr) handBack(channel);
    if (start != 0) reportServed(h, nullptr, status == STATUS_OK ? reply->dataSize() : 0, status, start);
    // The reply's reference goes with the parcel; ours may be the last if
    // the service was withdrawn meanwhile, and ending it runs user code.
    AIBinder* held = service.release();
    if (held != nullptr) {
        if (held->strongCount() > 1) {
            held->decStrong();
        } else {
            DropList dropped;
            try {
                dropped.push_back(StrongRef::adopt(held));
            } catch (const std::bad_alloc&) {
                held->decStrong();
            }
            releaseLater(std::move(dropped), Fired());
        }
    }
    return true;
}

// A serving-side channel whose call was answered here goes back to the
// loop for its next call.
void Session::handBack(const std::shared_ptr<Link>& channel) noexcept {
    const std::lock_guard<std::mutex> guard(channel->sendMutex);
    channel->reading = true;
    updateWatch(*channel);
}

void Session::toPool(FramePtr frame, const std::shared_ptr<Link>& channel) noexcept {
    // A peer's calls occupy at most its share of the pool; more wait here,
    // counted against its queue allowance.
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return;
        if (serving_ >= host_.limits().threadShare.load(std::memory_order_relaxed)) {
            if (!chargeFrame(*frame)) return;
            try {
                backlog_.push_back(Backlogged{std::move(frame), channel});
                return;
            } catch (const std::bad_alloc&) {
                dischargeFrame(*frame);
                return;
            }
        }
        ++serving_;
    }
    Task task;
    task.run = &Session::runServe;
    task.session = shared_from_this();
    task.frame = std::move(frame);
    task.link = channel;
    if (!host_.post(std::move(task))) servedOne();
}

void Session::servedOne() noexcept {
    Backlogged next;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (backlog_.empty() || dead_.load(std::memory_order_relaxed)) {
            if (serving_ > 0) --serving_;
            return;
        }
        next = std::move(backlog_.front());
        backlog_.pop_front();
    }
    dischargeFrame(*next.frame);
    Task task;
    task.run = &Session::runServe;
    task.session = shared_from_this();
    task.frame = std::move(next.frame);
    task.link = std::move(next.channel);
    if (!host_.post(std::move(task))) servedOne();
}

void Session::runServe(Task& task) noexcept {
    Session& session = *task.session;
    session.serve(*task.frame, task.link, nullptr);
    task.frame.reset();
    session.servedOne();
    if (task.link != nullptr) session.lingerOnChannel(task.link);
}

// The thread that served a channel's call waits a moment for the next one
// on it, which then needs no hand-over; it leaves at once when other work
// may need it.
void Session::lingerOnChannel(const std::shared_ptr<Link>& channel) noexcept {
    uint64_t deadline = monotonicNs() + host_.limits().stickyNs;
    while (alive() && host_.poolHasRoom()) {
        {
            const std::lock_guard<std::mutex> guard(channel->sendMutex);
            if (channel->closed || channel->reading) return;
        }
        if (!channel->channel->waitReadable(deadline)) break;
        FramePtr frame;
        const wire::Io io = channel->channel->receive(&frame);
        if (io == wire::Io::kAgain) continue;
        if (io == wire::Io::kBroken) {
            dropChannel(channel);
            return;
        }
        const wire::FrameHeader& h = frame->header;
        if (h.kind != wire::kTransaction || (h.flags & FLAG_ONEWAY) != 0 || h.targetThread != 0) {
            dropChannel(channel);
            return;
        }
        if (h.fdCount != wire::fdsTakenBy(h.code)) {
            refuse(*frame, STATUS_FDS_NOT_ALLOWED, channel);
        } else {
            serve(*frame, channel, nullptr);
        }
        deadline = monotonicNs() + host_.limits().stickyNs;
    }
    handBack(channel);
}

void Session::enqueueOneway(FramePtr frame) noexcept {
    StrongRef target;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return;
        target = StrongRef(objects_.exported(frame->header.handle));
    }
    if (target.get() == nullptr || !chargeFrame(*frame)) {
        // A stale or forged target, or no room: the call is read and dropped.
        if (frame != nullptr) postRefusal(std::move(frame), STATUS_BAD_VALUE, nullptr);
        return;
    }
    Task task;
    task.run = &Session::runOneway;
    task.session = shared_from_this();
    task.frame = std::move(frame);
    task.arg = reinterpret_cast<int64_t>(target.get());
    host_.queueOneway(target.get(), std::move(task));
}

// One call of an object's one-way queue, on the object its handle named
// when it arrived.
void Session::runOneway(Task& task) noexcept {
    Session& session = *task.session;
    session.dischargeFrame(*task.frame);
    if (!session.alive()) return;
    session.serve(*task.frame, nullptr, reinterpret_cast<AIBinder*>(task.arg));
}

void Session::postRefusal(FramePtr frame, binder_status_t status, const std::shared_ptr<Link>& channel) noexcept {
    Task task;
    task.run = &Session::runDiscard;
    task.session = shared_from_this();
    task.frame = std::move(frame);
    task.link = channel;
    task.arg = status;
    host_.post(std::move(task));
}

void Session::runDiscard(Task& task) noexcept {
    Session& session = *task.session;
    session.refuse(*task.frame, static_cast<binder_status_t>(task.arg), task.link);
    if (task.link != nullptr && !task.link->calling) session.handBack(task.link);
}

void Session::refuse(Frame& frame, binder_status_t status, const std::shared_ptr<Link>& channel) noexcept {
    const wire::FrameHeader header = frame.header;
    const ParcelPtr dropped(newParcel());
    if (dropped != nullptr) (void)decode(frame, dropped.get());
    frame.fds.clear();
    if (header.kind == wire::kTransaction && (header.flags & FLAG_ONEWAY) == 0) {
        sendStatusReply(header, status, channel);
    }
}

// ---- The allowance of queued frames ----

bool Session::chargeFrame(const Frame& frame) noexcept {
    const size_t bytes = frame.footprint();
    const size_t total = queued_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    queuedFds_.fetch_add(frame.fds.size(), std::memory_order_relaxed);
    const Limits& limits = host_.limits();
    const bool processOk = host_.charge(bytes, frame.fds.size());
    // Over its share, the peer is no longer read until its queue drains;
    // with the whole process over its limit, a peer over its share is cut
    // off.
    if (total > limits.queuedBytes / 8 || queuedFds_.load(std::memory_order_relaxed) > limits.queuedFds / 8) {
        if (!processOk) {
            host_.discharge(bytes, frame.fds.size());
            queued_.fetch_sub(bytes, std::memory_order_relaxed);
            queuedFds_.fetch_sub(frame.fds.size(), std::memory_order_relaxed);
            std::fprintf(stderr, "bgs: peer %d queued more than its share of this process; disconnected\n",
                         static_cast<int>(peerPid_));
            // The caller holds the lock: the end of the session is posted.
            Task task;
            task.session = shared_from_this();
            task.work = [weak = weak_from_this()] {
                if (auto session = weak.lock()) session->kill();
            };
            host_.post(std::move(task));
            return false;
        }
        pauseReading(true);
    }
    return true;
}

void Session::dischargeFrame(const Frame& frame) noexcept {
    const size_t bytes = frame.footprint();
    const size_t left = queued_.fetch_sub(bytes, std::memory_order_relaxed) - bytes;
    queuedFds_.fetch_sub(frame.fds.size(), std::memory_order_relaxed);
    host_.discharge(bytes, frame.fds.size());
    if (paused_.load(std::memory_order_relaxed) && left < host_.limits().queuedBytes / 16 &&
        queuedFds_.load(std::memory_order_relaxed) < host_.limits().queuedFds / 16) {
        pauseReading(false);
    }
}

void Session::pauseReading(bool paused) noexcept {
    if (paused_.exchange(paused, std::memory_order_relaxed) == paused) return;
    const std::lock_guard<std::mutex> guard(primary_->sendMutex);
    primary_->reading = !paused;
    updateWatch(*primary_);
}

// ---- Serving: pool threads ----

void Session::serve(Frame& frame, const std::shared_ptr<Link>& channel, AIBinder* target) noexcept {
    const wire::FrameHeader header = frame.header;
    ThreadState& state = threadState();
    // Calls served inside each other on one thread are bounded: a peer that
    // answers every callback with another call cannot exhaust the stack.
    if (state.calls.size() >= host_.limits().nestingDepth) {
        refuse(frame, STATUS_INVALID_OPERATION, channel);
        return;
    }
    // A cached parcel: it takes the frame's body buffer and leaves its own
    // for the frame, so that neither costs an allocation next time.
    const ParcelPtr request(newParcel());
    bool tracked = request != nullptr;
    if (tracked) {
        try {
            state.calls.push_back(IncomingCall{this, channel.get(), header.senderThread, peerPid_, peerUid_});
        } catch (const std::bad_alloc&) {
            tracked = false;
        }
    }
    if (!tracked) {
        refuse(frame, STATUS_NO_MEMORY, channel);
        return;
    }
    const uint64_t start = tapOn() ? monotonicNs() : 0;
    AParcel* reply = nullptr;
    const binder_status_t status = dispatch(frame, target, request.get(), &reply);
    state.calls.pop_back();
    // Reported once the reply is on its way, so that watching costs the
    // caller nothing; the target is held from before, since the caller may
    // release it as soon as it has the reply.
    const StrongRef served = start != 0 ? servedTarget(header, target) : StrongRef();
    if ((header.flags & FLAG_ONEWAY) == 0) sendReply(header, status, reply, channel);
    if (start != 0) reportServed(header, served.get(), reply != nullptr ? reply->dataSize() : 0, status, start);
    AParcel_delete(reply);
}

StrongRef Session::servedTarget(const wire::FrameHeader& header, AIBinder* target) noexcept {
    if (target != nullptr || header.handle == 0) return StrongRef(target);
    const std::lock_guard<std::mutex> guard(lock());
    return StrongRef(objects_.exported(header.handle));
}

void Session::reportServed(const wire::FrameHeader& header, AIBinder* binder, size_t replyBytes,
                           binder_status_t status, uint64_t startNs) noexcept {
    tapTransaction(TapEvent{true, (header.flags & FLAG_ONEWAY) != 0, peerPid_,
                            binder != nullptr ? binder->descriptor() : kProcessDescriptor,
                            binder != nullptr ? binder->getClass() : nullptr, header.code, header.dataSize, replyBytes,
                            status, startNs});
}

binder_status_t Session::dispatch(Frame& frame, AIBinder* resolved, AParcel* request, AParcel** reply) noexcept {
    const wire::FrameHeader header = frame.header;
    // Decoding comes first even when the target is bad: references the
    // peer sent back must be counted as read.
    binder_status_t status = decode(frame, request);
    if (status != STATUS_OK) return status;
    StrongRef target(resolved);
    if (header.handle != 0 && target.get() == nullptr) {
        const std::lock_guard<std::mutex> guard(lock());
        target = StrongRef(objects_.exported(header.handle));
        if (target.get() == nullptr) status = STATUS_BAD_VALUE;
    }
    if (status != STATUS_OK) return status;
    if (header.handle == 0) {
        if (header.code == wire::kPingTransaction) return STATUS_OK;
        if (header.code != wire::kGetServiceTransaction) return STATUS_UNKNOWN_TRANSACTION;
        StringView name{};
        status = request->readString(&name);
        if (status != STATUS_OK) return status;
        if (name.bytes == nullptr) return STATUS_UNEXPECTED_NULL;
        const StrongRef service = StrongRef::adopt(host_.findService(name.bytes));
        if (service.get() == nullptr) return STATUS_NAME_NOT_FOUND;
        AParcel* out = newParcel();
        if (out == nullptr) return STATUS_NO_MEMORY;
        status = out->writeBinder(service.get());
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

// ---- Death ----

void Session::releaseLater(DropList dropped, Fired fired) noexcept {
    Task task;
    try {
        task.work = [dropped = std::make_shared<DropList>(std::move(dropped)),
                     fired = std::make_shared<Fired>(std::move(fired))] {
            dropped->clear();
            for (auto& entry : *fired) {
                for (DeathLink& link : entry.second) link.recipient->fire(entry.first.get(), link.cookie);
            }
        };
    } catch (const std::bad_alloc&) {
        return;  // released here, on whatever thread this is
    }
    host_.post(std::move(task));
}

void Session::kill() noexcept {
    if (stale()) return;
    DropList dropped;
    Fired fired;
    std::vector<std::shared_ptr<Link>> channels;
    std::deque<Backlogged> backlog;
    {
        const std::lock_guard<std::mutex> guard(lock());
        if (dead_.load(std::memory_order_relaxed)) return;
        dead_.store(true, std::memory_order_release);
        for (auto& entry : waiting_) {
            for (WaitSlot* slot = entry.second; slot != nullptr; slot = slot->outer) slot->wake.notify_all();
        }
        objects_.endSession(&dropped, &fired);
        channels.swap(channels_);
        idleChannels_.clear();
        backlog.swap(backlog_);
    }
    for (auto& entry : backlog) dischargeFrame(*entry.frame);
    std::vector<Task> oneway;
    host_.dropOneway(this, &oneway);
    for (Task& task : oneway) dischargeFrame(*task.frame);
    for (const std::shared_ptr<Link>& link : channels) {
        host_.unwatch(link->watchId, link->channel->pollFd());
        discardOutbox(*link);
        link->channel->shutdown();
    }
    host_.unwatch(primary_->watchId, primary_->channel->pollFd());
    discardOutbox(*primary_);
    // Wakes a thread blocked on the socket; the descriptor itself stays open
    // (its number taken) until the session goes.
    primary_->channel->shutdown();
    host_.sessionDied(*this);
    releaseLater(std::move(dropped), std::move(fired));
}

void Session::checkDeadlines(uint64_t nowNs) noexcept {
    const uint64_t stall = host_.limits().stallNs;
    auto stalled = [&](Link& link) {
        const std::lock_guard<std::mutex> guard(link.sendMutex);
        if (!link.outbox.empty() && nowNs - link.outbox.front()->queuedAt > stall) return true;
        return link.calling && link.drainSeq != 0 && nowNs - link.drainSince > stall;
    };
    if (stalled(*primary_)) {
        std::fprintf(stderr, "bgs: peer %d stopped reading; disconnected\n", static_cast<int>(peerPid_));
        kill();
        return;
    }
    std::vector<std::shared_ptr<Link>> channels;
    {
        const std::lock_guard<std::mutex> guard(lock());
        try {
            channels = channels_;
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    for (const auto& channel : channels) {
        if (stalled(*channel)) dropChannel(channel);
    }
}

}  // namespace binder_ndk::internal
