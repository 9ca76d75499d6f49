// The process side of the runtime.
#include "../base/public_api.h"

#include "process_internal.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <android/binder_manager.h>
#include <android/binder_process.h>

#include "../base/binder_internal.h"
#include "../base/clock.h"
#include "../base/env.h"
#include "../base/parcel_internal.h"
#include "../registry/registry.h"
#include "../transport/channel.h"
#include "../transport/session.h"
#include "../transport/thread_state.h"
#include "event_loop.h"
#include "monitor.h"
#include "pool.h"

namespace binder_ndk::internal {
namespace {

// ---- Limits ----

void readLimits(Limits& limits) noexcept {
    limits.queuedBytes = static_cast<size_t>(envNumber("BGS_MAX_QUEUED_BYTES", int64_t{64} << 20, 1 << 20,
                                                       int64_t{1} << 40));
    limits.queuedFds = static_cast<size_t>(envNumber("BGS_MAX_QUEUED_FDS", 256, 8, 1 << 20));
    limits.nestingDepth = static_cast<uint32_t>(envNumber("BGS_MAX_NESTING", 64, 1, 4096));
    limits.stallNs = static_cast<uint64_t>(envNumber("BGS_STALL_MS", 5000, 10, 3600000)) * kNsPerMs;
    limits.helloNs = static_cast<uint64_t>(envNumber("BGS_HELLO_MS", 2000, 10, 3600000)) * kNsPerMs;
    limits.stickyNs = static_cast<uint64_t>(envNumber("BGS_LINGER_US", 200, 0, 1000000)) * 1000u;
}

// Connections a peer user may have open, and of those not yet introduced.
size_t connectionLimit() noexcept {
    rlimit files{};
    size_t fromFiles = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) fromFiles = files.rlim_cur;
    // Room is left for the process's own descriptors.
    const size_t fallback = fromFiles > 64 ? fromFiles - fromFiles / 4 : 16;
    return static_cast<size_t>(envNumber("BGS_MAX_CONNECTIONS", static_cast<int64_t>(fallback), 4, 1 << 20));
}

sockaddr_un abstractAddress(const std::string& name, socklen_t* length) noexcept {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

bool peerCredentials(int fd, ucred* peer) noexcept {
    socklen_t length = sizeof *peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &length) == 0 && length == sizeof *peer;
}

uint64_t randomToken() noexcept {
    uint64_t token = 0;
    while (token == 0) {
        if (::getrandom(&token, sizeof token, 0) != sizeof token) token = monotonicNs() ^ (uint64_t(::getpid()) << 32);
    }
    return token;
}

class Process;

// What became of an attempt to reach the process a registry entry names.
enum class Reach {
    kReached,
    kGone,        // nothing listens there any more, another process does, or it no longer serves the name
    kNoAnswer,    // the handshake or the lookup failed or did not complete in time
    kRefusedUs,   // the process answered that it does not talk to this user
    kNotAllowed,  // the process runs as a user this process does not allow
};

// An accepted socket that has not said yet what it is (hello or join).
struct Pending final : IoWatcher {
    Pending(Process& p, int socket, const ucred& who, bool refuse) noexcept
        : process(p), fd(socket), peer(who), since(monotonicNs()), refused(refuse) {}
    void onReady(uint64_t, uint32_t) noexcept override;
    Process& process;
    int fd;
    ucred peer;
    uint64_t since;
    // Of a user this process does not talk to: its hello is answered
    // kHelloRefusedUser, so that the connector can tell why, and nothing else.
    bool refused;
    uint64_t watchId = 0;
};

struct Listener final : IoWatcher {
    explicit Listener(Process& p) noexcept : process(p) {}
    void onReady(uint64_t, uint32_t) noexcept override;
    Process& process;
};

// ---- The process state of one fork epoch ----

class Process final : public SessionHost {
  public:
    explicit Process(uint64_t epoch) noexcept : epoch_(epoch), loop_(epoch), pool_(epoch) {
        readLimits(limits_);
        connectionLimit_ = connectionLimit();
        limits_.threadShare.store(shareOf(1));
    }

    static Process& get() noexcept;

    // SessionHost
    bool post(Task&& task) noexcept override { return pool_.post(std::move(task)); }
    bool poolHasRoom() const noexcept override { return pool_.hasRoom(); }
    uint64_t watch(int fd, uint32_t events, std::weak_ptr<IoWatcher> watcher) noexcept override {
        if (!startLoop()) return 0;
        return loop_.watch(fd, events, std::move(watcher));
    }
    void rewatch(uint64_t id, int fd, uint32_t events) noexcept override { loop_.rewatch(id, fd, events); }
    void unwatch(uint64_t id, int fd) noexcept override { loop_.unwatch(id, fd); }
    void sessionDied(Session& session) noexcept override;
    AIBinder* findService(const char* name) noexcept override;
    const Limits& limits() const noexcept override { return limits_; }
    bool charge(size_t bytes, size_t fds) noexcept override {
        const size_t total = queuedBytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        size_t peak = peakQueued_.load(std::memory_order_relaxed);
        while (total > peak && !peakQueued_.compare_exchange_weak(peak, total, std::memory_order_relaxed)) {
        }
        const size_t totalFds = queuedFds_.fetch_add(fds, std::memory_order_relaxed) + fds;
        return total <= limits_.queuedBytes && totalFds <= limits_.queuedFds;
    }
    void discharge(size_t bytes, size_t fds) noexcept override {
        queuedBytes_.fetch_sub(bytes, std::memory_order_relaxed);
        queuedFds_.fetch_sub(fds, std::memory_order_relaxed);
    }
    bool onLoopThread() const noexcept override { return loop_.onLoopThread(); }
    void queueOneway(AIBinder* target, Task&& task) noexcept override;
    void dropOneway(const Session* session, std::vector<Task>* dropped) noexcept override;

