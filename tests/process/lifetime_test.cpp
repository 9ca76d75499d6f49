// Lifetimes across processes: objects live exactly as long as some process
// holds them, and a process that dies is noticed by the ones it talked to.
#include "process_test_support.h"

#include <future>
#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;

class ProcessReferences : public ProcessTest {};
class ProcessDeath : public ProcessTest {};

TEST_F(ProcessReferences, ACallbackEndsWhenTheServiceDropsItsLastReference) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const std::shared_ptr<IBGService> service = waitForProbe(name, &server);
    ASSERT_NE(service, nullptr);

    const auto destroyed = std::make_shared<Counter>();
    auto callback = SharedRefBase::makeRef<RecordingCallback>(destroyed);
    const std::weak_ptr<RecordingCallback> watch = callback;
    int32_t result = -99;
    ASSERT_TRUE(service->setEventCallback(1, callback, &result).isOk());
    callback.reset();
    // The service's reference alone keeps it.
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(destroyed->value(), 0);

    ASSERT_TRUE(service->setEventCallback(1, nullptr, &result).isOk());
    EXPECT_TRUE(destroyed->waitFor(1));
    EXPECT_TRUE(watch.expired());
}

// Holds the shared token of the objects server args[0], fetched twice, until
// told "drop" on the descriptor args[1]; says "holding" on args[2] first.
// Then waits for "exit".
BGS_TEST_ROLE(tokenHolder) {
    const std::string name = args.text(0);
    const int commands = args.fd(1);
    const int replies = args.fd(2);
    ChildChecks checks;
    const SpAIBinder objects(AServiceManager_checkService(name.c_str()));
    SpAIBinder first;
    SpAIBinder second;
    CHILD_EXPECT(checks, callObjects(objects.get(), objects::kSharedToken, nullptr, &first) == STATUS_OK);
    CHILD_EXPECT(checks, callObjects(objects.get(), objects::kSharedToken, nullptr, &second) == STATUS_OK);
    // However often it arrives, a remote object has one proxy.
    CHILD_EXPECT(checks, first.get() != nullptr && first == second);
    sendLine(replies, "holding");
    LineReader reader(commands);
    CHILD_EXPECT(checks, reader.next() == std::optional<std::string>("drop"));
    // A weak reference to a remote object promotes while it is held,
    // and not once the last strong reference is gone.
    const ::ndk::UniqueAIBinderWeak weak(AIBinder_Weak_new(first.get()));
    CHILD_EXPECT(checks, SpAIBinder(AIBinder_Weak_promote(weak.get())) == first);
    first.reset();
    second.reset();
    CHILD_EXPECT(checks, SpAIBinder(AIBinder_Weak_promote(weak.get())).get() == nullptr);
    // Stays connected: the release alone must end the token.
    CHILD_EXPECT(checks, reader.next() == std::optional<std::string>("exit"));
    return checks.report();
}

// Two clients hold a token of this process, each received twice; the token
// lives until the second client lets go.
TEST_F(ProcessReferences, AStubEndsWithTheLastRemoteReference) {
    const auto ledger = std::make_shared<TokenLedger>();
    const SpAIBinder server = newObjectsServer(ledger);
    const std::string name = uniqueName("objects");
    ASSERT_EQ(publish(server, name), "");
    SpAIBinder token = newToken(ledger);
    shareToken(server.get(), token.get());
    const ::ndk::UniqueAIBinderWeak watch(AIBinder_Weak_new(token.get()));

    struct Holder {
        Pipe commands;
        Pipe replies;
        ChildProcess* child = nullptr;
    };
    Holder holders[2];
    for (Holder& holder : holders) {
        holder.child = &spawn("tokenHolder",
                              {name, HandOver{holder.commands.readEnd.get()}, HandOver{holder.replies.writeEnd.get()}});
    }
    for (Holder& holder : holders) {
        ASSERT_EQ(LineReader(holder.replies.readEnd.get()).next(), "holding") << holder.child->finish(Millis(100));
    }
    token.reset();
    auto remoteReferences = [&watch] {
        const SpAIBinder held(AIBinder_Weak_promote(watch.get()));
        return held.get() == nullptr ? 0 : AIBinder_debugGetRefCount(held.get()) - 1;
    };
    EXPECT_TRUE(eventually([&] { return remoteReferences() == 2; })) << remoteReferences();

    sendLine(holders[0].commands.writeEnd.get(), "drop");
    EXPECT_TRUE(eventually([&] { return remoteReferences() == 1; })) << remoteReferences();
    EXPECT_EQ(ledger->destroyed.value(), 0);

    sendLine(holders[1].commands.writeEnd.get(), "drop");
    EXPECT_TRUE(ledger->destroyed.waitFor(1));
    EXPECT_EQ(ledger->created.load(), 1);
    for (Holder& holder : holders) {
        sendLine(holder.commands.writeEnd.get(), "exit");
        EXPECT_EQ(holder.child->finish(), "");
    }
}

