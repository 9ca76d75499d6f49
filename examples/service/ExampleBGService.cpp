#include "ExampleBGService.h"

#include "service/DeadlineWrite.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <android/binder_ibinder.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

namespace bgs::examples {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BpEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using ::ndk::UniqueAStatus;

namespace {

// The images every successful capture produces: width, height, kind
// (1 full size, 2 preview, 3 thumbnail).
const std::vector<Image> kCaptureImages = {{4032, 3024, 1}, {1920, 1080, 2}, {320, 240, 3}};

std::string imageNameFor(int32_t request) { return "req" + std::to_string(request) + ".jpg"; }

// What the runtime handed us for a callback parameter. The stub converts the
// binder it reads with IEventCallback::fromBinder: a binder served in this
// process yields the client's own object, a binder of another process a
// BpEventCallback proxy.
std::string describeReceived(const std::shared_ptr<ExampleBGService::IEventCallback>& callback) {
    if (dynamic_cast<BpEventCallback*>(callback.get()) == nullptr) {
        return "the client's own object, not a proxy (same process): events are direct calls";
    }
    return callback->isRemote() ? "a BpEventCallback proxy to another process"
                                : "a BpEventCallback proxy over a binder of this process";
}

// In the order of ExampleBGService::Method.
const char* const kMethodNames[] = {
        "setCapabilities",
        "setEventCallback",
        "setTimestamps",
        "setRequstCompleted",
        "setGalleryEventCallback",
        "getGalleryAvailability",
        "getStorageLoadCompletedStatus",
        "setRequstCompletedImageName",
};

const char kShellHelp[] =
        "Commands:\n"
        "  help                          this text\n"
        "  state                         the service's state, as its dump prints it\n"
        "  complete REQUEST [TIMESTAMP]  completes REQUEST as setTimestamps(REQUEST, TIMESTAMP)\n"
        "                                and setRequstCompleted(REQUEST) would, and queues\n"
        "                                the events for the registered event callback. Without\n"
        "                                TIMESTAMP a timestamp set earlier is used; with none\n"
        "                                the capture fails (onCaptureFailed).\n";

// A whole decimal number that fits 64 bits.
bool parseNumber(const char* text, int64_t* number) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) {
        return false;
    }
    *number = value;
    return true;
}

}  // namespace

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::kError:
            return "error";
        case LogLevel::kWarning:
            return "warning";
        case LogLevel::kInfo:
            break;
    }
    return "info";
}

ExampleBGService::ExampleBGService(Logger logger, ExampleServiceOptions options)
    : mLogger(std::move(logger)), mOptions(options) {}

ExampleBGService::~ExampleBGService() {
    // A death notice or a worker's failure report may be running for one of
    // the registrations. The slots are emptied under the lock, so either
    // finds nothing to drop. The queues end after the lock (a worker may be
    // waiting for it), each waiting for its worker's call in flight; then
    // the registrations end (declared first, so last), which waits for a
    // notice.
    Registration events;
    Registration gallery;
    std::vector<std::shared_ptr<ClientQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        events = vacate(&mEvents);
        gallery = vacate(&mGalleryEvents);
        queues = std::move(mRetired);
    }
    queues.clear();
}

void ExampleBGService::log(LogLevel level, const std::string& line) const {
    if (mLogger) {
        mLogger(level, line);
    }
}