    std::shared_ptr<Session> connect(const ServiceEndpoint& endpoint, uint64_t deadline, Reach* reach,
                                     uid_t* peerUid) noexcept;
    bool ensureListener(std::string* address) noexcept;
    bool ownAddress(const std::string& address) noexcept;
    BgsRegistryOutcome addService(AIBinder* binder, const char* name, RegistryReport* report) noexcept;
    binder_exception_t removeService(const char* name) noexcept;
    AIBinder* fetch(const char* name, const ServiceEndpoint& endpoint, uint64_t deadline, Reach* reach,
                    uid_t* peerUid) noexcept;

    bool setMaxThreads(uint32_t count) noexcept;
    void startPool() noexcept;
    void joinPool() noexcept;
    void allowUid(uid_t uid) noexcept;

    void acceptSome() noexcept;
    void onPending(Pending& pending) noexcept;

  private:
    static uint32_t shareOf(uint32_t threads) noexcept { return threads <= 1 ? 1 : (threads + 1) / 2; }
    bool startLoop() noexcept;
    bool peerAllowed(uid_t uid) noexcept;
    void dropPending(Pending& pending, bool close) noexcept;
    void tick(uint64_t now) noexcept;
    size_t connectionsOfLocked(uid_t uid) const noexcept;
    std::shared_ptr<Session> biggestHolderLocked(uid_t uid) const noexcept;
    std::shared_ptr<Session> adopt(int fd, const ucred& peer, uint64_t token, const std::string& address) noexcept;

    const uint64_t epoch_;
    EventLoop loop_;
    Pool pool_;
    Limits limits_;
    size_t connectionLimit_ = 0;
    std::atomic<size_t> queuedBytes_{0};
    std::atomic<size_t> queuedFds_{0};
    std::atomic<size_t> peakQueued_{0};  // since memory was last given back

    std::mutex mutex_;
    bool loopStarted_ = false;
    int listenFd_ = -1;
    std::string address_;
    std::shared_ptr<Listener> listener_;
    int spareFd_ = -1;
    uint64_t nextSessionId_ = 1;
    std::unordered_map<uint64_t, std::shared_ptr<Pending>> pending_;           // by watch id
    std::unordered_map<uint64_t, std::shared_ptr<Session>> sessions_;          // by id
    std::unordered_map<uint64_t, std::weak_ptr<Session>> tokens_;              // for joining channels
    // One session per peer process, whichever side connected: an object
    // then always comes home as itself.
    std::unordered_map<pid_t, std::weak_ptr<Session>> byPid_;
    std::unordered_map<pid_t, uint32_t> connecting_;  // handshakes under way, by peer
    std::shared_ptr<Session> livePeerLocked(pid_t pid) const noexcept;
    std::unordered_map<std::string, StrongRef> services_;
    std::vector<uid_t> allowedUids_;
    // One-way calls per object: run one at a time, in order, on pool threads.
    struct OnewayQueue {
        StrongRef target;
        std::deque<Task> tasks;
        bool running = false;
    };
    void drainOneway(AIBinder* target) noexcept;
    std::mutex onewayMutex_;
    std::unordered_map<AIBinder*, OnewayQueue> oneway_;
    uint32_t maxThreads_ = 15;
    bool poolStarted_ = false;
};

std::atomic<Process*> gProcess{nullptr};

void resetAfterFork() {
    // The parent's process state may be locked by threads the child does
    // not have: it is left behind, never freed or touched. The child's own
    // is made on first use, outside the fork handler.
    gProcess.store(nullptr, std::memory_order_release);
    ThreadState& state = threadState();
    state.calls.clear();
    state.waitingOn.clear();
    state.poolThread = false;
}

Process& Process::get() noexcept {
    Process* process = gProcess.load(std::memory_order_acquire);
    if (process != nullptr) return *process;
    static const bool hooked = [] {
        onForkChild(resetAfterFork);
        return true;
    }();
    (void)hooked;
    // Never freed: runtime threads may still run while the process exits.
    // Threads that race here agree on one; the others' go.
    Process* made = new Process(currentEpoch());
    if (!gProcess.compare_exchange_strong(process, made, std::memory_order_acq_rel)) {
        delete made;
        return *process;
    }
    return *made;
}

bool Process::startLoop() noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (loopStarted_) return true;
        loopStarted_ = true;
    }
    loop_.setTicker([this](uint64_t now) { tick(now); }, 100);
    return loop_.start();
}

// ---- Accepting ----

void Listener::onReady(uint64_t, uint32_t) noexcept { process.acceptSome(); }
void Pending::onReady(uint64_t, uint32_t) noexcept { process.onPending(*this); }

