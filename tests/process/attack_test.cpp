// Attacks on a service by peers of the same user, each with real processes:
// peers that stall, do not read, hang in a callback, hoard queues, hold
// connections, nest without end, or send references the service already
// let go of. Under each, a good client is served within a short time, and
// afterwards the service's descriptors and threads come back near where
// they were.
#include "raw_peer.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <android/binder_ibinder.h>
#include <bgs/scoped_call_timeout.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SpAIBinder;
constexpr bool kNoHello = false;

binder_status_t transactNothing(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }
void* keepArgument(void* argument) { return argument; }
void forgetNothing(void*) {}

// What one attack cost, printed at the end of its test (docs/reliability.md
// quotes one run): the good client's slowest call (or the time the test
// measures: a lookup, a death notice), and the service's holdings before,
// at their height and after.
struct Figures {
    std::chrono::microseconds slowest{0};
    std::string holdings;
};
Figures gFigures;

class ProcessAttack : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        gFigures = Figures();
    }
    void TearDown() override {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        std::printf("attack figures: %s: %lld us%s\n", test->name(),
                    static_cast<long long>(gFigures.slowest.count()), gFigures.holdings.c_str());
        ProcessTest::TearDown();
    }
};

// How long a good client may wait under attack. Sanitizer builds run many
// times slower, so they get more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr Millis kServedWithin{1000};
// Their allocators keep freed memory and shadow every byte several times:
// resident memory neither tells the queues' size nor comes back, and is not
// checked.
constexpr bool kRssComesBack = false;
#else
constexpr Millis kServedWithin{100};
constexpr bool kRssComesBack = true;
#endif

// What a process holds: descriptors, threads, resident memory.
struct Usage {
    size_t fds = 0;
    size_t threads = 0;
    size_t rssKb = 0;
};

Usage usageOf(pid_t pid) {
    Usage usage;
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR* dir = ::opendir((base + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(dir)) usage.fds += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    std::ifstream status(base + "/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") status >> usage.threads;
        if (key == "VmRSS:") status >> usage.rssKb;
    }
    return usage;
}

// A good client's call, timed.
std::chrono::microseconds serveTime(const std::shared_ptr<IBGService>& service) {
    const auto start = Clock::now();
    int32_t result = 0;
    const bool ok = service->getGalleryAvailability(21, &result).isOk() && result == 42;
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    EXPECT_TRUE(ok) << "the good client's call failed";
    gFigures.slowest = std::max(gFigures.slowest, took);
    return ok ? took : std::chrono::microseconds::max();
}

std::string describeUsage(const Usage& usage) {
    return std::to_string(usage.fds) + " fds, " + std::to_string(usage.threads) + " threads, " +
           std::to_string(usage.rssKb / 1024) + " MiB";
}

// The service's holdings come back near `before` once the attack is over:
// descriptors, threads (extra pool threads leave after two idle seconds)
// and resident memory. `height` is what it held under attack.
void expectBackNear(pid_t pid, const Usage& before, const Usage& height) {
    const bool back = eventually([&] {
        const Usage now = usageOf(pid);
        return now.fds <= before.fds + 2 && now.threads <= before.threads + 2 &&
               (!kRssComesBack || now.rssKb <= before.rssKb + 16 * 1024);
    });
    const Usage after = usageOf(pid);
    EXPECT_TRUE(back) << "before: " << describeUsage(before) << "; after: " << describeUsage(after);
    gFigures.holdings = "; service before " + describeUsage(before) + ", under attack " + describeUsage(height) +
                        ", after " + describeUsage(after);
}

// A probe under args[0] whose pool has args[1] threads at most; with
// args[2] > 0, its descriptor limit is args[2].
BGS_TEST_ROLE(boundedProbe) {
    if (args.number(2) > 0) {
        const rlimit files{static_cast<rlim_t>(args.number(2)), static_cast<rlim_t>(args.number(2))};
        if (::setrlimit(RLIMIT_NOFILE, &files) != 0) return "setrlimit failed";
    }
    ABinderProcess_setThreadPoolMaxThreadCount(static_cast<uint32_t>(args.number(1)));
    return serve(publish(::ndk::SharedRefBase::makeRef<ProbeService>()->asBinder(), args.text(0)));
}

struct Target {
    ChildProcess* server;
    std::shared_ptr<IBGService> service;
    Endpoint endpoint;
};

