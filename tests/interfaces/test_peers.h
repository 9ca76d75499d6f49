// Test peers for the two interfaces: recording implementations of the stubs,
// and a fake remote side (a binder class of the test's own with the same
// descriptor) whose transaction function the test scripts.
#ifndef BGS_TESTS_INTERFACES_TEST_PEERS_H
#define BGS_TESTS_INTERFACES_TEST_PEERS_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "parcel_test_util.h"

namespace bgs_test {

namespace aidl_ns = ::aidl::vendor::tolvek::hardware::aidlbgservice;
using aidl_ns::CallbackData;
using aidl_ns::CallbackInfo;
using aidl_ns::IBGService;
using aidl_ns::IEventCallback;
using aidl_ns::Image;
using ndk::UniqueAStatus;

// What a recording implementation answers: a status to return (OK by
// default) and whether to write the result before returning.
struct Answer {
    std::function<UniqueAStatus()> status = [] { return UniqueAStatus::ok(); };
    bool writeResult = true;
};

// Shared recording: the calls an implementation received, as text.
class CallLog {
  public:
    void add(std::string call) {
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.push_back(std::move(call));
    }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }
    size_t size() const { return calls().size(); }
    void clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.clear();
    }

  private:
    mutable std::mutex mMutex;
    std::vector<std::string> mCalls;
};

template <typename... Values>
std::string describe(const char* method, const Values&... values) {
    std::ostringstream out;
    out << method << '(';
    const char* separator = "";
    ((out << separator << values, separator = ", "), ...);
    out << ')';
    return out.str();
}

// IBGService implementation that records each call and answers as told.
// Results: setEventCallback 11, setGalleryEventCallback 12,
// getGalleryAvailability value + 100, getStorageLoadCompletedStatus value * 2.
class RecordingService : public aidl_ns::BnBGService {
  public:
    CallLog log;
    Answer answer;
    std::shared_ptr<IEventCallback> eventCallback;
    std::shared_ptr<IEventCallback> galleryCallback;

    UniqueAStatus setCapabilities(const std::string& capabilities) override {
        log.add(describe("setCapabilities", capabilities));
        return answer.status();
    }
    UniqueAStatus setEventCallback(int32_t value, const std::shared_ptr<IEventCallback>& callback,
                                   int32_t* result) override {
        log.add(describe("setEventCallback", value, callback ? "callback" : "null"));
        eventCallback = callback;
        return finish(result, 11);
    }
    UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) override {
        log.add(describe("setTimestamps", value, timestamp));
        return answer.status();
    }
    UniqueAStatus setRequstCompleted(int64_t value) override {
        log.add(describe("setRequstCompleted", value));
        return answer.status();
    }
    UniqueAStatus setGalleryEventCallback(int32_t value,
                                          const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* result) override {
        log.add(describe("setGalleryEventCallback", value, callback ? "callback" : "null"));
        galleryCallback = callback;
        return finish(result, 12);
    }
    UniqueAStatus getGalleryAvailability(int32_t value, int32_t* result) override {
        log.add(describe("getGalleryAvailability", value));
        return finish(result, value + 100);
    }
    UniqueAStatus getStorageLoadCompletedStatus(int32_t value, int32_t* result) override {
        log.add(describe("getStorageLoadCompletedStatus", value));
        return finish(result, value * 2);
    }
    UniqueAStatus setRequstCompletedImageName(const std::string& imageName) override {
        log.add(describe("setRequstCompletedImageName", imageName));
        return answer.status();
    }

  private:
    UniqueAStatus finish(int32_t* result, int32_t value) {
        if (answer.writeResult) *result = value;
        return answer.status();
    }
};

// IEventCallback implementation that records each event and answers with
// "<method>:ok" (or leaves the result untouched when told so).
class RecordingCallback : public aidl_ns::BnEventCallback {
  public:
    CallLog log;
    Answer answer;
    std::vector<CallbackData> data;
    std::vector<CallbackInfo> infos;

