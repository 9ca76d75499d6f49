// Round trips between two processes, each against baselines measured in the
// same run:
//   CrossProcess/Futex/pingpong     two processes hand a word in shared
//                                   memory back and forth (FUTEX_WAIT/
//                                   FUTEX_WAKE): the machine's floor for
//                                   waking another process and being woken.
//   CrossProcess/RawSocket/<case>   a blocking Unix stream socket ping-pong
//                                   moving the bytes the binder call moves: a
//                                   frame header and the request parcel's
//                                   data one way, a frame header and the
//                                   reply parcel's data back.
//   CrossProcess/Binder/<case>      the call through the generated proxy to
//                                   an object served by another process,
//                                   found in the registry.
//
// Every other process is a child of this one, forked when the first of these
// cases runs and before this process talks to any other: killed and reaped
// at exit, on a fatal signal, or when a case completes no round trip for a
// minute (a hang); each child also dies with this process (PR_SET_PDEATHSIG).
// The registry is a private temporary directory, removed at exit.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>
#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "allocs_per_call.h"
#include "cases.h"
#include "null_services.h"
#include "wire/format.h"  // runtime/src: the frame header every message starts with

namespace bgs::bench {
namespace {

using ndk::SharedRefBase;
using ndk::SpAIBinder;

constexpr size_t kFrameHeaderBytes = sizeof(binder_ndk::internal::wire::FrameHeader);

// The event of the notifyCallback cases.
constexpr int kEventImages = 16;

constexpr char kServiceName[] = "bgs.bench.service";
constexpr char kCallbackName[] = "bgs.bench.callback";
constexpr int32_t kConnectTimeoutMs = 10000;

// Exit statuses of the children, for the error a failed case reports.
enum ChildExit : int {
    kChildDone = 0,
    kChildNotPublished = 10,
    kChildPoolEnded = 11,
    kChildOrphaned = 12,
    kChildIoFailed = 13,
};

// ---- Children and cleanup ----
// Plain arrays: the fatal-signal handler reads them.

constexpr int kMaxChildren = 8;
pid_t gParent = 0;
pid_t gChildren[kMaxChildren] = {};
char gRegistryDir[512] = {};
enum CleanupState : int { kNotCleaned, kCleaning, kCleaned };
std::atomic<int> gCleanup{kNotCleaned};
std::atomic<pthread_t> gCleaner{};

void removeRegistryDir() noexcept {
    if (gRegistryDir[0] == '\0') return;
    if (DIR* dir = ::opendir(gRegistryDir)) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
        }
        ::closedir(dir);
    }
    ::rmdir(gRegistryDir);
}

// Kills and reaps every child, then removes the registry: once, and only in
// this process (the children inherit the handlers that call it). A second
// thread that gets here meanwhile (the main thread ending while the watchdog
// cleans up) waits for the first, so the process does not end half-way.
void cleanUp() noexcept {
    if (::getpid() != gParent) return;
    int expected = kNotCleaned;
    if (!gCleanup.compare_exchange_strong(expected, kCleaning)) {
        if (pthread_equal(gCleaner.load(), ::pthread_self()) == 0) {
            while (gCleanup.load() != kCleaned) ::usleep(1000);
        }
        return;
    }
    gCleaner.store(::pthread_self());
    for (pid_t& child : gChildren) {
        if (child <= 0) continue;
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        child = 0;
    }
    removeRegistryDir();
    gCleanup.store(kCleaned);
}

void onFatalSignal(int signal) {
    cleanUp();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void installCleanup() {
    gParent = ::getpid();
    std::atexit(cleanUp);
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        ::sigaction(signal, &action, nullptr);
    }
    // A write to a child that has gone fails with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
}

bool makeRegistryDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(gRegistryDir, sizeof gRegistryDir, "%s/bgs-bench-XXXXXX",
                  tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp");
    if (::mkdtemp(gRegistryDir) == nullptr) {
        gRegistryDir[0] = '\0';
        return false;
    }
    return ::setenv("BGS_SERVICE_DIR", gRegistryDir, 1) == 0;
}

// ---- Placement ----

int gChildCpu = -1;  // under kSplit: the CPU of every child