Target startProbe(ProcessTest& test, ChildProcess& server, const std::string& name) {
    Target target{&server, waitForProbe(name, &server), {}};
    if (target.service != nullptr) target.endpoint = readRegistryEntry(name).value_or(Endpoint{});
    return target;
}

// ---- Peers that stall or do not read ----

// Partial frames cannot hold a thread: a frame is one packet, so a packet
// that announces more than it carries is malformed at once. Peers that stop
// reading their replies are cut off at the stall limit; until then they
// cost queue space, not threads.
TEST_F(ProcessAttack, StalledAndNonReadingPeersBeyondThePoolSizeHoldNoThread) {
    ::setenv("BGS_STALL_MS", "500", 1);
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawn("boundedProbe", {name, 2, 0});
    ::unsetenv("BGS_STALL_MS");
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    const Usage before = usageOf(server.pid());

    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 6; ++i) {
        // Stalled: a header announcing 64 KiB of data, and nothing more.
        auto stalled = std::make_unique<RawPeer>(target.endpoint.address);
        Frame frame = ping();
        frame.header.dataSize = 65536;
        ASSERT_TRUE(stalled->ready() && stalled->send(frame.bytes()));
        peers.push_back(std::move(stalled));
        // Not reading: pings whose replies it never takes.
        auto deaf = std::make_unique<RawPeer>(target.endpoint.address);
        ASSERT_TRUE(deaf->ready());
        ASSERT_TRUE(deaf->setNonBlocking());
        // More replies than the socket holds, so that some wait in the
        // service's outbox.
        for (int sent = 0; sent < 4000;) {
            if (deaf->send(ping())) {
                ++sent;
            } else if (errno != EAGAIN || !deaf->writable(Millis(200))) {
                break;
            }
        }
        peers.push_back(std::move(deaf));
    }
    EXPECT_LT(serveTime(target.service), kServedWithin);
    // Each is cut off: the stalled at once, the deaf at the stall limit.
    const Usage height = usageOf(server.pid());
    for (size_t i = 0; i < peers.size(); ++i) EXPECT_TRUE(peers[i]->hungUp()) << "peer " << i;
    EXPECT_LT(serveTime(target.service), kServedWithin);
    peers.clear();
    expectBackNear(server.pid(), before, height);
}

// ---- A callback that never answers ----

// Makes args[1] calls at once to the probe under args[0], each registering
// a callback of this process that never answers; writes a line to args[2]
// each time the service calls one.
BGS_TEST_ROLE(hangingCallbacks) {
    std::shared_ptr<IBGService> service = waitForProbe(args.text(0));
    if (service == nullptr) return "no service";
    const int told = args.fd(2);
    auto callback = ::ndk::SharedRefBase::makeRef<RecordingCallback>();
    callback->hook = [told](const ReceivedEvent&) {
        sendLine(told, "hung");
        for (;;) ::pause();
    };
    std::vector<std::thread> callers;
    for (int64_t i = 0; i < args.number(1); ++i) {
        callers.emplace_back([service, callback, i]() {
            int32_t result = 0;
            (void)service->setEventCallback(static_cast<int32_t>(i), callback, &result);
        });
    }
    for (auto& caller : callers) caller.join();
    return "";
}

TEST_F(ProcessAttack, AHungCallbackWithMoreCallersThanThreadsLeavesTheOthersServed) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawn("boundedProbe", {name, 4, 0});
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    const Usage before = usageOf(server.pid());
    Pipe told;
    ChildProcess& attacker = spawn("hangingCallbacks", {name, 12, HandOver{told.writeEnd.get()}});
    LineReader lines(told.readEnd.get());
    // The attacker's calls take at most half the pool, and so do the
    // service's calls waiting on it.
    EXPECT_EQ(lines.next(), "hung");
    EXPECT_EQ(lines.next(), "hung");
    EXPECT_FALSE(lines.next(Millis(300)).has_value()) << "the peer held more than its share";
    for (int i = 0; i < 5; ++i) EXPECT_LT(serveTime(target.service), kServedWithin);
    const Usage height = usageOf(server.pid());
    attacker.kill();
    EXPECT_LT(serveTime(target.service), kServedWithin);
    expectBackNear(server.pid(), before, height);
}

// ---- Queues hoarded across connections ----

