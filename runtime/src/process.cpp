// The process: its sessions, listener, runtime threads and work queue, the
// service registry entry points, caller identity, tracing and fork handling.
#include "process_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
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
#include <thread>
#include <unordered_map>

#include <android/binder_manager.h>
#include <android/binder_process.h>

#include "binder_internal.h"
#include "parcel_internal.h"
#include "registry.h"
#include "session.h"

namespace binder_ndk::internal {
namespace {

constexpr uint64_t kWakeId = 1;
constexpr uint64_t kListenerId = 2;
constexpr uint64_t kFirstSessionId = 16;

// ---- Descriptors to close after fork ----

constexpr size_t kTrackedFdSlots = 4096;
std::atomic<int> gTrackedFds[kTrackedFdSlots];  // fd + 1; 0 is a free slot

std::atomic<uint64_t> gEpoch{1};

void closeTrackedFds() noexcept {
    for (auto& slot : gTrackedFds) {
        const int value = slot.exchange(0, std::memory_order_relaxed);
        if (value != 0) ::close(value - 1);
    }
}

// ---- The process state of one fork epoch ----

struct OnewayQueue {
    std::deque<std::function<void()>> items;
};

class Process {
  public:
    explicit Process(uint64_t epoch) noexcept : epoch_(epoch) {}

    static Process& get() noexcept;

    bool ensureEpoll() noexcept;
    void ensureThreads(uint32_t wanted) noexcept;
    void poolLoop() noexcept;
    void post(std::function<void()> work) noexcept;
    void postOneway(AIBinder* target, std::function<void()> work) noexcept;
    void forget(uint64_t id) noexcept;

    std::shared_ptr<Session> connect(const ServiceEndpoint& endpoint) noexcept;
    bool ensureListener(std::string* address) noexcept;
    bool ownAddress(const std::string& address) noexcept;
    binder_exception_t addService(AIBinder* binder, const char* name) noexcept;
    binder_exception_t removeService(const char* name) noexcept;
    AIBinder* findService(const char* name) noexcept;
    AIBinder* fetch(const char* name, const ServiceEndpoint& endpoint) noexcept;

    bool setMaxThreads(uint32_t count) noexcept;
    void startPool() noexcept;
    void allowUid(uid_t uid) noexcept;

  private:
    // What epoll watches under an id: an accepted socket before its first
    // frame, a session's primary socket, or one of its channels.
    struct Watched {
        enum Kind { kPending, kSession, kChannel } kind;
        std::shared_ptr<Session> session;
        int fd;
        ucred peer;
    };
    std::shared_ptr<Session> adopt(int fd, const ucred& peer, uint64_t token, std::string peerAddress) noexcept;
    void onPending(uint64_t id, int fd, const ucred& peer) noexcept;
    void dropPending(uint64_t id, int fd) noexcept;
    bool watchLocked(uint64_t id, int fd) noexcept;
    bool peerAllowed(uid_t uid) noexcept;
    void acceptOne() noexcept;
    void refuseOne(int listenFd) noexcept;
    void runOneWork() noexcept;
    void drainOneway(AIBinder* target) noexcept;

