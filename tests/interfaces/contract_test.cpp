// What the interfaces promise beside their calls: identity constants,
// registration of the binder classes with their name tables, the default
// implementations and their slot, and the interface-reference conversions.

#include <gtest/gtest.h>

#include "registration.h"
#include "test_peers.h"

namespace {

using namespace bgs_test;
using aidl_ns::bgServiceClass;
using aidl_ns::eventCallbackClass;
using aidl_ns::IBGServiceDefault;
using aidl_ns::IEventCallbackDefault;
using ndk::SharedRefBase;

TEST(Identity, DescriptorsVersionsAndHash) {
    EXPECT_STREQ(IBGService::descriptor, "vendor.tolvek.hardware.aidlbgservice.IBGService");
    EXPECT_STREQ(IEventCallback::descriptor, "vendor.tolvek.hardware.aidlbgservice.IEventCallback");
    EXPECT_EQ(IBGService::version, 1);
    EXPECT_EQ(IEventCallback::version, 1);
    EXPECT_EQ(IBGService::hash, "47adb550fc6511f9d2e7e89d485edf4b45f48fae");
    EXPECT_EQ(IEventCallback::hash, IBGService::hash);
}

void expectNameTable(const AIBinder_Class* clazz, const std::vector<std::string>& names) {
    ASSERT_NE(clazz, nullptr);
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(clazz), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const char* name = AIBinder_Class_getFunctionName(clazz, static_cast<uint32_t>(i + 1));
        ASSERT_NE(name, nullptr) << i;
        EXPECT_EQ(name, names[i]);
    }
    for (transaction_code_t code : {0u, static_cast<uint32_t>(names.size() + 1), 16777214u,
                                    16777215u}) {
        EXPECT_EQ(AIBinder_Class_getFunctionName(clazz, code), nullptr) << code;
    }
}

TEST(Registration, ClassesCarryTheirDescriptorsAndNameTables) {
    EXPECT_STREQ(AIBinder_Class_getDescriptor(bgServiceClass), IBGService::descriptor);
    EXPECT_STREQ(AIBinder_Class_getDescriptor(eventCallbackClass), IEventCallback::descriptor);
    expectNameTable(bgServiceClass,
                    {"setCapabilities", "setEventCallback", "setTimestamps", "setRequstCompleted",
                     "setGalleryEventCallback", "getGalleryAvailability",
                     "getStorageLoadCompletedStatus", "setRequstCompletedImageName"});
    expectNameTable(eventCallbackClass,
                    {"notifyCallback", "notifySnapshotAvailability", "notifyCallbackInfo",
                     "onCaptureCompleted", "onCaptureFailed"});
}

TEST(Registration, StubBindersAreOfTheInterfacesClassAndStable) {
    auto service = SharedRefBase::makeRef<RecordingService>();
    auto callback = SharedRefBase::makeRef<RecordingCallback>();
    ndk::SpAIBinder serviceBinder = service->asBinder();
    ndk::SpAIBinder callbackBinder = callback->asBinder();
    EXPECT_EQ(AIBinder_getClass(serviceBinder.get()), bgServiceClass);
    EXPECT_EQ(AIBinder_getClass(callbackBinder.get()), eventCallbackClass);
    EXPECT_TRUE(AIBinder_isVintfStable(serviceBinder.get()));
    EXPECT_TRUE(AIBinder_isVintfStable(callbackBinder.get()));
}