UniqueAStatus ExampleBGService::setCapabilities(const std::string& capabilities) {
    count(kSetCapabilities);
    // A failure is a status: the runtime carries the exception code and the
    // message back to the caller, and the out values are not written.
    if (capabilities.empty()) {
        return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_ARGUMENT,
                                                           "capabilities must not be empty");
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mCapabilities = capabilities;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setEventCallback(int32_t value,
                                                 const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) {
    count(kSetEventCallback);
    return registerCallback(&mEvents, value, callback, _aidl_return);
}

UniqueAStatus ExampleBGService::setGalleryEventCallback(
        int32_t value, const std::shared_ptr<IEventCallback>& callback, int32_t* _aidl_return) {
    count(kSetGalleryEventCallback);
    return registerCallback(&mGalleryEvents, value, callback, _aidl_return);
}

const char* ExampleBGService::kindOf(const Registration* slot) const {
    return slot == &mEvents ? "event" : "gallery";
}

UniqueAStatus ExampleBGService::registerCallback(Registration* slot, int32_t value,
                                                 const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) {
    const pid_t client = AIBinder_getCallingPid();
    // The replaced registration, and a refused one, leave the lock in these
    // and end after it: dropping the last reference to a callback may run
    // arbitrary code (a client's destructor, or runtime work for a remote
    // binder), and deleting a death recipient waits for a notice in progress,
    // which may be waiting for the lock.
    Registration previous;
    Registration refused;
    int32_t number = 0;
    binder_status_t linked = STATUS_OK;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        Registration fresh;
        if (callback != nullptr) {
            number = mRegistrations + 1;
            try {
                // Started under the lock, so that registrations take effect
                // in the order of their numbers. Starting a thread waits for
                // no client.
                fresh.queue = std::make_shared<ClientQueue>(
                        callback, mOptions.eventQueueCapacity, mOptions.callbackTimeout,
                        [this, slot, number](const char* method, const UniqueAStatus& status) {
                            onEventFailed(slot, number, method, status);
                        });
            } catch (const std::system_error&) {
                return UniqueAStatus::fromExceptionCodeWithMessage(
                        EX_ILLEGAL_STATE, "the service cannot start a thread for the callback's events");
            }
            mRegistrations = number;
            fresh.value = value;
            fresh.number = number;
            fresh.clientPid = client;
            fresh.callback = callback;
            ::ndk::SpAIBinder binder = callback->asBinder();
            if (AIBinder_isRemote(binder.get())) {
                // Linked under the lock: a notice that comes at once waits for
                // it and then finds this very registration in the slot.
                fresh.watch.reset(new DeathWatch{this, slot, number});
                fresh.deathRecipient.reset(AIBinder_DeathRecipient_new(onClientDied));
                linked = AIBinder_linkToDeath(binder.get(), fresh.deathRecipient.get(),
                                              fresh.watch.get());
            }
        }
        previous = vacate(slot);
        *slot = std::move(fresh);
        if (linked == STATUS_DEAD_OBJECT) {
            // The client died between its call and the link: nobody is left
            // to receive events.
            refused = vacate(slot);
        }
    }
    const std::string what = std::string(kindOf(slot)) + " callback";
    if (callback == nullptr) {
        log(LogLevel::kInfo, what + " unregistered by pid " + std::to_string(client));
    } else {
        log(LogLevel::kInfo, what + " (value " + std::to_string(value) + ") registered as #" +
                                     std::to_string(number) + " by pid " + std::to_string(client) +
                                     "; it arrived as " + describeReceived(callback));
    }
    if (linked == STATUS_DEAD_OBJECT) {
        log(LogLevel::kInfo, what + " #" + std::to_string(number) +
                                     " dropped: its process died before it was watched");
    } else if (linked != STATUS_OK) {
        log(LogLevel::kWarning, what + " #" + std::to_string(number) +
                                        " is not watched for death (status " + std::to_string(linked) + ")");
    }
    previous = Registration{};
    refused = Registration{};
    reapWorkers();
    *_aidl_return = number;
    return UniqueAStatus::ok();
}

ExampleBGService::Registration ExampleBGService::vacate(Registration* slot) {
    Registration gone = std::exchange(*slot, Registration{});
    if (gone.queue != nullptr) {
        gone.queue->close();
        mRetired.push_back(std::move(gone.queue));
    }
    return gone;
}

void ExampleBGService::reapWorkers() {
    // Destroyed outside the lock, and only once their worker has left:
    // destroying then waits for no client, and never for the calling thread
    // itself (a worker reports its own failures through here, and has not
    // left).
    std::vector<std::shared_ptr<ClientQueue>> ended;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto gone = std::stable_partition(mRetired.begin(), mRetired.end(),
                                          [](const std::shared_ptr<ClientQueue>& queue) { return !queue->finished(); });
        std::move(gone, mRetired.end(), std::back_inserter(ended));
        mRetired.erase(gone, mRetired.end());
    }
}

void ExampleBGService::onClientDied(void* cookie) {
    // Runs on a runtime thread. The watch stays valid for this call: it is
    // freed only after its recipient is deleted, which waits for the call.
    const DeathWatch* watch = static_cast<const DeathWatch*>(cookie);
    watch->service->drop(watch->slot, watch->number, "the client process died", LogLevel::kInfo);
}