bool pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

// Pins this process (and, through inheritance, its threads and children)
// before any of them exists. Returns how the processes are placed, or ""
// when they cannot be placed so.
std::string applyPlacement(Placement placement) {
    if (placement == Placement::kAny) return "any: left to the scheduler";
    cpu_set_t allowed;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return "";
    int cpus[2] = {-1, -1};
    for (int cpu = 0, found = 0; cpu < CPU_SETSIZE && found < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) cpus[found++] = cpu;
    }
    if (placement == Placement::kSame) {
        return pinTo(cpus[0]) ? "same: every process on CPU " + std::to_string(cpus[0]) : "";
    }
    if (cpus[1] < 0 || !pinTo(cpus[0])) return "";
    gChildCpu = cpus[1];
    return "split: this process on CPU " + std::to_string(cpus[0]) + ", its peers on CPU " +
           std::to_string(cpus[1]);
}

// Forks a child that runs `body` and exits with what it returns; the child
// dies with this process. -1 when no child could be made.
template <typename Body>
pid_t spawnChild(Body&& body) {
    pid_t* slot = std::find(std::begin(gChildren), std::end(gChildren), 0);
    if (slot == std::end(gChildren)) return -1;
    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) *slot = pid;
        return pid;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != gParent) ::_exit(kChildOrphaned);
    if (gChildCpu >= 0) pinTo(gChildCpu);
    ::_exit(body());
}