void countDeath(void* cookie) { static_cast<Counter*>(cookie)->add(); }

TEST_F(ProcessDeath, AKilledServiceEndsTheCallWaitingOnIt) {
    const std::string name = uniqueName("probe");
    Pipe blocked;
    ChildProcess& server = spawnProbe(name, ProbeOptions{"", blocked.writeEnd.get()});
    const std::shared_ptr<IBGService> service = waitForProbe(name, &server);
    ASSERT_NE(service, nullptr);
    const SpAIBinder binder = service->asBinder();
    Counter deaths;
    const ::ndk::ScopedAIBinder_DeathRecipient recipient(AIBinder_DeathRecipient_new(countDeath));
    ASSERT_EQ(AIBinder_linkToDeath(binder.get(), recipient.get(), &deaths), STATUS_OK);

    std::promise<binder_status_t> returned;
    std::future<binder_status_t> status = returned.get_future();
    std::thread caller([&] { returned.set_value(service->setCapabilities(ProbeService::kBlockUntilKilled).getStatus()); });
    const std::optional<std::string> signal = LineReader(blocked.readEnd.get()).next();
    if (signal != "blocked") {
        ADD_FAILURE() << "the service did not block: " << server.finish(Millis(100));
        server.kill();
        caller.join();
        return;
    }
    const auto killedAt = Clock::now();
    server.kill();
    EXPECT_EQ(status.wait_until(killedAt + std::chrono::seconds(1)), std::future_status::ready);
    caller.join();
    EXPECT_EQ(status.get(), STATUS_DEAD_OBJECT);
    EXPECT_TRUE(deaths.waitFor(1));

    int32_t result = 0;
    EXPECT_EQ(service->getGalleryAvailability(1, &result).getStatus(), STATUS_DEAD_OBJECT);
    EXPECT_EQ(AIBinder_ping(binder.get()), STATUS_DEAD_OBJECT);
    EXPECT_FALSE(AIBinder_isAlive(binder.get()));
    EXPECT_EQ(AIBinder_unlinkToDeath(binder.get(), recipient.get(), &deaths), STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(AIBinder_linkToDeath(binder.get(), recipient.get(), &deaths), STATUS_DEAD_OBJECT);
    EXPECT_EQ(deaths.value(), 1);
}

// Holds a new token of the objects server args[1], registers a callback
// with the probe args[0] and asks for an event; the callback says "in
// callback" on the descriptor args[2] and blocks until the process is killed.
BGS_TEST_ROLE(blockingClient) {
    const std::string probeName = args.text(0);
    const std::string objectsName = args.text(1);
    const int signal = args.fd(2);
    const SpAIBinder objects(AServiceManager_checkService(objectsName.c_str()));
    SpAIBinder token;
    if (callObjects(objects.get(), objects::kNewToken, nullptr, &token) != STATUS_OK || token.get() == nullptr) {
        return std::string("no token");
    }
    const auto service = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(probeName.c_str())));
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    callback->hook = [signal](const ReceivedEvent& event) {
        if (event.method != "notifyCallback") return;
        sendLine(signal, "in callback");
        for (;;) ::pause();
    };
    int32_t result = -99;
    if (service == nullptr || !service->setEventCallback(1, callback, &result).isOk() || result != STATUS_OK) {
        return std::string("registration failed");
    }
    service->setRequstCompleted(1);
    return std::string("setRequstCompleted returned");
}

// The client holds a token of this process and is killed while this process
// calls its callback.
TEST_F(ProcessDeath, AKilledClientEndsTheCallbackAndGivesBackWhatItHeld) {
    const auto probe = SharedRefBase::makeRef<ProbeService>();
    const auto ledger = std::make_shared<TokenLedger>();
    const std::string probeName = uniqueName("probe");
    const std::string objectsName = uniqueName("objects");
    ASSERT_EQ(publish(probe->asBinder(), probeName), "");
    ASSERT_EQ(publish(newObjectsServer(ledger), objectsName), "");

    Pipe inCallback;
    ChildProcess& client = spawn("blockingClient", {probeName, objectsName, HandOver{inCallback.writeEnd.get()}});
    ASSERT_EQ(LineReader(inCallback.readEnd.get()).next(), "in callback") << client.finish(Millis(100));
    EXPECT_EQ(ledger->created.load(), 1);
    EXPECT_EQ(ledger->destroyed.value(), 0);

    client.kill();
    EXPECT_TRUE(probe->eventFailureCount.waitFor(1));
    EXPECT_EQ(probe->eventFailures(), std::vector<binder_status_t>{STATUS_DEAD_OBJECT});
    EXPECT_TRUE(probe->callbackDeaths.waitFor(1));
    EXPECT_TRUE(ledger->destroyed.waitFor(1));
    EXPECT_EQ(probe->callbackDeaths.value(), 1);
}

}  // namespace
}  // namespace bgs_process_test
