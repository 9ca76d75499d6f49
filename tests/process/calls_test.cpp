// Calls between processes: every method, query and event with its records,
// calls back into the caller within a call (on its own thread, across three
// processes); objects' identity on the way home, and the caller's identity.
#include "process_test_support.h"

#include <unistd.h>

#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;

class ProcessCalls : public ProcessTest {};

TEST_F(ProcessCalls, EveryMethodQueryAndEventCrossesWithItsRecordsIntact) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const std::shared_ptr<IBGService> service = waitForProbe(name, &server);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(service->isRemote());

    int32_t version = 0;
    std::string hash;
    ASSERT_TRUE(service->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, IBGService::version);
    ASSERT_TRUE(service->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, IBGService::hash);

    // The probe fails a method whose event was not answered with
    // answerFor(method), so an OK status also means the answer came back.
    constexpr int32_t kImages = 1024;
    constexpr int64_t kTimestamp = 0x123456789abcdef0;
    const std::string capabilities = probeText("hdr,night");
    const std::string imageName = probeText("req1.jpg");
    const auto events = SharedRefBase::makeRef<RecordingCallback>();
    const auto gallery = SharedRefBase::makeRef<RecordingCallback>();
    int32_t result = -99;
    ASSERT_TRUE(service->setCapabilities(capabilities).isOk());
    ASSERT_TRUE(service->setEventCallback(5, events, &result).isOk());
    EXPECT_EQ(result, STATUS_OK);
    ASSERT_TRUE(service->setGalleryEventCallback(6, gallery, &result).isOk());
    EXPECT_EQ(result, 7);
    ASSERT_TRUE(service->setTimestamps(11, kTimestamp).isOk());
    ASSERT_TRUE(service->setRequstCompleted(kImages).isOk());
    ASSERT_TRUE(service->setRequstCompletedImageName(imageName).isOk());
    ASSERT_TRUE(service->getGalleryAvailability(21, &result).isOk());
    EXPECT_EQ(result, 42);
    ASSERT_TRUE(service->getStorageLoadCompletedStatus(8, &result).isOk());
    EXPECT_EQ(result, -8);
    EXPECT_EQ(service->setRequstCompleted(-1).getExceptionCode(), EX_ILLEGAL_ARGUMENT);

    const std::vector<ReceivedEvent> received = events->events();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].method, "notifySnapshotAvailability");
    EXPECT_EQ(received[0].value, 5);
    EXPECT_EQ(received[1].method, "notifyCallback");
    ASSERT_TRUE(received[1].data.has_value());
    EXPECT_EQ(received[1].data->images.size(), static_cast<size_t>(kImages));
    EXPECT_TRUE(*received[1].data == probeData(kImages, 11, kTimestamp, capabilities))
            << received[1].data->toString().substr(0, 400);
    EXPECT_EQ(received[2].method, "notifyCallbackInfo");
    ASSERT_TRUE(received[2].info.has_value());
    EXPECT_EQ(*received[2].info, probeInfo(kImages, capabilities)) << received[2].info->toString();
    EXPECT_EQ(received[3].method, "onCaptureCompleted");
    EXPECT_EQ(received[3].first, imageName);
    EXPECT_EQ(received[3].value, static_cast<int32_t>(imageName.size()));
    EXPECT_EQ(received[3].second, capabilities);

    const std::vector<ReceivedEvent> galleryEvents = gallery->events();
    ASSERT_EQ(galleryEvents.size(), 1u);
    EXPECT_EQ(galleryEvents[0].method, "onCaptureFailed");
    EXPECT_EQ(galleryEvents[0].first, imageName);
    EXPECT_EQ(galleryEvents[0].value, -static_cast<int32_t>(imageName.size()));
    EXPECT_EQ(galleryEvents[0].second, capabilities);
}

// A client without a pool registers a callback with the service args[0],
// whose process has the pid args[1]; the callback arrives on the calling
// thread, from the service.
BGS_TEST_ROLE(poollessClient) {
    const std::string name = args.text(0);
    const pid_t servicePid = static_cast<pid_t>(args.number(1));
    ChildChecks checks;
    const auto service = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(name.c_str())));
    if (!CHILD_EXPECT(checks, service != nullptr)) return checks.report();
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t result = -99;
    CHILD_EXPECT(checks, service->setEventCallback(3, callback, &result).isOk());
    CHILD_EXPECT(checks, result == STATUS_OK);
    const std::vector<ReceivedEvent> events = callback->events();
    if (CHILD_EXPECT(checks, events.size() == 1)) {
        CHILD_EXPECT(checks, events[0].value == 3);
        CHILD_EXPECT(checks, events[0].thread == std::this_thread::get_id());
        CHILD_EXPECT(checks, events[0].callingPid == servicePid);
    }
    return checks.report();
}