// What became of a child, for an error message (reaps it if it ended). A
// failed call may be seen before its peer's end is: `patienceMs` gives the
// child that long to finish ending.
std::string childState(pid_t pid, int patienceMs = 1000) {
    if (pid <= 0) return "the child process could not be started";
    int status = 0;
    pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    for (int waited = 0; reaped == 0 && waited < patienceMs; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reaped = ::waitpid(pid, &status, WNOHANG);
    }
    if (reaped == 0) return "its process " + std::to_string(pid) + " is still running";
    if (reaped < 0) return "its process " + std::to_string(pid) + " is gone";
    std::replace(std::begin(gChildren), std::end(gChildren), pid, 0);
    if (WIFSIGNALED(status)) {
        return "its process died of signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    }
    const int code = WEXITSTATUS(status);
    const char* meaning = code == kChildNotPublished ? " (AServiceManager_addService failed)"
                          : code == kChildPoolEnded  ? " (ABinderProcess_joinThreadPool returned)"
                          : code == kChildIoFailed   ? " (socket read or write failed)"
                                                     : "";
    return "its process exited with status " + std::to_string(code) + meaning;
}

// ---- Progress watchdog ----

std::atomic<uint64_t> gProgress{0};

// One per round trip: a plain store, no locked instruction.
inline void noteProgress() {
    gProgress.store(gProgress.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// A hung peer or runtime would otherwise hold a CI job until its own
// timeout, and a job killed then leaves the registry directory behind.
constexpr int kWatchPeriodSeconds = 5;
constexpr int kStallSeconds = 60;

// Set while a case of this file runs: the cases within this process, which
// may run between these, note no progress.
std::atomic<bool> gWatching{false};

struct WatchedCase {
    WatchedCase() { gWatching.store(true, std::memory_order_relaxed); }
    ~WatchedCase() { gWatching.store(false, std::memory_order_relaxed); }
    WatchedCase(const WatchedCase&) = delete;
    WatchedCase& operator=(const WatchedCase&) = delete;
};

void startWatchdog() {
    std::thread([] {
        uint64_t seen = gProgress.load(std::memory_order_relaxed);
        int stalled = 0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(kWatchPeriodSeconds));
            const uint64_t now = gProgress.load(std::memory_order_relaxed);
            const bool watching = gWatching.load(std::memory_order_relaxed);
            stalled = watching && now == seen ? stalled + kWatchPeriodSeconds : 0;
            seen = now;
            if (stalled < kStallSeconds) continue;
            std::fprintf(stderr, "no round trip completed for %d s: a peer or the runtime hangs\n",
                         kStallSeconds);
            cleanUp();
            ::_exit(3);
        }
    }).detach();
}

// ---- What a call moves ----

// Bytes on the socket per round trip: a frame header and the request
// parcel's data, then a frame header and the reply parcel's data. Neither
// case carries binders, so no object table follows the data.
struct Exchange {
    size_t request = 0;
    size_t reply = 0;
    bool valid() const { return request > kFrameHeaderBytes && reply > kFrameHeaderBytes; }
};

// The data sizes of one call's parcels as the generated proxy and stub build
// them: the proxy is pointed at a relay binder of the interface's descriptor,
// which records the request it receives, passes it on to the real stub in
// this process and records the reply that comes back.
struct Relay {
    AIBinder* target = nullptr;
    int32_t requestSize = -1;
    int32_t replySize = -1;
};

// Appends the bytes of `from` after `start` to `to`; parcel data is whole words.
binder_status_t appendData(const AParcel* from, int32_t start, AParcel* to) {
    const int32_t size = AParcel_getDataSize(from);
    if (start > size || (size - start) % 4 != 0) return STATUS_BAD_VALUE;
    std::vector<uint8_t> bytes(static_cast<size_t>(size - start));
    binder_status_t status = AParcel_marshal(from, bytes.data(), static_cast<size_t>(start), bytes.size());
    for (size_t at = 0; status == STATUS_OK && at < bytes.size(); at += 4) {
        int32_t word = 0;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        status = AParcel_writeInt32(to, word);
    }
    return status;
}

binder_status_t relayTransact(AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    auto* relay = static_cast<Relay*>(AIBinder_getUserData(binder));
    relay->requestSize = AParcel_getDataSize(in);
    ndk::UniqueAParcel request;
    binder_status_t status = AIBinder_prepareTransaction(relay->target, request.outPtr());
    // The interface header is the same for both binders: only the arguments
    // after it are copied.
    if (status == STATUS_OK) status = appendData(in, AParcel_getDataSize(request.get()), request.get());
    ndk::UniqueAParcel reply;
    if (status == STATUS_OK) status = AIBinder_transact(relay->target, code, request.outPtr(), reply.outPtr(), 0);
    if (status != STATUS_OK) return status;
    relay->replySize = AParcel_getDataSize(reply.get());
    return appendData(reply.get(), 0, out);
}

// `call(proxy)` is the call to measure; true when it succeeded.
template <typename Proxy, typename Call>
Exchange measureExchange(const char* descriptor, const SpAIBinder& target, Call&& call) {
    AIBinder_Class* clazz = AIBinder_Class_define(
            descriptor, [](void* args) { return args; }, [](void*) {}, relayTransact);
    Relay relay;
    relay.target = target.get();
    const SpAIBinder relayBinder(AIBinder_new(clazz, &relay));
    if (relayBinder.get() == nullptr) return {};
    const auto proxy = SharedRefBase::makeRef<Proxy>(relayBinder);
    if (!call(*proxy) || relay.requestSize < 0 || relay.replySize < 0) return {};
    return {kFrameHeaderBytes + static_cast<size_t>(relay.requestSize),
            kFrameHeaderBytes + static_cast<size_t>(relay.replySize)};
}

Exchange measureSetTimestamps() {
    const auto service = SharedRefBase::makeRef<NullService>();
    return measureExchange<bg::BpBGService>(bg::IBGService::descriptor, service->asBinder(),
                                            [](bg::IBGService& proxy) {
                                                return proxy.setTimestamps(kRequestNumber, kTimestamp).isOk();
                                            });
}

Exchange measureNotifyCallback(const bg::CallbackData& event) {
    const auto callback = SharedRefBase::makeRef<NullCallback>();
    return measureExchange<bg::BpEventCallback>(bg::IEventCallback::descriptor, callback->asBinder(),
                                                [&event](bg::IEventCallback& proxy) {
                                                    std::string answer;
                                                    return proxy.notifyCallback(event, &answer).isOk() &&
                                                           answer == event.text;
                                                });
}

// ---- Peers ----

// A child that publishes a new `Service` under `name` and serves it: a
// started pool that the main thread joins.
template <typename Service>
int serveBinder(const char* name) {
    const auto service = SharedRefBase::makeRef<Service>();
    if (AServiceManager_addService(service->asBinder().get(), name) != EX_NONE) return kChildNotPublished;
    ABinderProcess_startThreadPool();
    ABinderProcess_joinThreadPool();
    return kChildPoolEnded;
}

// A binder served by a child, reached through the registry on first use.
struct BinderPeer {
    explicit BinderPeer(const char* serviceName) : name(serviceName) {}

    const char* const name;
    pid_t pid = -1;
    SpAIBinder binder;
    std::string error;

    // False, with `error` set, when the binder cannot be had.
    bool connect() {
        if (binder.get() == nullptr && error.empty()) {
            binder = SpAIBinder(AServiceManager_waitForServiceTimeout(name, kConnectTimeoutMs));
            if (binder.get() == nullptr) {
                error = std::string(name) + " was not served within " +
                        std::to_string(kConnectTimeoutMs / 1000) + " s; " + childState(pid);
            }
        }
        return binder.get() != nullptr;
    }
};

// Moves exactly `size` bytes with `io` (read or write) across short
// transfers and interruptions; false once the other end has gone.
template <typename Byte, typename Io>
bool transferAll(int fd, Byte* bytes, size_t size, Io io) {
    while (size > 0) {
        const ssize_t n = io(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, uint8_t* bytes, size_t size) { return transferAll(fd, bytes, size, ::read); }

bool writeAll(int fd, const uint8_t* bytes, size_t size) { return transferAll(fd, bytes, size, ::write); }

// The child's side of the raw ping-pong: exactly the request bytes in,
// exactly the reply bytes out, until the other end closes.
int echo(int fd, const Exchange& exchange) {
    std::vector<uint8_t> request(exchange.request);
    const std::vector<uint8_t> reply(exchange.reply, 0xa5);
    for (;;) {
        if (!readAll(fd, request.data(), request.size())) return kChildDone;
        if (!writeAll(fd, reply.data(), reply.size())) return kChildIoFailed;
    }
}

struct SocketPeer {
    int fd = -1;
    pid_t pid = -1;
};

SocketPeer startEcho(const Exchange& exchange) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
    const pid_t pid = spawnChild([&] {
        ::close(fds[0]);
        return echo(fds[1], exchange);
    });
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return {};
    }
    return {fds[0], pid};
}

// The futex word, in a shared anonymous mapping made before the fork.
enum FutexTurn : uint32_t { kIdle = 0, kPing = 1, kPong = 2 };
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4,
              "the futex word is a plain 32-bit word");

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, timeout, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