std::shared_ptr<Session> Process::biggestHolderLocked(uid_t uid) const noexcept {
    std::unordered_map<pid_t, size_t> held;
    std::shared_ptr<Session> newest;
    pid_t biggest = 0;
    size_t most = 0;
    try {
        for (const auto& entry : sessions_) {
            if (entry.second->peerUid() != uid) continue;
            size_t& count = held[entry.second->peerPid()];
            count += entry.second->connectionCount();
            if (count > most) {
                most = count;
                biggest = entry.second->peerPid();
            }
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (const auto& entry : sessions_) {
        if (entry.second->peerPid() == biggest && (newest == nullptr || entry.first > newest->id())) {
            newest = entry.second;
        }
    }
    return newest;
}

size_t Process::connectionsOfLocked(uid_t uid) const noexcept {
    size_t count = 0;
    for (const auto& entry : pending_) count += entry.second->peer.uid == uid;
    for (const auto& entry : sessions_) {
        if (entry.second->peerUid() == uid) count += entry.second->connectionCount();
    }
    return count;
}

void Process::acceptSome() noexcept {
    int listenFd;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        listenFd = listenFd_;
    }
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors, a waiting connection would keep the
                // listener ready forever: a spare descriptor is given up to
                // take and close it.
                const std::lock_guard<std::mutex> lock(mutex_);
                if (spareFd_ >= 0) {
                    untrackFd(spareFd_);
                    ::close(spareFd_);
                }
                const int refused = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (refused >= 0) ::close(refused);
                spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (spareFd_ >= 0) trackFd(spareFd_);
                std::fprintf(stderr, "bgs: out of descriptors; a connection was refused\n");
            }
            return;
        }
        ucred peer{};
        if (!peerCredentials(fd, &peer)) {
            ::close(fd);
            continue;
        }
        const bool refused = !peerAllowed(peer.uid);
        std::shared_ptr<Pending> pending;
        std::shared_ptr<Pending> evicted;
        std::shared_ptr<Session> cutOff;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            // A user at its connection allowance makes room: among its
            // connections not yet introduced the oldest gives way, so idle
            // connections cannot shut out a client that says hello at once;
            // failing that, the process holding the most connections loses
            // its newest session.
            if (connectionsOfLocked(peer.uid) >= connectionLimit_) {
                for (const auto& entry : pending_) {
                    if (entry.second->peer.uid != peer.uid) continue;
                    if (evicted == nullptr || entry.second->since < evicted->since) evicted = entry.second;
                }
                if (evicted == nullptr) cutOff = biggestHolderLocked(peer.uid);
                if (evicted == nullptr && cutOff == nullptr) {
                    ::close(fd);
                    continue;
                }
                static std::atomic<bool> told{false};
                if (!told.exchange(true)) {
                    std::fprintf(stderr, "bgs: user %u has %zu connections open, the most allowed; the oldest "
                                 "idle one, or the biggest holder's newest, is closed for each new one\n",
                                 static_cast<unsigned>(peer.uid), connectionLimit_);
                }
            }
            try {
                pending = std::make_shared<Pending>(*this, fd, peer, refused);
            } catch (const std::bad_alloc&) {
                ::close(fd);
                continue;
            }
        }
        if (evicted != nullptr) dropPending(*evicted, true);
        if (cutOff != nullptr) cutOff->kill();
        trackFd(fd);
        pending->watchId = loop_.watch(fd, EPOLLIN, pending);
        if (pending->watchId == 0) {
            untrackFd(fd);
            ::close(fd);
            continue;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            pending_.emplace(pending->watchId, pending);
        } catch (const std::bad_alloc&) {
            loop_.unwatch(pending->watchId, fd);
            untrackFd(fd);
            ::close(fd);
        }
    }
}

void Process::dropPending(Pending& pending, bool close) noexcept {
    std::shared_ptr<Pending> held;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_.find(pending.watchId);
        if (it == pending_.end()) return;
        held = std::move(it->second);
        pending_.erase(it);
    }
    loop_.unwatch(pending.watchId, pending.fd);
    if (close) {
        untrackFd(pending.fd);
        ::close(pending.fd);
    }
}

std::shared_ptr<Session> Process::adopt(int fd, const ucred& peer, uint64_t token,
                                        const std::string& address) noexcept {
    std::shared_ptr<Session> session;
    try {
        const std::lock_guard<std::mutex> lock(mutex_);
        session = std::make_shared<Session>(*this, fd, peer.pid, peer.uid, nextSessionId_++, epoch_, token, address);
        sessions_.emplace(session->id(), session);
        tokens_[token] = session;
        // The first live session with a process is the one used to reach
        // it; more (only a peer that is not this runtime makes them) are
        // served but never chosen.
        if (livePeerLocked(peer.pid) == nullptr) byPid_[peer.pid] = session;
    } catch (const std::bad_alloc&) {
        if (session == nullptr) ::close(fd);
        return nullptr;
    }
    if (!session->start()) return nullptr;
    return session;
}