    const uint64_t epoch_;
    std::mutex mutex_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    int listenFd_ = -1;
    std::string address_;
    std::mutex spareMutex_;
    int spareFd_ = -1;
    uint64_t nextSessionId_ = kFirstSessionId;
    std::unordered_map<uint64_t, Watched> watched_;
    std::unordered_map<uint64_t, std::weak_ptr<Session>> tokens_;  // accepted sessions, for joining channels
    std::unordered_map<std::string, std::shared_ptr<Session>> outgoing_;  // by peer address
    std::deque<std::function<void()>> work_;
    std::unordered_map<AIBinder*, OnewayQueue> oneway_;
    std::unordered_map<std::string, StrongRef> services_;
    std::vector<uid_t> allowedUids_;
    uint32_t threads_ = 0;
    uint32_t maxThreads_ = 4;
    bool poolStarted_ = false;
};

std::atomic<Process*> gProcess{nullptr};

void childAfterFork() noexcept {
    // The child has only this thread. Nothing of the parent's runtime is
    // touched (its locks may be held by threads that do not exist here): its
    // descriptors are closed and a fresh state replaces it.
    closeTrackedFds();
    const uint64_t epoch = gEpoch.load(std::memory_order_relaxed) + 1;
    gEpoch.store(epoch, std::memory_order_relaxed);
    gProcess.store(new (std::nothrow) Process(epoch), std::memory_order_release);
    ThreadState& state = threadState();
    state.calls.clear();
    state.runtimeThread = false;
}

Process& Process::get() noexcept {
    Process* process = gProcess.load(std::memory_order_acquire);
    if (process != nullptr) return *process;
    static std::once_flag once;
    std::call_once(once, [] {
        ::pthread_atfork(nullptr, nullptr, childAfterFork);
        // Never freed: runtime threads may still run while the process exits.
        gProcess.store(new Process(gEpoch.load()), std::memory_order_release);
    });
    return *gProcess.load(std::memory_order_acquire);
}

bool Process::ensureEpoll() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (epollFd_ >= 0) return true;
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (epollFd < 0 || wakeFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0) {
        if (epollFd >= 0) ::close(epollFd);
        if (wakeFd >= 0) ::close(wakeFd);
        return false;
    }
    trackFd(epollFd);
    trackFd(wakeFd);
    epollFd_ = epollFd;
    wakeFd_ = wakeFd;
    return true;
}

void Process::ensureThreads(uint32_t wanted) noexcept {
    uint32_t toStart = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (threads_ < wanted) toStart = wanted - threads_;
        threads_ += toStart;
    }
    for (uint32_t i = 0; i < toStart; ++i) {
        try {
            std::thread([this] { poolLoop(); }).detach();
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            --threads_;
        }
    }
}

void Process::poolLoop() noexcept {
    threadState().runtimeThread = true;
    for (;;) {
        if (epoch_ != currentEpoch()) return;
        epoll_event event{};
        const int n = ::epoll_wait(epollFd_, &event, 1, -1);
        if (n <= 0) continue;
        if (event.data.u64 == kWakeId) {
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) == sizeof count) runOneWork();
            continue;
        }
        if (event.data.u64 == kListenerId) {
            acceptOne();
            continue;
        }
        // epoll_event is packed: copy the id out before binding a reference.
        const uint64_t id = event.data.u64;
        Watched watched{Watched::kPending, nullptr, -1, {}};
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = watched_.find(id);
            if (it == watched_.end()) continue;
            watched = it->second;
        }
        switch (watched.kind) {
            case Watched::kSession:
                watched.session->onReadable();
                break;
            case Watched::kChannel:
                watched.session->onChannelReadable(watched.fd, id);
                break;
            case Watched::kPending:
                onPending(id, watched.fd, watched.peer);
                break;
        }
    }
}

void Process::post(std::function<void()> work) noexcept {
    if (!ensureEpoll()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            work_.push_back(std::move(work));
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    ensureThreads(1);
}

void Process::runOneWork() noexcept {
    std::function<void()> work;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (work_.empty()) return;
        work = std::move(work_.front());
        work_.pop_front();
    }
    work();
}

void Process::postOneway(AIBinder* target, std::function<void()> work) noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            OnewayQueue& queue = oneway_[target];
            queue.items.push_back(std::move(work));
            if (queue.items.size() > 1) return;  // a runtime thread is draining it
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    post([this, target] { drainOneway(target); });
}

// Runs the queue's items in order; the item stays queued while it runs so
// that new arrivals wait behind it.
void Process::drainOneway(AIBinder* target) noexcept {
    for (;;) {
        std::function<void()> item;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            item = oneway_[target].items.front();
        }
        item();
        item = nullptr;
        const std::lock_guard<std::mutex> lock(mutex_);
        OnewayQueue& queue = oneway_[target];
        queue.items.pop_front();
        if (queue.items.empty()) {
            oneway_.erase(target);
            return;
        }
    }
}