struct FutexPeer {
    std::atomic<uint32_t>* word = nullptr;
    pid_t pid = -1;
};

FutexPeer startFutexPeer() {
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return {};
    auto* word = new (page) std::atomic<uint32_t>(kIdle);
    const pid_t pid = spawnChild([word] {
        for (;;) {
            const uint32_t turn = word->load(std::memory_order_acquire);
            if (turn == kPing) {
                word->store(kPong, std::memory_order_release);
                futexWake(word);
            } else {
                futexWait(word, turn, nullptr);
            }
        }
        return kChildDone;
    });
    return {word, pid};
}

// ---- Cases ----

void setByteCounters(benchmark::State& state, const Exchange& exchange) {
    state.counters["request_B"] = static_cast<double>(exchange.request);
    state.counters["reply_B"] = static_cast<double>(exchange.reply);
}

void futexPingPong(benchmark::State& state, const FutexPeer& peer) {
    if (peer.word == nullptr || peer.pid < 0) {
        state.SkipWithError("no futex peer: mmap or fork failed");
        return;
    }
    std::atomic<uint32_t>* word = peer.word;
    const timespec patience{1, 0};
    const uint64_t allocations = allocationCount();
    for (auto _ : state) {
        noteProgress();
        word->store(kPing, std::memory_order_release);
        futexWake(word);
        while (word->load(std::memory_order_acquire) == kPing) {
            if (futexWait(word, kPing, &patience) != 0 && errno == ETIMEDOUT) {
                const std::string what = childState(peer.pid, 0);
                if (what.find("still running") == std::string::npos) {
                    state.SkipWithError(("the futex peer stopped answering: " + what).c_str());
                    return;
                }
            }
        }
    }
    reportAllocationsPerCall(state, allocations);
}