void Process::onPending(Pending& pending) noexcept {
    FramePtr frame;
    const wire::Io io = wire::receiveFrame(pending.fd, &frame);
    if (io == wire::Io::kAgain) return;
    if (io == wire::Io::kBroken) {
        dropPending(pending, true);
        return;
    }
    const wire::FrameHeader& h = frame->header;
    const uint64_t token = h.senderThread;
    if (pending.refused) {
        // Only the refusal is said, and only to a hello; the user's
        // connection allowance bounds how many such connections wait.
        if (h.kind == wire::kHello) {
            wire::FrameHeader answer = wire::makeHeader(wire::kHello);
            answer.senderThread = token;
            answer.code = wire::kHelloRefusedUser;
            (void)wire::sendFrame(pending.fd, answer, nullptr, nullptr, nullptr, 0);
        }
        dropPending(pending, true);
        return;
    }
    if (h.kind == wire::kHello) {
        bool known = false;
        bool duplicate = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = tokens_.find(token);
            known = it != tokens_.end() && !it->second.expired();
            // One session per pair of processes: the runtime connects only
            // to a peer it has no session with. Two processes that connect
            // to each other at once both see the other's hello while their
            // own is under way; the one from the lower pid wins, and the
            // other side is sent back to it.
            duplicate = connecting_.count(pending.peer.pid) != 0 && ::getpid() < pending.peer.pid;
        }
        // A token names one session: a second hello with it is refused.
        if (known) {
            dropPending(pending, true);
            return;
        }
        dropPending(pending, false);
        const ucred peer = pending.peer;
        const int fd = pending.fd;
        wire::FrameHeader answer = wire::makeHeader(wire::kHello);
        answer.senderThread = token;
        answer.code = duplicate ? wire::kHelloDuplicate : wire::kHelloAccepted;
        if (duplicate) {
            (void)wire::sendFrame(fd, answer, nullptr, nullptr, nullptr, 0);
            untrackFd(fd);
            ::close(fd);
            return;
        }
        // The answer goes before the session is watched, so nothing can
        // overtake it; the socket is new and takes it at once.
        if (wire::sendFrame(fd, answer, nullptr, nullptr, nullptr, 0) != wire::Io::kDone) {
            untrackFd(fd);
            ::close(fd);
            return;
        }
        untrackFd(fd);  // the session tracks it from here
        adopt(fd, peer, token, std::string());
        return;
    }
    if (h.kind == wire::kJoin) {
        std::shared_ptr<Session> session;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = tokens_.find(token);
            if (it != tokens_.end()) session = it->second.lock();
        }
        // A channel joins only a session of the same process.
        if (session == nullptr || session->peerPid() != pending.peer.pid ||
            session->peerUid() != pending.peer.uid) {
            dropPending(pending, true);
            return;
        }
        dropPending(pending, false);
        untrackFd(pending.fd);
        if (!session->acceptChannel(pending.fd)) {
            // Refused channels leave the session as it is: the peer uses
            // its primary link instead.
            wire::FrameHeader answer = wire::makeHeader(wire::kJoin);
            answer.senderThread = token;
            answer.code = wire::kHelloDuplicate;
            (void)wire::sendFrame(pending.fd, answer, nullptr, nullptr, nullptr, 0);
            ::close(pending.fd);
        }
        return;
    }
    if (h.kind == wire::kMonitor) {
        dropPending(pending, false);
        acceptMonitor(*this, pending.fd, pending.peer);
        return;
    }
    dropPending(pending, true);
}

void Process::tick(uint64_t now) noexcept {
    std::vector<std::shared_ptr<Pending>> expired;
    std::vector<std::shared_ptr<Session>> sessions;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            for (const auto& entry : pending_) {
                if (now - entry.second->since > limits_.helloNs) expired.push_back(entry.second);
            }
            sessions.reserve(sessions_.size());
            for (const auto& entry : sessions_) sessions.push_back(entry.second);
        } catch (const std::bad_alloc&) {
        }
    }
    // A connection that does not introduce itself in time is closed.
    for (const auto& pending : expired) dropPending(*pending, true);
    for (const auto& session : sessions) session->checkDeadlines(now);
    // Queued frames that peers piled up and that are gone now leave free
    // heap behind: it goes back to the system, so that a flood leaves the
    // process as large as it was.
    const size_t peak = peakQueued_.load(std::memory_order_relaxed);
    const size_t queued = queuedBytes_.load(std::memory_order_relaxed);
    if (peak > (size_t{8} << 20) && queued < peak / 4) {
        peakQueued_.store(queued, std::memory_order_relaxed);
        ::malloc_trim(0);
    }
}

void Process::sessionDied(Session& session) noexcept {
    std::shared_ptr<Session> held;
    std::vector<std::shared_ptr<Session>> others;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = sessions_.find(session.id());
        if (it != sessions_.end()) {
            held = std::move(it->second);
            sessions_.erase(it);
        }
        tokens_.erase(session.token());
        auto peer = byPid_.find(session.peerPid());
        if (peer != byPid_.end()) {
            auto live = peer->second.lock();
            if (live == nullptr || live.get() == &session) byPid_.erase(peer);
        }
        try {
            for (const auto& entry : sessions_) others.push_back(entry.second);
        } catch (const std::bad_alloc&) {
        }
    }
    // Objects this process relays from the dead peer die for their holders
    // too.
    for (const auto& other : others) other->relayDeaths(&session);
    // `held` goes last, after the lock.
}

bool Process::peerAllowed(uid_t uid) noexcept {
    if (uid == ::geteuid()) return true;
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::find(allowedUids_.begin(), allowedUids_.end(), uid) != allowedUids_.end();
}

void Process::allowUid(uid_t uid) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        allowedUids_.push_back(uid);
    } catch (const std::bad_alloc&) {
    }
}

// ---- One-way queues ----

void Process::queueOneway(AIBinder* target, Task&& task) noexcept {
    {
        const std::lock_guard<std::mutex> lock(onewayMutex_);
        try {
            OnewayQueue& queue = oneway_[target];
            if (queue.target.get() == nullptr) queue.target = StrongRef(target);
            queue.tasks.push_back(std::move(task));
            if (queue.running) return;
            queue.running = true;
        } catch (const std::bad_alloc&) {
            return;  // `task` goes with its frame; the call is lost with the memory
        }
    }
    Task drain;
    drain.work = [this, target] { drainOneway(target); };
    if (!post(std::move(drain))) {
        const std::lock_guard<std::mutex> lock(onewayMutex_);
        oneway_[target].running = false;
    }
}

