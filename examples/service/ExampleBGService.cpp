#include "ExampleBGService.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <android/binder_ibinder.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <utility>

#include <unistd.h>

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
        "                                and setRequstCompleted(REQUEST) would, so the\n"
        "                                registered event callback gets the events. Without\n"
        "                                TIMESTAMP a timestamp set earlier is used; with none\n"
        "                                the capture fails (onCaptureFailed).\n";

// Writes all of `text` to `fd`. A reader that went away ends the write and
// nothing else (a program that serves dumps ignores SIGPIPE).
void writeText(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

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

ExampleBGService::ExampleBGService(Logger logger) : mLogger(std::move(logger)) {}

ExampleBGService::~ExampleBGService() {
    // A death notice may be running for one of the registrations. The slots
    // are emptied under the lock, so the notice finds nothing to drop; the
    // registrations taken out end after the lock (declared before it), and
    // ending them waits for that notice.
    Registration events;
    Registration gallery;
    std::lock_guard<std::mutex> lock(mMutex);
    events = std::exchange(mEvents, Registration{});
    gallery = std::exchange(mGalleryEvents, Registration{});
}

void ExampleBGService::log(const std::string& line) const {
    if (mLogger) {
        mLogger(line);
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
            number = ++mRegistrations;
            fresh = Registration{value, number, client, callback, nullptr, {}};
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
        previous = std::exchange(*slot, std::move(fresh));
        if (linked == STATUS_DEAD_OBJECT) {
            // The client died between its call and the link: nobody is left
            // to receive events.
            refused = std::exchange(*slot, Registration{});
        }
    }
    const std::string what = std::string("service: ") + kindOf(slot) + " callback";
    if (callback == nullptr) {
        log(what + " unregistered by pid " + std::to_string(client));
    } else {
        log(what + " (value " + std::to_string(value) + ") registered as #" +
            std::to_string(number) + " by pid " + std::to_string(client) + "; it arrived as " +
            describeReceived(callback));
    }
    if (linked == STATUS_DEAD_OBJECT) {
        log(what + " #" + std::to_string(number) + " dropped: its process died before it was watched");
    } else if (linked != STATUS_OK) {
        log(what + " #" + std::to_string(number) + " is not watched for death (status " +
            std::to_string(linked) + ")");
    }
    *_aidl_return = number;
    return UniqueAStatus::ok();
}

void ExampleBGService::onClientDied(void* cookie) {
    // Runs on a runtime thread. The watch stays valid for this call: it is
    // freed only after its recipient is deleted, which waits for the call.
    const DeathWatch* watch = static_cast<const DeathWatch*>(cookie);
    watch->service->drop(watch->slot, watch->number, "the client process died");
}

void ExampleBGService::drop(Registration* slot, int32_t number, const std::string& why) {
    Registration gone;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (slot->number != number) {
            return;  // replaced, unregistered or dropped meanwhile
        }
        gone = std::exchange(*slot, Registration{});
    }
    log(std::string("service: ") + kindOf(slot) + " callback #" + std::to_string(number) +
        " (value " + std::to_string(gone.value) + ") of pid " + std::to_string(gone.clientPid) +
        " dropped: " + why);
    // `gone` ends here, outside the lock. When this runs inside its own death
    // notice, deleting its recipient is allowed and does not wait.
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

    std::vector<Delivery> deliveries;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mCompletedRequests;
        auto stamp = mTimestamps.find(request);
        const bool captured = stamp != mTimestamps.end();

        // CallbackInfo: text1 is the image name ("" when none was made),
        // text2 the reason of a failure (absent when there was none).
        CallbackInfo info;
        info.value1 = request;
        info.value2 = mCompletedRequests;

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

            if (mEvents.callback) {
                deliveries.push_back({&mEvents, mEvents.number, mEvents.callback, "notifyCallback",
                                      [data](IEventCallback& cb, std::string* answer) {
                                          return cb.notifyCallback(data, answer);
                                      }});
            }
        } else {
            info.text1 = "";
            info.text2 = "no timestamp was set for this request";
            completion->outcome = "capture failed: " + *info.text2;
            if (mEvents.callback) {
                deliveries.push_back({&mEvents, mEvents.number, mEvents.callback, "onCaptureFailed",
                                      [request, reason = *info.text2](IEventCallback& cb,
                                                                      std::string* answer) {
                                          return cb.onCaptureFailed(imageNameFor(request), request,
                                                                    reason, answer);
                                      }});
            }
        }
        if (mEvents.callback) {
            deliveries.push_back({&mEvents, mEvents.number, mEvents.callback, "notifyCallbackInfo",
                                  [info](IEventCallback& cb, std::string* answer) {
                                      return cb.notifyCallbackInfo(info, answer);
                                  }});
        }
    }
    completion->events = deliveries.size();
    completion->delivered = deliver(std::move(deliveries));
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setRequstCompletedImageName(const std::string& imageName) {
    count(kSetRequstCompletedImageName);
    std::vector<Delivery> deliveries;
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

        if (mEvents.callback) {
            deliveries.push_back({&mEvents, mEvents.number, mEvents.callback, "onCaptureCompleted",
                                  [imageName, request](IEventCallback& cb, std::string* answer) {
                                      return cb.onCaptureCompleted(imageName, request,
                                                                   "saved to the gallery", answer);
                                  }});
        }
        if (mGalleryEvents.callback) {
            deliveries.push_back({&mGalleryEvents, mGalleryEvents.number, mGalleryEvents.callback,
                                  "notifySnapshotAvailability",
                                  [snapshots](IEventCallback& cb, std::string* answer) {
                                      return cb.notifySnapshotAvailability(snapshots, answer);
                                  }});
        }
    }
    deliver(std::move(deliveries));
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

