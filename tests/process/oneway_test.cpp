// One-way calls across processes: the caller does not wait, and the calls to
// one object run one at a time, in the order sent, even when the caller lets
// go of the object before they run.
#include "process_test_support.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SpAIBinder;

constexpr transaction_code_t kRecord = FIRST_CALL_TRANSACTION;      // one-way: an int32 sequence number
constexpr transaction_code_t kSummary = FIRST_CALL_TRANSACTION + 1;  // count, in order, never overlapped
constexpr int32_t kCalls = 300;

struct Recorder {
    std::mutex mutex;
    std::vector<int32_t> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
};

binder_status_t recorderTransact(AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    auto* recorder = static_cast<Recorder*>(AIBinder_getUserData(binder));
    if (code == kRecord) {
        if (recorder->running.fetch_add(1) != 0) recorder->overlapped = true;
        int32_t sequence = -1;
        const binder_status_t status = AParcel_readInt32(in, &sequence);
        {
            const std::lock_guard<std::mutex> lock(recorder->mutex);
            recorder->seen.push_back(sequence);
        }
        recorder->running.fetch_sub(1);
        return status;
    }
    if (code != kSummary) return STATUS_UNKNOWN_TRANSACTION;
    const std::lock_guard<std::mutex> lock(recorder->mutex);
    bool inOrder = true;
    for (size_t i = 0; i < recorder->seen.size(); ++i) inOrder = inOrder && recorder->seen[i] == static_cast<int32_t>(i);
    binder_status_t status = AParcel_writeInt32(out, static_cast<int32_t>(recorder->seen.size()));
    if (status == STATUS_OK) status = AParcel_writeBool(out, inOrder);
    if (status == STATUS_OK) status = AParcel_writeBool(out, recorder->overlapped);
    return status;
}

AIBinder_Class* recorderClass() {
    static AIBinder_Class* const clazz = AIBinder_Class_define(
            "bgs.test.IRecorder", [](void*) -> void* { return new Recorder; },
            [](void* data) { delete static_cast<Recorder*>(data); }, recorderTransact);
    return clazz;
}

binder_status_t send(AIBinder* binder, transaction_code_t code, int32_t argument, binder_flags_t flags,
                     ::ndk::UniqueAParcel* reply) {
    AParcel* request = nullptr;
    binder_status_t status = AIBinder_prepareTransaction(binder, &request);
    if (status == STATUS_OK) status = AParcel_writeInt32(request, argument);
    AParcel* out = nullptr;
    status = status == STATUS_OK ? AIBinder_transact(binder, code, &request, &out, flags) : status;
    AParcel_delete(request);
    reply->reset(out);
    return status;
}

// Serves a recorder under args[0].
BGS_TEST_ROLE(recorderService) {
    return serve(publish(SpAIBinder(AIBinder_new(recorderClass(), nullptr)), args.text(0)));
}

class ProcessOneway : public ProcessTest {};

TEST_F(ProcessOneway, CallsToOneObjectRunInOrderOneAtATimeEvenAfterTheCallerLetsGo) {
    const std::string name = uniqueName("recorder");
    ChildProcess& server = spawn("recorderService", {name});
    {
        SpAIBinder recorder = waitForBinder(name, &server);
        ASSERT_NE(recorder.get(), nullptr);
        ASSERT_TRUE(AIBinder_associateClass(recorder.get(), recorderClass()));
        for (int32_t i = 0; i < kCalls; ++i) {
            ::ndk::UniqueAParcel none;
            ASSERT_EQ(send(recorder.get(), kRecord, i, FLAG_ONEWAY, &none), STATUS_OK);
            EXPECT_EQ(none.get(), nullptr);
        }
    }  // released, most likely before the service has run the calls

    const SpAIBinder again(AServiceManager_checkService(name.c_str()));
    ASSERT_NE(again.get(), nullptr);
    ASSERT_TRUE(AIBinder_associateClass(again.get(), recorderClass()));
    int32_t count = 0;
    bool inOrder = false;
    bool overlapped = true;
    EXPECT_TRUE(eventually([&] {
        ::ndk::UniqueAParcel reply;
        if (send(again.get(), kSummary, 0, 0, &reply) != STATUS_OK) return false;
        AParcel_readInt32(reply.get(), &count);
        AParcel_readBool(reply.get(), &inOrder);
        AParcel_readBool(reply.get(), &overlapped);
        return count == kCalls;
    }));
    EXPECT_EQ(count, kCalls);
    EXPECT_TRUE(inOrder);
    EXPECT_FALSE(overlapped);
}

}  // namespace
}  // namespace bgs_process_test