// One-way calls pile up behind an object whose one-way queue is wedged (the
// first call blocks for good), over several connections. The service's
// memory stays within its queue limit, however many are sent.
TEST_F(ProcessAttack, OnewayCallsHoardedBehindAWedgedObjectStayWithinTheProcessLimit) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    const Usage before = usageOf(server.pid());

    std::vector<std::unique_ptr<RawPeer>> hoarders;
    const std::vector<uint8_t> wedge =
            ParcelBytes().interfaceHeader(IBGService::descriptor).string(ProbeService::kBlockUntilKilled).bytes();
    std::vector<uint8_t> bulk = ParcelBytes().interfaceHeader(IBGService::descriptor).bytes();
    bulk.resize(60000, 0x5a);
    for (int i = 0; i < 8; ++i) {
        auto peer = std::make_unique<RawPeer>(target.endpoint.address);
        ASSERT_TRUE(peer->ready());
        const uint32_t handle = peer->fetchService(name);
        ASSERT_NE(handle, 0u);
        ASSERT_TRUE(peer->setNonBlocking());
        Frame call = transaction(handle, IBGService::TRANSACTION_setCapabilities, wedge);
        call.header.flags = FLAG_ONEWAY;
        peer->send(call);
        call = transaction(handle, IBGService::TRANSACTION_setCapabilities, bulk);
        call.header.flags = FLAG_ONEWAY;
        // 128 MiB offered per connection, until the service stops taking.
        for (int sent = 0; sent < 2200;) {
            if (peer->send(call)) {
                ++sent;
            } else if (errno != EAGAIN || !peer->writable(Millis(200))) {
                break;  // cut off, or no longer read
            }
        }
        hoarders.push_back(std::move(peer));
    }
    const Usage during = usageOf(server.pid());
    if (kRssComesBack) {
        EXPECT_LT(during.rssKb, before.rssKb + 100 * 1024)
                << "grew by " << (during.rssKb - before.rssKb) / 1024 << " MiB";
    }
    EXPECT_LT(serveTime(target.service), kServedWithin);
    hoarders.clear();
    EXPECT_LT(serveTime(target.service), kServedWithin);
    expectBackNear(server.pid(), before, during);
}

// ---- Connections that never say hello ----

TEST_F(ProcessAttack, IdleConnectionsAtTheDescriptorLimitDoNotShutOutAGoodClient) {
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < 4096) GTEST_SKIP() << "needs room for 1,124 connections in the test process";
    const rlimit raised{4096, files.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawn("boundedProbe", {name, 4, 1024});
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    const Usage before = usageOf(server.pid());

    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < 1124; ++i) idle.push_back(std::make_unique<RawPeer>(target.endpoint.address, kNoHello));
    // A new client: a session of its own, opened now.
    RawPeer fresh(target.endpoint.address);
    EXPECT_TRUE(fresh.ready()) << "a new client was shut out";
    const auto start = Clock::now();
    EXPECT_TRUE(fresh.send(ping()) && fresh.await().kind == RawPeer::Kind::kReply);
    EXPECT_LT(Clock::now() - start, kServedWithin);
    EXPECT_LT(serveTime(target.service), kServedWithin);
    const Usage height = usageOf(server.pid());
    idle.clear();
    expectBackNear(server.pid(), before, height);
    ::setrlimit(RLIMIT_NOFILE, &files);
}

// ---- Nesting without end ----

// A client written against the public interface only: its callback calls
// the service again, which calls the callback again, and so on. The chain
// ends at the nesting limit with a failure, not a crash, and both sides
// serve on.
BGS_TEST_ROLE(recursiveClient) {
    std::shared_ptr<IBGService> service = waitForProbe(args.text(0));
    if (service == nullptr) return "no service";
    ChildChecks checks;
    std::atomic<int> depth{0};
    auto callback = ::ndk::SharedRefBase::makeRef<RecordingCallback>();
    RecordingCallback* self = callback.get();
    callback->hook = [&service, self, &depth](const ReceivedEvent& event) {
        depth = std::max(depth.load(), event.value);
        int32_t result = 0;
        (void)service->setEventCallback(event.value + 1, self->ref<RecordingCallback>(), &result);
    };
    int32_t result = 0;
    const binder_status_t status = service->setEventCallback(1, callback, &result).getStatus();
    checks.expect(depth >= 32, "the chain ended early, at depth " + std::to_string(depth.load()));
    checks.expect(depth < 1000, "the chain went " + std::to_string(depth.load()) + " deep");
    (void)status;
    int32_t doubled = 0;
    CHILD_EXPECT(checks, service->getGalleryAvailability(4, &doubled).isOk() && doubled == 8);
    callback->hook = nullptr;
    return checks.report();
}

