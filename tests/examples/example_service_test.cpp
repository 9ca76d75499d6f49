// ExampleBGService as a client sees it: through a BpBGService, so results,
// failures and the events they cause have all crossed parcels.
#include "example_test_support.h"

#include "common/ExampleErrors.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>

#include <atomic>
#include <set>

namespace bgs_test {
namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BnEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using ::ndk::UniqueAStatus;

TEST(example_service, CompletedCaptureAnnouncesItsImageThenInfo) {
    ExampleWire wire;
    int32_t number = 0;
    ASSERT_TRUE(wire.proxy->setEventCallback(7, wire.events, &number).isOk());
    EXPECT_GT(number, 0);
    wire.capture(5, 1234);
    wire.settle();

    std::vector<ReceivedEvent> got = wire.events->events();
    ASSERT_EQ(methodsOf(got), (std::vector<std::string>{"notifyCallback", "notifyCallbackInfo"}));
    ASSERT_TRUE(got[0].data.has_value());
    const CallbackData& data = *got[0].data;
    EXPECT_EQ(data.value1, 7);  // the registration's value comes back
    EXPECT_EQ(data.value2, 5);
    EXPECT_EQ(data.longValue, 1234);
    EXPECT_EQ(data.text, "req5.jpg");
    EXPECT_EQ(data.value3, 3);
    EXPECT_EQ(data.images, (std::vector<Image>{{4032, 3024, 1}, {1920, 1080, 2}, {320, 240, 3}}));
    EXPECT_FALSE(data.flag) << "no gallery is registered to take the image";

    ASSERT_TRUE(got[1].info.has_value());
    EXPECT_EQ(got[1].info->value1, 5);
    EXPECT_EQ(got[1].info->text1, std::optional<std::string>("req5.jpg"));
    EXPECT_EQ(got[1].info->text2, std::nullopt) << "no failure: the reason is absent";
}

TEST(example_service, CaptureWithoutTimestampFailsAsAnEventNotAStatus) {
    ExampleWire wire;
    wire.registerBoth();
    // The timestamp is used up by the first completion of request 5.
    wire.capture(5);
    ASSERT_TRUE(wire.proxy->setRequstCompleted(5).isOk());
    ASSERT_TRUE(wire.proxy->setRequstCompleted(6).isOk());
    wire.settle();

    std::vector<ReceivedEvent> got = wire.events->eventsFrom(2);
    ASSERT_EQ(methodsOf(got), (std::vector<std::string>{"onCaptureFailed", "notifyCallbackInfo",
                                                        "onCaptureFailed", "notifyCallbackInfo"}));
    EXPECT_EQ(got[0].arguments, "(\"req5.jpg\", 5, \"no timestamp was set for this request\")");
    const CallbackInfo& info = *got[3].info;
    EXPECT_EQ(info.value1, 6);
    EXPECT_EQ(info.text1, std::optional<std::string>("")) << "empty, not absent: no image";
    EXPECT_EQ(info.text2, std::optional<std::string>("no timestamp was set for this request"));
    EXPECT_EQ(info.value2, 3) << "completed requests so far";
    EXPECT_TRUE(wire.gallery->events().empty());
}

TEST(example_service, SavingAnImageNotifiesBothCallbacksAndFillsTheGallery) {
    ExampleWire wire;
    wire.registerBoth();
    wire.capture(1);
    wire.capture(2);
    wire.settle();
    EXPECT_TRUE(wire.events->events()[0].data->flag) << "a gallery is registered";

    ASSERT_TRUE(wire.proxy->setRequstCompletedImageName("req2.jpg").isOk());
    ASSERT_TRUE(wire.proxy->setRequstCompletedImageName("req1.jpg").isOk());
    wire.settle();

    std::vector<ReceivedEvent> saved = wire.events->eventsFrom(4);
    ASSERT_EQ(methodsOf(saved),
              (std::vector<std::string>{"onCaptureCompleted", "onCaptureCompleted"}));
    EXPECT_EQ(saved[0].arguments, "(\"req2.jpg\", 2, \"saved to the gallery\")");
    std::vector<ReceivedEvent> snapshots = wire.gallery->events();
    ASSERT_EQ(snapshots.size(), 2u);
    EXPECT_EQ(snapshots[0].arguments, "(1)");
    EXPECT_EQ(snapshots[1].arguments, "(2)");

    int32_t available = -1;
    ASSERT_TRUE(wire.proxy->getGalleryAvailability(3, &available).isOk());
    EXPECT_EQ(available, 2);
    ASSERT_TRUE(wire.proxy->getGalleryAvailability(4, &available).isOk());
    EXPECT_EQ(available, 0) << "only the registered gallery exists";
}

TEST(example_service, RefusalsCarryTheirCodeAndMessageAcrossTheWire) {
    ExampleWire wire;
    UniqueAStatus status = wire.proxy->setCapabilities("");
    EXPECT_EQ(status.getExceptionCode(), EX_ILLEGAL_ARGUMENT);
    EXPECT_STREQ(status.getMessage(), "capabilities must not be empty");

    status = wire.proxy->setTimestamps(1, -5);
    EXPECT_EQ(status.getExceptionCode(), EX_ILLEGAL_ARGUMENT);
    EXPECT_STREQ(status.getMessage(), "timestamp must not be negative");

    status = wire.proxy->setRequstCompleted(int64_t{1} << 32);
    EXPECT_EQ(status.getExceptionCode(), EX_ILLEGAL_ARGUMENT);

    status = wire.proxy->setRequstCompletedImageName("nope.jpg");
    EXPECT_EQ(status.getExceptionCode(), EX_SERVICE_SPECIFIC);
    EXPECT_EQ(status.getServiceSpecificError(), bgs::examples::kErrorUnknownImage);
    EXPECT_STREQ(status.getMessage(), "no completed request has an unsaved image named 'nope.jpg'");

    // An image can be saved once.
    wire.capture(1);
    ASSERT_TRUE(wire.proxy->setRequstCompletedImageName("req1.jpg").isOk());
    EXPECT_EQ(wire.proxy->setRequstCompletedImageName("req1.jpg").getServiceSpecificError(),
              bgs::examples::kErrorUnknownImage);
}

TEST(example_service, RefusedCallsChangeNothing) {
    ExampleWire wire;
    wire.registerBoth();
    int32_t loaded = -1;
    ASSERT_TRUE(wire.proxy->setCapabilities("hdr").isOk());
    ASSERT_FALSE(wire.proxy->setCapabilities("").isOk());
    ASSERT_TRUE(wire.proxy->getStorageLoadCompletedStatus(0, &loaded).isOk());
    EXPECT_EQ(loaded, 1) << "the refused call must not clear the capabilities";

    // A refused timestamp is not recorded: the request then fails.
    ASSERT_FALSE(wire.proxy->setTimestamps(9, -1).isOk());
    ASSERT_TRUE(wire.proxy->setRequstCompleted(9).isOk());
    wire.settle();
    EXPECT_EQ(wire.events->events().at(0).method, "onCaptureFailed");

    // A refused save leaves no snapshot and sends no event.
    ASSERT_FALSE(wire.proxy->setRequstCompletedImageName("req9.jpg").isOk());
    wire.settle();
    EXPECT_TRUE(wire.gallery->events().empty());
}

TEST(example_service, StorageIsLoadedOnceCapabilitiesAreKnown) {
    ExampleWire wire;
    int32_t loaded = -1;
    ASSERT_TRUE(wire.proxy->getStorageLoadCompletedStatus(0, &loaded).isOk());
    EXPECT_EQ(loaded, 0);
    ASSERT_TRUE(wire.proxy->setCapabilities("hdr").isOk());
    ASSERT_TRUE(wire.proxy->getStorageLoadCompletedStatus(0, &loaded).isOk());
    EXPECT_EQ(loaded, 1);
}

TEST(example_service, RegistrationReplacesAndNullUnregistersAndReleases) {
    ExampleWire wire;
    auto first = ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("first");
    std::weak_ptr<ExampleEventCallback> firstAlive = first;
    int32_t a = 0;
    int32_t b = 0;
    ASSERT_TRUE(wire.proxy->setEventCallback(7, first, &a).isOk());
    ASSERT_TRUE(wire.proxy->setEventCallback(8, wire.events, &b).isOk());
    EXPECT_GT(b, a);
    first.reset();
    EXPECT_TRUE(expires(firstAlive)) << "the replaced callback is still held by the service";

    wire.capture(1);
    wire.settle();
    ASSERT_EQ(wire.events->events().size(), 2u);
    EXPECT_EQ(wire.events->events()[0].data->value1, 8);

    int32_t number = -1;
    ASSERT_TRUE(wire.proxy->setEventCallback(8, nullptr, &number).isOk());
    EXPECT_EQ(number, 0);
    wire.capture(2);
    wire.settle();
    EXPECT_EQ(wire.events->events().size(), 2u) << "no events after unregistering";

    std::weak_ptr<ExampleEventCallback> eventsAlive = wire.events;
    wire.events.reset();
    EXPECT_TRUE(expires(eventsAlive)) << "the unregistered callback is still held";
}

TEST(example_service, ServiceLogsHowTheCallbackArrived) {
    ExampleWire wire;
    wire.registerBoth();
    std::vector<std::string> log = wire.logLines();
    ASSERT_EQ(log.size(), 2u);
    // In one process the stub's fromBinder hands over the client's object.
    EXPECT_NE(log[0].find("event callback (value 7) registered as #1"), std::string::npos);
    EXPECT_NE(log[0].find("the client's own object"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("gallery callback (value 3) registered as #2"), std::string::npos);
}

// A callback that fails every event with a fixed status.
class FailingCallback : public BnEventCallback {
  public:
    explicit FailingCallback(binder_status_t status) : mStatus(status) {}
    UniqueAStatus notifyCallback(const CallbackData&, std::string*) override { return fail(); }
    UniqueAStatus notifySnapshotAvailability(int32_t, std::string*) override { return fail(); }
    UniqueAStatus notifyCallbackInfo(const CallbackInfo&, std::string*) override { return fail(); }
    UniqueAStatus onCaptureCompleted(const std::string&, int32_t, const std::string&,
                                     std::string*) override {
        return fail();
    }
    UniqueAStatus onCaptureFailed(const std::string&, int32_t, const std::string&,
                                  std::string*) override {
        return fail();
    }
    std::atomic<int> calls{0};

  private:
    UniqueAStatus fail() {
        ++calls;
        return UniqueAStatus::fromStatus(mStatus);
    }
    const binder_status_t mStatus;
};

TEST(example_service, DeadClientIsForgottenOtherFailuresAreNot) {
    ExampleWire wire;
    auto dead = ::ndk::SharedRefBase::makeRef<FailingCallback>(STATUS_DEAD_OBJECT);
    auto grumpy = ::ndk::SharedRefBase::makeRef<FailingCallback>(STATUS_BAD_VALUE);
    int32_t number = 0;
    ASSERT_TRUE(wire.proxy->setEventCallback(1, dead, &number).isOk());
    ASSERT_TRUE(wire.proxy->setGalleryEventCallback(3, grumpy, &number).isOk());

    wire.capture(1);
    wire.settle();
    EXPECT_TRUE(wire.proxy->setRequstCompletedImageName("req1.jpg").isOk())
            << "a client's failure is not the caller's failure";
    wire.capture(2);
    ASSERT_TRUE(wire.proxy->setRequstCompletedImageName("req2.jpg").isOk());
    wire.settle();
    // Request 1 reached the dead client once (notifyCallback), then it was
    // dropped; the gallery client answered badly twice and stays registered.
    EXPECT_EQ(dead->calls.load(), 1);
    EXPECT_EQ(grumpy->calls.load(), 2);
    int32_t available = 0;
    ASSERT_TRUE(wire.proxy->getGalleryAvailability(3, &available).isOk());
    EXPECT_EQ(available, 2);

    bool loggedFailure = false;
    for (const std::string& line : wire.logLines()) {
        loggedFailure |= line.find("notifyCallback failed") != std::string::npos;
    }
    EXPECT_TRUE(loggedFailure);
}

// A client that asks the service something while handling an event: legal,
// and in one process it re-enters the service on the delivering thread.
class CuriousCallback : public ExampleEventCallback {
  public:
    explicit CuriousCallback(std::shared_ptr<IBGService> service)
        : ExampleEventCallback("curious"), mService(std::move(service)) {}
    UniqueAStatus notifyCallback(const CallbackData& data, std::string* answer) override {
        int32_t available = -1;
        askedOk = mService->getGalleryAvailability(3, &available).isOk();
        return ExampleEventCallback::notifyCallback(data, answer);
    }
    std::atomic<bool> askedOk{false};

  private:
    std::shared_ptr<IBGService> mService;
};

TEST(example_service, CallbackMayCallTheServiceBackWithoutDeadlock) {
    auto wire = std::make_shared<ExampleWire>();
    auto curious = ::ndk::SharedRefBase::makeRef<CuriousCallback>(wire->proxy);
    int32_t number = 0;
    ASSERT_TRUE(wire->proxy->setEventCallback(7, curious, &number).isOk());
    ASSERT_TRUE(finishes([wire] {
        wire->capture(1);
        wire->settle();
    })) << "the service held its lock while calling the client";
    EXPECT_TRUE(curious->askedOk.load());
    // The callback holds the proxy and the service holds the callback.
    ASSERT_TRUE(wire->proxy->setEventCallback(7, nullptr, &number).isOk());
}

}  // namespace
}  // namespace bgs_test