// Runs a queue's calls in order; the object's queue stays while a call
// runs, so that calls arriving meanwhile wait behind it.
void Process::drainOneway(AIBinder* target) noexcept {
    for (;;) {
        Task next;
        StrongRef done;
        {
            const std::lock_guard<std::mutex> lock(onewayMutex_);
            auto it = oneway_.find(target);
            if (it == oneway_.end()) return;
            if (it->second.tasks.empty()) {
                done = std::move(it->second.target);
                oneway_.erase(it);
                return;  // `done` is released after the lock
            }
            next = std::move(it->second.tasks.front());
            it->second.tasks.pop_front();
        }
        next.run(next);
    }
}

void Process::dropOneway(const Session* session, std::vector<Task>* dropped) noexcept {
    const std::lock_guard<std::mutex> lock(onewayMutex_);
    for (auto& entry : oneway_) {
        auto& tasks = entry.second.tasks;
        for (auto it = tasks.begin(); it != tasks.end();) {
            if (it->session.get() != session) {
                ++it;
                continue;
            }
            try {
                dropped->push_back(std::move(*it));
            } catch (const std::bad_alloc&) {
                ++it;
                continue;  // it stays queued and is skipped when it runs
            }
            it = tasks.erase(it);
        }
    }
}

// ---- Connecting ----

std::shared_ptr<Session> Process::livePeerLocked(pid_t pid) const noexcept {
    auto it = byPid_.find(pid);
    if (it == byPid_.end()) return nullptr;
    std::shared_ptr<Session> session = it->second.lock();
    return session != nullptr && session->alive() ? session : nullptr;
}

std::shared_ptr<Session> Process::connect(const ServiceEndpoint& endpoint, uint64_t deadline, Reach* reach,
                                          uid_t* peerUid) noexcept {
    *reach = Reach::kNoAnswer;
    *peerUid = endpoint.uid;
    if (endpoint.address.empty() || endpoint.address.size() > 100) {
        *reach = Reach::kGone;
        return nullptr;
    }
    struct Handshake {
        Process& process;
        pid_t pid;
        ~Handshake() {
            const std::lock_guard<std::mutex> lock(process.mutex_);
            auto it = process.connecting_.find(pid);
            if (it != process.connecting_.end() && --it->second == 0) process.connecting_.erase(it);
        }
    };
    try {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            std::shared_ptr<Session> known = livePeerLocked(endpoint.pid);
            if (known != nullptr) {
                // The peer may have connected first; its listener lets this
                // side open channels too.
                known->learnPeerAddress(endpoint.address);
                *reach = Reach::kReached;
                *peerUid = known->peerUid();
                return known;
            }
            ++connecting_[endpoint.pid];
        }
        const Handshake underway{*this, endpoint.pid};
        if (!startLoop()) return nullptr;
        // A process that talks to another listens too, even if it serves
        // nothing, so that it can be watched (bgs/monitor.h).
        std::string own;
        (void)ensureListener(&own);
        // The handshake is bounded even without a deadline: a listener that
        // does not answer is retried by the caller, not waited on forever.
        const uint64_t handshake = std::min(deadline, monotonicNs() + limits_.stallNs);
        ucred peer{};
        const int fd = connectTo(endpoint.address, handshake, &peer);
        if (fd < 0) {
            // Nothing listens there any more: the entry is stale.
            if (errno == ECONNREFUSED || errno == ENOENT) *reach = Reach::kGone;
            return nullptr;
        }
        // The listener must be the process the entry names, and of a user
        // this process accepts.
        *peerUid = peer.uid;
        if (peer.pid != endpoint.pid || !peerAllowed(peer.uid)) {
            ::close(fd);
            *reach = peer.pid != endpoint.pid ? Reach::kGone : Reach::kNotAllowed;
            return nullptr;
        }
        const uint64_t token = randomToken();
        wire::FrameHeader hello = wire::makeHeader(wire::kHello);
        hello.senderThread = token;
        FramePtr answer;
        bool answered = wire::sendFrame(fd, hello, nullptr, nullptr, nullptr, 0) == wire::Io::kDone;
        while (answered) {
            const wire::Io io = wire::receiveFrame(fd, &answer);
            if (io == wire::Io::kDone) break;
            if (io == wire::Io::kBroken || (!wire::waitReady(fd, POLLIN, handshake) && monotonicNs() >= handshake)) {
                answered = false;
            }
        }
        if (!answered || answer->header.kind != wire::kHello || answer->header.senderThread != token) {
            ::close(fd);
            return nullptr;
        }
        if (answer->header.code == wire::kHelloRefusedUser) {
            ::close(fd);
            *reach = Reach::kRefusedUs;
            return nullptr;
        }
        if (answer->header.code == wire::kHelloDuplicate) {
            // The peer has a session with this process, or is opening one
            // the other way and its own wins: that one is used, once its
            // hello has been taken here.
            ::close(fd);
            for (;;) {
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    std::shared_ptr<Session> known = livePeerLocked(endpoint.pid);
                    if (known != nullptr) {
                        known->learnPeerAddress(endpoint.address);
                        *reach = Reach::kReached;
                        return known;
                    }
                }
                if (monotonicNs() >= handshake) return nullptr;
                const timespec pause{0, 1000 * 1000};
                ::nanosleep(&pause, nullptr);
            }
        }
        if (answer->header.code != wire::kHelloAccepted) {
            ::close(fd);
            return nullptr;
        }
        std::shared_ptr<Session> session = adopt(fd, peer, token, endpoint.address);
        if (session == nullptr || !session->alive()) return nullptr;
        *reach = Reach::kReached;
        return session;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool Process::ensureListener(std::string* address) noexcept {
    if (!startLoop()) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (listenFd_ >= 0) {
        *address = address_;
        return true;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        uint64_t nonce = randomToken();
        char name[64];
        std::snprintf(name, sizeof name, "bgs.%d.%016" PRIx64, static_cast<int>(::getpid()), nonce);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        socklen_t length = 0;
        const sockaddr_un where = abstractAddress(name, &length);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0 || ::listen(fd, 128) != 0) {
            ::close(fd);
            continue;  // the name is taken: draw another
        }
        try {
            listener_ = std::make_shared<Listener>(*this);
            address_ = name;
            *address = address_;
        } catch (const std::bad_alloc&) {
            ::close(fd);
            return false;
        }
        listenFd_ = fd;
        trackFd(fd);
        if (loop_.watch(fd, EPOLLIN, listener_) == 0) return false;
        spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (spareFd_ >= 0) trackFd(spareFd_);
        return true;
    }
    return false;
}