TEST_F(ProcessAttack, ACallbackThatCallsTheServiceAgainEndsAtTheNestingLimit) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    EXPECT_EQ(spawn("recursiveClient", {name}).finish(), "");
    EXPECT_LT(serveTime(target.service), kServedWithin);
}

// ---- References the service already let go of ----

// The peer gives its handle of the service back, reporting two references
// it sent home meanwhile, then sends both in one frame: each is counted
// before the service's entry may go.
TEST_F(ProcessAttack, AReturnedReferenceSentTwiceAfterItsReleaseIsServed) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    RawPeer peer(target.endpoint.address);
    ASSERT_TRUE(peer.ready());
    const uint32_t handle = peer.fetchService(name);
    ASSERT_NE(handle, 0u);
    Frame release = ping();
    release.header.kind = wire::kRelease;
    release.header.code = 0;
    release.header.dataSize = 12;
    release.body.assign(12, 0);
    std::memcpy(release.body.data(), &handle, 4);
    release.body[4] = 1;  // one arrival given back
    release.body[8] = 2;  // two references sent home since
    ASSERT_TRUE(peer.send(release));

    ParcelBytes data;
    data.interfaceHeader(IBGService::descriptor).int32(7);
    const uint32_t first = data.binderEntry();
    const uint32_t second = data.binderEntry();
    std::vector<uint8_t> table(2 * sizeof(wire::ObjectRecord));
    const wire::ObjectRecord records[2] = {{first, wire::kReceiverObject, handle, 0},
                                           {second, wire::kReceiverObject, handle, 0}};
    std::memcpy(table.data(), records, sizeof records);
    ASSERT_TRUE(peer.send(transaction(handle, IBGService::TRANSACTION_getGalleryAvailability, data.bytes(), table, 2)));
    EXPECT_EQ(peer.await().kind, RawPeer::Kind::kReply);
    EXPECT_LT(serveTime(target.service), kServedWithin);
    EXPECT_EQ(AIBinder_ping(target.service->asBinder().get()), STATUS_OK);
}

// A request whose encoding fails on its second object leaves no count
// raised for the first: the local object is not pinned by the peer.
TEST_F(ProcessAttack, ARequestThatFailsToEncodeLeavesNoReferencePinned) {
    const std::string name = uniqueName("objects");
    ChildProcess& server = spawn("objectsService", {name});
    const SpAIBinder remote = waitForBinder(name, &server);
    ASSERT_NE(remote.get(), nullptr);
    auto ledger = std::make_shared<TokenLedger>();
    SpAIBinder token = newToken(ledger);
    const std::string longName(wire::kMaxDescriptorLength + 1, 'x');
    const AIBinder_Class* longClass =
            AIBinder_Class_define(longName.c_str(), keepArgument, forgetNothing, transactNothing);
    SpAIBinder unsendable(AIBinder_new(longClass, nullptr));

    ASSERT_TRUE(AIBinder_associateClass(remote.get(), AIBinder_getClass(newObjectsServer(ledger).get())));
    AParcel* request = nullptr;
    ASSERT_EQ(AIBinder_prepareTransaction(remote.get(), &request), STATUS_OK);
    ASSERT_EQ(AParcel_writeStrongBinder(request, token.get()), STATUS_OK);
    ASSERT_EQ(AParcel_writeStrongBinder(request, unsendable.get()), STATUS_OK);
    AParcel* reply = nullptr;
    EXPECT_EQ(AIBinder_transact(remote.get(), objects::kEchoBinder, &request, &reply, 0), STATUS_BAD_VALUE);
    AParcel_delete(reply);
    EXPECT_EQ(AIBinder_debugGetRefCount(token.get()), 1) << "the failed request left the token pinned";
    token = SpAIBinder();
    EXPECT_TRUE(ledger->destroyed.waitFor(1));
}

// ---- Death through a relay ----

// Serves under args[0] an objects server that shares a token of its own.
BGS_TEST_ROLE(tokenOrigin) {
    auto ledger = std::make_shared<TokenLedger>();
    SpAIBinder server = newObjectsServer(ledger);
    SpAIBinder token = newToken(ledger);
    shareToken(server.get(), token.get());
    return serve(publish(server, args.text(0)));
}

