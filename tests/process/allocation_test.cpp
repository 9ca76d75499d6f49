// Short calls allocate nothing once a thread has made a few: not the proxy,
// the runtime or the stub, in one process or on either side of a call
// between two. This binary interposes malloc (allocation_counter.cpp), so it
// holds these tests alone.
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>

#include "allocation_counter.h"
#include "process_test_support.h"

namespace bgs_process_test {
namespace {

using ::bgs::testing::allocationCount;
using ::bgs::testing::allocationCountOnThisThread;
using ::bgs::testing::countingAllocations;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::BpBGService;
using ::ndk::SharedRefBase;
using ::ndk::UniqueAStatus;

constexpr int kWarmUpCalls = 100;
constexpr int kCalls = 1000;

// Answers getGalleryAvailability with its own process's allocation count,
// so a client can read the count on the serving side.
class CountingService : public BnBGService {
  public:
    UniqueAStatus setCapabilities(const std::string&) override { return UniqueAStatus::ok(); }
    UniqueAStatus setEventCallback(int32_t, const std::shared_ptr<IEventCallback>&, int32_t*) override {
        return UniqueAStatus::ok();
    }
    UniqueAStatus setTimestamps(int32_t, int64_t) override { return UniqueAStatus::ok(); }
    UniqueAStatus setRequstCompleted(int64_t) override { return UniqueAStatus::ok(); }
    UniqueAStatus setGalleryEventCallback(int32_t, const std::shared_ptr<IEventCallback>&, int32_t*) override {
        return UniqueAStatus::ok();
    }
    UniqueAStatus getGalleryAvailability(int32_t, int32_t* result) override {
        *result = static_cast<int32_t>(allocationCount() & 0x7fffffff);
        return UniqueAStatus::ok();
    }
    UniqueAStatus getStorageLoadCompletedStatus(int32_t value, int32_t* result) override {
        *result = value;
        return UniqueAStatus::ok();
    }
    UniqueAStatus setRequstCompletedImageName(const std::string&) override { return UniqueAStatus::ok(); }
};

// The short calls: a request of a few words, a reply of a status and a word.
bool makeCalls(IBGService& service, int count) {
    int32_t result = 0;
    for (int i = 0; i < count; ++i) {
        if (!service.setTimestamps(i, 1234567890123).isOk()) return false;
        if (!service.getStorageLoadCompletedStatus(i, &result).isOk() || result != i) return false;
    }
    return true;
}

// Serves a CountingService under args[0].
BGS_TEST_ROLE(countingService) {
    return serve(publish(SharedRefBase::makeRef<CountingService>()->asBinder(), args.text(0)));
}

class SteadyStateCalls : public ProcessTest {
  protected:
    void SetUp() override {
        if (!countingAllocations()) GTEST_SKIP() << "a sanitizer's runtime owns malloc here";
        ProcessTest::SetUp();
    }
};

// Also a binder argument: the request's object table keeps its buffer too.
TEST_F(SteadyStateCalls, ProxyCallsInOneProcessAllocateNothing) {
    const auto object = SharedRefBase::makeRef<CountingService>();
    const auto proxy = SharedRefBase::makeRef<BpBGService>(object->asBinder());
    const std::shared_ptr<IEventCallback> callback = SharedRefBase::makeRef<RecordingCallback>();
    const ::ndk::SpAIBinder callbackBinder = callback->asBinder();  // lives across the calls
    const auto calls = [&](int count) {
        int32_t result = 0;
        for (int i = 0; i < count; ++i) {
            if (!proxy->setEventCallback(i, callback, &result).isOk()) return false;
        }
        return makeCalls(*proxy, count);
    };
    ASSERT_TRUE(calls(kWarmUpCalls));
    // The whole call runs on this thread; the fixture's own threads may
    // allocate meanwhile and are not counted.
    const uint64_t before = allocationCountOnThisThread();
    const bool done = calls(kCalls);
    const uint64_t allocations = allocationCountOnThisThread() - before;
    ASSERT_TRUE(done);
    EXPECT_EQ(allocations, 0u);
}

TEST_F(SteadyStateCalls, CallsBetweenProcessesAllocateNothingOnEitherSide) {
    const std::string name = uniqueName("counting");
    ChildProcess& server = spawn("countingService", {name});
    const std::shared_ptr<IBGService> service = IBGService::fromBinder(waitForBinder(name, &server));
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(makeCalls(*service, kWarmUpCalls));

    // The caller sends and receives on its own thread (its own channel);
    // the runtime's threads here only serve this process's objects.
    int32_t serverBefore = 0;
    int32_t serverAfter = 0;
    const uint64_t before = allocationCountOnThisThread();
    const bool done = service->getGalleryAvailability(0, &serverBefore).isOk() && makeCalls(*service, kCalls) &&
                      service->getGalleryAvailability(0, &serverAfter).isOk();
    const uint64_t allocations = allocationCountOnThisThread() - before;
    ASSERT_TRUE(done);
    EXPECT_EQ(allocations, 0u) << "in the calling process";
    // Any pool thread may serve a call, and each allocates its own caches
    // the first time it does; on a loaded machine idle threads retire and
    // new ones start, so a few hundred is no fault. An allocation per call
    // would count at least 1,000.
    EXPECT_LT(serverAfter - serverBefore, kCalls / 2) << "in the serving process";
}

}  // namespace
}  // namespace bgs_process_test
