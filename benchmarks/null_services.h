// Implementations that do nothing but answer, so that a benchmark measures
// the path to them and not their work; shared by the in-process and the
// cross-process cases.
#ifndef BGS_BENCHMARKS_NULL_SERVICES_H
#define BGS_BENCHMARKS_NULL_SERVICES_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>

#include <cstdint>
#include <string>

namespace bgs::bench {

namespace bg = aidl::vendor::tolvek::hardware::aidlbgservice;

class NullService : public bg::BnBGService {
  public:
    ndk::UniqueAStatus setCapabilities(const std::string&) override { return ndk::UniqueAStatus::ok(); }
    ndk::UniqueAStatus setEventCallback(int32_t, const std::shared_ptr<bg::IEventCallback>&,
                                        int32_t* result) override {
        *result = 1;
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus setTimestamps(int32_t, int64_t) override { return ndk::UniqueAStatus::ok(); }
    ndk::UniqueAStatus setRequstCompleted(int64_t) override { return ndk::UniqueAStatus::ok(); }
    ndk::UniqueAStatus setGalleryEventCallback(int32_t, const std::shared_ptr<bg::IEventCallback>&,
                                               int32_t* result) override {
        *result = 1;
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus getGalleryAvailability(int32_t value, int32_t* result) override {
        *result = value;
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus getStorageLoadCompletedStatus(int32_t value, int32_t* result) override {
        *result = value;
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus setRequstCompletedImageName(const std::string&) override {
        return ndk::UniqueAStatus::ok();
    }
};

// notifyCallback answers with the event's text, so a caller can check that
// the record arrived.
class NullCallback : public bg::BnEventCallback {
  public:
    ndk::UniqueAStatus notifyCallback(const bg::CallbackData& data, std::string* result) override {
        result->assign(data.text);
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus notifySnapshotAvailability(int32_t, std::string*) override {
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus notifyCallbackInfo(const bg::CallbackInfo&, std::string*) override {
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus onCaptureCompleted(const std::string&, int32_t, const std::string&,
                                          std::string*) override {
        return ndk::UniqueAStatus::ok();
    }
    ndk::UniqueAStatus onCaptureFailed(const std::string&, int32_t, const std::string&,
                                       std::string*) override {
        return ndk::UniqueAStatus::ok();
    }
};

// The arguments the cases pass to calls that take a number and a timestamp.
inline constexpr int32_t kRequestNumber = 7;
inline constexpr int64_t kTimestamp = 1234567890123;

// A CallbackData carrying `images` images.
inline bg::CallbackData sampleData(int images) {
    bg::CallbackData data;
    data.value1 = 1;
    data.longValue = 1234567890123;
    data.text = "frame-000042.jpg";
    for (int i = 0; i < images; ++i) data.images.push_back(bg::Image{i, i + 1, i + 2});
    data.flag = true;
    return data;
}

}  // namespace bgs::bench

#endif  // BGS_BENCHMARKS_NULL_SERVICES_H