// Serves under args[1] the token that the objects service under args[0]
// shares: a binder of a third process, which this one relays.
BGS_TEST_ROLE(relay) {
    const SpAIBinder origin = waitForBinder(args.text(0));
    if (origin.get() == nullptr) return "no origin";
    SpAIBinder shared;
    if (callObjects(origin.get(), objects::kSharedToken, nullptr, &shared) != STATUS_OK || shared.get() == nullptr) {
        return "no shared token";
    }
    auto ledger = std::make_shared<TokenLedger>();
    SpAIBinder server = newObjectsServer(ledger);
    shareToken(server.get(), shared.get());
    return serve(publish(server, args.text(1)));
}

// A binder of A reaches C through B. When A dies, C's death recipient on
// it fires, though C's session with B lives on.
TEST_F(ProcessAttack, DeathPassesThroughARelay) {
    const std::string originName = uniqueName("origin");
    const std::string relayName = uniqueName("relay");
    ChildProcess& origin = spawn("tokenOrigin", {originName});
    ChildProcess& relay = spawn("relay", {originName, relayName});
    const SpAIBinder relayServer = waitForBinder(relayName, &relay);
    ASSERT_NE(relayServer.get(), nullptr);
    SpAIBinder relayed;
    ASSERT_EQ(callObjects(relayServer.get(), objects::kSharedToken, nullptr, &relayed), STATUS_OK);
    ASSERT_NE(relayed.get(), nullptr);
    EXPECT_EQ(AIBinder_ping(relayed.get()), STATUS_OK);
    Counter deaths;
    const ::ndk::ScopedAIBinder_DeathRecipient recipient(
            AIBinder_DeathRecipient_new([](void* cookie) { static_cast<Counter*>(cookie)->add(); }));
    ASSERT_EQ(AIBinder_linkToDeath(relayed.get(), recipient.get(), &deaths), STATUS_OK);

    const auto killed = Clock::now();
    origin.kill();
    EXPECT_TRUE(deaths.waitFor(1)) << "the relayed binder's death never reached this process";
    gFigures.slowest = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - killed);
    EXPECT_FALSE(AIBinder_isAlive(relayed.get()));
    EXPECT_EQ(AIBinder_ping(relayServer.get()), STATUS_OK) << "the relay's own session ended too";
}

// Two processes that each look the other up share one session: an object
// of this process that comes back from the other is the very object, not a
// binder of another session standing for it.
TEST_F(ProcessAttack, AnObjectComesHomeAsItselfWhenBothSidesLookTheOtherUp) {
    const std::string ownName = uniqueName("origin");
    const std::string relayName = uniqueName("relay");
    auto ledger = std::make_shared<TokenLedger>();
    SpAIBinder server = newObjectsServer(ledger);
    SpAIBinder token = newToken(ledger);
    shareToken(server.get(), token.get());
    ASSERT_EQ(publish(server, ownName), "");
    // The child looks this process up, fetches the token, and serves it.
    ChildProcess& relay = spawn("relay", {ownName, relayName});
    const SpAIBinder relayServer = waitForBinder(relayName, &relay);
    ASSERT_NE(relayServer.get(), nullptr);
    SpAIBinder back;
    ASSERT_EQ(callObjects(relayServer.get(), objects::kSharedToken, nullptr, &back), STATUS_OK);
    EXPECT_EQ(back.get(), token.get());
    EXPECT_FALSE(AIBinder_isRemote(back.get()));
    AServiceManager_removeService(ownName.c_str());
}

// ---- Lookups while the pool is busy ----

// Occupies every pool thread of the probe under args[0] with calls that
// never return; writes a line to args[1] once they are made.
BGS_TEST_ROLE(poolHog) {
    std::shared_ptr<IBGService> service = waitForProbe(args.text(0));
    if (service == nullptr) return "no service";
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([service] { (void)service->setCapabilities(ProbeService::kBlockUntilKilled); });
    }
    sendLine(args.fd(1), "busy");
    for (auto& caller : callers) caller.join();
    return "";
}

TEST_F(ProcessAttack, ALookupIsAnsweredWhileEveryPoolThreadIsBusy) {
    const std::string name = uniqueName("probe");
    Pipe blocked;
    ChildProcess& server = spawn("boundedProbe", {name, 1, 0});
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    Pipe busy;
    ChildProcess& hog = spawn("poolHog", {name, HandOver{busy.writeEnd.get()}});
    ASSERT_EQ(LineReader(busy.readEnd.get()).next(), "busy");
    std::this_thread::sleep_for(Millis(100));  // the calls reach the service
    // A new process looks the service up: the service's event loop answers.
    const auto start = Clock::now();
    EXPECT_EQ(spawn("lookup", {name, 2000}).finish(), "");
    const auto took = Clock::now() - start;
    EXPECT_LT(took, Millis(2000));
    gFigures.slowest = std::chrono::duration_cast<std::chrono::microseconds>(took);
    hog.kill();
}