void Process::forget(uint64_t id) noexcept {
    std::shared_ptr<Session> session;
    const std::lock_guard<std::mutex> lock(mutex_);
    auto it = watched_.find(id);
    if (it == watched_.end() || it->second.kind != Watched::kSession) return;
    session = std::move(it->second.session);
    watched_.erase(it);
    for (auto entry = watched_.begin(); entry != watched_.end();) {
        entry = entry->second.session == session ? watched_.erase(entry) : std::next(entry);
    }
    tokens_.erase(session->token());
    for (auto out = outgoing_.begin(); out != outgoing_.end(); ++out) {
        if (out->second == session) {
            outgoing_.erase(out);
            break;
        }
    }
    // `session` is released after the lock (declared before the guard).
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

bool setSocketTimeouts(int fd) noexcept {
    timeval timeout{wire::kStallSeconds, 0};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

bool peerCredentials(int fd, ucred* peer) noexcept {
    socklen_t length = sizeof *peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &length) == 0 && length == sizeof *peer;
}

// Registers a connected socket as a session watched by the runtime threads.
// Takes `fd` on every path.
std::shared_ptr<Session> Process::adopt(int fd, const ucred& peer, uint64_t token,
                                        std::string peerAddress) noexcept {
    std::shared_ptr<Session> session;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t id = nextSessionId_++;
        try {
            session = std::make_shared<Session>(fd, peer.pid, peer.uid, id, epollFd_, epoch_, token,
                                                std::move(peerAddress));
            watched_.emplace(id, Watched{Watched::kSession, session, fd, peer});
        } catch (const std::bad_alloc&) {
            if (session == nullptr) ::close(fd);
            return nullptr;
        }
        if (!watchLocked(id, fd)) return nullptr;  // the session closes the descriptor
    }
    ensureThreads(1);
    return session;
}

// An accepted socket is watched until its first frame says what it is: a
// new session (hello) or a channel of an existing one (join).
void Process::acceptOne() noexcept {
    int listenFd;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        listenFd = listenFd_;
    }
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) refuseOne(listenFd);
        return;
    }
    ucred peer{};
    if (!peerCredentials(fd, &peer) || !peerAllowed(peer.uid) || !setSocketTimeouts(fd)) {
        ::close(fd);
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t id = nextSessionId_++;
    try {
        watched_.emplace(id, Watched{Watched::kPending, nullptr, fd, peer});
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return;
    }
    if (!watchLocked(id, fd)) ::close(fd);
}

// With the lock held: epoll reports `fd` under `id`, which watched_ already
// names. On failure the entry is gone and the caller still owns `fd`.
bool Process::watchLocked(uint64_t id, int fd) noexcept {
    trackFd(fd);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0) return true;
    watched_.erase(id);
    untrackFd(fd);
    return false;
}

void Process::dropPending(uint64_t id, int fd) noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        watched_.erase(id);
    }
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    untrackFd(fd);
    ::close(fd);
}