bool Process::ownAddress(const std::string& address) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return listenFd_ >= 0 && address == address_;
}

BgsRegistryOutcome Process::addService(AIBinder* binder, const char* name, RegistryReport* report) noexcept {
    std::string address;
    try {
        if (!registryUsable(report)) return report->outcome;
        if (!ensureListener(&address)) {
            report->outcome = BGS_REGISTRY_UNUSABLE;
            report->message = "cannot open this process's listener";
            return report->outcome;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (services_.count(name) != 0) {
                report->outcome = BGS_REGISTRY_NAME_TAKEN;
                report->pid = ::getpid();
                report->uid = ::geteuid();
                report->message = "name taken by this process (pid " + std::to_string(::getpid()) + ")";
                return report->outcome;
            }
            services_.emplace(name, StrongRef(binder));
        }
        ServiceEndpoint self;
        self.pid = ::getpid();
        self.address = address;
        const BgsRegistryOutcome result = registryPublish(name, self, report);
        if (result == BGS_REGISTRY_OK) return result;
        StrongRef dropped;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = services_.find(name);
            dropped = std::move(it->second);
            services_.erase(it);
        }
        return result;
    } catch (const std::bad_alloc&) {
        report->outcome = BGS_REGISTRY_UNUSABLE;
        return report->outcome;
    }
}

binder_exception_t Process::removeService(const char* name) noexcept {
    StrongRef dropped;
    try {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = services_.find(name);
        if (it == services_.end()) return EX_ILLEGAL_ARGUMENT;
        dropped = std::move(it->second);
        services_.erase(it);
    } catch (const std::bad_alloc&) {
        return EX_ILLEGAL_STATE;
    }
    registryWithdraw(name);
    return EX_NONE;  // the reference goes after the lock
}

AIBinder* Process::findService(const char* name) noexcept {
    try {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = services_.find(name);
        if (it == services_.end()) return nullptr;
        AIBinder* binder = it->second.get();
        binder->incStrong();
        return binder;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Asks the process behind `endpoint` for the binder it serves under `name`.
AIBinder* Process::fetch(const char* name, const ServiceEndpoint& endpoint, uint64_t deadline, Reach* reach,
                         uid_t* peerUid) noexcept {
    if (endpoint.pid == ::getpid() && ownAddress(endpoint.address)) {
        *peerUid = ::geteuid();
        AIBinder* own = findService(name);
        *reach = own != nullptr ? Reach::kReached : Reach::kGone;
        return own;
    }
    std::shared_ptr<Session> session = connect(endpoint, deadline, reach, peerUid);
    if (session == nullptr) return nullptr;
    *reach = Reach::kNoAnswer;
    AParcel request;
    if (request.writeString(name, static_cast<int32_t>(std::strlen(name))) != STATUS_OK) return nullptr;
    AParcel* reply = nullptr;
    // The lookup is answered by the peer's event loop, however busy its pool.
    ThreadState& state = threadState();
    const int64_t saved = state.callTimeoutMs;
    const uint64_t now = monotonicNs();
    const uint64_t bounded = std::min(deadline, now + limits_.stallNs);
    state.callTimeoutMs = static_cast<int64_t>((bounded - std::min(bounded, now)) / kNsPerMs) + 1;
    const binder_status_t status = session->callProcess(wire::kGetServiceTransaction, request, &reply);
    state.callTimeoutMs = saved;
    if (status != STATUS_OK) {
        if (status == STATUS_DEAD_OBJECT || status == STATUS_NAME_NOT_FOUND) *reach = Reach::kGone;
        return nullptr;
    }
    AIBinder* binder = nullptr;
    if (reply->readBinder(&binder) != STATUS_OK) binder = nullptr;
    AParcel_delete(reply);
    if (binder != nullptr) *reach = Reach::kReached;
    return binder;
}

bool Process::setMaxThreads(uint32_t count) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (poolStarted_ || count == 0) return false;
    maxThreads_ = count;
    return true;
}

void Process::startPool() noexcept {
    uint32_t wanted;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (poolStarted_) return;
        poolStarted_ = true;
        wanted = maxThreads_;
    }
    limits_.threadShare.store(shareOf(wanted));
    pool_.setMaxThreads(wanted, true);
    startLoop();
}

void Process::joinPool() noexcept {
    startLoop();
    pool_.join();
}

}  // namespace

}  // namespace binder_ndk::internal

using binder_ndk::internal::Process;
using binder_ndk::internal::ServiceEndpoint;

// ---- Service registry ----