// Looks up args[0] within args[1] ms; the binder must be alive.
BGS_TEST_ROLE(lookup) {
    SpAIBinder binder(AServiceManager_waitForServiceTimeout(args.text(0).c_str(), static_cast<int32_t>(args.number(1))));
    if (binder.get() == nullptr) return "not found while the service was up";
    return AIBinder_isAlive(binder.get()) ? "" : "found dead";
}

// ---- Call deadlines ----

// A call past its deadline fails with STATUS_TIMED_OUT; the session serves
// on, and when the late reply comes its references are accounted for.
TEST_F(ProcessAttack, ACallPastItsDeadlineTimesOutAndTheSessionServesOn) {
    const std::string name = uniqueName("probe");
    Pipe blocked;
    ChildProcess& server = spawnProbe(name, ProbeOptions{"", blocked.writeEnd.get()});
    const Target target = startProbe(*this, server, name);
    ASSERT_NE(target.service, nullptr);
    {
        bgs::ScopedCallTimeout deadline(Millis(200));
        const auto start = Clock::now();
        EXPECT_EQ(target.service->setCapabilities(ProbeService::kBlockUntilKilled).getStatus(), STATUS_TIMED_OUT);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, Millis(200));
        EXPECT_LT(took, Millis(200) + kServedWithin * 5);
        EXPECT_EQ(AIBinder_getCallTimeoutMs(), 200);
    }
    EXPECT_EQ(AIBinder_getThreadCallTimeoutMs(), -1);
    EXPECT_LT(serveTime(target.service), kServedWithin);
}

// A server whose one call answers after 300 ms with a new token of its
// ledger; the ledger is the role's, so that it can tell when the token is
// given back.
std::shared_ptr<TokenLedger> gSlowLedger;

binder_status_t answerLate(AIBinder*, transaction_code_t, const AParcel*, AParcel* reply) {
    std::this_thread::sleep_for(Millis(300));
    const SpAIBinder token = newToken(gSlowLedger);
    return AParcel_writeStrongBinder(reply, token.get());
}

const AIBinder_Class* lateClass() {
    static const AIBinder_Class* clazz =
            AIBinder_Class_define("bgs.test.ILate", keepArgument, forgetNothing, answerLate);
    return clazz;
}

// Serves a late server under args[0]; writes "released" to args[1] once
// the token of a late reply is given back.
BGS_TEST_ROLE(lateServer) {
    gSlowLedger = std::make_shared<TokenLedger>();
    const int told = args.fd(1);
    std::thread([told] {
        if (gSlowLedger->destroyed.waitFor(1)) sendLine(told, "released");
    }).detach();
    return serve(publish(SpAIBinder(AIBinder_new(lateClass(), nullptr)), args.text(0)));
}

// The reply to a call that gave up comes later, carrying a new object: the
// caller reads it, counts the reference and gives it back, so the object
// does not outlive the call in the server.
TEST_F(ProcessAttack, ALateReplysReferencesAreGivenBack) {
    const std::string name = uniqueName("late");
    Pipe told;
    ChildProcess& server = spawn("lateServer", {name, HandOver{told.writeEnd.get()}});
    const SpAIBinder late = waitForBinder(name, &server);
    ASSERT_NE(late.get(), nullptr);
    ASSERT_TRUE(AIBinder_associateClass(late.get(), lateClass()));
    {
        bgs::ScopedCallTimeout deadline(Millis(100));
        AParcel* request = nullptr;
        ASSERT_EQ(AIBinder_prepareTransaction(late.get(), &request), STATUS_OK);
        AParcel* reply = nullptr;
        EXPECT_EQ(AIBinder_transact(late.get(), FIRST_CALL_TRANSACTION, &request, &reply, 0), STATUS_TIMED_OUT);
        AParcel_delete(reply);
    }
    EXPECT_EQ(LineReader(told.readEnd.get()).next(), "released");
    EXPECT_EQ(AIBinder_ping(late.get()), STATUS_OK);
}

}  // namespace
}  // namespace bgs_process_test