size_t ExampleBGService::deliver(std::vector<Delivery> deliveries) {
    // Called without mMutex held, and it must stay that way: a callback is a
    // synchronous call into the client, and the client may call this service
    // from inside it (to query the gallery, say). In this process that
    // re-entry runs on this very thread and would deadlock on a held mutex;
    // across processes it arrives on another binder thread and would wait
    // for us while we wait for the callback. Holding no lock also keeps a
    // slow client from stalling every other caller.
    std::vector<IEventCallback*> dead;
    size_t answered = 0;
    for (Delivery& delivery : deliveries) {
        if (std::find(dead.begin(), dead.end(), delivery.callback.get()) != dead.end()) {
            continue;
        }
        std::string answer;  // the client's acknowledgement; the example needs nothing from it
        UniqueAStatus status = delivery.call(*delivery.callback, &answer);
        if (status.isOk()) {
            ++answered;
            continue;
        }
        log(std::string("service: ") + delivery.method + " failed: " + status.getDescription());
        if (status.getStatus() == STATUS_DEAD_OBJECT) {
            // The client is gone: skip its other events and forget it,
            // unless it was replaced meanwhile.
            dead.push_back(delivery.callback.get());
            drop(delivery.slot, delivery.number, "its client is unreachable");
        }
    }
    return answered;
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
                      (slot->watch ? ", in another process, watched for death\n"
                                   : ", in this process\n");
        }
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

binder_status_t ExampleBGService::dump(int fd, const char** /*args*/, uint32_t /*numArgs*/) {
    writeText(fd, stateReport());  // written after the lock: the reader may be slow
    return STATUS_OK;
}

binder_status_t ExampleBGService::handleShellCommand(int /*in*/, int out, int err,
                                                     const char** argv, uint32_t argc) {
    const std::string command = argc > 0 ? argv[0] : "help";
    if (command == "help") {
        writeText(out, kShellHelp);
        return STATUS_OK;
    }
    if (command == "state") {
        writeText(out, stateReport());
        return STATUS_OK;
    }
    if (command != "complete") {
        writeText(err, "unknown command '" + command + "'\n" + kShellHelp);
        return STATUS_BAD_VALUE;
    }
    int64_t request = 0;
    int64_t timestamp = 0;
    if (argc < 2 || argc > 3 || !parseNumber(argv[1], &request) ||
        (argc == 3 && !parseNumber(argv[2], &timestamp))) {
        writeText(err, "usage: complete REQUEST [TIMESTAMP] (whole numbers)\n");
        return STATUS_BAD_VALUE;
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
        writeText(err, "complete: " + std::string(status.getMessage()) + "\n");
        return STATUS_BAD_VALUE;
    }
    const std::string events = completion.events == 0
            ? "no event callback is registered"
            : std::to_string(completion.delivered) + " of " + std::to_string(completion.events) +
                      " events delivered";
    writeText(out, "request " + std::to_string(request) + ": " + completion.outcome + "; " + events + "\n");
    return STATUS_OK;
}

}  // namespace bgs::examples
