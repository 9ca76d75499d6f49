// ExampleEventCallback reached through a BpEventCallback, as a service in
// another process would call it: every event crosses parcels both ways.
#include "example_test_support.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <set>

namespace bgs_test {
namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BpEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;

std::shared_ptr<IEventCallback> proxyTo(const std::shared_ptr<ExampleEventCallback>& callback) {
    return ::ndk::SharedRefBase::makeRef<BpEventCallback>(callback->asBinder());
}

TEST(example_callback, RecordsEachEventInOrderAndAnswersIt) {
    auto callback = ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("cb");
    std::shared_ptr<IEventCallback> proxy = proxyTo(callback);

    CallbackData data;
    data.value2 = 4;
    data.text = "t";
    data.images = {{1, 2, 3}};
    // Absent and empty strings are different values and must stay so.
    CallbackInfo info;
    info.text1 = "";

    std::vector<std::string> answers(5);
    ASSERT_TRUE(proxy->notifyCallback(data, &answers[0]).isOk());
    ASSERT_TRUE(proxy->notifySnapshotAvailability(2, &answers[1]).isOk());
    ASSERT_TRUE(proxy->notifyCallbackInfo(info, &answers[2]).isOk());
    ASSERT_TRUE(proxy->onCaptureCompleted("a.jpg", 3, "saved", &answers[3]).isOk());
    ASSERT_TRUE(proxy->onCaptureFailed("b.jpg", -1, "", &answers[4]).isOk());

    std::vector<ReceivedEvent> got = callback->events();
    ASSERT_EQ(methodsOf(got),
              (std::vector<std::string>{"notifyCallback", "notifySnapshotAvailability",
                                        "notifyCallbackInfo", "onCaptureCompleted",
                                        "onCaptureFailed"}));
    EXPECT_EQ(answers[0], "cb got notifyCallback #1");
    EXPECT_EQ(answers[4], "cb got onCaptureFailed #5");
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].answer, answers[i]) << "recorded answer differs from the one sent";
        EXPECT_EQ(got[i].label, "cb");
    }
    EXPECT_EQ(got[0].data, data);
    EXPECT_EQ(got[0].arguments, "(" + data.toString() + ")");
    EXPECT_EQ(got[1].arguments, "(2)");
    EXPECT_EQ(got[2].info, info);
    EXPECT_EQ(got[2].info->text1, std::optional<std::string>(""));
    EXPECT_EQ(got[2].info->text2, std::nullopt);
    EXPECT_EQ(got[3].arguments, "(\"a.jpg\", 3, \"saved\")");
    EXPECT_EQ(got[4].arguments, "(\"b.jpg\", -1, \"\")");
    EXPECT_FALSE(got[1].data.has_value());
    EXPECT_FALSE(got[1].info.has_value());
}

TEST(example_callback, EventsFromReturnsTheTail) {
    auto callback = ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("cb");
    std::string answer;
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(callback->notifySnapshotAvailability(i, &answer).isOk());
    }
    std::vector<ReceivedEvent> tail = callback->eventsFrom(1);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[0].arguments, "(1)");
    EXPECT_TRUE(callback->eventsFrom(3).empty());
    EXPECT_TRUE(callback->eventsFrom(100).empty());
}

TEST(example_callback, ConcurrentEventsAreAllRecordedWithDistinctNumbers) {
    auto first = ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("a");
    auto second = ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("b");
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::shared_ptr<IEventCallback> target = proxyTo(t % 2 == 0 ? first : second);
            std::string answer;
            for (int i = 0; i < kEach; ++i) {
                EXPECT_TRUE(target->notifySnapshotAvailability(t * kEach + i, &answer).isOk());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::set<std::string> answers;
    std::set<uint64_t> sequences;
    std::set<std::string> values;
    for (const auto& callback : {first, second}) {
        std::vector<ReceivedEvent> got = callback->events();
        ASSERT_EQ(got.size(), size_t{kThreads / 2 * kEach});
        for (size_t i = 0; i < got.size(); ++i) {
            answers.insert(got[i].answer);
            sequences.insert(got[i].sequence);
            values.insert(got[i].arguments);
            if (i > 0) {
                EXPECT_LT(got[i - 1].sequence, got[i].sequence) << "record order is receipt order";
            }
        }
        EXPECT_EQ(got.back().answer,
                  callback->label() + " got notifySnapshotAvailability #" +
                          std::to_string(kThreads / 2 * kEach));
    }
    EXPECT_EQ(answers.size(), size_t{kThreads * kEach});
    EXPECT_EQ(sequences.size(), size_t{kThreads * kEach});
    EXPECT_EQ(values.size(), size_t{kThreads * kEach});
}

}  // namespace
}  // namespace bgs_test
