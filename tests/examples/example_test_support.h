// What the example tests share: the example service reached the way a client
// reaches it (a BpBGService over its binder, so statuses and records cross
// parcels), two recording callbacks, and a guard against hangs.
#ifndef BGS_TESTS_EXAMPLES_EXAMPLE_TEST_SUPPORT_H
#define BGS_TESTS_EXAMPLES_EXAMPLE_TEST_SUPPORT_H

#include "client/ExampleEventCallback.h"
#include "service/ExampleBGService.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bgs_test {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BpBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
using bgs::examples::ExampleBGService;
using bgs::examples::ExampleEventCallback;
using bgs::examples::ReceivedEvent;

struct ExampleWire {
    explicit ExampleWire(bgs::examples::ExampleServiceOptions options = {})
        : service(::ndk::SharedRefBase::makeRef<ExampleBGService>(
                  [this](bgs::examples::LogLevel level, const std::string& l) {
                      std::lock_guard<std::mutex> lock(logMutex);
                      log.push_back(std::string(bgs::examples::logLevelName(level)) + ": " + l);
                  },
                  options)),
          proxy(::ndk::SharedRefBase::makeRef<BpBGService>(service->asBinder())) {}

    // Waits until the events queued so far have reached the registered
    // callbacks (the service calls them from threads of its own).
    void settle() { ASSERT_TRUE(service->waitForDeliveries(std::chrono::seconds(60))); }

    // Registers `events` under client value 7 and `gallery` under gallery 3.
    void registerBoth() {
        int32_t number = 0;
        ASSERT_TRUE(proxy->setEventCallback(7, events, &number).isOk());
        ASSERT_TRUE(proxy->setGalleryEventCallback(3, gallery, &number).isOk());
    }

    // Completes request `request` with a timestamp, so that it yields an image.
    void capture(int32_t request, int64_t timestamp = 1000) {
        ASSERT_TRUE(proxy->setTimestamps(request, timestamp).isOk());
        ASSERT_TRUE(proxy->setRequstCompleted(request).isOk());
    }

    std::vector<std::string> logLines() {
        std::lock_guard<std::mutex> lock(logMutex);
        return log;
    }

    std::mutex logMutex;
    std::vector<std::string> log;
    std::shared_ptr<ExampleBGService> service;
    std::shared_ptr<IBGService> proxy;
    std::shared_ptr<ExampleEventCallback> events =
            ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("events");
    std::shared_ptr<ExampleEventCallback> gallery =
            ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("gallery");
};

inline std::vector<std::string> methodsOf(const std::vector<ReceivedEvent>& events) {
    std::vector<std::string> methods;
    for (const ReceivedEvent& event : events) {
        methods.push_back(event.method);
    }
    return methods;
}

// Whether the object behind `object` is gone within a generous bound: the
// service lets go of a replaced callback when that callback's worker leaves.
template <typename T>
bool expires(const std::weak_ptr<T>& object) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!object.expired() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return object.expired();
}

// Runs `body` on its own thread and reports whether it finished within a
// generous bound, so that a deadlock fails the test instead of hanging the
// suite. `body` must own what it uses: after a timeout it is left running.
inline bool finishes(std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([body = std::move(body), done] {
        body();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

}  // namespace bgs_test

#endif  // BGS_TESTS_EXAMPLES_EXAMPLE_TEST_SUPPORT_H