void ExampleBGService::onEventFailed(Registration* slot, int32_t number, const char* method,
                                     const UniqueAStatus& status) {
    // On the registration's worker. A client that cannot be reached or does
    // not answer in time is dropped; any other failure is the client's
    // answer, and it stays.
    const binder_status_t code = status.getStatus();
    if (code == STATUS_TIMED_OUT) {
        drop(slot, number,
             std::string(method) + " got no answer within the " +
                     std::to_string(mOptions.callbackTimeout.count()) + " ms callback deadline",
             LogLevel::kWarning);
    } else if (code == STATUS_DEAD_OBJECT) {
        drop(slot, number, std::string(method) + " failed: its client is unreachable", LogLevel::kWarning);
    } else {
        log(LogLevel::kWarning, std::string(kindOf(slot)) + " callback #" + std::to_string(number) + ": " +
                                        method + " failed: " + status.getDescription());
    }
}

void ExampleBGService::drop(Registration* slot, int32_t number, const std::string& why, LogLevel level) {
    std::vector<Dropped> dropped;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (slot->number != number) {
            return;  // replaced, unregistered or dropped meanwhile
        }
        dropped.push_back({vacate(slot), kindOf(slot), why});
    }
    // When this runs inside its own death notice, deleting its recipient is
    // allowed and does not wait.
    finishDrops(std::move(dropped), level);
}

void ExampleBGService::finishDrops(std::vector<Dropped> dropped, LogLevel level) {
    for (Dropped& gone : dropped) {
        log(level, std::string(gone.kind) + " callback #" + std::to_string(gone.registration.number) +
                           " (value " + std::to_string(gone.registration.value) + ") of pid " +
                           std::to_string(gone.registration.clientPid) + " dropped: " + gone.why);
    }
    dropped.clear();
    reapWorkers();
}

bool ExampleBGService::enqueue(Registration* slot, ClientQueue::Event event, std::vector<Dropped>* dropped) {
    if (slot->queue == nullptr) {
        return false;
    }
    if (slot->queue->post(std::move(event)) == ClientQueue::Posted::kQueued) {
        return true;
    }
    dropped->push_back({vacate(slot), kindOf(slot),
                        "its event queue is full (" + std::to_string(mOptions.eventQueueCapacity) +
                                " events wait for it)"});
    return false;
}

UniqueAStatus ExampleBGService::setTimestamps(int32_t value, int64_t timestamp) {
    count(kSetTimestamps);
    return recordTimestamp(value, timestamp);
}