void rawSocketPingPong(benchmark::State& state, const SocketPeer& peer, const Exchange& exchange) {
    if (peer.fd < 0) {
        state.SkipWithError("no echo peer: socketpair or fork failed");
        return;
    }
    const std::vector<uint8_t> request(exchange.request, 0x5a);
    std::vector<uint8_t> reply(exchange.reply);
    const uint64_t allocations = allocationCount();
    for (auto _ : state) {
        noteProgress();
        if (!writeAll(peer.fd, request.data(), request.size()) ||
            !readAll(peer.fd, reply.data(), reply.size())) {
            state.SkipWithError(("the echo peer failed: " + childState(peer.pid)).c_str());
            return;
        }
    }
    // Before the byte counters: adding a counter allocates.
    reportAllocationsPerCall(state, allocations);
    setByteCounters(state, exchange);
}

// One `call` per iteration on the peer's object as `Interface`, after a few
// untimed ones; a call that fails ends the case with its status. False when
// the case ended in error.
template <typename Interface, typename Call>
bool binderRoundTrips(benchmark::State& state, BinderPeer& peer, const Exchange& exchange, Call&& call) {
    if (!peer.connect()) {
        state.SkipWithError(peer.error.c_str());
        return false;
    }
    const std::shared_ptr<Interface> object = Interface::fromBinder(peer.binder);
    if (object == nullptr || !object->isRemote()) {
        state.SkipWithError((std::string("the served binder is not a remote ") + Interface::descriptor).c_str());
        return false;
    }
    setByteCounters(state, exchange);
    auto roundTrip = [&] {
        noteProgress();
        const ndk::UniqueAStatus status = call(*object);
        if (!status.isOk()) state.SkipWithError((status.getDescription() + "; " + childState(peer.pid)).c_str());
        return status.isOk();
    };
    for (int i = 0; i < kWarmUpCalls; ++i) {
        if (!roundTrip()) return false;
    }
    const uint64_t allocations = allocationCount();
    for (auto _ : state) {
        if (!roundTrip()) return false;
    }
    reportAllocationsPerCall(state, allocations);
    return true;
}

void binderSetTimestamps(benchmark::State& state, BinderPeer& peer, const Exchange& exchange) {
    binderRoundTrips<bg::IBGService>(state, peer, exchange, [](bg::IBGService& service) {
        return service.setTimestamps(kRequestNumber, kTimestamp);
    });
}

void binderNotifyCallback(benchmark::State& state, BinderPeer& peer, const Exchange& exchange,
                          const bg::CallbackData& event) {
    std::string answer;
    const bool done = binderRoundTrips<bg::IEventCallback>(state, peer, exchange, [&](bg::IEventCallback& callback) {
        return callback.notifyCallback(event, &answer);
    });
    if (done && answer != event.text) {
        state.SkipWithError(("notifyCallback answered \"" + answer + "\", not the event's text").c_str());
    }
}

// ---- The children, forked on first use ----

struct Peers {
    Exchange timestamps;
    Exchange notify;
    bg::CallbackData event = sampleData(kEventImages);
    BinderPeer service{kServiceName};
    BinderPeer callback{kCallbackName};
    SocketPeer timestampsEcho;
    SocketPeer notifyEcho;
    FutexPeer futex;
    std::string error;  // why there are no children
    bool started = false;

    // Every child is forked before this process uses the runtime across
    // processes, so none inherits its threads or sessions; the cases in this
    // process that may have run before use none of either.
    void start() {
        if (started) return;
        started = true;
        if (!makeRegistryDir()) {
            error = std::string("cannot make a registry directory: ") + std::strerror(errno);
            return;
        }
        service.pid = spawnChild([] { return serveBinder<NullService>(kServiceName); });
        callback.pid = spawnChild([] { return serveBinder<NullCallback>(kCallbackName); });
        timestampsEcho = startEcho(timestamps);
        notifyEcho = startEcho(notify);
        futex = startFutexPeer();
        startWatchdog();
    }
};

