#include "ExampleBGService.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <algorithm>
#include <limits>
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

}  // namespace

ExampleBGService::ExampleBGService(Logger logger) : mLogger(std::move(logger)) {}

void ExampleBGService::log(const std::string& line) const {
    if (mLogger) {
        mLogger(line);
    }
}

UniqueAStatus ExampleBGService::setCapabilities(const std::string& capabilities) {
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
    return registerCallback(&mEvents, "event", value, callback, _aidl_return);
}

UniqueAStatus ExampleBGService::setGalleryEventCallback(
        int32_t value, const std::shared_ptr<IEventCallback>& callback, int32_t* _aidl_return) {
    return registerCallback(&mGalleryEvents, "gallery", value, callback, _aidl_return);
}

UniqueAStatus ExampleBGService::registerCallback(Registration* slot, const char* what,
                                                 int32_t value,
                                                 const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) {
    Registration previous;
    int32_t number = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        // The replaced callback is moved out and released after the lock:
        // dropping the last reference to it may run arbitrary code (a
        // client's destructor, or runtime work for a remote binder).
        previous = std::exchange(*slot, Registration{value, callback});
        number = callback != nullptr ? ++mRegistrations : 0;
    }
    if (callback == nullptr) {
        log(std::string("service: ") + what + " callback unregistered");
    } else {
        log(std::string("service: ") + what + " callback (value " + std::to_string(value) +
            ") registered as #" + std::to_string(number) + "; it arrived as " +
            describeReceived(callback));
    }
    *_aidl_return = number;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setTimestamps(int32_t value, int64_t timestamp) {
    if (timestamp < 0) {
        return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_ARGUMENT,
                                                           "timestamp must not be negative");
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mTimestamps[value] = timestamp;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setRequstCompleted(int64_t value) {
    // Requests are numbered by setTimestamps, which takes 32 bits.
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        return UniqueAStatus::fromExceptionCodeWithMessage(
                EX_ILLEGAL_ARGUMENT, "request number does not fit in 32 bits");
    }
    const auto request = static_cast<int32_t>(value);

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
                deliveries.push_back({&mEvents, mEvents.callback, "notifyCallback",
                                      [data](IEventCallback& cb, std::string* answer) {
                                          return cb.notifyCallback(data, answer);
                                      }});
            }
        } else {
            info.text1 = "";
            info.text2 = "no timestamp was set for this request";
            if (mEvents.callback) {
                deliveries.push_back({&mEvents, mEvents.callback, "onCaptureFailed",
                                      [request, reason = *info.text2](IEventCallback& cb,
                                                                      std::string* answer) {
                                          return cb.onCaptureFailed(imageNameFor(request), request,
                                                                    reason, answer);
                                      }});
            }
        }
        if (mEvents.callback) {
            deliveries.push_back({&mEvents, mEvents.callback, "notifyCallbackInfo",
                                  [info](IEventCallback& cb, std::string* answer) {
                                      return cb.notifyCallbackInfo(info, answer);
                                  }});
        }
    }
    deliver(std::move(deliveries));
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::setRequstCompletedImageName(const std::string& imageName) {
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
            deliveries.push_back({&mEvents, mEvents.callback, "onCaptureCompleted",
                                  [imageName, request](IEventCallback& cb, std::string* answer) {
                                      return cb.onCaptureCompleted(imageName, request,
                                                                   "saved to the gallery", answer);
                                  }});
        }
        if (mGalleryEvents.callback) {
            deliveries.push_back({&mGalleryEvents, mGalleryEvents.callback,
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
    std::lock_guard<std::mutex> lock(mMutex);
    // Only the registered gallery exists; any other id has no snapshots.
    const bool known = mGalleryEvents.callback != nullptr && mGalleryEvents.value == value;
    *_aidl_return = known ? static_cast<int32_t>(mGallery.size()) : 0;
    return UniqueAStatus::ok();
}

UniqueAStatus ExampleBGService::getStorageLoadCompletedStatus(int32_t /*value*/,
                                                              int32_t* _aidl_return) {
    // The example keeps one in-memory storage for every id; it counts as
    // loaded once the client has said what it supports.
    std::lock_guard<std::mutex> lock(mMutex);
    *_aidl_return = mCapabilities.empty() ? 0 : 1;
    return UniqueAStatus::ok();
}

void ExampleBGService::deliver(std::vector<Delivery> deliveries) {
    // Called without mMutex held, and it must stay that way: a callback is a
    // synchronous call into the client, and the client may call this service
    // from inside it (to query the gallery, say). In this process that
    // re-entry runs on this very thread and would deadlock on a held mutex;
    // across processes it arrives on another binder thread and would wait
    // for us while we wait for the callback. Holding no lock also keeps a
    // slow client from stalling every other caller.
    std::vector<IEventCallback*> dead;
    for (Delivery& delivery : deliveries) {
        if (std::find(dead.begin(), dead.end(), delivery.callback.get()) != dead.end()) {
            continue;
        }
        std::string answer;  // the client's acknowledgement; the example needs nothing from it
        UniqueAStatus status = delivery.call(*delivery.callback, &answer);
        if (status.isOk()) {
            continue;
        }
        log(std::string("service: ") + delivery.method + " failed: " + status.getDescription());
        if (status.getStatus() == STATUS_DEAD_OBJECT) {
            // The client is gone: skip its other events and forget it,
            // unless it was replaced meanwhile.
            dead.push_back(delivery.callback.get());
            std::lock_guard<std::mutex> lock(mMutex);
            if (delivery.slot->callback == delivery.callback) {
                delivery.slot->callback.reset();
            }
        }
    }
}

}  // namespace bgs::examples