UniqueAStatus ExampleBGService::recordTimestamp(int32_t value, int64_t timestamp) {
    if (timestamp < 0) {
        return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_ARGUMENT,
                                                           "timestamp must not be negative");
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mTimestamps[value] = timestamp;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setRequstCompleted(int64_t value) {
    count(kSetRequstCompleted);
    Completion ignored;
    return completeRequest(value, &ignored);
}

UniqueAStatus ExampleBGService::checkRequest(int64_t value, int32_t* request) {
    // Requests are numbered by setTimestamps, which takes 32 bits.
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        return UniqueAStatus::fromExceptionCodeWithMessage(
                EX_ILLEGAL_ARGUMENT, "request number does not fit in 32 bits");
    }
    *request = static_cast<int32_t>(value);
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::completeRequest(int64_t value, Completion* completion) {
    int32_t request = 0;
    if (UniqueAStatus checked = checkRequest(value, &request); !checked.isOk()) {
        return checked;
    }

    // Events are queued under the lock, so that each client gets them in
    // the order the state changed; they are called by its worker.
    std::vector<Dropped> dropped;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mCompletedRequests;
        auto stamp = mTimestamps.find(request);
        const bool captured = stamp != mTimestamps.end();
        completion->registered = mEvents.queue != nullptr;

        // CallbackInfo: text1 is the image name ("" when none was made),
        // text2 the reason of a failure (absent when there was none).
        CallbackInfo info;
        info.value1 = request;
        info.value2 = mCompletedRequests;

        ClientQueue::Event first;
        if (captured) {
            const std::string name = imageNameFor(request);
            mPendingImages[name] = PendingImage{request, stamp->second};
            info.text1 = name;
            completion->outcome = "image " + name;

            CallbackData data;
            data.value1 = mEvents.value;  // lets the client match its registration
            data.value2 = request;
            data.value3 = static_cast<int32_t>(kCaptureImages.size());
            data.value4 = mCompletedRequests;
            data.longValue = stamp->second;
            data.text = name;
            data.images = kCaptureImages;
            data.flag = mGalleryEvents.callback != nullptr;  // a gallery can take the image
            data.value5 = static_cast<int32_t>(mGallery.size());
            mTimestamps.erase(stamp);
            first = {"notifyCallback", [data](IEventCallback& cb, std::string* answer) {
                         return cb.notifyCallback(data, answer);
                     }};
        } else {
            info.text1 = "";
            info.text2 = "no timestamp was set for this request";
            completion->outcome = "capture failed: " + *info.text2;
            first = {"onCaptureFailed", [request, reason = *info.text2](IEventCallback& cb, std::string* answer) {
                         return cb.onCaptureFailed(imageNameFor(request), request, reason, answer);
                     }};
        }
        if (enqueue(&mEvents, std::move(first), &dropped)) {
            ++completion->queued;
            if (enqueue(&mEvents,
                        {"notifyCallbackInfo",
                         [info](IEventCallback& cb, std::string* answer) { return cb.notifyCallbackInfo(info, answer); }},
                        &dropped)) {
                ++completion->queued;
            }
        }
    }
    completion->dropped = !dropped.empty();
    finishDrops(std::move(dropped), LogLevel::kWarning);
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setRequstCompletedImageName(const std::string& imageName) {
    count(kSetRequstCompletedImageName);
    std::vector<Dropped> dropped;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto pending = mPendingImages.find(imageName);
        if (pending == mPendingImages.end()) {
            // A service-specific error: a code of this service's own, which
            // the client can act on, plus a message for people.
            const std::string message = "no completed request has an unsaved image named '" +
                                        imageName + "'";
            return UniqueAStatus::fromServiceSpecificErrorWithMessage(kErrorUnknownImage,
                                                                      message.c_str());
        }
        const int32_t request = pending->second.request;
        mPendingImages.erase(pending);
        mGallery.insert(imageName);
        const auto snapshots = static_cast<int32_t>(mGallery.size());

        enqueue(&mEvents,
                {"onCaptureCompleted",
                 [imageName, request](IEventCallback& cb, std::string* answer) {
                     return cb.onCaptureCompleted(imageName, request, "saved to the gallery", answer);
                 }},
                &dropped);
        enqueue(&mGalleryEvents,
                {"notifySnapshotAvailability",
                 [snapshots](IEventCallback& cb, std::string* answer) {
                     return cb.notifySnapshotAvailability(snapshots, answer);
                 }},
                &dropped);
    }
    finishDrops(std::move(dropped), LogLevel::kWarning);
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::getGalleryAvailability(int32_t value, int32_t* _aidl_return) {
    count(kGetGalleryAvailability);
    std::lock_guard<std::mutex> lock(mMutex);
    // Only the registered gallery exists; any other id has no snapshots.
    const bool known = mGalleryEvents.callback != nullptr && mGalleryEvents.value == value;
    *_aidl_return = known ? static_cast<int32_t>(mGallery.size()) : 0;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::getStorageLoadCompletedStatus(int32_t /*value*/,
                                                              int32_t* _aidl_return) {
    count(kGetStorageLoadCompletedStatus);
    // The example keeps one in-memory storage for every id; it counts as
    // loaded once the client has said what it supports.
    std::lock_guard<std::mutex> lock(mMutex);
    *_aidl_return = mCapabilities.empty() ? 0 : 1;
    return UniqueAStatus::ok();
}

bool ExampleBGService::waitForDeliveries(std::chrono::milliseconds timeout) {
    std::vector<std::shared_ptr<ClientQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const Registration* slot : {&mEvents, &mGalleryEvents}) {
            if (slot->queue != nullptr) {
                queues.push_back(slot->queue);
            }
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (const std::shared_ptr<ClientQueue>& queue : queues) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!queue->waitUntilIdle(std::max(left, std::chrono::milliseconds(0)))) {
            return false;
        }
    }
    return true;
}