void Process::onPending(uint64_t id, int fd, const ucred& peer) noexcept {
    FramePtr frame;
    const ReadResult result = readFrame(fd, &frame, false, nullptr);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (result == ReadResult::kIdle) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
        return;
    }
    if (result != ReadResult::kFrame) {
        dropPending(id, fd);
        return;
    }
    const uint64_t token = frame->header.senderThread;
    if (frame->header.kind == wire::kHello) {
        std::shared_ptr<Session> session;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            try {
                // A token names one session: a second hello with it is refused.
                auto known = tokens_.find(token);
                if (known != tokens_.end() && !known->second.expired()) throw std::bad_alloc();
                session = std::make_shared<Session>(fd, peer.pid, peer.uid, id, epollFd_, epoch_, token,
                                                    std::string());
                tokens_[token] = session;
                watched_[id] = Watched{Watched::kSession, session, fd, peer};
            } catch (const std::bad_alloc&) {
                session = nullptr;
            }
        }
        if (session == nullptr || !writeFrame(fd, frame->header, nullptr, PodVector<uint8_t>(), nullptr, 0)) {
            if (session != nullptr) {
                session->kill();
            } else {
                dropPending(id, fd);
            }
            return;
        }
        ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
        return;
    }
    std::shared_ptr<Session> session;
    if (frame->header.kind == wire::kJoin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto it = tokens_.find(token);
        if (it != tokens_.end()) session = it->second.lock();
        // A channel joins only a session of the same process.
        if (session != nullptr && (session->peerPid() != peer.pid || session->peerUid() != peer.uid)) {
            session = nullptr;
        }
        if (session != nullptr) {
            try {
                watched_[id] = Watched{Watched::kChannel, session, fd, peer};
            } catch (const std::bad_alloc&) {
                session = nullptr;
            }
        }
    }
    if (session == nullptr) {
        dropPending(id, fd);
        return;
    }
    // From here the session owns the descriptor.
    if (!session->addChannel(fd, id)) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            watched_.erase(id);
        }
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        untrackFd(fd);
        ::close(fd);
    }
}

// Out of descriptors, a pending connection would keep the level-triggered
// listener ready forever and spin the runtime threads: a spare descriptor is
// given up to accept and close that connection.
void Process::refuseOne(int listenFd) noexcept {
    const std::lock_guard<std::mutex> lock(spareMutex_);
    if (spareFd_ >= 0) {
        ::close(spareFd_);
        untrackFd(spareFd_);
    }
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spareFd_ >= 0) trackFd(spareFd_);
}