TEST(StubQueries, AnswerVersionOneAndTheHashDirectly) {
    auto service = SharedRefBase::makeRef<RecordingService>();
    auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t version = 0;
    std::string hash;
    EXPECT_TRUE(service->getInterfaceVersion(&version).isOk());
    EXPECT_TRUE(service->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(version, 1);
    EXPECT_EQ(hash, IBGService::hash);
    version = 0;
    EXPECT_TRUE(callback->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, 1);
    EXPECT_FALSE(service->isRemote());
}

TEST(DefaultImplementations, ServiceDefaultRefusesMethodsAndAnswersQueries) {
    auto fallback = SharedRefBase::makeRef<IBGServiceDefault>();
    int32_t result = 13;
    const std::vector<UniqueAStatus> statuses = [&] {
        std::vector<UniqueAStatus> all;
        all.push_back(fallback->setCapabilities("x"));
        all.push_back(fallback->setEventCallback(1, nullptr, &result));
        all.push_back(fallback->setTimestamps(1, 2));
        all.push_back(fallback->setRequstCompleted(1));
        all.push_back(fallback->setGalleryEventCallback(1, nullptr, &result));
        all.push_back(fallback->getGalleryAvailability(1, &result));
        all.push_back(fallback->getStorageLoadCompletedStatus(1, &result));
        all.push_back(fallback->setRequstCompletedImageName("x"));
        return all;
    }();
    for (const auto& status : statuses) EXPECT_EQ(status.getStatus(), STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(result, 13);
    int32_t version = -1;
    std::string hash = "not empty";
    EXPECT_TRUE(fallback->getInterfaceVersion(&version).isOk());
    EXPECT_TRUE(fallback->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(version, 0);
    EXPECT_EQ(hash, "");
    EXPECT_EQ(fallback->asBinder().get(), nullptr);
    EXPECT_FALSE(fallback->isRemote());
    EXPECT_EQ(fallback->dump(1, nullptr, 0), STATUS_OK);
}

TEST(DefaultImplementations, CallbackDefaultRefusesEventsAndAnswersQueries) {
    auto fallback = SharedRefBase::makeRef<IEventCallbackDefault>();
    std::string result = "kept";
    EXPECT_EQ(fallback->notifyCallback(CallbackData(), &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(fallback->notifySnapshotAvailability(1, &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(fallback->notifyCallbackInfo(CallbackInfo(), &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(fallback->onCaptureCompleted("a", 1, "b", &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(fallback->onCaptureFailed("a", 1, "b", &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(result, "kept");
    int32_t version = -1;
    EXPECT_TRUE(fallback->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, 0);
    EXPECT_TRUE(fallback->getInterfaceHash(&result).isOk());
    EXPECT_EQ(result, "");
    EXPECT_EQ(fallback->asBinder().get(), nullptr);
}

// The default slot lasts for the process: each case runs in a child.
TEST(DefaultSlotDeathTest, EmptyIsRefusedAndALaterNonEmptyOneWins) {
    EXPECT_EXIT(
            {
                EXPECT_FALSE(IBGService::setDefaultImpl(nullptr));
                EXPECT_EQ(IBGService::getDefaultImpl(), nullptr);
                auto first = SharedRefBase::makeRef<IBGServiceDefault>();
                auto second = SharedRefBase::makeRef<IBGServiceDefault>();
                EXPECT_TRUE(IBGService::setDefaultImpl(first));
                EXPECT_FALSE(IBGService::setDefaultImpl(nullptr));
                EXPECT_EQ(IBGService::getDefaultImpl(), first);
                EXPECT_TRUE(IBGService::setDefaultImpl(second));
                EXPECT_EQ(IBGService::getDefaultImpl(), second);
                EXPECT_EQ(first.use_count(), 1);  // the slot let the first one go
                std::exit(::testing::Test::HasFailure() ? 1 : 0);
            },
            ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
            {
                auto first = SharedRefBase::makeRef<IEventCallbackDefault>();
                auto second = SharedRefBase::makeRef<IEventCallbackDefault>();
                EXPECT_FALSE(IEventCallback::setDefaultImpl(nullptr));
                EXPECT_TRUE(IEventCallback::setDefaultImpl(first));
                EXPECT_TRUE(IEventCallback::setDefaultImpl(second));
                EXPECT_FALSE(IEventCallback::setDefaultImpl(nullptr));
                EXPECT_EQ(IEventCallback::getDefaultImpl(), second);
                std::exit(::testing::Test::HasFailure() ? 1 : 0);
            },
            ::testing::ExitedWithCode(0), "");
}

TEST(References, FromBinderOutcomes) {
    auto service = SharedRefBase::makeRef<RecordingService>();
    auto callback = SharedRefBase::makeRef<RecordingCallback>();
    ndk::SpAIBinder serviceBinder = service->asBinder();
    ndk::SpAIBinder callbackBinder = callback->asBinder();

    EXPECT_EQ(IBGService::fromBinder(ndk::SpAIBinder()), nullptr);
    EXPECT_EQ(IEventCallback::fromBinder(ndk::SpAIBinder()), nullptr);

    std::shared_ptr<IBGService> local = IBGService::fromBinder(serviceBinder);
    EXPECT_EQ(local, service);
    EXPECT_FALSE(local->isRemote());
    EXPECT_EQ(IEventCallback::fromBinder(callbackBinder), callback);

    // A binder of the other interface is not accepted.
    EXPECT_EQ(IEventCallback::fromBinder(serviceBinder), nullptr);
    EXPECT_EQ(IBGService::fromBinder(callbackBinder), nullptr);
}

TEST(References, EmptyAndBinderlessReferencesWriteANullBinder) {
    for (const std::shared_ptr<IBGService>& instance :
         {std::shared_ptr<IBGService>(),
          std::shared_ptr<IBGService>(SharedRefBase::makeRef<IBGServiceDefault>())}) {
        auto parcel = newParcel();
        ASSERT_EQ(IBGService::writeToParcel(parcel.get(), instance), STATUS_OK);
        rewind(parcel.get());
        std::shared_ptr<IBGService> read = SharedRefBase::makeRef<IBGServiceDefault>();
        ASSERT_EQ(IBGService::readFromParcel(parcel.get(), &read), STATUS_OK);
        EXPECT_EQ(read, nullptr);
    }
}

TEST(References, LocalCallbackRoundTripsToTheSameObject) {
    std::shared_ptr<IEventCallback> callback = SharedRefBase::makeRef<RecordingCallback>();
    auto parcel = newParcel();
    ASSERT_EQ(IEventCallback::writeToParcel(parcel.get(), callback), STATUS_OK);
    rewind(parcel.get());
    std::shared_ptr<IEventCallback> read;
    ASSERT_EQ(IEventCallback::readFromParcel(parcel.get(), &read), STATUS_OK);
    EXPECT_EQ(read, callback);
}

TEST(References, FailedReadLeavesTheReferenceUnchanged) {
    std::shared_ptr<IEventCallback> before = SharedRefBase::makeRef<RecordingCallback>();
    std::shared_ptr<IEventCallback> reference = before;
    auto parcel = parcelFrom({1, 0, 0, 0, 0, 0, 0, 0});  // a binder entry naming no object
    EXPECT_EQ(IEventCallback::readFromParcel(parcel.get(), &reference), STATUS_BAD_TYPE);
    EXPECT_EQ(reference, before);
}

}  // namespace
