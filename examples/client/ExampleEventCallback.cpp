#include "ExampleEventCallback.h"

#include <atomic>
#include <utility>

namespace bgs::examples {

using ::ndk::UniqueAStatus;

namespace {

// Receipt order across every callback of the process, so that events that
// reached different callbacks can be put back in order.
std::atomic<uint64_t> gNextSequence{1};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

ReceivedEvent received(std::string label, std::string method, std::string arguments) {
    ReceivedEvent event;
    event.label = std::move(label);
    event.method = std::move(method);
    event.arguments = std::move(arguments);
    return event;
}

std::string captureArguments(const std::string& first, int32_t value, const std::string& second) {
    return "(" + quoted(first) + ", " + std::to_string(value) + ", " + quoted(second) + ")";
}

}  // namespace

ExampleEventCallback::ExampleEventCallback(std::string label) : mLabel(std::move(label)) {}

UniqueAStatus ExampleEventCallback::notifyCallback(const CallbackData& data,
                                                   std::string* _aidl_return) {
    ReceivedEvent event = received(mLabel, "notifyCallback", "(" + data.toString() + ")");
    event.data = data;
    return record(std::move(event), _aidl_return);
}

UniqueAStatus ExampleEventCallback::notifySnapshotAvailability(int32_t value,
                                                               std::string* _aidl_return) {
    return record(received(mLabel, "notifySnapshotAvailability", "(" + std::to_string(value) + ")"),
                  _aidl_return);
}

UniqueAStatus ExampleEventCallback::notifyCallbackInfo(const CallbackInfo& info,
                                                       std::string* _aidl_return) {
    ReceivedEvent event = received(mLabel, "notifyCallbackInfo", "(" + info.toString() + ")");
    event.info = info;
    return record(std::move(event), _aidl_return);
}

UniqueAStatus ExampleEventCallback::onCaptureCompleted(const std::string& first, int32_t value,
                                                       const std::string& second,
                                                       std::string* _aidl_return) {
    return record(received(mLabel, "onCaptureCompleted", captureArguments(first, value, second)),
                  _aidl_return);
}

UniqueAStatus ExampleEventCallback::onCaptureFailed(const std::string& first, int32_t value,
                                                    const std::string& second,
                                                    std::string* _aidl_return) {
    return record(received(mLabel, "onCaptureFailed", captureArguments(first, value, second)),
                  _aidl_return);
}

UniqueAStatus ExampleEventCallback::record(ReceivedEvent event, std::string* answer) {
    std::lock_guard<std::mutex> lock(mMutex);
    event.sequence = gNextSequence.fetch_add(1);
    event.answer = mLabel + " got " + event.method + " #" + std::to_string(mEvents.size() + 1);
    *answer = event.answer;
    mEvents.push_back(std::move(event));
    mArrived.notify_all();
    return UniqueAStatus::ok();
}

bool ExampleEventCallback::waitForEvents(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mArrived.wait_for(lock, timeout, [&] { return mEvents.size() >= count; });
}

std::vector<ReceivedEvent> ExampleEventCallback::events() const { return eventsFrom(0); }

std::vector<ReceivedEvent> ExampleEventCallback::eventsFrom(size_t first) const {
    std::lock_guard<std::mutex> lock(mMutex);
    if (first >= mEvents.size()) {
        return {};
    }
    return {mEvents.begin() + static_cast<std::ptrdiff_t>(first), mEvents.end()};
}

}  // namespace bgs::examples
