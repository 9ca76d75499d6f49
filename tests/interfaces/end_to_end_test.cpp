// Both interfaces over the full wire path in one process: a BpBGService made
// over a BnBGService's binder, and events back through a BpEventCallback made
// over the client's BnEventCallback binder. Every call is a real transaction:
// proxy, parcels, runtime, transaction function, implementation, and back.

#include <gtest/gtest.h>

#include "case_name.h"
#include "test_peers.h"

namespace {

using namespace bgs_test;
using aidl_ns::BpBGService;
using aidl_ns::BpEventCallback;
using ndk::SharedRefBase;

class EndToEnd : public ::testing::Test {
  protected:
    std::shared_ptr<RecordingService> service = SharedRefBase::makeRef<RecordingService>();
    std::shared_ptr<IBGService> proxy =
            SharedRefBase::makeRef<BpBGService>(service->asBinder());
    std::shared_ptr<RecordingCallback> callback = SharedRefBase::makeRef<RecordingCallback>();
};

TEST_F(EndToEnd, EveryServiceMethodArrivesWithItsArgumentsAndResult) {
    int32_t result = -1;
    EXPECT_TRUE(proxy->setCapabilities("caps:jpeg,raw").isOk());
    ASSERT_TRUE(proxy->setEventCallback(5, callback, &result).isOk());
    EXPECT_EQ(result, 11);
    EXPECT_TRUE(proxy->setTimestamps(-3, int64_t{1} << 42).isOk());
    EXPECT_TRUE(proxy->setRequstCompleted(-(int64_t{1} << 40)).isOk());
    ASSERT_TRUE(proxy->setGalleryEventCallback(6, callback, &result).isOk());
    EXPECT_EQ(result, 12);
    ASSERT_TRUE(proxy->getGalleryAvailability(7, &result).isOk());
    EXPECT_EQ(result, 107);
    ASSERT_TRUE(proxy->getStorageLoadCompletedStatus(-8, &result).isOk());
    EXPECT_EQ(result, -16);
    EXPECT_TRUE(proxy->setRequstCompletedImageName(std::string("img\0001.jpg", 9)).isOk());

    EXPECT_EQ(service->log.calls(),
              (std::vector<std::string>{
                      "setCapabilities(caps:jpeg,raw)", "setEventCallback(5, callback)",
                      "setTimestamps(-3, 4398046511104)", "setRequstCompleted(-1099511627776)",
                      "setGalleryEventCallback(6, callback)", "getGalleryAvailability(7)",
                      "getStorageLoadCompletedStatus(-8)",
                      describe("setRequstCompletedImageName", std::string("img\0001.jpg", 9))}));
    // In one process the callback read by the stub is the client's own object.
    EXPECT_EQ(service->eventCallback, callback);
    EXPECT_EQ(service->galleryCallback, callback);
}

TEST_F(EndToEnd, EmptyCallbackArrivesEmpty) {
    int32_t result = 0;
    ASSERT_TRUE(proxy->setEventCallback(1, nullptr, &result).isOk());
    EXPECT_EQ(service->eventCallback, nullptr);
    EXPECT_EQ(service->log.calls().back(), "setEventCallback(1, null)");
}

TEST_F(EndToEnd, EveryEventReachesTheClientThroughItsBinder) {
    int32_t ignored = 0;
    ASSERT_TRUE(proxy->setEventCallback(1, callback, &ignored).isOk());
    // The service calls back through a proxy over the client's binder.
    auto events = SharedRefBase::makeRef<BpEventCallback>(service->eventCallback->asBinder());

    CallbackData data;
    data.value1 = 1;
    data.longValue = -(int64_t{1} << 50);
    data.text = "frame";
    data.images = {Image{1, 2, 3}, Image{-4, -5, -6}, Image{}};
    data.flag = true;
    data.value5 = 9;
    CallbackInfo info;
    info.value1 = 7;
    info.text1 = std::nullopt;
    info.text2 = "";
    info.value2 = -7;
    CallbackInfo present = info;
    present.text1 = "first";
    present.text2 = "second";

    std::string reply;
    ASSERT_TRUE(events->notifyCallback(data, &reply).isOk());
    EXPECT_EQ(reply, "notifyCallback:ok");
    ASSERT_TRUE(events->notifySnapshotAvailability(3, &reply).isOk());
    EXPECT_EQ(reply, "notifySnapshotAvailability:ok");
    ASSERT_TRUE(events->notifyCallbackInfo(info, &reply).isOk());
    ASSERT_TRUE(events->notifyCallbackInfo(present, &reply).isOk());
    EXPECT_EQ(reply, "notifyCallbackInfo:ok");
    ASSERT_TRUE(events->onCaptureCompleted("cam0", 42, "/data/a.jpg", &reply).isOk());
    EXPECT_EQ(reply, "onCaptureCompleted:ok");
    ASSERT_TRUE(events->onCaptureFailed("", -1, "", &reply).isOk());
    EXPECT_EQ(reply, "onCaptureFailed:ok");

    ASSERT_EQ(callback->data.size(), 1u);
    EXPECT_EQ(callback->data[0], data);
    ASSERT_EQ(callback->infos.size(), 2u);
    EXPECT_EQ(callback->infos[0], info);
    EXPECT_FALSE(callback->infos[0].text1.has_value());
    EXPECT_EQ(callback->infos[0].text2, std::string());
    EXPECT_EQ(callback->infos[1], present);
    const auto calls = callback->log.calls();
    EXPECT_EQ(calls[1], "notifySnapshotAvailability(3)");
    EXPECT_EQ(calls[4], "onCaptureCompleted(cam0, 42, /data/a.jpg)");
    EXPECT_EQ(calls[5], "onCaptureFailed(, -1, )");
}

TEST_F(EndToEnd, QueriesOnBothInterfacesAnswerVersionAndHash) {
    int32_t version = 0;
    std::string hash;
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(version, 1);
    EXPECT_EQ(hash, "47adb550fc6511f9d2e7e89d485edf4b45f48fae");

    auto events = SharedRefBase::makeRef<BpEventCallback>(callback->asBinder());
    version = 0;
    hash.clear();
    ASSERT_TRUE(events->getInterfaceVersion(&version).isOk());
    ASSERT_TRUE(events->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(version, 1);
    EXPECT_EQ(hash, IEventCallback::hash);
    EXPECT_EQ(IEventCallback::hash, IBGService::hash);
}

// A failure status from the implementation comes back as sent, with its
// exception, code and message, and the caller's result stays untouched.
struct FailureCase {
    const char* name;
    std::function<UniqueAStatus()> make;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailuresTravelBack : public EndToEnd, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailuresTravelBack, UnchangedAndWithoutTouchingResults) {
    service->answer.status = GetParam().make;
    callback->answer.status = GetParam().make;
    const UniqueAStatus expected = GetParam().make();

    auto check = [&](const UniqueAStatus& status) {
        EXPECT_FALSE(status.isOk());
        EXPECT_EQ(status.getExceptionCode(), expected.getExceptionCode());
        EXPECT_EQ(status.getServiceSpecificError(), expected.getServiceSpecificError());
        EXPECT_EQ(status.getStatus(), expected.getStatus());
        EXPECT_STREQ(status.getMessage(), expected.getMessage());
    };
    int32_t result = -99;
    check(proxy->setCapabilities("x"));
    check(proxy->setEventCallback(1, callback, &result));
    check(proxy->getGalleryAvailability(1, &result));
    check(proxy->getStorageLoadCompletedStatus(1, &result));
    EXPECT_EQ(result, -99);

    auto events = SharedRefBase::makeRef<BpEventCallback>(callback->asBinder());
    std::string reply = "untouched";
    check(events->notifyCallback(CallbackData(), &reply));
    check(events->onCaptureFailed("a", 1, "b", &reply));
    EXPECT_EQ(reply, "untouched");
    // The queries are the stubs' own and never fail.
    int32_t version = 0;
    EXPECT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    EXPECT_TRUE(events->getInterfaceVersion(&version).isOk());
}

INSTANTIATE_TEST_SUITE_P(
        Statuses, FailuresTravelBack,
        ::testing::Values(
                FailureCase{"ServiceSpecificWithMessage",
                            [] {
                                return UniqueAStatus::fromServiceSpecificErrorWithMessage(
                                        42, "disk full");
                            }},
                FailureCase{"ServiceSpecificWithoutMessage",
                            [] { return UniqueAStatus::fromServiceSpecificError(-3); }},
                FailureCase{"ExceptionWithMessage",
                            [] {
                                return UniqueAStatus::fromExceptionCodeWithMessage(
                                        EX_ILLEGAL_ARGUMENT, "bad value");
                            }},
                FailureCase{"ExceptionWithoutMessage",
                            [] { return UniqueAStatus::fromExceptionCode(EX_SECURITY); }},
                FailureCase{"PlainStatusCode",
                            [] { return UniqueAStatus::fromStatus(STATUS_PERMISSION_DENIED); }}),
        bgs_test::CaseName());

TEST_F(EndToEnd, ImplementationThatLeavesItsResultGivesZeroOrEmpty) {
    service->answer.writeResult = false;
    callback->answer.writeResult = false;
    int32_t result = -1;
    ASSERT_TRUE(proxy->getGalleryAvailability(5, &result).isOk());
    EXPECT_EQ(result, 0);
    auto events = SharedRefBase::makeRef<BpEventCallback>(callback->asBinder());
    std::string reply = "stale";
    ASSERT_TRUE(events->notifySnapshotAvailability(1, &reply).isOk());
    EXPECT_EQ(reply, "");
}

TEST_F(EndToEnd, ServiceIsDestroyedWhenProxyAndBinderAreGone) {
    std::weak_ptr<RecordingService> watch = service;
    service.reset();
    EXPECT_FALSE(watch.expired());  // the proxy's binder owns it
    proxy.reset();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