std::string ExampleBGService::stateReport() {
    std::string report = "ExampleBGService\n";
    {
        std::lock_guard<std::mutex> lock(mMutex);
        report += "  capabilities: " + (mCapabilities.empty() ? "none (storage not loaded)"
                                                              : '"' + mCapabilities + '"') + "\n";
        for (const Registration* slot : {&mEvents, &mGalleryEvents}) {
            report += std::string("  ") + kindOf(slot) + " callback: ";
            if (slot->callback == nullptr) {
                report += "none\n";
                continue;
            }
            report += "value " + std::to_string(slot->value) + ", registration #" +
                      std::to_string(slot->number) + ", client pid " +
                      std::to_string(slot->clientPid) +
                      (slot->watch ? ", in another process, watched for death, "
                                   : ", in this process, ") +
                      std::to_string(slot->queue->waiting()) + " events waiting\n";
        }
        report += "  event queues: " + std::to_string(mOptions.eventQueueCapacity) + " events per client, " +
                  std::to_string(mOptions.callbackTimeout.count()) + " ms per callback\n";
        report += "  requests completed: " + std::to_string(mCompletedRequests) + "\n";
        report += "  timestamps set, requests not completed: " + std::to_string(mTimestamps.size()) + "\n";
        for (const auto& [request, timestamp] : mTimestamps) {
            report += "    request " + std::to_string(request) + " at " + std::to_string(timestamp) + "\n";
        }
        report += "  pending images: " + std::to_string(mPendingImages.size()) + "\n";
        for (const auto& [name, image] : mPendingImages) {
            report += "    " + name + " (request " + std::to_string(image.request) +
                      ", timestamp " + std::to_string(image.timestamp) + ")\n";
        }
        report += "  gallery: " + std::to_string(mGallery.size()) + " snapshots\n";
        for (const std::string& name : mGallery) {
            report += "    " + name + "\n";
        }
    }
    report += "  calls received:\n";
    for (size_t method = 0; method < kMethodCount; ++method) {
        report += std::string("    ") + kMethodNames[method] + ": " +
                  std::to_string(mCalls[method].load(std::memory_order_relaxed)) + "\n";
    }
    return report;
}

bool ExampleBGService::writeOutput(int fd, const std::string& text, const char* what) {
    size_t written = 0;
    const WriteOutcome outcome = writeWithDeadline(fd, text, mOptions.outputTimeout, &written);
    if (outcome == WriteOutcome::kTimedOut) {
        log(LogLevel::kWarning, std::string(what) + ": the reader took " + std::to_string(written) + " of " +
                                        std::to_string(text.size()) + " bytes within " +
                                        std::to_string(mOptions.outputTimeout.count()) + " ms; the rest is dropped");
        return false;
    }
    // A reader that went away, or a descriptor that cannot be written, is
    // the caller's own doing: there is nobody to tell.
    return true;
}

binder_status_t ExampleBGService::dump(int fd, const char** /*args*/, uint32_t /*numArgs*/) {
    // Written after the lock: the reader may be slow.
    return writeOutput(fd, stateReport(), "dump") ? STATUS_OK : STATUS_TIMED_OUT;
}

binder_status_t ExampleBGService::handleShellCommand(int /*in*/, int out, int err,
                                                     const char** argv, uint32_t argc) {
    // The output of each command is written within one deadline; a cut-off
    // answer turns the command's status into STATUS_TIMED_OUT.
    auto answer = [this](int fd, const std::string& text, binder_status_t status) {
        return writeOutput(fd, text, "shell") ? status : STATUS_TIMED_OUT;
    };
    const std::string command = argc > 0 ? argv[0] : "help";
    if (command == "help") {
        return answer(out, kShellHelp, STATUS_OK);
    }
    if (command == "state") {
        return answer(out, stateReport(), STATUS_OK);
    }
    if (command != "complete") {
        return answer(err, "unknown command '" + command + "'\n" + kShellHelp, STATUS_BAD_VALUE);
    }
    int64_t request = 0;
    int64_t timestamp = 0;
    if (argc < 2 || argc > 3 || !parseNumber(argv[1], &request) ||
        (argc == 3 && !parseNumber(argv[2], &timestamp))) {
        return answer(err, "usage: complete REQUEST [TIMESTAMP] (whole numbers)\n", STATUS_BAD_VALUE);
    }
    // The same steps, and refusals, as the two calls.
    int32_t narrowed = 0;
    UniqueAStatus status = checkRequest(request, &narrowed);
    if (status.isOk() && argc == 3) {
        status = recordTimestamp(narrowed, timestamp);
    }
    Completion completion;
    if (status.isOk()) {
        status = completeRequest(request, &completion);
    }
    if (!status.isOk()) {
        return answer(err, "complete: " + std::string(status.getMessage()) + "\n", STATUS_BAD_VALUE);
    }
    const std::string events = !completion.registered ? "no event callback is registered"
                               : completion.dropped ? "the event callback was dropped: its event queue is full"
                                                    : std::to_string(completion.queued) + " events queued";
    return answer(out, "request " + std::to_string(request) + ": " + completion.outcome + "; " + events + "\n",
                  STATUS_OK);
}

}  // namespace bgs::examples