namespace binder_ndk::internal {
namespace {

BgsRegistryOutcome finish(const RegistryReport& found, BgsRegistryReport* report) noexcept {
    if (report != nullptr) {
        report->outcome = found.outcome;
        report->pid = found.pid;
        report->uid = found.uid;
        std::snprintf(report->message, sizeof report->message, "%s", found.message.c_str());
    }
    return found.outcome;
}

BgsRegistryOutcome invalidArgument(const char* why, BgsRegistryReport* report) noexcept {
    if (report != nullptr) {
        *report = BgsRegistryReport{BGS_REGISTRY_INVALID_ARGUMENT, 0, static_cast<uid_t>(-1), {}};
        std::snprintf(report->message, sizeof report->message, "%s", why);
    }
    return BGS_REGISTRY_INVALID_ARGUMENT;
}

// Looks `name` up as BgsServiceManager_lookup describes; *binder is set on
// BGS_REGISTRY_OK only.
BgsRegistryOutcome lookUp(const char* name, int32_t timeoutMs, AIBinder** binder, RegistryReport* report) {
    if (!isValidServiceName(name)) {
        report->outcome = BGS_REGISTRY_INVALID_NAME;
        report->message = "not a valid service name (1 to 255 printable characters, no spaces)";
        return report->outcome;
    }
    if (!registryUsable(report)) return report->outcome;
    const uint64_t deadline = deadlineAfterMs(timeoutMs);
    // Looking once still gives the process found time to answer (bounded
    // by the stall limit inside fetch()).
    const uint64_t fetchDeadline = timeoutMs == 0 ? kNoDeadline : deadline;
    std::string skip;
    ServiceEndpoint last;
    bool silent = false;  // the last process found did not answer
    for (;;) {
        ServiceEndpoint endpoint;
        const int32_t remaining = timeoutMs == 0 ? 0 : pollTimeoutMs(deadline);
        if (!registryWait(name, remaining, skip, &endpoint)) break;
        Reach reach = Reach::kNoAnswer;
        uid_t peerUid = endpoint.uid;
        *binder = Process::get().fetch(name, endpoint, fetchDeadline, &reach, &peerUid);
        if (*binder != nullptr) {
            report->outcome = BGS_REGISTRY_OK;
            report->pid = endpoint.pid;
            report->uid = peerUid;
            return report->outcome;
        }
        report->pid = endpoint.pid;
        report->uid = peerUid;
        const std::string who = "pid " + std::to_string(endpoint.pid) + " (uid " + std::to_string(peerUid) + ")";
        if (reach == Reach::kRefusedUs) {
            report->outcome = BGS_REGISTRY_PERMISSION_DENIED;
            report->message = who + " serves it but refused this user (uid " + std::to_string(::geteuid()) + ")";
            return report->outcome;
        }
        if (reach == Reach::kNotAllowed) {
            report->outcome = BGS_REGISTRY_PERMISSION_DENIED;
            report->message = who + " serves it, a user this process does not allow (ABinderProcess_allowPeerUid)";
            return report->outcome;
        }
        // An address is given up only when nothing listens there or its
        // process no longer serves the name; a live but slow service is
        // asked again.
        silent = reach != Reach::kGone;
        last = endpoint;
        if (reach == Reach::kGone) skip = endpoint.address;
        if (timeoutMs == 0 || monotonicNs() >= deadline) break;
        if (silent) {
            const timespec pause{0, 20 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }
    *binder = nullptr;
    if (silent) {
        report->outcome = BGS_REGISTRY_UNREACHABLE;
        report->message = "pid " + std::to_string(last.pid) + " serves it but did not answer" +
                          (timeoutMs > 0 ? " within " + std::to_string(timeoutMs) + " ms" : std::string());
    } else {
        report->outcome = BGS_REGISTRY_NOT_SERVED;
        report->pid = 0;
        report->uid = static_cast<uid_t>(-1);
        report->message = "no live process serves it (registry " + registryDirectory() + ")";
    }
    return report->outcome;
}

}  // namespace
}  // namespace binder_ndk::internal

using binder_ndk::internal::RegistryReport;

BgsRegistryOutcome BgsServiceManager_lookup(const char* name, int32_t timeoutMs, AIBinder** binder,
                                            BgsRegistryReport* report) {
    if (binder == nullptr) return binder_ndk::internal::invalidArgument("no place for the binder", report);
    RegistryReport found;
    *binder = nullptr;
    try {
        binder_ndk::internal::lookUp(name, timeoutMs, binder, &found);
    } catch (const std::bad_alloc&) {
        if (*binder != nullptr) AIBinder_decStrong(*binder);
        *binder = nullptr;
        found = RegistryReport();
        found.outcome = BGS_REGISTRY_UNREACHABLE;
    }
    return binder_ndk::internal::finish(found, report);
}

BgsRegistryOutcome BgsServiceManager_publish(AIBinder* binder, const char* name, BgsRegistryReport* report) {
    RegistryReport found;
    if (binder == nullptr || binder->isRemote()) {
        found.outcome = BGS_REGISTRY_INVALID_ARGUMENT;
        found.message = binder == nullptr ? "no binder" : "a remote binder cannot be published";
    } else if (!binder_ndk::internal::isValidServiceName(name)) {
        found.outcome = BGS_REGISTRY_INVALID_NAME;
        found.message = "not a valid service name (1 to 255 printable characters, no spaces)";
    } else {
        Process::get().addService(binder, name, &found);
    }
    return binder_ndk::internal::finish(found, report);
}

BgsRegistryOutcome BgsServiceManager_list(void* context, void (*callback)(const BgsServiceEntry* entry, void* context),
                                          BgsRegistryReport* report) {
    if (callback == nullptr) return binder_ndk::internal::invalidArgument("no callback", report);
    RegistryReport found;
    if (binder_ndk::internal::registryUsable(&found)) {
        struct Listing {
            void* context;
            void (*callback)(const BgsServiceEntry*, void*);
        } listing{context, callback};
        binder_ndk::internal::registryForEach(&listing, [](const char* name, const ServiceEndpoint& endpoint,
                                                           void* listed) {
            const BgsServiceEntry entry{name, endpoint.pid, endpoint.uid};
            const auto* to = static_cast<Listing*>(listed);
            to->callback(&entry, to->context);
        });
    }
    return binder_ndk::internal::finish(found, report);
}

size_t BgsServiceManager_getDirectory(char* buffer, size_t size) {
    const std::string& path = binder_ndk::internal::registryPath();
    if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", path.c_str());
    return path.size();
}

const char* BgsRegistryOutcome_name(BgsRegistryOutcome outcome) {
    switch (outcome) {
        case BGS_REGISTRY_OK: return "BGS_REGISTRY_OK";
        case BGS_REGISTRY_NOT_SERVED: return "BGS_REGISTRY_NOT_SERVED";
        case BGS_REGISTRY_NAME_TAKEN: return "BGS_REGISTRY_NAME_TAKEN";
        case BGS_REGISTRY_PERMISSION_DENIED: return "BGS_REGISTRY_PERMISSION_DENIED";
        case BGS_REGISTRY_UNUSABLE: return "BGS_REGISTRY_UNUSABLE";
        case BGS_REGISTRY_INVALID_NAME: return "BGS_REGISTRY_INVALID_NAME";
        case BGS_REGISTRY_UNREACHABLE: return "BGS_REGISTRY_UNREACHABLE";
        case BGS_REGISTRY_INVALID_ARGUMENT: return "BGS_REGISTRY_INVALID_ARGUMENT";
    }
    return "BGS_REGISTRY_?";
}

const char* BgsBinder_getDescriptor(const AIBinder* binder) {
    return binder == nullptr ? nullptr : binder->descriptor();
}

binder_exception_t AServiceManager_addService(AIBinder* binder, const char* instance) {
    const BgsRegistryOutcome outcome = BgsServiceManager_publish(binder, instance, nullptr);
    if (outcome == BGS_REGISTRY_OK) return EX_NONE;
    return outcome == BGS_REGISTRY_INVALID_ARGUMENT || outcome == BGS_REGISTRY_INVALID_NAME ? EX_ILLEGAL_ARGUMENT
                                                                                           : EX_ILLEGAL_STATE;
}

binder_exception_t AServiceManager_removeService(const char* instance) {
    if (!binder_ndk::internal::isValidServiceName(instance)) return EX_ILLEGAL_ARGUMENT;
    return Process::get().removeService(instance);
}

AIBinder* AServiceManager_checkService(const char* instance) {
    return AServiceManager_waitForServiceTimeout(instance, 0);
}

AIBinder* AServiceManager_waitForServiceTimeout(const char* instance, int32_t timeoutMs) {
    AIBinder* binder = nullptr;
    BgsServiceManager_lookup(instance, timeoutMs, &binder, nullptr);
    return binder;
}

AIBinder* AServiceManager_waitForService(const char* instance) {
    return AServiceManager_waitForServiceTimeout(instance, -1);
}

void AServiceManager_forEachService(void* context, void (*callback)(const char* instance, void* context)) {
    if (callback == nullptr) return;
    struct Listing {
        void* context;
        void (*callback)(const char*, void*);
    } listing{context, callback};
    BgsServiceManager_list(&listing, [](const BgsServiceEntry* entry, void* listed) {
        const auto* to = static_cast<Listing*>(listed);
        to->callback(entry->name, to->context);
    }, nullptr);
}

// ---- Threads ----

bool ABinderProcess_setThreadPoolMaxThreadCount(uint32_t numThreads) {
    return Process::get().setMaxThreads(numThreads);
}

void ABinderProcess_startThreadPool(void) { Process::get().startPool(); }

void ABinderProcess_joinThreadPool(void) {
    Process::get().joinPool();
    for (;;) ::pause();  // reached only in a forked child's stale pool
}

void ABinderProcess_allowPeerUid(uid_t uid) { Process::get().allowUid(uid); }

// ---- Call deadlines ----

void AIBinder_setCallTimeoutMs(int32_t timeoutMs) {
    binder_ndk::internal::threadState().callTimeoutMs = timeoutMs < 0 ? -1 : timeoutMs;
}

int32_t AIBinder_getCallTimeoutMs(void) {
    const int64_t own = binder_ndk::internal::threadState().callTimeoutMs;
    return static_cast<int32_t>(own >= 0 ? own : binder_ndk::internal::defaultCallTimeoutMs());
}

int32_t AIBinder_getThreadCallTimeoutMs(void) {
    return static_cast<int32_t>(binder_ndk::internal::threadState().callTimeoutMs);
}

// ---- Caller identity ----

uid_t AIBinder_getCallingUid(void) {
    const auto& calls = binder_ndk::internal::threadState().calls;
    return calls.empty() ? ::geteuid() : calls.back().uid;
}

pid_t AIBinder_getCallingPid(void) {
    const auto& calls = binder_ndk::internal::threadState().calls;
    return calls.empty() ? ::getpid() : calls.back().pid;
}