sockaddr_un abstractAddress(const std::string& name, socklen_t* length) noexcept {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

std::shared_ptr<Session> Process::connect(const ServiceEndpoint& endpoint) noexcept {
    if (endpoint.address.empty() || endpoint.address.size() > 100) return nullptr;
    try {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = outgoing_.find(endpoint.address);
            if (it != outgoing_.end() && !it->second->dead()) return it->second;
        }
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) return nullptr;
        socklen_t length = 0;
        const sockaddr_un address = abstractAddress(endpoint.address, &length);
        ucred peer{};
        // The listener must be the process the entry names, and of a user
        // this process accepts.
        uint64_t token = 0;
        if (::getrandom(&token, sizeof token, 0) != sizeof token) token = monotonicNs() ^ ::getpid();
        wire::FrameHeader hello{};
        hello.magic = wire::kFrameMagic;
        hello.kind = wire::kHello;
        hello.senderThread = token;
        // The peer answers the hello once the session is known on its side,
        // so that channels opened right after can join it.
        FramePtr answer;
        if (!ensureEpoll() || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            !peerCredentials(fd, &peer) || peer.pid != endpoint.pid || !peerAllowed(peer.uid) ||
            !setSocketTimeouts(fd) || !writeFrame(fd, hello, nullptr, PodVector<uint8_t>(), nullptr, 0) ||
            readFrame(fd, &answer, false, nullptr) != ReadResult::kFrame || answer->header.kind != wire::kHello ||
            answer->header.senderThread != token) {
            ::close(fd);
            return nullptr;
        }
        std::shared_ptr<Session> session = adopt(fd, peer, token, endpoint.address);
        if (session == nullptr) return nullptr;
        const std::lock_guard<std::mutex> lock(mutex_);
        auto& slot = outgoing_[endpoint.address];
        if (slot == nullptr || slot->dead()) slot = session;
        return session;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool Process::ensureListener(std::string* address) noexcept {
    if (!ensureEpoll()) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (listenFd_ >= 0) {
        *address = address_;
        return true;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        uint64_t nonce = 0;
        if (::getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) nonce ^= monotonicNs();
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
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kListenerId;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            return false;
        }
        trackFd(fd);
        listenFd_ = fd;
        {
            const std::lock_guard<std::mutex> spareLock(spareMutex_);
            spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (spareFd_ >= 0) trackFd(spareFd_);
        }
        try {
            address_ = name;
            *address = address_;
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    return false;
}

bool Process::ownAddress(const std::string& address) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return listenFd_ >= 0 && address == address_;
}

binder_exception_t Process::addService(AIBinder* binder, const char* name) noexcept {
    std::string address;
    if (!ensureListener(&address)) return EX_ILLEGAL_STATE;
    ensureThreads(1);
    try {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (services_.count(name) != 0) return EX_ILLEGAL_STATE;
            services_.emplace(name, StrongRef(binder));
        }
        const binder_exception_t result = registryPublish(name, ServiceEndpoint{::getpid(), address});
        if (result == EX_NONE) return EX_NONE;
        StrongRef dropped;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto it = services_.find(name);
            dropped = std::move(it->second);
            services_.erase(it);
        }
        return result;
    } catch (const std::bad_alloc&) {
        return EX_ILLEGAL_STATE;
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
AIBinder* Process::fetch(const char* name, const ServiceEndpoint& endpoint) noexcept {
    if (endpoint.pid == ::getpid() && ownAddress(endpoint.address)) return findService(name);
    std::shared_ptr<Session> session = connect(endpoint);
    if (session == nullptr) return nullptr;
    AParcel request;
    if (request.writeString(name, static_cast<int32_t>(std::strlen(name))) != STATUS_OK) return nullptr;
    AParcel* reply = nullptr;
    if (session->transact(0, wire::kGetServiceTransaction, request, &reply, 0) != STATUS_OK) return nullptr;
    AIBinder* binder = nullptr;
    if (reply->readBinder(&binder) != STATUS_OK) binder = nullptr;
    AParcel_delete(reply);
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
    if (ensureEpoll()) ensureThreads(wanted);
}

bool gTrace = [] {
    const char* value = std::getenv("BGS_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}();

}  // namespace

// ---- Internal interface ----

ThreadState& threadState() noexcept {
    static std::atomic<uint64_t> nextToken{1};
    thread_local ThreadState state;
    if (state.token == 0) state.token = nextToken.fetch_add(1, std::memory_order_relaxed);
    return state;
}

uint64_t currentEpoch() noexcept { return gEpoch.load(std::memory_order_relaxed); }

void postWork(std::function<void()> work) noexcept { Process::get().post(std::move(work)); }

void postOneway(AIBinder* target, std::function<void()> work) noexcept {
    Process::get().postOneway(target, std::move(work));
}

void forgetSession(uint64_t id) noexcept { Process::get().forget(id); }

AIBinder* findLocalService(const char* name) noexcept { return Process::get().findService(name); }

void trackFd(int fd) noexcept {
    for (auto& slot : gTrackedFds) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1, std::memory_order_relaxed)) return;
    }
}

void untrackFd(int fd) noexcept {
    for (auto& slot : gTrackedFds) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) return;
    }
}

uint64_t monotonicNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool traceEnabled() noexcept { return gTrace; }

void traceTransaction(const char* direction, pid_t peer, const char* descriptor,
                      const AIBinder_Class* clazz, uint32_t code, size_t requestSize,
                      size_t replySize, binder_status_t status, uint64_t startNs) noexcept {
    const char* name = clazz != nullptr ? AIBinder_Class_getFunctionName(clazz, code) : nullptr;
    const char* special = code == wire::kPingTransaction         ? "ping"
                          : code == wire::kDumpTransaction       ? "dump"
                          : code == wire::kShellTransaction      ? "shellCommand"
                          : code == wire::kGetServiceTransaction ? "getService"
                          // Every interface answers these two queries.
                          : code == 0x00ffffffu                  ? "getInterfaceVersion"
                          : code == 0x00fffffeu                  ? "getInterfaceHash"
                                                                 : nullptr;
    if (name == nullptr) name = special != nullptr ? special : "?";
    const double micros = static_cast<double>(monotonicNs() - startNs) / 1000.0;
    std::fprintf(stderr, "bgs-trace %s pid=%d %s code=%u(%s) request=%zu reply=%zu status=%d (%s) %.1fus\n",
                 direction, static_cast<int>(peer), descriptor, code, name, requestSize, replySize,
                 static_cast<int>(status), AStatus_codeName(status), micros);
}

}  // namespace binder_ndk::internal

