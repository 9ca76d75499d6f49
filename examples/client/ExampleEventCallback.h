/*
 * ExampleEventCallback: a client's IEventCallback. It records every event it
 * receives, in order, and answers each with a short acknowledgement
 * ("<label> got <method> #<n>"). A client hands it to
 * IBGService::setEventCallback or setGalleryEventCallback; the service calls
 * it on whatever thread delivers the event, so recording is thread-safe, and
 * a reader can wait for events to arrive.
 */
#ifndef BGS_EXAMPLES_CLIENT_EXAMPLEEVENTCALLBACK_H
#define BGS_EXAMPLES_CLIENT_EXAMPLEEVENTCALLBACK_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bgs::examples {

// One event as the callback received it.
struct ReceivedEvent {
    std::string label;      // the receiving callback's label
    std::string method;     // "notifyCallback", "onCaptureFailed", ...
    std::string arguments;  // readable: "(CallbackData{...})", "(\"req1.jpg\", 1, \"...\")"
    std::string answer;     // what the callback answered
    uint64_t sequence = 0;  // order of receipt across all callbacks of the process
    // The records themselves, for the events that carry one.
    std::optional<::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData> data;
    std::optional<::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo> info;
};

class ExampleEventCallback : public ::aidl::vendor::tolvek::hardware::aidlbgservice::BnEventCallback {
  public:
    using CallbackData = ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
    using CallbackInfo = ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;

    // `label` names this callback in answers and transcripts ("events").
    explicit ExampleEventCallback(std::string label);

    ::ndk::UniqueAStatus notifyCallback(const CallbackData& data,
                                        std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifySnapshotAvailability(int32_t value,
                                                    std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifyCallbackInfo(const CallbackInfo& info,
                                            std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value,
                                            const std::string& second,
                                            std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureFailed(const std::string& first, int32_t value,
                                         const std::string& second,
                                         std::string* _aidl_return) override;

    const std::string& label() const { return mLabel; }

    // A copy of the events received so far, oldest first.
    std::vector<ReceivedEvent> events() const;
    // The events from the `first`-th on (0-based), oldest first.
    std::vector<ReceivedEvent> eventsFrom(size_t first) const;
    // Waits until `count` events in all have arrived; false when `timeout`
    // passed first. Events come from the service's own thread, after the
    // call that caused them may have returned.
    bool waitForEvents(size_t count, std::chrono::milliseconds timeout) const;

  private:
    ::ndk::UniqueAStatus record(ReceivedEvent event, std::string* answer);

    const std::string mLabel;
    mutable std::mutex mMutex;
    mutable std::condition_variable mArrived;
    std::vector<ReceivedEvent> mEvents;  // guarded by mMutex
};

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_CLIENT_EXAMPLEEVENTCALLBACK_H