Peers gPeers;

// Registers `body(state, peers)` as a case of this file, timed in real time:
// the other process's time is part of a round trip.
template <typename Body>
void registerCase(const std::string& name, Body body) {
    benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) {
        gPeers.start();
        if (!gPeers.error.empty()) {
            state.SkipWithError(gPeers.error.c_str());
            return;
        }
        const WatchedCase watched;
        body(state, gPeers);
    })->UseRealTime()->Unit(benchmark::kMicrosecond);
}

std::string socketLabel(const Exchange& exchange) {
    return "socket " + std::to_string(exchange.request) + "+" + std::to_string(exchange.reply) + " B";
}

}  // namespace

bool takePlacement(int* argc, char** argv, Placement* placement) {
    constexpr char kFlag[] = "--placement=";
    int kept = 1;
    bool good = true;
    for (int i = 1; i < *argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        const std::string value = argv[i] + sizeof kFlag - 1;
        if (value == "same") {
            *placement = Placement::kSame;
        } else if (value == "split") {
            *placement = Placement::kSplit;
        } else if (value == "any") {
            *placement = Placement::kAny;
        } else {
            std::fprintf(stderr, "--placement takes same, split or any, not \"%s\"\n", value.c_str());
            good = false;
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return good;
}

bool prepareCrossProcess(Placement placement) {
    const std::string placed = applyPlacement(placement);
    if (placed.empty()) {
        std::fprintf(stderr, "cannot pin the processes as --placement asks (split needs two usable CPUs)\n");
        return false;
    }
    benchmark::AddCustomContext("placement", placed);
    installCleanup();
    return true;
}

bool registerCrossProcessCases(std::vector<Comparison>* rows) {
    gPeers.timestamps = measureSetTimestamps();
    gPeers.notify = measureNotifyCallback(gPeers.event);
    if (!gPeers.timestamps.valid() || !gPeers.notify.valid()) {
        std::fprintf(stderr, "cannot measure the parcels of the calls in this process\n");
        return false;
    }
    const std::string futex = "CrossProcess/Futex/pingpong";
    registerCase(futex, [](benchmark::State& state, Peers& peers) { futexPingPong(state, peers.futex); });

    const std::string timestamps = "setTimestamps";
    const std::string notify = "notifyCallback/images:" + std::to_string(kEventImages);
    registerCase("CrossProcess/RawSocket/" + timestamps, [](benchmark::State& state, Peers& peers) {
        rawSocketPingPong(state, peers.timestampsEcho, peers.timestamps);
    });
    registerCase("CrossProcess/Binder/" + timestamps, [](benchmark::State& state, Peers& peers) {
        binderSetTimestamps(state, peers.service, peers.timestamps);
    });
    registerCase("CrossProcess/RawSocket/" + notify, [](benchmark::State& state, Peers& peers) {
        rawSocketPingPong(state, peers.notifyEcho, peers.notify);
    });
    registerCase("CrossProcess/Binder/" + notify, [](benchmark::State& state, Peers& peers) {
        binderNotifyCallback(state, peers.callback, peers.notify, peers.event);
    });

    const std::string remoteNotify = "remote notifyCallback(" + std::to_string(kEventImages) + " img)";
    rows->push_back({"remote setTimestamps", "CrossProcess/Binder/" + timestamps, socketLabel(gPeers.timestamps),
                     "CrossProcess/RawSocket/" + timestamps});
    rows->push_back({remoteNotify, "CrossProcess/Binder/" + notify, socketLabel(gPeers.notify),
                     "CrossProcess/RawSocket/" + notify});
    rows->push_back({socketLabel(gPeers.timestamps), "CrossProcess/RawSocket/" + timestamps, "futex ping-pong",
                     futex});
    rows->push_back({socketLabel(gPeers.notify), "CrossProcess/RawSocket/" + notify, "futex ping-pong", futex});
    return true;
}

void endCrossProcess() {
    gPeers.service.binder = SpAIBinder();
    gPeers.callback.binder = SpAIBinder();
    cleanUp();
}

}  // namespace bgs::bench