using binder_ndk::internal::Process;
using binder_ndk::internal::ServiceEndpoint;

// ---- Service registry ----

binder_exception_t AServiceManager_addService(AIBinder* binder, const char* instance) {
    if (binder == nullptr || binder->isRemote() || !binder_ndk::internal::isValidServiceName(instance)) {
        return EX_ILLEGAL_ARGUMENT;
    }
    return Process::get().addService(binder, instance);
}

binder_exception_t AServiceManager_removeService(const char* instance) {
    if (!binder_ndk::internal::isValidServiceName(instance)) return EX_ILLEGAL_ARGUMENT;
    return Process::get().removeService(instance);
}

AIBinder* AServiceManager_checkService(const char* instance) {
    if (!binder_ndk::internal::isValidServiceName(instance)) return nullptr;
    ServiceEndpoint endpoint;
    if (!binder_ndk::internal::registryLookup(instance, &endpoint)) return nullptr;
    return Process::get().fetch(instance, endpoint);
}

AIBinder* AServiceManager_waitForServiceTimeout(const char* instance, int32_t timeoutMs) {
    if (!binder_ndk::internal::isValidServiceName(instance)) return nullptr;
    const uint64_t deadline = binder_ndk::internal::monotonicNs() + uint64_t(timeoutMs < 0 ? 0 : timeoutMs) * 1000000u;
    std::string unreachable;
    for (;;) {
        int32_t remaining = -1;
        if (timeoutMs >= 0) {
            const uint64_t now = binder_ndk::internal::monotonicNs();
            remaining = now >= deadline ? 0 : static_cast<int32_t>((deadline - now) / 1000000u);
        }
        ServiceEndpoint endpoint;
        if (!binder_ndk::internal::registryWait(instance, remaining, unreachable, &endpoint)) return nullptr;
        AIBinder* binder = Process::get().fetch(instance, endpoint);
        if (binder != nullptr) return binder;
        // Published but not reachable (its process is ending): wait for a
        // newer entry.
        try {
            unreachable = endpoint.address;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        if (remaining == 0) return nullptr;
    }
}

AIBinder* AServiceManager_waitForService(const char* instance) {
    return AServiceManager_waitForServiceTimeout(instance, -1);
}

void AServiceManager_forEachService(void* context, void (*callback)(const char* instance, void* context)) {
    if (callback != nullptr) binder_ndk::internal::registryForEach(context, callback);
}

// ---- Threads ----

bool ABinderProcess_setThreadPoolMaxThreadCount(uint32_t numThreads) {
    return Process::get().setMaxThreads(numThreads);
}

void ABinderProcess_startThreadPool(void) { Process::get().startPool(); }

void ABinderProcess_joinThreadPool(void) {
    Process& process = Process::get();
    if (!process.ensureEpoll()) {
        for (;;) ::pause();
    }
    process.poolLoop();
    for (;;) ::pause();  // reached only in a forked child's stale loop
}

void ABinderProcess_allowPeerUid(uid_t uid) { Process::get().allowUid(uid); }

// ---- Caller identity ----

uid_t AIBinder_getCallingUid(void) {
    const auto& calls = binder_ndk::internal::threadState().calls;
    return calls.empty() ? ::geteuid() : calls.back().uid;
}

pid_t AIBinder_getCallingPid(void) {
    const auto& calls = binder_ndk::internal::threadState().calls;
    return calls.empty() ? ::getpid() : calls.back().pid;
}
