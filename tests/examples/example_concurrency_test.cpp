// ExampleBGService under calls from several threads at once, as binder
// threads make them. Bounded: a fixed number of requests per thread.
#include "example_test_support.h"

#include <algorithm>
#include <numeric>
#include <set>

namespace bgs_test {
namespace {

TEST(example_concurrency, ParallelCapturesLoseNoStateAndNoEvent) {
    // Queues long enough for every event: this is about state, not about
    // how fast the delivering threads keep up.
    bgs::examples::ExampleServiceOptions roomy;
    roomy.eventQueueCapacity = 100000;
    ExampleWire wire(roomy);
    wire.registerBoth();
    constexpr int kThreads = 4;
    constexpr int kEach = 50;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&wire, t] {
            for (int i = 0; i < kEach; ++i) {
                const int32_t request = t * kEach + i + 1;
                int32_t out = 0;
                EXPECT_TRUE(wire.proxy->setTimestamps(request, request * 10).isOk());
                EXPECT_TRUE(wire.proxy->setRequstCompleted(request).isOk());
                EXPECT_TRUE(wire.proxy
                                    ->setRequstCompletedImageName(
                                            "req" + std::to_string(request) + ".jpg")
                                    .isOk());
                EXPECT_TRUE(wire.proxy->getGalleryAvailability(3, &out).isOk());
                EXPECT_TRUE(wire.proxy->setCapabilities("hdr" + std::to_string(t)).isOk());
                EXPECT_TRUE(wire.proxy->getStorageLoadCompletedStatus(0, &out).isOk());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    wire.settle();

    constexpr int kTotal = kThreads * kEach;
    std::vector<ReceivedEvent> events = wire.events->events();
    ASSERT_EQ(events.size(), size_t{3 * kTotal});
    std::vector<int32_t> announced;
    for (const ReceivedEvent& event : events) {
        EXPECT_NE(event.method, "onCaptureFailed") << "a timestamp got lost";
        if (event.data) {
            announced.push_back(event.data->value2);
            EXPECT_EQ(event.data->longValue, int64_t{event.data->value2} * 10)
                    << "an event carried another request's timestamp";
        }
    }
    std::sort(announced.begin(), announced.end());
    std::vector<int32_t> requests(kTotal);
    std::iota(requests.begin(), requests.end(), 1);
    EXPECT_EQ(announced, requests);

    // Each save counted once: the snapshot counts are exactly 1..kTotal.
    std::vector<int32_t> counts;
    for (const ReceivedEvent& event : wire.gallery->events()) {
        counts.push_back(std::stoi(event.arguments.substr(1)));
    }
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, requests);

    int32_t available = 0;
    ASSERT_TRUE(wire.proxy->getGalleryAvailability(3, &available).isOk());
    EXPECT_EQ(available, kTotal);
}

TEST(example_concurrency, ReRegisteringWhileEventsFlowIsSafe) {
    ExampleWire wire;
    wire.registerBoth();
    constexpr int kRounds = 100;
    std::thread registrar([&wire] {
        for (int i = 0; i < kRounds; ++i) {
            int32_t number = 0;
            auto callback = i % 2 == 0 ? wire.events : nullptr;
            EXPECT_TRUE(wire.proxy->setEventCallback(i, callback, &number).isOk());
        }
    });
    std::thread requester([&wire] {
        for (int32_t request = 1; request <= kRounds; ++request) {
            EXPECT_TRUE(wire.proxy->setTimestamps(request, 1).isOk());
            EXPECT_TRUE(wire.proxy->setRequstCompleted(request).isOk());
        }
    });
    registrar.join();
    requester.join();
    wire.settle();
    // Whatever interleaving happened: a replaced registration's queue loses
    // its tail, never an event in the middle, so each request's info comes
    // after its announcement; and no event comes twice.
    std::set<int32_t> announced;
    std::set<int32_t> informed;
    for (const ReceivedEvent& event : wire.events->events()) {
        if (event.method == "notifyCallback") {
            EXPECT_TRUE(announced.insert(event.data->value2).second) << "announced twice";
        } else {
            ASSERT_EQ(event.method, "notifyCallbackInfo");
            EXPECT_EQ(announced.count(event.info->value1), 1u) << "info without its announcement";
            EXPECT_TRUE(informed.insert(event.info->value1).second) << "informed twice";
        }
    }
}

}  // namespace
}  // namespace bgs_test