TEST_F(ProcessCalls, ACallbackWithinACallRunsOnTheCallingThreadOfAClientWithoutAPool) {
    const std::string name = uniqueName("probe");
    ASSERT_EQ(publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), name), "");
    // A child starts with no pool, whatever this process started.
    ChildProcess& client = spawn("poollessClient", {name, ::getpid()});
    EXPECT_EQ(client.finish(), "");
}

// This process calls B; within that call B calls C, handing on this
// process's callback; within that, C calls the callback, through B.
TEST_F(ProcessCalls, NestedCallsThroughThreeProcessesCompleteWithinTheFirstCall) {
    const std::string nameC = uniqueName("C");
    const std::string nameB = uniqueName("B");
    ChildProcess& c = spawnProbe(nameC);
    ChildProcess& b = spawnProbe(nameB, ProbeOptions{nameC, -1});
    ASSERT_NE(waitForBinder(nameC, &c).get(), nullptr);
    const std::shared_ptr<IBGService> serviceB = waitForProbe(nameB, &b);
    ASSERT_NE(serviceB, nullptr);

    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t result = -99;
    ASSERT_TRUE(serviceB->setEventCallback(9, callback, &result).isOk());
    EXPECT_EQ(result, STATUS_OK);
    const std::vector<ReceivedEvent> events = callback->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].value, 9);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
}

// Serves a raw objects server under args[0].
BGS_TEST_ROLE(objectsService) {
    return serve(publish(newObjectsServer(std::make_shared<TokenLedger>()), args.text(0)));
}

class ProcessIdentity : public ProcessTest {
  protected:
    // A child serving a raw objects server; its binder here.
    SpAIBinder objectsServer() {
        const std::string name = uniqueName("objects");
        ChildProcess& server = spawn("objectsService", {name});
        return waitForBinder(name, &server);
    }
};

TEST_F(ProcessIdentity, ThisProcesssObjectComesHomeAsItself) {
    const SpAIBinder objects = objectsServer();
    ASSERT_NE(objects.get(), nullptr);
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    const SpAIBinder own = callback->asBinder();
    SpAIBinder back;
    ASSERT_EQ(callObjects(objects.get(), objects::kEchoBinder, own.get(), &back), STATUS_OK);
    EXPECT_EQ(back.get(), own.get());
    EXPECT_FALSE(AIBinder_isRemote(back.get()));
    EXPECT_EQ(IEventCallback::fromBinder(back), callback);
}

TEST_F(ProcessIdentity, AnotherProcesssObjectSentHomeAndBackIsTheSameProxy) {
    const SpAIBinder objects = objectsServer();
    ASSERT_NE(objects.get(), nullptr);
    SpAIBinder back;
    ASSERT_EQ(callObjects(objects.get(), objects::kEchoBinder, objects.get(), &back), STATUS_OK);
    EXPECT_EQ(back.get(), objects.get());
}

// Asks the service args[0] for the caller's pid and uid: its own.
BGS_TEST_ROLE(askIdentity) {
    ChildChecks checks;
    const auto service = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(args.text(0).c_str())));
    if (!CHILD_EXPECT(checks, service != nullptr)) return checks.report();
    int32_t pid = 0;
    int32_t uid = 0;
    CHILD_EXPECT(checks, service->getGalleryAvailability(ProbeService::kAskCallingPid, &pid).isOk());
    CHILD_EXPECT(checks, service->getGalleryAvailability(ProbeService::kAskCallingUid, &uid).isOk());
    CHILD_EXPECT(checks, pid == ::getpid());
    CHILD_EXPECT(checks, static_cast<uid_t>(uid) == ::getuid());
    return checks.report();
}

TEST_F(ProcessIdentity, TheServiceSeesEachClientsPidAndUid) {
    const std::string name = uniqueName("probe");
    ASSERT_EQ(publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), name), "");
    ChildProcess& first = spawn("askIdentity", {name});
    ChildProcess& second = spawn("askIdentity", {name});
    EXPECT_EQ(first.finish(), "");
    EXPECT_EQ(second.finish(), "");
}

}  // namespace
}  // namespace bgs_process_test