    UniqueAStatus notifyCallback(const CallbackData& value, std::string* result) override {
        log.add(describe("notifyCallback", value.toString()));
        {
            std::lock_guard<std::mutex> lock(mMutex);
            data.push_back(value);
        }
        return finish(result, "notifyCallback:ok");
    }
    UniqueAStatus notifySnapshotAvailability(int32_t value, std::string* result) override {
        log.add(describe("notifySnapshotAvailability", value));
        return finish(result, "notifySnapshotAvailability:ok");
    }
    UniqueAStatus notifyCallbackInfo(const CallbackInfo& value, std::string* result) override {
        log.add(describe("notifyCallbackInfo", value.toString()));
        {
            std::lock_guard<std::mutex> lock(mMutex);
            infos.push_back(value);
        }
        return finish(result, "notifyCallbackInfo:ok");
    }
    UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value,
                                     const std::string& second, std::string* result) override {
        log.add(describe("onCaptureCompleted", first, value, second));
        return finish(result, "onCaptureCompleted:ok");
    }
    UniqueAStatus onCaptureFailed(const std::string& first, int32_t value,
                                  const std::string& second, std::string* result) override {
        log.add(describe("onCaptureFailed", first, value, second));
        return finish(result, "onCaptureFailed:ok");
    }

  private:
    UniqueAStatus finish(std::string* result, const char* text) {
        if (answer.writeResult) *result = text;
        return answer.status();
    }
    std::mutex mMutex;
};

/*
 * The remote side of a proxy, scripted by the test: a binder class of the
 * test's own with the interface's descriptor. fromBinder on its binder yields
 * a proxy (the class differs from the library's), so every call goes through
 * the full transaction path into `onTransact`.
 */
class FakeRemote {
  public:
    using Handler = std::function<binder_status_t(transaction_code_t code, const AParcel* in,
                                                  AParcel* out)>;
    struct Request {
        transaction_code_t code;
        std::vector<uint8_t> bytes;  // after the interface header
    };

    explicit FakeRemote(const char* descriptor) {
        mClass = AIBinder_Class_define(descriptor, nullptr, nullptr, &FakeRemote::transact);
        mBinder = ndk::SpAIBinder(AIBinder_new(mClass, this));
    }

    const ndk::SpAIBinder& binder() const { return mBinder; }
    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mRequests;
    }
    size_t transactions() const { return requests().size(); }

    // Handler for the next transactions; by default the code is unknown.
    Handler handler = [](transaction_code_t, const AParcel*, AParcel*) {
        return STATUS_UNKNOWN_TRANSACTION;
    };

  private:
    static binder_status_t transact(AIBinder* binder, transaction_code_t code, const AParcel* in,
                                    AParcel* out) {
        auto* self = static_cast<FakeRemote*>(AIBinder_getUserData(binder));
        const int32_t start = AParcel_getDataPosition(in);
        std::vector<uint8_t> bytes(static_cast<size_t>(AParcel_getDataSize(in) - start));
        EXPECT_EQ(AParcel_marshal(in, bytes.data(), static_cast<size_t>(start), bytes.size()),
                  STATUS_OK);
        {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mRequests.push_back({code, std::move(bytes)});
        }
        return self->handler(code, in, out);
    }

    AIBinder_Class* mClass = nullptr;
    ndk::SpAIBinder mBinder;
    mutable std::mutex mMutex;
    std::vector<Request> mRequests;
};

// Reply writers for fake remote handlers.
inline binder_status_t replyOk(AParcel* out) {
    UniqueAStatus ok = UniqueAStatus::ok();
    return AParcel_writeStatusHeader(out, ok.get());
}
inline binder_status_t replyStatus(AParcel* out, const UniqueAStatus& status) {
    return AParcel_writeStatusHeader(out, status.get());
}

}  // namespace bgs_test

#endif  // BGS_TESTS_INTERFACES_TEST_PEERS_H
